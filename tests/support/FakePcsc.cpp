// The PC/SC double's readers, cards and SCard* functions.
#include "FakePcsc.h"

#include "card-image/CardEmulator.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

namespace fakepcsc {
namespace {

const SCARDCONTEXT FirstContext = 0x5C0;

struct Reader {
    std::string name;
    bool hidden; // made by connectCard: not listed
    bool attached; // false while the reader is gone from the system
    bool present;
    CardImage card;
    DWORD flags;
    long answersLeft; // commands the card still answers; -1: every one
    DWORD events; // insertions and removals, as pcscd counts them
    unsigned generation; // insertions and removals: a change ends connections
};

// A connected card and where it stands.
struct Connection {
    size_t reader;
    unsigned generation; // the reader's at connection: a later card change ends it
    CardSelection selection;
};

struct State {
    std::vector<Reader> readers;
    SCARDCONTEXT nextContext = FirstContext;
    std::set<SCARDCONTEXT> liveContexts;
    std::set<SCARDCONTEXT> deadContexts; // killed by stopService, not yet released
    LONG deadContextError = 0;
    bool serviceDown = false;
    bool eventCounts = true;
    Platform platform = WindowsPcsc;
    bool serviceFollowsReaders = false;
    std::map<SCARDHANDLE, Connection> connections;
    SCARDHANDLE nextHandle = 0x1000;
    std::map<unsigned, Fault> faults;
    unsigned failFromIndex = 0;
    LONG failFromError = 0;
    unsigned statusFailures = 0;
    LONG statusError = 0;
    LONG establishError = 0;
    LONG listError = 0;
    LONG connectError = 0;
    bool selectGetResponse = false;
    unsigned transactions = 0;
    std::vector<CommandRecord> log;
    std::vector<ConnectRecord> connectLog;
    std::vector<DisconnectRecord> disconnectLog;
    DWORD statusTimeout = 0;
    DWORD statusCount = 0;
    std::vector<std::string> statusNames;
    Counters counters = {};
};

State &state()
{
    static State s;
    return s;
}

Bytes applyFault(const Fault &fault, const Bytes &answer)
{
    switch (fault.kind) {
    case Fault::StatusWord:
        return statusOnly(fault.status);
    case Fault::DataAndStatus:
        return withStatus(fault.data, fault.status);
    case Fault::ShortAnswer:
        return Bytes(answer.begin(), answer.begin() + (long)std::min(fault.count, answer.size()));
    default:
        return answer;
    }
}

const char ArrivalWatchName[] = "\\\\?PnP?\\Notification";

DWORD readerState(const Reader &reader)
{
    const DWORD presence = reader.present ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY;
    const DWORD count = state().eventCounts ? (reader.events & 0xFFFF) << 16 : 0;
    return presence | reader.flags | count;
}

DWORD listedReaderCount()
{
    DWORD count = 0;
    for (const Reader &reader : state().readers)
        count += !reader.hidden && reader.attached;
    return count;
}

// A reader that is gone from the system is not found, as an unknown name.
Reader *findReader(const char *name)
{
    for (Reader &reader : state().readers)
        if (name && reader.name == name)
            return reader.attached ? &reader : NULL;
    return NULL;
}

// What a call on `context` meets: a live context works, one that died with
// the service fails as the service said, anything else is unknown.
LONG checkContext(SCARDCONTEXT context)
{
    if (state().liveContexts.count(context))
        return SCARD_S_SUCCESS;
    if (state().deadContexts.count(context))
        return state().deadContextError;
    return SCARD_E_INVALID_HANDLE;
}

bool isArrivalWatch(const char *name)
{
    return name && strcmp(name, ArrivalWatchName) == 0;
}

bool anyEntryMissing(LPSCARD_READERSTATEA states, DWORD count)
{
    for (DWORD i = 0; i < count; i++)
        if (!isArrivalWatch(states[i].szReader) && !findReader(states[i].szReader))
            return true;
    return false;
}

bool everyEntryIgnored(LPSCARD_READERSTATEA states, DWORD count)
{
    for (DWORD i = 0; i < count; i++)
        if (!(states[i].dwCurrentState & SCARD_STATE_IGNORE))
            return false;
    return true;
}

// Windows keeps the reader count in the watch's high 16 bits; pcsc-lite
// reports a change only during a wait, which the double never makes.
bool reportArrivals(SCARD_READERSTATEA &entry)
{
    entry.dwEventState = 0;
    if (state().platform == PcscLite)
        return false;
    const DWORD count = listedReaderCount();
    const bool differs = (entry.dwCurrentState >> 16) != count;
    entry.dwEventState = count << 16 | (differs ? SCARD_STATE_CHANGED : 0);
    return differs;
}

// Windows' answer for a watched reader that is gone: it is unknown, and
// always changed.
bool reportGone(SCARD_READERSTATEA &entry)
{
    entry.dwEventState = SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED | SCARD_STATE_IGNORE;
    entry.cbAtr = 0;
    return true;
}

bool reportReader(SCARD_READERSTATEA &entry, const Reader &reader)
{
    const DWORD now = readerState(reader);
    const bool differs = entry.dwCurrentState == SCARD_STATE_UNAWARE ||
                         (entry.dwCurrentState & ~(DWORD)SCARD_STATE_CHANGED) != now;
    entry.dwEventState = now | (differs ? SCARD_STATE_CHANGED : 0);
    // A mute card gave no answer to reset (pcsc-lite keeps none after a
    // failed power-up).
    const bool answered = reader.present && !(reader.flags & SCARD_STATE_MUTE);
    entry.cbAtr = answered ? (DWORD)reader.card.atr.size() : 0;
    if (entry.cbAtr > sizeof entry.rgbAtr)
        entry.cbAtr = sizeof entry.rgbAtr;
    memset(entry.rgbAtr, 0, sizeof entry.rgbAtr);
    if (answered)
        memcpy(entry.rgbAtr, reader.card.atr.data(), entry.cbAtr);
    return differs;
}

} // namespace

Fault statusFault(uint16_t status) { return Fault{Fault::StatusWord, status, {}, 0, 0}; }
Fault dataFault(const Bytes &data, uint16_t status) { return Fault{Fault::DataAndStatus, status, data, 0, 0}; }
Fault shortFault(size_t count) { return Fault{Fault::ShortAnswer, 0, {}, count, 0}; }
Fault errorFault(LONG error) { return Fault{Fault::PcscError, 0, {}, 0, error}; }

#ifdef _WIN32
// The event SCardAccessStartedEvent hands out, set while the service runs.
HANDLE startedEvent()
{
    static HANDLE event = CreateEventA(NULL, TRUE, TRUE, NULL);
    return event;
}
#endif

static void followService()
{
#ifdef _WIN32
    (state().serviceDown ? ResetEvent : SetEvent)(startedEvent());
#endif
}

void reset()
{
    state() = State();
    followService();
}

size_t addReader(const std::string &name)
{
    state().readers.push_back(Reader{name, false, true, false, CardImage(), 0, -1, 0, 0});
    return state().readers.size() - 1;
}

void insertCard(size_t reader, const CardImage &card)
{
    Reader &r = state().readers.at(reader);
    r.card = card;
    r.present = true;
    r.answersLeft = -1;
    r.events++;
    r.generation++;
}

void removeCard(size_t reader)
{
    Reader &r = state().readers.at(reader);
    r.present = false;
    r.events++;
    r.generation++;
}

void setReaderFlags(size_t reader, DWORD flags) { state().readers.at(reader).flags = flags; }

void stopAnsweringAfter(size_t reader, unsigned commands)
{
    state().readers.at(reader).answersLeft = commands;
}

void swapCardUnseen(size_t reader, const CardImage &card)
{
    Reader &r = state().readers.at(reader);
    r.card = card;
    r.answersLeft = -1;
    r.generation++;
}

void detachReader(size_t reader)
{
    Reader &r = state().readers.at(reader);
    r.attached = false;
    r.generation++;
    if (state().serviceFollowsReaders && !state().serviceDown && listedReaderCount() == 0)
        stopService(SCARD_E_SERVICE_STOPPED);
}

void attachReader(size_t reader)
{
    Reader &r = state().readers.at(reader);
    r.attached = true;
    r.events = 0;
    if (state().serviceFollowsReaders && state().serviceDown)
        startService();
}

void setPlatform(Platform platform) { state().platform = platform; }
void setServiceFollowsReaders(bool on) { state().serviceFollowsReaders = on; }
void setEventCounts(bool on) { state().eventCounts = on; }

void stopService(LONG error)
{
    State &s = state();
    s.serviceDown = true;
    s.deadContextError = error;
    s.deadContexts.insert(s.liveContexts.begin(), s.liveContexts.end());
    s.liveContexts.clear();
    s.connections.clear();
    followService();
}

void startService()
{
    state().serviceDown = false;
    for (Reader &reader : state().readers)
        reader.events = 0;
    followService();
}

bool serviceRunning() { return !state().serviceDown; }

bool serviceStartedProbe(MonitorState &) { return serviceRunning(); }
unsigned liveContexts() { return (unsigned)state().liveContexts.size(); }

unsigned contextsNotReleased()
{
    return (unsigned)(state().liveContexts.size() + state().deadContexts.size());
}

CardImage *cardIn(size_t reader)
{
    Reader &r = state().readers.at(reader);
    return r.present ? &r.card : NULL;
}

DWORD readerStateOf(size_t reader) { return readerState(state().readers.at(reader)); }

SCARDHANDLE connectCard(const CardImage &card)
{
    const size_t reader = addReader("Test Reader " + std::to_string(state().readers.size()));
    state().readers[reader].hidden = true;
    insertCard(reader, card);
    state().liveContexts.insert(FirstContext - 1);
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    SCardConnectA(FirstContext - 1, state().readers[reader].name.c_str(), SCARD_SHARE_SHARED,
                  SCARD_PROTOCOL_T0, &handle, &protocol);
    return handle;
}

void setSelectNeedsGetResponse(bool on) { state().selectGetResponse = on; }
void injectFault(unsigned commandIndex, const Fault &fault) { state().faults[commandIndex] = fault; }

void failFrom(unsigned commandIndex, LONG error)
{
    state().failFromIndex = commandIndex;
    state().failFromError = error;
}

void failStatusCalls(unsigned count, LONG error)
{
    state().statusFailures = count;
    state().statusError = error;
}

void failEstablish(LONG error) { state().establishError = error; }
void failListReaders(LONG error) { state().listError = error; }
void failConnect(LONG error) { state().connectError = error; }
const std::vector<CommandRecord> &commandLog() { return state().log; }
void clearCommandLog() { state().log.clear(); }
const Counters &counters() { return state().counters; }
const std::vector<ConnectRecord> &connectLog() { return state().connectLog; }
const std::vector<DisconnectRecord> &disconnectLog() { return state().disconnectLog; }
DWORD lastStatusTimeout() { return state().statusTimeout; }
DWORD lastStatusCount() { return state().statusCount; }
const std::vector<std::string> &lastStatusNames() { return state().statusNames; }
unsigned openConnections() { return (unsigned)state().connections.size(); }
unsigned openTransactions() { return state().transactions; }

} // namespace fakepcsc

using namespace fakepcsc;

// Like pcsc-lite: no context while the service is down; a context that
// died with it is forgotten when given back, with the failure of the call.
LONG PCSC_CALL SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context)
{
    state().counters.establish++;
    if (state().establishError)
        return state().establishError;
    if (state().serviceDown)
        return SCARD_E_NO_SERVICE;
    *context = state().nextContext++;
    state().liveContexts.insert(*context);
    return SCARD_S_SUCCESS;
}

LONG PCSC_CALL SCardReleaseContext(SCARDCONTEXT context)
{
    state().counters.release++;
    const LONG result = checkContext(context);
    state().liveContexts.erase(context);
    state().deadContexts.erase(context);
    return result;
}

LONG PCSC_CALL SCardListReadersA(SCARDCONTEXT context, LPCSTR, LPSTR readers, LPDWORD length)
{
    state().counters.listReaders++;
    if (state().listError)
        return state().listError;
    const LONG usable = checkContext(context);
    if (usable != SCARD_S_SUCCESS)
        return usable;
    std::string list;
    for (const Reader &reader : state().readers)
        if (!reader.hidden && reader.attached)
            list += reader.name + '\0';
    if (list.empty())
        return SCARD_E_NO_READERS_AVAILABLE;
    list += '\0';
    if (*length == SCARD_AUTOALLOCATE) {
        char *copy = (char *)malloc(list.size());
        if (!copy)
            return SCARD_E_NO_MEMORY;
        memcpy(copy, list.data(), list.size());
        *(char **)readers = copy;
    } else if (readers) {
        if (*length < list.size())
            return SCARD_E_INSUFFICIENT_BUFFER;
        memcpy(readers, list.data(), list.size());
    }
    *length = (DWORD)list.size();
    return SCARD_S_SUCCESS;
}

LONG PCSC_CALL SCardFreeMemory(SCARDCONTEXT, LPCVOID memory)
{
    state().counters.freeMemory++;
    free((void *)memory);
    return SCARD_S_SUCCESS;
}

// Like pcscd: the event count sits in the high 16 bits, an entry whose
// current state differs from the reader's is marked changed, and an
// UNAWARE entry is always reported; an entry whose current state holds
// IGNORE is skipped and answered IGNORE, as both platforms do. A reader
// that is gone is reported as the platform reports it (setPlatform).
// pcsc-lite takes at most 16 entries. Without a change the call times out
// at once instead of waiting.
LONG PCSC_CALL SCardGetStatusChangeA(SCARDCONTEXT context, DWORD timeout,
                                     LPSCARD_READERSTATEA states, DWORD count)
{
    State &s = state();
    s.counters.statusCalls++;
    s.statusTimeout = timeout;
    s.statusCount = count;
    s.statusNames.clear();
    for (DWORD i = 0; i < count; i++)
        s.statusNames.push_back(states[i].szReader ? states[i].szReader : "");
    if (s.statusFailures) {
        s.statusFailures--;
        return s.statusError;
    }
    if (s.platform == PcscLite && count > 16)
        return SCARD_E_INVALID_PARAMETER;
    if (s.platform == PcscLite && (count == 0 || everyEntryIgnored(states, count)))
        return SCARD_S_SUCCESS;
    const LONG usable = checkContext(context);
    if (usable != SCARD_S_SUCCESS)
        return usable;
    if (s.platform == PcscLite && anyEntryMissing(states, count))
        return SCARD_E_UNKNOWN_READER;
    bool changed = false;
    for (DWORD i = 0; i < count; i++) {
        SCARD_READERSTATEA &entry = states[i];
        if (entry.dwCurrentState & SCARD_STATE_IGNORE) {
            entry.dwEventState = SCARD_STATE_IGNORE;
            continue;
        }
        const Reader *reader = findReader(entry.szReader);
        if (isArrivalWatch(entry.szReader))
            changed = reportArrivals(entry) || changed;
        else if (!reader)
            changed = reportGone(entry) || changed;
        else
            changed = reportReader(entry, *reader) || changed;
    }
    return changed ? SCARD_S_SUCCESS : SCARD_E_TIMEOUT;
}

namespace {

LONG connectReader(LPCSTR name, LPSCARDHANDLE card, LPDWORD protocol)
{
    if (state().connectError)
        return state().connectError;
    Reader *reader = findReader(name);
    if (!reader)
        return SCARD_E_UNKNOWN_READER;
    if (!reader->present)
        return SCARD_E_NO_SMARTCARD;
    if (reader->flags & SCARD_STATE_EXCLUSIVE)
        return SCARD_E_SHARING_VIOLATION;
    const SCARDHANDLE handle = state().nextHandle++;
    state().connections[handle] =
        Connection{(size_t)(reader - state().readers.data()), reader->generation, freshSelection()};
    *card = handle;
    if (protocol)
        *protocol = SCARD_PROTOCOL_T0;
    return SCARD_S_SUCCESS;
}

} // namespace

LONG PCSC_CALL SCardConnectA(SCARDCONTEXT context, LPCSTR name, DWORD shareMode, DWORD protocols,
                             LPSCARDHANDLE card, LPDWORD protocol)
{
    state().counters.connects++;
    LONG result = checkContext(context);
    if (result == SCARD_S_SUCCESS)
        result = connectReader(name, card, protocol);
    state().connectLog.push_back(ConnectRecord{name ? name : "", shareMode, protocols, result});
    return result;
}

LONG PCSC_CALL SCardDisconnect(SCARDHANDLE card, DWORD disposition)
{
    state().counters.disconnects++;
    state().disconnectLog.push_back(DisconnectRecord{card, disposition});
    return state().connections.erase(card) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG PCSC_CALL SCardBeginTransaction(SCARDHANDLE card)
{
    state().counters.beginTransactions++;
    if (!state().connections.count(card))
        return SCARD_E_INVALID_HANDLE;
    state().transactions++;
    return SCARD_S_SUCCESS;
}

LONG PCSC_CALL SCardEndTransaction(SCARDHANDLE card, DWORD)
{
    state().counters.endTransactions++;
    if (!state().connections.count(card) || state().transactions == 0)
        return SCARD_E_INVALID_HANDLE;
    state().transactions--;
    return SCARD_S_SUCCESS;
}

LONG PCSC_CALL SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST, LPCBYTE command, DWORD length,
                             LPSCARD_IO_REQUEST, LPBYTE answer, LPDWORD answerLength)
{
    State &s = state();
    const unsigned index = ++s.counters.transmits;
    CommandRecord record{card, Bytes(command, command + length), Bytes(), SCARD_S_SUCCESS};
    auto connection = s.connections.find(card);
    auto fault = s.faults.find(index);
    if (s.failFromIndex && index >= s.failFromIndex)
        record.result = s.failFromError;
    else if (fault != s.faults.end() && fault->second.kind == Fault::PcscError)
        record.result = fault->second.error;
    else if (connection == s.connections.end())
        record.result = SCARD_E_INVALID_HANDLE;
    else if (s.readers[connection->second.reader].generation != connection->second.generation)
        record.result = SCARD_W_REMOVED_CARD;
    if (record.result == SCARD_S_SUCCESS && s.readers[connection->second.reader].answersLeft == 0)
        record.result = SCARD_E_NOT_TRANSACTED;
    if (record.result == SCARD_S_SUCCESS) {
        Reader &reader = s.readers[connection->second.reader];
        if (reader.answersLeft > 0)
            reader.answersLeft--;
        record.answer = answerApdu(reader.card, connection->second.selection, record.command,
                                   s.selectGetResponse);
        if (fault != s.faults.end())
            record.answer = applyFault(fault->second, record.answer);
        if (record.answer.size() > *answerLength)
            record.result = SCARD_E_INSUFFICIENT_BUFFER;
    }
    if (record.result == SCARD_S_SUCCESS) {
        if (!record.answer.empty())
            memcpy(answer, record.answer.data(), record.answer.size());
        *answerLength = (DWORD)record.answer.size();
    } else {
        record.answer.clear();
    }
    s.log.push_back(record);
    return record.result;
}

#ifdef _WIN32
// Windows': an event set while the service runs.
HANDLE WINAPI SCardAccessStartedEvent(void)
{
    return fakepcsc::startedEvent();
}

void WINAPI SCardReleaseStartedEvent(void) {}
#endif

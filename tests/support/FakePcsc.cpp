// The PC/SC double's readers, cards and SCard* functions.
#include "FakePcsc.h"

#include "card-image/CardEmulator.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

namespace fakepcsc {
namespace {

const SCARDCONTEXT ContextValue = 0x5C0;

struct Reader {
    std::string name;
    bool hidden; // made by connectCard: not listed
    bool present;
    CardImage card;
    DWORD flags;
    DWORD events; // every change pcscd would count
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

DWORD readerState(const Reader &reader)
{
    const DWORD presence = reader.present ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY;
    return presence | reader.flags | (reader.events << 16);
}

Reader *findReader(const char *name)
{
    for (Reader &reader : state().readers)
        if (name && reader.name == name)
            return &reader;
    return NULL;
}

} // namespace

Fault statusFault(uint16_t status) { return Fault{Fault::StatusWord, status, {}, 0, 0}; }
Fault dataFault(const Bytes &data, uint16_t status) { return Fault{Fault::DataAndStatus, status, data, 0, 0}; }
Fault shortFault(size_t count) { return Fault{Fault::ShortAnswer, 0, {}, count, 0}; }
Fault errorFault(LONG error) { return Fault{Fault::PcscError, 0, {}, 0, error}; }

void reset() { state() = State(); }

size_t addReader(const std::string &name)
{
    state().readers.push_back(Reader{name, false, false, CardImage(), 0, 0, 0});
    return state().readers.size() - 1;
}

void insertCard(size_t reader, const CardImage &card)
{
    Reader &r = state().readers.at(reader);
    r.card = card;
    r.present = true;
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

void setReaderFlags(size_t reader, DWORD flags)
{
    Reader &r = state().readers.at(reader);
    r.flags = flags;
    r.events++;
}

CardImage *cardIn(size_t reader)
{
    Reader &r = state().readers.at(reader);
    return r.present ? &r.card : NULL;
}

SCARDHANDLE connectCard(const CardImage &card)
{
    const size_t reader = addReader("Test Reader " + std::to_string(state().readers.size()));
    state().readers[reader].hidden = true;
    insertCard(reader, card);
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    SCardConnectA(ContextValue, state().readers[reader].name.c_str(), SCARD_SHARE_SHARED,
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
unsigned openConnections() { return (unsigned)state().connections.size(); }
unsigned openTransactions() { return state().transactions; }

} // namespace fakepcsc

using namespace fakepcsc;

LONG PCSC_CALL SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context)
{
    state().counters.establish++;
    if (state().establishError)
        return state().establishError;
    *context = ContextValue;
    return SCARD_S_SUCCESS;
}

LONG PCSC_CALL SCardReleaseContext(SCARDCONTEXT)
{
    state().counters.release++;
    return SCARD_S_SUCCESS;
}

LONG PCSC_CALL SCardListReadersA(SCARDCONTEXT, LPCSTR, LPSTR readers, LPDWORD length)
{
    state().counters.listReaders++;
    if (state().listError)
        return state().listError;
    std::string list;
    for (const Reader &reader : state().readers)
        if (!reader.hidden)
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
// UNAWARE entry is always reported. Without a change the call times out at
// once instead of waiting.
LONG PCSC_CALL SCardGetStatusChangeA(SCARDCONTEXT, DWORD timeout, LPSCARD_READERSTATEA states,
                                     DWORD count)
{
    state().counters.statusCalls++;
    state().statusTimeout = timeout;
    state().statusCount = count;
    if (state().statusFailures) {
        state().statusFailures--;
        return state().statusError;
    }
    bool changed = false;
    for (DWORD i = 0; i < count; i++) {
        SCARD_READERSTATEA &entry = states[i];
        Reader *reader = findReader(entry.szReader);
        if (!reader) {
            entry.dwEventState = SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED;
            changed = true;
            continue;
        }
        const DWORD now = readerState(*reader);
        const bool differs = entry.dwCurrentState == SCARD_STATE_UNAWARE ||
                             (entry.dwCurrentState & ~(DWORD)SCARD_STATE_CHANGED) != now;
        entry.dwEventState = now | (differs ? SCARD_STATE_CHANGED : 0);
        entry.cbAtr = reader->present ? (DWORD)reader->card.atr.size() : 0;
        if (entry.cbAtr > sizeof entry.rgbAtr)
            entry.cbAtr = sizeof entry.rgbAtr;
        memset(entry.rgbAtr, 0, sizeof entry.rgbAtr);
        if (reader->present)
            memcpy(entry.rgbAtr, reader->card.atr.data(), entry.cbAtr);
        changed = changed || differs;
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
    const SCARDHANDLE handle = state().nextHandle++;
    state().connections[handle] =
        Connection{(size_t)(reader - state().readers.data()), reader->generation, freshSelection()};
    *card = handle;
    if (protocol)
        *protocol = SCARD_PROTOCOL_T0;
    return SCARD_S_SUCCESS;
}

} // namespace

LONG PCSC_CALL SCardConnectA(SCARDCONTEXT, LPCSTR name, DWORD shareMode, DWORD protocols,
                             LPSCARDHANDLE card, LPDWORD protocol)
{
    state().counters.connects++;
    const LONG result = connectReader(name, card, protocol);
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
    if (record.result == SCARD_S_SUCCESS) {
        Reader &reader = s.readers[connection->second.reader];
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

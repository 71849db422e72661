// The PC/SC double's readers, cards and SCard* functions.
#include "FakePcsc.h"

#include <stdlib.h>
#include <string.h>

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

// Where a connected card stands: its current directory and elementary file.
struct Connection {
    size_t reader;
    unsigned generation; // the reader's at connection: a later card change ends it
    int currentDf;
    int currentEf;
    Bytes pending; // data waiting for GET RESPONSE
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
    Counters counters = {};
};

State &state()
{
    static State s;
    return s;
}

Bytes statusOnly(uint16_t status)
{
    return Bytes{(uint8_t)(status >> 8), (uint8_t)status};
}

Bytes withStatus(Bytes data, uint16_t status)
{
    data.push_back((uint8_t)(status >> 8));
    data.push_back((uint8_t)status);
    return data;
}

bool isParent(const CardFile &parent, const CardFile &child)
{
    return child.path.size() == parent.path.size() + 1 &&
           std::equal(parent.path.begin(), parent.path.end(), child.path.begin());
}

// File control information, enough for a T=0 card's GET RESPONSE.
Bytes fciOf(const CardFile &file)
{
    Bytes fci{0x6F, 0x04, 0x83, 0x02, (uint8_t)(file.path.back() >> 8), (uint8_t)file.path.back()};
    return fci;
}

Bytes selectAnswer(Connection &connection, const CardFile &file)
{
    if (!state().selectGetResponse)
        return statusOnly(0x9000);
    connection.pending = fciOf(file);
    return statusOnly((uint16_t)(0x6100 | connection.pending.size()));
}

Bytes selectByName(Connection &connection, CardImage &card, const Bytes &name)
{
    for (size_t i = 0; i < card.files.size(); i++) {
        if (card.files[i].directory && card.files[i].dfName == name) {
            connection.currentDf = (int)i;
            connection.currentEf = -1;
            return selectAnswer(connection, card.files[i]);
        }
    }
    return statusOnly(0x6A82);
}

Bytes selectById(Connection &connection, CardImage &card, uint16_t id)
{
    for (size_t i = 0; i < card.files.size(); i++) {
        const CardFile &file = card.files[i];
        bool reachable = file.path.size() == 1 && file.path[0] == id;
        if (connection.currentDf >= 0 && file.path.back() == id)
            reachable = reachable || isParent(card.files[connection.currentDf], file);
        if (!reachable)
            continue;
        if (file.directory) {
            connection.currentDf = (int)i;
            connection.currentEf = -1;
        } else {
            connection.currentEf = (int)i;
        }
        return selectAnswer(connection, file);
    }
    return statusOnly(0x6A82);
}

Bytes readBinary(Connection &connection, CardImage &card, const uint8_t *apdu)
{
    if (connection.currentEf < 0)
        return statusOnly(0x6986);
    const Bytes &content = card.files[connection.currentEf].content;
    const size_t offset = (size_t)(apdu[2] & 0x7F) << 8 | apdu[3];
    const size_t wanted = apdu[4] ? apdu[4] : 256;
    if (offset >= content.size())
        return statusOnly(0x6B00);
    const size_t available = content.size() - offset;
    const size_t given = available < wanted ? available : wanted;
    Bytes data(content.begin() + (long)offset, content.begin() + (long)(offset + given));
    return withStatus(data, given == wanted ? 0x9000 : 0x6282);
}

Bytes chipInfo(CardImage &card, const uint8_t *apdu)
{
    const size_t wanted = apdu[4] ? apdu[4] : 256;
    if (card.chipInfo.size() < wanted)
        return statusOnly((uint16_t)(0x6C00 | card.chipInfo.size()));
    return withStatus(Bytes(card.chipInfo.begin(), card.chipInfo.begin() + (long)wanted), 0x9000);
}

Bytes getResponse(Connection &connection, const uint8_t *apdu)
{
    if (connection.pending.empty())
        return statusOnly(0x6985);
    const size_t wanted = apdu[4] ? apdu[4] : 256;
    Bytes data = connection.pending;
    connection.pending.clear();
    if (data.size() > wanted)
        data.resize(wanted);
    return withStatus(data, 0x9000);
}

// The card's own answer to one command APDU.
Bytes answerCommand(Connection &connection, CardImage &card, const Bytes &apdu)
{
    if (apdu.size() < 5)
        return statusOnly(0x6700);
    const uint8_t cla = apdu[0], ins = apdu[1], p1 = apdu[2], lc = apdu[4];
    if (cla == 0x00 && ins == 0xC0)
        return getResponse(connection, apdu.data());
    connection.pending.clear();
    if (cla == 0x90 && ins == 0xB8)
        return chipInfo(card, apdu.data());
    if (cla != 0x00)
        return statusOnly(0x6E00);
    switch (ins) {
    case 0xA4:
        if (apdu.size() != 5u + lc)
            return statusOnly(0x6700);
        if (p1 == 0x04)
            return selectByName(connection, card, Bytes(apdu.begin() + 5, apdu.end()));
        if (p1 == 0x00 && lc == 2)
            return selectById(connection, card, (uint16_t)(apdu[5] << 8 | apdu[6]));
        return statusOnly(0x6A86);
    case 0xB0:
        return readBinary(connection, card, apdu.data());
    default:
        return statusOnly(0x6D00);
    }
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
LONG PCSC_CALL SCardGetStatusChangeA(SCARDCONTEXT, DWORD, LPSCARD_READERSTATEA states, DWORD count)
{
    state().counters.statusCalls++;
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

LONG PCSC_CALL SCardConnectA(SCARDCONTEXT, LPCSTR name, DWORD, DWORD, LPSCARDHANDLE card,
                             LPDWORD protocol)
{
    state().counters.connects++;
    if (state().connectError)
        return state().connectError;
    Reader *reader = findReader(name);
    if (!reader)
        return SCARD_E_UNKNOWN_READER;
    if (!reader->present)
        return SCARD_E_NO_SMARTCARD;
    const SCARDHANDLE handle = state().nextHandle++;
    state().connections[handle] =
        Connection{(size_t)(reader - state().readers.data()), reader->generation, -1, -1, Bytes()};
    *card = handle;
    if (protocol)
        *protocol = SCARD_PROTOCOL_T0;
    return SCARD_S_SUCCESS;
}

LONG PCSC_CALL SCardDisconnect(SCARDHANDLE card, DWORD)
{
    state().counters.disconnects++;
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
        record.answer = answerCommand(connection->second, reader.card, record.command);
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

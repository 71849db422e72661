// The fuzzing PC/SC double: the SCard* functions over one scripted card.
#include "FuzzPcsc.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

namespace fuzzpcsc {
namespace {

const SCARDCONTEXT ContextValue = 0xF00;
const SCARDHANDLE HandleValue = 0xF01;
// Code that goes on sending this many commands to a pulled card is looping.
const unsigned CommandsAfterRemovalLimit = 1000;

const LONG Errors[] = {SCARD_W_REMOVED_CARD, SCARD_E_NO_SMARTCARD, SCARD_F_COMM_ERROR,
                       SCARD_E_TIMEOUT,      SCARD_W_RESET_CARD,   SCARD_E_INVALID_HANDLE};

struct State {
    const uint8_t *script;
    size_t size;
    size_t position;
    bool present;
    bool pulled; // the script has run out
    unsigned commandsAfterRemoval;
    unsigned connections;
    unsigned transactions;
    unsigned events;
    uint8_t atr[SCARD_ATR_LENGTH];
    size_t atrLength;
};

State state;

// A script that runs out, even inside an answer, pulls the card for good.
bool take(size_t count, const uint8_t *&bytes)
{
    if (state.pulled || state.size - state.position < count) {
        state.pulled = true;
        state.position = state.size;
        return false;
    }
    bytes = state.script + state.position;
    state.position += count;
    return true;
}

// Answers the next scripted reply: its bytes, or a PC/SC error.
LONG nextAnswer(const uint8_t *&answer, size_t &length)
{
    const uint8_t *head;
    if (!take(1, head))
        return SCARD_W_REMOVED_CARD;
    length = head[0];
    if (head[0] == ScriptEscape) {
        const uint8_t *escape;
        if (!take(1, escape))
            return SCARD_W_REMOVED_CARD;
        if (escape[0] < 0x80)
            return Errors[escape[0] % (sizeof Errors / sizeof Errors[0])];
        length = 255 + (escape[0] & 1);
    }
    if (!take(length, answer))
        return SCARD_W_REMOVED_CARD;
    return SCARD_S_SUCCESS;
}

} // namespace

void start(const uint8_t *script, size_t size)
{
    state = State{script, size, 0, true, false, 0, 0, 0, 1, {}, 0};
}

void pullCard()
{
    state.present = false;
    state.events++;
}

void setAtr(const uint8_t *atr, size_t size)
{
    state.atrLength = size < sizeof state.atr ? size : sizeof state.atr;
    memcpy(state.atr, atr, state.atrLength);
}

unsigned openConnections() { return state.connections; }
unsigned openTransactions() { return state.transactions; }

} // namespace fuzzpcsc

using namespace fuzzpcsc;

LONG PCSC_CALL SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context)
{
    *context = ContextValue;
    return SCARD_S_SUCCESS;
}

LONG PCSC_CALL SCardReleaseContext(SCARDCONTEXT) { return SCARD_S_SUCCESS; }

// The one reader, in a list that lives as long as the program.
LONG PCSC_CALL SCardListReadersA(SCARDCONTEXT, LPCSTR, LPSTR readers, LPDWORD length)
{
    static const char list[sizeof ReaderName + 1] = "Fuzz Reader 0";
    if (!length || *length != SCARD_AUTOALLOCATE || !readers)
        return SCARD_E_INVALID_PARAMETER;
    *(const char **)readers = list;
    *length = sizeof list;
    return SCARD_S_SUCCESS;
}

LONG PCSC_CALL SCardFreeMemory(SCARDCONTEXT, LPCVOID) { return SCARD_S_SUCCESS; }

// Every entry naming the reader gets its state; the event count sits in
// the high 16 bits as in pcscd. The arrival watch never reports a change,
// as pcsc-lite between two calls.
LONG PCSC_CALL SCardGetStatusChangeA(SCARDCONTEXT, DWORD, LPSCARD_READERSTATEA states, DWORD count)
{
    bool changed = false;
    for (DWORD i = 0; i < count; i++) {
        SCARD_READERSTATEA &entry = states[i];
        if (entry.szReader && strcmp(entry.szReader, "\\\\?PnP?\\Notification") == 0) {
            entry.dwEventState = 0;
            continue;
        }
        if (!entry.szReader || strcmp(entry.szReader, ReaderName) != 0) {
            entry.dwEventState = SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED;
            changed = true;
            continue;
        }
        const DWORD now = (state.present ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY) |
                          (DWORD)state.events << 16;
        const bool differs = (entry.dwCurrentState & ~(DWORD)SCARD_STATE_CHANGED) != now;
        entry.dwEventState = now | (differs ? SCARD_STATE_CHANGED : 0);
        entry.cbAtr = state.present ? (DWORD)state.atrLength : 0;
        memset(entry.rgbAtr, 0, sizeof entry.rgbAtr);
        memcpy(entry.rgbAtr, state.atr, entry.cbAtr);
        changed = changed || differs;
    }
    return changed ? SCARD_S_SUCCESS : SCARD_E_TIMEOUT;
}

LONG PCSC_CALL SCardConnectA(SCARDCONTEXT, LPCSTR name, DWORD, DWORD, LPSCARDHANDLE card,
                             LPDWORD protocol)
{
    if (!name || strcmp(name, ReaderName) != 0)
        return SCARD_E_UNKNOWN_READER;
    if (!state.present)
        return SCARD_E_NO_SMARTCARD;
    state.connections++;
    *card = HandleValue;
    if (protocol)
        *protocol = SCARD_PROTOCOL_T0;
    return SCARD_S_SUCCESS;
}

LONG PCSC_CALL SCardDisconnect(SCARDHANDLE card, DWORD)
{
    if (card != HandleValue || state.connections == 0)
        return SCARD_E_INVALID_HANDLE;
    state.connections--;
    return SCARD_S_SUCCESS;
}

LONG PCSC_CALL SCardBeginTransaction(SCARDHANDLE card)
{
    if (card != HandleValue)
        return SCARD_E_INVALID_HANDLE;
    state.transactions++;
    return SCARD_S_SUCCESS;
}

LONG PCSC_CALL SCardEndTransaction(SCARDHANDLE card, DWORD)
{
    if (card != HandleValue || state.transactions == 0)
        return SCARD_E_INVALID_HANDLE;
    state.transactions--;
    return SCARD_S_SUCCESS;
}

LONG PCSC_CALL SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST, LPCBYTE command, DWORD length,
                             LPSCARD_IO_REQUEST, LPBYTE answer, LPDWORD answerLength)
{
    if (card != HandleValue || !command || length == 0 || !answer || !answerLength)
        return SCARD_E_INVALID_PARAMETER;
    if (state.pulled && ++state.commandsAfterRemoval > CommandsAfterRemovalLimit) {
        fprintf(stderr, "fuzzpcsc: %u commands sent to a pulled card\n", state.commandsAfterRemoval);
        abort();
    }
    const uint8_t *reply = NULL;
    size_t replyLength = 0;
    const LONG result = nextAnswer(reply, replyLength);
    if (result != SCARD_S_SUCCESS)
        return result;
    if (replyLength > *answerLength)
        return SCARD_E_INSUFFICIENT_BUFFER;
    if (replyLength)
        memcpy(answer, reply, replyLength);
    *answerLength = (DWORD)replyLength;
    return SCARD_S_SUCCESS;
}

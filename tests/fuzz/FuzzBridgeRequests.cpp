// libFuzzer target over the bridge helper's requests. The input is what one
// client sends after its greeting: frames as on the wire. Each is handled as
// the helper does, on a fake resource manager with one reader and a card
// that echoes commands, up to the first frame whose length cannot be
// followed; then the client goes away. Aborts when the helper hands the
// resource manager a handle it does not hold, holds more than a client's
// limits, or leaves anything open once the client is gone.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <set>
#include <vector>

#include "../../tools/pcsc-bridge/BridgeServe.h"

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

namespace {

const char ReaderName[] = "Fuzz Reader 0";
const char ReaderList[] = "Fuzz Reader 0\0";
const uint8_t Atr[] = {0x3B, 0x02, 0x14, 0x50};

std::set<SCARDCONTEXT> contexts;
std::map<SCARDHANDLE, SCARDCONTEXT> cards;
SCARDHANDLE nextValue = 0x100;

void broken(const char *promise)
{
    fprintf(stderr, "the helper broke its promise: %s\n", promise);
    abort();
}

void checkContext(SCARDCONTEXT context)
{
    if (!contexts.count(context))
        broken("a context it does not hold reached the resource manager");
}

void checkCard(SCARDHANDLE card)
{
    if (!cards.count(card))
        broken("a card handle it does not hold reached the resource manager");
}

} // namespace

extern "C" {

LONG SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context)
{
    if (scope > SCARD_SCOPE_SYSTEM)
        return SCARD_E_INVALID_VALUE;
    if (contexts.size() >= BridgeMaxContexts)
        broken("more contexts than a client may hold");
    *context = nextValue++;
    contexts.insert(*context);
    return SCARD_S_SUCCESS;
}

LONG SCardReleaseContext(SCARDCONTEXT context)
{
    checkContext(context);
    contexts.erase(context);
    for (auto card = cards.begin(); card != cards.end();)
        card = card->second == context ? cards.erase(card) : std::next(card);
    return SCARD_S_SUCCESS;
}

LONG SCardListReaders(SCARDCONTEXT context, LPCSTR, LPSTR readers, LPDWORD length)
{
    checkContext(context);
    const DWORD needed = sizeof ReaderList;
    if (readers && *length < needed) {
        *length = needed;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    if (readers)
        memcpy(readers, ReaderList, needed);
    *length = needed;
    return SCARD_S_SUCCESS;
}

// The card is present; a caller that knows it waits in vain.
LONG SCardGetStatusChange(SCARDCONTEXT context, DWORD, SCARD_READERSTATE *states, DWORD count)
{
    checkContext(context);
    if (count > BridgeMaxStates)
        broken("more reader states than a request may carry");
    bool changed = false;
    for (DWORD i = 0; i < count; i++) {
        const bool known = strcmp(states[i].szReader, ReaderName) == 0;
        states[i].dwEventState = known ? SCARD_STATE_PRESENT : SCARD_STATE_UNKNOWN;
        states[i].cbAtr = known ? sizeof Atr : 0;
        memcpy(states[i].rgbAtr, Atr, sizeof Atr);
        if (states[i].dwCurrentState != states[i].dwEventState) {
            states[i].dwEventState |= SCARD_STATE_CHANGED;
            changed = true;
        }
    }
    return changed ? SCARD_S_SUCCESS : SCARD_E_TIMEOUT;
}

LONG SCardConnect(SCARDCONTEXT context, LPCSTR reader, DWORD shareMode, DWORD protocols, LPSCARDHANDLE card,
                  LPDWORD active)
{
    checkContext(context);
    if (strcmp(reader, ReaderName) != 0)
        return SCARD_E_UNKNOWN_READER;
    if (shareMode < SCARD_SHARE_EXCLUSIVE || shareMode > SCARD_SHARE_DIRECT || !(protocols & SCARD_PROTOCOL_T0))
        return SCARD_E_INVALID_VALUE;
    if (cards.size() >= BridgeMaxCards)
        broken("more cards than a client may hold");
    *card = nextValue++;
    *active = SCARD_PROTOCOL_T0;
    cards[*card] = context;
    return SCARD_S_SUCCESS;
}

LONG SCardDisconnect(SCARDHANDLE card, DWORD)
{
    checkCard(card);
    cards.erase(card);
    return SCARD_S_SUCCESS;
}

LONG SCardBeginTransaction(SCARDHANDLE card)
{
    checkCard(card);
    return SCARD_S_SUCCESS;
}

LONG SCardEndTransaction(SCARDHANDLE card, DWORD)
{
    checkCard(card);
    return SCARD_S_SUCCESS;
}

// Echoes the command with 90 00 after it.
LONG SCardTransmit(SCARDHANDLE card, const SCARD_IO_REQUEST *, LPCBYTE command, DWORD length, SCARD_IO_REQUEST *,
                   LPBYTE answer, LPDWORD answerLength)
{
    checkCard(card);
    if (!command || !length || length > BridgeMaxApdu)
        broken("a command the request could not carry");
    if (*answerLength < length + 2)
        return SCARD_E_INSUFFICIENT_BUFFER;
    memmove(answer, command, length);
    answer[length] = 0x90;
    answer[length + 1] = 0x00;
    *answerLength = length + 2;
    return SCARD_S_SUCCESS;
}

} // extern "C"

namespace {

// A socket whose other end is closed, so that a status wait ends at once.
int gonePeer()
{
    static int peer = -1;
    int ends[2];
    if (peer < 0 && socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0) {
        close(ends[1]);
        peer = ends[0];
    }
    return peer;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint64_t client = 0x0123456789ABCDEF;
    if (!joinClient(client))
        broken("a first connection was turned away");
    std::vector<uint8_t> replyBody(BridgeMaxFrame - 8);
    size_t at = 0;
    uint32_t length = 0;
    while (size - at >= 4 && frameLength(data + at, length) && size - at - 4 >= length) {
        // The request alone in memory of its own size, as the helper reads it.
        std::vector<uint8_t> request(data + at + 4, data + at + 4 + length);
        at += 4 + length;
        BridgeWriter body = bridgeWriter(replyBody.data(), (uint32_t)replyBody.size());
        handleRequest(client, request.data(), length, body, gonePeer());
        if (body.length > body.capacity)
            broken("a reply body beyond its buffer");
    }
    leaveClient(client);
    if (!contexts.empty() || !cards.empty())
        broken("handles left open after the client went away");
    return 0;
}

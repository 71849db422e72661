#include "BridgeServe.h"

#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

bool bridgeLogStatusChanges = false;

namespace {

// The resource manager's handles behind the 32-bit numbers handed out.
struct HandleEntry {
    uint64_t client;
    bool isCard;
    uint32_t context; // the owning context of a card
    SCARDHANDLE value; // SCARDCONTEXT and SCARDHANDLE are the same type
};

struct ClientEntry {
    unsigned connections;
    unsigned contexts;
    unsigned cards;
};

std::mutex handleLock; // guards everything below
std::map<uint32_t, HandleEntry> handles;
std::map<uint64_t, ClientEntry> clients;
uint32_t nextHandle = 0x00010001;

// Takes one of the client's context or card places before the resource
// manager is asked, so that a client over its limit never reaches it.
bool reserveHandle(uint64_t client, bool isCard)
{
    std::lock_guard<std::mutex> guard(handleLock);
    ClientEntry &entry = clients[client];
    unsigned &held = isCard ? entry.cards : entry.contexts;
    if (held >= (isCard ? BridgeMaxCards : BridgeMaxContexts))
        return false;
    held++;
    return true;
}

void releasePlace(uint64_t client, bool isCard)
{
    auto entry = clients.find(client);
    if (entry == clients.end())
        return;
    unsigned &held = isCard ? entry->second.cards : entry->second.contexts;
    if (held)
        held--;
}

void unreserveHandle(uint64_t client, bool isCard)
{
    std::lock_guard<std::mutex> guard(handleLock);
    releasePlace(client, isCard);
}

uint32_t addHandle(uint64_t client, bool isCard, uint32_t context, SCARDHANDLE value)
{
    std::lock_guard<std::mutex> guard(handleLock);
    while (nextHandle == 0 || handles.count(nextHandle))
        nextHandle++;
    const uint32_t number = nextHandle++;
    handles[number] = HandleEntry{client, isCard, context, value};
    return number;
}

bool findHandle(uint64_t client, uint32_t number, bool isCard, SCARDHANDLE &value)
{
    std::lock_guard<std::mutex> guard(handleLock);
    auto entry = handles.find(number);
    if (entry == handles.end() || entry->second.client != client || entry->second.isCard != isCard)
        return false;
    value = entry->second.value;
    return true;
}

// The handle a request names, once all its arguments were read: a request
// that was cut short answers first, then an unknown or wrong-kind number.
LONG lookUpHandle(uint64_t client, bool wellFormed, uint32_t number, bool isCard, SCARDHANDLE &value)
{
    if (!wellFormed)
        return SCARD_E_INVALID_PARAMETER;
    return findHandle(client, number, isCard, value) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

// Forgets a context and the cards connected through it.
void dropContext(uint64_t client, uint32_t number)
{
    std::lock_guard<std::mutex> guard(handleLock);
    for (auto entry = handles.begin(); entry != handles.end();) {
        const bool owned = entry->first == number || (entry->second.isCard && entry->second.context == number);
        if (owned && entry->second.client == client) {
            releasePlace(client, entry->second.isCard);
            entry = handles.erase(entry);
        } else {
            ++entry;
        }
    }
}

void dropCard(uint64_t client, uint32_t number)
{
    std::lock_guard<std::mutex> guard(handleLock);
    auto entry = handles.find(number);
    if (entry == handles.end() || entry->second.client != client)
        return;
    releasePlace(client, true);
    handles.erase(entry);
}

DWORD toLiteProtocols(uint32_t protocols)
{
    DWORD lite = protocols & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    if (protocols & BridgeProtocolRaw)
        lite |= SCARD_PROTOCOL_RAW;
    return lite;
}

uint32_t fromLiteProtocol(DWORD protocol)
{
    if (protocol == SCARD_PROTOCOL_RAW)
        return BridgeProtocolRaw;
    return (uint32_t)protocol;
}

std::string nameText(const uint8_t *bytes, uint32_t count)
{
    return std::string((const char *)bytes, count).c_str(); // up to an embedded NUL
}

bool peerGone(int peer)
{
    struct pollfd entry = {peer, POLLRDHUP, 0};
    return poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

LONG establishContext(uint64_t client, BridgeReader &in, BridgeWriter &out)
{
    const uint32_t scope = getU32(in);
    if (in.failed)
        return SCARD_E_INVALID_PARAMETER;
    if (!reserveHandle(client, false))
        return SCARD_E_NO_MEMORY;
    SCARDCONTEXT context = 0;
    const LONG result = SCardEstablishContext(scope, NULL, NULL, &context);
    if (result != SCARD_S_SUCCESS) {
        unreserveHandle(client, false);
        return result;
    }
    putU32(out, addHandle(client, false, 0, context));
    return result;
}

LONG releaseContext(uint64_t client, BridgeReader &in, BridgeWriter &)
{
    const uint32_t number = getU32(in);
    SCARDCONTEXT context;
    const LONG found = lookUpHandle(client, !in.failed, number, false, context);
    if (found != SCARD_S_SUCCESS)
        return found;
    dropContext(client, number);
    return SCardReleaseContext(context);
}

LONG listReaders(uint64_t client, BridgeReader &in, BridgeWriter &out)
{
    const uint32_t number = getU32(in);
    SCARDCONTEXT context;
    const LONG found = lookUpHandle(client, !in.failed, number, false, context);
    if (found != SCARD_S_SUCCESS)
        return found;
    DWORD length = 0;
    LONG result = SCardListReaders(context, NULL, NULL, &length);
    if (result != SCARD_S_SUCCESS)
        return result;
    if (length == 0 || length > BridgeMaxFrame / 2)
        return SCARD_F_INTERNAL_ERROR;
    std::vector<char> list(length);
    result = SCardListReaders(context, NULL, list.data(), &length);
    if (result != SCARD_S_SUCCESS)
        return result;
    if (length == 0 || length > list.size())
        return SCARD_F_INTERNAL_ERROR;
    list[length - 1] = '\0';
    putString(out, list.data(), (uint32_t)length);
    return result;
}

// Long waits are cut into slices, so that a client that goes away while
// waiting frees its thread within a second.
LONG waitForChange(SCARDCONTEXT context, uint32_t timeout, SCARD_READERSTATE *states, DWORD count,
                   int peer)
{
    const uint32_t slice = 1000;
    for (;;) {
        const uint32_t now = timeout == INFINITE || timeout > slice ? slice : timeout;
        const LONG result = SCardGetStatusChange(context, now, states, count);
        if (result != SCARD_E_TIMEOUT || now == timeout || peerGone(peer))
            return result;
        if (timeout != INFINITE)
            timeout -= now;
    }
}

void logStatusChange(const SCARD_READERSTATE *states, uint32_t count)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    std::string line = "status-change " + std::to_string((long long)now.tv_sec * 1000 + now.tv_nsec / 1000000);
    for (uint32_t i = 0; i < count; i++)
        line += " " + std::to_string((unsigned long)states[i].dwEventState);
    fprintf(stderr, "%s\n", line.c_str());
    fflush(stderr);
}

LONG getStatusChange(uint64_t client, BridgeReader &in, BridgeWriter &out, int peer)
{
    const uint32_t number = getU32(in);
    const uint32_t timeout = getU32(in);
    const uint32_t count = getU32(in);
    if (in.failed || count > BridgeMaxStates)
        return SCARD_E_INVALID_PARAMETER;
    std::vector<std::string> names(count);
    std::vector<SCARD_READERSTATE> states(count);
    for (uint32_t i = 0; i < count; i++) {
        states[i] = SCARD_READERSTATE();
        states[i].dwCurrentState = getU32(in);
        uint32_t length = 0;
        const uint8_t *name = getString(in, BridgeMaxName, length);
        if (in.failed)
            return SCARD_E_INVALID_PARAMETER;
        names[i] = nameText(name, length);
    }
    for (uint32_t i = 0; i < count; i++)
        states[i].szReader = names[i].c_str();
    SCARDCONTEXT context;
    if (!findHandle(client, number, false, context))
        return SCARD_E_INVALID_HANDLE;
    const LONG result = waitForChange(context, timeout, states.data(), count, peer);
    if (result == SCARD_S_SUCCESS && bridgeLogStatusChanges)
        logStatusChange(states.data(), count);
    putU32(out, count);
    for (const SCARD_READERSTATE &state : states) {
        uint8_t atr[BridgeAtrSize] = {};
        const uint32_t atrLength = state.cbAtr <= MAX_ATR_SIZE ? (uint32_t)state.cbAtr : 0;
        memcpy(atr, state.rgbAtr, atrLength);
        putU32(out, (uint32_t)state.dwEventState);
        putU32(out, atrLength);
        putBytes(out, atr, sizeof atr);
    }
    return result;
}

LONG connectCard(uint64_t client, BridgeReader &in, BridgeWriter &out)
{
    const uint32_t number = getU32(in);
    const uint32_t shareMode = getU32(in);
    const uint32_t protocols = getU32(in);
    uint32_t length = 0;
    const uint8_t *name = getString(in, BridgeMaxName, length);
    SCARDCONTEXT context;
    const LONG found = lookUpHandle(client, !in.failed, number, false, context);
    if (found != SCARD_S_SUCCESS)
        return found;
    if (!reserveHandle(client, true))
        return SCARD_E_NO_MEMORY;
    SCARDHANDLE card = 0;
    DWORD active = 0;
    const LONG result = SCardConnect(context, nameText(name, length).c_str(), shareMode,
                                     toLiteProtocols(protocols), &card, &active);
    if (result != SCARD_S_SUCCESS) {
        unreserveHandle(client, true);
        return result;
    }
    putU32(out, addHandle(client, true, number, card));
    putU32(out, fromLiteProtocol(active));
    return result;
}

bool knownDisposition(uint32_t disposition)
{
    return disposition == SCARD_LEAVE_CARD || disposition == SCARD_RESET_CARD ||
           disposition == SCARD_UNPOWER_CARD || disposition == SCARD_EJECT_CARD;
}

// The card's place is freed whatever the resource manager answers: its
// disconnection fails when the card's reader has gone (pcsc-lite before
// 1.9.9) or the service has stopped, and the handle is of no use then. A
// disposition it would refuse with the card still connected is refused
// here, the card kept, so that no card stays connected without a place.
LONG disconnectCard(uint64_t client, BridgeReader &in, BridgeWriter &)
{
    const uint32_t number = getU32(in);
    const uint32_t disposition = getU32(in);
    SCARDHANDLE card;
    const LONG found = lookUpHandle(client, !in.failed, number, true, card);
    if (found != SCARD_S_SUCCESS)
        return found;
    if (!knownDisposition(disposition))
        return SCARD_E_INVALID_VALUE;
    dropCard(client, number);
    return SCardDisconnect(card, disposition);
}

LONG beginTransaction(uint64_t client, BridgeReader &in, BridgeWriter &)
{
    const uint32_t number = getU32(in);
    SCARDHANDLE card;
    const LONG found = lookUpHandle(client, !in.failed, number, true, card);
    if (found != SCARD_S_SUCCESS)
        return found;
    return SCardBeginTransaction(card);
}

LONG endTransaction(uint64_t client, BridgeReader &in, BridgeWriter &)
{
    const uint32_t number = getU32(in);
    const uint32_t disposition = getU32(in);
    SCARDHANDLE card;
    const LONG found = lookUpHandle(client, !in.failed, number, true, card);
    if (found != SCARD_S_SUCCESS)
        return found;
    return SCardEndTransaction(card, disposition);
}

LONG transmit(uint64_t client, BridgeReader &in, BridgeWriter &out)
{
    const uint32_t number = getU32(in);
    const uint32_t protocol = getU32(in);
    const uint32_t capacity = getU32(in);
    uint32_t length = 0;
    const uint8_t *command = getString(in, BridgeMaxApdu, length);
    SCARDHANDLE card;
    const LONG found = lookUpHandle(client, !in.failed && length != 0, number, true, card);
    if (found != SCARD_S_SUCCESS)
        return found;
    const SCARD_IO_REQUEST *pci = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1
                                  : protocol == BridgeProtocolRaw ? SCARD_PCI_RAW
                                                                  : SCARD_PCI_T0;
    std::vector<uint8_t> answer(BridgeMaxApdu);
    DWORD answerLength = capacity < BridgeMaxApdu ? capacity : BridgeMaxApdu;
    const LONG result = SCardTransmit(card, pci, command, length, NULL, answer.data(), &answerLength);
    if (result != SCARD_S_SUCCESS)
        return result;
    if (answerLength > answer.size())
        return SCARD_F_INTERNAL_ERROR;
    putString(out, answer.data(), (uint32_t)answerLength);
    return result;
}

} // namespace

LONG handleRequest(uint64_t client, const uint8_t *request, uint32_t length, BridgeWriter &body, int peer)
{
    BridgeReader in = bridgeReader(request, length);
    const uint32_t operation = getU32(in);
    if (in.failed)
        return SCARD_E_INVALID_PARAMETER;
    switch (operation) {
    case BridgeEstablishContext: return establishContext(client, in, body);
    case BridgeReleaseContext: return releaseContext(client, in, body);
    case BridgeListReaders: return listReaders(client, in, body);
    case BridgeGetStatusChange: return getStatusChange(client, in, body, peer);
    case BridgeConnect: return connectCard(client, in, body);
    case BridgeDisconnect: return disconnectCard(client, in, body);
    case BridgeBeginTransaction: return beginTransaction(client, in, body);
    case BridgeEndTransaction: return endTransaction(client, in, body);
    case BridgeTransmit: return transmit(client, in, body);
    default: return SCARD_E_UNSUPPORTED_FEATURE;
    }
}


bool joinClient(uint64_t client)
{
    std::lock_guard<std::mutex> guard(handleLock);
    ClientEntry &entry = clients[client];
    if (entry.connections >= BridgeMaxClientConnections)
        return false;
    entry.connections++;
    return true;
}

// Cards are disconnected before their contexts are released, so that a
// transaction the client left open ends with it.
void leaveClient(uint64_t client)
{
    std::vector<HandleEntry> left;
    {
        std::lock_guard<std::mutex> guard(handleLock);
        auto entry = clients.find(client);
        if (entry == clients.end() || --entry->second.connections > 0)
            return;
        clients.erase(entry);
        for (auto handle = handles.begin(); handle != handles.end();) {
            if (handle->second.client == client) {
                left.push_back(handle->second);
                handle = handles.erase(handle);
            } else {
                ++handle;
            }
        }
    }
    for (const HandleEntry &handle : left)
        if (handle.isCard)
            SCardDisconnect(handle.value, SCARD_LEAVE_CARD);
    for (const HandleEntry &handle : left)
        if (!handle.isCard)
            SCardReleaseContext(handle.value);
}

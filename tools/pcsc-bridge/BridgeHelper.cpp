// The native half of the PC/SC bridge: listens on the loopback interface,
// makes each request of winscard.dll on pcscd through pcsc-lite and sends
// back the results. One thread per connection, so that a long status wait
// of one client never holds up another.
//   usage: velmo-pcsc-bridge [--port N] [--port-file FILE]
// The port may also come from VELMO_PCSC_BRIDGE_PORT; 0 picks a free one,
// which is written to the port file. Every status change handed to a client
// is logged on standard error with its Unix milliseconds and the event
// states, so that a benchmark can time what follows an event from the
// moment the client learnt of it.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <PCSC/winscard.h>

#include "../common/SocketIo.h"
#include "BridgeWire.h"

namespace {

// The resource manager's handles behind the 32-bit numbers handed out.
struct HandleEntry {
    bool isCard;
    uint32_t context; // the owning context of a card
    SCARDHANDLE value; // SCARDCONTEXT and SCARDHANDLE are the same type
};

std::mutex handleLock;
std::map<uint32_t, HandleEntry> handles;
uint32_t nextHandle = 0x00010001;

uint32_t addHandle(bool isCard, uint32_t context, SCARDHANDLE value)
{
    std::lock_guard<std::mutex> guard(handleLock);
    while (nextHandle == 0 || handles.count(nextHandle))
        nextHandle++;
    const uint32_t number = nextHandle++;
    handles[number] = HandleEntry{isCard, context, value};
    return number;
}

bool findHandle(uint32_t number, bool isCard, SCARDHANDLE &value)
{
    std::lock_guard<std::mutex> guard(handleLock);
    auto entry = handles.find(number);
    if (entry == handles.end() || entry->second.isCard != isCard)
        return false;
    value = entry->second.value;
    return true;
}

// The handle a request names, once all its arguments were read: a request
// that was cut short answers first, then an unknown or wrong-kind number.
LONG lookUpHandle(bool wellFormed, uint32_t number, bool isCard, SCARDHANDLE &value)
{
    if (!wellFormed)
        return SCARD_E_INVALID_PARAMETER;
    return findHandle(number, isCard, value) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

// Forgets a context and the cards connected through it.
void dropContext(uint32_t number)
{
    std::lock_guard<std::mutex> guard(handleLock);
    handles.erase(number);
    for (auto entry = handles.begin(); entry != handles.end();) {
        if (entry->second.isCard && entry->second.context == number)
            entry = handles.erase(entry);
        else
            ++entry;
    }
}

void dropCard(uint32_t number)
{
    std::lock_guard<std::mutex> guard(handleLock);
    handles.erase(number);
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

LONG establishContext(BridgeReader &in, BridgeWriter &out)
{
    const uint32_t scope = getU32(in);
    if (in.failed)
        return SCARD_E_INVALID_PARAMETER;
    SCARDCONTEXT context = 0;
    const LONG result = SCardEstablishContext(scope, NULL, NULL, &context);
    if (result == SCARD_S_SUCCESS)
        putU32(out, addHandle(false, 0, context));
    return result;
}

LONG releaseContext(BridgeReader &in, BridgeWriter &)
{
    const uint32_t number = getU32(in);
    SCARDCONTEXT context;
    const LONG found = lookUpHandle(!in.failed, number, false, context);
    if (found != SCARD_S_SUCCESS)
        return found;
    dropContext(number);
    return SCardReleaseContext(context);
}

LONG listReaders(BridgeReader &in, BridgeWriter &out)
{
    const uint32_t number = getU32(in);
    SCARDCONTEXT context;
    const LONG found = lookUpHandle(!in.failed, number, false, context);
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

LONG getStatusChange(BridgeReader &in, BridgeWriter &out, int peer)
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
    if (!findHandle(number, false, context))
        return SCARD_E_INVALID_HANDLE;
    const LONG result = waitForChange(context, timeout, states.data(), count, peer);
    if (result == SCARD_S_SUCCESS)
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

LONG connectCard(BridgeReader &in, BridgeWriter &out)
{
    const uint32_t number = getU32(in);
    const uint32_t shareMode = getU32(in);
    const uint32_t protocols = getU32(in);
    uint32_t length = 0;
    const uint8_t *name = getString(in, BridgeMaxName, length);
    SCARDCONTEXT context;
    const LONG found = lookUpHandle(!in.failed, number, false, context);
    if (found != SCARD_S_SUCCESS)
        return found;
    SCARDHANDLE card = 0;
    DWORD active = 0;
    const LONG result = SCardConnect(context, nameText(name, length).c_str(), shareMode,
                                     toLiteProtocols(protocols), &card, &active);
    if (result != SCARD_S_SUCCESS)
        return result;
    putU32(out, addHandle(true, number, card));
    putU32(out, fromLiteProtocol(active));
    return result;
}

LONG disconnectCard(BridgeReader &in, BridgeWriter &)
{
    const uint32_t number = getU32(in);
    const uint32_t disposition = getU32(in);
    SCARDHANDLE card;
    const LONG found = lookUpHandle(!in.failed, number, true, card);
    if (found != SCARD_S_SUCCESS)
        return found;
    const LONG result = SCardDisconnect(card, disposition);
    if (result == SCARD_S_SUCCESS)
        dropCard(number);
    return result;
}

LONG beginTransaction(BridgeReader &in, BridgeWriter &)
{
    const uint32_t number = getU32(in);
    SCARDHANDLE card;
    const LONG found = lookUpHandle(!in.failed, number, true, card);
    if (found != SCARD_S_SUCCESS)
        return found;
    return SCardBeginTransaction(card);
}

LONG endTransaction(BridgeReader &in, BridgeWriter &)
{
    const uint32_t number = getU32(in);
    const uint32_t disposition = getU32(in);
    SCARDHANDLE card;
    const LONG found = lookUpHandle(!in.failed, number, true, card);
    if (found != SCARD_S_SUCCESS)
        return found;
    return SCardEndTransaction(card, disposition);
}

LONG transmit(BridgeReader &in, BridgeWriter &out)
{
    const uint32_t number = getU32(in);
    const uint32_t protocol = getU32(in);
    const uint32_t capacity = getU32(in);
    uint32_t length = 0;
    const uint8_t *command = getString(in, BridgeMaxApdu, length);
    SCARDHANDLE card;
    const LONG found = lookUpHandle(!in.failed && length != 0, number, true, card);
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

// Answers one request; the reply's result stands in front of `body`.
LONG handleRequest(const uint8_t *request, uint32_t length, BridgeWriter &body, int peer)
{
    BridgeReader in = bridgeReader(request, length);
    const uint32_t operation = getU32(in);
    if (in.failed)
        return SCARD_E_INVALID_PARAMETER;
    switch (operation) {
    case BridgeEstablishContext: return establishContext(in, body);
    case BridgeReleaseContext: return releaseContext(in, body);
    case BridgeListReaders: return listReaders(in, body);
    case BridgeGetStatusChange: return getStatusChange(in, body, peer);
    case BridgeConnect: return connectCard(in, body);
    case BridgeDisconnect: return disconnectCard(in, body);
    case BridgeBeginTransaction: return beginTransaction(in, body);
    case BridgeEndTransaction: return endTransaction(in, body);
    case BridgeTransmit: return transmit(in, body);
    default: return SCARD_E_UNSUPPORTED_FEATURE;
    }
}

// The body follows every result, since status entries come back with a
// time-out too; a body that did not fit is an internal error.
bool sendReply(int fd, LONG result, const BridgeWriter &body)
{
    const uint32_t bodyLength = body.overflow ? 0 : body.length;
    std::vector<uint8_t> frame(8 + bodyLength);
    BridgeWriter out = bridgeWriter(frame.data(), (uint32_t)frame.size());
    putU32(out, 4 + bodyLength);
    putU32(out, body.overflow ? (uint32_t)SCARD_F_INTERNAL_ERROR : (uint32_t)result);
    putBytes(out, body.data, bodyLength);
    return writeFully(fd, frame.data(), out.length);
}

// A frame whose length cannot be right gets an error reply and ends the
// connection, since the stream cannot be followed past it.
void serveConnection(int fd)
{
    std::vector<uint8_t> request(BridgeMaxFrame);
    std::vector<uint8_t> replyBody(BridgeMaxFrame - 8);
    for (;;) {
        uint8_t header[4];
        if (!readFully(fd, header, sizeof header))
            break;
        BridgeReader lengthReader = bridgeReader(header, sizeof header);
        const uint32_t length = getU32(lengthReader);
        BridgeWriter body = bridgeWriter(replyBody.data(), (uint32_t)replyBody.size());
        if (length < 4 || length > BridgeMaxFrame) {
            sendReply(fd, SCARD_E_INVALID_PARAMETER, body);
            break;
        }
        if (!readFully(fd, request.data(), length))
            break;
        const LONG result = handleRequest(request.data(), length, body, fd);
        if (!sendReply(fd, result, body))
            break;
    }
    close(fd);
}

int listenOnLoopback(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (struct sockaddr *)&address, sizeof address) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t boundPort(int fd)
{
    struct sockaddr_in address = {};
    socklen_t size = sizeof address;
    if (getsockname(fd, (struct sockaddr *)&address, &size) != 0)
        return 0;
    return ntohs(address.sin_port);
}

bool parsePort(const char *text, uint16_t &port)
{
    char *end = NULL;
    const long value = text ? strtol(text, &end, 10) : -1;
    if (!text || !*text || *end || value < 0 || value > 65535)
        return false;
    port = (uint16_t)value;
    return true;
}

bool writePortFile(const char *fileName, uint16_t port)
{
    const std::string temporary = std::string(fileName) + ".new";
    FILE *file = fopen(temporary.c_str(), "w");
    if (!file)
        return false;
    const bool written = fprintf(file, "%u\n", port) > 0;
    if (fclose(file) != 0 || !written)
        return false;
    return rename(temporary.c_str(), fileName) == 0;
}

int usage()
{
    fprintf(stderr, "usage: velmo-pcsc-bridge [--port N] [--port-file FILE]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    uint16_t port = 0;
    const char *portFile = NULL;
    const char *fromEnvironment = getenv("VELMO_PCSC_BRIDGE_PORT");
    if (fromEnvironment && !parsePort(fromEnvironment, port))
        return usage();
    for (int i = 1; i < argc; i++) {
        const std::string option = argv[i];
        if (option == "--port" && i + 1 < argc && parsePort(argv[i + 1], port))
            i++;
        else if (option == "--port-file" && i + 1 < argc)
            portFile = argv[++i];
        else
            return usage();
    }
    signal(SIGPIPE, SIG_IGN);
    const int listener = listenOnLoopback(port);
    if (listener < 0) {
        perror("velmo-pcsc-bridge: listen");
        return 1;
    }
    port = boundPort(listener);
    if (portFile && !writePortFile(portFile, port)) {
        perror("velmo-pcsc-bridge: port file");
        return 1;
    }
    printf("listening on 127.0.0.1:%u\n", port);
    fflush(stdout);
    for (;;) {
        const int peer = accept(listener, NULL, NULL);
        if (peer < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE) {
                usleep(100000);
                continue;
            }
            perror("velmo-pcsc-bridge: accept");
            return 1;
        }
        std::thread(serveConnection, peer).detach();
    }
}

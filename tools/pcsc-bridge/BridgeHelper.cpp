// The native half of the PC/SC bridge: listens on the loopback interface,
// makes each request of winscard.dll on pcscd through pcsc-lite and sends
// back the results. One thread per connection, so that a long status wait
// of one client never holds up another.
//   usage: velmo-pcsc-bridge [--port N] [--bridge-file FILE]
// The port may also come from VELMO_PCSC_BRIDGE_PORT; 0 (the default) picks
// a free one. The bridge file (by default ~/.velmo-pcsc-bridge) receives the
// address and the secret that winscard.dll presents; see BridgeAccess.h for
// the connections that are served. Every status change handed to a client
// is logged on standard error with its time (see BridgeServe.h).
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "../common/SocketIo.h"
#include "BridgeAccess.h"
#include "BridgeServe.h"

namespace {

const unsigned MaxConnections = 64; // served at once, of every client
// Once the first octet of a frame has arrived, the rest must follow within
// this time; a reply must be taken within it too.
const int FrameTimeout = 5000; // milliseconds

uint8_t secret[BridgeSecretSize];
std::atomic<unsigned> connections(0);

std::string addressText(const struct sockaddr_in &address)
{
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

// One line for every connection turned away; nothing of it is read after.
void refuse(int fd, const std::string &peer, const char *reason)
{
    fprintf(stderr, "velmo-pcsc-bridge: refused %s: %s\n", peer.c_str(), reason);
    close(fd);
}

// Waits as long as it takes for a frame to begin, then reads it whole within
// the frame time-out. False when the peer is gone, too slow, or sent a
// length no frame may have.
bool receiveFrame(int fd, std::vector<uint8_t> &frame, uint32_t &length, bool &badLength)
{
    badLength = false;
    struct pollfd entry = {fd, POLLIN, 0};
    int ready;
    while ((ready = poll(&entry, 1, -1)) < 0 && errno == EINTR) {
    }
    if (ready != 1)
        return false;
    const long long deadline = monotonicMilliseconds() + FrameTimeout;
    uint8_t header[4];
    if (!readFullyBy(fd, header, sizeof header, deadline))
        return false;
    if (!frameLength(header, length)) {
        badLength = true;
        return false;
    }
    return readFullyBy(fd, frame.data(), length, deadline);
}

// The greeting comes first and alone; a peer that cannot give it within the
// frame time-out is not served.
bool receiveGreeting(int fd, uint64_t &client)
{
    const long long deadline = monotonicMilliseconds() + FrameTimeout;
    uint8_t frame[4 + BridgeGreetingSize];
    uint32_t length = 0;
    if (!readFullyBy(fd, frame, 4, deadline) || !frameLength(frame, length) || length != BridgeGreetingSize ||
        !readFullyBy(fd, frame + 4, length, deadline))
        return false;
    return checkGreeting(frame + 4, length, secret, client);
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
void serveClient(int fd, uint64_t client)
{
    std::vector<uint8_t> request(BridgeMaxFrame);
    std::vector<uint8_t> replyBody(BridgeMaxFrame - 8);
    for (;;) {
        uint32_t length = 0;
        bool badLength = false;
        BridgeWriter body = bridgeWriter(replyBody.data(), (uint32_t)replyBody.size());
        if (!receiveFrame(fd, request, length, badLength)) {
            if (badLength)
                sendReply(fd, SCARD_E_INVALID_PARAMETER, body);
            return;
        }
        const LONG result = handleRequest(client, request.data(), length, body, fd);
        if (!sendReply(fd, result, body))
            return;
    }
}

void serveConnection(int fd, std::string peer)
{
    const struct timeval sendLimit = {FrameTimeout / 1000, (FrameTimeout % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    uint64_t client = 0;
    if (!receiveGreeting(fd, client)) {
        refuse(fd, peer, "no greeting with the secret");
    } else if (!joinClient(client)) {
        refuse(fd, peer, "its client has too many connections");
    } else {
        serveClient(fd, client);
        leaveClient(client);
        close(fd);
    }
    connections--;
}

// Decided from the socket table alone, before any octet is read.
void acceptPeer(int fd, const struct sockaddr_in &address)
{
    const std::string peer = addressText(address);
    uid_t owner = 0;
    if (!peerOwner(fd, owner)) {
        refuse(fd, peer, "its socket has no owner to check");
        return;
    }
    if (owner != getuid() && owner != 0) {
        refuse(fd, peer, ("a socket of user " + std::to_string(owner)).c_str());
        return;
    }
    if (connections >= MaxConnections) {
        refuse(fd, peer, "too many connections");
        return;
    }
    connections++;
    std::thread(serveConnection, fd, peer).detach();
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

int usage()
{
    fprintf(stderr, "usage: velmo-pcsc-bridge [--port N] [--bridge-file FILE]\n");
    return 2;
}

std::string defaultBridgeFile()
{
    const char *home = getenv("HOME");
    return home && *home ? std::string(home) + "/.velmo-pcsc-bridge" : std::string();
}

} // namespace

int main(int argc, char **argv)
{
    uint16_t port = 0;
    std::string bridgeFile = defaultBridgeFile();
    const char *fromEnvironment = getenv("VELMO_PCSC_BRIDGE_PORT");
    if (fromEnvironment && !parsePort(fromEnvironment, port))
        return usage();
    for (int i = 1; i < argc; i++) {
        const std::string option = argv[i];
        if (option == "--port" && i + 1 < argc && parsePort(argv[i + 1], port))
            i++;
        else if (option == "--bridge-file" && i + 1 < argc && *argv[i + 1])
            bridgeFile = argv[++i];
        else
            return usage();
    }
    if (bridgeFile.empty())
        return usage();
    signal(SIGPIPE, SIG_IGN);
    bridgeLogStatusChanges = true;
    if (!makeSecret(secret)) {
        perror("velmo-pcsc-bridge: random");
        return 1;
    }
    const int listener = listenOnLoopback(port);
    if (listener < 0) {
        perror("velmo-pcsc-bridge: listen");
        return 1;
    }
    port = boundPort(listener);
    if (!writeBridgeFile(bridgeFile.c_str(), port, secret)) {
        perror("velmo-pcsc-bridge: bridge file");
        return 1;
    }
    printf("listening on 127.0.0.1:%u, bridge file %s\n", port, bridgeFile.c_str());
    fflush(stdout);
    for (;;) {
        struct sockaddr_in address = {};
        socklen_t size = sizeof address;
        const int peer = accept(listener, (struct sockaddr *)&address, &size);
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
        acceptPeer(peer, address);
    }
}

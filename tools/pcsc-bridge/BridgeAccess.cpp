#include "BridgeAccess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

const unsigned TcpEstablished = 1;

bool readTextFile(const char *path, std::string &text)
{
    FILE *file = fopen(path, "r");
    if (!file)
        return false;
    char chunk[8192];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, n);
    const bool read = !ferror(file);
    fclose(file);
    return read;
}

bool writeAll(int fd, const char *text, size_t count)
{
    while (count) {
        const ssize_t n = write(fd, text, count);
        if (n <= 0)
            return false;
        text += n;
        count -= (size_t)n;
    }
    return true;
}

} // namespace

bool makeSecret(uint8_t secret[BridgeSecretSize])
{
    size_t filled = 0;
    while (filled < BridgeSecretSize) {
        const ssize_t n = getrandom(secret + filled, BridgeSecretSize - filled, 0);
        if (n <= 0)
            return false;
        filled += (size_t)n;
    }
    return true;
}

bool writeBridgeFile(const char *path, uint16_t port, const uint8_t secret[BridgeSecretSize])
{
    char text[32 + 2 * BridgeSecretSize];
    int length = snprintf(text, sizeof text, "127.0.0.1:%u\n", port);
    for (uint32_t i = 0; i < BridgeSecretSize; i++)
        length += snprintf(text + length, sizeof text - length, "%02x", secret[i]);
    length += snprintf(text + length, sizeof text - length, "\n");
    const std::string temporary = std::string(path) + "." + std::to_string(getpid()) + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written = fchmod(fd, 0600) == 0 && writeAll(fd, text, (size_t)length);
    if (close(fd) != 0 || !written || rename(temporary.c_str(), path) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

// Each line: "sl: local rem st tx:rx tr:when retransmits uid timeout inode".
// A socket being closed or already closed has no inode, and the kernel shows
// root as its owner: only a connected socket with an inode counts.
bool findSocketOwner(const char *table, uint32_t address, uint16_t port, uint32_t peerAddress,
                     uint16_t peerPort, uid_t &owner)
{
    const char *line = strchr(table, '\n'); // past the heading
    while (line && *++line) {
        unsigned local, localPort, remote, remotePort, state, uid;
        unsigned long inode;
        const int fields = sscanf(line, " %*u: %8x:%4x %8x:%4x %2x %*x:%*x %*x:%*x %*x %u %*u %lu", &local,
                                  &localPort, &remote, &remotePort, &state, &uid, &inode);
        if (fields == 7 && local == address && localPort == port && remote == peerAddress &&
            remotePort == peerPort && state == TcpEstablished && inode != 0) {
            owner = (uid_t)uid;
            return true;
        }
        line = strchr(line, '\n');
    }
    return false;
}

bool peerOwner(int fd, uid_t &owner)
{
    struct sockaddr_in ours = {}, theirs = {};
    socklen_t size = sizeof ours;
    if (getsockname(fd, (struct sockaddr *)&ours, &size) != 0 || ours.sin_family != AF_INET)
        return false;
    size = sizeof theirs;
    if (getpeername(fd, (struct sockaddr *)&theirs, &size) != 0 || theirs.sin_family != AF_INET)
        return false;
    std::string table;
    if (!readTextFile("/proc/net/tcp", table))
        return false;
    return findSocketOwner(table.c_str(), theirs.sin_addr.s_addr, ntohs(theirs.sin_port), ours.sin_addr.s_addr,
                           ntohs(ours.sin_port), owner);
}

bool checkGreeting(const uint8_t *payload, uint32_t length, const uint8_t secret[BridgeSecretSize],
                   uint64_t &client)
{
    BridgeReader in = bridgeReader(payload, length);
    const uint32_t operation = getU32(in);
    const uint8_t *presented = getBytes(in, BridgeSecretSize);
    const uint32_t low = getU32(in);
    const uint32_t high = getU32(in);
    if (in.failed || in.at != length || operation != BridgeGreeting)
        return false;
    uint8_t difference = 0;
    for (uint32_t i = 0; i < BridgeSecretSize; i++)
        difference |= presented[i] ^ secret[i];
    client = (uint64_t)high << 32 | low;
    return difference == 0;
}

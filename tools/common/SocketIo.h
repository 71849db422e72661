// Whole-buffer reads and writes on a connected POSIX socket, retried across
// signals and short transfers. False once the peer is gone or on an error.
#pragma once

#include <errno.h>
#include <poll.h>
#include <time.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

// Takes what has arrived of the `count` bytes still wanted at `bytes` and
// moves both past it; false at the end of the stream or on an error.
inline bool receiveSome(int fd, uint8_t *&bytes, size_t &count)
{
    const ssize_t n = recv(fd, bytes, count, 0);
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0)
        return false;
    bytes += n;
    count -= (size_t)n;
    return true;
}

inline bool readFully(int fd, uint8_t *bytes, size_t count)
{
    while (count) {
        if (!receiveSome(fd, bytes, count))
            return false;
    }
    return true;
}

inline bool writeFully(int fd, const uint8_t *bytes, size_t count)
{
    while (count) {
        const ssize_t n = send(fd, bytes, count, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        count -= (size_t)n;
    }
    return true;
}

inline long long monotonicMilliseconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// As readFully, but false too once the monotonic clock passes `deadline`
// (milliseconds) before the buffer is full.
inline bool readFullyBy(int fd, uint8_t *bytes, size_t count, long long deadline)
{
    while (count) {
        const long long left = deadline - monotonicMilliseconds();
        struct pollfd entry = {fd, POLLIN, 0};
        if (left <= 0)
            return false;
        const int ready = poll(&entry, 1, (int)left);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || !receiveSome(fd, bytes, count))
            return false;
    }
    return true;
}

// Whole-buffer reads and writes on a connected POSIX socket, retried across
// signals and short transfers. False once the peer is gone or on an error.
#pragma once

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

inline bool readFully(int fd, uint8_t *bytes, size_t count)
{
    while (count) {
        const ssize_t n = recv(fd, bytes, count, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        count -= (size_t)n;
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

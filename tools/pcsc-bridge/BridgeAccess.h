// Who the bridge helper serves: connections from a socket of the user who
// started it (or of root), found by its loopback address in the kernel's
// table of TCP sockets, that open with the greeting carrying the helper's
// secret. The secret is made afresh at every start and kept, with the
// helper's address, in the bridge file that only that user can read.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "BridgeWire.h"

// Fills `secret` from the kernel's random source.
bool makeSecret(uint8_t secret[BridgeSecretSize]);

// Writes the bridge file, readable and writable by its owner only:
//   127.0.0.1:PORT
//   the secret in hexadecimal
// It replaces the file whole, never writing through a link in its place.
bool writeBridgeFile(const char *path, uint16_t port, const uint8_t secret[BridgeSecretSize]);

// The owner of the live TCP socket whose own end is `address`:`port` and
// whose other end is `peerAddress`:`peerPort` (addresses as in sin_addr,
// ports in host order), looked up in `table`, the text of /proc/net/tcp.
// False when no connected socket with an owner matches.
bool findSocketOwner(const char *table, uint32_t address, uint16_t port, uint32_t peerAddress,
                     uint16_t peerPort, uid_t &owner);

// The owner of the other end of the accepted loopback connection `fd`.
bool peerOwner(int fd, uid_t &owner);

// Checks a greeting frame's payload against the secret in constant time,
// and takes the client's number from it.
bool checkGreeting(const uint8_t *payload, uint32_t length, const uint8_t secret[BridgeSecretSize],
                   uint64_t &client);

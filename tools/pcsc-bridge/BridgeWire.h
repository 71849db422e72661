// The wire format between winscard.dll under Wine and the native bridge
// helper. Every message is a frame: a 32-bit length, then that many bytes.
// A request begins with its operation code, a reply with the 32-bit PC/SC
// result. All integers are 32-bit little-endian; byte strings are a 32-bit
// length followed by their bytes. Handles on the wire are the helper's own
// 32-bit numbers, never the resource manager's.
//
// A connection opens with a greeting frame: BridgeGreeting, the helper's
// secret and the client's 64-bit number (low half first). Every connection
// of one client shares its handles, and when the client's last connection
// closes the helper releases what the client left open.
#pragma once

#include <stdint.h>
#include <string.h>

enum BridgeOperation : uint32_t {
    BridgeEstablishContext = 1, // scope -> context
    BridgeReleaseContext = 2, // context
    BridgeListReaders = 3, // context -> multi-string with its final NUL
    BridgeGetStatusChange = 4, // context, timeout, count, count x (state, name) -> count x (event, atr)
    BridgeConnect = 5, // context, share mode, protocols, name -> card, protocol
    BridgeDisconnect = 6, // card, disposition
    BridgeBeginTransaction = 7, // card
    BridgeEndTransaction = 8, // card, disposition
    BridgeTransmit = 9, // card, protocol, answer capacity, command -> answer
    BridgeGreeting = 0x56424731, // secret, client low, client high (no reply)
};

const uint32_t BridgeMaxFrame = 72 * 1024;
const uint32_t BridgeMaxStates = 64; // reader entries in one status call
const uint32_t BridgeMaxName = 1024; // octets of one reader name
const uint32_t BridgeMaxApdu = 65548; // an extended APDU with its header and status
const uint32_t BridgeAtrSize = 36; // as the Windows SCARD_READERSTATEA holds it
const uint32_t BridgeSecretSize = 32;
const uint32_t BridgeGreetingSize = 4 + BridgeSecretSize + 8; // the greeting frame's length
// Protocols travel in the Windows numbering; only RAW differs from pcsc-lite.
const uint32_t BridgeProtocolRaw = 0x10000;

// Appends to a caller's buffer; `overflow` records a write that did not fit.
struct BridgeWriter {
    uint8_t *data;
    uint32_t capacity;
    uint32_t length;
    bool overflow;
};

inline BridgeWriter bridgeWriter(uint8_t *data, uint32_t capacity)
{
    BridgeWriter writer = {data, capacity, 0, false};
    return writer;
}

inline void putBytes(BridgeWriter &writer, const void *bytes, uint32_t count)
{
    if (writer.overflow || count > writer.capacity - writer.length) {
        writer.overflow = true;
        return;
    }
    if (count)
        memcpy(writer.data + writer.length, bytes, count);
    writer.length += count;
}

inline void putU32(BridgeWriter &writer, uint32_t value)
{
    const uint8_t octets[4] = {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16),
                               (uint8_t)(value >> 24)};
    putBytes(writer, octets, 4);
}

inline void putString(BridgeWriter &writer, const void *bytes, uint32_t count)
{
    putU32(writer, count);
    putBytes(writer, bytes, count);
}

// Takes from a received message; `failed` records a read past its end.
struct BridgeReader {
    const uint8_t *data;
    uint32_t length;
    uint32_t at;
    bool failed;
};

inline BridgeReader bridgeReader(const uint8_t *data, uint32_t length)
{
    BridgeReader reader = {data, length, 0, false};
    return reader;
}

inline const uint8_t *getBytes(BridgeReader &reader, uint32_t count)
{
    if (reader.failed || count > reader.length - reader.at) {
        reader.failed = true;
        return NULL;
    }
    const uint8_t *bytes = reader.data + reader.at;
    reader.at += count;
    return bytes;
}

inline uint32_t getU32(BridgeReader &reader)
{
    const uint8_t *p = getBytes(reader, 4);
    if (!p)
        return 0;
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// A length-prefixed string of at most `limit` octets; NULL when it is longer
// or runs past the message.
inline const uint8_t *getString(BridgeReader &reader, uint32_t limit, uint32_t &count)
{
    count = getU32(reader);
    if (reader.failed || count > limit) {
        reader.failed = true;
        return NULL;
    }
    return getBytes(reader, count);
}

// The length in front of a frame; false when no frame may be that long, and
// the stream cannot be followed past it.
inline bool frameLength(const uint8_t header[4], uint32_t &length)
{
    BridgeReader reader = bridgeReader(header, 4);
    length = getU32(reader);
    return length >= 4 && length <= BridgeMaxFrame;
}

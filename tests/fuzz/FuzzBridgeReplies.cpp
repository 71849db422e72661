// libFuzzer target over winscard.dll's reading of the bridge helper's
// replies, built natively. The input is the operation of the call (one
// octet), the count of readers or the answer capacity the call gave (32-bit
// little-endian), then the reply frame's payload: the result and the body.
// Aborts when a reply would reach the caller beyond what it allows.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include <PCSC/winscard.h>

#include "../../tools/pcsc-bridge/BridgeReplies.h"

namespace {

void broken(const char *promise)
{
    fprintf(stderr, "reply decoding broke its promise: %s\n", promise);
    abort();
}

// Walks the list as a caller does: name after name up to the empty one.
void walkReaderList(const uint8_t *list, uint32_t size)
{
    uint32_t at = 0;
    while (list[at] != '\0') {
        const void *end = memchr(list + at, '\0', size - at);
        if (!end)
            broken("a reader name ends inside the list");
        at = (uint32_t)((const uint8_t *)end - list) + 1;
        if (at >= size)
            broken("the list ends with an empty name");
    }
}

void readStates(BridgeReader &in, uint32_t result, uint32_t count)
{
    std::vector<BridgeReaderState> states(count);
    bool filled = false;
    const uint32_t answered = readReaderStates(in, result, states.data(), count, filled);
    if (filled && in.failed)
        broken("states filled from a reply cut short");
    if (!filled && answered == BridgeSuccess)
        broken("success without the states");
    for (uint32_t i = 0; filled && i < count; i++)
        if (states[i].atrLength > BridgeAtrSize)
            broken("an ATR longer than its field");
}

void readTransmit(BridgeReader &in, uint32_t result, uint32_t capacity)
{
    const uint8_t *answer = NULL;
    uint32_t size = 0;
    if (readAnswer(in, result, capacity, answer, size) != BridgeSuccess)
        return;
    if (size > capacity)
        broken("an answer larger than the caller's buffer");
    std::vector<uint8_t> buffer(capacity);
    if (size)
        memcpy(buffer.data(), answer, size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5 || size - 5 > BridgeMaxFrame)
        return 0;
    const uint8_t operation = data[0];
    const uint32_t parameter = (uint32_t)data[1] | (uint32_t)data[2] << 8 | (uint32_t)data[3] << 16 |
                               (uint32_t)data[4] << 24;
    // The reply alone in memory of its own size, as the DLL receives it.
    std::vector<uint8_t> reply(data + 5, data + size);
    BridgeReader in = bridgeReader(reply.data(), (uint32_t)reply.size());
    const uint32_t result = getU32(in);
    if (in.failed)
        return 0;
    uint32_t numbers[2] = {};
    const uint8_t *list = NULL;
    uint32_t listSize = 0;
    switch (operation) {
    case BridgeEstablishContext: readNumbers(in, result, numbers, 1); break;
    case BridgeConnect: readNumbers(in, result, numbers, 2); break;
    case BridgeListReaders:
        if (readReaderList(in, result, list, listSize) == BridgeSuccess)
            walkReaderList(list, listSize);
        break;
    case BridgeGetStatusChange: readStates(in, result, parameter % (BridgeMaxStates + 1)); break;
    case BridgeTransmit: readTransmit(in, result, parameter % (BridgeMaxApdu + 1)); break;
    default: break;
    }
    return 0;
}

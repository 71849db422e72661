// How winscard.dll reads the helper's replies, apart from Windows so that it
// is built and fuzzed natively too. A reply is trusted no further than its
// own length: each function answers the PC/SC result the caller gets, and
// fills its outputs only when that result lets the caller use them. The
// includer brings the PC/SC result codes (<winscard.h>).
#pragma once

#include "BridgeWire.h"

const uint32_t BridgeSuccess = (uint32_t)SCARD_S_SUCCESS;
const uint32_t BridgeInternalError = (uint32_t)SCARD_F_INTERNAL_ERROR;

// One reader's entry of a status reply.
struct BridgeReaderState {
    uint32_t eventState;
    uint32_t atrLength;
    uint8_t atr[BridgeAtrSize];
};

// A context or a card handle with its protocol: `count` numbers.
inline uint32_t readNumbers(BridgeReader &in, uint32_t result, uint32_t *numbers, uint32_t count)
{
    if (result != BridgeSuccess)
        return result;
    uint32_t values[2] = {};
    for (uint32_t i = 0; i < count && i < 2; i++)
        values[i] = getU32(in);
    if (in.failed || count > 2)
        return BridgeInternalError;
    memcpy(numbers, values, count * sizeof(uint32_t));
    return result;
}

// The reader list: a multi-string that ends in its final NUL.
inline uint32_t readReaderList(BridgeReader &in, uint32_t result, const uint8_t *&list, uint32_t &size)
{
    if (result != BridgeSuccess)
        return result;
    uint32_t length = 0;
    const uint8_t *bytes = getString(in, BridgeMaxFrame, length);
    if (in.failed || length < 2 || bytes[length - 1] != '\0' || bytes[length - 2] != '\0')
        return BridgeInternalError;
    list = bytes;
    size = length;
    return result;
}

// The status of `count` readers, which come back with a time-out as well
// as with success; `filled` tells that every one of them was read.
inline uint32_t readReaderStates(BridgeReader &in, uint32_t result, BridgeReaderState *states, uint32_t count,
                                 bool &filled)
{
    filled = false;
    const uint32_t answered = getU32(in);
    if (in.failed || answered != count || count > BridgeMaxStates)
        return result == BridgeSuccess ? BridgeInternalError : result;
    for (uint32_t i = 0; i < count; i++) {
        states[i].eventState = getU32(in);
        states[i].atrLength = getU32(in);
        const uint8_t *atr = getBytes(in, BridgeAtrSize);
        if (in.failed || states[i].atrLength > BridgeAtrSize)
            return result == BridgeSuccess ? BridgeInternalError : result;
        memcpy(states[i].atr, atr, BridgeAtrSize);
    }
    filled = true;
    return result;
}

// A card's answer, which must fit the caller's `capacity`.
inline uint32_t readAnswer(BridgeReader &in, uint32_t result, uint32_t capacity, const uint8_t *&answer,
                           uint32_t &size)
{
    if (result != BridgeSuccess)
        return result;
    uint32_t length = 0;
    const uint8_t *bytes = getString(in, BridgeMaxApdu, length);
    if (in.failed)
        return BridgeInternalError;
    if (length > capacity)
        return (uint32_t)SCARD_E_INSUFFICIENT_BUFFER;
    answer = bytes;
    size = length;
    return result;
}

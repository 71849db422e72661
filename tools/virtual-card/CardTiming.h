// How long a real T=0 card needs for one command APDU and its answer at the
// speed its ATR gives (ISO/IEC 7816-3): every character takes 12 etu, an
// etu is F/D cycles of the reader's clock, F and D come from TA1 (372 and 1
// without it). The reader sends the 5-byte header; a command with data
// waits for the procedure byte before its data; an answer with data is
// preceded by the procedure byte; the status word ends every answer. The
// card's own work on a command is one fixed processing time.
#pragma once

#include <stdint.h>

#include "card-image/CardImage.h"

struct CardTiming {
    double clockHz; // the reader's card clock
    double processingMicroseconds; // the card's work on one command
};

const CardTiming DefaultCardTiming = {4000000.0, 2000.0};

// F/D of the ATR's TA1; 372 when TA1 is absent or names a reserved value.
inline double cyclesPerEtu(const Bytes &atr)
{
    static const int fTable[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0,
                                   0,   512, 768, 1024, 1536, 2048, 0,    0};
    static const int dTable[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};
    if (atr.size() < 3 || !(atr[1] & 0x10))
        return 372.0;
    const int f = fTable[atr[2] >> 4];
    const int d = dTable[atr[2] & 0x0F];
    return f && d ? (double)f / d : 372.0;
}

// Characters on the wire for one exchange, procedure bytes included.
inline uint32_t t0Characters(size_t commandLength, size_t answerLength)
{
    uint32_t characters = 5;
    if (commandLength > 5)
        characters += 1 + (uint32_t)(commandLength - 5);
    if (answerLength > 2)
        characters += 1;
    return characters + (uint32_t)answerLength;
}

inline double t0ExchangeMicroseconds(const CardTiming &timing, const Bytes &atr, size_t commandLength,
                                     size_t answerLength)
{
    const double characterMicroseconds = 12.0 * cyclesPerEtu(atr) / timing.clockHz * 1e6;
    return t0Characters(commandLength, answerLength) * characterMicroseconds +
           timing.processingMicroseconds;
}

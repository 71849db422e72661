// A PC/SC double for fuzzing: one reader whose card answers every command
// from a byte script, so that status words, answer lengths and data are all
// chosen by the fuzzer. Linked in place of winscard/pcsc-lite.
//
// Script format, one answer per SCardTransmit, whatever the command:
//   00..FE      an answer of that many bytes, which follow
//   FF e        e < 80: SCardTransmit fails with one of a few PC/SC errors
//               e >= 80: an answer of 255 + (e & 1) bytes, which follow
// When the script runs out the card counts as pulled: this and every later
// command fail with SCARD_W_REMOVED_CARD.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "../../card/pcsc.h"

namespace fuzzpcsc {

const uint8_t ScriptEscape = 0xFF;
const char ReaderName[] = "Fuzz Reader 0";

// Starts over with a new script; the card is present and no call is open.
void start(const uint8_t *script, size_t size);
// Lets the next status call report the card as pulled.
void pullCard();

// The ATR reported for the reader's card.
void setAtr(const uint8_t *atr, size_t size);

// Connections and transactions begun and not yet ended.
unsigned openConnections();
unsigned openTransactions();

// Appends one answer to `script` in the format above, or a PC/SC error.
inline void appendAnswer(std::vector<uint8_t> &script, const uint8_t *answer, size_t size)
{
    if (size < ScriptEscape) {
        script.push_back((uint8_t)size);
    } else {
        script.push_back(ScriptEscape);
        script.push_back((uint8_t)(0x80 | (size - 255)));
    }
    script.insert(script.end(), answer, answer + size);
}

inline void appendError(std::vector<uint8_t> &script)
{
    script.push_back(ScriptEscape);
    script.push_back(0x00);
}

} // namespace fuzzpcsc

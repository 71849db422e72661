// The two card families: how each is recognised by its answer-to-reset and
// where its chip serial lies in the chip-information answer. The monitor,
// the key naming and the store's record all read these facts from here.
#pragma once

#include <stdint.h>

#include "CardSession.h"

extern const uint8_t Atr21Prefix[13];
extern const uint8_t Atr20Pattern[20];
extern const uint8_t Atr20Mask[20];

// The PKCS#15 master file, selected by name before the application.
extern const char MasterFileName[];

struct FamilyLayout {
    uint32_t answerLength; // the chip-information answer asked for
    uint32_t serialOffset; // first serial octet in that answer
    uint32_t serialBytes;
    uint32_t serialTextSize; // two digits an octet and a NUL
};

const FamilyLayout &familyLayout(CardKind kind);

// Two upper-case hexadecimal digits of `octet` at `out`; answers the end.
char *appendHex(char *out, uint8_t octet);
// The family's serial, from its chip-information answer, as NUL-ended text
// at `text` (SerialTextCapacity characters).
void writeSerialText(CardKind kind, const uint8_t *chipInfo, char *text);

bool atrMatches(const uint8_t *pattern, uint32_t patternLength, const uint8_t *atr,
                uint32_t atrLength, const uint8_t *mask);

// The kind an ATR gives, from its first 20 octets whatever its length.
CardKind kindOfAtr(const uint8_t *atr);

// Whether the ATR is one of the families'; the 21-octet test comes first,
// and no ATR passes both.
bool isFamilyAtr(const uint8_t *atr, uint32_t atrLength);

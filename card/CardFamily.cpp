// The two card families' constants.
#include "CardFamily.h"

#include <string.h>

const uint8_t Atr21Prefix[13] = {0x3B, 0xEF, 0x00, 0x00, 0x40, 0x14, 0x80,
                                 0x25, 0x56, 0x45, 0x4C, 0x4D, 0x4F};
const uint8_t Atr20Pattern[20] = {0x3B, 0x7F, 0x11, 0x00, 0x00, 0x00, 0x6A, 0x56, 0x45, 0x4C,
                                  0x4D, 0x4F, 0x02, 0x2C, 0x34, 0x02, 0x00, 0x03, 0x90, 0x00};
const uint8_t Atr20Mask[20] = {0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                               0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF};

const char MasterFileName[] = "Master.File";

namespace {

const FamilyLayout Atr21Layout = {18, 10, 6, 13};
const FamilyLayout Atr20Layout = {17, 0, 7, 15};

} // namespace

const FamilyLayout &familyLayout(CardKind kind)
{
    return kind == Atr20 ? Atr20Layout : Atr21Layout;
}

bool atrMatches(const uint8_t *pattern, uint32_t patternLength, const uint8_t *atr,
                uint32_t atrLength, const uint8_t *mask)
{
    if (patternLength != atrLength)
        return false;
    for (uint32_t i = 0; i < patternLength; i++)
        if ((pattern[i] & mask[i]) != (atr[i] & mask[i]))
            return false;
    return true;
}

CardKind kindOfAtr(const uint8_t *atr)
{
    return atrMatches(Atr20Pattern, sizeof Atr20Pattern, atr, sizeof Atr20Pattern, Atr20Mask)
               ? Atr20
               : Atr21;
}

char *appendHex(char *out, uint8_t octet)
{
    static const char digits[] = "0123456789ABCDEF";
    *out++ = digits[octet >> 4];
    *out++ = digits[octet & 15];
    return out;
}

void writeSerialText(CardKind kind, const uint8_t *chipInfo, char *text)
{
    const FamilyLayout &family = familyLayout(kind);
    for (uint32_t i = 0; i < family.serialBytes; i++)
        text = appendHex(text, chipInfo[family.serialOffset + i]);
    *text = '\0';
}

bool isFamilyAtr(const uint8_t *atr, uint32_t atrLength)
{
    if (atrLength == 21)
        return memcmp(atr, Atr21Prefix, sizeof Atr21Prefix) == 0;
    return atrLength == 20 && kindOfAtr(atr) == Atr20;
}

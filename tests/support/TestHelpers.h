// Small helpers shared by the unit tests.
#pragma once

#include <stdlib.h>

#include <string>

#include "card-image/CardImage.h"
#include "FakePcsc.h"

// "00 A4 04 00" -> bytes; blanks are ignored.
inline Bytes hexBytes(const std::string &text)
{
    Bytes bytes;
    std::string digits;
    for (char c : text)
        if (c != ' ')
            digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back((uint8_t)strtol(digits.substr(i, 2).c_str(), NULL, 16));
    return bytes;
}

inline Bytes patternBytes(size_t count, uint8_t seed = 0)
{
    Bytes bytes(count);
    for (size_t i = 0; i < count; i++)
        bytes[i] = (uint8_t)(seed + i * 7 + (i >> 8));
    return bytes;
}

// The commands sent since the log was last cleared.
inline std::vector<Bytes> sentCommands()
{
    std::vector<Bytes> commands;
    for (const fakepcsc::CommandRecord &record : fakepcsc::commandLog())
        commands.push_back(record.command);
    return commands;
}

// A card with the application and its ODF, and nothing else.
inline CardImage emptyCard(CardFamily family = FamilyAtr21)
{
    CardDescription description = {};
    description.family = family;
    description.serial = family == FamilyAtr20 ? hexBytes("0123456789ABCD") : hexBytes("001A2B3C4D5E");
    return buildCard(description);
}

const std::vector<uint16_t> OdfPath = {0x3F00, 0x5015, 0x5031};

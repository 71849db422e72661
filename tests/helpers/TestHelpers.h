// Small helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "card-image/CardImage.h"
#include "DemoCards.h"
#include "support/FakePcsc.h"

// "00 A4 04 00" -> bytes; blanks are ignored. Anything but pairs of
// hexadecimal digits is a mistake in the test itself.
inline Bytes hexBytes(const std::string &text)
{
    std::string digits;
    for (char c : text)
        if (c != ' ')
            digits += c;
    Bytes bytes;
    if (!parseHexBytes(digits, bytes))
        ADD_FAILURE() << "not hexadecimal octets: \"" << text << "\"";
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

// Every connection the code opened on the PC/SC double is closed again,
// every transaction it began is ended, and only a connection that failed
// goes without its disconnection.
inline void expectNothingLeftOpen()
{
    EXPECT_EQ(fakepcsc::openConnections(), 0u);
    EXPECT_EQ(fakepcsc::openTransactions(), 0u);
    EXPECT_EQ(fakepcsc::counters().beginTransactions, fakepcsc::counters().endTransactions);
    EXPECT_EQ(fakepcsc::counters().connects - fakepcsc::counters().disconnects,
              (unsigned)std::count_if(fakepcsc::connectLog().begin(), fakepcsc::connectLog().end(),
                                      [](const fakepcsc::ConnectRecord &r) { return r.result != 0; }));
}

// A card with the application and its ODF, and nothing else.
inline CardImage emptyCard(CardFamily family = FamilyAtr21)
{
    return familyCard(family, family == FamilyAtr20 ? hexBytes("0123456789ABCD") : hexBytes("001A2B3C4D5E"));
}

const std::vector<uint16_t> OdfPath = {0x3F00, 0x5015, 0x5031};

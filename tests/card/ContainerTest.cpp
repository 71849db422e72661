// The private-key lookup in the PrKDF and the container name made from the
// key entry and the chip serial.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include "card/CardSession.h"
#include "helpers/TestHelpers.h"

using namespace fakepcsc;

namespace {

const std::vector<uint16_t> PrkdfPath = {0x3F00, 0x5015, 0x6001};
const char PathText[] = "\\3F00\\5015\\4B01";

KeyDescription keyOf(const Bytes &id, uint8_t keyReference = 1, const std::string &pathText = PathText)
{
    return KeyDescription{id, {0x20, 0x00}, keyReference, pathText};
}

// A key entry whose elements are given whole, for entries too short for
// the positions the name is read from.
Bytes keyEntryOf(const Bytes &classContent, const Bytes &typeAttributes)
{
    return derTlv(0x30, concat({derTlv(0x30, derTlv(0x0C, textBytes("Clave"))),
                                derTlv(0x30, classContent), hexBytes("A0 00"), typeAttributes}));
}

class ContainerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset();
    }
    void TearDown() override { delete session; }

    void open(const Bytes &prkdf, CardFamily family = FamilyAtr21)
    {
        CardImage card = emptyCard(family);
        card.putFile(PrkdfPath, concat({prkdf, Bytes(16, 0x00)}));
        openCard(card);
    }

    void openCard(const CardImage &card)
    {
        delete session;
        session = new CardSession(connectCard(card), card.atr.size() == 20 ? Atr20 : Atr21);
        clearCommandLog();
    }

    // The name and usage word for a certificate whose iD element is `id`.
    std::string nameFor(const Bytes &idElement)
    {
        memset(name, 'x', sizeof name);
        usage = 0xFFFF;
        const Bytes attributes = concat({idElement, hexBytes("0101FF")});
        session->buildContainerName(attributes.data(), (uint32_t)idElement.size(), name, usage);
        return name;
    }

    CardSession *session = nullptr;
    char name[ContainerNameCapacity];
    uint16_t usage = 0;
};

TEST_F(ContainerTest, NamesTheKeyOnBothCardKinds)
{
    const Bytes prkdf = prkdfEntry(keyOf(Bytes{0x45}));
    open(prkdf, FamilyAtr20);
    EXPECT_EQ(nameFor(hexBytes("040145")), "0123456789ABCD200001\\3F00\\501");
    EXPECT_EQ(strlen(name), 29u);
    EXPECT_EQ(usage, 0x2000);
    EXPECT_EQ(sentCommands().back(), hexBytes("90B8000011"));

    open(prkdf, FamilyAtr21);
    EXPECT_EQ(nameFor(hexBytes("040145")), "001A2B3C4D5E200001\\3F00\\501");
    EXPECT_EQ(strlen(name), 27u);
    EXPECT_EQ(usage, 0x2000);
    EXPECT_EQ(sentCommands().back(), hexBytes("90B8000012"));
}

TEST_F(ContainerTest, AnIdentifierWithoutValueReadsNothing)
{
    open(prkdfEntry(keyOf(Bytes{0x45})));
    for (const char *id : {"0400", "04", "", "040245"}) { // empty, cut, missing, longer than held
        EXPECT_EQ(nameFor(hexBytes(id)), "") << id;
        EXPECT_EQ(usage, 0) << id;
    }
    EXPECT_TRUE(sentCommands().empty());
}

TEST_F(ContainerTest, FindsTheFirstEntryWithExactlyTheSameIdentifier)
{
    open(concat({prkdfEntry(keyOf(hexBytes("4546"), 1)), prkdfEntry(keyOf(hexBytes("45"), 2)),
                 prkdfEntry(keyOf(hexBytes("45"), 3))}));
    EXPECT_EQ(nameFor(hexBytes("040145")), "001A2B3C4D5E200002\\3F00\\501");
    EXPECT_EQ(nameFor(hexBytes("04024546")), "001A2B3C4D5E200001\\3F00\\501");
    EXPECT_EQ(nameFor(hexBytes("0403454647")), "");
    EXPECT_EQ(nameFor(hexBytes("030145")), ""); // same value, other tag
    EXPECT_EQ(usage, 0);
}

TEST_F(ContainerTest, WithoutAMatchTheScanRunsToTheEndOfTheFile)
{
    const Bytes prkdf = concat({prkdfEntry(keyOf(hexBytes("01"))), prkdfEntry(keyOf(hexBytes("02")))});
    open(prkdf);
    EXPECT_EQ(nameFor(hexBytes("040103")), "");
    EXPECT_EQ(usage, 0);
    const Bytes last = {0x00, 0xB0, (uint8_t)(prkdf.size() >> 8), (uint8_t)prkdf.size(), 0x04};
    EXPECT_EQ(sentCommands().back(), last);
    EXPECT_EQ(sentCommands().size(), 3u + 2 * 2 + 1);
}

TEST_F(ContainerTest, EntriesNotBeginningWith30ArePassedOver)
{
    open(concat({derTlv(0x30, hexBytes("040145 0302002000")), prkdfEntry(keyOf(hexBytes("45"), 9))}));
    EXPECT_EQ(nameFor(hexBytes("040145")), "001A2B3C4D5E200009\\3F00\\501");
}

TEST_F(ContainerTest, EntriesTooShortForTheNameArePassedOver)
{
    const Bytes id = hexBytes("040145");
    const Bytes usage = hexBytes("0303002000");
    const Bytes rest = hexBytes("0101FF 030203B8 020101");
    const Bytes type = derTlv(0xA1, derTlv(0x30, concat({derTlv(0x04, textBytes(PathText)), hexBytes("02020800")})));
    struct Case {
        const char *what;
        Bytes entry;
    } cases[] = {
        {"only commonObjectAttributes", derTlv(0x30, derTlv(0x30, Bytes()))},
        {"only the iD", keyEntryOf(id, type)},
        {"usage of one octet", keyEntryOf(concat({id, hexBytes("030100"), rest}), type)},
        {"no keyReference", keyEntryOf(concat({id, usage, hexBytes("0101FF 030203B8")}), type)},
        {"no typeAttributes", derTlv(0x30, concat({hexBytes("3000"), derTlv(0x30, concat({id, usage, rest})), hexBytes("A000")}))},
        {"typeAttributes of five octets", keyEntryOf(concat({id, usage, rest}), hexBytes("A103 300104"))},
        {"path length beyond typeAttributes", keyEntryOf(concat({id, usage, rest}), hexBytes("A106 30040440 5C33"))},
        {"iD longer than its element", keyEntryOf(hexBytes("04054501"), type)},
    };
    for (const Case &c : cases) {
        reset();
        open(concat({c.entry, prkdfEntry(keyOf(hexBytes("45"), 7))}));
        EXPECT_EQ(nameFor(id), "001A2B3C4D5E200007\\3F00\\501") << c.what;
    }
}

TEST_F(ContainerTest, LongFormIdentifiersAreComparedWithinTheirElement)
{
    // The key's iD is 04 81 01 45: its length octet equals that of a 129-octet
    // certificate iD, whose comparison must not run past the key entry.
    const Bytes type = derTlv(0xA1, derTlv(0x30, concat({derTlv(0x04, textBytes(PathText)), hexBytes("02020800")})));
    open(keyEntryOf(hexBytes("04810145 0303002000 0101FF 030203B8 020101"), type));
    EXPECT_EQ(nameFor(concat({hexBytes("0481"), Bytes(129, 0x45)})), "");
}

TEST_F(ContainerTest, AnEntryCutByTheEndOfTheFileEndsTheScan)
{
    const Bytes entry = prkdfEntry(keyOf(hexBytes("45")));
    CardImage card = emptyCard();
    card.putFile(PrkdfPath, Bytes(entry.begin(), entry.end() - 1));
    openCard(card);
    EXPECT_EQ(nameFor(hexBytes("040145")), "");
    EXPECT_EQ(usage, 0);
    EXPECT_EQ(sentCommands().back()[1], 0xB0); // no chip information asked
}

TEST_F(ContainerTest, AFailedChipInformationLeavesTheNameEmpty)
{
    CardImage card = emptyCard();
    card.putFile(PrkdfPath, prkdfEntry(keyOf(hexBytes("45"))));
    card.chipInfo.resize(12); // the card answers 6C0C
    openCard(card);
    EXPECT_EQ(nameFor(hexBytes("040145")), "");
    EXPECT_EQ(usage, 0);
    EXPECT_EQ(sentCommands().back(), hexBytes("90B8000012"));
    EXPECT_EQ(session->statusWord, 0x6C0C);
}

TEST_F(ContainerTest, ACardThatTellsAnotherSerialIsSentNothingMore)
{
    CardImage card = emptyCard();
    card.putFile(PrkdfPath, prkdfEntry(keyOf(hexBytes("45"))));
    openCard(card);
    uint8_t info[18];
    ASSERT_EQ(session->getChipInfo(info, sizeof info), SCARD_S_SUCCESS); // as the monitor does
    EXPECT_EQ(nameFor(hexBytes("040145")), "001A2B3C4D5E200001\\3F00\\501");

    // The same card, now telling another serial in the bytes the name takes.
    cardIn(0)->chipInfo[12] ^= 0xFF;
    EXPECT_EQ(nameFor(hexBytes("040145")), "");
    EXPECT_EQ(session->lastResult, SCARD_E_CARD_UNSUPPORTED);
    EXPECT_EQ(sentCommands().back(), hexBytes("90B8000012"));
    const size_t sent = sentCommands().size();
    session->selectFile(0x5015);
    EXPECT_EQ(sentCommands().size(), sent);
    EXPECT_EQ(session->lastResult, SCARD_E_CARD_UNSUPPORTED);

    // Bytes outside the serial may change.
    openCard(card);
    ASSERT_EQ(session->getChipInfo(info, sizeof info), SCARD_S_SUCCESS);
    cardIn(0)->chipInfo[0] ^= 0xFF;
    EXPECT_EQ(nameFor(hexBytes("040145")), "001A2B3C4D5E200001\\3F00\\501");
}

TEST_F(ContainerTest, ThePathPartIsBoundedByThePathAndTheRecord)
{
    struct Case {
        std::string pathText;
        CardFamily family;
        std::string expected;
    } cases[] = {
        {"\\3F0", FamilyAtr21, "001A2B3C4D5E200001"}, // n below 6
        {"\\3F00\\", FamilyAtr21, "001A2B3C4D5E200001"},
        {"\\3F00\\5", FamilyAtr21, "001A2B3C4D5E200001\\"},
        {std::string("\\3F") + '\0' + "0\\5015", FamilyAtr21, "001A2B3C4D5E200001\\3F"},
        // 119 characters, the most that short-form lengths hold: 113 for the name
        {std::string(119, 'k'), FamilyAtr21, "001A2B3C4D5E200001" + std::string(109, 'k')},
        {std::string(119, 'k'), FamilyAtr20, "0123456789ABCD200001" + std::string(107, 'k')},
    };
    for (const Case &c : cases) {
        reset();
        open(prkdfEntry(keyOf(hexBytes("45"), 1, c.pathText)), c.family);
        EXPECT_EQ(nameFor(hexBytes("040145")), c.expected) << c.pathText;
        EXPECT_EQ(usage, 0x2000);
    }
}

TEST_F(ContainerTest, FindPrivateKeyHandsOutTheEntryContent)
{
    const Bytes entry = prkdfEntry(keyOf(hexBytes("45")));
    open(concat({prkdfEntry(keyOf(hexBytes("44"))), entry}));
    const Bytes id = hexBytes("040145");
    uint32_t length = 99;
    uint8_t *found = session->findPrivateKey(id.data(), (uint32_t)id.size(), length);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(Bytes(found, found + length), Bytes(entry.begin() + 2, entry.end()));
    free(found);

    const Bytes other = hexBytes("040146");
    EXPECT_EQ(session->findPrivateKey(other.data(), (uint32_t)other.size(), length), nullptr);
    EXPECT_EQ(length, 0u);
}

} // namespace

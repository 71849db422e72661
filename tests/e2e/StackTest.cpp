// The virtual card on the private pcscd: cards it inserts and removes are
// seen through pcsc-lite, and the commands sent to them reach it.
#include "StackSupport.h"

#include "helpers/TestHelpers.h"

namespace {

const Bytes SerialA = hexBytes("001A2B3C4D5E");
const Bytes SerialB = hexBytes("0123456789ABCD");

Bytes transmit(SCARDHANDLE card, const Bytes &command, LONG &result)
{
    uint8_t answer[258];
    DWORD length = sizeof answer;
    result = SCardTransmit(card, SCARD_PCI_T0, command.data(), command.size(), NULL, answer, &length);
    return result == SCARD_S_SUCCESS ? Bytes(answer, answer + length) : Bytes();
}

class StackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, NULL, NULL, &context), SCARD_S_SUCCESS);
        reader0 = stackValue("VELMO_READER0");
        reader1 = stackValue("VELMO_READER1");
        ASSERT_TRUE(waitForEmptyReaders());
    }

    void TearDown() override
    {
        if (card)
            SCardDisconnect(card, SCARD_LEAVE_CARD);
        SCardReleaseContext(context);
    }

    bool connect(const std::string &reader)
    {
        DWORD protocol = 0;
        return SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &card,
                            &protocol) == SCARD_S_SUCCESS &&
               protocol == SCARD_PROTOCOL_T0;
    }

    Bytes send(const std::string &hex)
    {
        LONG result = 0;
        const Bytes answer = transmit(card, hexBytes(hex), result);
        EXPECT_EQ(result, SCARD_S_SUCCESS) << hex;
        return answer;
    }

    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    std::string reader0, reader1;
};

TEST_F(StackTest, ListsBothReaderSlots)
{
    char list[1024];
    DWORD length = sizeof list;
    ASSERT_EQ(SCardListReaders(context, NULL, list, &length), SCARD_S_SUCCESS);
    std::vector<std::string> names;
    for (const char *p = list; *p; p += strlen(p) + 1)
        names.push_back(p);
    EXPECT_EQ(names, (std::vector<std::string>{reader0, reader1}));
}

TEST_F(StackTest, CardsOfBothKindsComeAndGoInTheirOwnReaders)
{
    VirtualCardProcess first(stackValue("VELMO_VPCD_PORT0"), writeImage(familyCard(FamilyAtr21, SerialA), "a"));
    VirtualCardProcess second(stackValue("VELMO_VPCD_PORT1"), writeImage(familyCard(FamilyAtr20, SerialB), "b"));
    SCARD_READERSTATE state;
    ASSERT_TRUE(waitForReaderState(context, reader0, SCARD_STATE_EMPTY, state));

    ASSERT_EQ(first.command("insert"), "ok inserted");
    ASSERT_TRUE(waitForReaderState(context, reader0, SCARD_STATE_PRESENT, state));
    EXPECT_EQ(Bytes(state.rgbAtr, state.rgbAtr + state.cbAtr), atrFor(FamilyAtr21));
    ASSERT_TRUE(waitForReaderState(context, reader1, SCARD_STATE_EMPTY, state));

    ASSERT_EQ(second.command("insert"), "ok inserted");
    ASSERT_TRUE(waitForReaderState(context, reader1, SCARD_STATE_PRESENT, state));
    EXPECT_EQ(Bytes(state.rgbAtr, state.rgbAtr + state.cbAtr), atrFor(FamilyAtr20));

    ASSERT_EQ(first.command("remove"), "ok removed");
    EXPECT_TRUE(waitForReaderState(context, reader0, SCARD_STATE_EMPTY, state));
    EXPECT_TRUE(waitForReaderState(context, reader1, SCARD_STATE_PRESENT, state));
}

TEST_F(StackTest, CommandsReachTheCardAndAreAnsweredFromItsImage)
{
    const CardImage image = familyCard(FamilyAtr21, SerialA);
    VirtualCardProcess virtualCard(stackValue("VELMO_VPCD_PORT0"), writeImage(image, "a"));
    ASSERT_EQ(virtualCard.command("insert"), "ok inserted");
    SCARD_READERSTATE state;
    ASSERT_TRUE(waitForReaderState(context, reader0, SCARD_STATE_PRESENT, state));
    ASSERT_TRUE(connect(reader0));
    ASSERT_EQ(SCardBeginTransaction(card), SCARD_S_SUCCESS);

    EXPECT_EQ(send("00A404000B 4D61737465722E46696C65"), hexBytes("9000"));
    EXPECT_EQ(send("00A404000C A000000063504B43532D3135"), hexBytes("9000"));
    EXPECT_EQ(send("00A4000002 5031"), hexBytes("9000"));
    EXPECT_EQ(send("00B0000030"), concat({image.find(OdfPath)->content, hexBytes("9000")}));
    EXPECT_EQ(send("90B8000012"), concat({image.chipInfo, hexBytes("9000")}));
    EXPECT_EQ(send("00A4000002 7777"), hexBytes("6A82"));
    EXPECT_EQ(send("00FF000000"), hexBytes("6D00"));

    EXPECT_EQ(SCardEndTransaction(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
    EXPECT_EQ(virtualCard.command("status"), "ok inserted commands 7");
}

TEST_F(StackTest, CardPulledAfterSomeCommandsLeavesTheReaderAndComesBack)
{
    VirtualCardProcess virtualCard(stackValue("VELMO_VPCD_PORT0"), writeImage(familyCard(FamilyAtr21, SerialA), "a"));
    ASSERT_EQ(virtualCard.command("insert"), "ok inserted");
    SCARD_READERSTATE state;
    ASSERT_TRUE(waitForReaderState(context, reader0, SCARD_STATE_PRESENT, state));
    ASSERT_TRUE(connect(reader0));
    ASSERT_EQ(virtualCard.command("fail-after 2"), "ok fail after 2 commands");

    EXPECT_EQ(send("00A404000B 4D61737465722E46696C65"), hexBytes("9000"));
    EXPECT_EQ(send("00A404000C A000000063504B43532D3135"), hexBytes("9000"));
    // vpcd hands on a card that went away as an empty answer or an error:
    // either way no status word comes back, and the card is gone after it.
    LONG result = SCARD_S_SUCCESS;
    EXPECT_LT(transmit(card, hexBytes("00A4000002 5031"), result).size(), 2u);
    EXPECT_TRUE(virtualCard.waitForEvent("event pulled after 2 commands", 5000));
    EXPECT_TRUE(waitForReaderState(context, reader0, SCARD_STATE_EMPTY, state));
    transmit(card, hexBytes("00A4000002 5031"), result);
    EXPECT_NE(result, SCARD_S_SUCCESS);
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    card = 0;

    ASSERT_EQ(virtualCard.command("insert"), "ok inserted");
    ASSERT_TRUE(waitForReaderState(context, reader0, SCARD_STATE_PRESENT, state));
    ASSERT_TRUE(connect(reader0));
    EXPECT_EQ(send("00A404000B 4D61737465722E46696C65"), hexBytes("9000"));
    EXPECT_EQ(send("00A404000C A000000063504B43532D3135"), hexBytes("9000"));
    EXPECT_EQ(send("00A4000002 5031"), hexBytes("9000"));
}

// A SELECT of "Master.File" is 19 characters on the wire: the 5-byte
// header, the procedure byte, 11 data bytes and the status word; each takes
// 12 etu of F/D clock cycles (372/1 without TA1, 372/4 with TA1 = 13).
TEST_F(StackTest, TimedCardTakesAsLongAsARealT0CardAtItsAtrSpeed)
{
    const struct {
        CardFamily family;
        Bytes serial;
        const std::string &reader;
        const char *port;
        long cardMicroseconds;
    } cases[] = {
        {FamilyAtr21, SerialA, reader0, "VELMO_VPCD_PORT0", 19 * 12 * 372 / 4 + 2000},
        {FamilyAtr20, SerialB, reader1, "VELMO_VPCD_PORT1", 19 * 12 * 93 / 4 + 2000},
    };
    for (const auto &c : cases) {
        VirtualCardProcess virtualCard(stackValue(c.port), writeImage(familyCard(c.family, c.serial), "t"),
                                       {"--t0-timing", "--clock", "4000000", "--processing-us", "2000"});
        ASSERT_EQ(virtualCard.command("insert"), "ok inserted");
        SCARD_READERSTATE state;
        ASSERT_TRUE(waitForReaderState(context, c.reader, SCARD_STATE_PRESENT, state));
        ASSERT_TRUE(connect(c.reader));
        const long long before = nowMilliseconds();
        EXPECT_EQ(send("00A404000B 4D61737465722E46696C65"), hexBytes("9000"));
        EXPECT_GE(nowMilliseconds() - before, c.cardMicroseconds / 1000);
        const std::string counters = virtualCard.command("counters");
        EXPECT_NE(counters.find(" card-us " + std::to_string(c.cardMicroseconds)), std::string::npos)
            << counters;
        SCardDisconnect(card, SCARD_LEAVE_CARD);
        card = 0;
    }
}

TEST_F(StackTest, AnotherImageIsPlayedFromTheNextInsertion)
{
    VirtualCardProcess virtualCard(stackValue("VELMO_VPCD_PORT1"), writeImage(familyCard(FamilyAtr21, SerialA), "a"));
    const std::string other = writeImage(familyCard(FamilyAtr20, SerialB), "b");
    EXPECT_EQ(virtualCard.command("load /nonexistent/card"), "error cannot load /nonexistent/card");
    ASSERT_EQ(virtualCard.command("load " + other), "ok loaded " + other);
    ASSERT_EQ(virtualCard.command("insert"), "ok inserted");
    SCARD_READERSTATE state;
    ASSERT_TRUE(waitForReaderState(context, reader1, SCARD_STATE_PRESENT, state));
    EXPECT_EQ(Bytes(state.rgbAtr, state.rgbAtr + state.cbAtr), atrFor(FamilyAtr20));
    ASSERT_TRUE(connect(reader1));
    EXPECT_EQ(send("90B8000011"), concat({chipInfoFor(FamilyAtr20, SerialB), hexBytes("9000")}));
    EXPECT_EQ(virtualCard.command("bogus"), "error unknown command: bogus");
}

} // namespace

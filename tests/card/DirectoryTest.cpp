// Reading the object directory into the directory file identifiers, and the
// DER helpers.
#include <gtest/gtest.h>

#include <string.h>

#include <new>

#include "card/CardSession.h"
#include "helpers/TestHelpers.h"

using namespace fakepcsc;

namespace {

const std::vector<uint16_t> Defaults = {0x6001, 0x6002, 0x6002, 0xFFFF, 0x6004,
                                        0x6004, 0x6004, 0x6005, 0x6000};

std::vector<uint16_t> idsOf(const CardSession &session)
{
    return std::vector<uint16_t>(session.directoryFileIds, session.directoryFileIds + 9);
}

class DirectoryTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { delete session; }

    // Opens a session on a card whose ODF holds `odf`, padded to 48 bytes.
    CardSession *openWithOdf(const Bytes &odf, uint8_t padding = 0xFF)
    {
        CardImage card = emptyCard();
        Bytes file = odf;
        file.resize(std::max<size_t>(file.size(), 48), padding);
        card.putFile(OdfPath, file);
        session = new CardSession(connectCard(card));
        return session;
    }

    CardSession *session = nullptr;
};

TEST_F(DirectoryTest, ReadsTheOdfWithTheExactCommandChain)
{
    openWithOdf(hexBytes("A0063004040260 11 A4063004040270 04 FF"));
    const std::vector<Bytes> expected = {
        hexBytes("00A404000B 4D61737465722E46696C65"),
        hexBytes("00A404000C A000000063504B43532D3135"),
        hexBytes("00A4000002 5031"),
        hexBytes("00B0000028"),
    };
    EXPECT_EQ(sentCommands(), expected);
    std::vector<uint16_t> ids = Defaults;
    ids[0] = 0x6011;
    ids[4] = 0x7004;
    EXPECT_EQ(idsOf(*session), ids);
}

TEST_F(DirectoryTest, EmptyOdfKeepsTheDefaults)
{
    openWithOdf(hexBytes("FF A0063004040260 11"));
    EXPECT_EQ(idsOf(*session), Defaults);
}

TEST_F(DirectoryTest, OtherTagsAndZeroRunsAreSteppedOver)
{
    openWithOdf(hexBytes("3006300404021234 0000 0000 B406300404027004 FF"), 0x00);
    std::vector<uint16_t> ids = Defaults;
    ids[4] = 0x7004;
    EXPECT_EQ(idsOf(*session), ids);
}

TEST_F(DirectoryTest, TagsWithoutASlotWriteNothing)
{
    // AF, F9, AA and AC would index past the nine identifiers, into the
    // fields and padding after them.
    Bytes odf = hexBytes("AF0630040402ABCD F90630040402ABCD AA0630040402ABCD AC0630040402ABCD"
                         "A8063004040212 34");
    ASSERT_EQ(odf.size(), 40u);
    CardImage card = emptyCard();
    card.putFile(OdfPath, concat({odf, Bytes(8, 0xFF)}));
    const SCARDHANDLE handle = connectCard(card);

    // The session is built over a known pattern, so that a write into the
    // padding between its fields shows as well as one into a field.
    const uint8_t guard = 0x5A;
    alignas(CardSession) uint8_t storage[sizeof(CardSession)];
    memset(storage, guard, sizeof storage);
    CardSession *built = new (storage) CardSession(handle);

    std::vector<uint16_t> ids = Defaults;
    ids[8] = 0x1234;
    EXPECT_EQ(idsOf(*built), ids);
    EXPECT_EQ(built->statusWord, 0x9000);
    EXPECT_EQ(built->cardHandle, handle);
    EXPECT_EQ(built->lastResult, SCARD_S_SUCCESS);
    EXPECT_EQ(Bytes(built->command, built->command + built->commandLength), hexBytes("00B0000028"));
    EXPECT_EQ(Bytes(built->answer, built->answer + built->answerLength), concat({odf, hexBytes("9000")}));
    // Every byte after the identifiers that belongs to no field is untouched.
    struct Field {
        const void *start;
        size_t size;
    } fields[] = {
        {&built->statusWord, sizeof built->statusWord},   {&built->cardHandle, sizeof built->cardHandle},
        {&built->lastResult, sizeof built->lastResult},   {&built->stoppedResult, sizeof built->stoppedResult},
        {built->firstChipInfo, sizeof built->firstChipInfo}, {&built->firstChipInfoLength, sizeof built->firstChipInfoLength},
        {built->command, sizeof built->command},
        {built->answer, sizeof built->answer},            {&built->commandLength, sizeof built->commandLength},
        {&built->answerLength, sizeof built->answerLength},
    };
    const uint8_t *after = (const uint8_t *)(built->directoryFileIds + DirectoryFileCount);
    for (const uint8_t *p = after; p < storage + sizeof storage; p++) {
        bool inField = false;
        for (const Field &field : fields)
            inField = inField || (p >= (const uint8_t *)field.start &&
                                  p < (const uint8_t *)field.start + field.size);
        EXPECT_TRUE(inField || *p == guard) << "padding octet " << p - after << " past the identifiers";
    }
    built->~CardSession();
}

TEST_F(DirectoryTest, EntriesCutOffByTheEndOfTheReadWriteNothing)
{
    // A 36-byte entry, then an A4 entry whose identifier lies in bytes 42 and 43.
    Bytes odf = concat({derTlv(0x30, Bytes(34, 0x11)), hexBytes("A406300404027004")});
    openWithOdf(odf);
    EXPECT_EQ(idsOf(*session), Defaults);

    delete session;
    openWithOdf(hexBytes("A47F3004040270 04"));
    std::vector<uint16_t> ids = Defaults;
    ids[4] = 0x7004;
    EXPECT_EQ(idsOf(*session), ids); // the length jumps past the buffer: the parse ends
}

TEST_F(DirectoryTest, AFailingStepEndsTheChainWithTheDefaults)
{
    CardImage card = emptyCard();
    card.putFile(OdfPath, hexBytes("A0063004040260 11 FF"));
    struct Case {
        unsigned failing;
        uint16_t status;
    } cases[] = {{1, 0x6A82}, {2, 0x6A82}, {3, 0x6A82}, {4, 0x6B00}};
    for (const Case &c : cases) {
        reset();
        injectFault(c.failing, statusFault(c.status));
        CardSession session(connectCard(card));
        EXPECT_EQ(sentCommands().size(), c.failing);
        EXPECT_EQ(session.statusWord, c.status);
        EXPECT_EQ(idsOf(session), Defaults);
    }
}

TEST_F(DirectoryTest, PcscErrorOnTheOdfReadKeepsTheDefaults)
{
    injectFault(4, errorFault(SCARD_E_COMM_DATA_LOST));
    openWithOdf(hexBytes("A0063004040260 11 FF"));
    EXPECT_EQ(session->lastResult, SCARD_E_COMM_DATA_LOST);
    EXPECT_EQ(session->statusWord, 0x0000);
    EXPECT_EQ(idsOf(*session), Defaults);
}

TEST_F(DirectoryTest, AnOdfAnsweredInPiecesIsReadWhole)
{
    Bytes odf = concat({derTlv(0x30, Bytes(20, 0)), hexBytes("A406300404027004 FF")});
    injectFault(4, dataFault(Bytes(odf.begin(), odf.begin() + 22), 0x9000));
    openWithOdf(odf);
    ASSERT_EQ(sentCommands().size(), 5u);
    EXPECT_EQ(sentCommands()[4], hexBytes("00B0001612"));
    EXPECT_EQ(session->directoryFileIds[4], 0x7004);
}

TEST_F(DirectoryTest, WorksOnCardsThatAnswerSelectWith61xx)
{
    setSelectNeedsGetResponse(true);
    openWithOdf(hexBytes("A4063004040270 04 FF"));
    EXPECT_EQ(sentCommands().size(), 7u);
    EXPECT_EQ(session->directoryFileIds[4], 0x7004);
}

TEST(DerLength, DecodesEveryLengthForm)
{
    struct Case {
        const char *window;
        uint32_t length;
        int32_t advance;
    } cases[] = {
        {"04140000", 20, 2},  {"307F0000", 127, 2}, {"3081C800", 200, 3},
        {"308201F4", 500, 4}, {"3080FFFF", 0, 2},   {"3082FFFF", 65535, 4},
    };
    for (const Case &c : cases) {
        int32_t cursor = 100;
        EXPECT_EQ(CardSession::derLength(cursor, hexBytes(c.window).data()), c.length) << c.window;
        EXPECT_EQ(cursor, 100 + c.advance) << c.window;
    }
}

TEST(DerLength, LengthsBeyondTheWindowAreInvalid)
{
    for (const char *window : {"30830100", "30840100", "30FF0000"}) {
        int32_t cursor = 0;
        EXPECT_EQ(CardSession::derLength(cursor, hexBytes(window).data()), DerLengthInvalid);
    }
}

TEST(SkipTlv, StepsOverEveryLengthForm)
{
    Bytes shortForm = hexBytes("04026001");
    EXPECT_EQ(CardSession::skipTlv(shortForm.data(), shortForm.data() + 4), shortForm.data() + 4);
    Bytes longForm = concat({hexBytes("30820100"), Bytes(256, 0)});
    EXPECT_EQ(CardSession::skipTlv(longForm.data(), longForm.data() + longForm.size()),
              longForm.data() + 260);
    Bytes oneOctet = concat({hexBytes("3081C8"), Bytes(200, 0)});
    EXPECT_EQ(CardSession::skipTlv(oneOctet.data(), oneOctet.data() + oneOctet.size()),
              oneOctet.data() + 203);
    Bytes indefinite = hexBytes("30800000");
    EXPECT_EQ(CardSession::skipTlv(indefinite.data(), indefinite.data() + 4), indefinite.data() + 2);
}

TEST(SkipTlv, RefusesWhatDoesNotFit)
{
    // Lengths past the buffer, by one octet too.
    const char *cases[] = {"0405010203", "04030102", "308102AA", "3081", "308201",
                           "3082010000", "30", "3085000000000100"};
    for (const char *text : cases) {
        Bytes tlv = hexBytes(text);
        EXPECT_EQ(CardSession::skipTlv(tlv.data(), tlv.data() + tlv.size()), nullptr) << text;
    }
    Bytes empty = hexBytes("0400");
    EXPECT_EQ(CardSession::skipTlv(empty.data(), empty.data()), nullptr);
}

} // namespace

// The APDU exchange: exact command bytes, GET RESPONSE, READ BINARY in
// pieces, the chip-information command, and answers no card should give.
#include <gtest/gtest.h>

#include "card/CardSession.h"
#include "helpers/TestHelpers.h"

using namespace fakepcsc;

namespace {

const std::vector<uint16_t> DataPath = {0x3F00, 0x5015, 0x4401};

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset();
        card = emptyCard();
        card.putFile(DataPath, content);
    }

    // A session with the data file selected and the log cleared; the first
    // command sent afterwards is fault index `nextIndex()`.
    CardSession *openOnDataFile()
    {
        session = new CardSession(connectCard(card));
        session->selectApplicationFile(0x4401);
        clearCommandLog();
        return session;
    }

    unsigned nextIndex() const { return counters().transmits + 1; }

    void TearDown() override { delete session; }

    Bytes content = patternBytes(300);
    CardImage card;
    CardSession *session = nullptr;
};

TEST_F(SessionTest, SelectCommandsHaveTheExactBytes)
{
    openOnDataFile();
    session->selectByName("Master.File");
    const uint8_t aid[12] = {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};
    session->selectByAid(aid, sizeof aid);
    session->selectFile(0x5031);
    const std::vector<Bytes> expected = {
        hexBytes("00A404000B 4D61737465722E46696C65"),
        hexBytes("00A404000C A000000063504B43532D3135"),
        hexBytes("00A4000002 5031"),
    };
    EXPECT_EQ(sentCommands(), expected);
    EXPECT_EQ(session->statusWord, 0x9000);
    EXPECT_EQ(session->lastResult, SCARD_S_SUCCESS);
}

TEST_F(SessionTest, TransactionLastsAsLongAsTheSession)
{
    session = new CardSession(connectCard(card));
    EXPECT_EQ(openTransactions(), 1u);
    delete session;
    session = nullptr;
    EXPECT_EQ(openTransactions(), 0u);
    EXPECT_EQ(counters().endTransactions, 1u);
    EXPECT_EQ(openConnections(), 1u); // the caller disconnects
}

TEST_F(SessionTest, GetResponseFollowsAnAnswerOfExactly61xx)
{
    setSelectNeedsGetResponse(true);
    openOnDataFile();
    session->selectFile(0x4401);
    const std::vector<Bytes> expected = {hexBytes("00A4000002 4401"), hexBytes("00C0000006")};
    EXPECT_EQ(sentCommands(), expected);
    EXPECT_EQ(session->statusWord, 0x9000);
    EXPECT_EQ(session->answerLength, 8u);
}

TEST_F(SessionTest, GetResponseTakesItsLengthFromSw2)
{
    openOnDataFile();
    injectFault(nextIndex(), statusFault(0x611C));
    session->selectFile(0x4401);
    ASSERT_EQ(sentCommands().size(), 2u);
    EXPECT_EQ(sentCommands()[1], hexBytes("00C000001C"));
    EXPECT_EQ(session->statusWord, 0x6985); // the double had nothing pending
}

TEST_F(SessionTest, AtMostOneGetResponsePerExchange)
{
    setSelectNeedsGetResponse(true);
    openOnDataFile();
    injectFault(nextIndex() + 1, statusFault(0x6110));
    session->selectFile(0x4401);
    EXPECT_EQ(sentCommands().size(), 2u);
    EXPECT_EQ(session->statusWord, 0x6110);
}

TEST_F(SessionTest, DataFollowedBy61xxIsNotCompleted)
{
    openOnDataFile();
    injectFault(nextIndex(), dataFault(hexBytes("010203"), 0x6110));
    session->selectFile(0x4401);
    EXPECT_EQ(sentCommands().size(), 1u);
    EXPECT_EQ(session->statusWord, 0x6110);
}

TEST_F(SessionTest, FailedTransmitClearsTheStatusAndLeavesTheDestination)
{
    openOnDataFile();
    injectFault(nextIndex(), errorFault(SCARD_W_REMOVED_CARD));
    Bytes destination(40, 0xEE);
    EXPECT_EQ(session->readBinary(0, 40, destination.data()), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(session->lastResult, SCARD_W_REMOVED_CARD);
    EXPECT_EQ(session->statusWord, 0x0000);
    EXPECT_EQ(destination, Bytes(40, 0xEE));
    // A card that has stopped answering is sent nothing more.
    EXPECT_EQ(session->getChipInfo(destination.data(), 18), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(session->statusWord, 0x0000);
    EXPECT_EQ(sentCommands().size(), 1u);
}

TEST_F(SessionTest, ReadBinarySplitsIntoPiecesOf128)
{
    openOnDataFile();
    Bytes destination(300);
    EXPECT_EQ(session->readBinary(0, 300, destination.data()), SCARD_S_SUCCESS);
    const std::vector<Bytes> expected = {hexBytes("00B0000080"), hexBytes("00B0008080"),
                                         hexBytes("00B001002C")};
    EXPECT_EQ(sentCommands(), expected);
    EXPECT_EQ(destination, content);
    EXPECT_EQ(session->statusWord, 0x9000);
}

TEST_F(SessionTest, ReadBinaryOfOnePieceAndOfNothing)
{
    openOnDataFile();
    Bytes destination(40);
    session->readBinary(0, 40, destination.data());
    EXPECT_EQ(sentCommands(), std::vector<Bytes>{hexBytes("00B0000028")});
    EXPECT_EQ(destination, Bytes(content.begin(), content.begin() + 40));

    clearCommandLog();
    injectFault(nextIndex(), statusFault(0x9000));
    EXPECT_EQ(session->readBinary(0x10, 0, NULL), SCARD_S_SUCCESS);
    EXPECT_EQ(sentCommands(), std::vector<Bytes>{hexBytes("00B0001000")});
    EXPECT_EQ(session->statusWord, 0x9000);
}

TEST_F(SessionTest, ReadBinaryAdvancesByWhatArrived)
{
    openOnDataFile();
    injectFault(nextIndex(), dataFault(Bytes(content.begin(), content.begin() + 100), 0x9000));
    Bytes destination(200);
    session->readBinary(0, 200, destination.data());
    ASSERT_EQ(sentCommands().size(), 2u);
    EXPECT_EQ(sentCommands()[0], hexBytes("00B0000080"));
    EXPECT_EQ(sentCommands()[1], hexBytes("00B0006464"));
    EXPECT_EQ(destination, Bytes(content.begin(), content.begin() + 200));
}

TEST_F(SessionTest, ReadBinaryStopsAtAnErrorOnALaterPiece)
{
    openOnDataFile();
    injectFault(nextIndex() + 1, statusFault(0x6B00));
    Bytes destination(300, 0xEE);
    EXPECT_EQ(session->readBinary(0, 300, destination.data()), SCARD_S_SUCCESS);
    EXPECT_EQ(session->statusWord, 0x6B00);
    EXPECT_EQ(sentCommands().size(), 2u);
    EXPECT_EQ(Bytes(destination.begin(), destination.begin() + 128),
              Bytes(content.begin(), content.begin() + 128));
    EXPECT_EQ(Bytes(destination.begin() + 128, destination.end()), Bytes(172, 0xEE));
}

TEST_F(SessionTest, ReadBinaryWithoutDestinationSendsTheSameCommands)
{
    openOnDataFile();
    session->readBinary(0, 300, NULL);
    EXPECT_EQ(sentCommands().size(), 3u);
    EXPECT_EQ(session->statusWord, 0x9000);
}

TEST_F(SessionTest, ReadBinaryEndsOnAnEmpty9000Answer)
{
    openOnDataFile();
    injectFault(nextIndex() + 1, statusFault(0x9000));
    Bytes destination(300);
    session->readBinary(0, 300, destination.data());
    EXPECT_EQ(sentCommands().size(), 2u);
    EXPECT_EQ(session->lastResult, SCARD_S_SUCCESS);
    EXPECT_NE(session->statusWord, 0x9000);
}

TEST_F(SessionTest, ReadBinaryNeverWritesMoreThanAsked)
{
    openOnDataFile();
    // The second piece asks for 0x80 bytes of the 150 and receives 200.
    injectFault(nextIndex() + 1, dataFault(Bytes(200, 0x55), 0x9000));
    Bytes buffer(150 + 64, 0xEE);
    session->readBinary(0, 150, buffer.data());
    EXPECT_EQ(session->lastResult, SCARD_S_SUCCESS);
    EXPECT_NE(session->statusWord, 0x9000);
    EXPECT_EQ(Bytes(buffer.begin() + 128, buffer.end()), Bytes(150 + 64 - 128, 0xEE));
    EXPECT_EQ(sentCommands().size(), 2u);
}

// An answer without a status word did not come from the card: it counts as
// the card having stopped answering, like a PC/SC failure.
TEST_F(SessionTest, AnswersWithoutAStatusWordNeverCountAsSuccess)
{
    for (size_t length : {0u, 1u}) {
        SCOPED_TRACE(length);
        delete session;
        openOnDataFile();
        injectFault(nextIndex(), shortFault(length));
        Bytes destination(4, 0xEE);
        session->readBinary(0, 4, destination.data());
        EXPECT_EQ(session->lastResult, SCARD_F_COMM_ERROR);
        EXPECT_EQ(session->statusWord, 0x0000);
        EXPECT_EQ(destination, Bytes(4, 0xEE));
        session->selectFile(0x4401);
        EXPECT_EQ(session->lastResult, SCARD_F_COMM_ERROR);
        EXPECT_EQ(sentCommands().size(), 1u) << "a command sent after the card stopped answering";
    }
}

TEST_F(SessionTest, GetChipInfoCopiesTheRequestedCount)
{
    openOnDataFile();
    Bytes destination(17);
    EXPECT_EQ(session->getChipInfo(destination.data(), 17), SCARD_S_SUCCESS);
    EXPECT_EQ(sentCommands(), std::vector<Bytes>{hexBytes("90B8000011")});
    EXPECT_EQ(destination, Bytes(card.chipInfo.begin(), card.chipInfo.begin() + 17));
    EXPECT_EQ(session->statusWord, 0x9000);

    clearCommandLog();
    session->getChipInfo(NULL, 18);
    EXPECT_EQ(sentCommands(), std::vector<Bytes>{hexBytes("90B8000012")});
}

TEST_F(SessionTest, GetChipInfoRefusesAShortAnswer)
{
    openOnDataFile();
    session->readBinary(0, 40, NULL); // leaves file bytes in the answer buffer
    injectFault(nextIndex(), dataFault(hexBytes("01020304"), 0x9000));
    Bytes destination(17, 0xEE);
    session->getChipInfo(destination.data(), 17);
    EXPECT_FALSE(session->lastResult == SCARD_S_SUCCESS && session->statusWord == 0x9000);
    EXPECT_EQ(destination, Bytes(17, 0xEE));
}

TEST_F(SessionTest, GetChipInfoCopiesNothingOnAnError)
{
    openOnDataFile();
    injectFault(nextIndex(), statusFault(0x6D00));
    Bytes destination(18, 0xEE);
    session->getChipInfo(destination.data(), 18);
    EXPECT_EQ(session->statusWord, 0x6D00);
    EXPECT_EQ(destination, Bytes(18, 0xEE));
}

} // namespace

// The reader monitor's polling cycle against the PC/SC double's readers and
// the recording store: the reader table, the two card families, exact event
// matching, the serial slot and the cleanup of every insertion path.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "card/CardFamily.h"
#include "monitor/Monitor.h"
#include "MonitorTestHelpers.h"
#include "support/RecordingEvents.h"
#include "support/RecordingStore.h"
#include "helpers/TestHelpers.h"

using namespace fakepcsc;
using recordingstore::StoreCall;

namespace {

const Bytes ExpectedAtr21 = hexBytes("3B EF 00 00 40 14 80 25 56 45 4C 4D 4F");
const Bytes ExpectedAtr20 = hexBytes("3B 7F 11 00 00 00 6A 56 45 4C 4D 4F 02 2C 34 02 00 03 90 00");
const Bytes ExpectedAtr20Mask = hexBytes("FF FF 00 FF FF FF FF FF FF FF FF FF FF FF FF FF 00 FF FF FF");

const DWORD LowBits = 0xFFFF;

CardImage cardWithAtr(const Bytes &atr)
{
    CardImage card = emptyCard();
    card.atr = atr;
    return card;
}

Bytes atr21WithTail(const Bytes &tail)
{
    Bytes atr = ExpectedAtr21;
    atr.insert(atr.end(), tail.begin(), tail.end());
    return atr;
}

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override { startOver(); }

    void TearDown() override
    {
        clearReaderTable();
        recordingstore::reset();
    }

    void startOver()
    {
        recordingstore::reset();
        ASSERT_EQ(startMonitorAfresh(), SCARD_S_SUCCESS);
    }

    // Lists the readers as start-up does and fills the table from the list,
    // which is given back before the table is used.
    void watchReaders()
    {
        char *list = NULL;
        DWORD length = SCARD_AUTOALLOCATE;
        ASSERT_EQ(SCardListReadersA(pcscContext, NULL, (LPSTR)&list, &length), SCARD_S_SUCCESS);
        fillReaderTable(list);
        SCardFreeMemory(pcscContext, list);
    }

    size_t readerWith(const CardImage &card)
    {
        const size_t reader = addReader("Reader " + std::to_string(readerCount++));
        insertCard(reader, card);
        return reader;
    }

    size_t emptyReader() { return addReader("Reader " + std::to_string(readerCount++)); }

    // One reader holding `card`, watched, and one cycle run.
    void pollOneCard(const CardImage &card)
    {
        readerWith(card);
        watchReaders();
        EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    }

    static SCARD_READERSTATEA &entry(size_t index) { return readerTable.entries[index]; }
    static const char *slot(size_t index) { return heldSerial(index); }
    // The slot of the entry watching that reader, or null.
    static const char *slotOf(const std::string &reader)
    {
        for (uint32_t i = 0; i < readerTable.count; i++)
            if (reader == entry(i).szReader)
                return slot(i);
        return nullptr;
    }
    static bool watched(const std::string &reader)
    {
        for (uint32_t i = 0; i < readerTable.count; i++)
            if (reader == entry(i).szReader)
                return true;
        return false;
    }
    static DWORD lowEvent(size_t index) { return entry(index).dwEventState & LowBits; }

    static void expectNoCardWork()
    {
        EXPECT_EQ(counters().connects, 0u);
        EXPECT_EQ(counters().transmits, 0u);
        EXPECT_TRUE(recordingstore::calls().empty());
    }

    unsigned readerCount = 0;
};

// ---------------------------------------------------------------- constants

TEST_F(MonitorTest, AtrMatchesComparesUnderTheMask)
{
    const uint8_t pattern[3] = {0x12, 0x34, 0x56};
    const uint8_t mask[3] = {0xFF, 0x0F, 0x00};
    const uint8_t same[3] = {0x12, 0x34, 0x56};
    const uint8_t masked[3] = {0x12, 0xF4, 0xAB};
    const uint8_t first[3] = {0x13, 0x34, 0x56};
    const uint8_t middle[3] = {0x12, 0x35, 0x56};
    EXPECT_TRUE(atrMatches(pattern, 3, same, 3, mask));
    EXPECT_TRUE(atrMatches(pattern, 3, masked, 3, mask));
    EXPECT_FALSE(atrMatches(pattern, 3, first, 3, mask));
    EXPECT_FALSE(atrMatches(pattern, 3, middle, 3, mask));
    EXPECT_FALSE(atrMatches(pattern, 3, same, 2, mask));
    EXPECT_FALSE(atrMatches(pattern, 2, same, 3, mask));
    EXPECT_TRUE(atrMatches(pattern, 0, same, 0, mask));
}

// ---------------------------------------------------------------- the table

TEST_F(MonitorTest, FillReaderTableCopiesTheNames)
{
    emptyReader();
    emptyReader();
    watchReaders(); // the list is freed inside: the table must hold copies
    ASSERT_EQ(readerTable.count, 2u);
    EXPECT_STREQ(entry(0).szReader, "Reader 0");
    EXPECT_STREQ(entry(1).szReader, "Reader 1");
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(slot(i), nullptr);
        EXPECT_EQ(entry(i).dwCurrentState, (DWORD)SCARD_STATE_UNAWARE);
        EXPECT_EQ(entry(i).dwEventState, 0u);
        EXPECT_EQ(entry(i).cbAtr, 0u);
    }
    EXPECT_EQ(entry(2).szReader, nullptr);
}

TEST_F(MonitorTest, SixteenReadersAreWatchedAndTheSeventeenthIgnored)
{
    for (int i = 0; i < 17; i++) {
        char serial[13];
        snprintf(serial, sizeof serial, "0000000000%02X", i);
        readerWith(familyCard(FamilyAtr21, hexBytes(serial)));
    }
    watchReaders();
    ASSERT_EQ(readerTable.count, 16u);
    for (size_t i = 0; i < 16; i++)
        EXPECT_EQ(std::string(entry(i).szReader), "Reader " + std::to_string(i));

    // pcsc-lite takes at most 16 entries: the arrival watch waits for room.
    setPlatform(PcscLite);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(lastStatusCount(), 16u);
    EXPECT_EQ(lastStatusNames().back(), "Reader 15");
    ASSERT_EQ(recordingstore::registrations().size(), 16u);
    ASSERT_EQ(connectLog().size(), 16u);
    for (size_t i = 0; i < 16; i++) {
        char serial[13];
        snprintf(serial, sizeof serial, "0000000000%02X", (unsigned)i);
        EXPECT_STREQ(slot(i), serial);
        EXPECT_EQ(connectLog()[i].reader, "Reader " + std::to_string(i)); // in table order
    }
    expectNothingLeftOpen();

    // A watched reader leaves (pcsc-lite fails the whole call): its card is
    // removed and the 17th takes its entry.
    detachReader(3);
    EXPECT_EQ(pollReaders(), SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(recordingstore::removedSerials(), std::vector<std::string>{"000000000003"});
    EXPECT_FALSE(watched("Reader 3"));
    EXPECT_TRUE(watched("Reader 16"));
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_STREQ(slotOf("Reader 16"), "000000000010");
    EXPECT_EQ(lastStatusCount(), 16u);
    EXPECT_EQ(readerTable.count, 16u);
    expectNothingLeftOpen();
}

TEST_F(MonitorTest, FillReaderTableStopsAtSixteenEvenWhenCalledAgain)
{
    std::string list;
    for (int i = 0; i < 20; i++)
        list += "R" + std::to_string(i) + '\0';
    list += '\0';
    fillReaderTable(list.c_str());
    EXPECT_EQ(readerTable.count, 16u);
    fillReaderTable(list.c_str());
    EXPECT_EQ(readerTable.count, 16u);
    EXPECT_STREQ(entry(15).szReader, "R15");
}

class ArrivalTest : public MonitorTest, public ::testing::WithParamInterface<Platform> {};

// Without a reader the status call watches arrivals alone; a reader that
// arrives is listed in the cycle that reports it and read in the next.
TEST_P(ArrivalTest, AReaderPluggedInLaterIsWatched)
{
    setPlatform(GetParam());
    for (int cycle = 0; cycle < 3; cycle++)
        EXPECT_NE(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(lastStatusCount(), 1u);
    EXPECT_EQ(lastStatusTimeout(), 900u);
    EXPECT_EQ(readerTable.count, 0u);
    expectNoCardWork();
    const unsigned listingsBefore = counters().listReaders;

    recordingevents::start();
    readerWith(emptyCard());
    unsigned cycles = 0;
    while (!slot(0) && cycles++ < 20)
        pollReaders();
    EXPECT_STREQ(slot(0), "001A2B3C4D5E");
    EXPECT_EQ(lastStatusCount(), 2u);
    ASSERT_EQ(recordingevents::withId(109).size(), 1u); // a reader arrived
    EXPECT_EQ(recordingevents::withId(109)[0].strings[0], "Reader 0");
    recordingevents::stop();
    if (GetParam() == WindowsPcsc) {
        EXPECT_EQ(cycles, 2u); // reported by the reader count at once
        EXPECT_EQ(counters().listReaders, listingsBefore + 1);
    } else {
        EXPECT_LE(cycles, 11u); // only the listing every few cycles sees it
    }
    // No listing while nothing arrives, where the count is kept.
    const unsigned listings = counters().listReaders;
    for (int cycle = 0; cycle < 12; cycle++)
        pollReaders();
    if (GetParam() == WindowsPcsc) {
        EXPECT_EQ(counters().listReaders, listings);
    }
    EXPECT_EQ(counters().connects, 1u);
}

// One reader unplugged and another plugged in with a card between two
// cycles: the reader count is the same, and the new reader is read.
TEST_P(ArrivalTest, AReaderReplacedBetweenTwoCyclesIsWatched)
{
    setPlatform(GetParam());
    const size_t first = readerWith(familyCard(FamilyAtr21, hexBytes("A1A1A1A1A1A1")));
    watchReaders();
    pollReaders();
    detachReader(first);
    readerWith(familyCard(FamilyAtr21, hexBytes("B1B1B1B1B1B1")));
    for (int cycle = 0; cycle < 12 && !slotOf("Reader 1"); cycle++)
        pollReaders();
    EXPECT_STREQ(slotOf("Reader 1"), "B1B1B1B1B1B1");
    EXPECT_EQ(recordingstore::removedSerials(), std::vector<std::string>{"A1A1A1A1A1A1"});
    expectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(Platforms, ArrivalTest, ::testing::Values(WindowsPcsc, PcscLite),
                         [](const ::testing::TestParamInfo<Platform> &info) {
                             return std::string(info.param == WindowsPcsc ? "Windows" : "PcscLite");
                         });

// ---------------------------------------------------------- one insertion

TEST_F(MonitorTest, CardPresentAtStartUpIsRegisteredInTheFirstCycle)
{
    unsigned transactionsDuringRegistration = 99, connectionsDuringRegistration = 99;
    std::string slotDuringRegistration;
    recordingstore::onRegister([&](CardSession *) {
        transactionsDuringRegistration = openTransactions();
        connectionsDuringRegistration = openConnections();
        slotDuringRegistration = slot(0) ? slot(0) : "(null)";
    });
    pollOneCard(emptyCard(FamilyAtr21));

    EXPECT_EQ(counters().statusCalls, 1u);
    EXPECT_EQ(lastStatusTimeout(), 900u);
    EXPECT_EQ(lastStatusCount(), 2u);
    EXPECT_EQ(lowEvent(0), (DWORD)0x0022);

    ASSERT_EQ(connectLog().size(), 1u);
    EXPECT_EQ(connectLog()[0].reader, "Reader 0");
    EXPECT_EQ(connectLog()[0].shareMode, (DWORD)SCARD_SHARE_SHARED);
    EXPECT_EQ(connectLog()[0].protocols, (DWORD)SCARD_PROTOCOL_T0);

    const std::vector<StoreCall> registrations = recordingstore::registrations();
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(recordingstore::calls().size(), 1u);
    EXPECT_EQ(registrations[0].cardKind, Atr21);
    // The session ran on the connected card, inside its transaction, with
    // the serial already in the slot.
    ASSERT_EQ(disconnectLog().size(), 1u);
    EXPECT_NE(registrations[0].cardHandle, (SCARDHANDLE)0);
    EXPECT_EQ(registrations[0].cardHandle, disconnectLog()[0].card);
    EXPECT_EQ(disconnectLog()[0].disposition, (DWORD)SCARD_LEAVE_CARD);
    EXPECT_EQ(transactionsDuringRegistration, 1u);
    EXPECT_EQ(connectionsDuringRegistration, 1u);
    EXPECT_EQ(slotDuringRegistration, "001A2B3C4D5E");

    EXPECT_STREQ(slot(0), "001A2B3C4D5E");
    EXPECT_EQ(counters().beginTransactions, 1u);
    expectNothingLeftOpen();
    // The chip information was asked for 18 bytes, after the directory.
    ASSERT_FALSE(commandLog().empty());
    EXPECT_EQ(commandLog().back().command, hexBytes("90 B8 00 00 12"));
}

TEST_F(MonitorTest, Atr20CardIsRegisteredWithItsKind)
{
    uint8_t kindDuringRegistration = 0xEE;
    recordingstore::onRegister([&](CardSession *session) { kindDuringRegistration = session->family; });
    pollOneCard(emptyCard(FamilyAtr20));

    const std::vector<StoreCall> registrations = recordingstore::registrations();
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].cardKind, Atr20);
    EXPECT_EQ(kindDuringRegistration, Atr20);
    EXPECT_STREQ(slot(0), "0123456789ABCD");
    EXPECT_EQ(commandLog().back().command, hexBytes("90 B8 00 00 11"));
    expectNothingLeftOpen();
}

TEST_F(MonitorTest, NoChangeMeansNoWork)
{
    pollOneCard(emptyCard());
    const Counters before = counters();
    EXPECT_EQ(pollReaders(), SCARD_E_TIMEOUT);
    EXPECT_EQ(counters().connects, before.connects);
    EXPECT_EQ(counters().transmits, before.transmits);
    EXPECT_EQ(recordingstore::calls().size(), 1u);
}

// ------------------------------------------------------------- serial text

struct SerialCase {
    CardFamily family;
    const char *serialHex;
    const char *text;
};

void PrintTo(const SerialCase &c, std::ostream *out) { *out << c.text; }

class SerialTextTest : public MonitorTest, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(SerialTextTest, RemovalHandsTheSerialTextToTheStore)
{
    const SerialCase &c = GetParam();
    std::string slotDuringRegistration;
    recordingstore::onRegister([&](CardSession *) { slotDuringRegistration = slot(0); });
    pollOneCard(familyCard(c.family, hexBytes(c.serialHex)));
    EXPECT_EQ(slotDuringRegistration, c.text);
    ASSERT_NE(slot(0), nullptr);
    EXPECT_STREQ(slot(0), c.text);
    EXPECT_EQ(strlen(slot(0)), c.family == FamilyAtr20 ? 14u : 12u);

    removeCard(0);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(lowEvent(0), (DWORD)0x0012);
    EXPECT_EQ(recordingstore::removedSerials(), std::vector<std::string>{c.text});
    EXPECT_EQ(slot(0), nullptr);
    ASSERT_EQ(recordingstore::calls().size(), 2u);
    EXPECT_EQ(recordingstore::calls()[1].kind, StoreCall::Remove);

    // The slot is Free again: the next card in the reader is handled anew.
    insertCard(0, familyCard(c.family, hexBytes(c.serialHex)));
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(recordingstore::registrations().size(), 2u);
    EXPECT_STREQ(slot(0), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    BothKinds, SerialTextTest,
    ::testing::Values(SerialCase{FamilyAtr21, "001A2B3C4D5E", "001A2B3C4D5E"},
                      SerialCase{FamilyAtr21, "FF00A50FF05A", "FF00A50FF05A"},
                      SerialCase{FamilyAtr20, "0123456789ABCD", "0123456789ABCD"},
                      SerialCase{FamilyAtr20, "0A0B0C0D0E0FF0", "0A0B0C0D0E0FF0"}));

TEST_F(MonitorTest, SerialIsTakenFromTheFamilysBytesOfTheAnswer)
{
    CardImage atr21 = emptyCard(FamilyAtr21);
    atr21.chipInfo = hexBytes("00 01 02 03 04 05 06 07 08 09 A0 A1 A2 A3 A4 A5 16 17");
    CardImage atr20 = emptyCard(FamilyAtr20);
    atr20.chipInfo = hexBytes("B0 B1 B2 B3 B4 B5 B6 07 08 09 0A 0B 0C 0D 0E 0F 10");
    readerWith(atr21);
    readerWith(atr20);
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_STREQ(slot(0), "A0A1A2A3A4A5");
    EXPECT_STREQ(slot(1), "B0B1B2B3B4B5B6");
    const std::vector<StoreCall> registrations = recordingstore::registrations();
    ASSERT_EQ(registrations.size(), 2u);
    EXPECT_EQ(registrations[0].cardKind, Atr21);
    EXPECT_EQ(registrations[1].cardKind, Atr20);
    expectNothingLeftOpen();
}

// --------------------------------------------------------- card families

TEST_F(MonitorTest, Atr21PrefixWithAnyTailIsAccepted)
{
    const std::vector<Bytes> tails = {hexBytes("0000000000000000"), hexBytes("FFFFFFFFFFFFFFFF"),
                                      hexBytes("022C340200039000"), hexBytes("0123456789ABCDEF")};
    for (const Bytes &tail : tails)
        readerWith(cardWithAtr(atr21WithTail(tail)));
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    const std::vector<StoreCall> registrations = recordingstore::registrations();
    ASSERT_EQ(registrations.size(), tails.size());
    for (const StoreCall &call : registrations)
        EXPECT_EQ(call.cardKind, Atr21);
    expectNothingLeftOpen();
}

TEST_F(MonitorTest, Atr21PrefixOnAnotherLengthIsRefused)
{
    const size_t lengths[] = {13, 14, 20, 22, 32};
    for (size_t length : lengths) {
        Bytes atr = atr21WithTail(patternBytes(length - ExpectedAtr21.size(), 0x40));
        readerWith(cardWithAtr(atr));
    }
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    for (size_t i = 0; i < readerTable.count; i++) {
        EXPECT_EQ(lowEvent(i), (DWORD)0x0022);
        EXPECT_EQ(slot(i), nullptr);
    }
    expectNoCardWork();
}

TEST_F(MonitorTest, Atr21WithAnyPrefixByteChangedIsRefused)
{
    for (size_t i = 0; i < ExpectedAtr21.size(); i++) {
        Bytes atr = atr21WithTail(hexBytes("022C340200039000"));
        atr[i] ^= 0x01;
        readerWith(cardWithAtr(atr));
    }
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    for (size_t i = 0; i < readerTable.count; i++)
        EXPECT_EQ(slot(i), nullptr) << "byte " << i;
    expectNoCardWork();
}

TEST_F(MonitorTest, Atr20DifferingOnlyInBytes2And16IsAccepted)
{
    const uint8_t values[] = {0x00, 0x11, 0x96, 0xFF};
    for (uint8_t value : values) {
        Bytes atr = ExpectedAtr20;
        atr[2] = value;
        atr[16] = (uint8_t)~value;
        readerWith(cardWithAtr(atr));
        // The card's own chip answer stays that of an Atr20 card.
        cardIn(readerCount - 1)->chipInfo = chipInfoFor(FamilyAtr20, hexBytes("0123456789ABCD"));
    }
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    const std::vector<StoreCall> registrations = recordingstore::registrations();
    ASSERT_EQ(registrations.size(), 4u);
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(registrations[i].cardKind, Atr20);
        EXPECT_STREQ(slot(i), "0123456789ABCD");
    }
    expectNothingLeftOpen();
}

TEST_F(MonitorTest, Atr20DifferingInAnyOtherByteIsRefused)
{
    for (size_t i = 0; i < ExpectedAtr20.size(); i++) {
        if (i == 2 || i == 16)
            continue;
        SCOPED_TRACE("byte " + std::to_string(i));
        startOver();
        Bytes atr = ExpectedAtr20;
        atr[i] ^= 0x80;
        pollOneCard(cardWithAtr(atr));
        EXPECT_EQ(slot(0), nullptr);
        expectNoCardWork();
    }
}

TEST_F(MonitorTest, TwentyOneByteAtrMatchingAtr20PatternIsRefused)
{
    Bytes atr = ExpectedAtr20;
    atr.push_back(0x00);
    pollOneCard(cardWithAtr(atr));
    EXPECT_EQ(slot(0), nullptr);
    expectNoCardWork();
}

// ---------------------------------------------------------- event matching

TEST_F(MonitorTest, EmptyReaderAtStartUpDoesNothing)
{
    emptyReader();
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(lowEvent(0), (DWORD)0x0012);
    EXPECT_EQ(slot(0), nullptr);
    expectNoCardWork();
}

class ExtraFlagTest : public MonitorTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(ExtraFlagTest, EventsWithFurtherFlagsAreNeitherInsertionNorRemoval)
{
    const DWORD flag = GetParam();
    const size_t reader = readerWith(emptyCard());
    setReaderFlags(reader, flag);
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(lowEvent(0), (DWORD)0x0022 | flag);
    EXPECT_EQ(slot(0), nullptr);
    expectNoCardWork();

    // The card is handled at the first event that reads exactly 0x0022.
    setReaderFlags(reader, 0);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(lowEvent(0), (DWORD)0x0022);
    EXPECT_EQ(recordingstore::registrations().size(), 1u);
    EXPECT_STREQ(slot(0), "001A2B3C4D5E");

    // The flag again while the card is in, then the removal with the flag.
    setReaderFlags(reader, flag);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    removeCard(reader);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(lowEvent(0), (DWORD)0x0012 | flag);
    EXPECT_TRUE(recordingstore::removedSerials().empty());
    EXPECT_STREQ(slot(0), "001A2B3C4D5E");

    setReaderFlags(reader, 0);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(lowEvent(0), (DWORD)0x0012);
    EXPECT_EQ(recordingstore::removedSerials(), std::vector<std::string>{"001A2B3C4D5E"});
    EXPECT_EQ(slot(0), nullptr);
    EXPECT_EQ(recordingstore::registrations().size(), 1u);
    expectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(Flags, ExtraFlagTest,
                         ::testing::Values((DWORD)SCARD_STATE_INUSE, (DWORD)SCARD_STATE_MUTE,
                                           (DWORD)SCARD_STATE_EXCLUSIVE | SCARD_STATE_INUSE,
                                           (DWORD)0x0400, (DWORD)0x8000));

TEST_F(MonitorTest, HighSixteenBitsNeverMatter)
{
    const size_t inserted = readerWith(emptyCard());
    const size_t busy = readerWith(emptyCard(FamilyAtr20));
    setReaderFlags(inserted, 0xFFFF0000);
    setReaderFlags(busy, 0xFFFF0000 | SCARD_STATE_INUSE);
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(entry(0).dwEventState & 0xFFFF0000, 0xFFFF0000u);
    EXPECT_EQ(entry(1).dwEventState & 0xFFFF0000, 0xFFFF0000u);
    EXPECT_EQ(entry(0).dwCurrentState, entry(0).dwEventState); // all the bits are copied
    EXPECT_EQ(recordingstore::registrations().size(), 1u);
    EXPECT_STREQ(slot(0), "001A2B3C4D5E");
    EXPECT_EQ(slot(1), nullptr);

    removeCard(inserted);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(entry(0).dwEventState & 0xFFFF0000, 0xFFFF0000u);
    EXPECT_EQ(recordingstore::removedSerials(), std::vector<std::string>{"001A2B3C4D5E"});
    expectNothingLeftOpen();
}

TEST_F(MonitorTest, CurrentStateIsCopiedOnlyAfterASuccessfulStatusCall)
{
    readerWith(emptyCard());
    emptyReader();
    watchReaders();

    failStatusCalls(1, SCARD_E_NO_SERVICE);
    EXPECT_EQ(pollReaders(), SCARD_E_NO_SERVICE);
    EXPECT_EQ(entry(0).dwCurrentState, (DWORD)SCARD_STATE_UNAWARE);
    EXPECT_EQ(entry(1).dwCurrentState, (DWORD)SCARD_STATE_UNAWARE);
    expectNoCardWork();

    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    for (size_t i = 0; i < 2; i++)
        EXPECT_EQ(entry(i).dwCurrentState, entry(i).dwEventState);
    EXPECT_EQ(recordingstore::registrations().size(), 1u);

    // A failed call examines nothing, even what the entries still say.
    const DWORD before[2] = {entry(0).dwCurrentState, entry(1).dwCurrentState};
    entry(1).dwEventState = (entry(1).dwEventState & ~LowBits) | 0x0022;
    failStatusCalls(1, SCARD_E_TIMEOUT);
    EXPECT_EQ(pollReaders(), SCARD_E_TIMEOUT);
    EXPECT_EQ(entry(0).dwCurrentState, before[0]);
    EXPECT_EQ(entry(1).dwCurrentState, before[1]);
    EXPECT_EQ(counters().connects, 1u);

    // A time-out with fresh event states copies nothing either.
    EXPECT_EQ(pollReaders(), SCARD_E_TIMEOUT);
    EXPECT_EQ(entry(0).dwCurrentState, before[0]);
    EXPECT_EQ(entry(1).dwCurrentState, before[1]);
    EXPECT_EQ(recordingstore::calls().size(), 1u);
}

TEST_F(MonitorTest, ChangesDuringFailedCallsAreSeenLater)
{
    const size_t reader = emptyReader();
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    insertCard(reader, emptyCard());
    failStatusCalls(2, SCARD_E_NO_SERVICE);
    EXPECT_EQ(pollReaders(), SCARD_E_NO_SERVICE);
    EXPECT_EQ(pollReaders(), SCARD_E_NO_SERVICE);
    EXPECT_TRUE(recordingstore::calls().empty());
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(recordingstore::registrations().size(), 1u);
}

// ------------------------------------------------ a reader that disappears

class ReaderGoneTest : public MonitorTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(ReaderGoneTest, RunsTheSlotsRemovalAndRegistersTheCardWhenItComesBack)
{
    const size_t taken = readerWith(emptyCard());
    const size_t free = emptyReader();
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    ASSERT_STREQ(slot(0), "001A2B3C4D5E");

    // A failed status call examines nothing, whatever the reader did.
    setReaderFlags(taken, GetParam());
    setReaderFlags(free, GetParam());
    failStatusCalls(1, SCARD_E_READER_UNAVAILABLE);
    EXPECT_EQ(pollReaders(), SCARD_E_READER_UNAVAILABLE);
    EXPECT_STREQ(slot(0), "001A2B3C4D5E");

    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(lowEvent(0) & (SCARD_STATE_CHANGED | SCARD_STATE_EMPTY), (DWORD)SCARD_STATE_CHANGED);
    EXPECT_EQ(recordingstore::removedSerials(), std::vector<std::string>{"001A2B3C4D5E"});
    EXPECT_EQ(slot(0), nullptr);
    EXPECT_EQ(slot(1), nullptr);
    EXPECT_EQ(pollReaders(), SCARD_E_TIMEOUT); // still gone: no further event
    EXPECT_EQ(recordingstore::calls().size(), 2u);

    setReaderFlags(taken, 0);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(lowEvent(0), (DWORD)0x0022);
    EXPECT_EQ(recordingstore::registrations().size(), 2u);
    EXPECT_STREQ(slot(0), "001A2B3C4D5E");
    expectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(States, ReaderGoneTest,
                         ::testing::Values((DWORD)SCARD_STATE_UNKNOWN, (DWORD)SCARD_STATE_UNAVAILABLE));

// ------------------------------------------------------- the serial slot

// A card moved from the second reader to the first between two polls keeps
// its certificates.
TEST_F(MonitorTest, CardMovedToAnEarlierReaderBetweenTwoPollsIsNotRemoved)
{
    const size_t first = emptyReader();
    const size_t second = readerWith(emptyCard());
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    removeCard(second);
    insertCard(first, emptyCard());
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_TRUE(recordingstore::removedSerials().empty());
    EXPECT_STREQ(slot(0), "001A2B3C4D5E");
    EXPECT_EQ(slot(1), nullptr);
    removeCard(first);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(recordingstore::removedSerials(), std::vector<std::string>{"001A2B3C4D5E"});
}

// Moved to the first reader while asleep, its old reader now holding a card
// another program holds: both slots name it. When the old reader's check
// comes first and finds the other card, the card is registered again in
// that same cycle.
TEST_F(MonitorTest, CardMovedToAnEarlierReaderWhileAsleepIsRegisteredAgainAtOnce)
{
    const CardImage cardA = familyCard(FamilyAtr21, hexBytes("A1A1A1A1A1A1"));
    const size_t first = emptyReader();
    const size_t second = readerWith(cardA);
    watchReaders();
    pollReaders();
    swapCardUnseen(second, familyCard(FamilyAtr21, hexBytes("B1B1B1B1B1B1")));
    setReaderFlags(second, SCARD_STATE_EXCLUSIVE);
    insertCard(first, cardA);
    requestReaderCheck();
    pollReaders(); // registered in the first reader
    // Held there too, and asleep again: the first reader's check fails twice.
    setReaderFlags(first, SCARD_STATE_EXCLUSIVE);
    requestReaderCheck();
    pollReaders();
    pollReaders();
    setReaderFlags(first, 0);
    setReaderFlags(second, 0);
    recordingstore::reset();
    pollReaders();
    EXPECT_EQ(recordingstore::removedSerials(), std::vector<std::string>{"A1A1A1A1A1A1"});
    EXPECT_EQ(recordingstore::registrations().size(), 2u);
    EXPECT_STREQ(slot(0), "A1A1A1A1A1A1");
    expectNothingLeftOpen();
}

// A card sits in one reader. Read in a second one while the slot of its
// first reader still names it (that reader came back unseen, holding a card
// another program holds), it is no longer that slot's card: its removal from
// the second reader removes it, and the first reader's card is read once free.
TEST_F(MonitorTest, CardReadInAnotherReaderIsNoLongerItsOldReadersCard)
{
    const CardImage cardE = familyCard(FamilyAtr21, hexBytes("E1E1E1E1E1E1"));
    const size_t first = readerWith(cardE);
    const size_t second = emptyReader();
    watchReaders();
    pollReaders(testMonitor());
    removeCard(first);
    detachReader(first);
    attachReader(first);
    insertCard(first, familyCard(FamilyAtr21, hexBytes("A1A1A1A1A1A1")));
    setReaderFlags(first, SCARD_STATE_EXCLUSIVE);
    insertCard(second, cardE);
    pollReaders(testMonitor());
    removeCard(second);
    setReaderFlags(first, 0);
    pollReaders(testMonitor());
    EXPECT_EQ(recordingstore::removedSerials(), std::vector<std::string>{"E1E1E1E1E1E1"});
    EXPECT_EQ(recordingstore::registrations().size(), 3u);
    EXPECT_STREQ(slot(0), "A1A1A1A1A1A1");
    EXPECT_EQ(slot(1), nullptr);
    expectNothingLeftOpen();
}

TEST_F(MonitorTest, SecondInsertionEventWithTheSlotTakenDoesNothing)
{
    const size_t reader = readerWith(emptyCard());
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    setReaderFlags(reader, SCARD_STATE_INUSE);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    setReaderFlags(reader, 0);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(lowEvent(0), (DWORD)0x0022);
    EXPECT_EQ(counters().connects, 1u);
    EXPECT_EQ(recordingstore::calls().size(), 1u);
    EXPECT_STREQ(slot(0), "001A2B3C4D5E");
}

// ------------------------------------------- what happens between two polls

// A card registered (or none), then the service or the reader goes away, or
// the card is swapped, for some cycles; then everything is back and one
// more cycle runs. The store must end as the readers are. Where a row has a
// bystander, a second reader holds another card that is taken out as the
// disturbance begins: its removal must be seen by the end, and while the
// service runs, within the cycles away.
struct Disturbance {
    const char *name;
    const CardImage *first; // registered before; null for an empty reader
    bool eventCounts;
    std::function<void(size_t reader)> away;
    unsigned cyclesAway;
    std::function<void(size_t reader)> back;
    LONG lastResult;
    std::vector<std::string> removed;
    unsigned registered; // after the first card's
    const char *slot;
    unsigned establishes; // start-up's included
    bool bystander;
    bool removedWhileAway = false; // the removals are seen before the end of the disturbance
};

const CardImage CardA21 = familyCard(FamilyAtr21, hexBytes("A1A1A1A1A1A1"));
const CardImage CardB21 = familyCard(FamilyAtr21, hexBytes("B1B1B1B1B1B1"));
const CardImage CardA20 = familyCard(FamilyAtr20, hexBytes("A0A0A0A0A0A0A0"));
const CardImage CardB20 = familyCard(FamilyAtr20, hexBytes("B0B0B0B0B0B0B0"));
const CardImage CardC21 = familyCard(FamilyAtr21, hexBytes("C1C1C1C1C1C1"));
const CardImage ForeignCard = cardWithAtr(hexBytes("3B 02 14 50"));

std::function<void(size_t)> serviceStops(LONG error, const CardImage *swapIn, bool remove)
{
    return [=](size_t reader) {
        stopService(error);
        if (remove)
            removeCard(reader);
        if (swapIn)
            insertCard(reader, *swapIn);
    };
}

std::function<void(size_t)> swapTo(const CardImage &card, DWORD flags = 0)
{
    return [&card, flags](size_t reader) {
        removeCard(reader);
        insertCard(reader, card);
        setReaderFlags(reader, flags);
    };
}

std::function<void(size_t)> readerLeaves(const CardImage *swapIn, Platform platform)
{
    return [=](size_t reader) {
        setPlatform(platform);
        detachReader(reader);
        removeCard(reader);
        if (swapIn)
            insertCard(reader, *swapIn);
    };
}

// Since Windows 8: the last reader unplugged stops the service.
std::function<void(size_t)> lastReaderLeaves(const CardImage *swapIn)
{
    return [=](size_t reader) {
        setServiceFollowsReaders(true);
        removeCard(reader);
        if (swapIn)
            insertCard(reader, *swapIn);
        detachReader(reader);
    };
}

// Unplugged and plugged back between two polls, holding `card`, which its
// event count, started afresh, counted `events` times since.
std::function<void(size_t)> pluggedBackWith(const CardImage &card, unsigned events)
{
    return [&card, events](size_t reader) {
        removeCard(reader);
        detachReader(reader);
        if (events % 2 == 0)
            insertCard(reader, card);
        attachReader(reader);
        if (events % 2 == 1)
            insertCard(reader, card);
        for (unsigned i = 1; i < events; i += 2) {
            removeCard(reader);
            insertCard(reader, card);
        }
    };
}

const std::function<void(size_t)> nothing = [](size_t) {};
const std::function<void(size_t)> serviceBack = [](size_t) { startService(); };
const std::function<void(size_t)> readerBack = [](size_t reader) { attachReader(reader); };
const std::function<void(size_t)> resumed = [](size_t) { requestReaderCheck(); };
const std::function<void(size_t)> flagsCleared = [](size_t reader) { setReaderFlags(reader, 0); };
// The service is back, and another program has just taken the card for
// itself: the card cannot be checked, so it is kept until it can.
const std::function<void(size_t)> serviceBackCardHeld = [](size_t) {
    startService();
    failConnect(SCARD_E_SHARING_VIOLATION);
};

// The machine resumed while the service was away, then the service is back.
const std::function<void(size_t)> resumedAndServiceBack = [](size_t) {
    requestReaderCheck();
    startService();
};
// A reader unplugged whose listing fails until it is back, with another card.
const std::function<void(size_t)> readerLeavesUnlisted = [](size_t reader) {
    setPlatform(WindowsPcsc);
    detachReader(reader);
    removeCard(reader);
    insertCard(reader, CardB21);
    failListReaders(SCARD_E_NO_MEMORY);
};
const std::function<void(size_t)> readerBackListed = [](size_t reader) {
    failListReaders(0);
    attachReader(reader);
};

const Disturbance Disturbances[] = {
    // Without the service no key of a card can be reached: after five
    // cycles every card counts as removed, and one still in is read anew.
    {"ServiceAwayFiveCyclesRemovesTheCard", &CardA21, true,
     serviceStops(SCARD_E_NO_SERVICE, NULL, false), 5, serviceBack, SCARD_S_SUCCESS,
     {"A1A1A1A1A1A1"}, 1, "A1A1A1A1A1A1", 6, false, true},
    {"ServiceAwayFourCyclesKeepsTheCard", &CardA21, true,
     serviceStops(SCARD_E_NO_SERVICE, NULL, false), 4, serviceBack, SCARD_S_SUCCESS,
     {}, 0, "A1A1A1A1A1A1", 5, false},
    {"LastReaderUnpluggedWithItsCardFiveCycles", &CardA21, true, lastReaderLeaves(NULL), 5,
     readerBack, SCARD_S_SUCCESS, {"A1A1A1A1A1A1"}, 0, NULL, 6, false, true},
    // The resume's check keeps "the counts restarted" of the new context.
    {"ResumedWhileTheServiceWasAway", &CardA21, true,
     serviceStops(SCARD_E_NO_SERVICE, NULL, false), 2, resumedAndServiceBack, SCARD_S_SUCCESS,
     {}, 0, "A1A1A1A1A1A1", 3, false},
    // The entry of a reader gone, kept while its listing fails, is watched
    // again when the reader is back.
    {"UnpluggedReaderBackBeforeItsListingWorks", &CardA21, true, readerLeavesUnlisted, 1,
     readerBackListed, SCARD_S_SUCCESS, {"A1A1A1A1A1A1"}, 1, "B1B1B1B1B1B1", 1, false},
    {"ServiceGoneWhileACardWasInserted", NULL, true,
     serviceStops(SCARD_E_NO_SERVICE, &CardB21, false), 3, serviceBack, SCARD_S_SUCCESS,
     {}, 1, "B1B1B1B1B1B1", 4, false},
    {"ServiceGoneWhileTheCardWasRemoved", &CardA21, true,
     serviceStops(SCARD_E_SERVICE_STOPPED, NULL, true), 2, serviceBack, SCARD_S_SUCCESS,
     {"A1A1A1A1A1A1"}, 0, NULL, 3, true},
    {"ServiceGoneWhileTheCardWasSwapped", &CardA21, true,
     serviceStops(SCARD_E_INVALID_HANDLE, &CardB21, true), 1, serviceBack, SCARD_S_SUCCESS,
     {"A1A1A1A1A1A1"}, 1, "B1B1B1B1B1B1", 2, true},
    {"ServiceGoneWhileACardOfTheSameSerialWasSwappedIn", &CardA20, true,
     serviceStops(SCARD_F_COMM_ERROR, &CardA20, true), 2, serviceBack, SCARD_S_SUCCESS,
     {}, 0, "A0A0A0A0A0A0A0", 3, false},
    {"ServiceGoneWithTheCardLeftInTheReader", &CardA21, false,
     serviceStops(SCARD_E_NO_SERVICE, NULL, false), 1, serviceBack, SCARD_S_SUCCESS,
     {}, 0, "A1A1A1A1A1A1", 2, false},
    // A failed connection is not another card.
    {"ServiceBackWithTheCardHeldByAnotherProgram", &CardA21, true,
     serviceStops(SCARD_E_NO_SERVICE, NULL, false), 1, serviceBackCardHeld, SCARD_S_SUCCESS,
     {}, 0, "A1A1A1A1A1A1", 2, false},
    {"SwappedWithinOneCycleAtr21", &CardA21, true, swapTo(CardB21), 0, nothing,
     SCARD_S_SUCCESS, {"A1A1A1A1A1A1"}, 1, "B1B1B1B1B1B1", 1, false},
    {"SwappedWithinOneCycleAtr20", &CardA20, true, swapTo(CardB20), 0, nothing,
     SCARD_S_SUCCESS, {"A0A0A0A0A0A0A0"}, 1, "B0B0B0B0B0B0B0", 1, false},
    {"SwappedWithinOneCycleAcrossTheKinds", &CardA20, true, swapTo(CardB21), 0, nothing,
     SCARD_S_SUCCESS, {"A0A0A0A0A0A0A0"}, 1, "B1B1B1B1B1B1", 1, true},
    // The swap is first seen while another program uses the new card.
    {"SwappedAndSeenInUse", &CardA21, true, swapTo(CardB21, SCARD_STATE_INUSE), 1,
     flagsCleared, SCARD_S_SUCCESS, {"A1A1A1A1A1A1"}, 1, "B1B1B1B1B1B1", 1, true},
    // Without event counts a swap is no change at all: the first card's
    // slot stays until its removal is seen.
    {"SwappedWithoutEventCounts", &CardA21, false, swapTo(CardB21), 0, nothing,
     SCARD_E_TIMEOUT, {}, 0, "A1A1A1A1A1A1", 1, false},
    // The machine slept while the card was swapped; the reader counted
    // nothing. The resume checks every card by its serial.
    {"SwappedUnseenWhileAsleep", &CardA21, true,
     [](size_t reader) { swapCardUnseen(reader, CardB20); }, 2, resumed, SCARD_S_SUCCESS,
     {"A1A1A1A1A1A1"}, 1, "B0B0B0B0B0B0B0", 1, true},
    {"ResumedWithTheSameCard", &CardA20, true, nothing, 1, resumed, SCARD_S_SUCCESS, {}, 0,
     "A0A0A0A0A0A0A0", 1, false},
    // Taken out and put back while asleep, the context living through it:
    // the reader counted both, and the card is read again, whole.
    {"OutAndBackInWhileAsleep", &CardA20, true, swapTo(CardA20), 0, resumed, SCARD_S_SUCCESS,
     {"A0A0A0A0A0A0A0"}, 1, "A0A0A0A0A0A0A0", 1, false},
    // Plugged back unseen with another card, counted one further than last
    // seen, which reads as before; then again, counted one below: a count
    // that falls back tells the reader was plugged in anew.
    {"PluggedBackUnseenTwiceWithAnotherCard", &CardA21, true, pluggedBackWith(CardB21, 2), 1,
     pluggedBackWith(CardB21, 1), SCARD_S_SUCCESS, {"A1A1A1A1A1A1"}, 1, "B1B1B1B1B1B1", 1, false},
    // Its count as before, but its answer to reset of no family: the card
    // seen when the other reader's removal ends the status call.
    {"PluggedBackUnseenWithAForeignCard", &CardA21, true, pluggedBackWith(ForeignCard, 1), 1,
     nothing, SCARD_E_TIMEOUT, {"A1A1A1A1A1A1"}, 0, NULL, 1, true},
    {"ReaderGoneAndBackEmpty", &CardA21, true, readerLeaves(NULL, WindowsPcsc), 2, readerBack,
     SCARD_S_SUCCESS, {"A1A1A1A1A1A1"}, 0, NULL, 1, true},
    {"ReaderGoneAndBackWithAnotherCard", &CardA21, true, readerLeaves(&CardB20, WindowsPcsc), 2,
     readerBack, SCARD_S_SUCCESS, {"A1A1A1A1A1A1"}, 1, "B0B0B0B0B0B0B0", 1, true},
    // pcsc-lite fails every status call while a watched reader is missing.
    {"ReaderGoneFailingTheCallsAndBackWithAnotherCard", &CardA21, true,
     readerLeaves(&CardB21, PcscLite), 12, readerBack, SCARD_E_TIMEOUT, {"A1A1A1A1A1A1"}, 1,
     "B1B1B1B1B1B1", 1, true},
    {"LastReaderUnpluggedStopsTheServiceAndBackWithAnotherCard", &CardA21, true,
     lastReaderLeaves(&CardB21), 2, readerBack, SCARD_S_SUCCESS, {"A1A1A1A1A1A1"}, 1,
     "B1B1B1B1B1B1", 3, false},
    {"LastReaderUnpluggedStopsTheServiceAndBackWithTheSameCard", &CardA21, true,
     lastReaderLeaves(&CardA21), 2, readerBack, SCARD_S_SUCCESS, {}, 0, "A1A1A1A1A1A1", 3,
     false},
};

void PrintTo(const Disturbance &row, std::ostream *out) { *out << row.name; }

class DisturbanceTest : public MonitorTest, public ::testing::WithParamInterface<Disturbance> {};

TEST_P(DisturbanceTest, TheStoreEndsAsTheReaderIs)
{
    const Disturbance &row = GetParam();
    setEventCounts(row.eventCounts);
    const size_t reader = row.first ? readerWith(*row.first) : emptyReader();
    const size_t bystander = row.bystander ? readerWith(CardC21) : 0;
    const std::string name = "Reader " + std::to_string(reader);
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    const unsigned listed = counters().establish;
    recordingstore::reset();
    recordingevents::start();

    row.away(reader);
    if (row.bystander)
        removeCard(bystander);
    for (unsigned cycle = 0; cycle < row.cyclesAway; cycle++)
        pollReaders();
    std::vector<std::string> removed = recordingstore::removedSerials();
    if (row.removedWhileAway) {
        EXPECT_EQ(removed, row.removed) << "before the end of the disturbance";
    }
    const auto bystanderGone = std::find(removed.begin(), removed.end(), "C1C1C1C1C1C1");
    if (row.bystander && liveContexts() == 1 && row.cyclesAway) {
        EXPECT_NE(bystanderGone, removed.end()) << "the other reader was left unwatched";
    }
    row.back(reader);
    EXPECT_EQ(pollReaders(), row.lastResult);
    // A reader that came back is listed, then read; where the platform
    // keeps no reader count, at the listing every few cycles.
    for (unsigned cycle = 0; cycle < 11; cycle++)
        pollReaders();

    removed = recordingstore::removedSerials();
    if (row.bystander) {
        const auto gone = std::find(removed.begin(), removed.end(), "C1C1C1C1C1C1");
        ASSERT_NE(gone, removed.end());
        removed.erase(gone);
    }
    EXPECT_EQ(removed, row.removed);
    EXPECT_EQ(recordingstore::registrations().size(), row.registered);
    if (row.slot) {
        EXPECT_STREQ(slotOf(name), row.slot);
    } else {
        EXPECT_EQ(slotOf(name), nullptr);
    }
    // The old card's certificates go before the new card's are added.
    if (!row.removed.empty() && row.registered) {
        const std::vector<StoreCall> &calls = recordingstore::calls();
        const auto oldGone = std::find_if(calls.begin(), calls.end(), [&](const StoreCall &call) {
            return call.kind == StoreCall::Remove && call.serial == row.removed[0];
        });
        EXPECT_NE(std::find_if(oldGone, calls.end(),
                               [](const StoreCall &call) { return call.kind == StoreCall::Register; }),
                  calls.end());
    }
    // One context at a time, the dead one given back.
    EXPECT_EQ(counters().establish - listed + 1, row.establishes);
    EXPECT_EQ(liveContexts(), 1u);
    EXPECT_EQ(counters().release, row.establishes > 1 ? 1u : 0u);
    expectNothingLeftOpen();
    // The service lost and found are told once each; a reader that left
    // and came back, once each way.
    EXPECT_EQ(recordingevents::withId(107).size(), row.establishes > 1 ? 1u : 0u);
    EXPECT_EQ(recordingevents::withId(108).size(), row.establishes > 1 ? 1u : 0u);
    const bool readerRow = std::string(row.name).rfind("ReaderGone", 0) == 0;
    EXPECT_EQ(recordingevents::withId(110).size(), readerRow ? 1u : 0u);
    EXPECT_EQ(recordingevents::withId(109).size(), readerRow ? 1u : 0u);
    recordingevents::stop();

    // And the monitor goes on: the card's removal is seen.
    failConnect(0);
    removeCard(reader);
    pollReaders();
    EXPECT_EQ(slotOf(name), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Between, DisturbanceTest, ::testing::ValuesIn(Disturbances),
                         [](const ::testing::TestParamInfo<Disturbance> &info) {
                             return std::string(info.param.name);
                         });

// At log-on the service may not run yet: one attempt a cycle at a context,
// and the readers taken as they are once it comes. Where the platform tells
// that the service started (the parameter), no attempt is made until it has.
class ServiceStartTest : public MonitorTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ServiceStartTest, StartedWithoutTheServiceTakesTheReadersWhenItStarts)
{
    testMonitor().serviceStarted = GetParam() ? serviceStartedProbe : NULL;
    const unsigned attempts = GetParam() ? 0 : 5;
    SCardReleaseContext(takePcscContext());
    stopService(SCARD_E_NO_SERVICE);
    readerWith(emptyCard());
    for (int cycle = 0; cycle < 5; cycle++)
        EXPECT_EQ(pollReaders(), SCARD_E_NO_SERVICE);
    EXPECT_EQ(counters().establish, 1u + attempts);
    EXPECT_EQ(counters().statusCalls, 0u);
    expectNoCardWork();

    startService();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(counters().establish, 1u + attempts + 1);
    EXPECT_STREQ(slot(0), "001A2B3C4D5E");
    EXPECT_EQ(liveContexts(), 1u);
    expectNothingLeftOpen();
    // The service away five cycles takes the card, event or not.
    stopService(SCARD_E_NO_SERVICE);
    for (int cycle = 0; cycle < 5; cycle++)
        pollReaders();
    EXPECT_EQ(slot(0), nullptr);
    EXPECT_EQ(counters().establish, 1u + attempts + 1 + (GetParam() ? 0 : 4));
}

INSTANTIATE_TEST_SUITE_P(StartedEvent, ServiceStartTest, ::testing::Bool());

TEST_F(MonitorTest, RemovalOfANeverAcceptedCardDoesNothing)
{
    const size_t reader = readerWith(cardWithAtr(hexBytes("3B 02 14 50")));
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    removeCard(reader);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(lowEvent(0), (DWORD)0x0012);
    EXPECT_EQ(slot(0), nullptr);
    expectNoCardWork();
}

TEST_F(MonitorTest, EventsOfOneCycleAreHandledInTableOrder)
{
    const size_t first = readerWith(familyCard(FamilyAtr21, hexBytes("111111111111")));
    const size_t second = emptyReader();
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    removeCard(first);
    insertCard(second, familyCard(FamilyAtr20, hexBytes("22222222222222")));
    uint8_t kindDuringRegistration = 0x7F;
    recordingstore::onRegister([&](CardSession *session) { kindDuringRegistration = session->family; });
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    const std::vector<StoreCall> &calls = recordingstore::calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].kind, StoreCall::Remove);
    EXPECT_EQ(calls[1].serial, "111111111111");
    EXPECT_EQ(calls[2].kind, StoreCall::Register);
    EXPECT_EQ(calls[2].cardKind, Atr20);
    EXPECT_EQ(kindDuringRegistration, Atr20);
    EXPECT_EQ(slot(0), nullptr);
    EXPECT_STREQ(slot(1), "22222222222222");
    expectNothingLeftOpen();
}

// --------------------------------------------------------- failed events

TEST_F(MonitorTest, FailedConnectionIsTriedAgainWithGrowingGaps)
{
    readerWith(emptyCard());
    const size_t reader = emptyReader();
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    recordingstore::reset();
    recordingevents::start();

    failConnect(SCARD_E_SHARING_VIOLATION);
    insertCard(reader, emptyCard(FamilyAtr20));
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(counters().connects, 2u);
    EXPECT_EQ(counters().disconnects, 1u); // the first card's only
    EXPECT_EQ(counters().beginTransactions, 1u);
    EXPECT_TRUE(recordingstore::calls().empty());
    ASSERT_NE(slot(1), nullptr);
    EXPECT_STREQ(slot(1), ""); // Taken, with no serial written
    expectNothingLeftOpen();

    // Tried again at most once a cycle while it stays in, then ever less
    // often: after 1, 2, 4 ... cycles, at most 60 apart.
    std::vector<unsigned> gaps;
    unsigned last = 0;
    for (unsigned cycle = 1; cycle <= 250; cycle++) {
        const unsigned before = counters().connects;
        pollReaders();
        ASSERT_LE(counters().connects, before + 1);
        if (counters().connects > before) {
            gaps.push_back(cycle - last);
            last = cycle;
        }
    }
    EXPECT_EQ(gaps, (std::vector<unsigned>{1, 2, 4, 8, 16, 32, 60, 60, 60}));
    EXPECT_TRUE(recordingstore::calls().empty());
    // Told once for the insertion, not at every attempt.
    EXPECT_EQ(recordingevents::withId(103).size(), 1u);

    // The card that can be read at last is registered at the next attempt.
    failConnect(0);
    for (unsigned cycle = 0; cycle < 60 && !recordingstore::registrations().size(); cycle++)
        pollReaders();
    EXPECT_EQ(recordingstore::registrations().size(), 1u);
    EXPECT_STREQ(slot(1), "0123456789ABCD");
    EXPECT_EQ(recordingevents::withId(101).size(), 1u);
    recordingevents::stop();
    expectNothingLeftOpen();

    // An unread card that leaves hands nothing over, and the next one is
    // tried anew.
    removeCard(reader);
    failConnect(SCARD_E_SHARING_VIOLATION);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    insertCard(reader, emptyCard(FamilyAtr20));
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    removeCard(reader);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(recordingstore::removedSerials(), std::vector<std::string>{"0123456789ABCD"});
    EXPECT_EQ(slot(1), nullptr);
    failConnect(0);
    insertCard(reader, emptyCard(FamilyAtr20));
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_EQ(recordingstore::registrations().size(), 2u);
    expectNothingLeftOpen();
}

// A card that was never read, replaced unseen by one of the other family
// (the machine slept): the slot's text fits the card read at last.
TEST_F(MonitorTest, UnreadCardReplacedByTheOtherFamilyIsReadWhole)
{
    const size_t reader = readerWith(emptyCard(FamilyAtr21));
    watchReaders();
    failConnect(SCARD_E_SHARING_VIOLATION);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_STREQ(slot(0), "");
    swapCardUnseen(reader, emptyCard(FamilyAtr20));
    failConnect(0);
    requestReaderCheck();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_STREQ(slot(0), "0123456789ABCD");
    ASSERT_EQ(recordingstore::registrations().size(), 1u);
    EXPECT_EQ(recordingstore::registrations()[0].cardKind, Atr20);
    expectNothingLeftOpen();
}

// The same with the reader plugged back unseen, its count as before: the
// card is tried again in a cycle whose status call reports nothing.
TEST_F(MonitorTest, UnreadCardReplacedUnseenIsReadAsItsOwnFamilyInAQuietCycle)
{
    const size_t reader = readerWith(emptyCard(FamilyAtr20));
    watchReaders();
    failConnect(SCARD_E_SHARING_VIOLATION);
    EXPECT_EQ(pollReaders(testMonitor()), SCARD_S_SUCCESS);
    failConnect(0);
    removeCard(reader);
    detachReader(reader);
    attachReader(reader);
    insertCard(reader, emptyCard(FamilyAtr21));
    EXPECT_EQ(pollReaders(testMonitor()), SCARD_E_TIMEOUT);
    EXPECT_STREQ(slot(0), "001A2B3C4D5E");
    ASSERT_EQ(recordingstore::registrations().size(), 1u);
    EXPECT_EQ(recordingstore::registrations()[0].cardKind, Atr21);
    expectNothingLeftOpen();
}

// While the session is disconnected nothing is read and nothing removed, the
// service away included; on reconnection every reader is taken afresh.
TEST_F(MonitorTest, DisconnectedSessionLeavesTheCardsAloneUntilItReconnects)
{
    const size_t reader = readerWith(emptyCard());
    watchReaders();
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    setSessionConnected(testMonitor(), false);
    swapCardUnseen(reader, emptyCard(FamilyAtr20));
    stopService(SCARD_E_NO_SERVICE);
    const Counters before = counters();
    for (int cycle = 0; cycle < 6; cycle++)
        pollReaders();
    EXPECT_EQ(counters().statusCalls, before.statusCalls);
    EXPECT_EQ(counters().connects, before.connects);
    EXPECT_TRUE(recordingstore::removedSerials().empty());

    startService();
    setSessionConnected(testMonitor(), true);
    for (int cycle = 0; cycle < 2; cycle++)
        pollReaders();
    EXPECT_EQ(recordingstore::removedSerials(), std::vector<std::string>{"001A2B3C4D5E"});
    EXPECT_STREQ(slot(0), "0123456789ABCD");
    expectNothingLeftOpen();
}

// The stop asked for from another thread while a card is in hand: that card
// is finished, no further one is read, and the context stays for the one
// who stopped the monitor to give back.
TEST_F(MonitorTest, StopFromAnotherThreadFinishesTheCardInHand)
{
    readerWith(emptyCard(FamilyAtr21));
    readerWith(emptyCard(FamilyAtr20));
    watchReaders();
    std::atomic<bool> inHand(false);
    recordingstore::onRegister([&](CardSession *) {
        inHand = true;
        while (!monitorStopRequested(testMonitor()))
            std::this_thread::yield();
    });
    std::thread monitorThread(runMonitor, std::ref(testMonitor()), [](MonitorState &) { return true; }, nullptr);
    while (!inHand)
        std::this_thread::yield();
    requestMonitorStop(testMonitor());
    monitorThread.join();

    EXPECT_EQ(recordingstore::registrations().size(), 1u);
    EXPECT_EQ(counters().connects, 1u);
    expectNothingLeftOpen();
    EXPECT_NE(pcscContext, (SCARDCONTEXT)0);
}

struct ChipFault {
    const char *name;
    Fault fault;
};

void PrintTo(const ChipFault &c, std::ostream *out) { *out << c.name; }

class ChipReadFailureTest : public MonitorTest, public ::testing::WithParamInterface<ChipFault> {};

TEST_P(ChipReadFailureTest, LeavesTheSlotTakenAndIsReadAgainInTheNextCycle)
{
    for (CardFamily family : {FamilyAtr21, FamilyAtr20}) {
        SCOPED_TRACE(family == FamilyAtr20 ? "Atr20" : "Atr21");
        startOver();
        const CardImage card = emptyCard(family);
        // The directory reading comes first; the chip command follows it.
        unsigned directoryCommands = 0;
        {
            CardSession session(connectCard(card));
            directoryCommands = counters().transmits;
        }
        startOver();
        injectFault(directoryCommands + 1, GetParam().fault);
        const size_t reader = readerWith(card);
        watchReaders();
        EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
        ASSERT_EQ(commandLog().size(), directoryCommands + 1);
        EXPECT_EQ(Bytes(commandLog().back().command.begin(), commandLog().back().command.begin() + 2),
                  hexBytes("90 B8"));
        EXPECT_TRUE(recordingstore::calls().empty());
        ASSERT_NE(slot(0), nullptr);
        EXPECT_STREQ(slot(0), "");
        // The session was destroyed and the card disconnected all the same.
        EXPECT_EQ(counters().beginTransactions, 1u);
        EXPECT_EQ(counters().endTransactions, 1u);
        ASSERT_EQ(disconnectLog().size(), 1u);
        EXPECT_EQ(disconnectLog()[0].disposition, (DWORD)SCARD_LEAVE_CARD);
        expectNothingLeftOpen();

        EXPECT_EQ(pollReaders(), SCARD_E_TIMEOUT);
        EXPECT_EQ(recordingstore::registrations().size(), 1u);
        EXPECT_STREQ(slot(0), family == FamilyAtr20 ? "0123456789ABCD" : "001A2B3C4D5E");
        removeCard(reader);
        EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
        EXPECT_EQ(recordingstore::removedSerials().size(), 1u);
        EXPECT_EQ(slot(0), nullptr);
        expectNothingLeftOpen();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ChipReadFailureTest,
    ::testing::Values(ChipFault{"PcscError", errorFault(SCARD_E_COMM_DATA_LOST)},
                      ChipFault{"WrongStatus", statusFault(0x6A81)},
                      ChipFault{"WrongStatusWithData", dataFault(patternBytes(18), 0x6283)},
                      ChipFault{"TooFewBytes", dataFault(patternBytes(5), 0x9000)},
                      ChipFault{"NoStatusWord", shortFault(1)}),
    [](const ::testing::TestParamInfo<ChipFault> &info) { return std::string(info.param.name); });

TEST_F(MonitorTest, CardWithoutTheApplicationIsStillRegisteredAndClosed)
{
    // The monitor examines nothing after construction: a card whose
    // directory cannot be read still has its serial read and registered.
    CardImage card = emptyCard();
    card.files.clear();
    pollOneCard(card);
    EXPECT_EQ(recordingstore::registrations().size(), 1u);
    EXPECT_STREQ(slot(0), "001A2B3C4D5E");
    expectNothingLeftOpen();
}

TEST_F(MonitorTest, CardPulledDuringTheEventIsClosedCleanly)
{
    const size_t reader = readerWith(emptyCard());
    watchReaders();
    failFrom(1, SCARD_W_REMOVED_CARD);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_TRUE(recordingstore::calls().empty());
    EXPECT_STREQ(slot(0), "");
    expectNothingLeftOpen();
    EXPECT_EQ(counters().disconnects, 1u);
    removeCard(reader);
    EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
    EXPECT_TRUE(recordingstore::calls().empty());
    EXPECT_EQ(slot(0), nullptr);
}

// ------------------------------------------------------- the status line

// The readers as a row sets them up before the program's first cycle, what
// changes after some cycles, and the tip's line some cycles later.
struct StatusCase {
    const char *name;
    std::function<void()> setUp, later;
    const char *line;
};

void insertRead(const std::string &serial, unsigned certificates, DWORD flags = 0)
{
    const size_t reader = addReader("Reader " + serial);
    insertCard(reader, familyCard(FamilyAtr21, hexBytes(serial)));
    setReaderFlags(reader, flags);
    recordingstore::cardAdds(serial, certificates);
}

// Cards of 7 certificates, then one of 1 with the flags, then mute ones.
void insertCards(unsigned read, DWORD lastFlags, unsigned mute = 0)
{
    for (unsigned i = 0; i < read; i++)
        insertRead("A1A1A1A1A1" + std::to_string(10 + i), 7);
    insertRead("B1B1B1B1B1B1", 1, lastFlags);
    for (unsigned i = 0; i < mute; i++)
        insertRead("C1C1C1C1C1" + std::to_string(10 + i), 0, SCARD_STATE_MUTE);
}

const std::function<void()> noChange = [] {};
const StatusCase StatusCases[] = {
    {"NoService", [] { stopService(SCARD_E_NO_SERVICE); }, noChange, "Servicio de tarjetas no disponible"},
    {"ServiceLost", [] { insertRead("A1A1A1A1A1A1", 3); }, [] { stopService(SCARD_E_SERVICE_STOPPED); },
     "Servicio de tarjetas no disponible"},
    {"NoReader", noChange, noChange, "No hay lector de tarjetas"},
    {"NoCard", [] { addReader("Reader 0"); }, noChange, "Sin tarjeta en el lector"},
    {"CardRead", [] { insertRead("A1A1A1A1A1A1", 3); }, noChange, "Tarjeta leida: 3 certificados"},
    {"CardLeft", [] { insertRead("A1A1A1A1A1A1", 1); }, [] { removeCard(0); }, "Sin tarjeta en el lector"},
    {"CardHeldExclusively", [] { insertRead("A1A1A1A1A1A1", 1, SCARD_STATE_EXCLUSIVE | SCARD_STATE_INUSE); },
     noChange, "Tarjeta usada por otro programa"},
    {"CardStopsAnswering", [] { insertRead("A1A1A1A1A1A1", 1); stopAnsweringAfter(0, 1); }, noChange,
     "Tarjeta no responde"},
    {"ForeignCard", [] { insertCard(addReader("Reader 0"), cardWithAtr(hexBytes("3B 02 14 50"))); }, noChange,
     "Tarjeta no reconocida"},
    {"TwoCardsRead", [] { insertCards(1, 0); }, noChange, "2 tarjetas leidas: 8 certificados"},
    {"TwoReadersOneHeld", [] { insertCards(1, SCARD_STATE_EXCLUSIVE); }, noChange,
     "1 leida (7 cert.); una usada por otro programa"},
    {"SixteenReadersOneHeld", [] { insertCards(15, SCARD_STATE_EXCLUSIVE); }, noChange,
     "15 leidas; una usada por otro programa"},
    {"SixteenReadersMostMute", [] { insertCards(1, 0, 14); }, noChange,
     "2 leidas (8 cert.); 14 sin leer, una no responde"},
};

void PrintTo(const StatusCase &row, std::ostream *out) { *out << row.name; }

class StatusLineTest : public MonitorTest, public ::testing::WithParamInterface<StatusCase> {
protected:
    static unsigned cyclesLeft, notices;
    static bool anotherCycle(MonitorState &) { return cyclesLeft-- > 0; }
    static void lineChanged(MonitorState &) { notices++; }

    // Runs the cycles on a thread of their own while this one reads the
    // line as the window does.
    static std::string lineAfterCycles(unsigned cycles)
    {
        cyclesLeft = cycles;
        std::atomic<bool> done(false);
        std::thread monitor([&] { runMonitor(testMonitor(), anotherCycle, lineChanged); done = true; });
        char line[StatusLineCapacity];
        while (!done)
            readStatusLine(testMonitor(), line, sizeof line);
        monitor.join();
        readStatusLine(testMonitor(), line, sizeof line);
        return line;
    }
};
unsigned StatusLineTest::cyclesLeft, StatusLineTest::notices;

TEST_P(StatusLineTest, TellsWhatTheMonitorSeesOnceEachTimeItChanges)
{
    SCardReleaseContext(takePcscContext());
    notices = 0;
    GetParam().setUp();
    const std::string first = lineAfterCycles(3);
    EXPECT_EQ(notices, 1u);
    GetParam().later();
    EXPECT_EQ(lineAfterCycles(3), GetParam().line);
    EXPECT_EQ(notices, first == GetParam().line ? 1u : 2u);
    char cut[8];
    readStatusLine(testMonitor(), cut, sizeof cut);
    EXPECT_EQ(cut, std::string(GetParam().line, 7));
}

INSTANTIATE_TEST_SUITE_P(Lines, StatusLineTest, ::testing::ValuesIn(StatusCases),
                         [](const ::testing::TestParamInfo<StatusCase> &info) {
                             return std::string(info.param.name);
                         });

} // namespace

// A full insertion of a three-certificate card through the polling cycle,
// with the card failing at every command in turn: pulled from that command
// on, or answering one command wrongly. Whatever fails, the store sees only
// whole certificates, nothing is left open, the walk ends, and the next
// removal and a fresh insertion of the intact card behave.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "MonitorTestHelpers.h"
#include "monitor/Monitor.h"
#include "support/CollectingStore.h"
#include "card-image/TestCertificates.h"
#include "support/TestHelpers.h"

using namespace fakepcsc;
using collectingstore::CollectedCertificate;

namespace {

// The card of one family, with short or long entry headers.
struct CardCase {
    CardFamily family;
    bool longFormHeaders;
    const char *serial;
    const char *chipInfoCommand;
};

const CardCase Atr21Short = {FamilyAtr21, false, "001A2B3C4D5E", "90 B8 00 00 12"};
const CardCase Atr20Long = {FamilyAtr20, true, "0123456789ABCD", "90 B8 00 00 11"};

void PrintTo(const CardCase &cardCase, std::ostream *out) { *out << cardCase.serial; }

CardImage threeCertificateCard(const CardCase &cardCase)
{
    CardDescription description = {};
    description.family = cardCase.family;
    description.longFormHeaders = cardCase.longFormHeaders;
    description.serial = hexBytes(cardCase.serial);
    description.certificates = {
        {caCertificate(), Bytes{0x45, 0x01}, "\\5015\\C000"},
        {signingCertificate(), Bytes{0x45, 0x02}, "\\5015\\C001"},
        {encryptionCertificate(), Bytes{0x45, 0x03}, "\\5015\\C002"},
    };
    description.keys = {
        {Bytes{0x45, 0x02}, {0x20, 0x00}, 0x01, "\\3F00\\5015\\4B01"},
        {Bytes{0x45, 0x03}, {0x40, 0x00}, 0x02, "\\3F00\\5015\\4B02"},
    };
    return buildCard(description);
}

// What one undisturbed insertion does: the commands it sends, the index
// (from 1) of the monitor's chip-information command, what the store gets.
struct Baseline {
    unsigned commands;
    unsigned chipInfoIndex;
    std::vector<CollectedCertificate> certificates;
};

class FaultMatrixTest : public ::testing::TestWithParam<CardCase> {
protected:
    void SetUp() override
    {
        card = threeCertificateCard(GetParam());
        serial = GetParam().serial;
        startOver();
        pollReaders();
        baseline.commands = counters().transmits;
        baseline.chipInfoIndex = 0;
        const Bytes chipInfoCommand = hexBytes(GetParam().chipInfoCommand);
        for (size_t i = 0; i < commandLog().size() && !baseline.chipInfoIndex; i++)
            if (commandLog()[i].command == chipInfoCommand)
                baseline.chipInfoIndex = (unsigned)i + 1;
        baseline.certificates = collectingstore::certificates();
    }

    void TearDown() override
    {
        clearReaderTable();
        collectingstore::reset();
    }

    // A reader holding the intact card, watched, and nothing else.
    void startOver()
    {
        collectingstore::reset();
        ASSERT_EQ(startMonitorAfresh(), SCARD_S_SUCCESS);
        reader = addReader("Reader 0");
        insertCard(reader, card);
        fillReaderTable("Reader 0\0");
    }

    const char *slot() const { return (const char *)readerTable.entries[0].pvUserData; }

    static void expectNothingLeftOpen()
    {
        EXPECT_EQ(openConnections(), 0u);
        EXPECT_EQ(openTransactions(), 0u);
        EXPECT_EQ(counters().beginTransactions, counters().endTransactions);
    }

    // Every certificate the store got is one of the card's, whole, with the
    // name and usage it has on the intact card or with none, and none twice.
    void expectOnlyWholeCertificates(size_t from = 0)
    {
        const std::vector<CollectedCertificate> &got = collectingstore::certificates();
        EXPECT_FALSE(collectingstore::walkOverran());
        for (size_t i = from; i < got.size(); i++) {
            SCOPED_TRACE("certificate " + std::to_string(i));
            EXPECT_FALSE(got[i].malformed);
            const CollectedCertificate *original = NULL;
            for (const CollectedCertificate &candidate : baseline.certificates)
                if (candidate.der == got[i].der)
                    original = &candidate;
            ASSERT_NE(original, nullptr) << "a certificate that is not on the card";
            if (!got[i].containerName.empty()) {
                EXPECT_EQ(got[i].containerName, original->containerName);
                EXPECT_EQ(got[i].keyUsage, original->keyUsage);
            } else {
                EXPECT_EQ(got[i].keyUsage, 0u);
            }
            for (size_t j = from; j < i; j++)
                EXPECT_NE(got[j].der, got[i].der) << "registered twice";
        }
    }

    // One insertion with `arm` setting up the failure, then the removal and
    // a fresh insertion of the intact card.
    void insertFaulty(const std::function<void()> &arm, bool serialRead)
    {
        startOver();
        arm();
        EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
        EXPECT_LE(counters().transmits, 2 * baseline.commands) << "the insertion keeps sending";
        EXPECT_EQ(collectingstore::registrations(), serialRead ? 1u : 0u);
        expectOnlyWholeCertificates();
        expectNothingLeftOpen();
        ASSERT_NE(slot(), nullptr);
        EXPECT_STREQ(slot(), serialRead ? serial.c_str() : "");

        failFrom(0, SCARD_S_SUCCESS);
        removeCard(reader);
        EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
        EXPECT_EQ(slot(), nullptr);
        EXPECT_EQ(collectingstore::removedSerials(),
                  serialRead ? std::vector<std::string>{serial} : std::vector<std::string>());

        const size_t before = collectingstore::certificates().size();
        insertCard(reader, card);
        EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
        EXPECT_STREQ(slot(), serial.c_str());
        const std::vector<CollectedCertificate> &after = collectingstore::certificates();
        ASSERT_EQ(after.size() - before, baseline.certificates.size());
        for (size_t i = 0; i < baseline.certificates.size(); i++) {
            EXPECT_EQ(after[before + i].der, baseline.certificates[i].der);
            EXPECT_EQ(after[before + i].containerName, baseline.certificates[i].containerName);
            EXPECT_EQ(after[before + i].keyUsage, baseline.certificates[i].keyUsage);
        }
        expectNothingLeftOpen();
    }

    // One command answered with `fault` at every index in turn; only the
    // chip-information command itself keeps the serial from being read.
    void everyCommandAnswered(const Fault &fault)
    {
        for (unsigned k = 1; k <= baseline.commands; k++) {
            SCOPED_TRACE("fault at command " + std::to_string(k));
            insertFaulty([&] { injectFault(k, fault); }, k != baseline.chipInfoIndex);
            if (HasFatalFailure() || HasNonfatalFailure())
                return;
        }
    }

    CardImage card;
    std::string serial;
    size_t reader = 0;
    Baseline baseline = {};
};

TEST_P(FaultMatrixTest, IntactCardGivesAllThreeCertificatesWithTheirNames)
{
    ASSERT_EQ(baseline.certificates.size(), 3u);
    EXPECT_EQ(baseline.certificates[0].der, caCertificate());
    EXPECT_EQ(baseline.certificates[1].der, signingCertificate());
    EXPECT_EQ(baseline.certificates[2].der, encryptionCertificate());
    EXPECT_EQ(baseline.certificates[0].containerName, "");
    EXPECT_EQ(baseline.certificates[1].containerName, serial + "200001\\3F00\\501");
    EXPECT_EQ(baseline.certificates[2].containerName, serial + "400002\\3F00\\501");
    EXPECT_EQ(baseline.certificates[1].keyUsage, 0x2000);
    EXPECT_STREQ(slot(), serial.c_str());
    EXPECT_GT(baseline.chipInfoIndex, 0u);
    EXPECT_GT(baseline.commands, baseline.chipInfoIndex);
    expectNothingLeftOpen();
}

TEST_P(FaultMatrixTest, CardPulledAtEveryCommand)
{
    for (unsigned k = 1; k <= baseline.commands + 1; k++) {
        SCOPED_TRACE("pulled at command " + std::to_string(k));
        insertFaulty([&] { failFrom(k, SCARD_W_REMOVED_CARD); }, k > baseline.chipInfoIndex);
        if (HasFatalFailure() || HasNonfatalFailure())
            return;
    }
}

TEST_P(FaultMatrixTest, EveryCommandAnsweredWithAWrongStatusWord)
{
    everyCommandAnswered(statusFault(0x6A82));
}

TEST_P(FaultMatrixTest, EveryCommandAnsweredWithNothing)
{
    everyCommandAnswered(shortFault(0));
}

TEST_P(FaultMatrixTest, EveryCommandAnsweredWithOnlyAGetResponseRequest)
{
    everyCommandAnswered(statusFault(0x6110));
}

INSTANTIATE_TEST_SUITE_P(Cards, FaultMatrixTest, ::testing::Values(Atr21Short, Atr20Long),
                         [](const ::testing::TestParamInfo<CardCase> &info) {
                             return std::string(info.param.family == FamilyAtr20 ? "Atr20" : "Atr21") +
                                    (info.param.longFormHeaders ? "LongHeaders" : "ShortHeaders");
                         });

} // namespace

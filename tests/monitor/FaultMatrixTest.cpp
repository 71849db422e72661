// A full insertion of a three-certificate card through the polling cycle,
// with the card failing at every command in turn: pulled from that command
// on, or answering one command wrongly. Whatever fails, every certificate
// read whole before the failure is in "MY" with the binding the intact card
// gives it and nothing else of the card is there, nothing is left open, no
// command follows a PC/SC failure, the removal leaves "MY" as it was, and a
// fresh insertion of the intact card behaves. Each insertion and removal is
// told once in the event log, a card cut short with the step that stopped.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "MonitorTestHelpers.h"
#include "monitor/Monitor.h"
#include "support/CollectingStore.h"
#include "support/RecordingEvents.h"
#include "card-image/TestCertificates.h"
#include "helpers/TestHelpers.h"

using namespace fakepcsc;
using collectingstore::Binding;
using collectingstore::CollectedCertificate;
using collectingstore::PersonalStore;

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
    description.certificates = {certificateOf(caCertificate(), 1, "C000"),
                                certificateOf(signingCertificate(), 2, "C001"),
                                certificateOf(encryptionCertificate(), 3, "C002")};
    description.keys = {keyOf(2, 0x2000, 1, "\\3F00\\5015\\4B01"), keyOf(3, 0x4000, 2, "\\3F00\\5015\\4B02")};
    return buildCard(description);
}

// What one undisturbed insertion does: the commands it sends, the index
// (from 1) of the monitor's chip-information command, what the store gets,
// and for each command whether it belongs to the CDF walk itself (the
// selections that lead to the CDF and the reads in it).
struct Baseline {
    unsigned commands;
    unsigned chipInfoIndex;
    std::vector<CollectedCertificate> certificates;
    std::vector<bool> cdfCommands; // by index from 1
};

const uint16_t CdfFileId = 0x6004;

bool isSelectFile(const Bytes &command)
{
    return command.size() == 7 && command[1] == 0xA4 && command[2] == 0x00;
}

std::vector<bool> cdfCommandsOf(const std::vector<CommandRecord> &log)
{
    std::vector<bool> cdf(log.size() + 1, false);
    uint16_t current = 0;
    for (size_t i = 0; i < log.size(); i++) {
        const Bytes &command = log[i].command;
        if (isSelectFile(command))
            current = (uint16_t)(command[5] << 8 | command[6]);
        if (command.size() >= 2 && command[1] == 0xA4) {
            // A selection belongs to the file that its chain ends at.
            uint16_t target = current;
            for (size_t j = i; j < log.size() && log[j].command[1] == 0xA4; j++)
                if (isSelectFile(log[j].command))
                    target = (uint16_t)(log[j].command[5] << 8 | log[j].command[6]);
            cdf[i + 1] = target == CdfFileId;
        } else {
            cdf[i + 1] = command.size() >= 2 && command[1] == 0xB0 && current == CdfFileId;
        }
    }
    return cdf;
}

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
        baseline.cdfCommands = cdfCommandsOf(commandLog());
    }

    void TearDown() override
    {
        clearReaderTable();
        collectingstore::reset();
        recordingevents::stop();
    }

    // A reader holding the intact card, watched, and nothing else; "MY"
    // holds a certificate bound to another card and an unbound one.
    void startOver()
    {
        collectingstore::reset();
        recordingevents::start();
        collectingstore::countCommandsWith([] { return counters().transmits; });
        collectingstore::personalStore()[patternBytes(300, 1)] = Binding{"FFEEDDCCBBAA400001", 0x4000};
        collectingstore::personalStore()[patternBytes(300, 2)] = Binding{"", 0};
        snapshot = collectingstore::personalStore();
        ASSERT_EQ(startMonitorAfresh(), SCARD_S_SUCCESS);
        reader = watchOneReader("Reader 0");
        insertCard(reader, card);
    }

    const char *slot() const { return heldSerial(0); }

    // No card command follows the first PC/SC failure, nor an answer
    // without a status word.
    static void expectSilenceAfterAFailure()
    {
        const std::vector<CommandRecord> &log = commandLog();
        for (size_t i = 0; i + 1 < log.size(); i++) {
            ASSERT_TRUE(log[i].result == SCARD_S_SUCCESS && log[i].answer.size() >= 2)
                << "command " << i + 2 << " sent after the card stopped answering";
        }
    }

    // The baseline certificate whose reading, key lookup included, holds
    // command k: certificate i's reading ends with its commandsSent-th one.
    size_t readingAt(unsigned k) const
    {
        size_t i = 0;
        while (i < baseline.certificates.size() && baseline.certificates[i].commandsSent < k)
            i++;
        return i;
    }

    // "MY" after an insertion with the card pulled at command k: the
    // snapshot, and exactly the certificates read whole before, each with
    // the binding the intact card gives it.
    void expectStoreAfterPull(unsigned k, bool serialRead)
    {
        PersonalStore expected = snapshot;
        for (size_t i = 0; serialRead && i < readingAt(k); i++)
            expected[baseline.certificates[i].der] =
                Binding{baseline.certificates[i].containerName, baseline.certificates[i].keyUsage};
        EXPECT_TRUE(collectingstore::personalStore() == expected)
            << describe(collectingstore::personalStore());
    }

    // "MY" after an insertion with command k answered wrongly. Certificates
    // read whole before it are there with their bindings; the one whose
    // reading k falls into may be missing, or unbound when the card refused
    // its key lookup; the later ones are there too unless k belongs to the
    // CDF walk, which may end there. Nothing else of the card is there.
    void expectStoreAfterWrongAnswer(unsigned k, bool serialRead)
    {
        const PersonalStore &store = collectingstore::personalStore();
        const size_t faulty = readingAt(k);
        const bool walkMayEnd = k < baseline.cdfCommands.size() && baseline.cdfCommands[k];
        size_t cardRows = 0;
        for (size_t i = 0; i < baseline.certificates.size(); i++) {
            SCOPED_TRACE("certificate " + std::to_string(i));
            const CollectedCertificate &original = baseline.certificates[i];
            const Binding owed = {original.containerName, original.keyUsage};
            const PersonalStore::const_iterator row = store.find(original.der);
            if (row == store.end()) {
                EXPECT_TRUE(!serialRead || i == faulty || (i > faulty && walkMayEnd))
                    << "missing";
                continue;
            }
            cardRows++;
            EXPECT_TRUE(serialRead);
            const bool unbound = row->second == Binding{"", 0};
            EXPECT_TRUE(row->second == owed || (i == faulty && unbound))
                << "bound to \"" << row->second.containerName << "\"";
        }
        for (const auto &row : snapshot)
            EXPECT_TRUE(store.count(row.first) && store.at(row.first) == row.second);
        EXPECT_EQ(store.size(), snapshot.size() + cardRows) << describe(store);
    }

    // After the removal "MY" is its snapshot again, apart from what the
    // removal cannot tell from other certificates: the card's unbound ones.
    void expectStoreAfterRemoval(const PersonalStore &beforeRemoval)
    {
        PersonalStore expected = snapshot;
        for (const auto &row : beforeRemoval)
            if (row.second.containerName.empty())
                expected.insert(row);
        EXPECT_TRUE(collectingstore::personalStore() == expected)
            << describe(collectingstore::personalStore());
    }

    std::string describe(const PersonalStore &store) const
    {
        std::string text = "MY holds:";
        for (const auto &row : store) {
            std::string which = "another certificate";
            for (size_t i = 0; i < baseline.certificates.size(); i++)
                if (baseline.certificates[i].der == row.first)
                    which = "card certificate " + std::to_string(i);
            text += "\n  " + which + " bound to \"" + row.second.containerName + "\"";
        }
        return text;
    }

    // Every certificate the store got is one of the card's, whole, and none
    // twice.
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
            if (got[i].containerName.empty()) {
                EXPECT_EQ(got[i].keyUsage, 0u);
            }
            for (size_t j = from; j < i; j++)
                EXPECT_NE(got[j].der, got[i].der) << "registered twice";
        }
    }

    // One insertion with `arm` setting up the failure and `expectStore`
    // checking "MY" after it, then the removal and a fresh insertion of the
    // intact card.
    void insertFaulty(const std::function<void()> &arm, bool serialRead,
                      const std::function<void()> &expectStore)
    {
        startOver();
        arm();
        EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
        EXPECT_LE(counters().transmits, 2 * baseline.commands) << "the insertion keeps sending";
        EXPECT_EQ(collectingstore::registrations(), serialRead ? 1u : 0u);
        expectOnlyWholeCertificates();
        expectSilenceAfterAFailure();
        expectStore();
        expectNothingLeftOpen();
        expectOneInsertionEvent(serialRead);
        const PersonalStore beforeRemoval = collectingstore::personalStore();
        ASSERT_NE(slot(), nullptr);
        EXPECT_STREQ(slot(), serialRead ? serial.c_str() : "");

        failFrom(0, SCARD_S_SUCCESS);
        removeCard(reader);
        EXPECT_EQ(pollReaders(), SCARD_S_SUCCESS);
        EXPECT_EQ(slot(), nullptr);
        EXPECT_EQ(collectingstore::removedSerials(),
                  serialRead ? std::vector<std::string>{serial} : std::vector<std::string>());
        expectStoreAfterRemoval(beforeRemoval);
        EXPECT_EQ(recordingevents::withId(102).size(), serialRead ? 1u : 0u);

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
        PersonalStore whole = snapshot;
        for (const CollectedCertificate &original : baseline.certificates)
            whole[original.der] = Binding{original.containerName, original.keyUsage};
        EXPECT_TRUE(collectingstore::personalStore() == whole)
            << describe(collectingstore::personalStore());
        expectNothingLeftOpen();
    }

    // Registered, or not read whole with what was added before it; the
    // step and the answer that stopped it are kept in `stop`.
    void expectOneInsertionEvent(bool serialRead)
    {
        const std::vector<recordingevents::LoggedEvent> cut = recordingevents::withId(103);
        EXPECT_EQ(recordingevents::withId(101).size() + cut.size(), 1u);
        stop = Strings();
        if (cut.size() != 1)
            return;
        stop = cut[0].strings;
        ASSERT_EQ(stop.size(), 5u);
        EXPECT_EQ(stop[0], "Reader 0");
        EXPECT_EQ(stop[1], serialRead ? serial : "desconocido");
        EXPECT_EQ(stop[4], std::to_string(collectingstore::certificates().size()));
    }

    // One command answered with `fault` at every index in turn; only the
    // chip-information command itself keeps the serial from being read.
    void everyCommandAnswered(const Fault &fault)
    {
        for (unsigned k = 1; k <= baseline.commands; k++) {
            SCOPED_TRACE("fault at command " + std::to_string(k));
            const bool serialRead = k != baseline.chipInfoIndex;
            insertFaulty([&] { injectFault(k, fault); }, serialRead,
                         [&] { expectStoreAfterWrongAnswer(k, serialRead); });
            if (HasFatalFailure() || HasNonfatalFailure())
                return;
        }
    }

    CardImage card;
    PersonalStore snapshot;
    std::string serial;
    size_t reader = 0;
    Baseline baseline = {};
    typedef std::vector<std::string> Strings;
    Strings stop;
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
    std::set<std::string> steps;
    for (unsigned k = 1; k <= baseline.commands + 1; k++) {
        SCOPED_TRACE("pulled at command " + std::to_string(k));
        const bool serialRead = k > baseline.chipInfoIndex;
        insertFaulty([&] { failFrom(k, SCARD_W_REMOVED_CARD); }, serialRead,
                     [&] { expectStoreAfterPull(k, serialRead); });
        if (HasFatalFailure() || HasNonfatalFailure())
            return;
        if (k > baseline.commands) {
            EXPECT_TRUE(stop.empty());
            continue;
        }
        ASSERT_FALSE(stop.empty());
        EXPECT_EQ(stop[3], "PC/SC 0x80100069");
        if (k <= baseline.chipInfoIndex) {
            EXPECT_EQ(stop[2], k < baseline.chipInfoIndex ? "directorio" : "serie");
        }
        steps.insert(stop[2]);
    }
    EXPECT_EQ(steps, (std::set<std::string>{"directorio", "serie", "certificado", "clave"}));
}

TEST_P(FaultMatrixTest, EveryCommandAnsweredWithAWrongStatusWord)
{
    everyCommandAnswered(statusFault(0x6A82));
}

// Some reader drivers hand on a card that went away as an empty answer: it
// is owed what a pulled card is owed.
TEST_P(FaultMatrixTest, EveryCommandAnsweredWithNothing)
{
    for (unsigned k = 1; k <= baseline.commands; k++) {
        SCOPED_TRACE("nothing answered to command " + std::to_string(k));
        const bool serialRead = k > baseline.chipInfoIndex;
        insertFaulty([&] { injectFault(k, shortFault(0)); }, serialRead,
                     [&] { expectStoreAfterPull(k, serialRead); });
        if (HasFatalFailure() || HasNonfatalFailure())
            return;
    }
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

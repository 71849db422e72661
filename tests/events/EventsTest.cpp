// The events' insertion strings and the limit on events of one kind, with
// the recording double in the log's place.
#include <gtest/gtest.h>

#include <functional>

#include "Version.h"
#include "events/Events.h"
#include "support/RecordingEvents.h"

using recordingevents::LoggedEvent;
using recordingevents::withId;

namespace {

typedef std::vector<std::string> Strings;

struct FormatCase {
    const char *name;
    std::function<void()> report;
    uint16_t id;
    uint16_t type;
    Strings strings;
};

std::string repeated(const std::string &text, int times)
{
    std::string all;
    for (int i = 0; i < times; i++)
        all += text;
    return all;
}

const std::vector<uint8_t> ThumbprintA(20, 0xAA), ThumbprintB(20, 0x0B);
const std::string TextA = repeated("AA", 20), TextB = repeated("0B", 20);

void addCertificates(uint32_t count)
{
    for (uint32_t i = 0; i < count; i++)
        noteCertificateAdded(ThumbprintA.data(), i % 2 == 0);
}

const FormatCase FormatCases[] = {
    {"start-up, told once", [] {
         reportStarted(2);
         reportStarted(3);
     }, 100, EventInformation, {VELMO_VERSION, sizeof(void *) == 8 ? "x64" : "x86", "2"}},
    {"registration", [] {
         beginCardReport();
         recordingevents::advance(1234);
         noteCertificateAdded(ThumbprintA.data(), true);
         noteCertificateAdded(ThumbprintB.data(), false);
         recordingevents::advance(50);
         reportCardInserted("Lector 0", "001A2B3C4D5E");
     }, 101, EventInformation, {"Lector 0", "001A2B3C4D5E", "2", "1", "1234", TextA + " " + TextB}},
    {"registration of more certificates than are named", [] {
         beginCardReport();
         addCertificates(9);
         reportCardInserted("R", "001A2B3C4D5E");
     }, 101, EventInformation,
     {"R", "001A2B3C4D5E", "9", "5", "0", repeated(TextA + " ", 8) + "..."}},
    {"removal", [] {
         noteCertificateDeleted(ThumbprintA.data());
         noteCertificateDeleted(NULL);
         reportCardRemoved("Lector 0", "001A2B3C4D5E");
     }, 102, EventInformation, {"Lector 0", "001A2B3C4D5E", "2", TextA}},
    {"key lookup cut short: the first stop is told", [] {
         beginCardReport();
         addCertificates(1);
         noteCardStopped(CardStepKeyLookup, (int32_t)0x80100069, 0);
         noteCardStopped(CardStepCertificate, (int32_t)0x80100069, 0);
         reportCardInserted("R", "001A2B3C4D5E");
     }, 103, EventWarning, {"R", "001A2B3C4D5E", "clave", "PC/SC 0x80100069", "1"}},
    {"directory refused", [] {
         beginCardReport();
         noteCardStopped(CardStepDirectory, 0, 0x6A82);
         reportCardInserted("R", "");
     }, 103, EventWarning, {"R", "desconocido", "directorio", "SW 6A82", "0"}},
    {"connection refused", [] {
         beginCardReport();
         noteCardStopped(CardStepConnection, (int32_t)0x8010000C, 0);
         reportCardInserted("R", "");
     }, 103, EventWarning, {"R", "desconocido", "enlace", "PC/SC 0x8010000C", "0"}},
    {"certificate skipped, told before the registration", [] {
         beginCardReport();
         noteCertificateEntry();
         noteCertificateEntry();
         noteCertificateSkipped(SkipDamagedStream);
         reportCardInserted("R", "001A2B3C4D5E");
     }, 104, EventWarning, {"R", "001A2B3C4D5E", "2", "datos corruptos"}},
    {"start-up cleanup", [] {
         noteCertificateDeleted(ThumbprintB.data());
         reportStrandedCleaned();
     }, 105, EventInformation, {"1", TextB}},
    {"damaged record", [] { reportRecordDamaged(3); }, 106, EventWarning, {"3"}},
    {"service lost", [] { reportServiceLost((int32_t)0x8010001D); }, 107, EventWarning, {"PC/SC 0x8010001D"}},
    {"service found", [] { reportServiceFound(2); }, 108, EventInformation, {"2"}},
    {"reader arrived", [] { reportReaderArrived("Lector 1"); }, 109, EventInformation, {"Lector 1"}},
    {"reader left", [] { reportReaderLeft("Lector 1"); }, 110, EventInformation, {"Lector 1"}},
    {"store call failed", [] { reportStoreCallFailed("CertAddCertificateContextToStore", 0x80092004); },
     111, EventError, {"CertAddCertificateContextToStore", "0x80092004"}},
    {"a long reader name is cut, the other facts stay", [] {
         beginCardReport();
         reportCardInserted(std::string(1000, 'L').c_str(), "001A2B3C4D5E");
     }, 101, EventInformation, {std::string(EventStringLimit, 'L'), "001A2B3C4D5E", "0", "0", "0", "-"}},
};

class EventsTest : public ::testing::Test {
protected:
    void TearDown() override { recordingevents::stop(); }
};

TEST_F(EventsTest, EachEventCarriesItsFactsAsInsertionStrings)
{
    for (const FormatCase &formatCase : FormatCases) {
        SCOPED_TRACE(formatCase.name);
        recordingevents::start();
        formatCase.report();
        ASSERT_FALSE(recordingevents::events().empty());
        const LoggedEvent &event = recordingevents::events().front();
        EXPECT_EQ(event.id, formatCase.id);
        EXPECT_EQ(event.type, formatCase.type);
        EXPECT_EQ(event.strings, formatCase.strings);
    }
}

// While the log is off nothing is written, and nothing noted then shows in
// an event written once it is on.
TEST_F(EventsTest, NothingIsWrittenOrKeptWhileTheLogIsOff)
{
    recordingevents::stop();
    for (const FormatCase &formatCase : FormatCases)
        formatCase.report();
    recordingevents::start();
    reportCardRemoved("R", "001A2B3C4D5E");
    beginCardReport();
    reportCardInserted("R", "001A2B3C4D5E");
    ASSERT_EQ(recordingevents::events().size(), 2u);
    EXPECT_EQ(recordingevents::events()[0].strings, (Strings{"R", "001A2B3C4D5E", "0", "-"}));
    EXPECT_EQ(recordingevents::events()[1].strings, (Strings{"R", "001A2B3C4D5E", "0", "0", "0", "-"}));
}

// A reader that comes and goes in a loop, while the clock wraps: a handful
// a minute, other kinds unhindered, then one event with the count left out.
TEST_F(EventsTest, AFloodOfOneKindIsHeldToAHandfulAMinuteAndTheRestCounted)
{
    recordingevents::start(0xFFFFF000u);
    for (int i = 0; i < 20; i++) {
        reportReaderArrived("R");
        recordingevents::advance(1000);
    }
    reportServiceFound(1);
    reportLeftOutEvents();
    EXPECT_EQ(withId(109).size(), EventsPerWindow);
    EXPECT_EQ(withId(108).size(), 1u);
    EXPECT_TRUE(withId(112).empty());

    recordingevents::advance(EventWindowMs - 20000);
    reportLeftOutEvents();
    reportLeftOutEvents();
    ASSERT_EQ(withId(112).size(), 1u);
    EXPECT_EQ(withId(112)[0].type, EventWarning);
    EXPECT_EQ(withId(112)[0].strings, (Strings{"109", "15", "60"}));

    reportReaderArrived("R");
    EXPECT_EQ(withId(109).size(), EventsPerWindow + 1);
    recordingevents::advance(EventWindowMs);
    reportLeftOutEvents();
    EXPECT_EQ(withId(112).size(), 1u) << "a window with nothing left out ends without a word";
}

// Event 103 counts per reader: a card that keeps failing in one reader is
// held to a handful a minute there, and every other reader's card is still
// told; readers beyond sixteen share one window. What a reader's window
// left out is told with its name.
TEST_F(EventsTest, ACardThatKeepsFailingInOneReaderHidesNoOtherReadersReport)
{
    recordingevents::start();
    const auto notReadWhole = [](const std::string &reader) {
        beginCardReport();
        noteCardStopped(CardStepSerial, 0, 0x6A82);
        reportCardInserted(reader.c_str(), "");
    };
    for (int i = 0; i < 14; i++)
        notReadWhole("Lector 0");
    for (int reader = 1; reader <= 21; reader++)
        notReadWhole("Lector " + std::to_string(reader));
    const std::vector<LoggedEvent> told = withId(103);
    ASSERT_EQ(told.size(), 25u);
    EXPECT_EQ(told[5].strings[0], "Lector 1");
    EXPECT_EQ(told.back().strings[0], "Lector 20");

    recordingevents::advance(EventWindowMs);
    reportLeftOutEvents();
    std::vector<Strings> leftOut;
    for (const LoggedEvent &event : withId(112))
        leftOut.push_back(event.strings);
    EXPECT_EQ(leftOut, (std::vector<Strings>{{"103", "9", "60", "Lector 0"}, {"103", "1", "60", "-"}}));
}

} // namespace

// The monitor thread on Windows: the removal of stranded certificates
// before anything else and one polling cycle per timer period, also with
// another object named "WaitableTimer" in the session. The thread never
// returns by itself, so the running test parks it inside a registration
// and ends it there.
#include <gtest/gtest.h>

#include "MonitorTestHelpers.h"
#include "monitor/Monitor.h"
#include "support/RecordingStore.h"
#include "helpers/TestHelpers.h"

using namespace fakepcsc;

namespace {

class MonitorThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        clearReaderTable();
        reset();
        recordingstore::reset();
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &pcscContext), SCARD_S_SUCCESS);
    }

    void TearDown() override
    {
        recordingstore::reset();
        clearReaderTable();
        reset();
    }
};

TEST_F(MonitorThreadTest, PollsOncePerSecondBesideAnObjectNamedWaitableTimer)
{
    HANDLE other = CreateEventA(NULL, TRUE, FALSE, "WaitableTimer");
    ASSERT_NE(other, nullptr);
    insertCard(watchOneReader("Reader 0"), emptyCard());
    // The first cycle's status call fails, so the card is handled in the
    // second, after the timer has been armed again.
    failStatusCalls(1, SCARD_E_NO_SERVICE);

    HANDLE registered = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE never = CreateEventA(NULL, TRUE, FALSE, NULL);
    unsigned statusCallsAtRegistration = 0;
    recordingstore::onRegister([&](CardSession *) {
        statusCallsAtRegistration = counters().statusCalls;
        SetEvent(registered);
        WaitForSingleObject(never, INFINITE);
    });

    const DWORD start = GetTickCount();
    HANDLE thread = CreateThread(NULL, 0, monitorThread, NULL, 0, NULL);
    ASSERT_NE(thread, nullptr);
    const DWORD waited = WaitForSingleObject(registered, 30000);
    const DWORD elapsed = GetTickCount() - start;
    // The thread waits inside the registration: it is ended there.
    TerminateThread(thread, 0);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);

    ASSERT_EQ(waited, WAIT_OBJECT_0);
    EXPECT_EQ(statusCallsAtRegistration, 2u);
    // Two timer periods of one second; even a loaded machine keeps each
    // within three.
    EXPECT_GE(elapsed, 1800u);
    EXPECT_LE(elapsed, 6000u);
    EXPECT_EQ(lastStatusTimeout(), 900u);
    EXPECT_STREQ((const char *)readerTable.entries[0].pvUserData, "001A2B3C4D5E");
    // What cards left unseen was removed once, before the first cycle.
    const std::vector<recordingstore::StoreCall> &calls = recordingstore::calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, recordingstore::StoreCall::RemoveStranded);
    EXPECT_EQ(calls[1].kind, recordingstore::StoreCall::Register);
    CloseHandle(other);
    CloseHandle(registered);
    CloseHandle(never);
}

} // namespace

// The monitor thread on Windows: the removal of stranded certificates
// before anything else and one polling cycle per timer period, also with
// another object named "WaitableTimer" in the session, and its stop: the
// card in hand finished, no further card read, the context given back once
// the thread has ended; the window told of each new status line.
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

    insertCard(addReader("Reader 1"), emptyCard(FamilyAtr20));
    fillReaderTable("Reader 0\0Reader 1\0");

    // The first card's registration goes on until the stop was asked for.
    HANDLE registered = CreateEventA(NULL, TRUE, FALSE, NULL);
    unsigned statusCallsAtRegistration = 0;
    recordingstore::onRegister([&](CardSession *) {
        statusCallsAtRegistration = counters().statusCalls;
        SetEvent(registered);
        for (int i = 0; i < 500 && !monitorStopRequested(testMonitor()); i++)
            Sleep(10);
    });

    const UINT lineMessage = WM_APP + 7;
    HWND window = CreateWindowExA(0, "STATIC", NULL, 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    testMonitor().window = window;
    testMonitor().windowMessage = lineMessage;

    const DWORD start = GetTickCount();
    ASSERT_TRUE(startMonitor(testMonitor()));
    const DWORD waited = WaitForSingleObject(registered, 30000);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_TRUE(stopMonitor(testMonitor(), 3000));
    EXPECT_TRUE(stopMonitor(testMonitor(), 3000)); // a second call changes nothing

    ASSERT_EQ(waited, WAIT_OBJECT_0);
    EXPECT_EQ(contextsNotReleased(), 0u);
    EXPECT_EQ(counters().connects, 1u); // the second reader's card was left alone
    EXPECT_EQ(statusCallsAtRegistration, 2u);
    // Two timer periods of one second; even a loaded machine keeps each
    // within three.
    EXPECT_GE(elapsed, 1800u);
    EXPECT_LE(elapsed, 6000u);
    EXPECT_EQ(lastStatusTimeout(), 900u);
    // What cards left unseen was removed once, before the first cycle; the
    // card in hand was registered whole.
    const std::vector<recordingstore::StoreCall> &calls = recordingstore::calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, recordingstore::StoreCall::RemoveStranded);
    EXPECT_EQ(calls[1].kind, recordingstore::StoreCall::Register);
    EXPECT_EQ(calls[1].serial, "001A2B3C4D5E");
    // The service missing, then the card: the window was told twice.
    MSG message;
    unsigned told = 0;
    while (PeekMessageA(&message, window, lineMessage, lineMessage, PM_REMOVE))
        told++;
    EXPECT_EQ(told, 2u);
    char line[StatusLineCapacity];
    readStatusLine(testMonitor(), line, sizeof line);
    EXPECT_STREQ(line, "Tarjeta leida, sin certificados");
    DestroyWindow(window);
    CloseHandle(other);
    CloseHandle(registered);
}

} // namespace

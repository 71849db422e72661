// The monitor thread: an unnamed waitable timer re-armed one second ahead
// before every polling cycle, and the one way to stop the thread. Windows
// only; the cycle itself is pollReaders.
#include "Monitor.h"

#include "../store/Store.h"

namespace {

const LONGLONG OneSecondAhead = -10000000LL; // relative, in 100-nanosecond units

typedef HANDLE(WINAPI *AccessStartedEventCall)();
typedef void(WINAPI *ReleaseStartedEventCall)();

// Looked up rather than imported: a PC/SC bridge standing in for the
// system's winscard.dll may lack it.
FARPROC winscardCall(const char *name)
{
    HMODULE winscard = GetModuleHandleA("winscard.dll");
    return winscard ? GetProcAddress(winscard, name) : NULL;
}

bool startedEventIsSet(MonitorState &monitor)
{
    return WaitForSingleObject(monitor.startedEvent, 0) == WAIT_OBJECT_0;
}

void accessStartedEvent(MonitorState &monitor)
{
    FARPROC call = winscardCall("SCardAccessStartedEvent");
    if (call)
        monitor.startedEvent = ((AccessStartedEventCall)(void (*)())call)();
    if (monitor.startedEvent)
        monitor.serviceStarted = startedEventIsSet;
}

void releaseStartedEvent(MonitorState &monitor)
{
    FARPROC call = winscardCall("SCardReleaseStartedEvent");
    if (monitor.startedEvent && call)
        ((ReleaseStartedEventCall)(void (*)())call)();
    monitor.startedEvent = NULL;
    monitor.serviceStarted = NULL;
}

// Waits out the rest of the second, or until the stop request: false then.
// While no service runs, the service starting ends the wait too: the cycle
// then asks for its context at once, and the next one waits a whole second
// again, so that an event that stays set never makes two attempts a cycle.
bool waitOneSecond(MonitorState &monitor)
{
    LARGE_INTEGER due;
    due.QuadPart = OneSecondAhead;
    if (!SetWaitableTimer(monitor.cycleTimer, &due, 0, NULL, NULL, FALSE))
        return false;
    HANDLE waits[3] = {monitor.stopEvent, monitor.cycleTimer, monitor.startedEvent};
    const bool watchStart = !monitor.context && monitor.startedEvent && !startedEventIsSet(monitor);
    const DWORD woke = WaitForMultipleObjects(watchStart ? 3 : 2, waits, FALSE, INFINITE);
    return woke == WAIT_OBJECT_0 + 1 || woke == WAIT_OBJECT_0 + 2;
}

// The window learns of a new status line from its queue: the monitor never
// waits on it, and a message to a window already gone is simply lost.
void tellWindow(MonitorState &monitor)
{
    if (monitor.window && monitor.windowMessage)
        PostMessageA(monitor.window, monitor.windowMessage, 0, 0);
}

// The stranded certificates are removed first, whether or not the
// smart-card service is running, so that all store work stays on this
// thread and the tray answers at once while a large store is walked. Each
// cycle establishes the PC/SC context if there is none yet.
DWORD WINAPI monitorThread(LPVOID parameter)
{
    MonitorState &monitor = *(MonitorState *)parameter;
    removeStrandedCertificates(monitor.userRunsElsewhere);
    runMonitor(monitor, waitOneSecond, tellWindow);
    return 0;
}

void closeThreadHandles(MonitorState &monitor)
{
    if (monitor.thread)
        CloseHandle(monitor.thread);
    if (monitor.stopEvent)
        CloseHandle(monitor.stopEvent);
    if (monitor.cycleTimer)
        CloseHandle(monitor.cycleTimer);
    monitor.thread = monitor.stopEvent = monitor.cycleTimer = NULL;
}

} // namespace

bool startMonitor(MonitorState &monitor)
{
    if (monitor.thread)
        return true;
    monitor.stopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    monitor.cycleTimer = CreateWaitableTimerA(NULL, TRUE, NULL);
    accessStartedEvent(monitor);
    if (monitor.stopEvent && monitor.cycleTimer)
        monitor.thread = CreateThread(NULL, 0, monitorThread, &monitor, 0, NULL);
    if (monitor.thread)
        return true;
    closeThreadHandles(monitor);
    releaseStartedEvent(monitor);
    return false;
}

bool stopMonitor(MonitorState &monitor, DWORD waitMs)
{
    if (monitor.thread) {
        requestMonitorStop(monitor);
        SetEvent(monitor.stopEvent);
        if (WaitForSingleObject(monitor.thread, waitMs) != WAIT_OBJECT_0)
            return false;
        closeThreadHandles(monitor);
        releaseStartedEvent(monitor);
    }
    if (monitor.context) {
        SCardReleaseContext(monitor.context);
        monitor.context = 0;
    }
    return true;
}

// The monitor thread: a named waitable timer re-armed one second ahead
// before every polling cycle. Windows only; the cycle itself is pollReaders.
#include "Monitor.h"

namespace {

const char TimerName[] = "WaitableTimer";
const LONGLONG OneSecondAhead = -10000000LL; // relative, in 100-nanosecond units

} // namespace

DWORD WINAPI monitorThread(LPVOID)
{
    HANDLE timer = CreateWaitableTimerA(NULL, TRUE, TimerName);
    if (!timer)
        return 1;
    LARGE_INTEGER due;
    due.QuadPart = OneSecondAhead;
    for (;;) {
        if (!SetWaitableTimer(timer, &due, 0, NULL, NULL, FALSE)) {
            CloseHandle(timer);
            return 2;
        }
        if (WaitForSingleObject(timer, INFINITE) != WAIT_OBJECT_0)
            continue;
        pollReaders();
    }
}

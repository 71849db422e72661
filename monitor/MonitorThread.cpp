// The monitor thread: an unnamed waitable timer re-armed one second ahead
// before every polling cycle. Windows only; the cycle itself is pollReaders.
#include "Monitor.h"

#include "../events/Events.h"
#include "../store/Store.h"

namespace {

const LONGLONG OneSecondAhead = -10000000LL; // relative, in 100-nanosecond units

} // namespace

// The stranded certificates are removed here, before the first cycle and
// whether or not the smart-card service is running, so that all store work
// stays on this thread and the tray answers at once while a large store is
// walked. Each cycle establishes the PC/SC context if there is none yet.
DWORD WINAPI monitorThread(LPVOID)
{
    removeStrandedCertificates();
    HANDLE timer = CreateWaitableTimerA(NULL, TRUE, NULL);
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
        reportStarted(readerTable.count);
        reportLeftOutEvents();
    }
}

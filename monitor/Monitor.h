// The reader monitor: the polling work of the monitor thread over the
// reader table, the PC/SC context it runs on, and the requests other
// threads make of it.
#pragma once

#include <stdint.h>

#include "ReaderTable.h"
#include "StatusLine.h"

// All of the monitor's state. The shell owns one, zero-filled, and hands it
// to every call below; only the monitor thread touches the context and the
// table while it runs, and the requests are its one way in from other
// threads.
struct MonitorState {
    SCARDCONTEXT context; // 0 while the service is away
    ReaderTable table;
    // The readers of a context's first listing are not told one by one: the
    // start or the service found tells their count.
    bool firstListingOfContext;
    bool serviceWasLost;
    uint32_t cyclesWithoutService; // in a row, up to ServiceAwayCycles
    // Where the platform tells it (Windows' SCardAccessStartedEvent),
    // whether the smart-card service runs: while it does not, no context is
    // asked for. Null: one attempt a cycle.
    bool (*serviceStarted)(MonitorState &monitor);
    // Requests from other threads, read and written atomically.
    long readerCheckRequested;
    long stopRequested;
    long sessionDisconnected;
    // Set by the shell before the start: the same user's copy runs in
    // another session, and the start-up cleanup leaves the record alone.
    bool userRunsElsewhere;
    PublishedLine statusLine; // what the monitor sees, for the tray's tip
#ifdef _WIN32
    // Told with `windowMessage`, posted, each time the line changes; set
    // before startMonitor. NULL: nobody to tell.
    HWND window;
    UINT windowMessage;
    HANDLE thread;
    HANDLE stopEvent; // set with the stop request, so that a wait ends at once
    HANDLE cycleTimer; // the thread's own
    HANDLE startedEvent; // set while the service runs, where the platform offers it
#endif
};

// One polling cycle without its timer. Without a context it first tries to
// establish one (once a cycle) and lists the readers. Then one status call
// over the table and the arrival watch, each entry's insertion, swap or
// removal, a new listing when readers arrived or left, and the cards that
// wait for a read. Answers the status call's result, or the failure that
// came before it. A result that means the context died gives it back. A
// stop request ends the cycle before the next card; the card in hand is
// finished.
LONG pollReaders(MonitorState &monitor);

// The monitor thread's cycles: one each time `waitForCycle` answers true,
// until it answers false or a stop is asked. After each cycle the status
// line is published, and `lineChanged` (if given) called when it differs
// from the one before.
// The context is left for the caller to give back.
void runMonitor(MonitorState &monitor, bool (*waitForCycle)(MonitorState &monitor),
                void (*lineChanged)(MonitorState &monitor));

// Any thread (the window's, once told): the status line last published,
// at most StatusLineCapacity - 1 letters, cut to `size` and terminated;
// empty before the first cycle ended.
void readStatusLine(MonitorState &monitor, char *line, size_t size);

// Any thread:
// Asks the next cycle to take every reader as after a new context: the
// readers listed again and each card checked by its serial (the machine
// resumed from sleep).
void requestReaderCheck(MonitorState &monitor);
// While the session is disconnected no card is read and no command sent,
// and certificates stay; on reconnection every reader is taken afresh.
void setSessionConnected(MonitorState &monitor, bool on);
// Asks the monitor to stop before its next card and ends any wait between
// cycles.
void requestMonitorStop(MonitorState &monitor);
bool monitorStopRequested(MonitorState &monitor);

#ifdef _WIN32
// Starts the monitor thread: start-up cleanup, then a cycle a second. False
// when it could not start.
bool startMonitor(MonitorState &monitor);
// Asks the thread to stop (it finishes the card in hand), waits at most
// waitMs, and gives the PC/SC context back once the thread has stopped,
// never while it runs. True when it stopped in time. Safe to call twice and
// when the thread never started.
bool stopMonitor(MonitorState &monitor, DWORD waitMs);
#endif

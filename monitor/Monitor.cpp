// One polling cycle of the monitor thread: the PC/SC context, the status
// call over the reader table and the arrival watch, and what each entry's
// new state means for its serial slot. Portable: the host build tests it
// against the PC/SC double; the timer loop around it is in
// MonitorThread.cpp.
#include "Monitor.h"

#include <string.h>

#include "../events/Events.h"

namespace {

const DWORD StatusTimeout = 900; // milliseconds
const DWORD EventMask = 0xFFFF; // only the low 16 bits of an event state are states
const DWORD InsertionEvent = SCARD_STATE_CHANGED | SCARD_STATE_PRESENT; // 0x0022
const DWORD RemovalEvent = SCARD_STATE_CHANGED | SCARD_STATE_EMPTY; // 0x0012
// The reader name on which PC/SC reports readers arriving and leaving; its
// event state carries the reader count (or a count of reader events) in
// the high 16 bits.
const char ArrivalWatchName[] = "\\\\?PnP?\\Notification";
// Where the platform keeps no count in the arrival watch, it reports only
// the arrivals during a status call: the readers are listed again this
// often to see the others.
const uint32_t ListingFallbackCycles = 10;
// Without the service no key of a card can be reached: once it has been
// away this many cycles in a row, every card counts as removed. A service
// restarted within a second or two keeps them.
const uint32_t ServiceAwayCycles = 5;

// Results of a status call after which the context is of no further use:
// the resource manager stopped or went away (pcsc-lite answers NO_SERVICE,
// or COMM_ERROR when it ended during the wait) or no longer knows the
// context, as after it was started again.
bool contextIsGone(LONG result)
{
    return result == SCARD_E_SERVICE_STOPPED || result == SCARD_E_NO_SERVICE ||
           result == SCARD_E_INVALID_HANDLE || result == SCARD_F_COMM_ERROR;
}

// Every entry back to unaware, so that the next status call reports each
// reader as it is then, and every Taken slot's card checked by its serial:
// a card may have been swapped unseen. A new context restarts the event
// counts, so the ones the cards were taken with no longer count; after a
// sleep the context that lived through it keeps them, and a card taken out
// and put back meanwhile is read again.
void takeEveryReaderAfresh(ReaderTable &table, bool countsRestart)
{
    for (uint32_t i = 0; i < table.count; i++)
        table.entries[i].dwCurrentState = SCARD_STATE_UNAWARE;
    checkEveryCardAfresh(slotsOf(table, 0), countsRestart);
    table.arrivalState = 0;
    table.listingDue = true;
}

// Counted in cycles, so that time asleep does not count. A card still in
// its reader when the service is back is then an insertion.
void noteCycleWithoutService(MonitorState &monitor)
{
    if (monitor.cyclesWithoutService < ServiceAwayCycles)
        monitor.cyclesWithoutService++;
    if (monitor.cyclesWithoutService < ServiceAwayCycles)
        return;
    const CardSlots slots = slotsOf(monitor.table, 0);
    for (uint32_t i = 0; i < slots.count; i++)
        releaseSlot(slots, i);
}

// Gives the dead context back, leaving the context 0 so that the next
// cycle establishes a new one and takes every reader afresh on it.
void giveBackDeadContext(MonitorState &monitor, LONG result)
{
    reportServiceLost(result);
    monitor.serviceWasLost = true;
    const SCARDCONTEXT dead = monitor.context;
    monitor.context = 0;
    SCardReleaseContext(dead);
    noteCycleWithoutService(monitor);
}

// Once a cycle while the service is away: the context stays 0 until one
// is had.
LONG establishNewContext(MonitorState &monitor)
{
    SCARDCONTEXT fresh = 0;
    const LONG result = SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &fresh);
    if (result != SCARD_S_SUCCESS) {
        noteCycleWithoutService(monitor);
        return result;
    }
    monitor.context = fresh;
    monitor.cyclesWithoutService = 0;
    return result;
}

LONG relistIfDue(MonitorState &monitor)
{
    ReaderTable &table = monitor.table;
    if (!table.listingDue)
        return SCARD_S_SUCCESS;
    const LONG result = relistReaders(table, monitor.context, !monitor.firstListingOfContext);
    if (result != SCARD_S_SUCCESS)
        return result;
    table.listingDue = false;
    table.cyclesSinceListing = 0;
    if (monitor.firstListingOfContext && monitor.serviceWasLost)
        reportServiceFound(table.count);
    monitor.firstListingOfContext = false;
    monitor.serviceWasLost = false;
    return result;
}

// The state handed back to the next status call. PC/SC is never asked to
// ignore an entry: a reader that leaves and comes back must be reported.
DWORD watchedState(DWORD event)
{
    return event & ~(DWORD)SCARD_STATE_IGNORE;
}

// The arrival watch asks for a new listing when it reports a change or
// its count moves.
void noteArrivals(ReaderTable &table, DWORD event)
{
    if ((event & SCARD_STATE_CHANGED) || (event >> 16) != (table.arrivalState >> 16))
        table.listingDue = true;
    table.arrivalState = watchedState(event) & ~(DWORD)SCARD_STATE_CHANGED;
}

// Without a count in the arrival watch, the readers are listed again every
// few cycles.
void noteCycleWithoutListing(ReaderTable &table)
{
    if ((table.arrivalState >> 16) == 0 &&
        ++table.cyclesSinceListing >= ListingFallbackCycles)
        table.listingDue = true;
}

void copyAnswerToReset(SCARD_READERSTATEA &entry, const SCARD_READERSTATEA &reported)
{
    entry.cbAtr = reported.cbAtr <= sizeof entry.rgbAtr ? reported.cbAtr : 0;
    memcpy(entry.rgbAtr, reported.rgbAtr, sizeof entry.rgbAtr);
}

// One status call over the table's entries and the arrival watch, on a copy
// so that the watch needs no room in the table. pcsc-lite refuses a call of
// more than 16 entries: while the table is full the watch is left out, as
// no further reader could be watched anyway.
LONG callStatus(MonitorState &monitor)
{
    ReaderTable &table = monitor.table;
    SCARD_READERSTATEA states[ReaderTableSize + 1];
    const uint32_t count = table.count;
    const bool watchArrivals = count < ReaderTableSize;
    memcpy(states, table.entries, count * sizeof states[0]);
    memset(&states[count], 0, sizeof states[count]);
    states[count].szReader = ArrivalWatchName;
    states[count].dwCurrentState = table.arrivalState;
    const LONG result = SCardGetStatusChangeA(monitor.context, StatusTimeout, states,
                                              watchArrivals ? count + 1 : count);
    if (result != SCARD_S_SUCCESS)
        return result;
    for (uint32_t i = 0; i < count; i++) {
        table.entries[i].dwEventState = states[i].dwEventState;
        copyAnswerToReset(table.entries[i], states[i]);
    }
    if (watchArrivals)
        noteArrivals(table, states[count].dwEventState);
    return result;
}

// This program's own rule: a reader that disappears (unplugged with the
// card in it) takes the card with it, so its slot's removal runs and the
// slot becomes Free; an unknown reader has left the system, and its entry
// is freed at the next listing, which comes at the end of this cycle.
void examineEntry(MonitorState &monitor, uint32_t index)
{
    ReaderTable &table = monitor.table;
    const CardSlots slots = slotsOf(table, monitor.context);
    SCARD_READERSTATEA &entry = table.entries[index];
    const DWORD event = entry.dwEventState;
    const DWORD low = event & EventMask;
    const DWORD previous = entry.dwCurrentState;
    const bool firstReport = previous == SCARD_STATE_UNAWARE;
    entry.dwCurrentState = watchedState(event);
    const bool changed = (event & SCARD_STATE_CHANGED) != 0;
    if (changed && (event & SCARD_STATE_UNKNOWN)) {
        releaseSlot(slots, index);
        table.listingDue = true;
    } else if ((changed && (event & SCARD_STATE_UNAVAILABLE)) || low == RemovalEvent) {
        releaseSlot(slots, index);
    } else if (cardWasSwapped(table.slots[index], entry, previous, firstReport)) {
        releaseSlot(slots, index);
        if (low == InsertionEvent)
            takeCard(slots, index);
    } else {
        noteReport(slots, index, event, firstReport);
        if (low == InsertionEvent)
            takeCard(slots, index);
        else if (changed && (event & SCARD_STATE_MUTE))
            noteUnreadable(slots, index, UnreadMute);
        else if (changed && (event & SCARD_STATE_EXCLUSIVE))
            noteUnreadable(slots, index, UnreadHeldExclusively);
    }
}

// After a status call that reported nothing, the answers to reset are
// those of the last call that did, and a reader plugged back unseen may
// hold a card of the other family since. Where a card is to be tried again,
// one call that waits for nothing gives every entry its card's answer to
// reset first; a quiet cycle with nothing to try calls nothing more. False
// when no answer could be had: nothing is tried in this cycle.
bool refreshAnswersToReset(MonitorState &monitor)
{
    ReaderTable &table = monitor.table;
    if (!anyRetryDue(slotsOf(table, monitor.context)))
        return true;
    SCARD_READERSTATEA states[ReaderTableSize];
    memcpy(states, table.entries, table.count * sizeof states[0]);
    for (uint32_t i = 0; i < table.count; i++)
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    if (SCardGetStatusChangeA(monitor.context, 0, states, table.count) != SCARD_S_SUCCESS)
        return false;
    for (uint32_t i = 0; i < table.count; i++)
        copyAnswerToReset(table.entries[i], states[i]);
    return true;
}

// A card waits for a read only while the reader last showed it present.
// A check that finds another card removes the certificates of the card its
// slot named and sends every other slot naming it to read its card at once
// (the card may have moved there), and a card read sends every other slot
// registered under its serial to check its card: the second pass reads
// those that come before it in the table; every other slot tried in the
// first pass is no longer due.
void retryPendingCards(MonitorState &monitor)
{
    ReaderTable &table = monitor.table;
    for (int pass = 0; pass < 2; pass++)
        for (uint32_t i = 0; i < table.count && !monitorStopRequested(monitor); i++)
            if (table.entries[i].dwCurrentState & SCARD_STATE_PRESENT)
                retryPendingCard(slotsOf(table, monitor.context), i);
}

} // namespace

void requestReaderCheck(MonitorState &monitor)
{
    __atomic_store_n(&monitor.readerCheckRequested, 1L, __ATOMIC_SEQ_CST);
}

void setSessionConnected(MonitorState &monitor, bool on)
{
    __atomic_store_n(&monitor.sessionDisconnected, on ? 0L : 1L, __ATOMIC_SEQ_CST);
    if (on)
        requestReaderCheck(monitor);
}

bool monitorStopRequested(MonitorState &monitor)
{
    return __atomic_load_n(&monitor.stopRequested, __ATOMIC_SEQ_CST) != 0;
}

LONG pollReaders(MonitorState &monitor)
{
    ReaderTable &table = monitor.table;
    if (__atomic_load_n(&monitor.sessionDisconnected, __ATOMIC_SEQ_CST))
        return SCARD_S_SUCCESS;
    if (!monitor.context) {
        if (monitor.serviceStarted && !monitor.serviceStarted(monitor)) {
            noteCycleWithoutService(monitor);
            return SCARD_E_NO_SERVICE;
        }
        const LONG established = establishNewContext(monitor);
        if (established != SCARD_S_SUCCESS)
            return established;
        takeEveryReaderAfresh(table, true);
        monitor.firstListingOfContext = true;
    }
    table.cycle++;
    if (__atomic_exchange_n(&monitor.readerCheckRequested, 0L, __ATOMIC_SEQ_CST))
        takeEveryReaderAfresh(table, false);
    LONG result = relistIfDue(monitor);
    reportStarted(table.count);
    if (!contextIsGone(result))
        result = callStatus(monitor);
    if (contextIsGone(result)) {
        giveBackDeadContext(monitor, result);
        return result;
    }
    noteCycleWithoutListing(table);
    if (result == SCARD_S_SUCCESS)
        for (uint32_t i = 0; i < table.count && !monitorStopRequested(monitor); i++)
            examineEntry(monitor, i);
    // pcsc-lite fails the whole call while a watched reader is missing.
    if (result == SCARD_E_UNKNOWN_READER)
        table.listingDue = true;
    const LONG listed = relistIfDue(monitor);
    if (contextIsGone(listed)) {
        giveBackDeadContext(monitor, listed);
        return result;
    }
    if (result == SCARD_S_SUCCESS || refreshAnswersToReset(monitor))
        retryPendingCards(monitor);
    return result;
}

void runMonitor(MonitorState &monitor, bool (*waitForCycle)(MonitorState &monitor),
                void (*lineChanged)(MonitorState &monitor))
{
    while (!monitorStopRequested(monitor) && waitForCycle(monitor) &&
           !monitorStopRequested(monitor)) {
        pollReaders(monitor);
        reportStarted(monitor.table.count);
        reportLeftOutEvents();
        if (publishStatusLine(monitor.statusLine, monitor.table, monitor.context != 0) && lineChanged)
            lineChanged(monitor);
    }
}

void readStatusLine(MonitorState &monitor, char *line, size_t size)
{
    copyStatusLine(monitor.statusLine, line, size);
}

void requestMonitorStop(MonitorState &monitor)
{
    __atomic_store_n(&monitor.stopRequested, 1L, __ATOMIC_SEQ_CST);
}

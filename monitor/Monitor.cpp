// One polling cycle of the monitor thread: the PC/SC context, the status
// call over the reader table and the arrival watch, and what each entry's
// new state means for its serial slot. Portable: the host build tests it
// against the PC/SC double; the timer loop around it is in
// MonitorThread.cpp.
#include "Monitor.h"

#include <string.h>

#include "../events/Events.h"
#include "CardSlot.h"

SCARDCONTEXT pcscContext;
SCARDHANDLE currentCard;

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

long readerCheckRequested;
// The readers of a context's first listing are not told one by one: the
// start or the service found tells their count.
bool firstListingOfContext;
bool serviceWasLost;

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
void takeEveryReaderAfresh(bool countsRestart)
{
    for (uint32_t i = 0; i < readerTable.count; i++) {
        readerTable.entries[i].dwCurrentState = SCARD_STATE_UNAWARE;
        if (readerTable.entries[i].pvUserData) {
            readerTable.slots[i].needsCheck = true;
            readerTable.slots[i].countsRestarted |= countsRestart;
            readerTable.slots[i].retryCycle = readerTable.cycle;
        }
    }
    readerTable.arrivalState = 0;
    readerTable.listingDue = true;
}

// Gives the dead context back, leaving pcscContext 0 so that the next
// cycle establishes a new one and takes every reader afresh on it.
void giveBackDeadContext(LONG result)
{
    reportServiceLost(result);
    serviceWasLost = true;
    const SCARDCONTEXT dead = takePcscContext();
    if (dead)
        SCardReleaseContext(dead);
}

// Once a cycle while the service is away: pcscContext stays 0 until one
// is had.
LONG establishNewContext()
{
    SCARDCONTEXT fresh = 0;
    const LONG result = SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &fresh);
    if (result == SCARD_S_SUCCESS)
        __atomic_store_n(&pcscContext, fresh, __ATOMIC_SEQ_CST);
    return result;
}

LONG relistIfDue()
{
    if (!readerTable.listingDue)
        return SCARD_S_SUCCESS;
    const LONG result = relistReaders(!firstListingOfContext);
    if (result != SCARD_S_SUCCESS)
        return result;
    readerTable.listingDue = false;
    readerTable.cyclesSinceListing = 0;
    if (firstListingOfContext && serviceWasLost)
        reportServiceFound(readerTable.count);
    firstListingOfContext = false;
    serviceWasLost = false;
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
void noteArrivals(DWORD event)
{
    if ((event & SCARD_STATE_CHANGED) || (event >> 16) != (readerTable.arrivalState >> 16))
        readerTable.listingDue = true;
    readerTable.arrivalState = watchedState(event) & ~(DWORD)SCARD_STATE_CHANGED;
}

// Without a count in the arrival watch, the readers are listed again every
// few cycles.
void noteCycleWithoutListing()
{
    if ((readerTable.arrivalState >> 16) == 0 &&
        ++readerTable.cyclesSinceListing >= ListingFallbackCycles)
        readerTable.listingDue = true;
}

// One status call over the table's entries and the arrival watch, on a copy
// so that the watch needs no room in the table.
LONG callStatus()
{
    SCARD_READERSTATEA states[ReaderTableSize + 1];
    const uint32_t count = readerTable.count;
    memcpy(states, readerTable.entries, count * sizeof states[0]);
    memset(&states[count], 0, sizeof states[count]);
    states[count].szReader = ArrivalWatchName;
    states[count].dwCurrentState = readerTable.arrivalState;
    const LONG result = SCardGetStatusChangeA(pcscContext, StatusTimeout, states, count + 1);
    if (result != SCARD_S_SUCCESS)
        return result;
    for (uint32_t i = 0; i < count; i++) {
        SCARD_READERSTATEA &entry = readerTable.entries[i];
        entry.dwEventState = states[i].dwEventState;
        entry.cbAtr = states[i].cbAtr <= sizeof entry.rgbAtr ? states[i].cbAtr : 0;
        memcpy(entry.rgbAtr, states[i].rgbAtr, sizeof entry.rgbAtr);
    }
    noteArrivals(states[count].dwEventState);
    return result;
}

// The card in a Taken slot was replaced between two calls when the
// reader's event count moved by two or more since the card was taken,
// whatever other state the reader shows now. After the counts restarted,
// the count is the one of the first report, and the card's serial tells.
// Where the platform keeps no count it stays 0 and nothing tells.
bool cardWasSwapped(uint32_t index, DWORD event, bool firstReport)
{
    SlotState &slot = readerTable.slots[index];
    if (!readerTable.entries[index].pvUserData || !(event & SCARD_STATE_PRESENT))
        return false;
    if (slot.countsRestarted && firstReport) {
        slot.cardCount = event >> 16;
        slot.countsRestarted = false;
        return false;
    }
    return (((event >> 16) - slot.cardCount) & 0xFFFF) >= 2;
}

// This program's own rule: a reader that disappears (unplugged with the
// card in it) takes the card with it, so its slot's removal runs and the
// slot becomes Free; an unknown reader has left the system, and its entry
// is freed at the next listing, which comes at the end of this cycle.
void examineEntry(uint32_t index)
{
    SCARD_READERSTATEA &entry = readerTable.entries[index];
    const DWORD event = entry.dwEventState;
    const DWORD low = event & EventMask;
    const bool firstReport = entry.dwCurrentState == SCARD_STATE_UNAWARE;
    entry.dwCurrentState = watchedState(event);
    const bool changed = (event & SCARD_STATE_CHANGED) != 0;
    if (changed && (event & SCARD_STATE_UNKNOWN)) {
        releaseSlot(index);
        readerTable.listingDue = true;
    } else if ((changed && (event & SCARD_STATE_UNAVAILABLE)) || low == RemovalEvent) {
        releaseSlot(index);
    } else if (cardWasSwapped(index, event, firstReport)) {
        releaseSlot(index);
        if (low == InsertionEvent)
            takeCard(index);
    } else if (low == InsertionEvent) {
        takeCard(index);
    }
}

// A card waits for a read only while the reader last showed it present.
void retryPendingCards()
{
    for (uint32_t i = 0; i < readerTable.count; i++)
        if (readerTable.entries[i].dwCurrentState & SCARD_STATE_PRESENT)
            retryPendingCard(i);
}

} // namespace

// The main thread gives the context back at its end while the monitor
// thread may be renewing it: whoever takes it first releases it, so that it
// is released once.
SCARDCONTEXT takePcscContext()
{
    return __atomic_exchange_n(&pcscContext, (SCARDCONTEXT)0, __ATOMIC_SEQ_CST);
}

void requestReaderCheck()
{
    __atomic_store_n(&readerCheckRequested, 1L, __ATOMIC_SEQ_CST);
}

LONG pollReaders()
{
    if (!pcscContext) {
        const LONG established = establishNewContext();
        if (established != SCARD_S_SUCCESS)
            return established;
        takeEveryReaderAfresh(true);
        firstListingOfContext = true;
    }
    readerTable.cycle++;
    if (__atomic_exchange_n(&readerCheckRequested, 0L, __ATOMIC_SEQ_CST))
        takeEveryReaderAfresh(false);
    LONG result = relistIfDue();
    reportStarted(readerTable.count);
    if (!contextIsGone(result))
        result = callStatus();
    if (contextIsGone(result)) {
        giveBackDeadContext(result);
        return result;
    }
    noteCycleWithoutListing();
    if (result == SCARD_S_SUCCESS)
        for (uint32_t i = 0; i < readerTable.count; i++)
            examineEntry(i);
    // pcsc-lite fails the whole call while a watched reader is missing.
    if (result == SCARD_E_UNKNOWN_READER)
        readerTable.listingDue = true;
    const LONG listed = relistIfDue();
    if (contextIsGone(listed)) {
        giveBackDeadContext(listed);
        return result;
    }
    retryPendingCards();
    return result;
}

// The card slots' work. A slot's serial is read when the card is taken and
// kept in the slot; until it is, nothing is handed to the store for it.
#include "CardSlot.h"

#include <string.h>

#include <new>

#include "../card/CardFamily.h"
#include "../events/Events.h"
#include "../store/Store.h"

namespace {

const uint8_t LongestRetryGap = 60; // cycles

DWORD eventCount(DWORD state)
{
    return (state >> 16) & 0xFFFF;
}

bool countMovedTwice(DWORD count, DWORD event)
{
    return ((eventCount(event) - count) & 0xFFFF) >= 2;
}

bool isTaken(const CardSlot &slot)
{
    return slot.status != SlotFree;
}

// A card that could not be read is tried again after 1, 2, 4 ... cycles,
// at most 60 apart, for as long as it stays in the reader.
void scheduleRetry(CardSlot &slot, uint32_t cycle, LONG result)
{
    if (slot.retryGap == 0)
        slot.retryGap = 1;
    slot.retryCycle = cycle + slot.retryGap;
    slot.retryGap = slot.retryGap >= LongestRetryGap / 2 ? LongestRetryGap : 2 * slot.retryGap;
    slot.whyUnread = result == SCARD_E_SHARING_VIOLATION ? UnreadHeldExclusively : UnreadNotAnswering;
}

void markRead(const CardSlots &table, uint32_t index, const char *serial)
{
    CardSlot &slot = table.slots[index];
    slot.status = SlotRegistered;
    slot.whyUnread = UnreadNone;
    slot.cardCount = eventCount(table.entries[index].dwCurrentState);
    slot.countsRestarted = false;
    slot.retryGap = 0;
    slot.retryCycle = 0;
    memcpy(slot.serial, serial, sizeof slot.serial);
}

// Connects to the card in the reader and reads its chip serial. Answers the
// open session, or null with nothing left open and `result` the failure.
CardSession *openCard(SCARDCONTEXT context, const SCARD_READERSTATEA &entry, LONG &result)
{
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    result = SCardConnectA(context, entry.szReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &card,
                           &protocol);
    if (result != SCARD_S_SUCCESS) {
        noteCardStopped(CardStepConnection, result, 0);
        return NULL;
    }
    CardSession *session = new (std::nothrow) CardSession(card, kindOfAtr(entry.rgbAtr));
    if (session) {
        if (session->readSerial())
            return session;
        noteCardStopped(CardStepSerial, session->lastResult, session->statusWord);
        result = session->lastResult != SCARD_S_SUCCESS ? session->lastResult : SCARD_E_CARD_UNSUPPORTED;
        delete session;
    }
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    return NULL;
}

void closeCard(CardSession *session)
{
    const SCARDHANDLE card = session->cardHandle;
    delete session;
    SCardDisconnect(card, SCARD_LEAVE_CARD);
}

bool cardIsPending(const CardSlot &slot)
{
    return slot.status == SlotUnread || slot.status == SlotChecking;
}

bool retryIsDue(const CardSlots &table, uint32_t index)
{
    const CardSlot &slot = table.slots[index];
    return cardIsPending(slot) && (int32_t)(table.cycle - slot.retryCycle) >= 0;
}

// A card sits in one reader: read in this one, it is most likely no longer
// the card of another slot registered under its serial (it moved between
// two polls, or while that slot's reader was unplugged and plugged back,
// which nothing tells). That slot checks its card at once, as after a
// sleep: a removal there is not this card's, and this card's removal here
// is no longer kept back for that slot.
void checkOtherSlotsNaming(const CardSlots &table, uint32_t index, const char *serial)
{
    for (uint32_t i = 0; i < table.count; i++) {
        CardSlot &other = table.slots[i];
        if (i != index && other.status == SlotRegistered && strcmp(other.serial, serial) == 0) {
            other.status = SlotChecking;
            other.retryCycle = table.cycle;
        }
    }
}

// Reads the serial into the slot and registers the card's certificates. A
// card that cannot be read is told once for its insertion, not at every
// attempt.
void readAndRegister(const CardSlots &table, uint32_t index)
{
    const SCARD_READERSTATEA &entry = table.entries[index];
    CardSlot &slot = table.slots[index];
    beginCardReport();
    LONG result;
    CardSession *session = openCard(table.context, entry, result);
    if (!session) {
        scheduleRetry(slot, table.cycle, result);
        if (!slot.failureTold)
            reportCardInserted(entry.szReader, "");
        slot.failureTold = true;
        return;
    }
    markRead(table, index, session->serial);
    checkOtherSlotsNaming(table, index, slot.serial);
    const unsigned added = registerCardCertificates(session);
    slot.certificates = added < 0xFFFF ? (uint16_t)added : 0xFFFF;
    closeCard(session);
    reportCardInserted(entry.szReader, slot.serial);
}

// After the counts started afresh, only a serial that is read and differs
// makes the card another one: its predecessor's certificates go and the
// card is taken anew. A card that cannot be read keeps them for now.
void checkCard(const CardSlots &table, uint32_t index)
{
    CardSlot &slot = table.slots[index];
    LONG result;
    CardSession *session = openCard(table.context, table.entries[index], result);
    if (!session) {
        scheduleRetry(slot, table.cycle, result);
        return;
    }
    char serial[SerialTextCapacity];
    memcpy(serial, session->serial, sizeof serial);
    closeCard(session);
    if (strcmp(serial, slot.serial) == 0) {
        markRead(table, index, serial);
        return;
    }
    releaseSlot(table, index);
    takeCard(table, index);
}

// A card moved to another reader between two cycles may be taken there
// before its old slot is released: its certificates stay for that slot. A
// slot still waiting to check its card does not count: the card it names
// may be the one leaving.
bool takenInAnotherSlot(const CardSlots &table, uint32_t index, const char *serial)
{
    for (uint32_t i = 0; i < table.count; i++)
        if (i != index && table.slots[i].status == SlotRegistered &&
            strcmp(table.slots[i].serial, serial) == 0)
            return true;
    return false;
}

// The card's certificates are gone: a slot still waiting to check the same
// serial reads its card afresh, and registers it if it is that card, without
// waiting out the gap its failed checks had grown.
void forgetInOtherSlots(const CardSlots &table, uint32_t index, const char *serial)
{
    for (uint32_t i = 0; i < table.count; i++) {
        CardSlot &other = table.slots[i];
        if (i != index && isTaken(other) && strcmp(other.serial, serial) == 0) {
            other.status = SlotUnread;
            other.serial[0] = '\0';
            other.retryCycle = table.cycle;
        }
    }
}

} // namespace

void clearSlot(CardSlot &slot)
{
    memset(&slot, 0, sizeof slot);
}

void moveSlotsDown(CardSlot *slots, uint32_t index, uint32_t later)
{
    memmove(&slots[index], &slots[index + 1], later * sizeof slots[0]);
    clearSlot(slots[index + later]);
}

bool cardWasSwapped(const CardSlot &slot, const SCARD_READERSTATEA &entry, DWORD previous,
                    bool firstReport)
{
    const DWORD event = entry.dwEventState;
    if (!isTaken(slot) || !(event & SCARD_STATE_PRESENT))
        return false;
    // An answer to reset of no family is another card's, even where the
    // count reads as before (a reader plugged back between two polls). No
    // answer at all tells nothing: a card that stopped answering shows none.
    if (entry.cbAtr > 0 && !isFamilyAtr(entry.rgbAtr, entry.cbAtr))
        return true;
    if (firstReport)
        return !slot.countsRestarted && countMovedTwice(slot.cardCount, event);
    return countMovedTwice(slot.cardCount, event) || countMovedTwice(eventCount(previous), event);
}

void noteReport(const CardSlots &table, uint32_t index, DWORD event, bool firstReport)
{
    CardSlot &slot = table.slots[index];
    if (!isTaken(slot) || !slot.countsRestarted || !firstReport || !(event & SCARD_STATE_PRESENT))
        return;
    slot.cardCount = eventCount(event);
    slot.countsRestarted = false;
}

void takeCard(const CardSlots &table, uint32_t index)
{
    const SCARD_READERSTATEA &entry = table.entries[index];
    CardSlot &slot = table.slots[index];
    if (isTaken(slot))
        return;
    clearSlot(slot);
    if (!isFamilyAtr(entry.rgbAtr, entry.cbAtr)) {
        slot.whyUnread = UnreadNotOfTheFamily;
        return;
    }
    slot.status = SlotUnread;
    slot.family = kindOfAtr(entry.rgbAtr);
    slot.cardCount = eventCount(entry.dwCurrentState);
    readAndRegister(table, index);
}

void noteUnreadable(const CardSlots &table, uint32_t index, UnreadReason reason)
{
    CardSlot &slot = table.slots[index];
    if (!isTaken(slot))
        slot.whyUnread = reason;
}

void releaseSlot(const CardSlots &table, uint32_t index)
{
    CardSlot &slot = table.slots[index];
    if (slot.status == SlotRegistered || slot.status == SlotChecking) {
        if (!takenInAnotherSlot(table, index, slot.serial)) {
            removeCardCertificates(slot.serial);
            reportCardRemoved(table.entries[index].szReader, slot.serial);
            forgetInOtherSlots(table, index, slot.serial);
        }
    }
    clearSlot(slot);
}

void checkEveryCardAfresh(const CardSlots &table, bool countsRestart)
{
    for (uint32_t i = 0; i < table.count; i++) {
        CardSlot &slot = table.slots[i];
        if (!isTaken(slot))
            continue;
        if (slot.status == SlotRegistered)
            slot.status = SlotChecking;
        slot.countsRestarted |= countsRestart;
        slot.retryCycle = table.cycle;
    }
}

bool anyRetryDue(const CardSlots &table)
{
    for (uint32_t i = 0; i < table.count; i++)
        if (retryIsDue(table, i))
            return true;
    return false;
}

void retryPendingCard(const CardSlots &table, uint32_t index)
{
    const CardSlot &slot = table.slots[index];
    if (!retryIsDue(table, index))
        return;
    // After the counts started afresh the reader may hold a card of another
    // family, which is no card of the slot's.
    const SCARD_READERSTATEA &entry = table.entries[index];
    if (!isFamilyAtr(entry.rgbAtr, entry.cbAtr)) {
        releaseSlot(table, index);
        return;
    }
    if (slot.status == SlotUnread)
        readAndRegister(table, index);
    else
        checkCard(table, index);
}

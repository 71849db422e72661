// The serial slot's work. The slot's text (pvUserData) is allocated when
// the card is accepted and holds the card serial once it has been read;
// until then it is empty, and nothing is handed to the store for it.
#include "CardSlot.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "../card/CardFamily.h"
#include "../events/Events.h"
#include "../store/Store.h"

namespace {

const uint8_t LongestRetryGap = 60; // cycles

// The one platform difference of the monitor: two upper-case hexadecimal
// digits of one octet and a NUL, written at `text`.
void writeHexOctet(char *text, uint8_t octet)
{
#ifdef _WIN32
    wsprintfA(text, "%02hX", (unsigned short)octet);
#else
    snprintf(text, 3, "%02hX", (unsigned short)octet);
#endif
}

void writeSerial(char *text, const uint8_t *answer, const FamilyLayout &family)
{
    for (uint32_t i = 0; i < family.serialBytes; i++)
        writeHexOctet(text + 2 * i, answer[family.serialOffset + i]);
}

DWORD eventCount(DWORD state)
{
    return (state >> 16) & 0xFFFF;
}

// A card that could not be read is tried again after 1, 2, 4 ... cycles,
// at most 60 apart, for as long as it stays in the reader.
void scheduleRetry(SlotState &slot, uint32_t cycle)
{
    if (slot.retryGap == 0)
        slot.retryGap = 1;
    slot.retryCycle = cycle + slot.retryGap;
    slot.retryGap = slot.retryGap >= LongestRetryGap / 2 ? LongestRetryGap : 2 * slot.retryGap;
}

void markRead(const CardSlots &table, uint32_t index)
{
    SlotState &slot = table.slots[index];
    slot.cardCount = eventCount(table.entries[index].dwCurrentState);
    slot.needsCheck = false;
    slot.countsRestarted = false;
    slot.retryGap = 0;
    slot.retryCycle = 0;
}

// Connects to the card in the reader and reads its chip serial into
// `serial` (the text size of the kind in CardKind). Answers the open
// session, or null with nothing left open.
CardSession *openCard(SCARDCONTEXT context, const char *reader, char *serial)
{
    const FamilyLayout &family = familyLayout(CardKind);
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    const LONG connected =
        SCardConnectA(context, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &card, &protocol);
    if (connected != SCARD_S_SUCCESS) {
        noteCardStopped(CardStepConnection, connected, 0);
        return NULL;
    }
    CardSession *session = new (std::nothrow) CardSession(card);
    if (session) {
        uint8_t answer[ChipInfoKept];
        if (session->getChipInfo(answer, family.answerLength) == SCARD_S_SUCCESS &&
            session->statusWord == StatusSuccess) {
            writeSerial(serial, answer, family);
            return session;
        }
        noteCardStopped(CardStepSerial, session->lastResult, session->statusWord);
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

// Whether the slot holds a card that still waits for a read.
bool cardIsPending(const CardSlots &table, uint32_t index)
{
    const char *serial = (const char *)table.entries[index].pvUserData;
    return serial && (serial[0] == '\0' || table.slots[index].needsCheck);
}

// Reads the serial into the slot and registers the card's certificates.
void readAndRegister(const CardSlots &table, uint32_t index)
{
    SCARD_READERSTATEA &entry = table.entries[index];
    CardKind = kindOfAtr(entry.rgbAtr);
    char *serial = (char *)entry.pvUserData;
    beginCardReport();
    CardSession *session = openCard(table.context, entry.szReader, serial);
    if (!session) {
        scheduleRetry(table.slots[index], table.cycle);
        reportCardInserted(entry.szReader, serial);
        return;
    }
    markRead(table, index);
    registerCardCertificates(session);
    closeCard(session);
    reportCardInserted(entry.szReader, serial);
}

// After the counts started afresh, only a serial that is read and differs
// makes the card another one: its predecessor's certificates go and the
// card is taken anew. A card that cannot be read keeps them for now.
void checkCard(const CardSlots &table, uint32_t index)
{
    SCARD_READERSTATEA &entry = table.entries[index];
    CardKind = kindOfAtr(entry.rgbAtr);
    char serial[SerialTextCapacity];
    CardSession *session = openCard(table.context, entry.szReader, serial);
    if (!session) {
        scheduleRetry(table.slots[index], table.cycle);
        return;
    }
    closeCard(session);
    if (strcmp(serial, (const char *)entry.pvUserData) == 0) {
        markRead(table, index);
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
    for (uint32_t i = 0; i < table.count; i++) {
        const char *other = (const char *)table.entries[i].pvUserData;
        if (i != index && other && !table.slots[i].needsCheck && strcmp(other, serial) == 0)
            return true;
    }
    return false;
}

// The card's certificates are gone: a slot still waiting to check the same
// serial reads its card afresh, and registers it if it is that card, without
// waiting out the gap its failed checks had grown.
void forgetInOtherSlots(const CardSlots &table, uint32_t index, const char *serial)
{
    for (uint32_t i = 0; i < table.count; i++) {
        char *other = (char *)table.entries[i].pvUserData;
        if (i != index && other && strcmp(other, serial) == 0) {
            other[0] = '\0';
            table.slots[i].retryCycle = table.cycle;
        }
    }
}

} // namespace

void takeCard(const CardSlots &table, uint32_t index)
{
    SCARD_READERSTATEA &entry = table.entries[index];
    // The family is decided from the first 20 octets whatever cbAtr says,
    // before the card is accepted or refused.
    CardKind = kindOfAtr(entry.rgbAtr);
    if (entry.pvUserData || !isFamilyAtr(entry.rgbAtr, entry.cbAtr))
        return;
    // Room for either family's serial: the card read at the end may be
    // another one, swapped in while the counts started afresh.
    char *serial = (char *)malloc(SerialTextCapacity);
    if (!serial)
        return;
    serial[0] = '\0';
    entry.pvUserData = serial;
    memset(&table.slots[index], 0, sizeof table.slots[index]);
    table.slots[index].cardCount = eventCount(entry.dwCurrentState);
    readAndRegister(table, index);
}

void releaseSlot(const CardSlots &table, uint32_t index)
{
    SCARD_READERSTATEA &entry = table.entries[index];
    char *serial = (char *)entry.pvUserData;
    if (!serial)
        return;
    if (serial[0] != '\0' && !takenInAnotherSlot(table, index, serial)) {
        removeCardCertificates(serial);
        reportCardRemoved(entry.szReader, serial);
        forgetInOtherSlots(table, index, serial);
    }
    free(serial);
    entry.pvUserData = NULL;
    memset(&table.slots[index], 0, sizeof table.slots[index]);
}

void retryPendingCard(const CardSlots &table, uint32_t index)
{
    if (!cardIsPending(table, index))
        return;
    if ((int32_t)(table.cycle - table.slots[index].retryCycle) < 0)
        return;
    // After the counts started afresh the reader may hold a card of another
    // family, which is no card of the slot's.
    const SCARD_READERSTATEA &entry = table.entries[index];
    if (!isFamilyAtr(entry.rgbAtr, entry.cbAtr)) {
        releaseSlot(table, index);
        return;
    }
    if (((const char *)entry.pvUserData)[0] == '\0')
        readAndRegister(table, index);
    else
        checkCard(table, index);
}

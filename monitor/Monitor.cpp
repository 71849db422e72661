// The reader table, the two card families and one polling cycle of the
// monitor thread: the status call over the table, then each entry's
// insertion or removal. Portable: the host build tests it against the PC/SC
// double; the timer loop around it is in MonitorThread.cpp.
#include "Monitor.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "../events/Events.h"
#include "../store/Store.h"

ReaderTable readerTable;
SCARDCONTEXT pcscContext;
SCARDHANDLE currentCard;

namespace {

const DWORD StatusTimeout = 900; // milliseconds
const DWORD EventMask = 0xFFFF; // only the low 16 bits of an event state count
const DWORD InsertionEvent = SCARD_STATE_CHANGED | SCARD_STATE_PRESENT; // 0x0022
const DWORD RemovalEvent = SCARD_STATE_CHANGED | SCARD_STATE_EMPTY; // 0x0012
const DWORD ReaderGoneStates = SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE;

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

char *copyText(const char *text)
{
    const size_t size = strlen(text) + 1;
    char *copy = (char *)malloc(size);
    if (copy)
        memcpy(copy, text, size);
    return copy;
}

// This program's own rule: a reader that disappears (unplugged with the
// card in it) takes the card with it, so its slot's removal runs and the
// slot becomes Free; if the reader comes back with the card, the next
// insertion event registers it again.
bool readerGone(DWORD event)
{
    return (event & SCARD_STATE_CHANGED) && (event & ReaderGoneStates);
}

// The card serial text of a chip-information answer.
void writeSerial(char *text, const uint8_t *answer, const FamilyLayout &layout)
{
    for (uint32_t i = 0; i < layout.serialBytes; i++)
        writeHexOctet(text + 2 * i, answer[layout.serialOffset + i]);
}

// Whether the card is one of the two families; the 21-byte test comes
// first, and no ATR passes both.
bool isFamilyCard(const SCARD_READERSTATEA &entry, bool atr20)
{
    return (entry.cbAtr == 21 && memcmp(entry.rgbAtr, Atr21Prefix, sizeof Atr21Prefix) == 0) ||
           (entry.cbAtr == 20 && atr20);
}

// A Taken slot whose serial was never read holds an empty text, which is
// never handed to the store.
void handleRemoval(SCARD_READERSTATEA &entry)
{
    char *serial = (char *)entry.pvUserData;
    if (!serial)
        return;
    if (serial[0] != '\0') {
        removeCardCertificates(serial);
        reportCardRemoved(entry.szReader, serial);
    }
    free(serial);
    entry.pvUserData = NULL;
}

void handleInsertion(SCARD_READERSTATEA &entry)
{
    // The family is decided from the first 20 bytes whatever cbAtr says, at
    // every insertion event, before the card is accepted or refused.
    const bool atr20 = atrMatches(Atr20Pattern, sizeof Atr20Pattern, entry.rgbAtr,
                                  sizeof Atr20Pattern, Atr20Mask);
    CardKind = atr20 ? Atr20 : Atr21;
    const FamilyLayout &layout = familyLayout(atr20 ? Atr20 : Atr21);

    if (entry.pvUserData)
        return;
    if (!isFamilyCard(entry, atr20))
        return;

    char *serial = (char *)malloc(layout.serialTextSize);
    if (!serial)
        return;
    serial[0] = '\0';
    entry.pvUserData = serial;
    beginCardReport();

    currentCard = 0;
    DWORD protocol = 0;
    const LONG connected = SCardConnectA(pcscContext, entry.szReader, SCARD_SHARE_SHARED,
                                         SCARD_PROTOCOL_T0, &currentCard, &protocol);
    if (connected != SCARD_S_SUCCESS) {
        reportCardNotReadWhole(entry.szReader, serial, CardStepConnection, connected, 0);
        return;
    }

    CardSession *session = new (std::nothrow) CardSession(currentCard);
    if (session) {
        uint8_t answer[ChipInfoKept];
        if (session->getChipInfo(answer, layout.answerLength) == SCARD_S_SUCCESS &&
            session->statusWord == StatusSuccess) {
            writeSerial(serial, answer, layout);
            registerCardCertificates(session);
        } else {
            noteCardStopped(CardStepSerial, session->lastResult, session->statusWord);
        }
        delete session;
    }
    if (currentCard != 0)
        SCardDisconnect(currentCard, SCARD_LEAVE_CARD);
    reportCardInserted(entry.szReader, serial);
}

// Results of a status call after which the context is of no further use:
// the resource manager stopped or went away (pcsc-lite answers NO_SERVICE,
// or COMM_ERROR when it ended during the wait) or no longer knows the
// context, as after it was started again.
bool contextIsGone(LONG result)
{
    return result == SCARD_E_SERVICE_STOPPED || result == SCARD_E_NO_SERVICE ||
           result == SCARD_E_INVALID_HANDLE || result == SCARD_F_COMM_ERROR;
}

// Gives the dead context back, leaving pcscContext 0 so that the next
// cycle establishes a new one. Every entry is set back to unaware: the
// first status call on the new context reports each reader as it is then.
void giveBackDeadContext()
{
    const SCARDCONTEXT dead = takePcscContext();
    if (dead)
        SCardReleaseContext(dead);
    for (uint32_t i = 0; i < readerTable.count; i++)
        readerTable.entries[i].dwCurrentState = SCARD_STATE_UNAWARE;
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

// Reads the serial of the card now in a Taken slot's reader: answers true
// only when it is the slot's, so that a card that cannot be read counts as
// another.
bool sameCardAsSlot(const SCARD_READERSTATEA &entry)
{
    const char *kept = (const char *)entry.pvUserData;
    const bool atr20 = atrMatches(Atr20Pattern, sizeof Atr20Pattern, entry.rgbAtr,
                                  sizeof Atr20Pattern, Atr20Mask);
    const FamilyLayout &layout = familyLayout(atr20 ? Atr20 : Atr21);
    if (!isFamilyCard(entry, atr20) || strlen(kept) != layout.serialTextSize - 1)
        return false;
    currentCard = 0;
    DWORD protocol = 0;
    if (SCardConnectA(pcscContext, entry.szReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0,
                      &currentCard, &protocol) != SCARD_S_SUCCESS)
        return false;
    bool same = false;
    CardSession *session = new (std::nothrow) CardSession(currentCard);
    if (session) {
        uint8_t answer[ChipInfoKept];
        char serial[SerialTextCapacity];
        if (session->getChipInfo(answer, layout.answerLength) == SCARD_S_SUCCESS &&
            session->statusWord == StatusSuccess) {
            writeSerial(serial, answer, layout);
            same = strcmp(serial, kept) == 0;
        }
        delete session;
    }
    SCardDisconnect(currentCard, SCARD_LEAVE_CARD);
    return same;
}

// An insertion event on a Taken slot is another card when the reader's
// event count (the high 16 bits) moved by two or more since `seen`, the
// state the monitor saw last: the first card left and another came in
// between two calls. Where the platform keeps no count (it stays 0) nothing
// tells, and the slot is kept. When nothing was seen (the context was
// renewed) or an unknown reader (it was unplugged), the count started
// afresh and the serial tells.
bool cardWasReplaced(const SCARD_READERSTATEA &entry, DWORD seen)
{
    if (!entry.pvUserData)
        return false;
    if (seen == SCARD_STATE_UNAWARE || (seen & SCARD_STATE_UNKNOWN))
        return !sameCardAsSlot(entry);
    const DWORD seenCount = (seen >> 16) & 0xFFFF;
    const DWORD count = (entry.dwEventState >> 16) & 0xFFFF;
    return ((count - seenCount) & 0xFFFF) >= 2;
}

} // namespace

// The main thread gives the context back at its end while the monitor
// thread may be renewing it: whoever takes it first releases it, so that it
// is released once.
SCARDCONTEXT takePcscContext()
{
    return __atomic_exchange_n(&pcscContext, (SCARDCONTEXT)0, __ATOMIC_SEQ_CST);
}

// Names past the 16th, and a name whose copy cannot be made, are not watched.
void fillReaderTable(const char *readers)
{
    for (const char *name = readers; *name != '\0' && readerTable.count < ReaderTableSize;
         name += strlen(name) + 1) {
        char *copy = copyText(name);
        if (!copy)
            continue;
        SCARD_READERSTATEA &entry = readerTable.entries[readerTable.count];
        entry.szReader = copy;
        entry.pvUserData = NULL;
        entry.dwCurrentState = SCARD_STATE_UNAWARE;
        readerTable.count++;
    }
}

LONG pollReaders()
{
    if (!pcscContext) {
        const LONG established = establishNewContext();
        if (established != SCARD_S_SUCCESS)
            return established;
    }
    // The states seen last, kept apart from the entries in case a status
    // call writes into dwCurrentState (some winscard replacements do).
    DWORD seen[ReaderTableSize];
    for (uint32_t i = 0; i < readerTable.count; i++)
        seen[i] = readerTable.entries[i].dwCurrentState;
    const LONG result = SCardGetStatusChangeA(pcscContext, StatusTimeout, readerTable.entries,
                                              readerTable.count);
    if (contextIsGone(result))
        giveBackDeadContext();
    if (result != SCARD_S_SUCCESS)
        return result;
    for (uint32_t i = 0; i < readerTable.count; i++) {
        SCARD_READERSTATEA &entry = readerTable.entries[i];
        const DWORD event = entry.dwEventState & EventMask;
        if (event == RemovalEvent || readerGone(event)) {
            handleRemoval(entry);
        } else if (event == InsertionEvent) {
            if (cardWasReplaced(entry, seen[i]))
                handleRemoval(entry);
            handleInsertion(entry);
        }
        entry.dwCurrentState = entry.dwEventState;
    }
    return result;
}

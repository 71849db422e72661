// The reader table, the two card families and one polling cycle of the
// monitor thread: the status call over the table, then each entry's
// insertion or removal. Portable: the host build tests it against the PC/SC
// double; the timer loop around it is in MonitorThread.cpp.
#include "Monitor.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "../store/Store.h"

ReaderTable readerTable;
SCARDCONTEXT pcscContext;
SCARDHANDLE currentCard;

const uint8_t Atr21Prefix[13] = {0x3B, 0xEF, 0x00, 0x00, 0x40, 0x14, 0x80,
                                 0x25, 0x56, 0x45, 0x4C, 0x4D, 0x4F};
const uint8_t Atr20Pattern[20] = {0x3B, 0x7F, 0x11, 0x00, 0x00, 0x00, 0x6A, 0x56, 0x45, 0x4C,
                                  0x4D, 0x4F, 0x02, 0x2C, 0x34, 0x02, 0x00, 0x03, 0x90, 0x00};
const uint8_t Atr20Mask[20] = {0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                               0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF};

namespace {

const DWORD StatusTimeout = 900; // milliseconds
const DWORD EventMask = 0xFFFF; // only the low 16 bits of an event state count
const DWORD InsertionEvent = SCARD_STATE_CHANGED | SCARD_STATE_PRESENT; // 0x0022
const DWORD RemovalEvent = SCARD_STATE_CHANGED | SCARD_STATE_EMPTY; // 0x0012
const DWORD ReaderGoneStates = SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE;

// What the card family decides: the chip-information answer length, where
// the serial lies in it, and the size of the serial text with its NUL.
struct KindLayout {
    uint32_t answerLength;
    uint32_t serialOffset;
    uint32_t serialBytes;
    uint32_t textSize;
};
const KindLayout Atr21Layout = {18, 10, 6, 13};
const KindLayout Atr20Layout = {17, 0, 7, 15};
const uint32_t AnswerCapacity = 18;

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

// A Taken slot whose serial was never read holds an empty text, which is
// never handed to the store.
void handleRemoval(SCARD_READERSTATEA &entry)
{
    char *serial = (char *)entry.pvUserData;
    if (!serial)
        return;
    if (serial[0] != '\0')
        removeCardCertificates(serial);
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
    const KindLayout &layout = atr20 ? Atr20Layout : Atr21Layout;

    if (entry.pvUserData)
        return;
    const bool accepted =
        (entry.cbAtr == 21 && memcmp(entry.rgbAtr, Atr21Prefix, sizeof Atr21Prefix) == 0) ||
        (entry.cbAtr == 20 && atr20);
    if (!accepted)
        return;

    char *serial = (char *)malloc(layout.textSize);
    if (!serial)
        return;
    serial[0] = '\0';
    entry.pvUserData = serial;

    currentCard = 0;
    DWORD protocol = 0;
    if (SCardConnectA(pcscContext, entry.szReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0,
                      &currentCard, &protocol) != SCARD_S_SUCCESS)
        return;

    CardSession *session = new (std::nothrow) CardSession(currentCard);
    if (session) {
        uint8_t answer[AnswerCapacity];
        if (session->getChipInfo(answer, layout.answerLength) == SCARD_S_SUCCESS &&
            session->statusWord == StatusSuccess) {
            for (uint32_t i = 0; i < layout.serialBytes; i++)
                writeHexOctet(serial + 2 * i, answer[layout.serialOffset + i]);
            registerCardCertificates(session);
        }
        delete session;
    }
    if (currentCard != 0)
        SCardDisconnect(currentCard, SCARD_LEAVE_CARD);
}

} // namespace

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

bool atrMatches(const uint8_t *pattern, uint32_t patternLength, const uint8_t *atr,
                uint32_t atrLength, const uint8_t *mask)
{
    if (patternLength != atrLength)
        return false;
    for (uint32_t i = 0; i < patternLength; i++)
        if ((pattern[i] & mask[i]) != (atr[i] & mask[i]))
            return false;
    return true;
}

LONG pollReaders()
{
    const LONG result = SCardGetStatusChangeA(pcscContext, StatusTimeout, readerTable.entries,
                                              readerTable.count);
    if (result != SCARD_S_SUCCESS)
        return result;
    for (uint32_t i = 0; i < readerTable.count; i++) {
        SCARD_READERSTATEA &entry = readerTable.entries[i];
        const DWORD event = entry.dwEventState & EventMask;
        if (event == RemovalEvent || readerGone(event))
            handleRemoval(entry);
        else if (event == InsertionEvent)
            handleInsertion(entry);
        entry.dwCurrentState = entry.dwEventState;
    }
    return result;
}

// The table of watched readers: one platform reader-state record for each,
// the serial slot of the card accepted in it, and the re-listing that makes
// the table follow the readers PC/SC knows as they arrive and leave.
#pragma once

#include <stdint.h>

#include "../card/CardSession.h"

const uint32_t ReaderTableSize = 16;

// What the monitor keeps of a Taken slot's card beside its serial text.
struct SlotState {
    DWORD cardCount; // the reader's event count (high 16 bits) when the card was taken
    bool needsCheck; // the counts started afresh or the machine slept: the card must show its serial again
    bool countsRestarted; // a new context: the event count the card was taken with no longer counts
    uint8_t retryGap; // cycles between attempts at a card that could not be read
    uint32_t retryCycle; // the cycle of the next attempt
};

// Entries are kept together from index 0; a reader that leaves gives its
// entry up and the ones after it move down.
struct ReaderTable {
    SCARD_READERSTATEA entries[ReaderTableSize];
    uint32_t count;
    SlotState slots[ReaderTableSize];
    DWORD arrivalState; // the arrival watch's event state seen last
    uint32_t cycle; // polling cycles with a context, counted from 1
    uint32_t cyclesSinceListing;
    bool listingDue;
};

extern ReaderTable readerTable;

// Names past the 16th, names already watched and a name whose copy cannot
// be made are not added.
void fillReaderTable(const char *readers);

// Lists the readers and makes the table follow the list: the card of each
// watched reader that is gone is removed and its entry freed, and each new
// reader takes a free entry; with `tell`, each arrival and departure is
// reported. An empty list is a success. Answers the listing's result; on a
// failure the table is left as it was.
LONG relistReaders(bool tell);

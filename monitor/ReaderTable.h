// The table of watched readers: one platform reader-state record for each,
// the serial slot of the card accepted in it, and the re-listing that makes
// the table follow the readers PC/SC knows as they arrive and leave.
#pragma once

#include <stdint.h>

#include "CardSlot.h"

const uint32_t ReaderTableSize = 16;

// Entries are kept together from index 0; a reader that leaves gives its
// entry up and the ones after it move down.
struct ReaderTable {
    SCARD_READERSTATEA entries[ReaderTableSize];
    uint32_t count;
    CardSlot slots[ReaderTableSize]; // the slot of entries[i] is slots[i]
    DWORD arrivalState; // the arrival watch's event state seen last
    uint32_t cycle; // polling cycles with a context, counted from 1
    uint32_t cyclesSinceListing;
    bool listingDue;
};

// The slot functions' view of the table, with the context its cards are
// connected on.
CardSlots slotsOf(ReaderTable &table, SCARDCONTEXT context);

// Names past the 16th, names already watched and a name whose copy cannot
// be made are not added.
void fillReaderTable(ReaderTable &table, const char *readers);

// Lists the readers and makes the table follow the list: the card of each
// watched reader that is gone is removed and its entry freed, and each new
// reader takes a free entry; with `tell`, each arrival and departure is
// reported. An empty list is a success. Answers the listing's result; on a
// failure the table is left as it was.
LONG relistReaders(ReaderTable &table, SCARDCONTEXT context, bool tell);

// The serial slot of one table entry: taking a card that entered the
// reader, telling whether the card now in the reader is the slot's, trying
// again a card that could not be read, and releasing the slot when the
// card leaves.
#pragma once

#include <stdint.h>

#include "../card/CardSession.h"

// What the monitor keeps of a Taken slot's card beside its serial text.
struct SlotState {
    DWORD cardCount; // the reader's event count (high 16 bits) when the card was taken
    bool needsCheck; // the counts started afresh or the machine slept: the card must show its serial again
    bool countsRestarted; // a new context: the event count the card was taken with no longer counts
    uint8_t retryGap; // cycles between attempts at a card that could not be read
    uint32_t retryCycle; // the cycle of the next attempt
};

// What the slot functions work on: the table's platform entries and its
// slots side by side (the slot of entries[i] is slots[i]), the context the
// cards are connected on and the cycle the retries are counted in.
struct CardSlots {
    SCARD_READERSTATEA *entries;
    SlotState *slots;
    uint32_t count;
    SCARDCONTEXT context;
    uint32_t cycle;
};

// A card of the families entered the entry's reader: the slot is taken and
// the card read and registered. A card that cannot be read keeps the slot
// and is tried again later (retryPendingCard).
void takeCard(const CardSlots &table, uint32_t index);

// The card left: its certificates are removed by the slot's serial and the
// slot becomes Free. A slot whose serial was never read removes nothing.
void releaseSlot(const CardSlots &table, uint32_t index);

// A Taken slot's card that is waiting for a read (its first, or the check
// after the counts started afresh) is tried when its turn has come.
void retryPendingCard(const CardSlots &table, uint32_t index);

// The serial slot of one table entry: taking a card that entered the
// reader, telling whether the card now in the reader is the slot's, trying
// again a card that could not be read, and releasing the slot when the
// card leaves.
#pragma once

#include <stdint.h>

#include "../card/CardSession.h"

// A card of the families entered the entry's reader: the slot is taken and
// the card read and registered. A card that cannot be read keeps the slot
// and is tried again later (retryPendingCard).
void takeCard(uint32_t index);

// The card left: its certificates are removed by the slot's serial and the
// slot becomes Free. A slot whose serial was never read removes nothing.
void releaseSlot(uint32_t index);

// A Taken slot's card that is waiting for a read (its first, or the check
// after the counts started afresh) is tried when its turn has come.
void retryPendingCard(uint32_t index);

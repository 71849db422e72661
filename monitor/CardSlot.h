// One record per table entry for the card in its reader: taking a card that
// entered the reader, telling whether the card now in the reader is the
// slot's, trying again a card that could not be read, and releasing the
// slot when the card leaves. Every write to a slot is in CardSlot.cpp.
#pragma once

#include <stdint.h>

#include "../card/CardSession.h"

enum SlotStatus : uint8_t {
    SlotFree, // no card of the families taken
    SlotUnread, // a card taken whose serial has not been read yet
    SlotRegistered, // the card's serial read and its certificates registered
    // Registered, but the counts started afresh or the machine slept: the
    // card must show its serial again; its certificates stay meanwhile.
    SlotChecking,
};

// Why the card in a reader is not registered, for the one who tells the user.
enum UnreadReason : uint8_t {
    UnreadNone,
    UnreadHeldExclusively, // another program holds it for itself
    UnreadMute, // the reader reports it mute
    UnreadNotAnswering, // its connection or chip read failed
    UnreadNotOfTheFamily,
};

struct CardSlot {
    SlotStatus status;
    UnreadReason whyUnread;
    CardKind family;
    bool countsRestarted; // a new context: the count the card was taken with no longer counts
    bool failureTold; // this insertion's failed read was told once already
    uint8_t retryGap; // cycles between attempts at a card that could not be read
    uint16_t certificates; // how many its registration added to the store, at most 65535
    DWORD cardCount; // the reader's event count (high 16 bits) when the card was taken
    uint32_t retryCycle; // the cycle of the next attempt
    char serial[SerialTextCapacity]; // empty until read
};

// What the slot functions work on: the table's platform entries and its
// slots side by side (the slot of entries[i] is slots[i]), the context the
// cards are connected on and the cycle the retries are counted in.
struct CardSlots {
    SCARD_READERSTATEA *entries;
    CardSlot *slots;
    uint32_t count;
    SCARDCONTEXT context;
    uint32_t cycle;
};

// A free slot, as a new entry gets it.
void clearSlot(CardSlot &slot);
// The slot at `index` goes and the `later` ones after it move down, as their
// entries do.
void moveSlotsDown(CardSlot *slots, uint32_t index, uint32_t later);

// Whether the card in a taken slot was replaced between two calls, whatever
// else the entry's event state shows: the reader reports an answer to reset
// of no family, or the reader's event count moved by two or more since the card
// was taken, or since `previous`, the state the last call reported (a count
// that falls back: the reader was plugged in anew). On the first report
// after the counts restarted the count tells nothing. Reads only.
bool cardWasSwapped(const CardSlot &slot, const SCARD_READERSTATEA &entry, DWORD previous,
                    bool firstReport);
// The first report after the counts restarted gives the count the card is
// held to from now on.
void noteReport(const CardSlots &table, uint32_t index, DWORD event, bool firstReport);

// A card of the families entered the entry's reader: the slot is taken and
// the card read and registered. A card that cannot be read keeps the slot
// and is tried again later (retryPendingCard). A card of no family leaves
// the slot free and says why.
void takeCard(const CardSlots &table, uint32_t index);
// A card present that is not read for now (held exclusively, mute).
void noteUnreadable(const CardSlots &table, uint32_t index, UnreadReason reason);

// The card left: its certificates are removed by the slot's serial and the
// slot becomes free. A slot whose serial was never read removes nothing.
void releaseSlot(const CardSlots &table, uint32_t index);

// Every taken slot's card must show its serial again (after a new context,
// with `countsRestart`, or a sleep).
void checkEveryCardAfresh(const CardSlots &table, bool countsRestart);

// A taken slot's card that is waiting for a read (its first, or the check
// after the counts started afresh) is tried when its turn has come.
void retryPendingCard(const CardSlots &table, uint32_t index);
// Whether any slot's card is to be tried now. Reads only.
bool anyRetryDue(const CardSlots &table);

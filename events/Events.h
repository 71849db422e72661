// The events VelmoMon writes to the Application log for administrators:
// what each carries, the notes the card and store layers leave while a card
// is handled, and the limit on how many of one kind a minute may bring.
// Portable: the log itself is reached through `eventSink`, which stays null
// (nothing is written) unless the start-up turned the log on.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The kinds, in the order of EventDefinitions.
enum EventKind {
    EventStarted,
    EventCardRegistered,
    EventCardRemoved,
    EventCardNotReadWhole,
    EventCertificateSkipped,
    EventStrandedCleaned,
    EventRecordDamaged,
    EventServiceLost,
    EventServiceFound,
    EventReaderArrived,
    EventReaderLeft,
    EventStoreCallFailed,
    EventKindCount,
    EventLeftOut = EventKindCount, // not limited: at most one per window a minute
};

// The log's own types, as ReportEvent takes them.
enum : uint16_t { EventError = 0x0001, EventWarning = 0x0002, EventInformation = 0x0004 };

// The message identifiers with their severities, as the message table has
// them; the low 16 bits are the event IDs an administrator sees.
enum : uint32_t {
    MessageStarted = 0x40000064,
    MessageCardRegistered = 0x40000065,
    MessageCardRemoved = 0x40000066,
    MessageCardNotReadWhole = 0x80000067,
    MessageCertificateSkipped = 0x80000068,
    MessageStrandedCleaned = 0x40000069,
    MessageRecordDamaged = 0x8000006A,
    MessageServiceLost = 0x8000006B,
    MessageServiceFound = 0x4000006C,
    MessageReaderArrived = 0x4000006D,
    MessageReaderLeft = 0x4000006E,
    MessageStoreCallFailed = 0xC000006F,
    MessageEventsLeftOut = 0x80000070,
};

struct EventDefinition {
    uint32_t messageId;
    uint16_t type;
};
extern const EventDefinition EventDefinitions[EventKindCount + 1];

// Each string is cut to EventStringLimit characters, so that all of an
// event's strings always fit.
const uint32_t EventStringCount = 6;
const uint32_t EventStringLimit = 340;
const uint32_t EventTextCapacity = EventStringCount * (EventStringLimit + 1);

// One event ready for the log: up to EventStringCount insertion strings,
// stored back to back with their NULs in `text`. Offsets rather than
// pointers, so that a copy of the record is whole.
struct EventRecord {
    uint32_t messageId;
    uint16_t type;
    uint16_t stringCount;
    uint16_t offsets[EventStringCount];
    char text[EventTextCapacity];
};

inline const char *eventString(const EventRecord &record, uint32_t index)
{
    return record.text + record.offsets[index];
}

// Where a card's reading stopped.
enum CardStep { CardStepConnection, CardStepSerial, CardStepDirectory, CardStepCertificate, CardStepKeyLookup };
enum SkipReason { SkipTooLarge, SkipDamagedStream };

// At most this many events of one kind in EventWindowMs (of a card not
// read whole: in one reader); the rest are counted and told in one
// EventLeftOut once the window has passed.
const uint32_t EventsPerWindow = 5;
const uint32_t EventWindowMs = 60000;

// Set by the start-up (or a test); null means the log is off. The clock
// answers milliseconds and may wrap.
extern void (*eventSink)(const EventRecord &record);
extern uint32_t (*eventClock)();
inline bool eventsEnabled() { return eventSink != NULL; }

// Forgets every note, count and window (for a new start and for tests).
void resetEvents();

// Everything below does nothing while the log is off.
// The program's version and architecture with the readers watched; told
// once, by the monitor's first listing of the readers, or after its first
// cycle when the smart-card service is not there.
void reportStarted(uint32_t readers);

// A card's insertion: begun when the monitor accepts the card, noted by
// the card and store layers on the way, told once at its end.
void beginCardReport();
void noteCardStopped(CardStep step, int32_t result, uint16_t statusWord);
void noteCertificateEntry();
void noteCertificateSkipped(SkipReason reason);
void noteCertificateAdded(const uint8_t *thumbprint, bool bound);
// Registered, or not read whole when a stop was noted.
void reportCardInserted(const char *reader, const char *serial);

// Deletions from "MY", told with the card's removal or the start-up cleanup.
void noteCertificateDeleted(const uint8_t *thumbprint);
void reportCardRemoved(const char *reader, const char *serial);
void reportStrandedCleaned();
void reportRecordDamaged(uint32_t values);

void reportServiceLost(int32_t result);
void reportServiceFound(uint32_t readers);
void reportReaderArrived(const char *reader);
void reportReaderLeft(const char *reader);
void reportStoreCallFailed(const char *call, uint32_t error);

// Tells the counts left out of windows that have passed; called once a
// polling cycle so that a flood that stopped is still told.
void reportLeftOutEvents();

#ifdef _WIN32
// Opens the event source and sets eventSink; when the log cannot be opened,
// nothing changes. The shell calls it once, when the administrator turned
// the events on.
void startEventLog();
#endif

// The events' insertion strings, the notes gathered while a card is handled
// and the per-kind limit. Everything here runs on the monitor thread, so
// the state is plain.
#include "Events.h"

#include <string.h>

#include "Version.h"

void (*eventSink)(const EventRecord &record) = NULL;
uint32_t (*eventClock)() = NULL;

namespace {

const char *const StepNames[] = {"enlace", "serie", "directorio", "certificado", "clave"};
const char *const SkipReasonNames[] = {"demasiado grande", "datos corruptos"};
const char UnknownSerial[] = "desconocido";

// Thumbprints named in one event; more are shown as "...".
const uint32_t ThumbprintsListed = 8;
const size_t ThumbprintListCapacity = ThumbprintsListed * 41 + 4;

struct ThumbprintList {
    uint32_t count;
    char text[ThumbprintListCapacity];
};

struct CardReport {
    bool active;
    uint32_t startMs;
    uint32_t lastAddedMs;
    uint32_t added;
    uint32_t bound;
    uint32_t entries;
    bool stopped;
    CardStep step;
    int32_t result;
    uint16_t statusWord;
    bool skipped;
    uint32_t skippedPosition;
    SkipReason skipReason;
    ThumbprintList thumbprints;
};

struct Window {
    bool open;
    uint32_t start;
    uint32_t written;
    uint32_t leftOut;
};

// Event 103 is limited per reader, so that a card that fails again and
// again in one reader never hides another reader's report. A reader's
// window is kept under its name as the event shows it; readers beyond the
// table (names that come and go within a minute) share its last window.
const size_t ReaderWindowCount = 17;

struct ReaderWindow {
    Window window;
    char reader[EventStringLimit + 1];
};

bool startTold;
CardReport card;
ThumbprintList deleted;
Window windows[EventKindCount];
ReaderWindow readerWindows[ReaderWindowCount];

uint32_t now() { return eventClock ? eventClock() : 0; }

// An empty string is written as "-": the log shows no gap, and Wine's trace
// of the strings leaves none out.
void addString(EventRecord &record, const char *text)
{
    if (record.stringCount == EventStringCount)
        return;
    size_t used = 0;
    if (record.stringCount) {
        const char *last = eventString(record, record.stringCount - 1);
        used = (size_t)(last - record.text) + strlen(last) + 1;
    }
    if (!text[0])
        text = "-";
    size_t length = strlen(text);
    if (length > EventStringLimit)
        length = EventStringLimit;
    memcpy(record.text + used, text, length);
    record.text[used + length] = '\0';
    record.offsets[record.stringCount++] = (uint16_t)used;
}

void addNumber(EventRecord &record, uint32_t number)
{
    char digits[11];
    size_t at = sizeof digits - 1;
    digits[at] = '\0';
    do {
        digits[--at] = (char)('0' + number % 10);
        number /= 10;
    } while (number);
    addString(record, digits + at);
}

// `prefix` and `digits` upper-case hexadecimal digits of `value`.
void addHex(EventRecord &record, const char *prefix, uint32_t value, int digits)
{
    char text[24];
    const size_t prefixLength = strlen(prefix);
    memcpy(text, prefix, prefixLength);
    for (int i = 0; i < digits; i++)
        text[prefixLength + i] = "0123456789ABCDEF"[(value >> (4 * (digits - 1 - i))) & 0xF];
    text[prefixLength + digits] = '\0';
    addString(record, text);
}

// A certificate whose thumbprint could not be had is counted, not named.
void addThumbprint(ThumbprintList &list, const uint8_t *thumbprint)
{
    size_t used = strlen(list.text);
    if (!thumbprint) {
        list.count++;
        return;
    }
    if (list.count++ >= ThumbprintsListed) {
        if (list.count == ThumbprintsListed + 1)
            memcpy(list.text + used, " ...", 5);
        return;
    }
    if (used)
        list.text[used++] = ' ';
    for (int i = 0; i < 20; i++) {
        list.text[used++] = "0123456789ABCDEF"[thumbprint[i] >> 4];
        list.text[used++] = "0123456789ABCDEF"[thumbprint[i] & 0xF];
    }
    list.text[used] = '\0';
}

void beginRecord(EventRecord &record, EventKind kind)
{
    record.messageId = EventDefinitions[kind].messageId;
    record.type = EventDefinitions[kind].type;
    record.stringCount = 0;
    record.text[0] = '\0';
}

// A PC/SC result when there is one, else the card's status word.
void addCardAnswer(EventRecord &record, int32_t result, uint16_t statusWord)
{
    if (result != 0)
        addHex(record, "PC/SC 0x", (uint32_t)result, 8);
    else
        addHex(record, "SW ", statusWord, 4);
}

// A window whose minute has passed closes, telling what it left out; a
// reader's window names the reader in a fourth string.
void closePassedWindow(Window &window, EventKind kind, const char *reader, uint32_t at)
{
    if (!window.open || at - window.start < EventWindowMs)
        return;
    window.open = false;
    if (!window.leftOut)
        return;
    EventRecord record;
    beginRecord(record, EventLeftOut);
    addNumber(record, EventDefinitions[kind].messageId & 0xFFFF);
    addNumber(record, window.leftOut);
    addNumber(record, EventWindowMs / 1000);
    if (reader)
        addString(record, reader);
    eventSink(record);
}

void reportLeftOutAt(uint32_t at)
{
    for (int kind = 0; kind < EventKindCount; kind++)
        closePassedWindow(windows[kind], (EventKind)kind, NULL, at);
    for (size_t i = 0; i < ReaderWindowCount; i++)
        closePassedWindow(readerWindows[i].window, EventCardNotReadWhole,
                          i + 1 < ReaderWindowCount ? readerWindows[i].reader : "", at);
}

// The reader's open window, else a closed one taken for it, else the
// shared one.
Window &readerWindow(const char *reader)
{
    ReaderWindow *closed = NULL;
    for (size_t i = 0; i + 1 < ReaderWindowCount; i++) {
        ReaderWindow &each = readerWindows[i];
        if (each.window.open && strncmp(each.reader, reader, EventStringLimit) == 0)
            return each.window;
        if (!each.window.open && !closed)
            closed = &each;
    }
    if (!closed)
        return readerWindows[ReaderWindowCount - 1].window;
    strncpy(closed->reader, reader, EventStringLimit);
    closed->reader[EventStringLimit] = '\0';
    return closed->window;
}

void submitTo(Window &window, const EventRecord &record, uint32_t at)
{
    if (!window.open) {
        window = Window();
        window.open = true;
        window.start = at;
    }
    if (window.written == EventsPerWindow) {
        window.leftOut++;
        return;
    }
    window.written++;
    eventSink(record);
}

void submit(EventKind kind, const EventRecord &record)
{
    const uint32_t at = now();
    reportLeftOutAt(at);
    submitTo(windows[kind], record, at);
}

// The events with the reader name alone or one number.
void reportText(EventKind kind, const char *text)
{
    if (!eventsEnabled())
        return;
    EventRecord record;
    beginRecord(record, kind);
    addString(record, text ? text : "");
    submit(kind, record);
}

void reportNumber(EventKind kind, uint32_t number)
{
    if (!eventsEnabled())
        return;
    EventRecord record;
    beginRecord(record, kind);
    addNumber(record, number);
    submit(kind, record);
}

const char *serialOrUnknown(const char *serial)
{
    return serial && serial[0] ? serial : UnknownSerial;
}

void reportNotReadWhole(const char *reader, const char *serial)
{
    EventRecord record;
    beginRecord(record, EventCardNotReadWhole);
    addString(record, reader);
    addString(record, serialOrUnknown(serial));
    addString(record, StepNames[card.step]);
    addCardAnswer(record, card.result, card.statusWord);
    addNumber(record, card.added);
    const uint32_t at = now();
    reportLeftOutAt(at);
    submitTo(readerWindow(reader), record, at);
}

void reportSkipped(const char *reader, const char *serial)
{
    EventRecord record;
    beginRecord(record, EventCertificateSkipped);
    addString(record, reader);
    addString(record, serialOrUnknown(serial));
    addNumber(record, card.skippedPosition);
    addString(record, SkipReasonNames[card.skipReason]);
    submit(EventCertificateSkipped, record);
}

} // namespace

const EventDefinition EventDefinitions[EventKindCount + 1] = {
    {MessageStarted, EventInformation},
    {MessageCardRegistered, EventInformation},
    {MessageCardRemoved, EventInformation},
    {MessageCardNotReadWhole, EventWarning},
    {MessageCertificateSkipped, EventWarning},
    {MessageStrandedCleaned, EventInformation},
    {MessageRecordDamaged, EventWarning},
    {MessageServiceLost, EventWarning},
    {MessageServiceFound, EventInformation},
    {MessageReaderArrived, EventInformation},
    {MessageReaderLeft, EventInformation},
    {MessageStoreCallFailed, EventError},
    {MessageEventsLeftOut, EventWarning},
};

void resetEvents()
{
    startTold = false;
    card = CardReport();
    deleted = ThumbprintList();
    for (Window &window : windows)
        window = Window();
    for (ReaderWindow &each : readerWindows)
        each = ReaderWindow();
}

void reportStarted(uint32_t readers)
{
    if (!eventsEnabled() || startTold)
        return;
    startTold = true;
    EventRecord record;
    beginRecord(record, EventStarted);
    addString(record, VELMO_VERSION);
    addString(record, sizeof(void *) == 8 ? "x64" : "x86");
    addNumber(record, readers);
    submit(EventStarted, record);
}

// While the log is off nothing of the card is noted: the report stays
// inactive, as resetEvents left it.
void beginCardReport()
{
    if (!eventsEnabled())
        return;
    card = CardReport();
    card.active = true;
    card.startMs = now();
    card.lastAddedMs = card.startMs;
}

// The first stop is the one told: later steps fail because of it.
void noteCardStopped(CardStep step, int32_t result, uint16_t statusWord)
{
    if (!card.active || card.stopped)
        return;
    card.stopped = true;
    card.step = step;
    card.result = result;
    card.statusWord = statusWord;
}

void noteCertificateEntry()
{
    card.entries++;
}

void noteCertificateSkipped(SkipReason reason)
{
    if (!card.active || card.skipped)
        return;
    card.skipped = true;
    card.skippedPosition = card.entries;
    card.skipReason = reason;
}

void noteCertificateAdded(const uint8_t *thumbprint, bool bound)
{
    if (!card.active)
        return;
    card.added++;
    card.bound += bound ? 1 : 0;
    card.lastAddedMs = now();
    addThumbprint(card.thumbprints, thumbprint);
}

void reportCardInserted(const char *reader, const char *serial)
{
    if (!card.active)
        return;
    card.active = false;
    if (!eventsEnabled())
        return;
    if (card.skipped)
        reportSkipped(reader, serial);
    if (card.stopped) {
        reportNotReadWhole(reader, serial);
        return;
    }
    EventRecord record;
    beginRecord(record, EventCardRegistered);
    addString(record, reader);
    addString(record, serialOrUnknown(serial));
    addNumber(record, card.added);
    addNumber(record, card.bound);
    addNumber(record, card.lastAddedMs - card.startMs);
    addString(record, card.thumbprints.text);
    submit(EventCardRegistered, record);
}

void noteCertificateDeleted(const uint8_t *thumbprint)
{
    if (eventsEnabled())
        addThumbprint(deleted, thumbprint);
}

void reportCardRemoved(const char *reader, const char *serial)
{
    if (eventsEnabled()) {
        EventRecord record;
        beginRecord(record, EventCardRemoved);
        addString(record, reader);
        addString(record, serialOrUnknown(serial));
        addNumber(record, deleted.count);
        addString(record, deleted.text);
        submit(EventCardRemoved, record);
    }
    deleted = ThumbprintList();
}

// Told only when the cleanup deleted something.
void reportStrandedCleaned()
{
    if (eventsEnabled() && deleted.count) {
        EventRecord record;
        beginRecord(record, EventStrandedCleaned);
        addNumber(record, deleted.count);
        addString(record, deleted.text);
        submit(EventStrandedCleaned, record);
    }
    deleted = ThumbprintList();
}

void reportRecordDamaged(uint32_t values) { reportNumber(EventRecordDamaged, values); }

void reportServiceLost(int32_t result)
{
    if (!eventsEnabled())
        return;
    EventRecord record;
    beginRecord(record, EventServiceLost);
    addCardAnswer(record, result, 0);
    submit(EventServiceLost, record);
}

void reportServiceFound(uint32_t readers) { reportNumber(EventServiceFound, readers); }
void reportReaderArrived(const char *reader) { reportText(EventReaderArrived, reader); }
void reportReaderLeft(const char *reader) { reportText(EventReaderLeft, reader); }

void reportStoreCallFailed(const char *call, uint32_t error)
{
    if (!eventsEnabled())
        return;
    EventRecord record;
    beginRecord(record, EventStoreCallFailed);
    addString(record, call);
    addHex(record, "0x", error, 8);
    submit(EventStoreCallFailed, record);
}

void reportLeftOutEvents()
{
    if (eventsEnabled())
        reportLeftOutAt(now());
}

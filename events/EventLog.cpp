// The Application log itself: the event source, and a writer thread of its
// own, so that a slow or absent log never holds up the monitor or the tray.
// Events that find the queue full are dropped.
#include "Events.h"

#include <windows.h>

#include "EventMessages.h"

static_assert(MessageStarted == MSG_STARTED && MessageCardRegistered == MSG_CARD_REGISTERED &&
                  MessageCardRemoved == MSG_CARD_REMOVED &&
                  MessageCardNotReadWhole == MSG_CARD_NOT_READ_WHOLE &&
                  MessageCertificateSkipped == MSG_CERTIFICATE_SKIPPED &&
                  MessageStrandedCleaned == MSG_STRANDED_CLEANED &&
                  MessageRecordDamaged == MSG_RECORD_DAMAGED && MessageServiceLost == MSG_SERVICE_LOST &&
                  MessageServiceFound == MSG_SERVICE_FOUND && MessageReaderArrived == MSG_READER_ARRIVED &&
                  MessageReaderLeft == MSG_READER_LEFT && MessageStoreCallFailed == MSG_STORE_CALL_FAILED &&
                  MessageEventsLeftOut == MSG_EVENTS_LEFT_OUT,
              "the event identifiers are those of the message table");

namespace {

const char SourceName[] = "VelmoMon";
const uint32_t QueueCapacity = 32;

struct Queue {
    CRITICAL_SECTION lock;
    HANDLE ready;
    uint32_t first;
    uint32_t count;
    EventRecord records[QueueCapacity];
};

HANDLE source;
Queue *queue;

uint32_t tickCount() { return GetTickCount(); }

void enqueue(const EventRecord &record)
{
    EnterCriticalSection(&queue->lock);
    const bool room = queue->count < QueueCapacity;
    if (room)
        queue->records[(queue->first + queue->count++) % QueueCapacity] = record;
    LeaveCriticalSection(&queue->lock);
    if (room)
        SetEvent(queue->ready);
}

bool dequeue(EventRecord &record)
{
    EnterCriticalSection(&queue->lock);
    const bool any = queue->count != 0;
    if (any) {
        record = queue->records[queue->first];
        queue->first = (queue->first + 1) % QueueCapacity;
        queue->count--;
    }
    LeaveCriticalSection(&queue->lock);
    return any;
}

// A failed write changes nothing: the event is lost and the next is tried.
void write(const EventRecord &record)
{
    const char *strings[EventStringCount];
    for (uint32_t i = 0; i < record.stringCount; i++)
        strings[i] = eventString(record, i);
    ReportEventA(source, record.type, 0, record.messageId, NULL, record.stringCount, 0, strings, NULL);
}

DWORD WINAPI writerThread(LPVOID)
{
    EventRecord *record = (EventRecord *)HeapAlloc(GetProcessHeap(), 0, sizeof(EventRecord));
    if (!record)
        return 1;
    for (;;) {
        WaitForSingleObject(queue->ready, INFINITE);
        while (dequeue(*record))
            write(*record);
    }
}

} // namespace

// The source needs no registration to be opened: without the installer's
// entry the log shows the insertion strings alone.
void startEventLog()
{
    source = RegisterEventSourceA(NULL, SourceName);
    if (!source)
        return;
    queue = (Queue *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Queue));
    if (!queue)
        return;
    InitializeCriticalSection(&queue->lock);
    queue->ready = CreateEventA(NULL, FALSE, FALSE, NULL);
    HANDLE writer = queue->ready ? CreateThread(NULL, 0, writerThread, NULL, 0, NULL) : NULL;
    if (!writer)
        return;
    CloseHandle(writer);
    eventClock = tickCount;
    eventSink = enqueue;
}

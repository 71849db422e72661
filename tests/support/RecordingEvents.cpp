// The recording double of the event log.
#include "RecordingEvents.h"

#include "../../events/Events.h"

namespace recordingevents {
namespace {

std::vector<LoggedEvent> logged;
uint32_t now;

void record(const EventRecord &record)
{
    LoggedEvent event = {(uint16_t)(record.messageId & 0xFFFF), record.type, {}};
    for (uint32_t i = 0; i < record.stringCount; i++)
        event.strings.push_back(eventString(record, i));
    logged.push_back(event);
}

uint32_t clock() { return now; }

} // namespace

void start(uint32_t at)
{
    resetEvents();
    logged.clear();
    now = at;
    eventClock = clock;
    eventSink = record;
}

void stop()
{
    eventSink = NULL;
    eventClock = NULL;
    resetEvents();
}

void advance(uint32_t milliseconds) { now += milliseconds; }
const std::vector<LoggedEvent> &events() { return logged; }
void clear() { logged.clear(); }

std::vector<LoggedEvent> withId(uint16_t id)
{
    std::vector<LoggedEvent> found;
    for (const LoggedEvent &event : logged)
        if (event.id == id)
            found.push_back(event);
    return found;
}

} // namespace recordingevents

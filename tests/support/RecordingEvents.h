// The recording double of the event log: takes the place of the log at
// eventSink, with a clock the test moves.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace recordingevents {

struct LoggedEvent {
    uint16_t id; // the low 16 bits, as an administrator sees it
    uint16_t type;
    std::vector<std::string> strings;
};

// Turns the events on, recording, with every note and window forgotten.
void start(uint32_t clock = 0);
// Turns them off again.
void stop();
void advance(uint32_t milliseconds);
const std::vector<LoggedEvent> &events();
std::vector<LoggedEvent> withId(uint16_t id);
void clear();

} // namespace recordingevents

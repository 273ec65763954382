// The front-end protocol's process-wide state: the frame counters that the
// closing frame reports, and the one place frames leave the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kova {

struct FrontState {
    uint32_t array_frames;
    uint32_t object_frames;
    uint32_t values_sent;   // scalar sendToFront and alertToFront
    uint32_t query_frames;  // selectToFront and selectHashToFront
    uint32_t next_reference;  // nested arrays and objects: 500001 onward
};

extern FrontState g_front;

void front_reset();
// Writes one whole frame to standard output and flushes it; nothing is
// written in console mode (the counters still count).
void front_write(const std::string& frame);

}  // namespace kova

// The frames scripts send to the front end: scalar values, alerts, arrays
// and objects (the arrays and objects inside them written first, each
// under a reference number), and the host's closing frame.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "core/value.h"

namespace kova {

inline constexpr char ALERT_MARKER_ITEM[] = "219XYZBCA_ALERT_ABCZYX";
inline constexpr uint32_t FIRST_REFERENCE = 500001;
inline constexpr uint32_t LAST_REFERENCE = 999999;

// Frame buffers kept between sends, so a script that sends in a loop
// builds its frames without allocating: one for scalar frames, one per
// nesting depth for arrays and objects.
struct FramesState {
    std::string scalar;
    std::deque<std::string> levels;
};

extern FramesState g_frames;

void frames_reset();

// sendToFront of `value` under the given name: a value frame for scalars,
// an array or object frame for those. Errors 1330 (keyed array), 1335
// (a kind without an item), 1215 (such a kind inside an array or object).
void send_to_front(const char* name, size_t name_length, Value value);
// alertToFront: `undefined`, a string or an error object; else 1340.
void alert_to_front(Value message);
// "C" and the number fields of the four counters.
void write_closing_frame();

}  // namespace kova

// Frames leave the process here.
#include "front/front.h"

#include "host/host.h"
#include "platform/platform.h"

namespace kova {

FrontState g_front;

void front_reset() { g_front = FrontState{0, 0, 0, 0, 500000}; }

void front_write(const std::string& frame) {
    if (g_host.console_mode) return;
    platform::write_stdout(frame.data(), frame.size());
    platform::flush_stdout();
}

}  // namespace kova

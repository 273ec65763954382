// The random generator: a linear congruential sequence that is the same on
// every build, so an access token issued by one process verifies in another.
#include "platform/platform.h"

namespace kova::platform {

namespace {
uint32_t g_random_state = 1;
}

void random_seed(uint32_t seed) { g_random_state = seed; }

int random_next() {
    g_random_state = g_random_state * 214013u + 2531011u;
    return static_cast<int>((g_random_state >> 16) & 0x7FFF);
}

}  // namespace kova::platform

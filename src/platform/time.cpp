// Clock and calendar.
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"

namespace kova::platform {

int64_t time_now() { return static_cast<int64_t>(::time(nullptr)); }

Instant realtime_now() {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return Instant{static_cast<int64_t>(ts.tv_sec), static_cast<int64_t>(ts.tv_nsec)};
}

bool local_time(int64_t seconds, std::tm* out) {
    if (seconds < 0) return false;
    time_t t = static_cast<time_t>(seconds);
    ::tzset();
    return ::localtime_r(&t, out) != nullptr;
}

int32_t utc_offset_seconds(const std::tm& local) { return static_cast<int32_t>(local.tm_gmtoff); }

bool utc_time(int64_t seconds, std::tm* out) {
    time_t t = static_cast<time_t>(seconds);
    return ::gmtime_r(&t, out) != nullptr;
}

int64_t make_local_time(std::tm* fields) { return static_cast<int64_t>(::mktime(fields)); }

int64_t make_utc_time(std::tm* fields) { return static_cast<int64_t>(::timegm(fields)); }

void sleep_ms(unsigned milliseconds) { ::usleep(milliseconds * 1000u); }

int64_t monotonic_ms() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace kova::platform

// The machine stack's size limit, which bounds how deeply scripts may nest calls.
#include <sys/resource.h>

#include "platform/platform.h"

namespace kova::platform {

size_t stack_size_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
    return static_cast<size_t>(limit.rlim_cur);
}

}  // namespace kova::platform

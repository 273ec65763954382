// Environment variables.
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace kova::platform {

const char* env_get(const char* name) { return std::getenv(name); }

bool env_set(const char* name, const char* value) { return ::setenv(name, value, 1) == 0; }

}  // namespace kova::platform

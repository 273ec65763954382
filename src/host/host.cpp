// Process-wide host state.
#include "host/host.h"

#include <cstring>

namespace kova {

HostState g_host;

void host_reset() { std::memset(&g_host, 0, sizeof g_host); }

}  // namespace kova

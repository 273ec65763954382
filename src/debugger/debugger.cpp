// The debugger connection. The protocol itself is still to come: the
// connection stays closed, so every hook is a no-op until it lands.
#include "debugger/debugger.h"

#include "platform/platform.h"

namespace kova {

DebuggerState g_debugger = {-1};

void debugger_reset() { g_debugger.connection = -1; }

void debugger_connect() {}

bool debugger_connected() { return g_debugger.connection >= 0; }

void debugger_send_error(const char*, size_t) {}

void debugger_finish() { debugger_close(); }

void debugger_close() {
    if (g_debugger.connection >= 0) platform::socket_close(g_debugger.connection);
    g_debugger.connection = -1;
}

}  // namespace kova

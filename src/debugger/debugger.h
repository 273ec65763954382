// The remote debugger of kova-dbg: the hooks the host, the evaluator and
// error reporting call. Only the debugging build compiles this folder; the
// callers guard every call with KOVA_DEBUGGER.
#pragma once

#include <cstddef>

namespace kova {

struct DebuggerState {
    int connection;  // socket, or -1
};

extern DebuggerState g_debugger;

void debugger_reset();
// Start-up: connects to the client when it is allowed to debug.
void debugger_connect();
bool debugger_connected();
// Sends an error text to the front end (message kind D).
void debugger_send_error(const char* text, size_t length);
// End of the run: the goodbye message, then the connection is closed.
void debugger_finish();
// Closes the connection without a goodbye (fatal errors).
void debugger_close();

}  // namespace kova

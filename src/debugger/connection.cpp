// The connection to the front end: who may be debugged, connecting at
// start-up, the goodbye at the end, and the messages the rest of the
// program sends (error texts, console output).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "debugger/call_stack.h"
#include "debugger/debugger.h"
#include "debugger/lists.h"
#include "debugger/transport.h"
#include "eval/eval.h"
#include "host/config.h"
#include "host/host.h"
#include "platform/platform.h"

namespace kova {

DebuggerState g_debugger;

namespace {

constexpr int CONNECT_WAIT_MS = 200;
constexpr char GOODBYE[] = "X";

void set_connection(int fd) {
    g_debugger.connection = fd;
    g_eval.debugger_hook = fd >= 0 || g_debugger.evaluating;
}

// Without a CLIENT list only the machine itself may be debugged: the front
// end supplies module texts, so whoever it connects to runs its code.
bool client_may_debug() {
    if (!g_host.client_known || g_config.debug_port.empty()) return false;
    const uint8_t* c = g_host.client;
    if (!g_config.has_client_list) return c[0] == 127;
    const uint32_t address = uint32_t(c[0]) << 24 | uint32_t(c[1]) << 16 | uint32_t(c[2]) << 8 | c[3];
    for (uint32_t allowed : g_config.clients) {
        if (allowed == address) return true;
    }
    return false;
}

// The wait for commands at a stop can be shortened for tests.
int64_t command_wait() {
    const char* text = platform::env_get("KOVA_DEBUG_COMMAND_WAIT_MS");
    if (text == nullptr || *text == '\0') return COMMAND_WAIT_MS;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    return *end == '\0' && value > 0 ? value : COMMAND_WAIT_MS;
}

}  // namespace

void debugger_reset() {
    if (g_debugger.connection >= 0) platform::socket_close(g_debugger.connection);
    g_debugger.connection = -1;
    g_debugger.reply_wait = REPLY_WAIT_MS;
    g_debugger.command_wait = COMMAND_WAIT_MS;
    g_debugger.stepping = false;
    g_debugger.run = false;
    g_debugger.step_into = false;
    g_debugger.step_out = false;
    g_debugger.step_out_call = 0;
    g_debugger.current_call = 0;
    g_debugger.next_call_id = 0;
    g_debugger.evaluating = false;
    g_debugger.site_node = 0;
    g_debugger.site_name = 0;
    call_stack_reset();
    lists_reset();
    g_eval.debugger_hook = false;
}

void debugger_connect() {
    if (!client_may_debug()) return;
    char host[16];
    std::snprintf(host, sizeof host, "%u.%u.%u.%u", g_host.client[0], g_host.client[1], g_host.client[2],
                  g_host.client[3]);
    const int fd = platform::socket_connect(host, g_config.debug_port.c_str(), CONNECT_WAIT_MS);
    if (fd < 0) {
        g_config.debug_port.clear();
        return;
    }
    g_debugger.command_wait = command_wait();
    call_stack_start();
    set_connection(fd);
}

bool debugger_connected() { return g_debugger.connection >= 0; }

void debugger_clear_lists() {
    for (uint32_t m = 0; m < DEBUG_MODULE_LIMIT; ++m) lists_clear(m);
}

void debugger_close() {
    if (g_debugger.connection >= 0) platform::socket_close(g_debugger.connection);
    set_connection(-1);
}

void debugger_finish() {
    // Nothing is left to report a failure to: the goodbye is best effort.
    if (g_debugger.connection >= 0) transport_send(GOODBYE, sizeof GOODBYE - 1);
    debugger_close();
}

bool debugger_evaluating() { return g_debugger.evaluating; }

void debugger_set_evaluating(bool on) {
    g_debugger.evaluating = on;
    g_eval.debugger_hook = g_debugger.connection >= 0 || on;
}

void debugger_send_error(const char* text, size_t length) {
    if (g_debugger.connection < 0 || g_debugger.evaluating) return;
    std::string body = "D";
    body.append(text, length);
    transport_send(body);
}

void debugger_send_console(char kind, const char* text, size_t length) {
    if (g_debugger.connection < 0) return;
    std::string body(1, kind);
    body.append(text, length);
    send_or_raise(body);
}

}  // namespace kova

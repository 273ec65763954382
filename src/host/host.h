// Process-wide state of the host: how the program was started and what it
// knows of the request's client.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kova {

inline constexpr size_t TOP_CALL_LIMIT = 255;
inline constexpr size_t PROGRAM_DIR_LIMIT = 4096;

struct HostState {
    bool console_mode;
    char program_dir[PROGRAM_DIR_LIMIT];  // with its trailing "/"
    bool client_known;
    uint8_t client[4];
    char start_time[80];                  // journal start line; empty in console mode
    char top_call[TOP_CALL_LIMIT + 1];    // -e text
    bool has_top_call;
    // CGI mode: the request body given on the command line instead of stdin
    const char* argument_body;
    const char* argument_variables;
    int body_argument_count;
};

extern HostState g_host;

void host_reset();

}  // namespace kova

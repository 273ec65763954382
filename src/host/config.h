// KOVA.config: the installation's settings, read on every request.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kova {

inline constexpr size_t TOKEN_KEY_LIMIT = 64;
inline constexpr size_t LOGFILE_LIMIT = 255;
inline constexpr size_t MODULE_DIR_LIMIT = 511;
inline constexpr size_t DEBUG_PORT_LIMIT = 19;
inline constexpr size_t CONFIG_LINE_LIMIT = 4095;

// How access tokens are made and checked (TOKEN_SIGNING).
enum class TokenSigning : uint8_t {
    HMAC_SHA256,  // signed with TOKEN_KEY; the key never leaves the server
    LEGACY,       // the old keyless tokens, for programs that share them
};

struct HostConfig {
    std::vector<std::string> variables;  // VAR texts in file order
    std::vector<uint32_t> clients;       // CLIENT addresses, a.b.c.d as a << 24 | ... | d
    bool has_client_list;
    std::string token_key;
    int32_t time_interval;  // seconds
    TokenSigning token_signing;
    std::string logfile;
    std::string module_dir;  // "\\" turned into "/"
    std::string debug_port;
};

extern HostConfig g_config;

// Back to the defaults (DEBUG_PORT "8777", everything else empty).
void config_reset();
// The configuration file in `directory` (with its trailing "/"):
// pgsqlKOVA.config, else KOVA.config; neither is a fatal error.
std::string find_config_file(const std::string& directory);
// Reads the file; every fault ends the process through fatal_error.
void read_config(const char* path);

}  // namespace kova

// Reading KOVA.config: one KEY=value setting per line.
#include "host/config.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/errors.h"
#include "host/fingerprint.h"
#include "parser/module_table.h"
#include "platform/platform.h"

namespace kova {

HostConfig g_config;

void config_reset() {
    g_config.variables.clear();
    g_config.clients.clear();
    g_config.has_client_list = false;
    g_config.token_key.clear();
    g_config.time_interval = 0;
    g_config.token_signing = TokenSigning::HMAC_SHA256;
    g_config.logfile.clear();
    g_config.module_dir.clear();
    g_config.debug_port = "8777";
}

namespace {

constexpr char TOO_MANY_MODULES_TEXT[] = "モジュール(.js、.jo)が多すぎます。125ファイル以下にしてください。";
constexpr char BAD_CLIENT_TEXT[] = "ClientのIPアドレス定義　不正";
constexpr char BAD_TIME_INTERVAL_TEXT[] = "configファイルのTIME_INTERVALは整数を設定してください。";
constexpr char BAD_TOKEN_SIGNING_TEXT[] = "configファイルのTOKEN_SIGNINGはhmac-sha256かlegacyを設定してください。";
// Error 1590. It arises before the host's error frame exists, so it ends the
// process as a fatal record like the other configuration faults. The record
// goes to the client, so it names neither the line nor the key: a line may
// hold the token key.
constexpr char BAD_FORMAT_TEXT[] = "Configのフォーマット不正";

// The path in the open failure text is cut to fit.
constexpr size_t OPEN_FAILURE_TEXT_SIZE = 4200;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim_left(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    return text;
}

std::string_view trim_right(std::string_view text) {
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

std::string_view trim(std::string_view text) { return trim_right(trim_left(text)); }

// Keys (and the words some keys take) are compared without regard to ASCII
// case; `name` is written in capitals.
bool key_is(std::string_view key, std::string_view name) {
    if (key.size() != name.size()) return false;
    for (size_t i = 0; i < key.size(); ++i) {
        char c = key[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != name[i]) return false;
    }
    return true;
}

void store_cut(std::string& target, std::string_view value, size_t limit) {
    target.assign(value.data(), value.size() < limit ? value.size() : limit);
}

// Addresses are read anywhere in the text: any non-digit separates them.
void add_clients(std::string_view raw) {
    size_t i = 0;
    while (i < raw.size()) {
        if (raw[i] < '0' || raw[i] > '9') {
            ++i;
            continue;
        }
        uint32_t address = 0;
        for (int part = 0; part < 4; ++part) {
            if (part > 0) {
                if (i >= raw.size() || raw[i] != '.') fatal_error(BAD_CLIENT_TEXT);
                ++i;
            }
            if (i >= raw.size() || raw[i] < '0' || raw[i] > '9') fatal_error(BAD_CLIENT_TEXT);
            uint32_t number = 0;
            while (i < raw.size() && raw[i] >= '0' && raw[i] <= '9') {
                number = number * 10 + static_cast<uint32_t>(raw[i] - '0');
                if (number > 255) fatal_error(BAD_CLIENT_TEXT);
                ++i;
            }
            address = address << 8 | number;
        }
        g_config.clients.push_back(address);
        ++i;  // the character after the address separates it from the next
    }
    g_config.has_client_list = true;
}

// A value for the plain keys: quoted up to the closing quote (one preceded by
// an even number of backslashes, which stay), else cut at a comment.
std::string_view plain_value(std::string_view raw) {
    std::string_view value = trim_left(raw);
    if (!value.empty() && (value.front() == '"' || value.front() == '\'')) {
        const char quote = value.front();
        value.remove_prefix(1);
        size_t backslashes = 0;
        for (size_t i = 0; i < value.size(); ++i) {
            if (value[i] == quote && backslashes % 2 == 0) return value.substr(0, i);
            backslashes = value[i] == '\\' ? backslashes + 1 : 0;
        }
        fatal_error(BAD_FORMAT_TEXT);
    }
    const size_t comment = value.find_first_of("#;");
    if (comment != std::string_view::npos) value = value.substr(0, comment);
    return trim_right(value);
}

int32_t read_time_interval(std::string_view value) {
    size_t i = 0;
    while (i < value.size() && (is_blank(value[i]) || value[i] == '\v' || value[i] == '\f')) ++i;
    if (i == value.size()) return 0;
    bool negative = false;
    if (value[i] == '+' || value[i] == '-') negative = value[i++] == '-';
    if (i == value.size()) fatal_error(BAD_TIME_INTERVAL_TEXT);
    int64_t number = 0;
    for (; i < value.size(); ++i) {
        if (value[i] < '0' || value[i] > '9') fatal_error(BAD_TIME_INTERVAL_TEXT);
        number = number * 10 + (value[i] - '0');
        if (number > static_cast<int64_t>(INT32_MAX) + 1) fatal_error(BAD_TIME_INTERVAL_TEXT);
    }
    if (negative) number = -number;
    if (number > INT32_MAX) fatal_error(BAD_TIME_INTERVAL_TEXT);
    return static_cast<int32_t>(number);
}

// Signed tokens unless an installation asks for the old ones by name; an
// empty value keeps the default.
TokenSigning read_token_signing(std::string_view value) {
    if (value.empty() || key_is(value, "HMAC-SHA256")) return TokenSigning::HMAC_SHA256;
    if (key_is(value, "LEGACY")) return TokenSigning::LEGACY;
    fatal_error(BAD_TOKEN_SIGNING_TEXT);
}

void set_module_dir(std::string_view value) {
    const size_t mark = value.find(">>>");
    std::string_view dir = mark == std::string_view::npos ? value : value.substr(0, mark);
    store_cut(g_config.module_dir, dir, MODULE_DIR_LIMIT);
    for (char& c : g_config.module_dir) {
        if (c == '\\') c = '/';
    }
    if (mark != std::string_view::npos) {
        check_module_dir_fingerprint(g_config.module_dir.c_str(), value.substr(mark + 3));
    }
}

// "NAME+=VALUE" appends to a list variable; anything else is a complete
// "name=value" assignment.
void apply_env(std::string_view value) {
    const size_t plus = value.find("+=");
    if (plus == std::string_view::npos) {
        // Given as name and value rather than through putenv, which would
        // keep (and leak) a copy of the text for every line.
        const size_t equals = value.find('=');
        if (equals == std::string_view::npos) return;
        platform::env_set(std::string(value.substr(0, equals)).c_str(),
                          std::string(value.substr(equals + 1)).c_str());
        return;
    }
    const std::string name(trim_right(value.substr(0, plus)));
    const std::string_view added = trim(value.substr(plus + 2));
    const char* current = platform::env_get(name.c_str());
    const std::string_view kept = current != nullptr ? trim(current) : std::string_view();
    std::string joined;
    if (current != nullptr && current[0] != '\0') {
        joined = kept;
        joined += ':';
    }
    joined += added;
    platform::env_set(name.c_str(), joined.c_str());
}

void apply_line(char* buffer) {
    std::string_view line = trim(std::string_view(buffer, std::strcspn(buffer, "\r\n")));
    if (line.empty() || line.front() == ';' || line.front() == '#') return;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return;
    const std::string_view key = trim(line.substr(0, equals));
    const std::string_view raw = line.substr(equals + 1);

    // VAR, INCLUDE and CLIENT take the raw value, blanks included.
    if (key_is(key, "VAR")) {
        g_config.variables.emplace_back(raw);
        return;
    }
    if (key_is(key, "INCLUDE")) {
        if (module_table_full()) fatal_error(TOO_MANY_MODULES_TEXT);
        module_add(raw.data(), raw.size());
        return;
    }
    if (key_is(key, "CLIENT")) {
        add_clients(raw);
        return;
    }
    // Every other key, known or not, must have a well-formed value.
    const std::string_view value = plain_value(raw);
    if (key_is(key, "TOKEN_KEY")) {
        store_cut(g_config.token_key, value, TOKEN_KEY_LIMIT);
    } else if (key_is(key, "LOGFILE")) {
        store_cut(g_config.logfile, value, LOGFILE_LIMIT);
    } else if (key_is(key, "DEBUG_PORT")) {
        store_cut(g_config.debug_port, value, DEBUG_PORT_LIMIT);
    } else if (key_is(key, "TIME_INTERVAL")) {
        g_config.time_interval = read_time_interval(value);
    } else if (key_is(key, "TOKEN_SIGNING")) {
        g_config.token_signing = read_token_signing(value);
    } else if (key_is(key, "MODULE_DIR")) {
        set_module_dir(value);
    } else if (key_is(key, "ENV")) {
        apply_env(value);
    }
}

}  // namespace

std::string find_config_file(const std::string& directory) {
    std::string preferred = directory + "pgsqlKOVA.config";
    if (platform::file_exists(preferred.c_str())) return preferred;
    std::string plain = directory + "KOVA.config";
    if (platform::file_exists(plain.c_str())) return plain;
    std::string message = "kova設定ファイル(" + preferred + ", " + plain + ")が開けません";
    fatal_error(message.c_str());
}

void read_config(const char* path) {
    std::FILE* file = platform::open_for_reading(path);
    if (file == nullptr) {
        char text[OPEN_FAILURE_TEXT_SIZE];
        std::snprintf(text, sizeof text, "kova設定ファイル(%s)が開けません", path);
        fatal_error(text);
    }
    // A longer line arrives in pieces, each taken as a line of its own.
    char line[CONFIG_LINE_LIMIT + 1];
    while (std::fgets(line, sizeof line, file) != nullptr) apply_line(line);
    std::fclose(file);
}

}  // namespace kova

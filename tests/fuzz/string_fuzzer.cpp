// Fuzz target: every String method on any bytes (malformed UTF-8, NULs,
// characters of any length) with arguments of any kind must return or end
// in its numbered error, never read or write outside the strings (the
// sanitizers watch), and give results that stay inside the receiver:
// positions from -1 to the byte length, units below 0x10000, strings
// NUL-terminated at their length.
//
// Input: a byte choosing the method, a byte choosing the argument kinds
// (two bits per argument: text, small integer, wide integer or float,
// regular expression), then up to four pieces separated by 0x01 bytes: the
// receiver and the arguments' texts (an integer or float is read from its
// piece's first bytes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "builtins/method_table.h"
#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "host/process_state.h"
#include "parser/module_table.h"
#include "regex/regex.h"

namespace {

using namespace kova;

constexpr const char* METHODS[] = {
    "charAt",    "charCodeAt", "concat",     "indexOf",   "lastIndexOf", "toUpperCase", "toLowerCase",
    "substr",    "substring",  "split",      "slice",     "replace",     "replaceAll",  "includes",
    "padEnd",    "padStart",   "repeat",     "startsWith", "trim",       "trimStart",   "trimEnd",
    "endsWith",  "search",     "match",      "matchAll",  "trimLeft",    "trimRight",   "localeCompare",
};
constexpr size_t METHOD_COUNT = sizeof METHODS / sizeof METHODS[0];

// Methods whose count argument sizes the result: their integers stay small
// so that an input cannot ask for gigabytes.
bool sizes_result(const char* method) {
    return std::strcmp(method, "repeat") == 0 || std::strcmp(method, "padEnd") == 0 ||
           std::strcmp(method, "padStart") == 0;
}

int32_t read_int(const std::string& piece) {
    uint32_t n = 0;
    std::memcpy(&n, piece.data(), piece.size() < 4 ? piece.size() : 4);
    return static_cast<int32_t>(n);
}

Value argument_of(uint32_t kind, const std::string& piece, bool small) {
    switch (kind) {
        case 0: return new_string(piece.data(), piece.size());
        case 1: return new_integer(piece.empty() ? 0 : int8_t(piece[0]));
        case 2:
            if (small) return new_float(piece.empty() ? 0.5 : int8_t(piece[0]) + 0.5);
            if (!piece.empty() && (piece[0] & 1)) return new_float(double(read_int(piece)) * 1.5);
            return new_integer(read_int(piece));
        default: {
            const uint8_t flags = piece.empty() ? 0 : uint8_t(piece[0]) & REGEX_FLAG_BITS;
            const std::string pattern = piece.size() > 1 ? piece.substr(1) : std::string("a");
            return compile_regex_text(pattern.data(), pattern.size(), flags);
        }
    }
}

void check_string(Value v) {
    if (value_tag(v) != TAG_STRING) return;
    if (string_text(v)[string_length(v)] != '\0') std::abort();
}

void check_result(const char* method, Value result, Value receiver) {
    const uint32_t tag = value_tag(result);
    check_string(result);
    if (tag == TAG_ARRAY) {
        for (uint32_t i = 0; i < cell_as<ArrayCell>(result)->count; ++i) {
            const Value element = load_u32(area_pointer(cell_as<ArrayCell>(result)->elements) + 4 * size_t(i));
            check_string(element);
            if (value_tag(element) == TAG_ARRAY) {
                for (uint32_t j = 0; j < cell_as<ArrayCell>(element)->count; ++j) {
                    check_string(load_u32(area_pointer(cell_as<ArrayCell>(element)->elements) + 4 * size_t(j)));
                }
            }
        }
    }
    if (tag != TAG_INTEGER) return;
    const int32_t n = cell_as<IntegerCell>(result)->value;
    if (std::strcmp(method, "charCodeAt") == 0) {
        if (n < 0 || n > 0xFFFF) std::abort();
    } else if (n < -1 || n > int32_t(string_length(receiver))) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    reset_process_state();
    module_add("fuzz.js", 7);
    areas_enter_run_mode();
    if (size < 2) return 0;
    const char* method = METHODS[data[0] % METHOD_COUNT];
    const uint8_t kinds = data[1];
    std::vector<std::string> pieces(1);
    for (size_t i = 2; i < size; ++i) {
        if (data[i] == 0x01 && pieces.size() < 4) {
            pieces.emplace_back();
        } else {
            pieces.back().push_back(char(data[i]));
        }
    }

    const Value receiver = new_string(pieces[0].data(), pieces[0].size());
    retain(receiver);
    Value arguments[3] = {0, 0, 0};
    uint32_t count = 0;
    try {
        for (size_t i = 1; i < pieces.size(); ++i) {
            arguments[count] = argument_of((kinds >> (2 * (i - 1))) & 3, pieces[i], sizes_result(method));
            retain(arguments[count]);
            ++count;
        }
        const Value result = call_method(STRING_METHODS, intern(method, std::strlen(method)), receiver, arguments, count);
        check_result(method, result, receiver);
        check_string(receiver);
        release_if_temporary(result);
    } catch (const ScriptUnwind&) {
        // The method's numbered error (or a pattern's parse error).
    }
    for (uint32_t i = 0; i < count; ++i) release(arguments[i]);
    release(receiver);
    return 0;
}

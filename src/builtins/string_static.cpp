// The methods of the built-in name String: fromCharCode and fromCodePoint,
// which make a new string of the characters whose codes are given.
#include "builtins/library.h"
#include "builtins/method_table.h"
#include "core/errors.h"
#include "core/value_text.h"

namespace kova {

namespace {

// Appends a code as UTF-8 (a surrogate code as its own three bytes).
void append_utf8(TextBuffer& text, uint32_t code) {
    char bytes[4];
    size_t n = 0;
    if (code < 0x80) {
        bytes[n++] = char(code);
    } else if (code < 0x800) {
        bytes[n++] = char(0xC0 | (code >> 6));
        bytes[n++] = char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        bytes[n++] = char(0xE0 | (code >> 12));
        bytes[n++] = char(0x80 | ((code >> 6) & 0x3F));
        bytes[n++] = char(0x80 | (code & 0x3F));
    } else {
        bytes[n++] = char(0xF0 | (code >> 18));
        bytes[n++] = char(0x80 | ((code >> 12) & 0x3F));
        bytes[n++] = char(0x80 | ((code >> 6) & 0x3F));
        bytes[n++] = char(0x80 | (code & 0x3F));
    }
    append_text_bytes(text, bytes, n);
}

struct CodeRule {
    uint32_t highest;
    int not_integer_code;
    int out_of_range_code;
    const char* out_of_range_message;
};

Value from_codes(const CodeRule& rule, const Value* arguments, uint32_t count) {
    LocalText<TEXT_SCRATCH_SIZE> text;
    for (uint32_t i = 0; i < count; ++i) {
        if (!is_integer(arguments[i])) {
            raise_runtime_error(rule.not_integer_code, "String.fromCharCodeの引数不正(非整数)");
        }
        const int32_t code = integer_of(arguments[i]);
        if (code < 0 || uint32_t(code) > rule.highest) {
            raise_runtime_error(rule.out_of_range_code, "%s", rule.out_of_range_message);
        }
        append_utf8(text, uint32_t(code));
    }
    return new_string(text.data, text.length);
}

constexpr CodeRule CHAR_CODES = {0xFFFF, 2400, 2405, "String.fromCharCodeの引数不正(UTF16の範囲外)"};
constexpr CodeRule CODE_POINTS = {0x10FFFF, 2410, 2415, "String.fromCharCodeの引数不正(ユニコードの範囲外)"};

Value from_char_code(Value, const Value* arguments, uint32_t count) { return from_codes(CHAR_CODES, arguments, count); }
Value from_code_point(Value, const Value* arguments, uint32_t count) {
    return from_codes(CODE_POINTS, arguments, count);
}

constexpr Method STRING_STATIC_LIST[] = {
    {"fromCharCode", from_char_code, 1, ANY_COUNT},
    {"fromCodePoint", from_code_point, 1, ANY_COUNT},
};

}  // namespace

const MethodTable STRING_STATIC_METHODS = {STRING_STATIC_LIST, 2, 2095, "STRINGのメソッド名不正", 0, 2097, 2098,
                                           "引数の個数不正"};

}  // namespace kova

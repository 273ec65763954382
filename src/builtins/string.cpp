// The methods of string values: the method table, and the methods that
// read, cut, pad, repeat, trim and case-convert. Searching, splitting and
// replacing are in string_search.cpp, the regular-expression forms in
// string_regex.cpp.
//
// Positions count characters (string_text.h), `length` counts bytes.
// Results are new strings, except where a method hands back the receiver
// itself (padding a string that is long enough) and trimming, which works
// in place on a string that nothing but this call holds.
#include <algorithm>
#include <cmath>

#include "builtins/method_table.h"
#include "builtins/string_text.h"
#include "parser/lexer.h"

namespace kova {

namespace {

Value empty_string() { return new_string("", 0); }

// ---- characters (charAt, charCodeAt) -----------------------------------------------

// The character at the position argument (0 when absent or not an
// integer): its first byte, or false when there is none.
bool character_at(Value receiver, const Value* arguments, uint32_t count, Text* character) {
    const int32_t i = count > 0 && is_integer(arguments[0]) ? integer_of(arguments[0]) : 0;
    if (i < 0) return false;
    const Text text = text_of(receiver);
    const Stepped at = string_position(receiver, uint32_t(i));
    if (at.chars < uint32_t(i) || at.byte >= text.length || text.bytes[at.byte] == '\0') return false;
    *character = Text{text.bytes + at.byte, character_end(text, at.byte) - at.byte};
    return true;
}

Value string_char_at(Value receiver, const Value* arguments, uint32_t count) {
    Text character{};
    if (!character_at(receiver, arguments, count, &character)) return empty_string();
    return new_string(character.bytes, character.length);
}

// The UTF-16 unit of the character: a character above U+FFFF raises 1595.
Value string_char_code_at(Value receiver, const Value* arguments, uint32_t count) {
    Text character{};
    if (!character_at(receiver, arguments, count, &character)) return NOT_A_NUMBER;
    uint16_t units[2];
    utf8_to_utf16(character.bytes, character.length, units, 2);
    return new_integer(units[0]);
}

// ---- concat, case ------------------------------------------------------------------

Value string_concat(Value receiver, const Value* arguments, uint32_t count) {
    LocalText<TEXT_SCRATCH_SIZE> text;
    append_text_bytes(text, string_text(receiver), string_length(receiver));
    for (uint32_t i = 0; i < count; ++i) {
        const ArgumentText piece(arguments[i]);
        append_text_bytes(text, piece.text().bytes, piece.text().length);
    }
    return new_string(text.data, text.length);
}

// Every byte is copied (a NUL and what follows it too); only the ASCII
// letters of one case change.
Value changed_case(Value receiver, char first, int difference) {
    const Text text = text_of(receiver);
    char* out = nullptr;
    const Value result = new_string_to_fill(text.length, &out);
    for (uint32_t i = 0; i < text.length; ++i) {
        const char c = text.bytes[i];
        out[i] = static_cast<unsigned char>(c - first) < 26 ? char(c + difference) : c;
    }
    return result;
}

Value string_to_upper_case(Value receiver, const Value*, uint32_t) { return changed_case(receiver, 'a', 'A' - 'a'); }
Value string_to_lower_case(Value receiver, const Value*, uint32_t) { return changed_case(receiver, 'A', 'a' - 'A'); }

// ---- cutting (substr, substring, slice) ------------------------------------------------

// A new string of the characters [first, first + chars), clamped to the
// text's characters. `whole`, when the caller has stepped through the whole
// text: where it found one byte per character, positions are bytes.
Value characters_from(Value receiver, uint32_t first, uint32_t chars, const Stepped* whole = nullptr) {
    const Text text = text_of(receiver);
    if (whole != nullptr && whole->chars == whole->byte) {
        const uint32_t begin = std::min(first, whole->byte);
        return new_text_string(text, begin, begin + std::min(chars, whole->byte - begin));
    }
    const uint64_t last = uint64_t(first) + chars;
    const Stepped begin = string_position(receiver, first);
    const Stepped end = string_position(receiver, last >= ALL_CHARACTERS ? ALL_CHARACTERS : uint32_t(last));
    return new_text_string(text, begin.byte, end.byte);
}

// A position counted from the end when negative; before the start it is 0.
uint32_t from_end(int32_t position, uint32_t n) {
    if (position >= 0) return uint32_t(position);
    const int64_t counted = int64_t(n) + position;
    return counted < 0 ? 0 : uint32_t(counted);
}

Value string_substr(Value receiver, const Value* arguments, uint32_t count) {
    const int32_t start = is_integer(arguments[0]) ? integer_of(arguments[0]) : 0;
    int64_t length = ALL_CHARACTERS;
    if (count > 1) length = is_integer(arguments[1]) ? integer_of(arguments[1]) : 0;
    if (length <= 0) return empty_string();
    if (start >= 0) return characters_from(receiver, uint32_t(start), uint32_t(length));
    const Stepped whole = string_position(receiver, ALL_CHARACTERS);
    return characters_from(receiver, from_end(start, whole.chars), uint32_t(length), &whole);
}

Value string_substring(Value receiver, const Value* arguments, uint32_t count) {
    const auto bound = [](Value v) -> uint32_t {
        if (!is_integer(v)) return 0;
        const int32_t n = integer_of(v);
        return n < 0 ? 0 : uint32_t(n);
    };
    const uint32_t a = bound(arguments[0]);
    const uint32_t b = count > 1 ? bound(arguments[1]) : ALL_CHARACTERS;
    return a < b ? characters_from(receiver, a, b - a) : characters_from(receiver, b, a - b);
}

Value string_slice(Value receiver, const Value* arguments, uint32_t count) {
    if (count > 1 && !is_integer(arguments[1])) raise_runtime_error(2710, "引数不正(非整数)");
    if (!is_integer(arguments[0])) raise_runtime_error(2715, "引数不正(非整数)");
    const int32_t begin = integer_of(arguments[0]);
    const int32_t end = count > 1 ? integer_of(arguments[1]) : INT32_MAX;
    // Only a position counted from the end needs the character count.
    Stepped whole{0, 0};
    const bool counted = begin < 0 || end < 0;
    if (counted) whole = string_position(receiver, ALL_CHARACTERS);
    const uint32_t first = from_end(begin, whole.chars);
    const uint32_t last = end == INT32_MAX ? ALL_CHARACTERS : from_end(end, whole.chars);
    if (last <= first) return empty_string();
    return characters_from(receiver, first, last - first, counted ? &whole : nullptr);
}

// ---- trimming ----------------------------------------------------------------------------

inline bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A string that only this call holds (it was a temporary when the method
// was called) and that is not a template literal's text can be changed.
bool only_this_call_holds(Value string) {
    const uint8_t header = *value_header(string);
    const StringCell* cell = cell_as<StringCell>(string);
    return header < HEADER_PERMANENT && (header >> 4) == 1 && cell->zero[1] == 0 && cell->zero[2] == 0;
}

Value trimmed(Value receiver, bool leading, bool trailing) {
    const Text text = text_of(receiver);
    uint32_t first = 0;
    uint32_t end = text.length;
    if (leading) {
        while (first < end && is_blank(text.bytes[first])) ++first;
    }
    if (trailing) {
        while (end > first && is_blank(text.bytes[end - 1])) --end;
    }
    if (!only_this_call_holds(receiver)) return new_text_string(text, first, end);
    forget_character_memo(receiver);
    char* bytes = reinterpret_cast<char*>(area_pointer(cell_as<StringCell>(receiver)->text));
    if (first != 0) std::memmove(bytes, bytes + first, end - first);
    bytes[end - first] = '\0';
    cell_as<StringCell>(receiver)->length = end - first;
    return receiver;
}

Value string_trim(Value receiver, const Value*, uint32_t) { return trimmed(receiver, true, true); }
Value string_trim_start(Value receiver, const Value*, uint32_t) { return trimmed(receiver, true, false); }
Value string_trim_end(Value receiver, const Value*, uint32_t) { return trimmed(receiver, false, true); }

// ---- padding and repeating -----------------------------------------------------------

// Fills `total` bytes with copies of `unit` (the last one cut short):
// one copy, then the filled part doubled.
void fill_repeated(char* out, Text unit, size_t total) {
    if (total == 0) return;
    std::memcpy(out, unit.bytes, unit.length < total ? unit.length : total);
    for (size_t filled = unit.length; filled < total;) {
        const size_t piece = filled < total - filled ? filled : total - filled;
        std::memcpy(out + filled, out, piece);
        filled += piece;
    }
}

struct PadRule {
    int length_code;
    int pad_code;
    bool before;
};

Value padded(const PadRule& rule, Value receiver, const Value* arguments, uint32_t count) {
    if (!is_integer(arguments[0])) raise_runtime_error(rule.length_code, "引数不正(非整数)");
    Text pad{" ", 1};
    if (count > 1) {
        if (!is_string(arguments[1])) raise_runtime_error(rule.pad_code, "引数不正(非文字列)");
        pad = text_of(arguments[1]);
    }
    // The pad's characters (a pad that has none, empty or beginning with a
    // NUL, is a blank).
    uint32_t pad_chars = character_count(pad);
    if (pad_chars == 0) {
        pad = Text{" ", 1};
        pad_chars = 1;
    }
    const int32_t target = integer_of(arguments[0]);
    const Text text = text_of(receiver);
    if (target <= 0) return receiver;
    const Stepped have = string_position(receiver, uint32_t(target));
    if (have.chars >= uint32_t(target)) return receiver;

    const uint32_t needed = uint32_t(target) - have.chars;
    const uint32_t copy_bytes = character_byte(pad, pad_chars);
    const uint64_t copies = needed / pad_chars;
    const uint32_t rest_bytes = character_byte(pad, needed % pad_chars);
    const uint64_t pad_bytes = copies * copy_bytes + rest_bytes;
    if (pad_bytes + text.length > STRING_RESULT_LIMIT) string_out_of_memory();

    char* out = nullptr;
    const Value result = new_string_to_fill(size_t(pad_bytes) + text.length, &out);
    // Whole copies and the pad's first characters are one run of copies
    // cut short.
    char* filling = rule.before ? out : out + text.length;
    fill_repeated(filling, Text{pad.bytes, copy_bytes}, size_t(pad_bytes));
    std::memcpy(rule.before ? out + pad_bytes : out, text.bytes, text.length);
    return result;
}

constexpr PadRule PAD_END = {2760, 2765, false};
constexpr PadRule PAD_START = {2770, 2775, true};

Value string_pad_end(Value receiver, const Value* arguments, uint32_t count) {
    return padded(PAD_END, receiver, arguments, count);
}
Value string_pad_start(Value receiver, const Value* arguments, uint32_t count) {
    return padded(PAD_START, receiver, arguments, count);
}

Value string_repeat(Value receiver, const Value* arguments, uint32_t) {
    const Value argument = arguments[0];
    if (!is_number(argument)) raise_runtime_error(2795, "引数不正(非数値)");
    double times = is_integer(argument) ? integer_of(argument) : std::floor(float_of(argument));
    if (std::isnan(times)) times = 0;
    if (times < 0) raise_runtime_error(2800, "引数不正(負数)");
    const Text text = text_of(receiver);
    if (text.length == 0 || times == 0) return empty_string();
    if (times > double(STRING_RESULT_LIMIT / text.length)) string_out_of_memory();
    const size_t total = size_t(times) * text.length;
    char* out = nullptr;
    const Value result = new_string_to_fill(total, &out);
    fill_repeated(out, text, total);
    return result;
}

Value string_locale_compare(Value, const Value*, uint32_t) {
    raise_runtime_error(2787, "関数 localeCompare は実装されていません。");
}

constexpr Method STRING_LIST[] = {
    {"charAt", string_char_at, 0, 1},
    {"charCodeAt", string_char_code_at, 0, 1},
    {"concat", string_concat, 1, ANY_COUNT},
    {"indexOf", string_index_of, 1, 2},
    {"lastIndexOf", string_last_index_of, 1, 2},
    {"toUpperCase", string_to_upper_case, 0, 0},
    {"toLowerCase", string_to_lower_case, 0, 0},
    {"substr", string_substr, 1, 2},
    {"substring", string_substring, 1, 2},
    {"split", string_split, 0, 2},
    {"slice", string_slice, 1, 2},
    {"replace", string_replace, 2, 2},
    {"replaceAll", string_replace_all, 2, 2},
    {"includes", string_includes, 1, 2},
    {"localeCompare", string_locale_compare, 1, 3},
    {"padEnd", string_pad_end, 1, 2},
    {"padStart", string_pad_start, 1, 2},
    {"repeat", string_repeat, 1, 1},
    {"startsWith", string_starts_with, 1, 2},
    {"trim", string_trim, 0, 0},
    {"trimStart", string_trim_start, 0, 0},
    {"trimEnd", string_trim_end, 0, 0},
    {"endsWith", string_ends_with, 1, 2},
    {"search", string_search, 1, 1},
    {"match", string_match, 0, 1},
    {"matchAll", string_match_all, 1, 1},
    {"trimLeft", string_trim_start, 0, 0},
    {"trimRight", string_trim_end, 0, 0},
};

}  // namespace

const MethodTable STRING_METHODS = {STRING_LIST, sizeof STRING_LIST / sizeof STRING_LIST[0], 2820,
                                    "Stringのメソッド名不正", 0, 2825, 2830, "引数の個数不正"};

}  // namespace kova

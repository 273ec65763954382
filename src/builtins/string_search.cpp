// String methods that look for a text: indexOf, lastIndexOf, includes,
// startsWith, endsWith, and split, replace and replaceAll by a text (their
// regular-expression forms are in string_regex.cpp).
//
// A text is found by its bytes. Where the result or the start is a
// position (indexOf, lastIndexOf, includes, startsWith, endsWith) only
// occurrences within the characters count; split and replace by a text
// search every byte of the string.
#include "builtins/string_text.h"
#include "eval/access.h"
#include "regex/regex.h"

namespace kova {

namespace {

constexpr int32_t SPLIT_DEFAULT_LIMIT = 16777215;

// The searched-for text of includes, startsWith and endsWith: a string,
// else the method's error.
Text search_string(Value v, int code) {
    if (!is_string(v)) raise_runtime_error(code, "引数不正(非文字列)");
    return text_of(v);
}

bool is_regex(Value v) { return value_tag(v) == TAG_REGEX; }

// The starting position of indexOf and lastIndexOf: an integer (else the
// method's error), negative counting as 0; `fallback` when absent.
uint32_t from_argument(const Value* arguments, uint32_t count, uint32_t fallback, int code) {
    if (count < 2) return fallback;
    if (!is_integer(arguments[1])) raise_runtime_error(code, "引数不正(非整数)");
    return integer_of(arguments[1]) < 0 ? 0 : uint32_t(integer_of(arguments[1]));
}

}  // namespace

Value string_index_of(Value receiver, const Value* arguments, uint32_t count) {
    const uint32_t from = from_argument(arguments, count, 0, 2700);
    const ArgumentText needle(arguments[0]);
    const Text text = text_of(receiver);
    const Stepped start = string_position(receiver, from);
    if (needle.text().length == 0) return new_integer(int32_t(start.chars));
    if (holds_nul(needle.text())) return new_integer(-1);
    // The text must have room for the needle's characters after `from`.
    const uint32_t needle_chars = character_count(needle.text());
    if (step_characters(text, start.byte, needle_chars).chars < needle_chars) return new_integer(-1);
    const int64_t found = find_text(text, start.byte, needle.text());
    if (found < 0) return new_integer(-1);
    return new_integer(int32_t(string_characters_before(receiver, uint32_t(found))));
}

// The last of the occurrences found from the start, one after the other
// without overlapping, that begins at or before character `from`.
Value string_last_index_of(Value receiver, const Value* arguments, uint32_t count) {
    const uint32_t from = from_argument(arguments, count, ALL_CHARACTERS, 2705);
    const ArgumentText needle(arguments[0]);
    const Text text = text_of(receiver);
    const Stepped limit = string_position(receiver, from);
    if (needle.text().length == 0) return new_integer(int32_t(limit.chars));
    if (holds_nul(needle.text())) return new_integer(-1);
    int32_t last = -1;
    uint32_t at = 0;
    uint32_t chars = 0;  // characters before `at`
    for (;;) {
        const int64_t found = find_text(text, at, needle.text());
        if (found < 0 || found > limit.byte) break;
        chars += characters_between(text, at, uint32_t(found));
        last = int32_t(chars);
        at = uint32_t(found) + needle.text().length;
        chars += characters_between(text, uint32_t(found), at);
    }
    return new_integer(last);
}

Value string_includes(Value receiver, const Value* arguments, uint32_t count) {
    uint32_t position = 0;
    if (count > 1 && !number_position(arguments[1], &position)) raise_runtime_error(2780, "引数不正(非数値)");
    const Text needle = search_string(arguments[0], 2785);
    if (needle.length == 0) return truth_value(true);
    if (holds_nul(needle)) return truth_value(false);
    const Text text = text_of(receiver);
    return truth_value(find_text(text, string_position(receiver, position).byte, needle) >= 0);
}

namespace {

// Whether the needle's bytes stand in the text at byte `at`, within its
// characters.
bool stands_at(Text text, uint32_t at, Text needle) {
    if (holds_nul(needle)) return false;
    return needle.length <= text.length - at && std::memcmp(text.bytes + at, needle.bytes, needle.length) == 0;
}

}  // namespace

Value string_starts_with(Value receiver, const Value* arguments, uint32_t count) {
    uint32_t position = 0;
    if (count > 1 && !number_position(arguments[1], &position)) raise_runtime_error(2805, "引数不正(非数値)");
    const Text needle = search_string(arguments[0], 2810);
    if (needle.length == 0) return truth_value(true);
    const Text text = text_of(receiver);
    return truth_value(stands_at(text, string_position(receiver, position).byte, needle));
}

Value string_ends_with(Value receiver, const Value* arguments, uint32_t count) {
    const Text needle = search_string(arguments[0], 2815);
    // An end that is not a number counts as 0.
    uint32_t end = ALL_CHARACTERS;
    if (count > 1 && !number_position(arguments[1], &end)) end = 0;
    if (needle.length == 0) return truth_value(true);
    const Text text = text_of(receiver);
    const uint32_t e = string_position(receiver, end).chars;
    const uint32_t needle_chars = character_count(needle);
    if (needle_chars > e) return truth_value(false);
    return truth_value(stands_at(text, string_position(receiver, e - needle_chars).byte, needle));
}

Value string_split(Value receiver, const Value* arguments, uint32_t count) {
    if (count == 0) return new_array(&receiver, 1);
    int32_t limit = SPLIT_DEFAULT_LIMIT;
    if (count > 1) {
        if (!is_integer(arguments[1])) raise_runtime_error(2740, "引数不正(非整数)");
        limit = integer_of(arguments[1]);
    }
    if (limit <= 0) return new_array_for(0);
    if (is_regex(arguments[0])) return split_by_regex(receiver, arguments[0], uint32_t(limit));

    const ArgumentText separator(arguments[0]);
    const Text text = text_of(receiver);
    const Text cut = separator.text();
    HeldValue result(new_array_for(0));
    const Value pieces = result.get();
    if (cut.length == 0) {
        // Each character a piece.
        for (uint32_t at = 0; at < text.length && text.bytes[at] != '\0' && array_count(pieces) < uint32_t(limit);) {
            const uint32_t next = character_end(text, at);
            push_element(pieces, new_text_string(text, at, next));
            at = next;
        }
        return result.hand_over();
    }
    uint32_t at = 0;
    while (array_count(pieces) < uint32_t(limit)) {
        const int64_t found = find_bytes(text, at, cut);
        if (found < 0) {
            push_element(pieces, new_text_string(text, at, text.length));
            break;
        }
        push_element(pieces, new_text_string(text, at, uint32_t(found)));
        at = uint32_t(found) + cut.length;
    }
    return result.hand_over();
}

namespace {

// The occurrences of a text replaced by the replacement as it stands: the
// first, or every one left to right. Without any, the receiver itself.
Value replace_text(Value receiver, Text pattern, Value replacement, bool every) {
    const Text text = text_of(receiver);
    int64_t found = find_bytes(text, 0, pattern);
    if (found < 0) return receiver;
    LocalText<TEXT_SCRATCH_SIZE> out;
    uint32_t copied = 0;
    do {
        append_text_bytes(out, text.bytes + copied, uint32_t(found) - copied);
        append_text_bytes(out, string_text(replacement), string_length(replacement));
        copied = uint32_t(found) + pattern.length;
        found = every ? find_bytes(text, copied, pattern) : -1;
    } while (found >= 0);
    append_text_bytes(out, text.bytes + copied, text.length - copied);
    return new_string(out.data, out.length);
}

}  // namespace

Value string_replace(Value receiver, const Value* arguments, uint32_t) {
    if (!is_string(arguments[1])) raise_runtime_error(2720, "引数不正(非文字列)");
    if (is_regex(arguments[0])) return replace_by_regex(receiver, arguments[0], arguments[1], false);
    if (!is_string(arguments[0])) raise_runtime_error(2725, "引数不正(非文字列)");
    // An empty pattern occurs at the start.
    if (string_length(arguments[0]) == 0) {
        LocalText<TEXT_SCRATCH_SIZE> out;
        append_text_bytes(out, string_text(arguments[1]), string_length(arguments[1]));
        append_text_bytes(out, string_text(receiver), string_length(receiver));
        return new_string(out.data, out.length);
    }
    return replace_text(receiver, text_of(arguments[0]), arguments[1], false);
}

Value string_replace_all(Value receiver, const Value* arguments, uint32_t) {
    if (!is_string(arguments[1])) raise_runtime_error(2730, "引数不正(非文字列)");
    if (is_regex(arguments[0])) {
        if (!(regex_flags(arguments[0]) & REGEX_GLOBAL)) {
            raise_runtime_error(2732, "引数不正(正規表現のgオプション)");
        }
        return replace_by_regex(receiver, arguments[0], arguments[1], true);
    }
    if (!is_string(arguments[0])) raise_runtime_error(2735, "引数不正(非文字列)");
    // An empty pattern would occur everywhere without advancing: the
    // string is returned as it is.
    if (string_length(arguments[0]) == 0) return receiver;
    return replace_text(receiver, text_of(arguments[0]), arguments[1], true);
}

}  // namespace kova

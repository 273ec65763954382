// Inside the String family (string.cpp, string_search.cpp,
// string_regex.cpp): a string's text seen as characters, the readers of
// the methods' arguments, and the handlers the method table names.
//
// A character is one UTF-8 sequence, its length given by its lead byte
// (utf8_sequence_length) and cut short by the end of the text or by a NUL
// byte; any byte that leads nothing (a stray continuation byte, 0xFE,
// 0xFF) is a character of its own. A text's characters end at its first
// NUL byte or at its byte length, whichever comes first, so positions
// never reach past either. Methods that only search or copy bytes (case
// conversion, concat, split and replace by a text) work on every byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "builtins/library.h"
#include "core/errors.h"
#include "core/value_text.h"
#include "core/values.h"

namespace kova {

// The bytes of a string value, or of any text.
struct Text {
    const char* bytes;
    uint32_t length;
};
inline Text text_of(Value string) { return Text{string_text(string), string_length(string)}; }

// The longest string a method makes; a longer result raises 1400.
inline constexpr uint64_t STRING_RESULT_LIMIT = 0x7FFFFFF0u;
[[noreturn]] inline void string_out_of_memory() { raise_runtime_error(1400, "メモリ領域を取得できません"); }

// ---- characters -----------------------------------------------------------------------

// Where stepping through characters got to: the byte position and the
// number of characters passed.
struct Stepped {
    uint32_t byte;
    uint32_t chars;
};

// Steps over at most `chars` characters from byte `from` (a character
// start), stopping at the end of the characters. Eight ASCII bytes at a
// time where it can, so positions in ASCII text cost no decoding.
Stepped step_characters(Text text, uint32_t from, uint32_t chars);

inline constexpr uint32_t ALL_CHARACTERS = UINT32_MAX;
inline uint32_t character_count(Text text) { return step_characters(text, 0, ALL_CHARACTERS).chars; }
// The byte position of character i, or the end of the characters when
// there are fewer.
inline uint32_t character_byte(Text text, uint32_t i) { return step_characters(text, 0, i).byte; }
// The characters that begin in bytes [from, to), `from` a character start
// and no NUL before `to`.
inline uint32_t characters_between(Text text, uint32_t from, uint32_t to) {
    return step_characters(Text{text.bytes, to}, from, ALL_CHARACTERS).chars;
}
// The same for a string value's own text: a long string's ASCII start is
// indexed by bytes and the last position reached is kept
// (CharacterMemo), so a loop along one long string steps each character
// once and an ASCII string is indexed directly.
Stepped string_position(Value string, uint32_t chars);
// The characters before byte `byte` of a string (a character start within
// its characters).
uint32_t string_characters_before(Value string, uint32_t byte);
// How many of a long string's first bytes are known to be plain ASCII (not
// NUL), looked at up to byte `upto` at least; 0 for a short string. Each of
// those bytes is a character of its own, whichever way characters are
// counted after them.
uint32_t string_ascii_start(Value string, uint32_t upto);
inline uint32_t string_character_count(Value string) { return string_position(string, ALL_CHARACTERS).chars; }
// The byte after the character that begins at `at` (at < length, not NUL).
uint32_t character_end(Text text, uint32_t at);
// Whether a text holds a NUL byte (it then never lies within another
// text's characters).
inline bool holds_nul(Text text) { return text.length != 0 && std::memchr(text.bytes, 0, text.length) != nullptr; }

// The first occurrence of `needle` (not empty, no NUL) that begins at or
// after byte `from` and lies within the characters, or -1.
int64_t find_text(Text text, uint32_t from, Text needle);
// The first occurrence of `needle` (not empty) by bytes alone, in bytes
// [from, length), or -1.
int64_t find_bytes(Text text, uint32_t from, Text needle);

// ---- arguments ------------------------------------------------------------------------

// The text of an argument: a string's own bytes, or the text form of any
// other value (value_to_text, which refuses a function with 2522) in a
// buffer of its own.
class ArgumentText {
public:
    explicit ArgumentText(Value v) {
        if (is_string(v)) {
            text_ = text_of(v);
            return;
        }
        value_to_text(v, buffer_);
        text_ = Text{buffer_.data, static_cast<uint32_t>(buffer_.length)};
    }
    ArgumentText(const ArgumentText&) = delete;
    ArgumentText& operator=(const ArgumentText&) = delete;
    Text text() const { return text_; }

private:
    LocalText<256> buffer_;
    Text text_{};
};

// A position of includes, startsWith and endsWith: an integer, or a float
// rounded down; negative (or NaN) counts as 0. False for any other value.
bool number_position(Value v, uint32_t* position);

// ---- results --------------------------------------------------------------------------

inline Value new_text_string(Text text, uint32_t from, uint32_t to) { return new_string(text.bytes + from, to - from); }

// Appends a new value to an array being filled, growing it as needed.
inline void push_element(Value array, Value v) {
    reserve_elements(array, array_count(array) + 1);
    append_new_element(array, v);
}

// ---- handlers (the method table is in string.cpp) -----------------------------------------

// string_search.cpp
Value string_index_of(Value receiver, const Value* arguments, uint32_t count);
Value string_last_index_of(Value receiver, const Value* arguments, uint32_t count);
Value string_includes(Value receiver, const Value* arguments, uint32_t count);
Value string_starts_with(Value receiver, const Value* arguments, uint32_t count);
Value string_ends_with(Value receiver, const Value* arguments, uint32_t count);
Value string_split(Value receiver, const Value* arguments, uint32_t count);
Value string_replace(Value receiver, const Value* arguments, uint32_t count);
Value string_replace_all(Value receiver, const Value* arguments, uint32_t count);

// string_regex.cpp: the forms that take a regular expression
Value split_by_regex(Value receiver, Value compiled, uint32_t limit);
Value replace_by_regex(Value receiver, Value compiled, Value replacement, bool every);
Value string_search(Value receiver, const Value* arguments, uint32_t count);
Value string_match(Value receiver, const Value* arguments, uint32_t count);
Value string_match_all(Value receiver, const Value* arguments, uint32_t count);

}  // namespace kova

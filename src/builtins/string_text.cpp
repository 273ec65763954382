// A string's text as characters, and finding texts in it (see
// string_text.h).
#include "builtins/string_text.h"

#include <algorithm>
#include <cmath>

#include "core/utf8.h"

namespace kova {

namespace {

constexpr uint64_t LOW_BITS = 0x0101010101010101ull;
constexpr uint64_t HIGH_BITS = 0x8080808080808080ull;

// Eight bytes that are all ASCII and none of them NUL: no high bit, and no
// byte that borrows when 1 is taken from each.
inline uint64_t not_plain_bits(const char* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return (word | (word - LOW_BITS)) & HIGH_BITS;
}
inline bool plain_ascii(const char* p) { return not_plain_bits(p) == 0; }
inline bool plain_ascii_32(const char* p) {
    return (not_plain_bits(p) | not_plain_bits(p + 8) | not_plain_bits(p + 16) | not_plain_bits(p + 24)) == 0;
}

// The plain ASCII bytes (no NUL) at the start of the `room` bytes at p.
uint32_t plain_ascii_run(const char* p, uint32_t room) {
    uint32_t run = 0;
    while (room - run >= 32 && plain_ascii_32(p + run)) run += 32;
    while (room - run >= 8 && plain_ascii(p + run)) run += 8;
    while (run < room && static_cast<uint8_t>(p[run]) - 1u < 0x7Fu) ++run;
    return run;
}

}  // namespace

uint32_t character_end(Text text, uint32_t at) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.bytes);
    uint32_t size = utf8_sequence_length(p[at]);
    if (size > text.length - at) size = text.length - at;
    for (uint32_t i = 1; i < size; ++i) {
        if (p[at + i] == 0) return at + i;
    }
    return at + size;
}

Stepped step_characters(Text text, uint32_t from, uint32_t chars) {
    uint32_t at = from;
    uint32_t passed = 0;
    while (passed < chars && at < text.length) {
        const auto lead = static_cast<uint8_t>(text.bytes[at]);
        if (lead >= 0x80) {
            at = character_end(text, at);
            ++passed;
            continue;
        }
        if (lead == 0) break;
        // A run of ASCII, each byte a character (at least this one).
        const uint32_t run = plain_ascii_run(text.bytes + at, std::min(chars - passed, text.length - at));
        at += run;
        passed += run;
    }
    return Stepped{at, passed};
}

namespace {

// Strings shorter than this are stepped from their start: it costs less
// than keeping the memo.
constexpr uint32_t MEMO_MIN_BYTES = 64;

// The memo made to hold `string`, its ASCII start known at least up to
// byte `upto` (or to where it ends).
CharacterMemo& memo_for(Value string, Text text, uint32_t upto) {
    CharacterMemo& m = g_values.characters;
    const StringCell* cell = cell_as<StringCell>(string);
    if (m.string != string || m.text != cell->text || m.length != cell->length) {
        m = CharacterMemo{string, cell->text, cell->length, 0, false, 0, 0};
    }
    if (!m.ascii_ended && upto > m.ascii) {
        const uint32_t wanted = std::min(upto, text.length) - m.ascii;
        const uint32_t run = plain_ascii_run(text.bytes + m.ascii, wanted);
        m.ascii += run;
        if (run < wanted || m.ascii == text.length) m.ascii_ended = true;
    }
    return m;
}

// Where to step on from towards character `chars` or byte `byte`: the
// last position reached when it is past the ASCII start and not beyond.
Stepped memo_start(const CharacterMemo& m, uint32_t chars, uint32_t byte) {
    if (m.chars > m.ascii && m.chars <= chars && m.byte <= byte) return Stepped{m.byte, m.chars};
    return Stepped{m.ascii, m.ascii};
}

}  // namespace

Stepped string_position(Value string, uint32_t chars) {
    const Text text = text_of(string);
    if (text.length < MEMO_MIN_BYTES) return step_characters(text, 0, chars);
    CharacterMemo& m = memo_for(string, text, chars);
    if (chars <= m.ascii) return Stepped{chars, chars};
    const Stepped from = memo_start(m, chars, UINT32_MAX);
    const Stepped on = step_characters(text, from.byte, chars - from.chars);
    m.byte = on.byte;
    m.chars = from.chars + on.chars;
    return Stepped{m.byte, m.chars};
}

uint32_t string_characters_before(Value string, uint32_t byte) {
    const Text text = text_of(string);
    if (text.length < MEMO_MIN_BYTES) return characters_between(text, 0, byte);
    CharacterMemo& m = memo_for(string, text, byte);
    if (byte <= m.ascii) return byte;
    // Not kept: `byte` may lie inside a character (a text found by its
    // bytes can begin with a continuation byte).
    const Stepped from = memo_start(m, UINT32_MAX, byte);
    return from.chars + characters_between(text, from.byte, byte);
}

uint32_t string_ascii_start(Value string, uint32_t upto) {
    const Text text = text_of(string);
    if (text.length < MEMO_MIN_BYTES) return 0;
    return memo_for(string, text, upto).ascii;
}

int64_t find_bytes(Text text, uint32_t from, Text needle) {
    if (from > text.length || needle.length > text.length - from) return -1;
    const void* found = memmem(text.bytes + from, text.length - from, needle.bytes, needle.length);
    return found == nullptr ? -1 : static_cast<const char*>(found) - text.bytes;
}

int64_t find_text(Text text, uint32_t from, Text needle) {
    const int64_t found = find_bytes(text, from, needle);
    // An occurrence after a NUL lies beyond the characters; any occurrence
    // before the NUL would have been found first.
    if (found < 0 || std::memchr(text.bytes + from, 0, size_t(found) - from) != nullptr) return -1;
    return found;
}

bool number_position(Value v, uint32_t* position) {
    if (is_integer(v)) {
        const int32_t n = integer_of(v);
        *position = n < 0 ? 0 : uint32_t(n);
        return true;
    }
    if (is_float(v)) {
        const double x = std::floor(float_of(v));
        *position = !(x > 0) ? 0 : x >= double(UINT32_MAX) ? UINT32_MAX : uint32_t(x);
        return true;
    }
    return false;
}

}  // namespace kova

// The text of a value: `value_to_text` gives a value's text on its own (what
// a string conversion yields), `append_value_text` the text of a value as a
// part of an array, keyed array or object. They differ only in how strings
// and object keys are quoted; nothing inside a string is escaped.
#pragma once

#include <cstddef>
#include <cstdlib>

#include "core/value.h"

namespace kova {

// A byte buffer the conversions write into. When a text does not fit, the
// buffer is replaced by a larger heap block, and `owned` is set: the block
// belongs to whoever holds the TextBuffer (freed by text_buffer_free, or
// by LocalText at the end of its scope). The text is kept NUL-terminated.
struct TextBuffer {
    char* data;
    size_t length;
    size_t capacity;
    bool owned;
};

inline constexpr size_t TEXT_SCRATCH_SIZE = 3072;  // a caller's usual first buffer
inline constexpr size_t TEXT_SLACK = 24;           // room kept free beyond a text
inline constexpr size_t TEXT_GROWTH = 3096;        // added when a buffer grows
// Nested containers deeper than this (a container holding itself, for one)
// end in error 1400 instead of exhausting the machine stack.
inline constexpr unsigned TEXT_NESTING_LIMIT = 1000;

// Writes the text of v at the start of the buffer, replacing its content.
// Runtime error 2522 for a value without a text form (functions and the
// unused tags), 1400 when the buffer cannot grow.
void value_to_text(Value v, TextBuffer& buffer);
// Appends the text of v. With `quote`, strings are written in double
// quotes. Runtime error 2520 for a value without a text form.
void append_value_text(Value v, TextBuffer& buffer, bool quote);
// True when v and everything inside it have a text: the conversions above
// raise no 2520 or 2522 for it, nor 1400 for nesting too deep.
bool value_has_text(Value v);
// Appends bytes as they are (growing the buffer as the conversions do).
void append_text_bytes(TextBuffer& buffer, const char* text, size_t length);
// Frees an owned block; the buffer is then empty with no storage.
void text_buffer_free(TextBuffer& buffer);

// A TextBuffer that starts in N bytes of its own and frees whatever heap
// block it grew into when it goes out of scope (also on an error unwind).
template <size_t N>
struct LocalText : TextBuffer {
    char inline_bytes[N];
    LocalText() : TextBuffer{inline_bytes, 0, N, false} { inline_bytes[0] = '\0'; }
    ~LocalText() {
        if (owned) std::free(data);
    }
    LocalText(const LocalText&) = delete;
    LocalText& operator=(const LocalText&) = delete;
};

// A float's text: "%.10f", then trailing zeros removed while the character
// before the last is not the decimal point (2.5 -> "2.5", 3.0 -> "3.0").
// `out` must hold FLOAT_TEXT_SIZE bytes (enough for any double); returns
// the length.
inline constexpr size_t FLOAT_TEXT_SIZE = 352;
size_t format_float(double x, char* out);

// An integer's text, as "%lld" writes it, NUL-terminated. `out` must hold
// INTEGER_TEXT_SIZE bytes; returns the length.
inline constexpr size_t INTEGER_TEXT_SIZE = 21;
size_t format_integer(int64_t n, char* out);

// A Date's text, its local date and time: "%04d-%02d-%02d %02d:%02d:%02d",
// then ".%03d" when the milliseconds are not 0. The same text stands for a
// Date in front-end items. `out` must hold DATE_TEXT_SIZE bytes; returns
// the length.
inline constexpr size_t DATE_TEXT_SIZE = 40;
size_t format_date_text(Value date, char* out);

}  // namespace kova

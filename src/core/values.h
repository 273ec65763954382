// Constructors, freeing by tag, conversions and array helpers of values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/value.h"

namespace kova {

// Temporaries (count 0).
inline Value new_integer(int32_t n);
inline Value new_float(double x);
// A string of `length` bytes: text item of length + 12 bytes, capacity
// length + 8, NUL-terminated.
Value new_string(const char* text, size_t length);
// The same string with its text left for the caller to write: *text_out
// receives the `length` bytes to fill (the NUL after them is written).
Value new_string_to_fill(size_t length, char** text_out);
// Each element retained; capacity n + 10, element item 4n + 40 bytes.
Value new_array(const Value* elements, uint32_t n);
// Pairs as (key word, value) words; each value retained; class 0; capacity
// n + 10, pair item 8n + 80 bytes.
Value new_object(const uint32_t* pairs, uint32_t n);

// Empty containers for callers that fill them in place: a temporary cell
// with the given count and capacity (kind bytes 0, class 0) and a zero-filled
// item of `capacity` elements or pairs, so slots not yet written read as
// `undefined`. Objects hold at most 65,535 pairs: a larger capacity raises
// runtime error 1400.
Value new_array_cell(uint32_t count, uint32_t capacity, uint8_t** elements_out);
Value new_keyed_cell(uint32_t count, uint32_t capacity, uint8_t** pairs_out);
Value new_object_cell(uint32_t count, uint32_t capacity, uint8_t** pairs_out);
inline constexpr uint32_t OBJECT_CAPACITY_LIMIT = 0xFFFF;

// Run by release when a count reaches 0: releases what the value holds,
// then frees its storage. Containers met while another container is being
// freed are queued and freed by the outermost call, so a deeply nested
// structure never recurses deeply.
void free_by_tag(Value v);

// The last long string whose character positions the String methods
// counted (builtins/string_text.cpp), so that indexing along one string
// does not step from its start each time. It is not held: it is forgotten
// when that string is freed or changed in place, and checked against the
// string's text reference and length before use.
struct CharacterMemo {
    Value string;       // 0 when none
    uint32_t text;      // the string's text reference and byte length
    uint32_t length;    //   when it was memorised
    uint32_t ascii;     // bytes [0, ascii) are ASCII and not NUL
    bool ascii_ended;   // the byte at `ascii` is not (or the text ends)
    uint32_t byte;      // a character start past `ascii` reached last,
    uint32_t chars;     //   and the characters before it
};

// Queue of containers waiting to be freed (see free_by_tag).
inline constexpr uint32_t RELEASE_QUEUE_INITIAL = 256;
struct ValueState {
    Value* pending;  // initial_pending, or a heap block once it has grown
    uint32_t pending_count;
    uint32_t pending_capacity;
    bool freeing;    // an outermost free_by_tag is draining the queue
    Value initial_pending[RELEASE_QUEUE_INITIAL];
    CharacterMemo characters;
};
extern ValueState g_values;
void values_reset();

// Called before a string's text is freed or changed in place.
inline void forget_character_memo(Value string) {
    if (g_values.characters.string == string) g_values.characters.string = 0;
}

// Accessors that every later subsystem uses.
inline const char* string_text(Value v);
inline uint32_t string_length(Value v);

// Array helpers.
Value keys_of_keyed_array(Value keyed);   // integer keys -> new integers, names stay names
Value array_of_indexes(uint32_t n);        // the integers 0 .. n - 1
Value reverse_array_in_place(Value array); // returns the array's own value

// Conversions behind Integer(...), Float(...) and copying by `new`.
Value to_integer_value(Value v);  // 1410 for other kinds
Value to_float_value(Value v);    // 1415 for other kinds
Value copy_value(Value v);        // 1420 for kinds that cannot be copied

// A double truncated toward zero to 32 bits. NaN and values outside the
// 32-bit range give INT32_MIN, as the processor's truncating conversion does.
int32_t truncate_to_int32(double x);

}  // namespace kova

#include "core/areas.h"

namespace kova {
inline const char* string_text(Value v) {
    return reinterpret_cast<const char*>(area_pointer(cell_as<StringCell>(v)->text));
}
inline uint32_t string_length(Value v) { return cell_as<StringCell>(v)->length; }
inline Value new_integer(int32_t n) {
    Cell* cell = nullptr;
    const Value v = new_cell(TAG_INTEGER, 0, &cell);
    reinterpret_cast<IntegerCell*>(cell)->value = n;
    return v;
}
inline Value new_float(double x) {
    Cell* cell = nullptr;
    const Value v = new_cell(TAG_FLOAT, 0, &cell);
    reinterpret_cast<FloatCell*>(cell)->value = x;
    return v;
}
}  // namespace kova

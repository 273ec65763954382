// The process-wide name table: interned identifiers and property names.
// Name values (tag 0) index it; the first 53 entries are the predefined
// names at fixed indexes. Entries, pool and the key index sorted by the
// 32-bit lookup key are the layout compiled modules carry; interning looks
// names up through a hash index of its own, kept beside them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/value.h"

namespace kova {

// "max" and "min" are NAME_MAXIMUM and NAME_MINIMUM: <limits.h> defines
// NAME_MAX as a macro.
enum PredefinedName : uint32_t {
    NAME_UNDEFINED = 0, NAME_TRUE, NAME_FALSE, NAME_NULL, NAME_NAN, NAME_THIS, NAME_MATH,
    NAME_COLUMN, NAME_VALUE, NAME_CONSOLE, NAME_OBJECT, NAME_FUNCTION, NAME_CONNECTION,
    NAME_NAME, NAME_MESSAGE, NAME_NUMBER, NAME_INTEGER, NAME_FLOAT, NAME_DATE, NAME_ERROR,
    NAME_REGEXP, NAME_STRING, NAME_ARRAY, NAME_HASH, NAME_EXCEPTION, NAME_TYPEOF,
    NAME_INSTANCEOF, NAME_INDEX, NAME_INDICES, NAME_INPUT, NAME_GROUPS, NAME_LENGTH,
    NAME_NO_AUTHORIZATION, NAME_COUNT, NAME_SUM, NAME_MAXIMUM, NAME_MINIMUM, NAME_AVERAGE, NAME_KEY,
    NAME_GROUP, NAME_TOTAL, NAME_TOTAL_COUNT, NAME_SET_OP, NAME_INC_OP, NAME_MIN_OP,
    NAME_MAX_OP, NAME_MUL_OP, NAME_RENAME_OP, NAME_UNSET_OP, NAME_COLUMN_MARK,
    NAME_VALUE_MARK, NAME_KEY_MARK, NAME_NEW,
    PREDEFINED_NAME_COUNT  // 53
};
static_assert(PREDEFINED_NAME_COUNT == 53);

inline constexpr uint32_t NAME_MAX_LENGTH = 200;
inline constexpr uint32_t NAME_TABLE_STEP = 2048;  // entries, pool bytes and index pairs

extern const char* const PREDEFINED_NAMES[PREDEFINED_NAME_COUNT];

// One 12-byte entry per name: byte 0 zero, byte 1 the length, the lookup
// key, the offset of the text in the pool. Identifiers stop at 200 bytes,
// but keys interned from strings at run time can be longer: bytes 2-3 then
// hold bits 8-23 of the length (they are 0 for every name up to 255 bytes).
struct NameEntry {
    uint8_t zero;
    uint8_t length;       // bits 0-7 of the length
    uint8_t reserved[2];  // bits 8-15 and 16-23 of the length
    uint32_t key;
    uint32_t offset;
};
static_assert(sizeof(NameEntry) == 12 && offsetof(NameEntry, key) == 4 && offsetof(NameEntry, offset) == 8);

struct NameKeyPair {
    int32_t key;     // sorted ascending as signed 32-bit
    uint32_t index;
};
static_assert(sizeof(NameKeyPair) == 8);

// The arrays are heap blocks owned by the table (grown by copying).
//
// The lookup key of an entry is a weak hash (keys such as "k1".."k99999"
// share a few hundred values), so interning does not search by it: it uses
// `slots`, an open-addressed table of entry index + 1 (0 is free) under a
// hash of the whole text. The sorted key index is only read when an image
// is written, so it is completed then: its first `sorted_count` pairs are
// sorted, the entries after them not yet in it.
struct NameTable {
    NameEntry* entries;
    uint32_t count;
    uint32_t capacity;
    char* pool;            // each name followed by a NUL and one more byte
    uint32_t pool_used;
    uint32_t pool_capacity;
    NameKeyPair* sorted;   // sorted_count pairs, sorted by key
    uint32_t sorted_count;
    uint32_t sorted_capacity;
    uint32_t predefined_count;
    uint32_t* slots;       // slot_mask + 1 slots, at most half of them used
    uint32_t slot_mask;
    uint32_t hashed_count; // entries 0..hashed_count-1 are in `slots`
};

extern NameTable g_names;

// (length << 24) | hash, hash = sum of (position mod 17) * byte over the
// bytes, positions from 1, kept to 24 bits after every addition.
uint32_t name_key(const char* text, size_t length);

// Empties the table and interns the predefined names at indexes 0-52.
void names_reset();
// Looks the name up, else appends it; returns its index. Identifiers are
// kept within NAME_MAX_LENGTH by the parser; longer texts (string keys) are
// stored whole up to 16 MiB. Runtime error 1400 when the table cannot grow.
uint32_t intern(const char* text, size_t length);
// The index of the name, or -1 when it is not in the table.
int32_t find_name(const char* text, size_t length);
// The key index of every entry, sorted by key (entries of equal key in the
// order they were interned): what an image's name section holds.
const NameKeyPair* name_key_index();
// Replaces the table by one read from an image: heap blocks the table now
// owns, `sorted` already the complete key index.
void adopt_names(NameEntry* entries, uint32_t count, NameKeyPair* sorted, char* pool, uint32_t pool_size);

inline const char* name_text(uint32_t index) { return g_names.pool + g_names.entries[index].offset; }
inline uint32_t name_length(uint32_t index) {
    const NameEntry& entry = g_names.entries[index];
    return entry.length | uint32_t(entry.reserved[0]) << 8 | uint32_t(entry.reserved[1]) << 16;
}

}  // namespace kova

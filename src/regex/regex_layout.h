// The compiled form of a regular expression (a value of tag 7): the binary
// layout that the compiler writes and the matcher and the printer read.
// Regular-expression literals are compiled when their module is parsed, so
// compiled module images carry these items verbatim; every size and offset
// is pinned here and nowhere else.
//
// A compiled value refers to one of two area items.
//
//   Alternation (20 bytes), made only for a top-level "|":
//     0      header byte (tag 7, reference count)
//     1      flags | REGEX_ALTERNATION
//     2-3    number of alternatives
//     4-7    AREA REFERENCE of the alternative list: one 32-bit compiled
//            VALUE (tag 7) per alternative, each held once by the list
//     8-11   lastIndex (signed 32-bit, UTF-16 units; 0 when made)
//     12-19  zero
//
//   Sequence (2L + 20 bytes):
//     0      header byte (tag 7, reference count)
//     1      flags
//     2-3    number of terms (at least 1)
//     4-7    AREA REFERENCE of the term array: number of terms x 20 bytes
//     8-11   lastIndex (signed 32-bit, UTF-16 units; 0 when made)
//     12-13  L, the length of the literal pool in UTF-16 units
//     14-    the literal pool: L + 1 UTF-16 units, the last one 0; then
//            zero bytes up to the item's size
//
//   Term (20 bytes, one after the other in the term array):
//     0-3    VALUE (tag 7) or 0: the sub-expression of a group (kinds 60,
//            61), or the lookaround attached to any other kind of term
//     4-7    NAME VALUE (tag 0) of a named group, else 0
//     8      kind (RegexTermKind)
//     9      quantifier (RegexQuantifier)
//     10     lookaround attached (RegexLookaround), 0 for none
//     11     group number of a capturing group, number of a backreference,
//            or the shorthand bits of a class (RegexShorthand)
//     12-13  minimum count; for a capturing group, the start of its last
//            capture (set by matching, 0 after a failed attempt)
//     14-15  maximum count, REGEX_UNBOUNDED for none; for a capturing group,
//            the end of its last capture
//     16-17  offset of the term's units in the literal pool (literal runs,
//            single characters and class members)
//     18-19  number of those units
//   For a group term (kinds 60 and 61) bytes 16-19 are instead a VALUE
//   (tag 7) or 0: the lookaround attached to the group, whose own
//   sub-expression takes bytes 0-3.
//
// What a relocating copy must patch: the two AREA REFERENCES (alternative
// list, term array) and the VALUES (alternatives in the list, term bytes
// 0-3, group-term bytes 16-19, name values in term bytes 4-7). All other
// bytes are plain numbers and UTF-16 units. Every value held by an item
// (alternatives, sub-expressions, lookarounds) carries one reference held
// by that item; the list and the term array have no header byte.
//
// Area items are only 2-byte aligned, so fields are read and written with
// load_u16/load_u32 and store_u16/store_u32 at these offsets; the structs
// below exist to pin the offsets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/value.h"

namespace kova {

// ---- flags byte ----------------------------------------------------------------------

inline constexpr uint8_t REGEX_MULTILINE = 0x04;    // m
inline constexpr uint8_t REGEX_IGNORE_CASE = 0x08;  // i
inline constexpr uint8_t REGEX_GLOBAL = 0x10;       // g
inline constexpr uint8_t REGEX_STICKY = 0x20;       // y
inline constexpr uint8_t REGEX_DOT_ALL = 0x40;      // s
inline constexpr uint8_t REGEX_ALTERNATION = 0x80;  // marks an alternation item
inline constexpr uint8_t REGEX_FLAG_BITS = 0x7C;    // every flag letter's bit

// ---- item layouts --------------------------------------------------------------------

inline constexpr size_t REGEX_HEADER_OFFSET = 0;
inline constexpr size_t REGEX_FLAGS_OFFSET = 1;
inline constexpr size_t REGEX_COUNT_OFFSET = 2;       // alternatives or terms
inline constexpr size_t REGEX_REFERENCE_OFFSET = 4;   // alternative list or term array
inline constexpr size_t REGEX_LAST_INDEX_OFFSET = 8;
inline constexpr size_t REGEX_POOL_LENGTH_OFFSET = 12;  // sequences only
inline constexpr size_t REGEX_POOL_OFFSET = 14;         // sequences only
inline constexpr size_t REGEX_ALTERNATION_SIZE = 20;
inline constexpr size_t REGEX_ALTERNATIVE_SIZE = 4;   // one value per alternative
inline constexpr uint32_t REGEX_COUNT_LIMIT = 0xFFFF;  // terms, alternatives, pool units

inline constexpr size_t regex_sequence_size(uint32_t pool_length) { return 2 * size_t(pool_length) + 20; }

struct RegexAlternationItem {
    uint8_t header;
    uint8_t flags;
    uint16_t alternative_count;
    uint32_t alternatives;  // area reference of the alternative list
    int32_t last_index;
    uint8_t zero[8];
};

struct RegexSequenceItem {
    uint8_t header;
    uint8_t flags;
    uint16_t term_count;
    uint32_t terms;  // area reference of the term array
    int32_t last_index;
    uint16_t pool_length;
    uint16_t pool[3];  // pool_length + 1 units; the item holds 2L + 20 bytes
};

static_assert(sizeof(RegexAlternationItem) == REGEX_ALTERNATION_SIZE);
static_assert(offsetof(RegexAlternationItem, flags) == REGEX_FLAGS_OFFSET);
static_assert(offsetof(RegexAlternationItem, alternative_count) == REGEX_COUNT_OFFSET);
static_assert(offsetof(RegexAlternationItem, alternatives) == REGEX_REFERENCE_OFFSET);
static_assert(offsetof(RegexAlternationItem, last_index) == REGEX_LAST_INDEX_OFFSET);
static_assert(offsetof(RegexSequenceItem, flags) == REGEX_FLAGS_OFFSET);
static_assert(offsetof(RegexSequenceItem, term_count) == REGEX_COUNT_OFFSET);
static_assert(offsetof(RegexSequenceItem, terms) == REGEX_REFERENCE_OFFSET);
static_assert(offsetof(RegexSequenceItem, last_index) == REGEX_LAST_INDEX_OFFSET);
static_assert(offsetof(RegexSequenceItem, pool_length) == REGEX_POOL_LENGTH_OFFSET);
static_assert(offsetof(RegexSequenceItem, pool) == REGEX_POOL_OFFSET);
static_assert(sizeof(RegexSequenceItem) == regex_sequence_size(0));
static_assert(REGEX_POOL_OFFSET + 2 * (size_t(REGEX_COUNT_LIMIT) + 1) <= regex_sequence_size(REGEX_COUNT_LIMIT));

// ---- terms ---------------------------------------------------------------------------

inline constexpr size_t REGEX_TERM_SIZE = 20;
inline constexpr size_t TERM_SUB_OFFSET = 0;         // value: group sub-expression or lookaround
inline constexpr size_t TERM_NAME_OFFSET = 4;        // name value of a named group
inline constexpr size_t TERM_KIND_OFFSET = 8;
inline constexpr size_t TERM_QUANTIFIER_OFFSET = 9;
inline constexpr size_t TERM_LOOKAROUND_OFFSET = 10;
inline constexpr size_t TERM_NUMBER_OFFSET = 11;     // group, backreference or shorthand bits
inline constexpr size_t TERM_MIN_OFFSET = 12;        // capture start for capturing groups
inline constexpr size_t TERM_MAX_OFFSET = 14;        // capture end for capturing groups
inline constexpr size_t TERM_POOL_OFFSET = 16;
inline constexpr size_t TERM_POOL_COUNT_OFFSET = 18;
inline constexpr size_t TERM_GROUP_LOOKAROUND_OFFSET = 16;  // value, group kinds only

struct RegexTerm {
    uint32_t sub;
    uint32_t name;
    uint8_t kind;
    uint8_t quantifier;
    uint8_t lookaround;
    uint8_t number;
    uint16_t min;
    uint16_t max;
    uint16_t pool_offset;  // for group kinds, bytes 16-19 are the lookaround value
    uint16_t pool_count;
};
static_assert(sizeof(RegexTerm) == REGEX_TERM_SIZE);
static_assert(offsetof(RegexTerm, sub) == TERM_SUB_OFFSET && offsetof(RegexTerm, name) == TERM_NAME_OFFSET);
static_assert(offsetof(RegexTerm, kind) == TERM_KIND_OFFSET &&
              offsetof(RegexTerm, quantifier) == TERM_QUANTIFIER_OFFSET);
static_assert(offsetof(RegexTerm, lookaround) == TERM_LOOKAROUND_OFFSET &&
              offsetof(RegexTerm, number) == TERM_NUMBER_OFFSET);
static_assert(offsetof(RegexTerm, min) == TERM_MIN_OFFSET && offsetof(RegexTerm, max) == TERM_MAX_OFFSET);
static_assert(offsetof(RegexTerm, pool_offset) == TERM_POOL_OFFSET &&
              offsetof(RegexTerm, pool_count) == TERM_POOL_COUNT_OFFSET);

enum RegexTermKind : uint8_t {
    TERM_LITERAL_RUN = 10,     // several units
    TERM_CHARACTER = 11,       // one unit
    TERM_LINE_START = 12,      // ^
    TERM_LINE_END = 13,        // $
    TERM_CLASS = 20,           // [...]
    TERM_NEGATED_CLASS = 21,   // [^...]
    TERM_WORD = 22,            // \w
    TERM_NOT_WORD = 23,        // \W
    TERM_DIGIT = 24,           // \d
    TERM_NOT_DIGIT = 25,       // \D
    TERM_SPACE = 26,           // \s
    TERM_NOT_SPACE = 27,       // \S
    TERM_WORD_BOUNDARY = 28,   // \b
    TERM_NOT_WORD_BOUNDARY = 29,  // \B
    TERM_ANY_BUT_NEWLINE = 30,    // .
    TERM_BACKREFERENCE = 31,
    TERM_ANY = 33,                // [^]
    TERM_GROUP = 60,              // (...) and (?<name>...)
    TERM_NON_CAPTURING = 61,      // (?:...)
};

// Quantifier byte: the form, plus REGEX_LAZY for the lazy forms.
enum RegexQuantifier : uint8_t {
    QUANTIFIER_NONE = 0,
    QUANTIFIER_EXACT = 1,     // {n}
    QUANTIFIER_OPTIONAL = 2,  // ?
    QUANTIFIER_RANGE = 4,     // {n,m}
    QUANTIFIER_AT_LEAST = 8,  // {n,}: * is {0,}, + is {1,}
};
inline constexpr uint8_t REGEX_LAZY = 0x20;
inline constexpr uint16_t REGEX_UNBOUNDED = 0xFFFF;

enum RegexLookaround : uint8_t {
    LOOK_NONE = 0,
    LOOK_AHEAD = 70,          // followed by (?=...)
    LOOK_NOT_AHEAD = 71,      // not followed by (?!...)
    LOOK_BEHIND = 80,         // preceded by (?<=...)
    LOOK_NOT_BEHIND = 81,     // not preceded by (?<!...)
};

// Shorthand bits of a class (term byte 11).
enum RegexShorthand : uint8_t {
    SHORTHAND_WORD = 0x01,
    SHORTHAND_NOT_WORD = 0x02,
    SHORTHAND_DIGIT = 0x04,
    SHORTHAND_NOT_DIGIT = 0x08,
    SHORTHAND_SPACE = 0x10,
    SHORTHAND_NOT_SPACE = 0x20,
};

inline constexpr bool is_group_kind(uint8_t kind) { return kind == TERM_GROUP || kind == TERM_NON_CAPTURING; }

}  // namespace kova

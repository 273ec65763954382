// The value word, its tags, and the binary layout of every cell kind.
//
// Every script datum and every parsed node is a 32-bit value: the tag in
// bits 24-27, and below it a name index, a cell address (page << 8 | slot)
// or an area reference. Compiled modules are copied straight into these
// layouts, so every size and offset is pinned by a static assertion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kova {

using Value = uint32_t;

enum Tag : uint32_t {
    TAG_NAME = 0,        // immediate: index into the name table
    TAG_SQL = 1,         // area item: SQL statement object
    TAG_INTEGER = 2,     // cell
    TAG_CONNECTION = 3,  // area item: database connection
    TAG_UNUSED = 4,
    TAG_DATE = 5,        // cell
    TAG_ERROR = 6,       // area item: error object
    TAG_REGEX = 7,       // area item: compiled regular expression
    TAG_FLOAT = 8,       // cell
    TAG_STRING = 9,      // cell + text item
    TAG_ARRAY = 10,      // cell + element item
    TAG_KEYED = 11,      // cell + pair item: array with integer or name keys
    TAG_OBJECT = 12,     // cell + pair item
    TAG_NODE = 13,       // cell (+ operand item): parsed statement or expression
    TAG_FUNCTION = 14,   // cell + name item
    TAG_IMMEDIATE = 15,  // immediate, never reference counted
};

inline constexpr uint32_t value_tag(Value v) { return (v >> 24) & 0xF; }
inline constexpr uint32_t value_payload(Value v) { return v & 0xFFFFFF; }
inline constexpr Value make_value(uint32_t tag, uint32_t payload) { return (tag << 24) | (payload & 0xFFFFFF); }
inline constexpr bool is_immediate_tag(uint32_t tag) { return tag == TAG_NAME || tag == TAG_IMMEDIATE; }
inline constexpr bool is_area_tag(uint32_t tag) {
    return tag == TAG_SQL || tag == TAG_CONNECTION || tag == TAG_ERROR || tag == TAG_REGEX;
}

// Header byte of every cell and of every area item holding a whole value:
// bits 4-7 reference count, bits 0-3 tag. 0xFF marks a free cell; a count of
// 15 (header >= 0xF0) marks a permanent value.
inline constexpr uint8_t HEADER_FREE = 0xFF;
inline constexpr uint8_t HEADER_PERMANENT = 0xF0;
inline constexpr uint8_t make_header(uint32_t tag, uint32_t count) { return uint8_t(tag + 16 * count); }

// ---- cells (16 bytes) -------------------------------------------------

struct Cell {
    uint8_t header;
    uint8_t kind[3];
    uint8_t payload[12];
};

struct IntegerCell {
    uint8_t header;
    uint8_t zero[3];
    int32_t value;
    uint8_t unused[8];
};

struct FloatCell {
    uint8_t header;
    uint8_t zero[7];
    double value;
};

struct StringCell {
    uint8_t header;
    uint8_t zero[3];
    uint32_t text;      // area reference of the UTF-8 text, NUL-terminated
    uint32_t capacity;  // bytes (length + 8 at creation)
    uint32_t length;    // bytes
};

struct ArrayCell {
    uint8_t header;
    uint8_t kind[3];
    uint32_t elements;  // area reference: one value per 4 bytes
    uint32_t count;
    uint32_t capacity;  // in elements
};

struct KeyedCell {
    uint8_t header;
    uint8_t kind[3];
    uint32_t pairs;     // area reference: (key word, value) per 8 bytes
    uint32_t count;
    uint32_t capacity;  // in pairs
};

struct ObjectCell {
    uint8_t header;
    uint8_t kind[3];
    uint16_t count;
    uint16_t capacity;
    uint32_t pairs;       // area reference: (key word, value) per 8 bytes
    uint32_t class_name;  // name index of the class, 0 for a plain object
};

// A Date: its local time broken down, beside the instant it stands for.
// The broken-down fields are always the local time of `seconds`.
struct DateCell {
    uint8_t header;
    uint8_t month;         // bits 0-3: month 0-11
    uint8_t hour;          // 0-23
    uint8_t day;           // bits 0-4: day of the month 1-31; bits 5-7: day of the week, 0 = Sunday
    uint8_t minute;
    uint8_t second;
    uint16_t year;         // e.g. 2024
    uint32_t milliseconds; // bits 0-9: 0-999
    uint32_t seconds;      // since 1970-01-01 00:00:00 UTC, unsigned
};

struct NodeCell {
    uint8_t header;
    uint8_t module;         // module index and flags
    uint8_t operand_count;
    uint8_t operation;      // node kind 100-227, stored as kind - 0 in a byte
    uint32_t first;         // first operand, or the operand item when count > 2
    uint32_t second;
    uint32_t position;      // line bits 0-15, column bits 16-30
};

struct FunctionCell {
    uint8_t header;
    uint8_t module;
    uint8_t parameter_count;
    uint8_t local_count;
    uint32_t body;          // node value, retained
    uint32_t names;         // area reference of parameter and local names
    uint32_t position;
};

static_assert(sizeof(Value) == 4);
static_assert(sizeof(Cell) == 16 && alignof(Cell) == 1);
static_assert(sizeof(IntegerCell) == 16 && offsetof(IntegerCell, value) == 4);
static_assert(sizeof(FloatCell) == 16 && offsetof(FloatCell, value) == 8);
static_assert(sizeof(StringCell) == 16 && offsetof(StringCell, text) == 4 &&
              offsetof(StringCell, capacity) == 8 && offsetof(StringCell, length) == 12);
static_assert(sizeof(ArrayCell) == 16 && offsetof(ArrayCell, elements) == 4 &&
              offsetof(ArrayCell, count) == 8 && offsetof(ArrayCell, capacity) == 12);
static_assert(sizeof(KeyedCell) == 16 && offsetof(KeyedCell, pairs) == 4 &&
              offsetof(KeyedCell, count) == 8 && offsetof(KeyedCell, capacity) == 12);
static_assert(sizeof(ObjectCell) == 16 && offsetof(ObjectCell, count) == 4 &&
              offsetof(ObjectCell, capacity) == 6 && offsetof(ObjectCell, pairs) == 8 &&
              offsetof(ObjectCell, class_name) == 12);
static_assert(sizeof(DateCell) == 16 && offsetof(DateCell, month) == 1 && offsetof(DateCell, hour) == 2 &&
              offsetof(DateCell, day) == 3 && offsetof(DateCell, minute) == 4 && offsetof(DateCell, second) == 5 &&
              offsetof(DateCell, year) == 6 && offsetof(DateCell, milliseconds) == 8 &&
              offsetof(DateCell, seconds) == 12);
static_assert(sizeof(NodeCell) == 16 && offsetof(NodeCell, operand_count) == 2 &&
              offsetof(NodeCell, operation) == 3 && offsetof(NodeCell, first) == 4 &&
              offsetof(NodeCell, second) == 8 && offsetof(NodeCell, position) == 12);
static_assert(sizeof(FunctionCell) == 16 && offsetof(FunctionCell, parameter_count) == 2 &&
              offsetof(FunctionCell, local_count) == 3 && offsetof(FunctionCell, body) == 4 &&
              offsetof(FunctionCell, names) == 8 && offsetof(FunctionCell, position) == 12);

// ---- area items -------------------------------------------------------
//
// Class-page slots are (class size + 2) bytes apart, so an area item is only
// guaranteed 2-byte alignment. Every multi-byte field of an area item is
// therefore read and written through these helpers, never through a cast.

inline uint32_t load_u32(const void* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
inline void store_u32(void* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline uint16_t load_u16(const void* p) { uint16_t v; std::memcpy(&v, p, 2); return v; }
inline void store_u16(void* p, uint16_t v) { std::memcpy(p, &v, 2); }

// Error object (tag 6): header, code kind, message length, code length,
// code text (NUL-terminated), message text (NUL-terminated).
inline constexpr size_t ERROR_KIND_OFFSET = 1;
inline constexpr size_t ERROR_MESSAGE_LENGTH_OFFSET = 2;
inline constexpr size_t ERROR_CODE_LENGTH_OFFSET = 4;
inline constexpr size_t ERROR_CODE_OFFSET = 6;
inline constexpr size_t error_message_offset(size_t code_length) { return 8 + code_length; }

enum ErrorCodeKind : uint8_t {
    ERROR_CODE_NUMBER = 0,  // every raised error
    ERROR_CODE_STRING = 1,  // the code came from a string
    ERROR_CODE_NONE = 9,    // error values made by scripts
};

// Key words in keyed arrays and objects: bits 24-27 zero is a name value;
// nonzero is an integer key whose number is bits 0-23.
inline constexpr uint32_t INTEGER_KEY_FLAG = 0x01000000;
inline constexpr bool key_is_integer(uint32_t key) { return (key & 0x0F000000) != 0; }
inline constexpr uint32_t make_integer_key(uint32_t n) { return INTEGER_KEY_FLAG | (n & 0xFFFFFF); }

// ---- how each layout relocates ------------------------------------------
//
// A compiled module is a copy of the cells and permanent-area words that
// parsing wrote; loading it elsewhere patches the words that hold a name
// index (the run interns the names again), a cell value (its page moves) or
// a permanent-area reference (its block moves). Which words those are
// follows from the layouts above, kind by kind. The switch has no default,
// so a new tag does not build until it says how its storage relocates
// (the image writer, parser/image_writer.cpp, walks by this).
enum class Storage : uint8_t {
    NAME_INDEX,     // immediate name value: the word is translated
    IMMEDIATE,      // immediate without storage: nothing to patch
    NUMBER_CELL,    // integer, float, Date: numbers only
    STRING_CELL,    // word 1: text item (plain bytes); words 2-3 numbers
    ARRAY_CELL,     // word 1: item of `count` (word 2) values; word 3 a number
    KEYED_CELL,     // word 1: item of `count` (word 2) (key word, value) pairs
    OBJECT_CELL,    // word 1: counts; word 2: item of `count` (key word, value) pairs; word 3: class name
    NODE_CELL,      // words 1-2: operands as the node kind says (parser/node_kinds.h)
    FUNCTION_CELL,  // word 1: body value; word 2: item of the n + m parameter and local values
    TEXT_ITEM,      // area item of numbers and text only (error object)
    REGEX_ITEM,     // compiled regular expression: its items hold values and names (regex/regex_layout.h)
    RUN_TIME_ONLY,  // made while a script runs (SQL statement, connection), or never: no image holds it
};

constexpr Storage storage_of(Tag tag) {
    switch (tag) {
        case TAG_NAME: return Storage::NAME_INDEX;
        case TAG_IMMEDIATE: return Storage::IMMEDIATE;
        case TAG_INTEGER:
        case TAG_FLOAT:
        case TAG_DATE: return Storage::NUMBER_CELL;
        case TAG_STRING: return Storage::STRING_CELL;
        case TAG_ARRAY: return Storage::ARRAY_CELL;
        case TAG_KEYED: return Storage::KEYED_CELL;
        case TAG_OBJECT: return Storage::OBJECT_CELL;
        case TAG_NODE: return Storage::NODE_CELL;
        case TAG_FUNCTION: return Storage::FUNCTION_CELL;
        case TAG_ERROR: return Storage::TEXT_ITEM;
        case TAG_REGEX: return Storage::REGEX_ITEM;  // literals are compiled while parsing
        case TAG_SQL:
        case TAG_CONNECTION:
        case TAG_UNUSED: return Storage::RUN_TIME_ONLY;
    }
    return Storage::RUN_TIME_ONLY;
}

// Kinds whose value word holds a cell's page and slot.
constexpr bool in_cell(Storage storage) {
    return storage >= Storage::NUMBER_CELL && storage <= Storage::FUNCTION_CELL;
}

// The words of a key: a name value, or an integer key (a plain number).
inline constexpr bool key_is_name(uint32_t key) { return !key_is_integer(key); }

}  // namespace kova

// Declaration lists kept while parsing: the global table (which is also
// the run's global variable storage), the `var` names of the functions
// being parsed, and the let/const names of the open blocks.
#pragma once

#include <cstdint>

#include "core/value.h"

namespace kova {

// One variable: the name value in bits 0-27 (bit 31 set for `const`) and
// the value, of which the slot holds one reference.
struct GlobalSlot {
    uint32_t name;
    Value value;
};

inline constexpr uint32_t GLOBAL_TABLE_STEP = 512;
inline constexpr uint32_t SLOT_CONST_FLAG = 0x80000000u;
inline constexpr uint32_t SLOT_NAME_MASK = 0x0FFFFFFFu;

// Slots from index 0 in declaration order. The first 512 are static; the
// table moves to the heap when it grows, by 512 slots at a time.
struct GlobalTable {
    GlobalSlot* slots;
    uint32_t count;
    uint32_t capacity;
    GlobalSlot initial[GLOBAL_TABLE_STEP];
};

extern GlobalTable g_globals;

// Empties the global table and the parser's local and block name lists.
void declarations_reset();

// The slot index of the name (const flag ignored), or -1.
int32_t global_find(uint32_t name);
// Appends a slot without looking for the name first; returns its index.
// The value is stored as given (the caller holds the reference it passes).
// Runtime error 1400 when the table cannot grow.
uint32_t global_add(uint32_t name, Value value);
// The slot of the name, appended with `undefined` when it is missing.
uint32_t global_declare(uint32_t name);

// A `var` name (or a function name): the innermost function's local names
// while a function is parsed, else the global table; never twice.
void declare_var_name(uint32_t name);
// True when the name is among the innermost function's local names.
bool local_name_declared(uint32_t name);

// let/const names of the open blocks; each block's names start at
// g_parser.block_start.
void push_block_name(uint32_t name);
bool block_name_declared(uint32_t name);  // among the innermost block's names

}  // namespace kova

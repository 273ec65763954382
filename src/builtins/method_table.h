// Method tables of the built-in receivers. A method call `r.m(args)` picks
// the table of its receiver (a built-in name such as Math, or the kind of
// the receiver's value), finds the entry whose name equals `m`, checks the
// argument count against the entry's rule and calls its handler.
//
// Each library family owns one table (or two, where a family has a static
// and an instance side) in its own file; adding a method means adding one
// handler and one entry there.
#pragma once

#include <cstdint>

#include "core/value.h"

namespace kova {

// Arguments already evaluated by the call, which releases them after the
// handler returns: a handler retains what it keeps. `receiver` is the
// receiver's value, or the built-in name for the named receivers.
using MethodHandler = Value (*)(Value receiver, const Value* arguments, uint32_t count);

// An argument rule is a minimum and a maximum count: "exactly n" is
// (n, n), "at least n" is (n, ANY_COUNT). A call holds at most 255
// arguments, so ANY_COUNT never refuses one.
inline constexpr uint8_t ANY_COUNT = 255;

struct Method {
    const char* name;
    MethodHandler handler;  // null: the name is known but this receiver kind has no form of it
    uint8_t min_arguments;
    uint8_t max_arguments;
};

struct MethodTable {
    const Method* methods;
    uint32_t count;
    int unknown_code;            // the called name is not in the table
    const char* unknown_message;
    int missing_code;            // the entry has no handler for this receiver kind
    int too_few_code;
    int too_many_code;
    const char* count_message;
};

// The entry whose name equals the name value's text, or null.
const Method* find_method(const MethodTable& table, uint32_t name);

// Looks the method up, checks the count and runs the handler. Raises the
// table's errors for an unknown name, a missing form or a wrong count.
Value call_method(const MethodTable& table, uint32_t name, Value receiver, const Value* arguments,
                  uint32_t count);

// The hash index of an object with many properties (builtins/object_index.cpp).
struct ObjectIndex {
    Value object;      // the object, held by the index; 0 when the place is free
    uint32_t pairs;    // the pair area the index describes
    uint32_t synced;   // pairs 0 .. synced - 1 are in the table
    uint32_t mask;     // table size - 1 (a power of 2)
    uint32_t* slots;   // pair index + 1 per slot, 0 for empty; heap block
    uint64_t last_use;
};
inline constexpr uint32_t INDEX_LIMIT = 64;

// Process-wide state of the library (reset at start-up and between unit
// tests).
struct LibraryState {
    bool random_seeded;  // Math.random seeds the generator on first use
    ObjectIndex indexes[INDEX_LIMIT];
    uint64_t index_clock;
};
extern LibraryState g_library;
void library_reset();
void object_indexes_reset();  // frees the index tables (part of library_reset)

// Receivers addressed by a predefined name.
extern const MethodTable MATH_METHODS;           // builtins/math.cpp
extern const MethodTable OBJECT_STATIC_METHODS;  // builtins/object.cpp (Object.keys)
extern const MethodTable NUMBER_METHODS;         // builtins/number.cpp
extern const MethodTable DATE_STATIC_METHODS;    // builtins/date.cpp (Date.now, ...)
extern const MethodTable STRING_STATIC_METHODS;  // builtins/string_static.cpp (String.fromCharCode, ...)

// The property of an object named like a called method whose value is a
// function (called instead of the built-in method), or 0.
Value object_method_function(Value object, uint32_t name);

// Receivers by the kind of their value.
extern const MethodTable STRING_METHODS;  // builtins/string.cpp
extern const MethodTable DATE_METHODS;    // builtins/date.cpp
extern const MethodTable REGEXP_METHODS;  // builtins/regexp.cpp
extern const MethodTable ARRAY_METHODS;   // builtins/array.cpp
extern const MethodTable KEYED_METHODS;   // builtins/array.cpp: same names, keyed-array forms
extern const MethodTable OBJECT_METHODS;  // builtins/object.cpp

}  // namespace kova

// Literals turned into values at parse time: strings and templates, object
// and array literals (whose members may be expression nodes, evaluated when
// the literal is used), and regular expressions.
#pragma once

#include <cstdint>

#include "core/value.h"

namespace kova {

// Bytes 2-3 of a string cell: 0x8000 for a template (backquotes), whose
// substitutions are expanded when it is evaluated.
inline constexpr uint16_t TEMPLATE_FLAG = 0x8000;
inline constexpr uint32_t MEMBER_VALUE_LIMIT = 21;  // at most 20 values per member item

// `text` follows the opening quote; returns the text after the closing one.
// A quoted string turns \n, \r, \t into their bytes and drops the backslash
// before any other byte; a template keeps backslash and byte, except before
// a backquote. Carriage returns are dropped. Parse error 1010 when the
// literal is not closed.
char* parse_string_literal(char* text, char quote, Value* out);

// `text` follows "{"; returns the text after the matching "}".
char* parse_object_literal(char* text, Value* out);

// `text` follows "["; returns the text after the matching "]".
char* parse_array_literal(char* text, Value* out);

// One comma-separated member or element: the values (at most 20) and the
// text after its comma, or at the end of the text.
char* parse_member_value(char* text, Value* values, uint32_t* count);

// `text` is at the opening "/": the literal is compiled into a regular
// expression value (tag 7), shared by every evaluation of the literal.
// Returns the text after its flag letters.
char* parse_regex_literal(char* text, Value* out);

}  // namespace kova

// Node kinds: the operation byte of a node record. The parser makes them,
// the evaluator dispatches on them, and compiled modules store them, so the
// numbers are fixed. Operator kinds double as the token codes of the
// expression parser.
#pragma once

#include <cstdint>

namespace kova {

enum NodeKind : uint32_t {
    NODE_KIND_FIRST = 100,

    NODE_EMPTY = 100,                   // yields undefined
    NODE_POSTFIX_INCREMENT = 101,       // x++
    NODE_POSTFIX_DECREMENT = 102,       // x--
    NODE_PREFIX_INCREMENT = 103,        // ++x
    NODE_PREFIX_DECREMENT = 104,        // --x
    NODE_TYPEOF = 105,
    NODE_INSTANCEOF = 106,              // value; class name value
    NODE_NOT = 107,                     // !
    NODE_LOGICAL_AND = 108,             // && (2 or more operands)
    NODE_LOGICAL_OR = 109,              // || (2 or more operands)
    NODE_EQUAL = 110,                   // ==
    NODE_STRICT_EQUAL = 111,            // ===
    NODE_NOT_EQUAL = 112,               // !=
    NODE_STRICT_NOT_EQUAL = 113,        // !==
    NODE_GREATER_OR_EQUAL = 114,        // >=
    NODE_GREATER = 115,                 // >
    NODE_LESS_OR_EQUAL = 116,           // <=
    NODE_LESS = 117,                    // <
    NODE_ADD = 118,                     // + (2 or more operands)
    NODE_SUBTRACT = 119,                // - (2 or more operands)
    NODE_MULTIPLY = 120,                // * (2 or more operands)
    NODE_DIVIDE = 121,                  // / (2 or more operands)
    NODE_REMAINDER = 122,               // % (2 or more operands)
    NODE_ASSIGN = 123,                  // =
    NODE_ADD_ASSIGN = 124,              // +=
    NODE_SUBTRACT_ASSIGN = 125,         // -=
    NODE_MULTIPLY_ASSIGN = 126,         // *=
    NODE_DIVIDE_ASSIGN = 127,           // /=
    NODE_REMAINDER_ASSIGN = 128,        // %=
    NODE_BIT_AND_ASSIGN = 129,          // &=
    NODE_BIT_OR_ASSIGN = 130,           // |=
    NODE_BIT_XOR_ASSIGN = 131,          // ^=
    NODE_BIT_AND = 132,                 // &
    NODE_BIT_OR = 133,                  // |
    NODE_BIT_XOR = 134,                 // ^
    NODE_BIT_NOT = 135,                 // ~
    NODE_SHIFT_LEFT = 136,              // <<
    NODE_SHIFT_RIGHT = 137,             // >>
    NODE_SHIFT_RIGHT_UNSIGNED = 138,    // >>>
    NODE_CONDITIONAL = 139,             // ? : (condition, then, else)
    NODE_COLON = 140,                   // the ":" token of ? :
    NODE_VAR = 141,
    NODE_LET = 142,
    NODE_CONST = 143,
    NODE_INDEX = 144,                   // a[i]
    NODE_MEMBER = 145,                  // a.name (container; name value)
    NODE_COMMA = 146,                   // the "," token separating list values
    NODE_IF = 147,
    NODE_WHILE = 148,
    NODE_DO_WHILE = 149,
    NODE_FOR = 150,                     // for (init; condition; update)
    NODE_FOR_OF = 151,
    NODE_FOR_IN = 152,
    NODE_TRY = 153,
    NODE_THROW = 154,
    NODE_BLOCK = 155,
    NODE_BREAK = 156,
    NODE_CONTINUE = 157,
    NODE_RETURN = 158,
    NODE_GROUP = 159,                   // ( ... ): its values in order, yields the last
    NODE_CALL = 160,                    // callee; argument-list item
    NODE_POWER = 161,                   // **
    NODE_SELECT = 162,
    NODE_SELECT_HASH = 163,
    NODE_SELECT_TO_FRONT = 164,
    NODE_SELECT_HASH_TO_FRONT = 165,
    NODE_EXECUTE = 166,
    NODE_OPEN_DB = 167,
    NODE_SELECT_EXISTS = 168,
    NODE_SEND_TO_FRONT = 169,
    NODE_SWITCH = 170,
    NODE_NUMBER_CONVERSION = 171,       // made by the evaluator, never by the parser
    NODE_STRING_CONVERSION = 172,       // made by the evaluator, never by the parser
    NODE_DECODE_URI = 173,
    NODE_DECODE_URI_COMPONENT = 174,
    NODE_ENCODE_URI = 175,
    NODE_ENCODE_URI_COMPONENT = 176,
    NODE_PARSE_FLOAT = 177,
    NODE_PARSE_INT = 178,
    NODE_EVAL = 179,
    NODE_CLOSE_DB = 180,
    NODE_SELECT_INTO = 181,
    NODE_REGEXP = 182,                  // RegExp(pattern [, flags])
    NODE_NEW = 183,                     // class name value; argument-list item
    NODE_EXCEPTION = 184,               // Exception(message [, code])
    NODE_DATE = 185,                    // made by the evaluator, never by the parser
    NODE_INTEGER = 186,                 // Integer([x])
    NODE_FLOAT = 187,                   // Float([x])
    NODE_ERROR = 188,                   // Error(message [, code])
    NODE_ARRAY = 189,                   // Array(elements...)
    NODE_UNUSED = 190,                  // no handler, never made
    NODE_ALERT_TO_FRONT = 191,
    NODE_RECORD_MAP = 192,
    NODE_RECORD_HASH = 193,
    NODE_SQL_AGGREGATE = 194,
    NODE_RESERVED_FIRST = 195,          // 195-227: reserved, evaluating one is an error
    NODE_RESERVED_LAST = 227,

    NODE_KIND_LAST = 227,
};

inline constexpr uint32_t NODE_KIND_COUNT = NODE_KIND_LAST - NODE_KIND_FIRST + 1;  // 128

}  // namespace kova

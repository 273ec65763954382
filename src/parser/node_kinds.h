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

// What the operands of a node of each kind are, for compiled modules: the
// image writer (parser/image_writer.cpp) patches every operand that is a
// value by its tag (core/value.h, Storage), and walks the items of the
// kinds whose operands are area references or plain numbers. The switch
// has no default: a new kind does not build until it says what its
// operands are.
enum class OperandShape : uint8_t {
    VALUES,         // every operand is a value
    FOR_PARTS,      // item of init + 1 + update values; the counts (init << 16 | update); body
    FOR_ITERATION,  // name, expression, body, declaration flag (a number)
    TRY,            // try block; catch item (name, block, 0), or 0 when only a finally follows; finally block
    CALL,           // callee or class name; argument-list item (count, then the values)
    SWITCH,         // expression; case table; statement item; default flag (a number)
    NOT_PARSED,     // made while a script runs, or never: not in a module image
};

constexpr OperandShape operand_shape(NodeKind kind) {
    switch (kind) {
        case NODE_FOR: return OperandShape::FOR_PARTS;
        case NODE_FOR_OF:
        case NODE_FOR_IN: return OperandShape::FOR_ITERATION;
        case NODE_TRY: return OperandShape::TRY;
        case NODE_CALL:
        case NODE_NEW: return OperandShape::CALL;
        case NODE_SWITCH: return OperandShape::SWITCH;

        case NODE_EMPTY:
        case NODE_COLON:   // tokens of the expression parser, never left in a node
        case NODE_COMMA:
        case NODE_NUMBER_CONVERSION:
        case NODE_STRING_CONVERSION:
        case NODE_DATE:
        case NODE_UNUSED:
        case NODE_RESERVED_FIRST:
        case NODE_RESERVED_LAST: return OperandShape::NOT_PARSED;

        case NODE_POSTFIX_INCREMENT:
        case NODE_POSTFIX_DECREMENT:
        case NODE_PREFIX_INCREMENT:
        case NODE_PREFIX_DECREMENT:
        case NODE_TYPEOF:
        case NODE_INSTANCEOF:
        case NODE_NOT:
        case NODE_LOGICAL_AND:
        case NODE_LOGICAL_OR:
        case NODE_EQUAL:
        case NODE_STRICT_EQUAL:
        case NODE_NOT_EQUAL:
        case NODE_STRICT_NOT_EQUAL:
        case NODE_GREATER_OR_EQUAL:
        case NODE_GREATER:
        case NODE_LESS_OR_EQUAL:
        case NODE_LESS:
        case NODE_ADD:
        case NODE_SUBTRACT:
        case NODE_MULTIPLY:
        case NODE_DIVIDE:
        case NODE_REMAINDER:
        case NODE_ASSIGN:
        case NODE_ADD_ASSIGN:
        case NODE_SUBTRACT_ASSIGN:
        case NODE_MULTIPLY_ASSIGN:
        case NODE_DIVIDE_ASSIGN:
        case NODE_REMAINDER_ASSIGN:
        case NODE_BIT_AND_ASSIGN:
        case NODE_BIT_OR_ASSIGN:
        case NODE_BIT_XOR_ASSIGN:
        case NODE_BIT_AND:
        case NODE_BIT_OR:
        case NODE_BIT_XOR:
        case NODE_BIT_NOT:
        case NODE_SHIFT_LEFT:
        case NODE_SHIFT_RIGHT:
        case NODE_SHIFT_RIGHT_UNSIGNED:
        case NODE_CONDITIONAL:
        case NODE_VAR:
        case NODE_LET:
        case NODE_CONST:
        case NODE_INDEX:
        case NODE_MEMBER:
        case NODE_IF:
        case NODE_WHILE:
        case NODE_DO_WHILE:
        case NODE_THROW:
        case NODE_BLOCK:
        case NODE_BREAK:
        case NODE_CONTINUE:
        case NODE_RETURN:
        case NODE_GROUP:
        case NODE_POWER:
        case NODE_SELECT:
        case NODE_SELECT_HASH:
        case NODE_SELECT_TO_FRONT:
        case NODE_SELECT_HASH_TO_FRONT:
        case NODE_EXECUTE:
        case NODE_OPEN_DB:
        case NODE_SELECT_EXISTS:
        case NODE_SEND_TO_FRONT:
        case NODE_DECODE_URI:
        case NODE_DECODE_URI_COMPONENT:
        case NODE_ENCODE_URI:
        case NODE_ENCODE_URI_COMPONENT:
        case NODE_PARSE_FLOAT:
        case NODE_PARSE_INT:
        case NODE_EVAL:
        case NODE_CLOSE_DB:
        case NODE_SELECT_INTO:
        case NODE_REGEXP:
        case NODE_EXCEPTION:
        case NODE_INTEGER:
        case NODE_FLOAT:
        case NODE_ERROR:
        case NODE_ARRAY:
        case NODE_ALERT_TO_FRONT:
        case NODE_RECORD_MAP:
        case NODE_RECORD_HASH:
        case NODE_SQL_AGGREGATE: return OperandShape::VALUES;
    }
    return OperandShape::NOT_PARSED;  // reserved kinds between the two named ones
}

}  // namespace kova

// The tokenizer of expression lists: one token at a time, bracketed parts
// parsed recursively into single operands, keywords handed to their
// statement handlers.
#include <cstdint>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/number_text.h"
#include "core/values.h"
#include "parser/expressions.h"
#include "parser/lexer.h"
#include "parser/literal_scan.h"
#include "parser/literals.h"
#include "parser/node_kinds.h"
#include "parser/nodes.h"
#include "parser/parser.h"
#include "parser/statements.h"

namespace kova {

namespace {

constexpr uint32_t ARGUMENT_LIMIT = 256;  // lists of at most 255 values
constexpr uint32_t NO_LEVEL = 0xFF;

// Precedence level of an operator code (0 binds tightest); NO_LEVEL for the
// comma and for codes that are not operators.
uint32_t operator_level(uint8_t code) {
    switch (code) {
        case NODE_CALL: case NODE_INDEX: case NODE_MEMBER: case NODE_NEW:
            return 0;
        case NODE_POSTFIX_INCREMENT: case NODE_POSTFIX_DECREMENT:
            return 2;
        case NODE_PREFIX_INCREMENT: case NODE_PREFIX_DECREMENT: case NODE_NOT: case NODE_BIT_NOT:
        case NODE_TYPEOF:
            return 3;
        case NODE_POWER:
            return 4;
        case NODE_MULTIPLY: case NODE_DIVIDE: case NODE_REMAINDER:
            return 5;
        case NODE_ADD: case NODE_SUBTRACT:
            return 6;
        case NODE_SHIFT_LEFT: case NODE_SHIFT_RIGHT: case NODE_SHIFT_RIGHT_UNSIGNED:
            return 7;
        case NODE_GREATER_OR_EQUAL: case NODE_GREATER: case NODE_LESS_OR_EQUAL: case NODE_LESS:
        case NODE_INSTANCEOF:
            return 8;
        case NODE_EQUAL: case NODE_STRICT_EQUAL: case NODE_NOT_EQUAL: case NODE_STRICT_NOT_EQUAL:
            return 9;
        case NODE_BIT_AND: return 10;
        case NODE_BIT_XOR: return 11;
        case NODE_BIT_OR: return 12;
        case NODE_LOGICAL_AND: return 13;
        case NODE_LOGICAL_OR: return 14;
        case NODE_CONDITIONAL: case NODE_COLON:
            return 16;
        case NODE_ASSIGN: case NODE_ADD_ASSIGN: case NODE_SUBTRACT_ASSIGN: case NODE_MULTIPLY_ASSIGN:
        case NODE_DIVIDE_ASSIGN: case NODE_REMAINDER_ASSIGN: case NODE_BIT_AND_ASSIGN: case NODE_BIT_OR_ASSIGN:
        case NODE_BIT_XOR_ASSIGN:
            return 17;
        default:
            return NO_LEVEL;
    }
}

void push_token(TokenList* list, Value value, uint8_t code, uint32_t position) {
    if (list->count >= list->rules->max_tokens) raise_list_error(list->rules->too_many_tokens, list->start);
    const uint32_t i = list->count++;
    list->values[i] = value;
    list->codes[i] = code;
    list->positions[i] = position;
    const uint32_t level = operator_level(code);
    if (level != NO_LEVEL) list->levels |= 1u << level;
}

void push_operand(TokenList* list, Value value, uint32_t position) {
    push_token(list, value, TOKEN_OPERAND, position);
}

void push_operator(TokenList* list, uint8_t code, uint32_t position) {
    push_token(list, EMPTY_SLOT, code, position);
}

bool after_operand(const TokenList& list) {
    return list.count != 0 && list.codes[list.count - 1] == TOKEN_OPERAND;
}

// A value ends before the next token: an operand, or a postfix ++ or --
// after one (so "i++ / 2" divides and "i++ -1" subtracts).
bool after_value(const TokenList& list) {
    if (after_operand(list)) return true;
    if (list.count == 0) return false;
    const uint8_t last = list.codes[list.count - 1];
    return last == NODE_POSTFIX_INCREMENT || last == NODE_POSTFIX_DECREMENT;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The first byte after blanks, without counting lines (a look-ahead only).
char peek_past_blanks(const char* p) {
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    return *p;
}

[[noreturn]] void unexpected(const char* at) { raise_parse_error(1015, "ステートメント不正(%s)", excerpt(at, 100)); }

[[noreturn]] void bad_argument_count(const char* at) { raise_parse_error(1020, "引数の個数不正 '%s'", excerpt(at, 100)); }

// Argument bounds of the built-in classes; kind 0 where a call without
// `new` is an ordinary call of the plain name.
struct ConstructorRule {
    uint8_t kind;
    uint16_t low;
    uint16_t high;
};

const ConstructorRule* constructor_rule(uint32_t name) {
    static constexpr ConstructorRule RULES[] = {
        {0, 0, 1},                 // Number
        {NODE_INTEGER, 0, 1},      // Integer
        {NODE_FLOAT, 0, 1},        // Float
        {0, 0, 7},                 // Date
        {NODE_ERROR, 1, 2},        // Error
        {NODE_REGEXP, 1, 2},       // RegExp
        {0, 0, 1},                 // String
        {NODE_ARRAY, 0, 255},      // Array
        {0, 0, 0},                 // Hash: free arguments, never checked
        {NODE_EXCEPTION, 1, 2},    // Exception
    };
    static_assert(NAME_EXCEPTION - NAME_NUMBER + 1 == sizeof RULES / sizeof RULES[0]);
    if (name < NAME_NUMBER || name > NAME_EXCEPTION || name == NAME_HASH) return nullptr;
    return &RULES[name - NAME_NUMBER];
}

// "(" after an operand: tokens 160 and the argument-list item.
[[gnu::noinline]] char* call_token(char* open, TokenList* list, uint32_t position) {
    Value arguments[ARGUMENT_LIMIT];
    uint32_t count = 0;
    char* after = parse_bracketed_list(open, ')', arguments, ARGUMENT_LIMIT, &count, true);
    push_operator(list, NODE_CALL, position);
    push_operand(list, make_argument_item(arguments, count), position);
    return after;
}

// "(" elsewhere: a group, node 159 with its values.
[[gnu::noinline]] char* group_token(char* open, TokenList* list, uint32_t position) {
    Value values[ARGUMENT_LIMIT];
    uint32_t count = 0;
    char* after = parse_bracketed_list(open, ')', values, ARGUMENT_LIMIT, &count, false);
    push_operand(list, make_node(NODE_GROUP, count, values, position), position);
    return after;
}

// "[" after an operand: token 144 and the one index value.
[[gnu::noinline]] char* index_token(char* open, TokenList* list, uint32_t position) {
    Value values[ARGUMENT_LIMIT];
    uint32_t count = 0;
    char* after = parse_bracketed_list(open, ']', values, ARGUMENT_LIMIT, &count, false);
    if (count != 1) unexpected(open);
    push_operator(list, NODE_INDEX, position);
    push_operand(list, values[0], position);
    return after;
}

// "." after an operand: token 145 and the member name, read as a plain name
// (no keyword lookup, so obj.select is a member).
char* member_token(char* dot, TokenList* list, uint32_t position) {
    char* p = skip_blanks(dot + 1);
    if (!is_identifier_start(*p)) unexpected(dot);
    const uint32_t name_position = position_word(p);
    const char* cursor = p;
    const uint32_t name = read_identifier(&cursor);
    push_operator(list, NODE_MEMBER, position);
    push_operand(list, name, name_position);
    return const_cast<char*>(cursor);
}

// `new` Class [ "(" arguments ")" ]: tokens 183, the class name, 160 and the
// argument-list item; level 0 turns them into node 183.
[[gnu::noinline]] char* new_token(char* at, char* after_new, TokenList* list, uint32_t position) {
    char* p = skip_blanks(after_new);
    if (!is_identifier_start(*p)) unexpected(at);
    const uint32_t class_position = position_word(p);
    const char* cursor = p;
    const uint32_t class_name = read_identifier(&cursor);
    p = skip_blanks(const_cast<char*>(cursor));
    if (*p == '.') unexpected(at);

    Value arguments[ARGUMENT_LIMIT];
    uint32_t count = 0;
    if (*p == '(') p = parse_bracketed_list(p, ')', arguments, ARGUMENT_LIMIT, &count, true);
    const ConstructorRule* rule = constructor_rule(class_name);
    if (rule != nullptr && (count < rule->low || count > rule->high)) bad_argument_count(at);

    push_operator(list, NODE_NEW, position);
    push_operand(list, class_name, class_position);
    push_operator(list, NODE_CALL, position);
    push_operand(list, make_argument_item(arguments, count), position);
    return p;
}

// Integer, Float, Error, RegExp, Array, Exception without `new`: a built-in
// construction node with the arguments as operands.
[[gnu::noinline]] char* construction_token(char* at, char* after_name, const ConstructorRule& rule,
                                           TokenList* list, uint32_t position) {
    char* p = skip_blanks(after_name);
    Value arguments[ARGUMENT_LIMIT];
    uint32_t count = 0;
    if (*p == '(') {
        p = parse_bracketed_list(p, ')', arguments, ARGUMENT_LIMIT, &count, false);
    } else if (*p == '.') {
        unexpected(at);
    }
    if (count < rule.low || count > rule.high) bad_argument_count(at);
    push_operand(list, make_node(rule.kind, count, arguments, position), position);
    return p;
}

// A keyword's statement, a special predefined name, or a plain name.
[[gnu::noinline]] char* word_token(char* at, TokenList* list, uint32_t position) {
    const char* cursor = at;
    const int keyword = keyword_lookup(&cursor);
    if (keyword >= 0) {
        g_parser.function_ended_list = false;
        Value node = 0;
        char* after = STATEMENT_HANDLERS[keyword](const_cast<char*>(cursor), &node, at, position);
        push_operand(list, node, position);
        if (g_parser.function_ended_list) {
            // A function literal ends the list without a ";", except that
            // the list goes on when a comma follows it (an argument or
            // element after a callback).
            g_parser.function_ended_list = false;
            if (peek_past_blanks(after) != ',') list->ended = true;
        }
        return after;
    }

    const uint32_t name = read_identifier(&cursor);
    char* after = const_cast<char*>(cursor);
    switch (name) {
        case NAME_TYPEOF:
            push_operator(list, NODE_TYPEOF, position);
            return after;
        case NAME_INSTANCEOF: {
            push_operator(list, NODE_INSTANCEOF, position);
            char* p = skip_blanks(after);
            if (!is_identifier_start(*p)) unexpected(at);
            const uint32_t class_position = position_word(p);
            const char* class_cursor = p;
            const uint32_t class_name = read_identifier(&class_cursor);
            push_operand(list, class_name, class_position);
            return const_cast<char*>(class_cursor);
        }
        case NAME_NEW:
            return new_token(at, after, list, position);
        default:
            break;
    }
    const ConstructorRule* rule = constructor_rule(name);
    if (rule != nullptr && rule->kind != 0) return construction_token(at, after, *rule, list, position);
    push_operand(list, name, position);
    return after;
}

// The operator at p by longest match; its length in *length, 0 if none.
uint8_t match_operator(const char* p, bool operand_before, uint32_t* length) {
    const char c = p[0];
    const char d = p[1];
    *length = 1;
    switch (c) {
        case '!':
            if (d == '=') {
                *length = p[2] == '=' ? 3 : 2;
                return p[2] == '=' ? NODE_STRICT_NOT_EQUAL : NODE_NOT_EQUAL;
            }
            return NODE_NOT;
        case '=':
            if (d == '=') {
                *length = p[2] == '=' ? 3 : 2;
                return p[2] == '=' ? NODE_STRICT_EQUAL : NODE_EQUAL;
            }
            return NODE_ASSIGN;
        case '>':
            if (d == '>') {
                *length = p[2] == '>' ? 3 : 2;
                return p[2] == '>' ? NODE_SHIFT_RIGHT_UNSIGNED : NODE_SHIFT_RIGHT;
            }
            if (d == '=') {
                *length = 2;
                return NODE_GREATER_OR_EQUAL;
            }
            return NODE_GREATER;
        case '<':
            if (d == '<' || d == '=') {
                *length = 2;
                return d == '<' ? NODE_SHIFT_LEFT : NODE_LESS_OR_EQUAL;
            }
            return NODE_LESS;
        case '&':
            if (d == '&' || d == '=') {
                *length = 2;
                return d == '&' ? NODE_LOGICAL_AND : NODE_BIT_AND_ASSIGN;
            }
            return NODE_BIT_AND;
        case '|':
            if (d == '|' || d == '=') {
                *length = 2;
                return d == '|' ? NODE_LOGICAL_OR : NODE_BIT_OR_ASSIGN;
            }
            return NODE_BIT_OR;
        case '^':
            if (d == '=') {
                *length = 2;
                return NODE_BIT_XOR_ASSIGN;
            }
            return NODE_BIT_XOR;
        case '~':
            return NODE_BIT_NOT;
        case '*':
            if (d == '*' || d == '=') {
                *length = 2;
                return d == '*' ? NODE_POWER : NODE_MULTIPLY_ASSIGN;
            }
            return NODE_MULTIPLY;
        case '/':
            if (d == '=') {
                *length = 2;
                return NODE_DIVIDE_ASSIGN;
            }
            return NODE_DIVIDE;
        case '%':
            if (d == '=') {
                *length = 2;
                return NODE_REMAINDER_ASSIGN;
            }
            return NODE_REMAINDER;
        case '+':
            if (d == '+') {
                *length = 2;
                return operand_before ? NODE_POSTFIX_INCREMENT : NODE_PREFIX_INCREMENT;
            }
            if (d == '=') {
                *length = 2;
                return NODE_ADD_ASSIGN;
            }
            return NODE_ADD;
        case '-':
            if (d == '-') {
                *length = 2;
                return operand_before ? NODE_POSTFIX_DECREMENT : NODE_PREFIX_DECREMENT;
            }
            if (d == '=') {
                *length = 2;
                return NODE_SUBTRACT_ASSIGN;
            }
            return NODE_SUBTRACT;
        case '?':
            return NODE_CONDITIONAL;
        case ':':
            return NODE_COLON;
        case ',':
            return NODE_COMMA;
        default:
            *length = 0;
            return 0;
    }
}

}  // namespace

Value read_number_literal(char** cursor, int sign) {
    const char* p = *cursor;
    const NumberText number = read_number_text(&p, sign);
    *cursor = const_cast<char*>(p);
    if (number.is_float) return new_float(number.real);
    // Whatever fits a 32-bit integer stays one; larger magnitudes (from
    // 2^31 on) become floats holding the exact value, never a cut-down one.
    if (number.integer >= INT32_MIN && number.integer <= INT32_MAX) return new_integer(int32_t(number.integer));
    return new_float(double(number.integer));
}

uint32_t make_argument_item(const Value* values, uint32_t count) {
    uint8_t* item = nullptr;
    const uint32_t reference = area_alloc((size_t(count) + 1) * 4, &item);
    store_u32(item, count);
    for (uint32_t i = 0; i < count; ++i) store_u32(item + 4 * (size_t(i) + 1), values[i]);
    return reference;
}

char* parse_bracketed_list(char* open, char close, Value* values, uint32_t limit, uint32_t* count,
                           bool retain) {
    char* inside = open + 1;
    char* closer = find_closing(inside, close, *open);
    if (closer == nullptr) {
        const char missing[2] = {close, '\0'};
        raise_parse_error(1130, "ステートメント不正 ('%.1s'なし) %.1s%s", missing, open, excerpt(inside, 120));
    }
    {
        CutGuard cut(closer);
        char* rest = skip_blanks(parse_expression_list(inside, values, limit, count, retain));
        if (*rest != '\0') {
            const char* left = excerpt(rest, 20);
            raise_parse_error(1135, "ステートメント不正 ('%s') in %.1s%s", left, open, excerpt(inside, 120));
        }
    }
    return closer + 1;
}

char* next_token(char* text, TokenList* list) {
    char* p = skip_blanks(text);
    const uint32_t position = position_word(p);
    const char c = *p;
    if (c == ';' || c == '\0') {
        list->ended = true;
        return p;
    }
    const bool operand_before = after_operand(*list);
    const bool value_before = after_value(*list);

    if (is_quote(c)) {
        Value string = 0;
        char* after = parse_string_literal(p + 1, c, &string);
        push_operand(list, string, position);
        return after;
    }
    if (is_digit(c) || (c == '.' && !value_before)) {
        const Value number = read_number_literal(&p, 1);
        push_operand(list, number, position);
        return p;
    }
    if ((c == '+' || c == '-') && is_digit(p[1]) && !value_before) {
        ++p;
        const Value number = read_number_literal(&p, c == '-' ? -1 : 1);
        push_operand(list, number, position);
        return p;
    }
    if (c == '/' && !value_before) {
        Value regex = 0;
        char* after = parse_regex_literal(p, &regex);
        push_operand(list, regex, position);
        return after;
    }
    if (c == '(') return operand_before ? call_token(p, list, position) : group_token(p, list, position);
    if (c == '[') {
        if (operand_before) return index_token(p, list, position);
        Value array = 0;
        char* after = parse_array_literal(p + 1, &array);
        push_operand(list, array, position);
        return after;
    }
    if (c == '{') {
        Value object = 0;
        char* after = parse_object_literal(p + 1, &object);
        push_operand(list, object, position);
        return after;
    }
    if (c == '.') return member_token(p, list, position);
    if (is_identifier_start(c)) return word_token(p, list, position);

    uint32_t length = 0;
    const uint8_t code = match_operator(p, operand_before, &length);
    if (length == 0) unexpected(p);
    push_operator(list, code, position);
    return p + length;
}

}  // namespace kova

// The expression parser. An expression list is not parsed by recursive
// descent: its text is cut into a flat token list (operands and operator
// codes), every bracketed part being parsed recursively into one operand,
// and the list is then reduced level by level, from the tightest-binding
// operators to the loosest. What is left is a list of values separated by
// commas; the caller decides how many it accepts.
//
// A token list lives in the frame of the routine that parses the list: no
// heap memory per list or per token.
#pragma once

#include <cstdint>

#include "core/value.h"
#include "parser/parser.h"

namespace kova {

// skip_blanks for text the parser may write to (brackets are cut in place).
inline char* skip_blanks(char* p) { return const_cast<char*>(skip_blanks(static_cast<const char*>(p))); }

inline constexpr uint32_t TOKEN_ARRAY_SIZE = 1280;
inline constexpr uint32_t TOKEN_LIMIT = 1023;        // tokens of one expression list
inline constexpr uint32_t TOP_CALL_TOKEN_LIMIT = 31;  // tokens of the top call text
inline constexpr uint32_t CHAIN_OPERAND_LIMIT = 254;  // operands of one chain node
inline constexpr Value EMPTY_SLOT = 0x0FFFFFFF;

// Token codes besides the operator kinds (node_kinds.h).
inline constexpr uint8_t TOKEN_CONSUMED = 0;  // a slot emptied by reduction
inline constexpr uint8_t TOKEN_OPERAND = 1;

// Nesting of token lists and statements. Each token list takes about 12 KiB
// of stack, so the depth is bounded well inside the 8 MiB of the main
// thread; deeper text is refused with a parse error.
inline constexpr uint32_t LIST_NESTING_LIMIT = 200;
inline constexpr uint32_t STATEMENT_NESTING_LIMIT = 1000;

// The errors a list raises differ between ordinary expression lists, the
// items of object and array literals and the top call text.
struct ListRules {
    uint32_t max_tokens;
    int too_many_tokens;  // 1120, 1060, 1720
    int malformed;        // 1125, 1065, 1730: ends in an operator, reduction failed, operator left over
    int too_many_values;  // 1123, 1065, 1730
};
extern const ListRules EXPRESSION_RULES;
extern const ListRules MEMBER_RULES;
extern const ListRules TOP_CALL_RULES;

struct TokenList {
    uint32_t count;
    uint32_t levels;       // bit n set: an operator of precedence level n is present
    const ListRules* rules;
    const char* start;     // the list's text, quoted by its errors
    bool ended;            // ";", the end of the text, or a function literal was met
    Value values[TOKEN_ARRAY_SIZE];        // operand, or EMPTY_SLOT
    uint8_t codes[TOKEN_ARRAY_SIZE];       // TOKEN_OPERAND, an operator kind, 146 comma, 183 new
    uint32_t positions[TOKEN_ARRAY_SIZE];  // position word of the token

    void begin(const ListRules* list_rules, const char* text) {
        count = 0;
        levels = 0;
        rules = list_rules;
        start = text;
        ended = false;
    }
};

// Parse-time work state shared by the expression and statement parsers.
struct ExpressionState {
    uint32_t list_depth;
    uint32_t statement_depth;
    bool top_call;                    // the top call text is parsed: function literals are refused
    const char* function_end;         // the text right after the last function literal
    bool statement_ended_in_function; // the last statement parsed ended with a function literal
};
extern ExpressionState g_expression;

// A growing stack of words for lists whose length is not known in advance
// (block statements, literal members, switch bodies). Nested constructs push
// above their parent's entries and pop back before the parent pushes again,
// so one stack serves them all without allocating per construct.
struct WordStack {
    uint32_t* words;
    uint32_t count;
    uint32_t capacity;
};
extern WordStack g_word_stack;   // statements, members, elements
extern WordStack g_case_stack;   // switch case tables
void word_stack_push(WordStack* stack, uint32_t word);

// Restores a word stack to its height at construction when the scope ends,
// normally or by a parse error.
class WordStackMark {
public:
    explicit WordStackMark(WordStack* stack) : stack_(stack), base_(stack->count) {}
    ~WordStackMark() { stack_->count = base_; }
    WordStackMark(const WordStackMark&) = delete;
    WordStackMark& operator=(const WordStackMark&) = delete;
    uint32_t base() const { return base_; }
    uint32_t size() const { return stack_->count - base_; }
    uint32_t* words() const { return stack_->words + base_; }

private:
    WordStack* stack_;
    uint32_t base_;
};

// Counts one level of nesting; parse error 1015 beyond the limit.
class NestingGuard {
public:
    NestingGuard(uint32_t* depth, uint32_t limit, const char* text);
    ~NestingGuard() { --*depth_; }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

private:
    uint32_t* depth_;
};

// Puts back the character a bracketed part's closer was cut at.
class CutGuard {
public:
    explicit CutGuard(char* at) : at_(at), saved_(*at) { *at = '\0'; }
    ~CutGuard() { *at_ = saved_; }
    CutGuard(const CutGuard&) = delete;
    CutGuard& operator=(const CutGuard&) = delete;

private:
    char* at_;
    char saved_;
};

void expressions_reset();

// Tokenizes up to the first ";" at bracket depth 0, the end of the text or
// a function literal, reduces, and stores the values left in `values` (at
// most limit - 1 of them, else parse error 1123), retained once each when
// `retain` is set. Returns the text where it stopped.
char* parse_expression_list(char* text, Value* values, uint32_t limit, uint32_t* count, bool retain);

// Reads one token into the list; returns the text after it. Sets
// list->ended at ";" or the end of the text (not consumed) and after a
// function literal.
char* next_token(char* text, TokenList* list);

// The end checks, the reduction and the collection of the values.
void finish_token_list(TokenList* list, Value* values, uint32_t limit, uint32_t* count, bool retain);

// Parses the bracketed list that opens at `open` ("(" or "[") up to its
// partner: 1130 without a partner, 1135 for text left inside. Returns the
// text after the closing bracket.
char* parse_bracketed_list(char* open, char close, Value* values, uint32_t limit, uint32_t* count,
                           bool retain);

// The argument-list item of a call or `new`: an area item of the count and
// the values (which the caller has already retained).
uint32_t make_argument_item(const Value* values, uint32_t count);

// The value of a number literal (the cursor at its first digit or point).
Value read_number_literal(char** cursor, int sign);

// Raises the list's error `code` quoting the list's text.
[[noreturn]] void raise_list_error(int code, const char* text);

}  // namespace kova

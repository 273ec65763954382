// The statement parser: statements, blocks, statement lists and the
// 68-entry statement handler table indexed by keyword. The expression parser
// calls the same handlers when a keyword starts an operand, so
// x = parseInt(s) or f = function (a) {...} are ordinary expressions.
#pragma once

#include <cstdint>

#include "core/value.h"
#include "parser/lexer.h"
#include "parser/parser.h"

namespace kova {

// (text after the keyword, out node, text at the keyword, position word of
// the keyword) -> the text after what the statement consumed.
using StatementHandler = char* (*)(char* text, Value* out, char* at, uint32_t position);
extern const StatementHandler STATEMENT_HANDLERS[KEYWORD_COUNT];

// Limits of the expression lists of statements (a list accepts limit - 1
// values).
inline constexpr uint32_t STATEMENT_VALUE_LIMIT = 18;
inline constexpr uint32_t ARGUMENT_VALUE_LIMIT = 256;

// One statement: a block, a keyword statement or an expression; returns the
// text after it and one ";" that follows directly. An empty statement
// yields node value 0.
char* parse_statement(char* text, Value* out);

// Statements up to the end of the text, each appended to the list (and
// retained when `retain` is set). `run_time` marks text parsed while a
// script runs (eval, templates, debugger): its nodes carry the no-stop mark,
// and a last statement that ends in a function literal is reported.
void parse_statement_list(char* text, StatementList* list, bool retain, bool run_time);

// "{" statements "}" as node 155; *end_line receives the line of the "}".
char* parse_block(char* text, Value* out, uint32_t* end_line);

// Blanks, "(", up to 255 values, ")". Null when no "(" follows (the caller
// raises its own error); 1130 or 1135 for a malformed list.
char* parse_argument_list(char* text, Value* values, uint32_t* count);

// True when `text` starts with `word` followed by a byte that cannot
// continue an identifier.
bool starts_with_word(const char* text, const char* word);

// Statement handlers, by file: control_statements.cpp, function_parser.cpp
// and statements.cpp.
char* parse_break(char* text, Value* out, char* at, uint32_t position);
char* parse_continue(char* text, Value* out, char* at, uint32_t position);
char* parse_return(char* text, Value* out, char* at, uint32_t position);
char* parse_throw(char* text, Value* out, char* at, uint32_t position);
char* parse_if(char* text, Value* out, char* at, uint32_t position);
char* parse_while(char* text, Value* out, char* at, uint32_t position);
char* parse_do(char* text, Value* out, char* at, uint32_t position);
char* parse_for(char* text, Value* out, char* at, uint32_t position);
char* parse_switch(char* text, Value* out, char* at, uint32_t position);
char* parse_try(char* text, Value* out, char* at, uint32_t position);
char* parse_function(char* text, Value* out, char* at, uint32_t position);
char* parse_var(char* text, Value* out, char* at, uint32_t position);
char* parse_let(char* text, Value* out, char* at, uint32_t position);
char* parse_const(char* text, Value* out, char* at, uint32_t position);

}  // namespace kova

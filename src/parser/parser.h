// The script parser's shared state and entry points. Module text is parsed
// in place (NUL-terminated, brackets temporarily cut with a NUL) into node
// values (tag 13) and function values (tag 14).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/value.h"

namespace kova {

// Parse-time state, process-wide.
struct ParserState {
    uint32_t line;               // current line, 1 at the start of a module
    const char* last_line_feed;  // the most recent line feed skipped
    uint32_t module;             // number of the module being parsed
    bool run_time;               // text parsed while a script runs: eval, templates, top call, debugger
    bool function_ended_list;    // set by a function literal: the expression list stops after it
    bool in_function;            // a function body is being parsed
    // declaration lists
    Value* local_names;          // `var` names of the functions being parsed
    uint32_t local_count;
    uint32_t local_capacity;
    uint32_t function_start;     // first local name of the innermost function
    Value* block_names;          // let/const names of the open blocks
    uint32_t block_count;
    uint32_t block_capacity;
    uint32_t block_start;        // first name of the innermost block
    bool in_block;
};

extern ParserState g_parser;

void parser_reset();

// Position word of a token at `at`: line in bits 0-15, column (bytes from
// the last line feed) in bits 16-30.
inline uint32_t position_word(const char* at) {
    const uint32_t column = static_cast<uint32_t>(at - g_parser.last_line_feed) & 0x7FFF;
    return (g_parser.line & 0xFFFF) | (column << 16);
}

// Skips space, tab, CR and LF; a line feed counts a line.
inline const char* skip_blanks(const char* p) {
    for (;;) {
        const char c = *p;
        if (c == '\n') {
            ++g_parser.line;
            g_parser.last_line_feed = p;
        } else if (c != ' ' && c != '\t' && c != '\r') {
            return p;
        }
        ++p;
    }
}

// A growing list of statement values (one per module, and block bodies).
struct StatementList {
    Value* items;
    uint32_t count;
    uint32_t capacity;
    bool heap_owned;
};

void statement_list_append(StatementList* list, Value v);

}  // namespace kova

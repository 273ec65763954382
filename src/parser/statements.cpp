// Statements, blocks and statement lists; declarator lists; the database,
// front-end and built-in statements that take an argument list; and the
// statement handler table.
#include "parser/statements.h"

#include <cstdio>
#include <cstring>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "parser/declarations.h"
#include "parser/expressions.h"
#include "parser/node_kinds.h"
#include "parser/nodes.h"

#if !KOVA_DEBUGGER
#include "host/host.h"
#include "platform/platform.h"
#endif

namespace kova {

namespace {

// Skips blanks and the ";" between statements.
char* skip_statement_gaps(char* p) {
    for (;;) {
        p = skip_blanks(p);
        if (*p != ';') return p;
        ++p;
    }
}

// Restores the run-time mark of the parser when the list is done.
class RunTimeMark {
public:
    explicit RunTimeMark(bool run_time) : saved_(g_parser.run_time) {
        if (run_time) g_parser.run_time = true;
    }
    ~RunTimeMark() { g_parser.run_time = saved_; }
    RunTimeMark(const RunTimeMark&) = delete;
    RunTimeMark& operator=(const RunTimeMark&) = delete;

private:
    bool saved_;
};

// A block's let/const names start after those of the enclosing blocks and
// are dropped when the block ends.
class BlockScope {
public:
    BlockScope() : saved_start_(g_parser.block_start), saved_in_block_(g_parser.in_block) {
        g_parser.block_start = g_parser.block_count;
        g_parser.in_block = true;
    }
    ~BlockScope() {
        g_parser.block_count = g_parser.block_start;
        g_parser.block_start = saved_start_;
        g_parser.in_block = saved_in_block_;
    }
    BlockScope(const BlockScope&) = delete;
    BlockScope& operator=(const BlockScope&) = delete;

private:
    uint32_t saved_start_;
    bool saved_in_block_;
};

// A statement that consumed nothing would be parsed forever; the loops
// below refuse it (no known text gets here).
[[noreturn]] void stuck(const char* at) { raise_parse_error(1000, "ステートメント不正 '%s'", excerpt(at, 120)); }

char* expression_statement(char* text, Value* out) {
    Value values[STATEMENT_VALUE_LIMIT];
    uint32_t count = 0;
    char* after = parse_expression_list(text, values, STATEMENT_VALUE_LIMIT, &count, false);
    if (count > 1) raise_parse_error(1000, "ステートメント不正 '%s'", excerpt(text, 120));
    *out = count == 1 ? values[0] : 0;
    return after;
}

// Text parsed at run time whose last statement ends in a function literal
// is most likely a mistake (the function is made, never called): say so,
// without stopping.
void report_function_at_end(const char* statement) {
    char text[EXCERPT_LIMIT + 64];
    std::snprintf(text, sizeof text, "評価する式が不正 '%s'", excerpt(statement, 100));
#if KOVA_DEBUGGER
    report_error_text(text);
#else
    if (g_host.console_mode) {
        platform::write_stdout(text, std::strlen(text));
        platform::write_stdout("\n", 1);
        platform::flush_stdout();
    }
#endif
}

// ---- declarator lists (var, let, const) ----------------------------------

// The name a declarator declares: a name value, or the name on the left of
// an assignment node; -1 for anything else.
int64_t declared_name(Value v) {
    if (value_tag(v) == TAG_NAME) return v;
    if (value_tag(v) == TAG_NODE && node_kind(v) == NODE_ASSIGN) {
        const Value target = node_operand(v, 0);
        if (value_tag(target) == TAG_NAME) return target;
    }
    return -1;
}

char* parse_declarators(char* text, Value* out, char* at, uint32_t position, uint32_t kind) {
    const char* word = kind == NODE_LET ? "let" : "const";
    Value values[ARGUMENT_VALUE_LIMIT];
    uint32_t count = 0;
    char* after = parse_expression_list(text, values, ARGUMENT_VALUE_LIMIT, &count, false);

    bool well_formed = count != 0;
    for (uint32_t i = 0; i < count && well_formed; ++i) well_formed = declared_name(values[i]) >= 0;
    if (!well_formed) {
        if (kind == NODE_VAR) raise_parse_error(1025, "フォーマット不正 '%s'", excerpt(at, 120));
        raise_parse_error(1030, "フォーマット不正 '%s' in '%s'", word, excerpt(at, 120));
    }

    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t name = uint32_t(declared_name(values[i]));
        if (kind == NODE_VAR) {
            declare_var_name(name);
            continue;
        }
        // Inside a block only the innermost block's names clash; at top
        // level also the globals, the local names, and the top level's own
        // earlier let/const names.
        const bool clash = g_parser.in_block
                               ? block_name_declared(name)
                               : global_find(name) >= 0 || local_name_declared(name) || block_name_declared(name);
        if (clash) raise_parse_error(1035, "'%s'内で変数名の重複 '%s'", word, excerpt(at, 120));
        push_block_name(name);
    }
    *out = make_node(kind, count, values, position);
    return after;
}

// ---- statements with an argument list --------------------------------------

char* counted_statement(char* text, Value* out, char* at, uint32_t position, uint32_t kind, uint32_t low,
                        uint32_t high) {
    Value values[ARGUMENT_VALUE_LIMIT];
    uint32_t count = 0;
    char* after = parse_argument_list(text, values, &count);
    if (after == nullptr || count < low || count > high) {
        raise_parse_error(1210, "ステートメント不正(引数の数) '%s'", excerpt(at, 120));
    }
    *out = make_node(kind, count, values, position);
    return after;
}

template <uint32_t Kind, uint32_t Low, uint32_t High>
char* counted(char* text, Value* out, char* at, uint32_t position) {
    return counted_statement(text, out, at, position, Kind, Low, High);
}

// decodeURI, decodeURIComponent, eval, encodeURI, encodeURIComponent,
// parseFloat: "(" and exactly one value.
template <uint32_t Kind>
char* one_argument(char* text, Value* out, char* at, uint32_t position) {
    Value values[ARGUMENT_VALUE_LIMIT];
    uint32_t count = 0;
    char* after = parse_argument_list(text, values, &count);
    if (after == nullptr) raise_parse_error(1215, "ステートメント不正 '%s'", excerpt(at, 120));
    if (count != 1) raise_parse_error(1220, "引数の個数不正 '%s'", excerpt(at, 100));
    *out = make_node(Kind, 1, values, position);
    return after;
}

char* parse_parse_int(char* text, Value* out, char* at, uint32_t position) {
    Value values[ARGUMENT_VALUE_LIMIT];
    uint32_t count = 0;
    char* after = parse_argument_list(text, values, &count);
    if (after == nullptr || count > 2) raise_parse_error(1225, "ステートメント不正 '%s'", excerpt(at, 120));
    *out = make_node(NODE_PARSE_INT, count, values, position);
    return after;
}

// One argument that names what is sent (a string literal or a plain name),
// or any two.
char* parse_send_to_front(char* text, Value* out, char* at, uint32_t position) {
    Value values[ARGUMENT_VALUE_LIMIT];
    uint32_t count = 0;
    char* after = parse_argument_list(text, values, &count);
    const bool suitable =
        after != nullptr &&
        (count == 2 || (count == 1 && (value_tag(values[0]) == TAG_STRING || value_tag(values[0]) == TAG_NAME)));
    if (!suitable) raise_parse_error(1230, "ステートメント不正 '%s'", excerpt(at, 120));
    *out = make_node(NODE_SEND_TO_FRONT, count, values, position);
    return after;
}

char* parse_alert_to_front(char* text, Value* out, char* at, uint32_t position) {
    Value values[ARGUMENT_VALUE_LIMIT];
    uint32_t count = 0;
    char* after = parse_argument_list(text, values, &count);
    if (after == nullptr || count != 1) raise_parse_error(1235, "ステートメント不正 '%s'", excerpt(at, 120));
    *out = make_node(NODE_ALERT_TO_FRONT, 1, values, position);
    return after;
}

// The redis_ and mongo_ keywords belong to back ends this system does not
// have.
char* reject_keyword(char* /*text*/, Value* /*out*/, char* at, uint32_t /*position*/) {
    raise_parse_error(1211, "ステートメント不正 '%s'", excerpt(at, 120));
}

}  // namespace

char* parse_var(char* text, Value* out, char* at, uint32_t position) {
    return parse_declarators(text, out, at, position, NODE_VAR);
}

char* parse_let(char* text, Value* out, char* at, uint32_t position) {
    return parse_declarators(text, out, at, position, NODE_LET);
}

char* parse_const(char* text, Value* out, char* at, uint32_t position) {
    return parse_declarators(text, out, at, position, NODE_CONST);
}

const StatementHandler STATEMENT_HANDLERS[KEYWORD_COUNT] = {
    parse_break,                                       // 0 break
    parse_if,                                          // 1 if
    parse_let,                                         // 2 let
    parse_return,                                      // 3 return
    counted<NODE_RECORD_MAP, 3, 3>,                    // 4 record_map
    counted<NODE_RECORD_HASH, 2, 3>,                   // 5 record_hash
    reject_keyword, reject_keyword, reject_keyword, reject_keyword,  // 6-9 redis_
    reject_keyword, reject_keyword, reject_keyword, reject_keyword,  // 10-13 redis_
    parse_var,                                         // 14 var
    parse_while,                                       // 15 while
    counted<NODE_OPEN_DB, 3, 3>,                       // 16 openDb
    counted<NODE_CLOSE_DB, 1, 2>,                      // 17 closeDb
    parse_const,                                       // 18 const
    parse_continue,                                    // 19 continue
    parse_do,                                          // 20 do
    one_argument<NODE_DECODE_URI>,                     // 21 decodeURI
    one_argument<NODE_DECODE_URI_COMPONENT>,           // 22 decodeURIComponent
    one_argument<NODE_EVAL>,                           // 23 eval
    counted<NODE_EXECUTE, 2, 3>,                       // 24 execute
    one_argument<NODE_ENCODE_URI>,                     // 25 encodeURI
    one_argument<NODE_ENCODE_URI_COMPONENT>,           // 26 encodeURIComponent
    parse_for,                                         // 27 for
    parse_function,                                    // 28 function
    counted<NODE_SELECT, 2, 2>,                        // 29 select
    counted<NODE_SELECT_HASH, 2, 2>,                   // 30 selectHash
    counted<NODE_SELECT_INTO, 3, 255>,                 // 31 selectInto
    counted<NODE_SELECT_TO_FRONT, 3, 3>,               // 32 selectToFront
    counted<NODE_SELECT_HASH_TO_FRONT, 3, 3>,          // 33 selectHashToFront
    parse_send_to_front,                               // 34 sendToFront
    parse_switch,                                      // 35 switch
    counted<NODE_SELECT_EXISTS, 2, 2>,                 // 36 selectExists
    counted<NODE_SQL_AGGREGATE, 3, 4>,                 // 37 sql_aggregate
    parse_throw,                                       // 38 throw
    parse_try,                                         // 39 try
    parse_parse_int,                                   // 40 parseInt
    one_argument<NODE_PARSE_FLOAT>,                    // 41 parseFloat
    parse_alert_to_front,                              // 42 alertToFront
    reject_keyword, reject_keyword, reject_keyword, reject_keyword, reject_keyword,  // 43-47 mongo_
    reject_keyword, reject_keyword, reject_keyword, reject_keyword, reject_keyword,  // 48-52
    reject_keyword, reject_keyword, reject_keyword, reject_keyword, reject_keyword,  // 53-57
    reject_keyword, reject_keyword, reject_keyword, reject_keyword, reject_keyword,  // 58-62
    reject_keyword, reject_keyword, reject_keyword, reject_keyword, reject_keyword,  // 63-67
};

bool starts_with_word(const char* text, const char* word) {
    const size_t length = std::strlen(word);
    return std::strncmp(text, word, length) == 0 && !is_identifier_char(text[length]);
}

char* parse_argument_list(char* text, Value* values, uint32_t* count) {
    char* open = skip_blanks(text);
    if (*open != '(') return nullptr;
    return parse_bracketed_list(open, ')', values, ARGUMENT_VALUE_LIMIT, count, false);
}

char* parse_statement(char* text, Value* out) {
    NestingGuard nesting(&g_expression.statement_depth, STATEMENT_NESTING_LIMIT, text);
    char* p = skip_blanks(text);
    const uint32_t position = position_word(p);
    *out = 0;
    g_expression.function_end = nullptr;
    if (*p == '{') {
        uint32_t end_line = 0;
        p = parse_block(p, out, &end_line);
    } else {
        const char* cursor = p;
        const int keyword = keyword_lookup(&cursor);
        if (keyword >= 0) {
            p = STATEMENT_HANDLERS[keyword](const_cast<char*>(cursor), out, p, position);
            // Nothing further in this statement: a function literal needs no ";".
            g_parser.function_ended_list = false;
        } else {
            p = expression_statement(p, out);
        }
    }
    g_expression.statement_ended_in_function = g_expression.function_end == p;
    if (*p == ';') ++p;
    return p;
}

char* parse_block(char* text, Value* out, uint32_t* end_line) {
    char* inside = *text == '{' ? text + 1 : text;
    char* closer = find_closing(inside, '}', '{');
    if (closer == nullptr) raise_parse_error(1145, "ステートメント不正 '{ %s'", excerpt(inside, 120));
    WordStackMark statements(&g_word_stack);
    {
        CutGuard cut(closer);
        BlockScope scope;
        char* p = inside;
        for (;;) {
            p = skip_statement_gaps(p);
            if (*p == '\0') break;
            char* start = p;
            Value node = 0;
            p = parse_statement(p, &node);
            if (p == start) stuck(start);
            if (node != 0) word_stack_push(&g_word_stack, node);
        }
        *end_line = g_parser.line & 0xFFFF;
    }
    *out = make_node(NODE_BLOCK, statements.size(), statements.words(), 0);
    return closer + 1;
}

void parse_statement_list(char* text, StatementList* list, bool retain_each, bool run_time) {
    RunTimeMark mark(run_time);
    char* p = text;
    const char* last = nullptr;
    bool last_ended_in_function = false;
    for (;;) {
        p = skip_statement_gaps(p);
        if (*p == '\0') break;
        char* start = p;
        Value node = 0;
        p = parse_statement(p, &node);
        if (p == start) stuck(start);
        last = start;
        last_ended_in_function = g_expression.statement_ended_in_function;
        if (node != 0) {
            if (retain_each) retain(node);
            statement_list_append(list, node);
        }
    }
    if (run_time && last_ended_in_function) report_function_at_end(last);
}

}  // namespace kova

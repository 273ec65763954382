// `eval(text)`, and the evaluation of run-time text that it shares with
// template substitutions.
#include <cstdlib>
#include <cstring>

#include "core/names.h"
#include "core/values.h"
#include "eval/calls.h"
#include "eval/eval.h"
#include "eval/handlers.h"
#include "parser/parser.h"
#include "parser/statements.h"

namespace kova {

namespace {

// Most run-time texts hold a statement or two: the list starts in the
// caller's frame and moves to the heap only for more.
constexpr uint32_t INLINE_STATEMENTS = 16;

class RunTimeList {
public:
    RunTimeList() : list{items_, 0, INLINE_STATEMENTS, false} {}
    ~RunTimeList() {
        if (list.heap_owned) std::free(list.items);
    }
    RunTimeList(const RunTimeList&) = delete;
    RunTimeList& operator=(const RunTimeList&) = delete;
    StatementList list;

private:
    Value items_[INLINE_STATEMENTS];
};

// The parser's position is the running script's while run-time text is
// parsed (errors name the module being run), and is put back afterwards.
class ParserPlace {
public:
    explicit ParserPlace(char* text)
        : line_(g_parser.line), last_line_feed_(g_parser.last_line_feed), module_(g_parser.module) {
        g_parser.module = g_errors.module;
        g_parser.line = g_errors.line;
        g_parser.last_line_feed = text - 1;
    }
    ~ParserPlace() {
        g_parser.line = line_;
        g_parser.last_line_feed = last_line_feed_;
        g_parser.module = module_;
    }
    ParserPlace(const ParserPlace&) = delete;
    ParserPlace& operator=(const ParserPlace&) = delete;

private:
    uint32_t line_;
    const char* last_line_feed_;
    uint32_t module_;
};

}  // namespace

Value evaluate_run_time_text(char* text, bool* any_statement) {
    check_stack_room();
    RunTimeList statements;
    {
        ParserPlace place(text);
        parse_statement_list(text, &statements.list, true, true);
    }
    const StatementList& list = statements.list;
    Value result = NAME_UNDEFINED;
    for (uint32_t i = 0; i < list.count; ++i) {
        if (i > 0) release_if_temporary(result);
        // Not in statement position: an exit leaves the text, and the
        // expression around it, at once (a ScriptExit).
        result = evaluate(list.items[i]);
    }
    // The result may be a part of the parsed statements (a literal).
    retain(result);
    for (uint32_t i = 0; i < list.count; ++i) release(list.items[i]);
    unhold(result);
    *any_statement = list.count > 0;
    return result;
}

Value eval_eval(Value node) {
    const Value argument = evaluate(operand(node, 0));
    if (value_tag(argument) != TAG_STRING) raise_runtime_error(2350, "引数不正(非文字列)");
    const uint32_t length = string_length(argument);
    if (length > EVAL_TEXT_LIMIT) raise_runtime_error(2357, "評価する文字列が長すぎます。(255バイト以下)");

    // One byte before the text, where a line would start, and the NUL after it.
    char buffer[EVAL_TEXT_LIMIT + 5];
    buffer[0] = '\n';
    std::memcpy(buffer + 1, string_text(argument), length);
    buffer[length + 1] = '\0';

    bool any_statement = false;
    const Value result = evaluate_run_time_text(buffer + 1, &any_statement);
    if (!any_statement) return argument;
    retain(result);
    release_if_temporary(argument);
    unhold(result);
    return result;
}

}  // namespace kova

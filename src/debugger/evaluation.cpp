// Evaluation for the front end: E commands in the scope of a chosen call,
// and breakpoint conditions in the scope of the innermost one.
//
// The debugger's evaluation frame is one more consumer of an unwind's
// value (core/errors.h): it composes its answer from the value and then
// releases the unwind's reference. An exit (return, break, continue) never
// gets past it either.
#include "debugger/evaluation.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/errors.h"
#include "core/value_text.h"
#include "core/values.h"
#include "db/run_time_parse.h"
#include "debugger/call_stack.h"
#include "debugger/lists.h"
#include "debugger/texts.h"
#include "debugger/transport.h"
#include "eval/eval.h"
#include "eval/scopes.h"
#include "parser/statements.h"

namespace kova {

namespace {

// The longest value text an E command answers with.
constexpr size_t RESULT_TEXT_LIMIT = 16364;

// For as long as it lives, nodes go through the restricted table and
// errors come back here; the caught flag of the run is kept.
class EvaluatingMark {
public:
    EvaluatingMark() : caught_(g_errors.caught), was_evaluating_(g_debugger.evaluating) {
        debugger_set_evaluating(true);
    }
    ~EvaluatingMark() {
        debugger_set_evaluating(was_evaluating_);
        g_errors.caught = caught_;
    }
    EvaluatingMark(const EvaluatingMark&) = delete;
    EvaluatingMark& operator=(const EvaluatingMark&) = delete;

private:
    bool caught_;
    bool was_evaluating_;
};

// "#EVAL ERROR: CODE=..., MESSAGE='...'" and its shorter forms, for the
// value an evaluation (stage EVAL) or its parse (PARSE) ended with.
std::string error_answer(const char* stage, Value thrown) {
    std::string answer = "#";
    answer += stage;
    answer += " ERROR";
    if (value_tag(thrown) == TAG_ERROR) {
        size_t code_length = 0;
        size_t message_length = 0;
        const char* code = error_code_text(thrown, &code_length);
        const char* message = error_message_text(thrown, &message_length);
        answer += ": CODE=";
        answer.append(code, code_length);
        answer += ", MESSAGE='";
        answer.append(message, message_length);
        answer += "'";
    } else if (value_tag(thrown) == TAG_STRING) {
        answer += ": MESSAGE='";
        answer.append(string_text(thrown), string_length(thrown));
        answer += "'";
    }
    return answer;
}

// The registers of a call's scope, without touching the local stack (the
// slots above belong to the calls it waits in, and stay).
void apply_registers(const ScopeMark& scope) {
    g_eval.top = scope.top;
    set_scope_registers(scope);
}

// Runs the statements in the current scope. True when they ran: *truthy
// tells the last value's truth, and with `want_text` the answer is "="
// and its text. False after an error or an exit: the answer is its "#"
// message.
bool run_statements(const StatementList& list, bool want_text, std::string& answer, bool* truthy) {
    EvaluatingMark evaluating;
    const ScopeMark mark = save_scope();
    Value result = NAME_UNDEFINED;
    bool ran = false;
    try {
        for (uint32_t i = 0; i < list.count; ++i) {
            release_if_temporary(result);
            result = NAME_UNDEFINED;
            result = evaluate(list.items[i]);
        }
        if (truthy != nullptr) *truthy = is_truthy(result);
        if (want_text) {
            LocalText<TEXT_SCRATCH_SIZE> text;
            value_to_text(result, text);
            if (text.length > RESULT_TEXT_LIMIT) {
                answer = "#ERROR: ";
                answer += SJIS_RESULT_TOO_LONG;
            } else {
                answer = "=";
                answer.append(text.data, text.length);
            }
        }
        ran = true;
    } catch (const ScriptUnwind& unwind) {
        answer = error_answer("EVAL", unwind.value);
        release(unwind.value);
    } catch (const ScriptExit& exit) {
        if (exit.completion == COMPLETION_RETURN) release(exit.value);
        answer = "#EVAL ERROR";
    }
    discard_completion();
    release_if_temporary(result);
    restore_scope(mark);
    return ran;
}

}  // namespace

EvaluatorSnapshot::EvaluatorSnapshot()
    : location_kind_(g_eval.location_kind),
      location_container_(g_eval.location_container),
      location_index_(g_eval.location_index),
      const_read_(g_eval.const_read),
      create_missing_(g_eval.create_missing),
      statement_node_(g_eval.statement_node),
      error_module_(g_errors.module),
      error_line_(g_errors.line),
      error_column_(g_errors.column),
      caught_(g_errors.caught),
      parser_line_(g_parser.line),
      parser_last_line_feed_(g_parser.last_line_feed),
      parser_module_(g_parser.module),
      parser_run_time_(g_parser.run_time) {}

void EvaluatorSnapshot::restore() const {
    g_eval.location_kind = location_kind_;
    g_eval.location_container = location_container_;
    g_eval.location_index = location_index_;
    g_eval.const_read = const_read_;
    g_eval.create_missing = create_missing_;
    g_eval.statement_node = statement_node_;
    g_errors.module = error_module_;
    g_errors.line = error_line_;
    g_errors.column = error_column_;
    g_errors.caught = caught_;
    g_parser.line = parser_line_;
    g_parser.last_line_feed = parser_last_line_feed_;
    g_parser.module = parser_module_;
    g_parser.run_time = parser_run_time_;
}

bool parse_front_end_text(const char* text, size_t length, uint32_t module, uint32_t line, StatementList* list,
                          Value* error) {
    EvaluatingMark evaluating;
    // The byte before the text starts its line; parsing writes into the copy.
    std::string buffer;
    buffer.reserve(length + 2);
    buffer.push_back('\n');
    buffer.append(text, length);
    buffer.push_back('\0');
    RunTimeParse place(buffer.data() + 1);
    // Errors name the module and line the expression belongs to.
    g_parser.module = module;
    g_parser.line = line;
    try {
        parse_statement_list(buffer.data() + 1, list, true, true);
    } catch (const ScriptUnwind& unwind) {
        *error = unwind.value;
        return false;
    }
    return true;
}

void release_statements(StatementList& list) {
    for (uint32_t i = 0; i < list.count; ++i) release(list.items[i]);
    if (list.heap_owned) std::free(list.items);
    list = StatementList{nullptr, 0, 0, false};
}

bool answer_evaluation(const std::string& command) {
    const size_t semicolon = command.find(';');
    if (semicolon == std::string::npos) {
        std::string answer = "#";
        answer += SJIS_BAD_FORMAT_OPEN;
        answer += command;
        answer += SJIS_BAD_FORMAT_CLOSE;
        return transport_send(answer);
    }
    // "E" path ":" function ":" field ":" field ";" expression
    const size_t path_end = std::min(command.find(':', 1), semicolon);
    const int32_t module = module_by_path(command.data() + 1, path_end - 1);
    if (module < 0) return true;  // not a module of this run: ignored
    size_t function_end = semicolon;
    if (path_end < semicolon) function_end = std::min(command.find(':', path_end + 1), semicolon);
    const size_t function_start = path_end < semicolon ? path_end + 1 : semicolon;
    const int32_t entry = find_entry(uint32_t(module), command.data() + function_start,
                                     function_end - function_start);
    if (entry < 0) {
        std::string answer = "#";
        answer += SJIS_NO_SUCH_CALL;
        return transport_send(answer);
    }

    const CallEntry& level = g_debugger.entries[entry];
    const ScopeMark live = save_scope();
    if (uint32_t(entry) + 1 < g_debugger.entry_count) apply_registers(level.scope);
    StatementList statements{nullptr, 0, 0, false};
    Value error = 0;
    std::string answer;
    if (parse_front_end_text(command.data() + semicolon + 1, command.size() - semicolon - 1, level.module,
                             level.line, &statements, &error)) {
        run_statements(statements, true, answer, nullptr);
    } else {
        answer = error_answer("PARSE", error);
        release(error);
    }
    release_statements(statements);
    apply_registers(live);
    return transport_send(answer);
}

ConditionResult evaluate_condition(const DebugCondition& condition) {
    std::string answer;
    bool truthy = false;
    if (run_statements(condition.statements, false, answer, &truthy)) {
        return truthy ? ConditionResult::TRUE : ConditionResult::FALSE;
    }
    return transport_send(answer) ? ConditionResult::FALSE : ConditionResult::FAILED;
}

}  // namespace kova

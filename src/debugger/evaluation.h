// Expressions of the front end: E commands and breakpoint conditions.
// They are parsed with the no-stop mark and run through the restricted
// handler table; every error and exit they raise comes back here, never
// to a script `try` or the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/value.h"
#include "debugger/debugger.h"
#include "parser/parser.h"

namespace kova {

// The evaluator state that the node being dispatched may rely on: a stop
// (and the expressions it runs) leaves it as it found it.
class EvaluatorSnapshot {
public:
    EvaluatorSnapshot();
    void restore() const;

private:
    uint8_t location_kind_;
    uint32_t location_container_;
    uint32_t location_index_;
    bool const_read_;
    bool create_missing_;
    Value statement_node_;
    uint32_t error_module_;
    uint16_t error_line_;
    uint16_t error_column_;
    bool caught_;
    uint32_t parser_line_;
    const char* parser_last_line_feed_;
    uint32_t parser_module_;
    bool parser_run_time_;
};

void debugger_set_evaluating(bool on);

// Parses `text` as statements (no-stop mark, errors naming module and
// line) into `list`, each retained. On a parse error: false, *error is
// the error value with the one reference of its unwind.
bool parse_front_end_text(const char* text, size_t length, uint32_t module, uint32_t line, StatementList* list,
                          Value* error);
// Releases each statement and frees a heap-owned array.
void release_statements(StatementList& list);

// Answers an E command (its whole body) with "=" and the value's text or
// a "#" message; false when the transport failed.
bool answer_evaluation(const std::string& command);

enum class ConditionResult { FALSE, TRUE, FAILED };
// Runs a condition in the scope of the innermost call; an error is sent as
// its "#EVAL ERROR" message and counts as false. FAILED: the transport
// failed.
ConditionResult evaluate_condition(const DebugCondition& condition);

}  // namespace kova

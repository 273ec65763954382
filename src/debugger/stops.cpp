// The evaluation hook: stops at breakpoints and while stepping, the stop
// messages, and the commands obeyed at a stop.
#include <string>

#include "core/errors.h"
#include "debugger/call_stack.h"
#include "debugger/debugger.h"
#include "debugger/evaluation.h"
#include "debugger/lists.h"
#include "debugger/transport.h"
#include "eval/eval.h"
#include "parser/module_table.h"
#include "platform/platform.h"

namespace kova {

namespace {

constexpr unsigned STOP_PAUSE_MS = 2;  // between the S and B messages
constexpr size_t STEP_COMMAND_LENGTH = 5;

enum class StopOutcome { RUN_ON, END_RUN, FAILED };

// Obeys a STEP command; END_RUN for command 0.
StopOutcome step(char command) {
    switch (command) {
        case '0':
            // The goodbye is best effort: the run ends either way.
            transport_send("X", 1);
            debugger_close();
            return StopOutcome::END_RUN;
        case '4':
            // Only a call can be stepped out of; at the top level it runs on.
            if (g_debugger.entry_count > 1) {
                g_debugger.stepping = false;
                g_debugger.step_into = false;
                g_debugger.step_out = true;
                g_debugger.step_out_call = g_debugger.current_call;
                return StopOutcome::RUN_ON;
            }
            [[fallthrough]];
        case '1':
            g_debugger.stepping = false;
            g_debugger.step_into = false;
            g_debugger.step_out = false;
            g_debugger.run = true;
            return StopOutcome::RUN_ON;
        case '2':
            g_debugger.step_into = true;
            return StopOutcome::RUN_ON;
        default:  // '3'
            g_debugger.step_into = false;
            return StopOutcome::RUN_ON;
    }
}

// A list command: "B", "b" or "T", the module path, ":", the entries.
void replace_lists(const std::string& command) {
    const size_t colon = command.find(':', 1);
    if (colon == std::string::npos) return;
    const int32_t module = module_by_path(command.data() + 1, colon - 1);
    if (module < 0) return;
    const char* entries = command.data() + colon + 1;
    const size_t length = command.size() - colon - 1;
    switch (command[0]) {
        case 'B': set_breakpoint_lines(uint32_t(module), entries, length); break;
        case 'b': set_conditions(uint32_t(module), entries, length); break;
        default: set_trace_labels(uint32_t(module), entries, length); break;
    }
}

// At a stop: the innermost level takes the stop's place, the front end
// hears where, and its commands are obeyed until a STEP command.
StopOutcome stop_at(uint32_t module, uint32_t line, uint32_t column) {
    CallEntry& innermost = g_debugger.entries[g_debugger.entry_count - 1];
    innermost.module = module;
    innermost.line = static_cast<uint16_t>(line);
    innermost.column = static_cast<uint16_t>(column);
    if (!transport_send(stack_message())) return StopOutcome::FAILED;
    platform::sleep_ms(STOP_PAUSE_MS);
    std::string place = "B";
    place += module_name(module);
    place += ':' + std::to_string(column) + ':' + std::to_string(line);
    if (!transport_send(place)) return StopOutcome::FAILED;

    std::string command;
    for (;;) {
        if (!transport_receive(command, g_debugger.command_wait)) return StopOutcome::FAILED;
        if (command.size() == STEP_COMMAND_LENGTH && command.compare(0, 4, "STEP") == 0) {
            const char c = command[4];
            if (c >= '0' && c <= '4') return step(c);
            continue;  // an unknown step is ignored like any unknown command
        }
        if (command.empty()) continue;
        switch (command[0]) {
            case 'B':
            case 'b':
            case 'T':
                replace_lists(command);
                break;
            case 'E':
                if (!answer_evaluation(command)) return StopOutcome::FAILED;
                break;
            default:
                break;
        }
    }
}

// Decides at a step point whether to stop, and stops. The evaluator's
// state is the node's again afterwards; a failure or the end of the run
// is raised from that state.
void consider_stop(const NodeCell* cell) {
    const uint32_t module = cell->module & 0x7F;
    const uint32_t line = cell->position & 0xFFFF;
    if (!g_debugger.stepping && !has_breakpoint_at(module, line)) return;

    const EvaluatorSnapshot snapshot;
    StopOutcome outcome = StopOutcome::RUN_ON;
    bool stop = g_debugger.stepping;
    if (!stop) {
        stop = is_breakpoint_line(module, line);
        for (const DebugCondition& condition : g_debugger.lists[module].conditions) {
            if (stop) break;
            if (condition.line != line) continue;
            const ConditionResult result = evaluate_condition(condition);
            if (result == ConditionResult::FAILED) {
                outcome = StopOutcome::FAILED;
                break;
            }
            stop = result == ConditionResult::TRUE;
        }
        if (stop) {
            g_debugger.stepping = true;
            g_debugger.run = false;
        }
    }
    if (stop && outcome == StopOutcome::RUN_ON) outcome = stop_at(module, line, (cell->position >> 16) & 0x7FFF);
    snapshot.restore();
    if (outcome == StopOutcome::FAILED) raise_transport_failure();
    // The user ended the run: no script `try` may carry it on.
    if (outcome == StopOutcome::END_RUN) raise_run_ended(1855, "デバッグ終了");
}

}  // namespace

Value debugger_evaluate_node(Value node) {
    const NodeCell* cell = cell_as<NodeCell>(node);
    if (cell->operation != NODE_BLOCK) note_position(cell);
    const uint32_t index = cell->operation - NODE_KIND_FIRST;
    if (index >= HANDLER_TABLE_SIZE) raise_not_evaluable(node);
    if (g_debugger.evaluating) return g_restricted_handlers[index](node);
    if ((cell->module & NO_STOP_MARK) == 0 && g_debugger.connection >= 0) consider_stop(cell);
    return g_node_handlers[index](node);
}

}  // namespace kova

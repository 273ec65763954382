// The remote debugger of kova-dbg: the connection to a debugging front end,
// the messages both ways, breakpoints, stepping and evaluation in a call's
// scope. Only the debugging build compiles this folder; every caller guards
// its use with KOVA_DEBUGGER, so the other build has none of it.
//
// Hooks, by the place that calls them:
// - start-up: debugger_connect, debugger_clear_lists; the end of a run:
//   debugger_finish; a fatal error: debugger_close;
// - module loading: debugger_fetch_module, debugger_apply_lists;
// - the evaluator: debugger_evaluate_node before each node while the hook
//   is on (g_eval.debugger_hook), DebuggerCallSite in the call handlers,
//   DebuggerCall around each script function call;
// - console output and error reports: debugger_send_console,
//   debugger_send_error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/value.h"
#include "eval/scopes.h"
#include "parser/parser.h"

namespace kova {

inline constexpr uint32_t DEBUG_MODULE_LIMIT = 128;

// A conditional breakpoint: its condition parsed as statements (with the
// no-stop mark), each retained by the list. A condition that did not parse
// has line 0 and no statements.
struct DebugCondition {
    uint32_t line;
    StatementList statements;
};

struct DebugTraceLabel {
    uint32_t line;
    uint32_t label;  // index in DebuggerState::labels
};

// What the front end set for one module.
struct ModuleLists {
    std::vector<uint32_t> lines;  // breakpoint lines
    std::vector<DebugCondition> conditions;
    std::vector<DebugTraceLabel> traces;
};

// The name of a call-stack entry: a name index, or one of these.
inline constexpr uint32_t ENTRY_TOP_LEVEL = 0xFFFFFFFFu;  // "" (the top level)
inline constexpr uint32_t ENTRY_ANONYMOUS = 0xFFFFFFFEu;  // a function reached by no name

// One level of the call stack: the top level, then one per script call in
// progress. The position is where the level is executing: the call it
// waits in, or for the innermost level the place of the last stop.
struct CallEntry {
    uint32_t module;
    uint16_t line;
    uint16_t column;
    uint32_t name;
    ScopeMark scope;       // the level's scope registers while it waits in a call
    uint32_t id;           // call id (0 for the top level)
    uint32_t caller_id;    // the call id current before this call
    bool saved_stepping;   // the stepping flag when the call began
    int32_t label;         // trace label of the function, -1 for none
};

struct DebuggerState {
    int connection = -1;  // socket, or -1
    // Waits of the transport, in milliseconds: for replies and
    // acknowledgements, and for commands at a stop.
    int64_t reply_wait;
    int64_t command_wait;

    // stepping
    bool stepping;
    bool run;
    bool step_into;
    bool step_out;
    uint32_t step_out_call;
    uint32_t current_call;
    uint32_t next_call_id;

    // Set while an expression of the front end (an E command or a
    // breakpoint condition) runs: nodes go through the restricted handler
    // table, errors come back to the debugger.
    bool evaluating;

    // The call being made: its node (for the caller's position) and the
    // name it calls by (0 when none), taken by the call that starts.
    Value site_node;
    uint32_t site_name;

    // call stack, outermost first; entry 0 is the top level
    CallEntry* entries;
    uint32_t entry_count;
    uint32_t entry_capacity;

    ModuleLists lists[DEBUG_MODULE_LIMIT];
    std::vector<std::string> labels;  // trace label texts, never removed during a run
};

extern DebuggerState g_debugger;

void debugger_reset();

// ---- connection ---------------------------------------------------------------

// Start-up: connects to the client when it may be debugged (its address is
// known, DEBUG_PORT is set, the address is in the CLIENT list or, without
// one, a loopback address). Any failure leaves the run without a debugger
// and DEBUG_PORT empty.
void debugger_connect();
bool debugger_connected();
// Start-up, after the connection: no breakpoints, labels or conditions.
void debugger_clear_lists();
// End of the run: "B1X", then the connection is closed.
void debugger_finish();
// Closes the connection without a goodbye (fatal errors, failures).
void debugger_close();

// ---- messages -------------------------------------------------------------------

// An error text ("D"). A failure closes the connection without raising:
// the error being reported goes on.
void debugger_send_error(const char* text, size_t length);
// Console output ("L" for console.log, "E" for console.error).
// Runtime error 1850 when the transport fails.
void debugger_send_console(char kind, const char* text, size_t length);
bool debugger_evaluating();

// ---- module loading ---------------------------------------------------------------

// A module text supplied by the front end: source text, or the bytes of a
// compiled image; and the module's lists as the front end sent them.
struct FetchedModule {
    std::string text;
    bool compiled = false;
    std::string lists;
    bool has_lists = false;
};

// Asks the front end for the text of module `module` ("M" + its name);
// false when there is no connection, the request carried an L record, the
// front end does not have it ("&&&&"), or the exchange failed (the
// connection is then closed): the module is read from its file.
bool debugger_fetch_module(uint32_t module, FetchedModule& out);
// After the module has loaded: its breakpoints, conditions and labels.
void debugger_apply_lists(uint32_t module, const std::string& lists);

// ---- the evaluator ------------------------------------------------------------------

// evaluate() of a node while the hook is on: notes the position; runs the
// node through the restricted table while the debugger evaluates; else
// stops at a step point when stepping or at a breakpoint, obeys the front
// end's commands, and then runs the node.
Value debugger_evaluate_node(Value node);

// The top call is about to run: the top level now waits in it.
void debugger_top_call(uint32_t main_script_module);

// Marks the call a handler is making, for as long as it makes it: the
// caller's call-stack entry takes its position, and the called function
// the name it is called by (0: none, the function is looked up among the
// globals).
class DebuggerCallSite {
public:
    DebuggerCallSite(Value node, uint32_t name)
        : saved_node_(g_debugger.site_node), saved_name_(g_debugger.site_name) {
        g_debugger.site_node = node;
        g_debugger.site_name = name;
    }
    ~DebuggerCallSite() {
        g_debugger.site_node = saved_node_;
        g_debugger.site_name = saved_name_;
    }
    DebuggerCallSite(const DebuggerCallSite&) = delete;
    DebuggerCallSite& operator=(const DebuggerCallSite&) = delete;

private:
    Value saved_node_;
    uint32_t saved_name_;
};

void debugger_enter_call(Value function, const ScopeMark& caller);
void debugger_call_started();
void debugger_leave_call(const Value* result);

// One script function call while a debugger is connected: a call-stack
// entry from its start to its end, also when an error leaves it.
class DebuggerCall {
public:
    DebuggerCall(Value function, const ScopeMark& caller) : active_(debugger_connected()) {
        if (active_) debugger_enter_call(function, caller);
    }
    // The parameters are in place: the trace message of a labelled function.
    void started() {
        if (active_) debugger_call_started();
    }
    // The body ended normally with `result`.
    void returned(Value result) {
        if (!active_) return;
        active_ = false;
        debugger_leave_call(&result);
    }
    ~DebuggerCall() {
        if (active_) debugger_leave_call(nullptr);
    }
    DebuggerCall(const DebuggerCall&) = delete;
    DebuggerCall& operator=(const DebuggerCall&) = delete;

private:
    bool active_;
};

}  // namespace kova

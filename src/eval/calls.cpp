// The call node: script functions, methods of built-in receivers, and the
// calls of the names Number, String and Date.
//
// A script function's parameters, declared variables and `this` live in
// slots of the local stack from the call's frame base up; nothing is taken
// from the heap unless the local stack has to grow. Argument values are
// evaluated straight into slots that carry no name (name 0, which no lookup
// ever asks for), so the caller's code that evaluates them cannot see them;
// the slots get their parameter names once the frame base has moved.
#include "eval/calls.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "builtins/method_table.h"
#include "core/names.h"
#include "core/value_text.h"
#include "core/values.h"
#include "eval/eval.h"
#include "eval/handlers.h"
#include "eval/scopes.h"
#include "host/host.h"
#include "host/journal.h"
#include "parser/declarations.h"
#include "platform/platform.h"

#if KOVA_DEBUGGER
#include "debugger/debugger.h"
#endif

namespace kova {

namespace {

// A slot whose name no variable lookup matches: argument values wait in
// such slots until the callee's frame begins.
constexpr uint32_t UNNAMED = 0;

// ---- stack room ------------------------------------------------------------------

size_t stack_budget() {
    size_t limit = platform::stack_size_limit();
    if (limit == 0) limit = STACK_ASSUMED;
    return limit > 2 * STACK_RESERVE ? limit - STACK_RESERVE : limit / 2;
}

// ---- script functions -------------------------------------------------------

struct FunctionShape {
    uint32_t parameters;
    uint32_t variables;
    Value body;
    uint32_t names;  // area reference of the parameter entries, then the variable names
};

FunctionShape shape_of(Value function) {
    const FunctionCell* cell = cell_as<FunctionCell>(function);
    return FunctionShape{cell->parameter_count, cell->local_count, cell->body, cell->names};
}

// An argument's evaluation left slots of its own behind (a `var` run by an
// `eval` text): they belong to the caller, so they move below the waiting
// argument slots, which stay together at the top.
uint32_t move_caller_slots_below(uint32_t first, uint32_t waiting_top) {
    Slot* locals = g_eval.locals;
    std::rotate(locals + first, locals + waiting_top + 1, locals + g_eval.top + 1);
    return first + (g_eval.top - waiting_top);
}

// Runs a function whose first `given` argument values wait in the unnamed
// slots from `first` to `top` (each holding its value). Builds the frame
// (parameters with their defaults, declared variables, `this`), runs the
// body under a call frame and pops the frame. The result keeps one
// reference taken by `return` (the caller lets go of it with unhold);
// without a `return` it is `undefined`.
Value run_function(Value function, uint32_t first, uint32_t given, Value this_value, bool* returned) {
    check_stack_room();
    const FunctionShape shape = shape_of(function);
    ScopeMark mark = save_scope();
    mark.top = first - 1;
#if KOVA_DEBUGGER
    DebuggerCall debugger_call(function, mark);
#endif

    const uint32_t missing = shape.parameters - given;
    const uint32_t needed = missing + shape.variables + 1;
    if (g_eval.top + needed >= g_eval.capacity) ensure_local_capacity(needed);
    for (uint32_t i = 0; i < missing; ++i) g_eval.locals[++g_eval.top] = Slot{UNNAMED, NAME_UNDEFINED};

    g_eval.frame_base = first;
    ++g_eval.call_depth;
    g_eval.parameter_count = shape.parameters;
    g_eval.variable_count = shape.variables;

    // Parameters in order; a default is evaluated only when its argument is
    // missing or undefined, and sees the parameters named before it. The
    // name item belongs to the function, which the caller holds.
    if (shape.parameters + shape.variables != 0) {
        const uint8_t* names = area_pointer(shape.names);
        for (uint32_t i = 0; i < shape.parameters; ++i) {
            const Value entry = load_u32(names + 4 * size_t(i));
            uint32_t name = entry & SLOT_NAME_MASK;
            if (value_tag(entry) == TAG_NODE) {
                name = operand(entry, 0) & SLOT_NAME_MASK;
                if (g_eval.locals[first + i].value == NAME_UNDEFINED) {
                    const Value value = evaluate(operand(entry, 1));
                    retain(value);
                    g_eval.locals[first + i].value = value;
                }
            }
            g_eval.locals[first + i].name = name;
        }
        for (uint32_t i = 0; i < shape.variables; ++i) {
            push_slot(load_u32(names + 4 * size_t(shape.parameters + i)) & SLOT_NAME_MASK, NAME_UNDEFINED);
        }
    }
    if (this_value != NO_THIS) {
        retain(this_value);
        push_slot(NAME_THIS, this_value);
    }
#if KOVA_DEBUGGER
    debugger_call.started();
#endif

    push_frame(FRAME_CALL);
    try {
        run_body(shape.body);
    } catch (const ScriptExit& exit) {
        // A return from inside an expression of the body: its target is
        // this call (a break or continue never gets past a call frame).
        take_exit(exit);
    }

    Value result = NAME_UNDEFINED;
    *returned = g_eval.completion == COMPLETION_RETURN;
    if (*returned) {
        result = g_eval.return_value;
        g_eval.return_value = NAME_UNDEFINED;
    }
    // A break or continue never gets past a call frame (their handlers
    // stop at it), so nothing else can be pending here.
    g_eval.completion = COMPLETION_NONE;
    restore_scope(mark);
#if KOVA_DEBUGGER
    debugger_call.returned(result);
#endif
    return result;
}

// A function call: the arguments up to the parameter count are evaluated
// (in the caller's scope), the rest are not evaluated at all. The argument
// item belongs to the call node, which stays where it is.
Value call_with_argument_list(Value function, uint32_t argument_item) {
    // Held for the call: the body may assign the variable the function came from.
    retain(function);
    const uint32_t parameters = cell_as<FunctionCell>(function)->parameter_count;
    const uint8_t* arguments = area_pointer(argument_item);
    const uint32_t count = load_u32(arguments);
    const uint32_t given = count < parameters ? count : parameters;

    if (g_eval.top + given + 1 >= g_eval.capacity) ensure_local_capacity(given + 1);
    uint32_t first = g_eval.top + 1;
    for (uint32_t i = 0; i < given; ++i) {
        const uint32_t waiting_top = g_eval.top;
        const Value value = evaluate(load_u32(arguments + 4 * (size_t(i) + 1)));
        retain(value);
        if (g_eval.top != waiting_top) first = move_caller_slots_below(first, waiting_top);
        push_slot(UNNAMED, value);
    }
    bool returned = false;
    const Value result = run_function(function, first, given, NO_THIS, &returned);
    release(function);
    unhold(result);
    return result;
}

// ---- console -------------------------------------------------------------------

// One console line: the prefix and the arguments' texts (strings quoted),
// printed in console mode and always kept in the journal.
Value console_line(const char* prefix, const Value* arguments, uint32_t count) {
    LocalText<TEXT_SCRATCH_SIZE> line;
    append_text_bytes(line, prefix, std::strlen(prefix));
    for (uint32_t i = 0; i < count; ++i) append_value_text(arguments[i], line, true);
    append_text_bytes(line, "\n", 1);
    if (g_host.console_mode) {
        platform::write_stdout(line.data, line.length);
        platform::flush_stdout();
    }
    journal_append(line.data, line.length);
#if KOVA_DEBUGGER
    // The text alone, after its kind letter ("L" or "E" for the prefix).
    if (debugger_connected()) debugger_send_console(prefix[1], line.data + 4, line.length - 5);
#endif
    return NAME_UNDEFINED;
}

Value console_log(Value, const Value* arguments, uint32_t count) { return console_line("(L) ", arguments, count); }
Value console_error(Value, const Value* arguments, uint32_t count) { return console_line("(E) ", arguments, count); }

constexpr Method CONSOLE_LIST[] = {
    {"log", console_log, 0, ANY_COUNT},
    {"error", console_error, 0, ANY_COUNT},
};
constexpr MethodTable CONSOLE_METHODS = {CONSOLE_LIST, 2, 2140, "メソッド名不正", 0, 0, 0, ""};

// ---- integers, floats, error values and constants ---------------------------

Value scalar_to_string(Value receiver, const Value*, uint32_t) { return string_of_value(receiver); }

constexpr Method SCALAR_LIST[] = {
    {"toString", scalar_to_string, 0, ANY_COUNT},
};
constexpr MethodTable SCALAR_METHODS = {SCALAR_LIST, 1, 2145, "メソッド名不正", 0, 0, 0, ""};

// ---- method calls ---------------------------------------------------------------

const MethodTable* named_receiver_table(Value receiver_expression) {
    if (value_tag(receiver_expression) != TAG_NAME) return nullptr;
    switch (receiver_expression & SLOT_NAME_MASK) {
        case NAME_MATH: return &MATH_METHODS;
        case NAME_CONSOLE: return &CONSOLE_METHODS;
        case NAME_OBJECT: return &OBJECT_STATIC_METHODS;
        case NAME_NUMBER: return &NUMBER_METHODS;
        case NAME_DATE: return &DATE_STATIC_METHODS;
        case NAME_STRING: return &STRING_STATIC_METHODS;
        default: return nullptr;
    }
}

const MethodTable* receiver_table(Value receiver) {
    switch (value_tag(receiver)) {
        case TAG_NAME:
        case TAG_INTEGER:
        case TAG_FLOAT:
        case TAG_ERROR:
            return &SCALAR_METHODS;
        case TAG_STRING: return &STRING_METHODS;
        case TAG_DATE: return &DATE_METHODS;
        case TAG_REGEX: return &REGEXP_METHODS;
        case TAG_ARRAY: return &ARRAY_METHODS;
        case TAG_KEYED: return &KEYED_METHODS;
        case TAG_OBJECT: return &OBJECT_METHODS;
        default: return nullptr;  // the call yields undefined
    }
}

// Arguments first, then the receiver (a built-in name is not evaluated);
// the method runs on the evaluated values, which the call holds until the
// method has returned.
Value call_method_node(Value member, uint32_t argument_item) {
    const Value receiver_expression = operand(member, 0);
    const uint32_t method = operand(member, 1) & SLOT_NAME_MASK;
#if KOVA_DEBUGGER
    // The call's place stays (eval_call marked it); callbacks of a built-in
    // method go by their own names.
    DebuggerCallSite site(g_debugger.site_node, 0);
#endif

    const uint32_t count = argument_list_count(argument_item);
    ArgumentValues arguments(count);
    for (uint32_t i = 0; i < count; ++i) {
        const Value value = evaluate(argument_list_item(argument_item, i));
        retain(value);
        arguments.values[i] = value;
    }

    Value receiver = receiver_expression;
    const MethodTable* table = named_receiver_table(receiver_expression);
    if (table == nullptr) {
        receiver = evaluate(receiver_expression);
        table = receiver_table(receiver);
    }
    // Held while the method runs: a callback may drop every other reference.
    retain(receiver);

    Value result = NAME_UNDEFINED;
    if (table == &OBJECT_METHODS) {
        const Value function = object_method_function(receiver, method);
        if (function != 0) {
#if KOVA_DEBUGGER
            g_debugger.site_name = method;
#endif
            result = call_function_with_values(function, arguments.values, count, receiver, nullptr);
        } else {
            result = call_method(*table, method, receiver, arguments.values, count);
        }
    } else if (table != nullptr) {
        result = call_method(*table, method, receiver, arguments.values, count);
    }

    // The result may be the receiver, an argument or a part of one of them.
    retain(result);
    release(receiver);
    for (uint32_t i = 0; i < count; ++i) release(arguments.values[i]);
    unhold(result);
    return result;
}

Value string_call(uint32_t argument_item) {
    if (argument_list_count(argument_item) == 0) return new_string("", 0);
    const Value value = evaluate(argument_list_item(argument_item, 0));
    const Value result = string_of_value(value);
    release_if_temporary(value);
    return result;
}

}  // namespace

CallState g_calls;

void calls_reset() { g_calls = CallState{}; }

void check_stack_room() {
    const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    // The stack grows downward: the highest frame seen is the shallowest.
    if (here >= g_calls.stack_base) {
        g_calls.stack_base = here;
        if (g_calls.stack_budget == 0) g_calls.stack_budget = stack_budget();
        return;
    }
    if (g_calls.stack_base - here > g_calls.stack_budget) raise_runtime_error(1400, "メモリ領域を取得できません");
}

ArgumentValues::ArgumentValues(uint32_t count) : values(inline_values_) {
    if (count <= INLINE_COUNT) return;
    values = static_cast<Value*>(std::malloc(size_t(count) * sizeof(Value)));
    if (values == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
}

ArgumentValues::~ArgumentValues() {
    if (values != inline_values_) std::free(values);
}

Value call_function_with_values(Value function, const Value* arguments, uint32_t count, Value this_value,
                                bool* returned) {
    retain(function);
    const uint32_t parameters = cell_as<FunctionCell>(function)->parameter_count;
    const uint32_t given = count < parameters ? count : parameters;
    if (g_eval.top + given + 1 >= g_eval.capacity) ensure_local_capacity(given + 1);
    const uint32_t first = g_eval.top + 1;
    for (uint32_t i = 0; i < given; ++i) {
        retain(arguments[i]);
        push_slot(UNNAMED, arguments[i]);
    }
    bool ended_by_return = false;
    const Value result = run_function(function, first, given, this_value, &ended_by_return);
    if (returned != nullptr) *returned = ended_by_return;
    release(function);
    unhold(result);
    return result;
}

Value run_constructor(Value function, uint32_t argument_item, uint32_t class_name) {
    retain(function);
    const uint32_t parameters = cell_as<FunctionCell>(function)->parameter_count;
    const uint32_t count = argument_list_count(argument_item);
    const uint32_t given = count < parameters ? count : parameters;

    if (g_eval.top + given + 1 >= g_eval.capacity) ensure_local_capacity(given + 1);
    uint32_t first = g_eval.top + 1;
    for (uint32_t i = 0; i < given; ++i) {
        const uint32_t waiting_top = g_eval.top;
        const Value value = evaluate(argument_list_item(argument_item, i));
        retain(value);
        if (g_eval.top != waiting_top) first = move_caller_slots_below(first, waiting_top);
        push_slot(UNNAMED, value);
    }

    uint8_t* unused = nullptr;
    const Value self = new_object_cell(0, 10, &unused);
    retain(self);  // held by the constructor until the result is chosen
    bool returned = false;
    Value result = run_function(function, first, given, self, &returned);
    release(function);
    if (returned && result != NAME_UNDEFINED) {
        release(self);
    } else {
        release(result);
        result = self;
    }
    unhold(result);
    if (value_tag(result) == TAG_OBJECT) cell_as<ObjectCell>(result)->class_name = class_name;
    return result;
}

Value run_built_in_node(uint32_t kind, Value origin, uint32_t argument_item) {
    const uint32_t count = argument_list_count(argument_item);
    ArgumentValues operands(count);
    for (uint32_t i = 0; i < count; ++i) operands.values[i] = argument_list_item(argument_item, i);
    const NodeCell* source = cell_as<NodeCell>(origin);
    const uint8_t module = source->module;
    const uint32_t position = source->position;
    const Value node = make_node(kind, count, operands.values, position);
    cell_as<NodeCell>(node)->module = static_cast<uint8_t>(module | NO_STOP_MARK);
    retain(node);
    const Value result = evaluate(node);
    // The result may be one of the node's operands.
    retain(result);
    release(node);
    unhold(result);
    return result;
}

Value eval_call(Value node) {
    const Value callee = operand(node, 0);
    const uint32_t argument_item = operand(node, 1);
    const uint32_t callee_tag = value_tag(callee);
#if KOVA_DEBUGGER
    DebuggerCallSite site(node, callee_tag == TAG_NAME ? callee & SLOT_NAME_MASK : 0);
#endif
    if (callee_tag == TAG_NODE && node_kind(callee) == NODE_MEMBER) return call_method_node(callee, argument_item);
    if (callee_tag == TAG_NAME) {
        switch (callee & SLOT_NAME_MASK) {
            case NAME_NUMBER: return run_built_in_node(NODE_NUMBER_CONVERSION, node, argument_item);
            case NAME_STRING: return string_call(argument_item);
            case NAME_DATE: return run_built_in_node(NODE_DATE, node, argument_item);
            default: break;
        }
    }
    const Value function = evaluate(callee);
    if (value_tag(function) != TAG_FUNCTION) {
        if (callee_tag == TAG_NAME) {
            raise_runtime_error(2155, "関数不正(%s), %d", name_text(callee & SLOT_NAME_MASK), value_tag(function));
        }
        raise_runtime_error(2150, "関数不正");
    }
    return call_with_argument_list(function, argument_item);
}

}  // namespace kova

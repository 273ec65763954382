// The evaluator: runs parsed nodes directly. `evaluate` turns any value
// handle into the value it stands for; a node is dispatched by its kind to
// a handler through one table.
//
// Non-local exits: `break`, `continue` and `return` are frequent, so in the
// common case they do not unwind the machine stack. A statement run by a
// statement list (run_statement), or a branch of an `if` run so, is in
// statement position: its exit is recorded as a pending completion in
// g_eval and the handler returns; every statement sequence stops as soon as
// one is pending, and the loop, switch or call that takes it clears it.
// An exit that arises anywhere else, inside an expression (a `return` as
// an operand, an `eval` text, a template substitution), must leave that
// expression at once: it travels as a C++ exception (ScriptExit) to the
// loop, switch, call or `try` it is meant for, which takes it back as a
// pending completion after restoring its own scope. Errors and `throw` are
// rare and always travel as a C++ exception (ScriptUnwind) to the nearest
// `try` or to the host. A stack of frame kinds tells each exit whether a
// construct that takes it encloses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/value.h"
#include "parser/declarations.h"
#include "parser/node_kinds.h"
#include "parser/nodes.h"

namespace kova {

// One handler per kind 100-228 (a node's kind byte may hold more: those
// are refused before the table is read).
inline constexpr uint32_t HANDLER_TABLE_SIZE = 129;

// Where the last variable, element or property read lives.
enum LocationKind : uint8_t {
    LOCATION_NONE = 0,
    LOCATION_ELEMENT = 3,     // container: the array value (its element area may move), index: element
    LOCATION_LAST_INDEX = 5,  // container: the regular expression value
    LOCATION_LOCAL = 10,      // index: local stack slot
    LOCATION_GLOBAL = 11,     // index: global table slot
    LOCATION_PAIR = 21,       // container: the object or keyed array value, index: pair index
};

enum Completion : uint8_t {
    COMPLETION_NONE = 0,
    COMPLETION_BREAK,
    COMPLETION_CONTINUE,
    COMPLETION_RETURN,  // g_eval.return_value holds the value (undefined for a bare return)
};

// A local variable, laid out like a global one: the name value (bit 31,
// SLOT_CONST_FLAG, set for const) and the value, which the slot holds one
// reference to.
struct Slot {
    uint32_t name;
    Value value;
};
static_assert(sizeof(Slot) == 8);

struct EvalState {
    // location register
    uint8_t location_kind;
    uint32_t location_container;
    uint32_t location_index;
    bool const_read;
    bool create_missing;

    // local stack: slot 0 is never used, the first pushed slot is 1
    Slot* locals;
    uint32_t top;
    uint32_t capacity;
    uint32_t frame_base;   // first slot of the current call; 0 at top level
    uint32_t block_base;   // first slot of the innermost block
    int32_t block_depth;   // locals are searched only while above 0
    uint32_t call_depth;   // script function calls in progress
    // counts of the function being run (for `for (var x ...)`)
    uint32_t parameter_count;
    uint32_t variable_count;

    // frame kinds (FrameKind of core/errors.h); entry 0 is the host's
    uint8_t* frames;
    uint32_t frame_count;
    uint32_t frame_capacity;

    // pending non-local exit
    uint8_t completion;
    Value return_value;

#if KOVA_DEBUGGER
    // Every node goes through the debugger first (a connection is open, or
    // the debugger is evaluating an expression of its front end).
    bool debugger_hook;
#endif

    // The node a statement list is about to run (or the branch an `if` in
    // statement position is about to run). A handler compares it with its
    // own node on entry, before evaluating anything: equal means statement
    // position, where an exit may stay pending and a value is not wanted
    // (a postfix ++ may then act as the prefix form). A node has one place
    // in its tree, so a stale entry never matches a node reached elsewhere.
    Value statement_node;
};

extern EvalState g_eval;

// Empties the local stack, the frames and the registers (start of a run,
// and between unit tests). Frame 0, the host's, is in place afterwards.
void eval_reset();

using NodeHandler = Value (*)(Value node);
extern NodeHandler g_node_handlers[HANDLER_TABLE_SIZE];
extern NodeHandler g_restricted_handlers[HANDLER_TABLE_SIZE];
void eval_init_handlers();

// Variable lookup (scopes.cpp): the value of a name, its place in the
// location register.
Value read_variable(uint32_t name);
Value evaluate_composite(Value literal);
Value expand_template(Value string);
[[noreturn]] void raise_not_evaluable(Value v);

// Finds a variable as read_variable does and sets the location register;
// returns the place of its value, or null when the name is nowhere (then
// nothing is set and no global is made). The place is good until the
// local stack or the global table grows.
inline Value* find_variable(uint32_t name) {
    // Locals are visible inside an open block, and inside a call (so that a
    // default parameter sees the parameters before it).
    if ((g_eval.block_depth > 0 || g_eval.call_depth > 0) && g_eval.top > 0) {
        const uint32_t bottom = g_eval.frame_base > 0 ? g_eval.frame_base : 1;
        Slot* const locals = g_eval.locals;
        for (uint32_t i = g_eval.top; i >= bottom; --i) {
            Slot& slot = locals[i];
            if ((slot.name & SLOT_NAME_MASK) == name) {
                g_eval.location_kind = LOCATION_LOCAL;
                g_eval.location_index = i;
                g_eval.const_read = (slot.name & SLOT_CONST_FLAG) != 0;
                return &slot.value;
            }
        }
    }
    GlobalSlot* const globals = g_globals.slots;
    for (uint32_t i = g_globals.count; i-- > 0;) {
        GlobalSlot& slot = globals[i];
        if ((slot.name & SLOT_NAME_MASK) == name) {
            g_eval.location_kind = LOCATION_GLOBAL;
            g_eval.location_index = i;
            g_eval.const_read = (slot.name & SLOT_CONST_FLAG) != 0;
            return &slot.value;
        }
    }
    return nullptr;
}

// Templates carry the flag word 0x8000 in bytes 2-3 of their string cell.
inline bool is_template_string(Value v) { return (cell_as<StringCell>(v)->zero[2] & 0x80) != 0; }

// The line (bits 0-15) and column (bits 16-30) of a position word land in
// the adjacent 16-bit fields of the error state with one store.
static_assert(offsetof(ErrorState, column) == offsetof(ErrorState, line) + 2);

// Records the node about to run as the place errors name.
inline void note_position(const NodeCell* cell) {
    g_errors.module = cell->module & 0x7F;
    const uint32_t line_and_column = cell->position & 0x7FFFFFFF;
    std::memcpy(reinterpret_cast<unsigned char*>(&g_errors) + offsetof(ErrorState, line), &line_and_column, 4);
}

#if KOVA_DEBUGGER
// debugger/debugger.h: evaluate() of a node while the debugger hook is on.
Value debugger_evaluate_node(Value node);
#endif

inline Value evaluate(Value v) {
    const uint32_t tag = value_tag(v);
    if (tag == TAG_NODE) {
#if KOVA_DEBUGGER
        if (g_eval.debugger_hook) return debugger_evaluate_node(v);
#endif
        const NodeCell* cell = cell_as<NodeCell>(v);
        if (cell->operation != NODE_BLOCK) note_position(cell);
        const uint32_t index = cell->operation - NODE_KIND_FIRST;
        if (index >= HANDLER_TABLE_SIZE) raise_not_evaluable(v);
        return g_node_handlers[index](v);
    }
    switch (tag) {
        case TAG_NAME:
            return (v & SLOT_NAME_MASK) <= 4 ? v : read_variable(v & SLOT_NAME_MASK);
        case TAG_STRING:
            return is_template_string(v) ? expand_template(v) : v;
        case TAG_ARRAY:
        case TAG_KEYED:
        case TAG_OBJECT:
            return evaluate_composite(v);
        case TAG_INTEGER:
        case TAG_DATE:
        case TAG_ERROR:
        case TAG_REGEX:
        case TAG_FLOAT:
        case TAG_FUNCTION:
            return v;
        default:
            raise_not_evaluable(v);
    }
}

// evaluate() for a statement of a statement list: in statement position,
// its value unused.
inline void run_statement(Value v) {
    g_eval.statement_node = v;
    release_if_temporary(evaluate(v));
}

// True when the node being entered runs in statement position (read before
// evaluating anything of it).
inline bool in_statement_position(Value node) { return g_eval.statement_node == node; }

// An exit leaving an expression: the completion and, for a return, the
// returned value with the one reference the exit holds.
struct ScriptExit {
    uint8_t completion;
    Value value;
};

// Turns the pending completion into a ScriptExit (nothing stays pending).
[[noreturn]] void throw_pending_exit();
// A statement not in statement position ends with a completion pending
// (a loop whose body returned, a `try` whose block broke out): it must not
// go on inside the expression around it.
inline void leave_expression_if_exit_pending(bool statement) {
    if (!statement && g_eval.completion != COMPLETION_NONE) throw_pending_exit();
}
// Takes a caught ScriptExit back as the pending completion.
inline void take_exit(const ScriptExit& exit) {
    g_eval.completion = exit.completion;
    g_eval.return_value = exit.value;
}
// Drops a pending completion (releasing a held return value).
inline void discard_completion() {
    if (g_eval.completion == COMPLETION_RETURN) release(g_eval.return_value);
    g_eval.completion = COMPLETION_NONE;
    g_eval.return_value = NAME_UNDEFINED;
}

// Only a node (or a template string or composite literal, which evaluate
// to new values) can yield a temporary: a name's value is held by its
// variable, a number constant by the node it appears in.
inline bool may_yield_temporary(Value expression) {
    const uint32_t tag = value_tag(expression);
    return tag != TAG_NAME && tag != TAG_INTEGER && tag != TAG_FLOAT;
}

// evaluate() for an operand of an operator, seeing through parentheses
// around one expression. The group kind is not one the debugger stops
// at, so all that evaluating it would add is noting its position.
// A variable is looked up in place.
inline Value evaluate_operand(Value v) {
    const uint32_t tag = value_tag(v);
    if (tag == TAG_NAME) {
        const uint32_t name = v & SLOT_NAME_MASK;
        if (name <= NAME_NAN) return v;
        if (const Value* place = find_variable(name)) return *place;
        return read_variable(name);
    }
    if (tag == TAG_NODE) {
        const NodeCell* cell = cell_as<NodeCell>(v);
        if (cell->operation == NODE_GROUP && cell->operand_count == 1) {
            note_position(cell);
            v = cell->first;
        }
    }
    return evaluate(v);
}

bool is_truthy(Value v);
// === : integers and floats by number (never with each other), strings by
// their bytes, everything else by identity.
bool strictly_equal(Value a, Value b);

// Frame kinds: pushed by loops, calls, try and switch for as long as they run.
void grow_frames();
inline void push_frame(uint8_t kind) {
    if (g_eval.frame_count == g_eval.frame_capacity) grow_frames();
    g_eval.frames[g_eval.frame_count++] = kind;
}
inline void restore_frames(uint32_t count) { g_eval.frame_count = count; }
inline constexpr uint32_t frame_bit(uint8_t kind) { return 1u << kind; }
// The index of the innermost frame from `from` down to frame 1 whose kind
// is in `mask`, or -1. A call frame not in the mask ends the search: a
// `break` never leaves the function it is in.
int find_frame(uint32_t mask, uint32_t from);

// Local stack.
void ensure_local_capacity(uint32_t needed);
inline void push_slot(uint32_t name, Value value) {
    if (g_eval.top + 1 >= g_eval.capacity) ensure_local_capacity(1);
    Slot& slot = g_eval.locals[++g_eval.top];
    slot.name = name;
    slot.value = value;
}
// Pops the slots above `top`, releasing their values.
inline void pop_slots_to(uint32_t top) {
    while (g_eval.top > top) {
        const Value value = g_eval.locals[g_eval.top].value;
        --g_eval.top;
        release(value);
    }
}

// Stores a value through the location register: retains it, releases the
// old one. Error 2000 for a location the register cannot store to.
void store_at_location(Value value);
// The value at the location register (no reference added).
Value value_at_location();

// Operands of a node, inline or from the operand item.
inline uint32_t operand_count(Value node) { return node_count(node); }
inline Value operand(Value node, uint32_t i) { return node_operand(node, i); }

// The same through the node's record, for handlers that read several
// fields: the address is worked out once. Cell pages never move, so the
// record stays where it is while operands are evaluated.
inline const NodeCell* node_cell(Value node) { return cell_as<NodeCell>(node); }
inline uint32_t cell_operand_count(const NodeCell* cell) {
    return cell->operand_count == 255 ? cell->position : cell->operand_count;
}
inline Value cell_operand(const NodeCell* cell, uint32_t i) {
    if (cell->operand_count <= 2) return i == 0 ? cell->first : cell->second;
    return load_u32(area_pointer(cell->first) + 4 * i);
}

// An integer or float cell that nobody holds (count 0): the caller that
// received it owns it and may write a new number into it instead of
// freeing it and making another cell.
inline bool is_temporary_number(Value v) { return cell_pointer(v)->header < 16; }
inline int32_t integer_value(Value v) { return cell_as<IntegerCell>(v)->value; }

// A block's statements (kind 155), run as eval_block runs them: let and
// const declared in it, and slots pushed while it runs, end with it. The
// statement item belongs to the block node and stays where it is.
inline void run_block(const NodeCell* cell) {
    const uint32_t saved_top = g_eval.top;
    const uint32_t saved_base = g_eval.block_base;
    ++g_eval.block_depth;
    g_eval.block_base = saved_top + 1;
    const uint32_t count = cell_operand_count(cell);
    if (count <= 2) {
        if (count >= 1) run_statement(cell->first);
        if (count == 2 && g_eval.completion == COMPLETION_NONE) run_statement(cell->second);
    } else {
        const uint8_t* statements = area_pointer(cell->first);
        for (uint32_t i = 0; i < count; ++i) {
            run_statement(load_u32(statements + 4 * size_t(i)));
            if (g_eval.completion != COMPLETION_NONE) break;
        }
    }
    if (g_eval.top > saved_top) pop_slots_to(saved_top);
    --g_eval.block_depth;
    g_eval.block_base = saved_base;
}

// A loop or function body: run_statement, but a block runs here without
// the dispatch (a block notes no position and is never a place the
// debugger stops).
inline void run_body(Value body) {
    if (value_tag(body) == TAG_NODE) {
        const NodeCell* cell = cell_as<NodeCell>(body);
        if (cell->operation == NODE_BLOCK) {
            run_block(cell);
            return;
        }
    }
    run_statement(body);
}

}  // namespace kova

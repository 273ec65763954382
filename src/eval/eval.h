// The evaluator: runs parsed nodes directly. `evaluate` turns any value
// handle into the value it stands for; a node is dispatched by its kind to
// a handler through one table.
//
// Non-local exits: `break`, `continue` and `return` are frequent, so they do
// not unwind the machine stack. Their handler records a pending completion
// in g_eval and returns; every statement sequence stops as soon as one is
// pending, and the loop, switch or call that takes it clears it. Errors and
// `throw` are rare and travel as a C++ exception (ScriptUnwind) to the
// nearest `try` or to the host. A stack of frame kinds tells each exit
// whether a construct that takes it encloses it.
#pragma once

#include <cstdint>

#include "core/areas.h"
#include "core/errors.h"
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

    // the debugger's restricted table is in use
    bool restricted;
};

extern EvalState g_eval;

// Empties the local stack, the frames and the registers (start of a run,
// and between unit tests). Frame 0, the host's, is in place afterwards.
void eval_reset();

using NodeHandler = Value (*)(Value node);
extern NodeHandler g_node_handlers[HANDLER_TABLE_SIZE];
extern NodeHandler g_restricted_handlers[HANDLER_TABLE_SIZE];
void eval_init_handlers();

Value evaluate_name(Value name);
Value evaluate_composite(Value literal);
Value expand_template(Value string);
[[noreturn]] void raise_not_evaluable(Value v);

// Templates carry the flag word 0x8000 in bytes 2-3 of their string cell.
inline bool is_template_string(Value v) { return (cell_as<StringCell>(v)->zero[2] & 0x80) != 0; }

inline Value evaluate(Value v) {
    const uint32_t tag = value_tag(v);
    if (tag == TAG_NODE) {
        const NodeCell* cell = cell_as<NodeCell>(v);
        if (cell->operation != NODE_BLOCK) {
            g_errors.module = cell->module & 0x7F;
            g_errors.line = static_cast<uint16_t>(cell->position & 0xFFFF);
            g_errors.column = static_cast<uint16_t>((cell->position >> 16) & 0x7FFF);
        }
        const uint32_t index = cell->operation - NODE_KIND_FIRST;
        if (index >= HANDLER_TABLE_SIZE) raise_not_evaluable(v);
        return g_node_handlers[index](v);
    }
    switch (tag) {
        case TAG_NAME:
            return (v & SLOT_NAME_MASK) <= 4 ? v : evaluate_name(v);
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

bool is_truthy(Value v);
// === : integers and floats by number (never with each other), strings by
// their bytes, everything else by identity.
bool strictly_equal(Value a, Value b);

// Frame kinds: pushed by loops, calls, try and switch for as long as they run.
void push_frame(uint8_t kind);
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
void pop_slots_to(uint32_t top);

// Stores a value through the location register: retains it, releases the
// old one. Error 2000 for a location the register cannot store to.
void store_at_location(Value value);
// The value at the location register (no reference added).
Value value_at_location();

// Operands of a node, inline or from the operand item.
inline uint32_t operand_count(Value node) { return node_count(node); }
inline Value operand(Value node, uint32_t i) { return node_operand(node, i); }

}  // namespace kova

// Variables: the local stack (parameters, function variables, let/const of
// open blocks) searched newest first, then the global table. Names are
// resolved when read, not when parsed.
#pragma once

#include <cstdint>

#include "core/value.h"
#include "eval/eval.h"
#include "parser/declarations.h"

namespace kova {

// Reads a variable, creating a global holding `undefined` when the name is
// nowhere; sets the location register.
Value read_variable(uint32_t name);

// The slot of a global variable, appended when missing.
uint32_t global_slot_of(uint32_t name);
// Binds a global (request variables, VAR texts, the constants): the slot
// takes the value, which it holds one reference to.
void set_global(uint32_t name, Value value);

// The saved scope registers of a statement that may be left by an error.
struct ScopeMark {
    uint32_t top;
    uint32_t frame_base;
    uint32_t block_base;
    int32_t block_depth;
    uint32_t call_depth;
    uint32_t parameter_count;
    uint32_t variable_count;
    uint32_t frame_count;
};
inline ScopeMark save_scope() {
    return ScopeMark{g_eval.top,         g_eval.frame_base,      g_eval.block_base,
                     g_eval.block_depth, g_eval.call_depth,      g_eval.parameter_count,
                     g_eval.variable_count, g_eval.frame_count};
}
// The registers that say which slots a lookup sees, from a mark (the local
// stack and the frame count stay as they are).
inline void set_scope_registers(const ScopeMark& mark) {
    g_eval.frame_base = mark.frame_base;
    g_eval.block_base = mark.block_base;
    g_eval.block_depth = mark.block_depth;
    g_eval.call_depth = mark.call_depth;
    g_eval.parameter_count = mark.parameter_count;
    g_eval.variable_count = mark.variable_count;
}
// Pops the local stack back to the mark and restores every register.
inline void restore_scope(const ScopeMark& mark) {
    pop_slots_to(mark.top);
    set_scope_registers(mark);
    g_eval.frame_count = mark.frame_count;
}

}  // namespace kova

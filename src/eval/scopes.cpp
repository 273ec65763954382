// Variables, declarations and blocks.
#include "eval/scopes.h"

#include <cstdlib>
#include <cstring>

#include "core/names.h"
#include "core/values.h"
#include "eval/access.h"
#include "eval/handlers.h"
#include "parser/declarations.h"

namespace kova {

namespace {

constexpr uint32_t LOCAL_STEP = 512;

// The declarator items of var/let/const: a name, or an assignment node
// (name, initial value).
inline bool declarator(Value item, uint32_t* name, Value* initial) {
    if (value_tag(item) == TAG_NAME) {
        *name = item & SLOT_NAME_MASK;
        *initial = 0;
        return true;
    }
    if (value_tag(item) != TAG_NODE) return false;
    const NodeCell* cell = node_cell(item);
    if (cell->operation != NODE_ASSIGN) return false;
    const Value target = cell_operand(cell, 0);
    if (value_tag(target) != TAG_NAME) return false;
    *name = target & SLOT_NAME_MASK;
    *initial = cell_operand(cell, 1);
    return true;
}

// Evaluates an initial value and takes one reference to it.
Value held_initial(Value expression) {
    if (expression == 0) return NAME_UNDEFINED;
    const Value value = evaluate(expression);
    retain(value);
    return value;
}

void replace_value(Slot& slot, Value value) {
    const Value old = slot.value;
    slot.value = value;
    release(old);
}

}  // namespace

void ensure_local_capacity(uint32_t needed) {
    if (g_eval.top + needed < g_eval.capacity) return;
    const uint32_t capacity = g_eval.capacity + needed + LOCAL_STEP;
    auto* locals = static_cast<Slot*>(std::realloc(g_eval.locals, size_t(capacity) * sizeof(Slot)));
    if (locals == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
    g_eval.locals = locals;
    g_eval.capacity = capacity;
}

Value read_variable(uint32_t name) {
    if (const Value* place = find_variable(name)) return *place;
    g_eval.location_kind = LOCATION_GLOBAL;
    g_eval.location_index = global_add(name, NAME_UNDEFINED);
    g_eval.const_read = false;
    return NAME_UNDEFINED;
}

uint32_t global_slot_of(uint32_t name) {
    for (uint32_t i = 0; i < g_globals.count; ++i) {
        if ((g_globals.slots[i].name & SLOT_NAME_MASK) == name) return i;
    }
    return global_add(name, NAME_UNDEFINED);
}

void set_global(uint32_t name, Value value) {
    for (uint32_t i = g_globals.count; i-- > 0;) {
        GlobalSlot& slot = g_globals.slots[i];
        if ((slot.name & SLOT_NAME_MASK) == name) {
            retain(value);
            slot.value = value;
            return;
        }
    }
    retain(value);
    global_add(name, value);
}

Value value_at_location() {
    switch (g_eval.location_kind) {
        case LOCATION_LOCAL:
            return g_eval.locals[g_eval.location_index].value;
        case LOCATION_GLOBAL:
            return g_globals.slots[g_eval.location_index].value;
        case LOCATION_ELEMENT:
        case LOCATION_PAIR:
            return element_or_pair_value();
        default:
            return NAME_UNDEFINED;
    }
}

void store_at_location(Value value) {
    switch (g_eval.location_kind) {
        case LOCATION_LOCAL:
            retain(value);
            replace_value(g_eval.locals[g_eval.location_index], value);
            return;
        case LOCATION_GLOBAL: {
            retain(value);
            GlobalSlot& slot = g_globals.slots[g_eval.location_index];
            const Value old = slot.value;
            slot.value = value;
            release(old);
            return;
        }
        case LOCATION_ELEMENT:
        case LOCATION_PAIR:
            store_element_or_pair(value);
            return;
        case LOCATION_LAST_INDEX:
            store_last_index(value);
            return;
        default:
            raise_runtime_error(2000, "value_ptrのタイプ不正");
    }
}

Value eval_var(Value node) {
    const NodeCell* cell = node_cell(node);
    const uint32_t count = cell_operand_count(cell);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t name = 0;
        Value initial = 0;
        if (!declarator(cell_operand(cell, i), &name, &initial)) raise_runtime_error(2040, "変数名不正");
        const Value value = held_initial(initial);
        if (g_eval.frame_base == 0) {
            bool found = false;
            for (uint32_t s = 0; s < g_globals.count; ++s) {
                GlobalSlot& slot = g_globals.slots[s];
                if ((slot.name & SLOT_NAME_MASK) == name) {
                    const Value old = slot.value;
                    slot.value = value;
                    release(old);
                    found = true;
                    break;
                }
            }
            if (!found) global_add(name, value);
            continue;
        }
        bool found = false;
        Slot* const locals = g_eval.locals;
        const uint32_t top = g_eval.top;
        for (uint32_t s = g_eval.frame_base; s <= top; ++s) {
            Slot& slot = locals[s];
            if ((slot.name & SLOT_NAME_MASK) == name) {
                replace_value(slot, value);
                found = true;
                break;
            }
        }
        if (!found) push_slot(name, value);
    }
    return NAME_UNDEFINED;
}

Value eval_let_const(Value node) {
    if (g_eval.block_depth <= 0) raise_runtime_error(2045, "ステートメント不正(let/const)");
    const bool is_const = node_kind(node) == NODE_CONST;
    const uint32_t count = operand_count(node);
    ensure_local_capacity(count + 1);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t name = 0;
        Value initial = 0;
        if (!declarator(operand(node, i), &name, &initial)) raise_runtime_error(2040, "変数名不正");
        if (name <= NAME_NULL) {
            if (initial == 0) raise_runtime_error(2047, "変数名不正(let/const)");
            raise_runtime_error(2048, "変数名不正(let/const)");
        }
        const Value value = held_initial(initial);
        const uint32_t word = name | (is_const ? SLOT_CONST_FLAG : 0);
        bool found = false;
        const uint32_t bottom = g_eval.block_base > 0 ? g_eval.block_base : 1;
        for (uint32_t s = bottom; s <= g_eval.top; ++s) {
            Slot& slot = g_eval.locals[s];
            if ((slot.name & SLOT_NAME_MASK) == name) {
                slot.name = word;
                replace_value(slot, value);
                found = true;
                break;
            }
        }
        if (!found) push_slot(word, value);
    }
    return NAME_UNDEFINED;
}

Value eval_block(Value node) {
    const bool statement = in_statement_position(node);
    run_block(node_cell(node));
    leave_expression_if_exit_pending(statement);
    return NAME_UNDEFINED;
}

}  // namespace kova

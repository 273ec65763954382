// Statements that change the order of evaluation: if, the loops, switch,
// try, throw, break, continue and return, and error values.
#include <cstdio>
#include <cstring>

#include "core/names.h"
#include "core/values.h"
#include "eval/eval.h"
#include "eval/handlers.h"
#include "eval/scopes.h"
#include "parser/declarations.h"

namespace kova {

namespace {

constexpr uint32_t LOOP_BIT = frame_bit(FRAME_LOOP);
constexpr uint32_t CALL_BIT = frame_bit(FRAME_CALL);
constexpr uint32_t TRY_BIT = frame_bit(FRAME_TAKES_ERRORS);
constexpr uint32_t SWITCH_BIT = frame_bit(FRAME_SWITCH);

// Comparisons and the logical operators yield the constants true and
// false, which need neither a truth test nor a release.
bool condition_holds(Value expression) {
    const Value value = evaluate(expression);
    if (value == NAME_TRUE) return true;
    if (value == NAME_FALSE) return false;
    const bool holds = is_truthy(value);
    release_if_temporary(value);
    return holds;
}

// After a loop body: true when the loop must end. A `break` or `continue`
// meant for this loop is taken here; a `return` goes on outward.
bool loop_should_end() {
    switch (g_eval.completion) {
        case COMPLETION_NONE:
            return false;
        case COMPLETION_CONTINUE:
            g_eval.completion = COMPLETION_NONE;
            return false;
        case COMPLETION_BREAK:
            g_eval.completion = COMPLETION_NONE;
            return true;
        default:
            return true;
    }
}

// The slot of `for (var x ...)`: a global at top level, else one of the
// running function's declared variables.
bool find_existing_loop_variable(uint32_t name, uint8_t* kind, uint32_t* index) {
    if (g_eval.frame_base == 0) {
        for (uint32_t i = 0; i < g_globals.count; ++i) {
            if ((g_globals.slots[i].name & SLOT_NAME_MASK) == name) {
                *kind = LOCATION_GLOBAL;
                *index = i;
                return true;
            }
        }
        return false;
    }
    const uint32_t first = g_eval.frame_base + g_eval.parameter_count;
    const uint32_t end = first + g_eval.variable_count;
    for (uint32_t i = first; i < end && i <= g_eval.top; ++i) {
        if ((g_eval.locals[i].name & SLOT_NAME_MASK) == name) {
            *kind = LOCATION_LOCAL;
            *index = i;
            return true;
        }
    }
    return false;
}

void store_loop_variable(uint8_t kind, uint32_t index, Value item) {
    retain(item);
    Value* place = kind == LOCATION_LOCAL ? &g_eval.locals[index].value : &g_globals.slots[index].value;
    const Value old = *place;
    *place = item;
    release(old);
}

// The item of a for ... of / for ... in loop at position i, a temporary or
// a value the iterated container holds; `undefined` past the current end.
Value loop_item(Value iterated, bool of, uint32_t i, bool* ended) {
    *ended = false;
    switch (value_tag(iterated)) {
        case TAG_ARRAY: {
            const ArrayCell* cell = cell_as<ArrayCell>(iterated);
            if (i >= cell->count) break;
            return of ? load_u32(area_pointer(cell->elements) + 4 * i) : new_integer(static_cast<int32_t>(i));
        }
        case TAG_KEYED: {
            const KeyedCell* cell = cell_as<KeyedCell>(iterated);
            if (i >= cell->count) break;
            const uint8_t* pair = area_pointer(cell->pairs) + 8 * i;
            if (of) return load_u32(pair + 4);
            const uint32_t key = load_u32(pair);
            if (key_is_integer(key)) return new_integer(static_cast<int32_t>(key & 0xFFFFFF));
            return new_string(name_text(key), name_length(key));
        }
        case TAG_STRING: {
            if (i >= string_length(iterated)) break;
            return new_string(string_text(iterated) + i, 1);
        }
        case TAG_OBJECT: {
            const ObjectCell* cell = cell_as<ObjectCell>(iterated);
            if (i >= cell->count) break;
            const uint32_t key = load_u32(area_pointer(cell->pairs) + 8 * i);
            return new_string(name_text(key & SLOT_NAME_MASK), name_length(key & SLOT_NAME_MASK));
        }
        default:
            break;
    }
    *ended = true;
    return NAME_UNDEFINED;
}

uint32_t item_count(Value iterated, bool of) {
    switch (value_tag(iterated)) {
        case TAG_ARRAY:
            return cell_as<ArrayCell>(iterated)->count;
        case TAG_KEYED:
            return cell_as<KeyedCell>(iterated)->count;
        case TAG_STRING:
            if (!of) break;
            return string_length(iterated);
        case TAG_OBJECT:
            if (of) break;
            return cell_as<ObjectCell>(iterated)->count;
        default:
            break;
    }
    if (of) raise_runtime_error(2055, "ステートメント不正(for .. of)");
    raise_runtime_error(2057, "ステートメント不正(for .. in)");
}

// A break, continue or return left a try: the construct it is meant for
// must lie below the try, inside the same function.
void check_exit_target(uint32_t below) {
    uint32_t mask = 0;
    switch (g_eval.completion) {
        case COMPLETION_BREAK: mask = LOOP_BIT | SWITCH_BIT; break;
        case COMPLETION_CONTINUE: mask = LOOP_BIT; break;
        case COMPLETION_RETURN: mask = CALL_BIT; break;
        default: return;
    }
    if (below == 0 || find_frame(mask, below) < 0) {
        g_eval.completion = COMPLETION_NONE;
        raise_runtime_error(2060, "ステートメント不正(try ... catch)");
    }
}

// Runs the finally block with any pending exit set aside; an exit the
// finally block makes itself replaces it.
void run_finally(Value block, const ScopeMark& mark) {
    const uint8_t pending = g_eval.completion;
    const Value pending_value = g_eval.return_value;
    g_eval.completion = COMPLETION_NONE;
    run_statement(block);
    restore_scope(mark);
    if (g_eval.completion == COMPLETION_NONE) {
        g_eval.completion = pending;
        g_eval.return_value = pending_value;
    } else if (pending == COMPLETION_RETURN) {
        release(pending_value);
    }
}

}  // namespace

bool strictly_equal(Value a, Value b) {
    const uint32_t tag = value_tag(a);
    if (tag != value_tag(b)) return false;
    switch (tag) {
        case TAG_INTEGER:
            return cell_as<IntegerCell>(a)->value == cell_as<IntegerCell>(b)->value;
        case TAG_FLOAT:
            return cell_as<FloatCell>(a)->value == cell_as<FloatCell>(b)->value;
        case TAG_STRING:
            return string_length(a) == string_length(b) &&
                   std::memcmp(string_text(a), string_text(b), string_length(a)) == 0;
        default:
            return a == b;
    }
}

Value eval_if(Value node) {
    if (condition_holds(operand(node, 0))) return evaluate(operand(node, 1));
    if (operand_count(node) > 2) return evaluate(operand(node, 2));
    return NAME_UNDEFINED;
}

Value eval_while(Value node) {
    const Value condition = operand(node, 0);
    const Value body = operand(node, 1);
    const uint32_t saved_top = g_eval.top;
    const uint32_t saved_frames = g_eval.frame_count;
    push_frame(FRAME_LOOP);
    while (condition_holds(condition)) {
        run_body(body);
        if (loop_should_end()) break;
    }
    pop_slots_to(saved_top);
    restore_frames(saved_frames);
    return NAME_UNDEFINED;
}

Value eval_do_while(Value node) {
    const Value body = operand(node, 0);
    const Value condition = operand(node, 1);
    const uint32_t saved_top = g_eval.top;
    const uint32_t saved_frames = g_eval.frame_count;
    push_frame(FRAME_LOOP);
    do {
        run_body(body);
        if (loop_should_end()) break;
    } while (condition_holds(condition));
    pop_slots_to(saved_top);
    restore_frames(saved_frames);
    return NAME_UNDEFINED;
}

Value eval_for(Value node) {
    const uint8_t* list = area_pointer(operand(node, 0));
    const uint32_t counts = operand(node, 1);
    const uint32_t initialisers = counts >> 16;
    const uint32_t steps = counts & 0xFFFF;
    const Value body = operand(node, 2);
    const Value condition = load_u32(list + 4 * initialisers);

    const uint32_t saved_top = g_eval.top;
    const uint32_t saved_frames = g_eval.frame_count;
    ++g_eval.block_depth;
    push_frame(FRAME_LOOP);
    for (uint32_t i = 0; i < initialisers; ++i) run_statement(load_u32(list + 4 * i));
    while (condition_holds(condition)) {
        run_body(body);
        if (loop_should_end()) break;
        for (uint32_t i = 0; i < steps; ++i) run_statement(load_u32(list + 4 * (initialisers + 1 + i)));
    }
    pop_slots_to(saved_top);
    --g_eval.block_depth;
    restore_frames(saved_frames);
    return NAME_UNDEFINED;
}

Value eval_for_each(Value node) {
    const bool of = node_kind(node) == NODE_FOR_OF;
    const uint32_t name = operand(node, 0) & SLOT_NAME_MASK;
    const Value body = operand(node, 2);
    const uint32_t flag = operand(node, 3);

    const uint32_t saved_top = g_eval.top;
    const uint32_t saved_frames = g_eval.frame_count;
    ++g_eval.block_depth;
    push_frame(FRAME_LOOP);

    uint8_t kind = LOCATION_LOCAL;
    uint32_t index = 0;
    if (flag == 2) {
        if (!find_existing_loop_variable(name, &kind, &index)) {
            if (of) raise_runtime_error(2050, "ステートメント不正(for ... of)");
            raise_runtime_error(2056, "ステートメント不正(for ... in)");
        }
    } else {
        // Only a const loop variable is read-only in the body.
        push_slot(name | (flag == 1 ? SLOT_CONST_FLAG : 0), NAME_UNDEFINED);
        index = g_eval.top;
    }

    const Value iterated = evaluate(operand(node, 1));
    retain(iterated);
    const uint32_t count = item_count(iterated, of);
    for (uint32_t i = 0; i < count; ++i) {
        bool ended = false;
        // Items are read afresh: the body may shrink the container.
        const Value item = loop_item(iterated, of, i, &ended);
        if (ended) break;
        store_loop_variable(kind, index, item);
        run_body(body);
        if (loop_should_end()) break;
    }
    release(iterated);
    pop_slots_to(saved_top);
    --g_eval.block_depth;
    restore_frames(saved_frames);
    return NAME_UNDEFINED;
}

Value eval_switch(Value node) {
    const uint8_t* table = area_pointer(operand(node, 1));
    const uint32_t entries = load_u32(table);
    const uint32_t statements = load_u32(table + 4);
    const uint32_t default_index = load_u32(table + 12);
    const bool has_default = operand(node, 3) != 0;

    const uint32_t saved_frames = g_eval.frame_count;
    push_frame(FRAME_SWITCH);
    const Value discriminant = evaluate(operand(node, 0));
    retain(discriminant);
    bool matched = false;
    uint32_t start = 0;
    for (uint32_t e = 2; e < entries && !matched; ++e) {
        const Value case_value = evaluate(load_u32(area_pointer(operand(node, 1)) + 8 * e));
        matched = strictly_equal(discriminant, case_value);
        release_if_temporary(case_value);
        if (matched) start = load_u32(area_pointer(operand(node, 1)) + 8 * e + 4);
    }
    release(discriminant);
    if (!matched && has_default) {
        matched = true;
        start = default_index;
    }
    if (matched) {
        for (uint32_t i = start; i < statements; ++i) {
            run_statement(load_u32(area_pointer(operand(node, 2)) + 4 * i));
            if (g_eval.completion != COMPLETION_NONE) break;
        }
        if (g_eval.completion == COMPLETION_BREAK) g_eval.completion = COMPLETION_NONE;
    }
    restore_frames(saved_frames);
    return NAME_UNDEFINED;
}

Value eval_try(Value node) {
    const Value try_block = operand(node, 0);
    const Value catch_part = operand(node, 1);
    const Value finally_block = operand_count(node) > 2 ? operand(node, 2) : 0;
    const ScopeMark mark = save_scope();
    push_frame(FRAME_TAKES_ERRORS);

    bool pending_exception = false;
    ScriptUnwind exception{0, false};
    try {
        run_statement(try_block);
    } catch (const ScriptUnwind& unwind) {
        if (unwind.to_host) throw;
        pending_exception = true;
        exception = unwind;
    }
    restore_scope(mark);

    if (pending_exception && catch_part != 0) {
        pending_exception = false;
        g_errors.caught = false;
        const uint8_t* pair = area_pointer(catch_part);
        const uint32_t name = load_u32(pair) & SLOT_NAME_MASK;
        const Value catch_block = load_u32(pair + 4);
        // A catch block that throws still gets the finally block run.
        try {
            retain(exception.value);
            push_slot(name, exception.value);
            run_statement(catch_block);
        } catch (const ScriptUnwind& unwind) {
            if (unwind.to_host) throw;
            pending_exception = true;
            exception = unwind;
        }
        restore_scope(mark);
    }

    if (finally_block != 0) run_finally(finally_block, mark);
    if (pending_exception) {
        g_errors.caught = true;
        throw exception;
    }
    check_exit_target(mark.frame_count - 1);
    return NAME_UNDEFINED;
}

Value eval_throw(Value node) {
    const Value value = evaluate(operand(node, 0));
    g_errors.caught = true;
    throw ScriptUnwind{value, false};
}

Value eval_break(Value) {
    if (find_frame(LOOP_BIT | TRY_BIT | SWITCH_BIT, g_eval.frame_count - 1) < 0) {
        raise_runtime_error(2070, "ステートメント不正(break)");
    }
    g_eval.completion = COMPLETION_BREAK;
    return NAME_UNDEFINED;
}

Value eval_continue(Value) {
    if (find_frame(LOOP_BIT | TRY_BIT, g_eval.frame_count - 1) < 0) {
        raise_runtime_error(2075, "ステートメント不正(continue)");
    }
    g_eval.completion = COMPLETION_CONTINUE;
    return NAME_UNDEFINED;
}

// The returned value is held (one reference) while the exit travels out
// through blocks that pop their slots; the call lets go of it with unhold.
Value eval_return(Value node) {
    if (find_frame(CALL_BIT | TRY_BIT, g_eval.frame_count - 1) < 0) raise_runtime_error(2080, "return文不正");
    Value value = NAME_UNDEFINED;
    if (operand_count(node) > 0) value = evaluate(operand(node, 0));
    retain(value);
    g_eval.return_value = value;
    g_eval.completion = COMPLETION_RETURN;
    return NAME_UNDEFINED;
}

Value eval_error_value(Value node) {
    const uint32_t count = operand_count(node);
    const Value message = evaluate(operand(node, 0));
    if (value_tag(message) != TAG_STRING) raise_runtime_error(2360, "例外ステートメント不正");
    ErrorCodeKind kind = ERROR_CODE_NONE;
    char code[24] = "";
    size_t code_length = 0;
    Value code_value = NAME_UNDEFINED;
    if (count > 1) {
        code_value = evaluate(operand(node, 1));
        if (value_tag(code_value) == TAG_STRING) {
            kind = ERROR_CODE_STRING;
            code_length = string_length(code_value) < 19 ? string_length(code_value) : 19;
            std::memcpy(code, string_text(code_value), code_length);
        } else if (value_tag(code_value) == TAG_INTEGER) {
            kind = ERROR_CODE_NUMBER;
            code_length = static_cast<size_t>(
                std::snprintf(code, sizeof code, "%d", cell_as<IntegerCell>(code_value)->value));
        } else {
            raise_runtime_error(2360, "例外ステートメント不正");
        }
    }
    const Value error = new_error_object(kind, code, code_length, string_text(message), string_length(message));
    release_if_temporary(code_value);
    release_if_temporary(message);
    return error;
}

}  // namespace kova

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
        discard_completion();
        raise_runtime_error(2060, "ステートメント不正(try ... catch)");
    }
}

// Runs the finally block with any pending exit set aside. A finally block
// that completes normally resumes the pending exit; one that makes an exit
// of its own replaces it (true is returned), and one that throws drops it.
bool run_finally(Value block, const ScopeMark& mark) {
    const uint8_t pending = g_eval.completion;
    const Value pending_value = g_eval.return_value;
    g_eval.completion = COMPLETION_NONE;
    g_eval.return_value = NAME_UNDEFINED;
    try {
        run_statement(block);
    } catch (const ScriptExit& exit) {
        restore_scope(mark);
        take_exit(exit);
    } catch (...) {
        if (pending == COMPLETION_RETURN) release(pending_value);
        throw;
    }
    restore_scope(mark);
    if (g_eval.completion == COMPLETION_NONE) {
        g_eval.completion = pending;
        g_eval.return_value = pending_value;
        return false;
    }
    if (pending == COMPLETION_RETURN) release(pending_value);
    return true;
}

// An exception caught by a `try` while its finally block is still to run.
// It holds the unwind's reference to the thrown value (core/errors.h) and
// lets go of it when it is dropped rather than thrown on.
class PendingException {
public:
    PendingException() = default;
    ~PendingException() {
        if (active_) release(unwind_.value);
    }
    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;

    bool active() const { return active_; }
    void hold(const ScriptUnwind& unwind) {
        if (active_) release(unwind_.value);  // replaced by a newer one
        unwind_ = unwind;
        active_ = true;
    }
    // Hands the reference over (to a catch variable, or to a new throw).
    ScriptUnwind take() {
        active_ = false;
        return unwind_;
    }
    void drop() {
        if (active_) release(unwind_.value);
        active_ = false;
    }

private:
    ScriptUnwind unwind_{0, false};
    bool active_ = false;
};

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
    // A branch of an if in statement position is in statement position too.
    const bool statement = in_statement_position(node);
    const NodeCell* cell = node_cell(node);
    Value branch = 0;
    if (condition_holds(cell_operand(cell, 0))) {
        branch = cell_operand(cell, 1);
    } else if (cell_operand_count(cell) > 2) {
        branch = cell_operand(cell, 2);
    } else {
        return NAME_UNDEFINED;
    }
    if (statement) g_eval.statement_node = branch;
    return evaluate(branch);
}

// Every loop runs its iterations inside one C++ try: an exit that leaves an
// expression of the body, the condition or a step arrives as a ScriptExit,
// and is taken here as if a statement of the body had made it, after the
// scope is back where the iteration began. The try costs nothing while no
// exit arrives.

Value eval_while(Value node) {
    const bool statement = in_statement_position(node);
    const Value condition = operand(node, 0);
    const Value body = operand(node, 1);
    const uint32_t saved_top = g_eval.top;
    const uint32_t saved_frames = g_eval.frame_count;
    push_frame(FRAME_LOOP);
    const ScopeMark mark = save_scope();
    bool ended = false;
    while (!ended) {
        try {
            while (condition_holds(condition)) {
                run_body(body);
                if (loop_should_end()) break;
            }
            ended = true;
        } catch (const ScriptExit& exit) {
            restore_scope(mark);
            take_exit(exit);
            ended = loop_should_end();
        }
    }
    pop_slots_to(saved_top);
    restore_frames(saved_frames);
    leave_expression_if_exit_pending(statement);
    return NAME_UNDEFINED;
}

Value eval_do_while(Value node) {
    const bool statement = in_statement_position(node);
    const Value body = operand(node, 0);
    const Value condition = operand(node, 1);
    const uint32_t saved_top = g_eval.top;
    const uint32_t saved_frames = g_eval.frame_count;
    push_frame(FRAME_LOOP);
    const ScopeMark mark = save_scope();
    bool condition_first = false;  // after a continue, the condition comes next
    bool ended = false;
    while (!ended) {
        try {
            for (;;) {
                if (!condition_first) {
                    run_body(body);
                    if (loop_should_end()) break;
                }
                condition_first = false;
                if (!condition_holds(condition)) break;
            }
            ended = true;
        } catch (const ScriptExit& exit) {
            restore_scope(mark);
            take_exit(exit);
            ended = loop_should_end();
            condition_first = true;
        }
    }
    pop_slots_to(saved_top);
    restore_frames(saved_frames);
    leave_expression_if_exit_pending(statement);
    return NAME_UNDEFINED;
}

Value eval_for(Value node) {
    const bool statement = in_statement_position(node);
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
    // The initialisers' let and const slots belong to every iteration.
    const ScopeMark mark = save_scope();
    bool steps_first = false;  // after a continue, the steps come next
    bool ended = false;
    while (!ended) {
        try {
            for (;;) {
                if (steps_first) {
                    for (uint32_t i = 0; i < steps; ++i) run_statement(load_u32(list + 4 * (initialisers + 1 + i)));
                }
                steps_first = true;
                if (!condition_holds(condition)) break;
                run_body(body);
                if (loop_should_end()) break;
            }
            ended = true;
        } catch (const ScriptExit& exit) {
            restore_scope(mark);
            take_exit(exit);
            ended = loop_should_end();
            steps_first = true;
        }
    }
    pop_slots_to(saved_top);
    --g_eval.block_depth;
    restore_frames(saved_frames);
    leave_expression_if_exit_pending(statement);
    return NAME_UNDEFINED;
}

Value eval_for_each(Value node) {
    const bool statement = in_statement_position(node);
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
    const ScopeMark mark = save_scope();
    uint32_t next = 0;
    bool ended = false;
    while (!ended) {
        try {
            while (next < count) {
                bool past_end = false;
                // Items are read afresh: the body may shrink the container.
                const Value item = loop_item(iterated, of, next++, &past_end);
                if (past_end) break;
                store_loop_variable(kind, index, item);
                run_body(body);
                if (loop_should_end()) break;
            }
            ended = true;
        } catch (const ScriptExit& exit) {
            restore_scope(mark);
            take_exit(exit);
            ended = loop_should_end();
        }
    }
    release(iterated);
    pop_slots_to(saved_top);
    --g_eval.block_depth;
    restore_frames(saved_frames);
    leave_expression_if_exit_pending(statement);
    return NAME_UNDEFINED;
}

Value eval_switch(Value node) {
    const bool statement = in_statement_position(node);
    const uint8_t* table = area_pointer(operand(node, 1));
    const uint32_t entries = load_u32(table);
    const uint32_t statements = load_u32(table + 4);
    const uint32_t default_index = load_u32(table + 12);
    const bool has_default = operand(node, 3) != 0;

    const uint32_t saved_frames = g_eval.frame_count;
    push_frame(FRAME_SWITCH);
    const ScopeMark mark = save_scope();
    try {
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
        }
    } catch (const ScriptExit& exit) {
        restore_scope(mark);
        take_exit(exit);
    }
    if (g_eval.completion == COMPLETION_BREAK) g_eval.completion = COMPLETION_NONE;
    restore_frames(saved_frames);
    leave_expression_if_exit_pending(statement);
    return NAME_UNDEFINED;
}

Value eval_try(Value node) {
    const bool statement = in_statement_position(node);
    const Value try_block = operand(node, 0);
    const Value catch_part = operand(node, 1);
    const Value finally_block = operand_count(node) > 2 ? operand(node, 2) : 0;
    const ScopeMark mark = save_scope();
    push_frame(FRAME_TAKES_ERRORS);

    PendingException exception;
    try {
        run_statement(try_block);
    } catch (const ScriptUnwind& unwind) {
        if (unwind.to_host) throw;
        discard_completion();
        exception.hold(unwind);
    } catch (const ScriptExit& exit) {
        restore_scope(mark);
        take_exit(exit);
    }
    restore_scope(mark);

    if (exception.active() && catch_part != 0) {
        g_errors.caught = false;
        const uint8_t* pair = area_pointer(catch_part);
        const uint32_t name = load_u32(pair) & SLOT_NAME_MASK;
        const Value catch_block = load_u32(pair + 4);
        // The catch variable's slot takes over the unwind's reference. A
        // catch block that throws still gets the finally block run.
        try {
            ensure_local_capacity(1);
            push_slot(name, exception.take().value);
            run_statement(catch_block);
        } catch (const ScriptUnwind& unwind) {
            if (unwind.to_host) throw;
            discard_completion();
            exception.hold(unwind);
        } catch (const ScriptExit& exit) {
            restore_scope(mark);
            take_exit(exit);
        }
        restore_scope(mark);
    }

    // An exit made by the finally block replaces a pending exception.
    if (finally_block != 0 && run_finally(finally_block, mark)) exception.drop();
    if (exception.active()) {
        g_errors.caught = true;
        throw exception.take();
    }
    check_exit_target(mark.frame_count - 1);
    leave_expression_if_exit_pending(statement);
    return NAME_UNDEFINED;
}

// The thrown value travels with the unwind's own reference (core/errors.h).
Value eval_throw(Value node) {
    const Value value = evaluate(operand(node, 0));
    retain(value);
    g_errors.caught = true;
    throw ScriptUnwind{value, false};
}

Value eval_break(Value node) {
    const bool statement = in_statement_position(node);
    if (find_frame(LOOP_BIT | TRY_BIT | SWITCH_BIT, g_eval.frame_count - 1) < 0) {
        raise_runtime_error(2070, "ステートメント不正(break)");
    }
    if (!statement) throw ScriptExit{COMPLETION_BREAK, NAME_UNDEFINED};
    g_eval.completion = COMPLETION_BREAK;
    return NAME_UNDEFINED;
}

Value eval_continue(Value node) {
    const bool statement = in_statement_position(node);
    if (find_frame(LOOP_BIT | TRY_BIT, g_eval.frame_count - 1) < 0) {
        raise_runtime_error(2075, "ステートメント不正(continue)");
    }
    if (!statement) throw ScriptExit{COMPLETION_CONTINUE, NAME_UNDEFINED};
    g_eval.completion = COMPLETION_CONTINUE;
    return NAME_UNDEFINED;
}

// The returned value is held (one reference) while the exit travels out
// through blocks that pop their slots; the call lets go of it with unhold.
Value eval_return(Value node) {
    const bool statement = in_statement_position(node);
    if (find_frame(CALL_BIT | TRY_BIT, g_eval.frame_count - 1) < 0) raise_runtime_error(2080, "return文不正");
    Value value = NAME_UNDEFINED;
    if (operand_count(node) > 0) value = evaluate(operand(node, 0));
    retain(value);
    if (!statement) throw ScriptExit{COMPLETION_RETURN, value};
    g_eval.return_value = value;
    g_eval.completion = COMPLETION_RETURN;
    return NAME_UNDEFINED;
}

Value eval_error_value(Value node) {
    const uint32_t count = operand_count(node);
    const Value message = evaluate(operand(node, 0));
    if (value_tag(message) != TAG_STRING) raise_runtime_error(2360, "例外ステートメント不正");
    retain(message);  // the code's evaluation may drop every other holder
    ErrorCodeKind kind = ERROR_CODE_NONE;
    char number[24] = "";
    const char* code = number;
    size_t code_length = 0;
    Value code_value = NAME_UNDEFINED;
    if (count > 1) {
        code_value = evaluate(operand(node, 1));
        if (value_tag(code_value) == TAG_STRING) {
            // A text code is kept whole: the object records its length.
            kind = ERROR_CODE_STRING;
            code = string_text(code_value);
            code_length = string_length(code_value);
        } else if (value_tag(code_value) == TAG_INTEGER) {
            kind = ERROR_CODE_NUMBER;
            code_length = static_cast<size_t>(
                std::snprintf(number, sizeof number, "%d", cell_as<IntegerCell>(code_value)->value));
        } else {
            raise_runtime_error(2360, "例外ステートメント不正");
        }
    }
    const Value error = new_error_object(kind, code, code_length, string_text(message), string_length(message));
    release_if_temporary(code_value);
    release(message);
    return error;
}

}  // namespace kova

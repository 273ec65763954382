// The handler tables, and what `evaluate` does itself: variable reads,
// composite literals, truth values, and the few node kinds that belong to
// no other file.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/names.h"
#include "core/values.h"
#include "eval/calls.h"
#include "eval/eval.h"
#include "eval/handlers.h"
#include "eval/scopes.h"

namespace kova {

EvalState g_eval;

namespace {

constexpr uint32_t INITIAL_FRAMES = 256;
constexpr uint32_t FRAME_STEP = 256;
constexpr uint32_t INITIAL_LOCALS = 512;

// Kinds the debugger's user may not evaluate in an expression.
constexpr uint8_t FORBIDDEN_IN_DEBUGGER[] = {105, 106, 141, 142, 143, 148, 149, 150, 151, 152, 153, 154,
                                             155, 156, 157, 158, 160, 162, 163, 164, 165, 166, 167, 168,
                                             169, 170, 180, 181, 182, 183, 184, 188, 192, 193, 194};

Value eval_forbidden(Value) { raise_runtime_error(1860, "デバッグでのEVALエラー"); }

constexpr NodeHandler handler_for(uint32_t kind) {
    switch (kind) {
        case 100: case 140: case 146: return eval_empty;
        case 101: case 102: case 103: case 104: return eval_increment;
        case 105: return eval_typeof;
        case 106: return eval_instanceof;
        case 107: return eval_not;
        case 108: return eval_logical_and;
        case 109: return eval_logical_or;
        case 110: case 112: case 114: case 115: case 116: case 117: return eval_compare;
        case 111: case 113: return eval_strict_equal;
        case 118: return eval_add;
        case 119: case 120: case 121: case 122: case 161: return eval_arithmetic;
        case 123: return eval_assign;
        case 124: return eval_add_assign;
        case 125: case 126: case 127: case 128: return eval_arithmetic_assign;
        case 129: case 130: case 131: return eval_bitwise_assign;
        case 132: case 133: case 134: return eval_bitwise;
        case 135: return eval_bit_not;
        case 136: case 137: case 138: return eval_shift;
        case 139: return eval_conditional;
        case 141: return eval_var;
        case 142: case 143: return eval_let_const;
        case 144: return eval_index;
        case 145: return eval_member;
        case 147: return eval_if;
        case 148: return eval_while;
        case 149: return eval_do_while;
        case 150: return eval_for;
        case 151: case 152: return eval_for_each;
        case 153: return eval_try;
        case 154: return eval_throw;
        case 155: return eval_block;
        case 156: return eval_break;
        case 157: return eval_continue;
        case 158: return eval_return;
        case 159: return eval_group;
        case 160: return eval_call;
        case 170: return eval_switch;
        case 172: return eval_string_conversion;
        case 179: return eval_eval;
        case 183: return eval_new;
        case 184: case 188: return eval_error_value;
        case 186: return eval_integer;
        case 187: return eval_float;
        case 189: return eval_array;
        case 182: return eval_regexp;
        case 169: return eval_send_to_front;
        case 191: return eval_alert_to_front;
        case 162: return eval_select;
        case 163: return eval_select_hash;
        case 164: return eval_select_to_front;
        case 165: return eval_select_hash_to_front;
        case 166: return eval_execute;
        case 167: return eval_open_db;
        case 168: return eval_select_exists;
        case 180: return eval_close_db;
        case 181: return eval_select_into;
        case 192: return eval_record_map;
        case 193: return eval_record_hash;
        case 194: return eval_sql_aggregate;
        case 185: return eval_date;
        case 171: return eval_number_conversion;
        case 173: return eval_decode_uri;
        case 174: return eval_decode_uri_component;
        case 175: return eval_encode_uri;
        case 176: return eval_encode_uri_component;
        case 177: return eval_parse_float;
        case 178: return eval_parse_int;
        default: return eval_reserved;
    }
}

bool has_something_to_evaluate(Value v);

// A composite literal holds something to evaluate when an element is a
// variable name, a node, a template, or a composite that does.
bool composite_needs_evaluation(Value literal) {
    switch (value_tag(literal)) {
        case TAG_ARRAY: {
            const ArrayCell* cell = cell_as<ArrayCell>(literal);
            const uint8_t* elements = area_pointer(cell->elements);
            for (uint32_t i = 0; i < cell->count; ++i) {
                if (has_something_to_evaluate(load_u32(elements + 4 * i))) return true;
            }
            return false;
        }
        case TAG_KEYED: {
            const KeyedCell* cell = cell_as<KeyedCell>(literal);
            const uint8_t* pairs = area_pointer(cell->pairs);
            for (uint32_t i = 0; i < cell->count; ++i) {
                if (has_something_to_evaluate(load_u32(pairs + 8 * i + 4))) return true;
            }
            return false;
        }
        default: {
            const ObjectCell* cell = cell_as<ObjectCell>(literal);
            const uint8_t* pairs = area_pointer(cell->pairs);
            for (uint32_t i = 0; i < cell->count; ++i) {
                if (has_something_to_evaluate(load_u32(pairs + 8 * i + 4))) return true;
            }
            return false;
        }
    }
}

bool has_something_to_evaluate(Value v) {
    switch (value_tag(v)) {
        case TAG_NAME:
            return (v & SLOT_NAME_MASK) > NAME_NAN;
        case TAG_NODE:
        case TAG_UNUSED:
        case TAG_IMMEDIATE:
            return true;
        case TAG_STRING:
            return is_template_string(v);
        case TAG_ARRAY:
        case TAG_KEYED:
        case TAG_OBJECT:
            return composite_needs_evaluation(v);
        default:
            return false;
    }
}

// An element of a new composite: evaluated, held by the composite.
Value evaluated_member(Value v) {
    if (!has_something_to_evaluate(v)) {
        // A nested literal is copied too, so that changing the new composite
        // never reaches into the literal.
        const uint32_t tag = value_tag(v);
        if (tag == TAG_ARRAY || tag == TAG_KEYED || tag == TAG_OBJECT) v = evaluate_composite(v);
        retain(v);
        return v;
    }
    const Value result = evaluate(v);
    retain(result);
    return result;
}

}  // namespace

NodeHandler g_node_handlers[HANDLER_TABLE_SIZE];
NodeHandler g_restricted_handlers[HANDLER_TABLE_SIZE];

void eval_init_handlers() {
    for (uint32_t i = 0; i < HANDLER_TABLE_SIZE; ++i) {
        g_node_handlers[i] = handler_for(NODE_KIND_FIRST + i);
        g_restricted_handlers[i] = g_node_handlers[i];
    }
    for (uint8_t kind : FORBIDDEN_IN_DEBUGGER) g_restricted_handlers[kind - NODE_KIND_FIRST] = eval_forbidden;
    for (uint32_t kind = NODE_RESERVED_FIRST; kind < NODE_KIND_FIRST + HANDLER_TABLE_SIZE; ++kind) {
        g_restricted_handlers[kind - NODE_KIND_FIRST] = eval_forbidden;
    }
}

void eval_reset() {
    std::free(g_eval.locals);
    std::free(g_eval.frames);
    g_eval = EvalState{};
    g_eval.locals = static_cast<Slot*>(std::calloc(INITIAL_LOCALS, sizeof(Slot)));
    g_eval.frames = static_cast<uint8_t*>(std::malloc(INITIAL_FRAMES));
    if (g_eval.locals == nullptr || g_eval.frames == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
    g_eval.capacity = INITIAL_LOCALS;
    g_eval.frame_capacity = INITIAL_FRAMES;
    g_eval.frames[0] = FRAME_TAKES_ERRORS;  // the host's
    g_eval.frame_count = 1;
    if (g_node_handlers[0] == nullptr) eval_init_handlers();
    calls_reset();
}

void throw_pending_exit() {
    const ScriptExit exit{g_eval.completion, g_eval.return_value};
    g_eval.completion = COMPLETION_NONE;
    g_eval.return_value = NAME_UNDEFINED;
    throw exit;
}

void grow_frames() {
    const uint32_t capacity = g_eval.frame_capacity + FRAME_STEP;
    auto* frames = static_cast<uint8_t*>(std::realloc(g_eval.frames, capacity));
    if (frames == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
    g_eval.frames = frames;
    g_eval.frame_capacity = capacity;
}

int find_frame(uint32_t mask, uint32_t from) {
    for (uint32_t i = from; i >= 1 && i < g_eval.frame_count; --i) {
        const uint8_t kind = g_eval.frames[i];
        if (mask & frame_bit(kind)) return static_cast<int>(i);
        if (kind == FRAME_CALL) return -1;
    }
    return -1;
}

bool is_truthy(Value v) {
    switch (value_tag(v)) {
        case TAG_NAME:
            return v == NAME_TRUE;
        case TAG_UNUSED:
        case TAG_IMMEDIATE:
            return false;
        case TAG_INTEGER:
            return cell_as<IntegerCell>(v)->value != 0;
        case TAG_FLOAT:
            return cell_as<FloatCell>(v)->value != 0.0;
        case TAG_STRING:
            return cell_as<StringCell>(v)->length > 0;
        case TAG_ARRAY:
            return cell_as<ArrayCell>(v)->count > 0;
        case TAG_KEYED:
            return cell_as<KeyedCell>(v)->count > 0;
        case TAG_OBJECT:
            return cell_as<ObjectCell>(v)->count > 0;
        default:
            return true;
    }
}

// Evaluating a composite literal always yields a new composite: a script
// that changes the result (a.push(1)) must not change the literal, or every
// later evaluation would start from the changed value.
Value evaluate_composite(Value literal) {
    const uint32_t tag = value_tag(literal);
    if (tag == TAG_ARRAY) {
        const uint32_t count = cell_as<ArrayCell>(literal)->count;
        uint8_t* unused = nullptr;
        const Value result = new_array_cell(0, count + 10, &unused);
        for (uint32_t i = 0; i < count; ++i) {
            // Re-read each time: evaluating an element may move storage.
            const Value element = load_u32(area_pointer(cell_as<ArrayCell>(literal)->elements) + 4 * i);
            const Value member = evaluated_member(element);
            ArrayCell* cell = cell_as<ArrayCell>(result);
            store_u32(area_pointer(cell->elements) + 4 * i, member);
            cell->count = i + 1;
        }
        return result;
    }
    if (tag == TAG_KEYED) {
        const uint32_t count = cell_as<KeyedCell>(literal)->count;
        uint8_t* unused = nullptr;
        const Value result = new_keyed_cell(0, count + 10, &unused);
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* pair = area_pointer(cell_as<KeyedCell>(literal)->pairs) + 8 * i;
            const uint32_t key = load_u32(pair);
            const Value member = evaluated_member(load_u32(pair + 4));
            KeyedCell* cell = cell_as<KeyedCell>(result);
            uint8_t* target = area_pointer(cell->pairs) + 8 * i;
            store_u32(target, key);
            store_u32(target + 4, member);
            cell->count = i + 1;
        }
        return result;
    }
    const ObjectCell* source = cell_as<ObjectCell>(literal);
    const uint32_t count = source->count;
    const uint32_t class_name = source->class_name;
    uint8_t* unused = nullptr;
    const Value result = new_object_cell(0, count + 10, &unused);
    cell_as<ObjectCell>(result)->class_name = class_name;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* pair = area_pointer(cell_as<ObjectCell>(literal)->pairs) + 8 * i;
        const uint32_t key = load_u32(pair);
        const Value member = evaluated_member(load_u32(pair + 4));
        ObjectCell* cell = cell_as<ObjectCell>(result);
        uint8_t* target = area_pointer(cell->pairs) + 8 * i;
        store_u32(target, key);
        store_u32(target + 4, member);
        cell->count = static_cast<uint16_t>(i + 1);
    }
    return result;
}

void raise_not_evaluable(Value v) {
    const uint32_t tag = value_tag(v);
    if (tag == TAG_NODE) raise_runtime_error(1860, "デバッグでのEVALエラー");
    const char* text = tag == TAG_SQL ? "SQL_Object" : tag == TAG_CONNECTION ? "DB_Connection" : "";
    raise_runtime_error(2015, "評価式不正 '%s'", text);
}

Value eval_empty(Value) { return NAME_UNDEFINED; }

Value eval_reserved(Value) { raise_runtime_error(1860, "デバッグでのEVALエラー"); }

// Statements of subsystems still to come: refused as not evaluable, named
// by their kind as a node's text names it.
Value eval_not_built(Value node) {
    raise_runtime_error(2015, "評価式不正 'operation_index: %u'", node_kind(node));
}

Value eval_conditional(Value node) {
    const Value condition = evaluate(operand(node, 0));
    const bool taken = is_truthy(condition);
    release_if_temporary(condition);
    return evaluate(operand(node, taken ? 1 : 2));
}

Value eval_group(Value node) {
    const uint32_t count = operand_count(node);
    if (count == 1) return evaluate(operand(node, 0));  // parentheses around one expression
    Value result = NAME_UNDEFINED;
    for (uint32_t i = 0; i < count; ++i) {
        if (i > 0) release_if_temporary(result);
        result = evaluate(operand(node, i));
    }
    return result;
}

}  // namespace kova

// Increment and decrement, typeof, instanceof, the logical operators and
// the bitwise operators with their assignment forms.
#include <cstdint>
#include <cstring>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "eval/access.h"
#include "eval/eval.h"
#include "eval/handlers.h"
#include "eval/scopes.h"

namespace kova {

namespace {

inline Value truth(bool b) { return make_value(TAG_NAME, b ? NAME_TRUE : NAME_FALSE); }

inline bool is_integer(Value v) { return value_tag(v) == TAG_INTEGER; }
inline int32_t integer_of(Value v) { return cell_as<IntegerCell>(v)->value; }

// 32-bit results that wrap instead of overflowing.
inline int32_t wrap(uint32_t bits) { return static_cast<int32_t>(bits); }

struct StepErrors {
    int const_code;
    int other_code;
};

}  // namespace

// ---- ++ and -- ------------------------------------------------------------------------

Value eval_increment(Value node) {
    // In statement position the old value is not wanted, so a postfix form
    // may act as the prefix one.
    const bool value_unused = in_statement_position(node);
    const NodeCell* cell = node_cell(node);
    const uint32_t kind = cell->operation;
    const bool increment = kind == NODE_POSTFIX_INCREMENT || kind == NODE_PREFIX_INCREMENT;
    const bool postfix = (kind == NODE_POSTFIX_INCREMENT || kind == NODE_POSTFIX_DECREMENT) && !value_unused;

    // An integer variable, stored to directly. When only the variable holds
    // its value and the old value is not wanted, the number changes in its
    // own cell, which then is the new value. Anything else takes the
    // general path below.
    const Value target = cell_operand(cell, 0);
    if (value_tag(target) == TAG_NAME && (target & SLOT_NAME_MASK) > NAME_NAN) {
        Value* place = find_variable(target & SLOT_NAME_MASK);
        if (place != nullptr && !g_eval.const_read && value_tag(*place) == TAG_INTEGER) {
            const Value old = *place;
            IntegerCell* number = cell_as<IntegerCell>(old);
            const uint32_t bits = static_cast<uint32_t>(number->value);
            const int32_t updated = wrap(increment ? bits + 1u : bits - 1u);
            if (!postfix && number->header == make_header(TAG_INTEGER, 1)) {
                number->value = updated;
                return old;
            }
            const Value fresh = new_integer(updated);
            retain(fresh);
            *place = fresh;
            if (!postfix) {
                release(old);
                return fresh;
            }
            // The old value's reference passes from the variable to the caller.
            unhold(old);
            return old;
        }
    }
    StepErrors errors{};
    switch (kind) {
        case NODE_POSTFIX_INCREMENT: errors = {2200, 2205}; break;
        case NODE_PREFIX_INCREMENT: errors = {2210, 2215}; break;
        case NODE_POSTFIX_DECREMENT: errors = {2220, 2225}; break;
        default: errors = {2230, 2235}; break;
    }
    const char* message = increment ? "オペレーション不正(++)" : "オペレーション不正(--)";

    const Value old = evaluate_located(operand(node, 0));
    if (g_eval.const_read) raise_runtime_error(errors.const_code, "%s", message);
    const uint32_t tag = value_tag(old);
    if (g_eval.location_kind == LOCATION_NONE || (tag != TAG_INTEGER && tag != TAG_FLOAT)) {
        release_if_temporary(old);
        raise_runtime_error(errors.other_code, "%s", message);
    }
    Value updated;
    if (tag == TAG_INTEGER) {
        const uint32_t bits = static_cast<uint32_t>(integer_of(old));
        updated = new_integer(wrap(increment ? bits + 1u : bits - 1u));
    } else {
        const double x = cell_as<FloatCell>(old)->value;
        updated = new_float(increment ? x + 1.0 : x - 1.0);
    }
    if (!postfix) {
        store_at_location(updated);
        return updated;
    }
    // The old value's reference passes from the location to the caller.
    retain(old);
    store_at_location(updated);
    unhold(old);
    return old;
}

// ---- typeof and instanceof ----------------------------------------------------------

Value eval_typeof(Value node) {
    const Value v = evaluate(operand(node, 0));
    const char* text = "object";
    size_t length = 6;
    auto say = [&](const char* word) {
        text = word;
        length = std::strlen(word);
    };
    switch (value_tag(v)) {
        case TAG_NAME:
            switch (value_payload(v)) {
                case NAME_UNDEFINED: say("undefined"); break;
                case NAME_TRUE:
                case NAME_FALSE: say("boolean"); break;
                case NAME_NULL: say("object"); break;
                default: say("symbol"); break;
            }
            break;
        case TAG_INTEGER:
        case TAG_FLOAT: say("number"); break;
        case TAG_STRING: say("string"); break;
        case TAG_FUNCTION: say("function"); break;
        case TAG_OBJECT: {
            const uint32_t class_name = cell_as<ObjectCell>(v)->class_name;
            if (class_name != 0) {
                text = name_text(class_name);
                length = name_length(class_name);
            }
            break;
        }
        default: break;
    }
    const Value result = new_string(text, length);
    release_if_temporary(v);
    return result;
}

Value eval_instanceof(Value node) {
    const Value v = evaluate(operand(node, 0));
    const uint32_t constructor = value_payload(operand(node, 1));
    bool match = constructor == NAME_OBJECT;
    if (!match) {
        switch (value_tag(v)) {
            case TAG_INTEGER:
            case TAG_FLOAT: match = constructor == NAME_NUMBER; break;
            case TAG_CONNECTION: match = constructor == NAME_CONNECTION; break;
            case TAG_DATE: match = constructor == NAME_DATE; break;
            case TAG_REGEX: match = constructor == NAME_REGEXP; break;
            case TAG_STRING: match = constructor == NAME_STRING; break;
            case TAG_ARRAY:
            case TAG_KEYED: match = constructor == NAME_ARRAY; break;
            case TAG_OBJECT: {
                const uint32_t class_name = cell_as<ObjectCell>(v)->class_name;
                match = constructor == NAME_HASH || (class_name != 0 && constructor == class_name);
                break;
            }
            case TAG_FUNCTION: match = constructor == NAME_FUNCTION; break;
            default: break;
        }
    }
    release_if_temporary(v);
    return truth(match);
}

// ---- logical operators ------------------------------------------------------------

// The result is always true or false, never an operand.
namespace {
bool truthy_operand(Value node, uint32_t i) {
    const Value v = evaluate(operand(node, i));
    const bool t = is_truthy(v);
    release_if_temporary(v);
    return t;
}
}  // namespace

Value eval_not(Value node) { return truth(!truthy_operand(node, 0)); }

Value eval_logical_and(Value node) {
    const uint32_t n = operand_count(node);
    for (uint32_t i = 0; i < n; ++i) {
        if (!truthy_operand(node, i)) return truth(false);
    }
    return truth(true);
}

Value eval_logical_or(Value node) {
    const uint32_t n = operand_count(node);
    for (uint32_t i = 0; i < n; ++i) {
        if (truthy_operand(node, i)) return truth(true);
    }
    return truth(false);
}

// ---- bitwise operators ---------------------------------------------------------------

namespace {

// An integer operand read and let go at once: only its number is kept.
struct IntegerOperand {
    bool ok;
    int32_t n;
};

IntegerOperand integer_operand(Value node, uint32_t i) {
    const Value v = evaluate(operand(node, i));
    const IntegerOperand result{is_integer(v), is_integer(v) ? integer_of(v) : 0};
    release_if_temporary(v);
    return result;
}

int32_t combine_bits(uint32_t kind, int32_t a, int32_t b) {
    const uint32_t x = static_cast<uint32_t>(a);
    const uint32_t y = static_cast<uint32_t>(b);
    switch (kind) {
        case NODE_BIT_AND:
        case NODE_BIT_AND_ASSIGN: return wrap(x & y);
        case NODE_BIT_OR:
        case NODE_BIT_OR_ASSIGN: return wrap(x | y);
        default: return wrap(x ^ y);
    }
}

}  // namespace

Value eval_bitwise(Value node) {
    const IntegerOperand left = integer_operand(node, 0);
    const IntegerOperand right = integer_operand(node, 1);
    if (!left.ok) raise_runtime_error(2257, "オペランド不正(非整数)");
    if (!right.ok) raise_runtime_error(2260, "オペランド不正(非整数)");
    return new_integer(combine_bits(node_kind(node), left.n, right.n));
}

Value eval_bit_not(Value node) {
    const Value v = evaluate(operand(node, 0));
    if (!is_integer(v)) {
        release_if_temporary(v);
        raise_runtime_error(2280, "オペランド不正(非整数)");
    }
    const int32_t complement = wrap(~static_cast<uint32_t>(integer_of(v)));
    // A temporary nobody else holds can take the result itself.
    if (*value_header(v) < 16) {
        cell_as<IntegerCell>(v)->value = complement;
        return v;
    }
    return new_integer(complement);
}

Value eval_shift(Value node) {
    const IntegerOperand left = integer_operand(node, 0);
    const IntegerOperand right = integer_operand(node, 1);
    if (!left.ok) raise_runtime_error(2265, "オペランド不正(非整数)");
    if (!right.ok) raise_runtime_error(2270, "オペランド不正(非整数)");
    if (right.n < 0) raise_runtime_error(2275, "シフト数不正");
    const uint32_t bits = static_cast<uint32_t>(left.n);
    const uint32_t count = static_cast<uint32_t>(right.n);
    switch (node_kind(node)) {
        case NODE_SHIFT_LEFT:
            return new_integer(wrap(bits << (count % 32)));
        case NODE_SHIFT_RIGHT:
            return new_integer(left.n >> (count % 32));
        default:
            // Zeros shift in: one place as unsigned, then the rest.
            if (count == 0) return new_integer(left.n);
            return new_integer(wrap((bits >> 1) >> ((count - 1) % 32)));
    }
}

Value eval_bitwise_assign(Value node) {
    const IntegerOperand value = integer_operand(node, 1);
    if (!value.ok) raise_runtime_error(2285, "オペランド不正(非整数)");
    const Value target = evaluate_target(operand(node, 0));
    if (g_eval.const_read) raise_runtime_error(2290, "オペレーション不正");
    if (!is_integer(target)) {
        release_if_temporary(target);
        raise_runtime_error(2295, "オペランド不正(非整数)");
    }
    const int32_t result = combine_bits(node_kind(node), integer_of(target), value.n);
    if (g_eval.location_kind == LOCATION_NONE) {
        release_if_temporary(target);
        raise_runtime_error(2300, "オペレーション不正");
    }
    const Value stored = new_integer(result);
    store_at_location(stored);
    return stored;
}

}  // namespace kova

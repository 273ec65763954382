// `new`, and the conversion and construction calls String(x), Integer(x),
// Float(x) and Array(...).
#include "core/names.h"
#include "core/value_text.h"
#include "core/values.h"
#include "eval/calls.h"
#include "eval/eval.h"
#include "eval/handlers.h"
#include "parser/declarations.h"

#if KOVA_DEBUGGER
#include "debugger/debugger.h"
#endif

namespace kova {

namespace {

// A conversion of the first argument expression; `none` when there is no
// argument. The evaluated argument is let go of afterwards.
Value convert_first(uint32_t count, Value first_expression, Value (*convert)(Value), Value (*none)()) {
    if (count == 0) return none();
    const Value value = evaluate(first_expression);
    const Value result = convert(value);
    release_if_temporary(value);
    return result;
}

Value zero_integer() { return new_integer(0); }
Value zero_float() { return new_float(0.0); }
Value empty_string() { return new_string("", 0); }

// A new array of copies of the evaluated expressions, capacity count + 10.
template <typename ExpressionAt>
Value array_of_copies(uint32_t count, ExpressionAt expression_at) {
    uint8_t* elements = nullptr;
    const Value array = new_array_cell(0, count + 10, &elements);
    for (uint32_t i = 0; i < count; ++i) {
        const Value value = evaluate(expression_at(i));
        const Value copy = copy_value(value);
        release_if_temporary(value);
        retain(copy);
        store_u32(elements + 4 * size_t(i), copy);
        cell_as<ArrayCell>(array)->count = i + 1;
    }
    return array;
}

// Integer(x) and Float(x) as nodes (operands are the arguments) or after
// `new` (an argument list): the same conversion and the same count rule.
Value integer_of(uint32_t count, Value first_expression) {
    if (count > 1) raise_runtime_error(2375, "引数の個数不正");
    return convert_first(count, first_expression, to_integer_value, zero_integer);
}

Value float_of(uint32_t count, Value first_expression) {
    if (count > 1) raise_runtime_error(2380, "引数の個数不正");
    return convert_first(count, first_expression, to_float_value, zero_float);
}

}  // namespace

Value string_of_value(Value v) {
    LocalText<TEXT_SCRATCH_SIZE> text;
    value_to_text(v, text);
    return new_string(text.data, text.length);
}

Value eval_string_conversion(Value node) {
    const uint32_t count = operand_count(node);
    return convert_first(count, count > 0 ? operand(node, 0) : 0, string_of_value, empty_string);
}

Value eval_integer(Value node) {
    const uint32_t count = operand_count(node);
    return integer_of(count, count > 0 ? operand(node, 0) : 0);
}

Value eval_float(Value node) {
    const uint32_t count = operand_count(node);
    return float_of(count, count > 0 ? operand(node, 0) : 0);
}

Value eval_array(Value node) {
    return array_of_copies(operand_count(node), [node](uint32_t i) { return operand(node, i); });
}

Value eval_new(Value node) {
    const Value class_name = operand(node, 0);
    const uint32_t argument_item = operand(node, 1);
    if (value_tag(class_name) != TAG_NAME) raise_runtime_error(2365, "newステートメント不正");
    const uint32_t count = argument_list_count(argument_item);
    const Value first = count > 0 ? argument_list_item(argument_item, 0) : 0;

    switch (class_name & SLOT_NAME_MASK) {
        case NAME_NUMBER: return run_built_in_node(NODE_NUMBER_CONVERSION, node, argument_item);
        case NAME_INTEGER: return integer_of(count, first);
        case NAME_FLOAT: return float_of(count, first);
        case NAME_DATE: return run_built_in_node(NODE_DATE, node, argument_item);
        case NAME_ERROR: return run_built_in_node(NODE_ERROR, node, argument_item);
        case NAME_EXCEPTION: return run_built_in_node(NODE_EXCEPTION, node, argument_item);
        case NAME_REGEXP: return run_built_in_node(NODE_REGEXP, node, argument_item);
        case NAME_STRING: return convert_first(count, first, string_of_value, empty_string);
        case NAME_ARRAY:
            return array_of_copies(count, [argument_item](uint32_t i) { return argument_list_item(argument_item, i); });
        default: break;
    }

    const Value function = evaluate(class_name);
    if (value_tag(function) != TAG_FUNCTION) raise_runtime_error(2370, "newステートメント不正");
#if KOVA_DEBUGGER
    DebuggerCallSite site(node, class_name & SLOT_NAME_MASK);
#endif
    return run_constructor(function, argument_item, class_name & SLOT_NAME_MASK);
}

}  // namespace kova

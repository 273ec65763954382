// Calls: script functions (with their parameter slots and call frame),
// methods of built-in receivers, `new`, the conversion calls, and the text
// that scripts evaluate at run time (`eval` and template substitutions).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/areas.h"
#include "core/value.h"

namespace kova {

// Script calls and run-time texts (eval, templates) nest on the machine
// stack, and a script can nest them without end (a function calling
// itself, a text that evaluates itself). Their depth is bounded by how far
// the stack has grown below the shallowest of them seen: beyond the budget
// they fail with the memory error instead of overflowing the stack. The
// budget leaves room for the deepest work one of them may still do
// (parsing run-time text, writing nested values).
struct CallState {
    uintptr_t stack_base;  // the shallowest frame that checked the stack
    size_t stack_budget;   // bytes of stack below it nesting may use; 0 until known
};
extern CallState g_calls;
void calls_reset();
inline constexpr size_t STACK_RESERVE = 3u << 20;  // kept free below the budget
inline constexpr size_t STACK_ASSUMED = 8u << 20;  // when the system sets no limit

// Raises 1400 when the stack has no room for one more nesting.
void check_stack_room();

// `this_value` of a call that binds no `this`. No value handle equals it
// (bits 28-31 are never set in a value).
inline constexpr Value NO_THIS = 0xF0000000u;

// Calls a script function with arguments already evaluated: a function
// stored in an object and called as its method, or a library callback.
// Arguments beyond the function's parameters are ignored; a missing one is
// `undefined`, or its default value. With `this_value` other than NO_THIS a
// `this` slot holds it. `returned` (optional) tells whether a `return`
// ended the body. The result is a temporary or a value others hold.
Value call_function_with_values(Value function, const Value* arguments, uint32_t count, Value this_value,
                                bool* returned);

// The text of a value (`value_to_text`) as a new string: String(x).
Value string_of_value(Value v);

// Parses run-time text (`eval`, a template substitution) as a statement
// list and evaluates it in the current scope; a break, continue or return
// in it leaves the text and the expression around it as a ScriptExit
// (eval/eval.h). Returns the last
// result as a temporary; *any_statement is false when the text held no
// statement (the result is then `undefined`). Parsing writes into `text`,
// which is NUL-terminated; the byte before it must belong to the same
// buffer (columns count from it, as from a line feed).
Value evaluate_run_time_text(char* text, bool* any_statement);

// The longest text `eval` takes.
inline constexpr size_t EVAL_TEXT_LIMIT = 255;
// Template expansion limits: an expression text of 512 bytes or more is
// refused; copies up to this size stay on the machine stack.
inline constexpr size_t TEMPLATE_EXPRESSION_LIMIT = 512;
inline constexpr size_t TEMPLATE_BUFFER_SIZE = 4096;

// ---- shared by the call files (calls.cpp, constructors.cpp) ----------------

// The argument-list item of a call or `new`: a count, then the argument
// expressions.
inline uint32_t argument_list_count(uint32_t item) { return load_u32(area_pointer(item)); }
inline Value argument_list_item(uint32_t item, uint32_t i) { return load_u32(area_pointer(item) + 4 * (size_t(i) + 1)); }

// Room for the evaluated arguments of one call: a few inline, more on the
// heap (freed when it goes out of scope, also on an error unwind).
class ArgumentValues {
public:
    explicit ArgumentValues(uint32_t count);
    ~ArgumentValues();
    ArgumentValues(const ArgumentValues&) = delete;
    ArgumentValues& operator=(const ArgumentValues&) = delete;
    Value* values;

private:
    static constexpr uint32_t INLINE_COUNT = 8;
    Value inline_values_[INLINE_COUNT];
};

// `new` of a script function: the call with a fresh `this` object; the
// result (the object, or the value of a `return` with a value) takes the
// class name when it is an object.
Value run_constructor(Value function, uint32_t argument_item, uint32_t class_name);

// Runs a built-in construction or conversion (Number, Date, Error, RegExp)
// through its node handler, on a node made for the purpose whose operands
// are the argument expressions; `origin` gives its module and position.
Value run_built_in_node(uint32_t kind, Value origin, uint32_t argument_item);

}  // namespace kova

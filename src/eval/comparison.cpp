// Comparisons (== != >= > <= <) and strict equality (=== !==).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/areas.h"
#include "core/names.h"
#include "core/values.h"
#include "eval/access.h"
#include "eval/eval.h"
#include "eval/handlers.h"

namespace kova {

namespace {

constexpr size_t NUMERIC_TEXT_SIZE = 512;  // a string compared with a number is read from at most 511 bytes

inline Value truth(bool b) { return make_value(TAG_NAME, b ? NAME_TRUE : NAME_FALSE); }
inline bool is_number_tag(uint32_t tag) { return tag == TAG_INTEGER || tag == TAG_FLOAT; }
inline double number_of(Value v) {
    return value_tag(v) == TAG_INTEGER ? cell_as<IntegerCell>(v)->value : cell_as<FloatCell>(v)->value;
}

// A string compared with a number: blanks and tabs around it are dropped and
// the rest must be one number. False when it is not.
bool string_as_number(Value string, double* out) {
    char text[NUMERIC_TEXT_SIZE];
    size_t length = string_length(string);
    if (length > NUMERIC_TEXT_SIZE - 1) length = NUMERIC_TEXT_SIZE - 1;
    std::memcpy(text, string_text(string), length);
    text[length] = '\0';
    size_t begin = 0;
    while (begin < length && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (length > begin && (text[length - 1] == ' ' || text[length - 1] == '\t')) --length;
    text[length] = '\0';
    char* end = nullptr;
    *out = std::strtod(text + begin, &end);
    return end == text + length;
}

// Byte-wise unsigned comparison: negative, zero or positive.
int compare_texts(Value a, Value b) {
    const uint32_t a_length = string_length(a);
    const uint32_t b_length = string_length(b);
    const int c = std::memcmp(string_text(a), string_text(b), a_length < b_length ? a_length : b_length);
    if (c != 0) return c;
    return a_length < b_length ? -1 : (a_length > b_length ? 1 : 0);
}

// What the operator says of an ordered pair; NaN makes every one false.
bool ordered(uint32_t kind, double a, double b) {
    switch (kind) {
        case NODE_EQUAL: return a == b;
        case NODE_NOT_EQUAL: return !(a == b);
        case NODE_GREATER_OR_EQUAL: return a >= b;
        case NODE_GREATER: return a > b;
        case NODE_LESS_OR_EQUAL: return a <= b;
        default: return a < b;
    }
}

// A number on the left: only its value matters, so the left operand need
// not be kept while the right one is evaluated.
bool compare_number(uint32_t kind, double a, Value right) {
    const uint32_t rt = value_tag(right);
    if (is_number_tag(rt)) return ordered(kind, a, number_of(right));
    if (rt == TAG_STRING) {
        double b = 0.0;
        // A string that is not a number equals no number (so != holds).
        if (!string_as_number(right, &b)) return kind == NODE_NOT_EQUAL;
        return ordered(kind, a, b);
    }
    // A number and any other kind are never the same handle.
    return kind == NODE_NOT_EQUAL;
}

bool compare(uint32_t kind, Value left, Value right) {
    const uint32_t lt = value_tag(left);
    const uint32_t rt = value_tag(right);
    if (lt == TAG_STRING && is_number_tag(rt)) {
        double a = 0.0;
        if (!string_as_number(left, &a)) return kind == NODE_NOT_EQUAL;
        return ordered(kind, a, number_of(right));
    }
    if (lt == TAG_STRING && rt == TAG_STRING) {
        const int c = compare_texts(left, right);
        return ordered(kind, c, 0);
    }
    // Any other pair is one value or two: the same handle satisfies every
    // operator but !=.
    const bool same = left == right;
    return kind == NODE_NOT_EQUAL ? !same : same;
}

// Integers compare exactly as their doubles do.
inline bool ordered_integers(uint32_t kind, int32_t a, int32_t b) {
    switch (kind) {
        case NODE_EQUAL: return a == b;
        case NODE_NOT_EQUAL: return a != b;
        case NODE_GREATER_OR_EQUAL: return a >= b;
        case NODE_GREATER: return a > b;
        case NODE_LESS_OR_EQUAL: return a <= b;
        default: return a < b;
    }
}

}  // namespace

// A number on the left is read and let go at once. Any other left operand
// is held while the right one is evaluated, which may assign to the
// variable it came from.
Value eval_compare(Value node) {
    const NodeCell* cell = node_cell(node);
    const uint32_t kind = cell->operation;
    const Value head = cell_operand(cell, 0);
    const Value left = evaluate_operand(head);
    const uint32_t lt = value_tag(left);
    if (is_number_tag(lt)) {
        const Value expression = cell_operand(cell, 1);
        if (lt == TAG_INTEGER) {
            const int32_t a = integer_value(left);
            if (may_yield_temporary(head)) release_if_temporary(left);
            const Value right = evaluate_operand(expression);
            bool result;
            if (value_tag(right) == TAG_INTEGER) {
                result = ordered_integers(kind, a, integer_value(right));
            } else {
                result = compare_number(kind, a, right);
            }
            if (may_yield_temporary(expression)) release_if_temporary(right);
            return truth(result);
        }
        const double a = cell_as<FloatCell>(left)->value;
        if (may_yield_temporary(head)) release_if_temporary(left);
        const Value right = evaluate_operand(expression);
        const bool result = compare_number(kind, a, right);
        if (may_yield_temporary(expression)) release_if_temporary(right);
        return truth(result);
    }
    const HeldValue held(left);
    const Value right = evaluate(cell_operand(cell, 1));
    const bool result = compare(kind, left, right);
    release_if_temporary(right);
    return truth(result);
}

Value eval_strict_equal(Value node) {
    const HeldValue left(evaluate(operand(node, 0)));
    const Value right = evaluate(operand(node, 1));
    const bool equal = strictly_equal(left.get(), right);
    release_if_temporary(right);
    return truth(node_kind(node) == NODE_STRICT_EQUAL ? equal : !equal);
}

}  // namespace kova

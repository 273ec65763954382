// Addition and concatenation (+, +=), the arithmetic chains - * / % ** and
// their assignment forms. Integers stay integers unless a float (or a
// dotted numeric string) takes part.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/value_text.h"
#include "core/values.h"
#include "eval/access.h"
#include "eval/eval.h"
#include "eval/handlers.h"

namespace kova {

namespace {

constexpr size_t ADD_TEXT_INLINE = 512;  // concatenations up to this size stay on the stack
constexpr size_t STRING_LIMIT = 0x7FFFFFF0u;

inline int32_t wrapping_add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

inline int32_t integer_of(Value v) { return cell_as<IntegerCell>(v)->value; }
inline double float_of(Value v) { return cell_as<FloatCell>(v)->value; }
inline bool is_number_tag(uint32_t tag) { return tag == TAG_INTEGER || tag == TAG_FLOAT; }
inline double number_of(Value v) { return value_tag(v) == TAG_INTEGER ? integer_of(v) : float_of(v); }

// The text a number contributes to a concatenation: "%d" or the float
// text. `out` holds FLOAT_TEXT_SIZE bytes.
size_t number_text(Value v, char* out) {
    if (value_tag(v) == TAG_INTEGER) {
        return format_integer(integer_of(v), out);
    }
    return format_float(float_of(v), out);
}

// An integer result in a temporary cell an operator owns (0: none), or a new one.
inline Value integer_result(Value spare, int32_t n) {
    if (spare == 0) return new_integer(n);
    cell_as<IntegerCell>(spare)->value = n;
    return spare;
}

// ---- numeric operands -----------------------------------------------------------------

struct Number {
    double value;
    bool is_float;
};

// An operand of - * / % ** and their assignments. A string must be a number
// through and through; a "." in it makes the result a float. The operand is
// let go when it is refused.
Number to_number(Value v) {
    switch (value_tag(v)) {
        case TAG_INTEGER:
            return Number{static_cast<double>(integer_of(v)), false};
        case TAG_FLOAT:
            return Number{float_of(v), true};
        case TAG_STRING: {
            const char* text = string_text(v);
            const uint32_t length = string_length(v);
            char* end = nullptr;
            const double x = std::strtod(text, &end);
            if (end != text + length) {
                release_if_temporary(v);
                raise_runtime_error(2305, "オペランド不正(非数値)");
            }
            return Number{x, std::memchr(text, '.', length) != nullptr};
        }
        default:
            release_if_temporary(v);
            raise_runtime_error(2310, "オペランド不正(非数値)");
    }
}

Number evaluate_number(Value node, uint32_t i) {
    const Value v = evaluate(operand(node, i));
    const Number number = to_number(v);
    release_if_temporary(v);
    return number;
}

// One step of a chain or compound assignment, in double precision.
double apply(uint32_t kind, double x, double y) {
    switch (kind) {
        case NODE_SUBTRACT:
        case NODE_SUBTRACT_ASSIGN:
            return x - y;
        case NODE_MULTIPLY:
        case NODE_MULTIPLY_ASSIGN:
            return x * y;
        case NODE_DIVIDE:
        case NODE_DIVIDE_ASSIGN:
            if (y == 0.0) raise_runtime_error(2330, "オペレーション不正(０割)");
            return x / y;
        case NODE_REMAINDER:
        case NODE_REMAINDER_ASSIGN:
            // The sign follows the divisor: -7 % 2 is 1, 7 % -2 is -1.
            return x - std::floor(x / y) * y;
        default:
            return std::pow(x, y);
    }
}

// An integer result is the double truncated toward zero; one that is not a
// number at all (a remainder by zero) is NaN.
Value number_result(double x, bool is_float) {
    if (is_float) return new_float(x);
    if (std::isnan(x)) return make_value(TAG_NAME, NAME_NAN);
    return new_integer(truncate_to_int32(x));
}

// ---- strings -------------------------------------------------------------------------

// A new string of a + b with room to grow: a string built by += is usually
// appended to again, and the room lets that happen in place.
Value new_string_with_room(const char* a, size_t a_length, const char* b, size_t b_length) {
    const size_t length = a_length + b_length;
    if (length > STRING_LIMIT) raise_runtime_error(1400, "メモリ領域を取得できません");
    size_t capacity = length + length / 2 + 8;
    if (capacity > STRING_LIMIT) capacity = STRING_LIMIT;
    uint8_t* item = nullptr;
    // As for every string, the text item is 4 bytes longer than the capacity.
    const uint32_t reference = area_alloc(capacity + 4, &item);
    if (a_length != 0) std::memcpy(item, a, a_length);
    if (b_length != 0) std::memcpy(item + a_length, b, b_length);
    item[length] = '\0';
    Cell* cell = nullptr;
    const Value v = new_cell(TAG_STRING, 0, &cell);
    StringCell* string = reinterpret_cast<StringCell*>(cell);
    string->text = reference;
    string->capacity = static_cast<uint32_t>(capacity);
    string->length = static_cast<uint32_t>(length);
    return v;
}

// Appends to a string in place when the location holds its only reference
// and its text item has room. Returns false when it cannot.
bool append_in_place(Value string, const char* piece, size_t piece_length) {
    const uint8_t header = *value_header(string);
    if (header >= HEADER_PERMANENT || (header >> 4) != 1) return false;
    StringCell* cell = cell_as<StringCell>(string);
    if (cell->zero[2] != 0 || cell->zero[1] != 0) return false;  // template literal
    const size_t length = size_t(cell->length) + piece_length;
    if (length > cell->capacity) return false;
    forget_character_memo(string);
    uint8_t* text = area_pointer(cell->text);
    std::memmove(text + cell->length, piece, piece_length);
    text[length] = '\0';
    cell->length = static_cast<uint32_t>(length);
    return true;
}

}  // namespace

// ---- + -----------------------------------------------------------------------------------

namespace {

enum SumKind : uint8_t { SUM_INTEGER, SUM_FLOAT, SUM_TEXT, SUM_NAME, SUM_OTHER };

[[noreturn]] void add_type_error(Value right) {
    release_if_temporary(right);
    raise_runtime_error(2240, "データの型不正(+)");
}

}  // namespace

namespace {

// The fold from operand `next` on. With `next` 0, `pending` is the first
// operand; otherwise the operands before `next` summed to the integer
// `integer` and `pending` is operand `next`, evaluated.
Value add_fold(const NodeCell* cell, uint32_t n, uint32_t next, int32_t integer, Value pending) {
    LocalText<ADD_TEXT_INLINE> text;
    SumKind kind = SUM_INTEGER;
    double real = 0.0;
    uint32_t name = 0;
    if (next == 0) {
        kind = SUM_OTHER;
        switch (value_tag(pending)) {
            case TAG_INTEGER:
                kind = SUM_INTEGER;
                integer = integer_of(pending);
                break;
            case TAG_FLOAT:
                kind = SUM_FLOAT;
                real = float_of(pending);
                break;
            case TAG_STRING:
                kind = SUM_TEXT;
                append_text_bytes(text, string_text(pending), string_length(pending));
                break;
            case TAG_NAME:
                kind = SUM_NAME;
                name = value_payload(pending);
                break;
            default:
                break;
        }
        release_if_temporary(pending);
    }

    for (uint32_t i = next == 0 ? 1 : next; i < n; ++i) {
        const Value right = i == next ? pending : evaluate(cell_operand(cell, i));
        const uint32_t tag = value_tag(right);
        switch (kind) {
            case SUM_INTEGER:
                if (tag == TAG_INTEGER) {
                    integer = wrapping_add(integer, integer_of(right));
                } else if (tag == TAG_FLOAT) {
                    kind = SUM_FLOAT;
                    real = static_cast<double>(integer) + float_of(right);
                } else if (tag == TAG_STRING) {
                    kind = SUM_TEXT;
                    char digits[INTEGER_TEXT_SIZE];
                    append_text_bytes(text, digits, format_integer(integer, digits));
                    append_text_bytes(text, string_text(right), string_length(right));
                } else {
                    add_type_error(right);
                }
                break;
            case SUM_FLOAT:
                if (is_number_tag(tag)) {
                    real += number_of(right);
                } else if (tag == TAG_STRING) {
                    kind = SUM_TEXT;
                    char digits[FLOAT_TEXT_SIZE];
                    append_text_bytes(text, digits, format_float(real, digits));
                    append_text_bytes(text, string_text(right), string_length(right));
                } else {
                    add_type_error(right);
                }
                break;
            case SUM_TEXT:
                if (tag == TAG_STRING) {
                    append_text_bytes(text, string_text(right), string_length(right));
                } else if (is_number_tag(tag)) {
                    char digits[FLOAT_TEXT_SIZE];
                    append_text_bytes(text, digits, number_text(right, digits));
                } else if (tag == TAG_NAME) {
                    append_text_bytes(text, name_text(value_payload(right)), name_length(value_payload(right)));
                } else {
                    add_type_error(right);
                }
                break;
            case SUM_NAME:
                if (tag == TAG_STRING) {
                    kind = SUM_TEXT;
                    append_text_bytes(text, name_text(name), name_length(name));
                    append_text_bytes(text, string_text(right), string_length(right));
                } else if (tag == TAG_NAME) {
                    kind = SUM_TEXT;
                    append_text_bytes(text, name_text(name), name_length(name));
                    append_text_bytes(text, name_text(value_payload(right)), name_length(value_payload(right)));
                } else {
                    add_type_error(right);
                }
                break;
            default:
                add_type_error(right);
        }
        release_if_temporary(right);
    }

    switch (kind) {
        case SUM_INTEGER: return new_integer(integer);
        case SUM_FLOAT: return new_float(real);
        default: return new_string(text.data, text.length);
    }
}

}  // namespace

// Folded left to right. Each operand is reduced to a number or appended to
// the text as soon as it is read, so nothing evaluated later can change it.
// A run of integers is summed here, keeping a temporary operand's cell for
// the result as the chains do; the first operand of another kind hands the
// fold over to add_fold.
Value eval_add(Value node) {
    const NodeCell* cell = node_cell(node);
    const uint32_t n = cell_operand_count(cell);
    const Value head = cell_operand(cell, 0);
    const Value first = evaluate_operand(head);
    if (n < 2) return first;
    if (value_tag(first) != TAG_INTEGER) return add_fold(cell, n, 0, 0, first);
    int32_t sum = integer_value(first);
    Value spare = may_yield_temporary(head) && is_temporary_number(first) ? first : 0;
    for (uint32_t i = 1; i < n; ++i) {
        const Value expression = cell_operand(cell, i);
        Value right = expression;
        if (value_tag(expression) != TAG_INTEGER) {
            if (spare != 0) free_cell(spare);
            spare = 0;
            right = evaluate_operand(expression);
        }
        if (value_tag(right) != TAG_INTEGER) {
            if (spare != 0) free_cell(spare);
            return add_fold(cell, n, i, sum, right);
        }
        sum = wrapping_add(sum, integer_value(right));
        if (may_yield_temporary(expression) && is_temporary_number(right)) {
            if (spare == 0) {
                spare = right;
            } else {
                free_cell(right);
            }
        }
    }
    return integer_result(spare, sum);
}

// ---- += ----------------------------------------------------------------------------------

// The target is read first (its location kept), then the value.
Value eval_add_assign(Value node) {
    const Value read = evaluate_target(operand(node, 0));
    if (g_eval.const_read) raise_runtime_error(2245, "オペレーション不正(+=)");
    if (g_eval.location_kind == LOCATION_NONE) {
        release_if_temporary(read);
        raise_runtime_error(2250, "オペレーション不正(+=)");
    }
    HeldValue held(read);
    // Holds the container of an element or property target: the value
    // expression may drop every other reference to it.
    SavedLocation where;
    // The result is stored in that container; it must outlive letting go of
    // the container, which may be the last holder of both.
    const auto outliving_container = [&where](Value result) {
        retain(result);
        where.drop();
        unhold(result);
        return result;
    };
    const Value value = evaluate(operand(node, 1));
    const uint32_t target_tag = value_tag(read);
    const uint32_t added_tag = value_tag(value);

    Value result;
    if (target_tag == TAG_INTEGER && added_tag == TAG_INTEGER) {
        result = new_integer(wrapping_add(integer_of(read), integer_of(value)));
    } else if (is_number_tag(target_tag) && is_number_tag(added_tag)) {
        result = new_float(number_of(read) + number_of(value));
    } else if (is_number_tag(target_tag) && added_tag == TAG_STRING) {
        char digits[FLOAT_TEXT_SIZE];
        const size_t length = number_text(read, digits);
        result = new_string_with_room(digits, length, string_text(value), string_length(value));
    } else if (target_tag == TAG_STRING && (added_tag == TAG_STRING || is_number_tag(added_tag))) {
        char digits[FLOAT_TEXT_SIZE];
        const char* piece = digits;
        size_t piece_length = 0;
        if (added_tag == TAG_STRING) {
            piece = string_text(value);
            piece_length = string_length(value);
        } else {
            piece_length = number_text(value, digits);
        }
        // Our hold goes first: a count of 1 then means the location's own
        // reference is the only one, and the text can grow where it is.
        const Value target = held.hand_over();
        where.restore();
        if (located_value() == target && append_in_place(target, piece, piece_length)) {
            release_if_temporary(value);
            return outliving_container(target);
        }
        result = new_string_with_room(string_text(target), string_length(target), piece, piece_length);
        release_if_temporary(value);
        // Still at the location it is released by the store; if the value
        // expression replaced it there, nothing holds it any more.
        release_if_temporary(target);
        store_at_location(result);
        return outliving_container(result);
    } else {
        release_if_temporary(value);
        raise_runtime_error(2255, "オペレーション(+=)のデータ型不正");
    }
    release_if_temporary(value);
    where.restore();
    store_at_location(result);
    return outliving_container(result);
}

// ---- - * / % ** ---------------------------------------------------------------------------

namespace {

// One step of a chain on two integers, taken in integers when that gives
// exactly what the double-precision step gives: a result that is an
// integer within 32 bits (sums, differences and products of 32-bit
// integers are exact in a double, and a quotient rounded to a double never
// crosses an integer) and not a negative zero, which a float met later in
// the chain would still show. A division with a remainder is taken only as
// the chain's last step, where the result is truncated anyway. Every other
// step (a result beyond 32 bits, a zero divisor, powers) is left to the
// double path, which then starts from the same value.
inline bool integer_step(uint32_t kind, int32_t a, int32_t b, bool last, int32_t* out) {
    int64_t r;
    switch (kind) {
        case NODE_SUBTRACT:
        case NODE_SUBTRACT_ASSIGN:
            r = int64_t(a) - b;
            break;
        case NODE_MULTIPLY:
        case NODE_MULTIPLY_ASSIGN:
            r = int64_t(a) * b;
            if (r == 0 && (a < 0 || b < 0) && !last) return false;
            break;
        case NODE_DIVIDE:
        case NODE_DIVIDE_ASSIGN:
            // -2147483648 / -1 does not fit (and would trap in 32 bits).
            if (b == 0 || (b == -1 && a == INT32_MIN)) return false;
            r = a / b;
            if (!last && (a % b != 0 || (a == 0 && b < 0))) return false;
            break;
        case NODE_REMAINDER:
        case NODE_REMAINDER_ASSIGN: {
            if (b == 0) return false;
            int32_t m = b == -1 ? 0 : a % b;  // any % -1 is 0, and -2147483648 % -1 would trap
            if (m != 0 && (m < 0) != (b < 0)) m += b;
            r = m;
            break;
        }
        default:
            return false;
    }
    if (r < INT32_MIN || r > INT32_MAX) return false;
    *out = static_cast<int32_t>(r);
    return true;
}

// The rest of a chain in double precision, from operand `next` on; the
// operand before it is already evaluated (`pending`, not yet converted).
Value double_chain(uint32_t kind, const NodeCell* cell, uint32_t n, uint32_t next, double x, bool is_float,
                   Value pending) {
    const Number first = to_number(pending);
    release_if_temporary(pending);
    if (next == 0) {
        x = first.value;
        is_float = first.is_float;
    } else {
        is_float = is_float || first.is_float;
        x = apply(kind, x, first.value);
    }
    for (uint32_t i = next + 1; i < n; ++i) {
        const Value v = evaluate(cell_operand(cell, i));
        const Number y = to_number(v);
        release_if_temporary(v);
        is_float = is_float || y.is_float;
        x = apply(kind, x, y.value);
    }
    return number_result(x, is_float);
}

}  // namespace

// Integer operands are folded in integers while that is exact. A
// temporary operand's cell is kept to hold the result, but only while
// nothing that could raise an error runs: an operand that is a node or a
// name is evaluated after the kept cell has been let go.
Value eval_arithmetic(Value node) {
    const NodeCell* cell = node_cell(node);
    const uint32_t kind = cell->operation;
    const uint32_t n = cell_operand_count(cell);
    const Value head = cell_operand(cell, 0);
    const Value first = evaluate_operand(head);
    if (value_tag(first) != TAG_INTEGER || n < 2) return double_chain(kind, cell, n, 0, 0.0, false, first);
    int32_t acc = integer_value(first);
    Value spare = may_yield_temporary(head) && is_temporary_number(first) ? first : 0;
    for (uint32_t i = 1; i < n; ++i) {
        const Value expression = cell_operand(cell, i);
        Value right = expression;
        if (value_tag(expression) != TAG_INTEGER) {
            if (spare != 0) free_cell(spare);
            spare = 0;
            right = evaluate_operand(expression);
        }
        if (value_tag(right) != TAG_INTEGER || !integer_step(kind, acc, integer_value(right), i + 1 == n, &acc)) {
            if (spare != 0) free_cell(spare);
            return double_chain(kind, cell, n, i, acc, false, right);
        }
        if (may_yield_temporary(expression) && is_temporary_number(right)) {
            if (spare == 0) {
                spare = right;
            } else {
                free_cell(right);
            }
        }
    }
    return integer_result(spare, acc);
}

// The value is read first, then the target.
Value eval_arithmetic_assign(Value node) {
    const uint32_t kind = node_kind(node);
    const Number y = evaluate_number(node, 1);
    const Value target = evaluate_target(operand(node, 0));
    if (g_eval.const_read) raise_runtime_error(2315, "オペレーション不正");
    const Number x = to_number(target);
    const double r = apply(kind, x.value, y.value);
    if (g_eval.location_kind == LOCATION_NONE) {
        release_if_temporary(target);
        raise_runtime_error(2317, "オペレーション不正");
    }
    const Value result = number_result(r, x.is_float || y.is_float);
    store_at_location(result);
    return result;
}

}  // namespace kova

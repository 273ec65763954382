// The methods of the built-in name Math. A value a method cannot use gives
// NaN, never an error; integers stay integers where the method allows.
#include <cmath>

#include "builtins/library.h"
#include "builtins/method_table.h"
#include "core/values.h"
#include "platform/platform.h"

namespace kova {

namespace {

Value math_abs(Value, const Value* arguments, uint32_t) {
    const Value x = arguments[0];
    if (is_integer(x)) {
        // The absolute value wraps like any 32-bit integer result: -2^31 stays.
        const int32_t n = integer_of(x);
        return new_integer(n < 0 ? int32_t(0u - uint32_t(n)) : n);
    }
    if (is_float(x)) return new_float(std::fabs(float_of(x)));
    return NOT_A_NUMBER;
}

// ceil, floor, trunc and round: null is 0, an integer is itself, a float
// becomes the 32-bit integer of the rounded value.
template <double (*Round)(double)>
Value math_rounding(Value, const Value* arguments, uint32_t) {
    const Value x = arguments[0];
    if (x == make_value(TAG_NAME, NAME_NULL)) return new_integer(0);
    if (is_integer(x)) return x;
    if (is_float(x)) return new_integer(truncate_to_int32(Round(float_of(x))));
    return NOT_A_NUMBER;
}

double ceil_of(double x) { return std::ceil(x); }
double floor_of(double x) { return std::floor(x); }
double trunc_of(double x) { return std::trunc(x); }
double round_of(double x) { return std::round(x); }  // halves away from zero

Value math_random(Value, const Value*, uint32_t) {
    if (!g_library.random_seeded) {
        platform::random_seed(static_cast<uint32_t>(platform::time_now()));
        g_library.random_seeded = true;
    }
    return new_float(platform::random_next() / 32767.0);
}

Value math_pow(Value, const Value* arguments, uint32_t) {
    const Value base = arguments[0];
    const Value power = arguments[1];
    if (!is_number(base) || !is_number(power)) return NOT_A_NUMBER;
    const double b = number_of(base);
    const double p = number_of(power);
    if (p == 0.0) return new_integer(1);
    if (b == 0.0) return new_integer(0);
    if (b < 0.0 && p < 1.0) return NOT_A_NUMBER;
    const double g = std::pow(b, p);
    if (is_integer(base) && is_integer(power) && p >= 1.0) {
        return new_integer(g >= -2147483648.0 && g < 2147483648.0 ? int32_t(g) : INT32_MIN);
    }
    return new_float(g);
}

// min and max yield the winning argument itself, of its own kind; the
// earlier of equal arguments wins.
template <bool Larger>
Value math_extreme(Value, const Value* arguments, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (!is_number(arguments[i])) return NOT_A_NUMBER;
    }
    Value best = arguments[0];
    double best_number = number_of(best);
    for (uint32_t i = 1; i < count; ++i) {
        const double x = number_of(arguments[i]);
        if (Larger ? x > best_number : x < best_number) {
            best = arguments[i];
            best_number = x;
        }
    }
    return best;
}

constexpr Method MATH_LIST[] = {
    {"abs", math_abs, 1, 1},
    {"ceil", math_rounding<ceil_of>, 1, 1},
    {"floor", math_rounding<floor_of>, 1, 1},
    {"trunc", math_rounding<trunc_of>, 1, 1},
    {"round", math_rounding<round_of>, 1, 1},
    {"random", math_random, 0, 0},
    {"pow", math_pow, 2, 2},
    {"min", math_extreme<false>, 1, ANY_COUNT},
    {"max", math_extreme<true>, 1, ANY_COUNT},
};

}  // namespace

const MethodTable MATH_METHODS = {MATH_LIST, 9, 2115, "Mathのメソッド名不正", 0, 2120, 2120, "引数の個数不正"};

}  // namespace kova

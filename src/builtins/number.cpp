// Numbers from values: the methods of the built-in name Number (parseInt,
// parseFloat, isInteger), and the statements Number(x), parseInt(...) and
// parseFloat(x).
#include <cstdlib>
#include <cstring>

#include "builtins/library.h"
#include "builtins/method_table.h"
#include "core/errors.h"
#include "core/number_text.h"
#include "core/value_text.h"
#include "eval/eval.h"
#include "eval/handlers.h"

namespace kova {

namespace {

// parseInt and parseFloat read at most this much of a string.
constexpr size_t PARSE_TEXT_SIZE = 4096;

// The text parseInt and parseFloat read: a string's bytes (cut to the
// buffer), any other value's text, without leading and trailing blanks and
// tabs. NUL-terminated.
struct ParseText {
    LocalText<PARSE_TEXT_SIZE> buffer;
    const char* begin;
    const char* end;

    explicit ParseText(Value x) {
        if (is_string(x)) {
            size_t length = string_length(x);
            if (length > PARSE_TEXT_SIZE - 1) length = PARSE_TEXT_SIZE - 1;
            append_text_bytes(buffer, string_text(x), length);
        } else {
            value_to_text(x, buffer);
        }
        begin = buffer.data;
        end = buffer.data + buffer.length;
        while (begin < end && (*begin == ' ' || *begin == '\t')) ++begin;
        while (end > begin && (end[-1] == ' ' || end[-1] == '\t')) --end;
        buffer.data[end - buffer.data] = '\0';
    }
};

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

// parseInt(x [, radix]): `radix` null when not given.
Value parse_int(Value x, const Value* radix) {
    ParseText text(x);
    const char* p = text.begin;
    bool negative = false;
    if (p < text.end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    int base = 10;
    if (radix != nullptr) {
        if (!is_integer(*radix) || integer_of(*radix) < 2 || integer_of(*radix) > 36) return NOT_A_NUMBER;
        base = integer_of(*radix);
    } else if (text.end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    uint32_t value = 0;  // accumulates with wrap-around
    const char* first = p;
    for (; p < text.end && digit_value(*p) < base; ++p) value = value * uint32_t(base) + uint32_t(digit_value(*p));
    if (p == first) return NOT_A_NUMBER;
    return new_integer(int32_t(negative ? 0u - value : value));
}

// parseFloat(x): what strtod reads of the text, always a float.
Value parse_float(Value x) {
    ParseText text(x);
    char* stop = nullptr;
    const double value = std::strtod(text.begin, &stop);
    if (stop == text.begin) return NOT_A_NUMBER;
    return new_float(value);
}

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_decimal_digit(char c) { return c >= '0' && c <= '9'; }

// Whether the whole text is one number literal: "0x" and hexadecimal
// digits, or digits with an optional fraction and exponent.
bool is_number_literal(const char* p, const char* end) {
    if (end - p >= 2 && p[0] == '0' && p[1] == 'x') {
        p += 2;
        if (p == end) return false;
        while (p < end && is_hex_digit(*p)) ++p;
        return p == end;
    }
    bool digits = false;
    while (p < end && is_decimal_digit(*p)) ++p, digits = true;
    if (p < end && *p == '.') {
        ++p;
        while (p < end && is_decimal_digit(*p)) ++p, digits = true;
    }
    if (!digits) return false;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-')) ++p;
        if (p == end || !is_decimal_digit(*p)) return false;
        while (p < end && is_decimal_digit(*p)) ++p;
    }
    return p == end;
}

// Number(x): a number is copied; a string must be one number literal with
// an optional sign (2335 otherwise), read as the parser reads literals.
Value number_of_value(Value x) {
    if (is_integer(x)) return new_integer(integer_of(x));
    if (is_float(x)) return new_float(float_of(x));
    if (!is_string(x)) raise_runtime_error(2335, "Numberの引数不正");
    const char* p = string_text(x);
    const char* end = p + string_length(x);
    int sign = 1;
    if (p < end && (*p == '+' || *p == '-')) sign = *p++ == '-' ? -1 : 1;
    // A zero byte inside the string would end the reader early.
    if (!is_number_literal(p, end) || std::memchr(p, '\0', size_t(end - p)) != nullptr) {
        raise_runtime_error(2335, "Numberの引数不正");
    }
    const NumberText number = read_number_text(&p, sign);
    if (number.is_float) return new_float(number.real);
    if (number.integer >= INT32_MIN && number.integer <= INT32_MAX) return new_integer(int32_t(number.integer));
    return new_float(double(number.integer));
}

// Number.isInteger(x): an integer, or a float whose ten-decimal text has
// only zeros after the point.
Value is_integer_value(Value x) {
    if (is_integer(x)) return truth_value(true);
    if (!is_float(x)) return truth_value(false);
    char text[FLOAT_TEXT_SIZE];
    const size_t length = format_float(float_of(x), text);
    const char* point = static_cast<const char*>(std::memchr(text, '.', length));
    if (point == nullptr) return truth_value(false);
    for (const char* p = point + 1; p < text + length; ++p) {
        if (*p != '0') return truth_value(false);
    }
    return truth_value(true);
}

Value number_parse_int(Value, const Value* arguments, uint32_t count) {
    return parse_int(arguments[0], count > 1 ? &arguments[1] : nullptr);
}
Value number_parse_float(Value, const Value* arguments, uint32_t) { return parse_float(arguments[0]); }
Value number_is_integer(Value, const Value* arguments, uint32_t) { return is_integer_value(arguments[0]); }

constexpr Method NUMBER_LIST[] = {
    {"parseInt", number_parse_int, 1, 2},
    {"parseFloat", number_parse_float, 1, 1},
    {"isInteger", number_is_integer, 1, 1},
};

// The statements' operands, evaluated in order and held until the result
// is made.
template <uint32_t N>
struct EvaluatedOperands {
    HeldValues values{N};
    EvaluatedOperands(Value node, uint32_t count) {
        for (uint32_t i = 0; i < count && i < N; ++i) {
            const Value v = evaluate(operand(node, i));
            values.add(v);
        }
    }
};

}  // namespace

const MethodTable NUMBER_METHODS = {NUMBER_LIST, 3, 2125, "NUMBERのメソッド名不正", 0, 2130, 2135, "引数の個数不正"};

Value eval_number_conversion(Value node) {
    const uint32_t count = operand_count(node);
    if (count == 0) return new_integer(0);
    EvaluatedOperands<1> x(node, 1);
    return number_of_value(x.values[0]);
}

Value eval_parse_float(Value node) {
    EvaluatedOperands<1> x(node, 1);
    return parse_float(x.values[0]);
}

Value eval_parse_int(Value node) {
    const uint32_t count = operand_count(node);
    if (count == 0) return parse_int(UNDEFINED, nullptr);
    EvaluatedOperands<2> x(node, count);
    return parse_int(x.values[0], count > 1 ? &x.values.data()[1] : nullptr);
}

}  // namespace kova

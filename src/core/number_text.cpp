// Reading number texts: decimal and hexadecimal integers, fractions and
// exponents, for literals and for the Integer/Float conversions.
#include "core/number_text.h"

#include <cmath>
#include <cstddef>

#include "core/errors.h"

namespace kova {

namespace {

constexpr size_t QUOTE_LIMIT = 120;  // bytes of the text an error quotes
constexpr int EXPONENT_LIMIT = 100000;  // far past the range of a double
// A fraction keeps its first significant digits only: 19 of them already
// exceed what a double holds, and more would wrap the 64-bit accumulator.
constexpr uint64_t FRACTION_LIMIT = 1000000000000000000ULL;

[[noreturn]] void malformed(const char* from) {
    char quoted[QUOTE_LIMIT + 1];
    size_t n = 0;
    while (n < QUOTE_LIMIT && from[n] != '\0') ++n;
    // When the cut falls inside a UTF-8 sequence, the whole sequence goes.
    if (from[n] != '\0') {
        while (n > 0 && (static_cast<uint8_t>(from[n]) & 0xC0) == 0x80) --n;
    }
    for (size_t i = 0; i < n; ++i) quoted[i] = from[i];
    quoted[n] = '\0';
    raise_parse_error(1405, "数字のフォーマット不正 '%s'", quoted);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Integer digits wrap in 64 bits; alongside, the magnitude is kept as a
// double so that a number too large for 64 bits is not read as a wrapped,
// wrong value.
struct Digits {
    uint64_t bits = 0;
    double real = 0.0;
    bool overflow = false;  // the magnitude passed INT64_MAX

    void add(unsigned base, unsigned digit) {
        if (!overflow && bits > (uint64_t(INT64_MAX) - digit) / base) overflow = true;
        bits = bits * base + digit;
        real = real * base + digit;
    }
    double value() const { return overflow ? real : static_cast<double>(bits); }
};

struct Fraction {
    uint64_t digits = 0;
    int count = 0;     // digits kept
    bool seen = false; // any digit at all

    void restart() { *this = Fraction{}; }
    void add(unsigned digit) {
        seen = true;
        if (digits < FRACTION_LIMIT) {
            digits = digits * 10 + digit;
            ++count;
        }
    }
    double value() const { return count == 0 ? 0.0 : static_cast<double>(digits) / std::pow(10.0, count); }
};

// Reads "e" already consumed: an optional sign and at least one digit.
int read_exponent(const char*& p, const char* start) {
    int sign = 1;
    if (*p == '-') {
        sign = -1;
        ++p;
    } else if (*p == '+') {
        ++p;
    }
    if (!is_digit(*p)) malformed(start);
    int exponent = 0;
    while (is_digit(*p)) {
        if (exponent < EXPONENT_LIMIT) exponent = exponent * 10 + (*p - '0');
        ++p;
    }
    return sign * exponent;
}

NumberText integer_result(const Digits& digits, int sign) {
    if (digits.overflow) return NumberText{true, 0, sign * digits.real};
    const uint64_t magnitude = digits.bits;
    const uint64_t bits = sign < 0 ? 0 - magnitude : magnitude;
    return NumberText{false, static_cast<int64_t>(bits), 0.0};
}

NumberText float_result(double value, int sign) { return NumberText{true, 0, sign * value}; }

}  // namespace

NumberText read_number_text(const char** cursor, int sign) {
    const char* const start = *cursor;
    const char* p = start;

    if (p[0] == '0' && p[1] == 'x') {
        p += 2;
        Digits digits;
        for (int d; (d = hex_digit(*p)) >= 0; ++p) digits.add(16, static_cast<unsigned>(d));
        *cursor = p;
        return integer_result(digits, sign);
    }

    if (*p == '.') {
        ++p;
        Fraction fraction;
        bool has_exponent = false;
        int exponent = 0;
        for (;;) {
            if (is_digit(*p)) {
                fraction.add(static_cast<unsigned>(*p - '0'));
                ++p;
            } else if (*p == '.') {
                malformed(start);
            } else if (*p == 'e' || *p == 'E') {
                ++p;
                has_exponent = true;
                exponent = read_exponent(p, start);
                if (*p == '.') malformed(start);
                break;
            } else {
                break;
            }
        }
        if (!fraction.seen) malformed(start);
        double value = fraction.value();
        if (has_exponent) value *= std::pow(10.0, exponent);
        *cursor = p;
        return float_result(value, sign);
    }

    Digits whole;
    while (is_digit(*p)) {
        whole.add(10, static_cast<unsigned>(*p - '0'));
        ++p;
    }
    bool has_point = false;
    Fraction fraction;
    while (*p == '.') {
        // A further point starts the fraction over.
        has_point = true;
        fraction.restart();
        ++p;
        while (is_digit(*p)) {
            fraction.add(static_cast<unsigned>(*p - '0'));
            ++p;
        }
    }
    if (*p == 'e' || *p == 'E') {
        ++p;
        const int exponent = read_exponent(p, start);
        *cursor = p;
        return float_result((whole.value() + fraction.value()) * std::pow(10.0, exponent), sign);
    }
    *cursor = p;
    if (has_point) return float_result(whole.value() + fraction.value(), sign);
    return integer_result(whole, sign);
}

}  // namespace kova

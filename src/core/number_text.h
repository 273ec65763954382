// Reading number texts: the literal reader and the conversions share it.
#pragma once

#include <cstdint>

namespace kova {

struct NumberText {
    bool is_float;
    int64_t integer;  // digits accumulate in 64 bits, overflow wraps
    double real;
};

// The caller has consumed a leading sign and passes +1 or -1. Moves *cursor
// past the number. Malformed text raises parse error 1405.
NumberText read_number_text(const char** cursor, int sign);

}  // namespace kova

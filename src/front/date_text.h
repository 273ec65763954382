// The text a Date stands for in front-end items: local date and time,
// with the milliseconds only when there are some.
#pragma once

#include <cstddef>

#include "core/value.h"

namespace kova {

inline constexpr size_t DATE_TEXT_SIZE = 40;

// "%04d-%02d-%02d %02d:%02d:%02d", then ".%03d" when the milliseconds are
// not 0. `out` holds DATE_TEXT_SIZE bytes; returns the length.
size_t date_text(Value date, char* out);

}  // namespace kova

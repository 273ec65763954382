// Array sort: by the elements' texts, or by a script comparator.
#pragma once

#include <cstdint>

#include "core/value.h"

namespace kova {

// The handler of `sort([compare])` in the Array method table.
Value array_sort(Value receiver, const Value* arguments, uint32_t count);

}  // namespace kova

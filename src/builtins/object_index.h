// Finding an object's property by key, and appending one.
#pragma once

#include <cstdint>

#include "core/value.h"

namespace kova {

// The index of the pair whose key (low 28 bits) equals `key`, or -1.
int64_t object_index_find(Value object, uint32_t key);
// The index of the pair whose key is the name with this text, or -1.
int64_t object_index_find_text(Value object, const char* text, uint32_t length);
// Appends the pair (key, v), v retained; the key must not be present yet.
// The pair area grows by a proportion of the count; an object holds at
// most 65,535 properties (error 1400 beyond).
void object_index_append(Value object, uint32_t key, Value v);
// Called after pairs were removed or moved.
void object_index_forget(Value object);

}  // namespace kova

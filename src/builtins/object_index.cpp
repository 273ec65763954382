// Finding an object's property by key, and appending one.
#include "builtins/object_index.h"

#include <cstring>

#include "core/areas.h"
#include "core/errors.h"
#include "core/values.h"

namespace kova {

namespace {

constexpr uint32_t KEY_MASK = 0x0FFFFFFF;

uint32_t grown_capacity(uint32_t count) {
    const uint32_t extra = count / 2 > 11 ? count / 2 : 11;
    return count + extra < OBJECT_CAPACITY_LIMIT ? count + extra : OBJECT_CAPACITY_LIMIT;
}

}  // namespace

int64_t object_index_find(Value object, uint32_t key) {
    const ObjectCell* cell = cell_as<ObjectCell>(object);
    const uint8_t* pairs = area_pointer(cell->pairs);
    const uint32_t n = cell->count;
    for (uint32_t i = 0; i < n; ++i) {
        if ((load_u32(pairs + 8 * size_t(i)) & KEY_MASK) == key) return i;
    }
    return -1;
}

void object_index_append(Value object, uint32_t key, Value v) {
    ObjectCell* cell = cell_as<ObjectCell>(object);
    const uint32_t n = cell->count;
    if (n >= cell->capacity) {
        if (n >= OBJECT_CAPACITY_LIMIT) raise_runtime_error(1400, "メモリ領域を取得できません");
        const uint32_t capacity = grown_capacity(n);
        uint8_t* item = nullptr;
        const uint32_t reference = area_alloc(size_t(capacity) * 8, &item);
        std::memcpy(item, area_pointer(cell->pairs), size_t(n) * 8);
        area_free(cell->pairs);
        cell = cell_as<ObjectCell>(object);
        cell->pairs = reference;
        cell->capacity = static_cast<uint16_t>(capacity);
    }
    retain(v);
    uint8_t* pair = area_pointer(cell->pairs) + 8 * size_t(n);
    store_u32(pair, key);
    store_u32(pair + 4, v);
    cell->count = static_cast<uint16_t>(n + 1);
}

void object_index_forget(Value) {}

}  // namespace kova

// Helpers shared by the library families (see library.h).
#include "builtins/library.h"

#include <cstdlib>
#include <cstring>

#include "builtins/method_table.h"
#include "core/errors.h"

namespace kova {

LibraryState g_library;

void library_reset() {
    object_indexes_reset();
    g_library = LibraryState{};
}

namespace {

[[noreturn]] void out_of_memory() { raise_runtime_error(1400, "メモリ領域を取得できません"); }

// Element and pair areas stay well within what a 32-bit count and a
// size_t byte count can hold.
constexpr uint32_t AREA_SLOT_LIMIT = 0x10000000;

// The capacity an area grows to when it must hold `needed` slots: half as
// many again (at least 10 more), so appends cost O(1) amortised.
uint32_t grown_capacity(uint32_t needed) {
    if (needed >= AREA_SLOT_LIMIT) out_of_memory();
    const uint32_t extra = needed / 2 > 10 ? needed / 2 : 10;
    const uint32_t capacity = needed + extra;
    return capacity < AREA_SLOT_LIMIT ? capacity : AREA_SLOT_LIMIT;
}

// A new area of `capacity` slots of `stride` bytes holding the first `used`
// slots of the old one, which is freed.
uint32_t regrow(uint32_t old_reference, uint32_t used, uint32_t capacity, size_t stride) {
    uint8_t* item = nullptr;
    const uint32_t reference = area_alloc(size_t(capacity) * stride, &item);
    if (used != 0) std::memcpy(item, area_pointer(old_reference), size_t(used) * stride);
    area_free(old_reference);
    return reference;
}

}  // namespace

void reserve_elements(Value array, uint32_t needed) {
    ArrayCell* cell = cell_as<ArrayCell>(array);
    if (needed <= cell->capacity) return;
    const uint32_t capacity = grown_capacity(needed);
    const uint32_t reference = regrow(cell->elements, cell->count, capacity, 4);
    cell = cell_as<ArrayCell>(array);
    cell->elements = reference;
    cell->capacity = capacity;
}

void reserve_pairs(Value keyed, uint32_t needed) {
    KeyedCell* cell = cell_as<KeyedCell>(keyed);
    if (needed <= cell->capacity) return;
    const uint32_t capacity = grown_capacity(needed);
    const uint32_t reference = regrow(cell->pairs, cell->count, capacity, 8);
    cell = cell_as<KeyedCell>(keyed);
    cell->pairs = reference;
    cell->capacity = capacity;
}

int32_t index_argument(Value v) {
    if (!is_integer(v)) raise_runtime_error(2500, "引数が整数ではありません");
    return integer_of(v);
}

uint32_t normalise_index(int32_t n, uint32_t count) {
    if (n < 0) {
        const int64_t from_end = int64_t(count) + n;
        return from_end < 0 ? 0 : uint32_t(from_end);
    }
    return uint32_t(n) > count ? count : uint32_t(n);
}

Value copy_one_level(Value v) {
    const uint32_t tag = value_tag(v);
    if (tag != TAG_ARRAY && tag != TAG_KEYED && tag != TAG_OBJECT) return v;
    uint8_t* item = nullptr;
    Value copy = 0;
    uint32_t count = 0;
    size_t stride = 8;
    if (tag == TAG_ARRAY) {
        count = cell_as<ArrayCell>(v)->count;
        copy = new_array_cell(0, count + 10, &item);
        stride = 4;
    } else if (tag == TAG_KEYED) {
        count = cell_as<KeyedCell>(v)->count;
        copy = new_keyed_cell(0, count + 10, &item);
    } else {
        count = cell_as<ObjectCell>(v)->count;
        const uint32_t room = count + 10 < OBJECT_CAPACITY_LIMIT ? count + 10 : OBJECT_CAPACITY_LIMIT;
        copy = new_object_cell(0, room, &item);
        cell_as<ObjectCell>(copy)->class_name = cell_as<ObjectCell>(v)->class_name;
    }
    std::memcpy(cell_pointer(copy)->kind, cell_pointer(v)->kind, sizeof Cell::kind);
    const uint8_t* source = tag == TAG_ARRAY   ? area_pointer(cell_as<ArrayCell>(v)->elements)
                            : tag == TAG_KEYED ? area_pointer(cell_as<KeyedCell>(v)->pairs)
                                               : area_pointer(cell_as<ObjectCell>(v)->pairs);
    std::memcpy(item, source, count * stride);
    // Every member now has one more holder.
    for (uint32_t i = 0; i < count; ++i) retain(load_u32(item + stride * i + (stride - 4)));
    if (tag == TAG_ARRAY) {
        cell_as<ArrayCell>(copy)->count = count;
    } else if (tag == TAG_KEYED) {
        cell_as<KeyedCell>(copy)->count = count;
    } else {
        cell_as<ObjectCell>(copy)->count = static_cast<uint16_t>(count);
    }
    return copy;
}

HeldValues::HeldValues(uint32_t capacity) : values_(inline_values_) {
    if (capacity <= INLINE_COUNT) return;
    values_ = static_cast<Value*>(std::malloc(size_t(capacity) * sizeof(Value)));
    if (values_ == nullptr) out_of_memory();
}

HeldValues::~HeldValues() {
    for (uint32_t i = 0; i < count_; ++i) release(values_[i]);
    if (values_ != inline_values_) std::free(values_);
}

void* scratch_alloc(size_t bytes) {
    void* block = std::malloc(bytes);
    if (block == nullptr) out_of_memory();
    return block;
}

void scratch_free(void* block) { std::free(block); }

}  // namespace kova

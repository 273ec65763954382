// Array operations shared by the Array and Object methods: keys of a keyed
// array, the index array 0 .. n - 1, and reversal in place.
#include "core/areas.h"
#include "core/values.h"

namespace kova {

Value keys_of_keyed_array(Value keyed) {
    const uint32_t count = cell_as<KeyedCell>(keyed)->count;
    uint8_t* elements = nullptr;
    // Built with count 0 and counted up as it fills, so an allocation error
    // part way leaves a consistent array.
    const Value keys = new_array_cell(0, count + 10, &elements);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t key = load_u32(area_pointer(cell_as<KeyedCell>(keyed)->pairs) + 8 * size_t(i));
        const Value element = key_is_integer(key) ? new_integer(static_cast<int32_t>(value_payload(key)))
                                                  : make_value(TAG_NAME, value_payload(key));
        retain(element);
        store_u32(area_pointer(cell_as<ArrayCell>(keys)->elements) + 4 * size_t(i), element);
        cell_as<ArrayCell>(keys)->count = i + 1;
    }
    return keys;
}

Value array_of_indexes(uint32_t n) {
    uint8_t* elements = nullptr;
    const Value indexes = new_array_cell(0, n + 10, &elements);
    for (uint32_t i = 0; i < n; ++i) {
        const Value element = new_integer(static_cast<int32_t>(i));
        retain(element);
        store_u32(area_pointer(cell_as<ArrayCell>(indexes)->elements) + 4 * size_t(i), element);
        cell_as<ArrayCell>(indexes)->count = i + 1;
    }
    return indexes;
}

Value reverse_array_in_place(Value array) {
    ArrayCell* cell = cell_as<ArrayCell>(array);
    uint8_t* elements = area_pointer(cell->elements);
    const uint32_t count = cell->count;
    for (uint32_t low = 0, high = count; low + 1 < high; ++low, --high) {
        uint8_t* a = elements + 4 * size_t(low);
        uint8_t* b = elements + 4 * size_t(high - 1);
        const uint32_t first = load_u32(a);
        store_u32(a, load_u32(b));
        store_u32(b, first);
    }
    return cell_value_of(cell);
}

}  // namespace kova

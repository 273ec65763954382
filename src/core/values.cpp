// Constructing values and freeing them by tag.
#include "core/values.h"

#include <cstdlib>
#include <cstring>

#include "core/areas.h"
#include "core/errors.h"
#include "regex/regex.h"

namespace kova {

ValueState g_values = {g_values.initial_pending, 0, RELEASE_QUEUE_INITIAL, false, {}, {}};

void values_reset() {
    if (g_values.pending != g_values.initial_pending) std::free(g_values.pending);
    g_values.pending = g_values.initial_pending;
    g_values.pending_count = 0;
    g_values.pending_capacity = RELEASE_QUEUE_INITIAL;
    g_values.freeing = false;
    g_values.characters = CharacterMemo{};
}

// ---- constructors ---------------------------------------------------------

Value new_string(const char* text, size_t length) {
    char* item = nullptr;
    const Value v = new_string_to_fill(length, &item);
    if (length != 0) std::memcpy(item, text, length);
    return v;
}

Value new_string_to_fill(size_t length, char** text_out) {
    uint8_t* item = nullptr;
    const uint32_t reference = area_alloc(length + 12, &item);
    item[length] = '\0';
    Cell* cell = nullptr;
    const Value v = new_cell(TAG_STRING, 0, &cell);
    StringCell* string = reinterpret_cast<StringCell*>(cell);
    string->text = reference;
    string->capacity = static_cast<uint32_t>(length + 8);
    string->length = static_cast<uint32_t>(length);
    *text_out = reinterpret_cast<char*>(item);
    return v;
}

namespace {

uint8_t* zeroed_item(size_t bytes, uint32_t* reference) {
    uint8_t* item = nullptr;
    *reference = area_alloc(bytes, &item);
    if (bytes != 0) std::memset(item, 0, bytes);
    return item;
}

}  // namespace

Value new_array_cell(uint32_t count, uint32_t capacity, uint8_t** elements_out) {
    uint32_t reference = 0;
    uint8_t* item = zeroed_item(size_t(capacity) * 4, &reference);
    Cell* cell = nullptr;
    const Value v = new_cell(TAG_ARRAY, 0, &cell);
    ArrayCell* array = reinterpret_cast<ArrayCell*>(cell);
    array->elements = reference;
    array->count = count;
    array->capacity = capacity;
    *elements_out = item;
    return v;
}

Value new_keyed_cell(uint32_t count, uint32_t capacity, uint8_t** pairs_out) {
    uint32_t reference = 0;
    uint8_t* item = zeroed_item(size_t(capacity) * 8, &reference);
    Cell* cell = nullptr;
    const Value v = new_cell(TAG_KEYED, 0, &cell);
    KeyedCell* keyed = reinterpret_cast<KeyedCell*>(cell);
    keyed->pairs = reference;
    keyed->count = count;
    keyed->capacity = capacity;
    *pairs_out = item;
    return v;
}

Value new_object_cell(uint32_t count, uint32_t capacity, uint8_t** pairs_out) {
    // Count and capacity are 16-bit fields: a larger object cannot be held.
    if (capacity > OBJECT_CAPACITY_LIMIT) raise_runtime_error(1400, "メモリ領域を取得できません");
    uint32_t reference = 0;
    uint8_t* item = zeroed_item(size_t(capacity) * 8, &reference);
    Cell* cell = nullptr;
    const Value v = new_cell(TAG_OBJECT, 0, &cell);
    ObjectCell* object = reinterpret_cast<ObjectCell*>(cell);
    object->count = static_cast<uint16_t>(count);
    object->capacity = static_cast<uint16_t>(capacity);
    object->pairs = reference;
    object->class_name = 0;
    *pairs_out = item;
    return v;
}

Value new_array(const Value* elements, uint32_t n) {
    uint8_t* item = nullptr;
    const Value v = new_array_cell(n, n + 10, &item);
    for (uint32_t i = 0; i < n; ++i) {
        retain(elements[i]);
        store_u32(item + 4 * size_t(i), elements[i]);
    }
    return v;
}

Value new_object(const uint32_t* pairs, uint32_t n) {
    uint8_t* item = nullptr;
    const Value v = new_object_cell(n, n + 10, &item);
    for (uint32_t i = 0; i < n; ++i) {
        retain(pairs[2 * i + 1]);
        store_u32(item + 8 * size_t(i), pairs[2 * i]);
        store_u32(item + 8 * size_t(i) + 4, pairs[2 * i + 1]);
    }
    return v;
}

// ---- freeing ----------------------------------------------------------------

namespace {

void release_words(uint32_t reference, uint32_t count, size_t stride, size_t offset) {
    for (uint32_t i = 0; i < count; ++i) {
        release(load_u32(area_pointer(reference) + stride * i + offset));
    }
}

// Releases what a container (tags 10-14) holds and frees its storage.
void free_container(Value v) {
    switch (value_tag(v)) {
        case TAG_ARRAY: {
            const ArrayCell array = *cell_as<ArrayCell>(v);
            release_words(array.elements, array.count, 4, 0);
            area_free(array.elements);
            break;
        }
        case TAG_KEYED: {
            const KeyedCell keyed = *cell_as<KeyedCell>(v);
            release_words(keyed.pairs, keyed.count, 8, 4);  // keys are never released
            area_free(keyed.pairs);
            break;
        }
        case TAG_OBJECT: {
            const ObjectCell object = *cell_as<ObjectCell>(v);
            release_words(object.pairs, object.count, 8, 4);
            area_free(object.pairs);
            break;
        }
        case TAG_NODE: {
            const NodeCell node = *cell_as<NodeCell>(v);
            if (node.operand_count <= 2) {
                if (node.operand_count >= 1) release(node.first);
                if (node.operand_count == 2) release(node.second);
            } else {
                release_words(node.first, node.operand_count, 4, 0);
                area_free(node.first);
            }
            break;
        }
        case TAG_FUNCTION: {
            const FunctionCell function = *cell_as<FunctionCell>(v);
            release(function.body);
            if (function.parameter_count != 0) release_words(function.names, function.parameter_count, 4, 0);
            // Local names alone also own the item.
            if (function.names != 0) area_free(function.names);
            break;
        }
        default:
            return;
    }
    free_cell(v);
}

// Queues a container for the outermost free_by_tag; false when the queue
// cannot grow (the caller then frees it at once).
bool defer(Value v) {
    if (g_values.pending_count == g_values.pending_capacity) {
        const uint32_t capacity = g_values.pending_capacity * 2;
        Value* grown = static_cast<Value*>(std::malloc(size_t(capacity) * sizeof(Value)));
        if (grown == nullptr) return false;
        std::memcpy(grown, g_values.pending, size_t(g_values.pending_count) * sizeof(Value));
        if (g_values.pending != g_values.initial_pending) std::free(g_values.pending);
        g_values.pending = grown;
        g_values.pending_capacity = capacity;
    }
    // Until it is freed, the queued value reads as permanent, so a stray
    // second release cannot queue it twice.
    cell_pointer(v)->header = static_cast<uint8_t>(HEADER_PERMANENT | value_tag(v));
    g_values.pending[g_values.pending_count++] = v;
    return true;
}

// Ends the draining even if a free raised an error.
struct DrainGuard {
    ~DrainGuard() {
        g_values.freeing = false;
        g_values.pending_count = 0;
    }
};

}  // namespace

void free_by_tag(Value v) {
    switch (value_tag(v)) {
        case TAG_SQL:
        case TAG_ERROR:
            area_free(value_payload(v));
            return;
        case TAG_REGEX:
            // Its sub-expressions and term array go with it.
            regex_release_parts(v);
            area_free(value_payload(v));
            return;
        case TAG_INTEGER:
        case TAG_DATE:
        case TAG_FLOAT:
            free_cell(v);
            return;
        case TAG_STRING:
            forget_character_memo(v);
            area_free(cell_as<StringCell>(v)->text);
            free_cell(v);
            return;
        case TAG_ARRAY:
        case TAG_KEYED:
        case TAG_OBJECT:
        case TAG_NODE:
        case TAG_FUNCTION:
            break;
        default:  // names, connections (never freed here), tag 4, immediates
            return;
    }
    if (g_values.freeing) {
        if (defer(v)) return;
        free_container(v);
        return;
    }
    g_values.freeing = true;
    DrainGuard guard;
    free_container(v);
    while (g_values.pending_count != 0) free_container(g_values.pending[--g_values.pending_count]);
}

}  // namespace kova

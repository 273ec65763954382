// Finding an object's property by key, and appending one.
//
// A small object is searched pair by pair. An object with many properties
// gets a hash index (key text -> pair index) once get, set, has or delete
// looks into it, so that filling and reading an object of n keys costs
// O(n) rather than O(n^2). The index hashes the keys' texts, so a string
// key is found without looking its name up in the name table first. The pairs stay the object's one truth: the index is
// only a way to find them, and is thrown away whenever it may no longer
// describe them.
//
// An index belongs to one object and holds a reference to it, so the
// object (and with it its cell and pair area) cannot be freed and reused
// under an index that still names it. The kind bytes of the object cell
// carry the number of its index. Every use checks that the index names
// this very object and its current pair area, and that no pairs were
// taken away since: others only ever append pairs to an object (member
// assignment grows the pair area, which changes its reference), so pairs
// appended by them are added to the index before it answers. A copy of the
// object carries the same kind bytes but is another cell, so it never
// passes the check.
//
// At most INDEX_LIMIT indexes exist at once. An index whose object nobody
// else holds any more is let go (and with it the object) whenever a new one
// is made; when all are in use the least recently used one goes.
#include "builtins/object_index.h"

#include <cstdlib>
#include <cstring>

#include "builtins/method_table.h"
#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"

namespace kova {

namespace {

constexpr uint32_t KEY_MASK = 0x0FFFFFFF;
// Objects with fewer properties are searched pair by pair.
constexpr uint32_t INDEX_THRESHOLD = 24;

[[noreturn]] void out_of_memory() { raise_runtime_error(1400, "メモリ領域を取得できません"); }

uint32_t grown_capacity(uint32_t count) {
    const uint32_t extra = count / 2 > 11 ? count / 2 : 11;
    return count + extra < OBJECT_CAPACITY_LIMIT ? count + extra : OBJECT_CAPACITY_LIMIT;
}

inline const uint8_t* pairs_of(const ObjectCell* cell) { return area_pointer(cell->pairs); }
inline uint32_t key_at(const uint8_t* pairs, uint32_t i) { return load_u32(pairs + 8 * size_t(i)) & KEY_MASK; }

int64_t linear_find(const ObjectCell* cell, uint32_t key) {
    const uint8_t* pairs = pairs_of(cell);
    const uint32_t n = cell->count;
    for (uint32_t i = 0; i < n; ++i) {
        if (key_at(pairs, i) == key) return i;
    }
    return -1;
}

// The number kept in an object cell's kind bytes (0: none).
inline uint32_t index_number(const ObjectCell* cell) {
    return uint32_t(cell->kind[0]) | uint32_t(cell->kind[1]) << 8 | uint32_t(cell->kind[2]) << 16;
}
inline void set_index_number(ObjectCell* cell, uint32_t n) {
    cell->kind[0] = uint8_t(n);
    cell->kind[1] = uint8_t(n >> 8);
    cell->kind[2] = uint8_t(n >> 16);
}

// FNV-1a over a key's text. Integer keys (never made by these methods,
// but not excluded from objects) hash their key word.
inline uint32_t text_hash(const char* text, uint32_t length) {
    uint32_t h = 2166136261u;
    for (uint32_t i = 0; i < length; ++i) h = (h ^ static_cast<uint8_t>(text[i])) * 16777619u;
    return h;
}
inline uint32_t key_hash(uint32_t key) {
    if (key_is_integer(key)) return key * 0x9E3779B1u;
    return text_hash(name_text(value_payload(key)), name_length(value_payload(key)));
}
inline uint32_t slot_of(uint32_t hash, uint32_t mask) { return (hash ^ hash >> 15) & mask; }

// Whether a key word is the name with this text.
inline bool key_has_text(uint32_t key, const char* text, uint32_t length) {
    if (key_is_integer(key)) return false;
    const uint32_t name = value_payload(key);
    return name_length(name) == length && (length == 0 || std::memcmp(name_text(name), text, length) == 0);
}

void drop(ObjectIndex& index) {
    std::free(index.slots);
    const Value object = index.object;
    index = ObjectIndex{};
    release(object);
}

// Enters pair i (whose key is not in the table yet).
inline void insert(ObjectIndex& index, uint32_t key, uint32_t i) {
    uint32_t s = slot_of(key_hash(key), index.mask);
    while (index.slots[s] != 0) s = (s + 1) & index.mask;
    index.slots[s] = i + 1;
}

// Rebuilds the table for the object's pairs as they stand, at most a
// quarter full (it is rebuilt larger once it is half full).
void rebuild(ObjectIndex& index, const ObjectCell* cell) {
    uint32_t size = 64;
    while (size < 4 * uint32_t(cell->count)) size *= 2;
    auto* slots = static_cast<uint32_t*>(std::calloc(size, sizeof(uint32_t)));
    if (slots == nullptr) out_of_memory();
    std::free(index.slots);
    index.slots = slots;
    index.mask = size - 1;
    index.pairs = cell->pairs;
    const uint8_t* pairs = pairs_of(cell);
    for (uint32_t i = 0; i < cell->count; ++i) insert(index, key_at(pairs, i), i);
    index.synced = cell->count;
}

// Brings the index up to the pairs appended since it last looked.
void catch_up(ObjectIndex& index, const ObjectCell* cell) {
    if (2 * uint32_t(cell->count) > index.mask) {
        rebuild(index, cell);
        return;
    }
    const uint8_t* pairs = pairs_of(cell);
    for (uint32_t i = index.synced; i < cell->count; ++i) insert(index, key_at(pairs, i), i);
    index.synced = cell->count;
}

// The index made for this object, as long as it still matches the pair
// area and no pair was taken away since; null otherwise.
ObjectIndex* matching_index(Value object, const ObjectCell* cell) {
    const uint32_t n = index_number(cell);
    if (n == 0 || n > INDEX_LIMIT) return nullptr;
    ObjectIndex& index = g_library.indexes[n - 1];
    if (index.object != object || index.slots == nullptr) return nullptr;
    if (index.pairs != cell->pairs || index.synced > cell->count) return nullptr;
    return &index;
}

// The index that describes this object now, or null.
ObjectIndex* current_index(Value object, const ObjectCell* cell) {
    const uint32_t n = index_number(cell);
    if (n == 0 || n > INDEX_LIMIT) return nullptr;
    ObjectIndex& index = g_library.indexes[n - 1];
    if (index.object != object || index.slots == nullptr) return nullptr;
    if (index.pairs != cell->pairs || index.synced > cell->count) {
        rebuild(index, cell);
    } else if (index.synced < cell->count) {
        catch_up(index, cell);
    }
    index.last_use = ++g_library.index_clock;
    return &index;
}

// Makes an index for the object: in a free place, else in the place of
// one whose object only the index still holds, else of the least recently
// used one.
ObjectIndex* new_index(Value object, ObjectCell* cell) {
    ObjectIndex* place = nullptr;
    for (ObjectIndex& index : g_library.indexes) {
        if (index.slots != nullptr) {
            const uint8_t* header = value_header(index.object);
            if (*header < HEADER_PERMANENT && (*header >> 4) == 1) drop(index);
        }
        if (index.slots == nullptr) {
            if (place == nullptr) place = &index;
        }
    }
    if (place == nullptr) {
        place = &g_library.indexes[0];
        for (ObjectIndex& index : g_library.indexes) {
            if (index.last_use < place->last_use) place = &index;
        }
        drop(*place);
    }
    rebuild(*place, cell);
    place->object = object;
    retain(object);
    place->last_use = ++g_library.index_clock;
    set_index_number(cell, uint32_t(place - g_library.indexes) + 1);
    return place;
}

int64_t indexed_find(const ObjectIndex& index, const uint8_t* pairs, uint32_t key) {
    for (uint32_t s = slot_of(key_hash(key), index.mask);; s = (s + 1) & index.mask) {
        const uint32_t entry = index.slots[s];
        if (entry == 0) return -1;
        if (key_at(pairs, entry - 1) == key) return entry - 1;
    }
}

int64_t indexed_find_text(const ObjectIndex& index, const uint8_t* pairs, const char* text, uint32_t length) {
    for (uint32_t s = slot_of(text_hash(text, length), index.mask);; s = (s + 1) & index.mask) {
        const uint32_t entry = index.slots[s];
        if (entry == 0) return -1;
        if (key_has_text(key_at(pairs, entry - 1), text, length)) return entry - 1;
    }
}

// The index that answers for this object now, made if need be.
ObjectIndex& index_for(Value object, ObjectCell* cell) {
    ObjectIndex* index = current_index(object, cell);
    return index != nullptr ? *index : *new_index(object, cell);
}

}  // namespace

void object_indexes_reset() {
    for (ObjectIndex& index : g_library.indexes) {
        std::free(index.slots);
        index = ObjectIndex{};
    }
    g_library.index_clock = 0;
}

int64_t object_index_find(Value object, uint32_t key) {
    ObjectCell* cell = cell_as<ObjectCell>(object);
    if (cell->count < INDEX_THRESHOLD) return linear_find(cell, key);
    return indexed_find(index_for(object, cell), pairs_of(cell), key);
}

int64_t object_index_find_text(Value object, const char* text, uint32_t length) {
    ObjectCell* cell = cell_as<ObjectCell>(object);
    if (cell->count < INDEX_THRESHOLD) {
        const uint8_t* pairs = pairs_of(cell);
        for (uint32_t i = 0; i < cell->count; ++i) {
            if (key_has_text(key_at(pairs, i), text, length)) return i;
        }
        return -1;
    }
    return indexed_find_text(index_for(object, cell), pairs_of(cell), text, length);
}

void object_index_append(Value object, uint32_t key, Value v) {
    ObjectCell* cell = cell_as<ObjectCell>(object);
    const uint32_t n = cell->count;
    ObjectIndex* index = matching_index(object, cell);
    if (n >= cell->capacity) {
        if (n >= OBJECT_CAPACITY_LIMIT) out_of_memory();
        const uint32_t capacity = grown_capacity(n);
        uint8_t* item = nullptr;
        const uint32_t reference = area_alloc(size_t(capacity) * 8, &item);
        std::memcpy(item, area_pointer(cell->pairs), size_t(n) * 8);
        area_free(cell->pairs);
        cell = cell_as<ObjectCell>(object);
        cell->pairs = reference;
        cell->capacity = static_cast<uint16_t>(capacity);
        // The object's index follows its pairs to the new area.
        if (index != nullptr) index->pairs = reference;
    }
    retain(v);
    uint8_t* pair = area_pointer(cell->pairs) + 8 * size_t(n);
    store_u32(pair, key);
    store_u32(pair + 4, v);
    cell->count = static_cast<uint16_t>(n + 1);
    if (index != nullptr && index->synced == n) {
        if (2 * (n + 1) > index->mask) {
            rebuild(*index, cell);
        } else {
            insert(*index, key & KEY_MASK, n);
            index->synced = n + 1;
        }
    }
}

void object_index_forget(Value object) {
    const uint32_t n = index_number(cell_as<ObjectCell>(object));
    if (n == 0 || n > INDEX_LIMIT) return;
    ObjectIndex& index = g_library.indexes[n - 1];
    if (index.object == object && index.slots != nullptr) drop(index);
}

}  // namespace kova

// The name table: interning identifiers and property names.
//
// Entries are appended and never removed, so a name index stays valid for
// the whole run. Lookup is a bisection of the key index followed by a text
// comparison among the entries that share the key.
#include "core/names.h"

#include <cstdlib>
#include <cstring>

#include "core/errors.h"

namespace kova {

NameTable g_names;

const char* const PREDEFINED_NAMES[PREDEFINED_NAME_COUNT] = {
    "undefined", "true", "false", "null", "NaN", "this", "Math", "column", "value", "console",
    "Object", "Function", "Connection", "name", "message", "Number", "Integer", "Float", "Date",
    "Error", "RegExp", "String", "Array", "Hash", "Exception", "typeof", "instanceof", "index",
    "indices", "input", "groups", "length", "no_authorization", "count", "sum", "max", "min",
    "average", "key", "group", "total", "total_count", "$set", "$inc", "$min", "$max", "$mul",
    "$rename", "$unset", "_c__o__l__m_", "_v__a__l_", "_k__e__y_", "new",
};

namespace {

// Name indexes live in 24 bits of a value; lengths in 24 bits of an entry.
constexpr uint32_t MAX_NAME_COUNT = 0x1000000;
constexpr size_t MAX_STORED_LENGTH = 0xFFFFFF;

[[noreturn]] void out_of_memory() { raise_runtime_error(1400, "メモリ領域を取得できません"); }

// Copies `used` bytes into a new block of `bytes` bytes and frees the old one.
void* grow_block(void* old_block, size_t used, size_t bytes) {
    void* block = std::malloc(bytes);
    if (block == nullptr) out_of_memory();
    if (used != 0) std::memcpy(block, old_block, used);
    std::free(old_block);
    return block;
}

// First position of the key index whose key is not below `key`.
uint32_t lower_bound(int32_t key) {
    uint32_t low = 0;
    uint32_t high = g_names.count;
    while (low < high) {
        const uint32_t middle = low + (high - low) / 2;
        if (g_names.sorted[middle].key < key) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

// Index of the entry holding exactly this text, or -1. `*position` receives
// the place in the key index where the key belongs.
int32_t lookup(const char* text, size_t length, int32_t key, uint32_t* position) {
    uint32_t i = lower_bound(key);
    *position = i;
    for (; i < g_names.count && g_names.sorted[i].key == key; ++i) {
        const uint32_t index = g_names.sorted[i].index;
        // The full length is compared, not the 8 bits of it inside the key,
        // so names past 255 bytes never match a shorter prefix.
        if (name_length(index) == length && (length == 0 || std::memcmp(name_text(index), text, length) == 0)) {
            return static_cast<int32_t>(index);
        }
    }
    return -1;
}

void release_storage() {
    std::free(g_names.entries);
    std::free(g_names.pool);
    std::free(g_names.sorted);
    g_names = NameTable{};
}

}  // namespace

uint32_t name_key(const char* text, size_t length) {
    uint32_t hash = 0;
    for (size_t k = 1; k <= length; ++k) {
        hash = (hash + uint32_t(k % 17) * static_cast<uint8_t>(text[k - 1])) & 0xFFFFFF;
    }
    return uint32_t(length << 24) | hash;
}

void names_reset() {
    release_storage();
    for (uint32_t i = 0; i < PREDEFINED_NAME_COUNT; ++i) {
        intern(PREDEFINED_NAMES[i], std::strlen(PREDEFINED_NAMES[i]));
    }
    g_names.predefined_count = g_names.count;
}

int32_t find_name(const char* text, size_t length) {
    uint32_t position = 0;
    return lookup(text, length, static_cast<int32_t>(name_key(text, length)), &position);
}

uint32_t intern(const char* text, size_t length) {
    const int32_t key = static_cast<int32_t>(name_key(text, length));
    uint32_t position = 0;
    const int32_t found = lookup(text, length, key, &position);
    if (found >= 0) return static_cast<uint32_t>(found);

    // Identifiers stop at 200 bytes, but property names made from strings
    // at run time have no such bound; up to 16 MiB they are stored whole.
    if (length > MAX_STORED_LENGTH || g_names.count >= MAX_NAME_COUNT) out_of_memory();

    if (g_names.count == g_names.capacity) {
        const uint32_t capacity = g_names.capacity + NAME_TABLE_STEP;
        g_names.entries = static_cast<NameEntry*>(
            grow_block(g_names.entries, g_names.count * sizeof(NameEntry), capacity * sizeof(NameEntry)));
        g_names.capacity = capacity;
    }
    if (g_names.count == g_names.sorted_capacity) {
        const uint32_t capacity = g_names.sorted_capacity + NAME_TABLE_STEP;
        g_names.sorted = static_cast<NameKeyPair*>(
            grow_block(g_names.sorted, g_names.count * sizeof(NameKeyPair), capacity * sizeof(NameKeyPair)));
        g_names.sorted_capacity = capacity;
    }
    const size_t needed = length + 2;  // the text, its NUL and one spare byte
    if (g_names.pool_used + needed > g_names.pool_capacity) {
        const size_t missing = g_names.pool_used + needed - g_names.pool_capacity;
        const size_t capacity =
            g_names.pool_capacity + (missing + NAME_TABLE_STEP - 1) / NAME_TABLE_STEP * NAME_TABLE_STEP;
        if (capacity > UINT32_MAX) out_of_memory();
        g_names.pool = static_cast<char*>(grow_block(g_names.pool, g_names.pool_used, capacity));
        g_names.pool_capacity = static_cast<uint32_t>(capacity);
    }

    const uint32_t index = g_names.count;
    NameEntry& entry = g_names.entries[index];
    entry.zero = 0;
    entry.length = static_cast<uint8_t>(length);
    entry.reserved[0] = static_cast<uint8_t>(length >> 8);
    entry.reserved[1] = static_cast<uint8_t>(length >> 16);
    entry.key = static_cast<uint32_t>(key);
    entry.offset = g_names.pool_used;
    char* stored = g_names.pool + g_names.pool_used;
    if (length != 0) std::memcpy(stored, text, length);
    stored[length] = '\0';
    stored[length + 1] = '\0';
    g_names.pool_used += static_cast<uint32_t>(needed);

    // Insert after every equal key so the index stays sorted.
    while (position < g_names.count && g_names.sorted[position].key == key) ++position;
    std::memmove(g_names.sorted + position + 1, g_names.sorted + position,
                 (g_names.count - position) * sizeof(NameKeyPair));
    g_names.sorted[position] = NameKeyPair{key, index};
    g_names.count = index + 1;
    return index;
}

}  // namespace kova

// The name table: interning identifiers and property names.
//
// Entries are appended and never removed, so a name index stays valid for
// the whole run.
#include "core/names.h"

#include <algorithm>
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

// A table of 2048 entries grows by half of itself (at least 2048), so that
// interning many keys does not copy the table once per 2048 of them.
uint32_t grown_capacity(uint32_t capacity) {
    const uint64_t step = capacity / 2 < NAME_TABLE_STEP ? NAME_TABLE_STEP : capacity / 2;
    const uint64_t grown = (capacity + step + NAME_TABLE_STEP - 1) / NAME_TABLE_STEP * NAME_TABLE_STEP;
    if (grown > UINT32_MAX) out_of_memory();
    return uint32_t(grown);
}

// A hash of the whole text, eight bytes at a step.
uint64_t text_hash(const char* text, size_t length) {
    constexpr uint64_t MULTIPLIER = 0xff51afd7ed558ccdULL;
    uint64_t hash = 0x9e3779b97f4a7c15ULL ^ length;
    for (; length >= 8; text += 8, length -= 8) {
        uint64_t word;
        std::memcpy(&word, text, 8);
        hash = (hash ^ word) * MULTIPLIER;
        hash ^= hash >> 32;
    }
    uint64_t tail = 0;
    if (length != 0) std::memcpy(&tail, text, length);
    hash = (hash ^ tail) * MULTIPLIER;
    return hash ^ (hash >> 29);
}

bool entry_holds(uint32_t index, const char* text, size_t length) {
    // The full length is compared, not the 8 bits of it inside the key, so
    // names past 255 bytes never match a shorter prefix.
    return name_length(index) == length && (length == 0 || std::memcmp(name_text(index), text, length) == 0);
}

void place_in_slots(uint32_t index) {
    uint32_t slot = uint32_t(text_hash(name_text(index), name_length(index))) & g_names.slot_mask;
    while (g_names.slots[slot] != 0) slot = (slot + 1) & g_names.slot_mask;
    g_names.slots[slot] = index + 1;
}

// Brings every entry into the hash slots (entries taken over from an image
// arrive without them), doubling the slots to stay at most half full.
void hash_new_entries() {
    const uint32_t slot_count = g_names.slot_mask + 1;
    if (g_names.slots == nullptr || uint64_t(g_names.count) * 2 > slot_count) {
        uint64_t wanted = g_names.slots == nullptr ? 128 : slot_count;
        while (uint64_t(g_names.count) * 2 > wanted) wanted *= 2;
        void* slots = std::calloc(wanted, sizeof(uint32_t));
        if (slots == nullptr) out_of_memory();
        std::free(g_names.slots);
        g_names.slots = static_cast<uint32_t*>(slots);
        g_names.slot_mask = uint32_t(wanted - 1);
        g_names.hashed_count = 0;
    }
    for (; g_names.hashed_count < g_names.count; ++g_names.hashed_count) place_in_slots(g_names.hashed_count);
}

// Index of the entry holding exactly this text, or -1.
int32_t lookup(const char* text, size_t length) {
    if (g_names.hashed_count != g_names.count || g_names.slots == nullptr) hash_new_entries();
    uint32_t slot = uint32_t(text_hash(text, length)) & g_names.slot_mask;
    for (uint32_t held; (held = g_names.slots[slot]) != 0; slot = (slot + 1) & g_names.slot_mask) {
        if (entry_holds(held - 1, text, length)) return static_cast<int32_t>(held - 1);
    }
    return -1;
}

void release_storage() {
    std::free(g_names.entries);
    std::free(g_names.pool);
    std::free(g_names.sorted);
    std::free(g_names.slots);
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
    name_key_index();
}

int32_t find_name(const char* text, size_t length) { return lookup(text, length); }

uint32_t intern(const char* text, size_t length) {
    const int32_t found = lookup(text, length);
    if (found >= 0) return static_cast<uint32_t>(found);

    // Identifiers stop at 200 bytes, but property names made from strings
    // at run time have no such bound; up to 16 MiB they are stored whole.
    if (length > MAX_STORED_LENGTH || g_names.count >= MAX_NAME_COUNT) out_of_memory();

    if (g_names.count == g_names.capacity) {
        const uint32_t capacity = grown_capacity(g_names.capacity);
        g_names.entries = static_cast<NameEntry*>(
            grow_block(g_names.entries, g_names.count * sizeof(NameEntry), capacity * sizeof(NameEntry)));
        g_names.capacity = capacity;
    }
    const size_t needed = length + 2;  // the text, its NUL and one spare byte
    if (g_names.pool_used + needed > g_names.pool_capacity) {
        const size_t missing = g_names.pool_used + needed - g_names.pool_capacity;
        size_t capacity = grown_capacity(g_names.pool_capacity);
        if (capacity < size_t(g_names.pool_capacity) + missing) {
            capacity = g_names.pool_capacity + (missing + NAME_TABLE_STEP - 1) / NAME_TABLE_STEP * NAME_TABLE_STEP;
        }
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
    entry.key = name_key(text, length);
    entry.offset = g_names.pool_used;
    char* stored = g_names.pool + g_names.pool_used;
    if (length != 0) std::memcpy(stored, text, length);
    stored[length] = '\0';
    stored[length + 1] = '\0';
    g_names.pool_used += static_cast<uint32_t>(needed);

    g_names.count = index + 1;
    hash_new_entries();
    return index;
}

const NameKeyPair* name_key_index() {
    const uint32_t done = g_names.sorted_count;
    const uint32_t count = g_names.count;
    if (done == count) return g_names.sorted;
    if (count > g_names.sorted_capacity) {
        g_names.sorted = static_cast<NameKeyPair*>(
            grow_block(g_names.sorted, size_t(done) * sizeof(NameKeyPair), size_t(count) * sizeof(NameKeyPair)));
        g_names.sorted_capacity = count;
    }
    NameKeyPair* pairs = g_names.sorted;
    for (uint32_t i = done; i < count; ++i) pairs[i] = NameKeyPair{int32_t(g_names.entries[i].key), i};
    // Stable throughout: entries of equal key keep the order they were
    // interned in, as inserting each after its equals would have left them.
    const auto by_key = [](const NameKeyPair& a, const NameKeyPair& b) { return a.key < b.key; };
    std::stable_sort(pairs + done, pairs + count, by_key);
    std::inplace_merge(pairs, pairs + done, pairs + count, by_key);
    g_names.sorted_count = count;
    return pairs;
}

void adopt_names(NameEntry* entries, uint32_t count, NameKeyPair* sorted, char* pool, uint32_t pool_size) {
    release_storage();
    g_names.entries = entries;
    g_names.count = count;
    g_names.capacity = count;
    g_names.sorted = sorted;
    g_names.sorted_count = count;
    g_names.sorted_capacity = count;
    g_names.pool = pool;
    g_names.pool_used = pool_size;
    g_names.pool_capacity = pool_size + 1;
    g_names.predefined_count = PREDEFINED_NAME_COUNT;
}

}  // namespace kova

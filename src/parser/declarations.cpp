// The global table and the parse-time name lists.
#include "parser/declarations.h"

#include <cstdlib>
#include <cstring>

#include "core/errors.h"
#include "parser/parser.h"

namespace kova {

GlobalTable g_globals;

namespace {

constexpr uint32_t NAME_LIST_STEP = 256;

[[noreturn]] void out_of_memory() { raise_runtime_error(1400, "メモリ領域を取得できません"); }

// Appends to one of the parser's name lists, growing it by copying.
void append_name(Value** items, uint32_t* count, uint32_t* capacity, uint32_t name) {
    if (*count == *capacity) {
        const uint32_t grown = *capacity + NAME_LIST_STEP;
        auto* copy = static_cast<Value*>(std::malloc(size_t(grown) * sizeof(Value)));
        if (copy == nullptr) out_of_memory();
        if (*count != 0) std::memcpy(copy, *items, size_t(*count) * sizeof(Value));
        std::free(*items);
        *items = copy;
        *capacity = grown;
    }
    (*items)[(*count)++] = name;
}

bool in_range(const Value* items, uint32_t from, uint32_t to, uint32_t name) {
    for (uint32_t i = from; i < to; ++i) {
        if (items[i] == name) return true;
    }
    return false;
}

}  // namespace

void declarations_reset() {
    if (g_globals.slots != g_globals.initial) std::free(g_globals.slots);
    g_globals.slots = g_globals.initial;
    g_globals.count = 0;
    g_globals.capacity = GLOBAL_TABLE_STEP;

    std::free(g_parser.local_names);
    g_parser.local_names = nullptr;
    g_parser.local_count = 0;
    g_parser.local_capacity = 0;
    g_parser.function_start = 0;
    g_parser.in_function = false;
    std::free(g_parser.block_names);
    g_parser.block_names = nullptr;
    g_parser.block_count = 0;
    g_parser.block_capacity = 0;
    g_parser.block_start = 0;
    g_parser.in_block = false;
}

int32_t global_find(uint32_t name) {
    for (uint32_t i = 0; i < g_globals.count; ++i) {
        if ((g_globals.slots[i].name & SLOT_NAME_MASK) == name) return int32_t(i);
    }
    return -1;
}

uint32_t global_add(uint32_t name, Value value) {
    if (g_globals.slots == nullptr) {
        // Before the first reset the static storage is not wired in yet.
        g_globals.slots = g_globals.initial;
        g_globals.capacity = GLOBAL_TABLE_STEP;
    }
    if (g_globals.count == g_globals.capacity) {
        const uint32_t grown = g_globals.capacity + GLOBAL_TABLE_STEP;
        auto* slots = static_cast<GlobalSlot*>(std::malloc(size_t(grown) * sizeof(GlobalSlot)));
        if (slots == nullptr) out_of_memory();
        std::memcpy(slots, g_globals.slots, size_t(g_globals.count) * sizeof(GlobalSlot));
        if (g_globals.slots != g_globals.initial) std::free(g_globals.slots);
        g_globals.slots = slots;
        g_globals.capacity = grown;
    }
    const uint32_t index = g_globals.count++;
    g_globals.slots[index] = GlobalSlot{name, value};
    return index;
}

uint32_t global_declare(uint32_t name) {
    const int32_t found = global_find(name);
    return found >= 0 ? uint32_t(found) : global_add(name, 0);
}

bool local_name_declared(uint32_t name) {
    return in_range(g_parser.local_names, g_parser.function_start, g_parser.local_count, name);
}

void declare_var_name(uint32_t name) {
    if (!g_parser.in_function) {
        global_declare(name);
        return;
    }
    if (local_name_declared(name)) return;
    append_name(&g_parser.local_names, &g_parser.local_count, &g_parser.local_capacity, name);
}

void push_block_name(uint32_t name) {
    append_name(&g_parser.block_names, &g_parser.block_count, &g_parser.block_capacity, name);
}

bool block_name_declared(uint32_t name) {
    return in_range(g_parser.block_names, g_parser.block_start, g_parser.block_count, name);
}

}  // namespace kova

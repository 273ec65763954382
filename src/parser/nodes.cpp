// The node builder and the table of node kinds at which the debugger may
// stop.
#include "parser/nodes.h"

#include <cstring>

#include "parser/parser.h"

namespace kova {

StopTable g_stop_table;

namespace {

constexpr uint32_t KIND_BASE = 100;
constexpr uint32_t KIND_BLOCK = 155;
constexpr uint32_t KIND_SWITCH = 170;
constexpr uint32_t COUNT_IN_POSITION = 255;

// Stopping kinds as (first, last) ranges, zero-terminated.
constexpr uint8_t STOP_KINDS[] = {
    101, 104, 123, 131, 139, 139, 141, 143, 147, 154, 156, 158,
    160, 160, 162, 167, 169, 227, 0,
};

}  // namespace

void stop_table_init() {
    std::memset(g_stop_table.may_stop, 0, sizeof g_stop_table.may_stop);
    for (const uint8_t* range = STOP_KINDS; range[0] != 0; range += 2) {
        for (uint32_t kind = range[0]; kind <= range[1]; ++kind) g_stop_table.may_stop[kind - KIND_BASE] = true;
    }
}

Value make_node(uint32_t kind, uint32_t count, const Value* operands, uint32_t position) {
    Cell* raw = nullptr;
    const Value node = new_cell(TAG_NODE, 0, &raw);
    auto* cell = reinterpret_cast<NodeCell*>(raw);

    uint8_t module = uint8_t(g_parser.module & 0x7F);
    if (kind != KIND_SWITCH) {
        const bool may_stop = kind >= KIND_BASE && kind - KIND_BASE < 128 && g_stop_table.may_stop[kind - KIND_BASE];
        if (!may_stop || g_parser.run_time) module |= NO_STOP_MARK;
    }
    cell->module = module;
    cell->operation = uint8_t(kind);
    // A count that does not fit the byte (a block of 255 statements or
    // more) moves to the position word, which such a node does not need.
    if (count >= COUNT_IN_POSITION) {
        cell->operand_count = COUNT_IN_POSITION;
        cell->position = count;
    } else {
        cell->operand_count = uint8_t(count);
        cell->position = kind == KIND_BLOCK ? 0 : position;
    }

    if (count <= 2) {
        cell->first = count >= 1 ? operands[0] : 0;
        cell->second = count == 2 ? operands[1] : 0;
    } else {
        uint8_t* item = nullptr;
        const uint32_t reference = area_alloc(size_t(count) * 4, &item);
        for (uint32_t i = 0; i < count; ++i) store_u32(item + 4 * i, operands[i]);
        cell->first = reference;
        cell->second = 0;
    }
    for (uint32_t i = 0; i < count; ++i) retain(operands[i]);
    return node;
}

}  // namespace kova

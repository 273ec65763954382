// Node records (tag 13) and function records (tag 14), and the node builder
// every parser routine uses.
#pragma once

#include <cstdint>

#include "core/areas.h"
#include "core/value.h"

namespace kova {

inline constexpr uint8_t NO_STOP_MARK = 0x80;

// Kinds at which the debugger may stop, indexed by kind - 100.
struct StopTable {
    bool may_stop[128];
};
extern StopTable g_stop_table;
// Fills the table once at start-up.
void stop_table_init();

// Builds a node; each operand is retained. Three or more operands go to an
// area item; a block of 255 or more statements keeps its count in the
// position word.
Value make_node(uint32_t kind, uint32_t count, const Value* operands, uint32_t position);

inline uint32_t node_kind(Value node) { return cell_as<NodeCell>(node)->operation; }
inline uint32_t node_count(Value node) {
    const NodeCell* cell = cell_as<NodeCell>(node);
    return cell->operand_count == 255 ? cell->position : cell->operand_count;
}
inline Value node_operand(Value node, uint32_t i) {
    const NodeCell* cell = cell_as<NodeCell>(node);
    const uint32_t count = cell->operand_count;
    if (count <= 2) return i == 0 ? cell->first : cell->second;
    return load_u32(area_pointer(cell->first) + 4 * i);
}

}  // namespace kova

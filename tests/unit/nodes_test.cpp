// Node records: operand storage, counts, retained operands and the no-stop
// mark.
#include "parser/nodes.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "parser/parser.h"

namespace kova {
namespace {

class NodesTest : public ::testing::Test {
protected:
    void SetUp() override {
        areas_reset();
        names_reset();
        errors_reset();
        parser_reset();
        stop_table_init();
        g_parser.module = 5;
    }
    static uint8_t header_of(Value v) { return *value_header(v); }
};

TEST_F(NodesTest, StopTableHoldsExactlyTheListedKinds) {
    const struct {
        uint32_t first;
        uint32_t last;
    } ranges[] = {{101, 104}, {123, 131}, {139, 139}, {141, 143}, {147, 154}, {156, 158},
                  {160, 160}, {162, 167}, {169, 227}};
    for (uint32_t kind = 100; kind < 228; ++kind) {
        bool listed = false;
        for (const auto& r : ranges) listed = listed || (kind >= r.first && kind <= r.last);
        EXPECT_EQ(g_stop_table.may_stop[kind - 100], listed) << "kind " << kind;
    }
}

TEST_F(NodesTest, UpToTwoOperandsAreInlineAndRetained) {
    const Value a = new_integer(7);
    const Value b = new_integer(8);
    const Value operands[] = {a, b};
    const Value node = make_node(118, 2, operands, 0x00050003);
    ASSERT_EQ(value_tag(node), TAG_NODE);
    const NodeCell* cell = cell_as<NodeCell>(node);
    EXPECT_EQ(cell->header, make_header(TAG_NODE, 0));
    EXPECT_EQ(cell->operand_count, 2);
    EXPECT_EQ(node_kind(node), 118u);
    EXPECT_EQ(cell->first, a);
    EXPECT_EQ(cell->second, b);
    EXPECT_EQ(cell->position, 0x00050003u);
    EXPECT_EQ(header_of(a), make_header(TAG_INTEGER, 1));
    EXPECT_EQ(header_of(b), make_header(TAG_INTEGER, 1));

    const Value one = make_node(154, 1, operands, 9);
    EXPECT_EQ(cell_as<NodeCell>(one)->first, a);
    EXPECT_EQ(cell_as<NodeCell>(one)->second, 0u);
    EXPECT_EQ(header_of(a), make_header(TAG_INTEGER, 2));
    const Value none = make_node(156, 0, nullptr, 9);
    EXPECT_EQ(cell_as<NodeCell>(none)->first, 0u);
    EXPECT_EQ(node_count(none), 0u);
}

TEST_F(NodesTest, ThreeOrMoreOperandsGoToAnAreaItem) {
    const Value operands[] = {new_integer(1), NAME_TRUE, new_integer(3)};
    const Value node = make_node(139, 3, operands, 0x00010002);
    const NodeCell* cell = cell_as<NodeCell>(node);
    EXPECT_EQ(cell->operand_count, 3);
    EXPECT_EQ(cell->second, 0u);
    EXPECT_EQ(area_class(cell->first), 0u);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(node_operand(node, i), operands[i]);
    EXPECT_EQ(header_of(operands[0]), make_header(TAG_INTEGER, 1));
    EXPECT_EQ(header_of(operands[2]), make_header(TAG_INTEGER, 1));
    EXPECT_EQ(cell->position, 0x00010002u);
}

TEST_F(NodesTest, LargeBlocksKeepTheirCountInThePositionWord) {
    for (uint32_t count : {3u, 254u, 255u, 300u}) {
        SCOPED_TRACE(count);
        std::vector<Value> statements;
        for (uint32_t i = 0; i < count; ++i) statements.push_back(new_integer(int32_t(i)));
        const Value block = make_node(155, count, statements.data(), 0x00070001);
        const NodeCell* cell = cell_as<NodeCell>(block);
        EXPECT_EQ(cell->operand_count, count >= 255 ? 255 : count);
        EXPECT_EQ(cell->position, count >= 255 ? count : 0u);  // a block has no position
        EXPECT_EQ(node_count(block), count);
        EXPECT_EQ(node_operand(block, count - 1), statements.back());
        EXPECT_EQ(header_of(statements.back()), make_header(TAG_INTEGER, 1));
    }
}

TEST_F(NodesTest, NoStopMarkFollowsKindAndParseMode) {
    const struct {
        uint32_t kind;
        bool run_time;
        uint8_t module_byte;
    } cases[] = {
        {147, false, 5},           // a stopping kind in module code
        {147, true, 5 | 0x80},     // the same kind in run-time text
        {118, false, 5 | 0x80},    // "+" is never a stopping point
        {118, true, 5 | 0x80},
        {155, false, 5 | 0x80},    // nor is a block
        {170, false, 5},           // switch: the module number alone
        {170, true, 5},
        {227, false, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        g_parser.run_time = c.run_time;
        const Value node = make_node(c.kind, 0, nullptr, 1);
        EXPECT_EQ(cell_as<NodeCell>(node)->module, c.module_byte);
    }
    g_parser.run_time = false;
    g_parser.module = 127;
    EXPECT_EQ(cell_as<NodeCell>(make_node(148, 0, nullptr, 1))->module, 127);
}

}  // namespace
}  // namespace kova

// The statement parser: node layouts of the statements, declaration lists,
// function records, switch tables and the top call text.
#include <gtest/gtest.h>

#include <string>

#include "parser/top_call.h"
#include "parser_fixture.h"

namespace kova::parser_test {
namespace {

using StatementTest = ParserTest;

std::vector<Value> item_words(uint32_t reference, uint32_t count) {
    std::vector<Value> words(count);
    for (uint32_t i = 0; i < count; ++i) words[i] = load_u32(area_pointer(reference) + 4 * i);
    return words;
}

TEST_F(StatementTest, SimpleStatementShapes) {
    const struct {
        const char* text;
        const char* shape;
    } cases[] = {
        {"if (a) b; else c;", "147(a,b,c)"},
        {"if (a) { b; }", "147(a,155(b))"},
        {"while (a < 3) a++;", "148(117(a,3),101(a))"},
        {"do { a(); } while (b);", "149(155(160(a,[])),b)"},
        {"throw e;", "154(e)"},
        {"return;", "158()"},
        {"return a + 1;", "158(118(a,1))"},
        {"while (a) { break; continue; }", "148(a,155(156(),157()))"},
        {"var a = 1, b;", "141(123(a,1),b)"},
        {"{ let x = 1; const y = x; }", "155(142(123(x,1)),143(123(y,x)))"},
        {"select(db, sql);", "162(db,sql)"},
        {"selectInto(db, sql, a, b);", "181(db,sql,a,b)"},
        {"sendToFront('name');", "169(\"name\")"},
        {"sendToFront(a + b, c);", "169(118(a,b),c)"},
        {"parseInt();", "178()"},
        {"eval(s);", "179(s)"},
        {"alertToFront(m);", "191(m)"},
        {"closeDb(db);", "180(db)"},
        {"sql_aggregate(db, sql, groups, 1);", "194(db,sql,groups,1)"},
        {"function f(a, b = 1) { return a; }", "123(f,function(a,123(b,1))155(158(a)))"},
    };
    for (const auto& c : cases) {
        const std::vector<Value> nodes = statements(c.text);
        ASSERT_EQ(nodes.size(), 1u) << c.text;
        EXPECT_EQ(show(nodes[0]), c.shape) << c.text;
    }
}

TEST_F(StatementTest, StatementListSkipsEmptyStatementsAndRetains) {
    const std::vector<Value> nodes = statements(";; a = 1;\n\n;b();  function f() {} c = 2");
    ASSERT_EQ(nodes.size(), 4u);
    EXPECT_EQ(show(nodes[3]), "123(c,2)");
    EXPECT_EQ(*value_header(nodes[0]), make_header(TAG_NODE, 1));
    EXPECT_EQ(cell_as<NodeCell>(nodes[1])->position & 0xFFFF, 3u);
}

TEST_F(StatementTest, ThreePartForPacksItsCounts) {
    const std::vector<Value> nodes = statements("for (i = 0, j = 1; i < 3; i++) x;");
    ASSERT_EQ(nodes.size(), 1u);
    const Value loop = nodes[0];
    ASSERT_EQ(node_kind(loop), 150u);
    ASSERT_EQ(node_count(loop), 3u);
    EXPECT_EQ(node_operand(loop, 1), (2u << 16) + 1);
    const std::vector<Value> parts = item_words(node_operand(loop, 0), 4);
    EXPECT_EQ(show(parts[0]), "123(i,0)");
    EXPECT_EQ(show(parts[1]), "123(j,1)");
    EXPECT_EQ(show(parts[2]), "117(i,3)");
    EXPECT_EQ(show(parts[3]), "101(i)");
    EXPECT_EQ(show(node_operand(loop, 2)), "x");

    const Value single = statements("for (i = 0; i < 3; i++) {}")[0];
    EXPECT_EQ(node_operand(single, 1), (1u << 16) + 1);
}

TEST_F(StatementTest, IterationForForms) {
    const struct {
        const char* text;
        uint32_t kind;
        uint32_t flag;
    } cases[] = {
        {"for (const k in h) x;", 152, 1},
        {"for (let v of list) x;", 151, 0},
        {"for (v of list) x;", 151, 0},
        {"for (var v in h) x;", 152, 2},
    };
    for (const auto& c : cases) {
        const Value loop = statements(c.text)[0];
        ASSERT_EQ(node_kind(loop), c.kind) << c.text;
        ASSERT_EQ(node_count(loop), 4u) << c.text;
        EXPECT_EQ(node_operand(loop, 3), c.flag) << c.text;
        EXPECT_EQ(show(node_operand(loop, 2)), "x") << c.text;
    }
    // only the var form declares the name
    EXPECT_GE(global_find(intern("v", 1)), 0);
    EXPECT_LT(global_find(intern("k", 1)), 0);
}

TEST_F(StatementTest, LetInForInitialiserBelongsToTheLoop) {
    EXPECT_EQ(statement_error("{ for (let i = 0; i < 2; i++) {} for (let i = 0; i < 2; i++) {} }"), "");
    EXPECT_EQ(statement_error("{ for (let i = 0; i < 2; i++) {} let i; }"), "");
}

TEST_F(StatementTest, TryLayouts) {
    const Value with_finally = statements("try { a(); } finally { b(); }")[0];
    ASSERT_EQ(node_kind(with_finally), 153u);
    ASSERT_EQ(node_count(with_finally), 3u);
    EXPECT_EQ(node_operand(with_finally, 1), 0u);
    EXPECT_EQ(show(node_operand(with_finally, 2)), "155(160(b,[]))");

    const Value with_catch = statements("try { a(); } catch (e) { b(e); }")[0];
    ASSERT_EQ(node_count(with_catch), 2u);
    const std::vector<Value> item = item_words(node_operand(with_catch, 1), 3);
    EXPECT_EQ(show(item[0]), "e");
    EXPECT_EQ(show(item[1]), "155(160(b,[e]))");
    EXPECT_EQ(item[2], 0u);

    const Value both = statements("try {} catch (e) {} finally {}")[0];
    ASSERT_EQ(node_count(both), 3u);
    EXPECT_NE(node_operand(both, 1), 0u);
}

TEST_F(StatementTest, BlockOf300StatementsKeepsItsCountInThePositionWord) {
    std::string text = "{";
    for (int i = 0; i < 300; ++i) text += "a" + std::to_string(i) + ";";
    text += "}";
    const Value block = statements(text)[0];
    const NodeCell* cell = cell_as<NodeCell>(block);
    EXPECT_EQ(cell->operand_count, 255);
    EXPECT_EQ(cell->position, 300u);
    EXPECT_EQ(show(node_operand(block, 299)), "a299");
    EXPECT_EQ(cell_as<NodeCell>(statements("{ a; }")[0])->position, 0u);
}

TEST_F(StatementTest, DeclarationLists) {
    EXPECT_EQ(statement_error("var a = 1, a = 2;"), "");
    const uint32_t a = intern("a", 1);
    ASSERT_GE(global_find(a), 0);
    uint32_t copies = 0;
    for (uint32_t i = 0; i < g_globals.count; ++i) copies += (g_globals.slots[i].name & SLOT_NAME_MASK) == a;
    EXPECT_EQ(copies, 1u);

    EXPECT_EQ(statement_error("{ let b; } { let b; }"), "");
    EXPECT_EQ(statement_error("{ let c; { let c; } }"), "");
    EXPECT_EQ(statement_error("function g() { var x; var x; }"), "");
    // a function's var names are its own, not globals
    EXPECT_LT(global_find(intern("x", 1)), 0);
    EXPECT_GE(global_find(intern("g", 1)), 0);
}

TEST_F(StatementTest, GlobalTableGrowsPast512) {
    std::string text;
    for (int i = 0; i < 600; ++i) text += "var v" + std::to_string(i) + ";";
    statements(text);
    EXPECT_EQ(g_globals.count, 600u);
    EXPECT_NE(g_globals.slots, g_globals.initial);
    EXPECT_EQ(std::string(name_text(g_globals.slots[599].name)), "v599");
}

TEST_F(StatementTest, FunctionRecords) {
    const Value declaration =
        statements("function f(a, b = a) {\n var x = 1;\n function inner(q) { var z; }\n var y; var x;\n}")[0];
    ASSERT_EQ(node_kind(declaration), 123u);
    EXPECT_EQ(show(node_operand(declaration, 0)), "f");
    const Value function = node_operand(declaration, 1);
    ASSERT_EQ(value_tag(function), TAG_FUNCTION);
    const FunctionCell* record = cell_as<FunctionCell>(function);
    EXPECT_EQ(record->module, 0);
    EXPECT_EQ(record->parameter_count, 2);
    EXPECT_EQ(record->local_count, 3);  // x, inner, y; z belongs to inner
    EXPECT_EQ(record->position, 1u | 5u << 16);
    const std::vector<Value> names = item_words(record->names, 5);
    std::string listed;
    for (Value v : names) listed += show(v) + " ";
    EXPECT_EQ(listed, "a 123(b,a) x inner y ");
    EXPECT_EQ(node_kind(record->body), 155u);

    const Value anonymous = values("function () {}")[0];
    ASSERT_EQ(value_tag(anonymous), TAG_FUNCTION);
    EXPECT_EQ(cell_as<FunctionCell>(anonymous)->names, 0u);
    EXPECT_EQ(g_parser.local_count, 0u);
    EXPECT_FALSE(g_parser.in_function);
}

TEST_F(StatementTest, SwitchTables) {
    const Value node = statements("switch (x) { case 1: a(); case 'b': c(); d(); break; default: e(); }")[0];
    ASSERT_EQ(node_kind(node), 170u);
    ASSERT_EQ(node_count(node), 4u);
    EXPECT_EQ(show(node_operand(node, 0)), "x");
    EXPECT_EQ(node_operand(node, 3), 1u);
    // the switch node's module byte holds the module number alone
    EXPECT_EQ(cell_as<NodeCell>(node)->module, 0);

    const std::vector<Value> table = item_words(node_operand(node, 1), 8);
    EXPECT_EQ(table[0], 4u);  // entries, header included
    EXPECT_EQ(table[1], 5u);  // statements
    EXPECT_EQ(table[2], 0u);
    EXPECT_EQ(table[3], 4u);  // default starts at e()
    EXPECT_EQ(show(table[4]), "1");
    EXPECT_EQ(table[5], 0u);
    EXPECT_EQ(show(table[6]), "\"b\"");
    EXPECT_EQ(table[7], 1u);
    const std::vector<Value> list = item_words(node_operand(node, 2), 5);
    std::string shown;
    for (Value v : list) shown += show(v) + " ";
    EXPECT_EQ(shown, "160(a,[]) 160(c,[]) 160(d,[]) 156() 160(e,[]) ");

    const Value without_default = statements("switch (x) { case 1: a(); }")[0];
    EXPECT_EQ(node_operand(without_default, 3), 0u);
}

TEST_F(StatementTest, SwitchAccepts1022CaseLabels) {
    std::string text = "switch (x) {";
    for (int i = 0; i < 1022; ++i) text += " case " + std::to_string(i) + ":";
    const std::string accepted = text + " y(); }";
    EXPECT_EQ(statement_error(accepted), "");
    const std::string refused = text + " case 1022: y(); }";
    EXPECT_EQ(statement_error(refused).substr(0, 33), "PARSE ERROR 1150 (t.js:1) : switc");
}

TEST_F(StatementTest, NoStopMarkFollowsTheParseMode) {
    const Value module_if = statements("if (a) b;")[0];
    EXPECT_EQ(cell_as<NodeCell>(module_if)->module & NO_STOP_MARK, 0);
    const Value module_add = statements("a + b;")[0];
    EXPECT_EQ(cell_as<NodeCell>(module_add)->module & NO_STOP_MARK, NO_STOP_MARK);

    Value call = 0;
    parse_top_call(source("main(1, a.b)"), &call);
    EXPECT_EQ(show(call), "160(main,[1,145(a,b)])");
    EXPECT_EQ(cell_as<NodeCell>(call)->module & NO_STOP_MARK, NO_STOP_MARK);
    EXPECT_FALSE(g_parser.run_time);
}

TEST_F(StatementTest, KeywordStatementsInsideExpressions) {
    EXPECT_EQ(show(statements("x = select(db, q);")[0]), "123(x,162(db,q))");
    EXPECT_EQ(show(statements("h = {'select': 1};")[0]), "123(h,{select:1})");
    // redis_ and mongo_ words are keywords only as a whole cell
    EXPECT_EQ(show(statements("redis = 1;")[0]), "123(redis,1)");
}

}  // namespace
}  // namespace kova::parser_test

// The expression parser: tokens, reduction order and grouping, built-in
// constructions, literals and their values.
#include <gtest/gtest.h>

#include <string>

#include "parser/literals.h"
#include "parser_fixture.h"

namespace kova::parser_test {
namespace {

using ExpressionTest = ParserTest;

TEST_F(ExpressionTest, OperatorsGroupAsTheLevelsSay) {
    const struct {
        const char* text;
        const char* shape;
    } cases[] = {
        // chains are made kind by kind: "+" before "-", "*" before "/"
        {"a - b + c", "119(a,118(b,c))"},
        {"10 - 2 + 3", "119(10,118(2,3))"},
        {"a / b * c", "121(a,120(b,c))"},
        {"a + b + c", "118(a,b,c)"},
        {"a + b - c + d", "119(118(a,b),118(c,d))"},
        {"a * b + c * d", "118(120(a,b),120(c,d))"},
        {"a % b % c", "122(a,b,c)"},
        // right to left
        {"x = y = 3", "123(x,123(y,3))"},
        {"2 ** 3 ** 2", "161(2,161(3,2))"},
        {"c ? a : b ? d : e", "139(c,a,139(b,d,e))"},
        {"c ? x ? y : z : w", "139(c,139(x,y,z),w)"},
        {"x += a ? b : c", "124(x,139(a,b,c))"},
        // left to right
        {"a << b >> c", "137(136(a,b),c)"},
        {"a < b == c >= d", "110(117(a,b),114(c,d))"},
        {"a == b != c", "112(110(a,b),c)"},
        {"a.b(c)[d]", "144(160(145(a,b),[c]),d)"},
        // logical and bitwise levels
        {"a && b || c && d", "109(108(a,b),108(c,d))"},
        {"a & b | c ^ d", "133(132(a,b),134(c,d))"},
        {"a || b || c", "109(a,b,c)"},
        // unary
        {"a++ + --b", "118(101(a),104(b))"},
        {"!!x", "107(107(x))"},
        {"!typeof x", "107(105(x))"},
        {"typeof x === 'y'", "111(105(x),\"y\")"},
        {"~a & b", "132(135(a),b)"},
        {"x instanceof Array", "106(x,Array)"},
        // groups and calls
        {"(a, b)", "159(a,b)"},
        {"()", "159()"},
        {"(a + b) * c", "120(159(118(a,b)),c)"},
        {"f(a, b)(c)", "160(160(f,[a,b]),[c])"},
        {"f()", "160(f,[])"},
        // keywords after "." are member names
        {"obj.select", "145(obj,select)"},
        {"obj.for.if", "145(145(obj,for),if)"},
        // signed literals only where an operand is expected
        {"-5", "-5"},
        {"a - -5", "119(a,-5)"},
        {"a-5", "119(a,5)"},
        {"f(-1, +2)", "160(f,[-1,2])"},
    };
    for (const auto& c : cases) EXPECT_EQ(shape(c.text), c.shape) << c.text;
}

TEST_F(ExpressionTest, NewAndBuiltInConstructions) {
    const struct {
        const char* text;
        const char* shape;
    } cases[] = {
        {"new Date", "183(Date,[])"},
        {"new Date(2024, 1)", "183(Date,[2024,1])"},
        {"new Foo(1, 2).x", "145(183(Foo,[1,2]),x)"},
        {"new Hash", "183(Hash,[])"},
        {"new Error('m')", "183(Error,[\"m\"])"},
        {"Array(1,2,3)", "189(1,2,3)"},
        {"Array()", "189()"},
        {"Integer", "186()"},
        {"Float(x)", "187(x)"},
        {"Error('m', 5)", "188(\"m\",5)"},
        {"Exception('m')", "184(\"m\")"},
        {"RegExp('a', 'g')", "182(\"a\",\"g\")"},
        // Number, Date and String without new are plain names
        {"Number(x)", "160(Number,[x])"},
        {"Date.now()", "160(145(Date,now),[])"},
        {"String", "String"},
        {"x = parseInt(s, 10)", "123(x,178(s,10))"},
    };
    for (const auto& c : cases) EXPECT_EQ(shape(c.text), c.shape) << c.text;
}

TEST_F(ExpressionTest, CommasSeparateValues) {
    EXPECT_EQ(values("1, 2, 3").size(), 3u);
    EXPECT_EQ(values("").size(), 0u);
    EXPECT_EQ(values("a b").size(), 2u);  // the caller's count check rejects it
    const std::vector<Value> stopped = values("a; b");
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(show(stopped[0]), "a");
}

TEST_F(ExpressionTest, NumberLiteralKinds) {
    const struct {
        const char* text;
        const char* shape;
    } cases[] = {
        {"2147483647", "2147483647"},
        {"-2147483648", "-2147483648"},
        {"2147483648", "2147483648f"},
        {"4294967295", "4294967295f"},
        {"-4294967296", "-4294967296f"},
        {"0x10", "16"},
        {"1.5", "1.5f"},
        {".5", "0.5f"},
        {"1e3", "1000f"},
    };
    for (const auto& c : cases) EXPECT_EQ(shape(c.text), c.shape) << c.text;
}

TEST_F(ExpressionTest, LongChainsAreClosedAt254Operands) {
    std::string text = "a0";
    for (int i = 1; i < 300; ++i) text += " + a" + std::to_string(i);
    const std::vector<Value> found = values(text);
    ASSERT_EQ(found.size(), 1u);
    const Value root = found[0];
    ASSERT_EQ(node_kind(root), 118u);
    EXPECT_EQ(node_count(root), 47u);  // the first 254 operands, then a254 .. a299
    const Value first = node_operand(root, 0);
    ASSERT_EQ(value_tag(first), TAG_NODE);
    EXPECT_EQ(node_count(first), 254u);
    EXPECT_EQ(show(node_operand(first, 253)), "a253");
    EXPECT_EQ(show(node_operand(root, 1)), "a254");
    EXPECT_EQ(show(node_operand(root, 46)), "a299");
}

TEST_F(ExpressionTest, StringEscapesDifferBetweenQuotesAndTemplates) {
    EXPECT_EQ(shape(R"('a\'b\q\n\\')"), "\"a'bq\n\\\"");
    EXPECT_EQ(shape(R"("say \"hi\"\t")"), "\"say \"hi\"\t\"");
    EXPECT_EQ(shape(R"(`a\nb\`c${x}`)"), "\"a\\nb`c${x}\"");

    const Value quoted = values("'x'")[0];
    const Value templated = values("`x`")[0];
    EXPECT_EQ(load_u16(&cell_as<StringCell>(quoted)->zero[1]), 0);
    EXPECT_EQ(load_u16(&cell_as<StringCell>(templated)->zero[1]), TEMPLATE_FLAG);
    EXPECT_EQ(cell_as<StringCell>(templated)->capacity, 1u + 8);
}

TEST_F(ExpressionTest, StringsKeepLineFeedsAndDropCarriageReturns) {
    const std::vector<Value> found = values("'a\r\nb' + c");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(show(found[0]), "118(\"a\nb\",c)");
    EXPECT_EQ(g_parser.line, 2u);
    // the operator after the literal is positioned on the second line
    EXPECT_EQ(cell_as<NodeCell>(found[0])->position & 0xFFFF, 2u);
}

TEST_F(ExpressionTest, ObjectAndArrayLiterals) {
    EXPECT_EQ(shape("{'a': 1, b: x + 1,}"), "{a:1,b:118(x,1)}");
    EXPECT_EQ(shape("{a: 1, a: 2}"), "{a:1,a:2}");  // duplicate keys stay
    EXPECT_EQ(shape("[1, [2, 3], {c: d}]"), "[1,[2,3],{c:d}]");
    EXPECT_EQ(shape("[1, 2,]"), "[1,2]");
    EXPECT_EQ(shape("{f: function (a) { return a; }, g: 2}"), "{f:function(a)155(158(a)),g:2}");

    const Value empty = values("[]")[0];
    ASSERT_EQ(value_tag(empty), TAG_ARRAY);
    EXPECT_EQ(cell_as<ArrayCell>(empty)->count, 0u);
    EXPECT_EQ(cell_as<ArrayCell>(empty)->capacity, 10u);

    const Value object = values("{a: x, b: 'y'}")[0];
    ASSERT_EQ(value_tag(object), TAG_OBJECT);
    EXPECT_EQ(cell_as<ObjectCell>(object)->capacity, 12u);
    EXPECT_EQ(cell_as<ObjectCell>(object)->class_name, 0u);
    // each member value is retained once by the object
    const Value member = load_u32(area_pointer(cell_as<ObjectCell>(object)->pairs) + 12);
    EXPECT_EQ(*value_header(member), make_header(TAG_STRING, 1));
}

TEST_F(ExpressionTest, CallArgumentsAreRetainedInTheirItem) {
    const Value call = values("f(g(1))")[0];
    ASSERT_EQ(node_kind(call), 160u);
    const uint8_t* item = area_pointer(node_operand(call, 1));
    ASSERT_EQ(load_u32(item), 1u);
    EXPECT_EQ(*value_header(load_u32(item + 4)), make_header(TAG_NODE, 1));
}

TEST_F(ExpressionTest, AFunctionLiteralEndsTheList) {
    // no ";" needed after a function literal, but a comma goes on
    EXPECT_EQ(values("f = function () {} g()").size(), 1u);
    EXPECT_EQ(shape("f(function () {}, 2)"), "160(f,[function()155(),2])");
    EXPECT_EQ(shape("f = function g(a, b = 1) {}"), "123(f,123(g,function(a,123(b,1))155()))");
}

TEST_F(ExpressionTest, PositionWordsCarryLineAndColumn) {
    const Value node = values("\n  a +\n b")[0];
    // "+" on line 2, column 5 (the line feed before it is column 0)
    EXPECT_EQ(cell_as<NodeCell>(node)->position, (5u << 16) | 2u);
}

}  // namespace
}  // namespace kova::parser_test

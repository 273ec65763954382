// Parse errors of the statement and expression parsers, literals and the
// top call text, checked by their complete error text.
#include <gtest/gtest.h>

#include <string>

#include "parser/top_call.h"
#include "parser_fixture.h"

namespace kova::parser_test {
namespace {

using ParseErrorTest = ParserTest;

TEST_F(ParseErrorTest, StatementAndExpressionErrors) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"-x;", "PARSE ERROR 1125 (t.js:1) : フォーマット不正 '-x;'"},
        {"y = a * -b;", "PARSE ERROR 1125 (t.js:1) : フォーマット不正 'y = a * -b;'"},
        {"y = a +;", "PARSE ERROR 1125 (t.js:1) : フォーマット不正 'y = a +;'"},
        {"y = c ? a;", "PARSE ERROR 1125 (t.js:1) : フォーマット不正 'y = c ? a;'"},
        {"y = a : b;", "PARSE ERROR 1125 (t.js:1) : フォーマット不正 'y = a : b;'"},
        {"a, b;", "PARSE ERROR 1000 (t.js:1) : ステートメント不正 'a, b;'"},
        {"a;\nb;\n@;", "PARSE ERROR 1015 (t.js:3) : ステートメント不正(@;)"},
        {"y = new Error;", "PARSE ERROR 1020 (t.js:1) : 引数の個数不正 'new Error;'"},
        {"y = new 5;", "PARSE ERROR 1015 (t.js:1) : ステートメント不正(new 5;)"},
        {"y = new a.b();", "PARSE ERROR 1015 (t.js:1) : ステートメント不正(new a.b();)"},
        {"y = Array.isArray(x);", "PARSE ERROR 1015 (t.js:1) : ステートメント不正(Array.isArray(x);)"},
        {"y = Error();", "PARSE ERROR 1020 (t.js:1) : 引数の個数不正 'Error();'"},
        {"y = x instanceof 5;", "PARSE ERROR 1015 (t.js:1) : ステートメント不正(instanceof 5;)"},
        {"y = a[1, 2];", "PARSE ERROR 1015 (t.js:1) : ステートメント不正([1, 2];)"},
        {"y = /re;", "PARSE ERROR 4805 (t.js:1) : 正規表現のフォーマット不正 (/)"},
        {"f(a;", "PARSE ERROR 1130 (t.js:1) : ステートメント不正 (')'なし) (a;"},
        {"f(a; b);", "PARSE ERROR 1135 (t.js:1) : ステートメント不正 ('; b') in (a; b"},
        {"var 5;", "PARSE ERROR 1025 (t.js:1) : フォーマット不正 'var 5;'"},
        {"var;", "PARSE ERROR 1025 (t.js:1) : フォーマット不正 'var;'"},
        {"const;", "PARSE ERROR 1030 (t.js:1) : フォーマット不正 'const' in 'const;'"},
        {"let a + 1;", "PARSE ERROR 1030 (t.js:1) : フォーマット不正 'let' in 'let a + 1;'"},
        {"let a; let a;", "PARSE ERROR 1035 (t.js:1) : 'let'内で変数名の重複 'let a;'"},
        {"{ const a = 1; let a; }", "PARSE ERROR 1035 (t.js:1) : 'let'内で変数名の重複 'let a; '"},
        {"var g; let g;", "PARSE ERROR 1035 (t.js:1) : 'let'内で変数名の重複 'let g;'"},
        {"function Math() {}", "PARSE ERROR 1040 (t.js:1) : 関数名不正 'function Math() {}'"},
        {"function f(1) {}", "PARSE ERROR 1050 (t.js:1) : フォーマット不正 'function f(1) {}'"},
        {"function f() x;", "PARSE ERROR 1050 (t.js:1) : フォーマット不正 'function f() x;'"},
        {"if x) y;", "PARSE ERROR 1075 (t.js:1) : ステートメント不正 'if x) y;"},
        {"if (a, b) y;", "PARSE ERROR 1075 (t.js:1) : ステートメント不正 'if (a, b) y;"},
        {"while (a b) c;", "PARSE ERROR 1080 (t.js:1) : ステートメント不正 'while (a b) c;"},
        {"do x(); y;", "PARSE ERROR 1085 (t.js:1) : ステートメント不正 'do  y;"},
        {"do x(); while x;", "PARSE ERROR 1085 (t.js:1) : ステートメント不正 'do ... while x;"},
        {"for (;;) x;", "PARSE ERROR 1090 (t.js:1) : ステートメント不正 'for (;;'"},
        {"for (a b c) x;", "PARSE ERROR 1090 (t.js:1) : ステートメント不正 'for (a b c'"},
        {"for (i = 0; i < 1; i++", "PARSE ERROR 1090 (t.js:1) : ステートメント不正 'for (i = 0; i < 1; i++'"},
        {"try x", "PARSE ERROR 1095 (t.js:1) : ステートメント不正 in 'try x'"},
        {"try {} y", "PARSE ERROR 1095 (t.js:1) : ステートメント不正 in 'try ...  y'"},
        {"try {} catch e {}", "PARSE ERROR 1095 (t.js:1) : ステートメント不正 in 'try ... catch e {}'"},
        {"try {} catch (a, b) {}", "PARSE ERROR 1095 (t.js:1) : ステートメント不正 in 'try ... catch (a, b'"},
        {"try {} finally x", "PARSE ERROR 1095 (t.js:1) : ステートメント不正 in 'try ... finally x'"},
        {"throw;", "PARSE ERROR 1100 (t.js:1) : ステートメント不正 'throw;'"},
        {"x;\nbreak", "PARSE ERROR 1105 (t.js:2) : ステートメント不正 'break'"},
        {"continue x;", "PARSE ERROR 1110 (t.js:1) : ステートメント不正 'continue x;'"},
        {"return a, b;", "PARSE ERROR 1115 (t.js:1) : ステートメント不正 'return a, b;'"},
        {"{ a;", "PARSE ERROR 1145 (t.js:1) : ステートメント不正 '{  a;'"},
        {"switch (x) { default: y(); }", "PARSE ERROR 1155 (t.js:1) : ステートメント不正 'switch (x) { default: y(); '"},
        {"switch (x) { case 1: }", "PARSE ERROR 1155 (t.js:1) : ステートメント不正 'switch (x) { case 1: }'"},
        {"switch (x) { case 1 y(); }", "PARSE ERROR 1160 (t.js:1) : ステートメント不正 'switch case 1 y(); '"},
        {"switch x { case 1: y(); }", "PARSE ERROR 1160 (t.js:1) : ステートメント不正 'switch x { case 1: y(); }'"},
        {"switch (x) { case undefined: y(); }",
         "PARSE ERROR 1160 (t.js:1) : ステートメント不正 'switch case undefined'"},
        {"select(a);", "PARSE ERROR 1210 (t.js:1) : ステートメント不正(引数の数) 'select(a);'"},
        {"openDb;", "PARSE ERROR 1210 (t.js:1) : ステートメント不正(引数の数) 'openDb;'"},
        {"x = {select: 1};", "PARSE ERROR 1210 (t.js:1) : ステートメント不正(引数の数) 'select: 1'"},
        {"redis_get(a);", "PARSE ERROR 1211 (t.js:1) : ステートメント不正 'redis_get(a);'"},
        {"mongoc_write_command(a);", "PARSE ERROR 1211 (t.js:1) : ステートメント不正 'mongoc_write_command(a);'"},
        {"eval x;", "PARSE ERROR 1215 (t.js:1) : ステートメント不正 'eval x;'"},
        {"eval(a, b);", "PARSE ERROR 1220 (t.js:1) : 引数の個数不正 'eval(a, b);'"},
        {"parseInt(a, b, c);", "PARSE ERROR 1225 (t.js:1) : ステートメント不正 'parseInt(a, b, c);'"},
        {"sendToFront(1);", "PARSE ERROR 1230 (t.js:1) : ステートメント不正 'sendToFront(1);'"},
        {"alertToFront();", "PARSE ERROR 1235 (t.js:1) : ステートメント不正 'alertToFront();'"},
        // literals
        {"x = 'abc", "PARSE ERROR 1010 (t.js:1) : JSON文字列不正"},
        {"x = 'abc\\", "PARSE ERROR 1010 (t.js:1) : JSON文字列不正"},
        {"x = {a: 1; b: 2};", "PARSE ERROR 1055 (t.js:1) : JSON文字列不正 ';'"},
        {"x = [1 +];", "PARSE ERROR 1065 (t.js:1) : JSON文字列フォーマット不正 '1 +'"},
        {"x = [1, , 2];", "PARSE ERROR 1070 (t.js:1) : JSON文字列フォーマット不正 ', 2'"},
        {"x = [1 2];", "PARSE ERROR 1070 (t.js:1) : JSON文字列フォーマット不正 '1 2'"},
        {"x = [1, 2;", "PARSE ERROR 1070 (t.js:1) : JSON文字列フォーマット不正 '[1, 2;'"},
        {"x = {5: 1};", "PARSE ERROR 1140 (t.js:1) : 文字列のフォーマット不正 '5: 1'"},
        {"x = {a 1};", "PARSE ERROR 1140 (t.js:1) : 文字列のフォーマット不正 'a 1'"},
        {"x = {a: };", "PARSE ERROR 1140 (t.js:1) : 文字列のフォーマット不正 'a: '"},
        {"x = {a: 1", "PARSE ERROR 1142 (t.js:1) : JSON文字列のフォーマット不正 '{a: 1'"},
    };
    for (const auto& c : cases) EXPECT_EQ(statement_error(c.text), c.error) << c.text;
}

TEST_F(ParseErrorTest, TokenAndValueLimits) {
    std::string sum = "x = a";
    for (int i = 0; i < 511; ++i) sum += "+a";  // 1,025 tokens
    EXPECT_EQ(statement_error(sum + ";").substr(0, 28), "PARSE ERROR 1120 (t.js:1) : ");

    std::string within = "a";
    for (int i = 0; i < 511; ++i) within += "+a";  // exactly 1,023 tokens
    EXPECT_EQ(statement_error(within + ";"), "");

    std::string arguments = "f(a";
    for (int i = 1; i < 256; ++i) arguments += ",a";
    EXPECT_EQ(statement_error(arguments + ");").substr(0, 28), "PARSE ERROR 1123 (t.js:1) : ");
    arguments.resize(arguments.size() - 2);  // 255 arguments
    EXPECT_EQ(statement_error(arguments + ");"), "");

    std::string element = "x = [a";
    for (int i = 0; i < 512; ++i) element += "+a";
    EXPECT_EQ(statement_error(element + "];").substr(0, 28), "PARSE ERROR 1060 (t.js:1) : ");
}

TEST_F(ParseErrorTest, DeepNestingIsRefusedCleanly) {
    const std::string deep = std::string(300, '(') + "a" + std::string(300, ')') + ";";
    EXPECT_EQ(statement_error(deep).substr(0, 28), "PARSE ERROR 1015 (t.js:1) : ");
    const std::string fine = "x = " + std::string(150, '[') + "1" + std::string(150, ']') + ";";
    EXPECT_EQ(statement_error(fine), "");
    std::string ifs;
    for (int i = 0; i < 990; ++i) ifs += "if (a) ";
    EXPECT_EQ(statement_error(ifs + "x;"), "");
    std::string blocks;
    for (int i = 0; i < 1200; ++i) blocks += "{";
    EXPECT_EQ(statement_error(blocks + std::string(1200, '}')).substr(0, 28), "PARSE ERROR 1015 (t.js:1) : ");
    std::string functions = "f = ";
    for (int i = 0; i < 250; ++i) functions += "function () { return ";
    functions += "1";
    for (int i = 0; i < 250; ++i) functions += "; }";
    EXPECT_EQ(statement_error(functions).substr(0, 28), "PARSE ERROR 1015 (t.js:1) : ");
}

TEST_F(ParseErrorTest, TopCallText) {
    const auto top_call_error = [this](const char* text) {
        return error_of([&] {
            Value call = 0;
            parse_top_call(source(text), &call);
        });
    };
    EXPECT_EQ(top_call_error("main(1)"), "");
    EXPECT_EQ(top_call_error("main"), "EVAL ERROR 1725 (t.js:0:0) : TOP関数のステートメント不正");
    EXPECT_EQ(top_call_error("a(), b()"), "EVAL ERROR 1725 (t.js:0:0) : TOP関数のステートメント不正");
    EXPECT_EQ(top_call_error("main() +"), "PARSE ERROR 1730 (t.js:1) : TOP関数のフォーマット不正 'main() +'");
    EXPECT_EQ(top_call_error("main(1) :"), "PARSE ERROR 1730 (t.js:1) : TOP関数のフォーマット不正 'main(1) :'");
    EXPECT_EQ(top_call_error("a, b, c, d"), "PARSE ERROR 1730 (t.js:1) : TOP関数のフォーマット不正 'a, b, c, d'");
    EXPECT_EQ(top_call_error("main(function () {})"),
              "PARSE ERROR 1720 (t.js:1) : TOP関数のステートメントの演算子不正 'function () {}'");
    // more than 31 tokens at the top level; inside brackets the usual limit applies
    EXPECT_EQ(top_call_error("a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a"),
              "PARSE ERROR 1720 (t.js:1) : TOP関数のステートメントの演算子不正 "
              "'a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a'");
    EXPECT_EQ(top_call_error("main(a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a+a)"), "");
    EXPECT_FALSE(g_expression.top_call);
}

TEST_F(ParseErrorTest, ErrorsPutCutBracketsBack) {
    char* text = source("f(g(a; b));");
    const std::string before = text;
    EXPECT_NE(error_of([&] {
                  Value v[18];
                  uint32_t n = 0;
                  parse_expression_list(text, v, 18, &n, false);
              }),
              "");
    EXPECT_EQ(std::string(text), before);
}

}  // namespace
}  // namespace kova::parser_test

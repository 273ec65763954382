// Character-level rules: comments, quoted literals, brackets, keywords,
// identifiers, excerpts and the UTF-8 / UTF-16 converters.
#include "parser/lexer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "host/journal.h"
#include "parser/module_table.h"
#include "parser/parser.h"
#include "runtime_fixture.h"

namespace kova {
namespace {

class LexerTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_runtime("lex.js");
    }
    void TearDown() override { modules_reset(); }
};

// Runs `action`; returns the error text it raised, or "" when none.
std::string error_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const ScriptUnwind&) {
        return std::string(g_errors.text, g_errors.text_length);
    }
    return "";
}

std::string stripped(std::string text) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    strip_comments(buffer.data());
    return std::string(buffer.data());
}

// ---- comments -------------------------------------------------------------

TEST_F(LexerTest, CommentsAreBlankedKeepingLineFeedsAndQuotedOpeners) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"a/*x*/b", "a     b"},
        {"a/*x\ny*/b", "a   \n   b"},
        {"a/*1*/b/*2*/c", "a     b     c"},
        {"a/**/", "a    "},
        {"x = '/*'; y", "x = '/*'; y"},
        {"x = \"a/*b\" /* c */", "x = \"a/*b\"        "},
        {"x = `/*` + '*/'", "x = `/*` + '*/'"},
        // An escaped quote does not close the literal that hides the opener.
        {"s = 'it\\'s /* no */'", "s = 'it\\'s /* no */'"},
        {"a // c\nb", "a     \nb"},
        {"u = 'http://x' // y\n", "u = 'http://x'     \n"},
        // A line comment on the last line ends the text at its "//".
        {"a = 1 // end", "a = 1 "},
        {"a//", "a"},
        // Two apostrophes in a block comment pair up, so the comment ends.
        {"a /* don't, won't */ b", "a                    b"},
        // A quote opened inside the comment swallows the first "*/".
        {"a /* 'x*/' */ b", "a             b"},
        // A "//" inside a block comment goes with the block comment.
        {"a /* // */ b", "a          b"},
        // An unclosed literal stops the pass: what follows is left alone.
        {"a = 'open /* x */", "a = 'open /* x */"},
        {"a = \"open // x", "a = \"open // x"},
        // Regular-expression literals hide openers and quotes like a quoted
        // literal; a "/" after a value divides.
        {"r = /https?:\\/\\//; // c", "r = /https?:\\/\\//; "},
        {"r = /[/*]+/g; s = '*/'", "r = /[/*]+/g; s = '*/'"},
        {"r = /['\"]/g; /* c */ x", "r = /['\"]/g;         x"},
        {"return /a\\/b/ // c", "return /a\\/b/ "},
        {"h = a / 2; // x / y", "h = a / 2; "},
        {"h = (a) / 2 /* 'q' */", "h = (a) / 2          "},
        {"i++ / 2 // x", "i++ / 2 "},
        // A "/" without a partner on its line is an operator.
        {"a = /x\n// c", "a = /x\n"},
        // In a comment's body, text is not code.
        {"/* url: http://x/ y */ z", "                       z"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(stripped(c.text), c.expected);
    }
}

TEST_F(LexerTest, UnterminatedBlockCommentRaises1580) {
    const char* bad[] = {
        "a /* never closed",
        "a /* it's */ b",           // the apostrophe has no partner before the end
        "a /* 'x */ y",             // the quote keeps the closer, then never closes
        "a = 1;\n/*\n",
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        const std::string error = error_of([&] { stripped(text); });
        EXPECT_NE(error.find("PARSE ERROR 1580 (lex.js:"), std::string::npos) << error;
        EXPECT_NE(error.find(") : コメント不正"), std::string::npos) << error;
    }
}

// ---- literals and brackets ----------------------------------------------------

TEST_F(LexerTest, InsideLiteralTellsTheOpeningQuote) {
    const struct {
        const char* text;
        size_t at;
        bool inside;
        char quote;
    } cases[] = {
        {"a 'b' c", 6, false, 0},
        {"a 'b' c", 3, true, '\''},
        {"x \"y z", 5, true, '"'},
        {"x `a` \"b", 7, true, '"'},
        {"'a\\'b' c", 4, true, '\''},     // escaped quote does not close
        {"'a\\\\' c", 6, false, 0},       // an even run of backslashes does
        {"\"it's\" x", 7, false, 0},      // other quotes inside a literal are text
        {"x = /a'b/ c", 6, true, '/'},   // a regular-expression literal holds it
        {"x = /a'b/ c", 10, false, 0},
        {"x = a / b'", 9, false, 0},     // a "/" after a value divides
        {"abc", 2, false, 0},
        {"'x", 0, false, 0},              // the quote itself is not inside
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        char quote = 0;
        EXPECT_EQ(inside_literal(c.text, c.text + c.at, &quote), c.inside);
        if (c.inside) {
            EXPECT_EQ(quote, c.quote);
        }
    }
}

TEST_F(LexerTest, FindUnquotedSkipsLiteralsAndEscapes) {
    const struct {
        const char* text;
        char ch;
        int expected;  // offset, or -1
    } cases[] = {
        {"a;b", ';', 1},
        {"'a;b';c", ';', 5},
        {"\\;x;", ';', 3},
        {"`;`\";\"", ';', -1},
        {"'open ;", ';', -1},
        {"s.split(/;/);", ';', 12},
        {"a = b / c; d / e;", ';', 9},
        {"r = /[;/]/;", ';', 10},
        {"", ';', -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        char* found = find_unquoted(text.data(), c.ch);
        EXPECT_EQ(found == nullptr ? -1 : int(found - text.data()), c.expected);
    }
}

TEST_F(LexerTest, FindClosingBalancesNestedPairsOutsideLiterals) {
    const struct {
        const char* text;  // after an already consumed "("
        int expected;
    } cases[] = {
        {"a)", 1},
        {"f(x), g(y))", 10},
        {"')' + \")\" + `(`)", 15},
        {"(a)(b)", -1},
        {"a + '(' ", -1},
        {"x, ')", -1},
        {"/[)]/)", 5},
        {"/\\)/, b)", 7},
        {"a / (b) / c)", 11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        char* found = find_closing(text.data(), ')', '(');
        EXPECT_EQ(found == nullptr ? -1 : int(found - text.data()), c.expected);
    }
    std::string braces = "if (a) { b = [1, {c: 2}]; } } rest";
    char* close = find_closing(braces.data(), '}', '{');
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(std::string(close), "} rest");
}

// ---- keywords -------------------------------------------------------------------

TEST_F(LexerTest, EveryKeywordHasItsIndex) {
    const char* keywords[KEYWORD_COUNT] = {
        "break", "if", "let", "return", "record_map", "record_hash", "redis_command", "redis_aggregate",
        "redis_keys", "redis_get", "redis_execute", "redis_delete", "redis_lremove", "redis_linsert", "var",
        "while", "openDb", "closeDb", "const", "continue", "do", "decodeURI", "decodeURIComponent", "eval",
        "execute", "encodeURI", "encodeURIComponent", "for", "function", "select", "selectHash", "selectInto",
        "selectToFront", "selectHashToFront", "sendToFront", "switch", "selectExists", "sql_aggregate", "throw",
        "try", "parseInt", "parseFloat", "alertToFront", "mongo_find", "mongo_count", "mongo_insert",
        "mongo_update_one", "mongo_update_many", "mongo_delete_one", "mongo_delete_many",
        "mongo_drop_collection", "mongo_transaction", "mongo_rename_collection", "mongo_get_collection",
        "mongo_collection_name", "mongo_use_db", "mongo_current_db", "mongo_drop_db",
        "mongo_collection_names", "mongo_get_database", "mongo_rollback", "mongo_commit", "mongo_find_hash",
        "mongo_aggregate", "mongo_create_collection", "mongo_exists_collection", "mongoc_read_command",
        "mongoc_write_command",
    };
    for (int i = 0; i < KEYWORD_COUNT; ++i) {
        SCOPED_TRACE(keywords[i]);
        const std::string text = std::string(keywords[i]) + "(x)";
        const char* cursor = text.c_str();
        EXPECT_EQ(keyword_lookup(&cursor), i);
        EXPECT_EQ(cursor, text.c_str() + std::strlen(keywords[i]));
    }
}

TEST_F(LexerTest, KeywordsEndWhereTheirRulesSay) {
    const struct {
        const char* text;
        int index;
        size_t advance;
    } cases[] = {
        {"for2", 27, 3},            // a group run stops at a digit
        {"for (", 27, 3},
        {"function$", 28, 8},
        {"while2", -1, 0},          // a whole word may not run on
        {"while", 15, 5},
        {"breakx", -1, 0},
        {"break;", 0, 5},
        {"if_", -1, 0},
        {"if(", 1, 2},
        {"letter", -1, 0},
        {"selec", -1, 0},           // a prefix of a cell is no keyword
        {"selectHashX", -1, 0},
        {"selectHashToFrontXY", -1, 0},
        {"select_", -1, 0},
        {"constant", -1, 0},
        {"s", -1, 0},
        {"o", -1, 0},
        {"Select", -1, 0},
        {"x", -1, 0},
        {"_for", -1, 0},
        {"9for", -1, 0},
        {"", -1, 0},
        {"alertToFrontx", -1, 0},
        {"tr", -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const char* cursor = c.text;
        EXPECT_EQ(keyword_lookup(&cursor), c.index);
        EXPECT_EQ(cursor, c.text + c.advance);
    }
}

// ---- identifiers --------------------------------------------------------------------

TEST_F(LexerTest, IdentifiersAreInternedAndStopAtOtherBytes) {
    const char* text = "count_2$x";
    const char* cursor = text;
    const uint32_t index = read_identifier(&cursor);
    EXPECT_EQ(cursor, text + 7);
    EXPECT_EQ(std::string(name_text(index)), "count_2");

    const char* again = "count_2 ";
    EXPECT_EQ(read_identifier(&again), index);
    const char* predefined = "length.x";
    EXPECT_EQ(read_identifier(&predefined), uint32_t(NAME_LENGTH));
    const char* utf8 = "_a\xC3\xA9";
    read_identifier(&utf8);
    EXPECT_EQ(*utf8, '\xC3');
}

TEST_F(LexerTest, IdentifierLengthLimitIs200Bytes) {
    std::string longest(200, 'a');
    const char* cursor = longest.c_str();  // ends at the NUL right after
    const uint32_t index = read_identifier(&cursor);
    EXPECT_EQ(name_length(index), 200u);
    EXPECT_EQ(*cursor, '\0');

    for (size_t length : {201u, 5000u}) {
        std::string too_long(length, 'b');
        const std::string error = error_of([&] {
            const char* p = too_long.c_str();
            read_identifier(&p);
        });
        EXPECT_EQ(error, "PARSE ERROR 1005 (lex.js:1) : 関数・変数名の長さ不正");
    }
}

TEST_F(LexerTest, IdentifierAtTheVeryEndOfAnAllocationDoesNotReadPastIt) {
    // Exactly the bytes and the NUL: a sanitizer build flags any overread.
    for (size_t length : {1u, 200u, 201u}) {
        std::vector<char> text(length + 1, 'z');
        text[length] = '\0';
        const char* p = text.data();
        (void)error_of([&] { read_identifier(&p); });
    }
}

// ---- excerpts ------------------------------------------------------------------------

TEST_F(LexerTest, ExcerptCutsAtLineCountAndLimit) {
    EXPECT_STREQ(excerpt("abc;\ndef", 120), "abc;");
    EXPECT_STREQ(excerpt("abc\r\ndef", 120), "abc");
    EXPECT_STREQ(excerpt("abcdef", 4), "abcd");
    EXPECT_STREQ(excerpt("", 20), "");
    // Characters, not bytes: three kana are nine bytes.
    EXPECT_STREQ(excerpt("あいうえお", 3), "あいう");

    std::string wide(1000, 'x');
    EXPECT_EQ(std::string(excerpt(wide.c_str(), 2000)).size(), EXCERPT_LIMIT);
    std::string kana;
    for (int i = 0; i < 200; ++i) kana += "あ";
    EXPECT_EQ(std::string(excerpt(kana.c_str(), 2000)).size(), 510u);  // 170 whole characters
    std::string odd = "x" + kana;
    EXPECT_EQ(std::string(excerpt(odd.c_str(), 2000)).size(), 508u);  // the 171st would pass 510
}

TEST_F(LexerTest, ExcerptNeverCopiesPastTheEndOfALine) {
    // Lead bytes promising more bytes than remain.
    const char truncated[] = {'a', '\xF0', '\x9F', '\0'};
    EXPECT_STREQ(excerpt(truncated, 120), "a\xF0\x9F");
    const char cut_by_line[] = {'\xE3', '\n', 'b', '\0'};
    EXPECT_STREQ(excerpt(cut_by_line, 120), "\xE3");
    const char six[] = {'\xFC', '\0'};
    EXPECT_STREQ(excerpt(six, 120), "\xFC");
}

TEST_F(LexerTest, TwoExcerptsStayIntactTogether) {
    const char* first = excerpt("first part", 20);
    const char* second = excerpt("second part", 120);
    EXPECT_STREQ(first, "first part");
    EXPECT_STREQ(second, "second part");
    const char* third = excerpt("third", 20);
    EXPECT_EQ(third, first);  // the buffers alternate
}

// ---- UTF-8 and UTF-16 -----------------------------------------------------------------

std::vector<uint16_t> to_units(const std::string& text, size_t max = 64) {
    std::vector<uint16_t> units(max + 4, 0xBEEF);
    const size_t n = utf8_to_utf16(text.data(), text.size(), units.data(), max);
    EXPECT_LT(n, max == 0 ? 1 : max);
    if (max > 0) {
        EXPECT_EQ(units[n], 0);
    }
    EXPECT_EQ(units[max], 0xBEEF);  // nothing written past max
    units.resize(n);
    return units;
}

TEST_F(LexerTest, Utf8DecodesOneToThreeByteSequences) {
    EXPECT_EQ(to_units("aé€"), (std::vector<uint16_t>{'a', 0xE9, 0x20AC}));
    const std::string with_nul("a\0b", 3);
    EXPECT_EQ(to_units(with_nul), (std::vector<uint16_t>{'a'}));
    // Stray continuation bytes, 0xF8-0xFF, and sequences cut by the end
    // stand for themselves.
    EXPECT_EQ(to_units("\x80\xFF"), (std::vector<uint16_t>{0x80, 0xFF}));
    EXPECT_EQ(to_units("x\xE2\x82"), (std::vector<uint16_t>{'x', 0xE2, 0x82}));
    // The length bounds the input even inside a sequence.
    std::vector<uint16_t> units(8);
    EXPECT_EQ(utf8_to_utf16("\xC3\xA9", 1, units.data(), 8), 1u);
    EXPECT_EQ(units[0], 0xC3);
    // `max` bounds the output, terminator included.
    EXPECT_EQ(to_units("abcdef", 4), (std::vector<uint16_t>{'a', 'b', 'c'}));
    EXPECT_EQ(to_units("abc", 0).size(), 0u);
}

TEST_F(LexerTest, CodePointsAboveTheBmpRaise1595) {
    std::vector<uint16_t> units(16);
    const std::string error = error_of([&] { utf8_to_utf16("a😀", 5, units.data(), 16); });
    EXPECT_NE(error.find("EVAL ERROR 1595"), std::string::npos) << error;
    EXPECT_NE(error.find(": MultiToWide 文字の変換エラー(サロゲート文字)"), std::string::npos) << error;
}

TEST_F(LexerTest, Utf16EncodesAndRespectsTheSize) {
    const uint16_t units[] = {'a', 0xE9, 0x20AC, 0xD83D, 0};
    char out[32];
    EXPECT_EQ(utf16_to_utf8(units, 5, out, sizeof out), 9u);
    EXPECT_STREQ(out, "aé€\xED\xA0\xBD");
    EXPECT_EQ(utf16_to_utf8(units, 2, out, sizeof out), 3u);  // count bounds the input
    EXPECT_STREQ(out, "aé");

    // A sequence that would not fit before the NUL is left out whole.
    char small[5];
    std::memset(small, 0x7F, sizeof small);
    EXPECT_EQ(utf16_to_utf8(units, 5, small, 5), 3u);
    EXPECT_STREQ(small, "aé");
    char tiny[1] = {'x'};
    EXPECT_EQ(utf16_to_utf8(units, 5, tiny, 1), 0u);
    EXPECT_EQ(tiny[0], '\0');
    EXPECT_EQ(utf16_to_utf8(units, 5, nullptr, 0), 0u);

    // Round trip of the BMP text.
    const std::string text = "漢字 and ｶﾅ";
    std::vector<uint16_t> wide = to_units(text);
    char back[64];
    utf16_to_utf8(wide.data(), wide.size(), back, sizeof back);
    EXPECT_EQ(std::string(back), text);
}

}  // namespace
}  // namespace kova

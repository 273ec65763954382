// Raising errors: the composed text, the error object, the journal copy and
// where the unwind goes.
#include <gtest/gtest.h>

#include <string>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "host/journal.h"
#include "parser/module_table.h"
#include "parser/parser.h"
#include "runtime_fixture.h"

namespace kova {
namespace {

class ErrorsTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_runtime("lib/a.js");
        module_add("b.js", 4);
    }
};

std::string journal_text() { return std::string(g_journal.buffer, g_journal.fill); }

std::string message_of(Value error) {
    size_t length = 0;
    const char* text = error_message_text(error, &length);
    return std::string(text, length);
}

std::string code_of(Value error) {
    size_t length = 0;
    const char* text = error_code_text(error, &length);
    return std::string(text, length);
}

TEST_F(ErrorsTest, RuntimeErrorComposesTextObjectAndJournalLine) {
    g_errors.module = 1;
    g_errors.line = 12;
    g_errors.column = 7;
    try {
        raise_runtime_error(1410, "Integerの引数不正");
        FAIL() << "raise returned";
    } catch (const ScriptUnwind& unwind) {
        const std::string expected = "EVAL ERROR 1410 (b.js:12:7) : Integerの引数不正";
        EXPECT_EQ(std::string(g_errors.text), expected);
        ASSERT_EQ(value_tag(unwind.value), TAG_ERROR);
        EXPECT_EQ(code_of(unwind.value), "1410");
        EXPECT_EQ(message_of(unwind.value), expected);
        const uint8_t* item = area_pointer(value_payload(unwind.value));
        // The unwind holds the one reference until a catch or the host takes it.
        EXPECT_EQ(item[0], make_header(TAG_ERROR, 1));
        EXPECT_EQ(item[ERROR_KIND_OFFSET], ERROR_CODE_NUMBER);
        EXPECT_EQ(journal_text(), expected + "\n");
        // Before the top function runs, nothing but the host takes errors.
        EXPECT_TRUE(unwind.to_host);
        EXPECT_FALSE(g_errors.caught);
    }
}

TEST_F(ErrorsTest, FormatArgumentsFillTheMessage) {
    try {
        raise_runtime_error(1435, "buffer Overflow(area %d)", 7);
    } catch (const ScriptUnwind& unwind) {
        EXPECT_EQ(message_of(unwind.value), "EVAL ERROR 1435 (lib/a.js:0:0) : buffer Overflow(area 7)");
    }
}

TEST_F(ErrorsTest, WhileRunningARuntimeErrorMayBeCaughtButAParseErrorMayNot) {
    g_errors.running = true;
    try {
        raise_runtime_error(2522, "データの型不正");
    } catch (const ScriptUnwind& unwind) {
        EXPECT_FALSE(unwind.to_host);
        EXPECT_TRUE(g_errors.caught);
    }
    g_errors.caught = false;
    g_parser.module = 0;
    g_parser.line = 3;
    try {
        raise_parse_error(1405, "数字のフォーマット不正 '%s'", "1e");
    } catch (const ScriptUnwind& unwind) {
        EXPECT_TRUE(unwind.to_host);
        EXPECT_FALSE(g_errors.caught);
        EXPECT_EQ(message_of(unwind.value), "PARSE ERROR 1405 (lib/a.js:3) : 数字のフォーマット不正 '1e'");
    }
}

TEST_F(ErrorsTest, AnOverlongMessageIsCutToTheErrorBuffer) {
    const std::string huge(40000, 'x');
    try {
        raise_runtime_error(1000, "%s", huge.c_str());
    } catch (const ScriptUnwind& unwind) {
        EXPECT_EQ(g_errors.text_length, ERROR_TEXT_SIZE - 1);
        EXPECT_EQ(std::string(g_errors.text).size(), ERROR_TEXT_SIZE - 1);
        EXPECT_EQ(message_of(unwind.value).size(), ERROR_TEXT_SIZE - 1);
    }
}

TEST_F(ErrorsTest, AModuleNumberOutsideTheTableNamesNoModule) {
    g_errors.module = 99;
    try {
        raise_runtime_error(1400, "メモリ領域を取得できません");
    } catch (const ScriptUnwind&) {
        EXPECT_EQ(std::string(g_errors.text), "EVAL ERROR 1400 (:0:0) : メモリ領域を取得できません");
    }
}

TEST(JournalTest, TextBeyondTheBufferSpillsInOrder) {
    journal_reset();
    std::string written;
    for (int i = 0; i < 4000; ++i) {
        const std::string line = "line " + std::to_string(i) + "\n";
        journal_append(line.data(), line.size());
        written += line;
    }
    ASSERT_GT(written.size(), JOURNAL_BUFFER_SIZE);
    std::string collected;
    for (JournalSpill* node = g_journal.oldest; node != nullptr; node = node->next) {
        collected.append(node->text, node->length);
    }
    collected.append(g_journal.buffer, g_journal.fill);
    EXPECT_NE(g_journal.oldest, nullptr);
    EXPECT_EQ(collected, written);
    journal_reset();
}

}  // namespace
}  // namespace kova

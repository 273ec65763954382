// What the script tests cannot reach conveniently: the journal's exact bytes
// across its spill list and the reference table's limit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "core/areas.h"
#include "core/errors.h"
#include "core/values.h"
#include "eval/eval.h"
#include "host/config.h"
#include "host/journal.h"
#include "host/request.h"
#include "host/run.h"
#include "parser/declarations.h"
#include "runtime_fixture.h"

namespace kova {
namespace {

class RequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_runtime();
        declarations_reset();
        run_reset();
        eval_reset();
        config_reset();
        request_reset();
    }
    void TearDown() override {
        request_reset();
        config_reset();
        journal_reset();
    }
};

// ---- journal -------------------------------------------------------------------

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(RequestTest, JournalKeepsFortyThousandBytesInOrderAcrossTheSpillList) {
    char path_template[] = "/tmp/kova-journal-XXXXXX";
    const int fd = mkstemp(path_template);
    ASSERT_GE(fd, 0);
    close(fd);
    std::remove(path_template);
    g_config.logfile = path_template;

    // Pieces of varied sizes, each distinct, so a lost, doubled or
    // reordered piece shows.
    std::string expected;
    for (int i = 0; expected.size() < 40000; ++i) {
        std::string piece = "<" + std::to_string(i) + ">" + std::string(static_cast<size_t>(i * 37 % 3000), 'a' + i % 26);
        journal_append(piece.data(), piece.size());
        expected += piece;
    }
    // The buffer overflowed at least once.
    EXPECT_NE(g_journal.oldest, nullptr);
    journal_write();
    const std::string written = read_file(path_template);
    std::remove(path_template);

    const std::string start = "-----  start :   -----\n";
    ASSERT_GT(written.size(), start.size() + expected.size());
    EXPECT_EQ(written.substr(0, start.size()), start);
    EXPECT_EQ(written.substr(start.size(), expected.size()), expected);
    const std::string tail = written.substr(start.size() + expected.size());
    EXPECT_EQ(tail.substr(0, 14), "\n=====  end : ");
    EXPECT_EQ(tail.substr(tail.size() - 9), "  ===== \n");
    // Written means emptied.
    EXPECT_EQ(g_journal.fill, 0u);
    EXPECT_EQ(g_journal.oldest, nullptr);
}

TEST_F(RequestTest, JournalTextStaysInTheBufferBelowItsLimit) {
    const std::string piece(JOURNAL_BUFFER_SIZE - 5, 'x');
    journal_append(piece.data(), piece.size());
    EXPECT_EQ(g_journal.oldest, nullptr);
    journal_append("y", 1);  // fill + 1 reaches 32,764: spilled
    ASSERT_NE(g_journal.oldest, nullptr);
    EXPECT_EQ(g_journal.oldest->length, piece.size() + 1);
    EXPECT_EQ(g_journal.fill, 0u);
}

// ---- reference table --------------------------------------------------------------

// An A record of `count` nested arrays "^A000001", "^A000002", ...
std::string nested_arrays(int count) {
    std::string entries;
    for (int i = 1; i <= count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "^A%06d", i);
        entries += "a1018";
        entries += name;
    }
    const std::string count_text = std::to_string(count);
    const std::string length_text = std::to_string(entries.size());
    return "A" + std::string(1, static_cast<char>('0' + count_text.size())) + count_text +
           std::string(1, static_cast<char>('0' + length_text.size())) + length_text + entries;
}

int decode_error(std::string body) {
    try {
        decode_request(body.data(), body.size());
    } catch (const ScriptUnwind& unwind) {
        size_t length = 0;
        return std::atoi(error_code_text(unwind.value, &length));
    }
    return 0;
}

TEST_F(RequestTest, ReferenceTableHoldsOneThousandTwentyFourEntries) {
    EXPECT_EQ(decode_error(nested_arrays(1024)), 0);
    EXPECT_EQ(g_request.reference_count, 1024u);
}

TEST_F(RequestTest, TheOneThousandTwentyFifthEntryOverflows) {
    EXPECT_EQ(decode_error(nested_arrays(1025)), 1710);
    EXPECT_NE(std::string(g_errors.text).find("Objectバッファーのオーバーフロー"), std::string::npos);
}

}  // namespace
}  // namespace kova

// Reading number texts: forms, where the cursor stops, and malformed texts.
#include "core/number_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "core/areas.h"
#include "core/errors.h"

namespace kova {
namespace {

class NumberTextTest : public ::testing::Test {
protected:
    void SetUp() override {
        areas_reset();
        errors_reset();
    }
};

struct ReadCase {
    const char* text;
    int sign;
    bool is_float;
    int64_t integer;
    double real;
    size_t consumed;  // bytes the cursor moves
};

TEST_F(NumberTextTest, ReadsEachFormAndStopsAfterTheNumber) {
    const ReadCase cases[] = {
        {"0x1F", 1, false, 31, 0, 4},
        {"0x1fG", 1, false, 31, 0, 4},
        {"0X1F", 1, false, 0, 0, 1},  // only a lower-case x starts hexadecimal
        {"0x", 1, false, 0, 0, 2},
        {"12", 1, false, 12, 0, 2},
        {"12;", 1, false, 12, 0, 2},
        {"42", -1, false, -42, 0, 2},
        {"0x10", -1, false, -16, 0, 4},
        {"12.", 1, true, 0, 12.0, 3},
        {"3.25)", 1, true, 0, 3.25, 4},
        {"12.5.25", 1, true, 0, 12.25, 7},  // a further point restarts the fraction
        {"1e3", 1, true, 0, 1000.0, 3},
        {"1E+2x", 1, true, 0, 100.0, 4},
        {"25e-1", 1, true, 0, 2.5, 5},
        {"1.5e2", 1, true, 0, 150.0, 5},
        {"1.e2", 1, true, 0, 100.0, 4},
        {".5", 1, true, 0, 0.5, 2},
        {".5", -1, true, 0, -0.5, 2},
        {".25e2,", 1, true, 0, 25.0, 5},
        {"abc", 1, false, 0, 0, 0},
        {"9223372036854775807", 1, false, INT64_MAX, 0, 19},
        // Past 64 bits the value is kept as a float, not wrapped.
        {"18446744073709551616", 1, true, 0, 18446744073709551616.0, 20},
        // Fraction digits past what a double holds do not wrap the result.
        {"0.1234567890123456789012345", 1, true, 0, 0.1234567890123456789012345, 27},
        {"0.000000000000000000000000125", 1, true, 0, 1.25e-25, 29},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.text);
        const char* cursor = c.text;
        const NumberText number = read_number_text(&cursor, c.sign);
        EXPECT_EQ(number.is_float, c.is_float);
        if (c.is_float) {
            EXPECT_DOUBLE_EQ(number.real, c.real);
        } else {
            EXPECT_EQ(number.integer, c.integer);
        }
        EXPECT_EQ(static_cast<size_t>(cursor - c.text), c.consumed);
    }
}

// Raises and returns the composed error text, or "" if nothing was raised.
std::string error_of(const char* text) {
    const char* cursor = text;
    try {
        read_number_text(&cursor, 1);
    } catch (const ScriptUnwind& unwind) {
        EXPECT_TRUE(unwind.to_host);
        size_t length = 0;
        EXPECT_EQ(std::string(error_code_text(unwind.value, &length)), "1405");
        EXPECT_EQ(cursor, text);
        return std::string(g_errors.text, g_errors.text_length);
    }
    return "";
}

TEST_F(NumberTextTest, MalformedTextsRaise1405QuotingTheNumber) {
    const char* const malformed[] = {"1e", "1e+", "2E-;", ".", ".x", ".5.5", ".e3", ".5e", ".5e2.1"};
    for (const char* text : malformed) {
        SCOPED_TRACE(text);
        const std::string error = error_of(text);
        EXPECT_EQ(error.rfind("PARSE ERROR 1405 ", 0), 0u) << error;
        const std::string quoted = std::string(" : 数字のフォーマット不正 '") + text + "'";
        EXPECT_EQ(error.substr(error.size() - std::min(error.size(), quoted.size())), quoted);
    }
}

TEST_F(NumberTextTest, QuoteIsCutAt120BytesWithoutSplittingACharacter) {
    std::string text = "1e";
    for (int i = 0; i < 60; ++i) text += "あ";  // 3 bytes each
    const std::string error = error_of(text.c_str());
    // 2 + 39 * 3 = 119 bytes fit; the 40th character would pass 120.
    const std::string expected = "'" + text.substr(0, 119) + "'";
    ASSERT_GE(error.size(), expected.size());
    EXPECT_EQ(error.substr(error.size() - expected.size()), expected);
}

}  // namespace
}  // namespace kova

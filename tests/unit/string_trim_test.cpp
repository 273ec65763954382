// Trimming changes a string in place only when the call is its one holder
// (it was a temporary that nothing held); a string that anything else
// holds is copied and left as it was. Scripts see only the texts, not
// whether a copy was made, so the receiver's identity is checked here.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "builtins/method_table.h"
#include "core/areas.h"
#include "core/names.h"
#include "core/values.h"
#include "runtime_fixture.h"

namespace kova {
namespace {

struct TrimCase {
    const char* method;
    const char* text;
    const char* trimmed;
};

constexpr TrimCase CASES[] = {
    {"trim", " \t\r\n ab c \n", "ab c"},
    {"trimStart", "\t x \n", "x \n"},
    {"trimLeft", "  x", "x"},
    {"trimEnd", " x\r\n", " x"},
    {"trimRight", "x  ", "x"},
    {"trim", "   ", ""},
};

class StringTrimTest : public ::testing::Test {
protected:
    void SetUp() override { reset_runtime_for_run("t.js"); }

    static Value call(const char* method, Value receiver) {
        return call_method(STRING_METHODS, intern(method, std::strlen(method)), receiver, nullptr, 0);
    }
    static std::string text(Value v) { return std::string(string_text(v), string_length(v)); }
};

TEST_F(StringTrimTest, AStringOnlyTheCallHoldsIsTrimmedInPlace) {
    for (const TrimCase& c : CASES) {
        const Value s = new_string(c.text, std::strlen(c.text));
        retain(s);  // the call's own hold
        const Value result = call(c.method, s);
        EXPECT_EQ(result, s) << c.method << " of '" << c.text << "'";
        EXPECT_EQ(text(s), c.trimmed) << c.method;
        EXPECT_EQ(string_text(s)[string_length(s)], '\0') << c.method;
        release(s);
    }
}

TEST_F(StringTrimTest, AStringSomethingElseHoldsIsCopied) {
    for (const TrimCase& c : CASES) {
        const Value s = new_string(c.text, std::strlen(c.text));
        retain(s);  // a variable
        retain(s);  // the call
        const Value result = call(c.method, s);
        EXPECT_NE(result, s) << c.method;
        EXPECT_EQ(text(result), c.trimmed) << c.method;
        EXPECT_EQ(text(s), c.text) << c.method;
        release_if_temporary(result);
        release(s);
        release(s);
    }
}

TEST_F(StringTrimTest, APermanentStringIsCopied) {
    const Value s = new_string("  literal  ", 11);
    *value_header(s) = make_header(TAG_STRING, 15);
    const Value result = call("trim", s);
    EXPECT_NE(result, s);
    EXPECT_EQ(text(result), "literal");
    EXPECT_EQ(text(s), "  literal  ");
}

}  // namespace
}  // namespace kova

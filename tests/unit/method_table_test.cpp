// Method tables: whole-name lookup, argument rules and the table's errors.
// Scripts reach these rules only through the library's tables, so a table
// of the test's own checks them here.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "builtins/method_table.h"
#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "host/journal.h"
#include "parser/module_table.h"
#include "parser/parser.h"
#include "runtime_fixture.h"

namespace kova {
namespace {

uint32_t g_last_count = 0;
Value g_last_receiver = 0;

Value record_call(Value receiver, const Value*, uint32_t count) {
    g_last_receiver = receiver;
    g_last_count = count;
    return NAME_TRUE;
}

constexpr Method LIST[] = {
    {"charAt", record_call, 1, 1},          // exactly 1
    {"concat", record_call, 1, ANY_COUNT},  // at least 1
    {"slice", record_call, 0, 2},           // at most 2
    {"reverse", nullptr, 0, 0},             // no form for this receiver kind
};
constexpr MethodTable TABLE = {LIST, 4, 2552, "Arrayのメソッド名不正", 2565, 2555, 2560, "引数の個数不正"};

class MethodTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_runtime("t.js");
        g_last_count = 0;
        g_last_receiver = 0;
    }

    static uint32_t name(const char* text) { return intern(text, std::strlen(text)); }

    // The code of the error a call raises, or 0 when it returns.
    static int error_of(const char* method, uint32_t count) {
        const Value arguments[3] = {NAME_NULL, NAME_NULL, NAME_NULL};
        try {
            call_method(TABLE, name(method), NAME_FALSE, arguments, count);
            return 0;
        } catch (const ScriptUnwind&) {
            return std::atoi(std::strstr(g_errors.text, "ERROR ") + 6);
        }
    }
};

TEST_F(MethodTableTest, FindsOnlyWholeNames) {
    EXPECT_EQ(find_method(TABLE, name("charAt")), &LIST[0]);
    EXPECT_EQ(find_method(TABLE, name("slice")), &LIST[2]);
    for (const char* part : {"c", "char", "charAtX", "sli", "", "lice"}) {
        EXPECT_EQ(find_method(TABLE, name(part)), nullptr) << part;
    }
}

TEST_F(MethodTableTest, CallsTheHandlerWithReceiverAndCount) {
    const Value arguments[2] = {NAME_NULL, NAME_NULL};
    EXPECT_EQ(call_method(TABLE, name("concat"), NAME_FALSE, arguments, 2), NAME_TRUE);
    EXPECT_EQ(g_last_receiver, NAME_FALSE);
    EXPECT_EQ(g_last_count, 2u);
}

TEST_F(MethodTableTest, ArgumentRulesAndErrors) {
    struct Case {
        const char* method;
        uint32_t count;
        int code;
    };
    const Case cases[] = {
        {"charAt", 1, 0},    {"charAt", 0, 2555}, {"charAt", 2, 2560},  // exactly
        {"concat", 1, 0},    {"concat", 3, 0},    {"concat", 0, 2555},  // at least
        {"slice", 0, 0},     {"slice", 2, 0},     {"slice", 3, 2560},   // at most
        {"reverse", 0, 2565},                                            // known, no form
        {"charat", 1, 2552}, {"a", 1, 2552},                            // unknown
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of(c.method, c.count), c.code) << c.method << " with " << c.count;
    }
}

TEST_F(MethodTableTest, ErrorTextsUseTheTableMessages) {
    error_of("nosuch", 0);
    EXPECT_NE(std::string(g_errors.text).find("2552 (t.js:0:0) : Arrayのメソッド名不正"), std::string::npos)
        << g_errors.text;
    error_of("reverse", 0);
    EXPECT_NE(std::string(g_errors.text).find(": Arrayのメソッド名不正"), std::string::npos) << g_errors.text;
    error_of("charAt", 0);
    EXPECT_NE(std::string(g_errors.text).find("2555 (t.js:0:0) : 引数の個数不正"), std::string::npos) << g_errors.text;
}

}  // namespace
}  // namespace kova

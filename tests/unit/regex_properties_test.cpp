// Member access on regular-expression values: the flag properties read
// from the flags byte, lastIndex read and written through location kind 5,
// and unknown names. The values are compiled-form items made by hand; only
// the flags byte and the lastIndex word are read here.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "eval/eval.h"
#include "parser/declarations.h"
#include "parser/module_table.h"
#include "parser/nodes.h"
#include "runtime_fixture.h"

namespace kova {
namespace {

class RegexPropertiesTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_runtime_for_run();
        declarations_reset();
        eval_reset();
    }

    // A regular expression held by one reference, as a variable holds it.
    static Value regex(uint8_t flags, uint32_t last_index) {
        uint8_t* item = nullptr;
        const uint32_t reference = area_alloc(20, &item);
        std::memset(item, 0, 20);
        item[0] = make_header(TAG_REGEX, 1);
        item[1] = flags;
        store_u32(item + 8, last_index);
        return make_value(TAG_REGEX, reference);
    }
    static uint32_t last_index_of(Value re) { return load_u32(area_pointer(value_payload(re)) + 8); }

    static Value name(const char* text) { return make_value(TAG_NAME, intern(text, std::strlen(text))); }
    static Value member(Value re, const char* property) {
        const Value operands[2] = {re, name(property)};
        return make_node(NODE_MEMBER, 2, operands, 0);
    }
    static Value node2(uint32_t kind, Value a, Value b) {
        const Value operands[2] = {a, b};
        return make_node(kind, 2, operands, 0);
    }
    static std::string text_of(Value v) {
        EXPECT_EQ(value_tag(v), TAG_STRING);
        return std::string(string_text(v), string_length(v));
    }
    static int raised(Value node) {
        try {
            evaluate(node);
        } catch (const ScriptUnwind& unwind) {
            size_t length = 0;
            const char* code = error_code_text(unwind.value, &length);
            return std::stoi(std::string(code, length));
        }
        return 0;
    }
};

TEST_F(RegexPropertiesTest, FlagPropertiesReadTheFlagsByte) {
    const Value ig = regex(0x08 | 0x10, 0);
    EXPECT_EQ(text_of(evaluate(member(ig, "flags"))), "ig");
    EXPECT_EQ(evaluate(member(ig, "global")), Value(NAME_TRUE));
    EXPECT_EQ(evaluate(member(ig, "ignoreCase")), Value(NAME_TRUE));
    EXPECT_EQ(evaluate(member(ig, "multiline")), Value(NAME_FALSE));
    EXPECT_EQ(evaluate(member(ig, "sticky")), Value(NAME_FALSE));
    EXPECT_EQ(evaluate(member(ig, "dotAll")), Value(NAME_FALSE));
    EXPECT_EQ(evaluate(member(ig, "unicode")), Value(NAME_TRUE));

    // Letters come in the order i, m, g, y, s; the alternation mark 0x80 is no flag.
    const Value all = regex(0x80 | 0x40 | 0x20 | 0x10 | 0x08 | 0x04, 0);
    EXPECT_EQ(text_of(evaluate(member(all, "flags"))), "imgys");
    EXPECT_EQ(evaluate(member(all, "dotAll")), Value(NAME_TRUE));
    EXPECT_EQ(evaluate(member(regex(0, 0), "flags")), Value(NAME_NULL));
}

TEST_F(RegexPropertiesTest, LastIndexIsReadAndStoredThroughTheRegister) {
    const Value re = regex(0x10, 4);
    const Value read = evaluate(member(re, "lastIndex"));
    ASSERT_EQ(value_tag(read), TAG_INTEGER);
    EXPECT_EQ(cell_as<IntegerCell>(read)->value, 4);
    EXPECT_EQ(g_eval.location_kind, LOCATION_LAST_INDEX);

    const Value assigned = evaluate(node2(NODE_ASSIGN, member(re, "lastIndex"), new_integer(9)));
    EXPECT_EQ(cell_as<IntegerCell>(assigned)->value, 9);
    EXPECT_EQ(last_index_of(re), 9u);

    evaluate(node2(NODE_ASSIGN, member(re, "lastIndex"), new_float(2.9)));
    EXPECT_EQ(last_index_of(re), 2u);

    const Value target = member(re, "lastIndex");
    const Value increment = make_node(NODE_POSTFIX_INCREMENT, 1, &target, 0);
    const uint8_t header = *area_pointer(value_payload(re));
    const Value old = evaluate(increment);
    EXPECT_EQ(cell_as<IntegerCell>(old)->value, 2);
    EXPECT_EQ(last_index_of(re), 3u);
    EXPECT_EQ(*area_pointer(value_payload(re)), header) << "the store must not hold or drop references";
}

TEST_F(RegexPropertiesTest, UnknownNamesAreRefusedWholeNotByPrefix) {
    const Value re = regex(0x10, 0);
    EXPECT_EQ(raised(member(re, "bogus")), 5080);
    EXPECT_EQ(raised(member(re, "flag")), 5080);
    EXPECT_EQ(raised(member(re, "global2")), 5080);
    EXPECT_NE(std::string(g_errors.text).find("正規表現プロパティ不正"), std::string::npos);
}

}  // namespace
}  // namespace kova

// Value text: the text of each kind of value alone and inside containers,
// the float format, buffer growth, and the values that have no text.
#include "core/value_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "parser/module_table.h"
#include "parser/nodes.h"

namespace kova {
namespace {

class ValueTextTest : public ::testing::Test {
protected:
    void SetUp() override {
        areas_reset();
        errors_reset();
        names_reset();
        values_reset();
        modules_reset();
        areas_enter_run_mode();
    }

    static Value str(const char* text) { return new_string(text, std::strlen(text)); }
    static Value name(const char* text) { return make_value(TAG_NAME, intern(text, std::strlen(text))); }
    static Value constant(uint32_t index) { return make_value(TAG_NAME, index); }

    static Value array_of(const std::vector<Value>& elements) {
        return new_array(elements.data(), static_cast<uint32_t>(elements.size()));
    }
    static Value object_of(const std::vector<std::pair<const char*, Value>>& pairs) {
        std::vector<uint32_t> words;
        for (const auto& [key, value] : pairs) {
            words.push_back(intern(key, std::strlen(key)));
            words.push_back(value);
        }
        return new_object(words.data(), static_cast<uint32_t>(pairs.size()));
    }
    static Value keyed_of(const std::vector<std::pair<uint32_t, Value>>& pairs) {
        uint8_t* item = nullptr;
        const Value keyed = new_keyed_cell(uint32_t(pairs.size()), uint32_t(pairs.size()) + 10, &item);
        for (size_t i = 0; i < pairs.size(); ++i) {
            retain(pairs[i].second);
            store_u32(item + 8 * i, pairs[i].first);
            store_u32(item + 8 * i + 4, pairs[i].second);
        }
        return keyed;
    }

    static std::string text(Value v) {
        LocalText<TEXT_SCRATCH_SIZE> buffer;
        value_to_text(v, buffer);
        EXPECT_EQ(std::strlen(buffer.data), buffer.length) << "text not NUL-terminated at its length";
        return std::string(buffer.data, buffer.length);
    }
    static std::string appended(Value v, bool quote) {
        LocalText<TEXT_SCRATCH_SIZE> buffer;
        append_value_text(v, buffer, quote);
        return std::string(buffer.data, buffer.length);
    }
    static int raised_code(void (*convert)(Value), Value v) {
        try {
            convert(v);
        } catch (const ScriptUnwind& unwind) {
            size_t length = 0;
            const char* code = error_code_text(unwind.value, &length);
            return std::atoi(std::string(code, length).c_str());
        }
        return 0;
    }
};

TEST_F(ValueTextTest, FloatFormatKeepsOneDecimalAndTenAtMost) {
    const std::vector<std::pair<double, const char*>> cases = {
        {2.5, "2.5"},
        {3.0, "3.0"},
        {0.1 + 0.2, "0.3"},
        {1.0 / 3.0, "0.3333333333"},
        {1e20, "100000000000000000000.0"},
        {0.0, "0.0"},
        {-0.5, "-0.5"},
        {3.25, "3.25"},
        {1e-11, "0.0"},
        {-1234.5678, "-1234.5678"},
    };
    for (const auto& [x, expected] : cases) {
        EXPECT_EQ(text(new_float(x)), expected) << x;
        char out[FLOAT_TEXT_SIZE];
        EXPECT_EQ(std::string(out, format_float(x, out)), expected) << x;
    }
}

TEST_F(ValueTextTest, LargestFloatsFitTheirBuffer) {
    char out[FLOAT_TEXT_SIZE];
    const size_t length = format_float(-1.7976931348623157e308, out);
    EXPECT_EQ(length, 1u + 309u + 2u);  // sign, 309 digits, ".0"
    EXPECT_EQ(std::string(out + length - 2), ".0");
    EXPECT_EQ(text(new_float(INFINITY)), "inf");
}

TEST_F(ValueTextTest, ScalarsAndNames) {
    EXPECT_EQ(text(new_integer(-42)), "-42");
    EXPECT_EQ(text(new_integer(INT32_MIN)), "-2147483648");
    EXPECT_EQ(text(constant(NAME_UNDEFINED)), "undefined");
    EXPECT_EQ(text(constant(NAME_TRUE)), "true");
    EXPECT_EQ(text(constant(NAME_NULL)), "null");
    EXPECT_EQ(text(constant(NAME_NAN)), "NaN");
    EXPECT_EQ(text(name("someName")), "someName");
    // A string alone is its text, quote flag or not.
    EXPECT_EQ(text(str("a\"b")), "a\"b");
    EXPECT_EQ(appended(str("x"), false), "x");
    EXPECT_EQ(appended(str("x"), true), "\"x\"");
}

TEST_F(ValueTextTest, ContainersAlone) {
    EXPECT_EQ(text(array_of({})), "[]");
    EXPECT_EQ(text(object_of({})), "{}");
    EXPECT_EQ(text(keyed_of({})), "[]");
    EXPECT_EQ(text(array_of({new_integer(1), str("a"), new_float(2.5), constant(NAME_NULL)})),
              "[1,\"a\",2.5,null]");
    // Nothing inside a string is escaped.
    EXPECT_EQ(text(array_of({str("a\"b")})), "[\"a\"b\"]");
    EXPECT_EQ(text(keyed_of({{make_integer_key(5), constant(NAME_TRUE)}})), "[5:true]");
    EXPECT_EQ(text(keyed_of({{make_integer_key(0), str("x")}, {name("k"), new_integer(2)}})), "[0:\"x\",k:2]");
    EXPECT_EQ(text(object_of({{"a", str("x")}, {"b", new_integer(1)}})), "{a:\"x\",b:1}");
}

TEST_F(ValueTextTest, ContainersInsideContainers) {
    const Value object = object_of({{"a", str("x")}});
    EXPECT_EQ(text(array_of({object})), "[{'a':\"x\"}]");
    EXPECT_EQ(text(array_of({array_of({str("x")}), keyed_of({{name("k"), str("y")}})})), "[[\"x\"],[k:\"y\"]]");
    // Without the quote flag, strings in arrays and keyed arrays are bare;
    // object values are quoted whatever the flag.
    const Value mixed = array_of({str("x"), array_of({str("y")}), keyed_of({{name("k"), str("z")}}), object});
    EXPECT_EQ(appended(mixed, false), "[x,[y],[k:z],{'a':\"x\"}]");
    EXPECT_EQ(appended(mixed, true), "[\"x\",[\"y\"],[k:\"z\"],{'a':\"x\"}]");
    EXPECT_EQ(appended(object, false), "{'a':\"x\"}");
}

TEST_F(ValueTextTest, NodesErrorsAndHandles) {
    const Value operands[2] = {new_integer(1), new_integer(2)};
    const Value node = make_node(118, 2, operands, 0);
    EXPECT_EQ(text(node), "operation_index: 118");
    EXPECT_EQ(appended(node, true), "Operation");
    EXPECT_EQ(text(array_of({node})), "[Operation]");

    const Value error = new_error_object(ERROR_CODE_NUMBER, "2240", 4, "bad +", 5);
    EXPECT_EQ(text(error), "2240:bad +");
    EXPECT_EQ(appended(error, true), "2240:bad +");

    uint8_t* item = nullptr;
    const uint32_t sql = area_alloc(16, &item);
    item[0] = make_header(TAG_SQL, 0);
    EXPECT_EQ(text(make_value(TAG_SQL, sql)), "SQL_Object");
    const uint32_t connection = area_alloc(16, &item);
    item[0] = make_header(TAG_CONNECTION, 0);
    EXPECT_EQ(appended(make_value(TAG_CONNECTION, connection), true), "DB_Connection");
}

TEST_F(ValueTextTest, ValuesWithoutTextRaise) {
    Cell* cell = nullptr;
    const Value function = new_cell(TAG_FUNCTION, 0, &cell);
    auto whole = [](Value v) {
        LocalText<64> buffer;
        value_to_text(v, buffer);
    };
    auto part = [](Value v) {
        LocalText<64> buffer;
        append_value_text(v, buffer, true);
    };
    EXPECT_EQ(raised_code(whole, function), 2522);
    EXPECT_EQ(raised_code(part, function), 2520);
    EXPECT_EQ(raised_code(whole, make_value(TAG_IMMEDIATE, 7)), 2522);
    // Inside a container the part's code applies.
    EXPECT_EQ(raised_code(whole, array_of({new_integer(1), function})), 2520);
    EXPECT_NE(std::string(g_errors.text).find("データの型不正"), std::string::npos);
}

TEST_F(ValueTextTest, BufferGrowsKeepingItsTextAndFreesWhatItAllocated) {
    const std::string long_text(10000, 'q');
    LocalText<64> buffer;
    append_text_bytes(buffer, "ab", 2);
    EXPECT_FALSE(buffer.owned);
    append_value_text(new_string(long_text.data(), long_text.size()), buffer, true);
    EXPECT_TRUE(buffer.owned);
    EXPECT_GT(buffer.capacity, buffer.length + TEXT_SLACK);
    EXPECT_EQ(std::string(buffer.data, buffer.length), "ab\"" + long_text + "\"");

    // value_to_text replaces the content, whatever was there.
    value_to_text(new_integer(7), buffer);
    EXPECT_EQ(std::string(buffer.data, buffer.length), "7");

    TextBuffer caller{nullptr, 0, 0, false};
    value_to_text(str("hello"), caller);
    EXPECT_EQ(std::string(caller.data, caller.length), "hello");
    EXPECT_TRUE(caller.owned);
    text_buffer_free(caller);
    EXPECT_EQ(caller.data, nullptr);
}

TEST_F(ValueTextTest, LongContainerTextIsWhole) {
    // Built piece by piece across many growth steps of a small buffer.
    std::vector<Value> elements;
    for (int i = 0; i < 20000; ++i) elements.push_back(new_integer(i));
    const Value big = array_of(elements);
    LocalText<64> buffer;
    value_to_text(big, buffer);
    std::string expected = "[";
    for (int i = 0; i < 20000; ++i) expected += (i ? "," : "") + std::to_string(i);
    expected += "]";
    EXPECT_EQ(std::string(buffer.data, buffer.length), expected);
}

TEST_F(ValueTextTest, ContainerHoldingItselfEndsInAnError) {
    const Value array = array_of({new_integer(1)});
    // Element 0 becomes the array itself.
    retain(array);
    uint8_t* elements = area_pointer(cell_as<ArrayCell>(array)->elements);
    release(load_u32(elements));
    store_u32(elements, array);
    auto whole = [](Value v) {
        LocalText<64> buffer;
        value_to_text(v, buffer);
    };
    EXPECT_EQ(raised_code(whole, array), 1400);
}

// value_has_text tells beforehand whether a conversion would raise (a
// trace of the debugger must not make the traced call fail).
TEST_F(ValueTextTest, HasTextTellsWhetherTheConversionRaises) {
    Cell* cell = nullptr;
    const Value function = new_cell(TAG_FUNCTION, 0, &cell);
    const Value self = array_of({new_integer(1)});
    retain(self);
    uint8_t* elements = area_pointer(cell_as<ArrayCell>(self)->elements);
    release(load_u32(elements));
    store_u32(elements, self);
    const std::vector<std::pair<Value, bool>> cases = {
        {new_integer(1), true},
        {str("s"), true},
        {constant(NAME_NULL), true},
        {function, false},
        {make_value(TAG_IMMEDIATE, 7), false},
        {array_of({new_integer(1), array_of({str("x"), object_of({{"k", str("v")}})})}), true},
        {array_of({new_integer(1), array_of({function})}), false},
        {object_of({{"a", str("x")}, {"b", function}}), false},
        {keyed_of({{make_integer_key(5), function}}), false},
        {keyed_of({{make_integer_key(5), str("x")}}), true},
        {self, false},
    };
    auto whole = [](Value v) {
        LocalText<64> buffer;
        value_to_text(v, buffer);
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(value_has_text(cases[i].first), cases[i].second) << "case " << i;
        EXPECT_EQ(raised_code(whole, cases[i].first) == 0, cases[i].second) << "case " << i;
    }
}

// Bits beside the fields (the day of the week above the day, spare bits
// above the month and the milliseconds) never reach the text.
TEST_F(ValueTextTest, DateTextHasMillisecondsOnlyWhenThereAreSome) {
    auto date = [](int year, int month0, int day, int hour, int minute, int second, int milliseconds) {
        Cell* cell = nullptr;
        const Value v = new_cell(TAG_DATE, 0, &cell);
        DateCell* d = reinterpret_cast<DateCell*>(cell);
        d->month = static_cast<uint8_t>(month0 | 0x30);
        d->hour = static_cast<uint8_t>(hour);
        d->day = static_cast<uint8_t>(day | 0xA0);
        d->minute = static_cast<uint8_t>(minute);
        d->second = static_cast<uint8_t>(second);
        d->year = static_cast<uint16_t>(year);
        d->milliseconds = static_cast<uint32_t>(milliseconds) | 0xFC00u;
        return v;
    };
    char text[DATE_TEXT_SIZE];
    size_t n = format_date_text(date(2024, 0, 5, 9, 3, 7, 0), text);
    EXPECT_EQ(std::string(text, n), "2024-01-05 09:03:07");
    n = format_date_text(date(1999, 11, 31, 23, 59, 58, 42), text);
    EXPECT_EQ(std::string(text, n), "1999-12-31 23:59:58.042");
    const Value inside = array_of({date(2024, 0, 5, 9, 3, 7, 5)});
    LocalText<64> buffer;
    value_to_text(inside, buffer);
    EXPECT_EQ(std::string(buffer.data, buffer.length), "[2024-01-05 09:03:07.005]");
}

}  // namespace
}  // namespace kova

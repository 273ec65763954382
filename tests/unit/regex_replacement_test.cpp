// The replacement template of String replace, which no script reaches
// before the String methods: "$n", "$<name>", what stays as written, and
// the template's errors.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/areas.h"
#include "core/errors.h"
#include "core/value_text.h"
#include "core/values.h"
#include "regex/regex.h"
#include "runtime_fixture.h"

namespace kova {
namespace {

class RegexReplacementTest : public ::testing::Test {
protected:
    void SetUp() override { reset_runtime_for_run("t.js"); }
    void TearDown() override { regex_reset(); }

    // The expansion of `replacement` for the first match of `pattern` in
    // `subject`, or "ERROR <code>".
    static std::string expand(const std::string& pattern, const char* subject, const std::string& replacement,
                              uint8_t flags = 0) {
        const Value compiled = compile_regex_text(pattern.data(), pattern.size(), flags);
        retain(compiled);
        const Value text = new_string(subject, std::strlen(subject));
        retain(text);
        const RegexSubject s = regex_subject(text, (flags & REGEX_IGNORE_CASE) != 0);
        int32_t start = 0;
        EXPECT_GE(regex_search(s, 0, compiled, &start, flags), 0) << pattern;
        LocalText<64> out;
        try {
            expand_replacement(compiled, s, replacement.data(), replacement.size(), out);
        } catch (const ScriptUnwind& unwind) {
            size_t length = 0;
            const char* code = error_code_text(unwind.value, &length);
            return "ERROR " + std::string(code, length);
        }
        return std::string(out.data, out.length);
    }
};

TEST_F(RegexReplacementTest, GroupNumbersAndNames) {
    struct Row {
        const char* pattern;
        const char* subject;
        const char* replacement;
        const char* expected;
    };
    const Row rows[] = {
        {"(\\d+)-(\\d+)", "x 10-20 y", "$2-$1", "20-10"},
        {"(a)(b)", "ab", "[$1|$2|$1]", "[a|b|a]"},
        {"(?<first>\\w+) (?<last>\\w+)", "Ada Lovelace", "$<last>, $<first>", "Lovelace, Ada"},
        {"(?<n>x)", "x", "$<none>/$<n>", "$<none>/x"},
        {"(a)", "a", "$$ $ $x \\$1 $<n", "$$ $ $x \\$1 $<n"},
        {"(a)", "a", "cost: $", "cost: $"},
        {"(b)", "aBc", "<$1>", "<B>"},
        {"(?:(a)|(b))", "b", "[$1][$2]", "[][b]"},
        {"(é+)", "caféé", "$1!", "éé!"},
    };
    for (const Row& row : rows) {
        const uint8_t flags = std::strcmp(row.subject, "aBc") == 0 ? REGEX_IGNORE_CASE : 0;
        EXPECT_EQ(expand(row.pattern, row.subject, row.replacement, flags), row.expected) << row.pattern;
    }
}

TEST_F(RegexReplacementTest, TemplateErrors) {
    EXPECT_EQ(expand("(a)(b)", "ab", "$3"), "ERROR 2717");
    EXPECT_EQ(expand("(a)", "a", "$0"), "ERROR 2717");
    EXPECT_EQ(expand("(a)", "a", "$10"), "ERROR 2717");
    EXPECT_EQ(expand("(?<n>a)", "a", "$<" + std::string(201, 'n') + ">"), "ERROR 2718");
    EXPECT_EQ(expand("(?<n>a)", "a", "$<" + std::string(200, 'n') + ">"), "$<" + std::string(200, 'n') + ">");

    std::string many;
    for (int i = 0; i < 255; ++i) many += "$1";
    EXPECT_EQ(expand("(a)", "a", many), std::string(255, 'a'));
    EXPECT_EQ(expand("(a)", "a", many + "$1"), "ERROR 2716");

    std::string groups;
    for (int i = 0; i < 129; ++i) groups += "(a)";
    const std::string subject(129, 'a');
    EXPECT_EQ(expand(groups, subject.c_str(), "plain"), "ERROR 2717");
    EXPECT_EQ(expand(groups.substr(0, 3 * 128), subject.c_str(), "$128"), "a");
}

}  // namespace
}  // namespace kova

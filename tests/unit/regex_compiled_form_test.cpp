// The compiled form of patterns, byte by byte as compiled modules carry it:
// sequences, alternations, terms and the literal pool; capture spans written
// into the terms by a search; and what freeing a compiled value releases.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "regex/regex.h"
#include "runtime_fixture.h"

namespace kova {
namespace {

class RegexCompiledFormTest : public ::testing::Test {
protected:
    void SetUp() override { reset_runtime_for_run("t.js"); }
    void TearDown() override { regex_reset(); }

    static Value compile(const char* pattern, uint8_t flags = 0) {
        const Value v = compile_regex_text(pattern, std::strlen(pattern), flags);
        retain(v);
        return v;
    }
    static const uint8_t* item(Value v) { return area_pointer(value_payload(v)); }
    static RegexTerm term(Value sequence, uint32_t i) {
        EXPECT_EQ(item(sequence)[REGEX_FLAGS_OFFSET] & REGEX_ALTERNATION, 0);
        EXPECT_LT(i, load_u16(item(sequence) + REGEX_COUNT_OFFSET));
        RegexTerm t;
        std::memcpy(&t, area_pointer(load_u32(item(sequence) + REGEX_REFERENCE_OFFSET)) + REGEX_TERM_SIZE * i,
                    REGEX_TERM_SIZE);
        return t;
    }
    static uint32_t term_count(Value v) { return load_u16(item(v) + REGEX_COUNT_OFFSET); }
    static std::u16string pool(Value sequence) {
        const uint32_t length = load_u16(item(sequence) + REGEX_POOL_LENGTH_OFFSET);
        std::u16string units;
        for (uint32_t i = 0; i <= length; ++i) units.push_back(char16_t(load_u16(item(sequence) + REGEX_POOL_OFFSET + 2 * i)));
        return units;
    }
    static std::u16string units_of(Value sequence, const RegexTerm& t) {
        return pool(sequence).substr(t.pool_offset, t.pool_count);
    }
};

TEST_F(RegexCompiledFormTest, LiteralRunSplitsOffTheQuantifiedCharacter) {
    const Value v = compile("abc+");
    ASSERT_EQ(term_count(v), 2u);
    EXPECT_EQ(pool(v), std::u16string(u"abc\0", 4));
    const RegexTerm run = term(v, 0);
    EXPECT_EQ(run.kind, TERM_LITERAL_RUN);
    EXPECT_EQ(run.quantifier, QUANTIFIER_NONE);
    EXPECT_EQ(units_of(v, run), u"ab");
    const RegexTerm c = term(v, 1);
    EXPECT_EQ(c.kind, TERM_CHARACTER);
    EXPECT_EQ(units_of(v, c), u"c");
    EXPECT_EQ(c.quantifier, QUANTIFIER_AT_LEAST);
    EXPECT_EQ(c.min, 1);
    EXPECT_EQ(c.max, REGEX_UNBOUNDED);
    EXPECT_EQ(item(v)[REGEX_HEADER_OFFSET] & 0x0F, TAG_REGEX);
    EXPECT_EQ(load_u32(item(v) + REGEX_LAST_INDEX_OFFSET), 0u);
}

TEST_F(RegexCompiledFormTest, QuantifiedNonCapturingGroupHoldsItsSequence) {
    const Value v = compile("(?:ab)+");
    ASSERT_EQ(term_count(v), 1u);
    const RegexTerm g = term(v, 0);
    EXPECT_EQ(g.kind, TERM_NON_CAPTURING);
    EXPECT_EQ(g.quantifier, QUANTIFIER_AT_LEAST);
    EXPECT_EQ(g.min, 1);
    ASSERT_EQ(value_tag(g.sub), TAG_REGEX);
    EXPECT_EQ(item(g.sub)[REGEX_HEADER_OFFSET] >> 4, 1) << "held once by its term";
    ASSERT_EQ(term_count(g.sub), 1u);
    EXPECT_EQ(term(g.sub, 0).kind, TERM_LITERAL_RUN);
    EXPECT_EQ(units_of(g.sub, term(g.sub, 0)), u"ab");
}

TEST_F(RegexCompiledFormTest, TopLevelBarMakesAnAlternation) {
    const Value v = compile("a|bc", REGEX_GLOBAL);
    const uint8_t* a = item(v);
    EXPECT_EQ(a[REGEX_FLAGS_OFFSET], REGEX_GLOBAL | REGEX_ALTERNATION);
    ASSERT_EQ(load_u16(a + REGEX_COUNT_OFFSET), 2u);
    const uint8_t* list = area_pointer(load_u32(a + REGEX_REFERENCE_OFFSET));
    const Value first = load_u32(list);
    const Value second = load_u32(list + 4);
    EXPECT_EQ(term(first, 0).kind, TERM_CHARACTER);
    EXPECT_EQ(units_of(second, term(second, 0)), u"bc");
    EXPECT_EQ(regex_flags(v), REGEX_GLOBAL);
    // A single alternative is returned as it is.
    EXPECT_EQ(item(compile("(a|b)"))[REGEX_FLAGS_OFFSET] & REGEX_ALTERNATION, 0);
}

TEST_F(RegexCompiledFormTest, ClassesStoreMembersRangesAndShorthandBits) {
    const Value range = compile("[a-e]");
    const RegexTerm r = term(range, 0);
    EXPECT_EQ(r.kind, TERM_CLASS);
    EXPECT_EQ(units_of(range, r), u"abcde");
    EXPECT_EQ(r.number, 0);

    const Value mixed = compile("[^\\w\\d-x]");
    const RegexTerm m = term(mixed, 0);
    EXPECT_EQ(m.kind, TERM_NEGATED_CLASS);
    EXPECT_EQ(m.number, SHORTHAND_WORD | SHORTHAND_DIGIT);
    EXPECT_EQ(units_of(mixed, m), u"-x");

    EXPECT_EQ(term(compile("[^]"), 0).kind, TERM_ANY);
}

TEST_F(RegexCompiledFormTest, IgnoreCaseStoresLettersUpperCase) {
    const Value v = compile("ab[c-e]\\x66_", REGEX_IGNORE_CASE);
    EXPECT_EQ(pool(v), std::u16string(u"ABCDEF_\0", 8));
}

TEST_F(RegexCompiledFormTest, TermFieldsOfEachForm) {
    const Value v = compile("^(?<year>x)\\1\\d{2,5}?(?=y)\\b.{3}$");
    ASSERT_EQ(term_count(v), 7u);
    EXPECT_EQ(term(v, 0).kind, TERM_LINE_START);
    const RegexTerm group = term(v, 1);
    EXPECT_EQ(group.kind, TERM_GROUP);
    EXPECT_EQ(group.number, 1);
    EXPECT_EQ(group.name, make_value(TAG_NAME, uint32_t(find_name("year", 4))));
    const RegexTerm back = term(v, 2);
    EXPECT_EQ(back.kind, TERM_BACKREFERENCE);
    EXPECT_EQ(back.number, 1);
    const RegexTerm digits = term(v, 3);
    EXPECT_EQ(digits.kind, TERM_DIGIT);
    EXPECT_EQ(digits.quantifier, QUANTIFIER_RANGE | REGEX_LAZY);
    EXPECT_EQ(digits.min, 2);
    EXPECT_EQ(digits.max, 5);
    EXPECT_EQ(digits.lookaround, LOOK_AHEAD);
    ASSERT_EQ(value_tag(digits.sub), TAG_REGEX);
    EXPECT_EQ(term(digits.sub, 0).kind, TERM_CHARACTER);
    EXPECT_EQ(term(v, 4).kind, TERM_WORD_BOUNDARY);
    const RegexTerm dots = term(v, 5);
    EXPECT_EQ(dots.kind, TERM_ANY_BUT_NEWLINE);
    EXPECT_EQ(dots.quantifier, QUANTIFIER_EXACT);
    EXPECT_EQ(dots.min, 3);
    EXPECT_EQ(dots.max, 3);
    EXPECT_EQ(term(v, 6).kind, TERM_LINE_END);
}

TEST_F(RegexCompiledFormTest, LookaroundsOfGroupsAndLookbehindsBeforeTheirTerm) {
    // A lookbehind belongs to the term after it; a group keeps its own
    // contents in bytes 0-3 and its lookaround in bytes 16-19.
    const Value v = compile("(?<=a)(b)(?!c)");
    ASSERT_EQ(term_count(v), 1u);
    const RegexTerm g = term(v, 0);
    EXPECT_EQ(g.kind, TERM_NON_CAPTURING) << "both lookarounds: the group moves into one of its own";
    EXPECT_EQ(g.lookaround, LOOK_BEHIND);
    const uint8_t* raw = area_pointer(load_u32(item(v) + REGEX_REFERENCE_OFFSET));
    EXPECT_EQ(value_tag(load_u32(raw + TERM_GROUP_LOOKAROUND_OFFSET)), TAG_REGEX);
    const RegexTerm inner = term(g.sub, 0);
    EXPECT_EQ(inner.kind, TERM_GROUP);
    EXPECT_EQ(inner.lookaround, LOOK_NOT_AHEAD);
    const uint8_t* inner_raw = area_pointer(load_u32(item(g.sub) + REGEX_REFERENCE_OFFSET));
    EXPECT_EQ(value_tag(load_u32(inner_raw + TERM_GROUP_LOOKAROUND_OFFSET)), TAG_REGEX);
    EXPECT_EQ(term(inner.sub, 0).kind, TERM_CHARACTER);
}

TEST_F(RegexCompiledFormTest, SearchWritesCaptureSpansIntoTheGroupTerms) {
    const Value v = compile("(b+)(c)");
    const Value subject_text = new_string("abbc", 4);
    retain(subject_text);
    const RegexSubject subject = regex_subject(subject_text, false);
    int32_t start = 0;
    EXPECT_EQ(regex_search(subject, 0, v, &start, 0), 4);
    EXPECT_EQ(start, 1);
    EXPECT_EQ(term(v, 0).min, 1);
    EXPECT_EQ(term(v, 0).max, 3);
    EXPECT_EQ(term(v, 1).min, 3);
    EXPECT_EQ(term(v, 1).max, 4);
    int32_t a = 0;
    int32_t b = 0;
    ASSERT_TRUE(regex_capture(1, &a, &b));
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 3);
    // A failed search sets them to 0.
    EXPECT_EQ(regex_search(subject, 3, v, &start, 0), -1);
    EXPECT_EQ(term(v, 0).min, 0);
    EXPECT_EQ(term(v, 0).max, 0);
    EXPECT_FALSE(regex_capture(1, &a, &b));
}

TEST_F(RegexCompiledFormTest, PatternsTooLargeForTheCompiledFormRaise1400) {
    const auto code_of = [](const std::string& pattern) {
        try {
            compile_regex_text(pattern.data(), pattern.size(), 0);
        } catch (const ScriptUnwind& unwind) {
            size_t length = 0;
            const char* code = error_code_text(unwind.value, &length);
            return std::string(code, length);
        }
        return std::string("none");
    };
    EXPECT_EQ(code_of(std::string(65535, 'a')), "none");
    EXPECT_EQ(code_of(std::string(65536, 'a')), "1400");  // the pool's length is 16 bits
    EXPECT_EQ(code_of("[\\x00-\\uFFFF]"), "1400");
    std::string groups;
    for (int i = 0; i < 255; ++i) groups += "(a)";
    EXPECT_EQ(code_of(groups), "none");
    EXPECT_EQ(code_of(groups + "(a)"), "1400");  // the group number is one byte
    // Nesting deeper than the machine stack allows ends in the error, not a crash.
    const size_t depth = 200000;
    EXPECT_EQ(code_of(std::string(depth, '(') + "a" + std::string(depth, ')')), "1400");
}

TEST_F(RegexCompiledFormTest, FreeingReleasesEveryPart) {
    // Were the term arrays, the alternative list or the sub-expressions kept,
    // the class pages would fill up.
    const Value subject_text = new_string("xaby", 4);
    retain(subject_text);
    const auto pages_in_use = [] {
        uint32_t pages = 0;
        for (uint32_t c = 1; c <= AREA_CLASS_COUNT; ++c) pages += uint32_t(g_areas.classes[c].current + 1);
        return pages;
    };
    const auto round = [&subject_text] {
        const Value v = compile("(a)(?:b|(?<n>c))+(?=y)|[d-f]\\1");
        int32_t start = 0;
        ASSERT_EQ(regex_search(regex_subject(subject_text, false), 0, v, &start, 0), 3);
        release(v);
    };
    // Enough rounds first for a sanitizer build's quarantine of freed
    // storage to reach its steady size.
    for (int i = 0; i < 2000; ++i) round();
    const uint32_t before = pages_in_use();
    for (int i = 0; i < 20000; ++i) round();
    EXPECT_EQ(pages_in_use(), before);
}

}  // namespace
}  // namespace kova

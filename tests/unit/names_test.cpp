// The name table: predefined indexes, lookup keys, interning and growth.
#include "core/names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/areas.h"
#include "core/errors.h"

namespace kova {
namespace {

class NamesTest : public ::testing::Test {
protected:
    void SetUp() override {
        areas_reset();
        errors_reset();
        names_reset();
    }

    static uint32_t intern_text(const std::string& text) { return intern(text.data(), text.size()); }
    static std::string text_of(uint32_t index) { return std::string(name_text(index), name_length(index)); }
};

TEST_F(NamesTest, PredefinedNamesHaveTheirFixedIndexes) {
    EXPECT_EQ(g_names.count, 53u);
    EXPECT_EQ(g_names.predefined_count, 53u);
    const struct {
        uint32_t index;
        const char* text;
    } expected[] = {
        {NAME_UNDEFINED, "undefined"}, {1, "true"}, {2, "false"}, {3, "null"}, {4, "NaN"},
        {NAME_NUMBER, "Number"}, {17, "Float"}, {24, "Exception"}, {NAME_TYPEOF, "typeof"},
        {26, "instanceof"}, {31, "length"}, {42, "$set"}, {49, "_c__o__l__m_"}, {52, "new"},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.text);
        EXPECT_EQ(text_of(e.index), e.text);
        EXPECT_EQ(intern_text(e.text), e.index);
        EXPECT_EQ(find_name(e.text, std::string(e.text).size()), static_cast<int32_t>(e.index));
    }
    EXPECT_EQ(g_names.count, 53u);  // looking them up added nothing
}

TEST_F(NamesTest, KeyIsLengthAndPositionWeightedSum) {
    // 1 * 'a' + 2 * 'b' = 97 + 196
    EXPECT_EQ(name_key("ab", 2), (2u << 24) | 293u);
    // Position 17 weighs 0.
    EXPECT_EQ(name_key("aaaaaaaaaaaaaaaaa", 17), name_key("aaaaaaaaaaaaaaaaz", 17));
    // 500 blocks of 17 bytes 0xFF: 500 * 136 * 255 = 17,340,000, cut to 24
    // bits; the length 8500 keeps its low 8 bits (52) in the key.
    const std::string heavy(8500, '\xFF');
    EXPECT_EQ(name_key(heavy.data(), heavy.size()), (52u << 24) | (17340000u - 16777216u));
}

TEST_F(NamesTest, InterningSeparatesTextsWithEqualKeys) {
    const std::string a = "abcdefghijklmnopX";
    const std::string b = "abcdefghijklmnopY";  // differs only at position 17
    ASSERT_EQ(name_key(a.data(), a.size()), name_key(b.data(), b.size()));
    EXPECT_EQ(find_name(a.data(), a.size()), -1);
    const uint32_t ia = intern_text(a);
    const uint32_t ib = intern_text(b);
    EXPECT_EQ(ia, 53u);
    EXPECT_EQ(ib, 54u);
    EXPECT_EQ(intern_text(a), ia);
    EXPECT_EQ(intern_text(b), ib);
    EXPECT_EQ(text_of(ia), a);
    EXPECT_EQ(text_of(ib), b);
    EXPECT_EQ(name_text(ib)[b.size()], '\0');
    EXPECT_EQ(g_names.entries[ib].zero, 0);
    EXPECT_EQ(g_names.entries[ib].key, name_key(b.data(), b.size()));
}

TEST_F(NamesTest, GrowsPastTheFirst2048EntriesAndKeepsTheIndexSorted) {
    for (int i = 0; i < 3000; ++i) {
        EXPECT_EQ(intern_text("name" + std::to_string(i)), 53u + uint32_t(i));
    }
    // Keys of names over 127 bytes are negative as signed numbers.
    const uint32_t long_name = intern_text(std::string(130, 'q'));
    EXPECT_GE(g_names.capacity, g_names.count);
    EXPECT_GT(g_names.pool_capacity, 2048u);
    // The key index an image carries: every entry once, sorted by signed
    // key, entries of one key in the order they were interned.
    const NameKeyPair* pairs = name_key_index();
    std::vector<bool> seen(g_names.count, false);
    for (uint32_t i = 0; i < g_names.count; ++i) {
        ASSERT_LT(pairs[i].index, g_names.count);
        ASSERT_FALSE(seen[pairs[i].index]) << "index " << pairs[i].index << " twice";
        seen[pairs[i].index] = true;
        ASSERT_EQ(uint32_t(pairs[i].key), g_names.entries[pairs[i].index].key);
        if (i == 0) continue;
        ASSERT_LE(pairs[i - 1].key, pairs[i].key) << "at " << i;
        if (pairs[i - 1].key == pairs[i].key) {
            ASSERT_LT(pairs[i - 1].index, pairs[i].index) << "at " << i;
        }
    }
    // Names interned after the index was completed join it the next time.
    const uint32_t later = intern_text("interned after");
    pairs = name_key_index();
    bool found = false;
    for (uint32_t i = 0; i < g_names.count; ++i) found = found || pairs[i].index == later;
    EXPECT_TRUE(found);
    for (int i = 0; i < 3000; i += 7) {
        const std::string text = "name" + std::to_string(i);
        EXPECT_EQ(find_name(text.data(), text.size()), 53 + i);
        EXPECT_EQ(text_of(53u + uint32_t(i)), text);
    }
    EXPECT_EQ(intern_text(std::string(130, 'q')), long_name);
    EXPECT_EQ(text_of(NAME_NEW), "new");
}

TEST_F(NamesTest, NamesPast255BytesAreStoredWholeAndComparedWhole) {
    // A 300-byte name's key carries 300 mod 256 = 44 as its length, and
    // trailing zero bytes add nothing to the hash: both texts share a key.
    const std::string short_name(44, 'k');
    std::string long_name = short_name;
    long_name.append(256, '\0');
    ASSERT_EQ(name_key(short_name.data(), short_name.size()), name_key(long_name.data(), long_name.size()));
    const uint32_t ishort = intern_text(short_name);
    const uint32_t ilong = intern_text(long_name);
    EXPECT_NE(ishort, ilong);
    EXPECT_EQ(name_length(ilong), 300u);
    EXPECT_EQ(text_of(ilong), long_name);
    EXPECT_EQ(intern_text(long_name), ilong);
    EXPECT_EQ(intern_text(short_name), ishort);
    // A text longer than the pool step still fits.
    const std::string huge(5000, 'h');
    const uint32_t ihuge = intern_text(huge);
    EXPECT_EQ(text_of(ihuge), huge);
    EXPECT_EQ(intern_text(""), intern_text(""));
}

TEST_F(NamesTest, ResetForgetsInternedNames) {
    intern_text("transient");
    names_reset();
    EXPECT_EQ(g_names.count, 53u);
    EXPECT_EQ(find_name("transient", 9), -1);
}

}  // namespace
}  // namespace kova

// The failure memo's bit operations, which the matcher relies on to skip
// work: ranges across words and pages, and searches for set and clear bits.
#include <gtest/gtest.h>

#include <set>

#include "regex/state.h"

namespace kova {
namespace {

TEST(RegexMemoTest, RangesAndSearchesAgreeWithASetOfPositions) {
    FailureMemo memo;
    const uint32_t length = 20000;
    memo.begin(3, length);
    // Ranges that start and end inside words, on word and page boundaries.
    const int32_t ranges[][2] = {{5, 5}, {60, 70}, {128, 191}, {4090, 4100}, {8191, 12289}, {19999, 20000}};
    std::set<int32_t> expected;
    for (const auto& r : ranges) {
        memo.set_range(1, r[0], r[1]);
        for (int32_t p = r[0]; p <= r[1]; ++p) expected.insert(p);
    }
    memo.set(2, 7);
    for (int32_t p = 0; p <= int32_t(length); ++p) {
        ASSERT_EQ(memo.test(1, p), expected.count(p) == 1) << p;
        ASSERT_FALSE(memo.test(0, p)) << p;
    }
    const int32_t probes[][2] = {{0, 4}, {0, 20000}, {6, 59}, {71, 127}, {100, 4095}, {4101, 8190}, {8191, 8191},
                                 {12290, 19998}, {150, 160}, {4000, 13000}};
    for (const auto& q : probes) {
        int32_t first_set = -1, first_clear = -1, last_clear = -1;
        for (int32_t p = q[0]; p <= q[1]; ++p) {
            if (expected.count(p) && first_set < 0) first_set = p;
            if (!expected.count(p) && first_clear < 0) first_clear = p;
            if (!expected.count(p)) last_clear = p;
        }
        EXPECT_EQ(memo.first_set(1, q[0], q[1]), first_set) << q[0] << ".." << q[1];
        EXPECT_EQ(memo.first_clear(1, q[0], q[1]), first_clear) << q[0] << ".." << q[1];
        EXPECT_EQ(memo.last_clear(1, q[0], q[1]), last_clear) << q[0] << ".." << q[1];
    }
    // After a search nothing is remembered, whatever the next one's shape.
    memo.end();
    memo.begin(3, length);
    EXPECT_EQ(memo.first_set(1, 0, int32_t(length)), -1);
    EXPECT_FALSE(memo.test(2, 7));
    memo.end();
}

}  // namespace
}  // namespace kova

// Memory areas: cell pages, the permanent area, class pages, the large item
// table and reference counts.
#include "core/areas.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/values.h"

namespace kova {
namespace {

// These tests read freed cells and check the reuse order, so the
// sanitizer build's poisoning and quarantine are off for them.
class AreasTest : public ::testing::Test {
protected:
    void SetUp() override {
        areas_set_poisoning(false);
        areas_reset();
        errors_reset();
    }
    void TearDown() override {
        areas_reset();
        areas_set_poisoning(true);
    }
};

// Runs `action`, which must raise runtime error `code` with `message`.
template <typename Action>
void expect_runtime_error(Action action, int code, const std::string& message) {
    try {
        action();
    } catch (const ScriptUnwind&) {
        const std::string text(g_errors.text, g_errors.text_length);
        const std::string prefix = "EVAL ERROR " + std::to_string(code) + " (";
        const std::string suffix = ") : " + message;
        EXPECT_EQ(text.compare(0, prefix.size(), prefix), 0) << text;
        ASSERT_GE(text.size(), suffix.size()) << text;
        EXPECT_EQ(text.compare(text.size() - suffix.size(), suffix.size(), suffix), 0) << text;
        return;
    }
    ADD_FAILURE() << "no error raised; expected " << code << " " << message;
}

Value cell_at(uint32_t tag, uint32_t page, uint32_t slot) { return make_value(tag, page << 8 | slot); }

uint32_t class_reference(uint32_t cls, uint32_t page, uint32_t slot) { return cls << 20 | page << 8 | slot; }

uint32_t alloc(size_t size, uint8_t** pointer = nullptr) {
    uint8_t* p = nullptr;
    const uint32_t reference = area_alloc(size, &p);
    EXPECT_EQ(p, area_pointer(reference));
    if (pointer != nullptr) *pointer = p;
    return reference;
}

// ---- cells ------------------------------------------------------------------

TEST_F(AreasTest, NewCellBuildsValueHeaderAndZeroedCell) {
    Cell* first = nullptr;
    const Value a = new_cell(TAG_INTEGER, 1, &first);
    EXPECT_EQ(a, cell_at(TAG_INTEGER, 0, 0));
    EXPECT_EQ(first->header, 0x12);
    EXPECT_EQ(first, cell_pointer(a));

    // A reused cell comes back zeroed with the new header.
    areas_enter_run_mode();
    std::memset(first->payload, 0xAB, sizeof first->payload);
    free_cell(a);
    EXPECT_EQ(first->header, HEADER_FREE);
    Cell* again = nullptr;
    const Value b = new_cell(TAG_STRING, 0, &again);
    EXPECT_EQ(b, cell_at(TAG_STRING, 0, 0));
    EXPECT_EQ(again, first);
    EXPECT_EQ(again->header, 0x09);
    for (uint8_t byte : again->payload) EXPECT_EQ(byte, 0);
    EXPECT_EQ(g_areas.total_free, 0);
    EXPECT_EQ(g_areas.highest_free_page, -1);
}

TEST_F(AreasTest, FreedCellsOfOnePageComeBackHighestFirst) {
    areas_enter_run_mode();
    for (int i = 0; i < 5; ++i) new_cell(TAG_INTEGER, 1, nullptr);
    free_cell(cell_at(TAG_INTEGER, 0, 1));
    free_cell(cell_at(TAG_INTEGER, 0, 3));
    free_cell(cell_at(TAG_INTEGER, 0, 3));  // a second free of the same cell is not counted
    EXPECT_EQ(g_areas.total_free, 2);
    EXPECT_EQ(new_cell(TAG_FLOAT, 1, nullptr), cell_at(TAG_FLOAT, 0, 3));
    EXPECT_EQ(new_cell(TAG_FLOAT, 1, nullptr), cell_at(TAG_FLOAT, 0, 1));
    EXPECT_EQ(new_cell(TAG_FLOAT, 1, nullptr), cell_at(TAG_FLOAT, 0, 5));
}

TEST_F(AreasTest, FreedCellsComeBackFromTheHighestPageFirst) {
    areas_enter_run_mode();
    for (int i = 0; i < 300; ++i) new_cell(TAG_INTEGER, 1, nullptr);  // page 0 full, page 1 at 44
    free_cell(cell_at(TAG_INTEGER, 0, 10));
    free_cell(cell_at(TAG_INTEGER, 1, 5));
    free_cell(cell_at(TAG_INTEGER, 0, 200));
    EXPECT_EQ(g_areas.highest_free_page, 1);
    EXPECT_EQ(new_cell(TAG_INTEGER, 1, nullptr), cell_at(TAG_INTEGER, 1, 5));
    EXPECT_EQ(g_areas.highest_free_page, 0);
    EXPECT_EQ(new_cell(TAG_INTEGER, 1, nullptr), cell_at(TAG_INTEGER, 0, 200));
    EXPECT_EQ(new_cell(TAG_INTEGER, 1, nullptr), cell_at(TAG_INTEGER, 0, 10));
    EXPECT_EQ(g_areas.highest_free_page, -1);
    EXPECT_EQ(new_cell(TAG_INTEGER, 1, nullptr), cell_at(TAG_INTEGER, 1, 44));
}

TEST_F(AreasTest, LoadModeCountsFreedCellsButHandsOutFreshOnes) {
    const Value a = new_cell(TAG_INTEGER, 1, nullptr);
    new_cell(TAG_INTEGER, 1, nullptr);
    free_cell(a);
    EXPECT_EQ(g_areas.total_free, 1);
    EXPECT_EQ(new_cell(TAG_INTEGER, 1, nullptr), cell_at(TAG_INTEGER, 0, 2));
    areas_enter_run_mode();
    EXPECT_EQ(new_cell(TAG_INTEGER, 1, nullptr), a);
}

TEST_F(AreasTest, SealedPageMarkStartsANewPage) {
    areas_seal();  // nothing allocated yet: the first page is still page 0
    EXPECT_EQ(new_cell(TAG_INTEGER, 1, nullptr), cell_at(TAG_INTEGER, 0, 0));
    new_cell(TAG_INTEGER, 1, nullptr);
    areas_seal();
    EXPECT_EQ(g_areas.sealed_page, 1);
    EXPECT_EQ(new_cell(TAG_INTEGER, 1, nullptr), cell_at(TAG_INTEGER, 1, 0));
    EXPECT_EQ(new_cell(TAG_INTEGER, 1, nullptr), cell_at(TAG_INTEGER, 1, 1));
}

TEST_F(AreasTest, PageTableGrowsAndKeepsEveryCell) {
    const uint32_t cells = 129 * CELLS_PER_PAGE + 1;
    std::vector<Value> values;
    for (uint32_t i = 0; i < cells; ++i) {
        Cell* c = nullptr;
        values.push_back(new_cell(TAG_INTEGER, 1, &c));
        reinterpret_cast<IntegerCell*>(c)->value = int32_t(i);
    }
    EXPECT_EQ(g_areas.cell_page_capacity, 2 * INITIAL_TABLE_ENTRIES);
    EXPECT_EQ(values[128 * CELLS_PER_PAGE], cell_at(TAG_INTEGER, 128, 0));
    EXPECT_EQ(values.back(), cell_at(TAG_INTEGER, 129, 0));
    for (uint32_t i = 0; i < cells; ++i) ASSERT_EQ(cell_as<IntegerCell>(values[i])->value, int32_t(i));

    // Free counts kept for pages beyond the initial table.
    areas_enter_run_mode();
    free_cell(values[128 * CELLS_PER_PAGE + 7]);
    EXPECT_EQ(new_cell(TAG_INTEGER, 1, nullptr), cell_at(TAG_INTEGER, 128, 7));
}

TEST_F(AreasTest, CellPagesEndAtPage4095) {
    const uint32_t all = 4096 * CELLS_PER_PAGE;
    Value last = 0;
    for (uint32_t i = 0; i < all; ++i) last = new_cell(TAG_INTEGER, 1, nullptr);
    EXPECT_EQ(last, cell_at(TAG_INTEGER, 4095, 255));
    expect_runtime_error([] { new_cell(TAG_INTEGER, 1, nullptr); }, 1435, "Buffer Overflow(Area DW)");
    expect_runtime_error([] { new_cell(TAG_INTEGER, 1, nullptr); }, 1435, "Buffer Overflow(Area DW)");
    EXPECT_EQ(g_areas.current_page, 4095);
    // Freed cells are still handed out once the pages are exhausted.
    areas_enter_run_mode();
    free_cell(cell_at(TAG_INTEGER, 17, 3));
    EXPECT_EQ(new_cell(TAG_INTEGER, 1, nullptr), cell_at(TAG_INTEGER, 17, 3));
}

TEST_F(AreasTest, CellValueOfFindsPageAndSlot) {
    std::vector<Value> values;
    for (uint32_t i = 0; i < 2 * CELLS_PER_PAGE + 10; ++i) {
        values.push_back(new_cell(i % 2 ? TAG_STRING : TAG_FLOAT, 1, nullptr));
    }
    for (Value v : {values[0], values[1], values[255], values[256], values[2 * CELLS_PER_PAGE + 9]}) {
        EXPECT_EQ(cell_value_of(cell_pointer(v)), v);
        EXPECT_EQ(cell_value_of(reinterpret_cast<uint8_t*>(cell_pointer(v)) + 15), v);
    }
    Cell outside{};
    expect_runtime_error([&] { cell_value_of(&outside); }, 2495, "システム・エラー(get_self_16)");
}

// ---- permanent area ------------------------------------------------------------

TEST_F(AreasTest, LoadModeItemsAreZeroFilledAndPackedByWords) {
    uint8_t* p = nullptr;
    EXPECT_EQ(alloc(10, &p), 0u);  // (10 + 4) / 4 = 3 words
    for (int i = 0; i < 11; ++i) EXPECT_EQ(p[i], 0);
    EXPECT_EQ(alloc(0), 3u);
    EXPECT_EQ(alloc(3), 4u);  // 3 bytes and the terminating zero: one word
    EXPECT_EQ(alloc(4), 5u);  // 4 bytes need a second word
    EXPECT_EQ(g_areas.block_used[0], 7u);
}

TEST_F(AreasTest, TwentyThousandBytesSpanFiveBlocksAndLeaveTheLastOpen) {
    uint8_t* p = nullptr;
    EXPECT_EQ(alloc(20000, &p), 0u);  // 5001 words
    EXPECT_EQ(g_areas.highest_block, 4);
    for (int b = 0; b < 4; ++b) EXPECT_EQ(g_areas.block_used[b], BLOCK_WORDS);
    EXPECT_EQ(g_areas.block_used[4], 905u);
    for (int b = 0; b < 5; ++b) EXPECT_EQ(g_areas.blocks[b], p + b * BLOCK_SIZE);
    for (size_t i = 0; i < 20001; ++i) ASSERT_EQ(p[i], 0) << i;

    uint8_t* q = nullptr;
    EXPECT_EQ(alloc(472, &q), 4 * BLOCK_WORDS + 905);  // the last 119 words
    EXPECT_EQ(q, p + 4 * BLOCK_SIZE + 905 * 4);
    EXPECT_EQ(g_areas.block_used[4], BLOCK_WORDS);
    EXPECT_EQ(alloc(0), 5 * BLOCK_WORDS);
}

TEST_F(AreasTest, FirstFitTakesTheFirstBlockWithRoom) {
    EXPECT_EQ(alloc(4000), 0u);                    // 1001 words
    EXPECT_EQ(alloc(4000), BLOCK_WORDS);           // does not fit block 0
    EXPECT_EQ(alloc(80), 1001u);                   // 21 words: block 0 up to 1022
    EXPECT_EQ(alloc(8), BLOCK_WORDS + 1001);       // 3 words: no longer fit block 0
    EXPECT_EQ(alloc(0), 1022u);                    // 1 word still does
}

TEST_F(AreasTest, SealedBlockMarkStartsANewBlock) {
    EXPECT_EQ(alloc(8), 0u);
    areas_seal();
    EXPECT_EQ(g_areas.sealed_block, 1);
    EXPECT_EQ(alloc(8), BLOCK_WORDS);
    EXPECT_EQ(alloc(8), BLOCK_WORDS + 3);
}

TEST_F(AreasTest, MultiBlockItemBeyondTheInitialTable) {
    std::vector<uint8_t*> items;
    for (int i = 0; i < 120; ++i) {
        uint8_t* p = nullptr;
        ASSERT_EQ(alloc(4000, &p), uint32_t(i) * BLOCK_WORDS);
        std::memset(p, i, 4000);
        items.push_back(p);
    }
    uint8_t* big = nullptr;
    const uint32_t reference = alloc(20 * BLOCK_SIZE, &big);  // blocks 120-140
    EXPECT_EQ(reference, 120 * BLOCK_WORDS);
    EXPECT_GT(g_areas.block_capacity, 140u);
    EXPECT_EQ(g_areas.highest_block, 140);
    EXPECT_EQ(g_areas.blocks[140], big + 20 * BLOCK_SIZE);
    EXPECT_EQ(g_areas.block_used[139], BLOCK_WORDS);
    EXPECT_EQ(g_areas.block_used[140], 1u);
    std::memset(big, 0x5A, 20 * BLOCK_SIZE + 1);
    for (int i = 0; i < 120; ++i) {
        EXPECT_EQ(area_pointer(uint32_t(i) * BLOCK_WORDS), items[size_t(i)]);
        EXPECT_EQ(items[size_t(i)][3999], uint8_t(i));
    }
}

TEST_F(AreasTest, PermanentAreaEndsAtBlock1023) {
    EXPECT_EQ(alloc(1000 * BLOCK_SIZE), 0u);  // blocks 0-1000, one word in the last
    expect_runtime_error([] { area_alloc(23 * BLOCK_SIZE, nullptr); }, 1435, "Buffer Overflow(Area Free)");
    EXPECT_EQ(g_areas.highest_block, 1000);
    EXPECT_EQ(alloc(22 * BLOCK_SIZE), 1001 * BLOCK_WORDS);  // blocks 1001-1023
    EXPECT_EQ(g_areas.highest_block, 1023);
    expect_runtime_error([] { area_alloc(4092, nullptr); }, 1435, "Buffer Overflow(Area Free)");
    expect_runtime_error([] { area_alloc(SIZE_MAX, nullptr); }, 1435, "Buffer Overflow(Area Free)");
    // Small items still fit in what the blocks have left.
    EXPECT_EQ(area_class(alloc(100)), 0u);
}

// ---- class pages -------------------------------------------------------------------

TEST_F(AreasTest, RunModeClassBySize) {
    areas_enter_run_mode();
    const struct {
        size_t size;
        uint32_t cls;
    } cases[] = {
        {0, 1},     {31, 1},    {32, 2},     {95, 3},     {96, 4},     {127, 4},    {128, 5},
        {191, 5},   {192, 6},   {255, 6},    {256, 7},    {383, 7},    {384, 8},    {447, 8},
        {448, 9},   {511, 9},   {512, 10},   {767, 10},   {768, 11},   {1023, 11},  {1024, 12},
        {1279, 12}, {1280, 13}, {1535, 13},  {1536, 14},  {2047, 14},  {2048, 15},  {100000, 15},
    };
    for (const auto& c : cases) {
        uint8_t* p = nullptr;
        const uint32_t reference = alloc(c.size, &p);
        EXPECT_EQ(area_class(reference), c.cls) << c.size;
        std::memset(p, 0xC3, c.cls == LARGE_CLASS ? c.size : c.size + 1);
    }
}

TEST_F(AreasTest, FreedClassSlotsComeBackHighestFirst) {
    areas_enter_run_mode();
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(alloc(10), class_reference(1, 0, i));
    area_free(class_reference(1, 0, 1));
    area_free(class_reference(1, 0, 3));
    EXPECT_EQ(std::memcmp(area_pointer(class_reference(1, 0, 3)), FREE_MARKER, sizeof FREE_MARKER), 0);
    EXPECT_EQ(area_pointer(class_reference(1, 0, 1))[0], HEADER_FREE);
    EXPECT_EQ(alloc(10), class_reference(1, 0, 3));
    EXPECT_EQ(alloc(10), class_reference(1, 0, 1));
    EXPECT_EQ(alloc(10), class_reference(1, 0, 4));
}

TEST_F(AreasTest, FreedClassSlotsComeBackFromTheHighestPageFirst) {
    areas_enter_run_mode();
    for (uint32_t i = 0; i < 257; ++i) alloc(20);  // page 0 full, slot 0 of page 1
    area_free(class_reference(1, 0, 7));
    area_free(class_reference(1, 1, 0));
    area_free(class_reference(1, 0, 100));
    area_free(class_reference(1, 0, 100));  // a second free is ignored
    EXPECT_EQ(g_areas.classes[1].pages_with_free, 2u);
    EXPECT_EQ(alloc(20), class_reference(1, 1, 0));
    EXPECT_EQ(alloc(20), class_reference(1, 0, 100));
    EXPECT_EQ(alloc(20), class_reference(1, 0, 7));
    EXPECT_EQ(g_areas.classes[1].pages_with_free, 0u);
    EXPECT_EQ(alloc(20), class_reference(1, 1, 1));
}

TEST_F(AreasTest, LiveItemHoldingTheFreeMarkerIsNotHandedOut) {
    areas_enter_run_mode();
    alloc(8);
    uint8_t* live = nullptr;
    alloc(8, &live);
    alloc(8);
    std::memcpy(live, FREE_MARKER, sizeof FREE_MARKER);  // e.g. a string with these bytes
    area_free(class_reference(1, 0, 0));
    area_free(class_reference(1, 0, 2));
    EXPECT_EQ(alloc(8), class_reference(1, 0, 2));
    EXPECT_EQ(alloc(8), class_reference(1, 0, 0));
    EXPECT_EQ(alloc(8), class_reference(1, 0, 3));
}

TEST_F(AreasTest, AreaFreeIgnoresLoadModeAndThePermanentArea) {
    uint8_t* p = nullptr;
    const uint32_t reference = alloc(30, &p);
    std::memset(p, 0x77, 31);
    area_free(reference);
    EXPECT_EQ(p[0], 0x77);
    EXPECT_EQ(alloc(30), 8u);  // not reused
    areas_enter_run_mode();
    area_free(reference);
    EXPECT_EQ(p[0], 0x77);
    EXPECT_EQ(p[30], 0x77);
    EXPECT_EQ(g_areas.block_used[0], 16u);
}

TEST_F(AreasTest, ClassPageTableGrowsAndKeepsEveryItem) {
    areas_enter_run_mode();
    const uint32_t items = 256 * 8 + 1;  // class 14: 8 slots a page, page 256 needed
    std::vector<uint32_t> references;
    for (uint32_t i = 0; i < items; ++i) {
        uint8_t* p = nullptr;
        references.push_back(alloc(2000, &p));
        store_u32(p + 1996, i);
    }
    EXPECT_EQ(references.back(), class_reference(14, 256, 0));
    EXPECT_EQ(g_areas.classes[14].capacity, 512u);
    for (uint32_t i = 0; i < items; ++i) ASSERT_EQ(load_u32(area_pointer(references[i]) + 1996), i);
}

TEST_F(AreasTest, ClassPagesEndAtPage4095) {
    areas_enter_run_mode();
    uint32_t last = 0;
    for (uint32_t i = 0; i < 4096 * 256; ++i) last = area_alloc(1, nullptr);
    EXPECT_EQ(last, class_reference(1, 4095, 255));
    expect_runtime_error([] { area_alloc(1, nullptr); }, 1435, "buffer Overflow(area 1)");
    area_free(class_reference(1, 3000, 9));
    EXPECT_EQ(alloc(1), class_reference(1, 3000, 9));
}

// ---- large item table --------------------------------------------------------------

TEST_F(AreasTest, LargeItemsReuseTheHighestFreeEntry) {
    areas_enter_run_mode();
    EXPECT_EQ(alloc(3000), 0xF00000u);
    EXPECT_EQ(alloc(5000), 0xF00001u);
    EXPECT_EQ(alloc(2048), 0xF00002u);
    area_free(0xF00000);
    area_free(0xF00002);
    area_free(0xF00002);  // a second free is ignored
    EXPECT_EQ(g_areas.large_free_count, 2u);
    uint8_t* p = nullptr;
    EXPECT_EQ(alloc(2100, &p), 0xF00002u);
    std::memset(p, 1, 2100);
    EXPECT_EQ(alloc(2100), 0xF00000u);
    EXPECT_EQ(alloc(2100), 0xF00003u);
}

TEST_F(AreasTest, LargeTableGrowsBy512) {
    areas_enter_run_mode();
    for (uint32_t i = 0; i < 513; ++i) alloc(2048);
    EXPECT_EQ(g_areas.large_capacity, 1024u);
    EXPECT_EQ(g_areas.large_count, 513u);
}

TEST_F(AreasTest, LargeTableEndsAtIndexFFFFF) {
    areas_enter_run_mode();
    // Preset a full-size table with every entry but the last in use, as a
    // million items would leave it (their storage is not needed here).
    g_areas.large_capacity = 1u << 20;
    g_areas.large = static_cast<uint8_t**>(std::calloc(g_areas.large_capacity, sizeof(uint8_t*)));
    ASSERT_NE(g_areas.large, nullptr);
    g_areas.large_count = g_areas.large_capacity - 1;
    EXPECT_EQ(alloc(2048), 0xFFFFFFu);
    expect_runtime_error([] { area_alloc(2048, nullptr); }, 1430, "buffer Overflow(area 15)");
    area_free(0xFFFFFF);
    EXPECT_EQ(alloc(4096), 0xFFFFFFu);
}

TEST_F(AreasTest, FailedHeapAllocationIsError1400) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer aborts on impossible sizes";
#endif
    areas_enter_run_mode();
    expect_runtime_error([] { area_alloc(size_t(1) << 62, nullptr); }, 1400, "メモリ領域を取得できません");
    EXPECT_EQ(g_areas.large_count, 0u);
    EXPECT_EQ(alloc(4096), 0xF00000u);
}

// ---- reference counts ------------------------------------------------------------------

TEST_F(AreasTest, FifteenRetainsMakeAValuePermanent) {
    Cell* c = nullptr;
    const Value v = new_cell(TAG_INTEGER, 0, &c);
    for (int i = 0; i < 14; ++i) retain(v);
    EXPECT_EQ(c->header, 0xE2);
    retain(v);
    EXPECT_EQ(c->header, 0xF2);
    for (int i = 0; i < 20; ++i) release(v);
    retain(v);
    release_if_temporary(v);
    EXPECT_EQ(unhold(v), 0u);
    EXPECT_EQ(retain_query(v), 0xF0u);
    EXPECT_EQ(c->header, 0xF2);
    EXPECT_EQ(g_areas.total_free, 0);
}

TEST_F(AreasTest, ReleaseFreesWhenTheCountIsOrBecomesZero) {
    Cell* c0 = nullptr;
    Cell* c1 = nullptr;
    Cell* c2 = nullptr;
    const Value v0 = new_cell(TAG_INTEGER, 0, &c0);
    const Value v1 = new_cell(TAG_FLOAT, 1, &c1);
    const Value v2 = new_cell(TAG_INTEGER, 2, &c2);
    release(v0);
    release(v1);
    release(v2);
    EXPECT_EQ(c0->header, HEADER_FREE);
    EXPECT_EQ(c1->header, HEADER_FREE);
    EXPECT_EQ(c2->header, 0x12);
    EXPECT_EQ(g_areas.total_free, 2);
    release(v0);  // a stale value reads as permanent: not freed twice
    EXPECT_EQ(g_areas.total_free, 2);
}

TEST_F(AreasTest, ReleaseIfTemporaryFreesOnlyUnheldValues) {
    Cell* held = nullptr;
    Cell* temporary = nullptr;
    const Value h = new_cell(TAG_INTEGER, 1, &held);
    const Value t = new_cell(TAG_INTEGER, 0, &temporary);
    release_if_temporary(h);
    release_if_temporary(t);
    EXPECT_EQ(held->header, 0x12);
    EXPECT_EQ(temporary->header, HEADER_FREE);
}

TEST_F(AreasTest, UnholdAndRetainQueryReportTheOldCount) {
    Cell* c = nullptr;
    const Value v = new_cell(TAG_INTEGER, 2, &c);
    EXPECT_EQ(unhold(v), 48u);
    EXPECT_EQ(c->header, 0x12);
    EXPECT_EQ(unhold(v), 32u);
    EXPECT_EQ(c->header, 0x02);
    EXPECT_EQ(unhold(v), 16u);  // never frees
    EXPECT_EQ(c->header, 0x02);
    EXPECT_EQ(retain_query(v), 0x00u);
    EXPECT_EQ(retain_query(v), 0x10u);
    EXPECT_EQ(c->header, 0x22);
}

TEST_F(AreasTest, ImmediatesAreLeftAlone) {
    Cell* c = nullptr;
    const Value cell = new_cell(TAG_INTEGER, 0, &c);
    for (uint32_t tag : {uint32_t(TAG_NAME), uint32_t(TAG_UNUSED), uint32_t(TAG_IMMEDIATE)}) {
        const Value v = make_value(tag, value_payload(cell));  // same bits as the cell's address
        retain(v);
        release(v);
        release_if_temporary(v);
        EXPECT_EQ(unhold(v), 0u);
        EXPECT_EQ(retain_query(v), 0xF0u);
        EXPECT_EQ(c->header, 0x02) << tag;
    }
}

TEST_F(AreasTest, AreaKindValueCountsInItsItem) {
    areas_enter_run_mode();
    uint8_t* item = nullptr;
    const uint32_t reference = alloc(40, &item);
    item[0] = make_header(TAG_ERROR, 0);
    const Value v = make_value(TAG_ERROR, reference);
    retain(v);
    retain(v);
    EXPECT_EQ(item[0], 0x26);
    release(v);
    EXPECT_EQ(item[0], 0x16);
    release(v);  // the last reference
    EXPECT_EQ(std::memcmp(item, FREE_MARKER, sizeof FREE_MARKER), 0);
    release(v);  // stale: reads as permanent
    EXPECT_EQ(alloc(40), reference);
    EXPECT_EQ(alloc(40), class_reference(2, 0, 1));
}

}  // namespace
}  // namespace kova

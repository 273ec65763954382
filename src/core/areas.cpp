// Memory areas: cell pages, the permanent area, class pages and the large
// item table, and the reference counts kept in header bytes.
#include "core/areas.h"

#include <cstdlib>
#include <cstring>

#include "core/errors.h"
#include "core/values.h"

namespace kova {

constexpr ClassInfo AREA_CLASSES[AREA_CLASS_COUNT + 1] = {
    {0, 0},                                                                  // class 0: permanent area
    {32, 256},  {64, 256},  {96, 256},  {128, 128}, {192, 128}, {256, 64}, {384, 64},
    {448, 32},  {512, 32},  {768, 16},  {1024, 16}, {1280, 8},  {1536, 8},  {2048, 8},
};

namespace {

constexpr int32_t CELL_PAGE_LIMIT = 4096;   // page index is 12 bits
constexpr size_t CELL_SPACE_SIZE = size_t(CELL_PAGE_LIMIT) * CELL_PAGE_SIZE;
constexpr uint32_t CELL_TABLE_STEP = 128;
constexpr int32_t CLASS_PAGE_LIMIT = 4096;  // page index is 12 bits
constexpr uint32_t CLASS_TABLE_STEP = 256;
constexpr uint32_t LARGE_LIMIT = 1u << 20;  // index is 20 bits
constexpr uint32_t LARGE_TABLE_STEP = 512;
constexpr uint32_t LARGE_REFERENCE = LARGE_CLASS << 20;
constexpr size_t LARGEST_CLASS_REQUEST = 2047;  // larger run-mode requests go to class 15

// Class pages recognise a freed slot by the marker at its start. A live
// item may hold those very bytes (a string can), so the free slot also
// carries this flag in the two bytes past the class size, which no caller
// ever writes (a request of n bytes may use n + 1 bytes, and its class size
// is at least that).
constexpr uint16_t SLOT_FREE_FLAG = 0xF5EE;

// Class for a run-mode request of n < 2048 bytes, by n / 32: the smallest
// class whose size is greater than n. Class sizes are multiples of 32, so
// size > n exactly when size >= 32 * (n / 32 + 1).
struct ClassBySize {
    uint8_t of[64];
};
constexpr ClassBySize make_class_by_size() {
    ClassBySize table{};
    for (uint32_t k = 0; k < 64; ++k) {
        uint32_t cls = 1;
        while (AREA_CLASSES[cls].size < 32 * (k + 1)) ++cls;
        table.of[k] = uint8_t(cls);
    }
    return table;
}
constexpr ClassBySize CLASS_BY_SIZE = make_class_by_size();
static_assert(CLASS_BY_SIZE.of[1] == 2 && CLASS_BY_SIZE.of[3] == 4 && CLASS_BY_SIZE.of[4] == 5 &&
              CLASS_BY_SIZE.of[63] == 14);

// The initial tables are static and never freed.
uint8_t* initial_cell_pages[INITIAL_TABLE_ENTRIES];
int32_t initial_page_free_count[INITIAL_TABLE_ENTRIES];
int32_t initial_page_free_slot[INITIAL_TABLE_ENTRIES];
uint8_t* initial_blocks[INITIAL_TABLE_ENTRIES];
uint32_t initial_block_used[INITIAL_TABLE_ENTRIES];

constexpr AreaState initial_area_state() {
    AreaState s{};
    s.run_mode = false;
    s.cell_pages = initial_cell_pages;
    s.page_free_count = initial_page_free_count;
    s.page_free_slot = initial_page_free_slot;
    s.cell_page_capacity = INITIAL_TABLE_ENTRIES;
    s.current_page = -1;
    s.next_slot = 0;
    s.total_free = 0;
    s.highest_free_page = -1;
    s.sealed_page = 0;
    s.blocks = initial_blocks;
    s.block_used = initial_block_used;
    s.block_capacity = INITIAL_TABLE_ENTRIES;
    s.highest_block = -1;
    s.sealed_block = 0;
    return s;
}

}  // namespace

constinit AreaState g_areas = initial_area_state();

namespace {

[[noreturn]] void out_of_memory() { raise_runtime_error(1400, "メモリ領域を取得できません"); }

void* heap_alloc(size_t size) {
    void* p = std::malloc(size);
    if (p == nullptr) out_of_memory();
    return p;
}

void* heap_zalloc(size_t count, size_t size) {
    void* p = std::calloc(count, size);
    if (p == nullptr) out_of_memory();
    return p;
}

// ---- cell pages ---------------------------------------------------------

void grow_cell_table() {
    AreaState& a = g_areas;
    const uint32_t old_capacity = a.cell_page_capacity;
    const uint32_t capacity = old_capacity + CELL_TABLE_STEP;
    auto* pages = static_cast<uint8_t**>(std::calloc(capacity, sizeof(uint8_t*)));
    auto* counts = static_cast<int32_t*>(std::calloc(capacity, sizeof(int32_t)));
    auto* slots = static_cast<int32_t*>(std::calloc(capacity, sizeof(int32_t)));
    if (pages == nullptr || counts == nullptr || slots == nullptr) {
        std::free(pages);
        std::free(counts);
        std::free(slots);
        out_of_memory();
    }
    std::memcpy(pages, a.cell_pages, old_capacity * sizeof(uint8_t*));
    std::memcpy(counts, a.page_free_count, old_capacity * sizeof(int32_t));
    std::memcpy(slots, a.page_free_slot, old_capacity * sizeof(int32_t));
    if (a.cell_pages != initial_cell_pages) std::free(a.cell_pages);
    if (a.page_free_count != initial_page_free_count) std::free(a.page_free_count);
    if (a.page_free_slot != initial_page_free_slot) std::free(a.page_free_slot);
    a.cell_pages = pages;
    a.page_free_count = counts;
    a.page_free_slot = slots;
    a.cell_page_capacity = capacity;
}

// Makes `index` the current page, a fresh one, and hands out its slot 0.
uint8_t* start_cell_page(int32_t index) {
    AreaState& a = g_areas;
    if (uint32_t(index) >= a.cell_page_capacity) {
        // The table is always a multiple of 128 entries, so this is the
        // 4096th page: one past what a 12-bit page index can name.
        if (index >= CELL_PAGE_LIMIT) raise_runtime_error(1435, "Buffer Overflow(Area DW)");
        grow_cell_table();
    }
    if (a.cell_space == nullptr) a.cell_space = static_cast<uint8_t*>(heap_alloc(CELL_SPACE_SIZE));
    uint8_t* page = a.cell_space + size_t(index) * CELL_PAGE_SIZE;
    poison_storage(page, CELL_PAGE_SIZE);  // cells are unpoisoned one by one as handed out
    a.cell_pages[index] = page;
    a.page_free_count[index] = 0;
    a.page_free_slot[index] = 0;
    a.current_page = index;
    a.next_slot = 1;
    return page;
}

}  // namespace

// After a cell is taken: a page with free cells left records its next
// highest free slot, found by scanning downward; a page with none left
// hands over to the next lower page that has some.
void find_next_free_cell(int32_t page, int32_t slot, int32_t left) {
    AreaState& a = g_areas;
    const uint8_t* base = a.cell_pages[page];
    if (left > 0) {
        int32_t s = slot - 1;
        while (s >= 0 && read_bookkeeping_byte(base + s * CELL_SIZE) != HEADER_FREE) --s;
        if (s >= 0) {
            a.page_free_slot[page] = s;
        } else {
            a.page_free_count[page] = 0;
            left = 0;
        }
    }
    if (left <= 0) {
        if (a.total_free == 0) {
            a.highest_free_page = -1;
        } else {
            int32_t p = page - 1;
            while (p >= 0 && a.page_free_count[p] <= 0) --p;
            if (p < 0) a.total_free = 0;
            a.highest_free_page = p;
        }
    }
}

namespace {

// ---- permanent area (class 0) --------------------------------------------

void grow_block_table(uint32_t words) {
    AreaState& a = g_areas;
    const uint32_t old_capacity = a.block_capacity;
    uint32_t capacity = old_capacity + (words + 127) / 128 * 128;
    if (capacity > BLOCK_LIMIT) capacity = BLOCK_LIMIT;  // no block index beyond 1023 exists
    auto* blocks = static_cast<uint8_t**>(std::calloc(capacity, sizeof(uint8_t*)));
    auto* used = static_cast<uint32_t*>(std::calloc(capacity, sizeof(uint32_t)));
    if (blocks == nullptr || used == nullptr) {
        std::free(blocks);
        std::free(used);
        out_of_memory();
    }
    std::memcpy(blocks, a.blocks, old_capacity * sizeof(uint8_t*));
    std::memcpy(used, a.block_used, old_capacity * sizeof(uint32_t));
    if (a.blocks != initial_blocks) std::free(a.blocks);
    if (a.block_used != initial_block_used) std::free(a.block_used);
    a.blocks = blocks;
    a.block_used = used;
    a.block_capacity = capacity;
}

bool block_continues_run(uint32_t block) {
    return (g_areas.block_continues[block / 64] >> (block % 64)) & 1;
}

uint32_t alloc_permanent(size_t size, uint8_t** pointer_out) {
    AreaState& a = g_areas;
    // Nothing of the whole area's size can be placed; this also keeps the
    // word count below from overflowing.
    if (size >= size_t(BLOCK_LIMIT) * BLOCK_SIZE) raise_runtime_error(1435, "Buffer Overflow(Area Free)");
    const uint32_t words = uint32_t((size + 4) / 4);

    // First fit, from the sealed block mark.
    int32_t block = a.sealed_block;
    for (; block <= a.highest_block; ++block) {
        if (a.blocks[block] == nullptr) break;
        const uint32_t used = a.block_used[block];
        if (used + words <= BLOCK_WORDS) {
            a.block_used[block] = used + words;
            *pointer_out = a.blocks[block] + used * 4;
            return uint32_t(block) * BLOCK_WORDS + used;
        }
    }

    // A new run of blocks at `block`: `full` whole blocks, then one holding
    // the remaining words (for a small item that is the only block). Every
    // block of the run must be nameable and present in the table.
    const uint32_t full = words / BLOCK_WORDS;
    const uint32_t last = uint32_t(block) + full;
    if (last >= BLOCK_LIMIT) raise_runtime_error(1435, "Buffer Overflow(Area Free)");
    if (last >= a.block_capacity) grow_block_table(words);
    auto* run = static_cast<uint8_t*>(heap_zalloc(full + 1, BLOCK_SIZE));
    for (uint32_t i = 0; i <= full; ++i) {
        const uint32_t b = uint32_t(block) + i;
        a.blocks[b] = run + size_t(i) * BLOCK_SIZE;
        a.block_used[b] = i < full ? BLOCK_WORDS : words % BLOCK_WORDS;
        if (i > 0) a.block_continues[b / 64] |= uint64_t(1) << (b % 64);
    }
    if (int32_t(last) > a.highest_block) a.highest_block = int32_t(last);
    *pointer_out = run;
    return uint32_t(block) * BLOCK_WORDS;
}

// ---- class pages (classes 1-14) -------------------------------------------

inline ClassPageHeader* class_page_header(const ClassArea& area, uint32_t page) {
    return reinterpret_cast<ClassPageHeader*>(area.pages[page]);
}

inline uint8_t* class_slot(const ClassArea& area, uint32_t cls, uint32_t page, uint32_t slot) {
    return area.pages[page] + sizeof(ClassPageHeader) + slot * (AREA_CLASSES[cls].size + 2u);
}

// Reads only bookkeeping bytes: a freed slot is poisoned in sanitizer builds.
inline bool class_slot_is_free(const uint8_t* item, uint32_t cls) {
    for (size_t i = 0; i < sizeof FREE_MARKER; ++i) {
        if (read_bookkeeping_byte(item + i) != FREE_MARKER[i]) return false;
    }
    const uint8_t* flag = item + AREA_CLASSES[cls].size;
    return (read_bookkeeping_byte(flag) | read_bookkeeping_byte(flag + 1) << 8) == SLOT_FREE_FLAG;
}

size_t class_page_bytes(uint32_t cls) {
    const ClassInfo& info = AREA_CLASSES[cls];
    return sizeof(ClassPageHeader) + size_t(info.slots_per_page) * (info.size + 2u);
}

// Sets up a fresh page whose slot 0 is being handed out. Its slots are
// unpoisoned one by one as they are handed out.
uint8_t* init_class_page(void* memory, uint32_t cls) {
    auto* header = static_cast<ClassPageHeader*>(memory);
    header->bump = 1;
    header->free_count = 0;
    header->free_slot = 0;
    header->reserved = 0;
    poison_storage(header + 1, class_page_bytes(cls) - sizeof(ClassPageHeader));
    return static_cast<uint8_t*>(memory);
}

void grow_class_table(ClassArea& area) {
    const uint32_t capacity = area.capacity + CLASS_TABLE_STEP;
    auto* pages = static_cast<uint8_t**>(heap_zalloc(capacity, sizeof(uint8_t*)));
    std::memcpy(pages, area.pages, area.capacity * sizeof(uint8_t*));
    std::free(area.pages);
    area.pages = pages;
    area.capacity = capacity;
}

// Takes the highest free slot of the page recorded to take from next.
uint32_t take_free_class_slot(ClassArea& area, uint32_t cls, uint32_t* slot_out) {
    const uint32_t page = uint32_t(area.take_page);
    ClassPageHeader* header = class_page_header(area, page);
    const uint32_t slot = header->free_slot;
    *slot_out = slot;
    --header->free_count;
    if (header->free_count > 0) {
        for (int32_t s = int32_t(slot) - 1; s >= 0; --s) {
            if (class_slot_is_free(class_slot(area, cls, page, uint32_t(s)), cls)) {
                header->free_slot = uint16_t(s);
                return page;
            }
        }
        header->free_count = 0;
    }
    --area.pages_with_free;
    if (area.pages_with_free > 0) {
        int32_t p = int32_t(page) - 1;
        while (p >= 0 && class_page_header(area, uint32_t(p))->free_count == 0) --p;
        if (p >= 0) {
            area.take_page = p;
        } else {
            area.pages_with_free = 0;
        }
    }
    return page;
}

uint32_t alloc_class(uint32_t cls, uint8_t** pointer_out) {
    ClassArea& area = g_areas.classes[cls];
    uint32_t page;
    uint32_t slot;
    if (area.pages == nullptr) {
        auto** pages = static_cast<uint8_t**>(heap_zalloc(CLASS_TABLE_STEP, sizeof(uint8_t*)));
        void* first = std::malloc(class_page_bytes(cls));
        if (first == nullptr) {
            std::free(pages);
            out_of_memory();
        }
        pages[0] = init_class_page(first, cls);
        area.pages = pages;
        area.capacity = CLASS_TABLE_STEP;
        area.current = 0;
        area.pages_with_free = 0;
        area.take_page = -1;
        page = 0;
        slot = 0;
    } else if (area.pages_with_free > 0) {
        page = take_free_class_slot(area, cls, &slot);
    } else {
        ClassPageHeader* header = class_page_header(area, uint32_t(area.current));
        if (header->bump < AREA_CLASSES[cls].slots_per_page) {
            page = uint32_t(area.current);
            slot = header->bump++;
        } else {
            const uint32_t next = uint32_t(area.current) + 1;
            if (next >= area.capacity) {
                if (area.current >= CLASS_PAGE_LIMIT - 1) {
                    raise_runtime_error(1435, "buffer Overflow(area %d)", int(cls));
                }
                grow_class_table(area);
            }
            area.pages[next] = init_class_page(heap_alloc(class_page_bytes(cls)), cls);
            area.current = int32_t(next);
            page = next;
            slot = 0;
        }
    }
    uint8_t* item = class_slot(area, cls, page, slot);
    unpoison_storage(item, AREA_CLASSES[cls].size + 2u);
    store_u16(item + AREA_CLASSES[cls].size, 0);  // not a free slot, whatever the page held before
    *pointer_out = item;
    return slot | page << 8 | cls << 20;
}

// Marks a freed slot and enters it in the page's and the class's counts.
void enter_free_class_slot(uint32_t cls, uint32_t page, uint32_t slot, uint8_t* item) {
    ClassArea& area = g_areas.classes[cls];
    ClassPageHeader* header = class_page_header(area, page);
    std::memcpy(item, FREE_MARKER, sizeof FREE_MARKER);
    store_u16(item + AREA_CLASSES[cls].size, SLOT_FREE_FLAG);
    const bool page_had_none = header->free_count == 0;
    if (page_had_none || slot > header->free_slot) header->free_slot = uint16_t(slot);
    ++header->free_count;
    const bool class_had_none = area.pages_with_free == 0;
    if (page_had_none) ++area.pages_with_free;
    if (class_had_none || int32_t(page) > area.take_page) area.take_page = int32_t(page);
}

#if KOVA_POISON

// Freed storage waits here, poisoned, before it can be handed out again, so
// that a read of it soon after the free is reported, not hidden by a new
// owner. First in, first out.
struct Quarantine {
    static constexpr uint32_t CELLS = 2048;
    static constexpr uint32_t SLOTS = 512;
    Value cells[CELLS];
    uint32_t cell_first;
    uint32_t cell_count;
    uint32_t slots[SLOTS];  // area references
    uint32_t slot_first;
    uint32_t slot_count;
};
Quarantine g_quarantine;

void release_quarantined_cell() {
    Quarantine& q = g_quarantine;
    const Value v = q.cells[q.cell_first];
    q.cell_first = (q.cell_first + 1) % Quarantine::CELLS;
    --q.cell_count;
    Cell* cell = cell_pointer(v);
    unpoison_storage(cell, 1);
    enter_free_cell(v);
    poison_storage(cell, 1);
}

void release_quarantined_slot() {
    Quarantine& q = g_quarantine;
    const uint32_t reference = q.slots[q.slot_first];
    q.slot_first = (q.slot_first + 1) % Quarantine::SLOTS;
    --q.slot_count;
    const uint32_t cls = area_class(reference);
    const uint32_t page = (reference >> 8) & 0xFFF;
    const uint32_t slot = reference & 0xFF;
    uint8_t* item = class_slot(g_areas.classes[cls], cls, page, slot);
    unpoison_storage(item, AREA_CLASSES[cls].size + 2u);
    enter_free_class_slot(cls, page, slot, item);
    poison_storage(item, AREA_CLASSES[cls].size + 2u);
}

void quarantine_slot(uint32_t cls, uint32_t page, uint32_t slot, uint8_t* item) {
    // Freeing a slot that is already free or waiting here reads poisoned
    // storage: the sanitizer reports the second free.
    volatile uint8_t first_byte = item[0];
    (void)first_byte;
    poison_storage(item, AREA_CLASSES[cls].size + 2u);
    Quarantine& q = g_quarantine;
    if (q.slot_count == Quarantine::SLOTS) release_quarantined_slot();
    q.slots[(q.slot_first + q.slot_count) % Quarantine::SLOTS] = slot | page << 8 | cls << 20;
    ++q.slot_count;
}

#endif  // KOVA_POISON

void free_class_slot(uint32_t cls, uint32_t page, uint32_t slot) {
    ClassArea& area = g_areas.classes[cls];
    if (area.pages == nullptr || int32_t(page) > area.current || slot >= AREA_CLASSES[cls].slots_per_page) return;
    ClassPageHeader* header = class_page_header(area, page);
    if (slot >= header->bump) return;
    uint8_t* item = class_slot(area, cls, page, slot);
#if KOVA_POISON
    if (g_poisoning) {
        quarantine_slot(cls, page, slot, item);
        return;
    }
#endif
    if (class_slot_is_free(item, cls)) return;  // already free: never hand it out twice
    enter_free_class_slot(cls, page, slot, item);
}

// ---- large item table (class 15) -------------------------------------------

// The large item table's failures, for the callers that must not raise.
enum class LargeFailure { NONE, NO_MEMORY, TABLE_FULL };

LargeFailure try_alloc_large(size_t size, uint8_t** pointer_out, uint32_t* reference_out) {
    AreaState& a = g_areas;
    auto* item = static_cast<uint8_t*>(std::malloc(size > 0 ? size : 1));
    if (item == nullptr) return LargeFailure::NO_MEMORY;
    uint32_t index;
    if (a.large_free_count > 0) {
        index = a.large_highest_free;
        --a.large_free_count;
        if (a.large_free_count > 0) {
            int64_t i = int64_t(index) - 1;
            while (i >= 0 && a.large[i] != nullptr) --i;
            if (i >= 0) {
                a.large_highest_free = uint32_t(i);
            } else {
                a.large_free_count = 0;
                a.large_highest_free = 0;
            }
        } else {
            a.large_highest_free = 0;
        }
    } else {
        if (a.large_count == a.large_capacity) {
            if (a.large_capacity >= LARGE_LIMIT) {
                std::free(item);
                return LargeFailure::TABLE_FULL;
            }
            const uint32_t capacity = a.large_capacity + LARGE_TABLE_STEP;
            auto** table = static_cast<uint8_t**>(std::calloc(capacity, sizeof(uint8_t*)));
            if (table == nullptr) {
                std::free(item);
                return LargeFailure::NO_MEMORY;
            }
            if (a.large_capacity > 0) std::memcpy(table, a.large, a.large_capacity * sizeof(uint8_t*));
            std::free(a.large);
            a.large = table;
            a.large_capacity = capacity;
        }
        index = a.large_count++;
    }
    a.large[index] = item;
    *pointer_out = item;
    *reference_out = index | LARGE_REFERENCE;
    return LargeFailure::NONE;
}

uint32_t alloc_large(size_t size, uint8_t** pointer_out) {
    uint32_t reference = 0;
    switch (try_alloc_large(size, pointer_out, &reference)) {
        case LargeFailure::NONE: return reference;
        case LargeFailure::TABLE_FULL: raise_runtime_error(1430, "buffer Overflow(area 15)");
        case LargeFailure::NO_MEMORY: break;
    }
    out_of_memory();
}

void free_large(uint32_t index) {
    AreaState& a = g_areas;
    if (index >= a.large_count || a.large[index] == nullptr) return;
    std::free(a.large[index]);
    a.large[index] = nullptr;
    if (a.large_free_count == 0 || index > a.large_highest_free) a.large_highest_free = index;
    ++a.large_free_count;
}

}  // namespace

// ---- interface ----------------------------------------------------------------

void areas_reset() {
    AreaState& a = g_areas;
    // The cell reservation is kept for the next state: in-process fuzzing
    // and the unit tests reset thousands of times, and a cell is zeroed
    // whenever it is handed out.
    uint8_t* const cell_space = a.cell_space;
    if (a.cell_pages != initial_cell_pages) std::free(a.cell_pages);
    if (a.page_free_count != initial_page_free_count) std::free(a.page_free_count);
    if (a.page_free_slot != initial_page_free_slot) std::free(a.page_free_slot);

    for (uint32_t b = 0; b < a.block_capacity; ++b) {
        if (!block_continues_run(b)) std::free(a.blocks[b]);
    }
    if (a.blocks != initial_blocks) std::free(a.blocks);
    if (a.block_used != initial_block_used) std::free(a.block_used);

    for (uint32_t cls = 1; cls <= AREA_CLASS_COUNT; ++cls) {
        ClassArea& area = a.classes[cls];
        if (area.pages == nullptr) continue;
        for (uint32_t p = 0; p < area.capacity; ++p) std::free(area.pages[p]);
        std::free(area.pages);
    }

    for (uint32_t i = 0; i < a.large_count; ++i) std::free(a.large[i]);
    std::free(a.large);

#if KOVA_POISON
    g_quarantine.cell_count = 0;
    g_quarantine.slot_count = 0;
#endif
    std::memset(initial_cell_pages, 0, sizeof initial_cell_pages);
    std::memset(initial_page_free_count, 0, sizeof initial_page_free_count);
    std::memset(initial_page_free_slot, 0, sizeof initial_page_free_slot);
    std::memset(initial_blocks, 0, sizeof initial_blocks);
    std::memset(initial_block_used, 0, sizeof initial_block_used);
    a = initial_area_state();
    a.cell_space = cell_space;
}

void areas_enter_run_mode() { g_areas.run_mode = true; }

#if KOVA_POISON

void quarantine_cell(Value v) {
    Cell* cell = cell_pointer(v);
    // A cell already free or waiting here is poisoned: reading its header
    // makes the sanitizer report the second free.
    if (cell->header == HEADER_FREE) return;
    poison_storage(cell, CELL_SIZE);
    Quarantine& q = g_quarantine;
    if (q.cell_count == Quarantine::CELLS) release_quarantined_cell();
    q.cells[(q.cell_first + q.cell_count) % Quarantine::CELLS] = v;
    ++q.cell_count;
}

bool g_poisoning = true;

void areas_set_poisoning(bool on) {
    areas_flush_quarantine();
    g_poisoning = on;
}

void areas_flush_quarantine() {
    while (g_quarantine.cell_count > 0) release_quarantined_cell();
    while (g_quarantine.slot_count > 0) release_quarantined_slot();
}

#else

void areas_flush_quarantine() {}
void areas_set_poisoning(bool) {}

#endif

void areas_seal() {
    g_areas.sealed_page = g_areas.current_page + 1;
    g_areas.sealed_block = g_areas.highest_block + 1;
}

// Reached when the inline path can neither reuse a freed cell nor bump in
// the current page: a new page starts, at the sealed mark if fresh
// allocations may not use the current one.
Value new_cell_slow(uint32_t tag, uint32_t initial_count, Cell** cell_out) {
    AreaState& a = g_areas;
    const int32_t page = a.current_page < a.sealed_page ? a.sealed_page : a.current_page + 1;
    uint8_t* cell = start_cell_page(page);
    unpoison_storage(cell, CELL_SIZE);
    std::memset(cell, 0, CELL_SIZE);
    cell[0] = make_header(tag, initial_count);
    if (cell_out != nullptr) *cell_out = reinterpret_cast<Cell*>(cell);
    return uint32_t(page) << 8 | tag << 24;
}

uint32_t area_alloc(size_t size, uint8_t** pointer_out) {
    uint8_t* pointer;
    uint32_t reference;
    if (!g_areas.run_mode) {
        reference = alloc_permanent(size, &pointer);
    } else if (size > LARGEST_CLASS_REQUEST) {
        reference = alloc_large(size, &pointer);
    } else {
        reference = alloc_class(CLASS_BY_SIZE.of[size / 32], &pointer);
    }
    if (pointer_out != nullptr) *pointer_out = pointer;
    return reference;
}

uint32_t area_alloc_heap_item(size_t size, uint8_t** pointer_out) {
    uint32_t reference = 0;
    return try_alloc_large(size, pointer_out, &reference) == LargeFailure::NONE ? reference : AREA_NONE;
}

void area_free(uint32_t reference) {
    if (!g_areas.run_mode) return;
    const uint32_t cls = area_class(reference);
    if (cls == 0) return;
    if (cls == LARGE_CLASS) {
        free_large(reference & 0xFFFFF);
        return;
    }
    free_class_slot(cls, (reference >> 8) & 0xFFF, reference & 0xFF);
}

// ---- reference counts -------------------------------------------------------------

uint32_t retain_query(Value v) {
    uint8_t* header = value_header(v);
    if (header == nullptr) return HEADER_PERMANENT;
    const uint8_t h = *header;
    if (h < HEADER_PERMANENT) *header = uint8_t(h + 16);
    return h & 0xF0u;
}

Value cell_value_of(const void* cell) {
    const AreaState& a = g_areas;
    const auto address = reinterpret_cast<uintptr_t>(cell);
    for (int32_t p = 0; p <= a.current_page; ++p) {
        const auto base = reinterpret_cast<uintptr_t>(a.cell_pages[p]);
        if (base != 0 && address >= base && address - base < CELL_PAGE_SIZE) {
            const uint32_t slot = uint32_t(address - base) / CELL_SIZE;
            const uint32_t tag = a.cell_pages[p][slot * CELL_SIZE] & 0xFu;
            return slot | uint32_t(p) << 8 | tag << 24;
        }
    }
    raise_runtime_error(2495, "システム・エラー(get_self_16)");
}

}  // namespace kova

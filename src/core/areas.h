// Memory areas: 16-byte cells in 4 KiB cell pages, and variable-size area
// items in the permanent area (class 0), class pages (classes 1-14) and the
// large item table (class 15). Everything is addressed by small integer
// references packed into 32-bit values, and reference counted through the
// header byte.
//
// Load mode (before the script runs) hands out fresh storage only and sends
// every area item to the permanent area; run mode reuses freed cells and
// class 1-15 items.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/poison.h"
#include "core/value.h"

namespace kova {

inline constexpr uint32_t CELL_SIZE = 16;
inline constexpr uint32_t CELL_PAGE_SIZE = 4096;
inline constexpr uint32_t CELLS_PER_PAGE = 256;
inline constexpr uint32_t INITIAL_TABLE_ENTRIES = 128;  // cell page and block tables
inline constexpr uint32_t BLOCK_SIZE = 4096;              // permanent-area block
inline constexpr uint32_t BLOCK_WORDS = 1024;
inline constexpr uint32_t BLOCK_LIMIT = 1024;             // block index is 10 bits
inline constexpr uint32_t AREA_CLASS_COUNT = 14;          // classes 1-14
inline constexpr uint32_t LARGE_CLASS = 15;

// The 9 leading bytes written over a freed class-page slot.
inline constexpr uint8_t FREE_MARKER[9] = {0xFF, 0x01, 0xEE, 0x02, 0xDD, 0x03, 0xCC, 0x04, 0x00};

struct ClassInfo {
    uint16_t size;            // item size in bytes; slots are size + 2 apart
    uint16_t slots_per_page;
};
extern const ClassInfo AREA_CLASSES[AREA_CLASS_COUNT + 1];  // index 1-14

// Header of a class page, followed by the slots.
struct ClassPageHeader {
    uint16_t bump;        // slots handed out so far from this page
    uint16_t free_count;  // free slots in the page
    uint16_t free_slot;   // highest free slot: the next to hand out
    uint16_t reserved;
};
static_assert(sizeof(ClassPageHeader) == 8);

struct ClassArea {
    uint8_t** pages;           // null until the class's first allocation
    uint32_t capacity;         // entries of the page table
    int32_t current;           // current page index
    uint32_t pages_with_free;  // number of pages that hold free slots
    int32_t take_page;         // page to take free slots from next
};

// Every table of the memory areas; one process-wide instance.
struct AreaState {
    bool run_mode;

    // cell pages
    // Every page lies in one reservation for all 4096 of them, made with
    // the first page: a cell's address is then the start plus its value's
    // page and slot bits times 16. The system commits memory only where a
    // page is used.
    uint8_t* cell_space;
    uint8_t** cell_pages;        // page table
    int32_t* page_free_count;    // free cells per page
    int32_t* page_free_slot;     // highest free slot per page
    uint32_t cell_page_capacity;
    int32_t current_page;        // -1 before the first allocation
    int32_t next_slot;           // next slot not yet handed out in the current page
    int32_t total_free;
    int32_t highest_free_page;   // -1 when none
    int32_t sealed_page;         // first page fresh allocations may use

    // permanent area (class 0)
    uint8_t** blocks;
    uint32_t* block_used;        // used 4-byte words per block
    uint32_t block_capacity;
    int32_t highest_block;       // -1 before the first allocation
    int32_t sealed_block;        // first block the first-fit search looks at
    // One bit per block that is a later piece of a multi-block run: it
    // shares the run's single heap allocation, freed with its first block.
    uint64_t block_continues[BLOCK_LIMIT / 64];

    // classes 1-14 (index 0 unused)
    ClassArea classes[AREA_CLASS_COUNT + 1];

    // large item table (class 15)
    uint8_t** large;
    uint32_t large_capacity;
    uint32_t large_count;        // entries in use (including freed ones below)
    uint32_t large_free_count;
    uint32_t large_highest_free;
};

extern AreaState g_areas;

// Empties every table (start-up, and between unit tests). Storage of the
// previous state is released to the heap so tests do not accumulate it.
void areas_reset();
// Switches on reuse of freed cells and class 1-15 items. Once per process.
void areas_enter_run_mode();
// After a compiled module has been loaded: later cells and permanent items
// never share a page or block with it.
void areas_seal();

// The allocation paths that are not a plain reuse or bump.
Value new_cell_slow(uint32_t tag, uint32_t initial_count, Cell** cell_out);
// After a cell was taken from `page`, which still has free cells or is not
// the last page with some: finds the next slot or page to take from.
void find_next_free_cell(int32_t page, int32_t slot, int32_t left);

inline Value new_cell(uint32_t tag, uint32_t initial_count, Cell** cell_out) {
    AreaState& a = g_areas;
    int32_t page;
    int32_t slot;
    uint8_t* cell;
    if (a.run_mode && a.total_free > 0 && a.highest_free_page >= 0) {
        // The highest free slot of the highest page with free cells. Finding
        // the next one is out of line, but for the most frequent case: this
        // was the last free cell anywhere.
        page = a.highest_free_page;
        slot = a.page_free_slot[page];
        cell = a.cell_pages[page] + slot * CELL_SIZE;
        --a.total_free;
        const int32_t left = --a.page_free_count[page];
        if (left <= 0 && a.total_free == 0) {
            a.highest_free_page = -1;
        } else {
            find_next_free_cell(page, slot, left);
        }
    } else if (a.current_page >= a.sealed_page && a.current_page >= 0 && a.next_slot < int32_t(CELLS_PER_PAGE)) {
        page = a.current_page;
        slot = a.next_slot++;
        cell = a.cell_pages[page] + slot * CELL_SIZE;
    } else {
        return new_cell_slow(tag, initial_count, cell_out);
    }
    unpoison_storage(cell, CELL_SIZE);
    std::memset(cell, 0, CELL_SIZE);
    cell[0] = make_header(tag, initial_count);
    if (cell_out != nullptr) *cell_out = reinterpret_cast<Cell*>(cell);
    return uint32_t(slot) | uint32_t(page) << 8 | tag << 24;
}

// Returns an area reference; *pointer_out receives the address. Permanent
// items are zero-filled and hold at least size + 1 bytes; class 1-14 items
// are not initialised and hold at least size + 1 bytes; class 15 items hold
// exactly size bytes.
uint32_t area_alloc(size_t size, uint8_t** pointer_out);
void area_free(uint32_t reference);
// No area reference equals it (bits 24-31 are never set in one).
inline constexpr uint32_t AREA_NONE = 0xFFFFFFFFu;
// A class 15 item (one heap allocation) whatever the mode, or AREA_NONE
// when there is no memory for it: the last resort of a caller that must
// not raise, such as the building of an error object after the areas ran
// out.
uint32_t area_alloc_heap_item(size_t size, uint8_t** pointer_out);

inline uint32_t area_class(uint32_t reference) { return (reference >> 20) & 0xF; }

inline uint8_t* area_pointer(uint32_t reference) {
    const uint32_t cls = area_class(reference);
    if (cls == 0) {
        return g_areas.blocks[(reference >> 10) & 0x3FF] + (reference & 0x3FF) * 4;
    }
    if (cls == LARGE_CLASS) {
        return g_areas.large[reference & 0xFFFFF];
    }
    return g_areas.classes[cls].pages[(reference >> 8) & 0xFFF] + sizeof(ClassPageHeader) +
           (reference & 0xFF) * (AREA_CLASSES[cls].size + 2u);
}

// The same address as cell_pages[page] + slot * 16, without the table.
inline Cell* cell_pointer(Value v) {
    return reinterpret_cast<Cell*>(g_areas.cell_space + size_t(v & 0xFFFFF) * CELL_SIZE);
}

template <typename T>
inline T* cell_as(Value v) { return reinterpret_cast<T*>(cell_pointer(v)); }

// Enters a freed cell in the free counts: it is handed out again.
inline void enter_free_cell(Value v) {
    AreaState& a = g_areas;
    cell_pointer(v)->header = HEADER_FREE;
    const int32_t page = int32_t((v >> 8) & 0xFFF);
    const int32_t slot = int32_t(v & 0xFF);
    if (a.page_free_count[page] == 0 || slot > a.page_free_slot[page]) a.page_free_slot[page] = slot;
    ++a.page_free_count[page];
    if (a.total_free == 0 || page > a.highest_free_page) a.highest_free_page = page;
    ++a.total_free;
}

#if KOVA_POISON
// Sanitizer builds: the cell is poisoned and waits in the quarantine.
void quarantine_cell(Value v);
#endif

inline void free_cell(Value v) {
#if KOVA_POISON
    if (g_poisoning) {
        quarantine_cell(v);
        return;
    }
#endif
    if (cell_pointer(v)->header == HEADER_FREE) return;  // already free: never count it twice
    enter_free_cell(v);
}

// Sanitizer builds hold freed cells and class slots back for a while before
// they can be handed out again; this lets go of all of them at once, so a
// test can see the reuse order itself. Nothing to do in other builds.
void areas_flush_quarantine();
// Sanitizer builds: with false, freed storage is neither poisoned nor held
// back, exactly as in other builds, for unit tests that inspect freed cells
// and the reuse order. Any earlier poison is lifted at the next reset.
void areas_set_poisoning(bool on);

// The header byte of a counted value (cell or area item); null for tags 0,
// 4 and 15, which have no storage.
inline uint8_t* value_header(Value v) {
    const uint32_t tag = value_tag(v);
    // Cells are by far the most frequent: one bit test finds them.
    constexpr uint32_t CELL_TAGS = 1u << TAG_INTEGER | 1u << TAG_DATE | 1u << TAG_FLOAT | 1u << TAG_STRING |
                                   1u << TAG_ARRAY | 1u << TAG_KEYED | 1u << TAG_OBJECT | 1u << TAG_NODE |
                                   1u << TAG_FUNCTION;
    if ((CELL_TAGS >> tag) & 1) return &cell_pointer(v)->header;
    if (is_area_tag(tag)) return area_pointer(value_payload(v));
    return nullptr;
}

// Run by release when a count reaches 0 (values.h).
void free_by_tag(Value v);

// Reference counts. Immediates and permanent headers are left alone. They
// run on every operand of every operator, so the common paths are inline.
inline void retain(Value v) {
    uint8_t* header = value_header(v);
    if (header != nullptr && *header < HEADER_PERMANENT) *header = uint8_t(*header + 16);
}

// Frees a value whose count reached 0; numbers hold nothing else.
inline void free_counted(Value v) {
    const uint32_t tag = value_tag(v);
    if (tag == TAG_INTEGER || tag == TAG_FLOAT) {
        free_cell(v);
        return;
    }
    free_by_tag(v);
}

inline void release(Value v) {
    uint8_t* header = value_header(v);
    if (header == nullptr) return;
    const uint8_t h = *header;
    if (h >= HEADER_PERMANENT) return;
    if (h >= 16) {
        *header = uint8_t(h - 16);
        if (h >= 32) return;  // still held
    }
    free_counted(v);
}

inline void release_if_temporary(Value v) {
    const uint8_t* header = value_header(v);
    if (header != nullptr && *header < 16) free_counted(v);
}

// Subtracts 1 from a count above 0 without freeing; returns
// (old count + 1) * 16, which is 0 only for a permanent value (and for
// immediates, which have no count).
inline uint32_t unhold(Value v) {
    uint8_t* header = value_header(v);
    if (header == nullptr) return 0;
    const uint8_t h = *header;
    if (h >= HEADER_PERMANENT) return 0;
    if (h >= 16) *header = uint8_t(h - 16);
    return uint32_t((h >> 4) + 1) * 16;
}

// Adds a reference and returns the old count bits (header & 0xF0);
// immediates give 0xF0, as a permanent value does.
uint32_t retain_query(Value v);

// The value of a cell given its address; runtime error 2495 if no cell page
// holds it.
Value cell_value_of(const void* cell);

}  // namespace kova

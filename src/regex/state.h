// Inside the regular-expression subsystem: its process-wide state. The
// prepared forms of compiled values, the last subject converted to UTF-16,
// the captures of the last search, and the work storage of the matcher
// (failure memo, repetition positions, run lengths), which is kept from
// one search to the next so that a search allocates nothing once the
// storage has grown to its size.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/value.h"
#include "regex/program.h"

namespace kova {

// Which continuations (term of a sequence, position) are known to fail in
// the current search: one bit per (memo slot, position), in pages of 4,096
// positions made on first use. Only the pages touched are cleared after a
// search.
class FailureMemo {
public:
    FailureMemo() = default;
    ~FailureMemo();
    FailureMemo(const FailureMemo&) = delete;
    FailureMemo& operator=(const FailureMemo&) = delete;

    // Positions 0 to `length` of `slots` slots, all unknown.
    void begin(uint32_t slots, uint32_t length);
    // Forgets every bit (pages go back to the spare list).
    void end();
    void release_storage();

    bool test(uint32_t slot, int32_t position) const {
        const uint64_t* page = directory_[slot * pages_per_slot_ + (uint32_t(position) >> PAGE_SHIFT)];
        return page != nullptr && (page[(uint32_t(position) & PAGE_MASK) >> 6] >> (position & 63) & 1) != 0;
    }
    void set(uint32_t slot, int32_t position) {
        page_for(slot, position)[(uint32_t(position) & PAGE_MASK) >> 6] |= uint64_t(1) << (position & 63);
    }
    // Sets positions first to last (inclusive).
    void set_range(uint32_t slot, int32_t first, int32_t last);
    // The first position from `first` to `last` whose bit is set, or -1.
    int32_t first_set(uint32_t slot, int32_t first, int32_t last) const { return first_with(slot, first, last, true); }
    // The first (or last) position from `first` to `last` whose bit is
    // clear, or -1.
    int32_t first_clear(uint32_t slot, int32_t first, int32_t last) const {
        return first_with(slot, first, last, false);
    }
    int32_t last_clear(uint32_t slot, int32_t first, int32_t last) const;

private:
    static constexpr uint32_t PAGE_SHIFT = 12;
    static constexpr uint32_t PAGE_MASK = (1u << PAGE_SHIFT) - 1;
    static constexpr uint32_t PAGE_WORDS = (1u << PAGE_SHIFT) / 64;
    uint64_t* page_for(uint32_t slot, int32_t position);
    int32_t first_with(uint32_t slot, int32_t first, int32_t last, bool value) const;

    std::vector<uint64_t*> directory_;
    uint32_t pages_per_slot_ = 0;
    std::vector<uint32_t> touched_;  // directory entries that hold a page
    std::vector<uint64_t*> spare_;   // pages not in use
    std::vector<uint64_t*> owned_;   // every page made
};

// The run of units a single-width term qualifies for, from `start` up to
// `end` (the first unit that does not qualify), as found by the current
// search (`search` is its number).
struct RunEntry {
    uint32_t search;
    int32_t start;
    int32_t end;
};

struct RegexState {
    // prepared forms by compiled value, and the last one looked up
    std::unordered_map<Value, Program*> programs;
    Value last_value;
    Program* last_program;

    // the last subject: the string value (held), what it was made from,
    // and its units with a 0 before and after
    Value subject_string;
    uint32_t subject_text;
    uint32_t subject_bytes;
    uint32_t subject_length;
    std::vector<uint16_t> units;
    std::vector<uint16_t> folded;
    bool folded_ready;

    // the last search: spans [2g, 2g + 1] of group g (0: the match), -1
    // when the group took no part; valid when `matched`
    std::vector<int32_t> spans;
    Value matched_value;
    bool matched;

    // matcher work storage
    FailureMemo memo;
    std::vector<int32_t> positions;  // repetition ends, a stack shared by nested terms
    std::vector<RunEntry> runs;      // by term id
    uint32_t search_number;
    uint64_t steps;
    // Benchmarks compare searches with and without the memo.
    bool memo_disabled;
};

extern RegexState g_regex;

}  // namespace kova

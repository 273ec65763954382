// Inside the regular-expression subsystem: the prepared form of a compiled
// value that the matcher walks. It is built from the compiled items once,
// the first time a value is searched, and kept until the value is freed:
// classes become bitmaps and sorted ranges, quantifiers plain counts, and
// every sequence gets its slots in the failure memo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/value.h"
#include "regex/regex_layout.h"

namespace kova {

inline constexpr uint32_t UNBOUNDED_COUNT = UINT32_MAX;
inline constexpr uint32_t NO_MEMO = UINT32_MAX;
inline constexpr uint32_t UNBOUNDED_WIDTH = UINT32_MAX;

// A class: a bitmap of the units below 256, sorted ranges for the others.
struct PreparedClass {
    uint64_t low[4];
    const uint32_t* ranges;  // pairs (first, last), sorted, not overlapping
    uint32_t range_count;
    bool high_all;           // every unit from 256 up qualifies (\W, \D, \S)
    bool negated;
};

struct PreparedExpression;

struct PreparedTerm {
    uint8_t kind;
    uint8_t lookaround;     // RegexLookaround
    bool lazy;
    bool quantified;        // a range or "?": the count is chosen by the search
    bool single_width;      // one unit per repetition (characters, classes, shorthands, dots)
    bool lookbehind_guarded;  // a lookbehind decides at the term's start
    uint16_t number;        // group or backreference number
    uint32_t min;           // repetitions
    uint32_t max;           // UNBOUNDED_COUNT for none
    uint16_t unit;          // single character
    const uint16_t* units;  // literal run
    uint32_t unit_count;
    const PreparedClass* set;
    const PreparedExpression* sub;   // group contents
    const PreparedExpression* look;  // attached lookaround
    uint32_t groups_first;  // capturing groups inside the group (own number included);
    uint32_t groups_last;   // empty when first > last
    uint32_t id;            // index of per-search caches
};

struct PreparedExpression {
    bool alternation;
    uint32_t count;                              // alternatives or terms
    const PreparedExpression* const* alternatives;
    const PreparedTerm* terms;
    uint32_t memo_slot;     // slot of term 0 (one per term), NO_MEMO when not memoised
    uint32_t groups_first;
    uint32_t groups_last;
    uint32_t min_width;
    uint32_t max_width;     // UNBOUNDED_WIDTH when it has none
    // How a search finds where the first term may start.
    enum Start : uint8_t { START_ANYWHERE, START_UNIT, START_SET, START_LINE } start;
    const PreparedTerm* first;
};

struct Program {
    Value value;
    const PreparedExpression* root;
    uint32_t group_count;
    std::vector<uint8_t*> group_terms;  // [group]: its term in the compiled form (spans), or null
    std::vector<int32_t> group_names;   // [group]: name index, or -1
    bool has_backreference;
    uint32_t memo_slots;
    uint32_t term_count;
    std::vector<void*> blocks;          // storage of the prepared form
    ~Program();
};

// The prepared form of a compiled value (built on first use). A compiled
// value that is not well formed raises runtime error 5030.
const Program& program_of(Value compiled);

}  // namespace kova

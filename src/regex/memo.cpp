// The failure memo of the matcher: a bit per (memo slot, position), kept in
// pages made on first use and cleared page by page after each search.
#include <cstdlib>
#include <cstring>

#include "core/errors.h"
#include "regex/state.h"

namespace kova {

FailureMemo::~FailureMemo() { release_storage(); }

void FailureMemo::release_storage() {
    for (uint64_t* page : owned_) std::free(page);
    owned_.clear();
    spare_.clear();
    touched_.clear();
    directory_.clear();
    pages_per_slot_ = 0;
}

void FailureMemo::begin(uint32_t slots, uint32_t length) {
    const uint32_t pages = (length >> PAGE_SHIFT) + 1;
    const size_t size = size_t(slots) * pages;
    // The directory is all null between searches; it is made anew only
    // when its shape changes.
    if (pages != pages_per_slot_ || size != directory_.size()) {
        directory_.assign(size, nullptr);
        pages_per_slot_ = pages;
    }
}

void FailureMemo::end() {
    for (uint32_t entry : touched_) {
        spare_.push_back(directory_[entry]);
        directory_[entry] = nullptr;
    }
    touched_.clear();
}

uint64_t* FailureMemo::page_for(uint32_t slot, int32_t position) {
    const uint32_t entry = slot * pages_per_slot_ + (uint32_t(position) >> PAGE_SHIFT);
    uint64_t* page = directory_[entry];
    if (page != nullptr) return page;
    if (!spare_.empty()) {
        page = spare_.back();
        spare_.pop_back();
    } else {
        page = static_cast<uint64_t*>(std::malloc(PAGE_WORDS * sizeof(uint64_t)));
        if (page == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
        owned_.push_back(page);
    }
    std::memset(page, 0, PAGE_WORDS * sizeof(uint64_t));
    touched_.push_back(entry);
    directory_[entry] = page;
    return page;
}

void FailureMemo::set_range(uint32_t slot, int32_t first, int32_t last) {
    int32_t p = first;
    while (p <= last) {
        uint64_t* page = page_for(slot, p);
        const int32_t page_end = int32_t((uint32_t(p) | PAGE_MASK));
        const int32_t stop = last < page_end ? last : page_end;
        // Whole words where the range covers them.
        while (p <= stop) {
            const uint32_t bit = uint32_t(p) & 63;
            const uint32_t word = (uint32_t(p) & PAGE_MASK) >> 6;
            const int32_t word_last = p + int32_t(63 - bit);
            if (bit == 0 && word_last <= stop) {
                page[word] = ~uint64_t(0);
                p = word_last + 1;
            } else {
                const int32_t upto = word_last < stop ? word_last : stop;
                const uint32_t n = uint32_t(upto - p) + 1;
                const uint64_t mask = n == 64 ? ~uint64_t(0) : ((uint64_t(1) << n) - 1) << bit;
                page[word] |= mask;
                p = upto + 1;
            }
        }
    }
}

// The first position from `first` to `last` whose bit equals `value`; a
// page not made yet holds only clear bits.
int32_t FailureMemo::first_with(uint32_t slot, int32_t first, int32_t last, bool value) const {
    const uint64_t flip = value ? 0 : ~uint64_t(0);
    int32_t p = first;
    while (p <= last) {
        const uint64_t* page = directory_[slot * pages_per_slot_ + (uint32_t(p) >> PAGE_SHIFT)];
        const int32_t page_end = int32_t((uint32_t(p) | PAGE_MASK));
        if (page == nullptr) {
            if (!value) return p;
            p = page_end + 1;
            continue;
        }
        const int32_t stop = last < page_end ? last : page_end;
        while (p <= stop) {
            const uint32_t bit = uint32_t(p) & 63;
            const uint64_t word = (page[(uint32_t(p) & PAGE_MASK) >> 6] ^ flip) >> bit;
            if (word != 0) {
                const int32_t found = p + __builtin_ctzll(word);
                return found <= last ? found : -1;
            }
            p += int32_t(64 - bit);
        }
    }
    return -1;
}

int32_t FailureMemo::last_clear(uint32_t slot, int32_t first, int32_t last) const {
    int32_t p = last;
    while (p >= first) {
        const uint64_t* page = directory_[slot * pages_per_slot_ + (uint32_t(p) >> PAGE_SHIFT)];
        if (page == nullptr) return p;
        const int32_t page_start = int32_t(uint32_t(p) & ~PAGE_MASK);
        const int32_t stop = first > page_start ? first : page_start;
        while (p >= stop) {
            const uint32_t bit = uint32_t(p) & 63;
            // The clear bits at or below `bit`.
            const uint64_t word = ~page[(uint32_t(p) & PAGE_MASK) >> 6] << (63 - bit);
            if (word != 0) {
                const int32_t found = p - __builtin_clzll(word);
                return found >= first ? found : -1;
            }
            p -= int32_t(bit + 1);
        }
    }
    return -1;
}

}  // namespace kova

// Array sort. Without an argument the elements are ordered by their texts
// (value_to_text), compared byte by byte; with one, by a script function of
// two parameters.
//
// A comparator is script code: it may throw, raise an error, answer
// inconsistently, or change the very array being sorted. So its elements
// are taken into a buffer that holds a reference to each, sorted there by a
// merge sort (which stays a permutation of its input whatever the
// comparator answers), and written back only once the sort has completed.
// An error from the comparator leaves the array as the comparator left it.
#include "builtins/array_sort.h"

#include <cstring>

#include "builtins/library.h"
#include "core/errors.h"
#include "core/value_text.h"
#include "eval/calls.h"

namespace kova {

namespace {

// Stable bottom-up merge sort of n items, using `scratch` (room for n) as
// the second buffer. `compare(a, b)` above 0 means b goes first. Two runs
// already in order cost one comparison (from runs of two on: for single
// items that comparison is the merge itself).
template <typename T, typename Compare>
void merge_sort(T* items, T* scratch, uint32_t n, Compare compare) {
    T* from = items;
    T* to = scratch;
    for (uint32_t width = 1; width < n; width *= 2) {
        for (uint32_t low = 0; low < n; low += 2 * width) {
            const uint32_t middle = low + width < n ? low + width : n;
            const uint32_t high = middle + width < n ? middle + width : n;
            if (middle == high || (width > 1 && compare(from[middle - 1], from[middle]) <= 0)) {
                std::memcpy(to + low, from + low, sizeof(T) * (high - low));
                continue;
            }
            uint32_t left = low;
            uint32_t right = middle;
            uint32_t out = low;
            while (left < middle && right < high) {
                to[out++] = compare(from[left], from[right]) <= 0 ? from[left++] : from[right++];
            }
            while (left < middle) to[out++] = from[left++];
            while (right < high) to[out++] = from[right++];
        }
        T* swap = from;
        from = to;
        to = swap;
    }
    if (from != items) std::memcpy(items, from, sizeof(T) * n);
}

// Stores the sorted elements over the array's first n slots (the array may
// have changed while a comparator ran: whatever those slots hold now is
// released; slots beyond n stay; a shorter array grows back to n).
void write_back(Value array, const Value* sorted, uint32_t n) {
    const uint32_t now = array_count(array);
    if (n > now) reserve_elements(array, n);
    for (uint32_t i = 0; i < n; ++i) {
        retain(sorted[i]);
        const Value old = i < now ? array_element(array, i) : UNDEFINED;
        set_array_element(array, i, sorted[i]);
        release(old);
    }
    if (n > now) cell_as<ArrayCell>(array)->count = n;
}

// ---- by text ---------------------------------------------------------------------

// An element's text for sorting. Its first 8 bytes, read big-endian (and
// padded with zeros), decide most comparisons without touching the text.
struct TextKey {
    uint64_t prefix;
    const char* text;
    uint32_t offset;  // into the text arena, until the arena stops growing
    uint32_t length;
    Value value;
};

uint64_t prefix_of(const char* text, uint32_t length) {
    uint64_t prefix = 0;
    for (uint32_t i = 0; i < 8; ++i) prefix = prefix << 8 | (i < length ? static_cast<uint8_t>(text[i]) : 0u);
    return prefix;
}

int compare_texts(const TextKey& a, const TextKey& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
    const uint32_t shorter = a.length < b.length ? a.length : b.length;
    if (shorter > 8) {
        const int c = std::memcmp(a.text + 8, b.text + 8, shorter - 8);
        if (c != 0) return c;
    }
    return a.length < b.length ? -1 : a.length > b.length ? 1 : 0;
}

// No script code runs while texts are compared, so the elements need no
// extra holding: they are permuted in place once sorted.
void sort_by_text(Value array) {
    const uint32_t n = array_count(array);
    // Strings are compared in place; every other element's text goes into
    // one arena, whose place is known only once it is complete.
    LocalText<TEXT_SCRATCH_SIZE> arena;
    LocalText<TEXT_SCRATCH_SIZE> one;
    Scratch<TextKey> keys(n);
    Scratch<TextKey> scratch(n);
    for (uint32_t i = 0; i < n; ++i) {
        const Value v = array_element(array, i);
        if (is_string(v)) {
            keys[i] = TextKey{0, string_text(v), 0, string_length(v), v};
            continue;
        }
        value_to_text(v, one);
        keys[i] = TextKey{0, nullptr, uint32_t(arena.length), uint32_t(one.length), v};
        append_text_bytes(arena, one.data, one.length);
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (keys[i].text == nullptr) keys[i].text = arena.data + keys[i].offset;
        keys[i].prefix = prefix_of(keys[i].text, keys[i].length);
    }
    merge_sort(keys.data(), scratch.data(), n, compare_texts);
    for (uint32_t i = 0; i < n; ++i) set_array_element(array, i, keys[i].value);
}

// ---- by comparator ---------------------------------------------------------------

// The comparator's answer for (a, b): an integer by its value, a float by
// its sign (NaN counting as below), anything else 0. A comparator that ends
// without `return` raises 2540.
int32_t compare_by(Value function, Value a, Value b) {
    const Value pair[2] = {a, b};
    bool returned = false;
    const Value result = call_function_with_values(function, pair, 2, NO_THIS, &returned);
    if (!returned) raise_runtime_error(2540, "ソートでの比較結果不正");
    int32_t answer = 0;
    if (is_integer(result)) {
        answer = integer_of(result);
    } else if (is_float(result)) {
        const double x = float_of(result);
        answer = x > 0.0 ? 1 : x == 0.0 ? 0 : -1;
    }
    release_if_temporary(result);
    return answer;
}

void sort_by_comparator(Value array, const HeldValues& items, Value function) {
    const uint32_t n = items.size();
    Scratch<Value> work(n);
    Scratch<Value> scratch(n);
    for (uint32_t i = 0; i < n; ++i) work[i] = items[i];
    merge_sort(work.data(), scratch.data(), n, [function](Value a, Value b) { return compare_by(function, a, b); });
    write_back(array, work.data(), n);
}

}  // namespace

Value array_sort(Value receiver, const Value* arguments, uint32_t count) {
    Value function = 0;
    if (count == 1) {
        function = arguments[0];
        if (!is_function(function)) raise_runtime_error(2545, "引数不正(非関数)");
        if (parameter_count_of(function) != 2) raise_runtime_error(2550, "引数の個数不正");
    }
    const uint32_t n = array_count(receiver);
    if (n < 2) return receiver;
    if (function == 0) {
        sort_by_text(receiver);
        return receiver;
    }
    HeldValues items(n);
    for (uint32_t i = 0; i < n; ++i) items.add(array_element(receiver, i));
    sort_by_comparator(receiver, items, function);
    return receiver;
}

}  // namespace kova

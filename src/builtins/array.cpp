// The methods of arrays and keyed arrays. Both kinds share one list of
// names; a keyed array has a form of only some of them (the others raise
// 2565). Sorting is in array_sort.cpp.
//
// Every handler gets the receiver and the evaluated arguments, which the
// call holds until the handler returns; what a handler stores it retains.
// A removed element's reference goes to the caller: the handler lets go of
// it without freeing (unhold), so the result is a temporary unless someone
// else holds it too.
#include <cstring>

#include "builtins/array_sort.h"
#include "builtins/library.h"
#include "builtins/method_table.h"
#include "core/errors.h"
#include "core/value_text.h"

namespace kova {

namespace {

[[noreturn]] void key_out_of_range() { raise_runtime_error(2025, "インデックス不正"); }
constexpr uint32_t INTEGER_KEY_LIMIT = 0xFFFFFF;

// ---- matching (indexOf, lastIndexOf, includes) ---------------------------------

// What indexOf, lastIndexOf and includes look for: a number matches
// integers and floats of the same value (NaN matches nothing), a string
// matches strings of the same bytes. No conversion between the two.
struct Needle {
    bool is_text;
    double number;
    const char* text;
    uint32_t length;
};

// False when x is neither a number nor a string.
bool needle_of(Value x, Needle* needle) {
    if (is_number(x)) {
        *needle = Needle{false, number_of(x), nullptr, 0};
        return true;
    }
    if (is_string(x)) {
        *needle = Needle{true, 0.0, string_text(x), string_length(x)};
        return true;
    }
    return false;
}

inline bool matches(const Needle& needle, Value element) {
    const uint32_t tag = value_tag(element);
    if (needle.is_text) {
        return tag == TAG_STRING && string_length(element) == needle.length &&
               std::memcmp(string_text(element), needle.text, needle.length) == 0;
    }
    if (tag == TAG_INTEGER) return double(integer_of(element)) == needle.number;
    if (tag == TAG_FLOAT) return float_of(element) == needle.number;
    return false;
}

Value needle_argument(Value x, int code) {
    Needle unused;
    if (!needle_of(x, &unused)) raise_runtime_error(code, "Arrayの引数不正");
    return x;
}

// A key word of a keyed array as a script value: an integer key as a new
// integer, a name key as the name value.
Value key_value(uint32_t key) {
    return key_is_integer(key) ? new_integer(int32_t(value_payload(key))) : make_value(TAG_NAME, value_payload(key));
}

// ---- texts (join, toString) ------------------------------------------------------

template <typename MemberAt>
Value joined(uint32_t count, MemberAt member_at, const char* separator, uint32_t separator_length) {
    LocalText<TEXT_SCRATCH_SIZE> text;
    for (uint32_t i = 0; i < count; ++i) {
        if (i != 0) append_text_bytes(text, separator, separator_length);
        append_value_text(member_at(i), text, false);
    }
    return new_string(text.data, text.length);
}

// The separator argument of join: a string, else 2525; "," by default.
void separator_of(const Value* arguments, uint32_t count, const char** text, uint32_t* length) {
    *text = ",";
    *length = 1;
    if (count == 0) return;
    if (!is_string(arguments[0])) raise_runtime_error(2525, "引数不正");
    *text = string_text(arguments[0]);
    *length = string_length(arguments[0]);
}

Value text_of_container(Value receiver) {
    LocalText<TEXT_SCRATCH_SIZE> text;
    append_value_text(receiver, text, false);
    return new_string(text.data, text.length);
}

// ---- array forms -----------------------------------------------------------------

// concat: the receiver's members first (`first_count` of them, read by
// `first_at`), then the elements of each array argument. A keyed-array
// argument raises 2505; other arguments are skipped.
template <typename MemberAt>
Value concatenated(uint32_t first_count, MemberAt first_at, const Value* arguments, uint32_t count) {
    uint64_t total = first_count;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t tag = value_tag(arguments[i]);
        if (tag == TAG_KEYED) raise_runtime_error(2505, "Array.concatの引数不正");
        if (tag == TAG_ARRAY) total += array_count(arguments[i]);
    }
    if (total >= 0x10000000) raise_runtime_error(1400, "メモリ領域を取得できません");
    const Value result = new_array_for(uint32_t(total));
    for (uint32_t i = 0; i < first_count; ++i) append_new_element(result, first_at(i));
    for (uint32_t a = 0; a < count; ++a) {
        if (value_tag(arguments[a]) != TAG_ARRAY) continue;
        const uint32_t n = array_count(arguments[a]);
        for (uint32_t i = 0; i < n; ++i) append_new_element(result, array_element(arguments[a], i));
    }
    return result;
}

Value array_concat(Value receiver, const Value* arguments, uint32_t count) {
    return concatenated(
        array_count(receiver), [receiver](uint32_t i) { return array_element(receiver, i); }, arguments, count);
}

Value array_keys(Value receiver, const Value*, uint32_t) { return array_of_indexes(array_count(receiver)); }

Value array_reverse(Value receiver, const Value*, uint32_t) { return reverse_array_in_place(receiver); }

Value array_index_of(Value receiver, const Value* arguments, uint32_t count) {
    Needle needle;
    if (!needle_of(arguments[0], &needle)) needle_argument(arguments[0], 2510);
    const uint32_t n = array_count(receiver);
    const uint32_t from = index_or(arguments, count, 1, 0, n);
    const uint8_t* slots = array_slots(receiver);
    for (uint32_t i = from; i < n; ++i) {
        if (matches(needle, load_u32(slots + 4 * size_t(i)))) return new_integer(int32_t(i));
    }
    return new_integer(-1);
}

Value array_last_index_of(Value receiver, const Value* arguments, uint32_t count) {
    Needle needle;
    if (!needle_of(arguments[0], &needle)) needle_argument(arguments[0], 2515);
    const uint32_t n = array_count(receiver);
    const uint32_t bound = index_or(arguments, count, 1, n, n);
    if (n == 0) return new_integer(-1);
    const uint32_t last = bound < n ? bound : n - 1;
    const uint8_t* slots = array_slots(receiver);
    for (uint32_t i = last + 1; i-- > 0;) {
        if (matches(needle, load_u32(slots + 4 * size_t(i)))) return new_integer(int32_t(i));
    }
    return new_integer(-1);
}

Value array_includes(Value receiver, const Value* arguments, uint32_t count) {
    const uint32_t n = array_count(receiver);
    if (n == 0) return truth_value(false);
    const uint32_t from = index_or(arguments, count, 1, 0, n);
    Needle needle;
    if (!needle_of(arguments[0], &needle)) return truth_value(false);
    const uint8_t* slots = array_slots(receiver);
    for (uint32_t i = from; i < n; ++i) {
        if (matches(needle, load_u32(slots + 4 * size_t(i)))) return truth_value(true);
    }
    return truth_value(false);
}

Value array_join(Value receiver, const Value* arguments, uint32_t count) {
    const char* separator = nullptr;
    uint32_t length = 0;
    separator_of(arguments, count, &separator, &length);
    return joined(
        array_count(receiver), [receiver](uint32_t i) { return array_element(receiver, i); }, separator, length);
}

Value container_to_string(Value receiver, const Value*, uint32_t) { return text_of_container(receiver); }

Value array_pop(Value receiver, const Value*, uint32_t) {
    ArrayCell* cell = cell_as<ArrayCell>(receiver);
    if (cell->count == 0) return UNDEFINED;
    const Value last = array_element(receiver, cell->count - 1);
    --cell->count;
    unhold(last);
    return last;
}

Value array_push(Value receiver, const Value* arguments, uint32_t count) {
    const uint32_t n = array_count(receiver);
    reserve_elements(receiver, n + count);
    for (uint32_t i = 0; i < count; ++i) {
        retain(arguments[i]);
        set_array_element(receiver, n + i, arguments[i]);
    }
    cell_as<ArrayCell>(receiver)->count = n + count;
    return new_integer(int32_t(n + count));
}

Value array_shift(Value receiver, const Value*, uint32_t) {
    const uint32_t n = array_count(receiver);
    if (n == 0) return UNDEFINED;
    uint8_t* slots = array_slots(receiver);
    const Value first = load_u32(slots);
    std::memmove(slots, slots + 4, 4 * size_t(n - 1));
    cell_as<ArrayCell>(receiver)->count = n - 1;
    unhold(first);
    return first;
}

Value array_unshift(Value receiver, const Value* arguments, uint32_t count) {
    const uint32_t n = array_count(receiver);
    reserve_elements(receiver, n + count);
    uint8_t* slots = array_slots(receiver);
    std::memmove(slots + 4 * size_t(count), slots, 4 * size_t(n));
    for (uint32_t i = 0; i < count; ++i) {
        retain(arguments[i]);
        store_u32(slots + 4 * size_t(i), arguments[i]);
    }
    cell_as<ArrayCell>(receiver)->count = n + count;
    return new_integer(int32_t(n + count));
}

Value array_slice(Value receiver, const Value* arguments, uint32_t count) {
    const uint32_t n = array_count(receiver);
    const uint32_t start = index_or(arguments, count, 0, 0, n);
    const uint32_t end = index_or(arguments, count, 1, n, n);
    const uint32_t length = end > start ? end - start : 0;
    const Value result = new_array_for(length);
    for (uint32_t i = 0; i < length; ++i) {
        // A member copy of a container allocates; the receiver's elements
        // are read afresh each time.
        const Value copy = copy_one_level(array_element(receiver, start + i));
        append_new_element(result, copy);
    }
    return result;
}

Value array_splice(Value receiver, const Value* arguments, uint32_t count) {
    const uint32_t n = array_count(receiver);
    const uint32_t start = normalise_index(index_argument(arguments[0]), n);
    uint32_t removed = n - start;
    const uint32_t inserted = count > 2 ? count - 2 : 0;
    if (count >= 2) {
        if (!is_integer(arguments[1])) raise_runtime_error(2530, "引数不正(非整数)");
        const int32_t wanted = integer_of(arguments[1]);
        removed = wanted <= 0 ? 0 : (uint32_t(wanted) < n - start ? uint32_t(wanted) : n - start);
        if (removed == 0 && inserted == 0) raise_runtime_error(2535, "引数不正(要素の削除・追加がない)");
    }
    // Every allocation comes first, so an error leaves the array unchanged
    // (a larger capacity is not visible).
    reserve_elements(receiver, n - removed + inserted);
    const Value result = new_array_for(removed);
    // The removed elements' references move to the result.
    uint8_t* slots = array_slots(receiver);
    std::memcpy(area_pointer(cell_as<ArrayCell>(result)->elements), slots + 4 * size_t(start), 4 * size_t(removed));
    cell_as<ArrayCell>(result)->count = removed;
    std::memmove(slots + 4 * size_t(start + inserted), slots + 4 * size_t(start + removed),
                 4 * size_t(n - start - removed));
    for (uint32_t i = 0; i < inserted; ++i) {
        retain(arguments[2 + i]);
        store_u32(slots + 4 * size_t(start + i), arguments[2 + i]);
    }
    cell_as<ArrayCell>(receiver)->count = n - removed + inserted;
    return result;
}

Value array_fill(Value receiver, const Value* arguments, uint32_t count) {
    const uint32_t n = array_count(receiver);
    const uint32_t start = index_or(arguments, count, 1, 0, n);
    const uint32_t end = index_or(arguments, count, 2, n, n);
    const Value v = arguments[0];
    for (uint32_t i = start; i < end; ++i) {
        retain(v);
        const Value old = array_element(receiver, i);
        set_array_element(receiver, i, v);
        release(old);
    }
    return receiver;
}

Value array_copy_within(Value receiver, const Value* arguments, uint32_t count) {
    const uint32_t n = array_count(receiver);
    const uint32_t target = normalise_index(index_argument(arguments[0]), n);
    const uint32_t start = index_or(arguments, count, 1, 0, n);
    const uint32_t end = index_or(arguments, count, 2, n, n);
    const uint32_t length = end > start ? end - start : 0;
    // The range is read into a buffer first (held, since overwriting may
    // release the last other reference to one of its members), so
    // overlapping ranges behave as if copied through it.
    HeldValues range(length);
    for (uint32_t i = 0; i < length; ++i) range.add(array_element(receiver, start + i));
    for (uint32_t i = 0; i < length && target + i < n; ++i) {
        const Value copy = copy_one_level(range[i]);
        retain(copy);
        const Value old = array_element(receiver, target + i);
        set_array_element(receiver, target + i, copy);
        release(old);
    }
    return receiver;
}

// ---- keyed-array forms ---------------------------------------------------------

inline Value pair_value(Value keyed, uint32_t i) { return load_u32(keyed_pair(keyed, i) + 4); }
inline uint32_t pair_key(Value keyed, uint32_t i) { return load_u32(keyed_pair(keyed, i)); }

Value keyed_concat(Value receiver, const Value* arguments, uint32_t count) {
    return concatenated(
        keyed_count(receiver), [receiver](uint32_t i) { return pair_value(receiver, i); }, arguments, count);
}

Value keyed_keys(Value receiver, const Value*, uint32_t) { return keys_of_keyed_array(receiver); }

// Whether a pair's key lies within the search bound: integer keys are
// compared with it, name keys always qualify.
inline bool key_at_least(uint32_t key, uint32_t from) { return !key_is_integer(key) || value_payload(key) >= from; }
inline bool key_at_most(uint32_t key, uint32_t last) { return !key_is_integer(key) || value_payload(key) <= last; }

Value keyed_index_of(Value receiver, const Value* arguments, uint32_t count) {
    Needle needle;
    if (!needle_of(arguments[0], &needle)) needle_argument(arguments[0], 2510);
    const uint32_t n = keyed_count(receiver);
    const uint32_t from = index_or(arguments, count, 1, 0, n);
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t key = pair_key(receiver, i);
        if (key_at_least(key, from) && matches(needle, pair_value(receiver, i))) return key_value(key);
    }
    return new_integer(-1);
}

Value keyed_last_index_of(Value receiver, const Value* arguments, uint32_t count) {
    Needle needle;
    if (!needle_of(arguments[0], &needle)) needle_argument(arguments[0], 2515);
    const uint32_t n = keyed_count(receiver);
    const uint32_t last = count > 1 ? normalise_index(index_argument(arguments[1]), n) : INTEGER_KEY_LIMIT;
    for (uint32_t i = n; i-- > 0;) {
        const uint32_t key = pair_key(receiver, i);
        if (key_at_most(key, last) && matches(needle, pair_value(receiver, i))) return key_value(key);
    }
    return new_integer(-1);
}

Value keyed_join(Value receiver, const Value* arguments, uint32_t count) {
    const char* separator = nullptr;
    uint32_t length = 0;
    separator_of(arguments, count, &separator, &length);
    return joined(
        keyed_count(receiver), [receiver](uint32_t i) { return pair_value(receiver, i); }, separator, length);
}

Value keyed_pop(Value receiver, const Value*, uint32_t) {
    KeyedCell* cell = cell_as<KeyedCell>(receiver);
    if (cell->count == 0) return UNDEFINED;
    const Value last = pair_value(receiver, cell->count - 1);
    --cell->count;
    unhold(last);
    return last;
}

// push appends each value under the key after the highest integer key.
Value keyed_push(Value receiver, const Value* arguments, uint32_t count) {
    const uint32_t n = keyed_count(receiver);
    uint32_t next = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t key = pair_key(receiver, i);
        if (key_is_integer(key) && value_payload(key) + 1 > next) next = value_payload(key) + 1;
    }
    if (next + count - 1 > INTEGER_KEY_LIMIT) key_out_of_range();
    reserve_pairs(receiver, n + count);
    for (uint32_t i = 0; i < count; ++i) {
        retain(arguments[i]);
        uint8_t* pair = keyed_pair(receiver, n + i);
        store_u32(pair, make_integer_key(next + i));
        store_u32(pair + 4, arguments[i]);
    }
    cell_as<KeyedCell>(receiver)->count = n + count;
    return new_integer(int32_t(n + count));
}

// shift removes the first pair; the other pairs keep their keys.
Value keyed_shift(Value receiver, const Value*, uint32_t) {
    const uint32_t n = keyed_count(receiver);
    if (n == 0) return UNDEFINED;
    const Value first = pair_value(receiver, 0);
    uint8_t* pairs = keyed_pair(receiver, 0);
    std::memmove(pairs, pairs + 8, 8 * size_t(n - 1));
    cell_as<KeyedCell>(receiver)->count = n - 1;
    unhold(first);
    return first;
}

// unshift puts the values in front under the keys 0 .. count - 1 and moves
// every integer key up by count, as inserting at the front of an array
// moves its indexes; name keys stay.
Value keyed_unshift(Value receiver, const Value* arguments, uint32_t count) {
    const uint32_t n = keyed_count(receiver);
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t key = pair_key(receiver, i);
        if (key_is_integer(key) && value_payload(key) + count > INTEGER_KEY_LIMIT) key_out_of_range();
    }
    reserve_pairs(receiver, n + count);
    uint8_t* pairs = keyed_pair(receiver, 0);
    std::memmove(pairs + 8 * size_t(count), pairs, 8 * size_t(n));
    for (uint32_t i = count; i < n + count; ++i) {
        const uint32_t key = load_u32(pairs + 8 * size_t(i));
        if (key_is_integer(key)) store_u32(pairs + 8 * size_t(i), make_integer_key(value_payload(key) + count));
    }
    for (uint32_t i = 0; i < count; ++i) {
        retain(arguments[i]);
        store_u32(pairs + 8 * size_t(i), make_integer_key(i));
        store_u32(pairs + 8 * size_t(i) + 4, arguments[i]);
    }
    cell_as<KeyedCell>(receiver)->count = n + count;
    return new_integer(int32_t(n + count));
}

// ---- the tables ------------------------------------------------------------------

constexpr Method ARRAY_LIST[] = {
    {"concat", array_concat, 1, ANY_COUNT},
    {"keys", array_keys, 0, 0},
    {"reverse", array_reverse, 0, 0},
    {"indexOf", array_index_of, 1, 2},
    {"lastIndexOf", array_last_index_of, 1, 2},
    {"join", array_join, 0, 1},
    {"pop", array_pop, 0, 0},
    {"push", array_push, 1, ANY_COUNT},
    {"slice", array_slice, 0, 2},
    {"toString", container_to_string, 0, 0},
    {"shift", array_shift, 0, 0},
    {"unshift", array_unshift, 1, ANY_COUNT},
    {"copyWithin", array_copy_within, 1, 3},
    {"fill", array_fill, 1, 3},
    {"includes", array_includes, 1, 2},
    {"sort", array_sort, 0, 1},
    {"splice", array_splice, 1, ANY_COUNT},
};

constexpr Method KEYED_LIST[] = {
    {"concat", keyed_concat, 1, ANY_COUNT},
    {"keys", keyed_keys, 0, 0},
    {"reverse", nullptr, 0, 0},
    {"indexOf", keyed_index_of, 1, 2},
    {"lastIndexOf", keyed_last_index_of, 1, 2},
    {"join", keyed_join, 0, 1},
    {"pop", keyed_pop, 0, 0},
    {"push", keyed_push, 1, ANY_COUNT},
    {"slice", nullptr, 0, 2},
    {"toString", container_to_string, 0, 0},
    {"shift", keyed_shift, 0, 0},
    {"unshift", keyed_unshift, 1, ANY_COUNT},
    {"copyWithin", nullptr, 1, 3},
    {"fill", nullptr, 1, 3},
    {"includes", nullptr, 1, 2},
    {"sort", nullptr, 0, 1},
    {"splice", nullptr, 1, ANY_COUNT},
};

static_assert(sizeof ARRAY_LIST / sizeof ARRAY_LIST[0] == 17 && sizeof KEYED_LIST == sizeof ARRAY_LIST);

}  // namespace

const MethodTable ARRAY_METHODS = {ARRAY_LIST, 17, 2570, "Arrayのメソッド名不正", 0, 2575, 2580, "引数の個数不正"};
const MethodTable KEYED_METHODS = {KEYED_LIST, 17, 2552, "Arrayのメソッド名不正", 2565, 2555, 2560, "引数の個数不正"};

}  // namespace kova

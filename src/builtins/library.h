// What the library families share: reading arguments by kind, index
// arguments, growing element and pair areas, one-level copies, and value
// buffers that hold their references for the length of a scope (so a
// callback that drops an array's elements cannot free what a method is
// still working on).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/areas.h"
#include "core/names.h"
#include "core/value.h"
#include "core/values.h"

namespace kova {

inline bool is_integer(Value v) { return value_tag(v) == TAG_INTEGER; }
inline bool is_float(Value v) { return value_tag(v) == TAG_FLOAT; }
inline bool is_number(Value v) { return is_integer(v) || is_float(v); }
inline bool is_string(Value v) { return value_tag(v) == TAG_STRING; }
inline bool is_function(Value v) { return value_tag(v) == TAG_FUNCTION; }
inline int32_t integer_of(Value v) { return cell_as<IntegerCell>(v)->value; }
inline double float_of(Value v) { return cell_as<FloatCell>(v)->value; }
// An integer or float as a double.
inline double number_of(Value v) { return is_integer(v) ? double(integer_of(v)) : float_of(v); }
inline Value truth_value(bool b) { return make_value(TAG_NAME, b ? NAME_TRUE : NAME_FALSE); }
inline constexpr Value UNDEFINED = make_value(TAG_NAME, NAME_UNDEFINED);
inline constexpr Value NOT_A_NUMBER = make_value(TAG_NAME, NAME_NAN);

// ---- arrays and keyed arrays --------------------------------------------------

inline uint32_t array_count(Value array) { return cell_as<ArrayCell>(array)->count; }
inline uint8_t* array_slots(Value array) { return area_pointer(cell_as<ArrayCell>(array)->elements); }
inline Value array_element(Value array, uint32_t i) { return load_u32(array_slots(array) + 4 * size_t(i)); }
inline void set_array_element(Value array, uint32_t i, Value v) { store_u32(array_slots(array) + 4 * size_t(i), v); }

inline uint32_t keyed_count(Value keyed) { return cell_as<KeyedCell>(keyed)->count; }
inline uint8_t* keyed_pair(Value keyed, uint32_t i) {
    return area_pointer(cell_as<KeyedCell>(keyed)->pairs) + 8 * size_t(i);
}

// Makes room for `needed` elements (or pairs). A full area is replaced by
// one larger by a proportion of its count, so n appends copy it only
// O(log n) times. Error 1400 when no such area can be had.
void reserve_elements(Value array, uint32_t needed);
void reserve_pairs(Value keyed, uint32_t needed);

// An index argument (start, end, from, target): error 2500 unless it is an
// integer. Normalised: a negative n counts from the end (count + n, at
// least 0); past the last element it is the count.
int32_t index_argument(Value v);
uint32_t normalise_index(int32_t n, uint32_t count);
inline uint32_t index_or(const Value* arguments, uint32_t count, uint32_t i, uint32_t fallback,
                         uint32_t elements) {
    return i < count ? normalise_index(index_argument(arguments[i]), elements) : fallback;
}

// A member copied one level deep: an array, keyed array or object becomes a
// new one with its own element or pair area holding the same (retained)
// members; any other value is itself. The result is a temporary or the
// value itself.
Value copy_one_level(Value v);

// Appends a member to a new array being filled (count kept current).
inline void append_new_element(Value array, Value v) {
    ArrayCell* cell = cell_as<ArrayCell>(array);
    retain(v);
    store_u32(area_pointer(cell->elements) + 4 * size_t(cell->count), v);
    ++cell->count;
}

// A new empty array with room for n elements (capacity n + 10).
inline Value new_array_for(uint32_t n) {
    uint8_t* unused = nullptr;
    return new_array_cell(0, n + 10, &unused);
}

// ---- held values --------------------------------------------------------------

// A buffer of values that holds one reference to each, released when the
// buffer goes out of scope (also on an error unwind). Small buffers live
// inline; larger ones on the heap.
class HeldValues {
public:
    explicit HeldValues(uint32_t capacity);
    ~HeldValues();
    HeldValues(const HeldValues&) = delete;
    HeldValues& operator=(const HeldValues&) = delete;

    void add(Value v) {
        retain(v);
        values_[count_++] = v;
    }
    Value operator[](uint32_t i) const { return values_[i]; }
    Value* data() { return values_; }
    uint32_t size() const { return count_; }

private:
    static constexpr uint32_t INLINE_COUNT = 64;
    Value* values_;
    uint32_t count_ = 0;
    Value inline_values_[INLINE_COUNT];
};

// A plain heap buffer of `count` items (no references held), freed at the
// end of its scope; error 1400 when it cannot be had.
void* scratch_alloc(size_t bytes);
void scratch_free(void* block);
template <typename T>
class Scratch {
public:
    explicit Scratch(size_t count) : items_(static_cast<T*>(scratch_alloc((count + 1) * sizeof(T)))) {}
    ~Scratch() { scratch_free(items_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    T* data() { return items_; }
    T& operator[](size_t i) { return items_[i]; }

private:
    T* items_;
};

// ---- callbacks ----------------------------------------------------------------

// The parameter count of a function value.
inline uint32_t parameter_count_of(Value function) { return cell_as<FunctionCell>(function)->parameter_count; }

}  // namespace kova

// The conversions behind Integer(...) and Float(...), and the deep copy
// made by `new`.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/areas.h"
#include "core/errors.h"
#include "core/number_text.h"
#include "core/values.h"

namespace kova {

int32_t truncate_to_int32(double x) {
    // The range test is written so that NaN fails it too.
    if (x > -2147483649.0 && x < 2147483648.0) return static_cast<int32_t>(x);
    return INT32_MIN;
}

namespace {

// Reads a string's number: one leading "-" or "+", then the number text.
NumberText read_string_number(Value string) {
    const char* p = string_text(string);
    int sign = 1;
    if (*p == '-') {
        sign = -1;
        ++p;
    } else if (*p == '+') {
        ++p;
    }
    return read_number_text(&p, sign);
}

}  // namespace

Value to_integer_value(Value v) {
    switch (value_tag(v)) {
        case TAG_INTEGER:
            return new_integer(cell_as<IntegerCell>(v)->value);
        case TAG_FLOAT:
            return new_integer(truncate_to_int32(cell_as<FloatCell>(v)->value));
        case TAG_STRING: {
            const NumberText number = read_string_number(v);
            if (!number.is_float) return new_integer(static_cast<int32_t>(static_cast<uint64_t>(number.integer)));
            // A fraction that does not fit a 32-bit integer, or a negative
            // one, stays a float.
            const int32_t truncated = truncate_to_int32(number.real);
            if (truncated < 0) return new_float(number.real);
            return new_integer(truncated);
        }
        default:
            raise_runtime_error(1410, "Integerの引数不正");
    }
}

Value to_float_value(Value v) {
    switch (value_tag(v)) {
        case TAG_INTEGER:
            return new_float(cell_as<IntegerCell>(v)->value);
        case TAG_FLOAT:
            return new_float(cell_as<FloatCell>(v)->value);
        case TAG_STRING: {
            const NumberText number = read_string_number(v);
            return new_float(number.is_float ? number.real : static_cast<double>(number.integer));
        }
        default:
            raise_runtime_error(1415, "Floatの引数不正");
    }
}

// ---- deep copy ----------------------------------------------------------------
//
// Containers are copied breadth by breadth from a work list rather than by
// recursion, so a deeply nested (or self-containing) value ends in a memory
// error instead of exhausting the machine stack.

namespace {

struct CopyWork {
    Value source;
    Value copy;  // a container of the same kind, count and capacity, zero-filled
};

class CopyList {
public:
    CopyList() = default;
    CopyList(const CopyList&) = delete;
    CopyList& operator=(const CopyList&) = delete;
    ~CopyList() {
        if (items_ != inline_items_) std::free(items_);
    }

    bool empty() const { return count_ == 0; }
    CopyWork pop() { return items_[--count_]; }
    void push(CopyWork work) {
        if (count_ == capacity_) {
            const uint32_t capacity = capacity_ * 2;
            CopyWork* grown = static_cast<CopyWork*>(std::malloc(size_t(capacity) * sizeof(CopyWork)));
            if (grown == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
            std::memcpy(grown, items_, size_t(count_) * sizeof(CopyWork));
            if (items_ != inline_items_) std::free(items_);
            items_ = grown;
            capacity_ = capacity;
        }
        items_[count_++] = work;
    }

private:
    CopyWork inline_items_[32];
    CopyWork* items_ = inline_items_;
    uint32_t count_ = 0;
    uint32_t capacity_ = 32;
};

Value copy_cell(Value v) {
    Cell* cell = nullptr;
    const Value copy = new_cell(value_tag(v), 0, &cell);
    std::memcpy(reinterpret_cast<uint8_t*>(cell) + 1, reinterpret_cast<const uint8_t*>(cell_pointer(v)) + 1,
                CELL_SIZE - 1);
    return copy;
}

// An empty container like v: same kind bytes, count, capacity and class.
Value container_shell(Value v) {
    uint8_t* item = nullptr;
    Value shell = 0;
    switch (value_tag(v)) {
        case TAG_ARRAY: {
            const ArrayCell* array = cell_as<ArrayCell>(v);
            shell = new_array_cell(array->count, array->capacity, &item);
            break;
        }
        case TAG_KEYED: {
            const KeyedCell* keyed = cell_as<KeyedCell>(v);
            shell = new_keyed_cell(keyed->count, keyed->capacity, &item);
            break;
        }
        default: {
            const ObjectCell* object = cell_as<ObjectCell>(v);
            shell = new_object_cell(object->count, object->capacity, &item);
            cell_as<ObjectCell>(shell)->class_name = cell_as<ObjectCell>(v)->class_name;
            break;
        }
    }
    std::memcpy(cell_pointer(shell)->kind, cell_pointer(v)->kind, sizeof Cell::kind);
    return shell;
}

// The copy of a value held inside a container. Values that cannot be
// duplicated (names and other immediates, error objects, regular
// expressions, functions, nodes, connections, SQL statements) are shared.
// A container comes back as an empty shell, filled later from the work list.
Value copy_member(Value v) {
    switch (value_tag(v)) {
        case TAG_INTEGER:
        case TAG_FLOAT:
        case TAG_DATE:
            return copy_cell(v);
        case TAG_STRING:
            return new_string(string_text(v), string_length(v));
        case TAG_ARRAY:
        case TAG_KEYED:
        case TAG_OBJECT:
            return container_shell(v);
        default:
            return v;
    }
}

bool is_container(Value v) {
    const uint32_t tag = value_tag(v);
    return tag == TAG_ARRAY || tag == TAG_KEYED || tag == TAG_OBJECT;
}

struct Slots {
    uint32_t reference;  // area reference of the element or pair item
    uint32_t count;
    size_t stride;       // 4 for elements, 8 for pairs
    size_t offset;       // where the value sits in a slot
};

Slots slots_of(Value v) {
    switch (value_tag(v)) {
        case TAG_ARRAY: {
            const ArrayCell* array = cell_as<ArrayCell>(v);
            return Slots{array->elements, array->count < array->capacity ? array->count : array->capacity, 4, 0};
        }
        case TAG_KEYED: {
            const KeyedCell* keyed = cell_as<KeyedCell>(v);
            return Slots{keyed->pairs, keyed->count < keyed->capacity ? keyed->count : keyed->capacity, 8, 4};
        }
        default: {
            const ObjectCell* object = cell_as<ObjectCell>(v);
            return Slots{object->pairs, object->count < object->capacity ? object->count : object->capacity, 8, 4};
        }
    }
}

void fill_copy(const CopyWork& job, CopyList& work) {
    const Slots from = slots_of(job.source);
    const Slots to = slots_of(job.copy);
    for (uint32_t i = 0; i < from.count; ++i) {
        const uint8_t* source_slot = area_pointer(from.reference) + from.stride * i;
        if (from.stride == 8) store_u32(area_pointer(to.reference) + 8 * size_t(i), load_u32(source_slot));
        const Value source_member = load_u32(source_slot + from.offset);
        const Value member = copy_member(source_member);
        retain(member);
        // Stored before it is queued, so a failure from here on leaves it
        // reachable from the copy being built.
        store_u32(area_pointer(to.reference) + to.stride * i + to.offset, member);
        if (is_container(source_member)) work.push(CopyWork{source_member, member});
    }
}

}  // namespace

Value copy_value(Value v) {
    switch (value_tag(v)) {
        case TAG_INTEGER:
        case TAG_FLOAT:
        case TAG_DATE:
            return copy_cell(v);
        case TAG_ERROR:
        case TAG_REGEX:
            retain(v);
            return v;
        case TAG_STRING:
            return new_string(string_text(v), string_length(v));
        case TAG_ARRAY:
        case TAG_KEYED:
        case TAG_OBJECT:
            break;
        default:
            raise_runtime_error(1420, "newの引数不正");
    }
    CopyList work;
    const Value top = container_shell(v);
    work.push(CopyWork{v, top});
    try {
        while (!work.empty()) fill_copy(work.pop(), work);
    } catch (const ScriptUnwind&) {
        // Slots not yet filled are zero (undefined), so the partial copy
        // releases cleanly.
        release_if_temporary(top);
        throw;
    }
    return top;
}

}  // namespace kova

// Index access a[i], member access a.name, plain assignment, and storing
// through element, pair and lastIndex locations.
#include "eval/access.h"

#include <cstring>

#include "builtins/string_text.h"
#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/utf8.h"
#include "core/values.h"
#include "eval/handlers.h"
#include "eval/scopes.h"
#include "regex/regex.h"

namespace kova {

namespace {

// Extra pairs or elements a container gains when it grows for one entry:
// at least 11, and half the count for a large one, so that filling a
// container entry by entry copies it a bounded number of times.
constexpr uint32_t GROWTH_STEP = 11;
inline uint32_t grown_capacity(uint32_t count) {
    const uint32_t step = count / 2 > GROWTH_STEP ? count / 2 : GROWTH_STEP;
    return count + step;
}
// Integer keys of keyed arrays hold 24 bits.
constexpr int32_t INTEGER_KEY_LIMIT = 0xFFFFFF;

// ---- container items ----------------------------------------------------------

struct PairArea {
    uint32_t reference;
    uint32_t count;
};

PairArea pairs_of(Value container) {
    if (value_tag(container) == TAG_OBJECT) {
        const ObjectCell* object = cell_as<ObjectCell>(container);
        return PairArea{object->pairs, object->count};
    }
    const KeyedCell* keyed = cell_as<KeyedCell>(container);
    return PairArea{keyed->pairs, keyed->count};
}

// A new item of `capacity` slots of `stride` bytes holding the first `used`
// slots of the old one, which is freed.
uint32_t regrow_item(uint32_t old_reference, uint32_t used, uint32_t capacity, size_t stride) {
    uint8_t* item = nullptr;
    const uint32_t reference = area_alloc(size_t(capacity) * stride, &item);
    std::memcpy(item, area_pointer(old_reference), size_t(used) * stride);
    area_free(old_reference);
    return reference;
}

// Adds the pair (key, undefined) at the end, growing the pair item when it
// is full; returns the pair's index.
uint32_t add_pair(Value container, uint32_t key) {
    uint32_t index;
    uint32_t reference;
    if (value_tag(container) == TAG_OBJECT) {
        ObjectCell* object = cell_as<ObjectCell>(container);
        index = object->count;
        if (object->count >= object->capacity) {
            // The object's count and capacity are 16-bit fields.
            if (object->count >= OBJECT_CAPACITY_LIMIT) raise_runtime_error(1400, "メモリ領域を取得できません");
            uint32_t capacity = grown_capacity(object->count);
            if (capacity > OBJECT_CAPACITY_LIMIT) capacity = OBJECT_CAPACITY_LIMIT;
            const uint32_t grown = regrow_item(object->pairs, object->count, capacity, 8);
            object = cell_as<ObjectCell>(container);
            object->pairs = grown;
            object->capacity = static_cast<uint16_t>(capacity);
        }
        reference = object->pairs;
        object->count = static_cast<uint16_t>(index + 1);
    } else {
        KeyedCell* keyed = cell_as<KeyedCell>(container);
        index = keyed->count;
        if (keyed->count >= keyed->capacity) {
            const uint32_t capacity = grown_capacity(keyed->count);
            const uint32_t grown = regrow_item(keyed->pairs, keyed->count, capacity, 8);
            keyed = cell_as<KeyedCell>(container);
            keyed->pairs = grown;
            keyed->capacity = capacity;
        }
        reference = keyed->pairs;
        keyed->count = index + 1;
    }
    uint8_t* pair = area_pointer(reference) + 8 * size_t(index);
    store_u32(pair, key);
    store_u32(pair + 4, make_value(TAG_NAME, NAME_UNDEFINED));
    return index;
}

Value pair_value(Value container, uint32_t index) {
    return load_u32(area_pointer(pairs_of(container).reference) + 8 * size_t(index) + 4);
}

Value element_value(Value array, uint32_t index) {
    return load_u32(area_pointer(cell_as<ArrayCell>(array)->elements) + 4 * size_t(index));
}

void set_location(uint8_t kind, Value container, uint32_t index) {
    g_eval.location_kind = kind;
    g_eval.location_container = container;
    g_eval.location_index = index;
    g_eval.const_read = false;
}

Value undefined_nowhere() {
    set_location_none();
    return make_value(TAG_NAME, NAME_UNDEFINED);
}

// The pair with this key in an object or keyed array: found, created (with
// `create`), or `undefined` living nowhere.
Value keyed_access(Value container, uint32_t key, bool create) {
    const PairArea area = pairs_of(container);
    const uint8_t* pairs = area_pointer(area.reference);
    for (uint32_t i = 0; i < area.count; ++i) {
        if (load_u32(pairs + 8 * size_t(i)) == key) {
            set_location(LOCATION_PAIR, container, i);
            return load_u32(pairs + 8 * size_t(i) + 4);
        }
    }
    if (!create) return undefined_nowhere();
    const uint32_t index = add_pair(container, key);
    set_location(LOCATION_PAIR, container, index);
    return pair_value(container, index);
}

// Appends an `undefined` element, growing the element item when it is full
// (as push does), and returns its index.
uint32_t append_element(Value array) {
    ArrayCell* cell = cell_as<ArrayCell>(array);
    const uint32_t index = cell->count;
    if (cell->count >= cell->capacity) {
        const uint32_t capacity = grown_capacity(cell->count);
        const uint32_t grown = regrow_item(cell->elements, cell->count, capacity, 4);
        cell = cell_as<ArrayCell>(array);
        cell->elements = grown;
        cell->capacity = capacity;
    }
    store_u32(area_pointer(cell->elements) + 4 * size_t(index), make_value(TAG_NAME, NAME_UNDEFINED));
    cell->count = index + 1;
    return index;
}

// An array written beyond its end becomes a keyed array: element i becomes
// the pair (i, element), then the pair (n, undefined) is added. The keyed
// array replaces the array where the array lived.
Value convert_to_keyed(Value array, uint32_t n, const SavedLocation& array_location) {
    const uint32_t count = cell_as<ArrayCell>(array)->count;
    uint8_t* pairs = nullptr;
    const Value keyed = new_keyed_cell(0, count + GROWTH_STEP, &pairs);
    for (uint32_t i = 0; i < count; ++i) {
        const Value element = element_value(array, i);
        retain(element);
        uint8_t* pair = area_pointer(cell_as<KeyedCell>(keyed)->pairs) + 8 * size_t(i);
        store_u32(pair, make_integer_key(i));
        store_u32(pair + 4, element);
        cell_as<KeyedCell>(keyed)->count = i + 1;
    }
    const uint32_t index = add_pair(keyed, make_integer_key(n));
    array_location.restore();
    store_at_location(keyed);
    set_location(LOCATION_PAIR, keyed, index);
    return pair_value(keyed, index);
}

// Whether the register, as saved right after the container was read, still
// names the place that holds this very container.
bool lives_at(Value container, const SavedLocation& location) {
    if (location.kind() == LOCATION_NONE) return false;
    location.restore();
    return located_value() == container;
}

// The n-th character of a string as a new string, or `undefined` when the
// string has fewer characters. A sequence cut short by the end of the text
// ends there.
Value string_character(Value string, int32_t n) {
    const char* text = string_text(string);
    const uint32_t length = string_length(string);
    // Within a long string's ASCII start the character is its byte, so a
    // loop reading s[i] along such a string does not step from the start
    // for every i.
    if (n >= 0 && uint32_t(n) < string_ascii_start(string, uint32_t(n) + 1)) return new_string(text + n, 1);
    uint32_t position = 0;
    for (int32_t i = 0; position < length; ++i) {
        uint32_t size = utf8_sequence_length(static_cast<uint8_t>(text[position]));
        if (size > length - position) size = length - position;
        if (i == n) return new_string(text + position, size);
        position += size;
    }
    return make_value(TAG_NAME, NAME_UNDEFINED);
}

// Ends an access: lets go of the container (and of the place the
// container was read from) now that the result is found. When those holds
// were the last references, letting go frees them and whatever only they
// held - possibly the container the result's location points into. The
// result is therefore kept across the release and handed back as a
// temporary if nothing else holds it, and a location whose container did
// not survive is forgotten, so a store can never reach freed storage.
[[gnu::noinline]] Value finish_access_slow(HeldValue& container, SavedLocation* container_location, Value result) {
    const uint8_t kind = g_eval.location_kind;
    const bool inside = kind == LOCATION_ELEMENT || kind == LOCATION_PAIR || kind == LOCATION_LAST_INDEX;
    const Value located_in = g_eval.location_container;
    if (inside) retain(located_in);
    retain(result);
    if (container_location != nullptr) container_location->drop();
    container.drop();
    if (inside) {
        const uint8_t* header = value_header(located_in);
        const bool last = header != nullptr && *header < HEADER_PERMANENT && (*header >> 4) == 1;
        release(located_in);
        if (last) set_location_none();
    }
    unhold(result);
    return result;
}

// Usually someone else holds the container too (the variable it was read
// from), and no saved location holds anything: letting go then frees
// nothing and the location stays good.
inline Value finish_access(HeldValue& container, SavedLocation* container_location, Value result) {
    if ((container_location == nullptr || !container_location->holds()) && container.drop_if_shared()) return result;
    return finish_access_slow(container, container_location, result);
}

bool is_location_operand(Value operand) {
    const uint32_t tag = value_tag(operand);
    if (tag == TAG_NAME) return value_payload(operand) > NAME_NAN;
    if (tag == TAG_NODE) {
        const uint32_t kind = node_kind(operand);
        return kind == NODE_INDEX || kind == NODE_MEMBER;
    }
    return false;
}

// Reads create_missing for this access and clears it, so that the
// container and index expressions are read without creating anything.
bool take_create_missing() {
    const bool create = g_eval.create_missing;
    g_eval.create_missing = false;
    return create;
}

// ---- regular-expression properties ------------------------------------------

Value truth(bool b) { return make_value(TAG_NAME, b ? NAME_TRUE : NAME_FALSE); }

Value regex_property(Value regex, uint32_t name) {
    const uint8_t* item = area_pointer(value_payload(regex));
    const uint8_t flags = item[1];
    const char* text = name_text(name);
    const size_t length = name_length(name);
    // Names are matched whole: "flag" is not "flags".
    auto is = [&](const char* property) {
        return length == std::strlen(property) && std::memcmp(text, property, length) == 0;
    };
    set_location_none();
    if (is("lastIndex")) {
        const Value v = new_integer(static_cast<int32_t>(load_u32(item + REGEX_LAST_INDEX_OFFSET)));
        set_location(LOCATION_LAST_INDEX, regex, 0);
        return v;
    }
    if (is("flags")) {
        char letters[5];
        const size_t n = regex_flag_letters(flags, letters);
        if (n == 0) return make_value(TAG_NAME, NAME_NULL);
        return new_string(letters, n);
    }
    if (is("dotAll")) return truth(flags & REGEX_DOT_ALL);
    if (is("global")) return truth(flags & REGEX_GLOBAL);
    if (is("ignoreCase")) return truth(flags & REGEX_IGNORE_CASE);
    if (is("multiline")) return truth(flags & REGEX_MULTILINE);
    if (is("sticky")) return truth(flags & REGEX_STICKY);
    if (is("unicode")) return truth(true);
    if (is("source")) return regex_source_value(regex);
    raise_runtime_error(5080, "正規表現プロパティ不正");
}

}  // namespace

// ---- storing through the register ---------------------------------------------

namespace {

// A container cell still in use with this tag (a freed cell's header reads
// 0xFF). The access handlers never leave a location in a freed container;
// this keeps a store from writing into one should a caller keep a location
// too long.
bool is_live(Value container, uint32_t tag) {
    return value_tag(container) == tag && (cell_pointer(container)->header & 0x0F) == tag;
}

}  // namespace

Value element_or_pair_value() {
    const Value container = g_eval.location_container;
    const uint32_t index = g_eval.location_index;
    if (g_eval.location_kind == LOCATION_ELEMENT) {
        if (is_live(container, TAG_ARRAY) && index < cell_as<ArrayCell>(container)->count) {
            return element_value(container, index);
        }
    } else if (g_eval.location_kind == LOCATION_PAIR) {
        const uint32_t tag = value_tag(container);
        if ((tag == TAG_OBJECT || tag == TAG_KEYED) && is_live(container, tag)) {
            const PairArea area = pairs_of(container);
            if (index < area.count) return load_u32(area_pointer(area.reference) + 8 * size_t(index) + 4);
        }
    }
    return make_value(TAG_NAME, NAME_UNDEFINED);
}

void store_element_or_pair(Value value) {
    const Value container = g_eval.location_container;
    const uint32_t index = g_eval.location_index;
    uint8_t* slot = nullptr;
    if (g_eval.location_kind == LOCATION_ELEMENT) {
        if (is_live(container, TAG_ARRAY) && index < cell_as<ArrayCell>(container)->count) {
            slot = area_pointer(cell_as<ArrayCell>(container)->elements) + 4 * size_t(index);
        }
    } else if (g_eval.location_kind == LOCATION_PAIR) {
        const uint32_t tag = value_tag(container);
        if ((tag == TAG_OBJECT || tag == TAG_KEYED) && is_live(container, tag)) {
            const PairArea area = pairs_of(container);
            if (index < area.count) slot = area_pointer(area.reference) + 8 * size_t(index) + 4;
        }
    }
    if (slot == nullptr) raise_runtime_error(2000, "value_ptrのタイプ不正");
    retain(value);
    const Value old = load_u32(slot);
    store_u32(slot, value);
    release(old);
}

void store_last_index(Value value) {
    int32_t n = 0;
    if (value_tag(value) == TAG_INTEGER) {
        n = cell_as<IntegerCell>(value)->value;
    } else if (value_tag(value) == TAG_FLOAT) {
        n = truncate_to_int32(cell_as<FloatCell>(value)->value);
    }
    store_u32(area_pointer(value_payload(g_eval.location_container)) + REGEX_LAST_INDEX_OFFSET,
              static_cast<uint32_t>(n));
}

// ---- evaluation helpers ------------------------------------------------------------

Value evaluate_located(Value operand) {
    const Value v = evaluate(operand);
    if (!is_location_operand(operand)) set_location_none();
    return v;
}

Value evaluate_target(Value target) {
    if (value_tag(target) == TAG_NODE) {
        const uint32_t kind = node_kind(target);
        if (kind == NODE_INDEX || kind == NODE_MEMBER) {
            struct Clear {
                ~Clear() { g_eval.create_missing = false; }
            } clear;
            g_eval.create_missing = true;
            return evaluate(target);
        }
    }
    return evaluate_located(target);
}

// ---- handlers ----------------------------------------------------------------------

Value eval_index(Value node) {
    const NodeCell* cell = node_cell(node);
    const Value container_expression = cell_operand(cell, 0);
    const Value index_expression = cell_operand(cell, 1);
    if (value_tag(container_expression) == TAG_NAME && (container_expression & SLOT_NAME_MASK) > NAME_NAN) {
        // An element inside an array that a variable holds, or one past its
        // end, at an index that is a number constant or a variable: reading
        // the index runs nothing, so the array need not be held. Anything
        // else takes the general path (which reads both again, as
        // harmlessly).
        const Value* place = find_variable(container_expression & SLOT_NAME_MASK);
        if (place != nullptr && value_tag(*place) == TAG_ARRAY) {
            const Value array = *place;
            Value index = index_expression;
            if (value_tag(index_expression) == TAG_NAME && (index_expression & SLOT_NAME_MASK) > NAME_NAN) {
                const Value* index_place = find_variable(index_expression & SLOT_NAME_MASK);
                index = index_place != nullptr ? *index_place : 0;
            }
            if (value_tag(index) == TAG_INTEGER) {
                const int32_t n = integer_value(index);
                const uint32_t count = cell_as<ArrayCell>(array)->count;
                if (n >= 0 && uint32_t(n) <= count) {
                    if (uint32_t(n) < count) {
                        take_create_missing();
                        set_location(LOCATION_ELEMENT, array, uint32_t(n));
                        return element_value(array, uint32_t(n));
                    }
                    if (take_create_missing()) {
                        // A store one past the end appends.
                        const uint32_t at = append_element(array);
                        set_location(LOCATION_ELEMENT, array, at);
                        return element_value(array, at);
                    }
                    return undefined_nowhere();
                }
            }
        }
    }
    const bool create = take_create_missing();
    HeldValue container(evaluate_located(container_expression));
    SavedLocation container_location;
    const Value index = evaluate(index_expression);
    const Value c = container.get();
    const uint32_t container_tag = value_tag(c);
    Value result = 0;

    switch (value_tag(index)) {
        case TAG_NAME:
        case TAG_STRING: {
            if (container_tag != TAG_OBJECT && container_tag != TAG_KEYED) {
                release_if_temporary(index);
                raise_runtime_error(2023, "オペランド不正[index]");
            }
            uint32_t name = value_payload(index);
            if (value_tag(index) == TAG_STRING) {
                name = intern(string_text(index), string_length(index));
                release_if_temporary(index);
            }
            result = keyed_access(c, make_value(TAG_NAME, name), create);
            break;
        }
        case TAG_INTEGER: {
            const int32_t n = cell_as<IntegerCell>(index)->value;
            release_if_temporary(index);
            if (n < 0) raise_runtime_error(2025, "インデックス不正");
            if (container_tag == TAG_ARRAY) {
                const uint32_t count = cell_as<ArrayCell>(c)->count;
                if (uint32_t(n) < count) {
                    set_location(LOCATION_ELEMENT, c, uint32_t(n));
                    result = element_value(c, uint32_t(n));
                } else if (!create) {
                    result = undefined_nowhere();
                } else if (uint32_t(n) == count) {
                    const uint32_t at = append_element(c);
                    set_location(LOCATION_ELEMENT, c, at);
                    result = element_value(c, at);
                } else if (n > INTEGER_KEY_LIMIT) {
                    raise_runtime_error(2025, "インデックス不正");
                } else if (lives_at(c, container_location)) {
                    result = convert_to_keyed(c, uint32_t(n), container_location);
                } else {
                    // An array that lives nowhere cannot be replaced: the
                    // write has nowhere to go.
                    result = undefined_nowhere();
                }
            } else if (container_tag == TAG_KEYED) {
                if (n > INTEGER_KEY_LIMIT) {
                    if (create) raise_runtime_error(2025, "インデックス不正");
                    result = undefined_nowhere();
                } else {
                    result = keyed_access(c, make_integer_key(uint32_t(n)), create);
                }
            } else if (container_tag == TAG_STRING) {
                result = string_character(c, n);
                set_location_none();
            } else {
                raise_runtime_error(2030, "オペランド不正[index]");
            }
            break;
        }
        default:
            release_if_temporary(index);
            raise_runtime_error(2032, "インデックス不正");
    }
    return finish_access(container, &container_location, result);
}

Value eval_member(Value node) {
    const NodeCell* cell = node_cell(node);
    const Value container_expression = cell_operand(cell, 0);
    const uint32_t name = value_payload(cell_operand(cell, 1));
    if (value_tag(container_expression) == TAG_NAME && (container_expression & SLOT_NAME_MASK) > NAME_NAN &&
        name != NAME_LENGTH) {
        // A property of an object that a variable holds: the variable keeps
        // the object alive for the whole access, so it need not be held.
        if (const Value* place = find_variable(container_expression & SLOT_NAME_MASK)) {
            if (value_tag(*place) == TAG_OBJECT) return keyed_access(*place, make_value(TAG_NAME, name), take_create_missing());
        }
    }
    const bool create = take_create_missing();
    if (name == NAME_LENGTH) {
        // The length is computed, not stored: assigning to it changes
        // nothing. It is read at once, so the container need not be held.
        const Value c = evaluate_located(container_expression);
        int32_t length = 0;
        switch (value_tag(c)) {
            case TAG_NAME: length = static_cast<int32_t>(name_length(value_payload(c))); break;
            case TAG_STRING: length = static_cast<int32_t>(string_length(c)); break;
            case TAG_ARRAY: length = static_cast<int32_t>(cell_as<ArrayCell>(c)->count); break;
            case TAG_KEYED: length = static_cast<int32_t>(cell_as<KeyedCell>(c)->count); break;
            case TAG_OBJECT: length = cell_as<ObjectCell>(c)->count; break;
            case TAG_ERROR:
                release_if_temporary(c);
                raise_runtime_error(2035, "ステートメント不正(key/method)");
            default:
                set_location_none();
                release_if_temporary(c);
                return make_value(TAG_NAME, NAME_UNDEFINED);
        }
        set_location_none();
        release_if_temporary(c);
        return new_integer(length);
    }
    HeldValue container(evaluate_located(container_expression));
    const Value c = container.get();
    const uint32_t tag = value_tag(c);
    Value result = 0;

    if (tag == TAG_ERROR) {
        size_t length = 0;
        if (name == NAME_NAME) {
            const char* text = error_code_text(c, &length);
            result = new_string(text, length);
        } else if (name == NAME_MESSAGE) {
            const char* text = error_message_text(c, &length);
            result = new_string(text, length);
        } else {
            raise_runtime_error(2035, "ステートメント不正(key/method)");
        }
        set_location_none();
    } else if (tag == TAG_OBJECT) {
        result = keyed_access(c, make_value(TAG_NAME, name), create);
    } else if (tag == TAG_REGEX) {
        result = regex_property(c, name);
    } else {
        raise_runtime_error(2035, "ステートメント不正(key/method)");
    }
    return finish_access(container, nullptr, result);
}

namespace {

// `=` through evaluate_target, for the targets the shortcuts below do not
// take; the value is already evaluated.
Value assign_through_target(Value target, Value value) {
    HeldValue held(value);
    const Value old = evaluate_target(target);
    if (g_eval.const_read) raise_runtime_error(2320, "オペレーション不正");
    if (g_eval.location_kind == LOCATION_NONE) {
        release_if_temporary(old);
        return held.hand_over();
    }
    // A value computed for the target (a lastIndex read) is nobody's.
    release_if_temporary(old);
    store_at_location(held.get());
    return held.hand_over();
}

// Stores through a place the location register names, as
// store_at_location does once the target has been read. (The old value is
// held by its place; were its count 0, release would free it just as the
// release_if_temporary of the general path does.)
inline void store_into(Value* place, Value value) {
    const Value old = *place;
    retain(value);
    *place = value;
    release(old);
}

}  // namespace

// Two targets are stored to directly, without holding the value: a
// variable that exists, and an existing property of an object a variable
// holds. Finding them runs nothing that could raise an error or let go of
// the value. Everything else goes through evaluate_target.
Value eval_assign(Value node) {
    const NodeCell* cell = node_cell(node);
    const Value target = cell_operand(cell, 0);
    if (value_tag(target) == TAG_NAME && (target & SLOT_NAME_MASK) > NAME_NAN) {
        const Value value = evaluate(cell_operand(cell, 1));
        if (Value* place = find_variable(target & SLOT_NAME_MASK)) {
            if (g_eval.const_read) {
                release_if_temporary(value);
                raise_runtime_error(2320, "オペレーション不正");
            }
            store_into(place, value);
            return value;
        }
        return assign_through_target(target, value);  // a name met for the first time becomes a global
    }
    const NodeCell* member = value_tag(target) == TAG_NODE ? node_cell(target) : nullptr;
    if (member != nullptr && member->operation == NODE_MEMBER) {
        const Value container_expression = cell_operand(member, 0);
        const uint32_t name = value_payload(cell_operand(member, 1));
        if (value_tag(container_expression) == TAG_NAME && (container_expression & SLOT_NAME_MASK) > NAME_NAN &&
            name != NAME_LENGTH) {
            const Value value = evaluate(cell_operand(cell, 1));
            // Member access is not a kind the debugger stops at; its
            // position is noted as evaluating it would.
            note_position(member);
            if (const Value* place = find_variable(container_expression & SLOT_NAME_MASK)) {
                const Value object = *place;
                if (value_tag(object) == TAG_OBJECT) {
                    const ObjectCell* object_cell = cell_as<ObjectCell>(object);
                    uint8_t* pairs = area_pointer(object_cell->pairs);
                    const uint32_t key = make_value(TAG_NAME, name);
                    for (uint32_t i = 0; i < object_cell->count; ++i) {
                        if (load_u32(pairs + 8 * size_t(i)) != key) continue;
                        set_location(LOCATION_PAIR, object, i);
                        uint8_t* slot = pairs + 8 * size_t(i) + 4;
                        const Value old = load_u32(slot);
                        retain(value);
                        store_u32(slot, value);
                        release(old);
                        return value;
                    }
                }
            }
            return assign_through_target(target, value);
        }
    }
    return assign_through_target(target, evaluate(cell_operand(cell, 1)));
}

}  // namespace kova

// The methods of objects (get, set, has, delete, clear, keys, forEach,
// toString) and Object.keys. An object's properties are (name key, value)
// pairs in insertion order; a function-valued property named like a method
// is called instead of it (the call dispatch sees to that).
#include <cstring>

#include "builtins/library.h"
#include "builtins/method_table.h"
#include "builtins/object_index.h"
#include "core/errors.h"
#include "core/value_text.h"
#include "eval/calls.h"

namespace kova {

namespace {

constexpr uint32_t KEY_MASK = 0x0FFFFFFF;  // keys compare on their low 28 bits

inline uint32_t object_count(Value object) { return cell_as<ObjectCell>(object)->count; }
inline uint8_t* object_pair(Value object, uint32_t i) {
    return area_pointer(cell_as<ObjectCell>(object)->pairs) + 8 * size_t(i);
}

// A key argument: a string or a name value; any other kind raises 2425.
void check_key(Value k) {
    const uint32_t tag = value_tag(k);
    if (tag != TAG_STRING && tag != TAG_NAME) raise_runtime_error(2425, "HASHのキー不正");
}

// The index of the pair with this key, or -1. A string is found by its
// text (a string whose text is no name yet cannot be a key).
int64_t find_pair(Value object, Value k) {
    if (value_tag(k) == TAG_STRING) return object_index_find_text(object, string_text(k), string_length(k));
    return object_index_find(object, k & KEY_MASK);
}

// A key's text as a new string: a name's text, an integer key's digits.
Value key_string(uint32_t key) {
    if (key_is_integer(key)) {
        char digits[INTEGER_TEXT_SIZE];
        return new_string(digits, format_integer(value_payload(key), digits));
    }
    const uint32_t name = value_payload(key);
    return new_string(name_text(name), name_length(name));
}

Value object_keys_array(Value object) {
    const uint32_t n = object_count(object);
    const Value result = new_array_for(n);
    for (uint32_t i = 0; i < n; ++i) append_new_element(result, key_string(load_u32(object_pair(object, i))));
    return result;
}

// ---- methods ---------------------------------------------------------------------

Value object_keys(Value receiver, const Value*, uint32_t) { return object_keys_array(receiver); }

Value object_to_string(Value receiver, const Value*, uint32_t) { return string_of_value(receiver); }

Value object_clear(Value receiver, const Value*, uint32_t) {
    ObjectCell* cell = cell_as<ObjectCell>(receiver);
    const uint32_t n = cell->count;
    // The count drops first: releasing a value may free what refers back here.
    cell->count = 0;
    object_index_forget(receiver);
    const uint8_t* pairs = area_pointer(cell->pairs);
    for (uint32_t i = 0; i < n; ++i) release(load_u32(pairs + 8 * size_t(i) + 4));
    return UNDEFINED;
}

Value object_delete(Value receiver, const Value* arguments, uint32_t) {
    check_key(arguments[0]);
    const int64_t found = find_pair(receiver, arguments[0]);
    if (found < 0) return truth_value(false);
    const uint32_t n = object_count(receiver);
    uint8_t* pair = object_pair(receiver, uint32_t(found));
    const Value old = load_u32(pair + 4);
    std::memmove(pair, pair + 8, 8 * size_t(n - 1 - uint32_t(found)));
    cell_as<ObjectCell>(receiver)->count = static_cast<uint16_t>(n - 1);
    object_index_forget(receiver);
    release(old);
    return truth_value(true);
}

Value object_get(Value receiver, const Value* arguments, uint32_t) {
    check_key(arguments[0]);
    const int64_t found = find_pair(receiver, arguments[0]);
    return found < 0 ? UNDEFINED : load_u32(object_pair(receiver, uint32_t(found)) + 4);
}

Value object_has(Value receiver, const Value* arguments, uint32_t) {
    check_key(arguments[0]);
    return truth_value(find_pair(receiver, arguments[0]) >= 0);
}

Value object_set(Value receiver, const Value* arguments, uint32_t) {
    const Value k = arguments[0];
    check_key(k);
    const Value v = arguments[1];
    const int64_t found = find_pair(receiver, k);
    if (found >= 0) {
        uint8_t* pair = object_pair(receiver, uint32_t(found));
        const Value old = load_u32(pair + 4);
        retain(v);
        store_u32(pair + 4, v);
        release(old);
        return v;
    }
    // A new key: strings become names now.
    const uint32_t key = value_tag(k) == TAG_STRING ? intern(string_text(k), string_length(k)) : k & KEY_MASK;
    object_index_append(receiver, key, v);
    return v;
}

// forEach(fn [, thisArg]): fn(value, key, object) for each property in
// order, with `this` bound to thisArg (or undefined). Properties added or
// removed by fn are seen as the count then stands.
Value object_for_each(Value receiver, const Value* arguments, uint32_t count) {
    const Value function = arguments[0];
    if (!is_function(function) || parameter_count_of(function) != 3) raise_runtime_error(2430, "引数の個数不正");
    const uint8_t* names = area_pointer(cell_as<FunctionCell>(function)->names);
    for (uint32_t i = 0; i < 3; ++i) {
        // A parameter with a default value is an assignment node.
        if (value_tag(load_u32(names + 4 * size_t(i))) == TAG_NODE) {
            raise_runtime_error(int(2435 + 5 * i), "引数の個数不正");
        }
    }
    const Value this_value = count > 1 ? arguments[1] : UNDEFINED;
    for (uint32_t i = 0; i < object_count(receiver); ++i) {
        const uint8_t* pair = object_pair(receiver, i);
        HeldValues call(3);
        call.add(load_u32(pair + 4));
        call.add(key_string(load_u32(pair)));
        call.add(receiver);
        release_if_temporary(call_function_with_values(function, call.data(), 3, this_value, nullptr));
    }
    return UNDEFINED;
}

constexpr Method OBJECT_LIST[] = {
    {"keys", object_keys, 0, 0},   {"toString", object_to_string, 0, 0}, {"clear", object_clear, 0, 0},
    {"delete", object_delete, 1, 1}, {"get", object_get, 1, 1},          {"has", object_has, 1, 1},
    {"set", object_set, 2, 2},     {"forEach", object_for_each, 1, 2},
};

// ---- Object.keys -----------------------------------------------------------------

Value static_keys(Value, const Value* arguments, uint32_t) {
    const Value x = arguments[0];
    switch (value_tag(x)) {
        case TAG_ARRAY: return array_of_indexes(array_count(x));
        case TAG_KEYED: return keys_of_keyed_array(x);
        case TAG_OBJECT: return object_keys_array(x);
        default: raise_runtime_error(2420, "Object.keysの引数不正");
    }
}

constexpr Method OBJECT_STATIC_LIST[] = {
    {"keys", static_keys, 1, 1},
};

}  // namespace

Value object_method_function(Value object, uint32_t name) {
    const int64_t found = object_index_find(object, name & KEY_MASK);
    if (found < 0) return 0;
    const Value value = load_u32(object_pair(object, uint32_t(found)) + 4);
    return is_function(value) ? value : 0;
}

const MethodTable OBJECT_STATIC_METHODS = {OBJECT_STATIC_LIST, 1, 2100, "OBJECTのメソッド名不正", 0, 2105, 2110,
                                           "引数の個数不正"};
const MethodTable OBJECT_METHODS = {OBJECT_LIST, 8, 2347, "HASHのメソッド名不正", 0, 2450, 2455, "引数の個数不正"};

}  // namespace kova

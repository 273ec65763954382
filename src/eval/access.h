// Element, property and lastIndex locations: what index and member access
// leave in the location register, and storing through it.
//
// For location kinds 3 (array element) and 21 (pair of an object or keyed
// array) the register's container is the container value itself (the
// array, keyed array or object cell), not its element or pair item: the
// item moves when the container grows, the cell does not. For kind 5 it is
// the regular expression value. The index is the element or pair index.
#pragma once

#include <cstdint>

#include "core/areas.h"
#include "core/value.h"
#include "eval/eval.h"

namespace kova {

// Kind 3 or 21: retains the value, stores it, releases the old one. Error
// 2000 when the element or pair no longer exists (the container shrank
// while the location was kept).
void store_element_or_pair(Value value);
// Kind 5: an integer (or a float, truncated) becomes the regular
// expression's lastIndex; any other value sets it to 0. Nothing is retained.
void store_last_index(Value value);
// The value held at a kind 3 or 21 location (no reference added), or
// `undefined` when it no longer exists.
Value element_or_pair_value();
// The value at the location register for every kind (no reference added).
inline Value located_value() {
    const uint8_t kind = g_eval.location_kind;
    if (kind == LOCATION_ELEMENT || kind == LOCATION_PAIR) return element_or_pair_value();
    return value_at_location();
}

// Evaluates an assignment target: index and member access with
// `create_missing`; a name by variable lookup. Anything else (a call, a
// constant) is evaluated and reported as living nowhere, since whatever the
// register holds then does not describe it.
Value evaluate_target(Value target);
// Evaluates a value that is read (not assigned): as evaluate(), but the
// register is only trusted afterwards for names, index and member access.
Value evaluate_located(Value operand);

// A copy of the location register kept across the evaluation of another
// operand. It holds a reference to the container of an element, pair or
// lastIndex location, so the location stays valid even if that evaluation
// drops every other reference to the container.
class SavedLocation {
public:
    SavedLocation()
        : kind_(g_eval.location_kind), container_(g_eval.location_container), index_(g_eval.location_index) {
        held_ = kind_ == LOCATION_ELEMENT || kind_ == LOCATION_PAIR || kind_ == LOCATION_LAST_INDEX;
        if (held_) retain(container_);
    }
    ~SavedLocation() { drop(); }
    SavedLocation(const SavedLocation&) = delete;
    SavedLocation& operator=(const SavedLocation&) = delete;

    void restore() const {
        g_eval.location_kind = kind_;
        g_eval.location_container = container_;
        g_eval.location_index = index_;
        g_eval.const_read = false;
    }
    uint8_t kind() const { return kind_; }
    // Whether it holds a reference to a container.
    bool holds() const { return held_; }
    // Lets the container go now rather than at the end of the scope.
    void drop() {
        if (held_) release(container_);
        held_ = false;
    }

private:
    bool held_;
    uint8_t kind_;
    uint32_t container_;
    uint32_t index_;
};

// A reference held for the length of a scope (released on every exit,
// errors included), so a value read earlier survives the evaluation of
// later operands.
class HeldValue {
public:
    explicit HeldValue(Value v) : value_(v) { retain(v); }
    ~HeldValue() { drop(); }
    HeldValue(const HeldValue&) = delete;
    HeldValue& operator=(const HeldValue&) = delete;
    Value get() const { return value_; }
    // Gives the reference up without freeing: a value nobody else holds
    // becomes a temporary again.
    Value hand_over() {
        const Value v = value_;
        value_ = NOT_HELD;
        unhold(v);
        return v;
    }
    // Releases the reference now when that cannot free the value (someone
    // else holds it too, or it has no count); false leaves it held.
    bool drop_if_shared() {
        uint8_t* header = value_header(value_);
        if (header != nullptr && *header < HEADER_PERMANENT) {
            if (*header < 32) return false;
            *header = uint8_t(*header - 16);
        }
        value_ = NOT_HELD;
        return true;
    }
    // Releases the reference now (which may free the value).
    void drop() {
        if (value_ != NOT_HELD) release(value_);
        value_ = NOT_HELD;
    }

private:
    static constexpr Value NOT_HELD = 0xFFFFFFFFu;
    Value value_;
};

inline void set_location_none() {
    g_eval.location_kind = LOCATION_NONE;
    g_eval.const_read = false;
}

}  // namespace kova

// Reduction of a token list: level by level, from the tightest-binding
// operators to the loosest, each operator and its operands replaced by a
// node. A reduced operator's slot and its right operand's slot are emptied;
// the node takes the slot of its left operand.
#include <cstdint>

#include "core/areas.h"
#include "core/errors.h"
#include "parser/expressions.h"
#include "parser/lexer.h"
#include "parser/node_kinds.h"
#include "parser/nodes.h"

namespace kova {

namespace {

// The nearest operand on the left of slot i, stepping over emptied slots;
// -1 when the first slot met is an operator or there is none.
int nearest_left(const TokenList& list, int i) {
    for (int j = i - 1; j >= 0; --j) {
        if (list.codes[j] == TOKEN_CONSUMED) continue;
        return list.codes[j] == TOKEN_OPERAND ? j : -1;
    }
    return -1;
}

// The first slot after i that is not empty, or the count.
int next_filled(const TokenList& list, int i) {
    int j = i + 1;
    while (j < int(list.count) && list.codes[j] == TOKEN_CONSUMED) ++j;
    return j;
}

int nearest_right(const TokenList& list, int i) {
    const int j = next_filled(list, i);
    return j < int(list.count) && list.codes[j] == TOKEN_OPERAND ? j : -1;
}

class Reducer {
public:
    explicit Reducer(TokenList* list) : list_(*list), n_(int(list->count)) {}

    void run() {
        const uint32_t levels = list_.levels;
        if (levels & (1u << 0)) level_access();
        if (levels & (1u << 2)) {
            level_postfix(NODE_POSTFIX_INCREMENT);
            level_postfix(NODE_POSTFIX_DECREMENT);
        }
        if (levels & (1u << 3)) level_prefix();
        if (levels & (1u << 4)) from_right_binary(4);
        if (levels & (1u << 5)) {
            chains(NODE_MULTIPLY);
            chains(NODE_DIVIDE);
            chains(NODE_REMAINDER);
        }
        if (levels & (1u << 6)) {
            chains(NODE_ADD);
            chains(NODE_SUBTRACT);
        }
        for (uint32_t level = 7; level <= 9; ++level) {
            if (levels & (1u << level)) from_left_binary(level);
        }
        if (levels & (1u << 10)) chains(NODE_BIT_AND);
        if (levels & (1u << 11)) chains(NODE_BIT_XOR);
        if (levels & (1u << 12)) chains(NODE_BIT_OR);
        if (levels & (1u << 13)) chains(NODE_LOGICAL_AND);
        if (levels & (1u << 14)) chains(NODE_LOGICAL_OR);
        if (levels & (1u << 16)) level_conditional();
        if (levels & (1u << 17)) from_right_binary(17);
    }

private:
    [[noreturn]] void fail() { raise_list_error(list_.rules->malformed, list_.start); }

    uint8_t code(int i) const { return list_.codes[i]; }

    void empty(int i) {
        list_.codes[i] = TOKEN_CONSUMED;
        list_.values[i] = EMPTY_SLOT;
    }

    void place(int i, Value node) {
        list_.codes[i] = TOKEN_OPERAND;
        list_.values[i] = node;
    }

    // Operator at i with its nearest operands on both sides.
    void binary(int i) {
        const int left = nearest_left(list_, i);
        const int right = nearest_right(list_, i);
        if (left < 0 || right < 0) fail();
        const Value operands[2] = {list_.values[left], list_.values[right]};
        const Value node = make_node(code(i), 2, operands, list_.positions[i]);
        empty(i);
        empty(right);
        place(left, node);
    }

    // Calls, index and member access, from the left; a call right after
    // `new` Class becomes the `new` node in the slot of the `new` token.
    void level_access() {
        for (int i = 0; i < n_; ++i) {
            const uint8_t c = code(i);
            if (c != NODE_CALL && c != NODE_INDEX && c != NODE_MEMBER) continue;
            const int left = nearest_left(list_, i);
            const int right = nearest_right(list_, i);
            if (left < 0 || right < 0) fail();
            if (c == NODE_CALL && left > 0 && code(left - 1) == NODE_NEW) {
                const Value operands[2] = {list_.values[left], list_.values[right]};
                const Value node = make_node(NODE_NEW, 2, operands, list_.positions[left - 1]);
                empty(i);
                empty(right);
                empty(left);
                place(left - 1, node);
            } else {
                binary(i);
            }
        }
    }

    void level_postfix(uint8_t kind) {
        for (int i = 0; i < n_; ++i) {
            if (code(i) != kind) continue;
            const int left = nearest_left(list_, i);
            if (left < 0) fail();
            const Value node = make_node(kind, 1, &list_.values[left], list_.positions[i]);
            empty(i);
            place(left, node);
        }
    }

    // Prefix operators take the nearest operand on their right. Taking them
    // from the right makes nested ones (!!x, !typeof x) group inside out;
    // operators that are not nested are independent, so the order among
    // them changes nothing.
    void level_prefix() {
        for (int i = n_ - 1; i >= 0; --i) {
            const uint8_t c = code(i);
            if (c != NODE_PREFIX_INCREMENT && c != NODE_PREFIX_DECREMENT && c != NODE_NOT && c != NODE_BIT_NOT &&
                c != NODE_TYPEOF) {
                continue;
            }
            const int right = nearest_right(list_, i);
            if (right < 0) fail();
            const Value node = make_node(c, 1, &list_.values[right], list_.positions[i]);
            empty(right);
            place(i, node);
        }
    }

    bool at_level(int i, uint32_t level) const {
        const uint8_t c = code(i);
        switch (level) {
            case 4:
                return c == NODE_POWER;
            case 7:
                return c >= NODE_SHIFT_LEFT && c <= NODE_SHIFT_RIGHT_UNSIGNED;
            case 8:
                return (c >= NODE_GREATER_OR_EQUAL && c <= NODE_LESS) || c == NODE_INSTANCEOF;
            case 9:
                return c >= NODE_EQUAL && c <= NODE_STRICT_NOT_EQUAL;
            case 17:
                return c >= NODE_ASSIGN && c <= NODE_BIT_XOR_ASSIGN;
            default:
                return false;
        }
    }

    // Levels that group from the left (shifts, relational, equality).
    void from_left_binary(uint32_t level) {
        for (int i = 0; i < n_; ++i) {
            if (at_level(i, level)) binary(i);
        }
    }

    // Levels that group from the right ("**", assignment).
    void from_right_binary(uint32_t level) {
        for (int i = n_ - 1; i >= 0; --i) {
            if (at_level(i, level)) binary(i);
        }
    }

    // Chains of one kind become one node with all their operands: its left
    // operand, then one operand per operator while the same kind repeats.
    // A chain longer than a node's operand count byte holds is closed at
    // 254 operands; its node is the left operand of the rest of the chain,
    // which evaluates the same way from the left.
    void chains(uint8_t kind) {
        Value operands[CHAIN_OPERAND_LIMIT];
        int i = 0;
        while (i < n_) {
            if (code(i) != kind) {
                ++i;
                continue;
            }
            const int left = nearest_left(list_, i);
            if (left < 0) fail();
            const uint32_t position = list_.positions[i];
            uint32_t count = 0;
            operands[count++] = list_.values[left];
            int op = i;
            int next = n_;
            for (;;) {
                const int right = nearest_right(list_, op);
                if (right < 0) fail();
                operands[count++] = list_.values[right];
                empty(op);
                empty(right);
                next = next_filled(list_, right);
                if (next >= n_ || code(next) != kind || count >= CHAIN_OPERAND_LIMIT) break;
                op = next;
            }
            place(left, make_node(kind, count, operands, position));
            i = next;
        }
    }

    // "?" from the right: condition on its left, exactly one operand, ":",
    // the else value.
    void level_conditional() {
        for (int i = n_ - 1; i >= 0; --i) {
            if (code(i) != NODE_CONDITIONAL) continue;
            const int condition = nearest_left(list_, i);
            const int then_value = nearest_right(list_, i);
            if (condition < 0 || then_value < 0) fail();
            const int colon = next_filled(list_, then_value);
            if (colon >= n_ || code(colon) != NODE_COLON) fail();
            const int else_value = nearest_right(list_, colon);
            if (else_value < 0) fail();
            const Value operands[3] = {list_.values[condition], list_.values[then_value], list_.values[else_value]};
            const Value node = make_node(NODE_CONDITIONAL, 3, operands, list_.positions[i]);
            empty(i);
            empty(then_value);
            empty(colon);
            empty(else_value);
            place(condition, node);
        }
    }

    TokenList& list_;
    const int n_;
};

}  // namespace

void raise_list_error(int code, const char* text) {
    const char* quoted = excerpt(text, 120);
    switch (code) {
        case 1120: raise_parse_error(1120, "ステートメントの演算子不正 '%s'", quoted);
        case 1123: raise_parse_error(1123, "引数の数不正 '%s'", quoted);
        case 1060: raise_parse_error(1060, "JSON文字列の演算子不正 '%s'", quoted);
        case 1065: raise_parse_error(1065, "JSON文字列フォーマット不正 '%s'", quoted);
        case 1720: raise_parse_error(1720, "TOP関数のステートメントの演算子不正 '%s'", quoted);
        case 1730: raise_parse_error(1730, "TOP関数のフォーマット不正 '%s'", quoted);
        default: raise_parse_error(1125, "フォーマット不正 '%s'", quoted);
    }
}

void finish_token_list(TokenList* list, Value* values, uint32_t limit, uint32_t* count, bool retain_each) {
    const ListRules& rules = *list->rules;
    if (list->count != 0) {
        const uint8_t last = list->codes[list->count - 1];
        if (last != TOKEN_OPERAND && last != NODE_POSTFIX_INCREMENT && last != NODE_POSTFIX_DECREMENT) {
            raise_list_error(rules.malformed, list->start);
        }
        Reducer(list).run();
    }

    uint32_t n = 0;
    for (uint32_t i = 0; i < list->count; ++i) {
        const uint8_t c = list->codes[i];
        if (c == TOKEN_CONSUMED || c == NODE_COMMA) continue;
        if (c != TOKEN_OPERAND) raise_list_error(rules.malformed, list->start);
        if (n + 1 >= limit) raise_list_error(rules.too_many_values, list->start);
        values[n++] = list->values[i];
    }
    if (retain_each) {
        for (uint32_t i = 0; i < n; ++i) retain(values[i]);
    }
    *count = n;
}

}  // namespace kova

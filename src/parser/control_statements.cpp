// Control statements: break, continue, return, throw, if, while, do, for,
// switch and try.
#include <cstdint>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "parser/declarations.h"
#include "parser/expressions.h"
#include "parser/node_kinds.h"
#include "parser/nodes.h"
#include "parser/statements.h"

namespace kova {

namespace {

constexpr uint32_t IF_CONDITION_LIMIT = 10;
constexpr uint32_t WHILE_CONDITION_LIMIT = 8;
constexpr uint32_t DO_CONDITION_LIMIT = 4;
constexpr uint32_t SWITCH_VALUE_LIMIT = 128;
constexpr uint32_t THROW_VALUE_LIMIT = 4;
constexpr uint32_t RETURN_VALUE_LIMIT = 8;
constexpr uint32_t FOR_INIT_LIMIT = 256;
constexpr uint32_t FOR_ITERATED_LIMIT = 4;
constexpr uint32_t CASE_ENTRY_LIMIT = 1024;  // entries of a case table, the two header entries included

// "(" one expression ")" after blanks; the text after ")" or null when it
// is malformed (the caller raises its own error). At most limit - 1 values
// may be listed, and exactly one is required.
char* parse_condition(char* text, uint32_t limit, Value* condition) {
    char* open = skip_blanks(text);
    if (*open != '(') return nullptr;
    char* closer = find_closing(open + 1, ')', '(');
    if (closer == nullptr) return nullptr;
    CutGuard cut(closer);
    Value values[SWITCH_VALUE_LIMIT];
    uint32_t count = 0;
    char* rest = skip_blanks(parse_expression_list(open + 1, values, limit, &count, false));
    if (*rest != '\0' || count != 1) return nullptr;
    *condition = values[0];
    return closer + 1;
}

// An area item holding the given words, each retained.
uint32_t make_word_item(const Value* words, uint32_t count, bool retain_each) {
    uint8_t* item = nullptr;
    const uint32_t reference = area_alloc(size_t(count) * 4, &item);
    for (uint32_t i = 0; i < count; ++i) {
        if (retain_each) retain(words[i]);
        store_u32(item + 4 * size_t(i), words[i]);
    }
    return reference;
}

// let/const names of a `for` initialiser belong to the loop: they are
// dropped from the enclosing block's names when the loop's parse ends, so
// two loops `for (let i = 0; ...)` in one block do not clash.
class LoopNames {
public:
    LoopNames() : saved_(g_parser.block_count) {}
    ~LoopNames() {
        if (g_parser.block_count > saved_) g_parser.block_count = saved_;
    }
    LoopNames(const LoopNames&) = delete;
    LoopNames& operator=(const LoopNames&) = delete;

private:
    uint32_t saved_;
};

[[noreturn]] void bad_for(const char* at) { raise_parse_error(1090, "ステートメント不正 'for %s'", excerpt(at, 120)); }

// True when the text between from and to holds a ";" that is not escaped
// by an odd run of backslashes (quotes are not considered).
bool has_three_parts(const char* from, const char* to) {
    uint32_t backslashes = 0;
    for (const char* p = from; p < to; ++p) {
        if (*p == '\\') {
            ++backslashes;
            continue;
        }
        if (*p == ';' && backslashes % 2 == 0) return true;
        backslashes = 0;
    }
    return false;
}

// for (init; condition; update): the init values, the condition and the
// update values in one item, the counts packed in one word.
char* three_part_for(char* open, char* closer, Value* out, uint32_t position) {
    Value values[FOR_INIT_LIMIT + 1];
    uint32_t init = 0;
    uint32_t update = 0;
    {
        CutGuard cut(closer);
        char* p = skip_blanks(parse_expression_list(open + 1, values, FOR_INIT_LIMIT, &init, true));
        if (*p != ';') bad_for(open);
        Value condition[STATEMENT_VALUE_LIMIT];
        uint32_t count = 0;
        p = skip_blanks(parse_expression_list(p + 1, condition, STATEMENT_VALUE_LIMIT, &count, true));
        if (*p != ';' || count != 1) bad_for(open);
        values[init] = condition[0];
        // The whole item holds at most 255 values.
        p = skip_blanks(parse_expression_list(p + 1, values + init + 1, 255 - init, &update, true));
        if (*p != '\0') bad_for(open);
    }
    Value operands[3];
    operands[0] = make_word_item(values, init + 1 + update, false);
    operands[1] = init << 16 | update;
    char* after = parse_statement(closer + 1, &operands[2]);
    *out = make_node(NODE_FOR, 3, operands, position);
    return after;
}

[[noreturn]] void bad_switch(const char* at) {
    raise_parse_error(1160, "ステートメント不正 '%s %s'", "switch", excerpt(at, 120));
}

[[noreturn]] void switch_without_cases(const char* at) {
    raise_parse_error(1155, "ステートメント不正 'switch %s'", excerpt(at, 120));
}

// `read` is " ... " once the try block has been read, `part` the part that
// failed ("catch", "finally" or empty).
[[noreturn]] void bad_try(const char* read, const char* part, const char* at) {
    raise_parse_error(1095, "ステートメント不正 in '%s%s%s %s'", "try", read, part, excerpt(at, 120));
}

}  // namespace

char* parse_break(char* text, Value* out, char* at, uint32_t position) {
    char* p = skip_blanks(text);
    if (*p != ';') raise_parse_error(1105, "ステートメント不正 '%s'", excerpt(at, 100));
    *out = make_node(NODE_BREAK, 0, nullptr, position);
    return p;
}

char* parse_continue(char* text, Value* out, char* at, uint32_t position) {
    char* p = skip_blanks(text);
    if (*p != ';') raise_parse_error(1110, "ステートメント不正 '%s'", excerpt(at, 100));
    *out = make_node(NODE_CONTINUE, 0, nullptr, position);
    return p;
}

char* parse_return(char* text, Value* out, char* at, uint32_t position) {
    Value values[RETURN_VALUE_LIMIT];
    uint32_t count = 0;
    char* after = parse_expression_list(text, values, RETURN_VALUE_LIMIT, &count, false);
    if (count > 1) raise_parse_error(1115, "ステートメント不正 '%s'", excerpt(at, 100));
    *out = make_node(NODE_RETURN, count, values, position);
    return after;
}

char* parse_throw(char* text, Value* out, char* at, uint32_t position) {
    Value values[THROW_VALUE_LIMIT];
    uint32_t count = 0;
    char* after = parse_expression_list(text, values, THROW_VALUE_LIMIT, &count, false);
    if (count != 1) raise_parse_error(1100, "ステートメント不正 '%s'", excerpt(at, 100));
    *out = make_node(NODE_THROW, 1, values, position);
    return after;
}

char* parse_if(char* text, Value* out, char* at, uint32_t position) {
    Value operands[3];
    char* p = parse_condition(text, IF_CONDITION_LIMIT, &operands[0]);
    if (p == nullptr) raise_parse_error(1075, "ステートメント不正 '%s", excerpt(at, 120));
    p = parse_statement(p, &operands[1]);
    uint32_t count = 2;
    p = skip_blanks(p);
    if (starts_with_word(p, "else")) {
        p = parse_statement(p + 4, &operands[2]);
        count = 3;
    }
    *out = make_node(NODE_IF, count, operands, position);
    return p;
}

char* parse_while(char* text, Value* out, char* /*at*/, uint32_t position) {
    Value operands[2];
    char* p = parse_condition(text, WHILE_CONDITION_LIMIT, &operands[0]);
    if (p == nullptr) raise_parse_error(1080, "ステートメント不正 'while %s", excerpt(skip_blanks(text), 120));
    p = parse_statement(p, &operands[1]);
    *out = make_node(NODE_WHILE, 2, operands, position);
    return p;
}

char* parse_do(char* text, Value* out, char* /*at*/, uint32_t position) {
    Value operands[2];
    char* p = skip_blanks(parse_statement(text, &operands[0]));
    if (!starts_with_word(p, "while")) raise_parse_error(1085, "ステートメント不正 'do %s %s", "", excerpt(p, 120));
    char* after = parse_condition(p + 5, DO_CONDITION_LIMIT, &operands[1]);
    if (after == nullptr) {
        raise_parse_error(1085, "ステートメント不正 'do %s %s", "... while", excerpt(skip_blanks(p + 5), 120));
    }
    *out = make_node(NODE_DO_WHILE, 2, operands, position);
    return after;
}

char* parse_for(char* text, Value* out, char* /*at*/, uint32_t position) {
    char* open = skip_blanks(text);
    if (*open != '(') bad_for(open);
    char* closer = find_closing(open + 1, ')', '(');
    if (closer == nullptr) bad_for(open);
    LoopNames loop_names;
    if (has_three_parts(open + 1, closer)) return three_part_for(open, closer, out, position);

    // for ([var | let | const] name of|in expression)
    uint32_t flag = 0;
    Value operands[4];
    uint32_t kind = NODE_FOR_OF;
    {
        CutGuard cut(closer);
        char* p = skip_blanks(open + 1);
        if (starts_with_word(p, "var")) {
            flag = 2;
            p += 3;
        } else if (starts_with_word(p, "let")) {
            p += 3;
        } else if (starts_with_word(p, "const")) {
            flag = 1;
            p += 5;
        }
        p = skip_blanks(p);
        if (!is_identifier_start(*p)) bad_for(open);
        const char* cursor = p;
        const uint32_t name = read_identifier(&cursor);
        p = skip_blanks(const_cast<char*>(cursor));
        if (starts_with_word(p, "of")) {
            kind = NODE_FOR_OF;
        } else if (starts_with_word(p, "in")) {
            kind = NODE_FOR_IN;
        } else {
            bad_for(open);
        }
        if (flag == 2) declare_var_name(name);
        Value values[FOR_ITERATED_LIMIT];
        uint32_t count = 0;
        p = skip_blanks(parse_expression_list(p + 2, values, FOR_ITERATED_LIMIT, &count, false));
        if (*p != '\0' || count != 1) bad_for(open);
        operands[0] = name;
        operands[1] = values[0];
    }
    char* after = parse_statement(closer + 1, &operands[2]);
    operands[3] = flag;
    *out = make_node(kind, 4, operands, position);
    return after;
}

char* parse_switch(char* text, Value* out, char* /*at*/, uint32_t position) {
    char* open = skip_blanks(text);

    Value operands[4];
    char* p = parse_condition(open, SWITCH_VALUE_LIMIT, &operands[0]);
    if (p == nullptr) bad_switch(open);
    p = skip_blanks(p);
    if (*p != '{') bad_switch(open);
    char* closer = find_closing(p + 1, '}', '{');
    if (closer == nullptr) bad_switch(open);

    WordStackMark statements(&g_word_stack);
    WordStackMark cases(&g_case_stack);  // (value, first statement) per case label
    bool has_default = false;
    uint32_t default_index = 0;
    {
        CutGuard cut(closer);
        char* q = skip_blanks(p + 1);
        if (!starts_with_word(q, "case")) switch_without_cases(open);
        for (;;) {
            while (*(q = skip_blanks(q)) == ';') ++q;
            if (*q == '\0') break;
            if (starts_with_word(q, "case")) {
                if (cases.size() / 2 + 2 >= CASE_ENTRY_LIMIT) {
                    raise_parse_error(1150, "switch文のcaseが多すぎます 'switch %s'", excerpt(open, 120));
                }
                char* colon = find_unquoted(q + 4, ':');
                if (colon == nullptr) bad_switch(q);
                Value value = 0;
                {
                    CutGuard cut_colon(colon);
                    Value values[STATEMENT_VALUE_LIMIT];
                    uint32_t count = 0;
                    char* rest = skip_blanks(parse_expression_list(q + 4, values, STATEMENT_VALUE_LIMIT, &count, true));
                    if (*rest != '\0' || count != 1 || values[0] == 0) bad_switch(q);
                    value = values[0];
                }
                word_stack_push(&g_case_stack, value);
                word_stack_push(&g_case_stack, statements.size());
                q = colon + 1;
            } else if (starts_with_word(q, "default")) {
                char* colon = skip_blanks(q + 7);
                if (*colon != ':') bad_switch(q);
                has_default = true;
                default_index = statements.size();
                q = colon + 1;
            } else {
                // Statements of a case are expression lists; keyword
                // statements come in through the expression parser.
                Value values[SWITCH_VALUE_LIMIT];
                uint32_t count = 0;
                q = parse_expression_list(q, values, SWITCH_VALUE_LIMIT, &count, true);
                for (uint32_t i = 0; i < count; ++i) word_stack_push(&g_word_stack, values[i]);
            }
        }
    }
    const uint32_t labels = cases.size() / 2;
    const uint32_t count = statements.size();
    if (labels == 0 || count == 0) switch_without_cases(open);

    // Case table: (entries, statements), (0, default start), then
    // (case value, first statement) per label.
    uint8_t* table = nullptr;
    operands[1] = area_alloc(size_t(labels + 2) * 8, &table);
    store_u32(table, labels + 2);
    store_u32(table + 4, count);
    store_u32(table + 8, 0);
    store_u32(table + 12, default_index);
    const uint32_t* entries = cases.words();
    for (uint32_t i = 0; i < labels; ++i) {
        store_u32(table + 8 * size_t(i + 2), entries[2 * i]);
        store_u32(table + 8 * size_t(i + 2) + 4, entries[2 * i + 1]);
    }
    operands[2] = make_word_item(statements.words(), count, false);
    operands[3] = has_default ? 1 : 0;
    const Value node = make_node(NODE_SWITCH, 4, operands, position);
    // The debugger never stops at the switch itself: its module byte holds
    // the module number alone.
    cell_as<NodeCell>(node)->module = uint8_t(g_parser.module & 0x7F);
    *out = node;
    return closer + 1;
}

char* parse_try(char* text, Value* out, char* /*at*/, uint32_t position) {
    char* p = skip_blanks(text);
    if (*p != '{') bad_try("", "", p);
    Value operands[3];
    uint32_t end_line = 0;
    p = skip_blanks(parse_block(p, &operands[0], &end_line));

    operands[1] = 0;
    bool has_catch = false;
    if (starts_with_word(p, "catch")) {
        char* q = skip_blanks(p + 5);
        if (*q != '(') bad_try(" ... ", "catch", q);
        char* closer = find_closing(q + 1, ')', '(');
        if (closer == nullptr) bad_try(" ... ", "catch", q);
        Value name = 0;
        {
            CutGuard cut(closer);
            Value values[STATEMENT_VALUE_LIMIT];
            uint32_t count = 0;
            char* rest = skip_blanks(parse_expression_list(q + 1, values, STATEMENT_VALUE_LIMIT, &count, false));
            if (*rest != '\0' || count != 1 || value_tag(values[0]) != TAG_NAME) bad_try(" ... ", "catch", q);
            name = values[0];
        }
        q = skip_blanks(closer + 1);
        if (*q != '{') bad_try(" ... ", "catch", q);
        // The catch item: the catch name, the catch block, and a zero word.
        Value item_words[3] = {name, 0, 0};
        q = parse_block(q, &item_words[1], &end_line);
        operands[1] = make_word_item(item_words, 3, true);
        has_catch = true;
        p = skip_blanks(q);
    }
    if (starts_with_word(p, "finally")) {
        char* q = skip_blanks(p + 7);
        if (*q != '{') bad_try(" ... ", "finally", q);
        q = parse_block(q, &operands[2], &end_line);
        *out = make_node(NODE_TRY, 3, operands, position);
        return q;
    }
    if (!has_catch) bad_try(" ... ", "", p);
    *out = make_node(NODE_TRY, 2, operands, position);
    return p;
}

}  // namespace kova

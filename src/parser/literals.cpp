// String, template, object and array literals, built as ordinary values at
// parse time.
#include "parser/literals.h"

#include <cstddef>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "parser/expressions.h"
#include "parser/lexer.h"
#include "parser/parser.h"
#include "regex/regex.h"

namespace kova {

namespace {

[[noreturn]] void unclosed_string() { raise_parse_error(1010, "JSON文字列不正"); }

[[noreturn]] void bad_member(const char* at) {
    raise_parse_error(1140, "文字列のフォーマット不正 '%s'", excerpt(at, 120));
}

[[noreturn]] void bad_element(const char* at) {
    raise_parse_error(1070, "JSON文字列フォーマット不正 '%s'", excerpt(at, 120));
}

char escaped_byte(char c) {
    switch (c) {
        case 'n': return '\n';
        case 'r': return '\r';
        case 't': return '\t';
        default: return c;
    }
}

// The key of an object member: one token that must be a string literal
// (its text interned) or a plain name. A keyword is read as its statement,
// whose own error usually comes first. Kept out of line so that its token
// list is gone before the member value's list is made.
[[gnu::noinline]] char* read_object_key(char* text, uint32_t* key) {
    NestingGuard nesting(&g_expression.list_depth, LIST_NESTING_LIMIT, text);
    TokenList list;
    list.begin(&EXPRESSION_RULES, text);
    char* after = next_token(text, &list);
    if (list.count != 1 || list.codes[0] != TOKEN_OPERAND) bad_member(text);
    const Value value = list.values[0];
    if (value_tag(value) == TAG_STRING) {
        *key = intern(string_text(value), string_length(value));
        release_if_temporary(value);
    } else if (value_tag(value) == TAG_NAME) {
        *key = value;
    } else {
        bad_member(text);
    }
    return after;
}

}  // namespace

char* parse_string_literal(char* text, char quote, Value* out) {
    const bool is_template = quote == '`';

    // First pass: find the closing quote, measure the result, count lines.
    size_t length = 0;
    char* p = text;
    for (;;) {
        const char c = *p;
        if (c == '\0') unclosed_string();
        if (c == quote) break;
        if (c == '\\') {
            const char next = p[1];
            if (next == '\0') unclosed_string();
            if (next == '\n') {
                ++g_parser.line;
                g_parser.last_line_feed = p + 1;
            }
            length += is_template && next != '`' ? 2 : 1;
            p += 2;
            continue;
        }
        if (c == '\n') {
            ++g_parser.line;
            g_parser.last_line_feed = p;
        }
        if (c != '\r') ++length;
        ++p;
    }
    char* const closing = p;

    // Second pass: write the text straight into the string's text item.
    uint8_t* item = nullptr;
    const uint32_t reference = area_alloc(length + 12, &item);
    size_t n = 0;
    for (p = text; p < closing;) {
        const char c = *p;
        if (c == '\\') {
            const char next = p[1];
            if (!is_template) {
                item[n++] = uint8_t(escaped_byte(next));
            } else {
                if (next != '`') item[n++] = '\\';
                item[n++] = uint8_t(next);
            }
            p += 2;
            continue;
        }
        if (c != '\r') item[n++] = uint8_t(c);
        ++p;
    }
    item[n] = '\0';

    Cell* cell = nullptr;
    const Value string = new_cell(TAG_STRING, 0, &cell);
    auto* fields = reinterpret_cast<StringCell*>(cell);
    store_u16(&fields->zero[1], is_template ? TEMPLATE_FLAG : 0);
    fields->text = reference;
    fields->capacity = uint32_t(length + 8);
    fields->length = uint32_t(length);
    *out = string;
    return closing + 1;
}

char* parse_object_literal(char* text, Value* out) {
    char* closer = find_closing(text, '}', '{');
    if (closer == nullptr) raise_parse_error(1142, "JSON文字列のフォーマット不正 '%s'", excerpt(text - 1, 120));
    WordStackMark pairs(&g_word_stack);
    {
        CutGuard cut(closer);
        char* p = text;
        for (;;) {
            p = skip_blanks(p);
            if (*p == '\0') break;
            char* member = p;
            uint32_t key = 0;
            p = skip_blanks(read_object_key(p, &key));
            if (*p != ':') bad_member(member);
            Value values[MEMBER_VALUE_LIMIT];
            uint32_t count = 0;
            p = parse_member_value(p + 1, values, &count);
            if (count != 1) bad_member(member);
            word_stack_push(&g_word_stack, key);
            word_stack_push(&g_word_stack, values[0]);
        }
    }
    *out = new_object(pairs.words(), pairs.size() / 2);
    return closer + 1;
}

char* parse_array_literal(char* text, Value* out) {
    char* closer = find_closing(text, ']', '[');
    if (closer == nullptr) bad_element(text - 1);
    WordStackMark elements(&g_word_stack);
    {
        CutGuard cut(closer);
        char* p = text;
        for (;;) {
            p = skip_blanks(p);
            if (*p == '\0') break;
            if (*p == ',') bad_element(p);
            char* element = p;
            Value values[MEMBER_VALUE_LIMIT];
            uint32_t count = 0;
            p = parse_member_value(p, values, &count);
            if (count != 1) bad_element(element);
            word_stack_push(&g_word_stack, values[0]);
        }
    }
    *out = new_array(elements.words(), elements.size());
    return closer + 1;
}

char* parse_member_value(char* text, Value* values, uint32_t* count) {
    NestingGuard nesting(&g_expression.list_depth, LIST_NESTING_LIMIT, text);
    TokenList list;
    list.begin(&MEMBER_RULES, text);
    char* p = text;
    for (;;) {
        p = skip_blanks(p);
        if (*p == ',') {
            ++p;
            break;
        }
        if (*p == ';') raise_parse_error(1055, "JSON文字列不正 ';'");
        if (*p == '\0') break;
        // A function literal ends an ordinary list; here the item simply
        // goes on to its comma.
        p = next_token(p, &list);
    }
    finish_token_list(&list, values, MEMBER_VALUE_LIMIT, count, false);
    return p;
}

char* parse_regex_literal(char* text, Value* out) {
    // Compiled once, here: every evaluation of the literal yields this value.
    return const_cast<char*>(compile_regex_literal(text + 1, out));
}

}  // namespace kova

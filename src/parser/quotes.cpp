// Quoted literals and brackets: telling whether a position is inside a
// literal, and finding unquoted characters and balancing brackets.
#include <cstring>

#include "parser/lexer.h"
#include "parser/literal_scan.h"

namespace kova {

namespace {

bool is_word_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Whether a value ends just before `slash` (looking back no further than
// `start`): a name or number, a closing bracket or quote, a postfix ++ or
// --. A word such as `return` ends none, so a literal may follow it.
bool value_ends_before(const char* start, const char* slash) {
    const char* p = slash;
    while (p > start && (p[-1] == ' ' || p[-1] == '\t' || p[-1] == '\r' || p[-1] == '\n')) --p;
    if (p == start) return false;
    const char c = p[-1];
    if (c == ')' || c == ']' || c == '}' || c == '.' || is_quote(c)) return true;
    if (c == '+' || c == '-') return p - 1 > start && p[-2] == c;
    if (!is_word_byte(c)) return false;
    const char* word = p - 1;
    while (word > start && is_word_byte(word[-1])) --word;
    static const char* const OPERATOR_WORDS[] = {"return", "typeof", "case", "in", "of", "void", "delete"};
    const size_t length = size_t(p - word);
    for (const char* keyword : OPERATOR_WORDS) {
        if (std::strlen(keyword) == length && std::memcmp(word, keyword, length) == 0) return false;
    }
    return true;
}

}  // namespace

const char* regex_literal_end(const char* start, const char* slash, const char** searched) {
    if (searched != nullptr) *searched = slash;
    if (slash[1] == '/' || slash[1] == '*' || value_ends_before(start, slash)) return nullptr;
    bool in_class = false;
    const char* p = slash + 1;
    for (; *p != '\0' && *p != '\n'; ++p) {
        if (*p == '\\') {
            if (p[1] == '\0' || p[1] == '\n') break;
            ++p;
        } else if (*p == '[') {
            in_class = true;
        } else if (*p == ']') {
            in_class = false;
        } else if (*p == '/' && !in_class) {
            return p;
        }
    }
    if (searched != nullptr) *searched = p;
    return nullptr;
}

const char* literal_end(const char* start, const char* opening) {
    if (*opening == '/') return regex_literal_end(start, opening, nullptr);
    return find_partner(opening + 1, *opening, nullptr);
}

const char* find_partner(const char* body, char quote, const char* limit) {
    uint32_t backslashes = 0;
    for (const char* p = body; *p != '\0' && (limit == nullptr || p < limit); ++p) {
        if (*p == '\\') {
            ++backslashes;
            continue;
        }
        if (*p == quote && backslashes % 2 == 0) return p;
        backslashes = 0;
    }
    return nullptr;
}

const char* literal_opening(const char* start, const char* from, const char* at, bool regexes) {
    const char* p = from;
    const char* searched = from;  // where "/" may open a literal again
    while (p < at && *p != '\0') {
        if (is_quote(*p)) {
            const char* partner = find_partner(p + 1, *p, at);
            if (partner == nullptr) return p;
            p = partner + 1;
        } else if (*p == '/' && regexes && p >= searched) {
            if (p[1] == '/' || p[1] == '*') {
                p += 2;  // a comment opener, not a literal
                continue;
            }
            const char* end = regex_literal_end(start, p, &searched);
            if (end == nullptr) {
                ++p;
            } else if (end >= at) {
                return p;
            } else {
                p = end + 1;
            }
        } else {
            ++p;
        }
    }
    return nullptr;
}

bool inside_literal(const char* from, const char* at, char* quote) {
    const char* opening = literal_opening(from, from, at, true);
    if (opening == nullptr) return false;
    if (quote != nullptr) *quote = *opening;
    return true;
}

// One pass that steps over whole literals, so every position it stops at is
// outside them; a literal that never closes hides the rest of the text.
char* find_unquoted(char* text, char ch) {
    const char* searched = text;  // where "/" may open a literal again
    for (char* p = text; *p != '\0'; ++p) {
        if (*p == ch && (p == text || p[-1] != '\\')) return p;
        if (is_quote(*p)) {
            const char* partner = find_partner(p + 1, *p, nullptr);
            if (partner == nullptr) return nullptr;
            p = const_cast<char*>(partner);
        } else if (*p == '/' && p >= searched) {
            const char* end = regex_literal_end(text, p, &searched);
            if (end != nullptr) p = const_cast<char*>(end);
        }
    }
    return nullptr;
}

char* find_closing(char* text, char close, char open) {
    uint32_t depth = 0;
    const char* searched = text;  // where "/" may open a literal again
    for (char* p = text; *p != '\0'; ++p) {
        const bool escaped = p != text && p[-1] == '\\';
        if (*p == close && !escaped) {
            if (depth == 0) return p;
            --depth;
        } else if (*p == open && !escaped) {
            ++depth;
        } else if (is_quote(*p)) {
            const char* partner = find_partner(p + 1, *p, nullptr);
            if (partner == nullptr) return nullptr;
            p = const_cast<char*>(partner);
        } else if (*p == '/' && p >= searched) {
            const char* end = regex_literal_end(text, p, &searched);
            if (end != nullptr) p = const_cast<char*>(end);
        }
    }
    return nullptr;
}

}  // namespace kova

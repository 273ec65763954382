// Quoted literals and brackets: telling whether a position is inside a
// literal, and finding unquoted characters and balancing brackets.
#include "parser/lexer.h"
#include "parser/literal_scan.h"

namespace kova {

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

const char* literal_opening(const char* from, const char* at) {
    const char* p = from;
    while (p < at && *p != '\0') {
        if (is_quote(*p)) {
            const char* partner = find_partner(p + 1, *p, at);
            if (partner == nullptr) return p;
            p = partner + 1;
        } else {
            ++p;
        }
    }
    return nullptr;
}

bool inside_literal(const char* from, const char* at, char* quote) {
    const char* opening = literal_opening(from, at);
    if (opening == nullptr) return false;
    if (quote != nullptr) *quote = *opening;
    return true;
}

// One pass that steps over whole literals, so every position it stops at is
// outside them; a literal that never closes hides the rest of the text.
char* find_unquoted(char* text, char ch) {
    for (char* p = text; *p != '\0'; ++p) {
        if (*p == ch && (p == text || p[-1] != '\\')) return p;
        if (is_quote(*p)) {
            const char* partner = find_partner(p + 1, *p, nullptr);
            if (partner == nullptr) return nullptr;
            p = const_cast<char*>(partner);
        }
    }
    return nullptr;
}

char* find_closing(char* text, char close, char open) {
    uint32_t depth = 0;
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
        }
    }
    return nullptr;
}

}  // namespace kova

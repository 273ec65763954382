// Comment removal: block comments, then line comments, overwritten in place
// with spaces so that line numbers and columns stay as written.
#include <cstring>

#include "core/errors.h"
#include "parser/lexer.h"
#include "parser/literal_scan.h"

namespace kova {

namespace {

[[noreturn]] void bad_comment() { raise_parse_error(1580, "コメント不正"); }

// Blanks [from, to) except line feeds.
void blank_out(char* from, const char* to) {
    for (char* p = from; p < to; ++p) {
        if (*p != '\n') *p = ' ';
    }
}

// The "*/" that ends a comment whose body starts at `body`. A quote opened
// inside the comment must close before the comment can end.
char* block_comment_end(char* body) {
    char* from = body;
    for (;;) {
        char* closer = std::strstr(from, "*/");
        if (closer == nullptr) bad_comment();
        // A comment's body holds text, not code: only quotes count there.
        const char* opening = literal_opening(from, from, closer, false);
        if (opening == nullptr) return closer;
        const char* partner = find_partner(opening + 1, *opening, nullptr);
        if (partner == nullptr) bad_comment();
        from = const_cast<char*>(partner) + 1;
    }
}

void strip_block_comments(char* text) {
    char* search = text;
    for (;;) {
        char* opener = std::strstr(search, "/*");
        if (opener == nullptr) return;
        const char* opening = literal_opening(text, search, opener, true);
        if (opening != nullptr) {
            // The opener is inside a literal: go on after the literal.
            const char* partner = literal_end(text, opening);
            if (partner == nullptr) return;
            search = const_cast<char*>(partner) + 1;
            continue;
        }
        char* closer = block_comment_end(opener + 2);
        blank_out(opener, closer + 2);
        search = opener;
    }
}

void strip_line_comments(char* text) {
    char* search = text;
    for (;;) {
        char* opener = std::strstr(search, "//");
        if (opener == nullptr) return;
        const char* opening = literal_opening(text, search, opener, true);
        if (opening != nullptr) {
            const char* partner = literal_end(text, opening);
            if (partner == nullptr) return;
            search = const_cast<char*>(partner) + 1;
            continue;
        }
        char* line_feed = std::strchr(opener, '\n');
        if (line_feed == nullptr) {
            *opener = '\0';
            return;
        }
        blank_out(opener, line_feed);
        search = line_feed;
    }
}

}  // namespace

void strip_comments(char* text) {
    strip_block_comments(text);
    strip_line_comments(text);
}

}  // namespace kova

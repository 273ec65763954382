// Excerpts of source text quoted by parse errors: at most n characters of
// one line, whole UTF-8 sequences, in one of two alternating buffers so
// that a message can quote two excerpts at once.
#include "parser/lexer.h"

namespace kova {

namespace {

struct ExcerptBuffers {
    char text[2][EXCERPT_LIMIT + 1];
    unsigned next;
};
ExcerptBuffers g_excerpts;

// Bytes of the UTF-8 sequence that starts with `lead`.
size_t sequence_length(unsigned char lead) {
    if (lead >= 0xC0 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF7) return 4;
    if (lead >= 0xF8 && lead <= 0xFB) return 5;
    if (lead >= 0xFC && lead <= 0xFD) return 6;
    return 1;
}

}  // namespace

const char* excerpt(const char* text, size_t n) {
    char* out = g_excerpts.text[g_excerpts.next];
    g_excerpts.next ^= 1;
    size_t used = 0;
    const char* p = text;
    for (size_t characters = 0; characters < n && *p != '\0' && *p != '\n'; ++characters) {
        const size_t length = sequence_length(static_cast<unsigned char>(*p));
        if (used + length > EXCERPT_LIMIT) break;
        // A lead byte may promise more bytes than the line holds: the
        // sequence is cut at the end of the text or of the line.
        size_t i = 0;
        while (i < length && p[i] != '\0' && (i == 0 || p[i] != '\n')) {
            out[used++] = p[i];
            ++i;
        }
        p += i;
    }
    if (*p == '\n' && used > 0 && out[used - 1] == '\r') --used;
    out[used] = '\0';
    return out;
}

}  // namespace kova

// Character-level rules shared by every parser routine: comments, quoted
// literals, brackets, keywords, identifiers, excerpts for error messages,
// and the UTF-8 / UTF-16 converters.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kova {

inline constexpr int KEYWORD_COUNT = 68;
inline constexpr size_t EXCERPT_LIMIT = 510;

// Removes block and line comments in place (line feeds stay, so line
// numbers are kept). Parse error 1580 for an unterminated block comment.
void strip_comments(char* text);
// True when `at` lies inside a quoted literal that opens at or after
// `from`; *quote receives the opening quote character.
bool inside_literal(const char* from, const char* at, char* quote);
// The first `ch` not preceded by a backslash and not inside a literal.
char* find_unquoted(char* text, char ch);
// The `close` that balances an already consumed `open`, or null.
char* find_closing(char* text, char close, char open);
// The keyword index 0-67 at *cursor (advanced past it), or -1 (untouched).
int keyword_lookup(const char** cursor);
// Reads an identifier at *cursor (advanced past it) and interns it; parse
// error 1005 beyond 200 bytes. Returns the name index.
uint32_t read_identifier(const char** cursor);
inline bool is_identifier_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
inline bool is_identifier_char(char c) { return is_identifier_start(c) || (c >= '0' && c <= '9'); }
// At most n characters of `text` up to its first line feed, in one of two
// alternating buffers, so that a message may quote two excerpts.
const char* excerpt(const char* text, size_t n);

// The bytes that utf8_to_utf16 decodes into one unit at p (p before end,
// *p not NUL): 1, 2 or 3 (a continuation byte is checked only for a NUL and
// the end); 4 for a lead byte 0xF0-0xF7, which it refuses with 1595. So a
// caller can map the units' positions back to the bytes they came from.
size_t utf8_unit_length(const char* p, const char* end);
// Decodes at most len bytes into at most max - 1 units plus a 0 unit;
// returns the unit count. Runtime error 1595 for a code point above U+FFFF.
size_t utf8_to_utf16(const char* src, size_t len, uint16_t* dst, size_t max);
// Encodes at most count units into at most size - 1 bytes plus a NUL;
// returns the byte count.
size_t utf16_to_utf8(const uint16_t* src, size_t count, char* dst, size_t size);

}  // namespace kova

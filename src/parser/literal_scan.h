// Literal scanning shared by comment removal and bracket matching. A quoted
// literal opens at a double quote, apostrophe or backquote and closes at the
// next same quote preceded by an even run of backslashes. A regular-
// expression literal opens at a "/" where no value ends before it and closes
// at the next "/" on its line outside escapes and classes; a "/" without
// such a partner is an operator.
#pragma once

namespace kova {

inline bool is_quote(char c) { return c == '"' || c == '\'' || c == '`'; }

// The closing quote of a literal whose body starts at `body` (just after its
// opening quote); backslashes are counted back no further than `body`. The
// scan stops at the NUL, or before `limit` when one is given. Null if none.
const char* find_partner(const char* body, char quote, const char* limit);

// The closing "/" of the regular-expression literal that `slash` would
// open, looking back no further than `start` for what comes before it;
// null when that "/" opens no literal. With `searched`, a failed search
// tells where it stopped: scans skip the "/"s before that point instead
// of searching the same line again from each of them.
const char* regex_literal_end(const char* start, const char* slash, const char** searched);

// The closing character of the literal opened at `opening` (a quote, or a
// "/" that regex_literal_end accepts); null if it never closes.
const char* literal_end(const char* start, const char* opening);

// The opening of the literal that holds `at`, scanning literal by literal
// from `from` (which must lie outside any literal); null when `at` is
// outside every literal. Regular-expression literals count only with
// `regexes` (code, not a comment's body); what comes before a "/" is looked
// for back to `start`, the beginning of the text.
const char* literal_opening(const char* start, const char* from, const char* at, bool regexes);

}  // namespace kova

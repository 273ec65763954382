// Quote scanning shared by comment removal and bracket matching. A quoted
// literal opens at a double quote, apostrophe or backquote and closes at the
// next same quote preceded by an even run of backslashes.
#pragma once

namespace kova {

inline bool is_quote(char c) { return c == '"' || c == '\'' || c == '`'; }

// The closing quote of a literal whose body starts at `body` (just after its
// opening quote); backslashes are counted back no further than `body`. The
// scan stops at the NUL, or before `limit` when one is given. Null if none.
const char* find_partner(const char* body, char quote, const char* limit);

// The opening quote of the literal that holds `at`, scanning literal by
// literal from `from` (which must lie outside any literal); null when `at`
// is outside every literal.
const char* literal_opening(const char* from, const char* at);

}  // namespace kova

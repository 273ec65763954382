// Regular expressions: patterns compiled into the form of regex_layout.h,
// searches over UTF-16 subjects, the pieces of a match, the replacement
// template, and the pattern text rebuilt from the compiled form. The
// RegExp object (construction, exec, test, toString, properties) and the
// String methods that take a regular expression are built on this.
//
// How a String method uses it:
//
//     const RegexSubject subject = regex_subject(string_value, flags & REGEX_IGNORE_CASE);
//     int32_t start = 0;
//     const int32_t end = regex_search(subject, from, compiled, &start, flags);
//     if (end >= 0) {
//         Value text = regex_piece(subject, start, end);       // the match
//         int32_t group_start, group_end;
//         if (regex_capture(1, &group_start, &group_end)) ...  // group 1
//         expand_replacement(compiled, subject, template_text, template_length, out);
//     }
//
// Positions are UTF-16 units from the start of the subject (the same as
// characters: no character above U+FFFF is admitted). Matching is
// case-insensitive for a-z under the `i` flag because the pattern's letters
// were stored upper-case and the search reads the subject's upper-cased
// copy; pieces are always cut from the subject as written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/value.h"
#include "regex/regex_layout.h"

namespace kova {

struct TextBuffer;

// ---- compiling ------------------------------------------------------------------------
//
// Every malformed pattern ends in its parse error 4600-4805 (the text of
// the messages that quote the pattern names the whole pattern). A pattern
// too large for the compiled form (more than 65,535 pool units, terms or
// alternatives, more than 255 capturing groups, or nested too deeply for
// the machine stack) raises runtime error 1400. The result is a temporary
// (count 0) compiled value of tag 7.

// `count` units of pattern; flags is the flags byte (parse_flags).
Value compile_regex(const uint16_t* pattern, uint32_t count, uint8_t flags);
// A UTF-8 pattern (the `RegExp` constructor, String methods given a text):
// converted first; a conversion giving nothing raises 4800, a character
// above U+FFFF runtime error 1595.
Value compile_regex_text(const char* pattern, size_t length, uint8_t flags);
// The same while a script runs (RegExp(...), a String method given a
// pattern text): the errors name the running script's module and line.
Value compile_regex_at_run_time(const char* pattern, size_t length, uint8_t flags);
// Flag letters to the flags byte: g i m s u y; any other letter raises 4795
// naming the whole text.
uint8_t parse_flags(const char* text, size_t length);
// The source literal: `text` follows the opening "/". Finds the closing "/"
// (not escaped by a backslash, not inside a class), reads the flag letters
// after it and compiles. Returns the text after the flags. No closing "/"
// on the line raises 4805.
const char* compile_regex_literal(const char* text, Value* out);

// ---- the compiled value ---------------------------------------------------------------

inline uint8_t regex_flags(Value compiled);            // the flag bits, without the alternation mark
inline int32_t regex_last_index(Value compiled);
inline void regex_set_last_index(Value compiled, int32_t index);
// Number of capturing groups (numbered 1 to this count in the order of
// their "("), the group a name belongs to (-1 for none), and a group's name
// (a name index, or -1 for an unnamed group).
uint32_t regex_group_count(Value compiled);
int32_t regex_group_of_name(Value compiled, uint32_t name);
int32_t regex_group_name(Value compiled, uint32_t group);

// ---- subjects -------------------------------------------------------------------------

// A subject in UTF-16: units[-1] and units[length] read 0. `folded` is the
// copy with a-z turned into A-Z (null unless asked for). The storage is the
// regular-expression subsystem's and stays valid until the next call of
// regex_subject; the string value is held meanwhile, so it is neither freed
// nor changed in place while its units are in use. A character above
// U+FFFF raises runtime error 1595.
struct RegexSubject {
    const uint16_t* units;
    const uint16_t* folded;
    uint32_t length;
};
RegexSubject regex_subject(Value string, bool fold);
// The subject of a String method: as regex_subject, but a non-empty string
// that gives no units (it begins with a NUL byte) raises parse error 4800
// at the running script's place.
RegexSubject regex_string_subject(Value string, bool fold);

// ---- searching ------------------------------------------------------------------------

// Searches from `start` and returns the match end, or -1; *match_start
// receives the match start. `flags` are the value's own flags
// (regex_flags), possibly with g or y changed by the caller: with y the
// match must start at `start`; with i the folded units are read (the
// subject must then have been made with fold). A start at or beyond the
// subject's length gives -1. A search that takes more than
// REGEX_STEP_LIMIT matching steps raises runtime error 4810.
int32_t regex_search(const RegexSubject& subject, uint32_t start, Value compiled, int32_t* match_start,
                     uint8_t flags);
inline constexpr uint64_t REGEX_STEP_LIMIT = 10000000;

// The span of capturing group `group` (0: the whole match) in the last
// successful search; false when the group took no part in it (or there was
// no match). Valid until the next search.
bool regex_capture(uint32_t group, int32_t* start, int32_t* end);

// A new string: units [start, end) of the subject as written, in UTF-8.
Value regex_piece(const RegexSubject& subject, int32_t start, int32_t end);
// The same text appended to a buffer.
void append_subject_text(TextBuffer& out, const RegexSubject& subject, int32_t start, int32_t end);

// Appends the replacement text of the last successful search to `out`:
// "$n" (all the digits; 1 to the group count, else runtime error 2717) is
// group n's text, "$<name>" a named group's text (left as written when no
// group has the name; a name over 200 bytes raises 2718); every other "$",
// and a "$" after a backslash, stays as written. More than 255
// substitutions raise 2716; a pattern with more than 128 capturing groups
// raises 2717.
void expand_replacement(Value compiled, const RegexSubject& subject, const char* replacement, size_t length,
                        TextBuffer& out);

// The match result of `exec` for the last successful search, whose subject
// is `string`: a keyed array of 0 (the match), index, input, indices
// (0, the groups' [start, end], groups, length) and 1 to n (the groups).
Value regex_match_result(Value compiled, Value string, const RegexSubject& subject);

// ---- the RegExp object -----------------------------------------------------------------

// exec and test: a search from lastIndex under g or y (else from 0) that
// updates lastIndex. exec gives the match result or null; test gives true
// or false, and an empty match counts as none.
Value regex_exec(Value compiled, Value string);
Value regex_test(Value compiled, Value string);

// ---- text -----------------------------------------------------------------------------

// The pattern rebuilt from the compiled form (the `source` property).
void append_regex_source(Value compiled, TextBuffer& out);
// "/" source "/" and the flag letters in the order i, m, g, y, s: the text
// of the value (toString, printing).
void append_regex_text(Value compiled, TextBuffer& out);
// The flag letters in the order i, m, g, y, s; returns their number.
size_t regex_flag_letters(uint8_t flags, char letters[5]);
Value regex_source_value(Value compiled);

// ---- lifetime ---------------------------------------------------------------------------

// Releases what a compiled value holds (sub-expressions, the term array or
// the alternative list) and forgets its prepared form; run by free_by_tag
// just before the item itself is freed.
void regex_release_parts(Value compiled);
// Forgets every prepared form, subject and match (start-up, unit tests).
void regex_reset();

}  // namespace kova

#include "core/areas.h"

namespace kova {
inline uint8_t regex_flags(Value compiled) {
    return area_pointer(value_payload(compiled))[REGEX_FLAGS_OFFSET] & REGEX_FLAG_BITS;
}
inline int32_t regex_last_index(Value compiled) {
    return static_cast<int32_t>(load_u32(area_pointer(value_payload(compiled)) + REGEX_LAST_INDEX_OFFSET));
}
inline void regex_set_last_index(Value compiled, int32_t index) {
    store_u32(area_pointer(value_payload(compiled)) + REGEX_LAST_INDEX_OFFSET, static_cast<uint32_t>(index));
}
}  // namespace kova

// String methods with a regular expression: split, replace and replaceAll
// given one, and search, match and matchAll.
//
// The string goes to the matcher as UTF-16 (regex_string_subject: a
// character above U+FFFF raises 1595). Positions come back in units;
// the pieces of the results are cut from the string's own bytes, so text
// around and between the matches is kept byte for byte, also where it is
// not valid UTF-8. Every search starts where the method says (at the start,
// then after the previous match), whatever the expression's lastIndex,
// which these methods leave as it is.
#include "builtins/string_text.h"
#include "eval/access.h"
#include "parser/lexer.h"
#include "regex/regex.h"

namespace kova {

namespace {

constexpr Value NULL_VALUE = make_value(TAG_NAME, NAME_NULL);

// A string handed to the matcher, and the way back from unit positions to
// its bytes.
class MatchedText {
public:
    MatchedText(Value string, Value compiled)
        : compiled_(compiled),
          flags_(regex_flags(compiled)),
          subject_(regex_string_subject(string, (flags_ & REGEX_IGNORE_CASE) != 0)),
          text_(text_of(string)),
          same_positions_(subject_.length == text_.length) {}
    MatchedText(const MatchedText&) = delete;
    MatchedText& operator=(const MatchedText&) = delete;

    const RegexSubject& subject() const { return subject_; }
    const Text& text() const { return text_; }

    // A match at or after unit `from`: its end, or -1 when there is none or
    // when `non_empty` and the match is empty.
    int32_t search(uint32_t from, int32_t* start, bool non_empty) const {
        const int32_t end = regex_search(subject_, from, compiled_, start, flags_);
        if (end < 0 || (non_empty && *start >= end)) return -1;
        return end;
    }

    // The byte where unit `unit` came from. Each unit is decoded from 1 to 3
    // bytes (utf8_unit_length); when there are as many units as bytes, every
    // unit is one byte.
    uint32_t byte_of(int32_t unit) {
        if (same_positions_) return uint32_t(unit);
        if (uint32_t(unit) < cursor_unit_) {
            cursor_unit_ = 0;
            cursor_byte_ = 0;
        }
        while (cursor_unit_ < uint32_t(unit) && cursor_byte_ < text_.length) {
            cursor_byte_ += uint32_t(utf8_unit_length(text_.bytes + cursor_byte_, text_.bytes + text_.length));
            ++cursor_unit_;
        }
        return cursor_byte_;
    }

    // A new string of the bytes of units [from, to).
    Value piece(int32_t from, int32_t to) {
        const uint32_t first = byte_of(from);
        return new_text_string(text_, first, byte_of(to));
    }
    // Group g of the last search as a new string, or `undefined` when it
    // took no part in the match.
    Value group(uint32_t g) {
        int32_t from = 0;
        int32_t to = 0;
        return regex_capture(g, &from, &to) ? piece(from, to) : UNDEFINED;
    }

private:
    Value compiled_;
    uint8_t flags_;
    RegexSubject subject_;
    Text text_;
    bool same_positions_;
    uint32_t cursor_unit_ = 0;
    uint32_t cursor_byte_ = 0;
};

// The expression of search, match and matchAll: a regular expression as it
// is, any other value's text compiled with `flags`, held until the method
// ends.
class PatternArgument {
public:
    PatternArgument(Value v, uint8_t flags) : held_(compiled_from(v, flags)) {}
    Value get() const { return held_.get(); }

private:
    static Value compiled_from(Value v, uint8_t flags) {
        if (value_tag(v) == TAG_REGEX) return v;
        const ArgumentText pattern(v);
        return compile_regex_at_run_time(pattern.text().bytes, pattern.text().length, flags);
    }
    HeldValue held_;
};

}  // namespace

Value split_by_regex(Value receiver, Value compiled, uint32_t limit) {
    MatchedText matched(receiver, compiled);
    const uint32_t groups = regex_group_count(compiled);
    HeldValue result(new_array_for(0));
    const Value pieces = result.get();
    int32_t after = 0;  // the end of the last match
    while (array_count(pieces) < limit) {
        int32_t start = 0;
        const int32_t end = matched.search(uint32_t(after), &start, true);
        if (end < 0) break;
        push_element(pieces, matched.piece(after, start));
        for (uint32_t g = 1; g <= groups && array_count(pieces) < limit; ++g) push_element(pieces, matched.group(g));
        after = end;
    }
    if (array_count(pieces) < limit) {
        // The rest of the string, also any bytes the matcher did not see.
        push_element(pieces, new_text_string(matched.text(), matched.byte_of(after), matched.text().length));
    }
    return result.hand_over();
}

Value replace_by_regex(Value receiver, Value compiled, Value replacement, bool every) {
    MatchedText matched(receiver, compiled);
    const bool expand = regex_group_count(compiled) > 0;
    const Text text = matched.text();
    LocalText<TEXT_SCRATCH_SIZE> out;
    uint32_t copied = 0;  // bytes before this are in the output
    int32_t from = 0;
    bool replaced = false;
    for (;;) {
        int32_t start = 0;
        const int32_t end = matched.search(uint32_t(from), &start, true);
        if (end < 0) break;
        const uint32_t first = matched.byte_of(start);
        append_text_bytes(out, text.bytes + copied, first - copied);
        if (expand) {
            expand_replacement(compiled, matched.subject(), string_text(replacement), string_length(replacement), out);
        } else {
            append_text_bytes(out, string_text(replacement), string_length(replacement));
        }
        copied = matched.byte_of(end);
        replaced = true;
        if (!every) break;
        from = end;
    }
    if (!replaced) return receiver;
    append_text_bytes(out, text.bytes + copied, text.length - copied);
    return new_string(out.data, out.length);
}

Value string_search(Value receiver, const Value* arguments, uint32_t) {
    const PatternArgument pattern(arguments[0], 0);
    const MatchedText matched(receiver, pattern.get());
    int32_t start = 0;
    return new_integer(matched.search(0, &start, true) < 0 ? -1 : start);
}

// Without g, the match result of exec for the first match (null when it is
// empty); with g, every matched text, the search going on one unit further
// after an empty match.
Value string_match(Value receiver, const Value* arguments, uint32_t count) {
    if (count == 0) {
        const Value empty = new_string("", 0);
        return new_array(&empty, 1);
    }
    const PatternArgument pattern(arguments[0], 0);
    MatchedText matched(receiver, pattern.get());
    int32_t start = 0;
    if (!(regex_flags(pattern.get()) & REGEX_GLOBAL)) {
        if (matched.search(0, &start, true) < 0) return NULL_VALUE;
        return regex_match_result(pattern.get(), receiver, matched.subject());
    }
    HeldValue result(new_array_for(0));
    const Value texts = result.get();
    for (int32_t from = 0;;) {
        const int32_t end = matched.search(uint32_t(from), &start, false);
        if (end < 0) break;
        push_element(texts, matched.piece(start, end));
        from = end > start ? end : end + 1;
    }
    if (array_count(texts) == 0) return NULL_VALUE;
    return result.hand_over();
}

// For each non-empty match, left to right, an array of the matched text and
// the groups' texts; an empty match ends the search.
Value string_match_all(Value receiver, const Value* arguments, uint32_t) {
    const PatternArgument pattern(arguments[0], REGEX_GLOBAL);
    MatchedText matched(receiver, pattern.get());
    const uint32_t groups = regex_group_count(pattern.get());
    HeldValue result(new_array_for(0));
    const Value matches = result.get();
    for (int32_t from = 0;;) {
        int32_t start = 0;
        const int32_t end = matched.search(uint32_t(from), &start, true);
        if (end < 0) break;
        const Value one = new_array_for(groups + 1);
        push_element(matches, one);
        append_new_element(one, matched.piece(start, end));
        for (uint32_t g = 1; g <= groups; ++g) append_new_element(one, matched.group(g));
        from = end;
    }
    return result.hand_over();
}

}  // namespace kova

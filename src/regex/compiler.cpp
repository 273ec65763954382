// The pattern compiler: UTF-16 pattern units to the compiled form of
// regex_layout.h. A pattern is split at its top-level "|" into sequences;
// each sequence is a list of 20-byte terms whose literal characters and
// class members live in the sequence's literal pool. Groups and lookarounds
// are compiled recursively into values of their own.
#include <cstring>
#include <string>
#include <vector>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "eval/calls.h"
#include "parser/lexer.h"
#include "regex/regex.h"

namespace kova {

namespace {

constexpr uint32_t GROUP_LIMIT = 255;  // the group number is one byte

// What every level of one compilation shares: the whole pattern (the
// messages quote it) and the number of capturing groups opened so far.
struct Compilation {
    const uint16_t* pattern;
    uint32_t length;
    uint32_t groups;
};

// The whole pattern in UTF-8, for the messages that quote it.
std::string pattern_text(const Compilation& c) {
    std::string text(size_t(c.length) * 3 + 1, '\0');
    text.resize(utf16_to_utf8(c.pattern, c.length, text.data(), text.size()));
    return text;
}

// Messages of the form "'<pattern>'<tail>".
[[noreturn]] void fail_quoting(const Compilation& c, int code, const char* tail) {
    const std::string text = pattern_text(c);
    raise_parse_error(code, "'%s'%s", text.c_str(), tail);
}

[[noreturn]] void fail(int code, const char* message) { raise_parse_error(code, "%s", message); }

[[noreturn]] void too_large() { raise_runtime_error(1400, "メモリ領域を取得できません"); }

constexpr const char* BAD_CHARACTER = "正規表現の文字不正";
constexpr const char* BAD_ESCAPE_IN_CLASS = "正規表現のエスケープ不正";
constexpr const char* BAD_FORMAT = "正規表現のフォーマット不正";
constexpr const char* BAD_BRACES = "正規表現のフォーマット不正 ({ })";
constexpr const char* BAD_BRACE_DIGITS = "正規表現の数字フォーマット不正 { }";
constexpr const char* BAD_CLASS_BRACKETS = "正規表現のフォーマット不正 ([ ])";
constexpr const char* NO_PATTERN = "正規表現のフォーマット不正 (パターンなし)";

constexpr const char* GROUP_FORMAT = "のフォーマット不正 (、)";
constexpr const char* LOOKBEHIND_FORMAT = "のフォーマット不正 (?<=...)。(?<!...)";
constexpr const char* LOOKAHEAD_FORMAT = "のフォーマット不正 (?=...)、(?!...)";

bool is_hex(uint16_t u) { return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F'); }
uint16_t hex_value(uint16_t u) {
    if (u <= '9') return uint16_t(u - '0');
    if (u >= 'a') return uint16_t(u - 'a' + 10);
    return uint16_t(u - 'A' + 10);
}
bool is_digit(uint16_t u) { return u >= '0' && u <= '9'; }
bool is_name_start(uint16_t u) { return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_'; }
bool is_name_part(uint16_t u) { return is_name_start(u) || is_digit(u); }
uint16_t upper(uint16_t u) { return (u >= 'a' && u <= 'z') ? uint16_t(u - 32) : u; }

// Reads `digits` hex digits at p (all before end); -1 when they are not.
int32_t read_hex(const uint16_t* pattern, uint32_t p, uint32_t end, uint32_t digits) {
    if (end - p < digits) return -1;
    int32_t value = 0;
    for (uint32_t i = 0; i < digits; ++i) {
        if (!is_hex(pattern[p + i])) return -1;
        value = value * 16 + hex_value(pattern[p + i]);
    }
    return value;
}

// \xHH, \uHHHH or \u{HHHH}, with p at the "x" or "u". Returns the unit and
// sets *next past the escape, or -1.
int32_t read_code_escape(const uint16_t* pattern, uint32_t p, uint32_t end, uint32_t* next) {
    if (pattern[p] == 'x') {
        *next = p + 3;
        return read_hex(pattern, p + 1, end, 2);
    }
    if (p + 1 < end && pattern[p + 1] == '{') {
        const int32_t value = read_hex(pattern, p + 2, end, 4);
        if (value < 0 || p + 6 >= end || pattern[p + 6] != '}') return -1;
        *next = p + 7;
        return value;
    }
    *next = p + 5;
    return read_hex(pattern, p + 1, end, 4);
}

// The position after a class that opens at `open` ("["), or `end` when it
// is not closed. An escaped unit never closes it.
uint32_t skip_class(const uint16_t* pattern, uint32_t open, uint32_t end) {
    uint32_t p = open + 1;
    if (p < end && pattern[p] == '^') ++p;
    while (p < end) {
        if (pattern[p] == '\\') {
            p += 2;
        } else if (pattern[p] == ']') {
            return p + 1;
        } else {
            ++p;
        }
    }
    return end;
}

// Scanning at nesting depth 0: the first unit `stop` from `from` that is not
// escaped, not inside a class and not inside parentheses opened after
// `from`; `end` when there is none. With `stop` ")" this finds the
// parenthesis that closes a group whose "(" was just consumed.
uint32_t find_at_depth_zero(const uint16_t* pattern, uint32_t from, uint32_t end, uint16_t stop) {
    uint32_t depth = 0;
    uint32_t p = from;
    while (p < end) {
        const uint16_t u = pattern[p];
        if (u == '\\') {
            p += 2;
            continue;
        }
        if (u == '[') {
            p = skip_class(pattern, p, end);
            continue;
        }
        if (depth == 0 && u == stop) return p;
        if (u == '(') {
            ++depth;
        } else if (u == ')' && depth > 0) {
            --depth;
        }
        ++p;
    }
    return end;
}

Value compile_range(Compilation& c, uint32_t begin, uint32_t end, uint8_t flags);

// The item that holds a compiled value: fills its header and flags.
uint8_t* new_regex_item(size_t size, uint8_t flags, Value* out) {
    uint8_t* item = nullptr;
    const uint32_t reference = area_alloc(size, &item);
    std::memset(item, 0, size);
    item[REGEX_HEADER_OFFSET] = make_header(TAG_REGEX, 0);
    item[REGEX_FLAGS_OFFSET] = flags;
    *out = make_value(TAG_REGEX, reference);
    return item;
}

// One sequence being built: its pool, its terms, the literal run not yet
// closed, and a lookbehind waiting for the term it belongs to.
class SequenceBuilder {
public:
    SequenceBuilder(Compilation& c, uint32_t begin, uint32_t end, uint8_t flags)
        : c_(c), pattern_(c.pattern), begin_(begin), end_(end), flags_(flags) {}

    // Releases the values compiled so far when the compilation fails.
    ~SequenceBuilder() {
        if (!finished_) {
            for (const RegexTerm& t : terms_) release_values(t);
            if (behind_value_ != 0) release(behind_value_);
        }
    }
    SequenceBuilder(const SequenceBuilder&) = delete;
    SequenceBuilder& operator=(const SequenceBuilder&) = delete;

    Value build() {
        uint32_t p = begin_;
        while (p < end_) p = step(p);
        close_run();
        if (behind_value_ != 0) fail_quoting(c_, 4645, LOOKBEHIND_FORMAT);
        if (terms_.empty()) fail(4785, NO_PATTERN);
        if (pool_.size() > REGEX_COUNT_LIMIT || terms_.size() > REGEX_COUNT_LIMIT) too_large();
        return make_item();
    }

private:
    static void release_values(const RegexTerm& t) {
        if (t.sub != 0) release(t.sub);
        if (is_group_kind(t.kind)) {
            const Value look = group_lookaround(t);
            if (look != 0) release(look);
        }
    }
    static Value group_lookaround(const RegexTerm& t) {
        return load_u32(reinterpret_cast<const uint8_t*>(&t) + TERM_GROUP_LOOKAROUND_OFFSET);
    }

    // ---- terms ----------------------------------------------------------------------

    RegexTerm& push_term(uint8_t kind) {
        RegexTerm t{};
        t.kind = kind;
        terms_.push_back(t);
        RegexTerm& added = terms_.back();
        if (behind_value_ != 0) {
            attach(added, behind_kind_, behind_value_);
            behind_value_ = 0;
        }
        last_quantified_at_ = UINT32_MAX;
        return added;
    }

    static void attach(RegexTerm& t, uint8_t look, Value value) {
        t.lookaround = look;
        if (is_group_kind(t.kind)) {
            store_u32(reinterpret_cast<uint8_t*>(&t) + TERM_GROUP_LOOKAROUND_OFFSET, value);
        } else {
            t.sub = value;
        }
    }

    void add_literal(uint16_t unit) {
        if (flags_ & REGEX_IGNORE_CASE) unit = upper(unit);
        if (run_length_ == 0) run_start_ = static_cast<uint32_t>(pool_.size());
        pool_.push_back(unit);
        ++run_length_;
    }

    // The pending literal run becomes a term of its own (one unit: kind 11).
    void close_run() {
        if (run_length_ == 0) return;
        const uint32_t start = run_start_;
        const uint32_t length = run_length_;
        run_length_ = 0;
        RegexTerm& t = push_term(length == 1 ? TERM_CHARACTER : TERM_LITERAL_RUN);
        t.pool_offset = static_cast<uint16_t>(start);
        t.pool_count = static_cast<uint16_t>(length);
        if (start > REGEX_COUNT_LIMIT || length > REGEX_COUNT_LIMIT) too_large();
    }

    // ---- one step of the pattern ----------------------------------------------------

    uint32_t step(uint32_t p) {
        const uint16_t u = pattern_[p];
        switch (u) {
            case '^':
                if (p != begin_) fail_quoting(c_, 4685, "のォーマット不正 ($)");
                close_run();
                push_term(TERM_LINE_START);
                return p + 1;
            case '$':
                if (p + 1 != end_) fail_quoting(c_, 4687, "のォーマット不正 ($)");
                close_run();
                push_term(TERM_LINE_END);
                return p + 1;
            case '.':
                close_run();
                push_term(TERM_ANY_BUT_NEWLINE);
                return p + 1;
            case '(':
                return group(p);
            case '*':
            case '+':
            case '?':
            case '{':
                return quantifier(p);
            case '[':
                return character_class(p);
            case '\\':
                return escape(p);
            default:
                add_literal(u);
                return p + 1;
        }
    }

    // ---- groups and lookarounds -------------------------------------------------------

    uint32_t group(uint32_t open) {
        const uint32_t close = find_at_depth_zero(pattern_, open + 1, end_, ')');
        if (close >= end_) fail_quoting(c_, 4640, GROUP_FORMAT);
        uint32_t inside = open + 1;
        uint8_t kind = TERM_GROUP;
        uint8_t look = LOOK_NONE;
        uint32_t name = 0;
        if (inside < close && pattern_[inside] == '?' && inside + 1 < close) {
            const uint16_t form = pattern_[inside + 1];
            if (form == ':') {
                kind = TERM_NON_CAPTURING;
                inside += 2;
            } else if (form == '=' || form == '!') {
                look = form == '=' ? LOOK_AHEAD : LOOK_NOT_AHEAD;
                inside += 2;
            } else if (form == '<' && inside + 2 < close &&
                       (pattern_[inside + 2] == '=' || pattern_[inside + 2] == '!')) {
                look = pattern_[inside + 2] == '=' ? LOOK_BEHIND : LOOK_NOT_BEHIND;
                inside += 3;
            } else if (form == '<') {
                inside = group_name(inside + 2, close, &name);
            }
        }
        if (look != LOOK_NONE) return lookaround(look, inside, close);

        close_run();
        uint32_t number = 0;
        if (kind == TERM_GROUP) {
            if (c_.groups >= GROUP_LIMIT) too_large();
            number = ++c_.groups;
        }
        const Value sub = compile_range(c_, inside, close, static_cast<uint8_t>(flags_ & ~0x03));
        retain(sub);
        RegexTerm& t = push_term(kind);
        t.sub = sub;
        t.name = name;
        t.number = static_cast<uint8_t>(number);
        return close + 1;
    }

    // The name of (?<name>...), from `from` (after "<") to ">". Returns the
    // position after ">".
    uint32_t group_name(uint32_t from, uint32_t close, uint32_t* name) {
        uint32_t p = from;
        while (p < close && pattern_[p] != '>') {
            const uint16_t u = pattern_[p];
            if (!(p == from ? is_name_start(u) : is_name_part(u))) fail(4625, "RegExp グループ不正");
            if (p - from >= NAME_MAX_LENGTH) fail(4630, "RegExp グループ不正");
            ++p;
        }
        if (p >= close) fail_quoting(c_, 4635, GROUP_FORMAT);
        if (p == from) fail(4625, "RegExp グループ不正");
        char text[NAME_MAX_LENGTH];
        for (uint32_t i = from; i < p; ++i) text[i - from] = static_cast<char>(pattern_[i]);
        *name = make_value(TAG_NAME, intern(text, p - from));
        return p + 1;
    }

    uint32_t lookaround(uint8_t look, uint32_t inside, uint32_t close) {
        const bool ahead = look == LOOK_AHEAD || look == LOOK_NOT_AHEAD;
        // A pending literal run is the term a lookahead follows, or takes a
        // pending lookbehind.
        close_run();
        if (behind_value_ != 0) fail_quoting(c_, 4645, LOOKBEHIND_FORMAT);
        if (ahead) {
            if (close + 1 < end_) {
                const uint16_t next = pattern_[close + 1];
                if (next == '{' || next == '*' || next == '+' || next == '?') fail_quoting(c_, 4650, LOOKAHEAD_FORMAT);
            }
            // A lookahead belongs to the term before it.
            if (terms_.empty()) fail(4785, NO_PATTERN);
            const uint8_t held = terms_.back().lookaround;
            if (held == LOOK_AHEAD || held == LOOK_NOT_AHEAD) fail_quoting(c_, 4650, LOOKAHEAD_FORMAT);
        } else if (close + 1 >= end_) {
            fail_quoting(c_, 4645, LOOKBEHIND_FORMAT);
        }
        const Value sub = compile_range(c_, inside, close, static_cast<uint8_t>(flags_ & ~0x03));
        retain(sub);
        if (ahead) {
            if (terms_.back().lookaround != LOOK_NONE) {
                wrap_last_term(look, sub);
            } else {
                attach(terms_.back(), look, sub);
            }
        } else {
            // A lookbehind belongs to the term after it.
            behind_kind_ = look;
            behind_value_ = sub;
        }
        return close + 1;
    }

    // A term holds one lookaround. When a lookahead follows a term that has
    // a lookbehind, the term moves into a non-capturing group of its own,
    // (?<=X)T(?=Y) becoming (?<=X)(?:T(?=Y)): the group takes the lookbehind
    // (decided at the same start) and the term inside takes the lookahead.
    void wrap_last_term(uint8_t look, Value look_value) {
        RegexTerm inner = terms_.back();
        const uint8_t behind = inner.lookaround;
        const Value behind_value = is_group_kind(inner.kind) ? group_lookaround(inner) : inner.sub;
        inner.lookaround = LOOK_NONE;
        if (is_group_kind(inner.kind)) {
            store_u32(reinterpret_cast<uint8_t*>(&inner) + TERM_GROUP_LOOKAROUND_OFFSET, 0);
        } else {
            inner.sub = 0;
        }
        std::vector<uint16_t> pool;
        if (!is_group_kind(inner.kind) && inner.pool_count != 0) {
            pool.assign(pool_.begin() + inner.pool_offset, pool_.begin() + inner.pool_offset + inner.pool_count);
            inner.pool_offset = 0;
        }
        attach(inner, look, look_value);
        // The values move with the terms: no count changes.
        terms_.pop_back();
        const Value group = make_sequence(pool, std::vector<RegexTerm>{inner}, flags_);
        retain(group);
        RegexTerm& outer = push_term(TERM_NON_CAPTURING);
        outer.sub = group;
        attach(outer, behind, behind_value);
    }

    // ---- quantifiers ------------------------------------------------------------------

    [[noreturn]] void unquantifiable(uint16_t q) {
        switch (q) {
            case '*': fail_quoting(c_, 4660, "のフォーマット不正 (*)");
            case '+': fail_quoting(c_, 4670, "のォーマット不正 (+)");
            case '?': fail_quoting(c_, 4680, "のォーマット不正 (?)");
            default: fail_quoting(c_, 4620, "のフォーマット不正 ({ })");
        }
    }

    static const char* quantifier_text(uint16_t q) {
        switch (q) {
            case '*': return "正規表現のフォーマット不正 (*)";
            case '+': return "正規表現のフォーマット不正 (+)";
            case '?': return "正規表現のフォーマット不正 (?)";
            default: return "正規表現のフォーマット不正 ({ })";
        }
    }

    // The term a quantifier at p applies to.
    RegexTerm& quantifier_target(uint32_t p) {
        const uint16_t q = pattern_[p];
        if (behind_value_ != 0) fail_quoting(c_, 4645, LOOKBEHIND_FORMAT);
        if (run_length_ > 0) {
            // The run's last character takes the quantifier on its own.
            const uint16_t last = pool_.back();
            pool_.pop_back();
            --run_length_;
            close_run();
            add_literal(last);  // already upper-cased when it was added
            close_run();
            return terms_.back();
        }
        if (terms_.empty()) fail(4605, quantifier_text(q));
        RegexTerm& t = terms_.back();
        if (t.kind == TERM_GROUP || t.kind == TERM_WORD_BOUNDARY || t.kind == TERM_NOT_WORD_BOUNDARY) unquantifiable(q);
        if (t.quantifier != QUANTIFIER_NONE) {
            if (last_quantified_at_ == p) {
                const uint16_t before = pattern_[p - 1];
                if (before == '*') fail_quoting(c_, 4655, "のフォーマット不正 (*)");
                if (before == '+') fail_quoting(c_, 4665, "のフーマット不正 (*+)");
                if (before == '?' && (q == '*' || q == '+')) fail_quoting(c_, 4675, "のォーマット不正 (*)");
            }
            fail(4610, quantifier_text(q));
        }
        if (t.kind == TERM_LINE_START || t.kind == TERM_LINE_END) fail(4610, quantifier_text(q));
        return t;
    }

    uint32_t quantifier(uint32_t p) {
        RegexTerm& t = quantifier_target(p);
        const uint16_t q = pattern_[p];
        uint32_t next = p + 1;
        uint8_t form = QUANTIFIER_AT_LEAST;
        uint32_t min = 0;
        uint32_t max = REGEX_UNBOUNDED;
        if (q == '+') {
            min = 1;
        } else if (q == '?') {
            form = QUANTIFIER_OPTIONAL;
            max = 1;
        } else if (q == '{') {
            next = braces(p, &form, &min, &max);
        }
        if (next < end_ && pattern_[next] == '?') {
            ++next;
            if (form != QUANTIFIER_EXACT) form = static_cast<uint8_t>(form | REGEX_LAZY);
        }
        t.quantifier = form;
        t.min = static_cast<uint16_t>(min);
        t.max = static_cast<uint16_t>(max);
        last_quantified_at_ = next;
        return next;
    }

    // {n}, {n,} or {n,m} from the "{" at p; returns the position after "}".
    uint32_t braces(uint32_t p, uint8_t* form, uint32_t* min, uint32_t* max) {
        uint32_t close = p + 1;
        while (close < end_ && pattern_[close] != '}') ++close;
        if (close >= end_) fail(4780, BAD_CLASS_BRACKETS);
        uint32_t q = p + 1;
        uint32_t n = 0;
        const uint32_t n_start = q;
        while (q < close && is_digit(pattern_[q])) {
            if (n <= REGEX_COUNT_LIMIT) n = n * 10 + (pattern_[q] - '0');
            ++q;
        }
        const bool n_given = q > n_start;
        if (q == close) {
            if (!n_given || n == 0 || n > REGEX_COUNT_LIMIT) fail(4750, BAD_BRACES);
            *form = QUANTIFIER_EXACT;
            *min = *max = n;
            return close + 1;
        }
        if (pattern_[q] != ',') fail(4760, BAD_BRACE_DIGITS);
        ++q;
        uint32_t m = 0;
        const uint32_t m_start = q;
        while (q < close && is_digit(pattern_[q])) {
            if (m <= REGEX_COUNT_LIMIT) m = m * 10 + (pattern_[q] - '0');
            ++q;
        }
        if (q != close) fail(4770, BAD_BRACE_DIGITS);
        if (!n_given || n == 0 || n > REGEX_COUNT_LIMIT) fail(4755, BAD_BRACES);
        *min = n;
        if (q == m_start) {
            *form = QUANTIFIER_AT_LEAST;
            *max = REGEX_UNBOUNDED;
        } else {
            if (m < n || m > REGEX_COUNT_LIMIT) fail(4765, BAD_FORMAT);
            *form = QUANTIFIER_RANGE;
            *max = m;
        }
        return close + 1;
    }

    // ---- classes ----------------------------------------------------------------------

    // One member unit or shorthand inside a class at p. Returns the position
    // after it; *unit is -1 for a shorthand (whose bit is set).
    uint32_t class_member(uint32_t p, int32_t* unit, uint8_t* bits) {
        const uint16_t u = pattern_[p];
        if (u != '\\') {
            *unit = u;
            return p + 1;
        }
        if (p + 1 >= end_) fail(4740, BAD_ESCAPE_IN_CLASS);
        const uint16_t e = pattern_[p + 1];
        *unit = -1;
        switch (e) {
            case 'w': *bits |= SHORTHAND_WORD; return p + 2;
            case 'W': *bits |= SHORTHAND_NOT_WORD; return p + 2;
            case 'd': *bits |= SHORTHAND_DIGIT; return p + 2;
            case 'D': *bits |= SHORTHAND_NOT_DIGIT; return p + 2;
            case 's': *bits |= SHORTHAND_SPACE; return p + 2;
            case 'S': *bits |= SHORTHAND_NOT_SPACE; return p + 2;
            case 'n': *unit = '\n'; return p + 2;
            case 'r': *unit = '\r'; return p + 2;
            case 't': *unit = '\t'; return p + 2;
            case '-': case '[': case '\\': case ']': *unit = e; return p + 2;
            case 'c':
                if (p + 2 >= end_ || pattern_[p + 2] < 'A' || pattern_[p + 2] > 'Z') fail(4725, BAD_CHARACTER);
                *unit = pattern_[p + 2] - 64;
                return p + 3;
            case 'x':
            case 'u': {
                uint32_t next = 0;
                *unit = read_code_escape(pattern_, p + 1, end_, &next);
                if (*unit < 0) fail(e == 'x' ? 4730 : 4735, BAD_CHARACTER);
                return next;
            }
            default:
                fail(4745, BAD_ESCAPE_IN_CLASS);
        }
    }

    uint32_t character_class(uint32_t open) {
        close_run();
        uint32_t p = open + 1;
        bool negated = false;
        if (p < end_ && pattern_[p] == '^') {
            negated = true;
            ++p;
            if (p < end_ && pattern_[p] == ']') {
                push_term(TERM_ANY);
                return p + 1;
            }
        }
        if (p < end_ && pattern_[p] == ']') fail(4600, "正規表現のフォーマット不正 ([ ])");
        const uint32_t first_member = static_cast<uint32_t>(pool_.size());
        uint8_t bits = 0;
        bool first = true;
        for (;;) {
            if (p >= end_) fail(4775, BAD_CLASS_BRACKETS);
            if (pattern_[p] == ']') break;
            int32_t unit = -1;
            if (first && pattern_[p] == '-') {
                unit = '-';
                ++p;
            } else {
                p = class_member(p, &unit, &bits);
            }
            first = false;
            if (unit < 0) continue;
            if (p < end_ && pattern_[p] == '-') {
                if (p + 1 >= end_) fail(4775, BAD_CLASS_BRACKETS);
                if (pattern_[p + 1] == ']') fail(4720, "正規表現のフォーマット不正 ([ - ])");
                int32_t last = -1;
                uint8_t ignored = 0;
                p = class_member(p + 1, &last, &ignored);
                if (last < 0 || unit >= last) fail(4720, "正規表現のフォーマット不正 ([ - ])");
                if (pool_.size() + size_t(last - unit) + 1 > REGEX_COUNT_LIMIT) too_large();
                for (int32_t v = unit; v <= last; ++v) add_member(static_cast<uint16_t>(v));
            } else {
                add_member(static_cast<uint16_t>(unit));
            }
        }
        RegexTerm& t = push_term(negated ? TERM_NEGATED_CLASS : TERM_CLASS);
        t.number = bits;
        t.pool_offset = static_cast<uint16_t>(first_member);
        t.pool_count = static_cast<uint16_t>(pool_.size() - first_member);
        if (pool_.size() > REGEX_COUNT_LIMIT) too_large();
        return p + 1;
    }

    void add_member(uint16_t unit) {
        if (pool_.size() >= REGEX_COUNT_LIMIT) too_large();
        pool_.push_back((flags_ & REGEX_IGNORE_CASE) ? upper(unit) : unit);
    }

    // ---- escapes outside classes ------------------------------------------------------

    uint32_t escape(uint32_t p) {
        if (p + 1 >= end_) fail(4710, BAD_FORMAT);
        const uint16_t e = pattern_[p + 1];
        if (e >= 126) fail(4715, BAD_FORMAT);
        switch (e) {
            // Syntax characters written literally; "*" and "+" could not be
            // written at all otherwise.
            case '$': case '(': case ')': case '.': case '/': case '?': case '[': case '\\':
            case ']': case '^': case '{': case '|': case '}': case '*': case '+':
                add_literal(e);
                return p + 2;
            case '0': add_literal(0); return p + 2;
            case 'f': add_literal('\f'); return p + 2;
            case 'n': add_literal('\n'); return p + 2;
            case 'r': add_literal('\r'); return p + 2;
            case 't': add_literal('\t'); return p + 2;
            case 'v': add_literal('\v'); return p + 2;
            case 'b': return shorthand(TERM_WORD_BOUNDARY, p);
            case 'B': return shorthand(TERM_NOT_WORD_BOUNDARY, p);
            case 'd': return shorthand(TERM_DIGIT, p);
            case 'D': return shorthand(TERM_NOT_DIGIT, p);
            case 's': return shorthand(TERM_SPACE, p);
            case 'S': return shorthand(TERM_NOT_SPACE, p);
            case 'w': return shorthand(TERM_WORD, p);
            case 'W': return shorthand(TERM_NOT_WORD, p);
            case 'c':
                if (p + 2 >= end_ || pattern_[p + 2] < 'A' || pattern_[p + 2] > 'Z') fail(4690, BAD_CHARACTER);
                add_literal(static_cast<uint16_t>(pattern_[p + 2] - 64));
                return p + 3;
            case 'x':
            case 'u': {
                uint32_t next = 0;
                const int32_t unit = read_code_escape(pattern_, p + 1, end_, &next);
                if (unit < 0) fail(e == 'x' ? 4695 : 4700, BAD_CHARACTER);
                add_literal(static_cast<uint16_t>(unit));
                return next;
            }
            default:
                if (e >= '1' && e <= '9') {
                    const uint32_t number = e - '0';
                    if (number > c_.groups) fail(4705, "正規表現のフォーマット不正 (\\0 ... \\9)");
                    close_run();
                    push_term(TERM_BACKREFERENCE).number = static_cast<uint8_t>(number);
                    return p + 2;
                }
                fail(4715, BAD_FORMAT);
        }
    }

    uint32_t shorthand(uint8_t kind, uint32_t p) {
        close_run();
        push_term(kind);
        return p + 2;
    }

    // ---- the item ---------------------------------------------------------------------

    static Value make_sequence(const std::vector<uint16_t>& pool, const std::vector<RegexTerm>& terms, uint8_t flags) {
        const uint32_t pool_length = static_cast<uint32_t>(pool.size());
        const uint32_t count = static_cast<uint32_t>(terms.size());
        uint8_t* array = nullptr;
        const uint32_t array_reference = area_alloc(size_t(count) * REGEX_TERM_SIZE, &array);
        // The term structs are the little-endian bytes of the layout.
        std::memcpy(array, terms.data(), size_t(count) * REGEX_TERM_SIZE);
        Value value = 0;
        uint8_t* item = new_regex_item(regex_sequence_size(pool_length), flags, &value);
        store_u16(item + REGEX_COUNT_OFFSET, static_cast<uint16_t>(count));
        store_u32(item + REGEX_REFERENCE_OFFSET, array_reference);
        store_u16(item + REGEX_POOL_LENGTH_OFFSET, static_cast<uint16_t>(pool_length));
        if (pool_length != 0) std::memcpy(item + REGEX_POOL_OFFSET, pool.data(), size_t(pool_length) * 2);
        return value;
    }

    Value make_item() {
        const Value value = make_sequence(pool_, terms_, flags_);
        finished_ = true;
        return value;
    }

    Compilation& c_;
    const uint16_t* pattern_;
    uint32_t begin_;
    uint32_t end_;
    uint8_t flags_;
    std::vector<uint16_t> pool_;
    std::vector<RegexTerm> terms_;
    uint32_t run_start_ = 0;
    uint32_t run_length_ = 0;
    uint8_t behind_kind_ = LOOK_NONE;
    Value behind_value_ = 0;
    uint32_t last_quantified_at_ = UINT32_MAX;  // position right after the last term's quantifier
    bool finished_ = false;
};

// compile_sequence: the alternative from `start` to the next top-level "|"
// (or `end`). Returns the position after that "|", or `end` when the
// alternative was the last (*more false).
uint32_t compile_sequence(Compilation& c, uint32_t end, uint32_t start, uint8_t flags, Value* out, bool* more) {
    const uint32_t stop = find_at_depth_zero(c.pattern, start, end, '|');
    if (stop == start) fail(4615, "正規表現のフォーマット不正 (空文字列)");
    SequenceBuilder builder(c, start, stop, flags);
    *out = builder.build();
    *more = stop < end;
    return *more ? stop + 1 : end;
}

// Releases the alternatives compiled so far when a later one fails.
struct AlternativeList {
    std::vector<Value> values;
    bool kept = false;
    ~AlternativeList() {
        if (!kept) {
            for (Value v : values) release(v);
        }
    }
};

Value compile_range(Compilation& c, uint32_t begin, uint32_t end, uint8_t flags) {
    if (begin >= end) fail(4790, NO_PATTERN);
    check_stack_room();
    AlternativeList alternatives;
    uint32_t p = begin;
    for (;;) {
        Value v = 0;
        bool more = false;
        p = compile_sequence(c, end, p, flags, &v, &more);
        retain(v);
        alternatives.values.push_back(v);
        if (!more) break;
    }
    if (alternatives.values.size() == 1) {
        alternatives.kept = true;
        const Value only = alternatives.values[0];
        unhold(only);
        return only;
    }
    const uint32_t count = static_cast<uint32_t>(alternatives.values.size());
    if (count > REGEX_COUNT_LIMIT) too_large();
    uint8_t* list = nullptr;
    const uint32_t list_reference = area_alloc(size_t(count) * REGEX_ALTERNATIVE_SIZE, &list);
    for (uint32_t i = 0; i < count; ++i) store_u32(list + REGEX_ALTERNATIVE_SIZE * i, alternatives.values[i]);
    Value value = 0;
    uint8_t* item = new_regex_item(REGEX_ALTERNATION_SIZE, static_cast<uint8_t>(flags | REGEX_ALTERNATION), &value);
    store_u16(item + REGEX_COUNT_OFFSET, static_cast<uint16_t>(count));
    store_u32(item + REGEX_REFERENCE_OFFSET, list_reference);
    alternatives.kept = true;
    return value;
}

}  // namespace

Value compile_regex(const uint16_t* pattern, uint32_t count, uint8_t flags) {
    Compilation c{pattern, count, 0};
    return compile_range(c, 0, count, flags);
}

}  // namespace kova

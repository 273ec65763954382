// The RegExp object: construction by RegExp(pattern[, flags]) (node kind
// 182, with or without `new`), exec and test with their lastIndex rules,
// and the match result of exec.
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "eval/access.h"
#include "eval/eval.h"
#include "eval/handlers.h"
#include "parser/parser.h"
#include "regex/regex.h"

namespace kova {

namespace {

// A pattern compiled while the script runs reports its errors at the
// running script's place.
class RunTimePlace {
public:
    RunTimePlace() : line_(g_parser.line), module_(g_parser.module) {
        g_parser.module = g_errors.module;
        g_parser.line = g_errors.line;
    }
    ~RunTimePlace() {
        g_parser.line = line_;
        g_parser.module = module_;
    }
    RunTimePlace(const RunTimePlace&) = delete;
    RunTimePlace& operator=(const RunTimePlace&) = delete;

private:
    uint32_t line_;
    uint32_t module_;
};

Value truth(bool b) { return make_value(TAG_NAME, b ? NAME_TRUE : NAME_FALSE); }

// Pairs of a keyed array being filled: each value is held by the array.
class KeyedBuilder {
public:
    explicit KeyedBuilder(uint32_t count) : value_(new_keyed_cell(count, count, &pairs_)) {}
    void add(uint32_t key, Value v) {
        store_u32(pairs_ + 8 * size_t(next_), key);
        store_u32(pairs_ + 8 * size_t(next_) + 4, v);
        retain(v);
        ++next_;
    }
    Value value() const { return value_; }

private:
    uint8_t* pairs_ = nullptr;
    Value value_;
    uint32_t next_ = 0;
};

Value span_array(int32_t start, int32_t end) {
    const Value pair[2] = {new_integer(start), new_integer(end)};
    return new_array(pair, 2);
}

// The start for exec and test: lastIndex under g or y, else 0.
uint32_t search_start(Value compiled) {
    if (!(regex_flags(compiled) & (REGEX_GLOBAL | REGEX_STICKY))) return 0;
    const int32_t last = regex_last_index(compiled);
    return last < 0 ? 0 : uint32_t(last);
}

// Searches for exec and test; -1 when nothing matched (lastIndex is then 0).
int32_t run_search(Value compiled, Value string, RegexSubject* subject, int32_t* start) {
    const uint8_t flags = regex_flags(compiled);
    *subject = regex_subject(string, (flags & REGEX_IGNORE_CASE) != 0);
    const int32_t end = regex_search(*subject, search_start(compiled), compiled, start, flags);
    if (end < 0) regex_set_last_index(compiled, 0);
    return end;
}

}  // namespace

Value compile_regex_at_run_time(const char* pattern, size_t length, uint8_t flags) {
    RunTimePlace place;
    return compile_regex_text(pattern, length, flags);
}

RegexSubject regex_string_subject(Value string, bool fold) {
    const RegexSubject subject = regex_subject(string, fold);
    if (subject.length == 0 && string_length(string) != 0) {
        RunTimePlace place;
        raise_parse_error(4800, "文字のEncode変換不正");
    }
    return subject;
}

Value regex_match_result(Value compiled, Value string, const RegexSubject& subject) {
    int32_t start = 0;
    int32_t end = 0;
    regex_capture(0, &start, &end);
    const uint32_t groups = regex_group_count(compiled);
    const Value undefined = make_value(TAG_NAME, NAME_UNDEFINED);

    // indices: 0 and the groups' spans, groups, length
    KeyedBuilder indices(groups + 3);
    indices.add(make_integer_key(0), span_array(start, end));
    uint32_t named = 0;
    for (uint32_t g = 1; g <= groups; ++g) {
        int32_t from = 0;
        int32_t to = 0;
        indices.add(make_integer_key(g), regex_capture(g, &from, &to) ? span_array(from, to) : undefined);
        if (regex_group_name(compiled, g) >= 0) ++named;
    }
    Value group_texts = undefined;
    if (named != 0) {
        KeyedBuilder texts(named);
        for (uint32_t g = 1; g <= groups; ++g) {
            const int32_t name = regex_group_name(compiled, g);
            if (name < 0) continue;
            int32_t from = 0;
            int32_t to = 0;
            texts.add(uint32_t(name), regex_capture(g, &from, &to) ? regex_piece(subject, from, to) : undefined);
        }
        group_texts = texts.value();
    }
    indices.add(NAME_GROUPS, group_texts);
    indices.add(NAME_LENGTH, new_integer(int32_t(groups + 1)));

    KeyedBuilder result(groups + 4);
    result.add(make_integer_key(0), regex_piece(subject, start, end));
    result.add(NAME_INDEX, new_integer(start));
    result.add(NAME_INPUT, string);
    result.add(NAME_INDICES, indices.value());
    for (uint32_t g = 1; g <= groups; ++g) {
        int32_t from = 0;
        int32_t to = 0;
        result.add(make_integer_key(g), regex_capture(g, &from, &to) ? regex_piece(subject, from, to) : undefined);
    }
    return result.value();
}

Value regex_exec(Value compiled, Value string) {
    RegexSubject subject{};
    int32_t start = 0;
    const int32_t end = run_search(compiled, string, &subject, &start);
    if (end < 0) return make_value(TAG_NAME, NAME_NULL);
    if (regex_flags(compiled) & (REGEX_GLOBAL | REGEX_STICKY)) regex_set_last_index(compiled, end);
    return regex_match_result(compiled, string, subject);
}

Value regex_test(Value compiled, Value string) {
    RegexSubject subject{};
    int32_t start = 0;
    const int32_t end = run_search(compiled, string, &subject, &start);
    if (end < 0) return truth(false);
    // An empty match counts as none.
    if (start >= end) {
        regex_set_last_index(compiled, 0);
        return truth(false);
    }
    if (regex_flags(compiled) & (REGEX_GLOBAL | REGEX_STICKY)) regex_set_last_index(compiled, end);
    return truth(true);
}

Value eval_regexp(Value node) {
    const uint32_t count = operand_count(node);
    HeldValue pattern(count > 0 ? evaluate(operand(node, 0)) : make_value(TAG_NAME, NAME_UNDEFINED));
    if (value_tag(pattern.get()) != TAG_STRING) raise_runtime_error(5085, "正規表現のパターン不正(非文字列)");
    uint8_t flags = 0;
    if (count > 1) {
        HeldValue letters(evaluate(operand(node, 1)));
        if (value_tag(letters.get()) != TAG_STRING) raise_runtime_error(5090, "正規表現のオプション不正(非文字列)");
        RunTimePlace place;
        flags = parse_flags(string_text(letters.get()), string_length(letters.get()));
    }
    return compile_regex_at_run_time(string_text(pattern.get()), string_length(pattern.get()), flags);
}

}  // namespace kova

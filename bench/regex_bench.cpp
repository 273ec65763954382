// Regular-expression searches timed inside the interpreter's library.
//
// 1. Patterns whose repetitions combine in a huge number of ways, on a
//    subject of 10,000 units: the time of one search with the memory of
//    failed continuations, and what happens without it (the step bound).
// 2. Ordinary searches over a text of about 1 MB, every match found in
//    turn, with the memory's bookkeeping on and off: its cost on patterns
//    that do not need it.
//
// Prints the best of several runs in milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/areas.h"
#include "core/errors.h"
#include "core/values.h"
#include "host/process_state.h"
#include "parser/module_table.h"
#include "regex/regex.h"
#include "regex/state.h"

namespace {

using namespace kova;
using Clock = std::chrono::steady_clock;

constexpr int RUNS = 9;

struct Outcome {
    double milliseconds;
    int32_t matches;  // -1: the search raised an error
    int error;
};

int error_code(const ScriptUnwind& unwind) {
    size_t length = 0;
    const char* code = error_code_text(unwind.value, &length);
    return std::atoi(std::string(code, length).c_str());
}

// Every match of `compiled` in `subject`, each search from the end of the
// last (one unit further after an empty match): one run.
Outcome one_run(Value compiled, const RegexSubject& subject, uint8_t flags) {
    const Clock::time_point start = Clock::now();
    int32_t matches = 0;
    int error = 0;
    try {
        uint32_t from = 0;
        int32_t match_start = 0;
        for (;;) {
            const int32_t end = regex_search(subject, from, compiled, &match_start, flags);
            if (end < 0) break;
            ++matches;
            from = uint32_t(end > match_start ? end : end + 1);
        }
    } catch (const ScriptUnwind& unwind) {
        matches = -1;
        error = error_code(unwind);
    }
    return Outcome{std::chrono::duration<double, std::milli>(Clock::now() - start).count(), matches, error};
}

// The best of RUNS runs with the memo and without it, taking turns so that
// the machine's load falls on both alike.
void best_runs(Value compiled, const RegexSubject& subject, uint8_t flags, Outcome* with, Outcome* without) {
    *with = Outcome{1e300, 0, 0};
    *without = Outcome{1e300, 0, 0};
    for (int run = 0; run < RUNS; ++run) {
        g_regex.memo_disabled = false;
        const Outcome a = one_run(compiled, subject, flags);
        g_regex.memo_disabled = true;
        const Outcome b = one_run(compiled, subject, flags);
        g_regex.memo_disabled = false;
        if (a.milliseconds < with->milliseconds) *with = a;
        if (b.milliseconds < without->milliseconds) *without = b;
    }
}

Value compile(const char* pattern, uint8_t flags) {
    const Value v = compile_regex_text(pattern, std::strlen(pattern), flags);
    retain(v);
    return v;
}

void print_outcome(const Outcome& o) {
    if (o.matches < 0) {
        std::printf("%10.2f ms  error %d", o.milliseconds, o.error);
    } else {
        std::printf("%10.2f ms  %d matches", o.milliseconds, o.matches);
    }
}

}  // namespace

int main() {
    reset_process_state();
    module_add("bench.js", 8);
    areas_enter_run_mode();

    std::printf("Patterns with many ways to combine repetitions, subject of 10,000 units\n");
    std::printf("%-24s %-14s %28s %28s\n", "pattern", "subject", "with memo", "without memo");
    const std::string as(10000, 'a');
    const std::string as_b = as + "b";
    struct Case {
        const char* pattern;
        const std::string* text;
        const char* label;
    };
    const Case pathological[] = {
        {"a*a*a*a*a*a*b", &as, "a x 10000"},  {"(?:a|aa)*c", &as, "a x 10000"},
        {"(?:a+)+b", &as, "a x 10000"},       {"a*a*a*a*a*a*b", &as_b, "a x 10000, b"},
        {"(?:a|aa)*?b", &as_b, "a x 10000, b"}, {"a{1,5000}a{1,5000}b", &as, "a x 10000"},
    };
    for (const Case& c : pathological) {
        const Value subject_text = new_string(c.text->data(), c.text->size());
        retain(subject_text);
        const RegexSubject subject = regex_subject(subject_text, false);
        const Value compiled = compile(c.pattern, 0);
        Outcome with{};
        Outcome without{};
        best_runs(compiled, subject, 0, &with, &without);
        std::printf("%-24s %-14s ", c.pattern, c.label);
        print_outcome(with);
        std::printf("  ");
        print_outcome(without);
        std::printf("\n");
    }

    // A text of about 1 MB of lines of words, dates and addresses.
    std::string text;
    for (int n = 0; text.size() < 1000000; ++n) {
        text += "Line " + std::to_string(n) + ": shipping " + std::to_string(n % 97) + " items on 2024-0" +
                std::to_string(n % 9 + 1) + "-1" + std::to_string(n % 10) + " to user" + std::to_string(n) +
                "@example.com, Tokyo\n";
    }
    const Value text_value = new_string(text.data(), text.size());
    retain(text_value);
    std::printf("\nOrdinary searches over %zu units, every match in turn\n", text.size());
    std::printf("%-30s %28s %28s %8s\n", "pattern", "with memo", "without memo", "ratio");
    struct Ordinary {
        const char* pattern;
        uint8_t flags;
    };
    const Ordinary ordinary[] = {
        {"needle", 0},
        {"(\\w+)@(\\w+)\\.com", 0},
        {"(\\d{4})-(\\d\\d)-(\\d+)", 0},
        {"\\bshipping \\d+ items?\\b", 0},
        {"[A-Z][a-z]+ing", 0},
        {"tokyo$", REGEX_IGNORE_CASE | REGEX_MULTILINE},
        {"\\s+\\d+:", 0},
        {"user\\d+@|example\\.org", 0},
    };
    for (const Ordinary& o : ordinary) {
        const RegexSubject subject = regex_subject(text_value, (o.flags & REGEX_IGNORE_CASE) != 0);
        const Value compiled = compile(o.pattern, o.flags);
        Outcome with{};
        Outcome without{};
        best_runs(compiled, subject, o.flags, &with, &without);
        std::printf("%-30s ", o.pattern);
        print_outcome(with);
        std::printf("  ");
        print_outcome(without);
        std::printf("  %6.2f\n", with.milliseconds / without.milliseconds);
    }
    return 0;
}

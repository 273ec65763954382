// Fuzz target: any pattern and flag text must compile or end in its
// numbered error; a compiled pattern must search any subject from any start
// without a crash, a sanitizer report or a run past the step bound, giving
// spans inside the subject; its rebuilt source must compile back to the
// same source.
//
// Input: one byte choosing the flags, then the pattern up to the first line
// feed, the subject up to the next, and a replacement template (the rest).
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/areas.h"
#include "core/errors.h"
#include "core/value_text.h"
#include "core/values.h"
#include "host/process_state.h"
#include "parser/module_table.h"
#include "regex/regex.h"

namespace {

using namespace kova;

std::string source_of(Value compiled) {
    LocalText<TEXT_SCRATCH_SIZE> text;
    append_regex_source(compiled, text);
    return std::string(text.data, text.length);
}

// Every span of the last search lies inside the subject.
void check_spans(Value compiled, int32_t start, int32_t end, uint32_t from, uint32_t length) {
    if (start < int32_t(from) || end < start || uint32_t(end) > length) std::abort();
    for (uint32_t g = 0; g <= regex_group_count(compiled); ++g) {
        int32_t a = 0;
        int32_t b = 0;
        if (regex_capture(g, &a, &b) && (a < 0 || b < a || uint32_t(b) > length)) std::abort();
    }
}

void search_all(Value compiled, Value subject_value, const std::string& replacement) {
    const uint8_t own = regex_flags(compiled);
    const uint8_t variants[2] = {own, static_cast<uint8_t>(own ^ REGEX_STICKY)};
    for (uint8_t flags : variants) {
        const RegexSubject subject = regex_subject(subject_value, (flags & REGEX_IGNORE_CASE) != 0);
        const uint32_t starts[2] = {0, subject.length / 2};
        for (uint32_t from : starts) {
            try {
                int32_t start = 0;
                const int32_t end = regex_search(subject, from, compiled, &start, flags);
                if (end < 0) continue;
                check_spans(compiled, start, end, from, subject.length);
                LocalText<TEXT_SCRATCH_SIZE> out;
                expand_replacement(compiled, subject, replacement.data(), replacement.size(), out);
                release_if_temporary(regex_match_result(compiled, subject_value, subject));
            } catch (const ScriptUnwind& unwind) {
                // The template's errors end here, and the step bound: a
                // pattern that reached it would only reach it again, so one
                // such search is enough for an input.
                size_t length = 0;
                const char* code = error_code_text(unwind.value, &length);
                if (length == 4 && std::memcmp(code, "4810", 4) == 0) return;
            }
        }
    }
    try {
        release_if_temporary(regex_exec(compiled, subject_value));
        release_if_temporary(regex_test(compiled, subject_value));
    } catch (const ScriptUnwind&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    reset_process_state();
    module_add("fuzz.js", 7);
    areas_enter_run_mode();
    if (size == 0) return 0;
    const uint8_t flags = data[0] & REGEX_FLAG_BITS;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t pattern_end = std::min(rest.find('\n'), rest.size());
    const std::string pattern = rest.substr(0, pattern_end);
    const std::string after = pattern_end < rest.size() ? rest.substr(pattern_end + 1) : std::string();
    const size_t subject_end = std::min(after.find('\n'), after.size());
    const std::string subject = after.substr(0, subject_end);
    const std::string replacement = subject_end < after.size() ? after.substr(subject_end + 1) : std::string();

    Value compiled = 0;
    try {
        compiled = compile_regex_text(pattern.data(), pattern.size(), flags);
    } catch (const ScriptUnwind&) {
        return 0;
    }
    retain(compiled);

    // The rebuilt source compiles back to the same source.
    const std::string source = source_of(compiled);
    try {
        const Value again = compile_regex_text(source.data(), source.size(), flags);
        if (source_of(again) != source) std::abort();
        release_if_temporary(again);
    } catch (const ScriptUnwind&) {
        std::abort();
    }

    const Value subject_value = new_string(subject.data(), subject.size());
    retain(subject_value);
    try {
        search_all(compiled, subject_value, replacement);
    } catch (const ScriptUnwind&) {
        // A subject character above U+FFFF (1595).
    }
    release(subject_value);
    release(compiled);
    return 0;
}

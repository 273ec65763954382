// The replacement template of String replace: "$n" and "$<name>" stand for
// the texts of the last match's groups; everything else is copied.
#include "core/errors.h"
#include "core/names.h"
#include "core/value_text.h"
#include "regex/regex.h"

namespace kova {

namespace {

constexpr uint32_t SUBSTITUTION_LIMIT = 255;
constexpr uint32_t TEMPLATE_GROUP_LIMIT = 128;
constexpr size_t TEMPLATE_NAME_LIMIT = 200;

[[noreturn]] void bad_group_number() { raise_runtime_error(2717, "正規表現 $n 不正"); }

}  // namespace

void expand_replacement(Value compiled, const RegexSubject& subject, const char* text, size_t length,
                        TextBuffer& out) {
    const uint32_t groups = regex_group_count(compiled);
    if (groups > TEMPLATE_GROUP_LIMIT) bad_group_number();
    uint32_t substitutions = 0;
    size_t copied = 0;  // text before this is in the output
    size_t i = 0;
    const auto substitute = [&](size_t from, size_t next, uint32_t group) {
        if (++substitutions > SUBSTITUTION_LIMIT) raise_runtime_error(2716, "正規表現 置換個数不正");
        append_text_bytes(out, text + copied, from - copied);
        int32_t start = 0;
        int32_t end = 0;
        if (regex_capture(group, &start, &end)) append_subject_text(out, subject, start, end);
        copied = next;
    };
    while (i < length) {
        if (text[i] != '$' || (i > 0 && text[i - 1] == '\\') || i + 1 >= length) {
            ++i;
            continue;
        }
        const char next = text[i + 1];
        if (next >= '0' && next <= '9') {
            size_t j = i + 1;
            uint32_t n = 0;
            while (j < length && text[j] >= '0' && text[j] <= '9') {
                if (n <= groups) n = n * 10 + uint32_t(text[j] - '0');
                ++j;
            }
            if (n < 1 || n > groups) bad_group_number();
            substitute(i, j, n);
            i = j;
        } else if (next == '<') {
            // The name runs to the next ">" not preceded by a backslash.
            size_t close = i + 2;
            while (close < length && !(text[close] == '>' && text[close - 1] != '\\')) ++close;
            if (close >= length) {
                ++i;
                continue;
            }
            const size_t name_length = close - (i + 2);
            if (name_length > TEMPLATE_NAME_LIMIT) raise_runtime_error(2718, "RegExp グループ不正");
            const int32_t name = find_name(text + i + 2, name_length);
            const int32_t group = name < 0 ? -1 : regex_group_of_name(compiled, uint32_t(name));
            if (group > 0) substitute(i, close + 1, uint32_t(group));
            i = close + 1;
        } else {
            ++i;
        }
    }
    append_text_bytes(out, text + copied, length - copied);
}

}  // namespace kova

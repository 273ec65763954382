// Template strings: each `${...}` of a backquoted literal is evaluated like
// an `eval` text whenever the literal is evaluated, and the value's text
// (strings without quotes) takes the marker's place in a new string.
#include <cstring>

#include "core/value_text.h"
#include "core/values.h"
#include "eval/calls.h"
#include "eval/eval.h"

namespace kova {

namespace {

// Backslashes directly before position `at`, not looking before `from`.
size_t backslashes_before(const char* text, size_t from, size_t at) {
    size_t count = 0;
    while (at > from + count && text[at - count - 1] == '\\') ++count;
    return count;
}

// The position of the next "${" at or after `from`, or `length`.
size_t find_marker(const char* text, size_t from, size_t length) {
    for (size_t i = from; i + 1 < length; ++i) {
        if (text[i] == '$' && text[i + 1] == '{') return i;
    }
    return length;
}

}  // namespace

Value expand_template(Value string) {
    // A copy of the template: evaluating a substitution may let go of the
    // literal itself (by replacing the function that holds it).
    LocalText<TEMPLATE_BUFFER_SIZE> source;
    append_text_bytes(source, string_text(string), string_length(string));
    const char* text = source.data;
    const size_t length = source.length;

    LocalText<TEMPLATE_BUFFER_SIZE> output;
    size_t scan = 0;
    for (;;) {
        const size_t dollar = find_marker(text, scan, length);
        if (dollar == length) break;
        const size_t open = dollar + 2;
        if (backslashes_before(text, 0, dollar) % 2 == 1) {
            // An escaped marker stays as written, backslashes included.
            append_text_bytes(output, text + scan, open - scan);
            scan = open;
            continue;
        }
        const char* close_at = static_cast<const char*>(std::memchr(text + open, '}', length - open));
        if (close_at == nullptr) raise_runtime_error(2010, "フォーマット不正 ${ ... }");
        const size_t close = static_cast<size_t>(close_at - text);
        if (backslashes_before(text, open, close) % 2 == 1) raise_runtime_error(2010, "フォーマット不正 ${ ... }");

        append_text_bytes(output, text + scan, dollar - scan);
        const size_t expression_length = close - open;
        if (expression_length >= TEMPLATE_EXPRESSION_LIMIT) {
            raise_runtime_error(2005, "バッファーのオーバーフロー ${...}");
        }
        // One byte before the expression, where a line would start.
        char expression[TEMPLATE_EXPRESSION_LIMIT + 1];
        expression[0] = '\n';
        std::memcpy(expression + 1, text + open, expression_length);
        expression[expression_length + 1] = '\0';

        bool any_statement = false;
        const Value value = evaluate_run_time_text(expression + 1, &any_statement);
        if (any_statement) append_value_text(value, output, false);
        release_if_temporary(value);
        scan = close + 1;
    }
    append_text_bytes(output, text + scan, length - scan);
    return new_string(output.data, output.length);
}

}  // namespace kova

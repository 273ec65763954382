// The methods of regular-expression values: exec, test and toString.
#include "builtins/method_table.h"
#include "core/errors.h"
#include "core/value_text.h"
#include "core/values.h"
#include "regex/regex.h"

namespace kova {

namespace {

Value regexp_exec(Value receiver, const Value* arguments, uint32_t) {
    if (value_tag(arguments[0]) != TAG_STRING) raise_runtime_error(5042, "引数不正(非文字列)");
    return regex_exec(receiver, arguments[0]);
}

Value regexp_test(Value receiver, const Value* arguments, uint32_t) {
    if (value_tag(arguments[0]) != TAG_STRING) raise_runtime_error(5045, "引数不正(非文字列)");
    return regex_test(receiver, arguments[0]);
}

Value regexp_to_string(Value receiver, const Value*, uint32_t) {
    LocalText<TEXT_SCRATCH_SIZE> text;
    append_regex_text(receiver, text);
    return new_string(text.data, text.length);
}

const Method METHODS[] = {
    {"exec", regexp_exec, 1, 1},
    {"test", regexp_test, 1, 1},
    {"toString", regexp_to_string, 0, 0},
};

}  // namespace

const MethodTable REGEXP_METHODS = {METHODS, sizeof METHODS / sizeof METHODS[0], 5070, "正規表現のメソッド名不正",
                                    0, 5075, 5075, "引数の個数不正"};

}  // namespace kova

// Finding a method by its whole name and checking its argument rule.
#include "builtins/method_table.h"

#include <cstring>

#include "core/errors.h"
#include "core/names.h"

namespace kova {

const Method* find_method(const MethodTable& table, uint32_t name) {
    // Whole names only: a name that is part of a longer one (`s.a()` and
    // `charAt`) is not a method.
    const char* text = name_text(name);
    const uint32_t length = name_length(name);
    for (uint32_t i = 0; i < table.count; ++i) {
        const char* candidate = table.methods[i].name;
        if (candidate[0] == text[0] && std::strlen(candidate) == length && std::memcmp(candidate, text, length) == 0) {
            return &table.methods[i];
        }
    }
    return nullptr;
}

Value call_method(const MethodTable& table, uint32_t name, Value receiver, const Value* arguments,
                  uint32_t count) {
    const Method* method = find_method(table, name);
    if (method == nullptr) raise_runtime_error(table.unknown_code, "%s", table.unknown_message);
    if (method->handler == nullptr) raise_runtime_error(table.missing_code, "%s", table.unknown_message);
    if (count < method->min_arguments) raise_runtime_error(table.too_few_code, "%s", table.count_message);
    if (count > method->max_arguments) raise_runtime_error(table.too_many_code, "%s", table.count_message);
    return method->handler(receiver, arguments, count);
}

}  // namespace kova

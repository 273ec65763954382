// The parser's process-wide state and the growing statement lists.
#include "parser/parser.h"

#include <cstdlib>
#include <cstring>

#include "core/errors.h"

namespace kova {

ParserState g_parser;

namespace {

constexpr uint32_t STATEMENT_LIST_STEP = 2048;

}  // namespace

void parser_reset() {
    // The declaration lists are heap blocks grown by the statement parser.
    std::free(g_parser.local_names);
    std::free(g_parser.block_names);
    g_parser = ParserState{};
    g_parser.line = 1;
}

void statement_list_append(StatementList* list, Value v) {
    if (list->count == list->capacity) {
        const uint32_t capacity = list->capacity + STATEMENT_LIST_STEP;
        auto* items = static_cast<Value*>(std::malloc(size_t(capacity) * sizeof(Value)));
        if (items == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
        if (list->count != 0) std::memcpy(items, list->items, size_t(list->count) * sizeof(Value));
        if (list->heap_owned) std::free(list->items);
        list->items = items;
        list->capacity = capacity;
        list->heap_owned = true;
    }
    list->items[list->count++] = v;
}

}  // namespace kova

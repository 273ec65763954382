// Expression lists: tokenizing a list and handing it to the reduction, and
// the work state the expression and statement parsers share.
#include "parser/expressions.h"

#include <cstdlib>
#include <cstring>

#include "core/errors.h"
#include "parser/lexer.h"

namespace kova {

const ListRules EXPRESSION_RULES = {TOKEN_LIMIT, 1120, 1125, 1123};
const ListRules MEMBER_RULES = {TOKEN_LIMIT, 1060, 1065, 1065};
const ListRules TOP_CALL_RULES = {TOP_CALL_TOKEN_LIMIT, 1720, 1730, 1730};

ExpressionState g_expression;
WordStack g_word_stack;
WordStack g_case_stack;

namespace {

constexpr uint32_t WORD_STACK_STEP = 2048;

void free_word_stack(WordStack* stack) {
    std::free(stack->words);
    *stack = WordStack{};
}

}  // namespace

void expressions_reset() {
    g_expression = ExpressionState{};
    free_word_stack(&g_word_stack);
    free_word_stack(&g_case_stack);
}

void word_stack_push(WordStack* stack, uint32_t word) {
    if (stack->count == stack->capacity) {
        const uint32_t capacity = stack->capacity + WORD_STACK_STEP;
        auto* words = static_cast<uint32_t*>(std::malloc(size_t(capacity) * sizeof(uint32_t)));
        if (words == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
        if (stack->count != 0) std::memcpy(words, stack->words, size_t(stack->count) * sizeof(uint32_t));
        std::free(stack->words);
        stack->words = words;
        stack->capacity = capacity;
    }
    stack->words[stack->count++] = word;
}

NestingGuard::NestingGuard(uint32_t* depth, uint32_t limit, const char* text) : depth_(depth) {
    if (*depth >= limit) raise_parse_error(1015, "ステートメント不正(%s)", excerpt(text, 100));
    ++*depth;
}

char* parse_expression_list(char* text, Value* values, uint32_t limit, uint32_t* count, bool retain) {
    NestingGuard nesting(&g_expression.list_depth, LIST_NESTING_LIMIT, text);
    TokenList list;
    list.begin(&EXPRESSION_RULES, text);
    char* p = text;
    while (!list.ended) p = next_token(p, &list);
    finish_token_list(&list, values, limit, count, retain);
    return p;
}

}  // namespace kova

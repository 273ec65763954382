// Function declarations and literals: the function record (tag 14) with its
// parameters, its `var` names and its body block.
#include <cstdint>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "parser/declarations.h"
#include "parser/expressions.h"
#include "parser/node_kinds.h"
#include "parser/nodes.h"
#include "parser/statements.h"

namespace kova {

namespace {

constexpr uint32_t PARAMETER_LIMIT = 256;     // at most 255 parameters
constexpr uint32_t LOCAL_NAME_LIMIT = 255;    // the record counts them in a byte

[[noreturn]] void bad_function(const char* at) { raise_parse_error(1050, "フォーマット不正 '%s'", excerpt(at, 120)); }

bool is_parameter(Value v) {
    if (value_tag(v) == TAG_NAME) return true;
    return value_tag(v) == TAG_NODE && node_kind(v) == NODE_ASSIGN && value_tag(node_operand(v, 0)) == TAG_NAME;
}

// The body's `var` names go on the local-name list after those of the
// enclosing functions, and are dropped when the body is done.
class FunctionScope {
public:
    FunctionScope() : saved_start_(g_parser.function_start), saved_in_function_(g_parser.in_function) {
        g_parser.function_start = g_parser.local_count;
        g_parser.in_function = true;
    }
    ~FunctionScope() {
        g_parser.local_count = g_parser.function_start;
        g_parser.function_start = saved_start_;
        g_parser.in_function = saved_in_function_;
    }
    FunctionScope(const FunctionScope&) = delete;
    FunctionScope& operator=(const FunctionScope&) = delete;

private:
    uint32_t saved_start_;
    bool saved_in_function_;
};

}  // namespace

char* parse_function(char* text, Value* out, char* at, uint32_t position) {
    if (g_expression.top_call) raise_list_error(TOP_CALL_RULES.too_many_tokens, at);

    char* p = skip_blanks(text);
    bool named = false;
    uint32_t name = 0;
    if (is_identifier_start(*p)) {
        const char* cursor = p;
        name = read_identifier(&cursor);
        if (name < PREDEFINED_NAME_COUNT) raise_parse_error(1040, "関数名不正 '%s'", excerpt(at, 120));
        declare_var_name(name);
        named = true;
        p = skip_blanks(const_cast<char*>(cursor));
    }

    if (*p != '(') bad_function(at);
    char* closer = find_closing(p + 1, ')', '(');
    if (closer == nullptr) bad_function(at);
    Value parameters[PARAMETER_LIMIT];
    uint32_t parameter_count = 0;
    {
        CutGuard cut(closer);
        char* rest = skip_blanks(parse_expression_list(p + 1, parameters, PARAMETER_LIMIT, &parameter_count, false));
        if (*rest != '\0') bad_function(at);
    }
    for (uint32_t i = 0; i < parameter_count; ++i) {
        if (!is_parameter(parameters[i])) bad_function(at);
    }

    p = skip_blanks(closer + 1);
    if (*p != '{') bad_function(at);

    Value body = 0;
    uint32_t end_line = 0;
    uint32_t local_count = 0;
    uint32_t names = 0;
    {
        FunctionScope scope;
        p = parse_block(p, &body, &end_line);
        local_count = g_parser.local_count - g_parser.function_start;
        if (local_count > LOCAL_NAME_LIMIT) bad_function(at);
        const uint32_t total = parameter_count + local_count;
        if (total != 0) {
            uint8_t* item = nullptr;
            names = area_alloc(size_t(total) * 4, &item);
            for (uint32_t i = 0; i < parameter_count; ++i) {
                retain(parameters[i]);
                store_u32(item + 4 * size_t(i), parameters[i]);
            }
            const Value* locals = g_parser.local_names + g_parser.function_start;
            for (uint32_t i = 0; i < local_count; ++i) store_u32(item + 4 * size_t(parameter_count + i), locals[i]);
        }
    }

    Cell* cell = nullptr;
    const Value function = new_cell(TAG_FUNCTION, 0, &cell);
    auto* record = reinterpret_cast<FunctionCell*>(cell);
    record->module = uint8_t(g_parser.module & 0x7F);
    record->parameter_count = uint8_t(parameter_count);
    record->local_count = uint8_t(local_count);
    retain(body);
    record->body = body;
    record->names = names;
    record->position = (position & 0xFFFF) | (end_line & 0xFFFF) << 16;

    if (named) {
        const Value operands[2] = {name, function};
        *out = make_node(NODE_ASSIGN, 2, operands, position);
    } else {
        *out = function;
    }
    g_parser.function_ended_list = true;
    g_expression.function_end = p;
    return p;
}

}  // namespace kova

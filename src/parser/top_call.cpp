// Parsing the top call text: a short expression list of its own limits
// that must come down to one call node.
#include "parser/top_call.h"

#include "core/errors.h"
#include "parser/expressions.h"
#include "parser/node_kinds.h"
#include "parser/nodes.h"
#include "parser/parser.h"

namespace kova {

namespace {

constexpr uint32_t TOP_CALL_VALUE_LIMIT = 4;  // at most 3 values

// While the text is parsed its nodes carry the no-stop mark and function
// literals are refused; both flags are put back however the parse ends.
class TopCallMode {
public:
    TopCallMode() : saved_run_time_(g_parser.run_time), saved_top_call_(g_expression.top_call) {
        g_parser.run_time = true;
        g_expression.top_call = true;
    }
    ~TopCallMode() {
        g_parser.run_time = saved_run_time_;
        g_expression.top_call = saved_top_call_;
    }
    TopCallMode(const TopCallMode&) = delete;
    TopCallMode& operator=(const TopCallMode&) = delete;

private:
    bool saved_run_time_;
    bool saved_top_call_;
};

}  // namespace

void parse_top_call(char* text, Value* out) {
    TopCallMode mode;
    g_parser.last_line_feed = text;
    NestingGuard nesting(&g_expression.list_depth, LIST_NESTING_LIMIT, text);
    TokenList list;
    list.begin(&TOP_CALL_RULES, text);
    char* p = text;
    while (!list.ended) p = next_token(p, &list);
    Value values[TOP_CALL_VALUE_LIMIT];
    uint32_t count = 0;
    finish_token_list(&list, values, TOP_CALL_VALUE_LIMIT, &count, false);
    if (count != 1 || value_tag(values[0]) != TAG_NODE || node_kind(values[0]) != NODE_CALL) {
        raise_runtime_error(1725, "TOP関数のステートメント不正");
    }
    *out = values[0];
}

}  // namespace kova

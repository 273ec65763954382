// Fuzz target: any module text must end in a parse error or a statement
// list, never a crash or a read outside the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "host/process_state.h"
#include "parser/declarations.h"
#include "parser/expressions.h"
#include "parser/lexer.h"
#include "parser/module_table.h"
#include "parser/nodes.h"
#include "parser/parser.h"
#include "parser/statements.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kova;
    static bool ready = false;
    if (!ready) {
        stop_table_init();
        ready = true;
    }
    reset_process_state();
    module_add("fuzz.js", 7);

    // A line feed before the text, as the module loader keeps one, so that
    // columns count from it.
    std::vector<char> buffer(1, '\n');
    buffer.insert(buffer.end(), data, data + size);
    buffer.push_back('\0');
    char* text = buffer.data() + 1;
    // The first byte chooses module text or text parsed while a script runs.
    const bool run_time = size > 0 && (data[0] & 1) != 0;
    StatementList list{};
    try {
        g_parser.run_time = run_time;
        strip_comments(text);
        g_parser.last_line_feed = buffer.data();
        parse_statement_list(text, &list, true, run_time);
    } catch (const ScriptUnwind&) {
    }
    if (list.heap_owned) std::free(list.items);
    return 0;
}

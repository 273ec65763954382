// Fuzz target: any bytes loaded as a compiled module (".jo") end in a
// statement list or a numbered error, never a crash or a read outside the
// image. Each input is loaded twice: into a fresh run, where a sound name
// table is taken over as it is, and after a source module, where names are
// interned and pages and blocks are offset. Seeded with images that
// kova-compile wrote (tools/test.sh).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/errors.h"
#include "host/process_state.h"
#include "parser/compiled_module.h"
#include "parser/module_table.h"
#include "parser/nodes.h"
#include "parser/parser.h"
#include "parser/statements.h"

namespace {

const char FIRST_MODULE[] = "var first = 'a', list = [1, 2.5, {k: 'v'}];\nfunction main(x) { return x + first; }\n";

void free_list(kova::StatementList* list) {
    if (list->heap_owned) std::free(list->items);
    *list = kova::StatementList{};
}

void load(const uint8_t* data, size_t size, bool after_source) {
    using namespace kova;
    reset_process_state();
    compiled_module_reset();
    module_add("first.js", 8);
    module_add("fuzz.jo", 7);
    StatementList first{};
    StatementList list{};
    try {
        if (after_source) {
            std::vector<char> text(FIRST_MODULE, FIRST_MODULE + sizeof FIRST_MODULE);
            text.insert(text.begin(), '\n');
            g_parser.module = 0;
            g_parser.line = 1;
            g_parser.last_line_feed = text.data();
            parse_statement_list(text.data() + 1, &first, true, false);
        }
        g_parser.module = 1;
        load_compiled_module(data, size, &list, "fuzz.jo");
    } catch (const ScriptUnwind&) {
    }
    free_list(&first);
    free_list(&list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = false;
    if (!ready) {
        kova::stop_table_init();
        ready = true;
    }
    load(data, size, false);
    load(data, size, true);
    return 0;
}

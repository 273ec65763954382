// The run shared by console and CGI requests.
#include "host/run.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "eval/eval.h"
#include "eval/scopes.h"
#include "host/config.h"
#include "front/frames.h"
#include "host/host.h"
#include "host/request.h"
#include "parser/lexer.h"
#include "parser/literals.h"
#include "parser/module_loader.h"
#include "parser/top_call.h"
#include "platform/platform.h"

#if KOVA_DEBUGGER
#include "debugger/debugger.h"
#endif

namespace kova {

RunState g_run;

namespace {

constexpr char MAIN_SCRIPT[] = "MainScript";

// A VAR text is one member of an object literal: name, colon, value.
void bind_variable(const std::string& text) {
    std::string literal = "{" + text + "}";
    std::vector<char> buffer(literal.begin(), literal.end());
    buffer.push_back('\0');
    Value object = 0;
    parse_object_literal(buffer.data() + 1, &object);
    const ObjectCell* cell = cell_as<ObjectCell>(object);
    if (cell->count != 1) raise_parse_error(1140, "文字列のフォーマット不正 '%s'", excerpt(text.c_str(), 120));
    const uint8_t* pair = area_pointer(cell->pairs);
    const Value value = evaluate(load_u32(pair + 4));
    set_global(load_u32(pair) & SLOT_NAME_MASK, value);
}

void bind_globals() {
    for (const std::string& text : g_config.variables) bind_variable(text);
    for (uint32_t constant = NAME_UNDEFINED; constant <= NAME_NULL; ++constant) set_global(constant, constant);
}

void run_top_level_statements() {
    for (uint32_t m = 0; m < g_modules.count; ++m) {
        const StatementList& list = g_run.modules[m];
        for (uint32_t i = 0; i < list.count; ++i) run_statement(list.items[i]);
    }
}

}  // namespace

void run_reset() {
    for (StatementList& list : g_run.modules) {
        if (list.heap_owned) std::free(list.items);
        list = StatementList{};
    }
    g_run.modules_loaded = false;
}

void load_modules() {
    if (g_run.modules_loaded) return;
    g_run.modules_loaded = true;
    for (uint32_t m = 0; m < g_modules.count; ++m) load_module(m, &g_run.modules[m]);
}

namespace {

// Everything after loading: run mode, the globals, the modules' top-level
// statements, then the top call under the MainScript module.
void run_loaded_modules() {
    areas_enter_run_mode();
    bind_globals();
    run_top_level_statements();

    const uint32_t main_script = module_add(MAIN_SCRIPT, sizeof MAIN_SCRIPT - 1);
    g_errors.module = main_script;
    g_errors.line = 0;
    g_errors.column = 0;
    g_parser.module = main_script;
    g_parser.line = 0;
#if KOVA_DEBUGGER
    debugger_top_call(main_script);
#endif
    char text[TOP_CALL_LIMIT + 1];
    std::memcpy(text, g_host.top_call, sizeof text);
    strip_comments(text);
    // The call text's own errors (1720, 1725, 1730) say what is wrong with it.
    Value call = 0;
    parse_top_call(text, &call);
    g_errors.running = true;
    release_if_temporary(evaluate(call));
}

}  // namespace

void run_console() {
    load_modules();
    run_loaded_modules();
}

void run_cgi_request() {
    if (!g_host.has_top_call) {
        g_request.refused = true;
        raise_runtime_error(1800, "実行するJavaScriptのTOP関数が指定されていません");
    }
    if (g_modules.count == 0) {
        g_request.refused = true;
        raise_runtime_error(1805, "ロードするJavaScriptのモジュールが指定されていません");
    }
    load_modules();
    run_loaded_modules();
    write_closing_frame();
}

}  // namespace kova

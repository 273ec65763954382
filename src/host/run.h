// Running the application: loading the modules, binding the globals, the
// modules' top-level statements and the top call.
#pragma once

#include <cstdint>

#include "parser/module_table.h"
#include "parser/parser.h"

namespace kova {

struct RunState {
    StatementList modules[MODULE_TABLE_CAPACITY];  // statement list per module
    bool modules_loaded;
};

extern RunState g_run;

void run_reset();
// Loads every module of the module table, in order (once).
void load_modules();
// The console run: load, bind, run the top-level statements, then the top
// call. Errors reach the caller (frame 0).
void run_console();
// The CGI run after the access check: the same run, refused without a top
// call (1800) or without modules (1805), ended by the closing frame.
void run_cgi_request();

}  // namespace kova

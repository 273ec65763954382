// One call that puts every process-wide structure back to its start, for
// unit tests that build values, parse or evaluate.
#pragma once

#include <cstring>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "host/journal.h"
#include "parser/module_table.h"
#include "parser/parser.h"
#include "regex/regex.h"

namespace kova {

// Memory, names, value state (release queue, kept string position),
// errors, journal, module table, parser state and the regular-expression
// caches; with a module name, that module becomes module 0.
inline void reset_runtime(const char* module = nullptr) {
    areas_reset();
    values_reset();
    names_reset();
    errors_reset();
    journal_reset();
    modules_reset();
    parser_reset();
    regex_reset();
    if (module != nullptr) module_add(module, std::strlen(module));
}

// The same, with the areas switched to run mode as while a top function
// runs: for tests that make and free values as the evaluator does.
inline void reset_runtime_for_run(const char* module = nullptr) {
    reset_runtime(module);
    areas_enter_run_mode();
}

}  // namespace kova

// Resets of every subsystem's state, in one place.
#include "host/process_state.h"

#include "builtins/method_table.h"
#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "eval/eval.h"
#include "front/frames.h"
#include "front/front.h"
#include "host/config.h"
#include "host/host.h"
#include "host/journal.h"
#include "host/request.h"
#include "host/run.h"
#include "parser/declarations.h"
#include "parser/expressions.h"
#include "parser/module_loader.h"
#include "parser/module_table.h"
#include "parser/parser.h"
#include "regex/regex.h"

#if KOVA_DEBUGGER
#include "debugger/debugger.h"
#endif

namespace kova {

void reset_process_state() {
    host_reset();
    errors_reset();
    journal_reset();
    modules_reset();
    config_reset();
    request_reset();
    front_reset();
    frames_reset();
    areas_reset();
    values_reset();
    names_reset();
    parser_reset();
    declarations_reset();
    expressions_reset();
    module_loader_reset();
    run_reset();
    eval_reset();
    library_reset();
    regex_reset();
#if KOVA_DEBUGGER
    debugger_reset();
#endif
}

}  // namespace kova

// Start-up, in the order every request needs it: program directory, client
// address, arguments, configuration, memory and names, frame 0, the run,
// and the finish.
#include "host/startup.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "db/db.h"
#include "host/client_address.h"
#include "host/config.h"
#include "host/host.h"
#include "host/journal.h"
#include "host/request.h"
#include "host/process_state.h"
#include "host/response.h"
#include "host/run.h"
#include "eval/eval.h"
#include "front/frames.h"
#include "front/front.h"
#include "parser/declarations.h"
#include "parser/expressions.h"
#include "parser/module_loader.h"
#include "parser/nodes.h"
#include "parser/parser.h"
#include "parser/module_table.h"
#include "platform/platform.h"

#if KOVA_DEBUGGER
#include "debugger/debugger.h"
#endif

namespace kova {

namespace {

constexpr char TOO_MANY_MODULES[] = "モジュール(.js、.jo)が多すぎます。125ファイル以下にしてください。";

void write_text(const char* text) {
    platform::write_stdout(text, std::strlen(text));
    platform::flush_stdout();
}

[[noreturn]] void finish_with_status_0() {
    platform::close_stdout();
    platform::exit_process(0);
}

[[noreturn]] void usage(const char* program) {
    std::string text = "usage:";
    text += program;
    text += " -e function_name js_file_path1 js_file_path2 ... \n";
    write_text(text.c_str());
    finish_with_status_0();
}

struct Arguments {
    std::vector<const char*> positional;  // module paths (-e) or request texts
};

// Reads the command line; usage and over-long top calls end the process.
Arguments read_arguments(int argc, char** argv) {
    Arguments result;
    const char* program = argc > 0 ? argv[0] : "kova";
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-') {
            result.positional.push_back(argument);
            continue;
        }
        if (std::strcmp(argument, "-e") != 0 || i + 1 >= argc) usage(program);
        const char* top_call = argv[++i];
        const size_t length = std::strlen(top_call);
        if (length > TOP_CALL_LIMIT) {
            write_text("TOP関数が長すぎます(255Byte以下)");
            finish_with_status_0();
        }
        std::memcpy(g_host.top_call, top_call, length + 1);
        g_host.has_top_call = true;
        g_host.console_mode = true;
    }
    return result;
}

void take_start_time() {
    std::tm fields{};
    if (!platform::local_time(platform::time_now(), &fields)) return;
    std::snprintf(g_host.start_time, sizeof g_host.start_time, "%d/%02d/%02d %02d:%02d:%02d",
                  fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min,
                  fields.tm_sec);
}

void add_client_variable() {
    if (!g_host.client_known) return;
    char text[96];
    std::snprintf(text, sizeof text, "'client_ip':'%d.%d.%d.%d'", g_host.client[0], g_host.client[1],
                  g_host.client[2], g_host.client[3]);
    g_config.variables.emplace_back(text);
}

// The request: body and header, records, access check, then the run and
// its closing frame.
void run_cgi() {
    read_request_body();
    decode_request(g_request.body, g_request.length);
    check_access();
    run_cgi_request();
}

void finish_cgi() {
    write_token_frame();
    // The journal goes first: when it cannot be written the response must
    // still carry the 9999 record that says so.
    journal_write();
#if KOVA_DEBUGGER
    // Before the response is closed: a web server may end the program as
    // soon as it has the whole response, and the goodbye would be lost.
    debugger_finish();
#endif
    platform::close_stdout();
    db_end_of_run();
}

}  // namespace

std::string program_directory(const char* first) {
    const char* slash = first != nullptr ? std::strrchr(first, '/') : nullptr;
    if (slash != nullptr) return std::string(first, static_cast<size_t>(slash - first) + 1);
    char found[PROGRAM_DIR_LIMIT];
    if (platform::executable_directory(found, sizeof found)) return found;
    return "./";
}

int host_main(int argc, char** argv) {
    // A web server or client that closes the response early must not end
    // the run by the signal: the journal entry and the rollback still come.
    platform::ignore_broken_pipe();
    reset_process_state();

    const std::string directory = program_directory(argc > 0 ? argv[0] : nullptr);
    std::snprintf(g_host.program_dir, sizeof g_host.program_dir, "%s", directory.c_str());
    read_client_address();
    Arguments arguments = read_arguments(argc, argv);

    if (g_host.console_mode) {
        if (arguments.positional.empty()) write_text("ロードするJavaScriptのモジュールが指定されていません\n");
        for (const char* path : arguments.positional) {
            if (module_table_full()) fatal_error(TOO_MANY_MODULES);
            module_add(path, std::strlen(path));
        }
    } else {
        take_start_time();
        g_host.body_argument_count = static_cast<int>(arguments.positional.size());
        if (!arguments.positional.empty()) g_host.argument_body = arguments.positional[0];
        if (arguments.positional.size() == 2) g_host.argument_variables = arguments.positional[1];
    }

    const std::string config_path = find_config_file(directory);
    read_config(config_path.c_str());
#if KOVA_DEBUGGER
    debugger_connect();
#endif
    add_client_variable();
    stop_table_init();
#if KOVA_DEBUGGER
    if (debugger_connected()) debugger_clear_lists();
#endif

    // Frame 0: from here on the host takes every error a script does not catch.
    if (g_host.console_mode) {
        try {
            run_console();
        } catch (const ScriptUnwind& unwind) {
            write_console_error(unwind.value);
            release(unwind.value);  // the unwind's reference, consumed here
        }
        journal_write();
        db_end_of_run();
        finish_with_status_0();
    }
    try {
        run_cgi();
    } catch (const ScriptUnwind& unwind) {
        write_error_frame(unwind.value, g_errors.running);
        release(unwind.value);  // the unwind's reference, consumed here
    }
    finish_cgi();
    finish_with_status_0();
}

}  // namespace kova

// Fuzz target: whole scripts run in console mode. The input bytes are not
// script text but the choices of a small program generator, so nearly
// every input is a program that parses and runs: functions that call each
// other, try/catch/finally nested in loops, throw and rethrow of freshly
// built strings, arrays, objects and error values, return, break and
// continue inside finally blocks and inside expressions (eval texts,
// templates, call arguments), with locals that hold fresh values. Any run
// must end in its result or a numbered error: no crash, no sanitizer
// report (freed cells and slots are poisoned in this build), no exit
// escaping to the host, no hang (every loop counts with a name nothing
// else assigns, and calls only go to functions defined before the caller).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "core/errors.h"
#include "host/host.h"
#include "host/process_state.h"
#include "host/run.h"
#include "parser/module_table.h"
#include "parser/nodes.h"

namespace {

class Choices {
public:
    Choices(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    // A choice in 0 .. n-1; an exhausted input always chooses 0.
    unsigned pick(unsigned n) { return position_ < size_ ? data_[position_++] % n : 0; }
    bool exhausted() const { return position_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

constexpr unsigned FUNCTIONS = 4;
constexpr unsigned MAX_DEPTH = 4;

class Generator {
public:
    explicit Generator(Choices& choices) : c_(choices) {}

    std::string program() {
        std::string text;
        for (unsigned f = 0; f < FUNCTIONS; ++f) {
            current_ = f;
            text += "function f" + std::to_string(f) + "(a, b) {\n" + statements(0, 3) + "return " +
                    expression(0) + ";\n}\n";
        }
        current_ = FUNCTIONS;
        text += "function main() {\n" + statements(0, 5) + "console.log(" + expression(0) + ");\n}\n";
        return text;
    }

private:
    std::string number() { return std::to_string(c_.pick(10)); }

    std::string local() {
        static const char* names[] = {"a", "b", "x", "y", "e"};
        return names[c_.pick(5)];
    }

    // A value that did not exist before: only the statement that made it
    // holds it.
    std::string fresh(unsigned depth) {
        switch (c_.pick(6)) {
            case 0: return "\"s\" + " + number();
            case 1: return "[\"t\" + " + number() + ", " + (depth < MAX_DEPTH ? fresh(depth + 1) : "1") + "]";
            case 2: return "{k: \"v\" + " + number() + ", n: " + (depth < MAX_DEPTH ? fresh(depth + 1) : "2") + "}";
            case 3: return "new Error(\"m\" + " + number() + ", \"C\" + " + number() + ")";
            case 4: return "`p${" + number() + " + 1}q`";
            default: return number() + ".5";
        }
    }

    std::string call(unsigned depth) {
        if (current_ == 0) return fresh(depth);
        const unsigned callee = c_.pick(current_);
        return "f" + std::to_string(callee) + "(" + expression(depth + 1) + ", " + expression(depth + 1) + ")";
    }

    // A short statement for an eval text or a template substitution.
    std::string run_time_text() {
        switch (c_.pick(7)) {
            case 0: return "return 7;";
            case 1: return "break;";
            case 2: return "continue;";
            case 3: return "throw 'r' + 1;";
            case 4: return "x = 'w' + 2;";
            case 5: return "while (true) { return 8; }";
            default: return "1 + 2;";
        }
    }

    // A template substitution ends at the first "}", so it holds no braces
    // and no template of its own.
    std::string substitution() {
        switch (c_.pick(5)) {
            case 0: return local();
            case 1: return "eval(\"return 'u' + 3;\")";
            case 2: return "eval(\"break;\")";
            case 3: return "eval(\"continue;\")";
            default: return "x + " + number();
        }
    }

    // A case body holds statements that end at a ";": a compound statement
    // there would need a ";" after it.
    std::string case_statement(unsigned depth) {
        switch (c_.pick(6)) {
            case 0: return "break; ";
            case 1: return "continue; ";
            case 2: return "throw " + fresh(depth) + "; ";
            case 3: return "return " + expression(depth) + "; ";
            case 4: return local() + " = " + expression(depth) + "; ";
            default: return expression(depth) + "; ";
        }
    }

    std::string expression(unsigned depth) {
        if (depth >= MAX_DEPTH) return c_.pick(2) ? local() : number();
        switch (c_.pick(11)) {
            case 0: return local();
            case 1: return fresh(depth);
            case 2: return call(depth);
            case 3: return expression(depth + 1) + " + " + expression(depth + 1);
            case 4: return "eval(\"" + run_time_text() + "\")";
            case 5: return "`<${" + substitution() + "}>`";
            case 6: return "(" + local() + " = " + fresh(depth + 1) + ")";
            case 7: return local() + "[0]";
            case 8: return local() + ".k";
            case 9: return "(return " + expression(depth + 1) + ")";
            default: return number();
        }
    }

    std::string block(unsigned depth) { return "{\n" + statements(depth + 1, 3) + "}\n"; }

    std::string statement(unsigned depth) {
        if (depth >= MAX_DEPTH) return "x = " + fresh(depth) + ";\n";
        switch (c_.pick(17)) {
            case 0: return "var " + local() + " = " + fresh(depth) + ";\n";
            case 1: return local() + " = " + expression(depth) + ";\n";
            case 2: return "throw " + (c_.pick(2) ? fresh(depth) : local()) + ";\n";
            case 3: return "try " + block(depth) + "catch (e) " + block(depth);
            case 4: return "try " + block(depth) + "finally " + block(depth);
            case 5: return "try " + block(depth) + "catch (e) " + block(depth) + "finally " + block(depth);
            case 6: return "try " + block(depth) + "catch (e) { var k = " + fresh(depth) + "; throw e; }\n";
            case 7: return "return " + expression(depth) + ";\n";
            case 8: return "break;\n";
            case 9: return "continue;\n";
            // Loop counters have names no other statement assigns, so
            // every loop ends.
            case 10: return "for (var n" + std::to_string(depth) + " = 0; n" + std::to_string(depth) + " < 3; n" +
                            std::to_string(depth) + "++) " + block(depth);
            case 11: return "for (let q of [" + fresh(depth) + ", " + fresh(depth) + "]) " + block(depth);
            case 12: {
                const std::string w = "w" + std::to_string(depth);
                return "var " + w + " = 0;\nwhile (" + w + " < 3) { " + w + "++;\n" + statements(depth + 1, 2) + "}\n";
            }
            case 13: return "switch (" + number() + " % 3) { case 1: " + case_statement(depth + 1) + "case 2: " +
                            case_statement(depth + 1) + "default: " + case_statement(depth + 1) + "}\n";
            case 14: return "console.log(" + expression(depth) + ", " + local() + ");\n";
            case 15: return "if (" + expression(depth) + ") " + block(depth) + "else " + block(depth);
            default: return expression(depth) + ";\n";
        }
    }

    std::string statements(unsigned depth, unsigned most) {
        std::string text;
        const unsigned count = 1 + c_.pick(most);
        for (unsigned i = 0; i < count && !c_.exhausted(); ++i) text += statement(depth);
        return text;
    }

    Choices& c_;
    unsigned current_ = 0;  // the function being written: it may call only lower ones
};

std::string g_path;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kova;
    if (g_path.empty()) {
        stop_table_init();
        g_path = "/tmp/kova-script-fuzz-" + std::to_string(getpid()) + ".js";
        // Console lines are not what is checked here.
        if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
    }
    Choices choices(data, size);
    Generator generator(choices);
    const std::string program = generator.program();
    std::FILE* file = std::fopen(g_path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(program.data(), 1, program.size(), file);
    std::fclose(file);

    reset_process_state();
    g_host.console_mode = true;
    g_host.has_top_call = true;
    std::snprintf(g_host.top_call, sizeof g_host.top_call, "main()");
    module_add(g_path.c_str(), g_path.size());
    // A ScriptExit reaching here would be a fault: it is not caught, so the
    // fuzzer reports it.
    try {
        run_console();
    } catch (const ScriptUnwind&) {
    }
    return 0;
}

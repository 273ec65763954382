// Fuzz target: kova-dbg debugged by a front end whose answers the input
// chooses. A thread plays the front end on a loopback connection: it
// acknowledges every message, answers the module request with a small
// program (or with text from the input) and lists of breakpoints,
// conditions and labels, and at each stop sends commands drawn from the
// input: list replacements, evaluations of expression texts (put together
// from pieces or taken raw from the input) in any call's scope, and step
// commands. Any run must end in its result or a numbered error: no crash,
// no sanitizer report, no exit escaping to the host, no wait that never
// ends (the fuzzer's time-out catches one).
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "core/errors.h"
#include "debugger/debugger.h"
#include "debugger/transport.h"
#include "host/config.h"
#include "host/host.h"
#include "host/process_state.h"
#include "host/run.h"
#include "parser/module_table.h"
#include "parser/nodes.h"

namespace {

constexpr char MODULE[] = "fuzz.js";
// Line numbers matter: breakpoints, conditions and labels point at them.
constexpr char PROGRAM[] =
    "var g = [1, \"two\", {k: 3}];\n"
    "function f0(a, b) {\n"
    "    var s = a + b;\n"
    "    return s;\n"
    "}\n"
    "function f1(n) {\n"
    "    var t = 0;\n"
    "    for (var i = 0; i < n; i++) { t = t + f0(i, 1); }\n"
    "    return t;\n"
    "}\n"
    "function main() {\n"
    "    var r = f1(3); console.log(r); var o = {a: r, b: [r, \"x\"]};\n"
    "    try { f0(o.b, g); undefinedFunction(); } catch (e) { console.log(e.name); }\n"
    "    [3, 1, 2].sort(function (x, y) { return f0(x, -y); });\n"
    "    return o;\n"
    "}\n";
constexpr int PROGRAM_LINES = 16;
constexpr int STOP_LIMIT = 12;

const char* const PIECES[] = {
    "a", "b", "s", "t", "i", "n", "g", "r", "o", "e", "x", "nothing", "a + b", "t = t * 2", "g[1]", "o.a",
    "o.b[1]", "[a, s]", "{k: a}", "f0(1, 2)", "typeof a", "a ==", "\"x\" + a", "`${a}${b}`", "eval(\"a + 1\")",
    "x.y.z", "1 / 0", "g[5] = 1", "i++", "var q = 1", "return 1", "{ a; }", "if (a) b; else s", "(a, b)",
    "a ? s : t", "!o", "-a", "a && b || s", "break", "throw a", "new Date()", "o.a = [g]", "g = 0", "'",
    "function () {}",
};
constexpr unsigned PIECE_COUNT = sizeof PIECES / sizeof PIECES[0];

class Choices {
public:
    Choices(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    unsigned pick(unsigned n) { return position_ < size_ ? data_[position_++] % n : 0; }
    bool exhausted() const { return position_ >= size_; }
    // Up to `most` raw bytes of the input.
    std::string bytes(unsigned most) {
        std::string out;
        const unsigned n = pick(most + 1);
        for (unsigned i = 0; i < n && position_ < size_; ++i) out.push_back(static_cast<char>(data_[position_++]));
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

class FrontEnd {
public:
    FrontEnd(int fd, Choices& choices) : fd_(fd), c_(choices) {}

    void run() {
        std::string body;
        while (receive(body)) {
            if (body.empty()) continue;
            switch (body[0]) {
                case 'M':
                    if (!answer_module()) return;
                    break;
                case 'S':
                    // MainScript is a module of the run once the top call
                    // runs, which the program's calls all come from.
                    main_script_ = program_served_ && body.size() > 1;
                    if (!receive(body) || !at_stop()) return;
                    break;
                case 'X':
                    return;
                default:
                    break;
            }
        }
    }

private:
    bool read_exact(char* data, size_t n) {
        while (n > 0) {
            const ssize_t got = ::recv(fd_, data, n, 0);
            if (got <= 0) return false;
            data += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }
    bool read_prefix(size_t* length) {
        char letter = 0;
        if (!read_exact(&letter, 1)) return false;
        const int digits = letter - 'A';
        if (digits < 0 || digits > 9) return false;
        char text[10];
        if (!read_exact(text, size_t(digits))) return false;
        *length = 0;
        for (int i = 0; i < digits; ++i) *length = *length * 10 + size_t(text[i] - '0');
        return true;
    }
    bool write_all(const std::string& data) {
        size_t at = 0;
        while (at < data.size()) {
            const ssize_t n = ::send(fd_, data.data() + at, data.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }
    static std::string prefix(size_t length) {
        char text[12];
        return std::string(text, kova::message_prefix(length, text));
    }
    bool receive(std::string& body) {
        size_t length = 0;
        if (!read_prefix(&length)) return false;
        body.resize(length);
        return (length == 0 || read_exact(body.data(), length)) && write_all(prefix(length));
    }
    bool send(const std::string& body) {
        size_t acknowledged = 0;
        return write_all(prefix(body.size()) + body) && read_prefix(&acknowledged);
    }

    std::string line() { return std::to_string(1 + c_.pick(PROGRAM_LINES)); }
    std::string expression() {
        if (c_.pick(4) == 0) return c_.bytes(24);
        std::string text = PIECES[c_.pick(PIECE_COUNT)];
        while (!c_.exhausted() && c_.pick(3) == 0) {
            text += c_.pick(2) ? "; " : " + ";
            text += PIECES[c_.pick(PIECE_COUNT)];
        }
        return text;
    }
    std::string lines() {
        std::string text;
        for (unsigned n = c_.pick(4); n > 0; --n) text += line() + ":";
        return text;
    }
    std::string entries(bool labels) {
        std::string text;
        for (unsigned n = c_.pick(3); n > 0; --n) {
            text += line() + ":" + (labels ? "L" + std::to_string(c_.pick(9)) : expression()) + "; ";
        }
        return text;
    }
    std::string module_name() {
        static const char* const names[] = {MODULE, "MainScript", "other.js", ""};
        return names[c_.pick(4)];
    }

    bool answer_module() {
        const unsigned form = c_.pick(8);
        if (form == 0) return send("&&&&");
        program_served_ = form != 1;
        if (!send(form == 1 ? "s" + c_.bytes(64) : std::string("s") + PROGRAM)) return false;
        if (c_.pick(4) == 0) return send("&&&&");
        return send("T" + entries(true) + "###B" + lines() + "$$$b" + entries(false));
    }

    bool at_stop() {
        if (++stops_ > STOP_LIMIT || c_.exhausted()) {
            // Enough: clear everything and run to the end.
            return send(std::string("B") + MODULE + ":") && send(std::string("b") + MODULE + ":") &&
                   send("STEP1");
        }
        for (unsigned n = c_.pick(5); n > 0; --n) {
            std::string command;
            switch (c_.pick(6)) {
                case 0: command = "B" + module_name() + ":" + lines(); break;
                case 1: command = "b" + module_name() + ":" + entries(false); break;
                case 2: command = "T" + module_name() + ":" + entries(true); break;
                case 3: command = "E" + module_name() + ":" + function_name() + ":0:0" + expression(); break;
                default:
                    command = "E" + module_name() + ":" + function_name() + ":0:0;" + expression();
                    break;
            }
            if (!send(command)) return false;
            // Evaluations with a known module and ";" or without it are answered.
            if (command[0] == 'E' && answered(command) && !receive(command)) return false;
        }
        // An unknown step is ignored: a known one must follow.
        if (c_.pick(8) == 0 && !send("STEP9")) return false;
        static const char steps[] = "012341234";
        return send(std::string("STEP") + steps[c_.pick(9)]);
    }
    std::string function_name() {
        static const char* const names[] = {"", "main", "f0", "f1", "(anonymous)", "nothing"};
        return names[c_.pick(6)];
    }
    // An E command is ignored when it names no module of the run; without
    // ";" it is answered before its module is looked at.
    bool answered(const std::string& command) const {
        if (command.find(';') == std::string::npos) return true;
        const std::string path = command.substr(1, command.find(':') - 1);
        return path == MODULE || (path == "MainScript" && main_script_);
    }

    int fd_;
    Choices& c_;
    int stops_ = 0;
    bool program_served_ = false;
    bool main_script_ = false;
};

int g_listener = -1;
int g_port = 0;

bool listen_once() {
    g_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (g_listener < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(g_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(g_listener, 4) != 0 ||
        ::getsockname(g_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return false;
    }
    g_port = ntohs(address.sin_port);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kova;
    if (g_listener < 0) {
        if (!listen_once()) return 0;
        stop_table_init();
        // Console lines are not what is checked here.
        if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
    }
    Choices choices(data, size);

    reset_process_state();
    g_host.console_mode = true;
    g_host.has_top_call = true;
    std::snprintf(g_host.top_call, sizeof g_host.top_call, "main()");
    module_add(MODULE, sizeof MODULE - 1);
    g_host.client_known = true;
    g_host.client[0] = 127;
    g_host.client[1] = 0;
    g_host.client[2] = 0;
    g_host.client[3] = 1;
    g_config.debug_port = std::to_string(g_port);
    debugger_connect();
    if (!debugger_connected()) return 0;
    debugger_clear_lists();

    std::thread front_end([&choices] {
        const int fd = ::accept(g_listener, nullptr, nullptr);
        if (fd < 0) return;
        FrontEnd(fd, choices).run();
        ::close(fd);
    });
    // A ScriptExit reaching here would be a fault: it is not caught, so the
    // fuzzer reports it.
    try {
        run_console();
    } catch (const ScriptUnwind&) {
    }
    debugger_finish();
    front_end.join();
    // The lists a run leaves stay until the next input's reset; release
    // them now, so no input leaves memory behind that only the process's
    // exit would take back (the leak check at exit counts it as lost).
    debugger_clear_lists();
    return 0;
}

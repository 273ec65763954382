// kova-token: the first token of a session, for a sign-in program.
//
//     kova-token CLIENT_ADDRESS
//
// Reads the KOVA.config beside the program, as kova does, and prints a new
// identifier and its token on two lines, valid for that client address from
// now on, made the way TOKEN_SIGNING says; the front end sends them in the
// Q record of its first request. CLIENT_ADDRESS is read like the address
// kova takes from the web server: a dotted IPv4 address ("::1" for
// 127.0.0.1), or a forwarded-for list whose first entry is one.
//
// Exit status: 0 with the two lines on standard output; 1 when the
// configuration cannot be read or asks for no tokens; 2 for a wrong
// command line. Messages go to standard error, never to standard output,
// so a caller cannot take one for a token.
#include <cstdint>
#include <string>

#include "core/errors.h"
#include "host/client_address.h"
#include "host/config.h"
#include "host/process_state.h"
#include "host/request.h"
#include "host/startup.h"
#include "platform/platform.h"

namespace {

constexpr int STATUS_FAILED = 1;
constexpr int STATUS_USAGE = 2;

[[noreturn]] void fail(int status, const std::string& message) {
    const std::string line = "kova-token: " + message + "\n";
    kova::platform::write_stderr(line.data(), line.size());
    kova::platform::exit_process(status);
}

// Configuration faults end kova with its fatal record; here they are
// messages for the sign-in program.
[[noreturn]] void report_fatal(const char* text) { fail(STATUS_FAILED, text); }

}  // namespace

int main(int argc, char** argv) {
    using namespace kova;
    reset_process_state();
    g_errors.fatal_handler = report_fatal;
    if (argc != 2) fail(STATUS_USAGE, "usage: kova-token CLIENT_ADDRESS");
    uint8_t client[4];
    if (!parse_forwarded_address(argv[1], client)) {
        fail(STATUS_USAGE, std::string("クライアントのIPアドレス不正 '") + argv[1] + "'");
    }

    read_config(find_config_file(program_directory(argv[0])).c_str());
    if (g_config.token_key.empty() && g_config.time_interval <= 0) {
        fail(STATUS_FAILED, "configファイルにTOKEN_KEYもTIME_INTERVALも設定されていません");
    }

    IssuedToken issued;
    issue_token(platform::time_now(), client, issued);
    std::string lines(issued.identifier, issued.identifier_length);
    lines += '\n';
    lines.append(issued.token, issued.token_length);
    lines += '\n';
    platform::write_stdout(lines.data(), lines.size());
    if (!platform::close_stdout()) fail(STATUS_FAILED, "標準出力に書けません");
    platform::exit_process(0);
}

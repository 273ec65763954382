// Fuzz target: any request body must decode into variables, end in one of
// the request's numbered errors, or be refused by the access check; never a
// crash or a read outside the body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "eval/eval.h"
#include "host/config.h"
#include "host/host.h"
#include "host/journal.h"
#include "host/process_state.h"
#include "host/request.h"
#include "host/run.h"
#include "parser/declarations.h"
#include "parser/expressions.h"
#include "parser/module_table.h"
#include "parser/nodes.h"
#include "parser/parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kova;
    // One small module the body's module records can name ("a.js").
    static std::string module_dir;
    if (module_dir.empty()) {
        stop_table_init();
        const std::filesystem::path dir = std::filesystem::temp_directory_path() / "kova-request-fuzz";
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "a.js") << "var loaded = 1;\nfunction main() { return loaded; }\n";
        module_dir = dir.string();
    }
    reset_process_state();
    // The journal name record has a directory part to replace; the journal
    // itself is never written here.
    g_config.module_dir = module_dir;
    g_config.logfile = "/nonexistent-kova-fuzz/journal.log";
    g_host.client_known = true;
    const uint8_t client[4] = {127, 0, 0, 1};
    std::memcpy(g_host.client, client, 4);

    // The first byte chooses the access configuration the body meets.
    const uint8_t mode = size > 0 ? data[0] : 0;
    if (mode & 1) g_config.token_key = "fuzz-key";
    if (mode & 2) g_config.time_interval = 60;
    if (mode & 4) g_config.token_signing = TokenSigning::LEGACY;
    const uint8_t* body = size > 0 ? data + 1 : data;
    const size_t length = size > 0 ? size - 1 : 0;

    // The body exactly as received, NUL-terminated like the request buffer.
    std::vector<char> buffer(body, body + length);
    buffer.push_back('\0');
    try {
        decode_request(buffer.data(), length);
        check_access();
    } catch (const ScriptUnwind&) {
    }
    request_reset();
    run_reset();
    return 0;
}

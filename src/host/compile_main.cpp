// kova-compile: parses a source module in load mode, exactly as kova would
// load it, and writes the compiled image of what the parse produced.
//
//     kova-compile [-z] SOURCE.js OUTPUT.jo
//
// -z writes the zero-suppressed body. Exit status 0 on success; 1 when the
// source cannot be read, has a parse error (its "PARSE ERROR ..." text goes
// to standard error) or the output cannot be written, and no output file
// is left then; 2 for a wrong command line.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/errors.h"
#include "host/process_state.h"
#include "parser/image_writer.h"
#include "parser/module_loader.h"
#include "parser/module_table.h"
#include "parser/nodes.h"
#include "platform/platform.h"

namespace {

constexpr char USAGE[] = "usage: kova-compile [-z] SOURCE.js OUTPUT.jo\n";

int complain(const char* what, const char* path, const char* why) {
    std::fprintf(stderr, "kova-compile: %s '%s': %s\n", what, path, why);
    return 1;
}

int compile(const char* source, const char* output, bool compress) {
    using namespace kova;
    reset_process_state();
    stop_table_init();

    // A file kova could not open either is the tool's own message, not a
    // parse error.
    std::FILE* probe = platform::open_for_reading(source);
    if (probe == nullptr) return complain("cannot read", source, platform::last_error_text());
    std::fclose(probe);

    // The module is named as given, so parse errors read as kova's do.
    const uint32_t module = module_add(source, std::strlen(source));
    StatementList statements{};
    try {
        load_source_module(module, &statements);
    } catch (const ScriptUnwind&) {
        std::fprintf(stderr, "%.*s\n", int(g_errors.text_length), g_errors.text);
        return 1;
    }

    std::vector<uint8_t> body;
    std::string error;
    if (!write_image_body(statements, &body, &error)) return complain("cannot make an image of", source, error.c_str());
    const std::vector<uint8_t> file = image_file(body, compress);
    if (!platform::write_file_replacing(output, file.data(), file.size())) {
        return complain("cannot write", output, platform::last_error_text());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool compress = false;
    std::vector<const char*> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-z") == 0) {
            compress = true;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::fputs(USAGE, stderr);
            return 2;
        } else {
            paths.push_back(argv[i]);
        }
    }
    if (paths.size() != 2) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    return compile(paths[0], paths[1], compress);
}

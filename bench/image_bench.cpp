// Loading a module set from source and from compiled images, inside the
// process: the modules given are compiled here as kova-compile does (each
// in a fresh run, plain and zero-suppressed), then loaded in order into a
// fresh run as kova loads them, several times; prints the best time of
// each way and how many times faster the images load than the source
// parses. File reading is left out of every figure.
//
//     kova_image_bench RUNS MODULE.js...
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "core/errors.h"
#include "host/process_state.h"
#include "parser/compiled_module.h"
#include "parser/image_writer.h"
#include "parser/lexer.h"
#include "parser/module_table.h"
#include "parser/nodes.h"
#include "parser/parser.h"
#include "parser/statements.h"

namespace {

using namespace kova;

struct Module {
    std::string name;
    std::string text;
    std::vector<uint8_t> plain;
    std::vector<uint8_t> compressed;
};

void fresh_run(const std::vector<Module>& modules) {
    reset_process_state();
    compiled_module_reset();
    for (const Module& m : modules) module_add(m.name.c_str(), m.name.size());
}

// The module loader's work on a text already read: comments, then the
// statements.
void parse(const Module& m, uint32_t number, StatementList* list) {
    std::vector<char> buffer(1, '\n');
    buffer.insert(buffer.end(), m.text.begin(), m.text.end());
    buffer.push_back('\0');
    g_parser.module = number;
    g_parser.line = 1;
    g_parser.run_time = false;
    strip_comments(buffer.data() + 1);
    g_parser.last_line_feed = buffer.data();
    parse_statement_list(buffer.data() + 1, list, true, false);
}

void free_lists(std::vector<StatementList>* lists) {
    for (StatementList& list : *lists) {
        if (list.heap_owned) std::free(list.items);
    }
}

void compile(Module* m) {
    fresh_run({*m});
    std::vector<StatementList> list(1);
    parse(*m, 0, &list[0]);
    std::vector<uint8_t> body;
    std::string error;
    if (!write_image_body(list[0], &body, &error)) {
        std::fprintf(stderr, "%s: %s\n", m->name.c_str(), error.c_str());
        std::exit(1);
    }
    free_lists(&list);
    m->plain = image_file(body, false);
    m->compressed = image_file(body, true);
}

// Best of `runs` of loading every module in order into a fresh run.
double best_seconds(int runs, const std::vector<Module>& modules,
                    const std::function<void(const Module&, uint32_t, StatementList*)>& load) {
    double best = 1e9;
    for (int r = 0; r < runs; ++r) {
        fresh_run(modules);
        std::vector<StatementList> lists(modules.size());
        const auto start = std::chrono::steady_clock::now();
        try {
            for (uint32_t i = 0; i < modules.size(); ++i) load(modules[i], i, &lists[i]);
        } catch (const ScriptUnwind&) {
            std::fprintf(stderr, "%s\n", g_errors.text);
            std::exit(1);
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        free_lists(&lists);
        if (seconds < best) best = seconds;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s RUNS MODULE.js...\n", argv[0]);
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    stop_table_init();
    std::vector<Module> modules;
    size_t source_bytes = 0, plain_bytes = 0, compressed_bytes = 0, lines = 0;
    for (int i = 2; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        Module m;
        const char* slash = std::strrchr(argv[i], '/');
        m.name = slash != nullptr ? slash + 1 : argv[i];
        m.text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        compile(&m);
        source_bytes += m.text.size();
        plain_bytes += m.plain.size();
        compressed_bytes += m.compressed.size();
        for (char c : m.text) lines += c == '\n';
        modules.push_back(std::move(m));
    }

    const double source = best_seconds(runs, modules, parse);
    auto image = [](bool compressed) {
        return [compressed](const Module& m, uint32_t number, StatementList* list) {
            const std::vector<uint8_t>& data = compressed ? m.compressed : m.plain;
            g_parser.module = number;
            load_compiled_module(data.data(), data.size(), list, m.name.c_str());
        };
    };
    const double plain = best_seconds(runs, modules, image(false));
    const double compressed = best_seconds(runs, modules, image(true));
    std::printf("%zu modules, %zu lines, best of %d runs\n", modules.size(), lines, runs);
    std::printf("%-22s %10s %10s %8s\n", "load", "bytes", "ms", "speed-up");
    std::printf("%-22s %10zu %10.3f %8s\n", "source (.js), parsed", source_bytes, source * 1e3, "1.0");
    std::printf("%-22s %10zu %10.3f %8.1f\n", "image (.jo)", plain_bytes, plain * 1e3, source / plain);
    std::printf("%-22s %10zu %10.3f %8.1f\n", "image (.jo -z)", compressed_bytes, compressed * 1e3,
                source / compressed);
    return 0;
}

// Parsing speed: a generated module of about 1 MB of typical script code
// (functions, loops, object literals, SQL strings) parsed from scratch
// several times; prints the best rate in MB/s. With --write FILE it writes
// the module instead (with a main() to call).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "host/journal.h"
#include "host/process_state.h"
#include "parser/declarations.h"
#include "parser/expressions.h"
#include "parser/lexer.h"
#include "parser/module_table.h"
#include "parser/nodes.h"
#include "parser/parser.h"
#include "parser/statements.h"

namespace {

std::string generated_module(size_t target_bytes) {
    std::string text;
    for (int n = 0; text.size() < target_bytes; ++n) {
        const std::string i = std::to_string(n);
        text += "// Orders of customer group " + i + "\n";
        text += "function orders_" + i + "(db, customer, limit = 20) {\n";
        text += "    var rows = select(db, \"select id, total, placed_at from orders where customer = :customer "
                "and total > :(limit * 2) order by placed_at desc\");\n";
        text += "    var summary = {count: 0, total: 0.0, label: 'group " + i + "', tags: [\"a\", \"b\", " + i +
                "]};\n";
        text += "    for (var k = 0; k < rows.length; k++) {\n";
        text += "        let row = rows[k];\n";
        text += "        if (row.total >= 100 && row.id % 2 == 0) { summary.count += 1; } else { summary.total = "
                "summary.total + row.total * 1.08; }\n";
        text += "    }\n";
        text += "    while (summary.count > limit) { summary.count--; }\n";
        text += "    switch (summary.count) { case 0: summary.label = `none ${i}`; break; default: "
                "summary.label += \"!\"; }\n";
        text += "    try { sendToFront(\"summary\", summary); } catch (e) { console.error(e.message); }\n";
        text += "    return summary.count > 0 ? summary : null;\n";
        text += "}\n\n";
    }
    return text;
}

double parse_once(const std::string& source) {
    using namespace kova;
    reset_process_state();
    module_add("bench.js", 8);
    std::vector<char> buffer(1, '\n');
    buffer.insert(buffer.end(), source.begin(), source.end());
    buffer.push_back('\0');
    StatementList list{};
    const auto start = std::chrono::steady_clock::now();
    try {
        g_parser.line = 1;
        strip_comments(buffer.data() + 1);
        g_parser.last_line_feed = buffer.data();
        parse_statement_list(buffer.data() + 1, &list, true, false);
    } catch (const ScriptUnwind&) {
        std::printf("parse error: %s\n", g_errors.text);
        std::exit(1);
    }
    const auto stop = std::chrono::steady_clock::now();
    if (list.heap_owned) std::free(list.items);
    return std::chrono::duration<double>(stop - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    // --write FILE: the module as a file, with a main() to call, for the
    // benchmarks of whole requests and of compiled images.
    if (argc == 3 && std::strcmp(argv[1], "--write") == 0) {
        const std::string text = generated_module(1 << 20) + "function main() { sendToFront(\"loaded\", 1); }\n";
        std::FILE* file = std::fopen(argv[2], "wb");
        if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size() || std::fclose(file) != 0) {
            std::perror(argv[2]);
            return 1;
        }
        return 0;
    }
    const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
    kova::stop_table_init();
    const std::string source = generated_module(1 << 20);
    double best = 1e9;
    for (int r = 0; r < runs; ++r) {
        const double seconds = parse_once(source);
        if (seconds < best) best = seconds;
    }
    const double megabytes = static_cast<double>(source.size()) / (1024.0 * 1024.0);
    std::printf("parsed %.2f MB (%zu lines) in %.4f s: %.1f MB/s\n", megabytes,
                static_cast<size_t>(std::count(source.begin(), source.end(), '\n')), best, megabytes / best);
    return 0;
}

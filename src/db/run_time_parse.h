// Parsing text while a script runs (expression markers of SQL texts, the
// statements of `record_map`): the parser reports positions of the
// statement being run, marks its nodes as parsed at run time, and has its
// place put back afterwards.
#pragma once

#include <cstdint>

#include "core/errors.h"
#include "parser/parser.h"

namespace kova {

// `text` is the start of the run-time text; the byte before it belongs to
// the same buffer (columns count from it, as from a line feed).
class RunTimeParse {
public:
    explicit RunTimeParse(char* text)
        : line_(g_parser.line),
          last_line_feed_(g_parser.last_line_feed),
          module_(g_parser.module),
          run_time_(g_parser.run_time) {
        g_parser.module = g_errors.module;
        g_parser.line = g_errors.line;
        g_parser.last_line_feed = text - 1;
        g_parser.run_time = true;
    }
    ~RunTimeParse() {
        g_parser.line = line_;
        g_parser.last_line_feed = last_line_feed_;
        g_parser.module = module_;
        g_parser.run_time = run_time_;
    }
    RunTimeParse(const RunTimeParse&) = delete;
    RunTimeParse& operator=(const RunTimeParse&) = delete;

private:
    uint32_t line_;
    const char* last_line_feed_;
    uint32_t module_;
    bool run_time_;
};

}  // namespace kova

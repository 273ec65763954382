// The per-module debugging lists: breakpoint lines, conditional
// breakpoints and trace labels, as the front end sets them (with a
// module's text, or by command at a stop).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kova {

// Forgets every list without releasing anything (start of a process: the
// areas the conditions lived in are reset too).
void lists_reset();
// Empties one module's lists, releasing its conditions.
void lists_clear(uint32_t module);

// The module whose name equals `path` (with "\\" read as "/"), or -1.
int32_t module_by_path(const char* path, size_t length);

// Replace a module's lists from the front end's entry texts:
// lines "12:15:", conditions and labels "12:text;" each followed by one
// separator character. Malformed entries end the list.
void set_breakpoint_lines(uint32_t module, const char* text, size_t length);
void set_conditions(uint32_t module, const char* text, size_t length);
void set_trace_labels(uint32_t module, const char* text, size_t length);

// True when the line has a breakpoint or a conditional breakpoint.
bool has_breakpoint_at(uint32_t module, uint32_t line);
bool is_breakpoint_line(uint32_t module, uint32_t line);

// The label of the first trace entry whose line lies within
// [first_line, last_line], or -1.
int32_t trace_label_within(uint32_t module, uint32_t first_line, uint32_t last_line);
const std::string& label_text(int32_t label);

}  // namespace kova

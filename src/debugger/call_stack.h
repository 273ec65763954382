// The debugger's call stack: the top level and one entry per script call
// in progress, with the position each level is executing and the scope
// registers of the levels that wait in a call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kova {

// Frees the entries (start of a process).
void call_stack_reset();
// A connection begins: the top level alone.
void call_stack_start();

// The innermost entry whose module is `module` and whose function name
// equals the text ("" names the top level), or -1.
int32_t find_entry(uint32_t module, const char* name, size_t length);

// The stop message: "S", then module:function:line:column for each script
// call, outermost first, joined by ";".
std::string stack_message();

}  // namespace kova

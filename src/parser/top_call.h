// The top call text: the function call a request (or the command line)
// names, parsed into the one call node the host evaluates.
#pragma once

#include "core/value.h"

namespace kova {

// Parses the call text (comments already removed) with the no-stop mark.
// Parse error 1720 beyond 31 tokens or for a function literal, 1730 for a
// malformed text; runtime error 1725 unless the text is exactly one call.
void parse_top_call(char* text, Value* out);

}  // namespace kova

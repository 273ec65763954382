// Writing compiled modules (".jo"): the relocatable image of what parsing a
// module left in the memory areas, in the format the module loader reads
// (parser/compiled_module.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "parser/parser.h"

namespace kova {

// The image body of a run that parsed one module into fresh areas: every
// cell page and permanent block from the first, the name table (the
// predefined names first, as every run starts with them), the global
// table, the relocation lists and `statements`. Every word is classified
// by the layout it belongs to (core/value.h, parser/node_kinds.h); a word
// that fits no layout (a value no image can hold, a reference outside the
// run's storage, an item claimed twice) makes it return false with a
// description in `error`.
bool write_image_body(const StatementList& statements, std::vector<uint8_t>* body, std::string* error);

// The file: body length, stored length, then the body as it is or, when
// `compress` is set and it comes out shorter, zero-suppressed.
std::vector<uint8_t> image_file(const std::vector<uint8_t>& body, bool compress);

// The zero-suppressed form of a body (six header bytes, the dictionary,
// the code stream), its run, zero and dictionary codes chosen from the
// body's byte statistics.
std::vector<uint8_t> compress_body(const std::vector<uint8_t>& body);

}  // namespace kova

// Loading a module: reading its file from the module directory and turning
// it into the module's statement list, by parsing source text or by
// loading a compiled image (".jo").
#pragma once

#include <cstddef>
#include <cstdint>

#include "parser/parser.h"

namespace kova {

inline constexpr size_t MODULE_PATH_LIMIT = 512;  // bytes, with the NUL
inline constexpr size_t MODULE_READ_CALLS = 100;

// The reusable buffer module files are read into. Byte 0 is a line feed
// that precedes the text, so that the first byte of line 1 is column 1.
struct ModuleLoaderState {
    char* buffer;
    size_t size;
};
extern ModuleLoaderState g_module_loader;

void module_loader_reset();

// The file path of a module: MODULE_DIR + "/" + name, or the name alone
// when the directory is empty or (in console mode) the name is absolute;
// "\\" becomes "/". Returns false when the path needs more than
// MODULE_PATH_LIMIT bytes; `out` then holds it cut to fit.
bool module_path(const char* name, char (&out)[MODULE_PATH_LIMIT]);

// Loads module `module_number` (its name from the module table) into
// `list`. Parse error 1165 when the file cannot be opened or read, or its
// path is too long.
void load_module(uint32_t module_number, StatementList* list);
// The same for a module that is source text whatever its name says (the
// module compiler).
void load_source_module(uint32_t module_number, StatementList* list);

}  // namespace kova

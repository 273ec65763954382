// The module table: the names of the modules a run loads, in order, by
// module number. Error texts name a module by its entry here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kova {

// Paths from the configuration, the request or the command line, plus the
// MainScript entry of the top call.
inline constexpr uint32_t MODULE_TABLE_CAPACITY = 128;
// Appending is refused once the last index is above this.
inline constexpr uint32_t MODULE_LAST_INDEX_LIMIT = 125;

struct ModuleTable {
    uint32_t count;
    char* names[MODULE_TABLE_CAPACITY];  // heap copies, "\\" turned into "/"
};

extern ModuleTable g_modules;

void modules_reset();
// True when no further module may be appended.
bool module_table_full();
// Appends a copy of the name (the caller checks module_table_full first);
// returns its module number.
uint32_t module_add(const char* name, size_t length);
// The module's name, or "" for a number outside the table.
const char* module_name(uint32_t index);

}  // namespace kova

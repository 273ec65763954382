// The module table.
#include "parser/module_table.h"

#include <cstdlib>
#include <cstring>

namespace kova {

ModuleTable g_modules;

void modules_reset() {
    for (uint32_t i = 0; i < g_modules.count; ++i) std::free(g_modules.names[i]);
    g_modules.count = 0;
}

bool module_table_full() {
    return g_modules.count >= MODULE_TABLE_CAPACITY ||
           (g_modules.count > 0 && g_modules.count - 1 > MODULE_LAST_INDEX_LIMIT);
}

uint32_t module_add(const char* name, size_t length) {
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) std::abort();
    for (size_t i = 0; i < length; ++i) copy[i] = name[i] == '\\' ? '/' : name[i];
    copy[length] = '\0';
    g_modules.names[g_modules.count] = copy;
    return g_modules.count++;
}

const char* module_name(uint32_t index) {
    return index < g_modules.count ? g_modules.names[index] : "";
}

}  // namespace kova

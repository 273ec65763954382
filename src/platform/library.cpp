// Dynamic loading of the database client library.
#include <dlfcn.h>

#include "platform/platform.h"

namespace kova::platform {

void* library_open(const char* path) { return ::dlopen(path, RTLD_NOW | RTLD_LOCAL); }

void* library_symbol(void* library, const char* name) { return ::dlsym(library, name); }

const char* library_error() {
    const char* text = ::dlerror();
    return text != nullptr ? text : "";
}

}  // namespace kova::platform

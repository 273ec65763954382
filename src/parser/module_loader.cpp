// Loading one module from its file.
#include "parser/module_loader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/errors.h"
#include "host/config.h"
#include "host/host.h"
#include "parser/compiled_module.h"
#include "parser/lexer.h"
#include "parser/module_table.h"
#include "parser/statements.h"
#include "platform/platform.h"

#if KOVA_DEBUGGER
#include "debugger/debugger.h"
#endif

namespace kova {

ModuleLoaderState g_module_loader;

namespace {

[[noreturn]] void cannot_open(const char* path) { raise_parse_error(1165, "ファイルオープン不正 '%s'", path); }

// Appends `text` to out[used..], turning "\\" into "/"; false when it does
// not fit (the part that fits is kept, NUL-terminated).
bool append_path(char (&out)[MODULE_PATH_LIMIT], size_t* used, const char* text) {
    for (const char* p = text; *p != '\0'; ++p) {
        if (*used + 1 >= MODULE_PATH_LIMIT) {
            out[*used] = '\0';
            return false;
        }
        out[(*used)++] = *p == '\\' ? '/' : *p;
    }
    out[*used] = '\0';
    return true;
}

bool is_compiled_name(const char* path) {
    const size_t length = std::strlen(path);
    if (length < 3) return false;
    const char* extension = path + length - 3;
    return std::strcmp(extension, ".jo") == 0 || std::strcmp(extension, ".JO") == 0;
}

// Makes room for a file of `length` bytes after the leading line feed.
char* text_buffer(size_t length) {
    if (length + 4 > g_module_loader.size) {
        auto* buffer = static_cast<char*>(std::malloc(length + 20));
        if (buffer == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
        std::free(g_module_loader.buffer);
        g_module_loader.buffer = buffer;
        g_module_loader.size = length + 20;
    }
    return g_module_loader.buffer;
}

#if KOVA_DEBUGGER
// A text the debugger supplied, into the buffer as a file is read.
size_t take_fetched_text(const std::string& fetched) {
    char* buffer = text_buffer(fetched.size());
    buffer[0] = '\n';
    std::memcpy(buffer + 1, fetched.data(), fetched.size());
    buffer[fetched.size() + 1] = '\0';
    return fetched.size();
}
#endif

// Reads the whole file into the buffer after its leading line feed and
// adds the NUL; returns the bytes read.
size_t read_module_file(const char* path) {
    std::FILE* file = platform::open_for_reading(path);
    if (file == nullptr) cannot_open(path);
    const int64_t length = platform::file_length(file);
    if (length < 0 || uint64_t(length) > SIZE_MAX - 20) {
        std::fclose(file);
        cannot_open(path);
    }
    char* buffer = nullptr;
    try {
        buffer = text_buffer(size_t(length));
    } catch (...) {
        std::fclose(file);
        throw;
    }
    char* text = buffer + 1;
    size_t total = 0;
    for (size_t call = 0; call < MODULE_READ_CALLS && total < size_t(length); ++call) {
        const size_t n = std::fread(text + total, 1, size_t(length) - total, file);
        if (n == 0) break;
        total += n;
    }
    std::fclose(file);
    buffer[0] = '\n';
    text[total] = '\0';
    return total;
}

}  // namespace

void module_loader_reset() {
    std::free(g_module_loader.buffer);
    g_module_loader = ModuleLoaderState{};
}

bool module_path(const char* name, char (&out)[MODULE_PATH_LIMIT]) {
    size_t used = 0;
    out[0] = '\0';
    const std::string& dir = g_config.module_dir;
    const bool absolute = name[0] == '/' || name[0] == '\\';
    if (dir.empty() || (absolute && g_host.console_mode)) return append_path(out, &used, name);
    if (!append_path(out, &used, dir.c_str())) return false;
    if (out[used - 1] != '/' && !append_path(out, &used, "/")) return false;
    return append_path(out, &used, name);
}

namespace {

// Sets the parser at the module's first line and finds its file.
void begin_module(uint32_t module_number, char (&path)[MODULE_PATH_LIMIT]) {
    g_parser.module = module_number;
    g_parser.line = 1;
    g_parser.run_time = false;
    if (!module_path(module_name(module_number), path)) cannot_open(path);
}

void parse_module_text(StatementList* list) {
    char* text = g_module_loader.buffer + 1;
    strip_comments(text);
    g_parser.last_line_feed = g_module_loader.buffer;
    parse_statement_list(text, list, true, false);
}

// The module's text of `length` bytes is in the buffer after its leading
// line feed: a compiled image, or source text to parse.
void load_module_text(size_t length, bool compiled, StatementList* list, const char* path) {
    if (compiled) {
        load_compiled_module(reinterpret_cast<const uint8_t*>(g_module_loader.buffer + 1), length, list, path);
        return;
    }
    parse_module_text(list);
}

}  // namespace

void load_module(uint32_t module_number, StatementList* list) {
    char path[MODULE_PATH_LIMIT];
    begin_module(module_number, path);
#if KOVA_DEBUGGER
    // The debugger's front end may supply the text (source or a compiled
    // image) in place of the file, with the module's breakpoints.
    FetchedModule fetched;
    if (debugger_fetch_module(module_number, fetched)) {
        load_module_text(take_fetched_text(fetched.text), fetched.compiled, list, path);
        if (fetched.has_lists) debugger_apply_lists(module_number, fetched.lists);
        return;
    }
#endif
    load_module_text(read_module_file(path), is_compiled_name(path), list, path);
}

void load_source_module(uint32_t module_number, StatementList* list) {
    char path[MODULE_PATH_LIMIT];
    begin_module(module_number, path);
    read_module_file(path);
    parse_module_text(list);
}

}  // namespace kova

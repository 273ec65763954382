// The module directory fingerprint.
#include "host/fingerprint.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "core/errors.h"
#include "platform/platform.h"

namespace kova {

namespace {

constexpr char CHANGED_TEXT[] = "JSモジュールのディレクトリの内容が変わっています。";
constexpr char TIME_FAILURE_TEXT[] = "FileTimeToSystemTime Error\n";

struct ListedFile {
    std::string path;
    std::string line;
};

struct Walk {
    std::string path;  // the directory as it appears in the lines
    std::vector<ListedFile>* files;
    int depth;
    bool ok;
};

void visit_entry(const platform::DirectoryEntry& entry, void* context) {
    Walk& walk = *static_cast<Walk*>(context);
    if (!walk.ok) return;
    std::string path = walk.path;
    path += '/';
    path += entry.name;
    if (entry.is_directory) {
        if (walk.depth >= FINGERPRINT_DEPTH_LIMIT) {
            walk.ok = false;
            return;
        }
        Walk inner{path, walk.files, walk.depth + 1, true};
        if (!platform::list_directory(inner.path.c_str(), visit_entry, &inner) || !inner.ok) walk.ok = false;
        return;
    }
    if (!is_module_file_name(entry.name)) return;
    ListedFile file;
    if (!fingerprint_line(path.c_str(), entry.modified, entry.size, file.line)) {
        platform::write_stdout(TIME_FAILURE_TEXT, sizeof TIME_FAILURE_TEXT - 1);
        platform::flush_stdout();
        platform::exit_process(2);
    }
    file.path = std::move(path);
    walk.files->push_back(std::move(file));
}

}  // namespace

bool is_module_file_name(const char* name) {
    const size_t length = std::strlen(name);
    if (length < 3) return false;
    const char* extension = name + length - 3;
    return extension[0] == '.' && (extension[1] == 'j' || extension[1] == 'J') &&
           (extension[2] == 's' || extension[2] == 'S' || extension[2] == 'o' || extension[2] == 'O');
}

bool fingerprint_line(const char* path, int64_t modified, uint64_t size, std::string& line) {
    std::tm fields;
    if (!platform::utc_time(modified, &fields)) return false;
    char tail[96];
    std::snprintf(tail, sizeof tail, ";%d/%02d/%02d %02d:%02d:%02d;%d:%d\n", fields.tm_year + 1900,
                  fields.tm_mon + 1, fields.tm_mday, fields.tm_hour + 9, fields.tm_min, fields.tm_sec,
                  static_cast<int32_t>(size >> 32), static_cast<int32_t>(size & 0xFFFFFFFFu));
    line = path;
    line += tail;
    return true;
}

bool module_dir_listing(const char* dir, std::string& text) {
    std::vector<ListedFile> files;
    Walk walk{dir, &files, 0, true};
    if (!walk.path.empty() && walk.path.back() == '/') walk.path.pop_back();
    if (!platform::list_directory(dir, visit_entry, &walk) || !walk.ok) return false;
    std::sort(files.begin(), files.end(),
              [](const ListedFile& a, const ListedFile& b) { return a.path < b.path; });
    text.clear();
    for (const ListedFile& file : files) text += file.line;
    return true;
}

bool module_dir_fingerprint(const char* dir, char out[SHA256_HEX_SIZE]) {
    std::string text;
    if (!module_dir_listing(dir, text)) return false;
    sha256_hex(text.data(), text.size(), out);
    return true;
}

void check_module_dir_fingerprint(const char* dir, std::string_view expected) {
    char actual[SHA256_HEX_SIZE];
    if (!module_dir_fingerprint(dir, actual) || expected != actual) fatal_error(CHANGED_TEXT);
}

}  // namespace kova

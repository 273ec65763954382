// The module directory fingerprint: a SHA-256 over a listing of the module
// files (path, modification time, size), written after MODULE_DIR in the
// configuration so that a changed installation refuses to run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "host/sha256.h"

namespace kova {

// Subdirectories nested deeper than this make the listing fail (a symbolic
// link to a parent would otherwise recurse without end).
inline constexpr int FINGERPRINT_DEPTH_LIMIT = 64;

// True for a name ending in ".js" or ".jo", letters in either case.
bool is_module_file_name(const char* name);

// One listing line "path;time;size\n" into line. The time is the UTC
// modification time with 9 added to the hour (no carry, so 9 to 32); the size
// is "high:low" of its 32-bit halves. False when the time cannot be broken
// down.
bool fingerprint_line(const char* path, int64_t modified, uint64_t size, std::string& line);

// The listing of every module file under dir, recursively, sorted by path
// (bytes) and joined. A line's path is dir without one trailing "/", then
// "/" and the path below dir. False when dir or one of its subdirectories
// cannot be listed. A file time that cannot be broken down ends the process
// with status 2 after "FileTimeToSystemTime Error\n" on standard output.
bool module_dir_listing(const char* dir, std::string& text);

// SHA-256 of the listing as 64 lower-case hex digits; false as for the listing.
bool module_dir_fingerprint(const char* dir, char out[SHA256_HEX_SIZE]);

// Ends the process through fatal_error unless dir can be listed and its
// fingerprint equals expected.
void check_module_dir_fingerprint(const char* dir, std::string_view expected);

}  // namespace kova

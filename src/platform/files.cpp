// Files, directories and standard output.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace kova::platform {

bool file_exists(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0;
}

std::FILE* open_for_reading(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return nullptr;
    // A directory opens on Linux but cannot be read: refuse it here.
    struct stat st;
    if (::fstat(::fileno(file), &st) != 0 || S_ISDIR(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
        std::fclose(file);
        errno = error;
        return nullptr;
    }
    return file;
}

bool write_file_replacing(const char* path, const void* data, size_t size) {
    std::string temporary = std::string(path) + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return false;
    // The permissions a new file would get (mkstemp makes it private).
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool written = write_all(fd, data, size) && ::fchmod(fd, 0666 & ~mask) == 0;
    int error = written ? 0 : errno;
    if (::close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && ::rename(temporary.c_str(), path) != 0) {
        written = false;
        error = errno;
    }
    if (!written) {
        ::unlink(temporary.c_str());
        errno = error;
    }
    return written;
}

const char* last_error_text() { return std::strerror(errno); }

int64_t file_length(std::FILE* file) {
    struct stat st;
    if (::fstat(::fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool executable_directory(char* out, size_t size) {
    if (size < 2) return false;
    ssize_t n = ::readlink("/proc/self/exe", out, size - 1);
    if (n <= 0) return false;
    out[n] = '\0';
    char* slash = std::strrchr(out, '/');
    if (slash == nullptr) return false;
    slash[1] = '\0';
    return true;
}

bool list_directory(const char* path, void (*visit)(const DirectoryEntry&, void*), void* context) {
    DIR* dir = ::opendir(path);
    if (dir == nullptr) return false;
    const size_t path_length = std::strlen(path);
    while (struct dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        const size_t name_length = std::strlen(name);
        char* full = static_cast<char*>(std::malloc(path_length + name_length + 2));
        if (full == nullptr) continue;
        std::memcpy(full, path, path_length);
        full[path_length] = '/';
        std::memcpy(full + path_length + 1, name, name_length + 1);
        struct stat st;
        if (::stat(full, &st) == 0) {
            DirectoryEntry item{name, S_ISDIR(st.st_mode), static_cast<int64_t>(st.st_mtime),
                                static_cast<uint64_t>(st.st_size)};
            visit(item, context);
        }
        std::free(full);
    }
    ::closedir(dir);
    return true;
}

int open_locked_append(const char* path) {
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool write_all(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void close_file(int fd) { ::close(fd); }

size_t read_stdin(void* data, size_t size) { return std::fread(data, 1, size, stdin); }

namespace {
// The stream is gone once closed: later writes (a journal failure record
// after the response was closed) must not touch it.
bool g_stdout_closed = false;
bool g_stdout_failed = false;  // something written did not get through

void stdout_failed() {
    g_stdout_closed = true;
    g_stdout_failed = true;
}
}  // namespace

// A failed write ends the output: the reader is gone, and nothing later
// would reach it either.
void write_stdout(const void* data, size_t size) {
    if (g_stdout_closed) return;
    if (std::fwrite(data, 1, size, stdout) != size) stdout_failed();
}
void flush_stdout() {
    if (g_stdout_closed) return;
    if (std::fflush(stdout) != 0) stdout_failed();
}
bool close_stdout() {
    if (!g_stdout_closed) {
        g_stdout_closed = true;
        if (std::fflush(stdout) != 0) g_stdout_failed = true;
        if (std::fclose(stdout) != 0) g_stdout_failed = true;
    }
    return !g_stdout_failed;
}

void write_stderr(const void* data, size_t size) {
    std::fwrite(data, 1, size, stderr);
    std::fflush(stderr);
}

[[noreturn]] void exit_process(int status) { std::_Exit(status); }

}  // namespace kova::platform

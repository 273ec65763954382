// The platform layer: every operating-system call of the program goes
// through here, so the rest of the code never includes a system header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace kova::platform {

// ---- files --------------------------------------------------------------
bool file_exists(const char* path);
std::FILE* open_for_reading(const char* path);  // binary mode; null on failure (errno says why)
// Writes a whole file through a temporary beside it, renamed over `path`
// once complete, so a failure never leaves a partial file. False on
// failure, with errno set.
bool write_file_replacing(const char* path, const void* data, size_t size);
// The system's text for the last failure (errno).
const char* last_error_text();
int64_t file_length(std::FILE* file);           // bytes, from the file system; -1 on failure
// The directory of the running executable, with its trailing "/", or false.
bool executable_directory(char* out, size_t size);

struct DirectoryEntry {
    const char* name;
    bool is_directory;
    int64_t modified;  // seconds since 1970, UTC
    uint64_t size;
};
// Calls visit for every entry except "." and ".."; false if the directory
// cannot be opened.
bool list_directory(const char* path, void (*visit)(const DirectoryEntry&, void*), void* context);

// Exclusive append for the shared journal: open (created 0644) and take a
// non-blocking exclusive lock. Returns a descriptor, or -1.
int open_locked_append(const char* path);
bool write_all(int fd, const void* data, size_t size);
void close_file(int fd);

// ---- standard input and output ------------------------------------------
// One read of up to `size` bytes (blocking until they arrive or the input
// ends); returns the bytes read, 0 at the end or on an error.
size_t read_stdin(void* data, size_t size);
// After close_stdout, or once a write has failed (the reader went away),
// writing and flushing do nothing.
void write_stdout(const void* data, size_t size);
void flush_stdout();
// False when what was written could not all be delivered.
bool close_stdout();
// Unbuffered: a message for whoever started the program.
void write_stderr(const void* data, size_t size);

// ---- environment ----------------------------------------------------------
const char* env_get(const char* name);  // null when unset
bool env_set(const char* name, const char* value);

// ---- time -------------------------------------------------------------------
// Local time is that of the process's time zone (TZ), read again at every
// local conversion, so a TZ set by the configuration's ENV lines holds.
int64_t time_now();  // seconds since 1970
struct Instant { int64_t seconds; int64_t nanoseconds; };
Instant realtime_now();
bool local_time(int64_t seconds, std::tm* out);  // false on failure or negative seconds
bool utc_time(int64_t seconds, std::tm* out);
// By how many seconds the local time that local_time broke down is ahead
// of UTC (negative behind it), for that very instant.
int32_t utc_offset_seconds(const std::tm& local);
// The seconds of broken-down fields, read as local time (tm_isdst as the
// caller set it) or as UTC. Fields beyond their range carry over (hour 25
// is 1 o'clock the next day); `fields` is normalised in place. -1 when the
// result cannot be represented.
int64_t make_local_time(std::tm* fields);
int64_t make_utc_time(std::tm* fields);
void sleep_ms(unsigned milliseconds);
// Milliseconds of a clock that never jumps (for time-outs).
int64_t monotonic_ms();

// ---- random generator (the same sequence on every build) -------------------
void random_seed(uint32_t seed);
int random_next();  // 0..32767

// ---- dynamic loading --------------------------------------------------------
void* library_open(const char* path);  // null on failure
void* library_symbol(void* library, const char* name);
const char* library_error();  // the loader's last message, or ""

// ---- sockets (debugger connection; compiled into kova-dbg only) -------------
// Connects to host:port over TCP, waiting at most timeout_ms for the
// connection to complete without an error; returns a descriptor or -1.
int socket_connect(const char* host, const char* port, int timeout_ms);
// Wait for the socket to become readable / writable: 1 ready, 0 time-out,
// -1 error (also a hang-up or an error condition on the socket while
// waiting to write).
int socket_wait_readable(int fd, int timeout_ms);
int socket_wait_writable(int fd, int timeout_ms);
// Neither call blocks and neither raises a signal. Returns the bytes
// moved, SOCKET_WOULD_BLOCK when nothing could be moved now, -1 on an
// error; socket_receive returns 0 when the peer closed the connection.
inline constexpr long SOCKET_WOULD_BLOCK = -2;
long socket_send(int fd, const void* data, size_t size);
long socket_receive(int fd, void* data, size_t size);
void socket_close(int fd);

// ---- process ------------------------------------------------------------------
[[noreturn]] void exit_process(int status);
// Writes to a pipe whose reader has gone fail with an error instead of
// ending the process by a signal.
void ignore_broken_pipe();
// The size the main thread's stack may grow to, in bytes; 0 when the system
// sets no limit.
size_t stack_size_limit();

}  // namespace kova::platform

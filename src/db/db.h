// Database access: the process-wide state of the client library binding,
// the open-connection list and the prepared-statement counter, and the
// connection record behind a connection value (tag 3).
//
// Every connection runs inside one transaction from the moment it opens;
// nothing commits but `closeDb` with "commit". The host calls
// db_end_of_run() when a run ends, however it ends, so nothing a script left
// uncommitted survives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/areas.h"
#include "core/value.h"
#include "db/client_library.h"

namespace kova {

inline constexpr uint32_t CONNECTION_LIMIT = 16;
inline constexpr size_t LIBRARY_PATH_SIZE = 256;

struct DbState {
    ClientLibrary client;               // all null until bound; bound once per process
    void* library;                      // the loaded file
    char library_path[LIBRARY_PATH_SIZE];
    Value connections[CONNECTION_LIMIT];  // open-connection list; 0 is an empty slot
    uint32_t open_count;
    uint32_t statement_counter;         // names of prepared statements, modulo 65536
    std::string frame;                  // query frames are built here; kept between statements
};

extern DbState g_db;

// Forgets the binding and the list without touching the library or the
// server (start of a process, and between unit tests).
void db_reset();
// Rolls back and closes every connection still open. Results are not
// checked: a server that went away leaves nothing to undo.
void db_end_of_run();

inline bool client_library_bound() { return g_db.client.setdb_login != nullptr; }

// ---- the connection record ------------------------------------------------------
//
// An area item of 12 bytes: the header byte (tag 3), the kind number (1-5),
// the marker character, the numbered flag, and the client handle. The handle
// is cleared when the connection is closed, so a closed connection is
// recognised and its finished handle never reaches the library again.
// Releasing a connection value never frees its record, so the
// open-connection list may hold connection values without a reference.
inline constexpr size_t CONNECTION_RECORD_SIZE = 12;
inline constexpr size_t CONNECTION_KIND_OFFSET = 1;
inline constexpr size_t CONNECTION_MARKER_OFFSET = 2;
inline constexpr size_t CONNECTION_NUMBERED_OFFSET = 3;
inline constexpr size_t CONNECTION_HANDLE_OFFSET = 4;

inline uint8_t* connection_record(Value connection) { return area_pointer(value_payload(connection)); }
inline PgConnection* connection_handle(Value connection) {
    PgConnection* handle = nullptr;
    std::memcpy(&handle, connection_record(connection) + CONNECTION_HANDLE_OFFSET, sizeof handle);
    return handle;
}
inline void set_connection_handle(Value connection, PgConnection* handle) {
    std::memcpy(connection_record(connection) + CONNECTION_HANDLE_OFFSET, &handle, sizeof handle);
}
inline char connection_marker(Value connection) {
    return static_cast<char>(connection_record(connection)[CONNECTION_MARKER_OFFSET]);
}
inline bool connection_numbered(Value connection) {
    return connection_record(connection)[CONNECTION_NUMBERED_OFFSET] != 0;
}

// The next prepared-statement number: raised by one, modulo 65536. When the
// numbers start over, every open connection drops its prepared statements
// first, so a long run never meets a name it used before.
uint32_t next_statement_number();

}  // namespace kova

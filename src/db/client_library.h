// The PostgreSQL client library, loaded at run time: the twenty entry points
// the database statements use, bound by name from the file the first
// `openDb` names. Nothing of the library is linked or included at build
// time, so its types appear here only as opaque pointers and plain ints.
#pragma once

#include <cstdint>

namespace kova {

using PgConnection = void;  // the library's connection handle
using PgResult = void;      // the library's result handle

// libpq's own numbers for the states the statements test.
inline constexpr int PG_CONNECTION_OK = 0;
inline constexpr int PG_COMMAND_OK = 1;
inline constexpr int PG_TUPLES_OK = 2;
// Type identifiers of the columns that are not read as text.
inline constexpr unsigned PG_TYPE_INT4 = 23;
inline constexpr unsigned PG_TYPE_FLOAT4 = 700;
inline constexpr unsigned PG_TYPE_VARCHAR = 1043;

// The bound entry points, in the order they are looked up.
struct ClientLibrary {
    PgConnection* (*setdb_login)(const char* host, const char* port, const char* options, const char* tty,
                                 const char* database, const char* login, const char* password);
    void (*finish)(PgConnection* connection);
    int (*status)(const PgConnection* connection);
    char* (*error_message)(const PgConnection* connection);
    int (*client_encoding)(const PgConnection* connection);
    int (*set_client_encoding)(PgConnection* connection, const char* encoding);
    PgResult* (*exec)(PgConnection* connection, const char* command);
    char* (*cmd_tuples)(PgResult* result);
    int (*result_status)(const PgResult* result);
    int (*ntuples)(const PgResult* result);
    int (*nfields)(const PgResult* result);
    char* (*fname)(const PgResult* result, int column);
    unsigned (*ftype)(const PgResult* result, int column);
    char* (*getvalue)(const PgResult* result, int row, int column);
    int (*getlength)(const PgResult* result, int row, int column);
    int (*getisnull)(const PgResult* result, int row, int column);
    void (*clear)(PgResult* result);
    const char* (*encoding_to_char)(int encoding);
    PgResult* (*prepare)(PgConnection* connection, const char* name, const char* query, int count,
                         const unsigned* types);
    PgResult* (*exec_prepared)(PgConnection* connection, const char* name, int count, const char* const* values,
                               const int* lengths, const int* formats, int result_format);
    // Not one of the twenty: looked up after them and used when present, so
    // that the library's notices (warnings of the server) are not written
    // to standard error, which this program never writes to.
    void* (*set_notice_processor)(PgConnection* connection, void (*processor)(void*, const char*), void* argument);
};

inline constexpr int CLIENT_ENTRY_COUNT = 20;
extern const char* const CLIENT_ENTRY_NAMES[CLIENT_ENTRY_COUNT];

// Loads the library from `path` (blanks trimmed, "\" read as "/", cut to
// 255 bytes) and binds the entry points into g_db.client, unless they are
// bound already. Errors 1170 (no path), 1175 (not loadable, with the built
// path) and 1180 (an entry point missing, with its name); after a failure
// nothing is bound and a later `openDb` tries again.
void bind_client_library(const char* path, uint32_t length);

}  // namespace kova

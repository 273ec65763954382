// Loading the PostgreSQL client library and binding its entry points.
#include "db/client_library.h"

#include <cstring>

#include "core/errors.h"
#include "db/db.h"
#include "platform/platform.h"

namespace kova {

const char* const CLIENT_ENTRY_NAMES[CLIENT_ENTRY_COUNT] = {
    "PQsetdbLogin",   "PQfinish",         "PQstatus",   "PQerrorMessage", "PQclientEncoding",
    "PQsetClientEncoding", "PQexec",      "PQcmdTuples", "PQresultStatus", "PQntuples",
    "PQnfields",      "PQfname",          "PQftype",    "PQgetvalue",     "PQgetlength",
    "PQgetisnull",    "PQclear",          "pg_encoding_to_char", "PQprepare", "PQexecPrepared",
};

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Stores a looked-up address in a typed slot.
template <typename F>
void take(F& slot, void* address) {
    static_assert(sizeof(F) == sizeof(void*));
    std::memcpy(&slot, &address, sizeof slot);
}

}  // namespace

void bind_client_library(const char* path, uint32_t length) {
    if (client_library_bound()) return;

    uint32_t start = 0;
    while (start < length && is_blank(path[start])) ++start;
    while (length > start && is_blank(path[length - 1])) --length;
    if (start == length) raise_runtime_error(1170, "ダイナミック リンク ライブラリが指定されていません");

    // Paths written Windows-style still work: "\" separates as "/" does.
    char built[LIBRARY_PATH_SIZE];
    uint32_t n = 0;
    for (uint32_t i = start; i < length && n < LIBRARY_PATH_SIZE - 1; ++i) {
        built[n++] = path[i] == '\\' ? '/' : path[i];
    }
    built[n] = '\0';

    void* library = platform::library_open(built);
    if (library == nullptr) raise_runtime_error(1175, "ダイナミック リンク ライブラリ('%s')ロード失敗", built);

    void* found[CLIENT_ENTRY_COUNT];
    for (int i = 0; i < CLIENT_ENTRY_COUNT; ++i) {
        found[i] = platform::library_symbol(library, CLIENT_ENTRY_NAMES[i]);
        if (found[i] == nullptr) {
            // Nothing is kept of a library that lacks an entry point.
            raise_runtime_error(1180, "ダイナミック リンク ライブラリ関数'%s'へのリンク失敗", CLIENT_ENTRY_NAMES[i]);
        }
    }

    ClientLibrary& c = g_db.client;
    take(c.finish, found[1]);
    take(c.status, found[2]);
    take(c.error_message, found[3]);
    take(c.client_encoding, found[4]);
    take(c.set_client_encoding, found[5]);
    take(c.exec, found[6]);
    take(c.cmd_tuples, found[7]);
    take(c.result_status, found[8]);
    take(c.ntuples, found[9]);
    take(c.nfields, found[10]);
    take(c.fname, found[11]);
    take(c.ftype, found[12]);
    take(c.getvalue, found[13]);
    take(c.getlength, found[14]);
    take(c.getisnull, found[15]);
    take(c.clear, found[16]);
    take(c.encoding_to_char, found[17]);
    take(c.prepare, found[18]);
    take(c.exec_prepared, found[19]);
    take(c.set_notice_processor, platform::library_symbol(library, "PQsetNoticeProcessor"));
    // Bound last: a set first slot means every slot is set.
    take(c.setdb_login, found[0]);
    g_db.library = library;
    std::memcpy(g_db.library_path, built, n + 1);
}

}  // namespace kova

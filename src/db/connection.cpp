// Connections: `openDb` and `closeDb`, the connection parameter text, the
// open-connection list and the rollback of whatever is still open when a
// run ends.
#include <cstdio>
#include <cstring>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "db/db.h"
#include "eval/access.h"
#include "eval/eval.h"
#include "eval/handlers.h"

namespace kova {

DbState g_db;

namespace {

// Kind names, 12 characters each, led by 12 blanks: a kind's number is its
// position divided by 12.
constexpr char KIND_TEXT[] = "            sqlserver   oracle      db2         postgresql  sqlite      ";
constexpr size_t KIND_WIDTH = 12;
constexpr size_t KIND_NAME_LIMIT = 39;
constexpr size_t LIBRARY_ARGUMENT_LIMIT = 511;

struct KindStyle {
    char marker;
    bool numbered;
};
constexpr KindStyle KIND_STYLES[6] = {{0, false}, {'?', false}, {':', true}, {'?', false}, {'$', true}, {'?', false}};

// Parameter keys, 6 characters each, in the order they are checked.
constexpr char KEY_TEXT[] = "host  port  db    user  pwd   ";
constexpr size_t KEY_WIDTH = 6;
constexpr int KEY_COUNT = 5;
constexpr size_t SEGMENT_SIZE = 4096;
constexpr size_t VALUE_SIZE = 100;
constexpr size_t VALUE_LIMIT = 97;

struct KeyError {
    int code;
    const char* message;
};
constexpr KeyError MISSING_KEY[KEY_COUNT] = {
    {4100, "PostgreSql接続パラメータ(host)不正"},     {4105, "PostgreSql接続パラメータ(port)不正"},
    {4110, "PostgreSql接続パラメータ(database)不正"}, {4115, "PostgreSql接続パラメータ(user)不正"},
    {4120, "PostgreSql接続パラメータ(password)不正"},
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The kind number of a name (ASCII case ignored), or 0. A name matches
// only a whole cell of the kind text.
int kind_number(const char* name, size_t length) {
    if (length == 0 || length > KIND_NAME_LIMIT || length > KIND_WIDTH) return 0;
    char lowered[KIND_WIDTH + 1];
    for (size_t i = 0; i < length; ++i) {
        lowered[i] = lower(name[i]);
        if (lowered[i] == ' ') return 0;
    }
    for (size_t cell = 1; cell * KIND_WIDTH < sizeof KIND_TEXT - 1; ++cell) {
        const char* at = KIND_TEXT + cell * KIND_WIDTH;
        if (std::memcmp(at, lowered, length) == 0 && at[length] == ' ') return static_cast<int>(cell);
    }
    return 0;
}

// The index (0-4) of a parameter key, or -1.
int key_index(const char* key, size_t length) {
    if (length == 0 || length >= KEY_WIDTH) return -1;
    for (int k = 0; k < KEY_COUNT; ++k) {
        const char* at = KEY_TEXT + k * KEY_WIDTH;
        bool same = at[length] == ' ';
        for (size_t i = 0; same && i < length; ++i) same = at[i] == lower(key[i]);
        if (same) return k;
    }
    return -1;
}

struct ConnectionParameters {
    char values[KEY_COUNT][VALUE_SIZE];
};

// Segments "key = value" separated by ";"; unknown keys and segments
// without "=" are ignored, a later key replaces an earlier one.
void read_parameters(const char* text, size_t length, ConnectionParameters* out) {
    std::memset(out, 0, sizeof *out);
    size_t begin = 0;
    while (begin <= length) {
        size_t end = begin;
        while (end < length && text[end] != ';') ++end;
        char segment[SEGMENT_SIZE];
        const size_t n = end - begin < SEGMENT_SIZE - 1 ? end - begin : SEGMENT_SIZE - 1;
        std::memcpy(segment, text + begin, n);
        segment[n] = '\0';
        begin = end + 1;

        const char* equals = static_cast<const char*>(std::memchr(segment, '=', n));
        if (equals == nullptr) continue;
        size_t key_begin = 0;
        size_t key_end = static_cast<size_t>(equals - segment);
        while (key_begin < key_end && is_blank(segment[key_begin])) ++key_begin;
        while (key_end > key_begin && is_blank(segment[key_end - 1])) --key_end;
        const int key = key_index(segment + key_begin, key_end - key_begin);
        if (key < 0) continue;
        size_t value_begin = static_cast<size_t>(equals - segment) + 1;
        size_t value_end = n;
        while (value_begin < value_end && is_blank(segment[value_begin])) ++value_begin;
        while (value_end > value_begin && is_blank(segment[value_end - 1])) --value_end;
        const size_t value_length = value_end - value_begin;
        if (value_length > VALUE_LIMIT) raise_runtime_error(1600, "DBパラメータの長さ不正");
        std::memcpy(out->values[key], segment + value_begin, value_length);
        out->values[key][value_length] = '\0';
    }
}

// Discards the library's notices (a "rollback" outside a transaction warns,
// for one): this program writes nothing to standard error.
void ignore_notice(void*, const char*) {}

void list_connection(Value connection) {
    for (uint32_t i = 0; i < CONNECTION_LIMIT; ++i) {
        if (g_db.connections[i] == 0) {
            g_db.connections[i] = connection;
            ++g_db.open_count;
            return;
        }
    }
}

void unlist_connection(Value connection) {
    for (uint32_t i = 0; i < CONNECTION_LIMIT; ++i) {
        if (g_db.connections[i] == connection) {
            g_db.connections[i] = 0;
            --g_db.open_count;
            return;
        }
    }
}

// Ends the client side of a connection for good.
void finish_connection(Value connection) {
    PgConnection* handle = connection_handle(connection);
    set_connection_handle(connection, nullptr);
    unlist_connection(connection);
    if (handle != nullptr) g_db.client.finish(handle);
}

void connect(Value connection, const char* library, uint32_t library_length, const char* parameters,
             size_t parameters_length) {
    bind_client_library(library, library_length);
    if (g_db.open_count >= CONNECTION_LIMIT) raise_runtime_error(4102, "接続するデータベースが多すぎます");

    ConnectionParameters p;
    read_parameters(parameters, parameters_length, &p);
    for (int k = 0; k < KEY_COUNT; ++k) {
        if (p.values[k][0] == '\0') raise_runtime_error(MISSING_KEY[k].code, "%s", MISSING_KEY[k].message);
    }

    const ClientLibrary& c = g_db.client;
    PgConnection* handle = c.setdb_login(p.values[0], p.values[1], nullptr, nullptr, p.values[2], p.values[3],
                                         p.values[4]);
    if (handle == nullptr) raise_runtime_error(4125, "pgsql接続エラー(%s)", "");
    if (c.status(handle) != PG_CONNECTION_OK) {
        // A refused handle is finished at once; nothing else refers to it.
        char message[ERROR_TEXT_SIZE];
        std::snprintf(message, sizeof message, "%s", c.error_message(handle));
        c.finish(handle);
        raise_runtime_error(4125, "pgsql接続エラー(%s)", message);
    }
    set_connection_handle(connection, handle);
    list_connection(connection);
    if (c.set_notice_processor != nullptr) c.set_notice_processor(handle, ignore_notice, nullptr);

    const char* encoding = c.encoding_to_char(c.client_encoding(handle));
    if (encoding == nullptr || std::strstr(encoding, "UTF8") == nullptr) c.set_client_encoding(handle, "UTF8");

    PgResult* begun = c.exec(handle, "BEGIN TRANSACTION");
    if (c.result_status(begun) != PG_COMMAND_OK) {
        // The connection stays listed: the end of the run finishes it.
        c.clear(begun);
        raise_runtime_error(4127, "%s(%s)", "begin transaction", c.error_message(handle));
    }
    c.clear(begun);
}

// The text of a string value, or null for any other value.
const char* text_of(Value v, size_t* length) {
    if (value_tag(v) != TAG_STRING) return nullptr;
    *length = string_length(v);
    return string_text(v);
}

}  // namespace

void db_reset() { g_db = DbState{}; }

uint32_t next_statement_number() {
    g_db.statement_counter = (g_db.statement_counter + 1) % 65536;
    if (g_db.statement_counter == 0) {
        for (Value connection : g_db.connections) {
            if (connection == 0 || connection_handle(connection) == nullptr) continue;
            g_db.client.clear(g_db.client.exec(connection_handle(connection), "DEALLOCATE ALL"));
        }
    }
    return g_db.statement_counter;
}

void db_end_of_run() {
    for (uint32_t i = 0; i < CONNECTION_LIMIT && g_db.open_count > 0; ++i) {
        const Value connection = g_db.connections[i];
        if (connection == 0) continue;
        PgConnection* handle = connection_handle(connection);
        if (handle != nullptr) g_db.client.clear(g_db.client.exec(handle, "rollback"));
        finish_connection(connection);
    }
}

Value eval_open_db(Value node) {
    HeldValue library(evaluate(operand(node, 1)));
    HeldValue parameters(evaluate(operand(node, 2)));
    HeldValue kind(evaluate(operand(node, 0)));
    size_t library_length = 0;
    size_t parameters_length = 0;
    size_t kind_length = 0;
    const char* library_text = text_of(library.get(), &library_length);
    const char* parameters_text = text_of(parameters.get(), &parameters_length);
    const char* kind_text = text_of(kind.get(), &kind_length);
    if (library_text == nullptr || parameters_text == nullptr || kind_text == nullptr) {
        raise_runtime_error(1460, "データベース名不正");
    }
    const int number = kind_number(kind_text, kind_length);
    if (number == 0) raise_runtime_error(1460, "データベース名不正");

    uint8_t* record = nullptr;
    const uint32_t reference = area_alloc(CONNECTION_RECORD_SIZE, &record);
    std::memset(record, 0, CONNECTION_RECORD_SIZE);
    record[CONNECTION_KIND_OFFSET] = static_cast<uint8_t>(number);
    record[CONNECTION_MARKER_OFFSET] = static_cast<uint8_t>(KIND_STYLES[number].marker);
    record[CONNECTION_NUMBERED_OFFSET] = KIND_STYLES[number].numbered ? 1 : 0;
    record[0] = make_header(TAG_CONNECTION, 0);
    const Value connection = make_value(TAG_CONNECTION, reference);

    const uint32_t cut = static_cast<uint32_t>(library_length < LIBRARY_ARGUMENT_LIMIT ? library_length
                                                                                        : LIBRARY_ARGUMENT_LIMIT);
    connect(connection, library_text, cut, parameters_text, parameters_length);
    return connection;
}

Value eval_close_db(Value node) {
    HeldValue connection(evaluate(operand(node, 0)));
    if (value_tag(connection.get()) != TAG_CONNECTION) raise_runtime_error(1365, "データベース切断の引数不正");
    bool commit = false;
    if (operand_count(node) > 1) {
        HeldValue operation(evaluate(operand(node, 1)));
        size_t length = 0;
        const char* text = text_of(operation.get(), &length);
        if (text == nullptr) raise_runtime_error(1370, "データベース切断時の操作(commit/rollback)不正");
        // "commit" or "rollback", or a leading part of one of them.
        bool is_commit = length <= 6;
        bool is_rollback = length <= 8;
        for (size_t i = 0; i < length; ++i) {
            is_commit = is_commit && lower(text[i]) == "commit"[i];
            is_rollback = is_rollback && lower(text[i]) == "rollback"[i];
        }
        if (!is_commit && !is_rollback) raise_runtime_error(1375, "データベース切断時の操作(commit/rollback)不正");
        commit = length > 0 && lower(text[0]) == 'c';
    }
    const Value c = connection.get();
    PgConnection* handle = connection_handle(c);
    if (handle == nullptr) raise_runtime_error(1255, "データベース接続不正");

    const ClientLibrary& client = g_db.client;
    if (commit) {
        PgResult* result = client.exec(handle, "commit");
        if (client.result_status(result) != PG_COMMAND_OK) {
            char message[ERROR_TEXT_SIZE];
            std::snprintf(message, sizeof message, "commit(%s)", client.error_message(handle));
            client.clear(result);
            finish_connection(c);
            raise_runtime_error(4130, "%s", message);
        }
        client.clear(result);
    } else {
        client.clear(client.exec(handle, "rollback"));
    }
    finish_connection(c);
    return NAME_UNDEFINED;
}

}  // namespace kova

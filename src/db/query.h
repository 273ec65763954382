// Running statements on the server through the client library, and turning
// result columns back into values.
#pragma once

#include <cstdint>

#include "core/value.h"
#include "db/client_library.h"
#include "db/db.h"
#include "db/sql_statement.h"

namespace kova {

inline constexpr int COLUMN_LIMIT = 255;

// A result of the library, cleared when the scope ends (also on an error
// unwind), so an error is always raised after its result was released.
class ResultHolder {
public:
    ResultHolder() = default;
    explicit ResultHolder(PgResult* result) : result_(result) {}
    ~ResultHolder() { reset(nullptr); }
    ResultHolder(const ResultHolder&) = delete;
    ResultHolder& operator=(const ResultHolder&) = delete;
    void reset(PgResult* result) {
        if (result_ != nullptr) g_db.client.clear(result_);
        result_ = result;
    }
    PgResult* get() const { return result_; }

private:
    PgResult* result_ = nullptr;
};

enum ColumnType : uint8_t { COLUMN_TEXT = 0, COLUMN_INTEGER = 1, COLUMN_FLOAT = 2 };

// A query's result with the type code of each column.
struct QueryResult {
    ResultHolder result;
    int rows = 0;
    int columns = 0;
    uint8_t types[COLUMN_LIMIT];
};

// Binds the value markers, prepares the server text under "select_%d" with
// every parameter typed varchar and runs it (4160, 4162); 4165 for 256 or
// more columns. Positional markers must have been refused before.
void run_query(const SqlStatement& statement, QueryResult& out);
// The same with the value markers already bound into `texts`.
void run_bound_query(const SqlStatement& statement, const ParameterTexts& texts, QueryResult& out);

// A column of a row as a value: SQL NULL is `undefined`, int4 an integer,
// float4 a float, anything else a string of the column's text.
Value column_value(const QueryResult& query, int row, int column);

// Prepares under `name` with the given parameter type and reports a
// failure with `code` and "%s(%s)" of `what` and the server's message.
void prepare_statement(const SqlStatement& statement, const char* name, const ParameterArrays& arrays, int code,
                       const char* what);

// Raises `code` with "%s(%s)" of `what` and the connection's last message.
[[noreturn]] void raise_server_error(PgConnection* handle, int code, const char* what);

}  // namespace kova

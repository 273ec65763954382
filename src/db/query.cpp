// Preparing and running queries, and the values of result columns.
#include "db/query.h"

#include <cstdio>
#include <cstdlib>

#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"

namespace kova {

void raise_server_error(PgConnection* handle, int code, const char* what) {
    raise_runtime_error(code, "%s(%s)", what, g_db.client.error_message(handle));
}

void prepare_statement(const SqlStatement& s, const char* name, const ParameterArrays& arrays, int code,
                       const char* what) {
    ResultHolder prepared(g_db.client.prepare(s.handle, name, s.text, static_cast<int>(s.marker_count), arrays.types));
    if (g_db.client.result_status(prepared.get()) != PG_COMMAND_OK) {
        prepared.reset(nullptr);
        raise_server_error(s.handle, code, what);
    }
}

void run_query(const SqlStatement& s, QueryResult& out) {
    ParameterTexts texts;
    bind_value_markers(s, texts);
    run_bound_query(s, texts, out);
}

void run_bound_query(const SqlStatement& s, const ParameterTexts& texts, QueryResult& out) {
    ParameterArrays arrays;
    fill_parameter_arrays(s, texts, 0, arrays, PG_TYPE_VARCHAR);

    char name[24];
    std::snprintf(name, sizeof name, "select_%u", next_statement_number());
    prepare_statement(s, name, arrays, 4160, "PQprepare(insert temp parameter)");

    const ClientLibrary& c = g_db.client;
    out.result.reset(c.exec_prepared(s.handle, name, static_cast<int>(s.marker_count), arrays.values, arrays.lengths,
                                     arrays.formats, 0));
    const int status = c.result_status(out.result.get());
    if (status != PG_COMMAND_OK && status != PG_TUPLES_OK) {
        out.result.reset(nullptr);
        raise_server_error(s.handle, 4162, "insert temp param ");
    }
    out.columns = c.nfields(out.result.get());
    if (out.columns > COLUMN_LIMIT) {
        out.result.reset(nullptr);
        raise_runtime_error(4165, "カラム数が多すぎます(MAX 256)");
    }
    out.rows = c.ntuples(out.result.get());
    for (int k = 0; k < out.columns; ++k) {
        const unsigned type = c.ftype(out.result.get(), k);
        out.types[k] = type == PG_TYPE_INT4 ? COLUMN_INTEGER : type == PG_TYPE_FLOAT4 ? COLUMN_FLOAT : COLUMN_TEXT;
    }
}

Value column_value(const QueryResult& q, int row, int column) {
    const ClientLibrary& c = g_db.client;
    PgResult* result = q.result.get();
    if (c.getisnull(result, row, column)) return NAME_UNDEFINED;
    const char* text = c.getvalue(result, row, column);
    switch (q.types[column]) {
        case COLUMN_INTEGER:
            return new_integer(std::atoi(text));
        case COLUMN_FLOAT:
            return new_float(std::atof(text));
        default:
            return new_string(text, static_cast<size_t>(c.getlength(result, row, column)));
    }
}

}  // namespace kova

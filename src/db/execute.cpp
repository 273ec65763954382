// `execute`: commands, with markers bound as parameters, optionally run once
// per row of a bind array.
#include <cstdio>
#include <cstdlib>

#include "core/errors.h"
#include "core/values.h"
#include "db/db.h"
#include "db/query.h"
#include "db/sql_statement.h"
#include "eval/access.h"
#include "eval/eval.h"
#include "eval/handlers.h"

namespace kova {

namespace {

constexpr char BIND_ARGUMENT_ERROR[] = "SQL関数の最終引数不正";

int affected_rows(PgResult* result) {
    const char* text = g_db.client.cmd_tuples(result);
    return text != nullptr ? std::atoi(text) : 0;
}

// Runs a prepared statement once; `code` reports a failure.
int run_prepared(const SqlStatement& s, const char* name, const ParameterArrays& arrays, int code) {
    const ClientLibrary& c = g_db.client;
    ResultHolder result(c.exec_prepared(s.handle, name, static_cast<int>(s.marker_count), arrays.values,
                                        arrays.lengths, arrays.formats, 0));
    if (c.result_status(result.get()) != PG_COMMAND_OK) {
        result.reset(nullptr);
        raise_server_error(s.handle, code, "PQexecPrepared(pgsql_sql_bind1)");
    }
    return affected_rows(result.get());
}

int execute_plain(const SqlStatement& s) {
    const ClientLibrary& c = g_db.client;
    ResultHolder result(c.exec(s.handle, s.text));
    if (c.result_status(result.get()) != PG_COMMAND_OK) {
        result.reset(nullptr);
        raise_runtime_error(4135, "pgsql_sql_only(%s)", c.error_message(s.handle));
    }
    return affected_rows(result.get());
}

int execute_with_values(const SqlStatement& s) {
    ParameterTexts texts;
    bind_value_markers(s, texts);
    ParameterArrays arrays;
    fill_parameter_arrays(s, texts, 0, arrays, 0);
    char name[24];
    std::snprintf(name, sizeof name, "bind_01_%u", next_statement_number());
    prepare_statement(s, name, arrays, 4140, "PQprepare(pgsql_sql_bind1)");
    return run_prepared(s, name, arrays, 4145);
}

// Appends the positional texts of one bind row.
void bind_row(const SqlStatement& s, Value row, ParameterTexts& texts) {
    const ArrayCell* cell = cell_as<ArrayCell>(row);
    for (uint32_t p = 0; p < s.positional_count; ++p) {
        const uint32_t n = s.positions[p];
        if (n > cell->count) raise_runtime_error(1250, "バインド番号不正");
        texts.add(load_u32(area_pointer(cell->elements) + 4 * size_t(n - 1)));
    }
}

int execute_with_rows(const SqlStatement& s, Value rows_argument) {
    ParameterTexts texts;
    bind_value_markers(s, texts);
    HeldValue bind(evaluate(rows_argument));
    const Value array = bind.get();
    if (value_tag(array) != TAG_ARRAY) raise_runtime_error(1270, BIND_ARGUMENT_ERROR);

    // One row, or an array whose every element is a row.
    const ArrayCell* cell = cell_as<ArrayCell>(array);
    const uint32_t count = cell->count;
    const uint8_t* elements = area_pointer(cell->elements);
    const bool many = count > 0 && value_tag(load_u32(elements)) == TAG_ARRAY;
    uint32_t row_count = count == 0 ? 0 : 1;
    if (many) {
        for (uint32_t i = 0; i < count; ++i) {
            const Value row = load_u32(elements + 4 * size_t(i));
            if (value_tag(row) != TAG_ARRAY) raise_runtime_error(1270, BIND_ARGUMENT_ERROR);
        }
        row_count = count;
    }
    for (uint32_t r = 0; r < row_count; ++r) {
        // Read again for each row: nothing here moves the element area, but
        // the address is not kept across calls.
        const Value row = many ? load_u32(area_pointer(cell_as<ArrayCell>(array)->elements) + 4 * size_t(r)) : array;
        bind_row(s, row, texts);
    }

    ParameterArrays arrays;
    fill_parameter_arrays(s, texts, s.value_count, arrays, 0);
    char name[24];
    std::snprintf(name, sizeof name, "bind_02_%u", next_statement_number());
    prepare_statement(s, name, arrays, 4150, "PQprepare(pgsql_sql_bind1)");
    int total = 0;
    for (uint32_t r = 0; r < row_count; ++r) {
        fill_parameter_arrays(s, texts, s.value_count + r * s.positional_count, arrays, 0);
        total += run_prepared(s, name, arrays, 4155);
    }
    return total;
}

}  // namespace

Value eval_execute(Value node) {
    const Value connection = evaluate_connection(operand(node, 0));
    SqlStatement s;
    {
        HeldValue sql(evaluate_sql_text(operand(node, 1)));
        build_statement(s, connection, string_text(sql.get()), string_length(sql.get()), false);
    }
    int affected = 0;
    if (operand_count(node) > 2) {
        affected = execute_with_rows(s, operand(node, 2));
    } else {
        refuse_positional_markers(s, 1275, "バインド不正");
        affected = s.marker_count == 0 ? execute_plain(s) : execute_with_values(s);
    }
    return new_integer(affected);
}

}  // namespace kova

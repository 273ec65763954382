// `record_map` runs a piece of script once per row of a query, with "%n"
// placeholders standing for the row's columns; `record_hash` turns a
// two-column query into an object of key and value.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "db/db.h"
#include "db/query.h"
#include "db/run_time_parse.h"
#include "db/scratch.h"
#include "db/sql_statement.h"
#include "eval/access.h"
#include "eval/eval.h"
#include "eval/handlers.h"
#include "eval/scopes.h"
#include "parser/statements.h"

namespace kova {

namespace {

constexpr char ROW_NAME[] = "_c__o__l__m_";
constexpr size_t ROW_NAME_LENGTH = sizeof ROW_NAME - 1;
// "_c__o__l__m_[" + up to 10 digits + "]" for a placeholder of at least two bytes.
constexpr size_t PLACEHOLDER_GROWTH = 13;
constexpr uint32_t INLINE_STATEMENTS = 16;
constexpr uint32_t PLACEHOLDER_CAP = 100000000;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_quote_char(char c) { return c == '\'' || c == '"' || c == '`'; }

// Copies the statement text into `out` (which has a byte before it),
// replacing each placeholder; returns the largest column number used.
uint32_t rewrite_placeholders(const char* text, size_t length, char* out) {
    size_t n = 0;
    uint32_t largest = 0;
    char quote = 0;
    bool escaped = false;
    for (size_t i = 0; i < length;) {
        const char c = text[i];
        if (quote != 0) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == quote) {
                quote = 0;
            }
            out[n++] = c;
            ++i;
            continue;
        }
        if (is_quote_char(c)) quote = c;
        if (c != '%' || (i > 0 && text[i - 1] == '\\')) {
            out[n++] = c;
            ++i;
            continue;
        }
        if (i + 1 >= length || !is_digit(text[i + 1])) raise_runtime_error(1290, "DB拡張関数の文字列不正");
        size_t k = i + 1;
        uint32_t column = 0;
        while (k < length && is_digit(text[k])) {
            if (column < PLACEHOLDER_CAP) column = column * 10 + static_cast<uint32_t>(text[k] - '0');
            ++k;
        }
        std::memcpy(out + n, ROW_NAME, ROW_NAME_LENGTH);
        n += ROW_NAME_LENGTH;
        if (column > 0) n += static_cast<size_t>(std::snprintf(out + n, 16, "[%u]", column - 1));
        if (column > largest) largest = column;
        i = k;
    }
    out[n] = '\0';
    return largest;
}

// The parsed statements of a `record_map`, released when it ends.
class ParsedStatements {
public:
    ParsedStatements() : list{items_, 0, INLINE_STATEMENTS, false} {}
    ~ParsedStatements() {
        for (uint32_t i = 0; i < list.count; ++i) release(list.items[i]);
        if (list.heap_owned) std::free(list.items);
    }
    ParsedStatements(const ParsedStatements&) = delete;
    ParsedStatements& operator=(const ParsedStatements&) = delete;
    StatementList list;

private:
    Value items_[INLINE_STATEMENTS];
};

// The row variable: a local of its own block while the rows are run, so the
// statements find it by name; popped however `record_map` ends.
class RowVariable {
public:
    RowVariable() : saved_top_(g_eval.top), saved_base_(g_eval.block_base) {
        ++g_eval.block_depth;
        g_eval.block_base = g_eval.top + 1;
        push_slot(NAME_COLUMN_MARK, NAME_UNDEFINED);
        slot_ = g_eval.top;
    }
    ~RowVariable() {
        pop_slots_to(saved_top_);
        --g_eval.block_depth;
        g_eval.block_base = saved_base_;
    }
    RowVariable(const RowVariable&) = delete;
    RowVariable& operator=(const RowVariable&) = delete;

    void set(Value row) {
        retain(row);
        Slot& slot = g_eval.locals[slot_];
        const Value old = slot.value;
        slot.value = row;
        release(old);
    }

private:
    uint32_t saved_top_;
    uint32_t saved_base_;
    uint32_t slot_;
};

Value make_row(const QueryResult& q, int row) {
    uint8_t* unused = nullptr;
    const uint32_t columns = static_cast<uint32_t>(q.columns);
    const Value array = new_array_cell(columns, columns + 10, &unused);
    for (uint32_t k = 0; k < columns; ++k) {
        const Value v = column_value(q, row, static_cast<int>(k));
        retain(v);
        store_u32(area_pointer(cell_as<ArrayCell>(array)->elements) + 4 * size_t(k), v);
    }
    return array;
}

}  // namespace

Value eval_record_map(Value node) {
    const Value connection = evaluate_connection(operand(node, 0));
    SqlStatement s;
    {
        HeldValue sql(evaluate_sql_text(operand(node, 1)));
        build_statement(s, connection, string_text(sql.get()), string_length(sql.get()), true);
    }
    refuse_positional_markers(s, 1275, "バインド不正");
    ParameterTexts texts;
    bind_value_markers(s, texts);

    ParsedStatements statements;
    uint32_t largest = 0;
    {
        HeldValue text(evaluate(operand(node, 2)));
        if (value_tag(text.get()) != TAG_STRING) raise_runtime_error(1295, "record_map関数の引数不正");
        const size_t length = string_length(text.get());
        ScratchBuffer<4096> buffer(length * PLACEHOLDER_GROWTH + 2);
        buffer.data()[0] = '\n';
        char* rewritten = buffer.data() + 1;
        largest = rewrite_placeholders(string_text(text.get()), length, rewritten);
        RunTimeParse place(rewritten);
        parse_statement_list(rewritten, &statements.list, true, true);
    }
    if (statements.list.count == 0) raise_runtime_error(1300, "record_map関数の引数不正");

    RowVariable row_variable;
    QueryResult q;
    run_bound_query(s, texts, q);
    for (int r = 0; r < q.rows; ++r) {
        if (largest > static_cast<uint32_t>(q.columns)) {
            raise_runtime_error(1285, "record_map関数でStatement中ののColumn Index不正");
        }
        row_variable.set(make_row(q, r));
        for (uint32_t i = 0; i < statements.list.count; ++i) {
            release_if_temporary(evaluate(statements.list.items[i]));
            if (g_eval.completion != COMPLETION_NONE) return NAME_UNDEFINED;
        }
    }
    return NAME_UNDEFINED;
}

Value eval_record_hash(Value node) {
    const Value connection = evaluate_connection(operand(node, 0));
    SqlStatement s;
    {
        HeldValue sql(evaluate_sql_text(operand(node, 1)));
        build_statement(s, connection, string_text(sql.get()), string_length(sql.get()), true);
    }
    refuse_positional_markers(s, 1275, "バインド不正");
    QueryResult q;
    run_query(s, q);

    const ClientLibrary& c = g_db.client;
    PgResult* result = q.result.get();
    uint32_t pairs = 0;
    for (int r = 0; r < q.rows && q.columns > 0; ++r) {
        if (!c.getisnull(result, r, 0)) ++pairs;
    }
    uint8_t* unused = nullptr;
    const Value object = new_object_cell(0, pairs + 10 <= OBJECT_CAPACITY_LIMIT ? pairs + 10 : pairs, &unused);
    uint32_t count = 0;
    for (int r = 0; r < q.rows && q.columns > 0; ++r) {
        if (c.getisnull(result, r, 0)) continue;
        const uint32_t key = intern(c.getvalue(result, r, 0), static_cast<size_t>(c.getlength(result, r, 0)));
        // A one-column query has no second column: each value is undefined.
        const Value v = q.columns > 1 ? column_value(q, r, 1) : NAME_UNDEFINED;
        retain(v);
        ObjectCell* cell = cell_as<ObjectCell>(object);
        uint8_t* pair = area_pointer(cell->pairs) + 8 * size_t(count);
        store_u32(pair, make_value(TAG_NAME, key));
        store_u32(pair + 4, v);
        cell->count = static_cast<uint16_t>(++count);
    }
    return object;
}

}  // namespace kova

// The queries whose rows come back as script values: `select`,
// `selectHash`, `selectExists` and `selectInto`.
#include <cstdint>
#include <cstring>

#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "db/db.h"
#include "db/query.h"
#include "db/sql_statement.h"
#include "eval/access.h"
#include "eval/eval.h"
#include "eval/handlers.h"

namespace kova {

namespace {

// Makes the statement of a query from its connection and SQL operands and
// runs it.
void run_query_statement(Value node, uint32_t connection_operand, uint32_t sql_operand, SqlStatement& s,
                         QueryResult& q) {
    const Value connection = evaluate_connection(operand(node, connection_operand));
    {
        HeldValue sql(evaluate_sql_text(operand(node, sql_operand)));
        build_statement(s, connection, string_text(sql.get()), string_length(sql.get()), true);
    }
    refuse_positional_markers(s, 1275, "バインド不正");
    run_query(s, q);
}

Value row_array(const QueryResult& q, int row) {
    uint8_t* unused = nullptr;
    const Value array =
        new_array_cell(static_cast<uint32_t>(q.columns), static_cast<uint32_t>(q.columns) + 10, &unused);
    for (int k = 0; k < q.columns; ++k) {
        const Value v = column_value(q, row, k);
        retain(v);
        store_u32(area_pointer(cell_as<ArrayCell>(array)->elements) + 4 * size_t(k), v);
    }
    return array;
}

// The places `selectInto` assigns to, taken before the query runs. An
// element, pair or lastIndex place holds its container until the end.
class Targets {
public:
    Targets() = default;
    ~Targets() {
        for (uint32_t i = 0; i < count_; ++i) {
            if (held_[i]) release(places_[i].container);
        }
    }
    Targets(const Targets&) = delete;
    Targets& operator=(const Targets&) = delete;

    void take(Value target) {
        const Value current = evaluate_target(target);
        release_if_temporary(current);
        if (g_eval.location_kind == LOCATION_NONE || g_eval.const_read) {
            raise_runtime_error(1280, "関数selIntoの値設定先不正");
        }
        Place& place = places_[count_];
        place.kind = g_eval.location_kind;
        place.container = g_eval.location_container;
        place.index = g_eval.location_index;
        const uint8_t kind = place.kind;
        held_[count_] = kind == LOCATION_ELEMENT || kind == LOCATION_PAIR || kind == LOCATION_LAST_INDEX;
        if (held_[count_]) retain(place.container);
        ++count_;
    }
    void store(uint32_t i, Value value) const {
        g_eval.location_kind = places_[i].kind;
        g_eval.location_container = places_[i].container;
        g_eval.location_index = places_[i].index;
        g_eval.const_read = false;
        store_at_location(value);
    }
    uint32_t count() const { return count_; }

private:
    struct Place {
        uint8_t kind;
        uint32_t container;
        uint32_t index;
    };
    Place places_[256];
    bool held_[256];
    uint32_t count_ = 0;
};

}  // namespace

Value eval_select(Value node) {
    SqlStatement s;
    QueryResult q;
    run_query_statement(node, 0, 1, s, q);
    uint8_t* unused = nullptr;
    const Value rows = new_array_cell(static_cast<uint32_t>(q.rows), static_cast<uint32_t>(q.rows) + 10, &unused);
    for (int r = 0; r < q.rows; ++r) {
        const Value row = row_array(q, r);
        retain(row);
        store_u32(area_pointer(cell_as<ArrayCell>(rows)->elements) + 4 * size_t(r), row);
    }
    return rows;
}

Value eval_select_exists(Value node) {
    SqlStatement s;
    QueryResult q;
    run_query_statement(node, 0, 1, s, q);
    return q.rows > 0 ? NAME_TRUE : NAME_FALSE;
}

Value eval_select_hash(Value node) {
    SqlStatement s;
    QueryResult q;
    run_query_statement(node, 0, 1, s, q);
    uint32_t names[COLUMN_LIMIT];
    for (int k = 0; k < q.columns; ++k) {
        const char* name = g_db.client.fname(q.result.get(), k);
        if (name == nullptr) {
            q.result.reset(nullptr);
            raise_runtime_error(4175, "pgsql:PQfname(%s)", g_db.client.error_message(s.handle));
        }
        names[k] = intern(name, std::strlen(name));
    }
    uint8_t* unused = nullptr;
    const Value rows = new_array_cell(static_cast<uint32_t>(q.rows), static_cast<uint32_t>(q.rows) + 10, &unused);
    const uint32_t columns = static_cast<uint32_t>(q.columns);
    for (int r = 0; r < q.rows; ++r) {
        const Value object = new_object_cell(columns, columns + 10, &unused);
        for (uint32_t k = 0; k < columns; ++k) {
            const Value v = column_value(q, r, static_cast<int>(k));
            retain(v);
            uint8_t* pair = area_pointer(cell_as<ObjectCell>(object)->pairs) + 8 * size_t(k);
            store_u32(pair, make_value(TAG_NAME, names[k]));
            store_u32(pair + 4, v);
        }
        retain(object);
        store_u32(area_pointer(cell_as<ArrayCell>(rows)->elements) + 4 * size_t(r), object);
    }
    return rows;
}

Value eval_select_into(Value node) {
    const Value connection = evaluate_connection(operand(node, 0));
    SqlStatement s;
    {
        HeldValue sql(evaluate_sql_text(operand(node, 1)));
        build_statement(s, connection, string_text(sql.get()), string_length(sql.get()), true);
    }
    refuse_positional_markers(s, 1275, "バインド不正");
    Targets targets;
    const uint32_t count = operand_count(node);
    for (uint32_t i = 2; i < count; ++i) targets.take(operand(node, i));

    QueryResult q;
    run_query(s, q);
    if (static_cast<uint32_t>(q.columns) != targets.count()) {
        q.result.reset(nullptr);
        raise_runtime_error(4170, "引数とカラム数が不一致");
    }
    if (q.rows > 1) {
        q.result.reset(nullptr);
        raise_runtime_error(4180, "レコード数不正");
    }
    if (q.rows == 1) {
        for (uint32_t k = 0; k < targets.count(); ++k) targets.store(k, column_value(q, 0, static_cast<int>(k)));
    }
    return new_integer(q.rows);
}

}  // namespace kova

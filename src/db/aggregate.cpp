// `sql_aggregate`: a query's rows folded, in the order the server returns
// them, into sums, counts, averages, extremes and last values per block of
// rows sharing key columns and per group of rows sharing group columns.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/names.h"
#include "core/value_text.h"
#include "core/values.h"
#include "db/db.h"
#include "db/query.h"
#include "db/sql_statement.h"
#include "eval/access.h"
#include "eval/eval.h"
#include "eval/handlers.h"

namespace kova {

namespace {

constexpr uint32_t LIST_LIMIT = 511;
constexpr int32_t MAX_START = -2147483632;
constexpr int32_t MIN_START = 2147483632;

[[noreturn]] void bad_column() { raise_runtime_error(6375, "sql_aggregate関数Column Indexが正しくありません"); }

enum AggregateKind : uint8_t {
    AGGREGATE_VALUE,
    AGGREGATE_SUM,
    AGGREGATE_MAX,
    AGGREGATE_MIN,
    AGGREGATE_AVERAGE,
    AGGREGATE_COUNT
};

// A column value, or an accumulator: null, integer, float or text (the text
// points into the query result, which lives until the last row is emitted).
struct Number {
    enum Type : uint8_t { NUL, INTEGER, FLOAT, TEXT } type = INTEGER;
    int64_t integer = 0;
    double real = 0.0;
    const char* text = nullptr;
    int length = 0;

    static Number of_integer(int64_t n) {
        Number x;
        x.integer = n;
        return x;
    }
    double as_double() const { return type == FLOAT ? real : static_cast<double>(integer); }
};

struct Entry {
    AggregateKind kind;
    int column;  // 0-based; unused by count
};

struct Accumulator {
    Number number;
    int64_t count;  // rows (count) or values taken (average)
};

struct Group {
    std::string text;
    std::vector<Accumulator> accumulators;
};

struct AggregatePlan {
    std::vector<Entry> entries;
    std::vector<int> keys;
    std::vector<int> groups;
    int total = -1;
    bool total_count = false;
};

// A column number, or an array of them, as 0-based columns.
void read_columns(Value v, std::vector<int>& out) {
    if (value_tag(v) == TAG_INTEGER) {
        const int32_t n = cell_as<IntegerCell>(v)->value;
        if (n < 1) bad_column();
        out.push_back(n - 1);
        return;
    }
    if (value_tag(v) != TAG_ARRAY) bad_column();
    const ArrayCell* cell = cell_as<ArrayCell>(v);
    if (cell->count > LIST_LIMIT) raise_runtime_error(6375, "sql_aggregate関数のKeyカラム数が多すぎます");
    for (uint32_t i = 0; i < cell->count; ++i) {
        const Value element = load_u32(area_pointer(cell->elements) + 4 * size_t(i));
        if (value_tag(element) != TAG_INTEGER || cell_as<IntegerCell>(element)->value < 1) bad_column();
        out.push_back(cell_as<IntegerCell>(element)->value - 1);
    }
}

void read_plan(Value object, AggregatePlan& plan) {
    if (value_tag(object) != TAG_OBJECT) raise_runtime_error(6401, "sql_aggregate関数の引数不正(NOT HASH)");
    const uint32_t count = cell_as<ObjectCell>(object)->count;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* pair = area_pointer(cell_as<ObjectCell>(object)->pairs) + 8 * size_t(i);
        const uint32_t key = load_u32(pair);
        const Value v = load_u32(pair + 4);
        const uint32_t name = key_is_integer(key) ? 0xFFFFFFFFu : value_payload(key);
        AggregateKind kind = AGGREGATE_COUNT;
        switch (name) {
            case NAME_VALUE: kind = AGGREGATE_VALUE; break;
            case NAME_SUM: kind = AGGREGATE_SUM; break;
            case NAME_MAXIMUM: kind = AGGREGATE_MAX; break;
            case NAME_MINIMUM: kind = AGGREGATE_MIN; break;
            case NAME_AVERAGE: kind = AGGREGATE_AVERAGE; break;
            case NAME_COUNT:
                plan.entries.push_back(Entry{AGGREGATE_COUNT, 0});
                continue;
            case NAME_KEY:
                plan.keys.clear();
                read_columns(v, plan.keys);
                continue;
            case NAME_GROUP:
                plan.groups.clear();
                read_columns(v, plan.groups);
                continue;
            case NAME_TOTAL:
                if (value_tag(v) != TAG_INTEGER || cell_as<IntegerCell>(v)->value < 1) bad_column();
                plan.total = cell_as<IntegerCell>(v)->value - 1;
                continue;
            case NAME_TOTAL_COUNT:
                plan.total_count = true;
                continue;
            default:
                raise_runtime_error(6390, "sql_aggregate関数のcolumn不正(KEY STRING)");
        }
        std::vector<int> columns;
        read_columns(v, columns);
        for (int column : columns) plan.entries.push_back(Entry{kind, column});
    }
    if (plan.entries.empty() && plan.total < 0 && !plan.total_count) {
        raise_runtime_error(6435, "sql_aggregate集合関数の引数不正");
    }
}

// The text of a group order value.
void append_order_text(std::string& out, Value v) {
    char number[FLOAT_TEXT_SIZE];
    switch (value_tag(v)) {
        case TAG_NAME:
            out.append(name_text(value_payload(v)), name_length(value_payload(v)));
            return;
        case TAG_INTEGER:
            out.append(number,
                       static_cast<size_t>(std::snprintf(number, sizeof number, "%d", cell_as<IntegerCell>(v)->value)));
            return;
        case TAG_FLOAT:
            out.append(number, format_float(cell_as<FloatCell>(v)->value, number));
            return;
        case TAG_STRING:
            out.append(string_text(v), string_length(v));
            return;
        default:
            raise_runtime_error(6420, "sql_aggregate関数のgroup配列不正");
    }
}

void read_group_order(Value order, std::vector<Group>& groups) {
    const ArrayCell* cell = cell_as<ArrayCell>(order);
    for (uint32_t i = 0; i < cell->count; ++i) {
        const Value element = load_u32(area_pointer(cell->elements) + 4 * size_t(i));
        Group group;
        group.text = "(";
        if (value_tag(element) == TAG_ARRAY) {
            const ArrayCell* inner = cell_as<ArrayCell>(element);
            for (uint32_t k = 0; k < inner->count; ++k) {
                if (k > 0) group.text += ':';
                append_order_text(group.text, load_u32(area_pointer(inner->elements) + 4 * size_t(k)));
            }
        } else {
            append_order_text(group.text, element);
        }
        group.text += ')';
        groups.push_back(std::move(group));
    }
}

Number read_column(const QueryResult& q, int row, int column) {
    const ClientLibrary& c = g_db.client;
    Number x;
    if (c.getisnull(q.result.get(), row, column)) {
        x.type = Number::NUL;
        return x;
    }
    const char* text = c.getvalue(q.result.get(), row, column);
    switch (q.types[column]) {
        case COLUMN_INTEGER:
            x.integer = std::atoi(text);
            break;
        case COLUMN_FLOAT:
            x.type = Number::FLOAT;
            x.real = std::atof(text);
            break;
        default:
            x.type = Number::TEXT;
            x.text = text;
            x.length = c.getlength(q.result.get(), row, column);
            break;
    }
    return x;
}

// A value read as a number: a text must be a number as a whole; one within
// 0.000001 of a whole 32-bit number counts as an integer.
bool numeric(const Number& x, Number* out) {
    if (x.type != Number::TEXT) {
        *out = x;
        return true;
    }
    char* end = nullptr;
    const double d = std::strtod(x.text, &end);
    if (x.length == 0 || end != x.text + x.length) return false;
    const double whole = std::round(d);
    out->text = nullptr;
    if (std::fabs(d - whole) < 0.000001 && whole >= -2147483648.0 && whole <= 2147483647.0) {
        out->type = Number::INTEGER;
        out->integer = static_cast<int64_t>(whole);
    } else {
        out->type = Number::FLOAT;
        out->real = d;
    }
    return true;
}

// Integer while both are integers and the sum fits 32 bits, else float.
void add_to(Number& sum, const Number& x) {
    if (sum.type == Number::INTEGER && x.type == Number::INTEGER) {
        const int64_t n = sum.integer + x.integer;
        if (n >= INT32_MIN && n <= INT32_MAX) {
            sum.integer = n;
            return;
        }
    }
    const double d = sum.as_double() + x.as_double();
    sum.type = Number::FLOAT;
    sum.real = d;
}

bool same_value(const Number& a, const Number& b) {
    if (a.type != b.type) return false;
    switch (a.type) {
        case Number::NUL: return true;
        case Number::INTEGER: return a.integer == b.integer;
        case Number::FLOAT: return a.real == b.real;
        default: return a.length == b.length && std::memcmp(a.text, b.text, static_cast<size_t>(a.length)) == 0;
    }
}

// Writes a column value as part of a group text: numbers as their decimal
// text, as the group order elements are written.
void append_group_text(std::string& out, const Number& x) {
    char number[FLOAT_TEXT_SIZE];
    switch (x.type) {
        case Number::NUL: return;
        case Number::INTEGER:
            out.append(number, static_cast<size_t>(
                                   std::snprintf(number, sizeof number, "%lld", static_cast<long long>(x.integer))));
            return;
        case Number::FLOAT: out.append(number, format_float(x.real, number)); return;
        default: out.append(x.text, static_cast<size_t>(x.length)); return;
    }
}

void append_key_text(std::string& out, const Number& x) {
    char number[64];
    switch (x.type) {
        case Number::NUL: return;
        case Number::INTEGER:
            out.append(number, static_cast<size_t>(
                                   std::snprintf(number, sizeof number, "%lld", static_cast<long long>(x.integer))));
            return;
        case Number::FLOAT:
            out.append(number, static_cast<size_t>(std::snprintf(number, sizeof number, "%g", x.real)));
            return;
        default: out.append(x.text, static_cast<size_t>(x.length)); return;
    }
}

Value number_value(const Number& x) {
    switch (x.type) {
        case Number::NUL: return NAME_UNDEFINED;
        case Number::INTEGER: return new_integer(static_cast<int32_t>(x.integer));
        case Number::FLOAT: return new_float(x.real);
        default: return new_string(x.text, static_cast<size_t>(x.length));
    }
}

class Aggregation {
public:
    Aggregation(const AggregatePlan& plan, bool ordered) : plan_(plan), ordered_(ordered) {}

    std::vector<Group>& groups() { return groups_; }

    void start_block() {
        if (!ordered_) groups_.clear();
        for (Group& g : groups_) reset(g);
        if (plan_.groups.empty()) {
            groups_.resize(1);
            reset(groups_[0]);
        }
        total_ = Number::of_integer(0);
        total_count_ = 0;
    }

    void add_row(const QueryResult& q, int row) {
        if (plan_.total >= 0) {
            const Number x = read_column(q, row, plan_.total);
            Number n;
            if (x.type != Number::NUL) {
                if (!numeric(x, &n)) raise_runtime_error(6355, "aggregate関数のデータタイプ不正");
                add_to(total_, n);
            }
        }
        ++total_count_;

        // Without group columns the block has its one group from start_block().
        Group* group = plan_.groups.empty() ? &groups_.front() : nullptr;
        if (!plan_.groups.empty()) {
            row_text_.assign(1, '(');
            for (size_t i = 0; i < plan_.groups.size(); ++i) {
                if (i > 0) row_text_ += ':';
                append_group_text(row_text_, read_column(q, row, plan_.groups[i]));
            }
            row_text_ += ')';
            for (Group& g : groups_) {
                if (g.text == row_text_) {
                    group = &g;
                    break;
                }
            }
            if (group == nullptr) {
                if (ordered_) return;
                groups_.emplace_back();
                groups_.back().text = row_text_;
                reset(groups_.back());
                group = &groups_.back();
            }
        }
        for (size_t e = 0; e < plan_.entries.size(); ++e) update(group->accumulators[e], plan_.entries[e], q, row);
    }

    // The result row of the block: key text, group list text, values.
    Value result_row(const std::string& key_text) const {
        std::string list;
        if (!plan_.groups.empty()) {
            for (const Group& g : groups_) list += g.text;
        }
        std::vector<Value> items;
        if (plan_.groups.empty()) {
            for (size_t e = 0; e < plan_.entries.size(); ++e)
                items.push_back(result_of(groups_[0].accumulators[e], plan_.entries[e]));
        } else {
            for (const Group& g : groups_) {
                std::vector<Value> results;
                for (size_t e = 0; e < plan_.entries.size(); ++e)
                    results.push_back(result_of(g.accumulators[e], plan_.entries[e]));
                items.push_back(results.size() == 1 ? results[0]
                                                    : new_array(results.data(), static_cast<uint32_t>(results.size())));
            }
        }
        if (plan_.total_count) items.push_back(new_integer(static_cast<int32_t>(total_count_)));
        if (plan_.total >= 0) items.push_back(number_value(total_));
        const Value values =
            items.size() == 1 ? items[0] : new_array(items.data(), static_cast<uint32_t>(items.size()));
        const Value row[3] = {new_string(key_text.data(), key_text.size()), new_string(list.data(), list.size()),
                              values};
        return new_array(row, 3);
    }

private:
    void reset(Group& g) const {
        g.accumulators.assign(plan_.entries.size(), Accumulator{});
        for (size_t e = 0; e < plan_.entries.size(); ++e) {
            Accumulator& a = g.accumulators[e];
            a.count = 0;
            const AggregateKind kind = plan_.entries[e].kind;
            a.number = Number::of_integer(kind == AGGREGATE_MAX ? MAX_START : kind == AGGREGATE_MIN ? MIN_START : 0);
        }
    }

    static void update(Accumulator& a, const Entry& entry, const QueryResult& q, int row) {
        if (entry.kind == AGGREGATE_COUNT) {
            ++a.count;
            return;
        }
        const Number x = read_column(q, row, entry.column);
        if (entry.kind == AGGREGATE_VALUE) {
            a.number = x;
            return;
        }
        if (x.type == Number::NUL) return;
        Number n;
        switch (entry.kind) {
            case AGGREGATE_SUM:
            case AGGREGATE_AVERAGE:
                if (!numeric(x, &n)) raise_runtime_error(6355, "aggregate関数のデータタイプ不正");
                add_to(a.number, n);
                ++a.count;
                return;
            case AGGREGATE_MAX:
                if (!numeric(x, &n)) raise_runtime_error(6360, "sql_aggregate関数のデータタイプ不正");
                if (n.as_double() > a.number.as_double()) a.number = n;
                return;
            default:
                if (!numeric(x, &n)) raise_runtime_error(6365, "aggregate関数のデータタイプ不正");
                if (n.as_double() < a.number.as_double()) a.number = n;
                return;
        }
    }

    static Value result_of(const Accumulator& a, const Entry& entry) {
        switch (entry.kind) {
            case AGGREGATE_COUNT:
                return new_integer(static_cast<int32_t>(a.count));
            case AGGREGATE_AVERAGE: {
                const int64_t count = a.count == 0 ? 1 : a.count;
                if (a.number.type == Number::INTEGER) return new_float(static_cast<double>(a.number.integer / count));
                if (a.number.type == Number::FLOAT) return new_float(a.number.real / static_cast<double>(count));
                return new_float(0.0);
            }
            default:
                return number_value(a.number);
        }
    }

    const AggregatePlan& plan_;
    bool ordered_;
    std::vector<Group> groups_;
    std::string row_text_;
    Number total_;
    int64_t total_count_ = 0;
};

}  // namespace

Value eval_sql_aggregate(Value node) {
    const Value connection = evaluate_connection(operand(node, 0));
    SqlStatement s;
    {
        HeldValue sql(evaluate_sql_text(operand(node, 1)));
        build_statement(s, connection, string_text(sql.get()), string_length(sql.get()), true);
    }
    refuse_positional_markers(s, 6400, "sql_aggregate関数のSQL不正(BIND)");
    ParameterTexts texts;
    bind_value_markers(s, texts);

    AggregatePlan plan;
    {
        HeldValue object(evaluate(operand(node, 2)));
        read_plan(object.get(), plan);
    }
    const bool ordered = operand_count(node) > 3;
    Aggregation aggregation(plan, ordered);
    if (ordered) {
        HeldValue order(evaluate(operand(node, 3)));
        if (value_tag(order.get()) != TAG_ARRAY)
            raise_runtime_error(6405, "sql_aggregate関数のgroup並び順不正(NOT ARRAY)");
        if (plan.groups.empty()) raise_runtime_error(6410, "sql_aggregate関数のgroup並び順不正(NO GROUP COLUMN)");
        read_group_order(order.get(), aggregation.groups());
    }

    QueryResult q;
    run_bound_query(s, texts, q);
    // Every column named must exist in the result: nothing is read past a row.
    int highest = plan.total;
    for (const Entry& e : plan.entries) highest = e.kind != AGGREGATE_COUNT && e.column > highest ? e.column : highest;
    for (int k : plan.keys) highest = k > highest ? k : highest;
    for (int k : plan.groups) highest = k > highest ? k : highest;
    if (highest >= q.columns) {
        q.result.reset(nullptr);
        bad_column();
    }

    std::vector<Value> rows;
    std::vector<Number> keys(plan.keys.size());
    std::vector<Number> row_keys(plan.keys.size());
    std::string key_text;
    aggregation.start_block();
    for (int r = 0; r < q.rows; ++r) {
        for (size_t k = 0; k < plan.keys.size(); ++k) row_keys[k] = read_column(q, r, plan.keys[k]);
        bool changed = false;
        for (size_t k = 0; r > 0 && k < plan.keys.size() && !changed; ++k) changed = !same_value(keys[k], row_keys[k]);
        if (changed) {
            rows.push_back(aggregation.result_row(key_text));
            aggregation.start_block();
        }
        if (r == 0 || changed) {
            keys = row_keys;
            key_text.clear();
            for (const Number& x : keys) append_key_text(key_text, x);
        }
        aggregation.add_row(q, r);
    }
    if (q.rows > 0 || plan.keys.empty()) rows.push_back(aggregation.result_row(key_text));
    q.result.reset(nullptr);
    return new_array(rows.data(), static_cast<uint32_t>(rows.size()));
}

}  // namespace kova

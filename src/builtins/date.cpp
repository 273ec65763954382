// Date values: creation (`new Date(...)` and `Date(...)`), the operations
// on the name Date (Date.now, Date.parse, Date.UTC) and the methods of
// Date values: getters, setters and the to-string forms.
#include <ctime>

#include "builtins/date_fields.h"
#include "builtins/method_table.h"
#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "eval/calls.h"
#include "eval/eval.h"
#include "eval/handlers.h"
#include "platform/platform.h"

namespace kova {

namespace {

constexpr uint32_t MOST_PARTS = 7;  // year, month, day, hours, minutes, seconds, milliseconds
constexpr int LATEST_YEAR = 3000;

// ---- creation ------------------------------------------------------------------

[[noreturn]] void raise_bad_part() { raise_runtime_error(5520, "Dateで日付・時刻の値不正"); }

// Year, month, day, hours, minutes, seconds and milliseconds as local (or
// UTC) fields. Each part is an integer of 0 or more; a year below 100
// counts from 1900; missing parts are month 0, day 1 and time 0.
DateFields fields_of_parts(const Value* parts, uint32_t count) {
    int values[MOST_PARTS] = {0, 0, 1, 0, 0, 0, 0};
    for (uint32_t i = 0; i < count; ++i) {
        if (value_tag(parts[i]) != TAG_INTEGER) raise_bad_part();
        values[i] = cell_as<IntegerCell>(parts[i])->value;
        if (values[i] < 0) raise_bad_part();
    }
    if (values[0] > LATEST_YEAR) raise_bad_part();
    if (values[0] < 100) values[0] += 1900;
    // The milliseconds have no field to carry into.
    if (values[6] > 999) raise_bad_part();
    return DateFields{values[0], values[1], values[2], values[3], values[4], values[5], values[6]};
}

Value date_of_now() {
    const platform::Instant now = platform::realtime_now();
    return date_new(now.seconds, static_cast<uint32_t>(now.nanoseconds / 1000000));
}

// The number an integer or float value holds.
double milliseconds_of(Value number) {
    return value_tag(number) == TAG_INTEGER ? static_cast<double>(cell_as<IntegerCell>(number)->value)
                                            : cell_as<FloatCell>(number)->value;
}

Value date_of_text(Value text) {
    const DateInstant instant = date_parse_text(string_text(text), string_length(text));
    return date_new(instant.seconds, instant.milliseconds);
}

Value copy_of_date(Value date) {
    const DateCell* source = cell_as<DateCell>(date);
    return date_new(source->seconds, source->milliseconds & 0x3FF);
}

// Date creation from the evaluated arguments.
Value create_date(const Value* arguments, uint32_t count) {
    if (count > MOST_PARTS) raise_runtime_error(5525, "Dateで日付・時刻の文字列・値不正");
    if (count == 0) return date_of_now();
    if (count == 1) {
        const Value only = arguments[0];
        switch (value_tag(only)) {
            case TAG_INTEGER:
            case TAG_FLOAT: return date_new(date_seconds_of_milliseconds(milliseconds_of(only)), 0);
            case TAG_STRING: return date_of_text(only);
            case TAG_DATE: return copy_of_date(only);
            default: return NAME_UNDEFINED;
        }
    }
    const DateFields fields = fields_of_parts(arguments, count);
    return date_new(date_compose(fields, false), static_cast<uint32_t>(fields.milliseconds));
}

// ---- Date.now, Date.parse, Date.UTC ------------------------------------------------

Value static_now(Value, const Value*, uint32_t) {
    return new_float(static_cast<double>(platform::time_now()) * 1000.0);
}

Value static_parse(Value, const Value* arguments, uint32_t) {
    if (value_tag(arguments[0]) != TAG_STRING) raise_runtime_error(5530, "Dateで日付・時刻の文字列不正");
    const DateInstant instant = date_parse_text(string_text(arguments[0]), string_length(arguments[0]));
    return new_float(static_cast<double>(instant.seconds) * 1000.0 + instant.milliseconds);
}

// The parts read as a time in UTC.
Value static_utc(Value, const Value* arguments, uint32_t count) {
    const DateFields fields = fields_of_parts(arguments, count);
    return new_float(static_cast<double>(date_compose(fields, true)) * 1000.0 + fields.milliseconds);
}

constexpr Method STATIC_LIST[] = {
    {"now", static_now, 0, 0},
    {"parse", static_parse, 1, 1},
    {"UTC", static_utc, 1, MOST_PARTS},
};

// ---- getters ---------------------------------------------------------------------

const DateCell* cell_of(Value date) { return cell_as<DateCell>(date); }

Value get_date(Value d, const Value*, uint32_t) { return new_integer(cell_of(d)->day & 0x1F); }
Value get_day(Value d, const Value*, uint32_t) { return new_integer((cell_of(d)->day >> 5) & 0x07); }
Value get_full_year(Value d, const Value*, uint32_t) { return new_integer(cell_of(d)->year); }
Value get_hours(Value d, const Value*, uint32_t) { return new_integer(cell_of(d)->hour); }
Value get_minutes(Value d, const Value*, uint32_t) { return new_integer(cell_of(d)->minute); }
Value get_month(Value d, const Value*, uint32_t) { return new_integer(cell_of(d)->month & 0x0F); }
Value get_seconds(Value d, const Value*, uint32_t) { return new_integer(cell_of(d)->second); }
Value get_milliseconds(Value d, const Value*, uint32_t) {
    return new_integer(static_cast<int32_t>(cell_of(d)->milliseconds & 0x3FF));
}
Value get_time(Value d, const Value*, uint32_t) { return new_float(date_time_value(d)); }
Value get_timezone_offset(Value d, const Value*, uint32_t) { return new_integer(-date_offset_minutes(d)); }

// The UTC fields: the seconds broken down in UTC (never a local time
// shifted back, which would fail in the first hours after 1970 in a zone
// ahead of UTC).
std::tm utc_fields(Value d) {
    std::tm fields{};
    platform::utc_time(cell_of(d)->seconds, &fields);
    return fields;
}

Value get_utc_date(Value d, const Value*, uint32_t) { return new_integer(utc_fields(d).tm_mday); }
Value get_utc_day(Value d, const Value*, uint32_t) { return new_integer(utc_fields(d).tm_wday); }
Value get_utc_full_year(Value d, const Value*, uint32_t) { return new_integer(utc_fields(d).tm_year + 1900); }
Value get_utc_hours(Value d, const Value*, uint32_t) { return new_integer(utc_fields(d).tm_hour); }
Value get_utc_minutes(Value d, const Value*, uint32_t) { return new_integer(utc_fields(d).tm_min); }
Value get_utc_month(Value d, const Value*, uint32_t) { return new_integer(utc_fields(d).tm_mon); }

// ---- setters ---------------------------------------------------------------------

// A setter's name and the code of its argument error.
struct Setter {
    const char* name;
    int code;
};
constexpr Setter SET_FULL_YEAR = {"setFullYear", 5535};
constexpr Setter SET_MONTH = {"setMonth", 5540};
constexpr Setter SET_DATE = {"setDate", 5545};
constexpr Setter SET_HOURS = {"setHours", 5550};
constexpr Setter SET_MINUTES = {"setMinutes", 5555};
constexpr Setter SET_SECONDS = {"setSeconds", 5560};
constexpr Setter SET_MILLISECONDS = {"setMilliseconds", 5565};
constexpr Setter SET_TIME = {"setTime", 5570};

[[noreturn]] void raise_bad_argument(const Setter& setter) {
    raise_runtime_error(setter.code, "Dateのメソッド %s 引数不正", setter.name);
}

int integer_argument(const Setter& setter, Value v) {
    if (value_tag(v) != TAG_INTEGER) raise_bad_argument(setter);
    return cell_as<IntegerCell>(v)->value;
}

using Field = int DateFields::*;
constexpr Field FULL_YEAR_FIELDS[] = {&DateFields::year, &DateFields::month, &DateFields::day};
constexpr Field MONTH_FIELDS[] = {&DateFields::month, &DateFields::day};
constexpr Field DATE_FIELDS[] = {&DateFields::day};
constexpr Field HOURS_FIELDS[] = {&DateFields::hour, &DateFields::minute, &DateFields::second,
                                  &DateFields::milliseconds};
constexpr Field MINUTES_FIELDS[] = {&DateFields::minute, &DateFields::second, &DateFields::milliseconds};
constexpr Field SECONDS_FIELDS[] = {&DateFields::second, &DateFields::milliseconds};

// The arguments replace the Date's local fields, in order; every one is an
// integer, and milliseconds lie in 0-999. Fields out of their range carry
// over when the fields are composed again as local time. All arguments are
// checked before the Date changes; the result is the new time.
Value set_fields(Value d, const Setter& setter, const Value* arguments, uint32_t count, const Field* fields) {
    DateFields f = date_fields(d);
    for (uint32_t i = 0; i < count; ++i) {
        const int n = integer_argument(setter, arguments[i]);
        if (fields[i] == &DateFields::milliseconds && (n < 0 || n > 999)) raise_bad_argument(setter);
        f.*fields[i] = n;
    }
    date_store(d, date_compose(f, false), static_cast<uint32_t>(f.milliseconds));
    return new_float(date_time_value(d));
}

Value set_full_year(Value d, const Value* a, uint32_t n) { return set_fields(d, SET_FULL_YEAR, a, n, FULL_YEAR_FIELDS); }
Value set_month(Value d, const Value* a, uint32_t n) { return set_fields(d, SET_MONTH, a, n, MONTH_FIELDS); }
Value set_date(Value d, const Value* a, uint32_t n) { return set_fields(d, SET_DATE, a, n, DATE_FIELDS); }
Value set_hours(Value d, const Value* a, uint32_t n) { return set_fields(d, SET_HOURS, a, n, HOURS_FIELDS); }
Value set_minutes(Value d, const Value* a, uint32_t n) { return set_fields(d, SET_MINUTES, a, n, MINUTES_FIELDS); }
Value set_seconds(Value d, const Value* a, uint32_t n) { return set_fields(d, SET_SECONDS, a, n, SECONDS_FIELDS); }

// Only the milliseconds change; the word's bits above the field are kept.
Value set_milliseconds(Value d, const Value* arguments, uint32_t) {
    const int n = integer_argument(SET_MILLISECONDS, arguments[0]);
    if (n < 0 || n > 999) raise_bad_argument(SET_MILLISECONDS);
    DateCell* cell = cell_as<DateCell>(d);
    cell->milliseconds = (cell->milliseconds & ~0xFFFu) | static_cast<uint32_t>(n);
    return new_float(date_time_value(d));
}

// A new instant from milliseconds since 1970 (integer or float): the part
// below a second is dropped and the milliseconds become 0. The result is
// the time stored.
Value set_time(Value d, const Value* arguments, uint32_t) {
    const Value v = arguments[0];
    if (value_tag(v) != TAG_INTEGER && value_tag(v) != TAG_FLOAT) raise_bad_argument(SET_TIME);
    date_store(d, date_seconds_of_milliseconds(milliseconds_of(v)), 0);
    return new_float(date_time_value(d));
}

// ---- to-string forms -----------------------------------------------------------------

Value to_date_string(Value d, const Value*, uint32_t) { return date_form_text(d, DATE_FORM_DATE); }
Value to_iso_string(Value d, const Value*, uint32_t) { return date_form_text(d, DATE_FORM_ISO); }
Value to_string(Value d, const Value*, uint32_t) { return date_form_text(d, DATE_FORM_FULL); }
Value to_time_string(Value d, const Value*, uint32_t) { return date_form_text(d, DATE_FORM_TIME); }
Value to_utc_string(Value d, const Value*, uint32_t) { return date_form_text(d, DATE_FORM_UTC); }

constexpr Method METHOD_LIST[] = {
    {"getDate", get_date, 0, 0},
    {"getDay", get_day, 0, 0},
    {"getFullYear", get_full_year, 0, 0},
    {"getHours", get_hours, 0, 0},
    {"getMilliseconds", get_milliseconds, 0, 0},
    {"getMinutes", get_minutes, 0, 0},
    {"getMonth", get_month, 0, 0},
    {"getSeconds", get_seconds, 0, 0},
    {"getTime", get_time, 0, 0},
    {"getTimezoneOffset", get_timezone_offset, 0, 0},
    {"setDate", set_date, 1, 1},
    {"setFullYear", set_full_year, 1, 3},
    {"setHours", set_hours, 1, 4},
    {"setMilliseconds", set_milliseconds, 1, 1},
    {"setMinutes", set_minutes, 1, 3},
    {"setMonth", set_month, 1, 2},
    {"setSeconds", set_seconds, 1, 2},
    {"setTime", set_time, 1, 1},
    {"getUTCDate", get_utc_date, 0, 0},
    {"getUTCDay", get_utc_day, 0, 0},
    {"getUTCFullYear", get_utc_full_year, 0, 0},
    {"getUTCHours", get_utc_hours, 0, 0},
    {"getUTCMilliseconds", get_milliseconds, 0, 0},
    {"getUTCMinutes", get_utc_minutes, 0, 0},
    {"getUTCMonth", get_utc_month, 0, 0},
    {"getUTCSeconds", get_seconds, 0, 0},
    {"toDateString", to_date_string, 0, 0},
    {"toISOString", to_iso_string, 0, 0},
    {"toString", to_string, 0, 0},
    {"toTimeString", to_time_string, 0, 0},
    {"toJSON", to_iso_string, 0, 0},
    {"toUTCString", to_utc_string, 0, 0},
};

}  // namespace

const MethodTable DATE_STATIC_METHODS = {STATIC_LIST, sizeof STATIC_LIST / sizeof STATIC_LIST[0], 2085,
                                         "DATEのメソッド名不正", 0, 2090, 2093, "引数の個数不正"};
const MethodTable DATE_METHODS = {METHOD_LIST, sizeof METHOD_LIST / sizeof METHOD_LIST[0], 5575,
                                  "DATEのメソッド名不正", 0, 5580, 5585, "DATEのメソッドで引数不正"};

// Node 185, made by the call and `new` handlers: its operands are the
// argument expressions, evaluated left to right and held until the Date is
// made.
Value eval_date(Value node) {
    const uint32_t count = operand_count(node);
    ArgumentValues arguments(count);
    for (uint32_t i = 0; i < count; ++i) {
        const Value value = evaluate(operand(node, i));
        retain(value);
        arguments.values[i] = value;
    }
    const Value result = create_date(arguments.values, count);
    for (uint32_t i = 0; i < count; ++i) release(arguments.values[i]);
    return result;
}

}  // namespace kova

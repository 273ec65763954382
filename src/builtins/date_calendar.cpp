// Date instants and fields: composing local fields into seconds and breaking
// seconds down into a Date cell, through the platform's time functions.
#include <cmath>
#include <ctime>

#include "builtins/date_fields.h"
#include "core/areas.h"
#include "core/errors.h"
#include "platform/platform.h"

namespace kova {

namespace {

[[noreturn]] void raise_unrepresentable() {
    raise_runtime_error(5500, "Date関連ステートメント不正(1970/01/01以前の年月日)");
}

// The local fields of an instant the Date can hold.
std::tm break_down(int64_t seconds) {
    date_check_seconds(seconds);
    std::tm local{};
    if (!platform::local_time(seconds, &local)) raise_unrepresentable();
    return local;
}

}  // namespace

int64_t date_compose(const DateFields& f, bool utc) {
    if (f.year < 1970 || f.month < 0 || f.day < 1) {
        raise_runtime_error(5505, "Date関連ステートメント不正(1970/01/01以前の年月日)");
    }
    std::tm fields{};
    fields.tm_year = f.year - 1900;
    fields.tm_mon = f.month;
    fields.tm_mday = f.day;
    fields.tm_hour = f.hour;
    fields.tm_min = f.minute;
    fields.tm_sec = f.second;
    // Whether daylight saving time is in effect is the zone's to tell for
    // these fields: a fixed flag would shift every time on the other side
    // of a change of offset by an hour.
    fields.tm_isdst = -1;
    const int64_t seconds = utc ? platform::make_utc_time(&fields) : platform::make_local_time(&fields);
    // Before 1970, or not representable at all (-1).
    if (seconds < 0) raise_unrepresentable();
    return seconds;
}

void date_check_seconds(int64_t seconds) {
    if (seconds < 0 || seconds > DATE_SECONDS_MAX) raise_unrepresentable();
}

int64_t date_seconds_of_milliseconds(double milliseconds) {
    // Compared before converting: NaN fails every comparison, and no value
    // outside the range reaches the conversion.
    const double seconds = std::floor(milliseconds / 1000.0);
    if (!(seconds >= 0.0 && seconds <= static_cast<double>(DATE_SECONDS_MAX))) raise_unrepresentable();
    return static_cast<int64_t>(seconds);
}

void date_store(Value date, int64_t seconds, uint32_t milliseconds) {
    const std::tm local = break_down(seconds);
    DateCell* cell = cell_as<DateCell>(date);
    cell->month = static_cast<uint8_t>(local.tm_mon & 0x0F);
    cell->hour = static_cast<uint8_t>(local.tm_hour);
    cell->day = static_cast<uint8_t>((local.tm_mday & 0x1F) | (local.tm_wday & 0x07) << 5);
    cell->minute = static_cast<uint8_t>(local.tm_min);
    cell->second = static_cast<uint8_t>(local.tm_sec);
    cell->year = static_cast<uint16_t>(local.tm_year + 1900);
    cell->milliseconds = milliseconds & 0x3FF;
    cell->seconds = static_cast<uint32_t>(seconds);
}

Value date_new(int64_t seconds, uint32_t milliseconds) {
    // Checked before the cell is taken, so a refused instant leaves nothing behind.
    date_check_seconds(seconds);
    const Value date = new_cell(TAG_DATE, 0, nullptr);
    date_store(date, seconds, milliseconds);
    return date;
}

DateFields date_fields(Value date) {
    const DateCell* cell = cell_as<DateCell>(date);
    return DateFields{cell->year,   cell->month & 0x0F, cell->day & 0x1F,
                      cell->hour,   cell->minute,       cell->second,
                      static_cast<int>(cell->milliseconds & 0x3FF)};
}

int32_t date_offset_minutes(Value date) {
    const std::tm local = break_down(cell_as<DateCell>(date)->seconds);
    return platform::utc_offset_seconds(local) / 60;
}

double date_time_value(Value date) {
    const DateCell* cell = cell_as<DateCell>(date);
    return static_cast<double>(cell->seconds) * 1000.0 + static_cast<double>(cell->milliseconds & 0x3FF);
}

}  // namespace kova

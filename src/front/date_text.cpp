// Date text for the front end.
#include "front/date_text.h"

#include <cstdio>

#include "core/areas.h"

namespace kova {

namespace {

// A Date cell holds its local time broken down: month (0-11) in the low
// four bits of byte 1, the hour in byte 2, the day of the month in the low
// five bits of byte 3, minute and second in bytes 4 and 5, the year in
// bytes 6-7, the milliseconds in the low ten bits of bytes 8-11.
struct DateFields {
    int year, month, day, hour, minute, second, milliseconds;
};

DateFields read_date(Value date) {
    const Cell* cell = cell_pointer(date);
    const uint8_t* kind = cell->kind;
    const uint8_t* payload = cell->payload;
    DateFields f{};
    f.month = (kind[0] & 0x0F) + 1;
    f.hour = kind[1];
    f.day = kind[2] & 0x1F;
    f.minute = payload[0];
    f.second = payload[1];
    f.year = load_u16(payload + 2);
    f.milliseconds = static_cast<int>(load_u32(payload + 4) & 0x3FF);
    return f;
}

}  // namespace

size_t date_text(Value date, char* out) {
    const DateFields f = read_date(date);
    int n = 0;
    if (f.milliseconds != 0) {
        n = std::snprintf(out, DATE_TEXT_SIZE, "%04d-%02d-%02d %02d:%02d:%02d.%03d", f.year, f.month, f.day, f.hour,
                          f.minute, f.second, f.milliseconds);
    } else {
        n = std::snprintf(out, DATE_TEXT_SIZE, "%04d-%02d-%02d %02d:%02d:%02d", f.year, f.month, f.day, f.hour,
                          f.minute, f.second);
    }
    return n > 0 ? static_cast<size_t>(n) : 0;
}

}  // namespace kova

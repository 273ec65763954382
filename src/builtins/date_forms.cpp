// The to-string forms of a Date. Each prints the Date's own local fields;
// none converts to UTC, not even those that end in "Z" or "GMT" (front ends
// and stored texts read them so).
#include <cstdio>
#include <cstdlib>

#include "builtins/date_fields.h"
#include "core/areas.h"
#include "core/values.h"

namespace kova {

Value date_form_text(Value date, DateForm form) {
    const DateFields f = date_fields(date);
    const DateCell* cell = cell_as<DateCell>(date);
    const char* day_name = DATE_SHORT_NAMES + 3 * ((cell->day >> 5) & 0x07);
    const char* month_name = DATE_SHORT_NAMES + 21 + 3 * (f.month % 12);
    char text[96];
    int n = 0;
    switch (form) {
        case DATE_FORM_DATE:
            n = std::snprintf(text, sizeof text, "%.*s %.*s %02d %04d", 3, day_name, 3, month_name, f.day, f.year);
            break;
        case DATE_FORM_ISO:
            n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", f.year, f.month + 1, f.day,
                              f.hour, f.minute, f.second, f.milliseconds);
            break;
        case DATE_FORM_FULL:
        case DATE_FORM_TIME: {
            const int offset = date_offset_minutes(date);
            const char sign = offset >= 0 ? '+' : '-';
            const int hours = std::abs(offset) / 60;
            const int minutes = std::abs(offset) % 60;
            if (form == DATE_FORM_TIME) {
                n = std::snprintf(text, sizeof text, "%02d:%02d:%02d GMT%c%02d%02d", f.hour, f.minute, f.second, sign,
                                  hours, minutes);
            } else {
                n = std::snprintf(text, sizeof text, "%.*s %.*s %02d %04d %02d:%02d:%02d GMT%c%02d%02d (GMT%c%02d:%02d)",
                                  3, day_name, 3, month_name, f.day, f.year, f.hour, f.minute, f.second, sign, hours,
                                  minutes, sign, hours, minutes);
            }
            break;
        }
        case DATE_FORM_UTC:
            n = std::snprintf(text, sizeof text, "%.*s, %02d %.*s %04d %02d:%02d:%02d GMT", 3, day_name, f.day, 3,
                              month_name, f.year, f.hour, f.minute, f.second);
            break;
    }
    return new_string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace kova

// What the Date files share: local fields as scripts and texts give them,
// composing them into an instant, and breaking an instant down into a Date
// cell. Every calendar computation goes to the platform's time functions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/value.h"

namespace kova {

// A Date's seconds field is 32 bits unsigned: instants outside
// 0 .. DATE_SECONDS_MAX cannot be held, and are refused with 5500.
inline constexpr int64_t DATE_SECONDS_MAX = 0xFFFFFFFFll;

// Local (or, for Date.UTC and a zoned text, UTC) fields: the calendar year,
// month 0-11 and day from 1. Fields beyond their range carry over when they
// are composed (month 12 is January of the next year, hour 25 one o'clock
// the next day).
struct DateFields {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
    int milliseconds;  // 0-999
};

// The seconds of local fields (UTC fields with `utc`). Raises 5505 for a
// year before 1970, a negative month or a day below 1, and 5500 when the
// instant lies before 1970 or cannot be represented; it may still lie past
// what a Date holds (see date_check_seconds).
int64_t date_compose(const DateFields& fields, bool utc);

// Raises 5500 for seconds a Date cannot hold: before 1970 or past
// DATE_SECONDS_MAX.
void date_check_seconds(int64_t seconds);

// Seconds since 1970 from milliseconds since 1970, the part below a second
// dropped; 5500 for a negative, non-finite or too large value.
int64_t date_seconds_of_milliseconds(double milliseconds);

// Breaks `seconds` down in local time and stores every field of the Date,
// with the milliseconds given. Raises 5500 (before anything is written)
// when the instant cannot be held.
void date_store(Value date, int64_t seconds, uint32_t milliseconds);

// A new Date (a temporary) of that instant.
Value date_new(int64_t seconds, uint32_t milliseconds);

// The local fields a Date holds.
DateFields date_fields(Value date);

// By how many minutes the local time of the Date's instant is ahead of
// UTC (negative behind it).
int32_t date_offset_minutes(Value date);

// seconds × 1000 + milliseconds, the value of getTime and of the setters.
double date_time_value(Value date);

// The instant a date text stands for (new Date(text), Date.parse). Raises
// 5515 for a numeric form ("2024-01-02 03:04:05") that does not parse,
// 5510 for a text form ("Tue, 02 Jan 2024 03:04:05 GMT+0900") that does not,
// and 5505 as date_compose. The seconds are checked with
// date_check_seconds.
struct DateInstant {
    int64_t seconds;
    uint32_t milliseconds;
};
DateInstant date_parse_text(const char* text, size_t length);

// The to-string forms, as new strings of the Date's own local fields.
enum DateForm : uint8_t {
    DATE_FORM_DATE,  // toDateString: "Tue Jan 02 2024"
    DATE_FORM_ISO,   // toISOString, toJSON: "2024-01-02T03:04:05.250Z"
    DATE_FORM_FULL,  // toString: "Tue Jan 02 2024 03:04:05 GMT+0900 (GMT+09:00)"
    DATE_FORM_TIME,  // toTimeString: "03:04:05 GMT+0900"
    DATE_FORM_UTC,   // toUTCString: "Tue, 02 Jan 2024 03:04:05 GMT"
};
Value date_form_text(Value date, DateForm form);

// Three-letter names: day d at 3d, month m at 21 + 3m.
inline constexpr char DATE_SHORT_NAMES[] = "SunMonTueWedThuFriSatJanFebMarAprMayJunJulAugSepOctNovDec";
// Full month names, ten characters a name, blank-padded.
inline constexpr char DATE_MONTH_NAMES[] =
    "January   February  March     April     May       June      July      August    September October   "
    "November  December  ";

}  // namespace kova

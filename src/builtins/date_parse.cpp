// Reading a date text (new Date(text), Date.parse). Two forms:
//   numeric: "2024-01-02 03:04:05.250", "2024/1/2T3:04", "20240102 03:04:05Z"
//            (a "Z" does not make the time UTC: it is local time as well);
//   text:    "Tue Jan 02 2024 03:04:05 GMT+0900", "02 January 2024, 03:04",
//            "Tue, 02 Jan 2024 03:04:05 GMT" (with GMT or UTC the time is
//            one of that zone, else local time).
// Anything else ends in the form's error; nothing is guessed.
#include <cstring>

#include "builtins/date_fields.h"
#include "core/errors.h"

namespace kova {

namespace {

constexpr int NUMERIC_FORM_ERROR = 5515;
constexpr int TEXT_FORM_ERROR = 5510;

// Words of more letters than this are never names.
constexpr size_t LONGEST_WORD = 17;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A cursor over the text, which need not end in a NUL: reading stops at
// the end of the string's bytes.
struct Cursor {
    const char* at;
    const char* end;
    int error;  // raised on any mismatch

    bool at_end() const { return at == end; }
    char peek(size_t ahead = 0) const { return size_t(end - at) > ahead ? at[ahead] : '\0'; }
    bool take(char c) {
        if (at_end() || *at != c) return false;
        ++at;
        return true;
    }
    void skip_space() {
        while (!at_end() && is_space(*at)) ++at;
    }
    [[noreturn]] void fail() const { raise_runtime_error(error, "Dateで日付・時刻の文字列不正"); }

    // `least` to `most` digits as a number; fails when fewer are there.
    // Returns the count read through `count` when asked.
    int number(int least, int most, int* count = nullptr) {
        int value = 0;
        int read = 0;
        while (read < most && !at_end() && is_digit(*at)) {
            value = value * 10 + (*at - '0');
            ++at;
            ++read;
        }
        if (read < least) fail();
        if (count != nullptr) *count = read;
        return value;
    }

    // A run of letters (possibly empty).
    size_t word(const char** start) {
        *start = at;
        while (!at_end() && is_letter(*at)) ++at;
        return size_t(at - *start);
    }
};

// "03:04:05" or "3:4": hours, minutes and optionally seconds, one or two
// digits each. Minutes without seconds end the time: a blank, "Z", "z" or
// the end of the text must follow.
void read_time(Cursor& c, DateFields& f) {
    f.hour = c.number(1, 2);
    if (!c.take(':')) c.fail();
    f.minute = c.number(1, 2);
    if (c.take(':')) {
        f.second = c.number(1, 2);
        return;
    }
    const char next = c.peek();
    if (!c.at_end() && !is_space(next) && next != 'Z' && next != 'z') c.fail();
}

// An optional fraction of a second after white space: "." and one to three
// digits, read as a decimal fraction (".5" is 500 milliseconds, ".250" 250).
void read_milliseconds(Cursor& c, DateFields& f) {
    const char* before = c.at;
    c.skip_space();
    if (!c.take('.')) {
        c.at = before;
        return;
    }
    int digits = 0;
    int value = c.number(1, 3, &digits);
    for (; digits < 3; ++digits) value *= 10;
    f.milliseconds = value;
}

void expect_end(Cursor& c) {
    c.skip_space();
    if (!c.at_end()) c.fail();
}

DateInstant compose(const DateFields& f, bool utc, int offset_minutes) {
    const int64_t seconds = date_compose(f, utc) - int64_t(offset_minutes) * 60;
    date_check_seconds(seconds);
    return DateInstant{seconds, static_cast<uint32_t>(f.milliseconds)};
}

DateInstant read_numeric_form(Cursor& c) {
    DateFields f{0, 0, 1, 0, 0, 0, 0};
    f.year = c.number(4, 4);
    const char separator = c.peek();
    if (separator == '-' || separator == '/') {
        c.take(separator);
        f.month = c.number(1, 2) - 1;
        if (!c.take(separator)) c.fail();
        f.day = c.number(1, 2);
    } else {
        f.month = c.number(2, 2) - 1;
        f.day = c.number(2, 2);
    }
    if (!c.take('T') && !c.take(' ')) c.fail();
    read_time(c, f);
    read_milliseconds(c, f);
    c.skip_space();
    if (!c.take('Z')) c.take('z');
    expect_end(c);
    return compose(f, false, 0);
}

bool is_day_name(const char* word, size_t length) {
    if (length != 3) return false;
    for (int d = 0; d < 7; ++d) {
        if (std::memcmp(word, DATE_SHORT_NAMES + 3 * d, 3) == 0) return true;
    }
    return false;
}

// The month of a three-letter or full English month name (as the name
// texts write it), or -1.
int month_of_name(const char* word, size_t length) {
    if (length < 3 || length > LONGEST_WORD) return -1;
    for (int m = 0; m < 12; ++m) {
        if (length == 3) {
            if (std::memcmp(word, DATE_SHORT_NAMES + 21 + 3 * m, 3) == 0) return m;
            continue;
        }
        const char* full = DATE_MONTH_NAMES + 10 * m;
        size_t full_length = 10;
        while (full_length > 0 && full[full_length - 1] == ' ') --full_length;
        if (length == full_length && std::memcmp(word, full, length) == 0) return m;
    }
    return -1;
}

int read_month_name(Cursor& c) {
    const char* word = nullptr;
    const size_t length = c.word(&word);
    const int month = month_of_name(word, length);
    if (month < 0) c.fail();
    return month;
}

// "GMT" or "UTC", optionally with an offset "+0900", "-5:30": the minutes
// the zone is ahead of UTC. False when no zone is named.
bool read_zone(Cursor& c, int* offset_minutes) {
    if (c.end - c.at < 3 || (std::memcmp(c.at, "GMT", 3) != 0 && std::memcmp(c.at, "UTC", 3) != 0)) return false;
    c.at += 3;
    *offset_minutes = 0;
    const char sign = c.peek();
    if (sign != '+' && sign != '-') return true;
    c.take(sign);
    const int hours = c.number(1, 2);
    c.take(':');
    const int minutes = c.number(1, 2);
    if (hours > 23 || minutes > 59) c.fail();
    *offset_minutes = (sign == '+' ? 1 : -1) * (hours * 60 + minutes);
    return true;
}

DateInstant read_text_form(Cursor& c) {
    DateFields f{0, 0, 1, 0, 0, 0, 0};
    // An optional day name: any other word is the month name, read again below.
    const char* word = nullptr;
    const size_t length = c.word(&word);
    if (is_day_name(word, length)) {
        c.skip_space();
        c.take(',');
        c.skip_space();
    } else {
        c.at = word;
    }

    // A day and a month name, or a month name and a day.
    if (is_digit(c.peek())) {
        f.day = c.number(1, 2);
        c.skip_space();
        f.month = read_month_name(c);
    } else {
        f.month = read_month_name(c);
        c.skip_space();
        f.day = c.number(1, 2);
    }

    c.skip_space();
    c.take(',');
    c.skip_space();
    int digits = 0;
    f.year = c.number(2, 4, &digits);
    if (digits == 2) f.year += 1900;
    if (is_digit(c.peek())) c.fail();

    c.skip_space();
    c.take(',');
    c.skip_space();
    read_time(c, f);
    read_milliseconds(c, f);

    c.skip_space();
    int offset_minutes = 0;
    const bool zoned = read_zone(c, &offset_minutes);
    expect_end(c);
    return compose(f, zoned, offset_minutes);
}

}  // namespace

DateInstant date_parse_text(const char* text, size_t length) {
    Cursor c{text, text + length, NUMERIC_FORM_ERROR};
    c.skip_space();
    if (is_digit(c.peek(0)) && is_digit(c.peek(2))) return read_numeric_form(c);
    c.error = TEXT_FORM_ERROR;
    return read_text_form(c);
}

}  // namespace kova

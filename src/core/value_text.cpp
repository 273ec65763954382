// The text of values: scalars formatted directly, containers by walking
// their elements and pairs into one growing buffer.
#include "core/value_text.h"

#include <cstdio>
#include <cstring>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "regex/regex.h"

namespace kova {

namespace {

// A text must still fit a string value (32-bit length) once it is made.
constexpr size_t TEXT_LIMIT = 0x7FFFFFF0u;

[[noreturn]] void out_of_memory() { raise_runtime_error(1400, "メモリ領域を取得できません"); }

// Makes room for `extra` more bytes plus the slack. The step is the
// capacity plus the text plus TEXT_GROWTH, but never less than doubling, so
// that a long text built piece by piece is copied a bounded number of times.
void reserve(TextBuffer& buffer, size_t extra) {
    if (buffer.length + extra + TEXT_SLACK < buffer.capacity) return;
    if (extra > TEXT_LIMIT || buffer.length + extra > TEXT_LIMIT) out_of_memory();
    size_t capacity = buffer.capacity + extra + TEXT_GROWTH;
    if (capacity < buffer.capacity * 2) capacity = buffer.capacity * 2;
    if (capacity > TEXT_LIMIT + TEXT_GROWTH) capacity = TEXT_LIMIT + TEXT_GROWTH;
    char* grown = static_cast<char*>(std::malloc(capacity));
    if (grown == nullptr) out_of_memory();
    if (buffer.length != 0) std::memcpy(grown, buffer.data, buffer.length);
    grown[buffer.length] = '\0';
    if (buffer.owned) std::free(buffer.data);
    buffer.data = grown;
    buffer.capacity = capacity;
    buffer.owned = true;
}

inline void put(TextBuffer& buffer, const char* text, size_t length) {
    reserve(buffer, length);
    if (length != 0) std::memcpy(buffer.data + buffer.length, text, length);
    buffer.length += length;
    buffer.data[buffer.length] = '\0';
}

inline void put_char(TextBuffer& buffer, char c) { put(buffer, &c, 1); }

void put_int(TextBuffer& buffer, int64_t n) {
    char digits[INTEGER_TEXT_SIZE];
    put(buffer, digits, format_integer(n, digits));
}

void put_name(TextBuffer& buffer, uint32_t index) { put(buffer, name_text(index), name_length(index)); }

// A key word of a keyed array or object: an integer key as its number, a
// name key as the name's text.
void put_key(TextBuffer& buffer, uint32_t key) {
    if (key_is_integer(key)) {
        put_int(buffer, value_payload(key));
    } else {
        put_name(buffer, value_payload(key));
    }
}

// `whole`: the value's own text (value_to_text), else a part of a
// container (append_value_text).
void write_value(Value v, TextBuffer& buffer, bool whole, bool quote, unsigned depth);

void write_array(Value v, TextBuffer& buffer, bool quote, unsigned depth) {
    put_char(buffer, '[');
    for (uint32_t i = 0; i < cell_as<ArrayCell>(v)->count; ++i) {
        if (i != 0) put_char(buffer, ',');
        const Value element = load_u32(area_pointer(cell_as<ArrayCell>(v)->elements) + 4 * size_t(i));
        write_value(element, buffer, false, quote, depth + 1);
    }
    put_char(buffer, ']');
}

void write_keyed(Value v, TextBuffer& buffer, bool quote, unsigned depth) {
    put_char(buffer, '[');
    for (uint32_t i = 0; i < cell_as<KeyedCell>(v)->count; ++i) {
        const uint8_t* pair = area_pointer(cell_as<KeyedCell>(v)->pairs) + 8 * size_t(i);
        const uint32_t key = load_u32(pair);
        const Value value = load_u32(pair + 4);
        if (i != 0) put_char(buffer, ',');
        put_key(buffer, key);
        put_char(buffer, ':');
        write_value(value, buffer, false, quote, depth + 1);
    }
    put_char(buffer, ']');
}

// Alone an object reads {a:"x"}; inside a container its keys are in single
// quotes: {'a':"x"}. Values are quoted either way.
void write_object(Value v, TextBuffer& buffer, bool whole, unsigned depth) {
    put_char(buffer, '{');
    for (uint32_t i = 0; i < cell_as<ObjectCell>(v)->count; ++i) {
        const uint8_t* pair = area_pointer(cell_as<ObjectCell>(v)->pairs) + 8 * size_t(i);
        const uint32_t key = load_u32(pair);
        const Value value = load_u32(pair + 4);
        if (i != 0) put_char(buffer, ',');
        if (!whole) put_char(buffer, '\'');
        put_key(buffer, key);
        if (!whole) put_char(buffer, '\'');
        put_char(buffer, ':');
        write_value(value, buffer, false, true, depth + 1);
    }
    put_char(buffer, '}');
}

void write_value(Value v, TextBuffer& buffer, bool whole, bool quote, unsigned depth) {
    if (depth > TEXT_NESTING_LIMIT) out_of_memory();
    switch (value_tag(v)) {
        case TAG_NAME:
            put_name(buffer, value_payload(v));
            return;
        case TAG_SQL:
            put(buffer, "SQL_Object", 10);
            return;
        case TAG_INTEGER:
            put_int(buffer, cell_as<IntegerCell>(v)->value);
            return;
        case TAG_CONNECTION:
            put(buffer, "DB_Connection", 13);
            return;
        case TAG_DATE: {
            char text[DATE_TEXT_SIZE];
            put(buffer, text, format_date_text(v, text));
            return;
        }
        case TAG_ERROR: {
            size_t code_length = 0;
            size_t message_length = 0;
            const char* code = error_code_text(v, &code_length);
            const char* message = error_message_text(v, &message_length);
            put(buffer, code, code_length);
            put_char(buffer, ':');
            put(buffer, message, message_length);
            return;
        }
        case TAG_FLOAT: {
            char text[FLOAT_TEXT_SIZE];
            put(buffer, text, format_float(cell_as<FloatCell>(v)->value, text));
            return;
        }
        case TAG_STRING:
            if (!whole && quote) {
                // Reserved in one piece, then copied straight from the text item.
                const size_t length = string_length(v);
                reserve(buffer, length + 2);
                buffer.data[buffer.length++] = '"';
                std::memcpy(buffer.data + buffer.length, string_text(v), length);
                buffer.length += length;
                buffer.data[buffer.length++] = '"';
                buffer.data[buffer.length] = '\0';
            } else {
                put(buffer, string_text(v), string_length(v));
            }
            return;
        case TAG_ARRAY:
            write_array(v, buffer, whole ? true : quote, depth);
            return;
        case TAG_KEYED:
            write_keyed(v, buffer, whole ? true : quote, depth);
            return;
        case TAG_OBJECT:
            write_object(v, buffer, whole, depth);
            return;
        case TAG_NODE:
            if (whole) {
                char text[40];
                const int length =
                    std::snprintf(text, sizeof text, "operation_index: %d", int(cell_as<NodeCell>(v)->operation));
                put(buffer, text, static_cast<size_t>(length));
            } else {
                put(buffer, "Operation", 9);
            }
            return;
        case TAG_REGEX:
            append_regex_text(v, buffer);
            return;
        default:
            // Functions and the unused tags have no text.
            if (whole) raise_runtime_error(2522, "データの型不正");
            raise_runtime_error(2520, "データの型不正");
    }
}

bool has_text(Value v, unsigned depth) {
    if (depth > TEXT_NESTING_LIMIT) return false;
    switch (value_tag(v)) {
        case TAG_ARRAY: {
            const ArrayCell* cell = cell_as<ArrayCell>(v);
            for (uint32_t i = 0; i < cell->count; ++i) {
                if (!has_text(load_u32(area_pointer(cell->elements) + 4 * size_t(i)), depth + 1)) return false;
            }
            return true;
        }
        case TAG_KEYED:
        case TAG_OBJECT: {
            const bool keyed = value_tag(v) == TAG_KEYED;
            const uint32_t count = keyed ? cell_as<KeyedCell>(v)->count : cell_as<ObjectCell>(v)->count;
            const uint32_t pairs = keyed ? cell_as<KeyedCell>(v)->pairs : cell_as<ObjectCell>(v)->pairs;
            for (uint32_t i = 0; i < count; ++i) {
                if (!has_text(load_u32(area_pointer(pairs) + 8 * size_t(i) + 4), depth + 1)) return false;
            }
            return true;
        }
        case TAG_FUNCTION:
        case TAG_UNUSED:
        case TAG_IMMEDIATE:
            return false;  // the default of write_value
        default:
            return true;
    }
}

}  // namespace

bool value_has_text(Value v) { return has_text(v, 0); }

size_t format_float(double x, char* out) {
    int n = std::snprintf(out, FLOAT_TEXT_SIZE, "%.10f", x);
    size_t length = n < 0 ? 0 : (static_cast<size_t>(n) < FLOAT_TEXT_SIZE ? size_t(n) : FLOAT_TEXT_SIZE - 1);
    while (length >= 2 && out[length - 1] == '0' && out[length - 2] != '.') --length;
    out[length] = '\0';
    return length;
}

size_t format_integer(int64_t n, char* out) {
    // Digits from the lowest up, on the magnitude as unsigned (which holds
    // that of the most negative number too).
    char reversed[INTEGER_TEXT_SIZE];
    uint64_t magnitude = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
    size_t count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t length = 0;
    if (n < 0) out[length++] = '-';
    while (count > 0) out[length++] = reversed[--count];
    out[length] = '\0';
    return length;
}

size_t format_date_text(Value date, char* out) {
    const DateCell* cell = cell_as<DateCell>(date);
    const int month = (cell->month & 0x0F) + 1;
    const int day = cell->day & 0x1F;
    const int milliseconds = static_cast<int>(cell->milliseconds & 0x3FF);
    int n = 0;
    if (milliseconds != 0) {
        n = std::snprintf(out, DATE_TEXT_SIZE, "%04d-%02d-%02d %02d:%02d:%02d.%03d", int(cell->year), month, day,
                          int(cell->hour), int(cell->minute), int(cell->second), milliseconds);
    } else {
        n = std::snprintf(out, DATE_TEXT_SIZE, "%04d-%02d-%02d %02d:%02d:%02d", int(cell->year), month, day,
                          int(cell->hour), int(cell->minute), int(cell->second));
    }
    return n > 0 ? static_cast<size_t>(n) : 0;
}

void value_to_text(Value v, TextBuffer& buffer) {
    buffer.length = 0;
    if (buffer.capacity != 0) buffer.data[0] = '\0';
    write_value(v, buffer, true, true, 0);
}

void append_value_text(Value v, TextBuffer& buffer, bool quote) { write_value(v, buffer, false, quote, 0); }

void append_text_bytes(TextBuffer& buffer, const char* text, size_t length) { put(buffer, text, length); }

void text_buffer_free(TextBuffer& buffer) {
    if (buffer.owned) std::free(buffer.data);
    buffer.data = nullptr;
    buffer.length = 0;
    buffer.capacity = 0;
    buffer.owned = false;
}

}  // namespace kova

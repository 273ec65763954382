// Decoding the request records into the module table, the top call, the
// token and global variables. Every field is read through a cursor that
// sees a NUL at the end of the body and never reads past it, so a
// truncated or lying record ends in its field's error.
#include <cstdlib>
#include <cstring>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "eval/scopes.h"
#include "host/config.h"
#include "host/host.h"
#include "host/request.h"
#include "host/run.h"
#include "parser/module_table.h"
#include "parser/parser.h"

namespace kova {

namespace {

constexpr char BAD_LENGTH[] = "文字列の長さ不正";

struct Cursor {
    char* p;
    char* end;

    char peek() const { return p < end ? *p : '\0'; }
    size_t left() const { return static_cast<size_t>(end - p); }
};

// The error codes of one kind of text item: its first character, its
// length digits (and a length beyond the body).
struct ItemCodes {
    int first;
    int digits;
};
constexpr ItemCodes NAME_ITEM = {1520, 1525};   // variable names, keys, token identifier
constexpr ItemCodes TEXT_ITEM = {1530, 1535};   // P, E, l, S values, the token

struct Text {
    char* data;
    size_t length;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "%" and two hexadecimal digits become that byte; anything else stays.
size_t percent_decode(char* text, size_t length) {
    size_t out = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '%' && i + 2 < length) {
            const int high = hex_value(text[i + 1]);
            const int low = hex_value(text[i + 2]);
            if (high >= 0 && low >= 0) {
                text[out++] = static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        text[out++] = text[i];
    }
    return out;
}

// k decimal digits; `code` for a non-digit or digits missing at the end.
uint64_t read_digits(Cursor& c, unsigned k, int code) {
    uint64_t n = 0;
    for (unsigned i = 0; i < k; ++i) {
        const char d = c.peek();
        if (!is_digit(d)) raise_runtime_error(code, BAD_LENGTH);
        n = n * 10 + static_cast<uint64_t>(d - '0');
        ++c.p;
    }
    return n;
}

// "0" + k (k 0-13) and k digits.
uint64_t read_count(Cursor& c) {
    const char first = c.peek();
    if (first < '0' || first > '=') raise_runtime_error(1500, BAD_LENGTH);
    ++c.p;
    return read_digits(c, static_cast<unsigned>(first - '0'), 1505);
}

// "0" + k or "A" + k (k 0-9) and k digits: the length of a block that
// must lie within the body.
size_t read_block_length(Cursor& c) {
    char* const at = c.p;
    const char first = c.peek();
    unsigned k = 0;
    if (first >= '0' && first <= '9') {
        k = static_cast<unsigned>(first - '0');
    } else if (first >= 'A' && first <= 'J') {
        k = static_cast<unsigned>(first - 'A');
    } else {
        raise_runtime_error(1540, "フォーマット不正(%s)", at);
    }
    ++c.p;
    const uint64_t length = read_digits(c, k, 1545);
    if (length > c.left()) raise_runtime_error(1540, "フォーマット不正(%s)", at);
    return static_cast<size_t>(length);
}

// The payload of `length` bytes after a length field, decoded in place
// when `encoded`.
Text take_payload(Cursor& c, uint64_t length, bool encoded, int code) {
    if (length > c.left()) raise_runtime_error(code, BAD_LENGTH);
    Text text{c.p, static_cast<size_t>(length)};
    c.p += text.length;
    if (encoded) text.length = percent_decode(text.data, text.length);
    return text;
}

// "0" + k (plain) or "A" + k (percent-encoded), k 0-13, k digits of the
// payload length, the payload.
Text read_text_item(Cursor& c, ItemCodes codes) {
    const char first = c.peek();
    bool encoded = false;
    unsigned k = 0;
    if (first >= '0' && first <= '=') {
        k = static_cast<unsigned>(first - '0');
    } else if (first >= 'A' && first <= 'N') {
        k = static_cast<unsigned>(first - 'A');
        encoded = true;
    } else {
        raise_runtime_error(codes.first, BAD_LENGTH);
    }
    ++c.p;
    const uint64_t length = read_digits(c, k, codes.digits);
    return take_payload(c, length, encoded, codes.digits);
}

// A global variable's name. Longer names than an identifier may have
// could never be read by a script.
uint32_t read_variable_name(Cursor& c) {
    const Text name = read_text_item(c, NAME_ITEM);
    if (name.length > NAME_MAX_LENGTH) raise_runtime_error(1520, BAD_LENGTH);
    return intern(name.data, name.length);
}

// Reads a number from `length` bytes of text; false unless the whole text
// is one number. The byte after the text is put back afterwards.
bool parse_float_text(char* text, size_t length, double* out) {
    if (length == 0) return false;
    const char saved = text[length];
    text[length] = '\0';
    char* end = nullptr;
    *out = std::strtod(text, &end);
    text[length] = saved;
    return end == text + length;
}

// ---- value items -----------------------------------------------------------------

enum ItemKind { ITEM_STRING, ITEM_INTEGER, ITEM_FLOAT };

struct RawItem {
    ItemKind kind;
    bool plain;      // a string item that was not percent-encoded
    Text text;       // strings and floats
    int32_t integer;
};

RawItem read_raw_item(Cursor& c) {
    const char first = c.peek();
    RawItem item{};
    if (first >= '0' && first <= '=') {
        ++c.p;
        const uint64_t length = read_digits(c, static_cast<unsigned>(first - '0'), 1565);
        item.kind = ITEM_STRING;
        item.plain = true;
        item.text = take_payload(c, length, false, 1565);
    } else if (first >= 'A' && first <= 'M') {
        ++c.p;
        const uint64_t length = read_digits(c, static_cast<unsigned>(first - 'A'), 1565);
        item.kind = ITEM_STRING;
        item.text = take_payload(c, length, true, 1565);
    } else if (first >= 'a' && first <= 'o') {
        ++c.p;
        const uint64_t length = read_digits(c, static_cast<unsigned>(first - 'a'), 1565);
        item.kind = ITEM_FLOAT;
        item.text = take_payload(c, length, false, 1565);
    } else if (first >= 'N' && first <= '`') {
        ++c.p;
        const uint64_t n = read_digits(c, static_cast<unsigned>(first - 'N'), 1565);
        // The digits are the integer itself; one that does not fit in 32
        // bits is no integer of this system.
        if (n > INT32_MAX) raise_runtime_error(1565, BAD_LENGTH);
        item.kind = ITEM_INTEGER;
        item.integer = static_cast<int32_t>(n);
    } else {
        raise_runtime_error(1560, BAD_LENGTH);
    }
    return item;
}

// "^" + any byte + six digits, as a plain 8-byte item: the number, or -1.
int32_t reference_number(const Text& text) {
    if (text.length != 8 || text.data[0] != '^') return -1;
    int32_t n = 0;
    for (size_t i = 2; i < 8; ++i) {
        if (!is_digit(text.data[i])) return -1;
        n = n * 10 + (text.data[i] - '0');
    }
    return n;
}

// The newest entry with this number leaves the table; 1575 when none.
Value take_reference(int32_t number) {
    for (uint32_t i = g_request.reference_count; i-- > 0;) {
        if (g_request.references[i].number != static_cast<uint32_t>(number)) continue;
        const Value value = g_request.references[i].value;
        std::memmove(&g_request.references[i], &g_request.references[i + 1],
                     (g_request.reference_count - i - 1) * sizeof(ReferenceEntry));
        --g_request.reference_count;
        return value;
    }
    raise_runtime_error(1575, "テンポラリ名不正");
}

// A value item as a new value (count 0), or the collection a reference
// item names.
Value read_value_item(Cursor& c) {
    const RawItem item = read_raw_item(c);
    switch (item.kind) {
        case ITEM_INTEGER:
            return new_integer(item.integer);
        case ITEM_FLOAT: {
            double x = 0;
            if (!parse_float_text(item.text.data, item.text.length, &x)) raise_runtime_error(1570, "実数不正");
            return new_float(x);
        }
        case ITEM_STRING:
        default: {
            const int32_t reference = item.plain ? reference_number(item.text) : -1;
            if (reference >= 0) return take_reference(reference);
            return new_string(item.text.data, item.text.length);
        }
    }
}

// A keyed array's key, which arrives as a value item: an integer that fits
// an integer key is one; anything else is the name of its text. A key is
// never a reference.
uint32_t read_key_item(Cursor& c) {
    const RawItem item = read_raw_item(c);
    if (item.kind == ITEM_INTEGER) {
        if (static_cast<uint32_t>(item.integer) <= 0xFFFFFF) return make_integer_key(static_cast<uint32_t>(item.integer));
        char digits[16];
        char* p = digits + sizeof digits;
        uint32_t n = static_cast<uint32_t>(item.integer);
        do {
            *--p = static_cast<char>('0' + n % 10);
            n /= 10;
        } while (n != 0);
        return make_value(TAG_NAME, intern(p, static_cast<size_t>(digits + sizeof digits - p)));
    }
    if (item.kind == ITEM_FLOAT) {
        double x = 0;
        if (!parse_float_text(item.text.data, item.text.length, &x)) raise_runtime_error(1570, "実数不正");
    }
    return make_value(TAG_NAME, intern(item.text.data, item.text.length));
}

// ---- records -----------------------------------------------------------------------

[[noreturn]] void bad_module_name(const char* name) { raise_parse_error(1170, "モジュール名不正 '%s'", name); }

// A module path from the request: a relative path inside MODULE_DIR, to a
// ".js" (source) or ".jo" (compiled) file.
void check_module_name(uint32_t module, size_t length) {
    const char* name = g_modules.names[module];
    g_parser.module = module;
    g_parser.line = 0;
    if (std::strlen(name) != length || name[0] == '/') bad_module_name(name);
    for (const char* segment = name; segment != nullptr;) {
        const char* next = std::strchr(segment, '/');
        const size_t segment_length = next != nullptr ? static_cast<size_t>(next - segment) : std::strlen(segment);
        if (segment_length == 2 && segment[0] == '.' && segment[1] == '.') bad_module_name(name);
        segment = next != nullptr ? next + 1 : nullptr;
    }
    const char* slash = std::strrchr(name, '/');
    const char* file = slash != nullptr ? slash + 1 : name;
    const char* dot = std::strrchr(file, '.');
    if (dot == nullptr) bad_module_name(name);
    const int shown = static_cast<int>(length);
    if (dot[1] != 'j' && dot[1] != 'J') raise_parse_error(1170, "モジュール名不正 '%.*s'", shown, name);
    const char kind = dot[2];
    if (kind != 'o' && kind != 'O' && kind != 's' && kind != 'S') {
        raise_parse_error(1175, "モジュール名不正 '%.*s'", shown, name);
    }
}

void decode_modules(Cursor& c) {
    const uint64_t count = read_count(c);
    read_block_length(c);
    for (uint64_t i = 0; i < count; ++i) {
        const size_t length = read_block_length(c);
        char* path = c.p;
        c.p += length;
        if (module_table_full()) {
            raise_runtime_error(1735, "モジュール(.js、.jo)が多すぎます。125ファイル以下にしてください。");
        }
        check_module_name(module_add(path, length), length);
    }
}

// P (the top call) and E (checked the same way, never run).
void decode_top_call(Cursor& c, bool run) {
    const Text text = read_text_item(c, TEXT_ITEM);
    if (text.length > TOP_CALL_LIMIT) raise_runtime_error(run ? 1740 : 1745, "TOP関数が長すぎます(255Byte以下)");
    if (!run) return;
    std::memcpy(g_host.top_call, text.data, text.length);
    g_host.top_call[text.length] = '\0';
    g_host.has_top_call = true;
}

void decode_token(Cursor& c) {
    const Text identifier = read_text_item(c, NAME_ITEM);
    if (identifier.length >= TOKEN_BUFFER_SIZE) raise_runtime_error(1520, BAD_LENGTH);
    const Text token = read_text_item(c, TEXT_ITEM);
    if (identifier.length + TOKEN_GAP + token.length >= TOKEN_BUFFER_SIZE) raise_runtime_error(1530, BAD_LENGTH);
    char* buffer = g_request.token_buffer;
    std::memcpy(buffer, identifier.data, identifier.length);
    std::memset(buffer + identifier.length, 0, TOKEN_GAP);
    std::memcpy(buffer + identifier.length + TOKEN_GAP, token.data, token.length);
    buffer[identifier.length + TOKEN_GAP + token.length] = '\0';
    g_request.token_id_length = identifier.length;
    g_request.token_length = token.length;
    g_request.has_token = true;
}

// The journal's file name, when LOGFILE has a directory part: a plain
// file name only, so a request cannot send the journal elsewhere.
void decode_journal_name(Cursor& c) {
    const Text name = read_text_item(c, TEXT_ITEM);
    std::string& path = g_config.logfile;
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || name.length == 0) return;
    if (std::memchr(name.data, '/', name.length) != nullptr || std::memchr(name.data, '\\', name.length) != nullptr ||
        std::memchr(name.data, '\0', name.length) != nullptr) {
        return;
    }
    if ((name.length == 1 && name.data[0] == '.') || (name.length == 2 && name.data[0] == '.' && name.data[1] == '.')) {
        return;
    }
    if (slash + 1 + name.length > LOGFILE_LIMIT) return;
    path.replace(slash + 1, std::string::npos, name.data, name.length);
}

void decode_integers(Cursor& c) {
    const uint64_t count = read_count(c);
    read_block_length(c);
    for (uint64_t i = 0; i < count; ++i) {
        const uint32_t name = read_variable_name(c);
        const char first = c.peek();
        if (first < '0' || first > ':') raise_runtime_error(1550, BAD_LENGTH);
        ++c.p;
        const unsigned k = static_cast<unsigned>(first - '0');
        if (k > c.left()) raise_runtime_error(1555, BAD_LENGTH);
        bool negative = false;
        int64_t n = 0;
        for (unsigned j = 0; j < k; ++j) {
            const char d = *c.p++;
            if (j == 0 && (d == '+' || d == '-')) {
                negative = d == '-';
                continue;
            }
            if (!is_digit(d)) raise_runtime_error(1555, BAD_LENGTH);
            n = n * 10 + (d - '0');
        }
        if (negative) n = -n;
        if (n < INT32_MIN || n > INT32_MAX) raise_runtime_error(1555, BAD_LENGTH);
        set_global(name, new_integer(static_cast<int32_t>(n)));
    }
}

void decode_floats(Cursor& c) {
    const uint64_t count = read_count(c);
    read_block_length(c);
    for (uint64_t i = 0; i < count; ++i) {
        const uint32_t name = read_variable_name(c);
        const size_t length = read_block_length(c);
        char* text = c.p;
        c.p += length;
        double x = 0;
        if (!parse_float_text(text, length, &x)) raise_runtime_error(1700, "数値の文字列不正");
        set_global(name, new_float(x));
    }
}

void decode_strings(Cursor& c) {
    const uint64_t count = read_count(c);
    read_block_length(c);
    for (uint64_t i = 0; i < count; ++i) {
        const uint32_t name = read_variable_name(c);
        const Text text = read_text_item(c, TEXT_ITEM);
        set_global(name, new_string(text.data, text.length));
    }
}

// Room for a collection of `count` members: what the count says, but never
// more members than the rest of the body could hold (one byte at least
// each), so a lying count reserves nothing.
uint32_t collection_capacity(uint64_t count, const Cursor& c) {
    const uint64_t possible = c.left();
    const uint64_t members = count < possible ? count : possible;
    return static_cast<uint32_t>(members > UINT32_MAX - 10 ? UINT32_MAX - 10 : members) + 10;
}

Value decode_array(Cursor& c, uint64_t count) {
    uint8_t* unused = nullptr;
    const uint32_t capacity = collection_capacity(count, c);
    const Value array = new_array_cell(0, capacity, &unused);
    for (uint64_t i = 0; i < count; ++i) {
        const Value element = read_value_item(c);
        ArrayCell* cell = cell_as<ArrayCell>(array);
        if (cell->count >= cell->capacity) raise_runtime_error(1560, BAD_LENGTH);
        retain(element);
        store_u32(area_pointer(cell->elements) + 4 * size_t(cell->count), element);
        ++cell->count;
    }
    return array;
}

Value decode_keyed(Cursor& c, uint64_t count) {
    uint8_t* unused = nullptr;
    const uint32_t capacity = collection_capacity(count, c);
    const Value keyed = new_keyed_cell(0, capacity, &unused);
    for (uint64_t i = 0; i < count; ++i) {
        const uint32_t key = read_key_item(c);
        const Value value = read_value_item(c);
        KeyedCell* cell = cell_as<KeyedCell>(keyed);
        if (cell->count >= cell->capacity) raise_runtime_error(1560, BAD_LENGTH);
        retain(value);
        uint8_t* pair = area_pointer(cell->pairs) + 8 * size_t(cell->count);
        store_u32(pair, key);
        store_u32(pair + 4, value);
        ++cell->count;
    }
    return keyed;
}

Value decode_object(Cursor& c, uint64_t count) {
    uint8_t* unused = nullptr;
    const uint32_t capacity = collection_capacity(count, c);
    const Value object = new_object_cell(0, capacity, &unused);
    for (uint64_t i = 0; i < count; ++i) {
        const Text key = read_text_item(c, NAME_ITEM);
        const uint32_t name = intern(key.data, key.length);
        const Value value = read_value_item(c);
        ObjectCell* cell = cell_as<ObjectCell>(object);
        if (cell->count >= cell->capacity) raise_runtime_error(1560, BAD_LENGTH);
        retain(value);
        uint8_t* pair = area_pointer(cell->pairs) + 8 * size_t(cell->count);
        store_u32(pair, make_value(TAG_NAME, name));
        store_u32(pair + 4, value);
        ++cell->count;
    }
    return object;
}

// "^A" or "^H" and six digits, not all zero: the number; else 1705.
uint32_t reference_name_number(const Text& name) {
    const int32_t number = name.length == 8 && (name.data[1] == 'A' || name.data[1] == 'H') ? reference_number(name) : -1;
    if (number <= 0) raise_runtime_error(1705, "Object名不正");
    return static_cast<uint32_t>(number);
}

// One structured entry: kind letter, member count, name, members.
void decode_structure(Cursor& c) {
    const char kind = c.peek();
    if (c.p < c.end) ++c.p;
    const uint64_t count = read_count(c);
    const Text name = read_text_item(c, NAME_ITEM);
    Value collection = 0;
    if (kind == 'A' || kind == 'a') {
        collection = decode_array(c, count);
    } else if (kind == 'I' || kind == 'i') {
        collection = decode_keyed(c, count);
    } else {
        collection = decode_object(c, count);
    }
    if (kind == 'A' || kind == 'H' || kind == 'I') {
        if (name.length > NAME_MAX_LENGTH) raise_runtime_error(1520, BAD_LENGTH);
        set_global(intern(name.data, name.length), collection);
    } else if (kind == 'a' || kind == 'h' || kind == 'i') {
        const uint32_t number = reference_name_number(name);
        if (g_request.reference_count >= REFERENCE_TABLE_CAPACITY) {
            raise_runtime_error(1710, "Objectバッファーのオーバーフロー");
        }
        g_request.references[g_request.reference_count++] = ReferenceEntry{number, collection};
    } else {
        release_if_temporary(collection);
    }
}

void decode_structures(Cursor& c) {
    const uint64_t count = read_count(c);
    read_block_length(c);
    // References only reach across the entries of one record.
    g_request.reference_count = 0;
    for (uint64_t i = 0; i < count; ++i) decode_structure(c);
}

}  // namespace

void decode_request(char* body, size_t length) {
    // The modules are loaded before the first variable record (loading
    // happens once), so M and L records come first.
    Cursor c{body, body + length};
    while (c.p < c.end) {
        const char letter = *c.p++;
        switch (letter) {
            case '\n':
                break;
            case 'L':
                g_request.no_module_fetch = true;
                break;
            case 'M':
                decode_modules(c);
                break;
            case 'P':
                decode_top_call(c, true);
                break;
            case 'E':
                decode_top_call(c, false);
                break;
            case 'Q':
                decode_token(c);
                break;
            case 'T':
                read_count(c);
                break;
            case 'l':
                decode_journal_name(c);
                break;
            case 'I':
                load_modules();
                decode_integers(c);
                break;
            case 'D':
                load_modules();
                decode_floats(c);
                break;
            case 'S':
                load_modules();
                decode_strings(c);
                break;
            case 'A':
                load_modules();
                decode_structures(c);
                break;
            default:
                raise_runtime_error(1750, "データの型不正(Hash, Array, Variable でない).");
        }
    }
}

}  // namespace kova

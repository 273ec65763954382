// `selectToFront` and `selectHashToFront`: query results written straight
// to the front end.
#include "db/query_frames.h"

#include <cstring>

#include "core/errors.h"
#include "core/values.h"
#include "db/db.h"
#include "db/sql_statement.h"
#include "eval/access.h"
#include "eval/eval.h"
#include "eval/handlers.h"
#include "front/front.h"
#include "front/items.h"

namespace kova {

namespace {

constexpr size_t NAME_ITEM_LIMIT = 1024;

// Bytes a text item carries as they are; every other byte is written as
// "%XX". (The same rule as every other text item of the front end, written
// here for the one frame that carries thousands of items at once.)
struct KeptBytes {
    bool kept[256];
    constexpr KeptBytes() : kept() {
        for (int c = 0; c < 256; ++c) {
            kept[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        }
        for (const char* k = ";,/?:@&=+$-_.*'()#"; *k != '\0'; ++k) kept[static_cast<unsigned char>(*k)] = true;
    }
};
constexpr KeptBytes KEPT;

// The decimal digits of n at the end of `digits`; returns their count.
int decimal(size_t n, char (&digits)[24]) {
    int k = 0;
    do {
        digits[23 - k++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    return k;
}

// Makes room for `size` more bytes at the end and returns where they start.
char* extend(std::string& out, size_t size) {
    const size_t at = out.size();
    out.resize(at + size);
    return out.data() + at;
}

void put_text_item(std::string& out, const char* text, size_t length) {
    size_t encoded = 0;
    for (size_t i = 0; i < length; ++i) encoded += KEPT.kept[static_cast<unsigned char>(text[i])] ? 0 : 1;
    const size_t payload = length + 2 * encoded;
    char digits[24];
    const int k = decimal(payload, digits);
    char* p = extend(out, 1 + static_cast<size_t>(k) + payload);
    *p++ = static_cast<char>((encoded > 0 ? 'A' : '0') + k);
    std::memcpy(p, digits + 24 - k, static_cast<size_t>(k));
    p += k;
    if (encoded == 0) {
        std::memcpy(p, text, length);
        return;
    }
    static const char HEX[] = "0123456789ABCDEF";
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (KEPT.kept[c]) {
            *p++ = static_cast<char>(c);
        } else {
            *p++ = '%';
            *p++ = HEX[c >> 4];
            *p++ = HEX[c & 15];
        }
    }
}

// An item whose first character is `base` plus the text's length, then the
// text as the server wrote it: integer ("N") and float ("a") items.
void put_typed_item(std::string& out, char base, const char* text, int length) {
    char* p = extend(out, 1 + static_cast<size_t>(length));
    *p = static_cast<char>(base + length);
    std::memcpy(p + 1, text, static_cast<size_t>(length));
}

Value select_to_front(Value node, bool keyed) {
    const Value connection = evaluate_connection(operand(node, 0));
    HeldValue name(evaluate(operand(node, 1)));
    if (value_tag(name.get()) != TAG_STRING) raise_runtime_error(1260, "JavaScriptの変数名不正");
    SqlStatement s;
    {
        HeldValue sql(evaluate_sql_text(operand(node, 2)));
        build_statement(s, connection, string_text(sql.get()), string_length(sql.get()), true);
    }
    refuse_positional_markers(s, 1275, "バインド不正");

    std::string name_item;
    append_text_item(name_item, string_text(name.get()), string_length(name.get()));
    if (name_item.size() >= NAME_ITEM_LIMIT) raise_runtime_error(1585, "Encodeバッファーの容量不足");

    QueryResult q;
    run_query(s, q);
    std::string& frame = g_db.frame;
    frame.clear();
    append_query_frame(frame, keyed, name_item, q, s.handle);
    q.result.reset(nullptr);
    front_write(frame);
    ++g_front.query_frames;
    return new_integer(q.rows);
}

}  // namespace

void append_query_frame(std::string& out, bool keyed, const std::string& name_item, const QueryResult& q,
                        PgConnection* handle) {
    const ClientLibrary& c = g_db.client;
    PgResult* result = q.result.get();
    // Room for the usual case at once: every text plus a few bytes an item.
    size_t estimate = out.size() + name_item.size() + 32;
    for (int r = 0; r < q.rows; ++r) {
        for (int k = 0; k < q.columns; ++k) estimate += static_cast<size_t>(c.getlength(result, r, k)) + 4;
    }
    if (out.capacity() < estimate) out.reserve(estimate + estimate / 4);

    out.push_back(keyed ? 'Y' : 'Z');
    append_number_field(out, static_cast<uint64_t>(q.columns));
    append_number_field(out, static_cast<uint64_t>(q.rows));
    out += name_item;
    if (keyed) {
        for (int k = 0; k < q.columns; ++k) {
            const char* column = c.fname(result, k);
            if (column == nullptr) raise_runtime_error(4175, "pgsql:PQfname(%s)", c.error_message(handle));
            put_text_item(out, column, std::strlen(column));
        }
    }
    for (int r = 0; r < q.rows; ++r) {
        for (int k = 0; k < q.columns; ++k) {
            if (c.getisnull(result, r, k)) {
                out += "10";
                continue;
            }
            const char* text = c.getvalue(result, r, k);
            const int length = c.getlength(result, r, k);
            switch (q.types[k]) {
                case COLUMN_INTEGER:
                    put_typed_item(out, 'N', text, length);
                    break;
                case COLUMN_FLOAT:
                    put_typed_item(out, 'a', text, length);
                    break;
                default:
                    put_text_item(out, text, static_cast<size_t>(length));
                    break;
            }
        }
    }
}

Value eval_select_to_front(Value node) { return select_to_front(node, false); }

Value eval_select_hash_to_front(Value node) { return select_to_front(node, true); }

}  // namespace kova

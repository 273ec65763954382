// Reading SQL texts into statement objects, and the parameter texts of
// their markers.
#include "db/sql_statement.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/value_text.h"
#include "core/values.h"
#include "db/db.h"
#include "db/run_time_parse.h"
#include "db/scratch.h"
#include "eval/access.h"
#include "eval/eval.h"
#include "eval/scopes.h"
#include "parser/expressions.h"
#include "parser/lexer.h"
#include "parser/nodes.h"
#include "parser/parser.h"
#include "parser/statements.h"

namespace kova {

namespace {

constexpr char SQL_ERROR[] = "SQL文不正(%s)";
constexpr size_t PARAMETER_SPARE = 4;  // the NUL and three spare bytes after each text

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_quote_char(char c) { return c == '\'' || c == '"' || c == '`'; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

[[noreturn]] void name_too_long() { raise_parse_error(1005, "関数・変数名の長さ不正"); }

// The first word decides between queries and commands: a word that is a
// leading part of "select" (the empty word too) counts as "select".
void check_first_word(const char* sql, size_t length, bool query) {
    size_t i = 0;
    while (i < length && is_space(sql[i])) ++i;
    const size_t begin = i;
    if (i < length && is_identifier_start(sql[i])) {
        while (i < length && is_identifier_char(sql[i])) ++i;
    }
    const size_t word_length = i - begin;
    if (word_length > NAME_MAX_LENGTH) name_too_long();
    bool is_select = word_length <= 6;
    for (size_t k = 0; is_select && k < word_length; ++k) is_select = lower(sql[begin + k]) == "select"[k];
    if (is_select != query) raise_runtime_error(1350, SQL_ERROR, "関数/select");
}

// Writes the server text: white space collapsed, markers replaced.
class ServerText {
public:
    explicit ServerText(SqlStatement& s) : s_(s) {}
    void put(char c) {
        if (is_space(c)) {
            if (s_.length == 0 || in_space_) return;
            c = ' ';
            in_space_ = true;
        } else {
            in_space_ = false;
        }
        s_.text[s_.length++] = c;
    }
    void put_marker(char marker, bool numbered, uint32_t position) {
        in_space_ = false;
        s_.text[s_.length++] = marker;
        if (numbered) s_.length += static_cast<size_t>(std::snprintf(s_.text + s_.length, 4, "%u", position));
    }

private:
    SqlStatement& s_;
    bool in_space_ = false;
};

}  // namespace

SqlStatement::~SqlStatement() {
    for (uint32_t i = 0; i < value_count; ++i) {
        if (value_tag(values[i]) == TAG_NODE) release(values[i]);
    }
    if (text_owned) std::free(text);
}

Value evaluate_connection(Value operand) {
    const Value connection = evaluate(operand);
    if (value_tag(connection) != TAG_CONNECTION || connection_handle(connection) == nullptr) {
        release_if_temporary(connection);
        raise_runtime_error(1255, "データベース接続不正");
    }
    return connection;
}

Value evaluate_sql_text(Value operand) {
    const Value sql = evaluate(operand);
    if (value_tag(sql) != TAG_STRING) {
        release_if_temporary(sql);
        raise_runtime_error(1265, "SQL文不正");
    }
    return sql;
}

void build_statement(SqlStatement& s, Value connection, const char* sql, size_t length, bool query) {
    s.connection = connection;
    s.handle = connection_handle(connection);

    // The parser needs its own NUL-terminated copy, with a byte before it
    // where a line would start. Parse errors name the statement's place.
    ScratchBuffer<STATEMENT_TEXT_INLINE> copy(length + 2);
    char* source = copy.data() + 1;
    copy.data()[0] = '\n';
    std::memcpy(source, sql, length);
    source[length] = '\0';
    RunTimeParse place(source);

    check_first_word(source, length, query);

    // A marker of two bytes may become four ("$255").
    const size_t room = length + 2 * MARKER_LIMIT + 2;
    if (room <= STATEMENT_TEXT_INLINE) {
        s.text = s.inline_text;
    } else {
        s.text = static_cast<char*>(std::malloc(room));
        if (s.text == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
        s.text_owned = true;
    }
    s.length = 0;

    const char marker = connection_marker(connection);
    const bool numbered = connection_numbered(connection);
    ServerText out(s);
    char quote = 0;
    bool escaped = false;
    size_t i = 0;
    while (i < length) {
        const char c = source[i];
        if (quote != 0) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == quote) {
                quote = 0;
            }
            out.put(c);
            ++i;
            continue;
        }
        if (is_quote_char(c)) {
            quote = c;
            out.put(c);
            ++i;
            continue;
        }
        if (c != ':' || (i > 0 && source[i - 1] == '\\')) {
            out.put(c);
            ++i;
            continue;
        }
        if (i + 1 < length && source[i + 1] == ':') {  // a cast: both colons stay
            out.put(':');
            out.put(':');
            i += 2;
            continue;
        }

        if (s.marker_count == MARKER_LIMIT) raise_runtime_error(1350, SQL_ERROR, "バインド数不正。256以上");
        const uint32_t m = s.marker_count;
        const char after = i + 1 < length ? source[i + 1] : '\0';
        if (is_digit(after)) {
            size_t k = i + 1;
            uint32_t n = 0;
            while (k < length && is_digit(source[k])) {
                if (n < 1000) n = n * 10 + static_cast<uint32_t>(source[k] - '0');
                ++k;
            }
            if (n < 1 || n > MARKER_LIMIT) raise_runtime_error(1350, SQL_ERROR, "バインド番号不正。1～256でない");
            s.kinds[m] = MARKER_POSITIONAL;
            s.indexes[m] = static_cast<uint8_t>(s.positional_count);
            s.positions[s.positional_count++] = static_cast<uint8_t>(n);
            i = k;
        } else if (is_identifier_start(after)) {
            size_t k = i + 1;
            while (k < length && is_identifier_char(source[k])) ++k;
            const size_t name_length = k - (i + 1);
            if (name_length > NAME_MAX_LENGTH) name_too_long();
            s.kinds[m] = MARKER_NAMED;
            s.indexes[m] = static_cast<uint8_t>(s.value_count);
            s.values[s.value_count++] = make_value(TAG_NAME, intern(source + i + 1, name_length));
            i = k;
        } else if (after == '{') {
            char* open = source + i + 1;
            Value values[ARGUMENT_VALUE_LIMIT];
            uint32_t count = 0;
            char* rest = nullptr;
            rest = parse_bracketed_list(open, '}', values, ARGUMENT_VALUE_LIMIT, &count, false);
            const Value group = make_node(NODE_GROUP, count, values, position_word(open));
            retain(group);
            s.kinds[m] = MARKER_EXPRESSION;
            s.indexes[m] = static_cast<uint8_t>(s.value_count);
            s.values[s.value_count++] = group;
            i = static_cast<size_t>(rest - source);
        } else {
            raise_runtime_error(1350, SQL_ERROR, "バインドの記述不正");
        }
        ++s.marker_count;
        out.put_marker(marker, numbered, s.marker_count);
    }
    s.text[s.length] = '\0';
}

void refuse_positional_markers(const SqlStatement& s, int code, const char* message) {
    if (s.positional_count > 0) raise_runtime_error(code, "%s", message);
}

// ---- parameter texts -------------------------------------------------------------

ParameterTexts::ParameterTexts()
    : data_(inline_data_),
      used_(0),
      capacity_(STATEMENT_TEXT_INLINE),
      offsets_(inline_offsets_),
      lengths_(inline_lengths_),
      count_(0),
      slot_capacity_(INLINE_SLOTS) {}

ParameterTexts::~ParameterTexts() {
    if (data_ != inline_data_) std::free(data_);
    if (offsets_ != inline_offsets_) std::free(offsets_);
    if (lengths_ != inline_lengths_) std::free(lengths_);
}

void ParameterTexts::append(const char* text, size_t length, size_t step) {
    if (length > 0x7FFFFFF0u) raise_runtime_error(1400, "メモリ領域を取得できません");
    if (used_ + length + PARAMETER_SPARE > capacity_) {
        const size_t capacity = capacity_ + length + PARAMETER_SPARE + step;
        char* grown = static_cast<char*>(std::malloc(capacity));
        if (grown == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
        std::memcpy(grown, data_, used_);
        if (data_ != inline_data_) std::free(data_);
        data_ = grown;
        capacity_ = capacity;
    }
    if (count_ == slot_capacity_) {
        const uint32_t capacity = slot_capacity_ * 2;
        auto* offsets = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t) * capacity));
        auto* lengths = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t) * capacity));
        if (offsets == nullptr || lengths == nullptr) {
            std::free(offsets);
            std::free(lengths);
            raise_runtime_error(1400, "メモリ領域を取得できません");
        }
        std::memcpy(offsets, offsets_, sizeof(uint32_t) * count_);
        std::memcpy(lengths, lengths_, sizeof(uint32_t) * count_);
        if (offsets_ != inline_offsets_) std::free(offsets_);
        if (lengths_ != inline_lengths_) std::free(lengths_);
        offsets_ = offsets;
        lengths_ = lengths;
        slot_capacity_ = capacity;
    }
    if (used_ > 0xFFFFFFFFu - length) raise_runtime_error(1400, "メモリ領域を取得できません");
    std::memcpy(data_ + used_, text, length);
    std::memset(data_ + used_ + length, 0, PARAMETER_SPARE);
    offsets_[count_] = static_cast<uint32_t>(used_);
    lengths_[count_] = static_cast<uint32_t>(length);
    ++count_;
    used_ += length + PARAMETER_SPARE;
}

uint32_t ParameterTexts::add(Value v) {
    char number[FLOAT_TEXT_SIZE];
    switch (value_tag(v)) {
        case TAG_NAME: {
            const uint32_t name = value_payload(v);
            append(name_text(name), name_length(name), 4100);
            break;
        }
        case TAG_INTEGER: {
            const int n = std::snprintf(number, sizeof number, "%d", cell_as<IntegerCell>(v)->value);
            append(number, static_cast<size_t>(n), 4126);
            break;
        }
        case TAG_FLOAT:
            append(number, format_float(cell_as<FloatCell>(v)->value, number), 4126);
            break;
        case TAG_STRING:
            append(string_text(v), string_length(v), 4100);
            break;
        default:
            raise_runtime_error(1355, "バインドするデータ型不正");
    }
    return count_ - 1;
}

void bind_value_markers(const SqlStatement& s, ParameterTexts& texts) {
    // Errors after the binding are reported at the statement, not at the
    // last expression marker evaluated.
    const uint32_t module = g_errors.module;
    const uint16_t line = g_errors.line;
    const uint16_t column = g_errors.column;
    for (uint32_t i = 0; i < s.value_count; ++i) {
        const Value marker = s.values[i];
        if (value_tag(marker) == TAG_NAME) {
            texts.add(read_variable(value_payload(marker)));
            continue;
        }
        HeldValue value(evaluate(marker));
        texts.add(value.get());
    }
    g_errors.module = module;
    g_errors.line = line;
    g_errors.column = column;
}

void fill_parameter_arrays(const SqlStatement& s, const ParameterTexts& texts, uint32_t row_base,
                           ParameterArrays& arrays, unsigned type) {
    for (uint32_t m = 0; m < s.marker_count; ++m) {
        const uint32_t slot = s.kinds[m] == MARKER_POSITIONAL ? row_base + s.indexes[m] : s.indexes[m];
        // Preparing with no bind row at all needs only the types.
        const bool bound = slot < texts.count();
        arrays.values[m] = bound ? texts.text(slot) : nullptr;
        arrays.lengths[m] = bound ? texts.length(slot) : 0;
        arrays.formats[m] = 0;
        arrays.types[m] = type;
    }
}

}  // namespace kova

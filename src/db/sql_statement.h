// The SQL statement object: a script's SQL text read once per run of a
// statement into the text sent to the server, with each bind marker
// replaced by the connection's marker style, and the list of markers whose
// values travel beside it as parameters. No script value is ever written
// into the server text.
//
// Markers: ":name" (a variable), ":{expressions}" (their value), ":n" (element
// n of a bind row). A colon inside a quoted part ('...', "...", `...`, where a
// backslash escapes the next character), after a backslash, or in "::" is
// text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/value.h"
#include "db/client_library.h"

namespace kova {

inline constexpr uint32_t MARKER_LIMIT = 255;
inline constexpr size_t STATEMENT_TEXT_INLINE = 2048;

enum MarkerKind : uint8_t {
    MARKER_NAMED = 'N',
    MARKER_EXPRESSION = 'E',
    MARKER_POSITIONAL = 'A',
};

// Lives for one run of one statement; releases what it holds when it goes
// out of scope, also when an error unwinds through it.
struct SqlStatement {
    Value connection = 0;
    PgConnection* handle = nullptr;
    uint32_t marker_count = 0;
    uint32_t value_count = 0;       // named and expression markers
    uint32_t positional_count = 0;
    uint8_t kinds[MARKER_LIMIT];    // per marker, in order of appearance
    uint8_t indexes[MARKER_LIMIT];  // per marker: its index among its own kind's list
    Value values[MARKER_LIMIT];     // value markers: a name value, or a group node (held)
    uint8_t positions[MARKER_LIMIT];  // positional markers: element numbers 1-255
    char* text = nullptr;           // the server text, NUL-terminated
    size_t length = 0;

    SqlStatement() = default;
    ~SqlStatement();
    SqlStatement(const SqlStatement&) = delete;
    SqlStatement& operator=(const SqlStatement&) = delete;

    char inline_text[STATEMENT_TEXT_INLINE];
    bool text_owned = false;
};

// Evaluates a statement's connection argument: 1255 unless it is an open
// connection.
Value evaluate_connection(Value operand);
// Evaluates a statement's SQL argument: 1265 unless it is a string. The
// result is held by the caller (HeldValue).
Value evaluate_sql_text(Value operand);

// Reads the SQL text into the statement. `query`: the first word must be
// "select" (or a leading part of it), else it must not be (1350).
void build_statement(SqlStatement& statement, Value connection, const char* sql, size_t length, bool query);

// The query statements have no bind array: positional markers raise the
// given error.
void refuse_positional_markers(const SqlStatement& statement, int code, const char* message);

// Parameter texts, one after another in one buffer that starts on the
// stack, each followed by a NUL and three spare bytes; looked up by slot.
class ParameterTexts {
public:
    ParameterTexts();
    ~ParameterTexts();
    ParameterTexts(const ParameterTexts&) = delete;
    ParameterTexts& operator=(const ParameterTexts&) = delete;

    // Appends the parameter text of a value (1355 for a value that has
    // none) and returns its slot.
    uint32_t add(Value v);
    const char* text(uint32_t slot) const { return data_ + offsets_[slot]; }
    int length(uint32_t slot) const { return static_cast<int>(lengths_[slot]); }
    uint32_t count() const { return count_; }

private:
    void append(const char* text, size_t length, size_t step);

    static constexpr uint32_t INLINE_SLOTS = 128;
    char* data_;
    size_t used_;
    size_t capacity_;
    uint32_t* offsets_;
    uint32_t* lengths_;
    uint32_t count_;
    uint32_t slot_capacity_;
    char inline_data_[STATEMENT_TEXT_INLINE];
    uint32_t inline_offsets_[INLINE_SLOTS];
    uint32_t inline_lengths_[INLINE_SLOTS];
};

// Binds the value markers in order: slot i of `texts` holds value marker i.
void bind_value_markers(const SqlStatement& statement, ParameterTexts& texts);

// The arrays handed to the library for one run: marker i takes the text of
// its value marker, or for a positional marker slot `row_base` + its index.
struct ParameterArrays {
    const char* values[MARKER_LIMIT];
    int lengths[MARKER_LIMIT];
    int formats[MARKER_LIMIT];
    unsigned types[MARKER_LIMIT];
};
void fill_parameter_arrays(const SqlStatement& statement, const ParameterTexts& texts, uint32_t row_base,
                           ParameterArrays& arrays, unsigned type);

}  // namespace kova

// The pattern text rebuilt from the compiled form: the `source` property,
// toString and the printed text of a regular expression. What it writes
// compiles back to the same expression: syntax characters keep their
// backslash, control characters are written as escapes, and named groups
// keep their names.
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/value_text.h"
#include "core/values.h"
#include "eval/calls.h"
#include "parser/lexer.h"
#include "regex/regex.h"

namespace kova {

namespace {

void put(TextBuffer& out, const char* text) { append_text_bytes(out, text, std::strlen(text)); }

void put_number(TextBuffer& out, const char* format, uint32_t a, uint32_t b = 0) {
    char text[32];
    const int n = std::snprintf(text, sizeof text, format, a, b);
    append_text_bytes(out, text, static_cast<size_t>(n));
}

// One unit as UTF-8.
void put_unit(TextBuffer& out, uint16_t unit) {
    char bytes[4];
    append_text_bytes(out, bytes, utf16_to_utf8(&unit, 1, bytes, sizeof bytes));
}

// A control character as an escape both inside and outside a class can
// read; false for any other unit.
bool put_control(TextBuffer& out, uint16_t u) {
    switch (u) {
        case '\n': put(out, "\\n"); return true;
        case '\r': put(out, "\\r"); return true;
        case '\t': put(out, "\\t"); return true;
        default: break;
    }
    if (u < 0x20 || u == 0x7F) {
        put_number(out, "\\x%02X", u);
        return true;
    }
    return false;
}

void put_literal_unit(TextBuffer& out, uint16_t u) {
    if (u == 0) {
        put(out, "\\0");
        return;
    }
    if (u == '\f') return put(out, "\\f");
    if (u == '\v') return put(out, "\\v");
    if (put_control(out, u)) return;
    if (u < 0x80 && std::strchr("$()./?[\\]^{|}*+", u) != nullptr) {
        const char escaped[3] = {'\\', static_cast<char>(u), '\0'};
        return put(out, escaped);
    }
    put_unit(out, u);
}

// Inside a class only "\-", "\[", "\\" and "\]" are escapes of characters;
// others are written in hexadecimal (a "/" too, so that a literal made of
// the text still ends at its own closing "/", and a leading "^").
void put_member_unit(TextBuffer& out, uint16_t u, bool first) {
    if (put_control(out, u)) return;
    if (u == '-' || u == '[' || u == '\\' || u == ']') {
        const char escaped[3] = {'\\', static_cast<char>(u), '\0'};
        return put(out, escaped);
    }
    if (u == '/' || (u == '^' && first)) return put_number(out, "\\x%02X", u);
    put_unit(out, u);
}

void put_quantifier(TextBuffer& out, uint8_t quantifier, uint32_t min, uint32_t max) {
    switch (quantifier) {
        case QUANTIFIER_NONE: return;
        case QUANTIFIER_EXACT:
        case QUANTIFIER_EXACT | REGEX_LAZY: return put_number(out, "{%u}", min);
        case QUANTIFIER_OPTIONAL: return put(out, "?");
        case QUANTIFIER_OPTIONAL | REGEX_LAZY: return put(out, "??");
        case QUANTIFIER_RANGE: return put_number(out, "{%u,%u}", min, max);
        case QUANTIFIER_RANGE | REGEX_LAZY: return put_number(out, "{%u,%u}?", min, max);
        case QUANTIFIER_AT_LEAST:
        case QUANTIFIER_AT_LEAST | REGEX_LAZY:
            if (min == 0) {
                put(out, "*");
            } else if (min == 1) {
                put(out, "+");
            } else {
                put_number(out, "{%u,}", min);
            }
            if (quantifier & REGEX_LAZY) put(out, "?");
            return;
        default:
            raise_runtime_error(5050, "正規表現の{min,max}不正");
    }
}

void put_class(TextBuffer& out, const uint16_t* members, uint32_t count, uint8_t bits, bool negated) {
    put(out, negated ? "[^" : "[");
    static const char* const SHORTHANDS[6] = {"\\w", "\\W", "\\d", "\\D", "\\s", "\\S"};
    for (uint32_t b = 0; b < 6; ++b) {
        if (bits & (1u << b)) put(out, SHORTHANDS[b]);
    }
    bool first = bits == 0;
    uint32_t i = 0;
    while (i < count) {
        // More than four consecutive units are written as a range.
        uint32_t run = 1;
        while (i + run < count && members[i + run] == members[i] + run) ++run;
        if (run > 4) {
            put_member_unit(out, members[i], first);
            put(out, "-");
            put_member_unit(out, members[i + run - 1], false);
            i += run;
        } else {
            put_member_unit(out, members[i], first);
            ++i;
        }
        first = false;
    }
    put(out, "]");
}

void put_expression(TextBuffer& out, Value compiled);

void put_look(TextBuffer& out, uint8_t look, Value sub) {
    if (value_tag(sub) != TAG_REGEX) raise_runtime_error(5065, "正規表現のコマンド不正");
    switch (look) {
        case LOOK_AHEAD: put(out, "(?="); break;
        case LOOK_NOT_AHEAD: put(out, "(?!"); break;
        case LOOK_BEHIND: put(out, "(?<="); break;
        case LOOK_NOT_BEHIND: put(out, "(?<!"); break;
        default: raise_runtime_error(5065, "正規表現のコマンド不正");
    }
    put_expression(out, sub);
    put(out, ")");
}

void put_term(TextBuffer& out, const RegexTerm& t, const uint8_t* raw, const uint8_t* item, uint32_t pool_length) {
    const Value look = is_group_kind(t.kind) ? load_u32(raw + TERM_GROUP_LOOKAROUND_OFFSET) : t.sub;
    const bool behind = t.lookaround == LOOK_BEHIND || t.lookaround == LOOK_NOT_BEHIND;
    if (behind) put_look(out, t.lookaround, look);
    const auto unit = [&](uint32_t i) { return load_u16(item + REGEX_POOL_OFFSET + 2 * (size_t(t.pool_offset) + i)); };
    const auto check_pool = [&]() {
        if (uint32_t(t.pool_offset) + t.pool_count > pool_length) raise_runtime_error(5065, "正規表現のコマンド不正");
    };
    switch (t.kind) {
        case TERM_LITERAL_RUN:
        case TERM_CHARACTER:
            check_pool();
            for (uint32_t i = 0; i < t.pool_count; ++i) put_literal_unit(out, unit(i));
            put_quantifier(out, t.quantifier, t.min, t.max);
            break;
        case TERM_LINE_START: put(out, "^"); break;
        case TERM_LINE_END: put(out, "$"); break;
        case TERM_CLASS:
        case TERM_NEGATED_CLASS: {
            check_pool();
            uint16_t members[256];
            // Members are read out in pieces of the pool.
            if (t.pool_count <= 256) {
                for (uint32_t i = 0; i < t.pool_count; ++i) members[i] = unit(i);
                put_class(out, members, t.pool_count, t.number, t.kind == TERM_NEGATED_CLASS);
            } else {
                std::vector<uint16_t> all(t.pool_count);
                for (uint32_t i = 0; i < t.pool_count; ++i) all[i] = unit(i);
                put_class(out, all.data(), t.pool_count, t.number, t.kind == TERM_NEGATED_CLASS);
            }
            put_quantifier(out, t.quantifier, t.min, t.max);
            break;
        }
        case TERM_WORD: put(out, "\\w"); put_quantifier(out, t.quantifier, t.min, t.max); break;
        case TERM_NOT_WORD: put(out, "\\W"); put_quantifier(out, t.quantifier, t.min, t.max); break;
        case TERM_DIGIT: put(out, "\\d"); put_quantifier(out, t.quantifier, t.min, t.max); break;
        case TERM_NOT_DIGIT: put(out, "\\D"); put_quantifier(out, t.quantifier, t.min, t.max); break;
        case TERM_SPACE: put(out, "\\s"); put_quantifier(out, t.quantifier, t.min, t.max); break;
        case TERM_NOT_SPACE: put(out, "\\S"); put_quantifier(out, t.quantifier, t.min, t.max); break;
        case TERM_WORD_BOUNDARY: put(out, "\\b"); break;
        case TERM_NOT_WORD_BOUNDARY: put(out, "\\B"); break;
        case TERM_ANY_BUT_NEWLINE: put(out, "."); put_quantifier(out, t.quantifier, t.min, t.max); break;
        case TERM_ANY: put(out, "[^]"); put_quantifier(out, t.quantifier, t.min, t.max); break;
        case TERM_BACKREFERENCE:
            put_number(out, "\\%u", t.number);
            put_quantifier(out, t.quantifier, t.min, t.max);
            break;
        case TERM_GROUP:
            if (value_tag(t.name) == TAG_NAME && t.name != 0 && value_payload(t.name) < g_names.count) {
                put(out, "(?<");
                append_text_bytes(out, name_text(value_payload(t.name)), name_length(value_payload(t.name)));
                put(out, ">");
            } else {
                put(out, "(");
            }
            put_expression(out, t.sub);
            put(out, ")");
            break;
        case TERM_NON_CAPTURING:
            put(out, "(?:");
            put_expression(out, t.sub);
            put(out, ")");
            put_quantifier(out, t.quantifier, t.min, t.max);
            break;
        default:
            raise_runtime_error(5065, "正規表現のコマンド不正");
    }
    if (t.lookaround != LOOK_NONE && !behind) put_look(out, t.lookaround, look);
}

void put_expression(TextBuffer& out, Value compiled) {
    if (value_tag(compiled) != TAG_REGEX) raise_runtime_error(5065, "正規表現のコマンド不正");
    check_stack_room();
    const uint8_t* item = area_pointer(value_payload(compiled));
    const uint32_t count = load_u16(item + REGEX_COUNT_OFFSET);
    const uint8_t* part = count == 0 ? nullptr : area_pointer(load_u32(item + REGEX_REFERENCE_OFFSET));
    if (item[REGEX_FLAGS_OFFSET] & REGEX_ALTERNATION) {
        for (uint32_t i = 0; i < count; ++i) {
            if (i != 0) put(out, "|");
            put_expression(out, load_u32(part + REGEX_ALTERNATIVE_SIZE * i));
        }
        return;
    }
    const uint32_t pool_length = load_u16(item + REGEX_POOL_LENGTH_OFFSET);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* raw = part + REGEX_TERM_SIZE * i;
        RegexTerm t;
        std::memcpy(&t, raw, REGEX_TERM_SIZE);
        put_term(out, t, raw, item, pool_length);
    }
}

}  // namespace

size_t regex_flag_letters(uint8_t flags, char letters[5]) {
    size_t n = 0;
    if (flags & REGEX_IGNORE_CASE) letters[n++] = 'i';
    if (flags & REGEX_MULTILINE) letters[n++] = 'm';
    if (flags & REGEX_GLOBAL) letters[n++] = 'g';
    if (flags & REGEX_STICKY) letters[n++] = 'y';
    if (flags & REGEX_DOT_ALL) letters[n++] = 's';
    return n;
}

void append_regex_source(Value compiled, TextBuffer& out) { put_expression(out, compiled); }

void append_regex_text(Value compiled, TextBuffer& out) {
    put(out, "/");
    put_expression(out, compiled);
    put(out, "/");
    char letters[5];
    append_text_bytes(out, letters, regex_flag_letters(regex_flags(compiled), letters));
}

Value regex_source_value(Value compiled) {
    LocalText<TEXT_SCRATCH_SIZE> text;
    append_regex_source(compiled, text);
    return new_string(text.data, text.length);
}

}  // namespace kova

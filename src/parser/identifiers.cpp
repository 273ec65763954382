// Identifiers: an ASCII letter or underscore, then letters, digits and
// underscores, at most 200 bytes, interned into the name table.
#include "core/errors.h"
#include "core/names.h"
#include "parser/lexer.h"

namespace kova {

uint32_t read_identifier(const char** cursor) {
    const char* text = *cursor;
    if (!is_identifier_start(*text)) return NAME_UNDEFINED;
    // Stops at the NUL, which is no identifier byte; one byte past the
    // limit is enough to know the name is too long.
    size_t length = 1;
    while (length <= NAME_MAX_LENGTH && is_identifier_char(text[length])) ++length;
    if (length > NAME_MAX_LENGTH) raise_parse_error(1005, "関数・変数名の長さ不正");
    *cursor = text + length;
    return intern(text, length);
}

}  // namespace kova

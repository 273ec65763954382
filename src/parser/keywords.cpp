// Statement keywords: whole words for a few first letters, fixed-width
// groups of blank-padded cells for the others. A keyword's index is its
// group's first index plus its cell number.
#include <cstring>

#include "parser/lexer.h"

namespace kova {

namespace {

struct KeywordGroup {
    const char* cells;   // null: no keyword starts with this letter
    bool whole_word;     // `cells` is one keyword that must end at a non-identifier byte
    uint8_t width;
    uint8_t longest;
    uint8_t first_index;
    uint16_t size;       // bytes of `cells` (groups only)
};

constexpr const char C_GROUP[] = "closeDb   const     continue  ";
constexpr const char D_GROUP[] = "do                  decodeURI           decodeURIComponent  ";
constexpr const char E_GROUP[] = "eval                execute             encodeURI           encodeURIComponent  ";
constexpr const char F_GROUP[] = "for       function  ";
constexpr const char M_GROUP[] =
    "mongo_find              mongo_count             mongo_insert            mongo_update_one        "
    "mongo_update_many       mongo_delete_one        mongo_delete_many       mongo_drop_collection   "
    "mongo_transaction       mongo_rename_collection mongo_get_collection    mongo_collection_name   "
    "mongo_use_db            mongo_current_db        mongo_drop_db           mongo_collection_names  "
    "mongo_get_database      mongo_rollback          mongo_commit            mongo_find_hash         "
    "mongo_aggregate         mongo_create_collection mongo_exists_collection mongoc_read_command     "
    "mongoc_write_command    ";
constexpr const char P_GROUP[] = "parseInt    parseFloat  ";
constexpr const char R_GROUP[] =
    "return            record_map        record_hash       redis_command     redis_aggregate   "
    "redis_keys        redis_get         redis_execute     redis_delete      redis_lremove     "
    "redis_linsert     ";
constexpr const char S_GROUP[] =
    "select            selectHash        selectInto        selectToFront     selectHashToFront "
    "sendToFront       switch            selectExists      sql_aggregate     ";
constexpr const char T_GROUP[] = "throw   try     ";

static_assert(sizeof C_GROUP - 1 == 3 * 10 && sizeof D_GROUP - 1 == 3 * 20 && sizeof E_GROUP - 1 == 4 * 20);
static_assert(sizeof F_GROUP - 1 == 2 * 10 && sizeof M_GROUP - 1 == 25 * 24 && sizeof P_GROUP - 1 == 2 * 12);
static_assert(sizeof R_GROUP - 1 == 11 * 18 && sizeof S_GROUP - 1 == 9 * 18 && sizeof T_GROUP - 1 == 2 * 8);

struct KeywordTable {
    KeywordGroup by_letter[26];
};

constexpr KeywordTable make_keyword_table() {
    KeywordTable t{};
    t.by_letter['a' - 'a'] = {"alertToFront", true, 0, 0, 42, 0};
    t.by_letter['b' - 'a'] = {"break", true, 0, 0, 0, 0};
    t.by_letter['c' - 'a'] = {C_GROUP, false, 10, 8, 17, sizeof C_GROUP - 1};
    t.by_letter['d' - 'a'] = {D_GROUP, false, 20, 18, 20, sizeof D_GROUP - 1};
    t.by_letter['e' - 'a'] = {E_GROUP, false, 20, 18, 23, sizeof E_GROUP - 1};
    t.by_letter['f' - 'a'] = {F_GROUP, false, 10, 8, 27, sizeof F_GROUP - 1};
    t.by_letter['i' - 'a'] = {"if", true, 0, 0, 1, 0};
    t.by_letter['l' - 'a'] = {"let", true, 0, 0, 2, 0};
    t.by_letter['m' - 'a'] = {M_GROUP, false, 24, 23, 43, sizeof M_GROUP - 1};
    t.by_letter['o' - 'a'] = {"openDb", true, 0, 0, 16, 0};
    t.by_letter['p' - 'a'] = {P_GROUP, false, 12, 10, 40, sizeof P_GROUP - 1};
    t.by_letter['r' - 'a'] = {R_GROUP, false, 18, 15, 3, sizeof R_GROUP - 1};
    t.by_letter['s' - 'a'] = {S_GROUP, false, 18, 17, 29, sizeof S_GROUP - 1};
    t.by_letter['t' - 'a'] = {T_GROUP, false, 8, 5, 38, sizeof T_GROUP - 1};
    t.by_letter['v' - 'a'] = {"var", true, 0, 0, 14, 0};
    t.by_letter['w' - 'a'] = {"while", true, 0, 0, 15, 0};
    return t;
}

constexpr KeywordTable KEYWORDS = make_keyword_table();

inline bool is_letter_or_underscore(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

int whole_word(const char** cursor, const KeywordGroup& group) {
    const char* text = *cursor;
    size_t i = 0;
    for (; group.cells[i] != '\0'; ++i) {
        if (text[i] != group.cells[i]) return -1;  // also stops at the text's NUL
    }
    if (is_identifier_char(text[i])) return -1;
    *cursor = text + i;
    return group.first_index;
}

int group_word(const char** cursor, const KeywordGroup& group) {
    const char* text = *cursor;
    size_t run = 0;
    while (run < group.width && is_letter_or_underscore(text[run])) ++run;
    if (run == 0 || run > group.longest) return -1;

    // The first occurrence of the run in the group string decides: it must
    // be a whole cell, i.e. start on a cell boundary and end at padding.
    // Candidates are the places of the run's first letter.
    const char* const cells = group.cells;
    const char* const last = cells + group.size - run;  // the last place the run fits
    for (const char* at = cells; at <= last; ++at) {
        at = static_cast<const char*>(std::memchr(at, text[0], size_t(last - at) + 1));
        if (at == nullptr) return -1;
        if (std::memcmp(at + 1, text + 1, run - 1) != 0) continue;
        const size_t offset = size_t(at - cells);
        if (offset % group.width != 0 || at[run] != ' ') return -1;
        *cursor = text + run;
        return group.first_index + int(offset / group.width);
    }
    return -1;
}

}  // namespace

int keyword_lookup(const char** cursor) {
    const char first = **cursor;
    if (first < 'a' || first > 'z') return -1;
    const KeywordGroup& group = KEYWORDS.by_letter[first - 'a'];
    if (group.cells == nullptr) return -1;
    return group.whole_word ? whole_word(cursor, group) : group_word(cursor, group);
}

}  // namespace kova

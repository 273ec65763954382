// Loading compiled modules. The image's cells and blocks are copied into
// fresh pages and blocks of their own (the areas are sealed before and
// after), then the words that hold names, cell values and permanent-area
// references are patched by the relocation sections.
//
// The image is trusted to describe a sensible program, but never to be well
// formed: every read is checked against the image's length, and every
// position, page, block and name index against what the image provided, so
// a truncated or damaged file ends in an error instead of a wild access.
#include "parser/compiled_module.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "parser/declarations.h"
#include "parser/nodes.h"

namespace kova {

CompiledModuleState g_compiled;

namespace {

constexpr uint32_t LIST_SLACK = 1024;
constexpr uint32_t CELL_WORDS = CELL_PAGE_SIZE / 4;
// Largest expansion of one stream byte: a dictionary code with a fixed
// count of 255 gives 252 zeros and the value.
constexpr uint64_t MAX_EXPANSION = 253;

struct Image {
    const uint8_t* data;
    size_t length;
    size_t position;
    const char* path;
    StatementList* list;
    uint8_t module;

    bool have_cells;
    uint32_t first_page;   // current index of the image's page 0
    uint32_t page_count;
    bool have_blocks;
    uint32_t first_block;  // current index of the image's block 0
    uint32_t block_count;
    bool have_names;
    bool translated;       // image name indexes go through `translation`
    std::vector<uint32_t> translation;
};

[[noreturn]] void corrupt(const Image& image) { raise_parse_error(1165, "ファイルオープン不正 '%s'", image.path); }

const uint8_t* take(Image& image, uint64_t bytes) {
    if (bytes > image.length - image.position) corrupt(image);
    const uint8_t* p = image.data + image.position;
    image.position += size_t(bytes);
    return p;
}

uint32_t take_word(Image& image) { return load_u32(take(image, 4)); }

// Fresh storage only, whatever mode the areas are in; sealed again on the
// way out, also when a damaged image stops the load half way.
struct FreshStorage {
    bool run_mode;
    FreshStorage() : run_mode(g_areas.run_mode) {
        g_areas.run_mode = false;
        areas_seal();
    }
    ~FreshStorage() {
        areas_seal();
        g_areas.run_mode = run_mode;
    }
};

// ---- cells and blocks -------------------------------------------------

void load_cells(Image& image, uint32_t count_word) {
    const uint32_t full = count_word >> 16;
    const uint32_t last = count_word & 0xFFFF;
    if (image.have_cells || last > CELLS_PER_PAGE) corrupt(image);
    const uint64_t cells = uint64_t(full) * CELLS_PER_PAGE + last;
    const uint32_t pages = full + (last > 0 ? 1 : 0);
    const uint32_t first = uint32_t(g_areas.sealed_page);
    if (uint64_t(first) + pages > COMPILED_PAGE_LIMIT) raise_runtime_error(1435, "Buffer Overflow(Area DW16)");
    const uint8_t* source = take(image, cells * CELL_SIZE);

    image.have_cells = true;
    image.first_page = first;
    for (uint32_t i = 0; i < pages; ++i) {
        // A fresh page comes with every call: the previous one is marked
        // full, and the first starts at the sealed mark.
        const Value v = new_cell(TAG_INTEGER, 0, nullptr);
        uint8_t* page = g_areas.cell_pages[(v >> 8) & 0xFFF];
        g_areas.next_slot = int32_t(CELLS_PER_PAGE);
        const uint64_t in_page = i < full ? CELLS_PER_PAGE : last;
        unpoison_storage(page, CELL_PAGE_SIZE);  // the whole page is the image's
        std::memset(page, 0, CELL_PAGE_SIZE);
        std::memcpy(page, source + uint64_t(i) * CELL_PAGE_SIZE, in_page * CELL_SIZE);
        for (uint32_t slot = 0; slot < in_page; ++slot) {
            uint8_t* cell = page + slot * CELL_SIZE;
            const uint32_t tag = cell[0] & 0xFu;
            if (cell[0] != HEADER_FREE && (tag == TAG_NODE || tag == TAG_FUNCTION)) {
                cell[1] = uint8_t((cell[1] & NO_STOP_MARK) | image.module);
            }
        }
        image.page_count = i + 1;
    }
}

void load_blocks(Image& image, uint32_t count_word) {
    const uint32_t full = count_word >> 16;
    const uint32_t last = count_word & 0xFFFF;
    if (image.have_blocks || last > BLOCK_WORDS) corrupt(image);
    const uint64_t words = uint64_t(full) * BLOCK_WORDS + last;
    const uint32_t blocks = full + (last > 0 ? 1 : 0);
    const uint32_t first = uint32_t(g_areas.highest_block + 1);
    if (uint64_t(first) + blocks > COMPILED_BLOCK_LIMIT) raise_runtime_error(1435, "Buffer Overflow(Area Free)");
    const uint8_t* source = take(image, words * 4);
    const uint8_t* used = take(image, uint64_t(blocks) * 4);
    for (uint32_t i = 0; i < blocks; ++i) {
        if (load_u32(used + 4 * i) > BLOCK_WORDS) corrupt(image);
    }

    image.have_blocks = true;
    if (blocks == 0) return;

    // All the blocks as one zeroed run, one word short of its whole size:
    // an item that parsing placed across blocks (a long string, a large
    // array) must stay contiguous, as it was where it was made.
    uint8_t* run = nullptr;
    const uint32_t reference = area_alloc(size_t(blocks) * BLOCK_SIZE - 8, &run);
    if (((reference >> 10) & 0x3FF) != first) corrupt(image);
    std::memcpy(run, source, size_t(words) * 4);
    for (uint32_t i = 0; i < blocks; ++i) g_areas.block_used[first + i] = load_u32(used + 4 * i);
    image.first_block = first;
    image.block_count = blocks;
}

// ---- names ------------------------------------------------------------

struct NameImage {
    uint32_t count;
    const uint8_t* entries;  // count entries of 12 bytes
    const uint8_t* pairs;    // count (key, index) pairs
    uint32_t pool_size;
    const char* pool;
};

inline uint32_t entry_length(const uint8_t* entry) {
    return entry[1] | uint32_t(entry[2]) << 8 | uint32_t(entry[3]) << 16;
}
inline uint32_t entry_offset(const uint8_t* entry) { return load_u32(entry + 8); }
inline uint32_t entry_key(const uint8_t* entry) { return load_u32(entry + 4); }

// The image's table may replace a table that holds only the predefined
// names when it is exactly what interning would have built: the predefined
// names first, true keys, and a key index that is a sorted permutation.
bool can_take_over(const NameImage& names) {
    if (g_names.count != PREDEFINED_NAME_COUNT || names.count < PREDEFINED_NAME_COUNT) return false;
    for (uint32_t i = 0; i < names.count; ++i) {
        const uint8_t* entry = names.entries + 12 * i;
        const char* text = names.pool + entry_offset(entry);
        const uint32_t length = entry_length(entry);
        if (entry_key(entry) != name_key(text, length)) return false;
        if (i < PREDEFINED_NAME_COUNT &&
            (std::strlen(PREDEFINED_NAMES[i]) != length || std::memcmp(PREDEFINED_NAMES[i], text, length) != 0)) {
            return false;
        }
    }
    std::vector<bool> seen(names.count, false);
    int32_t previous = INT32_MIN;
    for (uint32_t i = 0; i < names.count; ++i) {
        const int32_t key = int32_t(load_u32(names.pairs + 8 * i));
        const uint32_t index = load_u32(names.pairs + 8 * i + 4);
        if (key < previous || index >= names.count || seen[index]) return false;
        if (uint32_t(key) != entry_key(names.entries + 12 * index)) return false;
        seen[index] = true;
        previous = key;
    }
    return true;
}

void take_over_names(const NameImage& names) {
    auto* entries = static_cast<NameEntry*>(std::malloc(size_t(names.count) * sizeof(NameEntry)));
    auto* sorted = static_cast<NameKeyPair*>(std::malloc(size_t(names.count) * sizeof(NameKeyPair)));
    auto* pool = static_cast<char*>(std::malloc(size_t(names.pool_size) + 1));
    if (entries == nullptr || sorted == nullptr || pool == nullptr) {
        std::free(entries);
        std::free(sorted);
        std::free(pool);
        raise_runtime_error(1400, "メモリ領域を取得できません");
    }
    std::memcpy(entries, names.entries, size_t(names.count) * sizeof(NameEntry));
    std::memcpy(sorted, names.pairs, size_t(names.count) * sizeof(NameKeyPair));
    std::memcpy(pool, names.pool, names.pool_size);
    std::free(g_names.entries);
    std::free(g_names.sorted);
    std::free(g_names.pool);
    g_names.entries = entries;
    g_names.count = names.count;
    g_names.capacity = names.count;
    g_names.sorted = sorted;
    g_names.sorted_capacity = names.count;
    g_names.pool = pool;
    g_names.pool_used = names.pool_size;
    g_names.pool_capacity = names.pool_size + 1;
}

void load_names(Image& image, uint32_t count) {
    if (image.have_names) corrupt(image);
    NameImage names;
    names.count = count;
    names.entries = take(image, uint64_t(count) * 12);
    names.pairs = take(image, uint64_t(count) * 8);
    names.pool_size = take_word(image);
    names.pool = reinterpret_cast<const char*>(take(image, names.pool_size));
    // Every name must lie inside the pool and end with its NUL.
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = names.entries + 12 * i;
        const uint64_t end = uint64_t(entry_offset(entry)) + entry_length(entry);
        if (end >= names.pool_size || names.pool[end] != '\0') corrupt(image);
    }

    image.have_names = true;
    if (can_take_over(names)) {
        take_over_names(names);
        return;
    }
    image.translated = true;
    image.translation.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = names.entries + 12 * i;
        image.translation[i] = intern(names.pool + entry_offset(entry), entry_length(entry));
    }
}

// A word holding a name value (flag bits above the index are kept).
uint32_t translate_name(const Image& image, uint32_t word) {
    const uint32_t index = word & 0xFFFFFF;
    if (image.translated) {
        if (index >= image.translation.size()) corrupt(image);
        return (word & 0xFF000000) | image.translation[index];
    }
    if (index >= g_names.count) corrupt(image);
    return word;
}

// A word holding a cell value of the image.
uint32_t relocate_cell(const Image& image, uint32_t word) {
    if (((word >> 8) & 0xFFF) >= image.page_count) corrupt(image);
    return word + image.first_page * CELLS_PER_PAGE;
}

// A word holding a class-0 area reference into the image's blocks.
uint32_t relocate_block(const Image& image, uint32_t word) {
    if (area_class(word & 0xFFFFFF) != 0 || ((word >> 10) & 0x3FF) >= image.block_count) corrupt(image);
    return word + image.first_block * BLOCK_WORDS;
}

// ---- relocations -------------------------------------------------------

uint8_t* cell_word(const Image& image, uint32_t position) {
    const uint32_t page = position >> 16;
    const uint32_t word = position & 0xFFFF;
    if (page >= image.page_count || word >= CELL_WORDS) corrupt(image);
    return g_areas.cell_pages[image.first_page + page] + word * 4;
}

uint8_t* block_word(const Image& image, uint32_t position) {
    const uint32_t block = position >> 10;
    const uint32_t word = position & 0x3FF;
    if (block >= image.block_count) corrupt(image);
    return g_areas.blocks[image.first_block + block] + word * 4;
}

enum class Patch { NAME, CELL, BLOCK };

void patch_words(Image& image, uint32_t count, bool in_blocks, Patch patch) {
    const uint8_t* positions = take(image, uint64_t(count) * 4);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t position = load_u32(positions + 4 * i);
        uint8_t* word = in_blocks ? block_word(image, position) : cell_word(image, position);
        const uint32_t value = load_u32(word);
        switch (patch) {
            case Patch::NAME: store_u32(word, translate_name(image, value)); break;
            case Patch::CELL: store_u32(word, relocate_cell(image, value)); break;
            case Patch::BLOCK: store_u32(word, relocate_block(image, value)); break;
        }
    }
}

// ---- globals and statements --------------------------------------------

void load_globals(Image& image, uint32_t count) {
    const uint8_t* words = take(image, uint64_t(count) * 4);
    // Into an empty table the names go as they are; otherwise only the
    // missing ones are added. Either way their values start `undefined`.
    const bool was_empty = g_globals.count == 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t name = translate_name(image, load_u32(words + 4 * i));
        if (was_empty) {
            global_add(name, NAME_UNDEFINED);
        } else {
            global_declare(name);
        }
    }
}

void load_statements(Image& image, uint32_t count) {
    const uint8_t* words = take(image, uint64_t(count) * 4);
    StatementList* list = image.list;
    if (uint64_t(list->count) + count > list->capacity) {
        const uint64_t capacity = uint64_t(list->count) + count + LIST_SLACK;
        if (capacity > UINT32_MAX / sizeof(Value)) raise_runtime_error(1400, "メモリ領域を取得できません");
        auto* items = static_cast<Value*>(std::malloc(size_t(capacity) * sizeof(Value)));
        if (items == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
        if (list->count != 0) std::memcpy(items, list->items, size_t(list->count) * sizeof(Value));
        if (list->heap_owned) std::free(list->items);
        list->items = items;
        list->capacity = uint32_t(capacity);
        list->heap_owned = true;
    }
    for (uint32_t i = 0; i < count; ++i) {
        Value v = load_u32(words + 4 * i);
        const uint32_t tag = value_tag(v);
        if (tag == TAG_NAME) {
            v = translate_name(image, v);
        } else if (tag == TAG_REGEX) {
            v = relocate_block(image, v);  // a regular-expression literal on its own
        } else if (tag != TAG_IMMEDIATE) {
            if (is_area_tag(tag) || tag == TAG_UNUSED) corrupt(image);
            v = relocate_cell(image, v);
        }
        list->items[list->count++] = v;
    }
}

void load_sections(Image& image, size_t body_length) {
    image.length = body_length;
    while (image.position < image.length) {
        const uint32_t code = take_word(image);
        if (code == SECTION_END) return;
        const uint32_t count = take_word(image);
        switch (code) {
            case SECTION_CELLS: load_cells(image, count); break;
            case SECTION_BLOCKS: load_blocks(image, count); break;
            case SECTION_NAMES: load_names(image, count); break;
            case SECTION_GLOBALS: load_globals(image, count); break;
            case SECTION_CELL_NAMES: patch_words(image, count, false, Patch::NAME); break;
            case SECTION_CELL_CELLS: patch_words(image, count, false, Patch::CELL); break;
            case SECTION_CELL_BLOCKS: patch_words(image, count, false, Patch::BLOCK); break;
            case SECTION_BLOCK_NAMES: patch_words(image, count, true, Patch::NAME); break;
            case SECTION_BLOCK_CELLS: patch_words(image, count, true, Patch::CELL); break;
            case SECTION_BLOCK_BLOCKS: patch_words(image, count, true, Patch::BLOCK); break;
            case SECTION_STATEMENTS: load_statements(image, count); break;
            default: corrupt(image);
        }
    }
}

uint8_t* expansion_buffer(size_t size) {
    if (size > g_compiled.size) {
        auto* body = static_cast<uint8_t*>(std::malloc(size));
        if (body == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
        std::free(g_compiled.body);
        g_compiled.body = body;
        g_compiled.size = size;
    }
    return g_compiled.body;
}

}  // namespace

void compiled_module_reset() {
    std::free(g_compiled.body);
    g_compiled = CompiledModuleState{};
}

int64_t expand_body(const uint8_t* stored, size_t stored_length, uint8_t* out, size_t out_size) {
    if (stored_length < 6) return -1;
    const uint8_t run = stored[0];
    const size_t fixed = stored[4];
    const size_t entries = stored[5];
    const size_t header = 6 + 2 * entries + fixed;
    if (header > stored_length) return -1;
    const uint8_t* codes = stored + 6;
    const uint8_t* values = codes + entries;
    const uint8_t* counts = values + entries;

    // What each stream byte does, in the order the codes are tried: 0, the
    // zero codes (Z1 first), the run code, then the dictionary (its first
    // match); any other byte stands for itself.
    enum Action : uint8_t { LITERAL, ZERO, ZERO_CODE, RUN, FIXED_ENTRY, COUNTED_ENTRY };
    uint8_t action[256];
    uint8_t entry_value[256];
    uint8_t entry_count[256];  // zeros of a zero code, or the count of a fixed entry
    std::memset(action, LITERAL, sizeof action);
    for (size_t k = entries; k-- > 0;) {
        action[codes[k]] = k < fixed ? FIXED_ENTRY : COUNTED_ENTRY;
        entry_value[codes[k]] = values[k];
        if (k < fixed) entry_count[codes[k]] = counts[k];
    }
    action[run] = RUN;
    for (int z = 2; z >= 0; --z) {
        action[stored[1 + z]] = ZERO_CODE;
        entry_count[stored[1 + z]] = uint8_t(z + 1);
    }
    action[0] = ZERO;

    // Zeros are skipped over: the output starts zeroed.
    std::memset(out, 0, out_size);
    const uint8_t* p = stored + header;
    const uint8_t* end = stored + stored_length;
    size_t used = 0;
    while (p < end) {
        const uint8_t code = *p++;
        // Most bytes stand for themselves or for one zero; the zero is
        // written as itself too.
        if (action[code] <= ZERO) {
            if (used == out_size) return -1;
            out[used++] = code;
            continue;
        }
        size_t zeros = 0;      // zeros, then
        int value = -1;        // a byte (or none), then
        size_t after = 0;      // zeros again
        switch (Action(action[code])) {
            case LITERAL:
            case ZERO: break;
            case ZERO_CODE:
                if (p < end && *p == code) {  // the code written twice is the byte itself
                    ++p;
                    value = code;
                } else {
                    zeros = entry_count[code];
                }
                break;
            case RUN: {
                if (p == end) return -1;
                const uint8_t n = *p++;
                if (n == 0) {
                    value = run;
                } else {
                    zeros = n;
                }
                break;
            }
            case FIXED_ENTRY:
            case COUNTED_ENTRY: {
                uint8_t n = entry_count[code];
                if (action[code] == COUNTED_ENTRY) {
                    if (p == end) return -1;
                    n = *p++;
                    if (n == 254) {
                        value = code;
                        break;
                    }
                }
                value = entry_value[code];
                if (n > 4) {
                    zeros = n - 3u;
                } else {
                    after = n;
                }
                break;
            }
        }
        const size_t bytes = zeros + (value >= 0 ? 1 : 0) + after;
        if (bytes > out_size - used) return -1;
        used += zeros;
        if (value >= 0) out[used++] = uint8_t(value);
        used += after;
    }
    return int64_t(used);
}

void load_compiled_module(const uint8_t* data, size_t length, StatementList* list, const char* path) {
    Image image{};
    image.data = data;
    image.length = length;
    image.path = path;
    image.list = list;
    image.module = uint8_t(g_parser.module & 0x7F);

    if (length < 8) corrupt(image);
    const uint32_t body_length = load_u32(data);
    const uint32_t stored_length = load_u32(data + 4);
    if (stored_length > length - 8) corrupt(image);
    if (stored_length == body_length) {
        image.data = data + 8;
    } else {
        if (body_length > MAX_EXPANSION * stored_length) corrupt(image);
        uint8_t* body = expansion_buffer(size_t(body_length) + EXPANSION_SLACK);
        const int64_t produced =
            expand_body(data + 8, stored_length, body, size_t(body_length) + EXPANSION_SLACK);
        // A body that expands to less than its stated length lost bytes.
        if (produced < int64_t(body_length)) corrupt(image);
        image.data = body;
    }
    FreshStorage fresh;
    load_sections(image, body_length);
}

}  // namespace kova

// Writing the image of a parsed module. Every cell of the run's pages is
// walked by the layout of its tag (core/value.h, storage_of), and every
// node by the operands of its kind (parser/node_kinds.h, operand_shape);
// the area items they own are walked through them. Each word met is a name
// value, a cell value, a permanent-area reference or plain data, and lands
// in the matching relocation list. Nothing is guessed from a word's bits
// alone: a plain number such as a loop's counts looks like a name value,
// and a permanent-area reference has tag bits 0 too.
#include "parser/image_writer.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "core/areas.h"
#include "core/names.h"
#include "parser/compiled_module.h"
#include "parser/declarations.h"
#include "parser/node_kinds.h"
#include "regex/regex_layout.h"

namespace kova {

namespace {

constexpr uint32_t COUNT_IN_POSITION = 255;  // a node's count byte when its count is in word 3

struct ImageError {
    std::string message;
};

[[noreturn]] [[gnu::format(printf, 1, 2)]] void fail(const char* format, ...) {
    char text[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    throw ImageError{text};
}

// A word of the image: in a cell page (page << 16 | word) or in the
// permanent area (block << 10 | word), the positions the relocation
// sections use.
struct Word {
    bool in_block;
    uint32_t position;
};

Word block_word(uint32_t position) { return Word{true, position}; }

struct Relocations {
    std::vector<uint32_t> names;
    std::vector<uint32_t> cells;
    std::vector<uint32_t> blocks;
};

class Classifier {
public:
    Classifier() {
        pages_ = uint32_t(g_areas.current_page + 1);
        cells_in_last_ = pages_ == 0 ? 0 : uint32_t(g_areas.next_slot);
        blocks_ = uint32_t(g_areas.highest_block + 1);
        // Sanitizer builds hold freed cells back, poisoned: they go into the
        // image as free cells (header 0xFF), and every cell is read here.
        areas_flush_quarantine();
        for (uint32_t p = 0; p < pages_; ++p) {
            if (g_areas.cell_pages[p] == nullptr) fail("cell page %u is missing", p);
            unpoison_storage(g_areas.cell_pages[p], size_t(cells_in(p)) * CELL_SIZE);
        }
        for (uint32_t b = 0; b < blocks_; ++b) {
            if (g_areas.blocks[b] == nullptr) fail("permanent block %u is missing", b);
        }
        claimed_.assign(size_t(blocks_) * BLOCK_WORDS, false);
    }

    uint32_t pages() const { return pages_; }
    uint32_t cells_in_last_page() const { return cells_in_last_; }
    uint32_t blocks() const { return blocks_; }
    Relocations& in_cells() { return in_cells_; }
    Relocations& in_blocks() { return in_blocks_; }

    void classify_every_cell() {
        for (uint32_t page = 0; page < pages_; ++page) {
            for (uint32_t slot = 0; slot < cells_in(page); ++slot) cell(page, slot);
        }
    }

    // A statement of the module list: the loader relocates these itself,
    // by their tag, so only cells, names and regular expressions (a bare
    // literal) can be listed.
    void check_statement(Value v) {
        const Storage storage = storage_of(Tag(value_tag(v)));
        if (storage == Storage::NAME_INDEX) return check_name(v);
        if (storage == Storage::IMMEDIATE) return;
        if (in_cell(storage)) return check_cell_value(v);
        if (storage == Storage::REGEX_ITEM) return area_value(storage, item_start(v, TAG_REGEX));
        fail("a statement of tag %u cannot be listed in an image", value_tag(v));
    }

    void check_name(uint32_t word) {
        if ((word & 0xFFFFFF) >= g_names.count) fail("name index %u beyond the name table", word & 0xFFFFFF);
    }

private:
    uint32_t cells_in(uint32_t page) const { return page + 1 < pages_ ? CELLS_PER_PAGE : cells_in_last_; }

    static uint32_t read(Word w) {
        if (w.in_block) return load_u32(g_areas.blocks[w.position >> 10] + (w.position & 0x3FF) * 4);
        return load_u32(g_areas.cell_pages[w.position >> 16] + (w.position & 0xFFFF) * 4);
    }

    Relocations& lists(Word w) { return w.in_block ? in_blocks_ : in_cells_; }

    // ---- the three kinds of patched words ---------------------------------

    // A name index. The predefined names have the same index in every run,
    // so only the others need translating.
    void name(Word w) {
        const uint32_t word = read(w);
        check_name(word);
        if ((word & 0xFFFFFF) >= PREDEFINED_NAME_COUNT) lists(w).names.push_back(w.position);
    }

    void check_cell_value(Value v) {
        const uint32_t page = (v >> 8) & 0xFFF;
        const uint32_t slot = v & 0xFF;
        if ((v & 0xF0F00000) != 0 || page >= pages_ || slot >= cells_in(page)) {
            fail("cell value %08X outside the image's cells", v);
        }
        const uint8_t header = g_areas.cell_pages[page][slot * CELL_SIZE];
        if (header == HEADER_FREE || (header & 0xF) != value_tag(v)) {
            fail("cell value %08X refers to a cell of header %02X", v, header);
        }
    }

    // A value: patched by what its tag stores. A kind of storage not
    // handled here cannot be held in an image.
    void value(Word w) {
        const Value v = read(w);
        const Storage storage = storage_of(Tag(value_tag(v)));
        if (storage == Storage::NAME_INDEX) return name(w);
        if (storage == Storage::IMMEDIATE) return;
        if (in_cell(storage)) {
            check_cell_value(v);
            lists(w).cells.push_back(w.position);
            return;
        }
        if (storage == Storage::TEXT_ITEM || storage == Storage::REGEX_ITEM) {
            return area_value(storage, item_at(w, value_tag(v)));
        }
        fail("a value of tag %u cannot be held in an image", value_tag(v));
    }

    // The item of an area-kind value, walked once however often the value
    // is held.
    void area_value(Storage storage, uint32_t start) {
        if (!visited_values_.insert(start).second) return;
        if (storage == Storage::REGEX_ITEM) {
            regex_value(start);
        } else {
            text_value(start);
        }
    }

    // A key word of a keyed array or an object: a name, or an integer key.
    void key(Word w) {
        if (key_is_name(read(w))) name(w);
    }

    // A word holding the permanent-area reference of an item: recorded for
    // the block offset; returns the position of the item's first word.
    // A value of an area kind is such a reference with its tag above.
    uint32_t item_at(Word w, uint32_t tag = TAG_NAME) {
        const uint32_t start = item_start(read(w), tag);
        lists(w).blocks.push_back(w.position);
        return start;
    }

    uint32_t item_start(uint32_t reference, uint32_t tag) const {
        const uint32_t start = reference & 0xFFFFF;
        if (area_class(reference) != 0 || (reference >> 24) != tag || (start >> 10) >= blocks_ ||
            (start & 0x3FF) > g_areas.block_used[start >> 10]) {
            fail("area reference %08X outside the image's blocks", reference);
        }
        return start;
    }

    static const uint8_t* block_address(uint32_t position) {
        return g_areas.blocks[position >> 10] + (position & 0x3FF) * 4;
    }

    // The item's words from `start` are its owner's: each lies in the used
    // part of an image block and has no other owner.
    void claim(uint32_t start, uint32_t words) {
        for (uint32_t p = start; p < start + words; ++p) {
            if ((p >> 10) >= blocks_ || (p & 0x3FF) >= g_areas.block_used[p >> 10]) {
                fail("an item at %u runs past the used words of its block", start);
            }
            if (claimed_[p]) fail("permanent word %u belongs to two items", p);
            claimed_[p] = true;
        }
    }

    void values(uint32_t start, uint32_t count) {
        claim(start, count);
        for (uint32_t i = 0; i < count; ++i) value(block_word(start + i));
    }

    void pairs(uint32_t start, uint32_t count) {
        claim(start, 2 * count);
        for (uint32_t i = 0; i < count; ++i) {
            key(block_word(start + 2 * i));
            value(block_word(start + 2 * i + 1));
        }
    }

    // An error object: header, counts and texts only.
    void text_value(uint32_t start) {
        claim(start, 2);
        const uint8_t* item = block_address(start);
        const uint32_t bytes = uint32_t(error_message_offset(load_u16(item + ERROR_CODE_LENGTH_OFFSET))) +
                               load_u16(item + ERROR_MESSAGE_LENGTH_OFFSET) + 1;
        claim(start + 2, (bytes + 3) / 4 - 2);
    }

    // A compiled regular expression: an alternation, whose list holds the
    // alternatives' values, or a sequence, whose terms hold a
    // sub-expression value, a group's name and a group's lookaround value;
    // everything else is flags, counts and UTF-16 units.
    void regex_value(uint32_t start) {
        constexpr uint32_t TERM_WORDS = REGEX_TERM_SIZE / 4;
        constexpr uint32_t REFERENCE_WORD = REGEX_REFERENCE_OFFSET / 4;
        claim(start, REFERENCE_WORD);  // header, flags and count
        const uint8_t* item = block_address(start);
        const uint32_t count = load_u16(item + REGEX_COUNT_OFFSET);
        if ((item[REGEX_FLAGS_OFFSET] & REGEX_ALTERNATION) != 0) {
            claim(start + REFERENCE_WORD, REGEX_ALTERNATION_SIZE / 4 - REFERENCE_WORD);
            values(item_at(block_word(start + REFERENCE_WORD)), count);
            return;
        }
        constexpr uint32_t POOL_WORD = REGEX_POOL_LENGTH_OFFSET / 4;
        claim(start + REFERENCE_WORD, POOL_WORD + 1 - REFERENCE_WORD);
        const uint32_t words = uint32_t(regex_sequence_size(load_u16(item + REGEX_POOL_LENGTH_OFFSET)) + 3) / 4;
        claim(start + POOL_WORD + 1, words - POOL_WORD - 1);
        const uint32_t terms = item_at(block_word(start + REFERENCE_WORD));
        claim(terms, count * TERM_WORDS);
        for (uint32_t t = 0; t < count; ++t) {
            const uint32_t term = terms + t * TERM_WORDS;
            value(block_word(term + TERM_SUB_OFFSET / 4));
            name(block_word(term + TERM_NAME_OFFSET / 4));
            if (is_group_kind(block_address(term)[TERM_KIND_OFFSET])) {
                value(block_word(term + TERM_GROUP_LOOKAROUND_OFFSET / 4));
            }
        }
    }

    // ---- cells by tag ---------------------------------------------------

    void cell(uint32_t page, uint32_t slot) {
        const uint8_t* c = g_areas.cell_pages[page] + slot * CELL_SIZE;
        if (c[0] == HEADER_FREE) return;
        auto word = [&](uint32_t k) { return Word{false, page << 16 | (slot * 4 + k)}; };
        const Tag tag = Tag(c[0] & 0xF);
        switch (storage_of(tag)) {
            case Storage::NUMBER_CELL: return;
            case Storage::STRING_CELL:
                claim(item_at(word(1)), (load_u32(c + 12) + 4) / 4);  // the text and its NUL
                return;
            case Storage::ARRAY_CELL: values(item_at(word(1)), load_u32(c + 8)); return;
            case Storage::KEYED_CELL: pairs(item_at(word(1)), load_u32(c + 8)); return;
            case Storage::OBJECT_CELL:
                pairs(item_at(word(2)), load_u16(c + 4));
                name(word(3));
                return;
            case Storage::NODE_CELL: node(c, word); return;
            case Storage::FUNCTION_CELL: {
                value(word(1));
                const uint32_t names = uint32_t(c[2]) + c[3];  // parameters, then local names
                if (names != 0) values(item_at(word(2)), names);
                return;
            }
            case Storage::NAME_INDEX:
            case Storage::IMMEDIATE:
            case Storage::TEXT_ITEM:
            case Storage::REGEX_ITEM:
            case Storage::RUN_TIME_ONLY: break;
        }
        fail("cell %u of page %u has header %02X", slot, page, c[0]);
    }

    template <typename CellWord>
    void node(const uint8_t* c, CellWord word) {
        const uint32_t kind = c[3];
        const uint32_t count = c[2] == COUNT_IN_POSITION ? load_u32(c + 12) : c[2];
        // Up to two operands sit in the cell, more in an item of their own.
        uint32_t item = 0;
        if (count > 2) {
            item = item_at(word(1));
            claim(item, count);
        }
        auto operand = [&](uint32_t i) { return count > 2 ? block_word(item + i) : word(1 + i); };
        auto expect = [&](bool well_formed) {
            if (!well_formed) fail("node of kind %u with %u operands", kind, count);
        };

        switch (operand_shape(NodeKind(kind))) {
            case OperandShape::VALUES:
                for (uint32_t i = 0; i < count; ++i) value(operand(i));
                return;
            case OperandShape::FOR_PARTS: {
                expect(count == 3);
                const uint32_t counts = read(operand(1));
                values(item_at(operand(0)), (counts >> 16) + 1 + (counts & 0xFFFF));
                value(operand(2));
                return;
            }
            case OperandShape::FOR_ITERATION:
                expect(count == 4);
                for (uint32_t i = 0; i < 3; ++i) value(operand(i));
                return;
            case OperandShape::TRY: {
                expect(count == 2 || count == 3);
                value(operand(0));
                // Catch name and block, then a zero word.
                if (count == 2 || read(operand(1)) != 0) {
                    const uint32_t catch_item = item_at(operand(1));
                    claim(catch_item, 3);
                    value(block_word(catch_item));
                    value(block_word(catch_item + 1));
                }
                if (count == 3) value(operand(2));
                return;
            }
            case OperandShape::CALL: {
                expect(count == 2);
                value(operand(0));
                const uint32_t arguments = item_at(operand(1));
                claim(arguments, 1);
                values(arguments + 1, read(block_word(arguments)));
                return;
            }
            case OperandShape::SWITCH: {
                expect(count == 4);
                value(operand(0));
                // (entries, statements), (0, default start), then
                // (case value, first statement) per label.
                const uint32_t table = item_at(operand(1));
                claim(table, 2);
                const uint32_t entries = read(block_word(table));
                const uint32_t statements = read(block_word(table + 1));
                expect(entries >= 2);
                claim(table + 2, 2 * (entries - 1));
                for (uint32_t e = 2; e < entries; ++e) value(block_word(table + 2 * e));
                values(item_at(operand(2)), statements);
                return;
            }
            case OperandShape::NOT_PARSED: break;
        }
        fail("node of kind %u cannot be held in an image", kind);
    }

    uint32_t pages_;
    uint32_t cells_in_last_;
    uint32_t blocks_;
    std::vector<bool> claimed_;
    std::unordered_set<uint32_t> visited_values_;
    Relocations in_cells_;
    Relocations in_blocks_;
};

// ---- the body ---------------------------------------------------------

struct Body {
    std::vector<uint8_t> bytes;
    void word(uint32_t w) {
        for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(w >> (8 * i)));
    }
    void data(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
    }
    void section(uint32_t code, uint32_t count) {
        word(code);
        word(count);
    }
    void list(uint32_t code, std::vector<uint32_t>& positions) {
        if (positions.empty()) return;
        std::sort(positions.begin(), positions.end());
        section(code, uint32_t(positions.size()));
        for (uint32_t p : positions) word(p);
    }
};

// Full units << 16 | what the last one holds; a full last unit counts as
// a full one.
uint32_t count_word(uint32_t units, uint32_t in_last, uint32_t whole) {
    return in_last == whole ? units << 16 : (units - 1) << 16 | in_last;
}

void cells_section(Body* body, const Classifier& image) {
    if (image.pages() == 0) return;
    body->section(SECTION_CELLS, count_word(image.pages(), image.cells_in_last_page(), CELLS_PER_PAGE));
    for (uint32_t p = 0; p + 1 < image.pages(); ++p) body->data(g_areas.cell_pages[p], CELL_PAGE_SIZE);
    body->data(g_areas.cell_pages[image.pages() - 1], size_t(image.cells_in_last_page()) * CELL_SIZE);
}

void blocks_section(Body* body, const Classifier& image) {
    const uint32_t blocks = image.blocks();
    if (blocks == 0) return;
    const uint32_t in_last = g_areas.block_used[blocks - 1];
    body->section(SECTION_BLOCKS, count_word(blocks, in_last, BLOCK_WORDS));
    for (uint32_t b = 0; b + 1 < blocks; ++b) body->data(g_areas.blocks[b], BLOCK_SIZE);
    body->data(g_areas.blocks[blocks - 1], size_t(in_last) * 4);
    for (uint32_t b = 0; b < blocks; ++b) body->word(g_areas.block_used[b]);
}

void names_section(Body* body) {
    body->section(SECTION_NAMES, g_names.count);
    body->data(g_names.entries, size_t(g_names.count) * sizeof(NameEntry));
    body->data(name_key_index(), size_t(g_names.count) * sizeof(NameKeyPair));
    body->word(g_names.pool_used);
    body->data(g_names.pool, g_names.pool_used);
}

}  // namespace

bool write_image_body(const StatementList& statements, std::vector<uint8_t>* out, std::string* error) {
    try {
        Classifier image;
        image.classify_every_cell();
        for (uint32_t i = 0; i < statements.count; ++i) image.check_statement(statements.items[i]);
        for (uint32_t i = 0; i < g_globals.count; ++i) image.check_name(g_globals.slots[i].name & SLOT_NAME_MASK);

        Body body;
        cells_section(&body, image);
        blocks_section(&body, image);
        names_section(&body);
        if (g_globals.count != 0) {
            body.section(SECTION_GLOBALS, g_globals.count);
            for (uint32_t i = 0; i < g_globals.count; ++i) body.word(g_globals.slots[i].name);
        }
        body.list(SECTION_CELL_NAMES, image.in_cells().names);
        body.list(SECTION_CELL_CELLS, image.in_cells().cells);
        body.list(SECTION_CELL_BLOCKS, image.in_cells().blocks);
        body.list(SECTION_BLOCK_NAMES, image.in_blocks().names);
        body.list(SECTION_BLOCK_CELLS, image.in_blocks().cells);
        body.list(SECTION_BLOCK_BLOCKS, image.in_blocks().blocks);
        if (statements.count != 0) {
            body.section(SECTION_STATEMENTS, statements.count);
            body.data(statements.items, size_t(statements.count) * sizeof(Value));
        }
        body.word(SECTION_END);
        *out = std::move(body.bytes);
        return true;
    } catch (const ImageError& e) {
        *error = e.message;
        return false;
    }
}

std::vector<uint8_t> image_file(const std::vector<uint8_t>& body, bool compress) {
    std::vector<uint8_t> stored;
    // A stored length equal to the body's would read as a plain body.
    if (compress) stored = compress_body(body);
    const bool compressed = compress && stored.size() < body.size();
    const std::vector<uint8_t>& payload = compressed ? stored : body;
    std::vector<uint8_t> file(8 + payload.size());
    store_u32(file.data(), uint32_t(body.size()));
    store_u32(file.data() + 4, uint32_t(payload.size()));
    if (!payload.empty()) std::memcpy(file.data() + 8, payload.data(), payload.size());
    return file;
}

}  // namespace kova

// The image writer: the zero-suppressed code (every code, escapes, runs),
// and images of parsed modules loaded into fresh runs, after source modules
// and after other images, compared with parsing the source there.
#include "parser/image_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "host/process_state.h"
#include "parser/compiled_module.h"
#include "parser/declarations.h"
#include "parser/lexer.h"
#include "parser/module_table.h"
#include "parser/node_kinds.h"
#include "parser/nodes.h"
#include "parser/parser.h"
#include "parser/statements.h"
#include "regex/regex_layout.h"

namespace kova {
namespace {

// ---- the zero-suppressed code ----------------------------------------------

// What a stream is made of, read by the rules of the format (not by the
// loader's expander, which the round trips check).
std::map<std::string, int> stream_ops(const std::vector<uint8_t>& stored) {
    std::map<std::string, int> ops;
    const uint8_t run = stored[0];
    const size_t fixed = stored[4];
    const size_t entries = stored[5];
    const uint8_t* codes = stored.data() + 6;
    size_t i = 6 + 2 * entries + fixed;
    auto entry = [&](uint8_t b) -> int {
        for (size_t k = 0; k < entries; ++k) {
            if (codes[k] == b) return int(k);
        }
        return -1;
    };
    while (i < stored.size()) {
        const uint8_t b = stored[i++];
        if (b == 0) {
            ++ops["zero"];
        } else if (b == stored[1] || b == stored[2] || b == stored[3]) {
            if (i < stored.size() && stored[i] == b) {
                ++ops["zero code written twice"];
                ++i;
            } else {
                ++ops[b == stored[1] ? "Z1" : b == stored[2] ? "Z2" : "Z3"];
            }
        } else if (b == run) {
            ++ops[stored[i++] == 0 ? "run code as data" : "run"];
        } else if (const int k = entry(b); k >= 0) {
            if (size_t(k) < fixed) {
                ++ops["fixed entry"];
            } else {
                ++ops[stored[i++] == 254 ? "counted code as data" : "counted entry"];
            }
        } else {
            ++ops["byte"];
        }
    }
    return ops;
}

std::vector<uint8_t> expanded(const std::vector<uint8_t>& stored, size_t body_size) {
    std::vector<uint8_t> out(body_size + EXPANSION_SLACK);
    const int64_t n = expand_body(stored.data(), stored.size(), out.data(), out.size());
    out.resize(n < 0 ? 0 : size_t(n));
    return out;
}

// Byte b followed by n zeros, `times` times.
void append_pattern(std::vector<uint8_t>* body, uint8_t b, size_t zeros, int times) {
    for (int t = 0; t < times; ++t) {
        body->push_back(b);
        body->insert(body->end(), zeros, 0);
    }
}

TEST(ImageCompression, EveryBodyExpandsBackExactly) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> bodies;
    bodies.push_back({"empty", {}});
    for (size_t n : {1, 2, 3, 4, 5, 254, 255, 256, 510, 511, 4096}) {
        bodies.push_back({std::to_string(n) + " zeros", std::vector<uint8_t>(n, 0)});
    }
    std::vector<uint8_t> all_bytes;
    for (int round = 0; round < 3; ++round) {
        for (int b = 0; b < 256; ++b) all_bytes.push_back(uint8_t(b));
    }
    bodies.push_back({"every byte value", all_bytes});
    std::mt19937 random(7);
    for (int k = 0; k < 20; ++k) {
        // Mostly zeros, runs of every length, and every byte value among them.
        std::vector<uint8_t> body;
        while (body.size() < 3000) {
            const uint32_t r = random() % 10;
            if (r < 5) body.insert(body.end(), random() % 300, 0);
            else body.push_back(uint8_t(random() % 256));
        }
        bodies.push_back({"random " + std::to_string(k), body});
    }
    for (const auto& [what, body] : bodies) {
        SCOPED_TRACE(what);
        const std::vector<uint8_t> stored = compress_body(body);
        EXPECT_EQ(expanded(stored, body.size()), body);
        if (body.size() >= 255 && std::all_of(body.begin(), body.end(), [](uint8_t b) { return b == 0; })) {
            EXPECT_LE(stored.size(), 6 + 2 * (body.size() / 255 + 1));
        }
    }
}

// With bytes that never occur, the rarest ones become the run and zero
// codes and the dictionary takes frequent patterns with fixed counts.
TEST(ImageCompression, FreeBytesCarryRunsZerosAndFixedEntries) {
    std::vector<uint8_t> body;
    append_pattern(&body, 0x11, 3, 300);   // a byte and three zeros
    for (int t = 0; t < 200; ++t) {        // twenty zeros and a byte
        body.insert(body.end(), 20, 0);
        body.push_back(0x22);
    }
    for (int v = 1; v <= 200; ++v) {       // more patterns than free bytes: the rest need Z2 and Z3
        append_pattern(&body, uint8_t(v), 2, 3);
        append_pattern(&body, uint8_t(v), 3, 3);
    }
    body.insert(body.end(), 1000, 0);       // runs longer than one count
    body.push_back(0x41);
    const std::vector<uint8_t> stored = compress_body(body);
    ASSERT_EQ(expanded(stored, body.size()), body);
    const std::map<std::string, int> ops = stream_ops(stored);
    EXPECT_GE(ops.count("fixed entry") ? ops.at("fixed entry") : 0, 500) << "11 000 and 20 zeros + 22";
    EXPECT_GE(ops.count("run") ? ops.at("run") : 0, 4);
    EXPECT_GT(ops.count("Z2") + ops.count("Z3"), 0u);
    EXPECT_EQ(ops.count("run code as data") + ops.count("zero code written twice"), 0u) << "free codes need no escape";
    EXPECT_LT(stored.size(), body.size() / 3);
}

// When every byte value occurs, code bytes met as data are escaped, and a
// pattern frequent enough still earns a counted entry.
TEST(ImageCompression, CodesThatOccurAsDataAreEscaped) {
    std::vector<uint8_t> body;
    for (int b = 1; b < 256; ++b) {
        body.push_back(uint8_t(b));
        body.push_back(uint8_t(b));
    }
    append_pattern(&body, 0x44, 4, 400);  // a byte and four zeros
    for (int t = 0; t < 100; ++t) {      // three zeros, then each byte value: a zero code before itself
        for (int b = 1; b < 256; b += 17) {
            body.insert(body.end(), 2 + t % 2, 0);
            body.push_back(uint8_t(b));
        }
    }
    const std::vector<uint8_t> stored = compress_body(body);
    ASSERT_EQ(expanded(stored, body.size()), body);
    const std::map<std::string, int> ops = stream_ops(stored);
    EXPECT_GT(ops.count("run code as data"), 0u);
    EXPECT_GT(ops.count("zero code written twice"), 0u);
    EXPECT_GT(ops.count("counted entry"), 0u);
    EXPECT_GT(ops.count("counted code as data"), 0u);
    EXPECT_EQ(ops.count("fixed entry"), 0u) << "no byte is free for a fixed count";
}

TEST(ImageCompression, FileIsPlainWhenCompressionDoesNotPay) {
    std::vector<uint8_t> body;
    for (int b = 0; b < 256; ++b) body.push_back(uint8_t(b));
    const std::vector<uint8_t> file = image_file(body, true);
    ASSERT_EQ(file.size(), body.size() + 8);
    EXPECT_EQ(load_u32(file.data()), body.size());
    EXPECT_EQ(load_u32(file.data() + 4), body.size());  // equal lengths: stored plain
    EXPECT_TRUE(std::equal(body.begin(), body.end(), file.begin() + 8));
}

// ---- images of parsed modules ------------------------------------------------

void fresh_run() {
    reset_process_state();
    stop_table_init();
    compiled_module_reset();
}

void free_list(StatementList* list) {
    if (list->heap_owned) std::free(list->items);
    *list = StatementList{};
}

// Parses `text` as module `number` of the run, as the module loader does.
void parse_source(const std::string& text, uint32_t number, StatementList* list) {
    g_parser.module = number;
    g_parser.line = 1;
    g_parser.run_time = false;
    std::vector<char> buffer(1, '\n');
    buffer.insert(buffer.end(), text.begin(), text.end());
    buffer.push_back('\0');
    try {
        strip_comments(buffer.data() + 1);
        g_parser.last_line_feed = buffer.data();
        parse_statement_list(buffer.data() + 1, list, true, false);
    } catch (const ScriptUnwind&) {
        ADD_FAILURE() << g_errors.text;
    }
}

std::vector<uint8_t> compile_text(const std::string& text, bool compress) {
    fresh_run();
    module_add("m.js", 4);
    StatementList list{};
    parse_source(text, 0, &list);
    std::vector<uint8_t> body;
    std::string error;
    EXPECT_TRUE(write_image_body(list, &body, &error)) << error;
    free_list(&list);
    return image_file(body, compress);
}

void load_image(const std::vector<uint8_t>& image, uint32_t number, StatementList* list) {
    g_parser.module = number;
    try {
        load_compiled_module(image.data(), image.size(), list, "m.jo");
    } catch (const ScriptUnwind&) {
        ADD_FAILURE() << g_errors.text;
    }
}

// A rendering of a program that shows every field parsing set, read by the
// layouts as the evaluator reads them: two runs that render alike hold the
// same program, whatever pages, blocks and name indexes they used.
class Render {
public:
    std::string value(Value v) {
        switch (value_tag(v)) {
            case TAG_NAME: return "'" + std::string(name_text(v), name_length(v)) + "'";
            case TAG_IMMEDIATE: return "imm" + std::to_string(v);
            case TAG_INTEGER: return header(v) + std::to_string(cell_as<IntegerCell>(v)->value);
            case TAG_FLOAT: {
                char text[40];
                std::snprintf(text, sizeof text, "%.17g", cell_as<FloatCell>(v)->value);
                return header(v) + text + "f";
            }
            case TAG_STRING: {
                const StringCell* s = cell_as<StringCell>(v);
                return header(v) + "s" + std::to_string(load_u16(s->zero + 1)) + "/" + std::to_string(s->capacity) +
                       "\"" + std::string(string_text(v), s->length) + "\"";
            }
            case TAG_ARRAY: {
                const ArrayCell* a = cell_as<ArrayCell>(v);
                return header(v) + "[" + std::to_string(a->capacity) + ":" + words(a->elements, 0, a->count) + "]";
            }
            case TAG_OBJECT: {
                const ObjectCell* o = cell_as<ObjectCell>(v);
                std::string s = header(v) + "{" + std::to_string(o->capacity) + ":";
                for (uint32_t i = 0; i < o->count; ++i) {
                    s += value(word(o->pairs, 2 * i)) + "=" + value(word(o->pairs, 2 * i + 1)) + ",";
                }
                return s + "}" + value(o->class_name);
            }
            case TAG_FUNCTION: {
                const FunctionCell* f = cell_as<FunctionCell>(v);
                const uint32_t names = uint32_t(f->parameter_count) + f->local_count;
                return header(v) + "fn#" + std::to_string(f->module) + "/" + std::to_string(f->parameter_count) +
                       "@" + std::to_string(f->position) + "(" + (names ? words(f->names, 0, names) : "") + ")" +
                       value(f->body);
            }
            case TAG_NODE: return node(v);
            case TAG_REGEX: return regex(v);
            default: return "tag" + std::to_string(value_tag(v));
        }
    }

private:
    static Value word(uint32_t reference, uint32_t i) { return load_u32(area_pointer(reference) + 4 * i); }

    std::string words(uint32_t reference, uint32_t from, uint32_t count) {
        std::string s;
        for (uint32_t i = from; i < from + count; ++i) s += value(word(reference, i)) + ",";
        return s;
    }

    static std::string header(Value v) { return "<" + std::to_string(*value_header(v)) + ">"; }

    // A compiled regular expression: its header and flags, then the
    // alternatives, or the literal pool and every term.
    std::string regex(Value v) {
        const uint8_t* item = area_pointer(value_payload(v));
        const uint32_t count = load_u16(item + REGEX_COUNT_OFFSET);
        const uint32_t reference = load_u32(item + REGEX_REFERENCE_OFFSET);
        std::string s = "/" + std::to_string(item[0]) + "," + std::to_string(item[1]) + ":";
        if ((item[REGEX_FLAGS_OFFSET] & REGEX_ALTERNATION) != 0) return s + "alt(" + words(reference, 0, count) + ")";
        for (uint32_t i = 0; i < load_u16(item + REGEX_POOL_LENGTH_OFFSET); ++i) {
            s += std::to_string(load_u16(item + REGEX_POOL_OFFSET + 2 * i)) + " ";
        }
        for (uint32_t t = 0; t < count; ++t) {
            const uint8_t* term = area_pointer(reference) + REGEX_TERM_SIZE * t;
            s += "[" + value(load_u32(term + TERM_SUB_OFFSET)) + value(load_u32(term + TERM_NAME_OFFSET));
            for (size_t b = TERM_KIND_OFFSET; b < TERM_POOL_OFFSET; ++b) s += "," + std::to_string(term[b]);
            s += is_group_kind(term[TERM_KIND_OFFSET]) ? value(load_u32(term + TERM_GROUP_LOOKAROUND_OFFSET))
                                                       : std::to_string(load_u32(term + TERM_POOL_OFFSET));
            s += "]";
        }
        return s;
    }

    std::string node(Value v) {
        const NodeCell* n = cell_as<NodeCell>(v);
        const uint32_t count = node_count(v);
        std::string s = header(v) + std::to_string(n->operation) + "#" + std::to_string(n->module) + "@" +
                        std::to_string(n->position) + "(";
        auto operand = [&](uint32_t i) { return node_operand(v, i); };
        switch (n->operation) {
            case 150: {  // item of init, condition, update; the counts; body
                const uint32_t counts = operand(1);
                s += words(operand(0), 0, (counts >> 16) + 1 + (counts & 0xFFFF)) + "|" + std::to_string(counts) +
                     "|" + value(operand(2));
                break;
            }
            case 151:
            case 152:  // name, expression, body, flag
                s += value(operand(0)) + value(operand(1)) + value(operand(2)) + "|" + std::to_string(operand(3));
                break;
            case 153:  // try block, catch item or 0, finally block
                s += value(operand(0)) + "|" +
                     (count == 2 || operand(1) != 0 ? words(operand(1), 0, 2) + std::to_string(word(operand(1), 2))
                                                    : "none") +
                     (count == 3 ? "|" + value(operand(2)) : "");
                break;
            case 160:
            case 183:  // callee or class; argument-list item
                s += value(operand(0)) + "|" + words(operand(1), 1, word(operand(1), 0));
                break;
            case 170: {  // expression, case table, statement item, default flag
                const uint32_t table = operand(1);
                const uint32_t entries = word(table, 0);
                s += value(operand(0)) + "|" + std::to_string(entries) + "," + std::to_string(word(table, 3)) + ":";
                for (uint32_t e = 2; e < entries; ++e) {
                    s += value(word(table, 2 * e)) + "->" + std::to_string(word(table, 2 * e + 1)) + ",";
                }
                s += "|" + words(operand(2), 0, word(table, 1)) + "|" + std::to_string(operand(3));
                break;
            }
            default:
                for (uint32_t i = 0; i < count; ++i) s += value(operand(i)) + ",";
        }
        return s + ")";
    }
};

// The program a run holds: the statements, the global names in order, and
// the name table.
std::string program(const StatementList& list) {
    Render render;
    std::string s;
    for (uint32_t i = 0; i < list.count; ++i) s += render.value(list.items[i]) + "\n";
    s += "globals:";
    for (uint32_t i = 0; i < g_globals.count; ++i) s += render.value(g_globals.slots[i].name) + ",";
    s += "\nnames:";
    for (uint32_t i = 0; i < g_names.count; ++i) s += std::string(name_text(i), name_length(i)) + ",";
    return s;
}

// Every layout parsing makes: loops of both forms, try in its three forms,
// switch with default, calls and new, functions with defaults and locals,
// nested literals, floats and large numbers, templates, regular
// expressions (alternation, groups, a named group, lookarounds, a bare
// literal statement), a string and an array that each span permanent
// blocks, a block of 300 statements.
std::string module_with_every_layout() {
    std::string text =
        "var total = 0, label = 'module a';\n"
        "const limit = 10;\n"
        "function add(a, b = limit * 2) { var sum = a + b; let inner = sum; return inner; }\n"
        "function loops(list) {\n"
        "    for (var i = 0, j = 1; i < list.length; i++, j += 2) { total += list[i] * j; }\n"
        "    for (const k in {x: 1, 'y z': [2, 3.25e10]}) total++;\n"
        "    for (let v of list) { if (v > 2) continue; else break; }\n"
        "    while (total > 100) total -= 7; do { total--; } while (total > 50);\n"
        "    return total;\n"
        "}\n"
        "function errors(x) {\n"
        "    try { x.f(); } catch (e) { return e.message; }\n"
        "    try { throw new Error('a', 'b'); } finally { total = 0; }\n"
        "    try { throw Exception('c'); } catch (e2) { total = 1; } finally { total += 2; }\n"
        "}\n"
        "function choose(n) {\n"
        "    switch (n) { case 1: return 'one'; case 'two': n = 2; break; default: return `many ${n}`; }\n"
        "    return typeof n === 'string' ? n : n instanceof Object;\n"
        "}\n"
        "var data = {name: \"n\", nested: {list: [1, -2, 4294967296, 0.5, null, true], f: function (q) { return q; }}};\n"
        "var pattern = /a(?:b|c)+(?<tail>d\\d{2,})(?=x)|y[^0-9]*?/gi, plain = [/(e)(?!f)/m];\n"
        "/bare/;\n"
        "var made = new Hash(1, 2), arr = Array(1, 2, 3), i2 = Integer('7'), f2 = Float(1);\n"
        "function main() { console.log(add(1), loops([1, 2, 3]), choose(1), data.nested.f(!0), ~5 << 2 >>> 1); }\n";
    text += "var long_text = \"" + std::string(6000, 'x') + "\";\n";
    text += "var long_list = [";
    for (int i = 0; i < 1500; ++i) text += std::to_string(i) + ",";
    text += "];\nfunction many() {\n";
    for (int i = 0; i < 300; ++i) text += "    total = total + " + std::to_string(i) + ";\n";
    text += "}\n";
    return text;
}

// A module loaded first: it interns some of the same names in another
// order and fills cells and blocks, so the image is relocated and its
// names translated.
const char* const FIRST_MODULE =
    "var other = 'first', loops = 1;\n"
    "function main() { return choose(other) + add(2); }\n"
    "var filler = [\"some text to take permanent words\", {k: [1, 2, 3]}];\n";

// A module of a run: its name, and its source text or its image.
struct Loaded {
    const char* name;
    const std::string* text;
    const std::vector<uint8_t>* image;
};

class ImageLoad : public ::testing::TestWithParam<bool> {
protected:
    void TearDown() override {
        free_lists();
        fresh_run();
    }

    // Loads the modules in order into a fresh run, each parsed or loaded
    // from its image; returns the program of each. The run stays as it is.
    std::vector<std::string> load_in_order(const std::vector<Loaded>& modules) {
        free_lists();
        fresh_run();
        for (const Loaded& m : modules) module_add(m.name, std::strlen(m.name));
        lists_.resize(modules.size());
        std::vector<std::string> programs;
        for (uint32_t i = 0; i < modules.size(); ++i) {
            if (modules[i].text != nullptr) {
                parse_source(*modules[i].text, i, &lists_[i]);
            } else {
                load_image(*modules[i].image, i, &lists_[i]);
            }
            programs.push_back(program(lists_[i]));
        }
        return programs;
    }

    void free_lists() {
        for (StatementList& list : lists_) free_list(&list);
        lists_.clear();
    }

    const std::string text_ = module_with_every_layout();
    const std::string first_text_ = FIRST_MODULE;
    std::vector<StatementList> lists_;
};

TEST_P(ImageLoad, FreshRunGetsTheSourceProgram) {
    const std::vector<uint8_t> image = compile_text(text_, GetParam());
    EXPECT_EQ(load_in_order({{"m.jo", nullptr, &image}}), load_in_order({{"m.jo", &text_, nullptr}}));
}

TEST_P(ImageLoad, AfterSourceModulesItIsRelocatedAndTranslated) {
    const std::vector<uint8_t> image = compile_text(text_, GetParam());
    const std::vector<std::string> from_source =
        load_in_order({{"first.js", &first_text_, nullptr}, {"m.jo", &text_, nullptr}});
    const std::vector<std::string> from_image =
        load_in_order({{"first.js", &first_text_, nullptr}, {"m.jo", nullptr, &image}});
    EXPECT_EQ(from_image, from_source);

    // The image sits on pages and blocks after the first module's, its
    // nodes carry its module number, and its names are the run's.
    ASSERT_GT(lists_[0].count, 0u);
    ASSERT_GT(lists_[1].count, 0u);
    const Value last_of_first = lists_[0].items[lists_[0].count - 1];
    EXPECT_GT((lists_[1].items[0] >> 8) & 0xFFF, (last_of_first >> 8) & 0xFFF);
    EXPECT_EQ(cell_as<NodeCell>(lists_[1].items[0])->module & 0x7F, 1);
    EXPECT_LT(find_name("choose", 6), find_name("label", 5)) << "choose was interned by the first module";
}

TEST_P(ImageLoad, AfterAnotherImageBothKeepTheirPrograms) {
    const std::vector<uint8_t> first_image = compile_text(first_text_, !GetParam());
    const std::vector<uint8_t> image = compile_text(text_, GetParam());
    EXPECT_EQ(load_in_order({{"first.jo", nullptr, &first_image}, {"m.jo", nullptr, &image}}),
              load_in_order({{"first.jo", &first_text_, nullptr}, {"m.jo", &text_, nullptr}}));
}

INSTANTIATE_TEST_SUITE_P(PlainAndCompressed, ImageLoad, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "compressed" : "plain"; });

// A connection value listed as a statement, a node whose operand points
// past the image's cells, and an item owned by two cells.
TEST(ImageWriter, RefusesWhatNoImageCanHold) {
    const struct {
        const char* what;
        std::function<void(StatementList*)> damage;
        const char* message;
    } cases[] = {
        {"none", [](StatementList*) {}, nullptr},
        {"connection", [](StatementList* list) { statement_list_append(list, make_value(TAG_CONNECTION, 0)); },
         "tag 3"},
        {"dangling cell",
         [](StatementList* list) {
             const Value operands[1] = {make_value(TAG_INTEGER, 200 << 8)};
             statement_list_append(list, make_node(NODE_THROW, 1, operands, 1));
         },
         "outside the image's cells"},
        {"shared item",
         [](StatementList* list) {
             const Value literal = node_operand(node_operand(list->items[0], 0), 1);  // var a = [1, 2]
             Cell* twin = nullptr;
             new_cell(TAG_ARRAY, 1, &twin);
             std::memcpy(twin, cell_pointer(literal), CELL_SIZE);
         },
         "two items"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fresh_run();
        module_add("m.js", 4);
        StatementList list{};
        parse_source("var a = [1, 2];\n", 0, &list);
        c.damage(&list);
        std::vector<uint8_t> body;
        std::string error;
        EXPECT_EQ(write_image_body(list, &body, &error), c.message == nullptr) << error;
        if (c.message != nullptr) {
            EXPECT_NE(error.find(c.message), std::string::npos) << error;
        }
        free_list(&list);
    }
}

}  // namespace
}  // namespace kova

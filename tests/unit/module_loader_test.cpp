// Module loading: file paths and errors, and compiled images (plain and
// zero-suppressed, into a fresh or an occupied run, truncated or damaged).
#include "parser/module_loader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "host/config.h"
#include "host/host.h"
#include "host/journal.h"
#include "parser/compiled_module.h"
#include "parser/declarations.h"
#include "parser/module_table.h"
#include "parser/nodes.h"
#include "parser/parser.h"
#include "runtime_fixture.h"

namespace kova {
namespace {

std::string error_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const ScriptUnwind&) {
        return std::string(g_errors.text, g_errors.text_length);
    }
    return "";
}

void free_list(StatementList* list) {
    if (list->heap_owned) std::free(list->items);
    *list = StatementList{};
}

// ---- building images ------------------------------------------------------

struct Bytes {
    std::vector<uint8_t> data;
    void word(uint32_t w) {
        for (int i = 0; i < 4; ++i) data.push_back(uint8_t(w >> (8 * i)));
    }
    void bytes(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        data.insert(data.end(), b, b + n);
    }
    void cell(uint8_t header, uint8_t b1, uint8_t b2, uint8_t b3, uint32_t w1, uint32_t w2, uint32_t w3) {
        data.push_back(header);
        data.push_back(b1);
        data.push_back(b2);
        data.push_back(b3);
        word(w1);
        word(w2);
        word(w3);
    }
};

// The name section of a table holding `names` in order.
void name_section(Bytes* out, const std::vector<std::string>& names) {
    std::string pool;
    std::vector<std::pair<int32_t, uint32_t>> pairs;
    out->word(SECTION_NAMES);
    out->word(uint32_t(names.size()));
    for (uint32_t i = 0; i < names.size(); ++i) {
        const std::string& n = names[i];
        const uint32_t key = name_key(n.data(), n.size());
        const uint8_t head[4] = {0, uint8_t(n.size()), 0, 0};
        out->bytes(head, 4);
        out->word(key);
        out->word(uint32_t(pool.size()));
        pool += n;
        pool.push_back('\0');
        pool.push_back('\0');
        pairs.emplace_back(int32_t(key), i);
    }
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& p : pairs) {
        out->word(uint32_t(p.first));
        out->word(p.second);
    }
    out->word(uint32_t(pool.size()));
    out->bytes(pool.data(), pool.size());
}

std::vector<std::string> image_names() {
    std::vector<std::string> names(PREDEFINED_NAMES, PREDEFINED_NAMES + PREDEFINED_NAME_COUNT);
    names.push_back("foo");  // image index 53
    names.push_back("bar");  // image index 54
    return names;
}

constexpr uint32_t IMAGE_FOO = 53;
constexpr uint32_t IMAGE_BAR = 54;

// One page of three cells and one block of three words:
//   cell 0: node "+" (foo, cell 1), no-stop mark set, module byte 9
//   cell 1: integer 42
//   cell 2: node "return"-like kind 158 with 3 operands in block 0:
//           (cell 1, bar, true)
// and the statements cell 0 and cell 2.
std::vector<uint8_t> sample_body(bool with_names = true) {
    Bytes b;
    b.word(SECTION_CELLS);
    b.word(0 << 16 | 3);
    b.cell(make_header(TAG_NODE, 1), 0x80 | 9, 2, 118, IMAGE_FOO, make_value(TAG_INTEGER, 1), 0x00020001);
    b.cell(make_header(TAG_INTEGER, 1), 0, 0, 0, 42, 0, 0);
    b.cell(make_header(TAG_NODE, 1), 9, 3, 158, 0 /* block 0, word 0 */, 0, 0x00030001);
    b.word(SECTION_BLOCKS);
    b.word(0 << 16 | 3);
    b.word(make_value(TAG_INTEGER, 1));
    b.word(IMAGE_BAR);
    b.word(NAME_TRUE);
    b.word(3);  // used words of block 0
    if (with_names) name_section(&b, image_names());
    b.word(SECTION_CELL_NAMES);
    b.word(1);
    b.word(0 << 16 | 1);  // cell 0, operand 1
    b.word(SECTION_CELL_CELLS);
    b.word(1);
    b.word(0 << 16 | 2);  // cell 0, operand 2
    b.word(SECTION_CELL_BLOCKS);
    b.word(1);
    b.word(0 << 16 | 9);  // cell 2, operand 1 (the operand item)
    b.word(SECTION_BLOCK_NAMES);
    b.word(1);
    b.word(0 << 10 | 1);
    b.word(SECTION_BLOCK_CELLS);
    b.word(1);
    b.word(0 << 10 | 0);
    b.word(SECTION_STATEMENTS);
    b.word(2);
    b.word(make_value(TAG_NODE, 0));
    b.word(make_value(TAG_NODE, 2));
    b.word(SECTION_END);
    return b.data;
}

std::vector<uint8_t> plain_image(const std::vector<uint8_t>& body) {
    Bytes b;
    b.word(uint32_t(body.size()));
    b.word(uint32_t(body.size()));
    b.bytes(body.data(), body.size());
    return b.data;
}

// A zero-suppressing encoder using every kind of code: runs of zeros (R n,
// or Z1-Z3), the node tag byte followed by three zeros as a dictionary entry
// with a fixed count, and the byte 0x01 after or before zeros as one with a
// count in the stream. Code bytes met as data are escaped.
std::vector<uint8_t> compressed_image(const std::vector<uint8_t>& body) {
    const uint8_t R = 0xF1, Z1 = 0xF2, Z2 = 0xF3, Z3 = 0xF4, FIXED = 0xF5, COUNTED = 0xF6;
    Bytes b;
    b.word(uint32_t(body.size()));
    b.word(0);  // stored length, patched below
    const uint8_t head[] = {R, Z1, Z2, Z3, 1, 2, FIXED, COUNTED, 0x0D, 0x01, 3};
    b.bytes(head, sizeof head);
    size_t i = 0;
    auto zeros_from = [&](size_t at) {
        size_t n = 0;
        while (at + n < body.size() && body[at + n] == 0 && n < 255) ++n;
        return n;
    };
    while (i < body.size()) {
        const uint8_t c = body[i];
        if (c == 0 && zeros_from(i) >= 2 && zeros_from(i) <= 250 && i + zeros_from(i) < body.size() &&
            body[i + zeros_from(i)] == 0x01) {
            const size_t n = zeros_from(i);
            b.data.insert(b.data.end(), {COUNTED, uint8_t(n + 3)});  // n zeros, then v
            i += n + 1;
        } else if (c == 0) {
            const size_t n = zeros_from(i);
            const uint8_t one_zero = (i % 2 == 0) ? 0 : Z1;  // both spellings of one zero
            if (n >= 4) b.data.insert(b.data.end(), {R, uint8_t(n)});
            else b.data.push_back(n == 3 ? Z3 : n == 2 ? Z2 : one_zero);
            i += n;
        } else if (c == 0x0D && zeros_from(i + 1) == 3) {
            b.data.push_back(FIXED);
            i += 4;
        } else if (c == 0x01 && zeros_from(i + 1) >= 1) {
            const size_t n = std::min<size_t>(zeros_from(i + 1), 4);
            b.data.insert(b.data.end(), {COUNTED, uint8_t(n)});  // v, then n zeros
            i += 1 + n;
        } else if (c == R) {
            b.data.insert(b.data.end(), {R, 0});
            ++i;
        } else if (c == Z1 || c == Z2 || c == Z3) {
            b.data.insert(b.data.end(), {c, c});
            ++i;
        } else if (c == COUNTED) {
            b.data.insert(b.data.end(), {COUNTED, 254});
            ++i;
        } else {
            EXPECT_NE(c, FIXED) << "the fixed-count code has no escape";
            b.data.push_back(c);
            ++i;
        }
    }
    const uint32_t stored = uint32_t(b.data.size() - 8);
    std::memcpy(b.data.data() + 4, &stored, 4);
    return b.data;
}

class ModuleLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_runtime();
        stop_table_init();
        config_reset();
        host_reset();
        compiled_module_reset();
        module_loader_reset();
        declarations_reset();
        free_list(&list_);
        char pattern[] = "/tmp/kova_modules_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        free_list(&list_);
        for (const std::string& f : files_) std::remove(f.c_str());
        ::rmdir(dir_.c_str());
        modules_reset();
        compiled_module_reset();
        module_loader_reset();
    }

    void write_file(const std::string& name, const void* data, size_t size) {
        const std::string path = dir_ + "/" + name;
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(data, 1, size, f);
        std::fclose(f);
        files_.push_back(path);
    }

    // Loads an image as module `number`.
    std::string load_image(const std::vector<uint8_t>& image, uint32_t number = 3) {
        g_parser.module = number;
        return error_of([&] { load_compiled_module(image.data(), image.size(), &list_, "m.jo"); });
    }

    // The checks every correct load of the sample image passes.
    void expect_sample_loaded(uint32_t module) {
        ASSERT_EQ(list_.count, 2u);
        const Value add = list_.items[0];
        const Value ret = list_.items[1];
        ASSERT_EQ(value_tag(add), TAG_NODE);
        ASSERT_EQ(value_tag(ret), TAG_NODE);
        EXPECT_EQ(node_kind(add), 118u);
        EXPECT_EQ(cell_as<NodeCell>(add)->module, 0x80 | module);
        EXPECT_EQ(cell_as<NodeCell>(ret)->module, module);
        EXPECT_EQ(std::string(name_text(node_operand(add, 0))), "foo");
        const Value integer = node_operand(add, 1);
        ASSERT_EQ(value_tag(integer), TAG_INTEGER);
        EXPECT_EQ(cell_as<IntegerCell>(integer)->value, 42);
        ASSERT_EQ(node_count(ret), 3u);
        EXPECT_EQ(node_operand(ret, 0), integer);
        EXPECT_EQ(std::string(name_text(node_operand(ret, 1))), "bar");
        EXPECT_EQ(node_operand(ret, 2), Value(NAME_TRUE));
        EXPECT_EQ(find_name("foo", 3), int32_t(node_operand(add, 0)));
    }

    StatementList list_{};
    std::string dir_;
    std::vector<std::string> files_;
};

// ---- paths and files ----------------------------------------------------------

TEST_F(ModuleLoaderTest, PathJoinsTheModuleDirectory) {
    const struct {
        const char* dir;
        bool console;
        const char* name;
        const char* expected;
    } cases[] = {
        {"", false, "a.js", "a.js"},
        {"/srv/js", false, "lib/a.js", "/srv/js/lib/a.js"},
        {"/srv/js/", false, "a.js", "/srv/js/a.js"},
        {"/srv/js", false, "lib\\sub\\a.js", "/srv/js/lib/sub/a.js"},
        {"/srv/js", true, "/abs/a.js", "/abs/a.js"},
        {"/srv/js", false, "/abs/a.js", "/srv/js//abs/a.js"},  // absolute only in console mode
        {"", true, "rel.js", "rel.js"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_config.module_dir = c.dir;
        g_host.console_mode = c.console;
        char path[MODULE_PATH_LIMIT];
        EXPECT_TRUE(module_path(c.name, path));
        EXPECT_STREQ(path, c.expected);
    }
}

TEST_F(ModuleLoaderTest, OverlongPathIsCutAndRefused) {
    g_config.module_dir = "/srv";
    const std::string name(600, 'n');
    char path[MODULE_PATH_LIMIT];
    EXPECT_FALSE(module_path(name.c_str(), path));
    EXPECT_EQ(std::strlen(path), MODULE_PATH_LIMIT - 1);

    const uint32_t number = module_add(name.c_str(), name.size());
    const std::string error = error_of([&] { load_module(number, &list_); });
    const std::string expected = "PARSE ERROR 1165 (" + name + ":1) : ファイルオープン不正 '/srv/" +
                                 std::string(MODULE_PATH_LIMIT - 1 - 5, 'n') + "'";
    EXPECT_EQ(error, expected);
}

TEST_F(ModuleLoaderTest, MissingFileOrDirectoryRaises1165WithThePath) {
    g_config.module_dir = dir_;
    const uint32_t missing = module_add("sub/none.js", 11);
    EXPECT_EQ(error_of([&] { load_module(missing, &list_); }),
              "PARSE ERROR 1165 (sub/none.js:1) : ファイルオープン不正 '" + dir_ + "/sub/none.js'");
    const uint32_t directory = module_add(".", 1);
    EXPECT_NE(error_of([&] { load_module(directory, &list_); }).find("PARSE ERROR 1165"), std::string::npos);
}

TEST_F(ModuleLoaderTest, CompiledModuleFileLoadsByItsExtension) {
    const std::vector<uint8_t> image = plain_image(sample_body());
    write_file("lib.jo", image.data(), image.size());
    g_config.module_dir = dir_;
    module_add("first.js", 8);
    const uint32_t number = module_add("lib.jo", 6);
    ASSERT_EQ(error_of([&] { load_module(number, &list_); }), "");
    expect_sample_loaded(number);

    // Upper case counts too; a later load lands on pages of its own.
    write_file("LIB2.JO", image.data(), image.size());
    const uint32_t second = module_add("LIB2.JO", 7);
    const Value first_add = list_.items[0];
    ASSERT_EQ(error_of([&] { load_module(second, &list_); }), "");
    ASSERT_EQ(list_.count, 4u);
    EXPECT_EQ((list_.items[2] >> 8 & 0xFFF), (first_add >> 8 & 0xFFF) + 1);
    EXPECT_EQ(cell_as<NodeCell>(list_.items[2])->module, 0x80 | second);
}

TEST_F(ModuleLoaderTest, SourceModuleIsParsedAfterItsCommentsWithTruePositions) {
    const std::string text =
        "/* a comment\n"
        "   of two lines */ var x = 1; // trailing\n"
        "\tlet y = 'a /* kept */';\n"
        "const z = x + y";  // no final line feed
    write_file("src.js", text.data(), text.size());
    g_config.module_dir = dir_;
    const uint32_t number = module_add("src.js", 6);
    ASSERT_EQ(error_of([&] { load_module(number, &list_); }), "");
    ASSERT_EQ(list_.count, 3u);
    const uint32_t expected_kinds[] = {141, 142, 143};
    // line | column << 16: the first byte of a line is column 1.
    const uint32_t expected_positions[] = {2 | 20u << 16, 3 | 2u << 16, 4 | 1u << 16};
    for (uint32_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const Value statement = list_.items[i];
        ASSERT_EQ(value_tag(statement), TAG_NODE);
        EXPECT_EQ(node_kind(statement), expected_kinds[i]);
        EXPECT_EQ(cell_as<NodeCell>(statement)->position, expected_positions[i]);
        EXPECT_EQ(cell_as<NodeCell>(statement)->module, number);  // module code may stop
        EXPECT_EQ(*value_header(statement) >> 4, 1);               // retained by the list
    }
    EXPECT_EQ(g_parser.line, 4u);
}

TEST_F(ModuleLoaderTest, SourceErrorsNameTheModuleAndLine) {
    g_config.module_dir = dir_;
    const struct {
        const char* file;
        const char* text;
        const char* prefix;
    } cases[] = {
        {"open.js", "var a = 1;\n/* never closed\n", "PARSE ERROR 1580 (open.js:1) : コメント不正"},
        {"name.js", "var a;\n\nvar b = 1;\nvar ", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        write_file(c.file, c.text, std::strlen(c.text));
        const uint32_t number = module_add(c.file, std::strlen(c.file));
        const std::string error = error_of([&] { load_module(number, &list_); });
        if (c.prefix != nullptr) {
            EXPECT_EQ(error, c.prefix);
        } else {
            EXPECT_EQ(error.rfind("PARSE ERROR ", 0), 0u) << error;
            EXPECT_NE(error.find("(name.js:4)"), std::string::npos) << error;
        }
    }
    // Identifiers longer than 200 bytes stop the module too.
    const std::string long_name = "var " + std::string(201, 'q') + " = 1;";
    write_file("long.js", long_name.data(), long_name.size());
    const uint32_t number = module_add("long.js", 7);
    EXPECT_EQ(error_of([&] { load_module(number, &list_); }),
              "PARSE ERROR 1005 (long.js:1) : 関数・変数名の長さ不正");
}

TEST_F(ModuleLoaderTest, EmptySourceFileGivesNoStatements) {
    write_file("empty.js", "", 0);
    g_config.module_dir = dir_;
    const uint32_t number = module_add("empty.js", 8);
    ASSERT_EQ(error_of([&] { load_module(number, &list_); }), "");
    EXPECT_EQ(list_.count, 0u);
}

// ---- compiled images -----------------------------------------------------------

TEST_F(ModuleLoaderTest, FreshRunTakesOverTheImageNameTable) {
    ASSERT_EQ(load_image(plain_image(sample_body()), 3), "");
    expect_sample_loaded(3);
    EXPECT_EQ(g_names.count, 55u);
    EXPECT_EQ(node_operand(list_.items[0], 0), IMAGE_FOO);  // no translation
    EXPECT_EQ(list_.items[0], make_value(TAG_NODE, 0));     // no page offset
    // The table still interns and finds as before.
    EXPECT_EQ(intern("bar", 3), IMAGE_BAR);
    EXPECT_EQ(intern("baz", 3), 55u);
    EXPECT_EQ(intern("length", 6), uint32_t(NAME_LENGTH));
}

TEST_F(ModuleLoaderTest, OccupiedRunRelocatesAndTranslates) {
    // Storage and names in use before the image comes.
    for (int i = 0; i < 300; ++i) new_integer(i);  // two pages
    uint8_t* item = nullptr;
    area_alloc(5000, &item);                        // two blocks
    const uint32_t zzz = intern("zzz", 3);
    const uint32_t bar = intern("bar", 3);
    const int32_t pages_before = g_areas.current_page + 1;
    const int32_t blocks_before = g_areas.highest_block + 1;

    ASSERT_EQ(load_image(plain_image(sample_body()), 4), "");
    expect_sample_loaded(4);
    EXPECT_EQ(intern("zzz", 3), zzz);
    EXPECT_EQ(node_operand(list_.items[1], 1), bar);  // the existing index, not the image's
    EXPECT_EQ(int32_t(list_.items[0] >> 8 & 0xFFF), pages_before);
    EXPECT_EQ(int32_t(cell_as<NodeCell>(list_.items[1])->first >> 10), blocks_before);
    EXPECT_EQ(g_areas.block_used[blocks_before], 3u);

    // Later allocations never share the image's page or block.
    const Value later = new_integer(1);
    EXPECT_EQ(int32_t(later >> 8 & 0xFFF), pages_before + 1);
    const uint32_t reference = area_alloc(8, &item);
    EXPECT_EQ(int32_t(reference >> 10), blocks_before + 1);
}

TEST_F(ModuleLoaderTest, GlobalNamesFillAnEmptyTableOrAddTheMissingOnes) {
    std::vector<uint8_t> body = sample_body();
    Bytes globals;
    globals.word(SECTION_GLOBALS);
    globals.word(2);
    globals.word(IMAGE_FOO);
    globals.word(IMAGE_BAR);
    body.insert(body.end() - 4, globals.data.begin(), globals.data.end());

    ASSERT_EQ(load_image(plain_image(body)), "");
    ASSERT_EQ(g_globals.count, 2u);
    EXPECT_EQ(g_globals.slots[0].name, IMAGE_FOO);
    EXPECT_EQ(g_globals.slots[1].name, IMAGE_BAR);
    EXPECT_EQ(g_globals.slots[1].value, Value(NAME_UNDEFINED));

    // With globals already declared, and names to translate.
    SetUp();
    const uint32_t bar = intern("bar", 3);
    const uint32_t other = intern("other", 5);
    global_add(other, NAME_TRUE);
    global_add(bar, NAME_FALSE);
    ASSERT_EQ(load_image(plain_image(body)), "");
    ASSERT_EQ(g_globals.count, 3u);
    EXPECT_EQ(g_globals.slots[1].value, Value(NAME_FALSE));  // kept as it was
    EXPECT_EQ(std::string(name_text(g_globals.slots[2].name)), "foo");
}

TEST_F(ModuleLoaderTest, CompressedImageLoadsLikeThePlainOne) {
    const std::vector<uint8_t> body = sample_body();
    const std::vector<uint8_t> image = compressed_image(body);
    ASSERT_LT(image.size(), body.size() + 8);
    for (uint8_t code : {0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6}) {  // the encoder used every code
        EXPECT_NE(std::find(image.begin() + 19, image.end(), code), image.end()) << int(code);
    }
    std::vector<uint8_t> expanded(body.size() + EXPANSION_SLACK);
    const int64_t n = expand_body(image.data() + 8, image.size() - 8, expanded.data(), expanded.size());
    ASSERT_EQ(n, int64_t(body.size()));
    expanded.resize(body.size());
    ASSERT_EQ(expanded, body);
    ASSERT_EQ(load_image(image, 6), "");
    expect_sample_loaded(6);
}

TEST_F(ModuleLoaderTest, ExpansionFollowsEveryCode) {
    const uint8_t stored[] = {
        0xF1, 0xF2, 0xF3, 0xF4, 1, 2,   // R, Z1-Z3, one fixed count, two entries
        0xF5, 0xF6, 0x0D, 0x02, 3,       // codes, values, the fixed count
        0x00,                            // one zero
        0xF2, 0xF3, 0xF4,                // one, two, three zeros
        0xF2, 0xF2,                      // the byte Z1 itself
        0xF1, 5, 0xF1, 0,                // five zeros; the byte R
        0xF5,                            // 0D and its three zeros
        0xF6, 2, 0xF6, 8, 0xF6, 254,     // 02 + 2 zeros; 5 zeros + 02; the byte F6
        0x41,
    };
    const std::vector<uint8_t> expected = {
        0, 0, 0, 0, 0, 0, 0, 0xF2, 0, 0, 0, 0, 0, 0xF1, 0x0D, 0, 0, 0,
        0x02, 0, 0, 0, 0, 0, 0, 0, 0x02, 0xF6, 0x41,
    };
    std::vector<uint8_t> out(64, 0xAA);
    const int64_t n = expand_body(stored, sizeof stored, out.data(), out.size());
    ASSERT_EQ(n, int64_t(expected.size()));
    out.resize(size_t(n));
    EXPECT_EQ(out, expected);

    // Malformed streams and a full buffer are refused, not overrun.
    EXPECT_EQ(expand_body(stored, sizeof stored, out.data(), expected.size() - 1), -1);
    const uint8_t run_at_end[] = {0xF1, 0xF2, 0xF3, 0xF4, 0, 0, 0xF1};
    EXPECT_EQ(expand_body(run_at_end, sizeof run_at_end, out.data(), 64), -1);
    const uint8_t count_at_end[] = {0xF1, 0xF2, 0xF3, 0xF4, 0, 1, 0xF6, 0x02, 0xF6};
    EXPECT_EQ(expand_body(count_at_end, sizeof count_at_end, out.data(), 64), -1);
    const uint8_t short_header[] = {0xF1, 0xF2, 0xF3, 0xF4, 2, 3, 0xF6};
    EXPECT_EQ(expand_body(short_header, sizeof short_header, out.data(), 64), -1);
}

TEST_F(ModuleLoaderTest, TruncatedImagesEndInError1165) {
    const std::vector<uint8_t> full = plain_image(sample_body());
    for (bool keep_header : {false, true}) {
        for (size_t cut = 0; cut < full.size() - 4; ++cut) {  // every cut before the end mark
            SetUp();
            std::vector<uint8_t> image(full.begin(), full.begin() + long(cut));
            if (keep_header && cut >= 8) {
                // Lengths that agree with the cut: the sections themselves end short.
                const uint32_t body = uint32_t(cut - 8);
                std::memcpy(image.data(), &body, 4);
                std::memcpy(image.data() + 4, &body, 4);
            }
            const std::string error = load_image(image);
            if (error.empty()) {
                // Only a cut between two sections can load without complaint.
                EXPECT_TRUE(keep_header) << cut;
                continue;
            }
            EXPECT_EQ(error, "PARSE ERROR 1165 (:1) : ファイルオープン不正 'm.jo'") << cut;
        }
    }
}

TEST_F(ModuleLoaderTest, TruncatedCompressedStreamsEndInError1165) {
    const std::vector<uint8_t> full = compressed_image(sample_body());
    for (size_t cut = 8; cut < full.size(); ++cut) {
        SetUp();
        std::vector<uint8_t> image(full.begin(), full.begin() + long(cut));
        const uint32_t stored = uint32_t(cut - 8);
        std::memcpy(image.data() + 4, &stored, 4);
        EXPECT_NE(load_image(image).find("PARSE ERROR 1165"), std::string::npos) << cut;
    }
}

TEST_F(ModuleLoaderTest, DamagedImagesAreRefused) {
    auto with = [](const std::vector<uint32_t>& words) {
        Bytes b;
        for (uint32_t w : words) b.word(w);
        return plain_image(b.data);
    };
    const struct {
        const char* what;
        std::vector<uint8_t> image;
    } cases[] = {
        {"unknown section", with({0x01000C00, 0})},
        {"relocation before any cells", with({SECTION_CELL_CELLS, 1, 0})},
        {"statement outside the image", with({SECTION_STATEMENTS, 1, make_value(TAG_NODE, 0)})},
        {"area value as statement", with({SECTION_STATEMENTS, 1, make_value(TAG_ERROR, 0)})},
        {"name beyond the table", with({SECTION_STATEMENTS, 1, 5000})},
        {"more cells than a page in the last page", with({SECTION_CELLS, 257})},
        {"block used count above 1024", with({SECTION_BLOCKS, 1, 7, 1025})},
        {"huge count", with({SECTION_STATEMENTS, 0x40000000})},
        {"expansion too large for its stream", [] {
             Bytes b;
             b.word(0x7FFFFFFF);
             b.word(7);
             const uint8_t s[] = {0xF1, 0xF2, 0xF3, 0xF4, 0, 0, 0};
             b.bytes(s, sizeof s);
             return b.data;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        EXPECT_EQ(load_image(c.image), "PARSE ERROR 1165 (:1) : ファイルオープン不正 'm.jo'");
    }

    // A name whose text runs past the pool.
    Bytes b;
    b.word(SECTION_NAMES);
    b.word(1);
    const uint8_t head[4] = {0, 10, 0, 0};
    b.bytes(head, 4);
    b.word(name_key("abcdefghij", 10));
    b.word(0);
    b.word(name_key("abcdefghij", 10));
    b.word(0);
    b.word(4);
    b.bytes("abc", 4);
    SetUp();
    EXPECT_NE(load_image(plain_image(b.data)).find("PARSE ERROR 1165"), std::string::npos);

    // A relocation position beyond the image's page.
    std::vector<uint8_t> body = sample_body();
    Bytes tail;
    tail.word(SECTION_CELL_NAMES);
    tail.word(1);
    tail.word(1 << 16 | 1);
    body.insert(body.end() - 4, tail.data.begin(), tail.data.end());
    SetUp();
    EXPECT_NE(load_image(plain_image(body)).find("PARSE ERROR 1165"), std::string::npos);
}

TEST_F(ModuleLoaderTest, AreaLimitsRaise1435) {
    Bytes pages;
    pages.word(SECTION_CELLS);
    pages.word(4095u << 16);
    EXPECT_EQ(load_image(plain_image(pages.data)), "EVAL ERROR 1435 (:0:0) : Buffer Overflow(Area DW16)");
    Bytes blocks;
    blocks.word(SECTION_BLOCKS);
    blocks.word(1023u << 16);
    SetUp();
    EXPECT_EQ(load_image(plain_image(blocks.data)), "EVAL ERROR 1435 (:0:0) : Buffer Overflow(Area Free)");
}

}  // namespace
}  // namespace kova

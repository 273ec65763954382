// Shared set-up of the statement and expression parser tests: a clean
// process state with one module named "t.js", source texts kept alive the
// way the module loader keeps them, and a compact rendering of node trees
// such as 119(a,118(b,c)).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "host/journal.h"
#include "parser/declarations.h"
#include "parser/expressions.h"
#include "parser/module_table.h"
#include "parser/nodes.h"
#include "parser/parser.h"
#include "parser/statements.h"

namespace kova::parser_test {

inline std::string show(Value v);

// An argument-list item: the count, then the values.
inline std::string show_arguments(uint32_t reference) {
    const uint8_t* item = area_pointer(reference);
    const uint32_t count = load_u32(item);
    std::string s = "[";
    for (uint32_t i = 0; i < count; ++i) {
        if (i != 0) s += ",";
        s += show(load_u32(item + 4 * (i + 1)));
    }
    return s + "]";
}

inline std::string show(Value v) {
    switch (value_tag(v)) {
        case TAG_NAME:
            return std::string(name_text(v), name_length(v));
        case TAG_INTEGER:
            return std::to_string(cell_as<IntegerCell>(v)->value);
        case TAG_FLOAT: {
            char text[64];
            std::snprintf(text, sizeof text, "%.17gf", cell_as<FloatCell>(v)->value);
            return text;
        }
        case TAG_STRING:
            return "\"" + std::string(string_text(v), string_length(v)) + "\"";
        case TAG_ARRAY: {
            const ArrayCell* array = cell_as<ArrayCell>(v);
            std::string s = "[";
            for (uint32_t i = 0; i < array->count; ++i) {
                if (i != 0) s += ",";
                s += show(load_u32(area_pointer(array->elements) + 4 * i));
            }
            return s + "]";
        }
        case TAG_OBJECT: {
            const ObjectCell* object = cell_as<ObjectCell>(v);
            std::string s = "{";
            for (uint32_t i = 0; i < object->count; ++i) {
                const uint8_t* pair = area_pointer(object->pairs) + 8 * i;
                if (i != 0) s += ",";
                s += show(load_u32(pair)) + ":" + show(load_u32(pair + 4));
            }
            return s + "}";
        }
        case TAG_FUNCTION: {
            const FunctionCell* function = cell_as<FunctionCell>(v);
            std::string s = "function(";
            for (uint32_t i = 0; i < uint32_t(function->parameter_count) + function->local_count; ++i) {
                if (i == function->parameter_count) s += ";";
                else if (i != 0) s += ",";
                s += show(load_u32(area_pointer(function->names) + 4 * i));
            }
            return s + ")" + show(function->body);
        }
        case TAG_NODE: {
            const uint32_t kind = node_kind(v);
            std::string s = std::to_string(kind) + "(";
            for (uint32_t i = 0; i < node_count(v); ++i) {
                if (i != 0) s += ",";
                const Value operand = node_operand(v, i);
                s += (kind == 160 || kind == 183) && i == 1 ? show_arguments(operand) : show(operand);
            }
            return s + ")";
        }
        default:
            return "?";
    }
}

class ParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        areas_reset();
        names_reset();
        errors_reset();
        journal_reset();
        values_reset();
        parser_reset();
        declarations_reset();
        expressions_reset();
        stop_table_init();
        modules_reset();
        module_add("t.js", 4);
        g_parser.module = 0;
    }

    // A writable copy of the text after a line feed, as the module loader
    // lays out a module; kept until the test ends.
    char* source(const std::string& text) {
        buffers_.emplace_back();
        std::vector<char>& buffer = buffers_.back();
        buffer.push_back('\n');
        buffer.insert(buffer.end(), text.begin(), text.end());
        buffer.push_back('\0');
        g_parser.line = 1;
        g_parser.last_line_feed = buffer.data();
        return buffer.data() + 1;
    }

    std::vector<Value> statements(const std::string& text) {
        // Frees the list also when the parse raises.
        struct OwnedList {
            StatementList list{};
            ~OwnedList() {
                if (list.heap_owned) std::free(list.items);
            }
        } owned;
        parse_statement_list(source(text), &owned.list, true, false);
        return std::vector<Value>(owned.list.items, owned.list.items + owned.list.count);
    }

    std::vector<Value> values(const std::string& text, uint32_t limit = 256) {
        std::vector<Value> out(limit);
        uint32_t count = 0;
        parse_expression_list(source(text), out.data(), limit, &count, false);
        out.resize(count);
        return out;
    }

    // The rendering of the text's only value.
    std::string shape(const std::string& text) {
        const std::vector<Value> found = values(text);
        if (found.size() != 1) return "(" + std::to_string(found.size()) + " values)";
        return show(found[0]);
    }

    // The error text a parse raises, or "" when it succeeds.
    template <typename Parse>
    std::string error_of(Parse&& parse) {
        try {
            parse();
        } catch (const ScriptUnwind&) {
            return std::string(g_errors.text, g_errors.text_length);
        }
        return "";
    }

    std::string statement_error(const std::string& text) {
        return error_of([&] { statements(text); });
    }

private:
    std::vector<std::vector<char>> buffers_;
};

}  // namespace kova::parser_test

// The per-module debugging lists and the entry texts that set them.
#include "debugger/lists.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/errors.h"
#include "debugger/debugger.h"
#include "debugger/evaluation.h"
#include "parser/lexer.h"
#include "parser/module_table.h"

namespace kova {

namespace {

// One entry reader over a text: "digits:" and "text;" then a separator.
struct EntryReader {
    const char* at;
    const char* end;

    // Decimal digits followed by ":"; false at the end or when malformed.
    bool line(uint32_t* out) {
        const char* p = at;
        uint64_t value = 0;
        while (p < end && *p >= '0' && *p <= '9') {
            value = value * 10 + uint64_t(*p - '0');
            if (value > UINT32_MAX) return false;
            ++p;
        }
        if (p == at || p >= end || *p != ':') return false;
        at = p + 1;
        *out = static_cast<uint32_t>(value);
        return true;
    }
    // Text up to ";", then the separator character after it.
    bool text(const char** start, size_t* length) {
        const char* semicolon = static_cast<const char*>(std::memchr(at, ';', size_t(end - at)));
        if (semicolon == nullptr) return false;
        *start = at;
        *length = size_t(semicolon - at);
        at = semicolon + 1;
        if (at < end) ++at;
        return true;
    }
};

void release_conditions(ModuleLists& lists) {
    for (DebugCondition& condition : lists.conditions) release_statements(condition.statements);
    lists.conditions.clear();
}

// A condition as statements; one that does not parse is reported and
// never fires (line 0).
DebugCondition parse_condition(uint32_t module, uint32_t line, const char* text, size_t length) {
    DebugCondition condition{line, StatementList{nullptr, 0, 0, false}};
    Value error = 0;
    if (!parse_front_end_text(text, length, module, line, &condition.statements, &error)) {
        release(error);
        release_statements(condition.statements);
        condition.line = 0;
        std::string copy(text, length);
        char report[EXCERPT_LIMIT + 64];
        std::snprintf(report, sizeof report, "評価する式が不正 '%s'", excerpt(copy.c_str(), 100));
        report_error_text(report);
    }
    return condition;
}

}  // namespace

void lists_reset() {
    for (ModuleLists& lists : g_debugger.lists) {
        for (DebugCondition& condition : lists.conditions) {
            if (condition.statements.heap_owned) std::free(condition.statements.items);
        }
        lists = ModuleLists{};
    }
    g_debugger.labels.clear();
}

void lists_clear(uint32_t module) {
    ModuleLists& lists = g_debugger.lists[module];
    lists.lines.clear();
    release_conditions(lists);
    lists.traces.clear();
}

int32_t module_by_path(const char* path, size_t length) {
    for (uint32_t m = 0; m < g_modules.count && m < DEBUG_MODULE_LIMIT; ++m) {
        const char* name = module_name(m);
        if (std::strlen(name) != length) continue;
        size_t i = 0;
        while (i < length && name[i] == (path[i] == '\\' ? '/' : path[i])) ++i;
        if (i == length) return static_cast<int32_t>(m);
    }
    return -1;
}

void set_breakpoint_lines(uint32_t module, const char* text, size_t length) {
    ModuleLists& lists = g_debugger.lists[module];
    lists.lines.clear();
    EntryReader reader{text, text + length};
    uint32_t line = 0;
    while (reader.line(&line)) lists.lines.push_back(line);
}

void set_conditions(uint32_t module, const char* text, size_t length) {
    ModuleLists& lists = g_debugger.lists[module];
    release_conditions(lists);
    EntryReader reader{text, text + length};
    uint32_t line = 0;
    const char* condition = nullptr;
    size_t condition_length = 0;
    while (reader.line(&line) && reader.text(&condition, &condition_length)) {
        lists.conditions.push_back(parse_condition(module, line, condition, condition_length));
    }
}

void set_trace_labels(uint32_t module, const char* text, size_t length) {
    ModuleLists& lists = g_debugger.lists[module];
    lists.traces.clear();
    EntryReader reader{text, text + length};
    uint32_t line = 0;
    const char* label = nullptr;
    size_t label_length = 0;
    while (reader.line(&line) && reader.text(&label, &label_length)) {
        // Labels stay for the whole run: a call in progress keeps the label
        // it began with even when the list is replaced.
        g_debugger.labels.emplace_back(label, label_length);
        lists.traces.push_back(DebugTraceLabel{line, uint32_t(g_debugger.labels.size() - 1)});
    }
}

bool is_breakpoint_line(uint32_t module, uint32_t line) {
    for (uint32_t l : g_debugger.lists[module].lines) {
        if (l == line) return true;
    }
    return false;
}

bool has_breakpoint_at(uint32_t module, uint32_t line) {
    if (is_breakpoint_line(module, line)) return true;
    for (const DebugCondition& condition : g_debugger.lists[module].conditions) {
        if (condition.line == line) return true;
    }
    return false;
}

int32_t trace_label_within(uint32_t module, uint32_t first_line, uint32_t last_line) {
    for (const DebugTraceLabel& trace : g_debugger.lists[module].traces) {
        if (trace.line >= first_line && trace.line <= last_line) return static_cast<int32_t>(trace.label);
    }
    return -1;
}

const std::string& label_text(int32_t label) { return g_debugger.labels[size_t(label)]; }

}  // namespace kova

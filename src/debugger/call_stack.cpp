// Call-stack entries, kept by the call hooks: a call's entry begins with
// the function's module and the name it was called by, and the caller's
// entry takes the call's position and the caller's scope registers. The
// stepping state follows the calls: stepping over a call clears stepping
// for its duration, and a step out stops after the call it names.
#include "debugger/call_stack.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/errors.h"
#include "core/names.h"
#include "core/value_text.h"
#include "debugger/debugger.h"
#include "debugger/lists.h"
#include "debugger/transport.h"
#include "eval/eval.h"
#include "parser/declarations.h"
#include "parser/module_table.h"

namespace kova {

namespace {

constexpr uint32_t ENTRY_STEP = 64;
constexpr char ANONYMOUS_TEXT[] = "(anonymous)";

void ensure_entry_room() {
    if (g_debugger.entry_count < g_debugger.entry_capacity) return;
    const uint32_t capacity = g_debugger.entry_capacity + ENTRY_STEP;
    auto* entries = static_cast<CallEntry*>(std::realloc(g_debugger.entries, capacity * sizeof(CallEntry)));
    if (entries == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
    g_debugger.entries = entries;
    g_debugger.entry_capacity = capacity;
}

const char* entry_name(const CallEntry& entry, size_t* length) {
    if (entry.name == ENTRY_TOP_LEVEL) {
        *length = 0;
        return "";
    }
    if (entry.name == ENTRY_ANONYMOUS) {
        *length = sizeof ANONYMOUS_TEXT - 1;
        return ANONYMOUS_TEXT;
    }
    *length = name_length(entry.name);
    return name_text(entry.name);
}

// A function reached by no name (a callback, a function from an array)
// goes by the first global that holds it.
uint32_t name_of_function(Value function) {
    for (uint32_t i = 0; i < g_globals.count; ++i) {
        if (g_globals.slots[i].value == function) return g_globals.slots[i].name & SLOT_NAME_MASK;
    }
    return ENTRY_ANONYMOUS;
}

// A value in a trace message: its text with strings quoted. A trace must
// never make the traced call fail, so a value without a text (a function
// passed as a callback) is named instead.
void append_trace_value(Value v, TextBuffer& text) {
    if (value_has_text(v)) {
        append_value_text(v, text, true);
    } else if (value_tag(v) == TAG_FUNCTION) {
        append_text_bytes(text, "(function)", 10);
    } else {
        append_text_bytes(text, "(no text)", 9);
    }
}

// "A" label "(" then " name=value" / ", name=value" per parameter, " )".
void send_call_trace(const CallEntry& entry) {
    LocalText<TEXT_SCRATCH_SIZE> text;
    const std::string& label = label_text(entry.label);
    append_text_bytes(text, "A", 1);
    append_text_bytes(text, label.data(), label.size());
    append_text_bytes(text, "(", 1);
    for (uint32_t i = 0; i < g_eval.parameter_count; ++i) {
        const Slot& slot = g_eval.locals[g_eval.frame_base + i];
        const uint32_t name = slot.name & SLOT_NAME_MASK;
        append_text_bytes(text, i == 0 ? " " : ", ", i == 0 ? 1 : 2);
        append_text_bytes(text, name_text(name), name_length(name));
        append_text_bytes(text, "=", 1);
        append_trace_value(slot.value, text);
    }
    append_text_bytes(text, " )", 2);
    send_or_raise(std::string(text.data, text.length));
}

void send_return_trace(const CallEntry& entry, Value result) {
    LocalText<TEXT_SCRATCH_SIZE> text;
    const std::string& label = label_text(entry.label);
    append_text_bytes(text, "R", 1);
    append_text_bytes(text, label.data(), label.size());
    append_text_bytes(text, "( ", 2);
    append_trace_value(result, text);
    append_text_bytes(text, " )", 2);
    send_or_raise(std::string(text.data, text.length));
}

}  // namespace

void call_stack_reset() {
    std::free(g_debugger.entries);
    g_debugger.entries = nullptr;
    g_debugger.entry_count = 0;
    g_debugger.entry_capacity = 0;
}

void call_stack_start() {
    g_debugger.entry_count = 0;
    ensure_entry_room();
    CallEntry& top = g_debugger.entries[0];
    top = CallEntry{};
    top.name = ENTRY_TOP_LEVEL;
    top.scope = save_scope();
    top.label = -1;
    g_debugger.entry_count = 1;
}

void debugger_top_call(uint32_t main_script_module) {
    if (g_debugger.entry_count > 0) g_debugger.entries[0].module = main_script_module;
}

void debugger_enter_call(Value function, const ScopeMark& caller) {
    ensure_entry_room();
    CallEntry& waiting = g_debugger.entries[g_debugger.entry_count - 1];
    if (value_tag(g_debugger.site_node) == TAG_NODE) {
        const NodeCell* site = cell_as<NodeCell>(g_debugger.site_node);
        waiting.module = site->module & 0x7F;
        waiting.line = static_cast<uint16_t>(site->position & 0xFFFF);
        waiting.column = static_cast<uint16_t>((site->position >> 16) & 0x7FFF);
    }
    waiting.scope = caller;

    const FunctionCell* cell = cell_as<FunctionCell>(function);
    CallEntry& entry = g_debugger.entries[g_debugger.entry_count++];
    entry = CallEntry{};
    entry.module = cell->module & 0x7F;
    // The name the call was made by is this call's alone: callbacks the
    // function's own callee makes go by their globals.
    entry.name = g_debugger.site_name != 0 ? g_debugger.site_name : name_of_function(function);
    g_debugger.site_name = 0;
    entry.scope = caller;
    entry.id = ++g_debugger.next_call_id;
    entry.caller_id = g_debugger.current_call;
    g_debugger.current_call = entry.id;
    entry.saved_stepping = g_debugger.stepping;
    if (g_debugger.stepping && !g_debugger.step_into) g_debugger.stepping = false;
    entry.label = entry.module < DEBUG_MODULE_LIMIT
                      ? trace_label_within(entry.module, cell->position & 0xFFFF, cell->position >> 16)
                      : -1;
}

void debugger_call_started() {
    const CallEntry& entry = g_debugger.entries[g_debugger.entry_count - 1];
    if (entry.label >= 0 && g_debugger.connection >= 0) send_call_trace(entry);
}

void debugger_leave_call(const Value* result) {
    if (g_debugger.entry_count <= 1) return;
    const CallEntry entry = g_debugger.entries[--g_debugger.entry_count];
    if (!g_debugger.run && !g_debugger.stepping) g_debugger.stepping = entry.saved_stepping;
    if (g_debugger.step_out && g_debugger.step_out_call == entry.id) {
        g_debugger.stepping = true;
        g_debugger.step_out = false;
    }
    g_debugger.current_call = entry.caller_id;
    if (result != nullptr && entry.label >= 0 && g_debugger.connection >= 0) send_return_trace(entry, *result);
}

int32_t find_entry(uint32_t module, const char* name, size_t length) {
    for (uint32_t i = g_debugger.entry_count; i-- > 0;) {
        const CallEntry& entry = g_debugger.entries[i];
        size_t entry_length = 0;
        const char* text = entry_name(entry, &entry_length);
        if (entry.module == module && entry_length == length && std::memcmp(text, name, length) == 0) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

std::string stack_message() {
    std::string message = "S";
    char numbers[32];
    for (uint32_t i = 1; i < g_debugger.entry_count; ++i) {
        const CallEntry& entry = g_debugger.entries[i];
        if (i > 1) message += ';';
        message += module_name(entry.module);
        message += ':';
        size_t length = 0;
        const char* name = entry_name(entry, &length);
        message.append(name, length);
        std::snprintf(numbers, sizeof numbers, ":%d:%d", int(entry.line), int(entry.column));
        message += numbers;
    }
    return message;
}

}  // namespace kova

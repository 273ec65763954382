// Module texts from the front end: "M" and the module's name; the answer
// is the text (or "&&&&": not available) and then the module's lists (or
// "&&&&": none). A text that begins with "o" is a compiled image in
// Base64; any other first character is followed by source text.
#include <cstring>
#include <string>

#include "debugger/debugger.h"
#include "debugger/lists.h"
#include "debugger/transport.h"
#include "host/request.h"
#include "parser/module_table.h"

namespace kova {

namespace {

constexpr char NOT_AVAILABLE[] = "&&&&";

bool not_available(const std::string& text) { return text.compare(0, 4, NOT_AVAILABLE) == 0; }

int base64_digit(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Base64 with the standard alphabet; "=" (or any byte outside the
// alphabet other than a line break or blank) ends it. An image cut short
// so is refused by the compiled-module loader.
std::string base64_decode(const char* text, size_t length) {
    std::string out;
    out.reserve(length / 4 * 3 + 3);
    uint32_t group = 0;
    int bits = 0;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
        const int digit = base64_digit(c);
        if (digit < 0) break;
        group = (group << 6) | uint32_t(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((group >> bits) & 0xFF));
        }
    }
    return out;
}

// The three parts of a lists text: a character, the trace labels, "###",
// a character, the breakpoint lines, "$$$", a character, the conditions.
struct ListParts {
    std::string traces, lines, conditions;
};

ListParts split_lists(const std::string& lists) {
    ListParts parts;
    const size_t traces_start = lists.empty() ? 0 : 1;
    size_t traces_end = lists.find("###", traces_start);
    if (traces_end == std::string::npos) traces_end = lists.size();
    parts.traces = lists.substr(traces_start, traces_end - traces_start);
    if (traces_end + 3 >= lists.size()) return parts;
    const size_t lines_start = traces_end + 4;
    size_t lines_end = lists.find("$$$", lines_start);
    if (lines_end == std::string::npos) lines_end = lists.size();
    parts.lines = lists.substr(lines_start, lines_end - lines_start);
    if (lines_end + 3 < lists.size()) parts.conditions = lists.substr(lines_end + 4);
    return parts;
}

}  // namespace

bool debugger_fetch_module(uint32_t module, FetchedModule& out) {
    if (g_debugger.connection < 0 || g_request.no_module_fetch) return false;
    std::string message = "M";
    message += module_name(module);
    // Every failure gives up the fetch (the connection is closed by then):
    // the module comes from its file and the run goes on.
    if (!transport_send(message)) return false;
    std::string text;
    if (!transport_receive(text, g_debugger.reply_wait) || not_available(text)) return false;
    std::string lists;
    if (!transport_receive(lists, g_debugger.reply_wait)) return false;
    out.has_lists = !not_available(lists);
    if (out.has_lists) out.lists = std::move(lists);
    out.compiled = !text.empty() && text[0] == 'o';
    if (out.compiled) {
        out.text = base64_decode(text.data() + 1, text.size() - 1);
    } else {
        out.text = text.empty() ? std::string() : text.substr(1);
    }
    return true;
}

void debugger_apply_lists(uint32_t module, const std::string& lists) {
    if (module >= DEBUG_MODULE_LIMIT) return;
    const ListParts parts = split_lists(lists);
    set_trace_labels(module, parts.traces.data(), parts.traces.size());
    set_breakpoint_lines(module, parts.lines.data(), parts.lines.size());
    set_conditions(module, parts.conditions.data(), parts.conditions.size());
}

}  // namespace kova

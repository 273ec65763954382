// Raising numbered errors: composing the text, recording it, building the
// error object and unwinding.
#include "core/errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/areas.h"
#include "core/names.h"
#include "front/items.h"
#include "host/config.h"
#include "host/host.h"
#include "host/journal.h"
#include "parser/module_table.h"
#include "parser/parser.h"
#include "platform/platform.h"

#if KOVA_DEBUGGER
#include "debugger/debugger.h"
#endif

namespace kova {

ErrorState g_errors;

namespace {

// Set while an error object is being built: a failure in there (out of
// memory) must not recurse into another raise.
bool g_building_error = false;

// Appends the formatted message after the prefix already in the buffer.
void append_message(const char* format, va_list arguments) {
    size_t room = ERROR_TEXT_SIZE - g_errors.text_length;
    int n = std::vsnprintf(g_errors.text + g_errors.text_length, room, format, arguments);
    if (n > 0) g_errors.text_length += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
}

void set_prefix(int n) {
    g_errors.text_length = n > 0 ? (static_cast<size_t>(n) < ERROR_TEXT_SIZE ? static_cast<size_t>(n)
                                                                              : ERROR_TEXT_SIZE - 1)
                                 : 0;
}

[[noreturn]] void finish_raise(int code, bool to_host) {
    Value error = 0;
    if (!g_building_error) {
        // Cleared however the build ends: a failure inside it unwinds too.
        struct BuildingMark {
            BuildingMark() { g_building_error = true; }
            ~BuildingMark() { g_building_error = false; }
        } mark;
        char code_text[24];
        const int code_length = std::snprintf(code_text, sizeof code_text, "%d", code);
        error = new_error_object(ERROR_CODE_NUMBER, code_text, static_cast<size_t>(code_length), g_errors.text,
                                 g_errors.text_length);
    }
    journal_append(g_errors.text, g_errors.text_length);
    journal_append("\n", 1);
#if KOVA_DEBUGGER
    report_error_text(g_errors.text);
#endif
    if (g_errors.running && !to_host) g_errors.caught = true;
    throw ScriptUnwind{error, to_host || !g_errors.running};
}

}  // namespace

void errors_reset() {
    g_errors.text[0] = '\0';
    g_errors.text_length = 0;
    g_errors.module = 0;
    g_errors.line = 0;
    g_errors.column = 0;
    g_errors.running = false;
    g_errors.caught = false;
    g_errors.fatal_handler = nullptr;
    g_building_error = false;
}

void raise_runtime_error(int code, const char* format, ...) {
    set_prefix(std::snprintf(g_errors.text, ERROR_TEXT_SIZE, "EVAL ERROR %d (%s:%d:%d) : ", code,
                             module_name(g_errors.module), g_errors.line, g_errors.column));
    va_list arguments;
    va_start(arguments, format);
    append_message(format, arguments);
    va_end(arguments);
    finish_raise(code, false);
}

void raise_parse_error(int code, const char* format, ...) {
    set_prefix(std::snprintf(g_errors.text, ERROR_TEXT_SIZE, "PARSE ERROR %d (%s:%d) : ", code,
                             module_name(g_parser.module), static_cast<int>(g_parser.line & 0xFFFF)));
    va_list arguments;
    va_start(arguments, format);
    append_message(format, arguments);
    va_end(arguments);
    // Text read at run time (a number conversion, say) is not the script's
    // fault to catch: parse errors always go to the host.
    finish_raise(code, true);
}

Value new_error_object(ErrorCodeKind kind, const char* code, size_t code_length, const char* message,
                       size_t message_length) {
    if (code_length > 19) code_length = 19;
    if (message_length > 0xFFFF) message_length = 0xFFFF;
    uint8_t* item = nullptr;
    const uint32_t reference = area_alloc(message_length + 36, &item);
    item[0] = make_header(TAG_ERROR, 0);
    item[ERROR_KIND_OFFSET] = kind;
    store_u16(item + ERROR_MESSAGE_LENGTH_OFFSET, static_cast<uint16_t>(message_length));
    store_u16(item + ERROR_CODE_LENGTH_OFFSET, static_cast<uint16_t>(code_length));
    std::memcpy(item + ERROR_CODE_OFFSET, code, code_length);
    item[ERROR_CODE_OFFSET + code_length] = '\0';
    uint8_t* text = item + error_message_offset(code_length);
    std::memcpy(text, message, message_length);
    text[message_length] = '\0';
    return make_value(TAG_ERROR, reference);
}

const char* error_code_text(Value error, size_t* length) {
    const uint8_t* item = area_pointer(value_payload(error));
    *length = load_u16(item + ERROR_CODE_LENGTH_OFFSET);
    return reinterpret_cast<const char*>(item + ERROR_CODE_OFFSET);
}

const char* error_message_text(Value error, size_t* length) {
    const uint8_t* item = area_pointer(value_payload(error));
    const size_t code_length = load_u16(item + ERROR_CODE_LENGTH_OFFSET);
    *length = load_u16(item + ERROR_MESSAGE_LENGTH_OFFSET);
    return reinterpret_cast<const char*>(item + error_message_offset(code_length));
}

void report_error_text(const char* text) {
#if KOVA_DEBUGGER
    if (g_host.console_mode) {
        platform::write_stdout(text, std::strlen(text));
        platform::write_stdout("\n", 1);
        platform::flush_stdout();
    } else if (debugger_connected()) {
        debugger_send_error(text, std::strlen(text));
    }
#else
    (void)text;
#endif
}

void fatal_error(const char* text) {
    if (g_errors.fatal_handler != nullptr) g_errors.fatal_handler(text);
    const size_t length = std::strlen(text);
    std::string record = "S148555";
    append_plain_item(record, text, length);
    platform::write_stdout(record.data(), record.size());
    platform::flush_stdout();
    if (!g_config.logfile.empty()) {
        // The entry says why the run ended.
        journal_append(text, length);
        journal_append("\n", 1);
        journal_write();
    }
#if KOVA_DEBUGGER
    debugger_close();
#endif
    platform::close_stdout();
    platform::exit_process(0);
}

}  // namespace kova

// Raising numbered errors: composing the text, recording it, building the
// error object and unwinding.
#include "core/errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/areas.h"
#include "core/names.h"
#include "core/utf8.h"
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

// Set while an error object is being built: a failure in there (the areas
// ran out) must not recurse into another raise, nor overwrite the text of
// the error being raised. It ends the build with this instead.
bool g_building_error = false;
struct ErrorBuildFailed {};

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

size_t error_item_size(size_t code_length, size_t message_length) {
    return error_message_offset(code_length) + message_length + 1;
}

// Lays out an error object in an item of error_item_size bytes.
Value fill_error_object(uint32_t reference, uint8_t* item, ErrorCodeKind kind, const char* code,
                        size_t code_length, const char* message, size_t message_length) {
    item[0] = make_header(TAG_ERROR, 0);
    item[ERROR_KIND_OFFSET] = kind;
    store_u16(item + ERROR_MESSAGE_LENGTH_OFFSET, static_cast<uint16_t>(message_length));
    store_u16(item + ERROR_CODE_LENGTH_OFFSET, static_cast<uint16_t>(code_length));
    std::memcpy(item + ERROR_CODE_OFFSET, code, code_length);
    item[ERROR_CODE_OFFSET + code_length] = '\0';
    item[ERROR_CODE_OFFSET + code_length + 1] = '\0';
    uint8_t* text = item + error_message_offset(code_length);
    std::memcpy(text, message, message_length);
    text[message_length] = '\0';
    return make_value(TAG_ERROR, reference);
}

// The error object of the error being raised. When the areas cannot hold
// it (the error may be that they are full), it goes to a heap item of its
// own; only when even that fails does the unwind carry `undefined`.
Value raised_error_object(int code) {
    char code_text[24];
    const size_t code_length = static_cast<size_t>(std::snprintf(code_text, sizeof code_text, "%d", code));
    struct BuildingMark {
        BuildingMark() { g_building_error = true; }
        ~BuildingMark() { g_building_error = false; }
    } mark;
    try {
        return new_error_object(ERROR_CODE_NUMBER, code_text, code_length, g_errors.text, g_errors.text_length);
    } catch (const ErrorBuildFailed&) {
    }
    const size_t message_length = utf8_cut_length(g_errors.text, g_errors.text_length, 0xFFFF);
    uint8_t* item = nullptr;
    const uint32_t reference = area_alloc_heap_item(error_item_size(code_length, message_length), &item);
    if (reference == AREA_NONE) return NAME_UNDEFINED;
    return fill_error_object(reference, item, ERROR_CODE_NUMBER, code_text, code_length, g_errors.text,
                             message_length);
}

[[noreturn]] void finish_raise(int code, bool to_host) {
    const Value error = raised_error_object(code);
    retain(error);  // the unwind's own reference (errors.h)
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
    if (g_building_error) throw ErrorBuildFailed{};
    set_prefix(std::snprintf(g_errors.text, ERROR_TEXT_SIZE, "EVAL ERROR %d (%s:%d:%d) : ", code,
                             module_name(g_errors.module), g_errors.line, g_errors.column));
    va_list arguments;
    va_start(arguments, format);
    append_message(format, arguments);
    va_end(arguments);
    finish_raise(code, false);
}

#if KOVA_DEBUGGER
void raise_run_ended(int code, const char* message) {
    if (g_building_error) throw ErrorBuildFailed{};
    set_prefix(std::snprintf(g_errors.text, ERROR_TEXT_SIZE, "EVAL ERROR %d (%s:%d:%d) : %s", code,
                             module_name(g_errors.module), g_errors.line, g_errors.column, message));
    finish_raise(code, true);
}
#endif

void raise_parse_error(int code, const char* format, ...) {
    if (g_building_error) throw ErrorBuildFailed{};
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
    // Both lengths are 16-bit fields; a longer text is cut where a
    // character begins, never inside one.
    code_length = utf8_cut_length(code, code_length, 0xFFFF);
    message_length = utf8_cut_length(message, message_length, 0xFFFF);
    uint8_t* item = nullptr;
    const uint32_t reference = area_alloc(error_item_size(code_length, message_length), &item);
    return fill_error_object(reference, item, kind, code, code_length, message, message_length);
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
    // An expression of the front end answers with its error instead.
    if (debugger_evaluating()) return;
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

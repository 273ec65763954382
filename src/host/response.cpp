// Error frames and console error lines.
#include "host/response.h"

#include <string>

#include "core/areas.h"
#include "core/errors.h"
#include "core/values.h"
#include "front/items.h"
#include "host/journal.h"
#include "platform/platform.h"

namespace kova {

namespace {

// A full-width colon: the console line's separator.
constexpr char WIDE_COLON[] = "\xEF\xBC\x9A";

void write_out(const std::string& text) {
    platform::write_stdout(text.data(), text.size());
    platform::flush_stdout();
}

}  // namespace

void write_error_frame(Value arrived, bool while_running) {
    std::string frame = "S";
    std::string journal;
    if (value_tag(arrived) == TAG_ERROR) {
        size_t code_length = 0;
        size_t message_length = 0;
        const char* code = error_code_text(arrived, &code_length);
        const char* message = error_message_text(arrived, &message_length);
        append_text_item(frame, code, code_length);
        append_text_item(frame, message, message_length);
        if (while_running) {
            journal.append("\nERROR: CODE=");
            journal.append(code, code_length);
            journal += ", MESSAGE='";
            journal.append(message, message_length);
            journal += "'\n";
        } else {
            journal.append("\n");
            journal.append(message, message_length);
            journal += "\n";
        }
    } else if (value_tag(arrived) == TAG_STRING) {
        frame += "10";
        append_text_item(frame, string_text(arrived), string_length(arrived));
        journal.append("\nERROR: MESSAGE='");
        journal.append(string_text(arrived), string_length(arrived));
        journal += "'\n";
    } else {
        frame += "1010";
        journal.append("\nERROR: CODE=, MESSAGE=\n");
    }
    write_out(frame);
    journal_append(journal.data(), journal.size());
}

void write_console_error(Value arrived) {
    std::string line;
    std::string journal;
    if (value_tag(arrived) == TAG_ERROR) {
        size_t code_length = 0;
        size_t message_length = 0;
        const char* code = error_code_text(arrived, &code_length);
        const char* message = error_message_text(arrived, &message_length);
        line.append("ERROR  ");
        line.append(code, code_length);
        line += WIDE_COLON;
        line.append(message, message_length);
        journal.append("\n");
        journal.append(message, message_length);
        journal += "\n";
    } else if (value_tag(arrived) == TAG_STRING) {
        line.append("ERROR");
        line += WIDE_COLON;
        line += " ";
        line.append(string_text(arrived), string_length(arrived));
        journal.append("\n").append(line).append("\n");
    } else {
        return;
    }
    write_out(line);
    journal_append(journal.data(), journal.size());
}

}  // namespace kova

// The journal: collected in memory while the request runs, written once at
// the end under an exclusive lock, so that concurrent requests leave whole
// entries one after the other.
#include "host/journal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "core/errors.h"
#include "front/items.h"
#include "host/config.h"
#include "host/host.h"
#include "platform/platform.h"

namespace kova {

JournalState g_journal;

namespace {

// Text kept directly in the buffer while the fill stays below this.
constexpr size_t BUFFER_LIMIT = JOURNAL_BUFFER_SIZE - 4;

void free_spill_list() {
    JournalSpill* node = g_journal.oldest;
    while (node != nullptr) {
        JournalSpill* next = node->next;
        std::free(node);
        node = next;
    }
    g_journal.oldest = nullptr;
    g_journal.newest = nullptr;
}

void local_time_text(char* out, size_t size) {
    std::tm fields{};
    if (!platform::local_time(platform::time_now(), &fields)) {
        out[0] = '\0';
        return;
    }
    std::snprintf(out, size, "%d/%02d/%02d %02d:%02d:%02d", fields.tm_year + 1900, fields.tm_mon + 1,
                  fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
}

}  // namespace

void journal_reset() {
    free_spill_list();
    g_journal.fill = 0;
}

void journal_append(const char* text, size_t length) {
    if (length == 0) return;
    if (g_journal.fill + length < BUFFER_LIMIT) {
        std::memcpy(g_journal.buffer + g_journal.fill, text, length);
        g_journal.fill += length;
        return;
    }
    const size_t total = g_journal.fill + length;
    auto* node = static_cast<JournalSpill*>(std::malloc(sizeof(JournalSpill) + total + 36));
    if (node == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
    node->next = nullptr;
    node->length = total;
    std::memcpy(node->text, g_journal.buffer, g_journal.fill);
    std::memcpy(node->text + g_journal.fill, text, length);
    if (g_journal.newest != nullptr) {
        g_journal.newest->next = node;
    } else {
        g_journal.oldest = node;
    }
    g_journal.newest = node;
    g_journal.fill = 0;
}

void journal_append_text(const char* text) { journal_append(text, std::strlen(text)); }

void journal_write() {
    const char* path = g_config.logfile.c_str();
    if (*path == '\0') return;
    int fd = -1;
    for (int attempt = 0; attempt < JOURNAL_OPEN_ATTEMPTS; ++attempt) {
        fd = platform::open_locked_append(path);
        if (fd >= 0) break;
        platform::sleep_ms(JOURNAL_RETRY_MS);
    }
    if (fd < 0) {
        std::string message = "open&lock of jounal file(";
        message += path;
        message += ")";
        std::string record = "S149999";
        append_plain_item(record, message.data(), message.size());
        platform::write_stdout(record.data(), record.size());
        platform::flush_stdout();
        journal_reset();
        return;
    }
    std::string head = "-----  start : ";
    head += g_host.start_time;
    head += "  -----\n";
    platform::write_all(fd, head.data(), head.size());
    for (JournalSpill* node = g_journal.oldest; node != nullptr; node = node->next) {
        platform::write_all(fd, node->text, node->length);
    }
    platform::write_all(fd, g_journal.buffer, g_journal.fill);
    char now[80];
    local_time_text(now, sizeof now);
    std::string tail = "\n=====  end : ";
    tail += now;
    tail += "  ===== \n";
    platform::write_all(fd, tail.data(), tail.size());
    journal_reset();
    platform::close_file(fd);
}

}  // namespace kova

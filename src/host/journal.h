// The journal: text collected during the run and written once, at the end,
// as one entry of the shared journal file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kova {

inline constexpr size_t JOURNAL_BUFFER_SIZE = 32768;
inline constexpr int JOURNAL_OPEN_ATTEMPTS = 50;
inline constexpr unsigned JOURNAL_RETRY_MS = 100;

struct JournalSpill {
    JournalSpill* next;
    size_t length;
    char text[1];  // length bytes follow
};

struct JournalState {
    char buffer[JOURNAL_BUFFER_SIZE];
    size_t fill;
    JournalSpill* oldest;
    JournalSpill* newest;
};

extern JournalState g_journal;

void journal_reset();
void journal_append(const char* text, size_t length);
void journal_append_text(const char* text);
// Writes the entry to the configured LOGFILE (nothing when it is empty) and
// empties the collected text.
void journal_write();

}  // namespace kova

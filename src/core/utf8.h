// Small UTF-8 helpers of the runtime core.
#pragma once

#include <cstddef>

namespace kova {

// The longest prefix of `text` (of `length` bytes) that is at most `limit`
// bytes and does not end inside a character: a cut backs off over the
// continuation bytes (10xxxxxx) that would start the rest.
inline size_t utf8_cut_length(const char* text, size_t length, size_t limit) {
    if (length <= limit) return length;
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

}  // namespace kova

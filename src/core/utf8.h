// Small UTF-8 helpers of the runtime core.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kova {

// Bytes of the UTF-8 character announced by a lead byte, by the lead byte
// alone: 1 to 6; a stray continuation byte or 0xFE/0xFF counts as one.
// Callers clamp the result to the bytes that are there.
inline uint32_t utf8_sequence_length(uint8_t lead) {
    if (lead < 0xC0) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF8) return 4;
    if (lead < 0xFC) return 5;
    if (lead < 0xFE) return 6;
    return 1;
}

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

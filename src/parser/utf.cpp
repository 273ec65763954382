// UTF-8 and UTF-16 for the string and regular-expression code. Only the
// Basic Multilingual Plane is supported: no surrogate pairs are made.
#include "core/errors.h"
#include "parser/lexer.h"

namespace kova {

namespace {

// True when `n` bytes from `p` lie within the input: before `end` and
// before any NUL.
bool sequence_available(const unsigned char* p, const unsigned char* end, size_t n) {
    if (size_t(end - p) < n) return false;
    for (size_t i = 1; i < n; ++i) {
        if (p[i] == 0) return false;
    }
    return true;
}

}  // namespace

size_t utf8_unit_length(const char* p, const char* end) {
    const auto* at = reinterpret_cast<const unsigned char*>(p);
    const auto* stop = reinterpret_cast<const unsigned char*>(end);
    const unsigned char lead = *at;
    if (lead < 0x80) return 1;
    if (lead >= 0xC0 && lead <= 0xDF && sequence_available(at, stop, 2)) return 2;
    if (lead >= 0xE0 && lead <= 0xEF && sequence_available(at, stop, 3)) return 3;
    if (lead >= 0xF0 && lead <= 0xF7) return 4;
    // Below 0x80, 0xF8-0xFF, a stray continuation byte, or a sequence cut
    // short by the end of the input: the byte stands for itself.
    return 1;
}

size_t utf8_to_utf16(const char* src, size_t len, uint16_t* dst, size_t max) {
    if (max == 0) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(src);
    const unsigned char* end = p + len;
    size_t count = 0;
    while (p < end && *p != 0 && count < max - 1) {
        const size_t length = utf8_unit_length(reinterpret_cast<const char*>(p), reinterpret_cast<const char*>(end));
        uint16_t unit;
        if (length == 1) {
            unit = *p;
        } else if (length == 2) {
            unit = uint16_t((p[0] & 0x1F) << 6 | (p[1] & 0x3F));
        } else if (length == 3) {
            unit = uint16_t((p[0] & 0x0F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F));
        } else {
            raise_runtime_error(1595, "MultiToWide 文字の変換エラー(サロゲート文字)");
        }
        dst[count++] = unit;
        p += length;
    }
    dst[count] = 0;
    return count;
}

size_t utf16_to_utf8(const uint16_t* src, size_t count, char* dst, size_t size) {
    if (size == 0) return 0;
    size_t used = 0;
    for (size_t i = 0; i < count && src[i] != 0; ++i) {
        const uint32_t unit = src[i];
        if (unit < 0x80) {
            if (used + 1 > size - 1) break;
            dst[used++] = char(unit);
        } else if (unit < 0x800) {
            if (used + 2 > size - 1) break;
            dst[used++] = char(0xC0 | unit >> 6);
            dst[used++] = char(0x80 | (unit & 0x3F));
        } else {
            if (used + 3 > size - 1) break;
            dst[used++] = char(0xE0 | unit >> 12);
            dst[used++] = char(0x80 | (unit >> 6 & 0x3F));
            dst[used++] = char(0x80 | (unit & 0x3F));
        }
    }
    dst[used] = '\0';
    return used;
}

}  // namespace kova

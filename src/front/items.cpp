// Encoding of front-end items.
#include "front/items.h"

#include <cstdio>
#include <cstring>

namespace kova {

namespace {

// Bytes the front end takes as they are.
constexpr bool is_kept(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    for (const char* k = ";,/?:@&=+$-_.*'()#"; *k != '\0'; ++k) {
        if (c == static_cast<unsigned char>(*k)) return true;
    }
    return false;
}

struct KeptTable {
    bool kept[256];
    constexpr KeptTable() : kept() {
        for (int c = 0; c < 256; ++c) kept[c] = is_kept(static_cast<unsigned char>(c));
    }
};
constexpr KeptTable KEPT;

void append_field(std::string& out, char base, uint64_t n) {
    char digits[24];
    const int k = std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(n));
    out.push_back(static_cast<char>(base + k));
    out.append(digits, static_cast<size_t>(k));
}

}  // namespace

void append_number_field(std::string& out, uint64_t n) { append_field(out, '0', n); }

void append_text_item(std::string& out, const char* text, size_t length) {
    static const char HEX[] = "0123456789ABCDEF";
    size_t encoded = 0;
    for (size_t i = 0; i < length; ++i) {
        if (!KEPT.kept[static_cast<unsigned char>(text[i])]) ++encoded;
    }
    append_field(out, encoded > 0 ? 'A' : '0', length + 2 * encoded);
    if (encoded == 0) {
        out.append(text, length);
        return;
    }
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (KEPT.kept[c]) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(HEX[c >> 4]);
            out.push_back(HEX[c & 15]);
        }
    }
}

void append_plain_item(std::string& out, const char* text, size_t length) {
    append_field(out, '0', length);
    out.append(text, length);
}

void append_integer_item(std::string& out, int32_t n) {
    char digits[16];
    const int k = std::snprintf(digits, sizeof digits, "%d", n);
    out.push_back(static_cast<char>('N' + k));
    out.append(digits, static_cast<size_t>(k));
}

void append_float_item(std::string& out, double x) {
    char text[32];
    const int k = std::snprintf(text, sizeof text, "%g", x);
    out.push_back(static_cast<char>('a' + k));
    out.append(text, static_cast<size_t>(k));
}

}  // namespace kova

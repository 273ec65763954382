// Percent-encoding of strings, byte by byte: the statements encodeURI,
// encodeURIComponent, decodeURI and decodeURIComponent. A multi-byte
// character is one escape per byte; decoding writes the bytes as they are.
// Escapes are written in upper case and read in either case; the escape of
// the zero byte is never decoded.
#include <cstring>

#include "builtins/library.h"
#include "core/errors.h"
#include "core/value_text.h"
#include "eval/eval.h"
#include "eval/handlers.h"

namespace kova {

namespace {

// Bytes that stay as they are (besides letters and digits, which always do).
constexpr const char* ENCODE_URI_KEPT = ";,/?:@&=+$-_.!~*'()#";
constexpr const char* ENCODE_COMPONENT_KEPT = "-_.!~*'()";
// Escapes whose byte is one of these stay encoded.
constexpr const char* DECODE_URI_KEPT = ";,/?:@&=+$#";
constexpr const char* DECODE_COMPONENT_KEPT = "";

struct ByteSet {
    bool has[256];
    constexpr ByteSet(const char* bytes, bool alphanumerics) : has() {
        for (const char* p = bytes; *p != '\0'; ++p) has[static_cast<unsigned char>(*p)] = true;
        if (!alphanumerics) return;
        for (int c = '0'; c <= '9'; ++c) has[c] = true;
        for (int c = 'A'; c <= 'Z'; ++c) has[c] = true;
        for (int c = 'a'; c <= 'z'; ++c) has[c] = true;
    }
};

constexpr ByteSet ENCODE_URI_SET(ENCODE_URI_KEPT, true);
constexpr ByteSet ENCODE_COMPONENT_SET(ENCODE_COMPONENT_KEPT, true);
constexpr ByteSet DECODE_URI_SET(DECODE_URI_KEPT, false);
constexpr ByteSet DECODE_COMPONENT_SET(DECODE_COMPONENT_KEPT, false);

constexpr char HEX[] = "0123456789ABCDEF";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The string operand of a URI statement (held until the result is made).
Value string_operand(Value node, int code) {
    const Value v = evaluate(operand(node, 0));
    if (!is_string(v)) {
        release_if_temporary(v);
        raise_runtime_error(code, "引数不正(非文字列)");
    }
    return v;
}

// The operand itself when nothing changes, else a new string; a temporary
// operand is let go of once the new string is made.
Value replaced_by(Value operand_value, const TextBuffer& text) {
    const Value result = new_string(text.data, text.length);
    release_if_temporary(operand_value);
    return result;
}

Value encode(Value node, const ByteSet& kept) {
    const Value v = string_operand(node, 2345);
    const unsigned char* text = reinterpret_cast<const unsigned char*>(string_text(v));
    const uint32_t length = string_length(v);
    uint32_t first = 0;
    while (first < length && kept.has[text[first]]) ++first;
    if (first == length) return v;
    LocalText<TEXT_SCRATCH_SIZE> out;
    append_text_bytes(out, string_text(v), first);
    for (uint32_t i = first; i < length;) {
        uint32_t run = i;
        while (run < length && kept.has[text[run]]) ++run;
        if (run > i) append_text_bytes(out, string_text(v) + i, run - i);
        if (run == length) break;
        const char escape[3] = {'%', HEX[text[run] >> 4], HEX[text[run] & 0xF]};
        append_text_bytes(out, escape, 3);
        i = run + 1;
    }
    return replaced_by(v, out);
}

Value decode(Value node, const ByteSet& kept) {
    const Value v = string_operand(node, 2340);
    const char* text = string_text(v);
    const uint32_t length = string_length(v);
    // Checked whole first: a bad escape raises 1510 before anything is made.
    bool any = false;
    for (uint32_t i = 0; i + 2 < length; ++i) {
        if (text[i] != '%') continue;
        const int high = hex_value(text[i + 1]);
        const int low = hex_value(text[i + 2]);
        if (high < 0 || low < 0) {
            release_if_temporary(v);
            raise_runtime_error(1510, "デコード文字不正");
        }
        const int byte = high * 16 + low;
        if (byte != 0 && !kept.has[byte]) any = true;
        i += 2;
    }
    if (!any) return v;
    LocalText<TEXT_SCRATCH_SIZE> out;
    uint32_t copied = 0;
    for (uint32_t i = 0; i + 2 < length; ++i) {
        if (text[i] != '%') continue;
        const int byte = hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]);
        if (byte != 0 && !kept.has[byte]) {
            append_text_bytes(out, text + copied, i - copied);
            const char decoded = char(byte);
            append_text_bytes(out, &decoded, 1);
            copied = i + 3;
        }
        i += 2;
    }
    append_text_bytes(out, text + copied, length - copied);
    return replaced_by(v, out);
}

}  // namespace

Value eval_decode_uri(Value node) { return decode(node, DECODE_URI_SET); }
Value eval_decode_uri_component(Value node) { return decode(node, DECODE_COMPONENT_SET); }
Value eval_encode_uri(Value node) { return encode(node, ENCODE_URI_SET); }
Value eval_encode_uri_component(Value node) { return encode(node, ENCODE_COMPONENT_SET); }

}  // namespace kova

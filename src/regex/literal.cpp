// Patterns given as UTF-8 text: the source literal /.../flags, the pattern
// text of the RegExp constructor, and flag letters.
#include <cstdlib>
#include <memory>

#include "core/errors.h"
#include "parser/lexer.h"
#include "regex/regex.h"

namespace kova {

namespace {

constexpr size_t FLAG_TEXT_LIMIT = 255;

[[noreturn]] void bad_flags(const char* text, size_t length) {
    raise_parse_error(4795, "正規表現のオプション不正(%.*s)", static_cast<int>(length), text);
}

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// UTF-16 units of a UTF-8 text, on the stack when short.
class PatternUnits {
public:
    PatternUnits(const char* text, size_t length) {
        // A UTF-8 text never gives more units than bytes.
        units_ = length < INLINE ? inline_ : heap(length + 1);
        count_ = static_cast<uint32_t>(utf8_to_utf16(text, length, units_, length + 1));
    }
    const uint16_t* units() const { return units_; }
    uint32_t count() const { return count_; }

private:
    static constexpr size_t INLINE = 256;
    uint16_t* heap(size_t n) {
        if (n > UINT32_MAX) raise_runtime_error(1400, "メモリ領域を取得できません");
        owned_.reset(static_cast<uint16_t*>(std::malloc(n * sizeof(uint16_t))));
        if (!owned_) raise_runtime_error(1400, "メモリ領域を取得できません");
        return owned_.get();
    }
    struct Free {
        void operator()(uint16_t* p) const { std::free(p); }
    };
    uint16_t inline_[INLINE];
    std::unique_ptr<uint16_t, Free> owned_;
    uint16_t* units_;
    uint32_t count_;
};

}  // namespace

uint8_t parse_flags(const char* text, size_t length) {
    uint8_t flags = 0;
    for (size_t i = 0; i < length; ++i) {
        switch (text[i]) {
            case 'g': flags |= REGEX_GLOBAL; break;
            case 'i': flags |= REGEX_IGNORE_CASE; break;
            case 'm': flags |= REGEX_MULTILINE; break;
            case 's': flags |= REGEX_DOT_ALL; break;
            case 'u': break;
            case 'y': flags |= REGEX_STICKY; break;
            default: bad_flags(text, length);
        }
    }
    return flags;
}

Value compile_regex_text(const char* pattern, size_t length, uint8_t flags) {
    const PatternUnits units(pattern, length);
    if (units.count() == 0) raise_parse_error(4800, "文字のEncode変換不正");
    return compile_regex(units.units(), units.count(), flags);
}

const char* compile_regex_literal(const char* text, Value* out) {
    // The closing "/": an escaped unit never closes the literal, nor does a
    // "/" inside a class; a literal never spans lines.
    const char* p = text;
    bool in_class = false;
    for (;;) {
        const char c = *p;
        if (c == '\0' || c == '\n' || c == '\r') raise_parse_error(4805, "正規表現のフォーマット不正 (/)");
        if (c == '\\') {
            if (p[1] == '\0' || p[1] == '\n' || p[1] == '\r') raise_parse_error(4805, "正規表現のフォーマット不正 (/)");
            p += 2;
            continue;
        }
        if (in_class) {
            if (c == ']') in_class = false;
        } else if (c == '[') {
            in_class = true;
        } else if (c == '/') {
            break;
        }
        ++p;
    }
    const char* flags_text = p + 1;
    const char* after = flags_text;
    while (is_letter(*after)) ++after;
    const size_t flag_count = static_cast<size_t>(after - flags_text);
    if (flag_count > FLAG_TEXT_LIMIT) bad_flags(flags_text, flag_count);
    const uint8_t flags = parse_flags(flags_text, flag_count);
    *out = compile_regex_text(text, static_cast<size_t>(p - text), flags);
    return after;
}

}  // namespace kova

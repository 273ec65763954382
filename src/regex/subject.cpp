// Subjects in UTF-16 and the texts cut from them. The last subject is kept
// converted (and held), so that a loop of searches over one long string
// converts it once.
#include <algorithm>
#include <cstdlib>
#include <memory>

#include "core/areas.h"
#include "core/errors.h"
#include "core/value_text.h"
#include "core/values.h"
#include "parser/lexer.h"
#include "regex/regex.h"
#include "regex/state.h"

namespace kova {

RegexSubject regex_subject(Value string, bool fold) {
    RegexState& r = g_regex;
    const StringCell* cell = cell_as<StringCell>(string);
    if (r.subject_string != string || r.subject_text != cell->text || r.subject_bytes != cell->length) {
        // Forgotten first: a conversion that fails leaves no half-made subject.
        const Value old = r.subject_string;
        r.subject_string = 0;
        r.folded_ready = false;
        release(old);
        const size_t bytes = cell->length;
        // A UTF-8 text never gives more units than bytes; one 0 unit before
        // and one after.
        r.units.resize(bytes + 2);
        r.units[0] = 0;
        const size_t count = utf8_to_utf16(string_text(string), bytes, r.units.data() + 1, bytes + 1);
        if (count > uint32_t(INT32_MAX) - 2) raise_runtime_error(1400, "メモリ領域を取得できません");
        r.subject_length = static_cast<uint32_t>(count);
        retain(string);
        r.subject_string = string;
        r.subject_text = cell->text;
        r.subject_bytes = cell->length;
    }
    if (fold && !r.folded_ready) {
        r.folded.resize(size_t(r.subject_length) + 2);
        for (uint32_t i = 0; i < r.subject_length + 2; ++i) {
            const uint16_t u = r.units[i];
            r.folded[i] = (u >= 'a' && u <= 'z') ? uint16_t(u - 32) : u;
        }
        r.folded_ready = true;
    }
    return RegexSubject{r.units.data() + 1, fold ? r.folded.data() + 1 : nullptr, r.subject_length};
}

Value regex_piece(const RegexSubject& subject, int32_t start, int32_t end) {
    if (start < 0 || end < start || uint32_t(end) > subject.length) return new_string("", 0);
    const size_t count = size_t(end - start);
    // Three bytes at most per unit.
    constexpr size_t INLINE = 768;
    char inline_bytes[INLINE];
    std::unique_ptr<char, void (*)(void*)> heap(nullptr, std::free);
    char* bytes = inline_bytes;
    const size_t size = 3 * count + 1;
    if (size > INLINE) {
        heap.reset(static_cast<char*>(std::malloc(size)));
        if (!heap) raise_runtime_error(1400, "メモリ領域を取得できません");
        bytes = heap.get();
    }
    const size_t length = utf16_to_utf8(subject.units + start, count, bytes, size);
    return new_string(bytes, length);
}

void append_subject_text(TextBuffer& out, const RegexSubject& subject, int32_t start, int32_t end) {
    if (start < 0 || end < start || uint32_t(end) > subject.length) return;
    // In pieces of a small buffer: three bytes at most per unit.
    constexpr size_t CHUNK_UNITS = 256;
    char bytes[3 * CHUNK_UNITS + 1];
    for (int32_t p = start; p < end;) {
        const size_t count = std::min<size_t>(CHUNK_UNITS, size_t(end - p));
        append_text_bytes(out, bytes, utf16_to_utf8(subject.units + p, count, bytes, sizeof bytes));
        p += int32_t(count);
    }
}

}  // namespace kova

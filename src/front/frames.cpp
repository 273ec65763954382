// Front-end frames for the values scripts send.
#include "front/frames.h"

#include <cstdio>
#include <new>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/value_text.h"
#include "core/values.h"
#include "eval/access.h"
#include "eval/eval.h"
#include "eval/handlers.h"
#include "eval/scopes.h"
#include "front/front.h"
#include "front/items.h"
#include "parser/declarations.h"

namespace kova {

FramesState g_frames;

namespace {

[[noreturn]] void out_of_memory() { raise_runtime_error(1400, "メモリ領域を取得できません"); }

// The buffer of one nesting depth, emptied; its capacity is kept.
std::string& level_buffer(unsigned depth) {
    // A deque keeps the outer levels' buffers in place while it grows.
    while (g_frames.levels.size() <= depth) g_frames.levels.emplace_back();
    std::string& buffer = g_frames.levels[depth];
    buffer.clear();
    return buffer;
}

uint32_t next_reference() {
    // Six digits: beyond 999999 a reference no longer fits its 8-byte item.
    if (g_front.next_reference >= LAST_REFERENCE) out_of_memory();
    return ++g_front.next_reference;
}

// "18^A%06d" or "18^H%06d".
void append_reference_item(std::string& out, bool array, uint32_t reference) {
    char text[24];
    const int n = std::snprintf(text, sizeof text, "18^%c%06u", array ? 'A' : 'H', reference);
    out.append(text, static_cast<size_t>(n));
}

void append_name_item(std::string& out, uint32_t name) {
    append_text_item(out, name_text(name), name_length(name));
}

void append_date_item(std::string& out, Value date) {
    char text[DATE_TEXT_SIZE];
    append_text_item(out, text, format_date_text(date, text));
}

// The item of a scalar value; false for a kind that has none.
bool append_scalar_item(std::string& out, Value v) {
    switch (value_tag(v)) {
        case TAG_INTEGER:
            append_integer_item(out, cell_as<IntegerCell>(v)->value);
            return true;
        case TAG_FLOAT:
            append_float_item(out, cell_as<FloatCell>(v)->value);
            return true;
        case TAG_STRING:
            append_text_item(out, string_text(v), string_length(v));
            return true;
        case TAG_DATE:
            append_date_item(out, v);
            return true;
        default:
            return false;
    }
}

void write_composite_frame(Value v, const char* name, size_t name_length, uint32_t reference, unsigned depth);

// An element or pair value. An array or object inside is written as its
// own frame at once, and stands here as its reference item.
void append_member_item(std::string& out, Value v, unsigned depth) {
    const uint32_t tag = value_tag(v);
    if (tag == TAG_NAME) {
        const uint32_t name = v & SLOT_NAME_MASK;
        if (name == NAME_UNDEFINED) {
            out += "10";
        } else {
            append_name_item(out, name);
        }
        return;
    }
    if (append_scalar_item(out, v)) return;
    if (tag != TAG_ARRAY && tag != TAG_OBJECT) {
        raise_runtime_error(1215, "フロントエンドに送信するデータの型不正(%d)", static_cast<int>(tag));
    }
    const uint32_t reference = next_reference();
    write_composite_frame(v, nullptr, 0, reference, depth + 1);
    append_reference_item(out, tag == TAG_ARRAY, reference);
}

void append_key_item(std::string& out, uint32_t key) {
    if (key_is_integer(key)) {
        char digits[16];
        const int n = std::snprintf(digits, sizeof digits, "%u", key & 0xFFFFFF);
        append_text_item(out, digits, static_cast<size_t>(n));
    } else {
        append_name_item(out, key & SLOT_NAME_MASK);
    }
}

// An array frame ("A") or object frame ("H"), headed by the name item or,
// for a nested one, by its reference item.
void write_composite_frame(Value v, const char* name, size_t name_length, uint32_t reference, unsigned depth) {
    // A container that holds itself would nest without end.
    if (depth > TEXT_NESTING_LIMIT) out_of_memory();
    std::string& out = level_buffer(depth);
    const bool array = value_tag(v) == TAG_ARRAY;
    const uint32_t count = array ? cell_as<ArrayCell>(v)->count : cell_as<ObjectCell>(v)->count;
    out.push_back(array ? 'A' : 'H');
    append_number_field(out, count);
    if (reference == 0) {
        append_text_item(out, name, name_length);
    } else {
        append_reference_item(out, array, reference);
    }
    for (uint32_t i = 0; i < count; ++i) {
        // Items are re-read each time: nothing here moves them, but the
        // cell is the one stable place to find them.
        if (array) {
            append_member_item(out, load_u32(area_pointer(cell_as<ArrayCell>(v)->elements) + 4 * size_t(i)), depth);
        } else {
            const uint8_t* pair = area_pointer(cell_as<ObjectCell>(v)->pairs) + 8 * size_t(i);
            const uint32_t key = load_u32(pair);
            const Value member = load_u32(pair + 4);
            append_key_item(out, key);
            append_member_item(out, member, depth);
        }
    }
    front_write(out);
    if (array) {
        ++g_front.array_frames;
    } else {
        ++g_front.object_frames;
    }
}

void send_scalar(const char* name, size_t name_length, Value value) {
    std::string& out = g_frames.scalar;
    out.clear();
    out.push_back('s');
    append_text_item(out, name, name_length);
    const uint32_t tag = value_tag(value);
    if (tag == TAG_NAME) {
        const uint32_t constant = value & SLOT_NAME_MASK;
        if (constant == NAME_UNDEFINED) {
            out += "10";
        } else if (constant <= NAME_NAN) {
            append_name_item(out, constant);
        } else {
            raise_runtime_error(1335, "フロントエンドへ送信するデータの型不正");
        }
    } else if (!append_scalar_item(out, value)) {
        if (tag == TAG_KEYED) raise_runtime_error(1330, "フロントエンドへ送信するデータの型不正");
        raise_runtime_error(1335, "フロントエンドへ送信するデータの型不正");
    }
    front_write(out);
    ++g_front.values_sent;
}

}  // namespace

void frames_reset() {
    g_frames.scalar.clear();
    g_frames.levels.clear();
}

void send_to_front(const char* name, size_t name_length, Value value) {
    try {
        const uint32_t tag = value_tag(value);
        if (tag == TAG_ARRAY || tag == TAG_OBJECT) {
            write_composite_frame(value, name, name_length, 0, 0);
        } else {
            send_scalar(name, name_length, value);
        }
    } catch (const std::bad_alloc&) {
        out_of_memory();
    }
}

void alert_to_front(Value message) {
    try {
        std::string& out = g_frames.scalar;
        out.clear();
        out.push_back('s');
        out += ALERT_MARKER_ITEM;
        switch (value_tag(message)) {
            case TAG_NAME:
                if ((message & SLOT_NAME_MASK) != NAME_UNDEFINED) {
                    raise_runtime_error(1340, "フロントエンドへ送信するアラートの型不正");
                }
                out += "10";
                break;
            case TAG_STRING:
                append_text_item(out, string_text(message), string_length(message));
                break;
            case TAG_ERROR: {
                size_t code_length = 0;
                size_t message_length = 0;
                const char* code = error_code_text(message, &code_length);
                const char* text = error_message_text(message, &message_length);
                std::string& alert = level_buffer(0);
                alert += "Exception: CODE=";
                alert.append(code, code_length);
                alert += ", MESSAGE='";
                alert.append(text, message_length);
                alert += "'";
                append_text_item(out, alert.data(), alert.size());
                break;
            }
            default:
                raise_runtime_error(1340, "フロントエンドへ送信するアラートの型不正");
        }
        front_write(out);
        ++g_front.values_sent;
    } catch (const std::bad_alloc&) {
        out_of_memory();
    }
}

void write_closing_frame() {
    try {
        std::string& out = g_frames.scalar;
        out.clear();
        out.push_back('C');
        append_number_field(out, g_front.array_frames);
        append_number_field(out, g_front.object_frames);
        append_number_field(out, g_front.values_sent);
        append_number_field(out, g_front.query_frames);
        front_write(out);
    } catch (const std::bad_alloc&) {
        out_of_memory();
    }
}

// ---- statements ------------------------------------------------------------------

Value eval_send_to_front(Value node) {
    if (operand_count(node) >= 2) {
        HeldValue name(evaluate(operand(node, 0)));
        if (value_tag(name.get()) != TAG_STRING) raise_runtime_error(1325, "オブジェクト名不正");
        HeldValue value(evaluate(operand(node, 1)));
        send_to_front(string_text(name.get()), string_length(name.get()), value.get());
        return NAME_UNDEFINED;
    }
    const Value argument = operand(node, 0);
    if (value_tag(argument) == TAG_STRING) {
        // The literal names the variable whose value is sent.
        const uint32_t name = intern(string_text(argument), string_length(argument));
        HeldValue value(read_variable(name));
        send_to_front(string_text(argument), string_length(argument), value.get());
    } else if (value_tag(argument) == TAG_NAME) {
        const uint32_t name = argument & SLOT_NAME_MASK;
        HeldValue value(evaluate(argument));
        send_to_front(name_text(name), name_length(name), value.get());
    } else {
        raise_runtime_error(1320, "オブジェクト名不正");
    }
    return NAME_UNDEFINED;
}

Value eval_alert_to_front(Value node) {
    HeldValue message(evaluate(operand(node, 0)));
    alert_to_front(message.get());
    return NAME_UNDEFINED;
}

}  // namespace kova

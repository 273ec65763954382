// The prepared form of compiled values, its cache, and what freeing a
// compiled value releases.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "eval/calls.h"
#include "regex/regex.h"
#include "regex/state.h"

namespace kova {

RegexState g_regex;

namespace {

// Cycles in a damaged compiled form end here rather than on the stack.
constexpr uint32_t NESTING_LIMIT = 20000;

[[noreturn]] void malformed() { raise_runtime_error(5030, "正規表現のコマンド不正"); }

uint32_t saturating_add(uint32_t a, uint32_t b) {
    return (a == UNBOUNDED_WIDTH || b == UNBOUNDED_WIDTH || a > UNBOUNDED_WIDTH - b) ? UNBOUNDED_WIDTH : a + b;
}
uint32_t saturating_multiply(uint32_t a, uint32_t b) {
    if (a == 0 || b == 0) return 0;
    if (a == UNBOUNDED_WIDTH || b == UNBOUNDED_WIDTH || a > UNBOUNDED_WIDTH / b) return UNBOUNDED_WIDTH;
    return a * b;
}

bool is_word_unit(uint32_t u) {
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_';
}
bool is_digit_unit(uint32_t u) { return u >= '0' && u <= '9'; }
bool is_space_unit(uint32_t u) { return u == '\t' || u == '\n' || u == '\r' || u == ' '; }

struct GroupRange {
    uint32_t first = UINT32_MAX;
    uint32_t last = 0;
    void add(uint32_t g) {
        first = std::min(first, g);
        last = std::max(last, g);
    }
    void add(uint32_t f, uint32_t l) {
        if (f <= l) {
            add(f);
            add(l);
        }
    }
};

class Builder {
public:
    explicit Builder(Program& program) : program_(program) {}

    const PreparedExpression* expression(Value v, GroupRange* groups) {
        if (value_tag(v) != TAG_REGEX) malformed();
        if (++depth_ > NESTING_LIMIT) malformed();
        check_stack_room();
        const uint8_t* item = area_pointer(value_payload(v));
        const uint8_t flags = item[REGEX_FLAGS_OFFSET];
        const uint32_t count = load_u16(item + REGEX_COUNT_OFFSET);
        const uint32_t reference = load_u32(item + REGEX_REFERENCE_OFFSET);
        PreparedExpression* e = make<PreparedExpression>(1);
        e->memo_slot = NO_MEMO;
        e->count = count;
        GroupRange own;
        if (flags & REGEX_ALTERNATION) {
            if (count == 0) malformed();
            const uint8_t* list = area_pointer(reference);
            auto** alternatives = make<const PreparedExpression*>(count);
            e->alternation = true;
            e->min_width = UNBOUNDED_WIDTH;
            e->max_width = 0;
            for (uint32_t i = 0; i < count; ++i) {
                alternatives[i] = expression(load_u32(list + REGEX_ALTERNATIVE_SIZE * i), &own);
                e->min_width = std::min(e->min_width, alternatives[i]->min_width);
                e->max_width = std::max(e->max_width, alternatives[i]->max_width);
            }
            e->alternatives = alternatives;
        } else {
            const uint32_t pool_length = load_u16(item + REGEX_POOL_LENGTH_OFFSET);
            uint16_t* pool = make<uint16_t>(pool_length + 1);
            std::memcpy(pool, item + REGEX_POOL_OFFSET, size_t(pool_length) * 2);
            PreparedTerm* terms = make<PreparedTerm>(count == 0 ? 1 : count);
            const uint8_t* array = count == 0 ? nullptr : area_pointer(reference);
            bool quantified = false;
            for (uint32_t i = 0; i < count; ++i) {
                uint8_t* raw = const_cast<uint8_t*>(array) + REGEX_TERM_SIZE * i;
                term(terms[i], raw, pool, pool_length, &own);
                quantified = quantified || terms[i].quantified;
                e->min_width = saturating_add(e->min_width, term_min_width_);
                e->max_width = saturating_add(e->max_width, term_max_width_);
            }
            e->terms = terms;
            if (quantified) {
                e->memo_slot = program_.memo_slots;
                program_.memo_slots += count;
            }
            set_start(*e);
        }
        e->groups_first = own.first;
        e->groups_last = own.last;
        groups->add(own.first, own.last);
        --depth_;
        return e;
    }

private:
    template <typename T>
    T* make(size_t n) {
        void* block = std::calloc(n, sizeof(T));
        if (block == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
        program_.blocks.push_back(block);
        return static_cast<T*>(block);
    }

    void term(PreparedTerm& t, uint8_t* raw, const uint16_t* pool, uint32_t pool_length, GroupRange* groups) {
        RegexTerm r;
        std::memcpy(&r, raw, REGEX_TERM_SIZE);
        t.kind = r.kind;
        t.id = program_.term_count++;
        t.lazy = (r.quantifier & REGEX_LAZY) != 0;
        switch (r.quantifier & ~REGEX_LAZY) {
            case QUANTIFIER_NONE: t.min = t.max = 1; break;
            case QUANTIFIER_EXACT: t.min = t.max = r.min; break;
            case QUANTIFIER_OPTIONAL: t.min = 0; t.max = 1; t.quantified = true; break;
            case QUANTIFIER_RANGE:
                if (r.min > r.max) malformed();
                t.min = r.min;
                t.max = r.max == REGEX_UNBOUNDED ? UNBOUNDED_COUNT : r.max;
                t.quantified = true;
                break;
            case QUANTIFIER_AT_LEAST: t.min = r.min; t.max = UNBOUNDED_COUNT; t.quantified = true; break;
            default: malformed();
        }
        uint32_t unit_min = 1;
        uint32_t unit_max = 1;
        const auto pool_units = [&]() {
            if (uint32_t(r.pool_offset) + r.pool_count > pool_length) malformed();
            return pool + r.pool_offset;
        };
        switch (r.kind) {
            case TERM_LITERAL_RUN:
            case TERM_CHARACTER:
                if (r.pool_count == 0) malformed();
                t.units = pool_units();
                t.unit_count = r.pool_count;
                t.unit = t.units[0];
                if (t.unit_count == 1) {
                    t.kind = TERM_CHARACTER;
                    t.single_width = true;
                } else {
                    t.kind = TERM_LITERAL_RUN;
                    unit_min = unit_max = t.unit_count;
                }
                break;
            case TERM_CLASS:
            case TERM_NEGATED_CLASS:
                t.set = make_class(pool_units(), r.pool_count, r.number, r.kind == TERM_NEGATED_CLASS);
                t.single_width = true;
                break;
            case TERM_WORD: case TERM_NOT_WORD: case TERM_DIGIT: case TERM_NOT_DIGIT:
            case TERM_SPACE: case TERM_NOT_SPACE: case TERM_ANY_BUT_NEWLINE: case TERM_ANY:
                t.single_width = true;
                break;
            case TERM_LINE_START: case TERM_LINE_END: case TERM_WORD_BOUNDARY: case TERM_NOT_WORD_BOUNDARY:
                unit_min = unit_max = 0;
                break;
            case TERM_BACKREFERENCE:
                t.number = r.number;
                program_.has_backreference = true;
                unit_min = 0;
                unit_max = UNBOUNDED_WIDTH;
                break;
            case TERM_GROUP:
            case TERM_NON_CAPTURING: {
                if (r.kind == TERM_GROUP && (r.quantifier != QUANTIFIER_NONE || r.number == 0)) malformed();
                GroupRange inside;
                if (r.kind == TERM_GROUP) {
                    t.number = r.number;
                    inside.add(r.number);
                    note_group(r.number, raw, r.name);
                }
                t.sub = expression(r.sub, &inside);
                t.groups_first = inside.first;
                t.groups_last = inside.last;
                groups->add(inside.first, inside.last);
                unit_min = t.sub->min_width;
                unit_max = t.sub->max_width;
                break;
            }
            default:
                malformed();
        }
        if (!is_group_kind(r.kind)) {
            t.groups_first = UINT32_MAX;
            t.groups_last = 0;
        }
        t.lookaround = r.lookaround;
        if (r.lookaround != LOOK_NONE) {
            if (r.lookaround != LOOK_AHEAD && r.lookaround != LOOK_NOT_AHEAD && r.lookaround != LOOK_BEHIND &&
                r.lookaround != LOOK_NOT_BEHIND) {
                malformed();
            }
            const Value look = is_group_kind(r.kind) ? load_u32(raw + TERM_GROUP_LOOKAROUND_OFFSET) : r.sub;
            t.look = expression(look, groups);
            t.lookbehind_guarded = r.lookaround == LOOK_BEHIND || r.lookaround == LOOK_NOT_BEHIND;
        }
        term_min_width_ = saturating_multiply(unit_min, t.min);
        term_max_width_ = t.max == UNBOUNDED_COUNT && unit_max != 0 ? UNBOUNDED_WIDTH
                                                                     : saturating_multiply(unit_max, t.max);
        if (t.max == 0) term_max_width_ = 0;
    }

    void note_group(uint32_t number, uint8_t* raw, uint32_t name) {
        if (number >= program_.group_terms.size()) {
            program_.group_terms.resize(number + 1, nullptr);
            program_.group_names.resize(number + 1, -1);
        }
        program_.group_count = std::max(program_.group_count, number);
        program_.group_terms[number] = raw;
        if (name != 0 && value_tag(name) == TAG_NAME && value_payload(name) < g_names.count) {
            program_.group_names[number] = static_cast<int32_t>(value_payload(name));
        }
    }

    const PreparedClass* make_class(const uint16_t* members, uint32_t count, uint8_t bits, bool negated) {
        PreparedClass* set = make<PreparedClass>(1);
        set->negated = negated;
        for (uint32_t u = 0; u < 256; ++u) {
            const bool hit = ((bits & SHORTHAND_WORD) && is_word_unit(u)) ||
                             ((bits & SHORTHAND_NOT_WORD) && !is_word_unit(u)) ||
                             ((bits & SHORTHAND_DIGIT) && is_digit_unit(u)) ||
                             ((bits & SHORTHAND_NOT_DIGIT) && !is_digit_unit(u)) ||
                             ((bits & SHORTHAND_SPACE) && is_space_unit(u)) ||
                             ((bits & SHORTHAND_NOT_SPACE) && !is_space_unit(u));
            if (hit) set->low[u >> 6] |= uint64_t(1) << (u & 63);
        }
        set->high_all = (bits & (SHORTHAND_NOT_WORD | SHORTHAND_NOT_DIGIT | SHORTHAND_NOT_SPACE)) != 0;
        std::vector<uint32_t> high;
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t u = members[i];
            if (u < 256) {
                set->low[u >> 6] |= uint64_t(1) << (u & 63);
            } else {
                high.push_back(u);
            }
        }
        std::sort(high.begin(), high.end());
        std::vector<uint32_t> ranges;
        for (uint32_t u : high) {
            if (!ranges.empty() && u <= ranges.back() + 1) {
                ranges.back() = std::max(ranges.back(), u);
            } else {
                ranges.push_back(u);
                ranges.push_back(u);
            }
        }
        if (!ranges.empty()) {
            uint32_t* stored = make<uint32_t>(ranges.size());
            std::memcpy(stored, ranges.data(), ranges.size() * sizeof(uint32_t));
            set->ranges = stored;
            set->range_count = static_cast<uint32_t>(ranges.size() / 2);
        }
        return set;
    }

    // Where a search may find the first term of a sequence.
    static void set_start(PreparedExpression& e) {
        e.start = PreparedExpression::START_ANYWHERE;
        if (e.count == 0) return;
        const PreparedTerm& t = e.terms[0];
        e.first = &t;
        if (t.lookbehind_guarded || t.min == 0) return;
        if (t.kind == TERM_CHARACTER || t.kind == TERM_LITERAL_RUN) {
            e.start = PreparedExpression::START_UNIT;
        } else if (t.single_width) {
            e.start = PreparedExpression::START_SET;
        } else if (t.kind == TERM_LINE_START) {
            e.start = PreparedExpression::START_LINE;
        } else if (is_group_kind(t.kind) && !t.sub->alternation) {
            // A group starts where its first term does.
            e.start = t.sub->start;
            e.first = t.sub->first;
        }
    }

    Program& program_;
    uint32_t depth_ = 0;
    uint32_t term_min_width_ = 0;
    uint32_t term_max_width_ = 0;
};

void forget_program(Value v) {
    RegexState& r = g_regex;
    if (r.last_value == v) {
        r.last_value = 0;
        r.last_program = nullptr;
    }
    const auto found = r.programs.find(v);
    if (found != r.programs.end()) {
        delete found->second;
        r.programs.erase(found);
    }
}

}  // namespace

Program::~Program() {
    for (void* block : blocks) std::free(block);
}

const Program& program_of(Value compiled) {
    RegexState& r = g_regex;
    if (r.last_program != nullptr && r.last_value == compiled) return *r.last_program;
    const auto found = r.programs.find(compiled);
    Program* program = nullptr;
    if (found != r.programs.end()) {
        program = found->second;
    } else {
        auto made = std::make_unique<Program>();
        made->value = compiled;
        made->group_terms.assign(1, nullptr);
        made->group_names.assign(1, -1);
        Builder builder(*made);
        GroupRange groups;
        made->root = builder.expression(compiled, &groups);
        program = made.release();
        r.programs.emplace(compiled, program);
    }
    r.last_value = compiled;
    r.last_program = program;
    return *program;
}

uint32_t regex_group_count(Value compiled) { return program_of(compiled).group_count; }

int32_t regex_group_name(Value compiled, uint32_t group) {
    const Program& p = program_of(compiled);
    return group < p.group_names.size() ? p.group_names[group] : -1;
}

int32_t regex_group_of_name(Value compiled, uint32_t name) {
    const Program& p = program_of(compiled);
    for (uint32_t g = 1; g < p.group_names.size(); ++g) {
        if (p.group_names[g] == static_cast<int32_t>(name)) return static_cast<int32_t>(g);
    }
    return -1;
}

void regex_release_parts(Value compiled) {
    forget_program(compiled);
    const uint8_t* item = area_pointer(value_payload(compiled));
    const uint32_t count = load_u16(item + REGEX_COUNT_OFFSET);
    const uint32_t reference = load_u32(item + REGEX_REFERENCE_OFFSET);
    if (count == 0) return;
    const uint8_t* part = area_pointer(reference);
    const auto release_regex = [](Value v) {
        if (value_tag(v) == TAG_REGEX) release(v);
    };
    if (item[REGEX_FLAGS_OFFSET] & REGEX_ALTERNATION) {
        for (uint32_t i = 0; i < count; ++i) release_regex(load_u32(part + REGEX_ALTERNATIVE_SIZE * i));
    } else {
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* t = part + REGEX_TERM_SIZE * i;
            release_regex(load_u32(t + TERM_SUB_OFFSET));
            if (is_group_kind(t[TERM_KIND_OFFSET])) release_regex(load_u32(t + TERM_GROUP_LOOKAROUND_OFFSET));
        }
    }
    area_free(reference);
}

void regex_reset() {
    RegexState& r = g_regex;
    for (auto& entry : r.programs) delete entry.second;
    r.programs.clear();
    r.last_value = 0;
    r.last_program = nullptr;
    // The areas are reset with the rest: the held subject is simply forgotten.
    r.subject_string = 0;
    r.subject_text = 0;
    r.subject_bytes = 0;
    r.subject_length = 0;
    r.units.clear();
    r.folded.clear();
    r.folded_ready = false;
    r.spans.clear();
    r.matched_value = 0;
    r.matched = false;
    r.memo.release_storage();
    r.positions.clear();
    r.runs.clear();
    r.search_number = 0;
    r.steps = 0;
    r.memo_disabled = false;
}

}  // namespace kova

// The matcher. A sequence is searched for the place where its first term
// matches, and the terms after it are matched one after the other from
// there. A group's contents match as a whole: the first alternative that
// matches at the position wins and is not taken back. A term with a range
// quantifier (or "?") looks for a start of the rest of its sequence between
// its shortest and its farthest reach, at the ends of whole repetitions:
// the greedy form from the farthest, the lazy form from the shortest.
//
// Bounded cost. Without a backreference, whether the terms from k on match
// at a position depends on nothing but (k, position), so every failure is
// remembered for the rest of the search and never tried again. A failed
// unbounded repetition from p also fails from each of its repetition ends
// (their choices are a subset of p's), which are remembered too; and a
// repetition that reaches an end already known to fail stops there. So
// patterns such as a*a*a*b or (?:a|aa)*c stay linear in the subject. The
// memory is taken up only once a search has done more work than a few
// passes over the subject, so ordinary searches never pay for it. Past
// REGEX_STEP_LIMIT steps (term attempts, repetitions, candidate ends) a
// search raises runtime error 4810.
#include <algorithm>
#include <climits>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/errors.h"
#include "eval/calls.h"
#include "regex/regex.h"
#include "regex/state.h"

namespace kova {

namespace {

bool is_word_unit(uint16_t u) {
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_';
}

bool in_set(const PreparedClass& set, uint16_t u) {
    bool member;
    if (u < 256) {
        member = (set.low[u >> 6] >> (u & 63) & 1) != 0;
    } else if (set.high_all) {
        member = true;
    } else {
        // Binary search of the ranges.
        uint32_t lo = 0;
        uint32_t hi = set.range_count;
        member = false;
        while (lo < hi) {
            const uint32_t mid = (lo + hi) / 2;
            if (u < set.ranges[2 * mid]) {
                hi = mid;
            } else if (u > set.ranges[2 * mid + 1]) {
                lo = mid + 1;
            } else {
                member = true;
                break;
            }
        }
    }
    return member != set.negated;
}

// The first position from p (below n) holding `unit`, or n.
int32_t find_unit(const uint16_t* s, int32_t p, int32_t n, uint16_t unit) {
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi16(static_cast<short>(unit));
    while (p + 8 <= n) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + p));
        const int mask = _mm_movemask_epi8(_mm_cmpeq_epi16(chunk, wanted));
        if (mask != 0) return p + (__builtin_ctz(static_cast<unsigned>(mask)) >> 1);
        p += 8;
    }
#endif
    while (p < n && s[p] != unit) ++p;
    return p;
}

class Matcher {
public:
    Matcher(const Program& program, const uint16_t* s, int32_t n, uint8_t flags)
        : program_(program),
          r_(g_regex),
          s_(s),
          n_(n),
          multiline_((flags & REGEX_MULTILINE) != 0),
          dot_all_((flags & REGEX_DOT_ALL) != 0),
          memo_allowed_(!program.has_backreference && program.memo_slots != 0 && !g_regex.memo_disabled),
          memo_on_(false),
          memo_after_(std::min<uint64_t>(MEMO_AFTER_PER_UNIT * (uint64_t(n) + 1) + MEMO_AFTER_STEPS, MEMO_AFTER_LIMIT)),
          spans_(g_regex.spans.data()) {}

    // The match of `e` that starts first at or after `start` (and at or
    // before `last_start`); -1 for none.
    int32_t search(const PreparedExpression& e, int32_t start, int32_t last_start, int32_t* match_start) {
        if (e.alternation) return search_alternatives(e, start, last_start, match_start, false);
        if (e.count == 0) return -1;
        for (int32_t p = start; p <= last_start; ++p) {
            p = next_start(e, p, last_start);
            if (p > last_start) break;
            if (program_.has_backreference) clear_groups(1, program_.group_count);
            const int32_t end = sequence(e, 0, p);
            if (end >= 0) {
                *match_start = p;
                return end;
            }
        }
        return -1;
    }

    // The match of `e` that starts exactly at `start` (the sticky search).
    int32_t search_here(const PreparedExpression& e, int32_t start, int32_t* match_start) {
        *match_start = start;
        if (e.alternation) return search_alternatives(e, start, start, match_start, true);
        if (e.count == 0) return -1;
        return sequence(e, 0, start);
    }

private:
    void tick() {
        if (++r_.steps > memo_after_) {
            if (r_.steps > REGEX_STEP_LIMIT) raise_runtime_error(4810, "正規表現の照合が複雑すぎます");
            memo_on_ = memo_allowed_;
        }
    }
    void tick(uint64_t n) {
        r_.steps += n;
        tick();
    }

    void clear_groups(uint32_t first, uint32_t last) {
        for (uint32_t g = first; g <= last; ++g) spans_[2 * g] = spans_[2 * g + 1] = -1;
    }
    void clear_groups_of(const PreparedExpression& e) {
        if (e.groups_first <= e.groups_last) clear_groups(e.groups_first, e.groups_last);
    }

    // ---- alternation ------------------------------------------------------------------

    // The alternative whose match starts first wins; on equal starts the
    // earlier one. Groups of the others are cleared.
    int32_t search_alternatives(const PreparedExpression& e, int32_t start, int32_t last_start, int32_t* match_start,
                                bool here) {
        int32_t best_end = -1;
        int32_t best_start = INT32_MAX;
        uint32_t winner = e.count;
        for (uint32_t i = 0; i < e.count; ++i) {
            const PreparedExpression& alternative = *e.alternatives[i];
            // A later alternative wins only by starting strictly earlier.
            const int32_t limit = winner < e.count ? best_start - 1 : last_start;
            if (limit < start) break;
            int32_t found_start = 0;
            const int32_t end = here ? search_here(alternative, start, &found_start)
                                     : search(alternative, start, limit, &found_start);
            if (end >= 0 && found_start < best_start) {
                best_end = end;
                best_start = found_start;
                winner = i;
            }
        }
        for (uint32_t i = 0; i < e.count; ++i) {
            if (i != winner) clear_groups_of(*e.alternatives[i]);
        }
        if (winner == e.count) return -1;
        *match_start = best_start;
        return best_end;
    }

    // The match of `e` that starts exactly at p, as a group takes it.
    int32_t anchored(const PreparedExpression& e, int32_t p) {
        check_stack_room();
        if (!e.alternation) return sequence(e, 0, p);
        for (uint32_t i = 0; i < e.count; ++i) {
            const int32_t end = sequence(*e.alternatives[i], 0, p);
            if (end >= 0) {
                for (uint32_t j = i + 1; j < e.count; ++j) clear_groups_of(*e.alternatives[j]);
                return end;
            }
            clear_groups_of(*e.alternatives[i]);
        }
        return -1;
    }

    // ---- where a search may start ---------------------------------------------------

    int32_t next_start(const PreparedExpression& e, int32_t p, int32_t last_start) {
        if (e.start == PreparedExpression::START_ANYWHERE) return p;
        const PreparedTerm& t = *e.first;
        switch (e.start) {
            case PreparedExpression::START_UNIT: {
                // Positions below `limit` lie inside the subject and the range.
                const int32_t limit = std::min(n_, last_start + 1);
                const int32_t q = find_unit(s_, p, limit, t.unit);
                return q < limit ? q : last_start + 1;
            }
            case PreparedExpression::START_SET:
                while (p <= last_start && !(p < n_ && qualifies(t, s_[p]))) ++p;
                return p;
            case PreparedExpression::START_LINE:
                if (p == 0) return 0;
                if (!multiline_) return last_start + 1;
                while (p <= last_start && s_[p - 1] != '\n') ++p;
                return p;
            default:
                return p;
        }
    }

    // ---- one term ---------------------------------------------------------------------

    bool qualifies(const PreparedTerm& t, uint16_t u) const {
        switch (t.kind) {
            case TERM_CHARACTER: return u == t.unit;
            case TERM_CLASS:
            case TERM_NEGATED_CLASS: return in_set(*t.set, u);
            case TERM_WORD: return is_word_unit(u);
            case TERM_NOT_WORD: return !is_word_unit(u);
            case TERM_DIGIT: return u >= '0' && u <= '9';
            case TERM_NOT_DIGIT: return !(u >= '0' && u <= '9');
            case TERM_SPACE: return u == '\t' || u == '\n' || u == '\r' || u == ' ';
            case TERM_NOT_SPACE: return !(u == '\t' || u == '\n' || u == '\r' || u == ' ');
            case TERM_ANY_BUT_NEWLINE: return dot_all_ || (u != '\n' && u != '\r');
            default: return true;  // TERM_ANY
        }
    }

    // One repetition of t from p: its end, or -1.
    int32_t once(const PreparedTerm& t, int32_t p) {
        if (t.single_width) return p < n_ && qualifies(t, s_[p]) ? p + 1 : -1;
        switch (t.kind) {
            case TERM_LITERAL_RUN:
                if (n_ - p < int32_t(t.unit_count)) return -1;
                return std::memcmp(s_ + p, t.units, size_t(t.unit_count) * 2) == 0 ? p + int32_t(t.unit_count) : -1;
            case TERM_LINE_START:
                return p == 0 || (multiline_ && s_[p - 1] == '\n') ? p : -1;
            case TERM_LINE_END:
                return p == n_ || (multiline_ && (s_[p] == '\n' || s_[p] == '\r')) ? p : -1;
            case TERM_WORD_BOUNDARY:
                return is_word_unit(s_[p - 1]) != is_word_unit(s_[p]) ? p : -1;
            case TERM_NOT_WORD_BOUNDARY:
                return is_word_unit(s_[p - 1]) == is_word_unit(s_[p]) ? p : -1;
            case TERM_BACKREFERENCE: {
                // A group that captured nothing, or only the empty text, fails it.
                if (t.number > program_.group_count) return -1;
                const int32_t from = spans_[2 * t.number];
                const int32_t to = spans_[2 * t.number + 1];
                if (from < 0 || to <= from) return -1;
                const int32_t length = to - from;
                if (n_ - p < length) return -1;
                tick(uint64_t(length) / 64);
                return std::memcmp(s_ + p, s_ + from, size_t(length) * 2) == 0 ? p + length : -1;
            }
            case TERM_GROUP: {
                const int32_t end = anchored(*t.sub, p);
                if (end < 0) {
                    clear_groups(t.groups_first, t.groups_last);
                    return -1;
                }
                spans_[2 * t.number] = p;
                spans_[2 * t.number + 1] = end;
                return end;
            }
            default: {  // TERM_NON_CAPTURING
                const int32_t end = anchored(*t.sub, p);
                if (end < 0 && t.groups_first <= t.groups_last) clear_groups(t.groups_first, t.groups_last);
                return end;
            }
        }
    }

    // `count` repetitions in a row (an exact count, or the single match of
    // an unquantified term).
    int32_t repeat(const PreparedTerm& t, int32_t p, uint32_t count) {
        if (count == 1) return once(t, p);
        if (t.single_width) {
            if (int64_t(n_) - p < int64_t(count)) return -1;
            for (uint32_t i = 0; i < count; ++i) {
                if (!qualifies(t, s_[p + int32_t(i)])) return -1;
            }
            tick(count / 64);
            return p + int32_t(count);
        }
        for (uint32_t i = 0; i < count; ++i) {
            tick();
            const int32_t end = once(t, p);
            if (end < 0) return -1;
            if (end == p) return p;  // the rest repeat the same empty match
            p = end;
        }
        return p;
    }

    // ---- lookarounds ------------------------------------------------------------------

    bool ahead_holds(const PreparedTerm& t, int32_t end) {
        const bool matched = anchored(*t.look, end) >= 0;
        if (t.lookaround == LOOK_AHEAD) return matched;
        clear_groups_of(*t.look);
        return !matched;
    }

    // Preceded by X: some match of X, tried from the earliest start X's
    // width allows, ends exactly at p.
    bool behind_holds(const PreparedTerm& t, int32_t p) {
        const PreparedExpression& x = *t.look;
        bool found = false;
        if (uint32_t(p) >= x.min_width) {
            const int32_t last = p - int32_t(x.min_width);
            const int32_t first = x.max_width >= uint32_t(p) ? 0 : p - int32_t(x.max_width);
            for (int32_t from = first; from <= last && !found; ++from) {
                tick();
                found = anchored(x, from) == p;
            }
        }
        if (t.lookaround == LOOK_BEHIND) return found;
        clear_groups_of(x);
        return !found;
    }

    // ---- sequences --------------------------------------------------------------------

    // Terms k and on of `e`, matched from p: the end of the sequence, or -1.
    int32_t sequence(const PreparedExpression& e, uint32_t k, int32_t p) {
        const bool memo = memo_on_ && e.memo_slot != NO_MEMO;
        const uint32_t entry_k = k;
        const int32_t entry_p = p;
        if (memo && k < e.count && r_.memo.test(e.memo_slot + k, p)) return -1;
        while (k < e.count) {
            const PreparedTerm& t = e.terms[k];
            tick();
            if (t.lookbehind_guarded && !behind_holds(t, p)) break;
            if (t.quantified) {
                const int32_t end = repetition(e, k, p, memo);
                if (end < 0 && memo && k != entry_k) r_.memo.set(e.memo_slot + entry_k, entry_p);
                return end;
            }
            const int32_t end = repeat(t, p, t.min);
            if (end < 0) break;
            if ((t.lookaround == LOOK_AHEAD || t.lookaround == LOOK_NOT_AHEAD) && !ahead_holds(t, end)) break;
            p = end;
            ++k;
        }
        if (k == e.count) return p;
        if (memo) r_.memo.set(e.memo_slot + entry_k, entry_p);
        return -1;
    }

    // The run of units from p that t qualifies for, at most `limit` long;
    // unbounded runs are remembered for the positions inside them.
    uint32_t run_length(const PreparedTerm& t, int32_t p, uint32_t limit) {
        if (limit != UNBOUNDED_COUNT) {
            const int32_t stop = int32_t(std::min<int64_t>(n_, int64_t(p) + limit));
            int32_t q = p;
            while (q < stop && qualifies(t, s_[q])) ++q;
            tick(uint64_t(q - p) / 64);
            return uint32_t(q - p);
        }
        RunEntry& run = r_.runs[t.id];
        const bool known = run.search == r_.search_number;
        if (!known || p < run.start || p > run.end) {
            // A scan that reaches the run already known ends where it ends.
            const bool joins = known && p < run.start;
            int32_t q = p;
            while (q < n_ && !(joins && q == run.start) && qualifies(t, s_[q])) ++q;
            tick(uint64_t(q - p) / 64);
            run = RunEntry{r_.search_number, p, joins && q == run.start ? run.end : q};
        }
        return uint32_t(run.end - p);
    }

    // Term k of `e` (quantified) at p, then the rest of the sequence.
    int32_t repetition(const PreparedExpression& e, uint32_t k, int32_t p, bool memo) {
        check_stack_room();
        const PreparedTerm& t = e.terms[k];
        const uint32_t slot = memo ? e.memo_slot + k : 0;
        if (memo && k != 0 && r_.memo.test(slot, p)) return -1;
        const uint32_t low = t.min;
        // From an end e_j of a repetition, the term's choices are a subset
        // of its choices from p (those from count j on), and reach at least
        // as far, unless the walk from p stopped at the maximum count.
        const bool skip_known = memo && !t.lookbehind_guarded;
        const bool ahead = t.lookaround == LOOK_AHEAD || t.lookaround == LOOK_NOT_AHEAD;
        const bool rerun = t.groups_first <= t.groups_last;

        // The reachable ends: p + c for single-width terms, else a list.
        uint32_t reach = 0;       // highest count walked
        uint32_t last_count = 0;  // highest count tried as a candidate
        bool repeats_empty = false;
        bool stopped_early = false;  // at an end known to fail
        bool at_maximum = false;     // the walk stopped at the maximum, not by a failure
        const size_t base = r_.positions.size();
        if (t.single_width) {
            reach = run_length(t, p, t.max);
            last_count = reach;
            at_maximum = reach == t.max && p + int32_t(reach) < n_ && qualifies(t, s_[p + int32_t(reach)]);
            if (skip_known && reach > 0) {
                const int32_t known = r_.memo.first_set(slot, p + 1, p + int32_t(reach));
                if (known >= 0) last_count = std::min(reach, uint32_t(known - p) - 1 + low);
                stopped_early = last_count < reach;
            }
        } else {
            r_.positions.push_back(p);
            uint32_t limit = t.max;
            int32_t at = p;
            bool failed = false;
            while (reach < limit) {
                tick();
                const int32_t end = once(t, at);
                if (end < 0) {
                    failed = true;
                    break;
                }
                ++reach;
                r_.positions.push_back(end);
                if (end == at) {
                    repeats_empty = true;
                    break;
                }
                at = end;
                if (skip_known && r_.memo.test(slot, end)) limit = std::min(limit, std::max(reach, reach - 1 + low));
            }
            last_count = reach;
            stopped_early = !failed && !repeats_empty && limit < t.max;
            at_maximum = !failed && !repeats_empty && reach == t.max;
        }
        const bool mark_ends = skip_known && (stopped_early || !at_maximum);
        const auto end_of = [&](uint32_t count) {
            if (t.single_width) return p + int32_t(count);
            return r_.positions[base + std::min(count, reach)];
        };

        int32_t result = -1;
        // With empty repetitions every count from `reach` up ends at the same
        // place, so a minimum beyond the counts walked is still reached.
        const uint32_t first = repeats_empty ? std::min(low, reach) : low;
        // Where the rest of the sequence is memoised, ends whose rest is known
        // to fail are skipped a word of positions at a time.
        const bool skip_failed_rest = memo && t.single_width && k + 1 < e.count;
        const uint32_t rest_slot = slot + 1;
        int64_t count = t.lazy ? int64_t(first) : int64_t(last_count);
        while (count >= int64_t(first) && count <= int64_t(last_count)) {
            if (skip_failed_rest) {
                const int32_t open = t.lazy ? r_.memo.first_clear(rest_slot, p + int32_t(count), p + int32_t(last_count))
                                            : r_.memo.last_clear(rest_slot, p + int32_t(first), p + int32_t(count));
                if (open < 0) break;
                count = open - p;
            }
            const uint32_t c = uint32_t(count);
            count += t.lazy ? 1 : -1;
            const int32_t q = end_of(c);
            tick();
            if (ahead && !ahead_holds(t, q)) continue;
            if (rerun) {
                // The groups inside keep what the chosen last repetition captured.
                if (c == 0) {
                    clear_groups(t.groups_first, t.groups_last);
                } else {
                    once(t, end_of(c - 1));
                }
            }
            result = sequence(e, k + 1, q);
            if (result >= 0) break;
        }
        if (result < 0 && memo) {
            r_.memo.set(slot, p);
            if (mark_ends) {
                if (t.single_width) {
                    if (reach > 0) r_.memo.set_range(slot, p + 1, p + int32_t(reach));
                } else {
                    for (uint32_t c = 1; c <= reach; ++c) r_.memo.set(slot, r_.positions[base + c]);
                }
            }
        }
        r_.positions.resize(base);
        return result;
    }

    const Program& program_;
    RegexState& r_;
    const uint16_t* s_;
    int32_t n_;
    bool multiline_;
    bool dot_all_;
    // The memory of failed continuations costs more than it saves on a
    // search that does no more work than a few passes over the subject, so
    // it is taken up once a search has gone beyond that.
    static constexpr uint64_t MEMO_AFTER_PER_UNIT = 8;
    static constexpr uint64_t MEMO_AFTER_STEPS = 4096;
    static constexpr uint64_t MEMO_AFTER_LIMIT = 1000000;
    bool memo_allowed_;
    bool memo_on_;
    uint64_t memo_after_;
    int32_t* spans_;
};

// Forgets the memo however the search ends.
struct SearchScope {
    explicit SearchScope(const Program& program, uint32_t length) : memo(program.memo_slots != 0) {
        RegexState& r = g_regex;
        r.steps = 0;
        ++r.search_number;
        if (r.runs.size() < program.term_count) r.runs.resize(program.term_count, RunEntry{0, 0, 0});
        if (memo) r.memo.begin(program.memo_slots, length);
    }
    ~SearchScope() {
        if (memo) g_regex.memo.end();
        g_regex.positions.clear();
    }
    SearchScope(const SearchScope&) = delete;
    SearchScope& operator=(const SearchScope&) = delete;
    bool memo;
};

// Capture spans also go into the capturing-group terms, where they fit.
void write_spans(const Program& program, bool matched) {
    for (uint32_t g = 1; g <= program.group_count; ++g) {
        uint8_t* term = program.group_terms[g];
        if (term == nullptr) continue;
        int32_t from = g_regex.spans[2 * g];
        int32_t to = g_regex.spans[2 * g + 1];
        if (!matched || from < 0 || to > int32_t(REGEX_UNBOUNDED)) from = to = 0;
        store_u16(term + TERM_MIN_OFFSET, static_cast<uint16_t>(from));
        store_u16(term + TERM_MAX_OFFSET, static_cast<uint16_t>(to));
    }
}

}  // namespace

int32_t regex_search(const RegexSubject& subject, uint32_t start, Value compiled, int32_t* match_start,
                     uint8_t flags) {
    RegexState& r = g_regex;
    r.matched = false;
    *match_start = -1;
    const Program& program = program_of(compiled);
    const size_t span_count = 2 * (size_t(program.group_count) + 1);
    r.spans.assign(span_count, -1);
    r.matched_value = compiled;
    if (start >= subject.length) {
        write_spans(program, false);
        return -1;
    }
    const uint16_t* s = (flags & REGEX_IGNORE_CASE) && subject.folded != nullptr ? subject.folded : subject.units;
    const int32_t n = static_cast<int32_t>(subject.length);
    int32_t end = -1;
    {
        SearchScope scope(program, subject.length);
        Matcher matcher(program, s, n, flags);
        end = (flags & REGEX_STICKY) ? matcher.search_here(*program.root, int32_t(start), match_start)
                                     : matcher.search(*program.root, int32_t(start), n, match_start);
    }
    if (end < 0) {
        *match_start = -1;
        write_spans(program, false);
        return -1;
    }
    r.spans[0] = *match_start;
    r.spans[1] = end;
    r.matched = true;
    write_spans(program, true);
    return end;
}

bool regex_capture(uint32_t group, int32_t* start, int32_t* end) {
    const RegexState& r = g_regex;
    if (!r.matched || 2 * size_t(group) + 1 >= r.spans.size() || r.spans[2 * group] < 0) return false;
    *start = r.spans[2 * group];
    *end = r.spans[2 * group + 1];
    return true;
}

}  // namespace kova

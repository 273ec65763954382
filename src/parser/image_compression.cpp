// The zero-suppressing code of compiled module bodies (the loader's
// expand_body reads it). An image is mostly zeros: unused cell words, the
// high bytes of small numbers, the free tails of permanent blocks. The
// code has a byte for one zero (0), codes for two and three zeros, a run
// code with a count, and a dictionary of codes that stand for a byte
// followed by up to four zeros, or for up to 252 zeros followed by a byte.
//
// The codes are chosen from the body's byte statistics: the rarest bytes
// become the run and zero codes (a code byte met as data costs an escape),
// bytes that never occur become dictionary codes with a fixed count (they
// have no escape), and the most frequent (byte, zeros) patterns get them.
// The stream is then the shortest encoding under those codes, found by a
// backward pass over the body.
#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "parser/image_writer.h"

namespace kova {

namespace {

constexpr uint32_t RUN_LIMIT = 255;       // R n: n zeros
constexpr uint32_t TRAILING_LIMIT = 4;    // a byte and up to 4 zeros
constexpr uint32_t LEADING_LIMIT = 252;   // up to 252 zeros and a byte (count n - 3)
constexpr uint32_t LEADING_BIAS = 3;
constexpr uint8_t COUNT_ESCAPE = 254;     // a counted code then 254: the code byte itself
constexpr uint32_t DICTIONARY_LIMIT = 255;
constexpr uint32_t UNREACHABLE = UINT32_MAX / 2;

// Bytes needed for z zeros with the zero and run codes alone.
uint32_t zero_cost(uint32_t z) {
    if (z == 0) return 0;
    if (z <= 3) return 1;
    return 2 * ((z + RUN_LIMIT - 1) / RUN_LIMIT);
}

struct Statistics {
    std::array<uint64_t, 256> frequency{};
    // trailing[v][t]: byte v followed by exactly t zeros (t cut at 255).
    std::vector<std::array<uint32_t, 256>> trailing = std::vector<std::array<uint32_t, 256>>(256);
    // leading[v][m]: exactly m zeros (2 to 252) and then byte v.
    std::vector<std::array<uint32_t, LEADING_LIMIT + 1>> leading =
        std::vector<std::array<uint32_t, LEADING_LIMIT + 1>>(256);
};

Statistics gather(const std::vector<uint8_t>& body, const std::vector<uint32_t>& zeros_at) {
    Statistics s;
    const size_t n = body.size();
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = body[i];
        ++s.frequency[b];
        if (b == 0) continue;
        const uint32_t after = i + 1 < n ? zeros_at[i + 1] : 0;
        if (after != 0) ++s.trailing[b][std::min<uint32_t>(after, 255)];
    }
    // Zero runs and the byte after them.
    for (size_t i = 0; i < n;) {
        if (body[i] != 0) {
            ++i;
            continue;
        }
        const uint32_t m = zeros_at[i];
        if (i + m < n && m >= 2 && m <= LEADING_LIMIT) ++s.leading[body[i + m]][m];
        i += m;
    }
    return s;
}

// The codes of one body and how each byte is written.
struct Codes {
    uint8_t run = 0;
    uint8_t zero[3] = {0, 0, 0};  // one, two, three zeros
    std::vector<uint8_t> code;    // fixed-count entries first
    std::vector<uint8_t> value;
    std::vector<uint8_t> count;   // of the fixed-count entries
    // Lookups: -1 when there is no such entry.
    std::vector<std::array<int16_t, TRAILING_LIMIT + 1>> fixed_trailing;
    std::vector<std::array<int16_t, LEADING_LIMIT + 1>> fixed_leading;
    std::vector<std::vector<uint8_t>> leading_lengths;  // the m of each fixed leading entry of a byte
    std::array<int16_t, 256> counted{};   // code of the counted entry of a byte
    std::array<uint8_t, 256> escape{};    // extra bytes to write the byte as data
    std::array<bool, 256> taken{};

    Codes() : fixed_trailing(256), fixed_leading(256), leading_lengths(256) {
        for (auto& row : fixed_trailing) row.fill(-1);
        for (auto& row : fixed_leading) row.fill(-1);
        counted.fill(-1);
    }
};

struct Candidate {
    uint64_t benefit;
    uint8_t value;
    uint8_t count;  // 1-4 trailing zeros, or leading zeros + 3
};

// Fixed-count patterns by the bytes they would save, best first.
std::vector<Candidate> fixed_candidates(const Statistics& s) {
    std::vector<Candidate> out;
    for (uint32_t v = 1; v < 256; ++v) {
        for (uint32_t k = 1; k <= TRAILING_LIMIT; ++k) {
            uint64_t benefit = 0;
            for (uint32_t t = k; t < 256; ++t) benefit += uint64_t(s.trailing[v][t]) * (zero_cost(t) - zero_cost(t - k));
            if (benefit > 0) out.push_back({benefit, uint8_t(v), uint8_t(k)});
        }
        for (uint32_t m = 2; m <= LEADING_LIMIT; ++m) {
            const uint64_t benefit = uint64_t(s.leading[v][m]) * zero_cost(m);
            if (benefit > 0) out.push_back({benefit, uint8_t(v), uint8_t(m + LEADING_BIAS)});
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) { return a.benefit > b.benefit; });
    return out;
}

// Bytes a counted entry of v would save: a byte and four zeros, or four
// to 252 zeros and the byte, in two bytes instead of three.
uint64_t counted_benefit(const Statistics& s, uint32_t v) {
    uint64_t benefit = s.trailing[v][4];
    for (uint32_t m = 4; m <= LEADING_LIMIT; ++m) {
        if (m + LEADING_BIAS != COUNT_ESCAPE) benefit += s.leading[v][m];
    }
    return benefit;
}

Codes choose_codes(const Statistics& s) {
    Codes c;
    std::vector<uint8_t> rare;  // 1-255, rarest first
    for (uint32_t b = 1; b < 256; ++b) rare.push_back(uint8_t(b));
    std::stable_sort(rare.begin(), rare.end(),
                     [&](uint8_t a, uint8_t b) { return s.frequency[a] < s.frequency[b]; });
    size_t next = 0;
    auto take = [&]() {
        const uint8_t b = rare[next++];
        c.taken[b] = true;
        return b;
    };
    c.run = take();
    c.zero[2] = take();
    c.zero[1] = take();

    // Bytes that never occur carry the fixed-count entries. One of them, or
    // else the rarest byte left, is the code of one zero (a plain 0 says
    // the same, so it is never used).
    std::vector<uint8_t> absent;
    for (size_t i = next; i < rare.size() && s.frequency[rare[i]] == 0; ++i) absent.push_back(rare[i]);
    const std::vector<Candidate> candidates = fixed_candidates(s);
    const size_t wanted = std::min<size_t>(candidates.size(), DICTIONARY_LIMIT);
    size_t fixed = std::min(wanted, absent.size());
    if (fixed == absent.size() && fixed > 0) {
        const size_t present = next + absent.size();
        const bool rare_present = present < rare.size();
        // Give up the least useful entry only if that costs less than
        // escaping the rarest byte that does occur.
        if (!rare_present || candidates[fixed - 1].benefit < s.frequency[rare[present]]) --fixed;
    }
    if (fixed < absent.size()) {
        c.zero[0] = absent[fixed];
    } else {
        c.zero[0] = rare[next + absent.size()];
    }
    c.taken[c.zero[0]] = true;
    for (size_t k = 0; k < fixed; ++k) {
        const Candidate& e = candidates[k];
        const uint8_t code = absent[k];
        c.taken[code] = true;
        c.code.push_back(code);
        c.value.push_back(e.value);
        c.count.push_back(e.count);
        if (e.count <= TRAILING_LIMIT) {
            c.fixed_trailing[e.value][e.count] = int16_t(c.code.size() - 1);
        } else {
            c.fixed_leading[e.value][e.count - LEADING_BIAS] = int16_t(c.code.size() - 1);
            c.leading_lengths[e.value].push_back(uint8_t(e.count - LEADING_BIAS));
        }
    }

    // Counted entries on the rarest codes left, while they save more than
    // the escapes of their code byte cost.
    std::vector<std::pair<uint64_t, uint8_t>> counted;
    for (uint32_t v = 1; v < 256; ++v) {
        const uint64_t benefit = counted_benefit(s, v);
        if (benefit > 0) counted.emplace_back(benefit, uint8_t(v));
    }
    std::stable_sort(counted.begin(), counted.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    size_t code_at = 0;
    for (const auto& [benefit, v] : counted) {
        if (c.code.size() == DICTIONARY_LIMIT) break;
        while (code_at < rare.size() && c.taken[rare[code_at]]) ++code_at;
        if (code_at == rare.size()) break;
        const uint8_t code = rare[code_at];
        if (benefit <= s.frequency[code] + 2) break;  // the two dictionary bytes count too
        c.taken[code] = true;
        c.code.push_back(code);
        c.value.push_back(v);
        c.counted[v] = int16_t(c.code.size() - 1);
    }

    c.escape[c.run] = 1;
    for (uint8_t z : c.zero) c.escape[z] = 1;
    for (size_t k = c.count.size(); k < c.code.size(); ++k) c.escape[c.code[k]] = 1;
    return c;
}

// ---- the shortest stream ---------------------------------------------------

enum Op : uint8_t {
    OP_ZERO,              // 0
    OP_TWO_ZEROS,         // Z2
    OP_THREE_ZEROS,       // Z3
    OP_RUN,               // R n
    OP_LITERAL,           // the byte, escaped when it is a code
    OP_FIXED_TRAILING,    // code: byte then zeros
    OP_COUNTED_TRAILING,  // code n: byte then n zeros
    OP_FIXED_LEADING,     // code: zeros then byte
    OP_COUNTED_LEADING,   // code n: n - 3 zeros then byte
};

struct Step {
    uint32_t cost;    // bytes from here to the end
    uint16_t length;  // body bytes this step covers
    Op op;
    uint8_t first;    // the step's first stream byte
};

class Encoder {
public:
    Encoder(const std::vector<uint8_t>& body, const std::vector<uint32_t>& zeros_at, const Codes& codes)
        : body_(body), zeros_at_(zeros_at), c_(codes), steps_(body.size() + 1) {}

    std::vector<uint8_t> encode() {
        const size_t n = body_.size();
        steps_[n] = Step{0, 0, OP_ZERO, 0};
        for (size_t i = n; i-- > 0;) steps_[i] = body_[i] == 0 ? best_for_zeros(i) : best_for_byte(i);
        std::vector<uint8_t> out;
        out.reserve(steps_[0].cost);
        for (size_t i = 0; i < n; i += steps_[i].length) emit(i, &out);
        return out;
    }

private:
    void consider(Step* best, size_t to, uint32_t bytes, Op op, uint8_t first) {
        const uint32_t cost = steps_[to].cost + bytes;
        if (cost < best->cost) *best = Step{cost, uint16_t(to - position_), op, first};
    }

    Step best_for_zeros(size_t i) {
        position_ = i;
        const uint32_t z = zeros_at_[i];
        Step best{UNREACHABLE, 0, OP_ZERO, 0};
        consider(&best, i + 1, 1, OP_ZERO, 0);
        // A zero code followed by the same code byte would read as that
        // byte written twice.
        if (z >= 2 && steps_[i + 2].first != c_.zero[1]) consider(&best, i + 2, 1, OP_TWO_ZEROS, c_.zero[1]);
        if (z >= 3 && steps_[i + 3].first != c_.zero[2]) consider(&best, i + 3, 1, OP_THREE_ZEROS, c_.zero[2]);
        auto run = [&](uint32_t k) {
            if (k >= 1 && k <= RUN_LIMIT && k <= z) consider(&best, i + k, 2, OP_RUN, c_.run);
        };
        run(std::min(z, RUN_LIMIT));
        if (i + z < body_.size()) {
            // The zeros up to the next byte in one dictionary code, or a run
            // that leaves exactly as many as a fixed entry takes.
            const uint8_t v = body_[i + z];
            for (const uint8_t m : c_.leading_lengths[v]) {
                if (m < z) run(z - m);
            }
            if (c_.counted[v] >= 0 && z > LEADING_LIMIT) run(z - LEADING_LIMIT);
            if (z >= 2 && z <= LEADING_LIMIT) {
                const int16_t fixed = c_.fixed_leading[v][z];
                if (fixed >= 0) consider(&best, i + z + 1, 1, OP_FIXED_LEADING, c_.code[size_t(fixed)]);
                const int16_t counted = c_.counted[v];
                if (counted >= 0 && z + LEADING_BIAS != COUNT_ESCAPE) {
                    consider(&best, i + z + 1, 2, OP_COUNTED_LEADING, c_.code[size_t(counted)]);
                }
            }
        }
        return best;
    }

    Step best_for_byte(size_t i) {
        position_ = i;
        const uint8_t v = body_[i];
        Step best{UNREACHABLE, 0, OP_ZERO, 0};
        consider(&best, i + 1, 1u + c_.escape[v], OP_LITERAL, v);
        const uint32_t after = i + 1 < body_.size() ? zeros_at_[i + 1] : 0;
        for (uint32_t k = 1; k <= TRAILING_LIMIT && k <= after; ++k) {
            const int16_t fixed = c_.fixed_trailing[v][k];
            if (fixed >= 0) consider(&best, i + 1 + k, 1, OP_FIXED_TRAILING, c_.code[size_t(fixed)]);
            if (c_.counted[v] >= 0) consider(&best, i + 1 + k, 2, OP_COUNTED_TRAILING, c_.code[size_t(c_.counted[v])]);
        }
        return best;
    }

    static void pair(std::vector<uint8_t>* out, uint8_t code, uint8_t count) {
        out->push_back(code);
        out->push_back(count);
    }

    void emit(size_t i, std::vector<uint8_t>* out) const {
        const Step& s = steps_[i];
        switch (s.op) {
            case OP_ZERO:
            case OP_TWO_ZEROS:
            case OP_THREE_ZEROS:
            case OP_FIXED_TRAILING:
            case OP_FIXED_LEADING: out->push_back(s.first); return;
            case OP_RUN: pair(out, c_.run, uint8_t(s.length)); return;
            case OP_COUNTED_TRAILING: pair(out, s.first, uint8_t(s.length - 1)); return;
            case OP_COUNTED_LEADING: pair(out, s.first, uint8_t(s.length - 1 + LEADING_BIAS)); return;
            case OP_LITERAL: {
                const uint8_t v = s.first;
                out->push_back(v);
                if (c_.escape[v] == 0) return;
                if (v == c_.run) {
                    out->push_back(0);
                } else if (v == c_.zero[0] || v == c_.zero[1] || v == c_.zero[2]) {
                    out->push_back(v);
                } else {
                    out->push_back(COUNT_ESCAPE);
                }
                return;
            }
        }
    }

    const std::vector<uint8_t>& body_;
    const std::vector<uint32_t>& zeros_at_;
    const Codes& c_;
    std::vector<Step> steps_;
    size_t position_ = 0;
};

}  // namespace

std::vector<uint8_t> compress_body(const std::vector<uint8_t>& body) {
    const size_t n = body.size();
    std::vector<uint32_t> zeros_at(n + 1, 0);  // zeros starting at each position
    for (size_t i = n; i-- > 0;) zeros_at[i] = body[i] == 0 ? zeros_at[i + 1] + 1 : 0;
    const Codes codes = choose_codes(gather(body, zeros_at));

    std::vector<uint8_t> out;
    out.push_back(codes.run);
    for (const uint8_t z : codes.zero) out.push_back(z);
    out.push_back(uint8_t(codes.count.size()));
    out.push_back(uint8_t(codes.code.size()));
    out.insert(out.end(), codes.code.begin(), codes.code.end());
    out.insert(out.end(), codes.value.begin(), codes.value.end());
    out.insert(out.end(), codes.count.begin(), codes.count.end());
    const std::vector<uint8_t> stream = Encoder(body, zeros_at, codes).encode();
    out.insert(out.end(), stream.begin(), stream.end());
    return out;
}

}  // namespace kova

// The facts of a whole text, and which facts a text holds verbatim: the count of facts.seen and the span's
// facts that the messages kept after it mention again.
#pragma once

#include "recognise.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace facts {

/// A stretch of a buffer of code points.
struct Piece {
    std::size_t start = 0;
    std::size_t length = 0;
};

/// Appends the facts of every line of `buffer[piece]`: tokens, the error
/// line, and a user's constraints; offsets are counted in `buffer`.
inline void find_in(View buffer, Piece piece, bool user, std::vector<Found> &found) {
    const View all = buffer.substr(piece.start, piece.length);
    std::size_t start = 0;
    while (start <= all.size()) {
        std::size_t end = all.find(U'\n', start);
        if (end == View::npos) end = all.size();
        const View line = all.substr(start, end - start);
        const std::size_t base = piece.start + start;
        find_tokens(line, base, found);
        if (is_error_line(line)) {
            const Found fact = line_fact(line, base, kErrors);
            if (fact.length) found.push_back(fact);
        }
        if (user) find_constraints(line, base, found);
        start = end + 1;
    }
}

/// Which facts a text holds verbatim, without searching the whole text for
/// each: the positions of the text's runs of four code points are chained by
/// their hash, and a fact of four or more is looked for only where its
/// rarest run stands; the text's runs of two and of three ASCII characters
/// are kept in tables of bits, which answer for a shorter fact of ASCII
/// (5%, 3ms) at once. The text must outlive the Holder.
class Holder {
public:
    explicit Holder(View text) : text_(text), pairs_(kPairs / 64, 0), triples_(kTriples / 64, 0) {
        for (std::size_t i = 0; i + 1 < text.size(); ++i) {
            const Char a = text[i], b = text[i + 1];
            if (a >= 128 || b >= 128) continue;
            set(pairs_, a << 7 | b);
            if (i + 2 < text.size() && text[i + 2] < 128) set(triples_, (a << 7 | b) << 7 | text[i + 2]);
        }
        // Past 2^32 code points positions no longer fit: longer facts are searched for.
        if (text.size() < std::numeric_limits<std::uint32_t>::max()) quads_.build(text);
    }

    bool holds(View fact) const {
        if (fact.size() >= 4 && text_.size() < std::numeric_limits<std::uint32_t>::max()) {
            return fact.size() <= text_.size() && quads_.holds(text_, fact);
        }
        if (fact.size() == 2 && fact[0] < 128 && fact[1] < 128) return get(pairs_, fact[0] << 7 | fact[1]);
        if (fact.size() == 3 && fact[0] < 128 && fact[1] < 128 && fact[2] < 128) {
            return get(triples_, (fact[0] << 7 | fact[1]) << 7 | fact[2]);
        }
        return text_.find(fact) != View::npos;
    }

private:
    static constexpr std::size_t kPairs = std::size_t{1} << 14, kTriples = std::size_t{1} << 21;

    static void set(std::vector<std::uint64_t> &bits, std::size_t k) { bits[k / 64] |= std::uint64_t{1} << (k % 64); }
    static bool get(const std::vector<std::uint64_t> &bits, std::size_t k) { return bits[k / 64] >> (k % 64) & 1; }

    /// The slot of the run of four code points at `run` (at least four).
    static std::size_t slot_of(const Char *run, std::size_t mask) {
        const std::uint64_t key = (std::uint64_t{run[0]} << 42) ^ (std::uint64_t{run[1]} << 28) ^
                                  (std::uint64_t{run[2]} << 14) ^ run[3];
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 32) & mask;
    }

    /// The positions of a text's runs of four code points, chained by the
    /// slot of their hash (the newest first), with each slot's count.
    struct Index {
        struct Slot {
            std::uint32_t newest = kNone, count = 0;
        };
        static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
        std::size_t mask = 0;
        std::vector<Slot> slots;
        std::vector<std::uint32_t> older;  // per position, the one before it in its slot's chain

        void build(View text) {
            if (text.size() < 4) return;
            const std::size_t runs = text.size() - 3;
            // A slot for about four runs: a table of one per run missed the
            // cache at every run of a long text, and a chain is walked only
            // for a fact's rarest run.
            std::size_t n = 16;
            while (4 * n < runs) n *= 2;
            mask = n - 1;
            slots.assign(n, {});
            older.resize(runs);
            for (std::size_t i = 0; i < runs; ++i) {
                Slot &slot = slots[slot_of(text.data() + i, mask)];
                older[i] = slot.newest;
                slot.newest = static_cast<std::uint32_t>(i);
                ++slot.count;
            }
        }

        /// Whether `text` holds `fact` (four code points or more, no longer than `text`).
        bool holds(View text, View fact) const {
            if (slots.empty()) return false;
            // The run of the fact that the text holds least often.
            std::size_t best = 0;
            const Slot *fewest = nullptr;
            for (std::size_t off = 0; off + 4 <= fact.size(); ++off) {
                const Slot &slot = slots[slot_of(fact.data() + off, mask)];
                if (slot.count == 0) return false;
                if (!fewest || slot.count < fewest->count) fewest = &slot, best = off;
            }
            for (std::uint32_t p = fewest->newest; p != kNone; p = older[p]) {
                if (p >= best && p - best + fact.size() <= text.size() && text.substr(p - best, fact.size()) == fact) {
                    return true;
                }
            }
            return false;
        }
    };

    View text_;
    std::vector<std::uint64_t> pairs_, triples_;  // per run of two (of three) ASCII characters, whether the text holds it
    Index quads_;
};

}  // namespace facts

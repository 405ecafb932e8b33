// The lines of a span, their facts, and the choice of the lines a budget keeps: the story first, then facts.
#include "select.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <queue>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace facts {
namespace {

enum UnitKind : int { kPlain = 0, kCall = 1, kErrorLine = 2, kConstraintLine = 3 };
/// What a line is worth besides its new facts: a command run, an error line
/// (its command comes with it) and a user's constraint.
constexpr double kBonus[] = {0.0, 1.0, 1.0, 2.0};
/// What a fact of each category is worth (Category's order). URLs, paths
/// and error lines are fewer than identifiers and numbers and say more per
/// fact: where one is, the file, the page and the failure the summary names.
constexpr float kCategoryWeight[kCategories] = {1.5f, 2.0f, 1.0f, 1.0f, 2.0f, 2.0f};
/// What a fact that the messages kept after the span mention again is worth,
/// against one they do not: what the conversation goes on about is what its
/// summary is read for.
constexpr float kAgain = 3.0f;
/// A comment's or a default's facts and bonus, against a line that a
/// command set or printed.
constexpr double kQuietWeight = 0.25;
/// Added to every cost in the ratio, so that a short line with one fact does
/// not win over a line with many by its shortness alone.
constexpr double kCostFloor = 8.0;
/// Longest run of lines valued as one choice: a marker costs about as much
/// as a short line, and past a few lines the one it saves no longer changes
/// which run leads.
constexpr int kRunBound = 4;
/// What a listed value is taken to add besides its text when a fold's line
/// is valued with its values: the ", " before it, and about half the time
/// the "…, " of values left out.
constexpr double kValueCost = 4.0;
/// Shortest line (without the white space around it) that is carried once
/// when repeated: a shorter one ("}", "ok") costs about what its marker does.
constexpr std::size_t kRepeatFloor = 6;
/// Longest rest of a line kept with its opening sentence when the story
/// does not fit its share: a clause after the first sentence, not a paragraph.
constexpr std::int64_t kOpeningRest = 60;
/// The users' part of the story's share when the story does not fit it:
/// what was asked comes before what the assistant said of it, and at the
/// extract's size 60 % cut the longer users' messages of the sample.
constexpr double kUserPart = 0.8;
/// Shortest run of lines of the same shape that differ (in numbers, ids,
/// stamps) made one line: three or four are as often a command's figures
/// run three times (timings, sizes) as noise.
constexpr int kShapeRun = 5;
/// How far an error line looks for the frame that names a project file.
constexpr int kFrameBack = 40, kFrameAhead = 20;

constexpr std::int64_t kKept = std::numeric_limits<std::int64_t>::min();

constexpr Char kEllipsis = U'\u2026';
constexpr Char kTimes = U'\u00d7';

std::int64_t digits(std::int64_t n) {
    std::int64_t d = 1;
    while (n >= 10) n /= 10, ++d;
    return d;
}

/// Length, with its line break, of the marker for `n` left-out lines (0: none):
/// "…(n lines)", "…(1 line)". Short, for a selection of scattered lines
/// pays one for each gap: "…(n lines omitted)" cost a tool-heavy span's
/// transcript a fifth of its budget, and the summarizer reads the same.
std::int64_t gap(std::int64_t n) { return n == 0 ? 0 : 2 + digits(n) + (n == 1 ? 6 : 7) + 1; }

/// Appends the decimal digits of `n` (0 or more).
void append_number(std::u32string &out, std::int64_t n) {
    // Written out rather than through std::to_string: std::string's members
    // come from the C++ runtime under a symbol version newer than the wheel
    // may ask for (GLIBCXX_3.4.21), where u32string's are compiled in here.
    char32_t number[20];
    int length = 0;
    do {
        number[length++] = static_cast<char32_t>(U'0' + n % 10);
        n /= 10;
    } while (n > 0);
    while (length > 0) out.push_back(number[--length]);
}

void append_marker(std::u32string &out, std::int64_t n) {
    out.push_back(kEllipsis);
    out.push_back(U'(');
    append_number(out, n);
    out.append(n == 1 ? U" line)" : U" lines)");
}

bool blank(View line) { return std::all_of(line.begin(), line.end(), is_space); }

View trimmed(View line) {
    std::size_t a = 0, b = line.size();
    while (a < b && is_space(line[a])) ++a;
    while (b > a && is_space(line[b - 1])) --b;
    return line.substr(a, b - a);
}

bool is_story(int kind) { return kind == kUser || kind == kAssistant || kind == kOther; }

/// A set of units 0 to n - 1, as bits with a word of bits over the words:
/// the selection asks it for a unit's kept neighbours on either side at every
/// cost it works out, and a tree's nodes made those asks a tenth of its time.
class UnitSet {
public:
    explicit UnitSet(int n)
        : n_(n), words_(static_cast<std::size_t>(n) / 64 + 1, 0), summary_(words_.size() / 64 + 1, 0) {}

    bool has(int u) const { return words_[u / 64] >> (u % 64) & 1; }

    void insert(int u) {
        words_[u / 64] |= std::uint64_t{1} << (u % 64);
        summary_[u / 4096] |= std::uint64_t{1} << (u / 64 % 64);
    }

    /// The smallest member from `u` on (0 <= u <= n), or n when there is none.
    int next(int u) const {
        if (u >= n_) return n_;
        std::size_t w = static_cast<std::size_t>(u) / 64;
        std::uint64_t bits = words_[w] & (~std::uint64_t{0} << (u % 64));
        if (!bits) {
            // The next word that holds a member, through the summary.
            std::size_t s = (w + 1) / 64;
            std::uint64_t marks = (w + 1) % 64 ? summary_[s] & (~std::uint64_t{0} << ((w + 1) % 64)) : summary_[s];
            while (!marks) {
                if (++s >= summary_.size()) return n_;
                marks = summary_[s];
            }
            w = s * 64 + static_cast<std::size_t>(std::countr_zero(marks));
            if (w >= words_.size()) return n_;
            bits = words_[w];
        }
        return static_cast<int>(w * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
    }

    /// The largest member before `u` (0 <= u <= n), or -1 when there is none.
    int prev(int u) const {
        if (u <= 0) return -1;
        const int last = u - 1;
        std::size_t w = static_cast<std::size_t>(last) / 64;
        std::uint64_t bits = words_[w] & (~std::uint64_t{0} >> (63 - last % 64));
        if (!bits) {
            if (w == 0) return -1;
            std::size_t s = (w - 1) / 64;
            const unsigned top = static_cast<unsigned>((w - 1) % 64);
            std::uint64_t marks = summary_[s] & (~std::uint64_t{0} >> (63 - top));
            while (!marks) {
                if (s == 0) return -1;
                marks = summary_[--s];
            }
            w = s * 64 + 63 - static_cast<std::size_t>(std::countl_zero(marks));
            bits = words_[w];
        }
        return static_cast<int>(w * 64 + 63 - static_cast<std::size_t>(std::countl_zero(bits)));
    }

private:
    int n_;
    std::vector<std::uint64_t> words_, summary_;
};

/// Which units are kept, and the exact length of the text they render to.
/// The span's units form one sequence in conversation order; every run of
/// left-out units, within a message or across messages, becomes one marker
/// line counting the span's lines they stand for; the first kept unit of
/// each message carries its header; a piece kept right after the piece
/// before it continues that one's line; the values a fold's line lists
/// follow it on its line, "…" standing for those left out:
/// ``shape (×66: a, b, …, f, …)``. `used` counts every rendered line with
/// its line break; the text is one code point shorter.
class Selection {
public:
    Selection(const Span &span, std::int64_t budget)
        : span_(span), limit_(budget + 1), units_(static_cast<std::int64_t>(span.unit_text.size())),
          kept_(static_cast<int>(span.unit_text.size())), kept_in_(span.messages.size(), 0),
          covered_(static_cast<std::size_t>(span.fact_count), 0),
          counted_(static_cast<std::size_t>(span.fact_count), 0), used_(gap(span.lines_before.back())) {}

    std::int64_t used() const { return used_; }
    std::int64_t limit() const { return limit_; }
    bool is_kept(int unit) const { return kept_.has(unit); }
    int kept_in(int message) const { return kept_in_[message]; }
    /// Whether `unit` may be kept at all: a repeat never is.
    bool eligible(int unit) const { return !span_.has(unit, kSkipped); }

    /// How much longer the text gets when `unit` is kept (less than 1 when its
    /// line is shorter than the marker it replaces); kKept when it is kept.
    std::int64_t cost(int unit) const { return cost_with(unit, nullptr, 0); }

    /// The cost of keeping all of `units` (none kept yet, distinct, in
    /// ascending order), exactly: each one's markers, label and line break
    /// are counted after the ones before it.
    std::int64_t cost_of_all(const int *units, int n) const {
        std::int64_t total = 0;
        for (int k = 0; k < n; ++k) {
            // As cost_with(units[k], units, k), without looking through the
            // ones before it again: in ascending order, the last of them is
            // the nearest, and one of the same message is the one before.
            const int unit = units[k];
            std::int64_t before = kept_.prev(unit);
            const std::int64_t after = kept_.next(unit);
            const int m = span_.unit_message[unit];
            bool labelled = kept_in_[m] != 0;
            if (k > 0) {
                before = std::max<std::int64_t>(before, units[k - 1]);
                labelled = labelled || span_.unit_message[units[k - 1]] == m;
            }
            const std::int64_t header = labelled ? 0 : static_cast<std::int64_t>(span_.messages[m].header.length);
            total += static_cast<std::int64_t>(span_.unit_text[unit].length) + header + link(before, unit) +
                     link(unit, after) - link(before, after);
        }
        return total;
    }

    /// Keeps `unit` when it may be kept and the text stays within the budget.
    bool take(int unit) {
        if (!eligible(unit) || (span_.has(unit, kListed) && !is_kept(head(unit)))) return false;
        const std::int64_t c = cost(unit);
        if (c == kKept || used_ + c > limit_) return false;
        keep(unit);
        used_ += c;
        return true;
    }

    /// A run of left-out units, with the new facts it holds (weighted, plus
    /// the bonuses of the units that bring some) and the exact cost of
    /// keeping it whole.
    struct Run {
        int first, last;
        double value;
        std::int64_t cost;
    };

    /// Of the runs of left-out units that start at `first` (left out), hold
    /// at most `bound` units, cost at most `room`, hold no repeat and no unit
    /// after the first for which `stop(first, unit)` holds, the one with the
    /// most new facts per code point of cost (a fact held by two of its units
    /// counts once); a value of 0 when none holds a new fact.
    template <class Stop>
    Run best_run(int first, int bound, std::int64_t room, Stop stop) const {
        const std::int64_t after = kept_.next(first + 1);
        const std::int64_t before = kept_.prev(first + 1);
        if (++generation_ == 0) {
            std::fill(counted_.begin(), counted_.end(), 0);
            generation_ = 1;
        }
        Run best{first, first, 0.0, 0};
        double best_ratio = -1.0, value = 0.0;
        std::int64_t lines = 0;
        int message = -1;
        const auto add_value = [&](int unit) {
            double fresh = 0.0;
            for (int f = span_.fact_begin[unit]; f < span_.fact_begin[unit + 1]; ++f) {
                const int id = span_.fact_ids[f];
                if (!covered_[id] && counted_[id] != generation_) {
                    counted_[id] = generation_;
                    fresh += span_.fact_weight[id];
                }
            }
            if (fresh > 0) value += (fresh + kBonus[span_.unit_kind[unit]]) * weight(unit);
        };
        const auto add_label = [&](int unit) {
            const int m = span_.unit_message[unit];
            if (m != message && !kept_in_[m]) lines += static_cast<std::int64_t>(span_.messages[m].header.length);
            message = m;
        };
        // A value is kept after its line only.
        if (span_.has(first, kListed) && !is_kept(head(first))) return best;
        for (int last = first; last < after && last - first < bound; ++last) {
            if (!eligible(last) || (last > first && stop(first, last))) break;
            add_value(last);
            lines += static_cast<std::int64_t>(span_.unit_text[last].length) +
                     (last > first ? link(last - 1, last) : link(before, first));
            add_label(last);
            const std::int64_t c = lines + link(last, after) - link(before, after);
            const double r = ratio(value, c);
            if (value > 0 && c <= room && r > best_ratio) best_ratio = r, best = {first, last, value, c};
        }
        return best;
    }

    /// Keeps `run` (from best_run, nothing kept since) when the text stays
    /// within the budget.
    bool take(const Run &run) {
        if (used_ + run.cost > limit_) return false;
        for (int u = run.first; u <= run.last; ++u) keep(u);
        used_ += run.cost;
        return true;
    }

    /// New facts per code point of cost, the greedy choice's measure.
    static double ratio(double value, std::int64_t cost) {
        return value / (static_cast<double>(std::max<std::int64_t>(cost, 1)) + kCostFloor);
    }

    /// The unit's facts not kept yet, weighted, plus its bonus when there is one.
    double value(int unit) const {
        double fresh = 0.0;
        for (int f = span_.fact_begin[unit]; f < span_.fact_begin[unit + 1]; ++f) {
            const int id = span_.fact_ids[f];
            if (!covered_[id]) fresh += span_.fact_weight[id];
        }
        return fresh > 0 ? (fresh + kBonus[span_.unit_kind[unit]]) * weight(unit) : 0.0;
    }

    double weight(int unit) const { return span_.has(unit, kQuiet) ? kQuietWeight : 1.0; }

    /// The text of the kept units: what link() and the headers count, every
    /// line written after a line break, the first one's left out.
    std::u32string render() const {
        std::u32string out;
        if (used_ > limit_ || units_ == 0) return out;
        out.reserve(static_cast<std::size_t>(used_) + 1);
        std::int64_t previous = -1;
        int message = -1;
        for (int unit = kept_.next(0); unit < units_; unit = kept_.next(unit + 1)) {
            write_link(out, previous, unit);
            if (!continues(previous, unit) && span_.unit_message[unit] != message) {
                out.append(span_.view(span_.messages[span_.unit_message[unit]].header));
            }
            message = span_.unit_message[unit];
            out.append(span_.view(span_.unit_text[unit]));
            previous = unit;
        }
        write_link(out, previous, units_);
        if (!out.empty()) out.erase(0, 1);
        return out;
    }

private:
    void keep(int unit) {
        kept_.insert(unit);
        ++kept_in_[span_.unit_message[unit]];
        for (int f = span_.fact_begin[unit]; f < span_.fact_begin[unit + 1]; ++f) covered_[span_.fact_ids[f]] = 1;
    }

    /// The span's lines that the units strictly between `before` and `after`
    /// stand for (`before` may be -1, `after` the number of units).
    std::int64_t between(std::int64_t before, std::int64_t after) const {
        return after - before <= 1 ? 0 : span_.lines_before[after] - span_.lines_before[before + 1];
    }

    /// The line that a listed value follows.
    int head(int unit) const { return span_.unit_anchors[unit][0]; }

    /// Whether kept unit `b` goes on the line of `a`, the kept unit before
    /// it: a piece after the piece before it, a value after its fold's line.
    bool continues(std::int64_t a, std::int64_t b) const {
        if (b >= units_) return false;
        const int u = static_cast<int>(b);
        return span_.has(u, kListed) || (a == b - 1 && span_.has(u, kJoined));
    }

    /// What the text holds between kept units `a` and `b` (-1 before the
    /// first, units_ after the last; none kept between them), as its length
    /// (link) or written out (write_link); the two must agree, every cost is
    /// counted by link. A listed value is written after ": " (the first) or
    /// ", ", and after "…, " when values before it are left out; a fold's
    /// line ends with ")", after ", …" when its last values are left out;
    /// then a marker line for the left-out lines, and the line break before
    /// `b` (or the space of a cut when it continues its piece).
    std::int64_t link(std::int64_t a, std::int64_t b) const {
        if (b < units_ && span_.has(static_cast<int>(b), kListed)) return b == a + 1 ? 2 : 5;
        std::int64_t n = 0;
        if (a >= 0 && span_.listing_last[a] >= 0) {
            n += 1 + (span_.has(static_cast<int>(a), kListed) && a != span_.listing_last[a] ? 3 : 0);
        }
        n += gap(between(a, b));
        if (b < units_) n += continues(a, b) ? span_.has(static_cast<int>(b), kSpaced) : 1;
        return n;
    }

    void write_link(std::u32string &out, std::int64_t a, std::int64_t b) const {
        if (b < units_ && span_.has(static_cast<int>(b), kListed)) {
            out.append(a >= 0 && span_.has(static_cast<int>(a), kListed) ? U", " : U": ");
            if (b != a + 1) out.append(U"\u2026, ");
            return;
        }
        if (a >= 0 && span_.listing_last[a] >= 0) {
            if (span_.has(static_cast<int>(a), kListed) && a != span_.listing_last[a]) out.append(U", \u2026");
            out.push_back(U')');
        }
        if (const std::int64_t n = between(a, b)) {
            out.push_back(U'\n');
            append_marker(out, n);
        }
        if (b < units_) {
            if (!continues(a, b)) out.push_back(U'\n');
            else if (span_.has(static_cast<int>(b), kSpaced)) out.push_back(U' ');
        }
    }

    /// cost(unit), as if `also[0, n)` (units not kept, or none) were kept.
    std::int64_t cost_with(int unit, const int *also, int n) const {
        if (kept_.has(unit)) return kKept;
        std::int64_t before = kept_.prev(unit);
        std::int64_t after = kept_.next(unit);
        const int m = span_.unit_message[unit];
        bool labelled = kept_in_[m] != 0;
        for (int k = 0; k < n; ++k) {
            if (also[k] < unit) before = std::max<std::int64_t>(before, also[k]);
            if (also[k] > unit) after = std::min<std::int64_t>(after, also[k]);
            labelled = labelled || span_.unit_message[also[k]] == m;
        }
        const std::int64_t header = labelled ? 0 : static_cast<std::int64_t>(span_.messages[m].header.length);
        return static_cast<std::int64_t>(span_.unit_text[unit].length) + header + link(before, unit) +
               link(unit, after) - link(before, after);
    }

    const Span &span_;
    std::int64_t limit_, units_;
    UnitSet kept_;
    std::vector<int> kept_in_;    // per message, how many of its units are kept
    std::vector<char> covered_;   // per fact
    mutable std::vector<std::uint32_t> counted_;  // per fact, the last best_run that counted it
    mutable std::uint32_t generation_ = 0;
    std::int64_t used_;
};

std::int64_t share_of(std::int64_t budget, double share) {
    return static_cast<std::int64_t>(static_cast<double>(budget) * share);
}

/// Keeps `units` in order while their cost stays within `allowance`; returns
/// what is left of it.
template <class Units>
std::int64_t take_within(Selection &sel, const Units &units, std::int64_t allowance) {
    for (int unit : units) {
        const std::int64_t c = sel.cost(unit);
        if (c != kKept && c <= allowance && sel.take(unit)) allowance -= c;
    }
    return allowance;
}

std::vector<int> range(int first, int count) {
    std::vector<int> units(static_cast<std::size_t>(count));
    for (int k = 0; k < count; ++k) units[k] = first + k;
    return units;
}

/// The anchors of `unit` (its command line and its frame) that are neither
/// kept nor repeats, in ascending order; returns how many.
int open_anchors(const Selection &sel, const Span &span, int unit, int out[2]) {
    int n = 0;
    for (int anchor : span.unit_anchors[unit]) {
        if (anchor >= 0 && sel.eligible(anchor) && !sel.is_kept(anchor)) out[n++] = anchor;
    }
    if (n == 2 && out[0] > out[1]) std::swap(out[0], out[1]);
    return n;
}

/// Keeps units by new facts per code point of cost, the best first, until
/// nothing more fits in `allowance` (lazy greedy: a unit's facts only lose
/// worth as others are kept, so one that still leads after being valued
/// afresh is the best). Ties go to the newer unit. A kept error line brings
/// the line that names its command and the frame that names a project file.
///
/// Costs are exact (Selection::cost), and three rules keep the choice
/// honest about them:
/// - an error line whose anchors are not kept yet is valued with them, all
///   their new facts over all their costs, since keeping the one keeps the
///   others;
/// - any other unit is valued as the best run of up to kRunBound units it
///   starts, and the run is kept whole: the first line of a block pays the
///   marker (and the label) for all of them, so a block of lines worth
///   keeping together is not passed over for its first line's cost alone;
/// - a kept run makes others cheaper (the units around it need no marker of
///   their own, the units of a message no label once one of them is kept),
///   so those are valued afresh rather than left below their worth in the
///   queue.
void greedy(Selection &sel, const Span &span, const std::vector<int> &units, std::int64_t allowance) {
    using Entry = std::pair<double, int>;  // (ratio, unit): the largest first, the newer on ties
    // A run ends before an error line whose anchors are neither kept nor in the run.
    const auto needs_more = [&](int first, int unit) {
        for (int anchor : span.unit_anchors[unit]) {
            if (anchor >= 0 && sel.eligible(anchor) && !sel.is_kept(anchor) && !(anchor >= first && anchor < unit)) {
                return true;
            }
        }
        return false;
    };
    const std::int64_t start = sel.used();
    const auto room = [&] { return std::min(allowance - (sel.used() - start), sel.limit() - sel.used()); };
    // A fold's line that lists values, and its values while it is left out:
    // the line stands for them all in the queue.
    const auto is_head = [&](int unit) { return span.listing_last[unit] >= 0 && !span.has(unit, kListed); };
    const auto waits = [&](int unit) { return span.has(unit, kListed) && !sel.is_kept(span.unit_anchors[unit][0]); };
    // What a unit holds that is not kept yet; a fold's line with its values.
    const auto worth = [&](int unit) {
        double w = sel.value(unit);
        if (is_head(unit)) {
            for (int v = unit + 1; v <= span.listing_last[unit]; ++v) w += sel.value(v);
        }
        return w;
    };
    // The fold's line and the values best(line) chose, ascending.
    std::vector<int> listing;
    std::vector<std::pair<double, int>> order;
    // A fold's line with the values that add the most per code point: the
    // line costs what it costs whichever values go with it, so the best set
    // is the densest values, as many as raise the ratio (in `listing`).
    const auto best_listing = [&](int head) -> Selection::Run {
        listing.assign(1, head);
        order.clear();
        for (int v = head + 1; v <= span.listing_last[head]; ++v) {
            const double w = sel.value(v);
            if (w > 0) order.emplace_back(w / (static_cast<double>(span.unit_text[v].length) + kValueCost), v);
        }
        std::sort(order.begin(), order.end(), [](const auto &x, const auto &y) {
            return x.first > y.first || (x.first == y.first && x.second > y.second);
        });
        const std::int64_t left = room();
        double value = sel.value(head), best_ratio = value > 0 ? Selection::ratio(value, sel.cost(head)) : -1.0;
        double approx = static_cast<double>(sel.cost(head));
        std::size_t count = 0;
        for (std::size_t k = 0; k < order.size(); ++k) {
            const int v = order[k].second;
            approx += static_cast<double>(span.unit_text[v].length) + kValueCost;
            if (approx > static_cast<double>(left)) break;  // no more fits
            value += order[k].first * (static_cast<double>(span.unit_text[v].length) + kValueCost);
            const double r = value / (approx + kCostFloor);
            if (r > best_ratio) best_ratio = r, count = k + 1;
        }
        // The exact cost of the line with the `n` densest values.
        const auto cost_with_values = [&](std::size_t n) {
            listing.assign(1, head);
            for (std::size_t k = 0; k < n; ++k) listing.push_back(order[k].second);
            std::sort(listing.begin() + 1, listing.end());
            return sel.cost_of_all(listing.data(), static_cast<int>(listing.size()));
        };
        std::int64_t cost = cost_with_values(count);
        if (cost > left && count > 0) {
            // The most values that fit, found by halves (the cost grows with them).
            std::size_t fits = 0, over = count;
            while (over - fits > 1) {
                const std::size_t mid = (fits + over) / 2;
                (cost_with_values(mid) <= left ? fits : over) = mid;
            }
            cost = cost_with_values(fits);
        }
        double total = 0.0;
        for (int u : listing) total += sel.value(u);
        return {head, head, cost <= left ? total : 0.0, cost};
    };
    // The best choice that starts at `unit` and fits (a value of 0 when
    // none does): a fold's line with its best values, a line that needs its
    // anchors, valued with them (kept alone when only it fits), or the best
    // run from it.
    const auto best = [&](int unit) -> Selection::Run {
        if (is_head(unit) && !sel.is_kept(unit)) return best_listing(unit);
        const std::int64_t left = room();
        int anchors[2];
        if (const int n = open_anchors(sel, span, unit, anchors)) {
            int all[3];
            int k = 0, a = 0;
            while (a < n && anchors[a] < unit) all[k++] = anchors[a++];
            all[k++] = unit;
            while (a < n) all[k++] = anchors[a++];
            double value = 0.0;
            if (sel.cost(unit) <= left) {
                for (int j = 0; j < k; ++j) value += sel.value(all[j]);
            }
            return {unit, unit, value, sel.cost_of_all(all, k)};
        }
        return sel.best_run(unit, kRunBound, left, needs_more);
    };
    std::vector<char> in_scope(span.unit_text.size(), 0);
    // Per unit, the highest ratio it has in the queue (-1: none), and the
    // value and cost it was worked out from: a ratio no higher need not be
    // queued, that entry bounds it already.
    std::vector<double> queued(span.unit_text.size(), -1.0), queued_value(span.unit_text.size(), 0.0);
    std::vector<std::int64_t> queued_cost(span.unit_text.size(), 0);
    std::vector<Entry> entries;
    for (int unit : units) {
        if (!sel.eligible(unit) || sel.is_kept(unit)) continue;
        const double w = worth(unit);
        if (w > 0) {
            in_scope[unit] = 1;
            if (!waits(unit)) {
                const std::int64_t length = static_cast<std::int64_t>(span.unit_text[unit].length);
                entries.emplace_back(Selection::ratio(w, length), unit);
                queued[unit] = entries.back().first;
                queued_value[unit] = w;
                queued_cost[unit] = length;
            }
        }
    }
    std::priority_queue<Entry> heap(std::less<Entry>(), std::move(entries));
    const auto queue = [&](double value, std::int64_t cost, int unit) {
        const double r = Selection::ratio(value, cost);
        if (r <= queued[unit]) return;
        heap.emplace(r, unit);
        queued[unit] = r;
        queued_value[unit] = value;
        queued_cost[unit] = cost;
    };
    // A value whose line is left out is valued with the line, which is
    // revalued in its stead.
    const auto revalue = [&](int unit) {
        if (unit >= 0 && unit < static_cast<int>(in_scope.size()) && in_scope[unit] && !sel.is_kept(unit) &&
            !waits(unit) && worth(unit) > 0) {
            const Selection::Run run = best(unit);
            if (run.value > 0) queue(run.value, run.cost, unit);
        }
    };
    // A unit whose message's label is paid now costs `header` less at most:
    // the entry it has, so much cheaper, bounds it (its value only falls),
    // and it is worked out afresh when it comes out. One without an entry is
    // worked out now.
    const auto relabel = [&](int unit, std::int64_t header) {
        if (unit < 0 || unit >= static_cast<int>(in_scope.size()) || !in_scope[unit] || sel.is_kept(unit) ||
            waits(unit)) {
            return;
        }
        if (queued[unit] < 0) revalue(unit);
        else queue(queued_value[unit], std::max<std::int64_t>(queued_cost[unit] - header, 0), unit);
    };
    // Units [first, last] were just kept, `taken` of them (a fold's line and
    // some of its values).
    const auto revalue_around = [&](int first, int last, int taken) {
        for (int u = std::max(first - kRunBound, 0); u < first; ++u) revalue(u);
        revalue(last + 1);
        // An error line whose anchor is kept now costs less, and so do the
        // values of a fold whose line is: their stored ratio is no longer an
        // upper bound of their worth.
        for (int u = first; u <= last; ++u) {
            for (int d = span.dependent_begin[u]; d < span.dependent_begin[u + 1]; ++d) revalue(span.dependents[d]);
        }
        for (int m = span.unit_message[first]; m <= span.unit_message[last]; ++m) {
            const Span::Message &message = span.messages[m];
            const int end = message.first_unit + message.units;
            const int here = std::min({last + 1, end, first + taken}) - std::max(first, message.first_unit);
            if (sel.kept_in(m) != here) continue;  // its label was paid before
            const auto header = static_cast<std::int64_t>(message.header.length);
            for (int u = message.first_unit; u < end; ++u) relabel(u, header);
        }
    };
    while (!heap.empty()) {
        const auto [top, unit] = heap.top();
        heap.pop();
        // The highest entry of a unit comes out first: the others are lower.
        if (top >= queued[unit]) queued[unit] = -1.0;
        if (sel.is_kept(unit) || waits(unit) || worth(unit) <= 0) continue;
        const Selection::Run run = best(unit);
        if (run.value <= 0) continue;  // nothing from it fits
        const double r = Selection::ratio(run.value, run.cost);
        if (!heap.empty() && r < heap.top().first) {
            queue(run.value, run.cost, unit);
            continue;
        }
        if (is_head(unit)) {
            // The line, then its values: each one's exact cost is counted
            // after the ones before it, as cost_of_all counted them.
            for (int u : listing) sel.take(u);
            revalue_around(unit, listing.back(), static_cast<int>(listing.size()));
        } else {
            // A run's cost is its own; a line's is counted afresh (the one valued
            // with its anchors included their costs).
            if (!(run.last > unit ? sel.take(run) : sel.take(unit))) continue;
            revalue_around(unit, run.last, run.last - unit + 1);
        }
        int anchors[2];
        const int n = open_anchors(sel, span, unit, anchors);
        for (int k = 0; k < n; ++k) {
            if (sel.cost(anchors[k]) <= room() && sel.take(anchors[k])) revalue_around(anchors[k], anchors[k], 1);
        }
    }
}

/// The largest number of code points per message such that the starts of
/// all `messages` within it fit `share` together.
std::int64_t even_cap(const Span &span, const std::vector<int> &messages, std::int64_t share) {
    const auto total = [&](std::int64_t cap) {
        std::int64_t used = 0;
        for (int m : messages) {
            std::int64_t size = 0;
            const auto &message = span.messages[m];
            for (int k = 0; k < message.units; ++k) {
                const std::int64_t n = static_cast<std::int64_t>(span.unit_text[message.first_unit + k].length) + 1;
                if (size + n > cap) break;
                size += n;
            }
            used += size;
        }
        return used;
    };
    std::int64_t low = 0, high = 0;
    for (int m : messages) {
        std::int64_t size = 0;
        const auto &message = span.messages[m];
        for (int k = 0; k < message.units; ++k) size += span.unit_text[message.first_unit + k].length + 1;
        high = std::max(high, size);
    }
    while (low < high) {
        const std::int64_t mid = (low + high + 1) / 2;
        if (total(mid) <= share) low = mid;
        else high = mid - 1;
    }
    return low;
}

/// The story: every user message and every line of the assistants' (and
/// other non-tool) messages, whole and in order when their text (lines,
/// line breaks, labels) fits `share`; else the users' messages (the start
/// of each, evenly, when they do not fit kUserPart of it), the opening
/// sentence of every other message (the newest first), then the story's
/// lines that carry facts (the most per code point first) and the newest
/// lines, while `share` lasts. The markers between them are the tool
/// output's, which the rest of the budget pays.
void tell_story(Selection &sel, const Span &span, std::int64_t share) {
    std::vector<int> story;
    std::int64_t whole = 0;
    for (int m = 0; m < static_cast<int>(span.messages.size()); ++m) {
        const Span::Message &message = span.messages[m];
        bool any = false;
        for (int u = message.first_unit; u < message.first_unit + message.units; ++u) {
            if (!span.has(u, kStory) || !sel.eligible(u)) continue;
            story.push_back(u);
            whole += static_cast<std::int64_t>(span.unit_text[u].length) + (span.has(u, kJoined) ? span.has(u, kSpaced) : 1);
            any = true;
        }
        if (any) whole += static_cast<std::int64_t>(message.header.length);
    }
    if (whole <= share) {
        for (int u : story) sel.take(u);
        return;
    }
    std::int64_t left = share;
    // The text a unit adds to the story: its piece, its line break (or the
    // space it continues its line with), and the label when it is its
    // message's first. The markers are not the story's.
    const auto size_of = [&](int u) {
        const int m = span.unit_message[u];
        return static_cast<std::int64_t>(span.unit_text[u].length) +
               (span.has(u, kJoined) && u > 0 && sel.is_kept(u - 1) ? span.has(u, kSpaced) : 1) +
               (sel.kept_in(m) ? 0 : static_cast<std::int64_t>(span.messages[m].header.length));
    };
    const auto spend = [&](int u) {
        if (sel.is_kept(u)) return;
        const std::int64_t size = size_of(u);
        if (size <= left && sel.take(u)) left -= size;
    };
    // A line's units not kept yet, all of them or none: a line's last piece
    // alone ("length") tells nothing.
    const auto spend_line = [&](int first, int last) {
        std::int64_t size = 0;
        bool labelled = sel.kept_in(span.unit_message[first]) != 0;
        for (int u = first; u <= last; ++u) {
            if (sel.is_kept(u)) continue;
            size += static_cast<std::int64_t>(span.unit_text[u].length) +
                    (span.has(u, kJoined) && u > first ? span.has(u, kSpaced) : 1);
            if (!labelled) size += static_cast<std::int64_t>(span.messages[span.unit_message[u]].header.length);
            labelled = true;
        }
        if (size == 0 || size > left) return;
        for (int u = first; u <= last; ++u) sel.take(u);
        left -= size;
    };
    // The story's lines as (first unit, last unit): a piece continues the one before it.
    std::vector<std::pair<int, int>> lines;
    for (int u : story) {
        if (span.has(u, kJoined) && !lines.empty() && lines.back().second == u - 1) lines.back().second = u;
        else lines.emplace_back(u, u);
    }
    std::vector<int> users;
    std::int64_t user_size = 0;
    for (int m = 0; m < static_cast<int>(span.messages.size()); ++m) {
        if (span.messages[m].kind != kUser) continue;
        users.push_back(m);
        user_size += static_cast<std::int64_t>(span.messages[m].header.length);
    }
    for (int u : story) {
        if (span.messages[span.unit_message[u]].kind == kUser) user_size += static_cast<std::int64_t>(span.unit_text[u].length) + 1;
    }
    const std::int64_t user_share = share_of(share, kUserPart);
    const std::int64_t cap = user_size <= user_share ? std::numeric_limits<std::int64_t>::max() / 4
                                                     : even_cap(span, users, user_share);
    for (int m : users) {
        const Span::Message &message = span.messages[m];
        std::int64_t size = 0;
        for (int u = message.first_unit; u < message.first_unit + message.units; ++u) {
            size += static_cast<std::int64_t>(span.unit_text[u].length) + 1;
            if (size > cap + static_cast<std::int64_t>(message.header.length) + 32) break;
            if (span.has(u, kStory)) spend(u);
        }
    }
    // The opening of every other message, the newest first; with the rest of
    // its line when that is short (a clause after the first sentence).
    std::vector<int> line_of(span.unit_text.size(), -1);
    for (int k = 0; k < static_cast<int>(lines.size()); ++k) {
        for (int u = lines[k].first; u <= lines[k].second; ++u) line_of[u] = k;
    }
    // An opening sentence said before (the same first sentence in several
    // messages) is carried once, by the oldest, unless it goes with the
    // short rest of its line: that line is new.
    std::unordered_map<View, int> openings;
    for (int m = 0; m < static_cast<int>(span.messages.size()); ++m) {
        const Span::Message &message = span.messages[m];
        for (int u = message.first_unit; u < message.first_unit + message.units; ++u) {
            if (span.has(u, kOpening)) openings.try_emplace(trimmed(span.view(span.unit_text[u])), u);
        }
    }
    for (int m = static_cast<int>(span.messages.size()) - 1; m >= 0; --m) {
        const Span::Message &message = span.messages[m];
        if (!is_story(message.kind) || message.kind == kUser) continue;
        for (int u = message.first_unit; u < message.first_unit + message.units; ++u) {
            if (!span.has(u, kStory) || !sel.eligible(u) || blank(span.view(span.unit_text[u]))) continue;
            const auto [first, last] = lines[line_of[u]];
            std::int64_t rest = 0;
            for (int v = u + 1; v <= last; ++v) rest += static_cast<std::int64_t>(span.unit_text[v].length) + 1;
            if (first == u && rest <= kOpeningRest) spend_line(first, last);
            else if (!span.has(u, kOpening) || openings.at(trimmed(span.view(span.unit_text[u]))) == u) spend(u);
            break;
        }
    }
    // The lines that carry facts, the most per code point first.
    std::vector<std::pair<double, int>> carriers;
    for (int k = 0; k < static_cast<int>(lines.size()); ++k) {
        double value = 0.0;
        std::int64_t length = 0;
        for (int u = lines[k].first; u <= lines[k].second; ++u) {
            value += sel.value(u);
            length += static_cast<std::int64_t>(span.unit_text[u].length) + 1;
        }
        if (value > 0) carriers.emplace_back(value / (static_cast<double>(length) + kCostFloor), k);
    }
    std::stable_sort(carriers.begin(), carriers.end(), [](const auto &a, const auto &b) {
        return a.first > b.first || (a.first == b.first && a.second > b.second);
    });
    for (const auto &[ratio, k] : carriers) spend_line(lines[k].first, lines[k].second);
    // The newest lines.
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) spend_line(it->first, it->second);
}

}  // namespace

void Span::add_message(Piece header, Piece body, int kind, std::vector<Piece> calls, std::vector<Piece> call_ids,
                       Piece tool_call_id) {
    messages.push_back({header, body, kind, std::move(calls), std::move(call_ids), tool_call_id});
}

void Span::read_lines(int m) {
    Message &message = messages[m];
    message.first_line = static_cast<int>(line_text.size());
    std::vector<Group> &groups = groups_[m];
    const bool output = message.kind == kTool;
    if (message.body.length) {
        const View all = view(message.body);
        std::size_t start = 0;
        while (start <= all.size()) {
            std::size_t end = all.find(U'\n', start);
            if (end == View::npos) end = all.size();
            const std::size_t next = end + 1;
            // White space that shows nothing goes: a line's trailing white space,
            // and all but one character of a tool output line's indentation (a
            // column of padding in a listing or a stack; the one left still shows
            // which lines were indented). Facts are tokens and never lose by it;
            // users' and assistants' lines keep their indentation, code in them
            // reads by it.
            while (end > start && is_space(all[end - 1])) --end;
            if (output) {
                std::size_t indent = start;
                while (indent < end && (all[indent] == ' ' || all[indent] == '\t')) ++indent;
                if (indent - start > 1) start = indent - 1;
            }
            line_text.push_back({message.body.start + start, end - start});
            start = next;
        }
    }
    const int body_end = static_cast<int>(line_text.size());
    // A tool's output: a run of identical lines (two or more) or of lines of
    // the same shape (kShapeRun or more, with a word among them) becomes one
    // line with its count, which lists the facts that vary in a run of one
    // shape. Runs are lines one after the other; the same line across
    // messages is carried once (prepare).
    std::u32string shown, listed;
    std::vector<View> run;
    std::vector<Piece> values;
    // Makes lines [i, j) one line when `shown` (its text without the count)
    // with the count, and with every value it lists (`shaped`), is shorter
    // than they are ("+" twice is not); returns whether it did.
    const auto fold = [&](int i, int j, bool shaped) {
        std::size_t size = 0;
        for (int k = i; k < j; ++k) size += line_text[k].length + 1;
        const std::size_t key_length = shown.size();
        listed.clear();
        values.clear();
        if (shaped) list_values(i, j, listed, values);
        shown.append(U" (");
        shown.push_back(kTimes);
        append_number(shown, j - i);
        // ": a, b, c" and the closing parenthesis.
        std::size_t whole_size = shown.size() + 1;
        for (const Piece &value : values) whole_size += 2 + value.length;
        if (whole_size + 1 >= size) return false;
        // An error line's values go with it, when they make a line that is
        // not cut: "FAILED tests/t.py::test_N (×6)" alone says which failed no more.
        if (!values.empty() && whole_size <= kPieceBound && is_error_line(view(line_text[i]))) {
            for (std::size_t k = 0; k < values.size(); ++k) {
                shown.append(k == 0 ? U": " : U", ");
                shown.append(View(listed).substr(values[k].start, values[k].length));
            }
            values.clear();
        }
        if (values.empty()) shown.push_back(U')');
        // Appended only now: the views of the run point into `text`.
        const Piece whole{text.size(), shown.size()};
        text.append(shown);
        Piece key{whole.start, key_length};
        std::vector<Piece> pieces;
        if (!values.empty()) {
            // A run of the same shape with other values is another run.
            const std::size_t at = text.size();
            text.append(listed);
            for (const Piece &value : values) pieces.push_back({at + value.start, value.length});
            key = {whole.start, text.size() - whole.start};
        }
        groups.push_back({i, j - i, whole, key, std::move(pieces)});
        return true;
    };
    for (int i = message.first_line; i < body_end;) {
        int j = i + 1;
        if (output && !blank(view(line_text[i]))) {
            while (j < body_end && !blank(view(line_text[j])) && same_shape(view(line_text[j - 1]), view(line_text[j]))) ++j;
        }
        bool identical = true;
        for (int k = i + 1; k < j && identical; ++k) identical = view(line_text[k]) == view(line_text[i]);
        if (!identical && j - i >= kShapeRun && has_word(view(line_text[i]))) {
            run.clear();
            for (int k = i; k < j; ++k) run.push_back(view(line_text[k]));
            shown.clear();
            write_shape(run, shown);
            if (fold(i, j, true)) {
                i = j;
                continue;
            }
        }
        // Else the runs of identical lines within it, each one line.
        while (i < j) {
            int k = i + 1;
            while (k < j && view(line_text[k]) == view(line_text[i])) ++k;
            shown.assign(view(line_text[i]));
            if (k - i < 2 || !fold(i, k, false)) {
                for (int l = i; l < k; ++l) groups.push_back({l, 1, {}, {}, {}});
            }
            i = k;
        }
    }
    for (const Piece &call : message.calls) line_text.push_back(call);
    message.lines = static_cast<int>(line_text.size()) - message.first_line;
}

void Span::list_values(int first, int end, std::u32string &listed, std::vector<Piece> &values) const {
    std::vector<View> lines;
    for (int k = first; k < end; ++k) lines.push_back(view(line_text[k]));
    std::vector<std::vector<std::pair<std::size_t, std::size_t>>> runs;
    differing_runs(lines, runs);
    // What tells one failure from another is kept whether it is a fact or
    // not: every word of an error line that differs and holds a letter (a
    // test's name; a bare number is a count, as in attempt 3 of 8).
    const bool errors = is_error_line(lines[0]);
    struct Value {
        std::size_t start, end;
        std::size_t slot;  // the first differing run it holds
        bool percent;
    };
    constexpr std::size_t kNoSlot = std::numeric_limits<std::size_t>::max();
    std::vector<std::vector<Value>> per_line(lines.size());
    std::size_t slots = 0;
    std::vector<Found> found;
    std::vector<char> covered;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const View line = lines[k];
        const auto &differ = runs[k];
        slots = std::max(slots, differ.size());
        // The tokens that hold a run that differs, each with the word after
        // it (a number's unit: 12 ms): the rest of the line is the same in
        // every line, and its facts stand in the shown line.
        found.clear();
        std::size_t scanned = 0;
        for (const auto &[s0, e0] : differ) {
            if (e0 <= scanned) continue;
            std::size_t a = std::max(s0, scanned), b = e0;
            while (a > scanned && !delimits_tokens(line[a - 1])) --a;
            while (b < line.size() && !delimits_tokens(line[b])) ++b;
            std::size_t c = b;
            while (c < line.size() && (line[c] == ' ' || line[c] == '\t')) ++c;
            if (c > b) {
                while (c < line.size() && !delimits_tokens(line[c])) ++c;
                b = c;
            }
            find_tokens(line.substr(a, b - a), a, found);
            scanned = b;
        }
        covered.assign(differ.size(), 0);
        for (const Found &f : found) {
            std::size_t slot = kNoSlot;
            for (std::size_t r = 0; r < differ.size(); ++r) {
                if (differ[r].first < f.start + f.length && f.start < differ[r].second) {
                    covered[r] = 1;
                    slot = std::min(slot, r);
                }
            }
            // A fact the same in every line stands in the shown line.
            if (slot == kNoSlot) continue;
            per_line[k].push_back({f.start, f.start + f.length, slot, line[f.start + f.length - 1] == U'%'});
        }
        if (errors) {
            for (std::size_t r = 0; r < differ.size(); ++r) {
                if (covered[r]) continue;
                const auto word = [](Char c) {
                    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                           c == '-' || c == '.';
                };
                std::size_t a = differ[r].first, b = differ[r].second;
                while (a > 0 && word(line[a - 1])) --a;
                while (b < line.size() && word(line[b])) ++b;
                while (b > differ[r].second && (line[b - 1] == '.' || line[b - 1] == '-')) --b;
                const View found_word = line.substr(a, b - a);
                if (std::any_of(found_word.begin(), found_word.end(), [](Char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; })) {
                    per_line[k].push_back({a, b, r, false});
                }
            }
            std::sort(per_line[k].begin(), per_line[k].end(), [](const Value &x, const Value &y) { return x.start < y.start; });
        }
    }
    // Progress: a percentage in the same place of every line that never
    // falls ([ 45%] of a test run) says how far the run got, which the count
    // says too. It is listed, in every line, only when the conversation
    // mentions one of its values again.
    std::vector<char> progress(slots, 0);
    for (std::size_t r = 0; r < slots; ++r) {
        double last = -1.0;
        bool rising = true, again = false;
        for (std::size_t k = 0; k < lines.size() && rising; ++k) {
            const Value *at = nullptr;
            for (const Value &v : per_line[k]) {
                if (v.slot == r && v.percent) at = &v;
            }
            if (!at) {
                rising = false;
                break;
            }
            double number = 0.0, scale = 0.0;
            for (std::size_t c = at->start; c < at->end; ++c) {
                const Char ch = lines[k][c];
                if (ch >= '0' && ch <= '9') {
                    if (scale == 0.0) number = 10 * number + (ch - '0');
                    else number += (ch - '0') * (scale /= 10);
                } else if (ch == '.' && scale == 0.0) {
                    scale = 1.0;
                }
            }
            rising = number >= last;
            last = number;
            again = again || (later_ && later_->holds(lines[k].substr(at->start, at->end - at->start)));
        }
        progress[r] = rising && !again;
    }
    // The values of each line together, in the order of the lines, and the
    // same values of two lines once: "test_case_011 13%, test_case_023 25%".
    std::unordered_set<std::u32string> said;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const std::size_t start = listed.size();
        for (const Value &v : per_line[k]) {
            if (v.end == v.start || (v.slot < slots && progress[v.slot])) continue;
            if (listed.size() > start) listed.push_back(U' ');
            listed.append(lines[k].substr(v.start, v.end - v.start));
        }
        if (listed.size() == start) continue;
        if (!said.insert(listed.substr(start)).second) {
            listed.resize(start);
            continue;
        }
        values.push_back({start, listed.size() - start});
        listed.push_back(U'\n');
    }
}

void Span::add_unit(int message, Piece line, int kind, unsigned char flags, std::int64_t lines, View source) {
    const View text_view = view(line);
    found_.clear();
    const int message_kind = messages[message].kind;
    // A repeat is never kept: its facts are its first occurrence's.
    if (!(flags & kSkipped)) {
        find_tokens(text_view, line.start, found_);
        if (!source.empty()) {
            // A token written with N is no fact of the span.
            std::erase_if(found_, [&](const Found &f) { return source.find(view({f.start, f.length})) == View::npos; });
        }
        // A listed value is facts alone: no error line, constraint or frame.
        const bool listed = flags & kListed;
        if (kind == kPlain && !listed && (message_kind == kUser || message_kind == kSummary)) {
            const std::size_t before = found_.size();
            find_constraints(text_view, line.start, found_);
            if (found_.size() > before) kind = kConstraintLine;
        }
        if (kind == kPlain && !listed && is_error_line(text_view)) {
            const Found fact = line_fact(text_view, line.start, kErrors);
            if (fact.length) {
                found_.push_back(fact);
                kind = kErrorLine;
            }
        }
        if (message_kind == kTool && kind != kCall && !listed && is_project_frame(text_view, line.start, found_)) {
            flags |= kFrame;
        }
    }
    unit_text.push_back(line);
    unit_message.push_back(message);
    unit_kind.push_back(kind);
    unit_flags.push_back(flags);
    unit_anchors.push_back({-1, -1});
    listing_last.push_back(-1);
    lines_before.push_back(lines_before.back() + lines);
    const std::size_t first = fact_ids.size();
    for (const Found &f : found_) {
        const View fact = View(text).substr(f.start, f.length);
        const auto [id, added] = ids_.insert(fact);
        if (added) {
            ++fact_count;
            const bool again = later_ && later_->holds(fact);
            fact_weight.push_back(kCategoryWeight[f.category] * (again ? kAgain : 1.0f));
        }
        fact_ids.push_back(id);
    }
    // Each fact counts once per unit.
    std::sort(fact_ids.begin() + static_cast<std::ptrdiff_t>(first), fact_ids.end());
    fact_ids.erase(std::unique(fact_ids.begin() + static_cast<std::ptrdiff_t>(first), fact_ids.end()), fact_ids.end());
    fact_begin.push_back(static_cast<int>(fact_ids.size()));
}

void Span::add_line(int message, Piece line, bool opening, bool repeat) {
    const View all = view(line);
    const std::size_t n = all.size();
    const int kind = messages[message].kind;
    unsigned char flags = is_story(kind) ? kStory : 0;
    // A repeat is never kept: no need to know more of it.
    if (repeat) flags |= kSkipped;
    else if (kind == kTool && is_comment_or_default(all)) flags |= kQuiet;
    // The first unit of the line carries kOpening; the ones after it continue it.
    unsigned char first = opening ? kOpening : 0;
    unsigned char join = 0;
    std::size_t at = 0;
    const auto emit = [&](std::size_t end, std::size_t next, bool spaced) {
        add_unit(message, {line.start + at, end - at}, kPlain, static_cast<unsigned char>(flags | first | join), 1);
        first = 0;
        join = static_cast<unsigned char>(kJoined | (spaced ? kSpaced : 0));
        at = next;
    };
    if (opening) {
        // The opening sentence alone, when the line holds more.
        const std::size_t end = first_sentence_end(all);
        if (end < n) {
            const bool spaced = is_space(all[end]);
            emit(end, spaced ? end + 1 : end, spaced);
        }
    }
    if (n - at > kPieceBound) {
        urls_.clear();
        find_urls(all, urls_);
    }
    while (n - at > kPieceBound) {
        const std::size_t from = at + kPieceFloor, to = at + kPieceBound;
        std::size_t cut = last_sentence_end(all, from, to);
        if (cut == View::npos) {
            const std::size_t space = all.substr(from, to - from).rfind(U' ');
            if (space != View::npos) cut = from + space;
        }
        if (cut != View::npos) {
            const bool spaced = cut < n && is_space(all[cut]);
            emit(cut, spaced ? cut + 1 : cut, spaced);
            continue;
        }
        cut = to;
        bool in_url = false;
        for (const auto &[a, b] : urls_) {
            if (a < cut && cut < b) {
                // Never inside a URL: before it, or after it when it opens the piece.
                cut = a > at ? a : b;
                in_url = true;
                break;
            }
        }
        // Never between the halves of a surrogate pair (a URL holds none).
        if (!in_url && all[cut - 1] >= 0xD800 && all[cut - 1] <= 0xDBFF && all[cut] >= 0xDC00 && all[cut] <= 0xDFFF) {
            --cut;
        }
        if (cut >= n) break;
        emit(cut, cut, false);
    }
    emit(n, n, false);
}

void Span::anchor_errors(int m, int call) {
    const Message &message = messages[m];
    const int first = message.first_unit, end = static_cast<int>(unit_text.size());
    int command = -1;
    for (int u = first; u < end; ++u) {
        if (is_command_line(view(unit_text[u]))) {
            command = u;
        } else if (unit_kind[u] == kErrorLine) {
            unit_anchors[u][0] = command >= 0 ? command : call;
        }
    }
    const auto usable = [&](int v) { return has(v, kFrame) && !has(v, kSkipped); };
    const auto starts_with_at = [&](int v) {
        const View line = trimmed(view(unit_text[v]));
        return line.substr(0, 3) == U"at ";
    };
    for (int u = first; u < end; ++u) {
        if (unit_kind[u] != kErrorLine || has(u, kFrame)) continue;
        int frame = -1;
        // Frames that follow the error (Java, JavaScript, pytest's
        // "file:line: Error") are read ahead; a Python traceback's come
        // before it, the innermost last.
        if (u + 1 < end && (usable(u + 1) || starts_with_at(u + 1))) {
            for (int v = u + 1; v < std::min(end, u + 1 + kFrameAhead) && frame < 0; ++v) {
                if (usable(v)) frame = v;
                else if (unit_kind[v] == kErrorLine && !starts_with_at(v)) break;
            }
        }
        for (int v = u - 1; frame < 0 && v >= std::max(first, u - kFrameBack); --v) {
            if (usable(v)) {
                frame = v;
            } else if (unit_kind[v] == kErrorLine) {
                break;  // another error's, or the traceback's start
            }
        }
        unit_anchors[u][1] = frame;
    }
}

void Span::prepare(const Holder *later) {
    later_ = later;
    // Every line first, and the lines that stand for runs appended to
    // `text`: no view into it is kept before this ends.
    groups_.assign(messages.size(), {});
    // Room for every line up front: a megabyte of output is some 25,000.
    const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), U'\n')) + messages.size();
    line_text.reserve(lines);
    for (auto *units : {&unit_message, &unit_kind, &fact_begin}) units->reserve(lines + 1);
    unit_text.reserve(lines);
    unit_flags.reserve(lines);
    unit_anchors.reserve(lines);
    listing_last.reserve(lines);
    lines_before.reserve(lines + 1);
    fact_ids.reserve(2 * lines);
    for (int m = 0; m < static_cast<int>(messages.size()); ++m) read_lines(m);
    fact_begin.assign(1, 0);
    lines_before.assign(1, 0);
    std::unordered_map<View, int> call_units;
    std::vector<int> last_calls;
    // Lines carried once: the story's and the output's apart, so that a
    // user quoting an output line keeps their line.
    ViewTable said, printed;
    for (int m = 0; m < static_cast<int>(messages.size()); ++m) {
        Message &message = messages[m];
        message.first_unit = static_cast<int>(unit_text.size());
        const bool story = is_story(message.kind);
        ViewTable &seen = message.kind == kTool ? printed : said;
        bool opened = message.kind == kSummary || !story;
        for (const Group &group : groups_[m]) {
            if (group.count > 1) {
                const View key = trimmed(view(group.key));
                const bool repeat = key.size() >= kRepeatFloor && !seen.insert(key).second;
                const unsigned char flags = (repeat ? kSkipped : 0) | (is_comment_or_default(key) ? kQuiet : 0);
                const int head = static_cast<int>(unit_text.size());
                add_unit(m, group.shown, kPlain, flags, group.count, view(line_text[group.first_line]));
                for (const Piece &value : group.values) {
                    add_unit(m, value, kPlain, static_cast<unsigned char>(flags | kListed), 0);
                    unit_anchors.back()[0] = head;
                }
                if (!group.values.empty()) {
                    const int last = static_cast<int>(unit_text.size()) - 1;
                    for (int u = head; u <= last; ++u) listing_last[u] = last;
                }
                continue;
            }
            const Piece line = line_text[group.first_line];
            const View key = trimmed(view(line));
            const bool repeat = key.size() >= kRepeatFloor && !seen.insert(key).second;
            const bool opening = !opened && !key.empty();
            opened = opened || opening;
            add_line(m, line, opening, repeat);
        }
        if (message.kind == kTool) {
            int call = -1;
            if (message.tool_call_id.length) {
                const auto it = call_units.find(view(message.tool_call_id));
                if (it != call_units.end()) call = it->second;
            }
            if (call < 0 && last_calls.size() == 1) call = last_calls[0];
            anchor_errors(m, call);
        }
        if (!message.calls.empty()) last_calls.clear();
        for (std::size_t k = 0; k < message.calls.size(); ++k) {
            const int unit = static_cast<int>(unit_text.size());
            add_unit(m, message.calls[k], kCall, 0, 1);
            if (message.call_ids[k].length) call_units[view(message.call_ids[k])] = unit;
            last_calls.push_back(unit);
        }
        message.units = static_cast<int>(unit_text.size()) - message.first_unit;
    }
    // Who depends on each anchor, so that keeping one revalues them.
    const int units = static_cast<int>(unit_text.size());
    dependent_begin.assign(static_cast<std::size_t>(units) + 1, 0);
    for (const auto &anchors : unit_anchors) {
        for (int a : anchors) {
            if (a >= 0) ++dependent_begin[a + 1];
        }
    }
    for (int u = 0; u < units; ++u) dependent_begin[u + 1] += dependent_begin[u];
    dependents.assign(static_cast<std::size_t>(dependent_begin[units]), 0);
    std::vector<int> at(dependent_begin.begin(), dependent_begin.end() - 1);
    for (int u = 0; u < units; ++u) {
        for (int a : unit_anchors[u]) {
            if (a >= 0) dependents[at[a]++] = u;
        }
    }
}

std::u32string Span::select(std::int64_t budget, const Shares &shares) const {
    const int count = static_cast<int>(messages.size());
    const int units = static_cast<int>(unit_text.size());
    std::int64_t whole = 0;
    for (const Message &message : messages) {
        if (message.lines) whole += static_cast<std::int64_t>(message.header.length);
    }
    for (const Piece &line : line_text) whole += static_cast<std::int64_t>(line.length) + 1;
    if (whole - 1 <= budget) {
        // Everything fits: every line as it is, no run or repeat folded.
        std::u32string out;
        out.reserve(static_cast<std::size_t>(std::max<std::int64_t>(whole, 0)));
        bool first = true;
        for (const Message &message : messages) {
            for (int k = 0; k < message.lines; ++k) {
                if (!first) out.push_back(U'\n');
                first = false;
                if (k == 0) out.append(view(message.header));
                out.append(view(line_text[message.first_line + k]));
            }
        }
        return out;
    }
    Selection sel(*this, budget);
    // The previous summary, whole when it fits its share.
    for (int m = 0; m < count; ++m) {
        const Message &message = messages[m];
        if (message.kind != kSummary) continue;
        const std::int64_t share = share_of(budget, shares.summary);
        std::int64_t size = message.header.length;
        for (int k = 0; k < message.units; ++k) size += unit_text[message.first_unit + k].length + 1;
        const std::vector<int> lines = range(message.first_unit, message.units);
        if (size <= share) take_within(sel, lines, share);
        else greedy(sel, *this, lines, share);
    }
    tell_story(sel, *this, share_of(budget, shares.story));
    // The start and the end of the span.
    if (count) {
        take_within(sel, range(messages[0].first_unit, messages[0].units), share_of(budget, shares.start));
        const Message &last = messages[count - 1];
        std::int64_t left = take_within(sel, range(last.first_unit, std::min(last.units, 1)), share_of(budget, shares.end));
        std::vector<int> tail = range(last.first_unit + 1, std::max(last.units - 1, 0));
        std::reverse(tail.begin(), tail.end());
        take_within(sel, tail, left);
    }
    // The units that add the most facts per code point. A unit no longer
    // than the marker it would replace makes the text shorter: such units
    // are kept, and what they free goes to the greedy choice again.
    const std::vector<int> all = range(0, units);
    for (int round = 0; round < 4; ++round) {
        greedy(sel, *this, all, budget + 1);
        bool freed = false;
        for (int u = 0; u < units; ++u) {
            const std::int64_t c = sel.cost(u);
            if (c != kKept && c <= 0 && sel.take(u)) freed = freed || c < 0;
        }
        if (!freed) break;
    }
    // Then whatever fits: the story's lines first, then the rest, newest first.
    std::vector<int> rest;
    for (int u = units - 1; u >= 0; --u) {
        if (has(u, kStory) && !blank(view(unit_text[u]))) rest.push_back(u);
    }
    for (int u = units - 1; u >= 0; --u) {
        if (!has(u, kStory) && !blank(view(unit_text[u]))) rest.push_back(u);
    }
    for (int u : rest) {
        if (sel.used() >= sel.limit()) break;
        sel.take(u);
    }
    return sel.render();
}

}  // namespace facts

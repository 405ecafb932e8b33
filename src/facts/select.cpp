// The lines of a span, their facts, and the greedy choice of the lines a budget keeps.
#include "select.hpp"

#include <algorithm>
#include <limits>
#include <queue>
#include <set>
#include <unordered_set>
#include <utility>

namespace facts {
namespace {

enum UnitKind : int { kPlain = 0, kCall = 1, kErrorLine = 2, kConstraintLine = 3 };
/// What a line is worth besides its new facts: a command run, an error line
/// (its command comes with it) and a user's constraint.
constexpr double kBonus[] = {0.0, 1.0, 1.0, 2.0};
/// Added to every cost in the ratio, so that a short line with one fact does
/// not win over a line with many by its shortness alone.
constexpr double kCostFloor = 8.0;
/// Longest run of lines valued as one choice: a marker costs about as much
/// as a short line, and past a few lines the one it saves no longer changes
/// which run leads.
constexpr int kRunBound = 4;

constexpr std::int64_t kKept = std::numeric_limits<std::int64_t>::min();

constexpr Char kEllipsis = U'\u2026';

std::int64_t digits(std::int64_t n) {
    std::int64_t d = 1;
    while (n >= 10) n /= 10, ++d;
    return d;
}

/// Length, with its line break, of the marker for `n` left-out lines (0: none):
/// "…(n lines omitted)", "…(1 line omitted)".
std::int64_t gap(std::int64_t n) { return n == 0 ? 0 : 2 + digits(n) + (n == 1 ? 14 : 15) + 1; }

void append_marker(std::u32string &out, std::int64_t n) {
    out.push_back(kEllipsis);
    out.push_back(U'(');
    // Written out rather than through std::to_string: std::string's members
    // come from the C++ runtime under a symbol version newer than the wheel
    // may ask for (GLIBCXX_3.4.21), where u32string's are compiled in here.
    char32_t number[20];
    int length = 0;
    std::int64_t rest = n;
    do {
        number[length++] = static_cast<char32_t>(U'0' + rest % 10);
        rest /= 10;
    } while (rest > 0);
    while (length > 0) out.push_back(number[--length]);
    out.append(n == 1 ? U" line omitted)" : U" lines omitted)");
}

/// Which lines are kept, and the exact length of the text they render to.
/// The span's lines form one sequence (units in conversation order); every
/// run of left-out lines, within a message or across messages, becomes one
/// marker line, and the first kept line of each message carries its header.
/// `used` counts every rendered line with its line break; the text is one
/// code point shorter.
class Selection {
public:
    Selection(const Span &span, std::int64_t budget)
        : span_(span), limit_(budget + 1), units_(static_cast<std::int64_t>(span.unit_text.size())),
          kept_in_(span.messages.size(), 0), covered_(static_cast<std::size_t>(span.fact_count), 0),
          counted_(static_cast<std::size_t>(span.fact_count), 0), used_(gap(units_)) {}

    std::int64_t used() const { return used_; }
    std::int64_t limit() const { return limit_; }
    bool is_kept(int unit) const { return kept_.count(unit) != 0; }
    int kept_in(int message) const { return kept_in_[message]; }

    /// How much longer the text gets when `unit` is kept (less than 1 when its
    /// line is shorter than the marker it replaces); kKept when it is kept.
    std::int64_t cost(int unit) const { return cost_given(unit, -1); }

    /// The cost of keeping both `unit` and `other` (two lines not kept yet),
    /// exactly: the second one's markers and label are counted after the first.
    std::int64_t cost_of_both(int unit, int other) const {
        return cost_given(unit, -1) + cost_given(other, unit);
    }

    /// Keeps `unit` when the text stays within the budget.
    bool take(int unit) {
        const std::int64_t c = cost(unit);
        if (c == kKept || used_ + c > limit_) return false;
        keep(unit);
        used_ += c;
        return true;
    }

    /// A run of left-out lines, with the new facts it holds (plus the
    /// bonuses of the lines that bring some) and the exact cost of keeping
    /// it whole.
    struct Run {
        int first, last;
        double value;
        std::int64_t cost;
    };

    /// Of the runs of left-out lines that start at `first` (left out), hold
    /// at most `bound` lines, cost at most `room` and have no line after the
    /// first for which `stop(first, line)` holds, the one with the most new
    /// facts per code point of cost (a fact held by two of its lines counts
    /// once); a value of 0 when none holds a new fact.
    template <class Stop>
    Run best_run(int first, int bound, std::int64_t room, Stop stop) const {
        const auto next = kept_.upper_bound(first);
        const std::int64_t after = next == kept_.end() ? units_ : *next;
        const std::int64_t before = next == kept_.begin() ? -1 : *std::prev(next);
        if (++generation_ == 0) {
            std::fill(counted_.begin(), counted_.end(), 0);
            generation_ = 1;
        }
        Run best{first, first, 0.0, 0};
        double best_ratio = -1.0, value = 0.0;
        std::int64_t lines = 0;
        int message = -1;
        for (int last = first; last < after && last - first < bound; ++last) {
            if (last > first && stop(first, last)) break;
            int fresh = 0;
            for (int f = span_.fact_begin[last]; f < span_.fact_begin[last + 1]; ++f) {
                const int id = span_.fact_ids[f];
                if (!covered_[id] && counted_[id] != generation_) {
                    counted_[id] = generation_;
                    ++fresh;
                }
            }
            if (fresh) value += fresh + kBonus[span_.unit_kind[last]];
            lines += static_cast<std::int64_t>(span_.unit_text[last].length) + 1;
            const int m = span_.unit_message[last];
            if (m != message && !kept_in_[m]) lines += static_cast<std::int64_t>(span_.messages[m].header.length);
            message = m;
            const std::int64_t c = lines + gap(first - before - 1) + gap(after - last - 1) - gap(after - before - 1);
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

    /// The unit's facts not kept yet, plus its bonus when there is one.
    double value(int unit) const {
        int fresh = 0;
        for (int f = span_.fact_begin[unit]; f < span_.fact_begin[unit + 1]; ++f) fresh += !covered_[span_.fact_ids[f]];
        return fresh ? fresh + kBonus[span_.unit_kind[unit]] : 0.0;
    }

    std::u32string render() const {
        std::u32string out;
        if (used_ > limit_ || units_ == 0) return out;
        out.reserve(static_cast<std::size_t>(used_));
        std::int64_t previous = -1;
        int message = -1;
        bool first = true;
        const auto line_break = [&] {
            if (!first) out.push_back(U'\n');
            first = false;
        };
        for (int unit : kept_) {
            if (unit - previous - 1) {
                line_break();
                append_marker(out, unit - previous - 1);
            }
            line_break();
            if (span_.unit_message[unit] != message) {
                message = span_.unit_message[unit];
                out.append(span_.view(span_.messages[message].header));
            }
            out.append(span_.view(span_.unit_text[unit]));
            previous = unit;
        }
        if (units_ - 1 - previous) {
            line_break();
            append_marker(out, units_ - 1 - previous);
        }
        return out;
    }

private:
    void keep(int unit) {
        kept_.insert(unit);
        ++kept_in_[span_.unit_message[unit]];
        for (int f = span_.fact_begin[unit]; f < span_.fact_begin[unit + 1]; ++f) covered_[span_.fact_ids[f]] = 1;
    }

    /// cost(unit), as if `also` (a line not kept, or -1) were kept.
    std::int64_t cost_given(int unit, int also) const {
        const auto at = kept_.lower_bound(unit);
        if (at != kept_.end() && *at == unit) return kKept;
        std::int64_t before = at == kept_.begin() ? -1 : *std::prev(at);
        std::int64_t after = at == kept_.end() ? units_ : *at;
        if (also >= 0 && also < unit) before = std::max<std::int64_t>(before, also);
        if (also > unit) after = std::min<std::int64_t>(after, also);
        const int m = span_.unit_message[unit];
        const bool labelled = kept_in_[m] || (also >= 0 && span_.unit_message[also] == m);
        const std::int64_t header = labelled ? 0 : static_cast<std::int64_t>(span_.messages[m].header.length);
        return static_cast<std::int64_t>(span_.unit_text[unit].length) + 1 + header + gap(unit - before - 1) +
               gap(after - unit - 1) - gap(after - before - 1);
    }

    const Span &span_;
    std::int64_t limit_, units_;
    std::set<int> kept_;
    std::vector<int> kept_in_;    // per message, how many of its lines are kept
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

/// Keeps lines by new facts per code point of cost, the best first, until
/// nothing more fits in `allowance` (lazy greedy: a line's facts only lose
/// worth as others are kept, so one that still leads after being valued
/// afresh is the best). Ties go to the newer line. A kept error line brings
/// the line that names its command.
///
/// Costs are exact (Selection::cost), and three rules keep the choice
/// honest about them:
/// - an error line whose command line is not kept yet is valued with it,
///   both lines' new facts over both costs, since keeping the one keeps the
///   other;
/// - any other line is valued as the best run of up to kRunBound lines it
///   starts, and the run is kept whole: the first line of a block pays the
///   marker (and the label) for all of them, so a block of lines worth
///   keeping together is not passed over for its first line's cost alone;
/// - a kept run makes others cheaper (the lines around it need no marker of
///   their own, the lines of a message no label once one of them is kept),
///   so those are valued afresh rather than left below their worth in the
///   queue.
void greedy(Selection &sel, const Span &span, const std::vector<int> &units, std::int64_t allowance) {
    using Entry = std::pair<double, int>;  // (ratio, unit): the largest first, the newer on ties
    // A run ends before an error line whose command is neither kept nor in the run.
    const auto needs_more = [&](int first, int unit) {
        const int anchor = span.unit_anchor[unit];
        return anchor >= 0 && !sel.is_kept(anchor) && !(anchor >= first && anchor < unit);
    };
    const std::int64_t start = sel.used();
    const auto room = [&] { return std::min(allowance - (sel.used() - start), sel.limit() - sel.used()); };
    // The best choice that starts at `unit` and fits (a value of 0 when
    // none does): a line that needs its command, valued with it (kept alone
    // when only it fits), or the best run from it.
    const auto best = [&](int unit) -> Selection::Run {
        const std::int64_t left = room();
        const int anchor = span.unit_anchor[unit];
        if (anchor >= 0 && !sel.is_kept(anchor)) {
            const double value = sel.cost(unit) <= left ? sel.value(unit) + sel.value(anchor) : 0.0;
            return {unit, unit, value, sel.cost_of_both(unit, anchor)};
        }
        return sel.best_run(unit, kRunBound, left, needs_more);
    };
    std::vector<char> in_scope(span.unit_text.size(), 0);
    std::vector<Entry> entries;
    for (int unit : units) {
        const int facts = span.fact_begin[unit + 1] - span.fact_begin[unit];
        if (facts && sel.cost(unit) != kKept) {
            in_scope[unit] = 1;
            const double worth = facts + kBonus[span.unit_kind[unit]];
            entries.emplace_back(worth / (static_cast<double>(span.unit_text[unit].length) + kCostFloor), unit);
        }
    }
    std::priority_queue<Entry> heap(std::less<Entry>(), std::move(entries));
    const auto revalue = [&](int unit) {
        if (unit >= 0 && unit < static_cast<int>(in_scope.size()) && in_scope[unit] && !sel.is_kept(unit) &&
            sel.value(unit) > 0) {
            const Selection::Run run = best(unit);
            if (run.value > 0) heap.emplace(Selection::ratio(run.value, run.cost), unit);
        }
    };
    const auto revalue_around = [&](int first, int last) {
        for (int u = std::max(first - kRunBound, 0); u < first; ++u) revalue(u);
        revalue(last + 1);
        for (int m = span.unit_message[first]; m <= span.unit_message[last]; ++m) {
            const Span::Message &message = span.messages[m];
            const int end = message.first_unit + message.units;
            const int here = std::min(last + 1, end) - std::max(first, message.first_unit);
            if (sel.kept_in(m) != here) continue;  // its label was paid before
            for (int u = message.first_unit; u < end; ++u) revalue(u);
        }
    };
    while (!heap.empty()) {
        const int unit = heap.top().second;
        heap.pop();
        if (sel.is_kept(unit) || sel.value(unit) <= 0) continue;
        const Selection::Run run = best(unit);
        if (run.value <= 0) continue;  // nothing from it fits
        const double r = Selection::ratio(run.value, run.cost);
        if (!heap.empty() && r < heap.top().first) {
            heap.emplace(r, unit);
            continue;
        }
        // A run's cost is its own; a line's is counted afresh (the one valued
        // with its command included that command's cost).
        if (!(run.last > unit ? sel.take(run) : sel.take(unit))) continue;
        revalue_around(unit, run.last);
        const int anchor = span.unit_anchor[unit];
        if (anchor >= 0 && !sel.is_kept(anchor) && sel.cost(anchor) <= room() && sel.take(anchor)) {
            revalue_around(anchor, anchor);
        }
    }
}

/// The largest number of code points per message such that the starts of
/// all messages within it fit `share` together.
std::int64_t even_cap(const Span &span, const std::vector<int> &users, std::int64_t share) {
    const auto total = [&](std::int64_t cap) {
        std::int64_t used = 0;
        for (int m : users) {
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
    for (int m : users) {
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

bool blank(View line) { return std::all_of(line.begin(), line.end(), is_space); }

}  // namespace

void Span::add_message(Piece header, Piece body, int kind, std::vector<Piece> calls, std::vector<Piece> call_ids,
                       Piece tool_call_id) {
    messages.push_back({header, body, kind, std::move(calls), std::move(call_ids), tool_call_id});
}

void Span::add_unit(int message, Piece line, int kind, bool user) {
    const View text_view = view(line);
    found_.clear();
    find_tokens(text_view, line.start, found_);
    if (kind == kPlain && user) {
        const std::size_t before = found_.size();
        find_constraints(text_view, line.start, found_);
        if (found_.size() > before) kind = kConstraintLine;
    }
    if (kind == kPlain && is_error_line(text_view)) {
        const Found fact = line_fact(text_view, line.start, kErrors);
        if (fact.length) {
            found_.push_back(fact);
            kind = kErrorLine;
        }
    }
    unit_text.push_back(line);
    unit_message.push_back(message);
    unit_kind.push_back(kind);
    unit_anchor.push_back(-1);
    const std::size_t first = fact_ids.size();
    for (const Found &f : found_) {
        const auto [it, added] = ids_.try_emplace(View(text).substr(f.start, f.length), fact_count);
        fact_count += added;
        fact_ids.push_back(it->second);
    }
    // Each fact counts once per line.
    std::sort(fact_ids.begin() + static_cast<std::ptrdiff_t>(first), fact_ids.end());
    fact_ids.erase(std::unique(fact_ids.begin() + static_cast<std::ptrdiff_t>(first), fact_ids.end()), fact_ids.end());
    fact_begin.push_back(static_cast<int>(fact_ids.size()));
}

void Span::add_lines(int message, Piece body, bool user) {
    const View all = view(body);
    const bool output = messages[message].kind == kTool;
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
        // The line in pieces of at most kPieceBound code points.
        std::size_t at = start;
        while (end - at > kPieceBound) {
            const View window = all.substr(at + kPieceFloor, kPieceBound - kPieceFloor);
            const std::size_t space = window.rfind(U' ');
            std::size_t cut = space == View::npos ? at + kPieceBound : at + kPieceFloor + space;
            // Never between the halves of a surrogate pair.
            if (space == View::npos && all[cut - 1] >= 0xD800 && all[cut - 1] <= 0xDBFF && all[cut] >= 0xDC00 &&
                all[cut] <= 0xDFFF) {
                --cut;
            }
            add_unit(message, {body.start + at, cut - at}, kPlain, user);
            at = space == View::npos ? cut : cut + 1;
        }
        add_unit(message, {body.start + at, end - at}, kPlain, user);
        start = next;
    }
}

void Span::prepare() {
    fact_begin.assign(1, 0);
    std::unordered_map<View, int> call_units;
    std::vector<int> last_calls;
    for (int m = 0; m < static_cast<int>(messages.size()); ++m) {
        Message &message = messages[m];
        message.first_unit = static_cast<int>(unit_text.size());
        if (message.body.length) add_lines(m, message.body, message.kind == kUser || message.kind == kSummary);
        if (message.kind == kTool) {
            int call = -1;
            if (message.tool_call_id.length) {
                const auto it = call_units.find(view(message.tool_call_id));
                if (it != call_units.end()) call = it->second;
            }
            if (call < 0 && last_calls.size() == 1) call = last_calls[0];
            int command = -1;
            for (int u = message.first_unit; u < static_cast<int>(unit_text.size()); ++u) {
                if (is_command_line(view(unit_text[u]))) {
                    command = u;
                } else if (unit_kind[u] == kErrorLine) {
                    unit_anchor[u] = command >= 0 ? command : call;
                }
            }
        }
        if (!message.calls.empty()) last_calls.clear();
        for (std::size_t k = 0; k < message.calls.size(); ++k) {
            const int unit = static_cast<int>(unit_text.size());
            add_unit(m, message.calls[k], kCall, false);
            if (message.call_ids[k].length) call_units[view(message.call_ids[k])] = unit;
            last_calls.push_back(unit);
        }
        message.units = static_cast<int>(unit_text.size()) - message.first_unit;
    }
}

std::u32string Span::select(std::int64_t budget, const Shares &shares) const {
    const int count = static_cast<int>(messages.size());
    const int units = static_cast<int>(unit_text.size());
    std::int64_t whole = 0;
    for (const Message &message : messages) whole += message.header.length;
    for (const Piece &line : unit_text) whole += line.length + 1;
    if (whole - 1 <= budget) {
        // Everything fits. The limit is set above the first steps, which
        // still hold a marker for what is not kept yet and can be longer.
        Selection all(*this, whole + gap(units) + 1);
        for (int u = 0; u < units; ++u) all.take(u);
        return all.render();
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
    // The start and the end of the span.
    if (count) {
        take_within(sel, range(messages[0].first_unit, messages[0].units), share_of(budget, shares.start));
        const Message &last = messages[count - 1];
        std::int64_t left = take_within(sel, range(last.first_unit, std::min(last.units, 1)), share_of(budget, shares.end));
        std::vector<int> tail = range(last.first_unit + 1, std::max(last.units - 1, 0));
        std::reverse(tail.begin(), tail.end());
        take_within(sel, tail, left);
    }
    // Every user message, the start of each when they do not all fit.
    std::vector<int> users;
    for (int m = 0; m < count; ++m) {
        if (messages[m].kind == kUser) users.push_back(m);
    }
    const std::int64_t cap = even_cap(*this, users, share_of(budget, shares.user));
    std::unordered_set<View> said;  // a line the user repeats ("go on") is kept once
    for (int m : users) {
        std::vector<int> lines;
        for (int u = messages[m].first_unit; u < messages[m].first_unit + messages[m].units; ++u) {
            if (said.insert(view(unit_text[u])).second) lines.push_back(u);
        }
        take_within(sel, lines, cap + static_cast<std::int64_t>(messages[m].header.length) + 32);
    }
    // The lines that add the most facts per code point. A line no longer than
    // the marker it would replace makes the text shorter: such lines are
    // kept, and what they free goes to the greedy choice again.
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
    // Then whatever fits: users' and assistants' lines first, then the rest,
    // newest first.
    std::vector<int> rest;
    for (int u = units - 1; u >= 0; --u) {
        if (messages[unit_message[u]].kind != kTool && !blank(view(unit_text[u]))) rest.push_back(u);
    }
    for (int u = units - 1; u >= 0; --u) {
        if (messages[unit_message[u]].kind == kTool && !blank(view(unit_text[u]))) rest.push_back(u);
    }
    for (int u : rest) {
        if (sel.used() >= sel.limit()) break;
        sel.take(u);
    }
    return sel.render();
}

}  // namespace facts

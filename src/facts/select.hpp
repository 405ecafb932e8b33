// A span as lines with their facts, and the choice of lines that fits a budget.
#pragma once

#include "holder.hpp"
#include "recognise.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace facts {

/// What a message is to the selection. Users', assistants' and other
/// messages' texts are the story; a tool's are its output.
enum MessageKind : int { kOther = 0, kUser = 1, kSummary = 2, kTool = 3, kAssistant = 4 };

/// Shares of the budget: the previous summary's, the story's (users' and
/// assistants' texts, taken before any tool output), and the start's and the
/// end's of the span.
struct Shares {
    double summary, story, start, end;
};

/// Longest line kept whole; longer ones are cut into pieces, at the last
/// sentence end or else the last space after kPieceFloor code points when
/// there is one, and never inside a URL. The floor keeps an error line's
/// start (kFactLineBound) in its first piece.
inline constexpr std::size_t kPieceBound = 320;
inline constexpr std::size_t kPieceFloor = 120;

/// What a unit (a line, or a piece of one) is besides its text, as bits.
enum UnitFlag : unsigned char {
    kJoined = 1,   // a piece that continues the unit before it on the same line
    kSpaced = 2,   // joined after a space (the one the cut took out)
    kSkipped = 4,  // repeats an earlier line: never kept, the first one carries it
    kStory = 8,    // a line of a user's, an assistant's or another non-tool message
    kOpening = 16, // the opening sentence of a story message
    kQuiet = 32,   // a comment or a default, which weighs less
    kFrame = 64,   // names a file of the project with a line number
    kListed = 128, // a value listed by a fold's line, kept only after it (its anchor)
};

/// Distinct texts numbered in the order they are first seen: an
/// open-addressing table of views (into Span::text), with no node to
/// allocate per text, which a megabyte of output asks tens of thousands of
/// times.
class ViewTable {
public:
    /// The number of `view` (the next one when it is new), and whether it is new.
    std::pair<int, bool> insert(View view) {
        if (2 * (views_.size() + 1) > slots_.size()) grow();
        const std::size_t hash = std::hash<View>{}(view);
        for (std::size_t i = hash & mask();; i = (i + 1) & mask()) {
            Slot &slot = slots_[i];
            if (slot.index < 0) {
                slot = {hash, static_cast<int>(views_.size())};
                views_.push_back(view);
                return {slot.index, true};
            }
            if (slot.hash == hash && views_[slot.index] == view) return {slot.index, false};
        }
    }

private:
    struct Slot {
        std::size_t hash = 0;
        int index = -1;
    };
    std::vector<Slot> slots_;
    std::vector<View> views_;

    std::size_t mask() const { return slots_.size() - 1; }

    void grow() {
        std::vector<Slot> old(slots_.empty() ? 64 : 2 * slots_.size());
        old.swap(slots_);
        for (const Slot &slot : old) {
            if (slot.index < 0) continue;
            std::size_t i = slot.hash & mask();
            while (slots_[i].index >= 0) i = (i + 1) & mask();
            slots_[i] = slot;
        }
    }
};

/// Rules of use: append every string to `text` and describe each message
/// with add_message (pieces of `text`), then call prepare() once; select()
/// may then be called any number of times. prepare() appends the lines that
/// stand for runs of repeated lines to `text` before it takes views into it,
/// so `text` must not change after it. The Holder given to prepare (the text
/// of the messages kept after the span, or none) must outlive the call.
class Span {
public:
    std::u32string text;

    void add_message(Piece header, Piece body, int kind, std::vector<Piece> calls, std::vector<Piece> call_ids,
                     Piece tool_call_id);
    /// `later`: what the messages kept after the span say; the span's facts
    /// that it holds weigh most (kAgain), and a fold lists the progress
    /// figures it mentions again.
    void prepare(const Holder *later = nullptr);

    /// The kept units of the span rendered within `budget` code points.
    std::u32string select(std::int64_t budget, const Shares &shares) const;

    // Read by the selection.
    struct Message {
        Piece header, body;
        int kind;
        std::vector<Piece> calls, call_ids;
        Piece tool_call_id;
        int first_unit = 0, units = 0;
        int first_line = 0, lines = 0;
    };
    std::vector<Message> messages;
    /// Every line of every message as the whole span renders it: its body's
    /// lines (white space trimmed), then its call lines.
    std::vector<Piece> line_text;
    std::vector<Piece> unit_text;
    std::vector<int> unit_message, unit_kind;
    std::vector<unsigned char> unit_flags;
    /// The lines each unit stands for: 1, or the length of a run of repeated
    /// lines that it renders as one; as a prefix sum (units + 1 entries), so
    /// that a marker counts the span's lines.
    std::vector<std::int64_t> lines_before;
    /// The line naming the failing command and the frame naming a project
    /// file that an error line brings with it (-1: none).
    std::vector<std::array<int, 2>> unit_anchors;
    /// For the line that stands for a run and lists the facts that vary in
    /// it, and for each of its listed values (units kListed, after it): the
    /// last value's unit; -1 for every other unit. A value's anchor is its line.
    std::vector<int> listing_last;
    /// The units whose anchor unit a is: dependents[dependent_begin[a], dependent_begin[a + 1]).
    std::vector<int> dependent_begin, dependents;
    std::vector<int> fact_begin;  // unit u's facts: fact_ids[fact_begin[u], fact_begin[u + 1])
    std::vector<int> fact_ids;
    std::vector<float> fact_weight;  // per fact id, by its category and whether it is mentioned again
    int fact_count = 0;

    View view(Piece p) const { return View(text).substr(p.start, p.length); }
    bool has(int unit, UnitFlag flag) const { return unit_flags[unit] & flag; }

private:
    ViewTable ids_;
    std::vector<Found> found_;
    std::vector<std::pair<std::size_t, std::size_t>> urls_;

    /// A run of lines of a message: the one unit that stands for it, when
    /// `count` > 1 (`shown`: the line that stands for it with its count,
    /// `key`: what tells it from another run, carried once: that line without
    /// the count, or with its values), and the values that line lists.
    struct Group {
        int first_line, count;
        Piece shown, key;
        std::vector<Piece> values;
    };
    std::vector<std::vector<Group>> groups_;

    const Holder *later_ = nullptr;

    void read_lines(int message);
    /// `source`, when not empty, is the line that a shaped line stands for:
    /// its tokens that `source` does not hold (test_case_0NN) are no facts.
    void add_unit(int message, Piece line, int kind, unsigned char flags, std::int64_t lines, View source = {});
    /// The values that the line standing for lines [first, end) (of one
    /// shape) lists, appended to `values` (their text to `listed`, one after
    /// another, offsets from its start): the facts that vary, and in error
    /// lines every word that varies; progress only when mentioned again.
    void list_values(int first, int end, std::u32string &listed, std::vector<Piece> &values) const;
    /// Adds the units of `line`: pieces of it, an opening sentence alone
    /// (`opening`); skipped when it `repeat`s an earlier line.
    void add_line(int message, Piece line, bool opening, bool repeat);
    void anchor_errors(int message, int call);
};

}  // namespace facts

// A span as lines with their facts, and the choice of lines that fits a budget.
#pragma once

#include "recognise.hpp"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace facts {

/// What a message is to the selection.
enum MessageKind : int { kOther = 0, kUser = 1, kSummary = 2, kTool = 3 };

/// A stretch of Span::text.
struct Piece {
    std::size_t start = 0;
    std::size_t length = 0;
};

/// Shares of the budget taken before the greedy choice of fact lines.
struct Shares {
    double summary, user, start, end;
};

/// Longest line kept whole; longer ones are cut into pieces, at the last
/// space after kPieceFloor code points when there is one. The floor keeps an
/// error line's start (kFactLineBound) in its first piece.
inline constexpr std::size_t kPieceBound = 320;
inline constexpr std::size_t kPieceFloor = 120;

/// Rules of use: append every string to `text` and describe each message
/// with add_message (pieces of `text`), then call prepare() once; select()
/// may then be called any number of times. Views into `text` are taken by
/// prepare(), so `text` must not change after it.
class Span {
public:
    std::u32string text;

    void add_message(Piece header, Piece body, int kind, std::vector<Piece> calls, std::vector<Piece> call_ids,
                     Piece tool_call_id);
    void prepare();

    /// The kept lines of the span rendered within `budget` code points.
    std::u32string select(std::int64_t budget, const Shares &shares) const;

    // Read by the selection.
    struct Message {
        Piece header, body;
        int kind;
        std::vector<Piece> calls, call_ids;
        Piece tool_call_id;
        int first_unit = 0, units = 0;
    };
    std::vector<Message> messages;
    std::vector<Piece> unit_text;
    std::vector<int> unit_message, unit_kind, unit_anchor;
    std::vector<int> fact_begin;  // unit u's facts: fact_ids[fact_begin[u], fact_begin[u + 1])
    std::vector<int> fact_ids;
    int fact_count = 0;

    View view(Piece p) const { return View(text).substr(p.start, p.length); }

private:
    std::unordered_map<View, int> ids_;
    std::vector<Found> found_;

    void add_unit(int message, Piece line, int kind, bool user);
    void add_lines(int message, Piece body, bool user);
};

}  // namespace facts

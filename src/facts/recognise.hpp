// The facts of a line of text: paths, URLs, identifiers, numbers with units, error lines, constraints.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace facts {

using Char = char32_t;
using View = std::u32string_view;

/// The categories, in the order context_compress.facts.CATEGORIES names them.
enum Category : int { kPaths = 0, kUrls, kIdentifiers, kNumbers, kErrors, kConstraints, kCategories };

/// One fact: `text[start, start + length)` of the scanned line's buffer.
struct Found {
    int category;
    std::size_t start;
    std::size_t length;
};

/// Longest error line and constraint counted as one fact (their start).
inline constexpr std::size_t kFactLineBound = 120;

/// Appends the token facts of `line` (paths, URLs, identifiers, numbers with
/// units); offsets are counted from `base`. The rules:
///
/// A token is a run of characters none of which is a delimiter: white space
/// and other controls, the ASCII marks " ' ` ( ) [ ] { } < > , ; |, the
/// Latin-1 controls and no-break space, the general punctuation block
/// U+2000-U+206F, and every code point from U+2E80 on (CJK text and its
/// punctuation, full-width forms, emoji, surrogates).
///
/// A token holding "://" after a scheme (a letter, then letters, digits,
/// "+", "." or "-", two characters at least) is a URL from the scheme on,
/// without trailing . : ! ? *. Any other token is split at "=", ":" and the
/// ".." of a range (a1b2c3d..e4f5a6b; not the ../ of a path); each
/// part loses its leading - + * ! $ & ^ and trailing . ! ? * ^ & and, when
/// two characters or more are left, is the first of:
///  - a ticket: "#" and two digits or more (other leading "#" are dropped);
///  - a number with a unit: digits (groups joined by "." or ","), then a
///    unit of the attached list (12ms, 3.5MB, 96%), or NmN.Ns as time(1)
///    prints it; a bare number that ends its token (one digit will do),
///    followed after spaces or tabs by a unit word (5 ms, 3 passed), is a
///    fact with that word;
///  - a path: only ASCII letters, digits and _ . / ~ @ % + -, a letter
///    among them, and either a "/" (not two leading ones; not one "/"
///    between two runs of letters only, as in and/or) or a known file
///    extension after its last ".";
///  - a hash: 7 to 64 of 0-9a-f with a digit and a letter among them;
///  - a ticket such as ABC-123 or ORD-7: an upper-case letter, upper-case
///    letters or digits, "-", digits;
///  - an identifier: a dotted name of letters, digits and _ (not starting
///    with a digit, three characters or more) one of whose parts is
///    snake_case (an inner _), a __dunder__, or camelCase (a lower-case
///    letter before an upper-case one, or two upper-case letters before a
///    lower-case one).
void find_tokens(View line, std::size_t base, std::vector<Found> &out);

/// Whether `line` reports an error: a word ending in Error or Exception
/// (ValueError), one of the words error, ERROR, failed, FAILED, Failed,
/// FAIL, failure, Failure, FAILURE, fatal, Fatal, FATAL, panic, PANIC,
/// Traceback, denied, Aborted, abort standing alone (no ASCII letter on
/// either side), or one of the phrases "No such file", "not found",
/// "Segmentation fault", "undefined reference", "timed out", "cannot find",
/// "Cannot find", "could not", "Could not", "unable to", "Unable to".
bool is_error_line(View line);

/// Whether `line` names a command whose output follows: after leading
/// blanks it starts with "$ ", "% ", "> ", "+ ", ">>> " or U+276F and a
/// space, or its first word is a prompt such as user@host:~$ (holding "@"
/// or ":" and ending in "$" or "#").
bool is_command_line(View line);

/// The error fact of an error line: the line without the white space
/// around it, cut to kFactLineBound code points (never between the halves
/// of a surrogate pair). `start` is counted from `base`.
Found line_fact(View line, std::size_t base, int category);

/// Appends the constraints of a user's `line`: each sentence (ended by a
/// line break, by . ! ? ; before white space, or by 。！？；) that holds a
/// constraint word (don't, do not, never, must, only, avoid, keep, without,
/// ... in ASCII letters of any case, or 不要, 必须, 只能, 保持, ...), as its
/// line_fact.
void find_constraints(View line, std::size_t base, std::vector<Found> &out);

/// Whether `c` is white space for the stripping of lines and sentences.
bool is_space(Char c);

/// Whether `c` ends a token (find_tokens' delimiters).
bool delimits_tokens(Char c);

/// The URLs of `line` as [start, end) offsets, in order: the URL facts
/// find_tokens appends, which no cut of a line may part.
void find_urls(View line, std::vector<std::pair<std::size_t, std::size_t>> &out);

/// Whether `line` is made only of a comment or states a default, as a
/// configuration dump's commented-out settings do: after leading blanks and
/// a line number (as read_file or grep -n print it: digits, then a tab, ":"
/// or "|"), it starts with "#" (not a preprocessor directive, "#!" or a
/// ticket such as #482), "//", "/*", "-- ", "; " or "<!--"; or it holds
/// "(default" or "[default".
bool is_comment_or_default(View line);

/// Whether `line` names a file of the project with a line number, as a
/// stack frame or a compiler message does: one of its path facts (`paths`:
/// facts of `line`, offsets from `base`) is followed by ":" and a digit or by
/// `", line ` and a digit, and lies outside the system's and the packages'
/// trees (/usr/, /lib/, /opt/, site-packages, dist-packages, node_modules,
/// .cargo, .rustup, /rustc/, java.base/, node:, a stdlib's /lib/pythonX.Y/).
bool is_project_frame(View line, std::size_t base, const std::vector<Found> &facts);

/// Whether two lines have the same shape: the same words and marks, and
/// white space at the same places, where the runs of letters and digits that
/// hold a digit (numbers, ids, stamps) may differ, but never inside a URL.
bool same_shape(View a, View b);

/// Whether the shape of `line` holds a word of two letters or more outside
/// its numbers: a line of numbers alone (a table's row) is data, not noise.
bool has_word(View line);

/// Appends to `out` the one line that stands for `lines` (two or more of the
/// same shape): the first line, where every number, id or stamp that differs
/// among them is written with N for each character that differs (all of it
/// when their lengths differ), as in test_case_0NN.
void write_shape(const std::vector<View> &lines, std::u32string &out);

/// For lines of one shape (same_shape two by two), the runs of letters and
/// digits of each line that differ among them, as [start, end) of that line:
/// the parts write_shape writes with N, all of one run when only some of its
/// characters differ. `out` gets one list per line, the runs in the same
/// order in each.
void differing_runs(const std::vector<View> &lines, std::vector<std::vector<std::pair<std::size_t, std::size_t>>> &out);

/// The end of the first sentence of `line` (the position after its ". ",
/// "! ", "? " or "; ", or after 。！？；), or `line.size()` when it holds one
/// sentence.
std::size_t first_sentence_end(View line);

/// The position in `line[from, to)` after the last sentence end that is
/// followed by a space, or View::npos when there is none.
std::size_t last_sentence_end(View line, std::size_t from, std::size_t to);

}  // namespace facts

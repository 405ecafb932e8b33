// The recognisers of facts in a line: tokens and their kinds, error lines, commands, constraints.
#include "recognise.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <tuple>

namespace facts {
namespace {

bool is_letter(Char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_lower(Char c) { return c >= 'a' && c <= 'z'; }
bool is_upper(Char c) { return c >= 'A' && c <= 'Z'; }
bool is_digit(Char c) { return c >= '0' && c <= '9'; }
bool is_alnum(Char c) { return is_letter(c) || is_digit(c); }
bool is_hex(Char c) { return is_digit(c) || (c >= 'a' && c <= 'f'); }
bool one_of(Char c, std::u32string_view set) { return set.find(c) != View::npos; }

// Classes of the ASCII characters, looked up: the scan asks for every character.
enum : unsigned char { kDelimiterClass = 1, kPathClass = 2 };

constexpr std::array<unsigned char, 128> ascii_classes() {
    std::array<unsigned char, 128> table{};
    for (unsigned c = 0; c < 128; ++c) {
        if (c <= 0x20 || c == 0x7F) table[c] |= kDelimiterClass;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) table[c] |= kPathClass;
    }
    for (char c : std::string_view("\"'`()[]{}<>,;|")) table[static_cast<unsigned char>(c)] |= kDelimiterClass;
    for (char c : std::string_view("_./~@%+-")) table[static_cast<unsigned char>(c)] |= kPathClass;
    return table;
}
constexpr std::array<unsigned char, 128> kAscii = ascii_classes();

bool is_delimiter(Char c) {
    if (c < 0x80) return kAscii[c] & kDelimiterClass;
    return c <= 0xA0 || (c >= 0x2000 && c <= 0x206F) || c >= 0x2E80;
}

bool is_path_char(Char c) { return c < 0x80 && (kAscii[c] & kPathClass); }

constexpr std::array<View, 95> kExtensions = {
    U"py", U"pyi", U"pyx", U"pxd", U"c", U"cc", U"cpp", U"cxx", U"h", U"hh", U"hpp", U"hxx", U"rs", U"go",
    U"java", U"kt", U"scala", U"rb", U"php", U"pl", U"lua", U"js", U"mjs", U"cjs", U"ts", U"tsx", U"jsx", U"vue",
    U"sh", U"bash", U"zsh", U"ps1", U"bat", U"md", U"rst", U"txt", U"adoc", U"json", U"jsonl", U"toml", U"yaml",
    U"yml", U"ini", U"cfg", U"conf", U"env", U"lock", U"log", U"csv", U"tsv", U"xml", U"html", U"htm", U"css",
    U"scss", U"sql", U"db", U"sqlite", U"proto", U"gz", U"tgz", U"bz2", U"xz", U"zip", U"tar", U"whl", U"so",
    U"dylib", U"dll", U"exe", U"o", U"a", U"pdf", U"png", U"jpg", U"jpeg", U"gif", U"svg", U"ipynb", U"mk",
    U"cmake", U"patch", U"diff", U"pem", U"crt", U"pyc", U"egg", U"spec", U"in", U"out", U"err", U"tmp", U"bak",
    U"swp", U"wasm",
};

// Units written right after the number.
constexpr std::array<View, 48> kAttachedUnits = {
    U"%", U"B", U"KB", U"MB", U"GB", U"TB", U"PB", U"KiB", U"MiB", U"GiB", U"TiB", U"kB", U"K", U"M", U"G", U"T",
    U"k", U"b", U"kb", U"mb", U"gb", U"ms", U"us", U"\u00b5s", U"ns", U"s", U"sec", U"secs", U"m", U"min", U"mins",
    U"h", U"hr", U"hrs", U"d", U"x", U"px", U"Hz", U"kHz", U"MHz", U"GHz", U"fps", U"rps", U"qps", U"MB/s",
    U"KB/s", U"GB/s", U"tok/s",
};

// Units written as a word of their own after the number.
constexpr std::array<View, 76> kUnitWords = {
    U"%", U"B", U"KB", U"MB", U"GB", U"TB", U"KiB", U"MiB", U"GiB", U"kB", U"ms", U"us", U"\u00b5s", U"ns", U"s",
    U"sec", U"secs", U"min", U"mins", U"bytes", U"byte", U"seconds", U"second", U"minutes", U"minute", U"hours",
    U"hour", U"days", U"day", U"lines", U"line", U"files", U"file", U"tests", U"test", U"passed", U"failed",
    U"errors", U"error", U"warnings", U"warning", U"skipped", U"deselected", U"xfailed", U"xpassed", U"items",
    U"tokens", U"chars", U"characters", U"messages", U"commits", U"rows", U"records", U"requests", U"insertions",
    U"deletions", U"changed", U"workers", U"threads", U"cores", U"retries", U"attempts", U"packages", U"objects",
    U"dirs", U"directories", U"entries", U"words", U"MB/s", U"KB/s", U"GB/s", U"Hz", U"kHz", U"MHz", U"GHz",
    U"fps",
};

template <std::size_t N>
bool listed(const std::array<View, N> &list, View word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

/// Digits in groups joined by "." or ",": the length of that prefix of `s`.
std::size_t number_prefix(View s) {
    std::size_t i = 0;
    while (i < s.size() && is_digit(s[i])) ++i;
    if (i == 0) return 0;
    while (i + 1 < s.size() && (s[i] == '.' || s[i] == ',') && is_digit(s[i + 1])) {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i;
    }
    return i;
}

/// 0m1.234s, as time(1) prints a duration.
bool is_time_duration(View s) {
    std::size_t i = 0;
    while (i < s.size() && is_digit(s[i])) ++i;
    if (i == 0 || i >= s.size() || s[i] != 'm') return false;
    std::size_t j = ++i;
    while (i < s.size() && is_digit(s[i])) ++i;
    if (i == j) return false;
    if (i < s.size() && s[i] == '.') {
        j = ++i;
        while (i < s.size() && is_digit(s[i])) ++i;
        if (i == j) return false;
    }
    return i + 1 == s.size() && s[i] == 's';
}

bool is_ticket(View s) {
    if (s.size() < 4 || !is_upper(s[0])) return false;
    std::size_t i = 1;
    while (i < s.size() && (is_upper(s[i]) || is_digit(s[i]))) ++i;
    if (i < 2 || i >= s.size() || s[i] != '-') return false;
    const std::size_t digits = s.size() - i - 1;
    return digits >= 1 && std::all_of(s.begin() + static_cast<std::ptrdiff_t>(i) + 1, s.end(), is_digit);
}

bool is_hash(View s) {
    if (s.size() < 7 || s.size() > 64) return false;
    bool digit = false, letter = false;
    for (Char c : s) {
        if (!is_hex(c)) return false;
        (is_digit(c) ? digit : letter) = true;
    }
    return digit && letter;
}

bool is_path(View s) {
    std::size_t slashes = 0;
    bool letter = false;
    for (Char c : s) {
        if (!is_path_char(c)) return false;
        slashes += c == '/';
        letter = letter || is_letter(c);
    }
    if (!letter) return false;
    if (slashes > 0) {
        if (s.size() >= 2 && s[0] == '/' && s[1] == '/') return false;
        if (slashes == 1 && s.front() != '/' && s.back() != '/') {
            const std::size_t at = s.find('/');
            const auto letters = [](View part) { return std::all_of(part.begin(), part.end(), is_letter); };
            if (letters(s.substr(0, at)) && letters(s.substr(at + 1))) return false;
        }
        return true;
    }
    const std::size_t dot = s.rfind('.');
    if (dot == View::npos || dot == 0 || dot + 1 == s.size()) return false;
    const View name = s.substr(0, dot);
    return std::any_of(name.begin(), name.end(), is_alnum) && listed(kExtensions, s.substr(dot + 1));
}

bool is_identifier_part(View p) {
    if (p.empty() || is_digit(p[0])) return false;
    for (std::size_t i = 0; i < p.size(); ++i) {
        const Char c = p[i];
        if (c == '_' && i > 0 && i + 1 < p.size()) return true;
        if (i + 1 < p.size() && is_lower(c) && is_upper(p[i + 1])) return true;
        if (i + 2 < p.size() && is_upper(c) && is_upper(p[i + 1]) && is_lower(p[i + 2])) return true;
    }
    return false;
}

bool is_identifier(View s) {
    if (s.size() < 3 || is_digit(s[0]) || s[0] == '.') return false;
    for (Char c : s) {
        if (!is_alnum(c) && c != '_' && c != '.') return false;
    }
    if (s.back() == '.' || s.find(U"..") != View::npos) return false;
    if (std::none_of(s.begin(), s.end(), is_letter)) return false;
    std::size_t start = 0;
    while (start <= s.size()) {
        std::size_t end = s.find('.', start);
        if (end == View::npos) end = s.size();
        if (is_identifier_part(s.substr(start, end - start))) return true;
        start = end + 1;
    }
    return false;
}

/// The unit word starting at `line[at]` right after the number that ends a
/// token: the end of that word, or 0 when there is none.
std::size_t unit_word_end(View line, std::size_t at) {
    std::size_t i = at;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == at || i >= line.size() || is_delimiter(line[i])) return 0;
    std::size_t end = i;
    while (end < line.size() && !is_delimiter(line[end])) ++end;
    while (end > i && one_of(line[end - 1], U".:!?")) --end;
    return end > i && listed(kUnitWords, line.substr(i, end - i)) ? end : 0;
}

/// The kind of one part of a token, `line[a, b)`; `last` when it ends the token.
void classify(View line, std::size_t a, std::size_t b, bool last, std::size_t base, std::vector<Found> &out) {
    while (a < b && one_of(line[a], U"-+*!$&^")) ++a;
    while (b > a && one_of(line[b - 1], U".!?*^&")) --b;
    if (b - a == 1 && is_digit(line[a]) && last) {
        // One digit, as in 5 ms.
        if (const std::size_t end = unit_word_end(line, b)) out.push_back({kNumbers, base + a, end - a});
        return;
    }
    if (b - a < 2) return;
    // Most parts are words: letters alone, capitalised at most, are no fact
    // of any kind (no digit, "/", ".", "_" or inner capital), and prose is
    // made of them.
    {
        std::size_t i = a + (is_upper(line[a]) ? 1 : 0);
        while (i < b && is_lower(line[i])) ++i;
        if (i == b) return;
    }
    if (line[a] == '#') {
        const View rest = line.substr(a + 1, b - a - 1);
        if (rest.size() >= 2 && std::all_of(rest.begin(), rest.end(), is_digit)) {
            out.push_back({kIdentifiers, base + a, b - a});
            return;
        }
        while (a < b && line[a] == '#') ++a;
        if (b - a < 2) return;
    }
    const View s = line.substr(a, b - a);
    const std::size_t digits = number_prefix(s);
    if (digits > 0) {
        if ((digits < s.size() && listed(kAttachedUnits, s.substr(digits))) || is_time_duration(s)) {
            out.push_back({kNumbers, base + a, b - a});
            return;
        }
        if (digits == s.size()) {
            if (const std::size_t end = last ? unit_word_end(line, b) : 0) {
                out.push_back({kNumbers, base + a, end - a});
            }
            return;
        }
    }
    if (is_path(s)) {
        out.push_back({kPaths, base + a, b - a});
    } else if (is_hash(s) || is_ticket(s) || is_identifier(s)) {
        out.push_back({kIdentifiers, base + a, b - a});
    }
}

/// The URL of token `line[s, e)`, if it holds one: `line[a, b)`.
bool url_in(View line, std::size_t s, std::size_t e, std::size_t &a, std::size_t &b) {
    const View token = line.substr(s, e - s);
    const std::size_t sep = token.find(U"://");
    if (sep == View::npos || sep == 0 || sep + 3 >= token.size()) return false;
    std::size_t q = sep;
    while (q > 0 && (is_alnum(token[q - 1]) || one_of(token[q - 1], U"+.-"))) --q;
    while (q < sep && !is_letter(token[q])) ++q;
    if (sep - q < 2) return false;
    std::size_t end = token.size();
    while (end > sep + 3 && one_of(token[end - 1], U".:!?*")) --end;
    a = s + q, b = s + end;
    return true;
}

/// The URL fact of token `line[s, e)`, if it holds one.
bool url(View line, std::size_t s, std::size_t e, std::size_t base, std::vector<Found> &out) {
    std::size_t a = 0, b = 0;
    if (!url_in(line, s, e, a, b)) return false;
    out.push_back({kUrls, base + a, b - a});
    return true;
}

bool word_at(View line, std::size_t i, View word) {
    if (line.compare(i, word.size(), word) != 0) return false;
    const std::size_t end = i + word.size();
    return (i == 0 || !is_letter(line[i - 1])) && (end >= line.size() || !is_letter(line[end]));
}

constexpr std::array<View, 18> kErrorWords = {
    U"error", U"ERROR", U"failed", U"FAILED", U"Failed", U"FAIL", U"failure", U"Failure", U"FAILURE", U"fatal",
    U"Fatal", U"FATAL", U"panic", U"PANIC", U"Traceback", U"denied", U"Aborted", U"abort",
};
constexpr std::array<View, 11> kErrorPhrases = {
    U"No such file", U"not found", U"Segmentation fault", U"undefined reference", U"timed out", U"cannot find",
    U"Cannot find", U"could not", U"Could not", U"unable to", U"Unable to",
};

Char lower(Char c) { return is_upper(c) ? c + 32 : c; }

constexpr std::array<View, 33> kConstraintWords = {
    U"don't", U"dont", U"do not", U"doesn't", U"never", U"must", U"mustn't", U"only", U"avoid", U"keep",
    U"without", U"leave", U"instead", U"always", U"make sure", U"ensure", U"no more than", U"at most",
    U"at least", U"not allowed", U"shouldn't", U"should not", U"can't", U"cannot", U"stick to", U"limit",
    U"preserve", U"untouched", U"exactly", U"nothing else", U"unless", U"don\u2019t", U"please do not",
};
constexpr std::array<View, 21> kConstraintMarks = {
    U"不要", U"别动", U"别改", U"别碰", U"别删", U"不能", U"不许", U"禁止", U"必须", U"务必", U"只能", U"只用",
    U"只改", U"保持", U"保留", U"避免", U"千万", U"不得", U"仅", U"请勿", U"不准",
};

bool holds_constraint(View sentence) {
    for (View mark : kConstraintMarks) {
        if (sentence.find(mark) != View::npos) return true;
    }
    for (std::size_t i = 0; i < sentence.size(); ++i) {
        if (!is_letter(sentence[i]) || (i > 0 && is_letter(sentence[i - 1]))) continue;
        for (View word : kConstraintWords) {
            if (i + word.size() > sentence.size()) continue;
            bool same = true;
            for (std::size_t k = 0; k < word.size() && same; ++k) same = lower(sentence[i + k]) == word[k];
            const std::size_t end = i + word.size();
            if (same && (end >= sentence.size() || !is_letter(sentence[end]))) return true;
        }
    }
    return false;
}

}  // namespace

bool is_space(Char c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F) || c == 0x85 || c == 0xA0 ||
           c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

namespace {

/// Calls `each(start, end)` for every run of `line` between delimiters.
template <class Each>
void for_each_token(View line, Each &&each) {
    std::size_t i = 0;
    const std::size_t n = line.size();
    while (i < n) {
        while (i < n && is_delimiter(line[i])) ++i;
        const std::size_t s = i;
        while (i < n && !is_delimiter(line[i])) ++i;
        if (i > s) each(s, i);
    }
}

}  // namespace

void find_tokens(View line, std::size_t base, std::vector<Found> &out) {
    for_each_token(line, [&](std::size_t s, std::size_t i) {
        if ((i - s == 1 && !is_digit(line[s])) || url(line, s, i, base, out)) return;
        std::size_t a = s;
        for (std::size_t j = s; j <= i; ++j) {
            if (j == i || line[j] == '=' || line[j] == ':') {
                classify(line, a, j, j == i, base, out);
                a = j + 1;
            } else if (line[j] == '.' && j + 1 < i && line[j + 1] == '.' && j > a && line[j - 1] != '/' &&
                       (j + 2 >= i || (line[j + 2] != '/' && line[j + 2] != '.'))) {
                // A range such as 0000000..07d40dd; not ../ of a path.
                classify(line, a, j, false, base, out);
                a = j + 2;
                ++j;
            }
        }
    });
}

namespace {

/// The letters that start an error word or phrase: the scan looks no
/// further at a word that starts with any other.
constexpr std::array<bool, 128> error_starts() {
    std::array<bool, 128> table{};
    for (View word : kErrorWords) table[word[0]] = true;
    for (View phrase : kErrorPhrases) table[phrase[0]] = true;
    return table;
}
constexpr std::array<bool, 128> kErrorStarts = error_starts();

/// The pairs of ASCII characters that start an error word or phrase, as
/// bits (first * 128 + second): most words that start with one of their
/// letters (the, to, an) go on with another, and are passed over at once.
constexpr std::array<std::uint64_t, 256> error_pairs() {
    std::array<std::uint64_t, 256> table{};
    const auto add = [&](View word) {
        const std::size_t k = word[0] * 128 + word[1];
        table[k / 64] |= std::uint64_t{1} << (k % 64);
    };
    for (View word : kErrorWords) add(word);
    for (View phrase : kErrorPhrases) add(phrase);
    return table;
}
constexpr std::array<std::uint64_t, 256> kErrorPairs = error_pairs();

}  // namespace

bool is_error_line(View line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        const Char c = line[i];
        if (c == 'E') {
            // A word ending in Error or Exception.
            for (View tail : {View(U"Error"), View(U"Exception")}) {
                const std::size_t end = i + tail.size();
                if (line.compare(i, tail.size(), tail) == 0 && (end >= line.size() || !is_lower(line[end]))) {
                    return true;
                }
            }
        }
        if (!is_letter(c) || !kErrorStarts[c] || (i > 0 && is_letter(line[i - 1]))) continue;
        if (i + 1 >= line.size() || line[i + 1] >= 128) continue;  // every word and phrase is longer, in ASCII
        const std::size_t pair = c * 128 + line[i + 1];
        if (!(kErrorPairs[pair / 64] >> (pair % 64) & 1)) continue;
        for (View word : kErrorWords) {
            if (word[0] == c && word_at(line, i, word)) return true;
        }
        for (View phrase : kErrorPhrases) {
            if (phrase[0] == c && line.compare(i, phrase.size(), phrase) == 0) return true;
        }
    }
    return false;
}

bool is_command_line(View line) {
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const View rest = line.substr(i);
    for (View prompt : {View(U"$ "), View(U"% "), View(U"> "), View(U"+ "), View(U">>> "), View(U"\u276f ")}) {
        if (rest.substr(0, prompt.size()) == prompt) return true;
    }
    const std::size_t space = rest.find(' ');
    if (space == View::npos || space == 0) return false;
    const View word = rest.substr(0, space);
    return (word.back() == '$' || word.back() == '#') &&
           (word.find('@') != View::npos || word.find(':') != View::npos);
}

Found line_fact(View line, std::size_t base, int category) {
    std::size_t a = 0, b = line.size();
    while (a < b && is_space(line[a])) ++a;
    while (b > a && is_space(line[b - 1])) --b;
    if (b - a > kFactLineBound) {
        b = a + kFactLineBound;
        // Never between the halves of a surrogate pair.
        if (line[b - 1] >= 0xD800 && line[b - 1] <= 0xDBFF && line[b] >= 0xDC00 && line[b] <= 0xDFFF) --b;
    }
    return {category, base + a, b - a};
}

void find_constraints(View line, std::size_t base, std::vector<Found> &out) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= line.size(); ++i) {
        std::size_t end = 0, next = 0;
        if (i == line.size() || line[i] == '\n') {
            end = i, next = i + 1;
        } else if (one_of(line[i], U"。！？；")) {
            end = next = i + 1;
        } else if (one_of(line[i], U".!?;") && i + 1 < line.size() && is_space(line[i + 1])) {
            end = next = i + 1;
        } else {
            continue;
        }
        const View sentence = line.substr(start, end - start);
        if (holds_constraint(sentence)) {
            const Found fact = line_fact(sentence, base + start, kConstraints);
            if (fact.length) out.push_back(fact);
        }
        start = next;
    }
}

void find_urls(View line, std::vector<std::pair<std::size_t, std::size_t>> &out) {
    for_each_token(line, [&](std::size_t s, std::size_t i) {
        std::size_t a = 0, b = 0;
        if (i - s > 3 && url_in(line, s, i, a, b)) out.emplace_back(a, b);
    });
}

namespace {

constexpr std::array<View, 14> kDirectives = {
    U"include", U"define", U"undef", U"if", U"ifdef", U"ifndef", U"elif", U"else", U"endif", U"pragma",
    U"error", U"warning", U"line", U"import",
};

bool starts_with(View s, View prefix) { return s.substr(0, prefix.size()) == prefix; }

}  // namespace

bool is_comment_or_default(View line) {
    std::size_t i = 0;
    const std::size_t n = line.size();
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::size_t j = i;
    while (j < n && is_digit(line[j])) ++j;
    if (j > i && j < n && (line[j] == '\t' || line[j] == ':' || line[j] == '|')) {
        i = j + 1;
        while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    }
    const View rest = line.substr(i);
    if (!rest.empty() && rest[0] == '#') {
        if (rest.size() >= 2 && (rest[1] == '!' || is_digit(rest[1]))) return false;
        std::size_t w = 1;
        while (w < rest.size() && rest[w] == ' ') ++w;
        std::size_t e = w;
        while (e < rest.size() && is_lower(rest[e])) ++e;
        const View word = rest.substr(w, e - w);
        // A directive, not a comment: the word ends there.
        if (!word.empty() && (e == rest.size() || !is_alnum(rest[e]) ) && w <= 2 && listed(kDirectives, word) &&
            (e == rest.size() || rest[e] == ' ' || rest[e] == '<' || rest[e] == '"' || rest[e] == '(')) {
            return false;
        }
        return true;
    }
    if (starts_with(rest, U"//") || starts_with(rest, U"/*") || starts_with(rest, U"-- ") ||
        starts_with(rest, U"; ") || starts_with(rest, U"<!--")) {
        return true;
    }
    for (std::size_t at = line.find(U"default"); at != View::npos; at = line.find(U"default", at + 1)) {
        if (at > 0 && (line[at - 1] == '(' || line[at - 1] == '[')) return true;
    }
    return false;
}

namespace {

bool holds(View s, View part) { return s.find(part) != View::npos; }

/// Whether a path lies in the system's or the packages' trees, where no
/// file of the project is.
bool foreign_path(View p) {
    for (View prefix : {View(U"/usr/"), View(U"/lib"), View(U"/opt/"), View(U"/nix/"), View(U"/snap/"),
                        View(U"/System/")}) {
        if (starts_with(p, prefix)) return true;
    }
    for (View part : {View(U"site-packages/"), View(U"dist-packages/"), View(U"node_modules/"), View(U"/.cargo/"),
                      View(U".rustup/"), View(U"/rustc/"), View(U"java.base/"), View(U"/lib/python"),
                      View(U"/lib/jvm/")}) {
        if (holds(p, part)) return true;
    }
    return false;
}

}  // namespace

bool is_project_frame(View line, std::size_t base, const std::vector<Found> &facts) {
    for (const Found &f : facts) {
        if (f.category != kPaths || f.start < base) continue;
        const std::size_t start = f.start - base, end = start + f.length;
        if (end > line.size()) continue;
        const View after = line.substr(end);
        const bool numbered = (after.size() >= 2 && after[0] == ':' && is_digit(after[1])) ||
                              (after.size() >= 9 && starts_with(after, U"\", line ") && is_digit(after[8]));
        if (!numbered) continue;
        if (start >= 5 && line.substr(start - 5, 5) == U"node:") continue;
        if (!foreign_path(line.substr(start, f.length))) return true;
    }
    return false;
}

namespace {

/// The next token of `s` from `i` (after white space): [start, end), or
/// start == s.size() at the end.
std::pair<std::size_t, std::size_t> token_at(View s, std::size_t i) {
    while (i < s.size() && is_space(s[i])) ++i;
    std::size_t e = i;
    while (e < s.size() && !is_space(s[e])) ++e;
    return {i, e};
}

bool has_digit(View run) { return std::any_of(run.begin(), run.end(), is_digit); }

/// The end of the run of ASCII letters and digits at `s[i]`.
std::size_t run_end(View s, std::size_t i) {
    while (i < s.size() && is_alnum(s[i])) ++i;
    return i;
}

/// Whether the token of `s` that starts at `start` holds "://".
bool token_holds_url(View s, std::size_t start) {
    for (std::size_t i = start; i + 2 < s.size() && !is_space(s[i]); ++i) {
        if (s[i] == ':' && s[i + 1] == '/' && s[i + 2] == '/') return true;
    }
    return false;
}

/// The runs of letters and digits that hold a digit, outside URLs, as
/// [start, end) of `line`: the parts of a shape that may differ.
void varying_runs(View line, std::vector<std::pair<std::size_t, std::size_t>> &out) {
    out.clear();
    for (auto [s, e] = token_at(line, 0); s < line.size(); std::tie(s, e) = token_at(line, e)) {
        const View token = line.substr(s, e - s);
        if (holds(token, U"://")) continue;
        for (std::size_t i = s; i < e;) {
            if (!is_alnum(line[i])) {
                ++i;
                continue;
            }
            const std::size_t end = run_end(line.substr(0, e), i);
            if (has_digit(line.substr(i, end - i))) out.emplace_back(i, end);
            i = end;
        }
    }
}

}  // namespace

bool same_shape(View a, View b) {
    // White space at the start too: an indented line is not shaped as one that is not.
    if (a.empty() || b.empty()) return a.empty() && b.empty();
    if (is_space(a[0]) != is_space(b[0])) return false;
    // One pass over both: most lines differ in their first word, and the
    // tokens' URLs are looked for only where two numbers differ.
    std::size_t i = 0, j = 0, token_a = 0, token_b = 0;
    while (i < a.size() && j < b.size()) {
        const Char ca = a[i], cb = b[j];
        if (is_space(ca) || is_space(cb)) {
            if (!is_space(ca) || !is_space(cb)) return false;
            while (i < a.size() && is_space(a[i])) ++i;
            while (j < b.size() && is_space(b[j])) ++j;
            token_a = i, token_b = j;
        } else if (is_alnum(ca) && is_alnum(cb)) {
            const std::size_t ie = run_end(a, i), je = run_end(b, j);
            const View ra = a.substr(i, ie - i), rb = b.substr(j, je - j);
            if (ra != rb && (!has_digit(ra) || !has_digit(rb) || token_holds_url(a, token_a) ||
                             token_holds_url(b, token_b))) {
                return false;
            }
            i = ie, j = je;
        } else if (ca == cb) {
            ++i, ++j;
        } else {
            return false;
        }
    }
    return i == a.size() && j == b.size();
}

bool has_word(View line) {
    for (std::size_t i = 0; i < line.size();) {
        if (!is_alnum(line[i])) {
            ++i;
            continue;
        }
        const std::size_t end = run_end(line, i);
        const View run = line.substr(i, end - i);
        if (!has_digit(run) && run.size() >= 2) return true;
        i = end;
    }
    return false;
}

void write_shape(const std::vector<View> &lines, std::u32string &out) {
    const View first = lines[0];
    std::vector<std::vector<std::pair<std::size_t, std::size_t>>> runs(lines.size());
    for (std::size_t k = 0; k < lines.size(); ++k) varying_runs(lines[k], runs[k]);
    std::size_t at = 0;
    for (std::size_t r = 0; r < runs[0].size(); ++r) {
        const auto [s, e] = runs[0][r];
        out.append(first.substr(at, s - at));
        const View mine = first.substr(s, e - s);
        bool equal = true, same_length = true;
        for (std::size_t k = 1; k < lines.size() && r < runs[k].size(); ++k) {
            const View other = lines[k].substr(runs[k][r].first, runs[k][r].second - runs[k][r].first);
            equal = equal && other == mine;
            same_length = same_length && other.size() == mine.size();
        }
        if (equal) {
            out.append(mine);
        } else if (!same_length) {
            out.push_back(U'N');
        } else {
            for (std::size_t c = 0; c < mine.size(); ++c) {
                bool agree = true;
                for (std::size_t k = 1; k < lines.size() && agree && r < runs[k].size(); ++k) {
                    agree = lines[k][runs[k][r].first + c] == mine[c];
                }
                out.push_back(agree ? mine[c] : U'N');
            }
        }
        at = e;
    }
    out.append(first.substr(at));
}

bool delimits_tokens(Char c) { return is_delimiter(c); }

void differing_runs(const std::vector<View> &lines, std::vector<std::vector<std::pair<std::size_t, std::size_t>>> &out) {
    std::vector<std::vector<std::pair<std::size_t, std::size_t>>> runs(lines.size());
    for (std::size_t k = 0; k < lines.size(); ++k) varying_runs(lines[k], runs[k]);
    out.assign(lines.size(), {});
    for (std::size_t r = 0; r < runs[0].size(); ++r) {
        const View mine = lines[0].substr(runs[0][r].first, runs[0][r].second - runs[0][r].first);
        bool equal = true;
        for (std::size_t k = 1; k < lines.size() && equal; ++k) {
            equal = r < runs[k].size() &&
                    lines[k].substr(runs[k][r].first, runs[k][r].second - runs[k][r].first) == mine;
        }
        if (equal) continue;
        for (std::size_t k = 0; k < lines.size(); ++k) {
            if (r < runs[k].size()) out[k].push_back(runs[k][r]);
        }
    }
}

namespace {

bool ends_sentence(View line, std::size_t i) {
    if (one_of(line[i], U"。！？；")) return i + 1 < line.size();
    return one_of(line[i], U".!?;") && i + 1 < line.size() && is_space(line[i + 1]);
}

}  // namespace

std::size_t first_sentence_end(View line) {
    std::size_t letters = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        letters += is_letter(line[i]) || line[i] >= 0x80;
        // Three letters at least: "1. " opens a list, it ends no sentence.
        if (letters >= 3 && ends_sentence(line, i)) return i + 1;
    }
    return line.size();
}

std::size_t last_sentence_end(View line, std::size_t from, std::size_t to) {
    for (std::size_t i = to; i-- > from;) {
        if (ends_sentence(line, i)) return i + 1;
    }
    return View::npos;
}

}  // namespace facts

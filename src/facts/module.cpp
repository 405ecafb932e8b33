// context_compress._facts: the fact finder and line selection behind context_compress.facts.
#include "../routes/ref.hpp"
#include "holder.hpp"
#include "select.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

/// The entry points' one way out of a C++ exception, called in their
/// catch-all handler: none may cross into the interpreter. An allocation
/// that fails (std::bad_alloc, or std::length_error for a size past what a
/// container holds) gives MemoryError; anything else a SystemError naming
/// it. A Python exception already set is kept. Returns nullptr.
PyObject *from_exception() noexcept {
    if (PyErr_Occurred()) return nullptr;
    try {
        throw;
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (const std::length_error &) {
        return PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_Format(PyExc_SystemError, "context_compress._facts: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "context_compress._facts: an unknown C++ exception");
    }
    return nullptr;
}

/// A C++ exception caught while the GIL is released, kept to be raised as a
/// Python exception once the GIL is held again: no Python object may be
/// touched, nor an exception set, without it.
struct Failure {
    enum Kind { kNone, kMemory, kOther } kind = kNone;
    char what[200] = {};

    /// Called in a catch-all handler: records the exception being handled.
    void capture() noexcept {
        try {
            throw;
        } catch (const std::bad_alloc &) {
            kind = kMemory;
        } catch (const std::length_error &) {
            kind = kMemory;
        } catch (const std::exception &e) {
            kind = kOther;
            std::snprintf(what, sizeof what, "%s", e.what());
        } catch (...) {
            kind = kOther;
            std::snprintf(what, sizeof what, "an unknown C++ exception");
        }
    }

    /// With the GIL held: sets the exception recorded (as from_exception
    /// does); returns nullptr.
    PyObject *raise() const noexcept {
        if (kind == kMemory) return PyErr_NoMemory();
        PyErr_Format(PyExc_SystemError, "context_compress._facts: %s", what);
        return nullptr;
    }
};

/// Runs `work` (pure C++: it reads nothing of Python's) with the GIL
/// released, so that other threads run meanwhile. Returns false, with the
/// Python exception set once the GIL is back, when it threw.
template <class Work>
bool without_gil(Work work) noexcept {
    Failure failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (...) {
        failure.capture();
    }
    Py_END_ALLOW_THREADS
    if (failure.kind == Failure::kNone) return true;
    failure.raise();
    return false;
}

/// The characters of many strs copied into buffers of code points: each str
/// is taken (its length read, a reference to it kept) with the GIL held, and
/// the copies, the long part on a big span, are made by fill() while the GIL
/// is released. A str's characters never change, and the reference keeps its
/// storage alive, whatever other threads do to the lists that held it. The
/// references are dropped when the Copies goes, which is with the GIL held.
class Copies {
public:
    Copies() = default;
    Copies(const Copies &) = delete;
    Copies &operator=(const Copies &) = delete;
    ~Copies() {
        for (const Item &item : items_) Py_DECREF(item.str);
    }

    /// Plans the copy of the str `s` at the end of `out`; -1 with TypeError
    /// when `s` is not a str.
    int add(std::u32string &out, PyObject *s, facts::Piece &piece) {
        if (!PyUnicode_Check(s)) {
            PyErr_Format(PyExc_TypeError, "expected str, not %.100s", Py_TYPE(s)->tp_name);
            return -1;
        }
        std::size_t &end = end_of(out);
        piece = {end, static_cast<std::size_t>(PyUnicode_GET_LENGTH(s))};
        items_.push_back({s, &out, piece});
        Py_INCREF(s);
        end += piece.length;
        return 0;
    }

    /// Makes the copies; needs no GIL.
    void fill() {
        for (auto &[buffer, end] : ends_) buffer->resize(end);
        for (const Item &item : items_) {
            char32_t *to = item.out->data() + item.piece.start;
            const void *data = PyUnicode_DATA(item.str);
            const std::size_t n = item.piece.length;
            switch (PyUnicode_KIND(item.str)) {
            case PyUnicode_1BYTE_KIND:
                for (std::size_t i = 0; i < n; ++i) to[i] = static_cast<const Py_UCS1 *>(data)[i];
                break;
            case PyUnicode_2BYTE_KIND:
                for (std::size_t i = 0; i < n; ++i) to[i] = static_cast<const Py_UCS2 *>(data)[i];
                break;
            default:
                for (std::size_t i = 0; i < n; ++i) to[i] = static_cast<const Py_UCS4 *>(data)[i];
                break;
            }
        }
    }

private:
    struct Item {
        PyObject *str;  // strong reference
        std::u32string *out;
        facts::Piece piece;
    };

    std::size_t &end_of(std::u32string &out) {
        for (auto &[buffer, end] : ends_) {
            if (buffer == &out) return end;
        }
        return ends_.emplace_back(&out, out.size()).second;
    }

    std::vector<Item> items_;
    std::vector<std::pair<std::u32string *, std::size_t>> ends_;  // the size each buffer will have
};

/// A new str holding `text` (new reference).
PyObject *to_str(std::u32string_view text) {
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size()));
}

/// Plans the copies of a tuple of str into pieces of `span.text`.
int read_strs(Copies &copies, facts::Span &span, PyObject *seq, std::vector<facts::Piece> &out) {
    if (!PyTuple_Check(seq)) {
        PyErr_SetString(PyExc_TypeError, "expected a tuple of str");
        return -1;
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(seq); ++k) {
        facts::Piece piece;
        if (copies.add(span.text, PyTuple_GET_ITEM(seq, k), piece) < 0) return -1;
        out.push_back(piece);
    }
    return 0;
}

constexpr const char kSelectDoc[] =
    "select(messages, budget, shares, later=None)\n--\n\n"
    "The kept lines of a span within `budget` code points. `messages` is a list of\n"
    "(header, body, kind, calls, call_ids, tool_call_id) tuples, `shares` the four\n"
    "shares (summary, story, start, end) of the budget, `later` the text of the\n"
    "messages kept after the span (or None): the span's facts it holds weigh most.\n"
    "The GIL is released once the messages are read.";

PyObject *select_entry(PyObject *, PyObject *args) noexcept {
    PyObject *messages, *later = Py_None;
    Py_ssize_t budget;
    facts::Shares shares{};
    if (!PyArg_ParseTuple(args, "O!n(dddd)|O:select", &PyList_Type, &messages, &budget, &shares.summary,
                          &shares.story, &shares.start, &shares.end, &later)) {
        return nullptr;
    }
    if (budget < 0) {
        PyErr_SetString(PyExc_ValueError, "budget must be 0 or more");
        return nullptr;
    }
    facts::Span span;
    std::u32string later_text;
    Copies copies;
    try {
        facts::Piece piece;
        if (later != Py_None && copies.add(later_text, later, piece) < 0) return nullptr;
        // The list is ours to read: nothing below calls back into Python.
        for (Py_ssize_t m = 0; m < PyList_GET_SIZE(messages); ++m) {
            PyObject *item = PyList_GET_ITEM(messages, m);
            PyObject *header, *body, *calls, *ids, *tool_call_id;
            int kind;
            if (!PyArg_ParseTuple(item, "UUiO!O!U:select", &header, &body, &kind, &PyTuple_Type, &calls,
                                  &PyTuple_Type, &ids, &tool_call_id)) {
                return nullptr;
            }
            facts::Piece h, b, t;
            std::vector<facts::Piece> call_lines, call_ids;
            if (copies.add(span.text, header, h) < 0 || copies.add(span.text, body, b) < 0 ||
                read_strs(copies, span, calls, call_lines) < 0 || read_strs(copies, span, ids, call_ids) < 0 ||
                copies.add(span.text, tool_call_id, t) < 0) {
                return nullptr;
            }
            if (call_lines.size() != call_ids.size()) {
                PyErr_SetString(PyExc_ValueError, "calls and call_ids differ in length");
                return nullptr;
            }
            span.add_message(h, b, kind, std::move(call_lines), std::move(call_ids), t);
        }
    } catch (...) {
        return from_exception();
    }
    std::u32string text;
    if (!without_gil([&] {
            copies.fill();
            if (later == Py_None) {
                span.prepare();
            } else {
                const facts::Holder holder(later_text);
                span.prepare(&holder);
            }
            text = span.select(budget, shares);
        })) {
        return nullptr;
    }
    return to_str(text);
}

/// The texts of (text, user) pairs, copied: the input of find and seen.
struct Texts {
    std::u32string buffer;
    std::vector<std::pair<facts::Piece, bool>> pieces;
};

/// Reads the list `texts` of (str, bool) pairs, planning the copies of the
/// strs; -1 with the exception set.
int read_texts(Copies &copies, PyObject *texts, Texts &out) {
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(texts); ++k) {
        PyObject *text;
        int user;
        if (!PyArg_ParseTuple(PyList_GET_ITEM(texts, k), "Up:find", &text, &user)) return -1;
        facts::Piece piece;
        if (copies.add(out.buffer, text, piece) < 0) return -1;
        out.pieces.emplace_back(piece, user != 0);
    }
    return 0;
}

/// The distinct facts of `texts` per category, as views into its buffer.
void distinct_facts(const Texts &texts, std::vector<facts::View> (&by_category)[facts::kCategories]) {
    std::vector<facts::Found> found;
    const facts::View all(texts.buffer);
    for (const auto &[piece, user] : texts.pieces) facts::find_in(all, piece, user, found);
    std::unordered_set<facts::View> seen[facts::kCategories];
    for (const facts::Found &f : found) {
        const facts::View fact = all.substr(f.start, f.length);
        if (seen[f.category].insert(fact).second) by_category[f.category].push_back(fact);
    }
}

constexpr const char kFindDoc[] =
    "find(texts)\n--\n\n"
    "The facts of the (text, user) pairs `texts`: a tuple of six sets of str, one per\n"
    "category in the order of context_compress.facts.CATEGORIES; constraints only in\n"
    "texts whose `user` is true. The GIL is released once the texts are read.";

PyObject *find_entry(PyObject *, PyObject *args) noexcept {
    PyObject *list;
    if (!PyArg_ParseTuple(args, "O!:find", &PyList_Type, &list)) return nullptr;
    Texts texts;
    Copies copies;
    std::vector<facts::View> by_category[facts::kCategories];
    try {
        if (read_texts(copies, list, texts) < 0) return nullptr;
    } catch (...) {
        return from_exception();
    }
    if (!without_gil([&] {
            copies.fill();
            distinct_facts(texts, by_category);
        })) {
        return nullptr;
    }
    Ref sets[facts::kCategories];
    for (int c = 0; c < facts::kCategories; ++c) {
        sets[c] = Ref::steal(PySet_New(nullptr));
        if (!sets[c]) return nullptr;
        for (const facts::View fact : by_category[c]) {
            Ref str = Ref::steal(to_str(fact));
            if (!str || PySet_Add(sets[c].get(), str.get()) < 0) return nullptr;
        }
    }
    return PyTuple_Pack(6, sets[0].get(), sets[1].get(), sets[2].get(), sets[3].get(), sets[4].get(),
                        sets[5].get());
}

constexpr const char kSeenDoc[] =
    "seen(texts, sent)\n--\n\n"
    "How many of the facts of the (text, user) pairs `texts` (as find finds them)\n"
    "`sent` holds verbatim: a tuple of seven (held, of) pairs, one per category in\n"
    "the order of context_compress.facts.CATEGORIES, then all of them (a fact of two\n"
    "categories counted once). The GIL is released once the texts are read.";

PyObject *seen_entry(PyObject *, PyObject *args) noexcept {
    PyObject *list, *sent;
    if (!PyArg_ParseTuple(args, "O!U:seen", &PyList_Type, &list, &sent)) return nullptr;
    Texts texts;
    std::u32string sent_text;
    Copies copies;
    try {
        facts::Piece piece;
        if (read_texts(copies, list, texts) < 0 || copies.add(sent_text, sent, piece) < 0) return nullptr;
    } catch (...) {
        return from_exception();
    }
    Py_ssize_t counts[facts::kCategories + 1][2] = {};
    if (!without_gil([&] {
            copies.fill();
            std::vector<facts::View> by_category[facts::kCategories];
            distinct_facts(texts, by_category);
            const facts::Holder holder(sent_text);
            std::unordered_set<facts::View> every;
            for (int c = 0; c < facts::kCategories; ++c) {
                for (const facts::View fact : by_category[c]) {
                    const bool held = holder.holds(fact);
                    counts[c][0] += held;
                    ++counts[c][1];
                    if (every.insert(fact).second) {
                        counts[facts::kCategories][0] += held;
                        ++counts[facts::kCategories][1];
                    }
                }
            }
        })) {
        return nullptr;
    }
    Ref result = Ref::steal(PyTuple_New(facts::kCategories + 1));
    if (!result) return nullptr;
    for (int c = 0; c <= facts::kCategories; ++c) {
        PyObject *pair = Py_BuildValue("(nn)", counts[c][0], counts[c][1]);
        if (!pair) return nullptr;
        PyTuple_SET_ITEM(result.get(), c, pair);
    }
    return result.release();
}

PyMethodDef kMethods[] = {
    {"select", select_entry, METH_VARARGS, kSelectDoc},
    {"find", find_entry, METH_VARARGS, kFindDoc},
    {"seen", seen_entry, METH_VARARGS, kSeenDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "context_compress._facts",
    "The fact finder and line selection behind context_compress.facts.", 0, kMethods, kSlots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__facts() { return PyModuleDef_Init(&kModule); }

// context_compress._facts: the fact finder and line selection behind context_compress.facts.
#include "../routes/ref.hpp"
#include "select.hpp"

#include <new>
#include <unordered_set>

namespace {

/// Appends the code points of the str `s` to `out`; -1 with TypeError when
/// `s` is not a str.
int append_str(std::u32string &out, PyObject *s, facts::Piece &piece) {
    if (!PyUnicode_Check(s)) {
        PyErr_Format(PyExc_TypeError, "expected str, not %.100s", Py_TYPE(s)->tp_name);
        return -1;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    piece = {out.size(), static_cast<std::size_t>(n)};
    out.resize(out.size() + static_cast<std::size_t>(n));
    char32_t *to = out.data() + piece.start;
    switch (kind) {
    case PyUnicode_1BYTE_KIND:
        for (Py_ssize_t i = 0; i < n; ++i) to[i] = static_cast<const Py_UCS1 *>(data)[i];
        break;
    case PyUnicode_2BYTE_KIND:
        for (Py_ssize_t i = 0; i < n; ++i) to[i] = static_cast<const Py_UCS2 *>(data)[i];
        break;
    default:
        for (Py_ssize_t i = 0; i < n; ++i) to[i] = static_cast<const Py_UCS4 *>(data)[i];
        break;
    }
    return 0;
}

/// A new str holding `text` (new reference).
PyObject *to_str(std::u32string_view text) {
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size()));
}

/// Reads a tuple of str into pieces of `span.text`.
int read_strs(facts::Span &span, PyObject *seq, std::vector<facts::Piece> &out) {
    if (!PyTuple_Check(seq)) {
        PyErr_SetString(PyExc_TypeError, "expected a tuple of str");
        return -1;
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(seq); ++k) {
        facts::Piece piece;
        if (append_str(span.text, PyTuple_GET_ITEM(seq, k), piece) < 0) return -1;
        out.push_back(piece);
    }
    return 0;
}

constexpr const char kSelectDoc[] =
    "select(messages, budget, shares)\n--\n\n"
    "The kept lines of a span within `budget` code points. `messages` is a list of\n"
    "(header, body, kind, calls, call_ids, tool_call_id) tuples, `shares` the four\n"
    "shares (summary, user, start, end) of the budget.";

PyObject *select(PyObject *, PyObject *args) noexcept {
    PyObject *messages;
    Py_ssize_t budget;
    facts::Shares shares{};
    if (!PyArg_ParseTuple(args, "O!n(dddd):select", &PyList_Type, &messages, &budget, &shares.summary,
                          &shares.user, &shares.start, &shares.end)) {
        return nullptr;
    }
    if (budget < 0) {
        PyErr_SetString(PyExc_ValueError, "budget must be 0 or more");
        return nullptr;
    }
    try {
        facts::Span span;
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
            if (append_str(span.text, header, h) < 0 || append_str(span.text, body, b) < 0 ||
                read_strs(span, calls, call_lines) < 0 || read_strs(span, ids, call_ids) < 0 ||
                append_str(span.text, tool_call_id, t) < 0) {
                return nullptr;
            }
            if (call_lines.size() != call_ids.size()) {
                PyErr_SetString(PyExc_ValueError, "calls and call_ids differ in length");
                return nullptr;
            }
            span.add_message(h, b, kind, std::move(call_lines), std::move(call_ids), t);
        }
        span.prepare();
        const std::u32string text = span.select(budget, shares);
        return to_str(text);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

constexpr const char kFindDoc[] =
    "find(texts)\n--\n\n"
    "The facts of the (text, user) pairs `texts`: a tuple of six sets of str, one per\n"
    "category in the order of context_compress.facts.CATEGORIES; constraints only in\n"
    "texts whose `user` is true.";

PyObject *find(PyObject *, PyObject *args) noexcept {
    PyObject *texts;
    if (!PyArg_ParseTuple(args, "O!:find", &PyList_Type, &texts)) return nullptr;
    try {
        std::u32string buffer;
        std::vector<facts::Found> found;
        // The facts of every text, then each distinct one made a str once.
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(texts); ++k) {
            PyObject *text;
            int user;
            if (!PyArg_ParseTuple(PyList_GET_ITEM(texts, k), "Up:find", &text, &user)) return nullptr;
            facts::Piece piece;
            if (append_str(buffer, text, piece) < 0) return nullptr;
            const facts::View all = facts::View(buffer).substr(piece.start, piece.length);
            std::size_t start = 0;
            while (start <= all.size()) {
                std::size_t end = all.find(U'\n', start);
                if (end == facts::View::npos) end = all.size();
                const facts::View line = all.substr(start, end - start);
                const std::size_t base = piece.start + start;
                facts::find_tokens(line, base, found);
                if (facts::is_error_line(line)) {
                    const facts::Found fact = facts::line_fact(line, base, facts::kErrors);
                    if (fact.length) found.push_back(fact);
                }
                if (user) facts::find_constraints(line, base, found);
                start = end + 1;
            }
        }
        std::unordered_set<facts::View> seen[facts::kCategories];
        Ref sets[facts::kCategories];
        for (auto &set : sets) {
            set = Ref::steal(PySet_New(nullptr));
            if (!set) return nullptr;
        }
        const facts::View all(buffer);
        for (const facts::Found &f : found) {
            const facts::View fact = all.substr(f.start, f.length);
            if (!seen[f.category].insert(fact).second) continue;
            Ref str = Ref::steal(to_str(fact));
            if (!str || PySet_Add(sets[f.category].get(), str.get()) < 0) return nullptr;
        }
        return PyTuple_Pack(6, sets[0].get(), sets[1].get(), sets[2].get(), sets[3].get(), sets[4].get(),
                            sets[5].get());
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

PyMethodDef kMethods[] = {
    {"select", select, METH_VARARGS, kSelectDoc},
    {"find", find, METH_VARARGS, kFindDoc},
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

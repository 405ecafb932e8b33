// The transcript of a message span (_msgs_to_text): one bounded line per message.
#include "bodies.hpp"
#include "lines.hpp"
#include "numbers.hpp"
#include "records.hpp"

#include <algorithm>

namespace {

namespace line = transcript_line;

constexpr const char kGenexprCreateEntry[] = "routes.context_compress._msgs_to_text.genexpr";
constexpr const char kGenexprEntry[] = "genexpr";

constexpr MessageReading kReading{
    .role_first = true,
    .role_default = &Constants::question_mark,
    .role_line = line::kRole,
    .content_line = line::kContent,
    .is_tool_line = line::kIsTool,
    .tool_result_line = line::kToolResult,
};

/// The largest code point of `text[:count]`.
Py_UCS4 head_maxchar(PyObject *text, Py_ssize_t count) {
    if (count == PyUnicode_GET_LENGTH(text) || PyUnicode_IS_ASCII(text)) {
        // A whole str is stored in its narrowest kind, so the kind's bound
        // tells the result its kind; an ASCII head stays ASCII.
        return PyUnicode_MAX_CHAR_VALUE(text);
    }
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_UCS4 maxchar = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        maxchar = std::max(maxchar, PyUnicode_READ(kind, data, i));
    }
    return maxchar;
}

/// Text joined from pieces, of which only the first `keep` code points are
/// held (as references to the pieces) while the full length is counted: its
/// memory is bounded by what a result can use, however much is appended.
/// The pieces are copied once, into the result, as str.join does. The list
/// of pieces is the C API's memory, so that running out of it is a
/// MemoryError like any other (the module is built without exceptions).
class BoundedJoin {
public:
    explicit BoundedJoin(Py_ssize_t keep) noexcept : keep_(keep) {}
    BoundedJoin(const BoundedJoin &) = delete;
    BoundedJoin &operator=(const BoundedJoin &) = delete;
    ~BoundedJoin() {
        clear();
        PyMem_Free(pieces_);
    }

    /// Code points appended, held or not.
    Py_ssize_t length() const noexcept { return length_; }

    void clear() noexcept {
        // Each piece is counted off before its reference goes, since that
        // can run a str subclass's __del__.
        while (count_ > 0) {
            Py_DECREF(pieces_[--count_].text);
        }
        held_ = length_ = 0;
    }

    /// Appends `text[:count]`; `text` is an exact str or a str subclass.
    /// -1 with MemoryError set.
    int append(PyObject *text, Py_ssize_t count) noexcept {
        const Py_ssize_t take = std::min(count, keep_ - held_);
        if (take > 0) {
            if (count_ == capacity_ && grow() < 0) {
                return -1;
            }
            pieces_[count_++] = Piece{Py_NewRef(text), take};
            held_ += take;
        }
        length_ += count;
        return 0;
    }

    /// The first `size` held code points followed by `tail` (a str constant,
    /// or nullptr). New reference.
    PyObject *join(Py_ssize_t size, PyObject *tail) const noexcept {
        size = std::min(size, held_);
        const Py_ssize_t tail_length = tail ? PyUnicode_GET_LENGTH(tail) : 0;
        Py_UCS4 maxchar = tail ? PyUnicode_MAX_CHAR_VALUE(tail) : 0;
        Py_ssize_t left = size;
        for (Py_ssize_t i = 0; i < count_ && left > 0; ++i) {
            const Py_ssize_t count = std::min(pieces_[i].count, left);
            maxchar = std::max(maxchar, head_maxchar(pieces_[i].text, count));
            left -= count;
        }
        Ref joined = Ref::steal(PyUnicode_New(size + tail_length, maxchar));
        if (!joined) {
            return nullptr;
        }
        Py_ssize_t at = 0;
        for (Py_ssize_t i = 0; i < count_; ++i) {
            const Py_ssize_t count = std::min(pieces_[i].count, size - at);
            if (count == 0) {
                break;
            }
            if (PyUnicode_CopyCharacters(joined.get(), at, pieces_[i].text, 0, count) < 0) {
                return nullptr;
            }
            at += count;
        }
        if (tail && PyUnicode_CopyCharacters(joined.get(), at, tail, 0, tail_length) < 0) {
            return nullptr;
        }
        return joined.release();
    }

private:
    struct Piece {
        PyObject *text;  // strong reference
        Py_ssize_t count;
    };

    int grow() noexcept {
        const Py_ssize_t capacity = capacity_ ? 2 * capacity_ : 16;
        auto *pieces = static_cast<Piece *>(PyMem_Realloc(pieces_, static_cast<size_t>(capacity) * sizeof(Piece)));
        if (pieces == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        pieces_ = pieces;
        capacity_ = capacity;
        return 0;
    }

    Py_ssize_t keep_;
    Piece *pieces_ = nullptr;
    Py_ssize_t count_ = 0;     // pieces held
    Py_ssize_t capacity_ = 0;  // pieces room was made for
    Py_ssize_t held_ = 0;      // code points held by the pieces
    Py_ssize_t length_ = 0;    // code points appended, held or not
};

/// `"[" + label + "] " + content` for a label or content that is not an exact
/// str, with Python's own concatenation (a subclass may take part in it).
Ref concatenate_line(PyObject *label, PyObject *content) {
    return add_all({kc.label_open, label, kc.label_close, content});
}

/// `content[:2000] + "..."` when the content is longer than that, with
/// Python's own length, slicing and concatenation. Returns `content` as it is
/// otherwise.
Ref shorten_generic(Frame &frame, Ref content) {
    frame.line = line::kLong;
    const Py_ssize_t length = PyObject_Size(content.get());
    if (length < 0) {
        return Ref();
    }
    if (length <= kBodyBound) {
        return content;
    }
    frame.line = line::kShorten;
    Ref head = Ref::steal(PyObject_GetItem(content.get(), kc.slice_body));
    if (!head) {
        return head;
    }
    return add_all({head.get(), kc.ellipsis});
}

/// The transcript under construction: every message's line, joined with
/// "\n" and bounded at 8000 code points (and one more, to know the cut
/// applies).
class TranscriptBuilder {
public:
    explicit TranscriptBuilder(Frame &frame) : frame_(frame) {}

    /// Appends the line of one message, or none when its body is empty.
    /// -1 with an exception set.
    int add_message(PyObject *message) {
        MessageBody body;
        if (read_message(message, kReading, frame_, body) < 0) {
            return -1;
        }
        Ref label = body.is_tool ? Ref::borrow(kc.tool_result) : std::move(body.role);
        frame_.line = line::kIsList;
        const int is_list = is_instance(body.content.get(), &PyList_Type);
        if (is_list < 0) {
            return -1;
        }
        if (is_list) {
            return add_parts_line(label.get(), body.content.get());
        }
        frame_.line = line::kIsStr;
        const int is_str = is_instance(body.content.get(), &PyUnicode_Type);
        if (is_str < 0) {
            return -1;
        }
        Ref content = std::move(body.content);
        if (!is_str) {
            frame_.line = line::kToStr;
            content = Ref::steal(PyObject_Str(content.get()));
            if (!content) {
                return -1;
            }
        }
        if (PyUnicode_CheckExact(content.get())) {
            return add_text_line(label.get(), content.get(), PyUnicode_GET_LENGTH(content.get()));
        }
        return add_generic_line(label.get(), std::move(content));
    }

    /// The joined transcript, or the TypeError "\n".join() raises for a line
    /// that is not a str. New reference.
    PyObject *finish() {
        frame_.line = line::kJoinLines;
        if (bad_line_) {
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", bad_index_,
                         Py_TYPE(bad_line_.get())->tp_name);
            return nullptr;
        }
        frame_.line = line::kCut;
        if (text_.length() > kTranscriptBound) {
            return text_.join(kTranscriptBound, kc.transcript_marker);
        }
        return text_.join(text_.length(), nullptr);
    }

private:
    /// -1 with MemoryError set.
    int begin_line() {
        return lines_++ > 0 ? text_.append(kc.newline, 1) : 0;
    }

    /// The line of a list content: its parts joined with " ", bounded.
    int add_parts_line(PyObject *label, PyObject *parts) {
        frame_.line = line::kJoinParts;
        if (join_parts(parts) < 0) {
            return -1;
        }
        return add_text_line(label, nullptr, body_.length());
    }

    /// `" ".join(str(p.get("text", "")) if isinstance(p, dict) else str(p) for p in parts)`
    /// into `body_`. Every str() runs, in order. -1 on error, with the
    /// generator's traceback entries added.
    int join_parts(PyObject *parts) {
        body_.clear();
        bool first = true;
        auto join_one = [&](PyObject *part) {
            const int is_dict = is_instance(part, &PyDict_Type);
            if (is_dict < 0) {
                return -1;
            }
            Ref text;
            if (is_dict) {
                Ref raw = record_get(part, kc.text, kc.empty);
                if (!raw) {
                    return -1;
                }
                text = Ref::steal(PyObject_Str(raw.get()));
            } else {
                text = Ref::steal(PyObject_Str(part));
            }
            if (!text) {
                return -1;
            }
            if (!first && body_.append(kc.space, 1) < 0) {
                return -1;
            }
            first = false;
            return body_.append(text.get(), PyUnicode_GET_LENGTH(text.get())) < 0 ? -1 : 1;
        };
        // iter(parts) belongs to the generator's creation; everything after
        // it, the first next() included, to its running body.
        int walked;
        if (PyList_CheckExact(parts)) {
            walked = for_each(parts, join_one);
        } else {
            Ref iterator = Ref::steal(PyObject_GetIter(parts));
            if (!iterator) {
                add_traceback(kGenexprCreateEntry, line::kJoinParts, frame_.globals);
                return -1;
            }
            walked = for_each_from(iterator.get(), join_one);
        }
        if (walked < 0) {
            add_traceback(kGenexprEntry, line::kJoinParts, frame_.globals);
            return -1;
        }
        return 0;
    }

    /// The line of an exact str body of `length` code points: `content`, or
    /// with nullptr the parts joined in `body_`.
    int add_text_line(PyObject *label_object, PyObject *content, Py_ssize_t length) {
        if (length == 0) {
            return 1;
        }
        frame_.line = line::kAppend;
        Ref label = Ref::steal(PyObject_Str(label_object));
        if (!label) {
            return -1;
        }
        const bool shortened = length > kBodyBound;
        const Py_ssize_t kept = shortened ? kBodyBound : length;
        Ref joined;
        if (content == nullptr) {
            joined = Ref::steal(body_.join(kept, nullptr));
            if (!joined) {
                return -1;
            }
            content = joined.get();
        }
        if (!PyUnicode_CheckExact(label.get())) {
            // A label of a str subclass joins the line by Python's own rules.
            Ref body = Ref::borrow(content);
            if (shortened) {
                Ref head = Ref::steal(PyUnicode_Substring(content, 0, kBodyBound));
                if (!head) {
                    return -1;
                }
                body = Ref::steal(PyUnicode_Concat(head.get(), kc.ellipsis));
                if (!body) {
                    return -1;
                }
            }
            return add_line_object(concatenate_line(label.get(), body.get()));
        }
        if (begin_line() < 0 || text_.append(kc.label_open, 1) < 0 ||
            text_.append(label.get(), PyUnicode_GET_LENGTH(label.get())) < 0 ||
            text_.append(kc.label_close, 2) < 0 || text_.append(content, kept) < 0 ||
            (shortened && text_.append(kc.ellipsis, 3) < 0)) {
            return -1;
        }
        return 1;
    }

    /// The line of a body that is a str subclass: its own truth, length,
    /// slicing and concatenation decide, as they would in Python.
    int add_generic_line(PyObject *label_object, Ref content) {
        frame_.line = line::kEmpty;
        const int present = truthy(content.get());
        if (present <= 0) {
            return present < 0 ? -1 : 1;
        }
        content = shorten_generic(frame_, std::move(content));
        if (!content) {
            return -1;
        }
        frame_.line = line::kAppend;
        Ref label = Ref::steal(PyObject_Str(label_object));
        if (!label) {
            return -1;
        }
        return add_line_object(concatenate_line(label.get(), content.get()));
    }

    /// Appends a line built by Python's own concatenation, which need not be
    /// a str: "\n".join() rejects such a line only after the loop, so the
    /// first one is remembered.
    int add_line_object(Ref line_object) {
        if (!line_object) {
            return -1;
        }
        if (!PyUnicode_Check(line_object.get())) {
            if (!bad_line_) {
                bad_line_ = std::move(line_object);
                bad_index_ = lines_;
            }
            return begin_line() < 0 ? -1 : 1;
        }
        if (begin_line() < 0 || text_.append(line_object.get(), PyUnicode_GET_LENGTH(line_object.get())) < 0) {
            return -1;
        }
        return 1;
    }

    Frame &frame_;
    BoundedJoin text_{kTranscriptBound + 1};
    BoundedJoin body_{kBodyBound + 1};
    Py_ssize_t lines_ = 0;
    Ref bad_line_;
    Py_ssize_t bad_index_ = -1;
};

}  // namespace

PyObject *msgs_to_text_body(PyObject *const *params, Frame &frame) {
    TranscriptBuilder transcript(frame);
    frame.line = line::kLoop;
    const int walked = for_each(params[0], [&](PyObject *message) { return transcript.add_message(message); });
    if (walked < 0) {
        return nullptr;
    }
    return transcript.finish();
}

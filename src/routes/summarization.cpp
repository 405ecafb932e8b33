// Summarization: the bounded transcript of a span, the fallback extract, the summary request.
#include "bodies.hpp"
#include "records.hpp"
#include "summarization.hpp"

#include <algorithm>
#include <memory>
#include <vector>

namespace {

namespace line {
constexpr int kLoop = 93, kRole = 94, kContent = 95, kIsTool = 96, kToolResult = 98, kIsList = 99, kJoinParts = 100,
              kIsStr = 101, kToStr = 102, kEmpty = 103, kLong = 105, kShorten = 106, kAppend = 107, kJoinLines = 108,
              kCut = 110;
constexpr int kExtractTruth = 116, kExtractSmall = 118, kExtractSmallCall = 119, kExtractSelect = 120,
              kExtractCall = 121;
// Lines of the summary request inside cut_and_sum_history.
constexpr int kImportChat = 172, kTranscript = 173, kPrompt = 175, kConfig = 179, kMaxTokens = 180, kCallChat = 181,
              kChoices = 182, kFirstChoice = 183, kStrip = 184, kFallback = 188;
}  // namespace line

constexpr const char kGenexprCreateEntry[] = "routes.context_compress._msgs_to_text.genexpr";
constexpr const char kGenexprEntry[] = "genexpr";

constexpr Py_ssize_t kBodyBound = 2000;
constexpr Py_ssize_t kTranscriptBound = 8000;
constexpr Py_ssize_t kExtractWhole = 8;

template <class Unit>
void widen(const Unit *source, size_t count, Py_UCS4 *target) {
    for (size_t i = 0; i < count; ++i) {
        target[i] = source[i];
    }
}

template <class Unit>
void narrow(const Py_UCS4 *source, size_t count, Unit *target) {
    for (size_t i = 0; i < count; ++i) {
        target[i] = static_cast<Unit>(source[i]);
    }
}

/// A bounded run of code points: keeps the first `capacity` appended and
/// counts all of them, so a caller learns the full length of a text it only
/// needs the head of.
class CodePoints {
public:
    explicit CodePoints(size_t capacity) : data_(new Py_UCS4[capacity]), capacity_(capacity) {}

    void clear() { size_ = length_ = 0; }
    /// Code points appended, kept or not.
    Py_ssize_t length() const { return length_; }
    /// Code points kept.
    size_t size() const { return size_; }
    void truncate(size_t size) { size_ = std::min(size_, size); }

    void push(Py_UCS4 c) {
        if (size_ < capacity_) {
            data_[size_++] = c;
        }
        ++length_;
    }

    /// Appends `text[:count]` (an exact str or subclass).
    void append(PyObject *text, Py_ssize_t count) {
        const size_t n = room_for(count);
        Py_UCS4 *target = data_.get() + size_;
        switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: widen(PyUnicode_1BYTE_DATA(text), n, target); break;
        case PyUnicode_2BYTE_KIND: widen(PyUnicode_2BYTE_DATA(text), n, target); break;
        default: widen(PyUnicode_4BYTE_DATA(text), n, target); break;
        }
        size_ += n;
        length_ += count;
    }

    /// The first `size` kept code points as a str in its canonical (narrowest) form.
    PyObject *to_str(size_t size) const {
        size = std::min(size, size_);
        const Py_UCS4 *source = data_.get();
        Py_UCS4 maxchar = 0;
        for (size_t i = 0; i < size; ++i) {
            maxchar = std::max(maxchar, source[i]);
        }
        PyObject *text = PyUnicode_New(static_cast<Py_ssize_t>(size), maxchar);
        if (text == nullptr) {
            return nullptr;
        }
        switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: narrow(source, size, PyUnicode_1BYTE_DATA(text)); break;
        case PyUnicode_2BYTE_KIND: narrow(source, size, PyUnicode_2BYTE_DATA(text)); break;
        default: std::copy_n(source, size, PyUnicode_4BYTE_DATA(text)); break;
        }
        return text;
    }

private:
    size_t room_for(Py_ssize_t count) const {
        return std::min(static_cast<size_t>(count), capacity_ - size_);
    }

    std::unique_ptr<Py_UCS4[]> data_;
    size_t capacity_;
    size_t size_ = 0;
    Py_ssize_t length_ = 0;
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

/// The transcript under construction, as the pieces of text it joins. It
/// keeps only what the result can hold (the first 8000 code points and one
/// more, to know that the cut applies) while counting the full length of
/// everything appended, so its memory is bounded by the result whatever the
/// span. The pieces are copied once, into the result, as str.join does.
class Transcript {
public:
    /// True once the cut at 8000 code points is certain: later lines cannot
    /// change the result and need not be kept.
    bool cut_certain() const { return length_ > kTranscriptBound; }

    void begin_line() {
        if (lines_++ > 0) {
            put(kc.newline, 1);
        }
    }

    /// Appends `text[:count]`; `text` is an exact str or a str subclass.
    void put(PyObject *text, Py_ssize_t count) {
        if (kept_ < kKeep) {
            const Py_ssize_t take = std::min(count, kKeep - kept_);
            pieces_.push_back({Ref::borrow(text), take});
            kept_ += take;
        }
        length_ += count;
    }

    Py_ssize_t lines() const { return lines_; }

    /// The joined text, cut at 8000 code points with the marker appended.
    PyObject *finish() {
        if (cut_certain()) {
            Py_ssize_t excess = kept_ - kTranscriptBound;
            while (excess > 0) {
                Piece &last = pieces_.back();
                const Py_ssize_t drop = std::min(excess, last.count);
                last.count -= drop;
                excess -= drop;
                if (last.count == 0) {
                    pieces_.pop_back();
                }
            }
            kept_ = kTranscriptBound;
            pieces_.push_back({Ref::borrow(kc.transcript_marker), PyUnicode_GET_LENGTH(kc.transcript_marker)});
            kept_ += pieces_.back().count;
        }
        Py_UCS4 maxchar = 0;
        for (const Piece &piece : pieces_) {
            maxchar = std::max(maxchar, head_maxchar(piece.text.get(), piece.count));
        }
        Ref joined = Ref::steal(PyUnicode_New(kept_, maxchar));
        if (!joined) {
            return nullptr;
        }
        Py_ssize_t at = 0;
        for (const Piece &piece : pieces_) {
            if (PyUnicode_CopyCharacters(joined.get(), at, piece.text.get(), 0, piece.count) < 0) {
                return nullptr;
            }
            at += piece.count;
        }
        return joined.release();
    }

private:
    struct Piece {
        Ref text;
        Py_ssize_t count;
    };
    static constexpr Py_ssize_t kKeep = kTranscriptBound + 1;
    std::vector<Piece> pieces_;
    Py_ssize_t kept_ = 0;    // code points held by the pieces
    Py_ssize_t length_ = 0;  // code points appended, held or not
    Py_ssize_t lines_ = 0;
};

/// `" ".join(str(p.get("text", "")) if isinstance(p, dict) else str(p) for p in parts)`,
/// into `body`, which keeps the head a line can use and counts the rest.
/// Every str() still runs, in order. -1 on error, with the
/// generator's traceback entries added.
int join_parts(PyObject *parts, Frame &frame, CodePoints &body) {
    body.clear();
    bool first = true;
    auto join_one = [&](PyObject *part) {
        int is_dict = is_instance(part, &PyDict_Type);
        if (is_dict < 0) {
            return -1;
        }
        Ref text;
        if (is_dict) {
            Ref raw = record_get(part, kc.text, kc.empty);
            text = raw ? Ref::steal(PyObject_Str(raw.get())) : Ref();
        } else {
            text = Ref::steal(PyObject_Str(part));
        }
        if (!text) {
            return -1;
        }
        if (!first) {
            body.push(' ');
        }
        first = false;
        body.append(text.get(), PyUnicode_GET_LENGTH(text.get()));
        return 1;
    };
    // iter(parts) belongs to the generator's creation; everything after it,
    // the first next() included, to its running body.
    int walked;
    if (PyList_CheckExact(parts)) {
        walked = for_each(parts, join_one);
    } else {
        Ref iterator = Ref::steal(PyObject_GetIter(parts));
        if (!iterator) {
            add_traceback(kGenexprCreateEntry, line::kJoinParts, frame.globals);
            return -1;
        }
        walked = for_each_from(iterator.get(), join_one);
    }
    if (walked < 0) {
        add_traceback(kGenexprEntry, line::kJoinParts, frame.globals);
        return -1;
    }
    return 0;
}

/// `"[" + label + "] " + content` for a label or content that is not an exact
/// str, with Python's own concatenation (a subclass may take part in it).
Ref concatenate_line(PyObject *label, PyObject *content) {
    Ref line = Ref::steal(PyNumber_Add(kc.label_open, label));
    if (line) {
        line = Ref::steal(PyNumber_Add(line.get(), kc.label_close));
    }
    if (line) {
        line = Ref::steal(PyNumber_Add(line.get(), content));
    }
    return line;
}

}  // namespace

PyObject *msgs_to_text_body(PyObject *const *params, Frame &frame) {
    PyObject *msgs = params[0];
    Transcript transcript;
    CodePoints body(kBodyBound + 1);
    // "\n".join() rejects a non-str line only after the loop; remember the first.
    Ref bad_line;
    Py_ssize_t bad_index = -1;

    frame.line = line::kLoop;
    int walked = for_each(msgs, [&](PyObject *message) -> int {
        frame.line = line::kRole;
        Ref role = record_get(message, kc.role, kc.question_mark);
        if (!role) {
            return -1;
        }
        frame.line = line::kContent;
        Ref content = record_get_text_or_empty(message, kc.content);
        if (!content) {
            return -1;
        }
        frame.line = line::kIsTool;
        int is_tool = take_tool_result(message, role.get(), content, frame, line::kToolResult);
        if (is_tool < 0) {
            return -1;
        }
        if (is_tool) {
            role = Ref::borrow(kc.tool_result);
        }

        frame.line = line::kIsList;
        int is_list = is_instance(content.get(), &PyList_Type);
        if (is_list < 0) {
            return -1;
        }
        // The body of a list content is staged in `body`; any other body is
        // the str object `content`.
        bool staged = false;
        Py_ssize_t body_length = 0;
        if (is_list) {
            frame.line = line::kJoinParts;
            if (join_parts(content.get(), frame, body) < 0) {
                return -1;
            }
            body_length = body.length();
            staged = true;
        } else {
            frame.line = line::kIsStr;
            int is_str = is_instance(content.get(), &PyUnicode_Type);
            if (is_str < 0) {
                return -1;
            }
            if (!is_str) {
                frame.line = line::kToStr;
                content = Ref::steal(PyObject_Str(content.get()));
                if (!content) {
                    return -1;
                }
            }
        }

        if (staged || PyUnicode_CheckExact(content.get())) {
            if (!staged) {
                body_length = PyUnicode_GET_LENGTH(content.get());
            }
            if (body_length == 0) {
                return 1;
            }
            frame.line = line::kAppend;
            Ref label = Ref::steal(PyObject_Str(role.get()));
            if (!label) {
                return -1;
            }
            const bool shortened = body_length > kBodyBound;
            const Py_ssize_t kept_length = shortened ? kBodyBound : body_length;
            if (staged) {
                content = Ref::steal(body.to_str(static_cast<size_t>(kept_length)));
                if (!content) {
                    return -1;
                }
            }
            if (PyUnicode_CheckExact(label.get())) {
                transcript.begin_line();
                transcript.put(kc.label_open, 1);
                transcript.put(label.get(), PyUnicode_GET_LENGTH(label.get()));
                transcript.put(kc.label_close, 2);
                transcript.put(content.get(), kept_length);
                if (shortened) {
                    transcript.put(kc.ellipsis, 3);
                }
                return 1;
            }
            // A label of a str subclass joins the line by Python's own rules.
            if (shortened) {
                Ref head = Ref::steal(PyUnicode_Substring(content.get(), 0, kBodyBound));
                content = head ? Ref::steal(PyUnicode_Concat(head.get(), kc.ellipsis)) : Ref();
                if (!content) {
                    return -1;
                }
            }
            Ref line_text = concatenate_line(label.get(), content.get());
            if (!line_text) {
                return -1;
            }
            content = std::move(line_text);
        } else {
            // Not an exact str: its own truth, length, slicing and
            // concatenation decide, as they would in Python.
            frame.line = line::kEmpty;
            int present = truthy(content.get());
            if (present <= 0) {
                return present < 0 ? -1 : 1;
            }
            frame.line = line::kLong;
            Py_ssize_t length = PyObject_Size(content.get());
            if (length < 0) {
                return -1;
            }
            if (length > kBodyBound) {
                frame.line = line::kShorten;
                Ref head = Ref::steal(PyObject_GetItem(content.get(), kc.slice_body));
                content = head ? Ref::steal(PyNumber_Add(head.get(), kc.ellipsis)) : Ref();
                if (!content) {
                    return -1;
                }
            }
            frame.line = line::kAppend;
            Ref label = Ref::steal(PyObject_Str(role.get()));
            if (!label) {
                return -1;
            }
            content = concatenate_line(label.get(), content.get());
            if (!content) {
                return -1;
            }
        }
        // `content` is now the whole line, as an object.
        if (!PyUnicode_Check(content.get())) {
            if (!bad_line) {
                bad_line = std::move(content);
                bad_index = transcript.lines();
            }
            transcript.begin_line();
            return 1;
        }
        transcript.begin_line();
        transcript.put(content.get(), PyUnicode_GET_LENGTH(content.get()));
        return 1;
    });
    if (walked < 0) {
        return nullptr;
    }
    frame.line = line::kJoinLines;
    if (bad_line) {
        PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", bad_index,
                     Py_TYPE(bad_line.get())->tp_name);
        return nullptr;
    }
    frame.line = line::kCut;
    return transcript.finish();
}

PyObject *simple_extract_body(PyObject *const *params, Frame &frame) {
    PyObject *msgs = params[0];
    frame.line = line::kExtractTruth;
    int present = truthy(msgs);
    if (present <= 0) {
        return present < 0 ? nullptr : Py_NewRef(kc.empty);
    }
    frame.line = line::kExtractSmall;
    Py_ssize_t count = PyObject_Size(msgs);
    if (count < 0) {
        return nullptr;
    }
    if (count <= kExtractWhole) {
        frame.line = line::kExtractSmallCall;
        return call_global(frame, kc.fn_msgs_to_text, &msgs, 1).release();
    }
    frame.line = line::kExtractSelect;
    Ref head = Ref::steal(PyObject_GetItem(msgs, kc.slice_head));
    Ref tail = head ? Ref::steal(PyObject_GetItem(msgs, kc.slice_tail)) : Ref();
    Ref selection = tail ? Ref::steal(PyNumber_Add(head.get(), tail.get())) : Ref();
    if (!selection) {
        return nullptr;
    }
    frame.line = line::kExtractCall;
    PyObject *argv[1] = {selection.get()};
    return call_global(frame, kc.fn_msgs_to_text, argv, 1).release();
}

namespace {

/// `from routes.chat import _call_llm_api`.
Ref import_chat_function(const Frame &frame) {
    Ref chat = Ref::steal(PyImport_ImportModuleLevelObject(kc.routes_chat, frame.globals, nullptr,
                                                           kc.import_names, 0));
    if (!chat) {
        return chat;
    }
    PyObject *function = nullptr;
    if (PyObject_GetOptionalAttr(chat.get(), kc.call_llm_api, &function) != 0) {
        return Ref::steal(function);
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %R from %R", kc.call_llm_api, kc.routes_chat);
    return Ref();
}

/// A new {"role": role, "content": content}.
Ref request_message(PyObject *role, PyObject *content) {
    Ref message = Ref::steal(PyDict_New());
    if (!message || PyDict_SetItem(message.get(), kc.role, role) < 0 ||
        PyDict_SetItem(message.get(), kc.content, content) < 0) {
        return Ref();
    }
    return message;
}

/// The guarded part of the summary request: the chat layer's stripped answer,
/// or "" when there is none. Any exception it leaves is the caller's to sort.
Ref ask_chat_layer(Frame &frame, PyObject *to_compress, PyObject *llm_config) {
    frame.line = line::kImportChat;
    Ref call_llm_api = import_chat_function(frame);
    if (!call_llm_api) {
        return Ref();
    }
    frame.line = line::kTranscript;
    Ref text = call_global(frame, kc.fn_msgs_to_text, &to_compress, 1);
    if (!text) {
        return Ref();
    }
    int has_text = truthy(text.get());
    if (has_text <= 0) {
        return has_text < 0 ? Ref() : Ref::borrow(kc.empty);
    }
    frame.line = line::kPrompt;
    Ref system_message = request_message(kc.system, kc.summarizer_prompt);
    Ref user_message = system_message ? request_message(kc.user, text.get()) : Ref();
    Ref prompt_msgs = user_message ? Ref::steal(PyList_New(2)) : Ref();
    if (!prompt_msgs) {
        return Ref();
    }
    PyList_SET_ITEM(prompt_msgs.get(), 0, system_message.release());
    PyList_SET_ITEM(prompt_msgs.get(), 1, user_message.release());

    frame.line = line::kConfig;
    int has_config = truthy(llm_config);
    if (has_config < 0) {
        return Ref();
    }
    Ref source = has_config ? Ref::borrow(llm_config) : Ref::steal(PyDict_New());
    Ref cfg = source ? Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), source.get()))
                     : Ref();
    if (!cfg) {
        return Ref();
    }
    frame.line = line::kMaxTokens;
    if (PyDict_SetItem(cfg.get(), kc.max_tokens, kc.max_tokens_value) < 0) {
        return Ref();
    }

    frame.line = line::kCallChat;
    PyObject *argv[3] = {prompt_msgs.get(), cfg.get(), Py_False};
    Ref resp = Ref::steal(PyObject_Vectorcall(call_llm_api.get(), argv, 2, kc.stream_kwnames));
    if (!resp) {
        return Ref();
    }

    frame.line = line::kChoices;
    int has_resp = truthy(resp.get());
    if (has_resp < 0) {
        return Ref();
    }
    if (!has_resp) {
        resp = Ref::steal(PyDict_New());
        if (!resp) {
            return Ref();
        }
    }
    Ref choices = record_get(resp.get(), kc.choices);
    if (!choices) {
        return Ref();
    }
    int has_choices = truthy(choices.get());
    if (has_choices <= 0) {
        return has_choices < 0 ? Ref() : Ref::borrow(kc.empty);
    }

    frame.line = line::kFirstChoice;
    Ref first = Ref::steal(PyObject_GetItem(choices.get(), kc.zero));
    Ref fallback = first ? Ref::steal(PyDict_New()) : Ref();
    Ref message = fallback ? record_get(first.get(), kc.message, fallback.get()) : Ref();
    Ref content = message ? record_get(message.get(), kc.content) : Ref();
    if (!content) {
        return Ref();
    }
    int has_content = truthy(content.get());
    if (has_content <= 0) {
        return has_content < 0 ? Ref() : Ref::borrow(kc.empty);
    }

    frame.line = line::kStrip;
    first = Ref::steal(PyObject_GetItem(choices.get(), kc.zero));
    message = first ? Ref::steal(PyObject_GetItem(first.get(), kc.message)) : Ref();
    content = message ? Ref::steal(PyObject_GetItem(message.get(), kc.content)) : Ref();
    if (!content) {
        return Ref();
    }
    return Ref::steal(PyObject_CallMethodNoArgs(content.get(), kc.strip));
}

}  // namespace

Ref request_summary(Frame &frame, PyObject *to_compress, PyObject *llm_config) {
    Ref summary = ask_chat_layer(frame, to_compress, llm_config);
    if (!summary) {
        // Whatever the chat layer did wrong, the extract stands in; only
        // BaseExceptions outside Exception (KeyboardInterrupt, SystemExit) pass.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return Ref();
        }
        PyErr_Clear();
        summary = Ref::borrow(kc.empty);
    }
    frame.line = line::kFallback;
    int has_summary = truthy(summary.get());
    if (has_summary < 0) {
        return Ref();
    }
    if (has_summary) {
        return summary;
    }
    return call_global(frame, kc.fn_simple_extract, &to_compress, 1);
}

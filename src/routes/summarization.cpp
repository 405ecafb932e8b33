// Summarization: the bounded transcript of a span, the fallback extract, the summary request.
#include "bodies.hpp"
#include "records.hpp"
#include "summarization.hpp"

#include <algorithm>
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

/// Appends the code points of `text[start:start+count]` to `out`, keeping at
/// most `cap` code points in it.
void copy_code_points(std::vector<Py_UCS4> &out, size_t cap, PyObject *text, Py_ssize_t start, Py_ssize_t count) {
    const size_t room = out.size() < cap ? cap - out.size() : 0;
    const Py_ssize_t n = std::min<Py_ssize_t>(count, static_cast<Py_ssize_t>(room));
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        out.push_back(PyUnicode_READ(kind, data, start + i));
    }
}

/// The transcript under construction. It keeps only what the result can
/// hold (the first 8000 code points and one more, to know that the cut
/// applies) while counting the full length of everything appended, so its
/// memory is bounded by the result whatever the span.
class Transcript {
public:
    Transcript() { kept_.reserve(kKeep + 64); }

    /// True once the cut at 8000 code points is certain: later lines cannot
    /// change the result and need not be copied.
    bool cut_certain() const { return length_ > kTranscriptBound; }

    void begin_line() {
        if (lines_++ > 0) {
            put_char('\n');
        }
    }
    void put_char(Py_UCS4 c) {
        if (kept_.size() < kKeep) {
            kept_.push_back(c);
        }
        ++length_;
    }
    void put_text(PyObject *text, Py_ssize_t count) {
        if (!cut_certain()) {
            copy_code_points(kept_, kKeep, text, 0, count);
        }
        length_ += count;
    }
    void put_chars(const Py_UCS4 *chars, Py_ssize_t count) {
        for (Py_ssize_t i = 0; i < count && kept_.size() < kKeep; ++i) {
            kept_.push_back(chars[i]);
        }
        length_ += count;
    }
    Py_ssize_t lines() const { return lines_; }

    /// The joined text, cut at 8000 code points with the marker appended.
    PyObject *finish() {
        if (cut_certain()) {
            kept_.resize(kTranscriptBound);
            copy_code_points(kept_, kTranscriptBound + 64, kc.transcript_marker, 0,
                             PyUnicode_GET_LENGTH(kc.transcript_marker));
        }
        return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, kept_.data(), static_cast<Py_ssize_t>(kept_.size()));
    }

private:
    static constexpr size_t kKeep = kTranscriptBound + 1;
    std::vector<Py_UCS4> kept_;
    Py_ssize_t length_ = 0;
    Py_ssize_t lines_ = 0;
};

/// `" ".join(str(p.get("text", "")) if isinstance(p, dict) else str(p) for p in parts)`,
/// keeping only the first 2000 code points in `body` (plus the full length in
/// `length`). Every str() still runs, in order. -1 on error, with the
/// generator's traceback entries added.
int join_parts(PyObject *parts, Frame &frame, std::vector<Py_UCS4> &body, Py_ssize_t &length) {
    body.clear();
    length = 0;
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
            if (body.size() < kBodyBound + 1) {
                body.push_back(' ');
            }
            ++length;
        }
        first = false;
        const Py_ssize_t count = PyUnicode_GET_LENGTH(text.get());
        copy_code_points(body, kBodyBound + 1, text.get(), 0, count);
        length += count;
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
    std::vector<Py_UCS4> body;
    body.reserve(kBodyBound + 1);
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
            if (join_parts(content.get(), frame, body, body_length) < 0) {
                return -1;
            }
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
            if (PyUnicode_CheckExact(label.get())) {
                transcript.begin_line();
                transcript.put_text(kc.label_open, 1);
                transcript.put_text(label.get(), PyUnicode_GET_LENGTH(label.get()));
                transcript.put_text(kc.label_close, 2);
                if (staged) {
                    transcript.put_chars(body.data(), kept_length);
                } else {
                    transcript.put_text(content.get(), kept_length);
                }
                if (shortened) {
                    transcript.put_text(kc.ellipsis, 3);
                }
                return 1;
            }
            // A label of a str subclass joins the line by Python's own rules.
            if (staged) {
                content = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, body.data(), kept_length));
            } else if (shortened) {
                content = Ref::steal(PyUnicode_Substring(content.get(), 0, kBodyBound));
            }
            if (content && shortened) {
                content = Ref::steal(PyUnicode_Concat(content.get(), kc.ellipsis));
            }
            if (!content) {
                return -1;
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
        transcript.put_text(content.get(), PyUnicode_GET_LENGTH(content.get()));
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

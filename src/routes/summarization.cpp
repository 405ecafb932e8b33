// Summarization: the fallback extract and the summary request to the host chat layer.
#include "summarization.hpp"

#include "bodies.hpp"
#include "lines.hpp"
#include "numbers.hpp"
#include "records.hpp"

namespace {

namespace line = extract_line;


/// `msgs[:3] + msgs[-5:]`, with the sequence's own slicing and addition.
Ref extract_selection(PyObject *msgs) {
    Ref head = Ref::steal(PyObject_GetItem(msgs, kc.slice_head));
    if (!head) {
        return head;
    }
    Ref tail = Ref::steal(PyObject_GetItem(msgs, kc.slice_tail));
    if (!tail) {
        return tail;
    }
    return add_all({head.get(), tail.get()});
}

}  // namespace

PyObject *simple_extract_body(PyObject *const *params, Frame &frame) {
    PyObject *msgs = params[0];
    frame.line = line::kTruth;
    const int present = truthy(msgs);
    if (present <= 0) {
        return present < 0 ? nullptr : Py_NewRef(kc.empty);
    }
    frame.line = line::kSmall;
    const Py_ssize_t count = PyObject_Size(msgs);
    if (count < 0) {
        return nullptr;
    }
    if (count <= kExtractWhole) {
        frame.line = line::kSmallCall;
        return call_global(frame, kc.fn_msgs_to_text, &msgs, 1).release();
    }
    frame.line = line::kSelect;
    Ref selection = extract_selection(msgs);
    if (!selection) {
        return nullptr;
    }
    frame.line = line::kCall;
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

/// `[{"role": "system", "content": prompt}, {"role": "user", "content": text}]`.
Ref prompt_messages(PyObject *prompt, PyObject *text) {
    Ref system_message = request_message(kc.system, prompt);
    if (!system_message) {
        return system_message;
    }
    Ref user_message = request_message(kc.user, text);
    if (!user_message) {
        return user_message;
    }
    Ref prompt_msgs = Ref::steal(PyList_New(2));
    if (!prompt_msgs) {
        return prompt_msgs;
    }
    PyList_SET_ITEM(prompt_msgs.get(), 0, system_message.release());
    PyList_SET_ITEM(prompt_msgs.get(), 1, user_message.release());
    return prompt_msgs;
}

/// `cfg = dict(llm_config or {}); cfg["max_tokens"] = 2048`.
Ref chat_config(Frame &frame, PyObject *llm_config) {
    frame.line = request_line::kConfig;
    const int has_config = truthy(llm_config);
    if (has_config < 0) {
        return Ref();
    }
    Ref source = has_config ? Ref::borrow(llm_config) : Ref::steal(PyDict_New());
    if (!source) {
        return source;
    }
    Ref cfg = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), source.get()));
    if (!cfg) {
        return cfg;
    }
    frame.line = request_line::kMaxTokens;
    if (PyDict_SetItem(cfg.get(), kc.max_tokens, kc.summary_max_tokens) < 0) {
        return Ref();
    }
    return cfg;
}

/// `choices[0]["message"]["content"]`: read with get() (an empty dict standing
/// for a missing message), or by subscript.
Ref first_content(PyObject *choices, bool with_get) {
    Ref first = Ref::steal(PyObject_GetItem(choices, kc.zero));
    if (!first) {
        return first;
    }
    Ref message;
    if (with_get) {
        Ref no_message = Ref::steal(PyDict_New());
        if (!no_message) {
            return no_message;
        }
        message = record_get(first.get(), kc.message, no_message.get());
    } else {
        message = Ref::steal(PyObject_GetItem(first.get(), kc.message));
    }
    if (!message) {
        return message;
    }
    return with_get ? record_get(message.get(), kc.content) : Ref::steal(PyObject_GetItem(message.get(), kc.content));
}

/// The stripped `content` of the first choice of `resp`, or "" when the
/// answer has none.
Ref answer_text(Frame &frame, Ref resp) {
    frame.line = request_line::kChoices;
    const int has_resp = truthy(resp.get());
    if (has_resp < 0) {
        return Ref();
    }
    if (!has_resp) {
        resp = Ref::steal(PyDict_New());
        if (!resp) {
            return resp;
        }
    }
    Ref choices = record_get(resp.get(), kc.choices);
    const int has_choices = truthy(choices);
    if (has_choices <= 0) {
        return has_choices < 0 ? Ref() : Ref::borrow(kc.empty);
    }

    frame.line = request_line::kFirstChoice;
    const int has_content = truthy(first_content(choices.get(), true));
    if (has_content <= 0) {
        return has_content < 0 ? Ref() : Ref::borrow(kc.empty);
    }
    frame.line = request_line::kStrip;
    Ref content = first_content(choices.get(), false);
    if (!content) {
        return content;
    }
    return Ref::steal(PyObject_CallMethodNoArgs(content.get(), kc.strip));
}

/// `given(span, later)` (`given(span)` without `later`), or the namespace's
/// binding of `name` called with the span.
Ref call_collaborator(const Frame &frame, PyObject *given, PyObject *name, PyObject *span, PyObject *later) {
    if (given != nullptr) {
        return Ref::steal(later != nullptr ? PyObject_CallFunctionObjArgs(given, span, later, nullptr)
                                           : PyObject_CallOneArg(given, span));
    }
    return call_global(frame, name, &span, 1);
}

/// The answer of an `ask` collaborator, which is the summary text itself.
Ref answer_of(PyObject *answer) {
    if (!PyUnicode_Check(answer)) {
        PyErr_Format(PyExc_TypeError, "the answer is a %.100s, not text", Py_TYPE(answer)->tp_name);
        return Ref();
    }
    return Ref::steal(PyObject_CallMethodNoArgs(answer, kc.strip));
}

/// The guarded part of the summary request: the stripped answer, or "" when
/// there is none. Any exception it leaves is the caller's to sort.
Ref ask_chat_layer(Frame &frame, PyObject *to_compress, PyObject *later, PyObject *llm_config,
                   const Collaborators &with, SummaryAccount *account) {
    Ref call_llm_api;
    if (with.ask == nullptr) {
        frame.line = request_line::kImportChat;
        call_llm_api = import_chat_function(frame);
        if (!call_llm_api) {
            return call_llm_api;
        }
    }
    frame.line = request_line::kTranscript;
    Ref text = call_collaborator(frame, with.transcript, kc.fn_msgs_to_text, to_compress, later);
    if (account != nullptr) {
        account->in_transcript = !text;
        account->sent = Ref::borrow(text.get());
    }
    if (!text) {
        return text;
    }
    const int has_text = truthy(text.get());
    if (has_text <= 0) {
        return has_text < 0 ? Ref() : Ref::borrow(kc.empty);
    }
    frame.line = request_line::kPrompt;
    Ref prompt_msgs = prompt_messages(with.system_prompt, text.get());
    if (!prompt_msgs) {
        return prompt_msgs;
    }
    Ref cfg = chat_config(frame, llm_config);
    if (!cfg) {
        return cfg;
    }
    frame.line = request_line::kCallChat;
    if (with.ask != nullptr) {
        Ref answer = Ref::steal(PyObject_CallFunctionObjArgs(with.ask, prompt_msgs.get(), cfg.get(), nullptr));
        return answer ? answer_of(answer.get()) : Ref();
    }
    PyObject *argv[3] = {prompt_msgs.get(), cfg.get(), Py_False};
    Ref resp = Ref::steal(PyObject_Vectorcall(call_llm_api.get(), argv, 2, kc.stream_kwnames));
    if (!resp) {
        return resp;
    }
    return answer_text(frame, std::move(resp));
}

}  // namespace

int held_back(const Collaborators &with, PyObject *message) noexcept {
    if (!with.keep_system) {
        return 0;
    }
    Ref role = record_get(message, kc.role, Py_None);
    if (!role) {
        return -1;
    }
    const int system = equals_text(role.get(), kc.system);
    return system != 0 ? system : equals_text(role.get(), kc.developer);
}

Ref summary_user_message(const Collaborators &with, PyObject *summary) noexcept {
    Ref content = with.summary_note == Py_None ? add_all({with.summary_prefix, summary})
                                               : add_all({with.summary_prefix, summary, with.summary_note});
    if (!content) {
        return content;
    }
    Ref message = Ref::steal(PyDict_New());
    if (!message || PyDict_SetItem(message.get(), kc.role, kc.user) < 0 ||
        PyDict_SetItem(message.get(), kc.content, content.get()) < 0) {
        return Ref();
    }
    return message;
}

Collaborators module_collaborators() noexcept {
    return Collaborators{.system_prompt = kc.summarizer_prompt,
                         .summary_prefix = kc.summary_prefix,
                         .summary_note = kc.summary_note};
}

Ref request_summary(Frame &frame, PyObject *to_compress, PyObject *later, PyObject *llm_config,
                    const Collaborators &with, SummaryAccount *account) {
    Ref summary = with.no_request ? Ref::borrow(kc.empty)
                                  : ask_chat_layer(frame, to_compress, later, llm_config, with, account);
    if (!summary) {
        // Whatever the chat layer did wrong, the extract stands in; only
        // BaseExceptions outside Exception (KeyboardInterrupt, SystemExit) pass.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return Ref();
        }
        if (account != nullptr) {
            account->error = Ref::steal(PyErr_GetRaisedException());
        } else {
            PyErr_Clear();
        }
        summary = Ref::borrow(kc.empty);
    }
    frame.line = request_line::kFallback;
    const int has_summary = truthy(summary.get());
    if (has_summary < 0) {
        return Ref();
    }
    if (account != nullptr) {
        account->answered = has_summary;
    }
    if (has_summary || with.keep_on_failure) {
        return summary;
    }
    return call_collaborator(frame, with.extract, kc.fn_simple_extract, to_compress, later);
}

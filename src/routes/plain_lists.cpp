// Plain message lists: the compression of a host's list of chat messages, without stamps or a cut time.
#include "plain_lists.hpp"

#include "compression.hpp"
#include "estimation.hpp"
#include "interrupts.hpp"
#include "numbers.hpp"
#include "records.hpp"

namespace {

/// How deep a value inside a message (tool call arguments, a tool's input)
/// is read for its estimate; what lies deeper is not counted.
constexpr int kValueDepth = 32;

/// `total += ` the estimate of a value that is not one of the module's
/// content shapes: a str by its characters, a mapping's keys and values, a
/// list's or tuple's items, None and bools as nothing, anything else by its
/// str(). 0, or -1 with an exception set.
int add_value(PyObject *value, int depth, long long &total) {
    if (depth > kValueDepth || value == Py_None || PyBool_Check(value)) {
        return 0;
    }
    if (PyUnicode_Check(value)) {
        long long tokens = 0;
        if (str_tokens(value, tokens) < 0) {
            return -1;
        }
        total += tokens;
        return 0;
    }
    if (PyDict_Check(value)) {
        // A snapshot of the items: str() of a value may run code that changes the dict.
        Ref items = Ref::steal(PyDict_Items(value));
        if (!items) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject *item = PyList_GET_ITEM(items.get(), i);
            if (add_value(PyTuple_GET_ITEM(item, 0), depth + 1, total) < 0 ||
                add_value(PyTuple_GET_ITEM(item, 1), depth + 1, total) < 0) {
                return -1;
            }
        }
        return 0;
    }
    if (PyList_Check(value) || PyTuple_Check(value)) {
        Ref items = Ref::steal(PySequence_Tuple(value));
        if (!items) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
            if (add_value(PyTuple_GET_ITEM(items.get(), i), depth + 1, total) < 0) {
                return -1;
            }
        }
        return 0;
    }
    Ref text = Ref::steal(PyObject_Str(value));
    return text ? add_value(text.get(), depth, total) : -1;
}

/// What one message of a plain list weighs and is.
struct ListMessage {
    long long tokens = 0;
    bool system = false;       // a system or developer message: never compressed
    bool tool_result = false;  // answers a call: a turn never starts with it
    bool user = false;         // the user's (a tool result included, in Anthropic's shape)
};

int add_content(PyObject *content, ListMessage &read);

/// One part of a list content. The module's shapes (text parts, str parts,
/// anything else as an image) and Anthropic's blocks: a tool result by its
/// content, a tool use by its name and input, thinking by its text.
int add_part(PyObject *part, ListMessage &read) {
    if (PyUnicode_Check(part)) {
        return add_value(part, 0, read.tokens);
    }
    if (!PyDict_Check(part)) {
        return 0;
    }
    Ref type = record_get(part, kc.type);
    if (!type) {
        return -1;
    }
    const int is_text = equals_text(type.get(), kc.text);
    if (is_text != 0) {
        if (is_text < 0) {
            return -1;
        }
        Ref text = record_get(part, kc.text);
        return text ? add_value(text.get(), 0, read.tokens) : -1;
    }
    const int is_result = equals_text(type.get(), kc.tool_result);
    if (is_result != 0) {
        if (is_result < 0) {
            return -1;
        }
        read.tool_result = true;
        Ref content = record_get(part, kc.content);
        return content ? add_content(content.get(), read) : -1;
    }
    for (PyObject *block : {kc.tool_use, kc.thinking}) {
        const int is_block = equals_text(type.get(), block);
        if (is_block < 0) {
            return -1;
        }
        if (is_block) {
            for (PyObject *key : {kc.name, kc.input, kc.thinking}) {
                Ref value = record_get(part, key);
                if (!value || add_value(value.get(), 0, read.tokens) < 0) {
                    return -1;
                }
            }
            return 0;
        }
    }
    read.tokens += kNonTextPart;
    return 0;
}

/// A message's content: a text, a list of parts, or anything else by its str().
int add_content(PyObject *content, ListMessage &read) {
    if (PyList_Check(content)) {
        Ref parts = Ref::steal(PySequence_Tuple(content));
        if (!parts) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(parts.get()); ++i) {
            if (add_part(PyTuple_GET_ITEM(parts.get(), i), read) < 0) {
                return -1;
            }
        }
        return 0;
    }
    return add_value(content, 0, read.tokens);
}

/// The calls of an assistant message, in OpenAI's shape (`tool_calls`, each
/// with its `function`'s name and arguments) or the older `function_call`.
int add_calls(PyObject *message, ListMessage &read) {
    Ref calls = record_get(message, kc.tool_calls);
    if (!calls) {
        return -1;
    }
    Ref single = record_get(message, kc.function_call);
    if (!single) {
        return -1;
    }
    for (PyObject *call : {calls.get(), single.get()}) {
        if (!PyList_Check(call) && !PyDict_Check(call)) {
            continue;
        }
        Ref each = PyDict_Check(call) ? Ref::steal(PyTuple_Pack(1, call)) : Ref::steal(PySequence_Tuple(call));
        if (!each) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(each.get()); ++i) {
            PyObject *one = PyTuple_GET_ITEM(each.get(), i);
            if (!PyDict_Check(one)) {
                continue;
            }
            Ref function = record_get(one, kc.function);
            if (!function) {
                return -1;
            }
            PyObject *named = PyDict_Check(function.get()) ? function.get() : one;
            for (PyObject *key : {kc.name, kc.arguments}) {
                Ref value = record_get(named, key);
                if (!value || add_value(value.get(), 0, read.tokens) < 0) {
                    return -1;
                }
            }
        }
    }
    return 0;
}

/// Reads one message of a plain list: its estimate (the module's per-message
/// charge, its content, a tool message's `tool_result` in place of its
/// content, its calls) and what it is. 0, or -1 with an exception set.
int read_list_message(PyObject *message, ListMessage &read) {
    Ref role = record_get(message, kc.role);
    if (!role) {
        return -1;
    }
    int is_role = equals_text(role.get(), kc.system);
    if (is_role == 0) {
        is_role = equals_text(role.get(), kc.developer);
    }
    if (is_role < 0) {
        return -1;
    }
    read.system = is_role;
    is_role = equals_text(role.get(), kc.user);
    if (is_role < 0) {
        return -1;
    }
    read.user = is_role;
    for (PyObject *result_role : {kc.tool, kc.function}) {
        is_role = equals_text(role.get(), result_role);
        if (is_role < 0) {
            return -1;
        }
        read.tool_result = read.tool_result || is_role;
    }
    Ref content = record_get_or_empty(message, kc.content);
    if (!content) {
        return -1;
    }
    if (read.tool_result) {
        Ref result = record_get_or_empty(message, kc.tool_result);
        if (!result) {
            return -1;
        }
        const int has_result = truthy(result.get());
        if (has_result < 0) {
            return -1;
        }
        if (has_result) {
            content = std::move(result);
        }
    }
    read.tokens = kPerMessageOverhead;
    if (add_content(content.get(), read) < 0) {
        return -1;
    }
    return add_calls(message, read);
}

/// The sum of the estimates of `messages` (a tuple), into `total`.
int list_tokens(PyObject *messages, long long &total) {
    total = 0;
    SignalCheckpoint checkpoint;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(messages); ++i) {
        ListMessage read;
        if (read_list_message(PyTuple_GET_ITEM(messages, i), read) < 0) {
            return -1;
        }
        total += read.tokens;
        if (checkpoint.passed() < 0) {
            return -1;
        }
    }
    return 0;
}

/// The first kept message: the newest messages that are no system
/// messages, until their estimates reach `keep_budget`, and then back to the
/// start of a turn, so that no tool result is kept without its call and no
/// call is compressed without its results. Where roles must `alternate`
/// (Anthropic's), back to an assistant message, which the summary, a user
/// message, can precede. -1 with an exception set.
Py_ssize_t first_kept(PyObject *messages, long long keep_budget, bool alternate) {
    Py_ssize_t first = PyTuple_GET_SIZE(messages);
    long long kept_tokens = 0;
    ListMessage read;
    while (first > 0 && kept_tokens < keep_budget) {
        --first;
        read = ListMessage();
        if (read_list_message(PyTuple_GET_ITEM(messages, first), read) < 0) {
            return -1;
        }
        if (!read.system) {
            kept_tokens += read.tokens;
        }
    }
    while (first > 0 && (read.tool_result || (alternate && read.user))) {
        --first;
        read = ListMessage();
        if (read_list_message(PyTuple_GET_ITEM(messages, first), read) < 0) {
            return -1;
        }
    }
    return first;
}

/// (True, stats) of a list's compression.
PyObject *compressed_list_outcome(PyObject *rate, PyObject *total, PyObject *max_context, Py_ssize_t kept,
                                  Py_ssize_t compressed) {
    Ref kept_count = Ref::steal(PyLong_FromSsize_t(kept));
    Ref compressed_count = Ref::steal(PyLong_FromSsize_t(compressed));
    if (!kept_count || !compressed_count) {
        return nullptr;
    }
    return outcome(true, {{kc.s_rate, rate}, {kc.s_total_tokens, total}, {kc.max_context, max_context},
                          {kc.s_kept, kept_count.get()}, {kc.s_compressed, compressed_count.get()}});
}

}  // namespace

PyObject *list_tokens(PyObject *messages) noexcept {
    Ref snapshot = Ref::steal(PySequence_Tuple(messages));
    long long total = 0;
    if (!snapshot || list_tokens(snapshot.get(), total) < 0) {
        return nullptr;
    }
    return PyLong_FromLongLong(total);
}

PyObject *compress_list(Frame &frame, PyObject *messages, PyObject *llm_config, const Collaborators &with,
                        bool alternate, SummaryAccount *account, Ref &new_messages) noexcept {
    // What is read is what is rewritten: host code that runs during the
    // reads (a message's get, a str()) cannot change the list under them.
    Ref snapshot = Ref::steal(PySequence_Tuple(messages));
    if (!snapshot) {
        return nullptr;
    }
    Ref max_context = read_window(frame, llm_config);
    long long total = 0;
    if (!max_context || list_tokens(snapshot.get(), total) < 0) {
        return nullptr;
    }
    Ref total_tokens = Ref::steal(PyLong_FromLongLong(total));
    Ref rate = total_tokens ? Ref::steal(PyNumber_TrueDivide(total_tokens.get(), max_context.get())) : Ref();
    if (!rate) {
        return nullptr;
    }
    const int below = compare(rate.get(), kc.threshold, Py_LE);
    if (below != 0) {
        return below < 0 ? nullptr
                         : outcome(false, {{kc.s_rate, rate.get()}, {kc.s_total_tokens, total_tokens.get()},
                                           {kc.max_context, max_context.get()}});
    }
    Ref keep_budget = keep_budget_for(max_context.get());
    const long long budget = keep_budget ? PyLong_AsLongLong(keep_budget.get()) : -1;
    if (budget == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    const Py_ssize_t first = first_kept(snapshot.get(), budget, alternate);
    if (first < 0) {
        return nullptr;
    }
    // The span: every message before the first kept one but the system
    // messages, which go ahead of the summary as they were.
    Ref span = Ref::steal(PyList_New(0));
    Ref held = Ref::steal(PyList_New(0));
    if (!span || !held) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < first; ++i) {
        PyObject *message = PyTuple_GET_ITEM(snapshot.get(), i);
        ListMessage read;
        if (read_list_message(message, read) < 0 || PyList_Append(read.system ? held.get() : span.get(), message) < 0) {
            return nullptr;
        }
    }
    if (PyList_GET_SIZE(span.get()) == 0) {
        return outcome(false, {{kc.s_rate, rate.get()}});
    }
    Ref later = Ref::steal(PyTuple_GetSlice(snapshot.get(), first, PyTuple_GET_SIZE(snapshot.get())));
    Ref later_list = later ? Ref::steal(PySequence_List(later.get())) : Ref();
    if (!later_list) {
        return nullptr;
    }
    bool kept = false;
    Ref summary = summarise_span(frame, span.get(), later_list.get(), llm_config, with, account, kept);
    if (!summary) {
        return nullptr;
    }
    if (kept) {
        return outcome(false, {{kc.s_rate, rate.get()}, {kc.s_total_tokens, total_tokens.get()},
                               {kc.max_context, max_context.get()}});
    }
    Ref summary_msg = summary_user_message(with, summary.get());
    if (!summary_msg || PyList_Append(held.get(), summary_msg.get()) < 0) {
        return nullptr;
    }
    for (Py_ssize_t i = first; i < PyTuple_GET_SIZE(snapshot.get()); ++i) {
        if (PyList_Append(held.get(), PyTuple_GET_ITEM(snapshot.get(), i)) < 0) {
            return nullptr;
        }
    }
    PyObject *result = compressed_list_outcome(rate.get(), total_tokens.get(), max_context.get(),
                                               PyTuple_GET_SIZE(snapshot.get()) - first, PyList_GET_SIZE(span.get()));
    if (result != nullptr) {
        new_messages = std::move(held);
    }
    return result;
}

// Reading the host's records: get() with an exact-dict fast path, and the body of a message.
#pragma once

#include "constants.hpp"
#include "errors.hpp"
#include "python_ops.hpp"

/// `record.get(key)`. New reference; nullptr with an exception set.
inline Ref record_get(PyObject *record, PyObject *key) noexcept {
    if (PyDict_CheckExact(record)) {
        PyObject *value = nullptr;
        if (PyDict_GetItemRef(record, key, &value) == 0) {
            return Ref::borrow(Py_None);
        }
        return Ref::steal(value);
    }
    PyObject *argv[2] = {record, key};
    return Ref::steal(PyObject_VectorcallMethod(kc.get, argv, 2, nullptr));
}

/// `record.get(key, fallback)`. New reference; nullptr with an exception set.
inline Ref record_get(PyObject *record, PyObject *key, PyObject *fallback) noexcept {
    if (PyDict_CheckExact(record)) {
        PyObject *value = nullptr;
        if (PyDict_GetItemRef(record, key, &value) == 0) {
            return Ref::borrow(fallback);
        }
        return Ref::steal(value);
    }
    PyObject *argv[3] = {record, key, fallback};
    return Ref::steal(PyObject_VectorcallMethod(kc.get, argv, 3, nullptr));
}

/// `value or ""`, consuming `value`; an empty Ref passes through.
inline Ref or_empty(Ref value) noexcept {
    if (!value) {
        return value;
    }
    const int is_true = truthy(value.get());
    if (is_true < 0) {
        return Ref();
    }
    return is_true ? std::move(value) : Ref::borrow(kc.empty);
}

/// `record.get(key) or ""` (one-argument get, then the truth test).
inline Ref record_get_or_empty(PyObject *record, PyObject *key) noexcept {
    return or_empty(record_get(record, key));
}

/// `record.get(key, "") or ""` (two-argument get, then the truth test).
inline Ref record_get_text_or_empty(PyObject *record, PyObject *key) noexcept {
    return or_empty(record_get(record, key, kc.empty));
}

/// `record[key]`. New reference; nullptr with an exception set.
Ref record_item(PyObject *record, PyObject *key) noexcept;

/// How one function reads a message's role and content, and the lines it
/// reads them on.
struct MessageReading {
    bool role_first;     // the transcript reads the role first, the estimator the content
    PyObject *Constants::*role_default;  // nullptr for the one-argument get
    int role_line;       // role = m.get("role"[, default])
    int content_line;    // content = m.get("content", "") or ""
    int is_tool_line;    // if role == "tool":
    int tool_result_line;  // content = m.get("tool_result") or content or ""
};

/// What a message says: its role as read, and the content that stands for its
/// body (the tool result, for a tool message that has one).
struct MessageBody {
    Ref role;
    Ref content;
    bool is_tool = false;
};

/// For a message whose role equals "tool":
/// `content = message.get("tool_result") or content or ""`.
/// 1 for a tool message, 0 for any other, -1 on error.
inline int take_tool_result(PyObject *message, PyObject *role, Ref &content, Frame &frame, int tool_result_line) noexcept {
    const int is_tool = equals_text(role, kc.tool);
    if (is_tool <= 0) {
        return is_tool;
    }
    frame.line = tool_result_line;
    Ref tool_result = record_get(message, kc.tool_result);
    if (!tool_result) {
        return -1;
    }
    const int has_result = truthy(tool_result.get());
    if (has_result < 0) {
        return -1;
    }
    if (has_result) {
        content = std::move(tool_result);
        return 1;
    }
    const int has_content = truthy(content.get());
    if (has_content < 0) {
        return -1;
    }
    if (!has_content) {
        content = Ref::borrow(kc.empty);
    }
    return 1;
}

/// Reads `message` as `reading` says, moving `frame` through its lines.
/// -1 with an exception set.
inline int read_message(PyObject *message, const MessageReading &reading, Frame &frame, MessageBody &body) noexcept {
    auto read_role = [&] {
        frame.line = reading.role_line;
        body.role = reading.role_default ? record_get(message, kc.role, kc.*reading.role_default)
                                         : record_get(message, kc.role);
        return body.role ? 0 : -1;
    };
    auto read_content = [&] {
        frame.line = reading.content_line;
        body.content = record_get_text_or_empty(message, kc.content);
        return body.content ? 0 : -1;
    };
    if (reading.role_first ? (read_role() < 0 || read_content() < 0) : (read_content() < 0 || read_role() < 0)) {
        return -1;
    }
    frame.line = reading.is_tool_line;
    const int is_tool = take_tool_result(message, body.role.get(), body.content, frame, reading.tool_result_line);
    if (is_tool < 0) {
        return -1;
    }
    body.is_tool = is_tool == 1;
    return 0;
}

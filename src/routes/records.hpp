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

/// Reads `message` as `reading` says, moving `frame` through its lines.
/// -1 with an exception set.
int read_message(PyObject *message, const MessageReading &reading, Frame &frame, MessageBody &body) noexcept;

// Python's own operations on any object, with fast paths for the exact builtin types:
// truth, equality, ordering, isinstance and the for loop (whose signal checks
// interrupts.hpp places).
#pragma once

#include "interrupts.hpp"
#include "ref.hpp"

#include <algorithm>
#include <cstring>
#include <initializer_list>

/// Python's truth test: 1, 0, or -1 with an exception set.
inline int truthy(PyObject *obj) noexcept {
    if (PyUnicode_CheckExact(obj)) {
        return PyUnicode_GET_LENGTH(obj) != 0;
    }
    return PyObject_IsTrue(obj);
}

/// The truth test of a result that may have failed: -1 for a missing
/// reference (its exception is set), else as truthy().
inline int truthy(const Ref &result) noexcept { return result ? truthy(result.get()) : -1; }

/// Code-point order of two exact strs: negative, zero or positive. Texts of
/// the 1-byte kind (timestamps, ASCII roles) compare with memcmp, as
/// PyUnicode_Compare itself would, without the calls around it.
inline int text_order(PyObject *a, PyObject *b) noexcept {
    if (a == b) {
        return 0;
    }
    if (PyUnicode_KIND(a) != PyUnicode_1BYTE_KIND || PyUnicode_KIND(b) != PyUnicode_1BYTE_KIND) {
        note_text_scan(a, b);
        return PyUnicode_Compare(a, b);
    }
    const Py_ssize_t length_a = PyUnicode_GET_LENGTH(a);
    const Py_ssize_t length_b = PyUnicode_GET_LENGTH(b);
    const Py_ssize_t shorter = std::min(length_a, length_b);
    if (shorter > kLongStepBytes) {
        g_long_step = true;
    }
    const int order = std::memcmp(PyUnicode_1BYTE_DATA(a), PyUnicode_1BYTE_DATA(b), static_cast<size_t>(shorter));
    if (order != 0) {
        return order;
    }
    return (length_a > length_b) - (length_a < length_b);
}

/// `a == b` for two exact strs, as str's own equality decides it.
inline bool text_equal(PyObject *a, PyObject *b) noexcept {
    if (a == b) {
        return true;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * kind) == 0;
}

/// `obj == text` in a condition, `text` being an exact str constant: 1, 0 or -1.
inline int equals_text(PyObject *obj, PyObject *text) noexcept {
    if (PyUnicode_CheckExact(obj)) {
        return text_equal(obj, text);
    }
    Ref result = Ref::steal(PyObject_RichCompare(obj, text, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

/// `a OP b` in a condition (OP one of Py_LT, Py_GE, ...): 1, 0 or -1.
/// Exact str pairs compare natively, in code-point order.
inline int compare(PyObject *a, PyObject *b, int op) noexcept {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        const int order = text_order(a, b);
        switch (op) {
        case Py_LT: return order < 0;
        case Py_LE: return order <= 0;
        case Py_EQ: return order == 0;
        case Py_NE: return order != 0;
        case Py_GT: return order > 0;
        default: return order >= 0;
        }
    }
    if (PyUnicode_Check(a) && PyUnicode_Check(b)) {
        note_text_scan(a, b);  // str subclasses that keep str's own ordering
    }
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

/// `terms[0] + terms[1] + ...`, left to right, with Python's own addition
/// (a subclass may take part in it). New reference; nullptr with an exception.
inline Ref add_all(std::initializer_list<PyObject *> terms) noexcept {
    const auto *term = terms.begin();
    Ref sum = Ref::borrow(*term);
    for (++term; term != terms.end() && sum; ++term) {
        sum = Ref::steal(PyNumber_Add(sum.get(), *term));
    }
    return sum;
}

/// `isinstance(obj, type)`: 1, 0 or -1. Exact types answer at once; anything
/// else goes through isinstance's own rules (subclasses, __class__).
inline int is_instance(PyObject *obj, PyTypeObject *type) noexcept {
    if (Py_IS_TYPE(obj, type)) {
        return 1;
    }
    // The common builtin types cannot claim another class through __class__,
    // so the subtype check alone answers for them without an attribute lookup.
    if (PyUnicode_CheckExact(obj) || PyDict_CheckExact(obj) || PyList_CheckExact(obj) || PyLong_CheckExact(obj) ||
        PyTuple_CheckExact(obj) || obj == Py_None) {
        return PyType_IsSubtype(Py_TYPE(obj), type);
    }
    return PyObject_IsInstance(obj, reinterpret_cast<PyObject *>(type));
}

/// Runs `visit(item)` for each item an iterator yields. `visit` returns 1 to
/// go on, 0 to break, -1 on error. Returns 1 when the iterator ran out, 0
/// when the loop broke, -1 on error.
template <class Visit>
int for_each_from(PyObject *iterator, Visit &&visit) {
    SignalCheckpoint checkpoint;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(iterator));
        if (!item) {
            return PyErr_Occurred() ? -1 : 1;
        }
        int step = visit(item.get());
        if (step <= 0) {
            return step;
        }
        if (checkpoint.passed() < 0) {
            return -1;
        }
    }
}

/// `for item in iterable:` with `visit(item)` as the body; returns as
/// for_each_from does. The caller keeps `iterable` alive.
///
/// An exact list is walked by index with its length re-read at every step,
/// exactly as its iterator would, since the body (or a signal handler) may
/// run Python code that changes the list; each item is held while the body
/// runs.
template <class Visit>
int for_each(PyObject *iterable, Visit &&visit) {
    if (PyList_CheckExact(iterable)) {
        SignalCheckpoint checkpoint;
        // The checkpoint ends each step, so the length is re-read after any
        // handler it ran.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            int step = visit(item.get());
            if (step <= 0) {
                return step;
            }
            if (checkpoint.passed() < 0) {
                return -1;
            }
        }
        return 1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) {
        return -1;
    }
    return for_each_from(iterator.get(), visit);
}

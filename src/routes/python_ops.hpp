// Python's own operations on any object, with fast paths for the exact builtin types:
// truth, equality, ordering, isinstance and the for loop.
#pragma once

#include "ref.hpp"

/// Python's truth test: 1, 0, or -1 with an exception set.
inline int truthy(PyObject *obj) noexcept {
    if (PyUnicode_CheckExact(obj)) {
        return PyUnicode_GET_LENGTH(obj) != 0;
    }
    return PyObject_IsTrue(obj);
}

/// `obj == text` in a condition, `text` being an exact str constant: 1, 0 or -1.
inline int equals_text(PyObject *obj, PyObject *text) noexcept {
    if (obj == text) {
        return 1;
    }
    if (PyUnicode_CheckExact(obj)) {
        return PyUnicode_Compare(obj, text) == 0;
    }
    Ref result = Ref::steal(PyObject_RichCompare(obj, text, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

/// `a OP b` in a condition (OP one of Py_LT, Py_GE, ...): 1, 0 or -1.
/// Exact str pairs compare natively, in code-point order.
inline int compare(PyObject *a, PyObject *b, int op) noexcept {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        const int order = PyUnicode_Compare(a, b);
        switch (op) {
        case Py_LT: return order < 0;
        case Py_LE: return order <= 0;
        case Py_EQ: return order == 0;
        case Py_NE: return order != 0;
        case Py_GT: return order > 0;
        default: return order >= 0;
        }
    }
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    return result ? PyObject_IsTrue(result.get()) : -1;
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

/// Walks over sequences the caller controls (an endless iterator included)
/// look for a pending signal once per this many items, so that Ctrl-C lands
/// within a fraction of a millisecond without a check per item.
inline constexpr unsigned kSignalCheckInterval = 64;

/// Counts the items of one walk and runs the signal handlers at each full
/// block. -1 with the handler's exception set when one raised.
class SignalCheckpoint {
public:
    int passed() noexcept {
        if (++since_check_ < kSignalCheckInterval) {
            return 0;
        }
        since_check_ = 0;
        return PyErr_CheckSignals();
    }

private:
    unsigned since_check_ = 0;
};

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

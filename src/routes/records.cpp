// Reading the host's records: exact dicts directly, everything else through its own get().
#include "records.hpp"

namespace {

Ref call_get(PyObject *record, PyObject *key, PyObject *fallback) {
    PyObject *argv[3] = {record, key, fallback};
    size_t nargs = fallback ? 3 : 2;
    return Ref::steal(PyObject_VectorcallMethod(kc.get, argv, nargs, nullptr));
}

Ref or_empty(Ref value) {
    if (!value) {
        return value;
    }
    int is_true = truthy(value.get());
    if (is_true < 0) {
        return Ref();
    }
    return is_true ? std::move(value) : Ref::borrow(kc.empty);
}

}  // namespace

Ref record_get(PyObject *record, PyObject *key) noexcept {
    if (PyDict_CheckExact(record)) {
        PyObject *value = nullptr;
        if (PyDict_GetItemRef(record, key, &value) == 0) {
            return Ref::borrow(Py_None);
        }
        return Ref::steal(value);
    }
    return call_get(record, key, nullptr);
}

Ref record_get(PyObject *record, PyObject *key, PyObject *fallback) noexcept {
    if (PyDict_CheckExact(record)) {
        PyObject *value = nullptr;
        if (PyDict_GetItemRef(record, key, &value) == 0) {
            return Ref::borrow(fallback);
        }
        return Ref::steal(value);
    }
    return call_get(record, key, fallback);
}

Ref record_get_or_empty(PyObject *record, PyObject *key) noexcept {
    return or_empty(record_get(record, key));
}

Ref record_get_text_or_empty(PyObject *record, PyObject *key) noexcept {
    return or_empty(record_get(record, key, kc.empty));
}

Ref record_item(PyObject *record, PyObject *key) noexcept {
    if (PyDict_CheckExact(record)) {
        PyObject *value = nullptr;
        int found = PyDict_GetItemRef(record, key, &value);
        if (found != 0) {
            return Ref::steal(value);
        }
        // Missing: let the mapping protocol raise its own KeyError.
    }
    return Ref::steal(PyObject_GetItem(record, key));
}

int equals_text(PyObject *obj, PyObject *text) noexcept {
    if (obj == text) {
        return 1;
    }
    if (PyUnicode_CheckExact(obj)) {
        return PyUnicode_Compare(obj, text) == 0;
    }
    Ref result = Ref::steal(PyObject_RichCompare(obj, text, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

int compare(PyObject *a, PyObject *b, int op) noexcept {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        int order = PyUnicode_Compare(a, b);
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

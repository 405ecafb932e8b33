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

int take_tool_result(PyObject *message, PyObject *role, Ref &content, Frame &frame, int tool_result_line) noexcept {
    int is_tool = equals_text(role, kc.tool);
    if (is_tool <= 0) {
        return is_tool;
    }
    frame.line = tool_result_line;
    Ref tool_result = record_get(message, kc.tool_result);
    int has_result = tool_result ? truthy(tool_result.get()) : -1;
    if (has_result < 0) {
        return -1;
    }
    if (has_result) {
        content = std::move(tool_result);
        return 1;
    }
    int has_content = truthy(content.get());
    if (has_content < 0) {
        return -1;
    }
    if (!has_content) {
        content = Ref::borrow(kc.empty);
    }
    return 1;
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

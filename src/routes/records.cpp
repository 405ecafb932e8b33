// Reading the host's records: a subscript with the mapping protocol's own KeyError.
#include "records.hpp"

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

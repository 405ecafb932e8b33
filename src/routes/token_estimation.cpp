// Token estimation: character-class estimates of texts and message lists.
#include "bodies.hpp"

PyObject *estimate_tokens_text_body(PyObject *const *, Frame &) {
    PyErr_SetString(PyExc_NotImplementedError, "estimate_tokens_text");
    return nullptr;
}
PyObject *estimate_tokens_body(PyObject *const *, Frame &) {
    PyErr_SetString(PyExc_NotImplementedError, "estimate_tokens");
    return nullptr;
}

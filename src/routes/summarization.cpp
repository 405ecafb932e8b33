// Summarization: the bounded transcript of a span, the fallback extract, the summary request.
#include "bodies.hpp"

PyObject *msgs_to_text_body(PyObject *const *, Frame &) {
    PyErr_SetString(PyExc_NotImplementedError, "_msgs_to_text");
    return nullptr;
}
PyObject *simple_extract_body(PyObject *const *, Frame &) {
    PyErr_SetString(PyExc_NotImplementedError, "simple_extract");
    return nullptr;
}

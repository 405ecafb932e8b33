// History compression: measure, keep the newest tail, summarise the span, rewrite the conversation.
#include "bodies.hpp"

PyObject *cut_and_sum_history_body(PyObject *const *, Frame &) {
    PyErr_SetString(PyExc_NotImplementedError, "cut_and_sum_history");
    return nullptr;
}

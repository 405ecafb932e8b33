// Traceback entries: a synthetic frame per entry, over a code object that
// carries the entry's name, the module's source unit and the line.
#include "errors.hpp"

#include <frameobject.h>

#include <new>

void add_traceback(const char *name, int line, PyObject *globals) noexcept {
    if (!PyErr_Occurred()) {
        return;
    }
    // Code and frame creation must not run with an exception set.
    PyObject *pending = PyErr_GetRaisedException();
    PyCodeObject *code = PyCode_NewEmpty(kSourceFile, name, line);
    PyFrameObject *frame = nullptr;
    if (code != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    }
    // A failure to build the entry must not mask the real error.
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
    }
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

void set_error_from_cxx() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "routes.context_compress: unexpected internal error");
    }
}

// Traceback entries: a synthetic frame per entry, over a code object that
// carries the entry's name, the module's source unit and the line.
#include "errors.hpp"

#include <frameobject.h>

void add_traceback(const char *name, int line, PyObject *globals) noexcept {
    if (!PyErr_Occurred()) {
        return;
    }
    // Code and frame creation must not run with an exception set.
    PyObject *pending = PyErr_GetRaisedException();
    Ref code = Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(kSourceFile, name, line)));
    Ref frame;
    if (code) {
        frame = Ref::steal(reinterpret_cast<PyObject *>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()), globals, nullptr)));
    }
    // A failure to build the entry must not mask the real error.
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
    }
}

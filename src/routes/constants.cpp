// Building the module's constants from the lists in constants.hpp.
#include "constants.hpp"

#include "numbers.hpp"

#include <utility>

Constants kc;

namespace {

/// [:stop]. New reference.
PyObject *slice_up_to(long stop) {
    Ref bound = Ref::steal(PyLong_FromLong(stop));
    return bound ? PySlice_New(Py_None, bound.get(), Py_None) : nullptr;
}

/// [start:]. New reference.
PyObject *slice_from(long start) {
    Ref bound = Ref::steal(PyLong_FromLong(start));
    return bound ? PySlice_New(bound.get(), Py_None, Py_None) : nullptr;
}

/// A class made the way a class statement makes one: `type("python_class", (), {})`.
/// New reference.
PyObject *python_class() {
    Ref ns = Ref::steal(PyDict_New());
    return ns ? PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "s()O", "python_class", ns.get())
              : nullptr;
}

void clear(Constants &set) {
#define CC_CLEAR(field, value) Py_CLEAR(set.field);
    CC_TEXT_CONSTANTS(CC_CLEAR)
    CC_OBJECT_CONSTANTS(CC_CLEAR)
#undef CC_CLEAR
}

/// Fills `texts` in list order and stops at the first failure.
bool build(Constants &texts, PyObject *builtins_module) {
#define CC_BUILD_TEXT(field, value)                          \
    if ((texts.field = PyUnicode_InternFromString(value)) == nullptr) { \
        return false;                                        \
    }
    CC_TEXT_CONSTANTS(CC_BUILD_TEXT)
#undef CC_BUILD_TEXT
#define CC_BUILD_OBJECT(field, value)    \
    if ((texts.field = (value)) == nullptr) { \
        return false;                    \
    }
    CC_OBJECT_CONSTANTS(CC_BUILD_OBJECT)
#undef CC_BUILD_OBJECT
    return true;
}

}  // namespace

int build_constants(PyObject *builtins_module) noexcept {
    Constants fresh;
    const bool ok = build(fresh, builtins_module);
    // On success the previous set (empty on a first import) leaves through
    // `fresh`; on failure the partial new set does.
    if (ok) {
        std::swap(kc, fresh);
    }
    clear(fresh);
    return ok ? 0 : -1;
}

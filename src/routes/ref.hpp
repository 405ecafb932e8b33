// Ref: the one owning handle for Python object references in this module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

// Rules of use:
//  - A Ref owns exactly one strong reference, or nothing.
//  - Ref::steal(p) adopts a new reference (the result of a C API call that
//    returns one); Ref::borrow(p) takes a new reference to a borrowed object.
//  - Moving leaves the source empty; copying is not allowed.
//  - release() hands the reference to the caller, e.g. as a C entry point's
//    return value.
//  - Plain PyObject * parameters and locals are borrowed. Anything that must
//    survive a call into Python code (a get(), a __str__, a comparison) is held
//    in a Ref, since that code may drop every other reference to it.
//  - The destructor runs when a scope ends normally, and only then: the module
//    is built without exceptions (see CMakeLists.txt), so a thread the
//    interpreter ends while it waits for the lock unwinds past every Ref
//    without releasing it, rather than calling Py_DECREF with no thread state.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            PyObject *old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    static Ref steal(PyObject *obj) noexcept { return Ref(obj); }
    static Ref borrow(PyObject *obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject *get() const noexcept { return obj_; }
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject *obj) noexcept : obj_(obj) {}
    PyObject *obj_ = nullptr;
};

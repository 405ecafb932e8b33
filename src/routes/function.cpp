// The module's function objects: a vectorcall type with Python-function attributes and
// binding, a stack guard, and name lookups in the module namespace.
#include "function.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include <pthread.h>

#if defined(__GLIBC__) && defined(__x86_64__)
// glibc 2.32 and 2.34 gave these two new symbol versions when libpthread
// moved into libc; the code behind the old and the new version is the same.
// Binding to the original versions keeps the module loadable on the glibc of
// manylinux2014 (2.17), where they live in libpthread, which the interpreter
// has already loaded.
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#endif

namespace {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    PyObject *name;         // interned function name
    PyObject *globals;      // the module namespace
    PyObject *code;         // describes the parameters for inspect
    PyObject *defaults;     // None or a tuple
    PyObject *annotations;  // an empty dict of its own
    PyObject *doc;
    PyObject *dict;
};

int count_error(const FunctionSpec &spec, Py_ssize_t given) {
    const char *qualifier;
    Py_ssize_t expected;
    if (spec.nrequired == spec.nparams) {
        qualifier = "exactly";
        expected = spec.nparams;
    } else if (given < spec.nrequired) {
        qualifier = "at least";
        expected = spec.nrequired;
    } else {
        qualifier = "at most";
        expected = spec.nparams;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, qualifier, expected, expected == 1 ? "" : "s", given);
    return -1;
}

/// 1 when the keyword `key` names the parameter `param`, 0 if not, -1 on error.
int keyword_matches(PyObject *key, PyObject *param) {
    if (key == param) {
        return 1;
    }
    if (PyUnicode_CheckExact(key)) {
        return PyUnicode_Compare(key, param) == 0;
    }
    // A str subclass may define its own equality; it takes part as with ==.
    return PyObject_RichCompareBool(key, param, Py_EQ);
}

/// Binds a vectorcall's arguments to the parameters of `spec` (borrowed into
/// `bound`). -1 with the binding TypeError set.
int bind_arguments(const FunctionSpec &spec, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames, PyObject **bound) {
    const Py_ssize_t nparams = spec.nparams;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < spec.nrequired || nargs > nparams) {
            return count_error(spec, nargs);
        }
    } else if (nargs > nparams) {
        return count_error(spec, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[i] = args[i];
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        // Interned names first: the common call by keyword matches on identity.
        for (Py_ssize_t i = nargs; i < nparams; ++i) {
            if (!bound[i] && key == kc.*spec.params[i]) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
                return -1;
            }
            for (Py_ssize_t i = nargs; i < nparams && slot < 0; ++i) {
                if (bound[i]) {
                    continue;
                }
                int match = keyword_matches(key, kc.*spec.params[i]);
                if (match < 0) {
                    return -1;
                }
                if (match) {
                    slot = i;
                }
            }
        }
        if (slot >= 0) {
            bound[slot] = args[nargs + k];
            continue;
        }
        for (Py_ssize_t i = 0; i < nparams; ++i) {
            int match = keyword_matches(key, kc.*spec.params[i]);
            if (match < 0) {
                return -1;
            }
            if (match) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             spec.name, key);
                return -1;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, key);
        return -1;
    }
    for (Py_ssize_t i = spec.nrequired; i < nparams; ++i) {
        if (!bound[i]) {
            bound[i] = Py_None;
        }
    }
    for (Py_ssize_t i = nargs; i < spec.nrequired; ++i) {
        if (!bound[i]) {
            return count_error(spec, i);
        }
    }
    return 0;
}

/// The bounds of the current thread's stack, found once per thread.
struct StackBounds {
    uintptr_t low = 0;
    uintptr_t high = 0;
    bool probed = false;
};

thread_local StackBounds t_stack;

/// Stack to keep free below a call of a module function: room for the body,
/// the interpreter code it calls and the unwinding of a RecursionError. A
/// quarter of a small stack at most, so small threads can still call.
constexpr uintptr_t kStackReserve = 256 * 1024;

/// True when the stack below `here` is too short for another call. Python's
/// own recursion counter assumes small C frames; a call of a module function
/// costs several times that, so on a small thread stack the counter alone
/// would let a runaway recursion overflow the stack. The real stack pointer
/// against the thread's bounds decides instead. A stack that cannot be found,
/// or that `here` is not on (a coroutine library's own stack), is not checked.
bool stack_exhausted(uintptr_t here) noexcept {
    StackBounds &stack = t_stack;
    if (!stack.probed) {
        stack.probed = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void *base = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &base, &size) == 0) {
                stack.low = reinterpret_cast<uintptr_t>(base);
                stack.high = stack.low + size;
            }
            pthread_attr_destroy(&attr);
        }
    }
    if (here <= stack.low || here >= stack.high) {
        return false;
    }
    const uintptr_t reserve = std::min(kStackReserve, (stack.high - stack.low) / 4);
    return here - stack.low < reserve;
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) noexcept {
    auto *fn = reinterpret_cast<NativeFunction *>(callable);
    const FunctionSpec &spec = *fn->spec;
    // Host code can call back into the module (a rebound name, a __str__,
    // the __eq__ of a str subclass used as a keyword, which binding calls):
    // keep such recursion from exhausting the C stack. Both guards come
    // before binding, since binding itself can run that code.
    if (stack_exhausted(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)))) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while calling a routes.context_compress function");
        add_traceback(spec.entry_name, spec.def_line, fn->globals);
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while calling a routes.context_compress function")) {
        add_traceback(spec.entry_name, spec.def_line, fn->globals);
        return nullptr;
    }
    PyObject *bound[kMaxParams] = {};
    if (bind_arguments(spec, args, PyVectorcall_NARGS(nargsf), kwnames, bound) < 0) {
        Py_LeaveRecursiveCall();
        add_traceback(spec.entry_name, spec.def_line, fn->globals);
        return nullptr;
    }
    // The globals must outlive the body even if the body rebinds the function.
    Ref globals = Ref::borrow(fn->globals);
    Frame frame{globals.get(), spec.def_line};
    PyObject *result = spec.body(bound, frame);
    Py_LeaveRecursiveCall();
    if (result == nullptr) {
        add_traceback(spec.entry_name, frame.line, globals.get());
    }
    return result;
}

// The references a function object owns and the garbage collector may see.
constexpr PyObject *NativeFunction::*kCollectable[] = {
    &NativeFunction::globals, &NativeFunction::code, &NativeFunction::defaults,
    &NativeFunction::annotations, &NativeFunction::dict,
};

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    for (PyObject *NativeFunction::*member : kCollectable) {
        Py_VISIT(fn->*member);
    }
    return 0;
}

int function_clear(PyObject *self) {
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    for (PyObject *NativeFunction::*member : kCollectable) {
        Py_CLEAR(fn->*member);
    }
    return 0;
}

void function_dealloc(PyObject *self) {
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->doc);
    PyObject_GC_Del(self);
}

PyObject *function_repr(PyObject *self) {
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", fn->name, self);
}

// Pickles by reference, the way plain functions do.
PyObject *function_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(reinterpret_cast<NativeFunction *>(self)->name);
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(reinterpret_cast<NativeFunction *>(self)->name); }
PyObject *get_module(PyObject *, void *) { return Py_NewRef(kc.module_name); }
PyObject *get_doc(PyObject *self, void *) { return Py_NewRef(reinterpret_cast<NativeFunction *>(self)->doc); }
PyObject *get_defaults(PyObject *self, void *) { return Py_NewRef(reinterpret_cast<NativeFunction *>(self)->defaults); }
PyObject *get_kwdefaults(PyObject *, void *) { Py_RETURN_NONE; }
PyObject *get_annotations(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<NativeFunction *>(self)->annotations);
}
PyObject *get_globals(PyObject *self, void *) { return Py_NewRef(reinterpret_cast<NativeFunction *>(self)->globals); }
PyObject *get_code(PyObject *self, void *) { return Py_NewRef(reinterpret_cast<NativeFunction *>(self)->code); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject NativeFunctionType = [] {
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "routes.context_compress.native_function";
    type.tp_basicsize = sizeof(NativeFunction);
    type.tp_dealloc = function_dealloc;
    type.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
    type.tp_repr = function_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_setattro = PyObject_GenericSetAttr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    type.tp_doc = "A function of routes.context_compress.";
    type.tp_traverse = function_traverse;
    type.tp_clear = function_clear;
    type.tp_methods = function_methods;
    type.tp_getset = function_getset;
    type.tp_dictoffset = offsetof(NativeFunction, dict);
    return type;
}();

/// The code object that describes the parameters of `spec`. inspect, dis and
/// tracebacks read it, and anyone can run it (through FunctionType, a
/// `__code__` assignment or exec), so it is real compiled code: a def with the
/// same parameters, placed on the function's def line, whose body raises
/// TypeError. Code with empty bytecode would abort the interpreter instead.
PyObject *describing_code(const FunctionSpec &spec) noexcept {
    Ref params = Ref::steal(PyList_New(spec.nparams));
    if (!params) {
        return nullptr;
    }
    for (int i = 0; i < spec.nparams; ++i) {
        PyList_SET_ITEM(params.get(), i, Py_NewRef(kc.*spec.params[i]));
    }
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    Ref joined = separator ? Ref::steal(PyUnicode_Join(separator.get(), params.get())) : Ref();
    Ref before_def = Ref::steal(PySequence_Repeat(kc.newline, spec.def_line - 1));
    if (!joined || !before_def) {
        return nullptr;
    }
    Ref source = Ref::steal(PyUnicode_FromFormat(
        "%Udef %s(%U):\n    raise TypeError(\"the code object of %s only describes a native function and cannot "
        "be run\")\n", before_def.get(), spec.name, joined.get(), spec.entry_name));
    const char *text = source ? PyUnicode_AsUTF8(source.get()) : nullptr;
    if (text == nullptr) {
        return nullptr;
    }
    Ref module_code = Ref::steal(Py_CompileString(text, kSourceFile, Py_file_input));
    if (!module_code) {
        return nullptr;
    }
    Ref consts = Ref::steal(PyObject_GetAttrString(module_code.get(), "co_consts"));
    if (!consts) {
        return nullptr;
    }
    if (PyTuple_Check(consts.get())) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
            PyObject *item = PyTuple_GET_ITEM(consts.get(), i);
            if (PyCode_Check(item)) {
                return Py_NewRef(item);
            }
        }
    }
    PyErr_Format(PyExc_SystemError, "no code object compiled for %s", spec.name);
    return nullptr;
}

}  // namespace

int function_type_ready() noexcept { return PyType_Ready(&NativeFunctionType); }

PyObject *function_new(const FunctionSpec &spec, PyObject *globals, PyObject *defaults) noexcept {
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref doc = Ref::steal(PyUnicode_FromString(spec.doc));
    Ref annotations = Ref::steal(PyDict_New());
    Ref code = Ref::steal(describing_code(spec));
    if (!name || !doc || !annotations || !code) {
        return nullptr;
    }
    auto *fn = PyObject_GC_New(NativeFunction, &NativeFunctionType);
    if (fn == nullptr) {
        return nullptr;
    }
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->name = name.release();
    fn->globals = Py_NewRef(globals);
    fn->code = code.release();
    fn->defaults = Py_NewRef(defaults);
    fn->annotations = annotations.release();
    fn->doc = doc.release();
    fn->dict = nullptr;
    PyObject_GC_Track(fn);
    return reinterpret_cast<PyObject *>(fn);
}

bool is_native_function(PyObject *callable, Body body) noexcept {
    return Py_IS_TYPE(callable, &NativeFunctionType) &&
           reinterpret_cast<NativeFunction *>(callable)->spec->body == body;
}

PyObject *CachedGlobal::get() noexcept {
    PyObject *ns = frame_.globals;
    Py_ssize_t pos = position_;
    PyObject *key = nullptr;
    PyObject *current = nullptr;
    // The entry at the remembered position (or the next live one after it)
    // answers when its key is the name itself: a dict holds one entry per
    // key, so its value is the binding now, however the namespace changed
    // since. PyDict_Next runs no comparison and no other Python code.
    if (pos >= 0 && PyDict_Next(ns, &pos, &key, &current) && key == name_) {
        if (current != value_.get()) {
            value_ = Ref::borrow(current);
        }
        return current;
    }
    value_ = lookup_global(frame_, name_);
    if (value_ && !searched_) {
        // Found once per walk; a name bound under a key that is not the
        // interned name itself is never found, and is looked up every time.
        searched_ = true;
        position_ = -1;
        for (pos = 0; PyDict_Next(ns, &pos, &key, &current);) {
            if (key == name_) {
                position_ = pos - 1;
                break;
            }
        }
    }
    return value_.get();
}

Ref lookup_global(const Frame &frame, PyObject *name, bool *in_namespace) noexcept {
    PyObject *value = nullptr;
    int found = PyDict_GetItemRef(frame.globals, name, &value);
    if (in_namespace != nullptr) {
        *in_namespace = found == 1;
    }
    if (found == 0) {
        found = PyDict_GetItemRef(kc.builtins_dict, name, &value);
        if (found == 0) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    return Ref::steal(value);
}

Ref global_attribute(const Frame &frame, PyObject *name, PyObject *attr) noexcept {
    Ref value = lookup_global(frame, name);
    if (!value) {
        return value;
    }
    return Ref::steal(PyObject_GetAttr(value.get(), attr));
}

Ref call_global(const Frame &frame, PyObject *name, PyObject *const *args, size_t nargs) noexcept {
    Ref callable = lookup_global(frame, name);
    if (!callable) {
        return Ref();
    }
    return Ref::steal(PyObject_Vectorcall(callable.get(), args, nargs, nullptr));
}

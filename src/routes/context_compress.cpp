// routes.context_compress: module definition and initialisation.
#include "lines.hpp"
#include "namespace.hpp"

#include <cstdint>

namespace {

constexpr const char kModuleDoc[] =
    "Context compression for lumenpad \u2014 ported from corvid's CutTime mechanism.\n"
    "\n"
    "Conversation gets a cut_time field. Messages at/after cut_time are fed to the\n"
    "LLM; older history is condensed into an LLM summary (a user message prefixed\n"
    "[\u4e0a\u4e0b\u6587\u538b\u7f29\u6458\u8981]) inserted at new_cut_time + 1s. Recover details via the\n"
    "search_session tool.\n";

constexpr const char kInitEntry[] = "init routes.context_compress";

// Process-wide state: one copy per process, written only by create and exec,
// which run under the import lock.
int64_t g_interpreter_id = -1;
PyObject *g_current_module = nullptr;  // strong reference while set

/// Sets module.<module_attr> from spec.<spec_attr>; a missing spec attribute
/// is skipped, and so is a None value when `skip_none`.
int copy_spec_attribute(PyObject *spec, PyObject *module, const char *spec_attr,
                        const char *module_attr, bool skip_none) {
    PyObject *raw = nullptr;
    int found = PyObject_GetOptionalAttrString(spec, spec_attr, &raw);
    Ref value = Ref::steal(raw);
    if (found <= 0) {
        return found;
    }
    if (skip_none && value.get() == Py_None) {
        return 0;
    }
    return PyObject_SetAttrString(module, module_attr, value.get());
}

PyObject *module_create(PyObject *spec, PyModuleDef *) noexcept {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return nullptr;
    }
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
    } else if (g_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_current_module != nullptr) {
        return Py_NewRef(g_current_module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    if (copy_spec_attribute(spec, module.get(), "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

int check_runtime_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return 0;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, "routes.context_compress",
                            "does not match", major, minor);
}

int register_in_sys_modules(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    int present = PyMapping_HasKeyWithError(modules, kc.module_name);
    if (present != 0) {
        return present < 0 ? -1 : 0;
    }
    return PyObject_SetItem(modules, kc.module_name, module);
}

int module_exec(PyObject *module) noexcept {
    if (g_current_module != nullptr) {
        if (g_current_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'context_compress' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_current_module = Py_NewRef(module);
    PyObject *ns = PyModule_GetDict(module);  // borrowed; the module keeps it
    bool constants_built = false;
    int line = init_line::kSetup;
    auto fail = [&]() {
        if (constants_built) {
            add_traceback(kInitEntry, line, ns);
        }
        Py_CLEAR(g_current_module);
        return -1;
    };

    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(ns, "__builtins__", builtins.get()) < 0) {
        return fail();
    }
    if (check_runtime_version() < 0 || build_constants(builtins.get()) < 0) {
        return fail();
    }
    constants_built = true;
    if (register_in_sys_modules(module) < 0) {
        return fail();
    }
    line = init_line::kImportJson;
    if (import_and_bind(ns, kc.json) < 0) {
        return fail();
    }
    line = init_line::kImportTime;
    if (import_and_bind(ns, kc.time) < 0) {
        return fail();
    }
    line = init_line::kImportDatetime;
    if (import_datetime_names(ns) < 0) {
        return fail();
    }
    if (add_functions(ns, line) < 0) {
        return fail();
    }
    line = init_line::kSetup;
    Ref test_dict = Ref::steal(PyDict_New());
    if (!test_dict || PyDict_SetItem(ns, kc.dunder_test, test_dict.get()) < 0) {
        return fail();
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "context_compress",
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_context_compress(void) { return PyModuleDef_Init(&module_def); }

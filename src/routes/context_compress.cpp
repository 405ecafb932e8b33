// routes.context_compress: module definition, initialisation and the function table.
#include "bodies.hpp"
#include "lines.hpp"

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


// The function table, in source order.
const FunctionSpec kFunctions[] = {
    {.name = "_parse_ts",
     .entry_name = "routes.context_compress._parse_ts",
     .doc = "_parse_ts(ts)\n\nParse RFC3339-ish timestamp to datetime. Returns None on failure.",
     .nparams = 1, .nrequired = 1, .def_line = 13,
     .params = {&Constants::p_ts, nullptr},
     .body = parse_ts_body},
    {.name = "add_seconds_rfc3339",
     .entry_name = "routes.context_compress.add_seconds_rfc3339",
     .doc = "add_seconds_rfc3339(ts, secs)\n\nReturn ts + secs in RFC3339 (UTC). Falls back to original ts.",
     .nparams = 2, .nrequired = 2, .def_line = 23,
     .params = {&Constants::p_ts, &Constants::p_secs},
     .body = add_seconds_rfc3339_body},
    {.name = "get_conv_cut_time",
     .entry_name = "routes.context_compress.get_conv_cut_time",
     .doc = "get_conv_cut_time(conv)\n\nReturn effective cut_time for a conversation dict (back-fills if empty).",
     .nparams = 1, .nrequired = 1, .def_line = 31,
     .params = {&Constants::p_conv, nullptr},
     .body = get_conv_cut_time_body},
    {.name = "msgs_from_cut_time",
     .entry_name = "routes.context_compress.msgs_from_cut_time",
     .doc = "msgs_from_cut_time(conv)\n\nReturn messages with timestamp >= cut_time (all if cut_time empty).",
     .nparams = 1, .nrequired = 1, .def_line = 47,
     .params = {&Constants::p_conv, nullptr},
     .body = msgs_from_cut_time_body},
    {.name = "estimate_tokens_text",
     .entry_name = "routes.context_compress.estimate_tokens_text",
     .doc = "estimate_tokens_text(text)\n\nChinese ~1.5 tok/char, Latin ~0.25 tok/char (mirrors chat _estimate_tokens).",
     .nparams = 1, .nrequired = 1, .def_line = 60,
     .params = {&Constants::p_text, nullptr},
     .body = estimate_tokens_text_body},
    {.name = "estimate_tokens",
     .entry_name = "routes.context_compress.estimate_tokens",
     .doc = "estimate_tokens(msgs)\n\nEstimate tokens for a list of message dicts.",
     .nparams = 1, .nrequired = 1, .def_line = 68,
     .params = {&Constants::p_msgs, nullptr},
     .body = estimate_tokens_body},
    {.name = "_msgs_to_text",
     .entry_name = "routes.context_compress._msgs_to_text",
     .doc = "_msgs_to_text(msgs)\n\nConvert messages to a text block for summarization (truncate each 2000 chars, total 8000).",
     .nparams = 1, .nrequired = 1, .def_line = 90,
     .params = {&Constants::p_msgs, nullptr},
     .body = msgs_to_text_body},
    {.name = "simple_extract",
     .entry_name = "routes.context_compress.simple_extract",
     .doc = "simple_extract(msgs)\n\nFallback extractor: first 3 + last 5 messages, truncated.",
     .nparams = 1, .nrequired = 1, .def_line = 114,
     .params = {&Constants::p_msgs, nullptr},
     .body = simple_extract_body},
    {.name = "cut_and_sum_history",
     .entry_name = "routes.context_compress.cut_and_sum_history",
     .doc = "cut_and_sum_history(conv, llm_config=None)\n\nPort of corvid cutAndSumHistory. Returns (compressed: bool, stats: dict).\n\n"
            "conv is a dict {id, created_at, cut_time, messages:[{role, content, timestamp, ...}]}.\n"
            "Modifies conv in place: sets cut_time, replaces compressed span with summary msg.",
     .nparams = 2, .nrequired = 1, .def_line = 124,
     .params = {&Constants::p_conv, &Constants::p_llm_config},
     .body = cut_and_sum_history_body},
};

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

/// `import NAME` at module level, binding NAME in `ns`.
int import_and_bind(PyObject *ns, PyObject *name) {
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(name, ns, nullptr, nullptr, 0));
    if (!module) {
        return -1;
    }
    return PyDict_SetItem(ns, name, module.get());
}

/// `from datetime import datetime, timezone`, binding both names in `ns`.
int import_datetime_names(PyObject *ns) {
    Ref fromlist = Ref::steal(PyTuple_Pack(2, kc.datetime, kc.timezone));
    if (!fromlist) {
        return -1;
    }
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(kc.datetime, ns, nullptr, fromlist.get(), 0));
    if (!module) {
        return -1;
    }
    for (PyObject *name : {kc.datetime, kc.timezone}) {
        PyObject *raw = nullptr;
        int found = PyObject_GetOptionalAttr(module.get(), name, &raw);
        Ref value = Ref::steal(raw);
        if (found < 0) {
            return -1;
        }
        if (found == 0) {
            // A submodule imported as a side effect may stand in for a missing attribute.
            Ref module_name = Ref::steal(PyObject_GetAttrString(module.get(), "__name__"));
            if (!module_name) {
                return -1;
            }
            Ref full_name = Ref::steal(PyUnicode_FromFormat("%S.%U", module_name.get(), name));
            if (!full_name) {
                return -1;
            }
            PyObject *submodule = nullptr;
            if (PyMapping_GetOptionalItem(PyImport_GetModuleDict(), full_name.get(), &submodule) < 0) {
                return -1;
            }
            value = Ref::steal(submodule);
            if (!value) {
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
                return -1;
            }
        }
        if (PyDict_SetItem(ns, name, value.get()) < 0) {
            return -1;
        }
    }
    return 0;
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
    line = kFunctions[0].def_line;
    if (function_type_ready() < 0) {
        return fail();
    }
    for (const FunctionSpec &spec : kFunctions) {
        line = spec.def_line;
        PyObject *defaults = spec.nrequired < spec.nparams ? kc.defaults_none : Py_None;
        Ref function = Ref::steal(function_new(spec, ns, defaults));
        if (!function || PyDict_SetItemString(ns, spec.name, function.get()) < 0) {
            return fail();
        }
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

// routes.context_compress: module definition, initialisation and the function table.
#include "bodies.hpp"

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

// Source lines of the module body, as its traceback entries report them.
constexpr int kLineSetup = 1;
constexpr int kLineImportJson = 8;
constexpr int kLineImportTime = 9;
constexpr int kLineImportDatetime = 10;

#define CC_FN(name) name, "routes.context_compress." name

// The function table, in source order.
const FunctionSpec kFunctions[] = {
    {CC_FN("_parse_ts"),
     "_parse_ts(ts)\n\nParse RFC3339-ish timestamp to datetime. Returns None on failure.",
     1, 1, 13, {&Constants::p_ts, nullptr}, parse_ts_body},
    {CC_FN("add_seconds_rfc3339"),
     "add_seconds_rfc3339(ts, secs)\n\nReturn ts + secs in RFC3339 (UTC). Falls back to original ts.",
     2, 2, 23, {&Constants::p_ts, &Constants::p_secs}, add_seconds_rfc3339_body},
    {CC_FN("get_conv_cut_time"),
     "get_conv_cut_time(conv)\n\nReturn effective cut_time for a conversation dict (back-fills if empty).",
     1, 1, 31, {&Constants::p_conv, nullptr}, get_conv_cut_time_body},
    {CC_FN("msgs_from_cut_time"),
     "msgs_from_cut_time(conv)\n\nReturn messages with timestamp >= cut_time (all if cut_time empty).",
     1, 1, 47, {&Constants::p_conv, nullptr}, msgs_from_cut_time_body},
    {CC_FN("estimate_tokens_text"),
     "estimate_tokens_text(text)\n\nChinese ~1.5 tok/char, Latin ~0.25 tok/char (mirrors chat _estimate_tokens).",
     1, 1, 60, {&Constants::p_text, nullptr}, estimate_tokens_text_body},
    {CC_FN("estimate_tokens"),
     "estimate_tokens(msgs)\n\nEstimate tokens for a list of message dicts.",
     1, 1, 68, {&Constants::p_msgs, nullptr}, estimate_tokens_body},
    {CC_FN("_msgs_to_text"),
     "_msgs_to_text(msgs)\n\nConvert messages to a text block for summarization (truncate each 2000 chars, total 8000).",
     1, 1, 90, {&Constants::p_msgs, nullptr}, msgs_to_text_body},
    {CC_FN("simple_extract"),
     "simple_extract(msgs)\n\nFallback extractor: first 3 + last 5 messages, truncated.",
     1, 1, 114, {&Constants::p_msgs, nullptr}, simple_extract_body},
    {CC_FN("cut_and_sum_history"),
     "cut_and_sum_history(conv, llm_config=None)\n\nPort of corvid cutAndSumHistory. Returns (compressed: bool, stats: dict).\n\n"
     "conv is a dict {id, created_at, cut_time, messages:[{role, content, timestamp, ...}]}.\n"
     "Modifies conv in place: sets cut_time, replaces compressed span with summary msg.",
     2, 1, 124, {&Constants::p_conv, &Constants::p_llm_config}, cut_and_sum_history_body},
};

#undef CC_FN

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
            Ref full_name = module_name ? Ref::steal(PyUnicode_FromFormat("%S.%U", module_name.get(), name)) : Ref();
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
    int line = kLineSetup;
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
    line = kLineImportJson;
    if (import_and_bind(ns, kc.json) < 0) {
        return fail();
    }
    line = kLineImportTime;
    if (import_and_bind(ns, kc.time) < 0) {
        return fail();
    }
    line = kLineImportDatetime;
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
    line = kLineSetup;
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

}  // namespace

int build_constants(PyObject *builtins_module) noexcept {
    Constants fresh;
    bool ok = true;
#define CC_BUILD_TEXT(field, text)                                  \
    if (ok) {                                                       \
        fresh.field = PyUnicode_InternFromString(text);             \
        ok = fresh.field != nullptr;                                \
    }
    CC_TEXT_CONSTANTS(CC_BUILD_TEXT)
#undef CC_BUILD_TEXT
    if (ok) {
        fresh.empty_tuple = PyTuple_New(0);
        fresh.defaults_none = PyTuple_Pack(1, Py_None);
        fresh.slice_head = slice_up_to(3);
        fresh.slice_tail = slice_from(-5);
        fresh.slice_body = slice_up_to(2000);
        fresh.zero = PyLong_FromLong(0);
        fresh.one = PyLong_FromLong(1);
        fresh.ten = PyLong_FromLong(10);
        fresh.min_keep_budget = PyLong_FromLong(1024);
        fresh.threshold = PyFloat_FromDouble(0.8);
        fresh.stream_kwnames = PyTuple_Pack(1, fresh.stream);
        fresh.seconds_kwnames = PyTuple_Pack(1, fresh.seconds);
        fresh.import_names = PyTuple_Pack(1, fresh.call_llm_api);
        fresh.max_tokens_value = PyLong_FromLong(2048);
        fresh.default_window = PyLong_FromLong(200000);
        fresh.builtins_dict = Py_XNewRef(PyModule_GetDict(builtins_module));
        fresh.builtin_import = PyObject_GetAttrString(builtins_module, "__import__");
        ok = fresh.empty_tuple && fresh.defaults_none && fresh.slice_head && fresh.slice_tail &&
             fresh.slice_body && fresh.zero && fresh.one && fresh.ten && fresh.min_keep_budget && fresh.threshold &&
             fresh.stream_kwnames && fresh.seconds_kwnames && fresh.import_names && fresh.max_tokens_value &&
             fresh.default_window && fresh.builtins_dict && fresh.builtin_import;
    }
    // On success the previous set (empty on a first import) leaves through
    // `fresh`; on failure the partial new set does.
    if (ok) {
        std::swap(kc, fresh);
    }
#define CC_DROP_TEXT(field, text) Py_CLEAR(fresh.field);
    CC_TEXT_CONSTANTS(CC_DROP_TEXT)
#undef CC_DROP_TEXT
    Py_CLEAR(fresh.empty_tuple);
    Py_CLEAR(fresh.defaults_none);
    Py_CLEAR(fresh.slice_head);
    Py_CLEAR(fresh.slice_tail);
    Py_CLEAR(fresh.slice_body);
    Py_CLEAR(fresh.zero);
    Py_CLEAR(fresh.one);
    Py_CLEAR(fresh.ten);
    Py_CLEAR(fresh.min_keep_budget);
    Py_CLEAR(fresh.threshold);
    Py_CLEAR(fresh.stream_kwnames);
    Py_CLEAR(fresh.seconds_kwnames);
    Py_CLEAR(fresh.import_names);
    Py_CLEAR(fresh.max_tokens_value);
    Py_CLEAR(fresh.default_window);
    Py_CLEAR(fresh.builtins_dict);
    Py_CLEAR(fresh.builtin_import);
    return ok ? 0 : -1;
}

PyMODINIT_FUNC PyInit_context_compress(void) { return PyModuleDef_Init(&module_def); }

// context_compress._engine: the module's compression for the host library, its
// collaborators passed in as arguments rather than looked up in routes.context_compress.
#include "compression.hpp"
#include "namespace.hpp"
#include "plain_lists.hpp"

namespace {

constexpr const char kEngineDoc[] =
    "The compression of routes.context_compress, with the collaborators of its summary\n"
    "request passed in: the host library's door to it. Nothing here reads or writes\n"
    "routes.context_compress's namespace.";

/// The namespace the engine's functions resolve names in: the nine functions,
/// datetime and timezone, and the builtins, as routes.context_compress holds
/// them, but reachable only through this module's functions, so that nothing
/// a host rebinds changes a compression made here. Made once per process, as
/// the constants are (the module refuses other interpreters).
PyObject *g_namespace = nullptr;  // strong reference
// The engine's own functions, by name, over that namespace (strong
// reference; never a Ref, whose destructor would run after the interpreter).
PyObject *g_own = nullptr;

/// Fills `with` from the collaborators tuple `(transcript, extract, ask,
/// system_prompt, summary_prefix, summary_note)`; -1 with TypeError when it
/// is not one. An extract of None means that a failed request leaves the
/// conversation as it was; an ask of None, that no request is made and the
/// summary is the extract.
int read_collaborators(PyObject *given, Collaborators &with) {
    constexpr Py_ssize_t kCount = 6;
    if (!PyTuple_Check(given) || PyTuple_GET_SIZE(given) != kCount) {
        PyErr_SetString(PyExc_TypeError,
                        "collaborators must be a tuple (transcript, extract, ask, system_prompt, "
                        "summary_prefix, summary_note)");
        return -1;
    }
    with.transcript = PyTuple_GET_ITEM(given, 0);
    with.extract = PyTuple_GET_ITEM(given, 1);
    with.ask = PyTuple_GET_ITEM(given, 2);
    with.system_prompt = PyTuple_GET_ITEM(given, 3);
    with.summary_prefix = PyTuple_GET_ITEM(given, 4);
    with.summary_note = PyTuple_GET_ITEM(given, 5);
    if (with.extract == Py_None) {
        with.extract = nullptr;
        with.keep_on_failure = true;
    }
    if (with.ask == Py_None) {
        with.ask = nullptr;
        with.no_request = true;
    }
    // The host library's compressions never compress a system message.
    with.keep_system = true;
    if (!PyCallable_Check(with.transcript) || (with.extract != nullptr && !PyCallable_Check(with.extract)) ||
        (with.ask != nullptr && !PyCallable_Check(with.ask))) {
        PyErr_SetString(PyExc_TypeError, "transcript must be callable, extract and ask callable or None");
        return -1;
    }
    if (!PyUnicode_Check(with.system_prompt) || !PyUnicode_Check(with.summary_prefix) ||
        (with.summary_note != Py_None && !PyUnicode_Check(with.summary_note))) {
        PyErr_SetString(PyExc_TypeError, "system_prompt and summary_prefix must be str, summary_note str or None");
        return -1;
    }
    return 0;
}

/// `(span, sent, summary, answered, error, in_transcript)`, or None when no
/// summary was asked for. New reference.
PyObject *account_tuple(const SummaryAccount &account) {
    if (!account.span) {
        Py_RETURN_NONE;
    }
    auto or_none = [](const Ref &ref) { return ref ? ref.get() : Py_None; };
    return PyTuple_Pack(6, account.span.get(), or_none(account.sent), or_none(account.summary),
                        account.answered ? Py_True : Py_False, or_none(account.error),
                        account.in_transcript ? Py_True : Py_False);
}

/// `(compressed, stats, account, last)` of an `outcome` (compressed, stats). New reference.
PyObject *engine_outcome(PyObject *outcome, const SummaryAccount &account, PyObject *last) {
    if (outcome == nullptr) {
        return nullptr;
    }
    Ref account_info = Ref::steal(account_tuple(account));
    if (!account_info) {
        return nullptr;
    }
    return PyTuple_Pack(4, PyTuple_GET_ITEM(outcome, 0), PyTuple_GET_ITEM(outcome, 1), account_info.get(), last);
}

/// compress(conv, llm_config, collaborators): cut_and_sum_history with the
/// summary asked of the collaborators; `(compressed, stats, account,
/// newest_outside)`.
PyObject *compress_body(PyObject *const *params, Frame &frame) {
    Collaborators with;
    if (read_collaborators(params[2], with) < 0) {
        return nullptr;
    }
    SummaryAccount account;
    Ref outcome = Ref::steal(compress_history(frame, params[0], params[1], with, &account));
    return engine_outcome(outcome.get(), account, account.newest_outside ? Py_True : Py_False);
}

/// compress_list(messages, llm_config, collaborators, alternate): a plain
/// list's compression; `(compressed, stats, account, new_messages)`.
PyObject *compress_list_body(PyObject *const *params, Frame &frame) {
    Collaborators with;
    if (read_collaborators(params[2], with) < 0) {
        return nullptr;
    }
    const int alternate = PyObject_IsTrue(params[3]);
    if (alternate < 0) {
        return nullptr;
    }
    SummaryAccount account;
    Ref new_messages;
    Ref outcome = Ref::steal(compress_list(frame, params[0], params[1], with, alternate, &account, new_messages));
    return engine_outcome(outcome.get(), account, new_messages ? new_messages.get() : Py_None);
}

PyObject *estimate_messages_body(PyObject *const *params, Frame &) { return list_tokens(params[0]); }

const FunctionSpec kCompress = {
    .name = "compress",
    .entry_name = "context_compress._engine.compress",
    .doc = "compress(conv, llm_config, collaborators)\n\n"
           "cut_and_sum_history(conv, llm_config), its summary asked of the collaborators\n"
           "(transcript, extract, ask, system_prompt, summary_prefix, summary_note):\n"
           "transcript(span) and extract(span) give texts, ask(prompt_msgs, cfg) the summary;\n"
           "an extract of None leaves the conversation as it was when the request fails, an\n"
           "ask of None asks nothing (the summary is the extract).\n"
           "Returns (compressed, stats, account, newest_outside): account is None when\n"
           "nothing was asked, else (span, sent, summary, answered, error, in_transcript);\n"
           "newest_outside tells that the conversation's last message is not in its window.",
    .nparams = 3,
    .nrequired = 3,
    .def_line = 124,
    .params = {&Constants::p_conv, &Constants::p_llm_config, &Constants::p_collaborators},
    .body = compress_body,
};

const FunctionSpec kCompressList = {
    .name = "compress_list",
    .entry_name = "context_compress._engine.compress_list",
    .doc = "compress_list(messages, llm_config, collaborators, alternate)\n\n"
           "A plain list of chat messages (no stamps, no cut time) compressed when its estimate\n"
           "is over the threshold: system messages as they were, then the summary, then the\n"
           "kept messages from the start of a turn (from an assistant message where roles must\n"
           "alternate). The list itself is never changed.\n"
           "Returns (compressed, stats, account, new_messages); new_messages is None when\n"
           "nothing was compressed.",
    .nparams = 4,
    .nrequired = 4,
    .def_line = 124,
    .params = {&Constants::messages, &Constants::p_llm_config, &Constants::p_collaborators, &Constants::p_alternate},
    .body = compress_list_body,
};

const FunctionSpec kEstimateMessages = {
    .name = "estimate_messages",
    .entry_name = "context_compress._engine.estimate_messages",
    .doc = "estimate_messages(messages)\n\n"
           "The estimate of a plain list of messages: the module's, and the texts of tool calls,\n"
           "tool results and thinking in OpenAI's and Anthropic's shapes.",
    .nparams = 1,
    .nrequired = 1,
    .def_line = 68,
    .params = {&Constants::messages, nullptr},
    .body = estimate_messages_body,
};

/// The private namespace and the functions over it, made once.
int make_namespace() {
    Ref own = Ref::steal(PyDict_New());
    if (!own) {
        return -1;
    }
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || build_constants(builtins.get()) < 0) {
        return -1;
    }
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItemString(ns.get(), "__builtins__", builtins.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__name__", kc.module_name) < 0 || import_datetime_names(ns.get()) < 0) {
        return -1;
    }
    int line = 0;
    if (add_functions(ns.get(), line) < 0) {
        return -1;
    }
    for (const FunctionSpec *spec : {&kCompress, &kCompressList, &kEstimateMessages}) {
        Ref function = Ref::steal(function_new(*spec, ns.get(), Py_None));
        if (!function || PyDict_SetItemString(own.get(), spec->name, function.get()) < 0) {
            return -1;
        }
    }
    g_namespace = ns.release();
    g_own = own.release();
    return 0;
}

// What the module offers: its `compress`, and the functions of the private
// namespace that a caller passes back in or measures with, under their own names.
constexpr struct {
    const char *attribute;
    const char *function;
} kExported[] = {
    {"transcript", "_msgs_to_text"},
    {"extract", "simple_extract"},
    {"estimate_tokens", "estimate_tokens"},
    {"msgs_from_cut_time", "msgs_from_cut_time"},
    {"get_conv_cut_time", "get_conv_cut_time"},
};

int engine_exec(PyObject *module) noexcept {
    if (g_namespace == nullptr && make_namespace() < 0) {
        return -1;
    }
    if (PyDict_Update(PyModule_GetDict(module), g_own) < 0) {
        return -1;
    }
    for (const auto &exported : kExported) {
        PyObject *function = PyDict_GetItemString(g_namespace, exported.function);  // borrowed
        if (function == nullptr || PyModule_AddObjectRef(module, exported.attribute, function) < 0) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_SystemError, "no %s in the engine's namespace", exported.function);
            }
            return -1;
        }
    }
    return 0;
}

PyModuleDef_Slot engine_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(engine_exec)},
    // The constants and the namespace are one per process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef engine_def = {
    PyModuleDef_HEAD_INIT, "context_compress._engine", kEngineDoc, 0, nullptr, engine_slots, nullptr, nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__engine(void) { return PyModuleDef_Init(&engine_def); }

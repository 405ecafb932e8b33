// The module namespace: its imports and the nine functions, made the same way for every
// namespace the compression runs in.
#include "namespace.hpp"

#include "bodies.hpp"

namespace {

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

}  // namespace

int import_and_bind(PyObject *ns, PyObject *name) {
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(name, ns, nullptr, nullptr, 0));
    if (!module) {
        return -1;
    }
    return PyDict_SetItem(ns, name, module.get());
}

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

int add_functions(PyObject *ns, int &line) noexcept {
    line = kFunctions[0].def_line;
    if (function_type_ready() < 0) {
        return -1;
    }
    for (const FunctionSpec &spec : kFunctions) {
        line = spec.def_line;
        PyObject *defaults = spec.nrequired < spec.nparams ? kc.defaults_none : Py_None;
        Ref function = Ref::steal(function_new(spec, ns, defaults));
        if (!function || PyDict_SetItemString(ns, spec.name, function.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

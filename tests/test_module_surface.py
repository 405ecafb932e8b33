"""What a Python caller sees of the module itself: namespace, function objects,
re-import and re-initialisation, and names resolved at call time."""

import builtins
import ctypes
import importlib
import inspect
import json
import sys
import time
from datetime import datetime, timedelta, timezone

import pytest

from surface import DEF_LINE, FUNCTIONS, MODULE_NAME, PARAMS, SOURCE_UNIT

MODULE_DOC = (
    "Context compression for lumenpad \u2014 ported from corvid's CutTime mechanism.\n"
    "\n"
    "Conversation gets a cut_time field. Messages at/after cut_time are fed to the\n"
    "LLM; older history is condensed into an LLM summary (a user message prefixed\n"
    "[\u4e0a\u4e0b\u6587\u538b\u7f29\u6458\u8981]) inserted at new_cut_time + 1s. Recover details via the\n"
    "search_session tool.\n"
)

DOCSTRINGS = {
    "_parse_ts": "_parse_ts(ts)\n\nParse RFC3339-ish timestamp to datetime. Returns None on failure.",
    "add_seconds_rfc3339":
        "add_seconds_rfc3339(ts, secs)\n\nReturn ts + secs in RFC3339 (UTC). Falls back to original ts.",
    "get_conv_cut_time":
        "get_conv_cut_time(conv)\n\nReturn effective cut_time for a conversation dict (back-fills if empty).",
    "msgs_from_cut_time":
        "msgs_from_cut_time(conv)\n\nReturn messages with timestamp >= cut_time (all if cut_time empty).",
    "estimate_tokens_text":
        "estimate_tokens_text(text)\n\nChinese ~1.5 tok/char, Latin ~0.25 tok/char (mirrors chat _estimate_tokens).",
    "estimate_tokens": "estimate_tokens(msgs)\n\nEstimate tokens for a list of message dicts.",
    "_msgs_to_text":
        "_msgs_to_text(msgs)\n\nConvert messages to a text block for summarization "
        "(truncate each 2000 chars, total 8000).",
    "simple_extract": "simple_extract(msgs)\n\nFallback extractor: first 3 + last 5 messages, truncated.",
    "cut_and_sum_history":
        "cut_and_sum_history(conv, llm_config=None)\n\nPort of corvid cutAndSumHistory. "
        "Returns (compressed: bool, stats: dict).\n\n"
        "conv is a dict {id, created_at, cut_time, messages:[{role, content, timestamp, ...}]}.\n"
        "Modifies conv in place: sets cut_time, replaces compressed span with summary msg.",
}
by_function = pytest.mark.parametrize("name", FUNCTIONS)

STANDARD_DUNDERS = {"__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__"}


# --- module and namespace ---------------------------------------------------


def test_module_docstring_or_registration_wrong(module):
    assert module.__doc__ == MODULE_DOC
    assert module.__name__ == MODULE_NAME
    assert module.__package__ == "routes"
    assert module.__spec__.name == MODULE_NAME
    assert sys.modules[MODULE_NAME] is module


def test_namespace_names_missing_or_out_of_order_after_fresh_import(run_python):
    names = run_python(
        "import json, routes.context_compress as m; print(json.dumps(list(vars(m))))")
    start = names.index("__builtins__")
    assert set(names[:start]) == STANDARD_DUNDERS
    assert names[start:] == [
        "__builtins__", "json", "time", "datetime", "timezone", *FUNCTIONS, "__test__"]


@pytest.mark.parametrize("name, expected", [
    ("__builtins__", builtins),
    ("json", json),
    ("time", time),
    ("datetime", datetime),
    ("timezone", timezone),
])
def test_namespace_binds_wrong_standard_object(module, name, expected):
    assert module.__dict__[name] is expected


def test_namespace_test_dict_not_empty_or_all_defined(module):
    assert type(module.__test__) is dict and module.__test__ == {}
    assert "__all__" not in module.__dict__


# --- function objects ---------------------------------------------------------


@by_function
def test_function_object_misdescribed(module, name):
    fn = getattr(module, name)
    params = PARAMS[name]
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, MODULE_NAME)
    assert fn.__doc__ == DOCSTRINGS[name]
    assert fn.__defaults__ == ((None,) if name == "cut_and_sum_history" else None)
    assert fn.__kwdefaults__ is None
    assert type(fn.__annotations__) is dict and fn.__annotations__ == {}
    assert fn.__globals__ is module.__dict__
    code = fn.__code__
    assert code.co_argcount == len(params)
    assert code.co_posonlyargcount == 0
    assert code.co_kwonlyargcount == 0
    assert code.co_varnames[:len(params)] == params
    assert code.co_filename == SOURCE_UNIT
    assert code.co_firstlineno == DEF_LINE[name]
    assert code.co_name == name
    sig = inspect.signature(fn)
    assert tuple(sig.parameters) == params
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    defaults = {p.name: p.default for p in sig.parameters.values()
                if p.default is not inspect.Parameter.empty}
    assert defaults == ({"llm_config": None} if name == "cut_and_sum_history" else {})


# --- re-import and re-initialisation ------------------------------------------


def test_reimport_after_sys_modules_delete_rebuilds_module_or_drops_host_bindings(module, namespace):
    functions = {n: namespace[n] for n in FUNCTIONS}

    def host_estimate(text):
        return 7

    marker = object()
    namespace["estimate_tokens_text"] = host_estimate
    namespace["json"] = marker
    namespace["host_added"] = marker
    saved = sys.modules.pop(MODULE_NAME)
    try:
        again = importlib.import_module(MODULE_NAME)
    finally:
        sys.modules[MODULE_NAME] = saved
    assert again is module
    assert namespace["estimate_tokens_text"] is host_estimate
    assert namespace["json"] is marker
    assert namespace["host_added"] is marker
    for n in FUNCTIONS:
        if n != "estimate_tokens_text":
            assert namespace[n] is functions[n]


def test_reload_rebuilds_or_rebinds_namespace(module, namespace):
    functions = {n: namespace[n] for n in FUNCTIONS}
    marker = object()
    namespace["datetime"] = marker
    namespace["_parse_ts"] = marker
    assert importlib.reload(module) is module
    assert namespace["datetime"] is marker
    assert namespace["_parse_ts"] is marker
    assert sys.modules[MODULE_NAME] is module
    for n in FUNCTIONS:
        if n != "_parse_ts":
            assert namespace[n] is functions[n]


def _capi():
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_New.restype = ctypes.py_object
    api.PyModule_New.argtypes = [ctypes.c_char_p]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    return api


def test_exec_on_another_module_object_not_refused_or_changes_state(module, namespace):
    api = _capi()
    definition = api.PyModule_GetDef(module)
    assert definition
    fresh = api.PyModule_New(b"context_compress")
    with pytest.raises(RuntimeError) as info:
        api.PyModule_ExecDef(fresh, definition)
    assert str(info.value) == (
        "Module 'context_compress' has already been imported. Re-initialisation is not supported.")
    assert "__builtins__" not in vars(fresh)
    assert not set(FUNCTIONS) & set(vars(fresh))
    assert sys.modules[MODULE_NAME] is module

    # The current module stays current: exec on it returns at once, rebuilding nothing.
    marker = object()
    namespace["json"] = marker
    functions = {n: namespace[n] for n in FUNCTIONS}
    assert api.PyModule_ExecDef(module, definition) == 0
    assert namespace["json"] is marker
    assert all(namespace[n] is functions[n] for n in FUNCTIONS)


@pytest.mark.parametrize("placeholder, expected", [
    (False, {"name": "context_compress", "registered_is_mod": True, "imported_is_mod": True,
             "fn_modules": [MODULE_NAME], "parses": "2024-05-01 00:00:00"}),
    (True, {"registered_is_placeholder": True, "registered_is_mod": False, "fn_modules": [MODULE_NAME]}),
], ids=["misses_canonical_registration", "replaces_existing_canonical_entry"])
def test_import_under_other_name(scenario, placeholder, expected):
    result = scenario("import_under_other_name", placeholder)
    assert {key: result[key] for key in expected} == expected


def test_import_under_313_fails_with_warnings_as_errors(run_python):
    code = "import json, routes.context_compress as m; print(json.dumps(m._parse_ts('2024-05-01').day))"
    assert run_python(code, "-W", "error") == 1


def test_import_under_313_issues_a_warning(run_python):
    code = (
        "import json, warnings\n"
        "with warnings.catch_warnings(record=True) as caught:\n"
        "    warnings.simplefilter('always')\n"
        "    import routes.context_compress\n"
        "print(json.dumps([str(w.message) for w in caught]))\n"
    )
    assert run_python(code) == []


# --- names resolved at call time ------------------------------------------------

VALID_TS = "2024-05-01T12:00:00Z"


def test_parse_ts_ignores_rebound_datetime(module, namespace):
    seen = []

    class HostDatetime:
        @classmethod
        def fromisoformat(cls, text):
            seen.append(text)
            return "host value"

    namespace["datetime"] = HostDatetime
    assert module._parse_ts(VALID_TS) == "host value"
    assert seen == ["2024-05-01T12:00:00+00:00"]


@pytest.mark.parametrize("text", [VALID_TS, "2024-05-01", "2024-05-01T12:00:00+08:00"])
def test_parse_ts_without_datetime_in_namespace_not_none(module, namespace, text):
    assert module._parse_ts(text) is not None
    del namespace["datetime"]
    assert module._parse_ts(text) is None


def test_parse_ts_skips_builtins_when_namespace_lacks_datetime(module, namespace, monkeypatch):
    class BuiltinDatetime:
        @staticmethod
        def fromisoformat(text):
            return ("from builtins", text)

    del namespace["datetime"]
    monkeypatch.setattr(builtins, "datetime", BuiltinDatetime, raising=False)
    assert module._parse_ts("2024-05-01") == ("from builtins", "2024-05-01")


def test_add_seconds_ignores_rebound_parse_ts(module, namespace):
    calls = []

    def host_parse(ts):
        calls.append(ts)
        return datetime(2000, 1, 1, tzinfo=timezone.utc)

    namespace["_parse_ts"] = host_parse
    assert module.add_seconds_rfc3339(VALID_TS, 1) == "2000-01-01T00:00:01+00:00"
    assert calls == [VALID_TS]

    namespace["_parse_ts"] = lambda ts: None
    assert module.add_seconds_rfc3339(VALID_TS, 1) is VALID_TS


def test_rebound_timezone_ignored(module, namespace):
    class HostTimezone:
        utc = timezone(timedelta(hours=8))

    namespace["timezone"] = HostTimezone
    assert module.add_seconds_rfc3339(VALID_TS, 1) == "2024-05-01T20:00:01+08:00"
    result = module.get_conv_cut_time({})
    assert result.endswith("+08:00")
    assert abs(datetime.fromisoformat(result) - datetime.now(timezone.utc)) < timedelta(seconds=30)


@pytest.mark.parametrize("fn, args, expected", [
    ("add_seconds_rfc3339", ("not a timestamp", 1), "not a timestamp"),
    ("get_conv_cut_time", ({"cut_time": VALID_TS},), VALID_TS),
    ("get_conv_cut_time", ({"created_at": VALID_TS},), VALID_TS),
    ("get_conv_cut_time", ({"messages": [{"timestamp": VALID_TS}]},), VALID_TS),
])
def test_names_looked_up_when_not_needed(module, namespace, fn, args, expected):
    del namespace["timezone"]
    del namespace["datetime"]
    assert getattr(module, fn)(*args) == expected

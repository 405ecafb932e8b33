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

import reference
from shared import outcome
from surface import DEF_LINE, FUNCTIONS, MODULE_NAME, PARAMS, SOURCE_UNIT

MODULE_DOC = (
    "Context compression for lumenpad \u2014 ported from corvid's CutTime mechanism.\n"
    "\n"
    "Conversation gets a cut_time field. Messages at/after cut_time are fed to the\n"
    "LLM; older history is condensed into an LLM summary (a user message prefixed\n"
    "[\u4e0a\u4e0b\u6587\u538b\u7f29\u6458\u8981]) inserted at new_cut_time + 1s. Recover details via the\n"
    "search_session tool.\n"
)

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


def test_namespace_binds_wrong_standard_objects_or_test_dict(module):
    ns = module.__dict__
    # Modules and classes compare by identity.
    assert [ns[n] for n in ("__builtins__", "json", "time", "datetime", "timezone")] == [
        builtins, json, time, datetime, timezone]
    assert type(ns["__test__"]) is dict and ns["__test__"] == {}
    assert "__all__" not in ns


# --- function objects ---------------------------------------------------------


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_object_misdescribed(module, name):
    fn, oracle, params = getattr(module, name), getattr(reference, name), PARAMS[name]
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, MODULE_NAME)
    # The text and the signature are the reference's: "name(params)", a blank line, the docstring.
    assert fn.__doc__ == f"{name}{inspect.signature(oracle)}\n\n{inspect.getdoc(oracle)}"
    assert inspect.signature(fn) == inspect.signature(oracle)
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


# --- re-import and re-initialisation ------------------------------------------


def _reimport(module):
    saved = sys.modules.pop(MODULE_NAME)
    try:
        return importlib.import_module(MODULE_NAME)
    finally:
        sys.modules[MODULE_NAME] = saved


@pytest.mark.parametrize("load_again", [_reimport, importlib.reload], ids=["sys_modules_deleted", "reload"])
def test_loading_again_rebuilds_module_or_drops_host_bindings(module, namespace, load_again):
    functions = {n: namespace[n] for n in FUNCTIONS}
    marker = object()
    host = {"estimate_tokens_text": lambda text: 7, "json": marker, "datetime": marker, "host_added": marker}
    namespace.update(host)
    assert load_again(module) is module
    assert sys.modules[MODULE_NAME] is module
    assert all(namespace[n] is value for n, value in host.items())
    assert all(namespace[n] is functions[n] for n in FUNCTIONS if n not in host)


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


def host_datetime(log):
    class HostDatetime:
        @staticmethod
        def fromisoformat(text):
            log.append(text)
            return ("host value", text)

    return HostDatetime


def host_parse(log):
    def parse(ts):
        log.append(ts)
        return datetime(2000, 1, 1, tzinfo=timezone.utc)

    return parse


def host_timezone(log):
    return type("HostTimezone", (), {"utc": timezone(timedelta(hours=8))})


def fixed_clock(log):
    class FixedClock(datetime):
        @classmethod
        def now(cls, tz=None):
            log.append(tz)
            return datetime(2024, 5, 1, 12, 0, 0, 250000, tzinfo=tz)

    return FixedClock


ABSENT = None  # the name is deleted
STORED = [{"cut_time": VALID_TS}, {"created_at": VALID_TS}, {"messages": [{"timestamp": VALID_TS}]}]


@pytest.mark.parametrize("fn, args, rebind", [
    ("_parse_ts", (VALID_TS,), {"datetime": host_datetime}),
    *[("_parse_ts", (text,), {"datetime": ABSENT}) for text in (VALID_TS, "2024-05-01", "2024-05-01T12:00:00+08:00")],
    ("_parse_ts", ("2024-05-01",), {"datetime": ABSENT, "builtins.datetime": host_datetime}),
    ("add_seconds_rfc3339", (VALID_TS, 1), {"_parse_ts": host_parse}),
    ("add_seconds_rfc3339", (VALID_TS, 1), {"_parse_ts": lambda log: lambda ts: None}),
    ("add_seconds_rfc3339", (VALID_TS, 1), {"timezone": host_timezone}),
    ("get_conv_cut_time", ({},), {"timezone": host_timezone, "datetime": fixed_clock}),
    # Names the call does not need are never looked up.
    ("add_seconds_rfc3339", ("not a timestamp", 1), {"timezone": ABSENT, "datetime": ABSENT}),
    *[("get_conv_cut_time", (conv,), {"timezone": ABSENT, "datetime": ABSENT}) for conv in STORED],
])
def test_names_not_resolved_at_call_time_as_the_reference_resolves_them(module, monkeypatch, fn, args, rebind):
    # The reference looks its names up as globals; the module must find the
    # same bindings (its namespace, then builtins) at the same moments.
    seen = []
    for side in (module, reference):
        log = []
        with monkeypatch.context() as patch:
            for name, value in rebind.items():
                where = builtins if name.startswith("builtins.") else side
                name = name.removeprefix("builtins.")
                if value is ABSENT:
                    patch.delattr(where, name)
                else:
                    patch.setattr(where, name, value(log), raising=False)
            result = outcome(getattr(side, fn), *args)
        seen.append((result, log, result[1] is args[0]))
    assert seen[0] == seen[1]
    assert seen[0][0][0] == "ok"

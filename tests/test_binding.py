"""Argument binding of the nine module functions: count, keyword and type
errors, their exact messages and their traceback entries."""

import ctypes
import sys

import pytest

from shared import outcome
from surface import DEF_LINE, FUNCTIONS, PARAMS, SOURCE_UNIT, entry, tb_entries

# Arguments each function accepts, so that binding by position and by keyword
# can be compared on the whole outcome of the call.
VALID_ARGS = {
    "_parse_ts": ("2024-05-01T12:00:00Z",),
    "add_seconds_rfc3339": ("2024-05-01T12:00:00Z", 1),
    "get_conv_cut_time": ({"cut_time": "2024-05-01T12:00:00Z"},),
    "msgs_from_cut_time": ({"messages": [{"timestamp": "a"}]},),
    "estimate_tokens_text": ("some text",),
    "estimate_tokens": ([{"role": "user", "content": "hi"}],),
    "_msgs_to_text": ([{"role": "user", "content": "hi"}],),
    "simple_extract": ([{"role": "user", "content": "hi"}],),
    "cut_and_sum_history": ({}, None),
}

VALID_TS = "2024-05-01T12:00:00Z"


def vectorcall(fn, args, kwnames):
    """Calls `fn` through PyObject_Vectorcall, with `kwnames` passed as given
    (Python's own call syntax allows only str keyword names)."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    values = [*args, *(value for _, value in kwnames)]
    array = (ctypes.py_object * max(len(values), 1))(*values)
    names = tuple(name for name, _ in kwnames) if kwnames else None
    return call(fn, array, len(args), names)


def count_error(name, given):
    """The message for `given` positional arguments, none or one too many."""
    if name == "cut_and_sum_history":
        bound = "at least 1 positional argument" if given == 0 else "at most 2 positional arguments"
    elif name == "add_seconds_rfc3339":
        bound = "exactly 2 positional arguments"
    else:
        bound = "exactly 1 positional argument"
    return f"{name}() takes {bound} ({given} given)"


# --- successful binding -----------------------------------------------------------------


@pytest.mark.parametrize("name", FUNCTIONS)
def test_binding_by_keyword_differs_from_position(module, name):
    fn = getattr(module, name)
    args = VALID_ARGS[name]
    by_position = outcome(fn, *args)
    assert by_position[1] is not TypeError
    assert outcome(fn, **dict(zip(PARAMS[name], args))) == by_position
    assert outcome(fn, *args[:1], **dict(zip(PARAMS[name][1:], args[1:]))) == by_position
    assert outcome(fn, *args, **{}) == by_position


def test_missing_llm_config_not_handed_over_as_none(module):
    conv = {}
    assert outcome(module.cut_and_sum_history, conv) == outcome(module.cut_and_sum_history, conv, None)


class SubStr(str):
    pass


class AlwaysEqual(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


class NeverEqual(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return False


# Keyword names built at run time, hence not interned.
TS_NAME, SECS_NAME = "".join(["t", "s"]), "".join(["se", "cs"])
LATER = "2024-05-01T12:00:01+00:00"
NOT_TS = "not a timestamp"


@pytest.mark.parametrize("call, expected", [
    (lambda m: m.add_seconds_rfc3339(ts=VALID_TS, secs=1), LATER),
    (lambda m: m.add_seconds_rfc3339(secs=1, ts=VALID_TS), LATER),
    (lambda m: m.add_seconds_rfc3339(VALID_TS, secs=-1), "2024-05-01T11:59:59+00:00"),
    (lambda m: m.add_seconds_rfc3339(secs="ignored", ts=NOT_TS) is NOT_TS, True),
    (lambda m: m.add_seconds_rfc3339(**{SECS_NAME: 1, TS_NAME: VALID_TS}), LATER),
    (lambda m: m._parse_ts(**{TS_NAME: "2024-05-01"}).day, 1),
    (lambda m: m._parse_ts(**{SubStr("ts"): "2024-05-01"}).day, 1),
    (lambda m: m.add_seconds_rfc3339(**{SubStr("secs"): 1, SubStr("ts"): VALID_TS}), LATER),
    # Matching asks the subclass's own ==, not the text it holds.
    (lambda m: m._parse_ts(**{AlwaysEqual("zz"): "2024-05-01"}).day, 1),
    (lambda m: vectorcall(m.add_seconds_rfc3339, (), [("secs", 1), ("ts", VALID_TS)]), LATER),
], ids=["ts-first", "secs-first", "positional-then-keyword", "keywords-fallback", "non-interned",
        "non-interned-parse-ts", "str-subclass-parse-ts", "str-subclass", "always-equal", "vectorcall"])
def test_keyword_binding_wrong(module, call, expected):
    assert TS_NAME is not sys.intern("ts")
    assert call(module) == expected


# --- keyword errors -----------------------------------------------------------------------


UNEXPECTED, MULTIPLE = "got an unexpected keyword argument", "got multiple values for keyword argument"
TAKES_TWO = "add_seconds_rfc3339() takes exactly 2 positional arguments"


@pytest.mark.parametrize("call, message", [
    (lambda m: m.add_seconds_rfc3339(secs=1), f"{TAKES_TWO} (0 given)"),
    (lambda m: m.add_seconds_rfc3339(ts=VALID_TS), f"{TAKES_TWO} (1 given)"),
    (lambda m: m.add_seconds_rfc3339(VALID_TS), f"{TAKES_TWO} (1 given)"),
    (lambda m: m.add_seconds_rfc3339(VALID_TS, **{}), f"{TAKES_TWO} (1 given)"),
    (lambda m: m.cut_and_sum_history(llm_config={}),
     "cut_and_sum_history() takes at least 1 positional argument (0 given)"),
    (lambda m: m.add_seconds_rfc3339(VALID_TS, 1, secs=2), f"add_seconds_rfc3339() {MULTIPLE} 'secs'"),
    (lambda m: m.add_seconds_rfc3339(VALID_TS, secs=1, ts=VALID_TS), f"add_seconds_rfc3339() {MULTIPLE} 'ts'"),
    (lambda m: m.cut_and_sum_history({}, None, llm_config=None), f"cut_and_sum_history() {MULTIPLE} 'llm_config'"),
    (lambda m: m.estimate_tokens(text="x"), f"estimate_tokens() {UNEXPECTED} 'text'"),
    (lambda m: m.get_conv_cut_time(Conv={}), f"get_conv_cut_time() {UNEXPECTED} 'Conv'"),
    (lambda m: m._parse_ts(**{"\u65f6\u95f4": 1}), f"_parse_ts() {UNEXPECTED} '\u65f6\u95f4'"),
    (lambda m: m._parse_ts(**{"k" * 300: 1}), f"_parse_ts() {UNEXPECTED} '" + "k" * 300 + "'"),
    (lambda m: m._parse_ts(**{SubStr("zz"): 1}), f"_parse_ts() {UNEXPECTED} 'zz'"),
    (lambda m: m._parse_ts(**{NeverEqual("ts"): 1}), f"_parse_ts() {UNEXPECTED} 'ts'"),
    (lambda m: m._parse_ts(VALID_TS, **{SubStr("ts"): 1}), f"_parse_ts() {MULTIPLE} 'ts'"),
    (lambda m: m._parse_ts(VALID_TS, **{AlwaysEqual("zz"): 1}), f"_parse_ts() {MULTIPLE} 'zz'"),
    (lambda m: m._parse_ts(VALID_TS, **{TS_NAME: VALID_TS}), f"_parse_ts() {MULTIPLE} 'ts'"),
    # The first offending keyword decides.
    (lambda m: m._parse_ts(VALID_TS, bogus=1, ts=2), f"_parse_ts() {UNEXPECTED} 'bogus'"),
    (lambda m: m._parse_ts(VALID_TS, ts=2, bogus=1), f"_parse_ts() {MULTIPLE} 'ts'"),
    (lambda m: m._parse_ts(VALID_TS, other=1, bogus=2), f"_parse_ts() {UNEXPECTED} 'other'"),
    # Keyword names that are not str, reachable only through the C call protocol.
    (lambda m: vectorcall(m._parse_ts, (VALID_TS,), [(b"ts", 1)]), "_parse_ts() keywords must be strings"),
    (lambda m: vectorcall(m._parse_ts, (), [(None, 1), ("bogus", 2)]), "_parse_ts() keywords must be strings"),
    (lambda m: vectorcall(m._parse_ts, (), [("bogus", 2), (None, 1)]), f"_parse_ts() {UNEXPECTED} 'bogus'"),
    (lambda m: vectorcall(m._parse_ts, (VALID_TS, 1), [(None, 1)]),
     "_parse_ts() takes exactly 1 positional argument (2 given)"),
], ids=["secs-only", "ts-only", "one-positional", "one-positional-empty-mapping", "llm_config-only",
        "secs-after-two", "ts-after-secs", "llm_config", "other-functions-parameter", "case-differs",
        "non-ascii-name", "long-name-whole", "unexpected", "never-equal", "multiple", "always-equal-multiple",
        "non-interned-multiple", "unexpected-first", "duplicate-first", "two-unexpected",
        "bytes-name", "non-str-first", "non-str-after-unexpected", "count-before-non-str"])
def test_binding_error_message_wrong(module, call, message):
    with pytest.raises(TypeError) as info:
        call(module)
    assert str(info.value) == message


# --- every function: the message, no work before binding succeeds, the traceback entry -----


class Tripwire:
    """Records every use a function body could make of an argument."""

    def __init__(self):
        self.touched = []

    def __getattr__(self, attr):
        self.touched.append(attr)
        raise AttributeError(attr)

    def __bool__(self):
        self.touched.append("__bool__")
        return True

    def __iter__(self):
        self.touched.append("__iter__")
        return iter(())

    def __len__(self):
        self.touched.append("__len__")
        return 0


def binding_errors(name):
    """(kind, call, message) for each kind of binding error of `name`; a call
    takes the function and the argument to pass it."""
    params, n = PARAMS[name], len(PARAMS[name])
    too_many, unexpected = count_error(name, n + 1), f"{name}() got an unexpected keyword argument 'bogus'"
    not_str = f"{name}() keywords must be strings"
    return [
        ("missing", lambda fn, t: fn(), count_error(name, 0)),
        ("missing-empty-mapping", lambda fn, t: fn(**{}), count_error(name, 0)),
        ("count", lambda fn, t: fn(*[t] * (n + 1)), too_many),
        # The count is checked before any keyword is.
        ("count-before-unexpected", lambda fn, t: fn(*[t] * (n + 1), bogus=t), too_many),
        ("count-before-parameters", lambda fn, t: fn(*[t] * (n + 1), ts=t, conv=t), too_many),
        ("multiple", lambda fn, t: fn(t, **{params[0]: t}),
         f"{name}() got multiple values for keyword argument '{params[0]}'"),
        # Keywords are examined before missing parameters are counted.
        ("unexpected", lambda fn, t: fn(bogus=t), unexpected),
        ("unexpected-after-positional", lambda fn, t: fn(t, bogus=t), unexpected),
        ("not-str", lambda fn, t: vectorcall(fn, (), [(1, t)]), not_str),
        ("not-str-after-positional", lambda fn, t: vectorcall(fn, (t,), [(0, t)]), not_str),
    ]


ERRORS = [(name, *error) for name in FUNCTIONS for error in binding_errors(name)]


@pytest.mark.parametrize("name, kind, call, message", ERRORS, ids=[f"{n}-{k}" for n, k, *_ in ERRORS])
def test_binding_error_misreported_touches_argument_or_entry_wrong(module, name, kind, call, message):
    tripwire = Tripwire()
    with pytest.raises(TypeError) as info:
        call(getattr(module, name), tripwire)
    assert str(info.value) == message
    assert tripwire.touched == []
    entries = tb_entries(info.value)
    assert entries[-1] == (entry(name), SOURCE_UNIT, DEF_LINE[name])
    assert [e for e in entries if e[1] == SOURCE_UNIT] == entries[-1:]
    tb = info.value.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    assert tb.tb_frame.f_globals is module.__dict__

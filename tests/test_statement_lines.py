"""Where the module says a fault happened. tests/reference.py is laid out on
the module's lines, so for the same fault both must raise the same exception
with the same message, and name the same functions at the same lines; every
statement a fault can reach is met by one of the faults below, and every line
the module's sources name is a statement of the reference."""

import ast
import re
import sys
import traceback
import types
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import pytest

import reference as ref
import routes.context_compress as cc
from context_compress.texts import BODY_BOUND
from shared import WINDOW_5000, BoolRaises, EqRaises, GetRaises, LenRaises, NumberedStr, PartsIterRaises, StrRaises, T, msg
from surface import DEF_LINE, GENEXPR_LINE, LAST_LINE, MODULE_NAME, SOURCE_UNIT

REFERENCE = Path(ref.__file__).resolve()
SOURCES = Path(__file__).resolve().parent.parent / "src" / "routes"


class Fault(BaseException):
    """Gets past the blocks that absorb every Exception."""


def raising(*names, exc=ValueError, base=object):
    """A new class whose methods `names` raise a new `exc` at every call."""
    def fail(self, *args, **kwargs):
        raise exc(f"{names[0]} refused")
    return type("Raising", (base,), {name: fail for name in names})


class NthBool(NumberedStr):
    """A text whose truth test raises on its `n`-th call."""

    def __bool__(self):
        self.n -= 1
        if self.n == 0:
            raise ValueError("no truth")
        return True


class NthGet(dict):
    """A record whose get() of `key` raises on its `nth` call, so that a
    fault reaches a statement that reads the key again."""

    def __init__(self, key, nth, **fields):
        super().__init__(**fields)
        self.key, self.nth = key, nth

    def get(self, key, *default):
        if key == self.key:
            self.nth -= 1
            if self.nth == 0:
                raise LookupError(f"get({key!r}) refused")
        return super().get(key, *default)


class NthCompare(str):
    """A stamp whose `op` comparison raises on its `nth` call."""

    def __new__(cls, text, op, nth):
        self = super().__new__(cls, text)
        self.op, self.nth = op, nth
        return self

    def _compare(self, other, op):
        if op == self.op:
            self.nth -= 1
            if self.nth == 0:
                raise ValueError(f"{op} refused")
        return getattr(str, op)(self, other)

    def __lt__(self, other):
        return self._compare(other, "__lt__")

    def __le__(self, other):
        return self._compare(other, "__le__")

    def __ge__(self, other):
        return self._compare(other, "__ge__")

    __hash__ = str.__hash__


class StoreRaises(dict):
    def __init__(self, bad_key, **fields):
        super().__init__(**fields)
        self.bad_key = bad_key

    def __setitem__(self, key, value):
        if key == self.bad_key:
            raise OSError(f"cannot store {key}")
        super().__setitem__(key, value)


class Undecided:
    """An answer to + and to / whose comparisons raise."""

    def __radd__(self, other):
        return self

    def __truediv__(self, other):
        return self

    def __ge__(self, other):
        raise ValueError("undecided")

    __le__ = __ge__


def history(n=6, make=None, **conv):
    """Six messages of 1,000 tokens: over a 5,000-token window, the last two
    kept and four compressed. `make(i, message)` may replace message i."""
    messages = [msg(T(i), 1000) for i in range(n)]
    if make:
        messages = [make(i, m) for i, m in enumerate(messages)]
    return {"cut_time": T(0), **conv, "messages": messages}


def nth_get(index, key, nth):
    return lambda i, m: NthGet(key, nth, **m) if i == index else m


def stamp_compare(index, op, nth):
    return lambda i, m: {**m, "timestamp": NthCompare(m["timestamp"], op, nth)} if i == index else m


def chat_module(**attrs):
    module = types.ModuleType("routes.chat")
    module.__dict__.update(attrs)
    return module


def answering(resp):
    return chat_module(_call_llm_api=lambda *args, **kwargs: resp)


def fault(exc=Fault):
    def raise_it(*args, **kwargs):
        raise exc()
    return raise_it


def first_then(first, then):
    """A collaborator that answers `first`, then `then` (a value, or raises it)."""
    calls = []

    def collaborator(*args):
        calls.append(args)
        if len(calls) == 1:
            return first
        if isinstance(then, BaseException):
            raise then
        return then
    return collaborator


class LaterNextRaises:
    def __init__(self):
        self.left = 2

    def __iter__(self):
        return self

    def __next__(self):
        if self.left:
            self.left -= 1
            return "\u4e00"
        raise KeyError("third")


class PartsLaterNextRaises(list):
    def __iter__(self):
        yield "fine"
        raise ValueError("no second part")


class UndecidedElement:
    """Compares with anything, to a result whose truth test raises."""

    def __ge__(self, other):
        return raising("__bool__")()

    __le__ = __ge__


NEVER = raising("__iter__")
NEXT_RAISES = type("NextRaises", (), {"__iter__": lambda self: self,
                                      "__next__": lambda self: (_ for _ in ()).throw(ValueError("no element"))})
STR_ITER_RAISES = raising("__iter__", base=str)
PARTS_NEXT_RAISES = type("PartsNextRaises", (list,), {"__iter__": lambda self: NEXT_RAISES()})
CLASS_RAISES = type("ClassRaises", (), {"__class__": property(lambda self: (_ for _ in ()).throw(ValueError("no class")))})
STR_NON_STR = type("StrNonStr", (), {"__str__": lambda self: 5})
RADD_NON_STR = type("RaddNonStr", (str,), {"__radd__": lambda self, other: 7})
SLICE_RAISES = raising("__getitem__", base=str)
SLICES_RAISE = type("SlicesRaise", (list,), {
    "__getitem__": lambda self, i: (_ for _ in ()).throw(KeyError(i)) if isinstance(i, slice) else list.__getitem__(self, i)})
GETITEM_RAISES = raising("__getitem__", base=dict)
CHOICES = type("Choices", (), {"__getitem__": lambda self, i: (_ for _ in ()).throw(Fault())})
STRIP_RAISES = type("Content", (), {"strip": lambda self: (_ for _ in ()).throw(Fault())})
KEYS_RAISE = type("Config", (), {"keys": lambda self: (_ for _ in ()).throw(Fault())})
LE_RAISES = type("Stamp", (str,), {"__le__": lambda self, o: (_ for _ in ()).throw(ValueError("no order")),
                                   "__hash__": str.__hash__})
LT_RAISES = type("Stamp", (str,), {"__lt__": lambda self, o: (_ for _ in ()).throw(ValueError("no order")),
                                   "__hash__": str.__hash__})
USER = {"role": "user", "content": "x"}


def user(content):
    return {"role": "user", "content": content}


def numbered(count):
    return [user(f"m{i}") for i in range(1, count + 1)]

# id: (function, arguments made afresh for each side, names rebound on both
# sides: name -> value, or a function of the side giving the value).
FAULTS = {
    # _parse_ts, add_seconds_rfc3339
    "parse-truth": ("_parse_ts", lambda: (BoolRaises(),), {}),
    "parse-replace-escapes": ("_parse_ts", lambda: (raising("replace", exc=Fault)(),), {}),
    "parse-replace-interrupted": ("_parse_ts", lambda: (raising("replace", exc=KeyboardInterrupt)(),), {}),
    "shift-parse-escapes": ("add_seconds_rfc3339", lambda: (raising("replace", exc=Fault)(), 1), {}),
    "shift-parse": ("add_seconds_rfc3339", lambda: (BoolRaises(), 1), {}),
    "shift-seconds": ("add_seconds_rfc3339", lambda: ("2024-05-01T12:00:00Z", "1"), {}),
    "shift-overflow": ("add_seconds_rfc3339", lambda: ("9999-12-31T23:59:59Z", 1), {}),
    "shift-render": ("add_seconds_rfc3339", lambda: ("2024-05-01T12:00:00Z", 1), {"timezone": object()}),
    "shift-render-range": ("add_seconds_rfc3339", lambda: ("0001-01-01T00:00:00+00:01", 0), {}),
    **{f"shift-seconds-{secs!r}": ("add_seconds_rfc3339", lambda secs=secs: ("2024-05-01T12:00:00Z", secs), {})
       for secs in (None, Decimal("1"), Fraction(1, 2), 1j, float("nan"), float("inf"), 10 ** 20)},
    "shift-underflow": ("add_seconds_rfc3339", lambda: ("0001-01-01T00:00:00Z", -1), {}),
    "shift-local-year-zero": ("add_seconds_rfc3339", lambda: ("0001-01-01", 0), {}, "CST-8"),
    "shift-local-last-hour": ("add_seconds_rfc3339", lambda: ("9999-12-31T23:00:00", 0), {}, "EST5EDT,M3.2.0,M11.1.0"),
    # get_conv_cut_time, msgs_from_cut_time
    "cut-no-get": ("get_conv_cut_time", lambda: (5,), {}),
    "cut-created": ("get_conv_cut_time", lambda: (GetRaises("created_at"),), {}),
    "cut-messages": ("get_conv_cut_time", lambda: ({"messages": 5},), {}),
    "cut-message-get": ("get_conv_cut_time", lambda: ({"messages": [5]},), {}),
    "cut-message-item": ("get_conv_cut_time", lambda: ({"messages": [GETITEM_RAISES(timestamp="x")]},), {}),
    "cut-now": ("get_conv_cut_time", lambda: ({},), {"datetime": object()}),
    "window-no-get": ("msgs_from_cut_time", lambda: (5,), {}),
    "window-all": ("msgs_from_cut_time", lambda: ({"messages": 5},), {}),
    "window-messages": ("msgs_from_cut_time", lambda: ({"cut_time": "a", "messages": 5},), {}),
    "window-message-get": ("msgs_from_cut_time", lambda: ({"cut_time": "a", "messages": [5]},), {}),
    "window-compare": ("msgs_from_cut_time", lambda: ({"cut_time": "a", "messages": [{"timestamp": 5}]},), {}),
    **{f"{fn}-{i}": (fn, lambda conv=conv: (conv,), {}) for fn, convs in [
        ("get_conv_cut_time", [None, ["cut_time"], {"messages": [{}, object()]}, {"messages": None},
                               {"created_at": "", "messages": 3}]),
        ("msgs_from_cut_time", [None, "text", {"cut_time": "a", "messages": [{"timestamp": "b"}, object()]},
                                {"cut_time": "a", "messages": None}, {"messages": None},
                                {"cut_time": "a", "messages": [{"timestamp": "b"}, {"timestamp": 5}]}]),
    ] for i, conv in enumerate(convs)},
    "cut-host-get": ("get_conv_cut_time", lambda: (GetRaises("cut_time"),), {}),
    "window-host-get": ("msgs_from_cut_time", lambda: (GetRaises("cut_time"),), {}),
    "shift-missing-timezone": ("add_seconds_rfc3339", lambda: ("2024-05-01T12:00:00Z", 1), {"timezone": None}),
    "shift-missing-parse": ("add_seconds_rfc3339", lambda: ("2024-05-01T12:00:00Z", 1), {"_parse_ts": None}),
    "cut-missing-timezone": ("get_conv_cut_time", lambda: ({},), {"timezone": None}),
    "cut-missing-datetime": ("get_conv_cut_time", lambda: ({"messages": [{}]},), {"datetime": None}),
    # estimate_tokens_text
    "text-truth": ("estimate_tokens_text", lambda: (BoolRaises(),), {}),
    "text-iterator": ("estimate_tokens_text", lambda: (NEVER(),), {}),
    "text-not-iterable": ("estimate_tokens_text", lambda: (5,), {}),
    "text-element": ("estimate_tokens_text", lambda: (NEXT_RAISES(),), {}),
    "text-compare": ("estimate_tokens_text", lambda: (["a", None],), {}),
    "text-length": ("estimate_tokens_text", lambda: (LenRaises("abc"),), {}),
    "text-no-length": ("estimate_tokens_text", lambda: (iter("abc"),), {}),
    "text-float": ("estimate_tokens_text", lambda: (2.5,), {}),
    "text-str-iterator": ("estimate_tokens_text", lambda: (STR_ITER_RAISES("abc"),), {}),
    "text-later-element": ("estimate_tokens_text", lambda: (LaterNextRaises(),), {}),
    "text-numbers": ("estimate_tokens_text", lambda: ([1, 2],), {}),
    "text-bytes": ("estimate_tokens_text", lambda: (b"abcd",), {}),
    "text-undecided": ("estimate_tokens_text", lambda: ([UndecidedElement()],), {}),
    "text-generator": ("estimate_tokens_text", lambda: ((c for c in "ab"),), {}),
    # estimate_tokens
    "msgs-not-iterable": ("estimate_tokens", lambda: (5,), {}),
    "msgs-none": ("estimate_tokens", lambda: (None,), {}),
    "msgs-none-message": ("estimate_tokens", lambda: ([None],), {}),
    "msgs-content-get": ("estimate_tokens", lambda: ([GetRaises("content")],), {}),
    "msgs-tool-result-get": ("estimate_tokens", lambda: ([GetRaises("tool_result", role="tool")],), {}),
    "msgs-part-type-equality": ("estimate_tokens", lambda: ([{"content": [{"type": EqRaises()}]}],), {}),
    "msgs-part-text-get": ("estimate_tokens", lambda: ([{"content": [GetRaises("text", type="text")]}],), {}),
    "msgs-part-text-list": ("estimate_tokens", lambda: ([{"content": [{"type": "text", "text": [1]}]}],), {}),
    "msgs-part-text-no-length": ("estimate_tokens", lambda: ([{"content": [{"type": "text", "text": iter("ab")}]}],), {}),
    "msgs-text-iterator": ("estimate_tokens", lambda: ([{"content": STR_ITER_RAISES("abc")}],), {}),
    **{f"msgs-missing-estimator-{i}": ("estimate_tokens", lambda msgs=msgs: (msgs,), {"estimate_tokens_text": None})
       for i, msgs in enumerate([[{"content": "abcd"}], [{}], [{"content": [{"type": "text", "text": "abcd"}]}]])},
    "msgs-no-get": ("estimate_tokens", lambda: ([{"content": "ok"}, "not a record"],), {}),
    "msgs-content": ("estimate_tokens", lambda: ([{"content": BoolRaises()}],), {}),
    "msgs-role": ("estimate_tokens", lambda: ([GetRaises("role", content="x")],), {}),
    "msgs-role-equality": ("estimate_tokens", lambda: ([{"role": EqRaises()}],), {}),
    "msgs-tool-result": ("estimate_tokens", lambda: ([{"role": "tool", "tool_result": BoolRaises()}],), {}),
    "msgs-list-check": ("estimate_tokens", lambda: ([{"content": CLASS_RAISES()}],), {}),
    "msgs-parts": ("estimate_tokens", lambda: ([{"content": PartsIterRaises(["x"])}],), {}),
    "msgs-part-check": ("estimate_tokens", lambda: ([{"content": [CLASS_RAISES()]}],), {}),
    "msgs-part-type": ("estimate_tokens", lambda: ([{"content": [GetRaises("type")]}],), {}),
    "msgs-part-text": ("estimate_tokens", lambda: ([{"content": [{"type": "text", "text": 5}]}],), {}),
    "msgs-str-part": ("estimate_tokens", lambda: ([{"content": [LenRaises("abc")]}],), {}),
    "msgs-text": ("estimate_tokens", lambda: ([{"content": "abcd"}],), {"estimate_tokens_text": fault(ValueError)}),
    "msgs-overhead": ("estimate_tokens", lambda: ([{"content": "abcd"}],),
                      {"estimate_tokens_text": lambda text: Undecided()}),
    "msgs-missing-estimator": ("estimate_tokens", lambda: ([{"content": ["abcd"]}],),
                               {"estimate_tokens_text": None}),
    # _msgs_to_text
    "transcript-not-iterable": ("_msgs_to_text", lambda: (None,), {}),
    "transcript-number": ("_msgs_to_text", lambda: (5,), {}),
    "transcript-number-message": ("_msgs_to_text", lambda: ([5],), {}),
    "transcript-role-get": ("_msgs_to_text", lambda: ([GetRaises("role")],), {}),
    "transcript-content-truth": ("_msgs_to_text", lambda: ([user(BoolRaises())],), {}),
    "transcript-tool-result-truth": ("_msgs_to_text", lambda: ([{"role": "tool", "tool_result": BoolRaises()}],), {}),
    "transcript-parts-next": ("_msgs_to_text", lambda: ([user(PARTS_NEXT_RAISES(["x"]))],), {}),
    "transcript-parts-later": ("_msgs_to_text", lambda: ([user(PartsLaterNextRaises(["x"]))],), {}),
    "transcript-part-raises": ("_msgs_to_text", lambda: ([user([StrRaises()])],), {}),
    "transcript-part-get": ("_msgs_to_text", lambda: ([user([GetRaises("text")])],), {}),
    "transcript-str-non-str": ("_msgs_to_text", lambda: ([user(STR_NON_STR())],), {}),
    "transcript-label-non-str": ("_msgs_to_text", lambda: ([{"role": STR_NON_STR(), "content": "x"}],), {}),
    "transcript-join-two": ("_msgs_to_text", lambda: ([user(RADD_NON_STR("b")), user(RADD_NON_STR("c"))],), {}),
    # The join comes last: the second message's fault is met first.
    "transcript-join-last": ("_msgs_to_text", lambda: ([user(RADD_NON_STR("b")), user(StrRaises())],), {}),
    "transcript-no-get": ("_msgs_to_text", lambda: ([USER, None],), {}),
    "transcript-content": ("_msgs_to_text", lambda: ([GetRaises("content")],), {}),
    "transcript-role-equality": ("_msgs_to_text", lambda: ([{"role": EqRaises(), "content": "x"}],), {}),
    "transcript-tool-result": ("_msgs_to_text", lambda: ([GetRaises("tool_result", role="tool")],), {}),
    "transcript-list-check": ("_msgs_to_text", lambda: ([{"content": CLASS_RAISES()}],), {}),
    "transcript-parts": ("_msgs_to_text", lambda: ([{"content": PartsIterRaises(["x"])}],), {}),
    "transcript-part-text": ("_msgs_to_text", lambda: ([{"content": [{"text": StrRaises()}]}],), {}),
    "transcript-part-str": ("_msgs_to_text", lambda: ([{"content": ["ok", STR_NON_STR()]}],), {}),
    "transcript-str": ("_msgs_to_text", lambda: ([{"content": StrRaises()}],), {}),
    "transcript-empty": ("_msgs_to_text", lambda: ([{"content": NthBool("x", 2)}],), {}),
    "transcript-length": ("_msgs_to_text", lambda: ([{"content": LenRaises("x")}],), {}),
    "transcript-body-cut": ("_msgs_to_text", lambda: ([{"content": SLICE_RAISES("x" * (BODY_BOUND + 1))}],), {}),
    "transcript-label": ("_msgs_to_text", lambda: ([{"role": StrRaises(), "content": "x"}],), {}),
    "transcript-join": ("_msgs_to_text", lambda: ([USER, {"content": RADD_NON_STR("b")}],), {}),
    # simple_extract
    "extract-truth": ("simple_extract", lambda: (BoolRaises(),), {}),
    "extract-length": ("simple_extract", lambda: ((m for m in [USER]),), {}),
    "extract-iterator": ("simple_extract", lambda: (iter(numbered(9)),), {}),
    "extract-number": ("simple_extract", lambda: (5,), {}),
    "extract-dict": ("simple_extract", lambda: ({i: USER for i in range(9)},), {}),   # slices are keys to it
    "extract-set": ("simple_extract", lambda: (set(range(9)),), {}),
    "extract-missing-transcript": ("simple_extract", lambda: (numbered(2),), {"_msgs_to_text": None}),
    "extract-missing-transcript-selection": ("simple_extract", lambda: (numbered(9),), {"_msgs_to_text": None}),
    "extract-small": ("simple_extract", lambda: ([5],), {}),
    "extract-slices": ("simple_extract", lambda: (SLICES_RAISE([USER] * 9),), {}),
    "extract-selection": ("simple_extract", lambda: ([5] * 9,), {}),
    # cut_and_sum_history
    "compress-guard": ("cut_and_sum_history", lambda: (BoolRaises(),), {}),
    "compress-guard-get": ("cut_and_sum_history", lambda: (GetRaises("messages", id=1),), {}),
    "compress-window-type": ("cut_and_sum_history", lambda: (history(), CLASS_RAISES()), {}),
    "compress-window-read": ("cut_and_sum_history", lambda: (history(), raising("get", exc=Fault, base=dict)()), {}),
    "compress-cut": ("cut_and_sum_history", lambda: (NthGet("cut_time", 1, **history()), WINDOW_5000), {}),
    "compress-active": ("cut_and_sum_history", lambda: ({"cut_time": T(0), "messages": [5]}, WINDOW_5000), {}),
    "compress-total": ("cut_and_sum_history",
                       lambda: (history(make=nth_get(0, "content", 1)), WINDOW_5000), {}),
    "compress-rate": ("cut_and_sum_history", lambda: (history(), WINDOW_5000), {"estimate_tokens": lambda m: "x"}),
    "compress-threshold": ("cut_and_sum_history", lambda: (history(), WINDOW_5000),
                           {"estimate_tokens": lambda m: Undecided()}),
    "compress-walk-estimate": ("cut_and_sum_history", lambda: (history(), WINDOW_5000),
                               {"estimate_tokens": lambda side: first_then(10 ** 9, ValueError("no estimate"))}),
    "compress-walk-compare": ("cut_and_sum_history", lambda: (history(), WINDOW_5000),
                              {"estimate_tokens": lambda side: first_then(10 ** 9, Undecided())}),
    "compress-new-cut": ("cut_and_sum_history", lambda: (history(make=nth_get(4, "timestamp", 2)), WINDOW_5000), {}),
    "compress-span": ("cut_and_sum_history", lambda: (history(make=nth_get(0, "timestamp", 2)), WINDOW_5000), {}),
    "compress-import": ("cut_and_sum_history", lambda: (history(), WINDOW_5000),
                        {"routes.chat": chat_module(__getattr__=fault())}),
    "compress-transcript": ("cut_and_sum_history", lambda: (history(), WINDOW_5000),
                            {"routes.chat": answering(None), "_msgs_to_text": fault()}),
    "compress-config": ("cut_and_sum_history", lambda: (history(), KEYS_RAISE()),
                        {"routes.chat": answering(None), "estimate_tokens": lambda side: first_then(10 ** 9, 10 ** 9)}),
    "compress-call": ("cut_and_sum_history", lambda: (history(), WINDOW_5000),
                      {"routes.chat": chat_module(_call_llm_api=fault())}),
    "compress-choices": ("cut_and_sum_history", lambda: (history(), WINDOW_5000),
                         {"routes.chat": answering(raising("get", exc=Fault)())}),
    "compress-first-choice": ("cut_and_sum_history", lambda: (history(), WINDOW_5000),
                              {"routes.chat": answering({"choices": CHOICES()})}),
    "compress-strip": ("cut_and_sum_history", lambda: (history(), WINDOW_5000),
                       {"routes.chat": answering({"choices": [{"message": {"content": STRIP_RAISES()}}]})}),
    "compress-fallback": ("cut_and_sum_history", lambda: (history(), WINDOW_5000),
                          {"routes.chat": None, "simple_extract": fault(ValueError)}),
    "compress-summary-stamp": ("cut_and_sum_history", lambda: (history(), WINDOW_5000),
                               {"routes.chat": None, "add_seconds_rfc3339": fault(ValueError)}),
    "compress-stamp-order": ("cut_and_sum_history", lambda: (history(), WINDOW_5000),
                             {"routes.chat": None, "add_seconds_rfc3339": lambda ts, secs: LT_RAISES(ts)}),
    "compress-summary-message": ("cut_and_sum_history", lambda: (history(), WINDOW_5000),
                                 {"routes.chat": None, "simple_extract": lambda msgs: 5}),
    "compress-rewrite": ("cut_and_sum_history", lambda: (NthGet("messages", 4, **history()), WINDOW_5000),
                         {"routes.chat": None}),
    "compress-rewrite-stamp": ("cut_and_sum_history", lambda: (history(make=nth_get(5, "timestamp", 3)), WINDOW_5000),
                               {"routes.chat": None}),
    "compress-rewrite-skip": ("cut_and_sum_history",
                              lambda: (history(make=stamp_compare(5, "__lt__", 2)), WINDOW_5000), {"routes.chat": None}),
    "compress-rewrite-place": ("cut_and_sum_history", lambda: (history(), WINDOW_5000),
                               {"routes.chat": None, "add_seconds_rfc3339": lambda ts, secs: LE_RAISES(ts + "~")}),
    "compress-store-messages": ("cut_and_sum_history", lambda: (StoreRaises("messages", **history()), WINDOW_5000),
                                {"routes.chat": None}),
    "compress-store-cut": ("cut_and_sum_history", lambda: (StoreRaises("cut_time", **history()), WINDOW_5000),
                           {"routes.chat": None}),
}

# Statements no fault of a caller or of a rebound name can reach: appends to
# and reversals of the function's own lists, arithmetic on its own ints, the
# building of its own results.
UNREACHABLE = {56, 81, 82, 84, 101, 110, 139, 144, 150, 152, 155, 160, 164, 168, 175, 180, 206, 208, 212}


def entries(exc, source):
    """(function, line) of the traceback entries one source added, outermost
    first. The module's entry for the creation of a generator has no frame
    in Python, where the generator's first iterable is taken in its caller."""
    found = []
    for frame in traceback.extract_tb(exc.__traceback__):
        if source == "module" and frame.filename == SOURCE_UNIT:
            name = frame.name.removeprefix(MODULE_NAME + ".")
            if not name.endswith(".genexpr"):
                found.append(("<genexpr>" if name == "genexpr" else name, frame.lineno))
        elif source == "reference" and Path(frame.filename).resolve() == REFERENCE:
            found.append((frame.name, frame.lineno))
    return found


def raise_on(side, monkeypatch, function, make, rebind):
    """The exception `function` of one side (the module or the reference)
    raises for the fault, with every rebinding in force for it alone."""
    with monkeypatch.context() as patch:
        for name, value in rebind.items():
            if name == "routes.chat":
                patch.setitem(sys.modules, name, value)
                continue
            value = value(side) if callable(value) and value.__code__.co_varnames[:1] == ("side",) else value
            if value is None:
                patch.delitem(vars(side), name)
            else:
                patch.setitem(vars(side), name, value)
        with pytest.raises(BaseException) as info:
            getattr(side, function)(*make())
    return info.value


def lines_met(monkeypatch, case):
    function, make, rebind = FAULTS[case][:3]
    module_exc = raise_on(cc, monkeypatch, function, make, rebind)
    reference_exc = raise_on(ref, monkeypatch, function, make, rebind)
    return module_exc, reference_exc


@pytest.mark.parametrize("case", list(FAULTS))
def test_fault_lands_on_the_statement_the_reference_names(monkeypatch, local_zone, case):
    local_zone(FAULTS[case][3] if len(FAULTS[case]) > 3 else "UTC0")
    module_exc, reference_exc = lines_met(monkeypatch, case)
    assert (type(module_exc), str(module_exc)) == (type(reference_exc), str(reference_exc))
    assert entries(module_exc, "module") == entries(reference_exc, "reference")


def test_every_reachable_statement_is_met_by_a_fault(monkeypatch, local_zone):
    local_zone("UTC0")
    met = set()
    for case in FAULTS:
        local_zone(FAULTS[case][3] if len(FAULTS[case]) > 3 else "UTC0")
        _, reference_exc = lines_met(monkeypatch, case)
        met.update(line for name, line in entries(reference_exc, "reference") if name != "<genexpr>")
    named = set(source_lines()) - set(DEF_LINE.values()) - {1, 8, 9, 10}
    assert named - UNREACHABLE - met == set(), "lines the module names that no fault reaches"
    assert met & UNREACHABLE == set(), "a fault reaches a line listed as unreachable"


def source_lines():
    """Every line the module's sources name: the statement lines of
    lines.hpp and the def lines of the function table."""
    lines = list(map(int, re.findall(r"\bk\w+ = (\d+)", (SOURCES / "lines.hpp").read_text())))
    return lines + list(map(int, re.findall(r"\.def_line = (\d+)", (SOURCES / "namespace.cpp").read_text())))


def reference_statements():
    """Function by line for every line of the reference where a statement
    starts, and the reference's def and import lines."""
    tree = ast.parse(REFERENCE.read_text())
    statements, defs, imports = {}, {}, {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            defs[node.name] = node.lineno
            for inner in ast.walk(node):
                if isinstance(inner, ast.stmt) and inner is not node:
                    statements[inner.lineno] = node.name
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            imports[node.lineno] = ast.unparse(node)
    return statements, defs, imports


@pytest.mark.skipif(not SOURCES.is_dir(), reason="the module's sources are not beside the tests")
def test_lines_the_sources_name_are_statements_of_the_reference():
    statements, defs, imports = reference_statements()
    assert defs == DEF_LINE
    assert {imports.get(n) for n in (8, 9, 10)} == {"import json", "import time",
                                                    "from datetime import datetime, timezone"}
    assert max(statements) <= LAST_LINE
    for name, line in GENEXPR_LINE.items():
        assert statements.get(line) == name and "for" in REFERENCE.read_text().splitlines()[line - 1]
    body = {line: name for name, (first, last) in _ranges(defs).items() for line in range(first, last)}
    for line in source_lines():
        if line in (1, 8, 9, 10) or line in defs.values():
            continue
        assert line in statements, f"line {line} is no statement of the reference"
        assert body[line] == statements[line]


def _ranges(defs):
    ordered = sorted(defs.items(), key=lambda item: item[1])
    ends = [line for _, line in ordered[1:]] + [LAST_LINE + 1]
    return {name: (line + 1, end) for (name, line), end in zip(ordered, ends)}

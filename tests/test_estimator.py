"""estimate_tokens_text and estimate_tokens: character-class weights, the
Python-level measuring of non-str and str-subclass inputs, message reading
and names looked up at call time. Every expected figure is the reference's
too; errors and their traceback entries are test_statement_lines'."""

import contextlib
import ctypes

import pytest
from hypothesis import given
from hypothesis import strategies as st

import reference as ref
import strategies
from shared import (IMAGE, MUTATIONS, OTHER_ITERABLES, Facade, GetOnly, Mutating, PlainDict, PlainStr, StatedLen,
                    as_reference, list_actions, outcome, read_logged)


class IdeographIter(str):
    """Iterates as ideographs, whatever it stores."""

    def __iter__(self):
        return iter("\u4e00" * str.__len__(self))


class FalseStr(str):
    def __bool__(self):
        return False


class WordIter(str):
    """Iterates over its words instead of its characters."""

    def __iter__(self):
        return iter(self.split())


class Measured:
    """An iterable with a length of its own, always truthy."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __bool__(self):
        return True

    def __iter__(self):
        return iter(self.items)

    def __len__(self):
        return self.length


# --- estimate_tokens_text ----------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("", 0), (None, 0), ("abc", 0), ("abcd", 1), ("\u4e00\u4e8c", 3),  # 0.75 truncated to 0
    ("\u4e00\u4e8cabc", 3),          # 3.75 truncated once for the whole text
    ("\u4e00\u4e8c\u4e09\u56db\uff0c", 6),
    ("\u4e00", 1), ("\u9fff", 1), ("\u3400", 1), ("\u4dbf", 1),       # range bounds
    ("\u33ff", 0), ("\u4dc0", 0), ("\ua000", 0), ("\u4dff", 0),       # neighbours
    ("\u3041\u3042\u3043\u3044", 1), ("\uac00\uac01\uac02\uac03", 1),  # kana, hangul
    ("\U0001f600" * 4, 1),           # astral: one code point each
    ("\U00014e00" * 4, 1),           # astral whose low 16 bits are an ideograph
    ("\U00024e00\U00013400\U00019fff\U00020000", 1),
    ("\u00e9\u00e9\u00e9\u00e9", 1),  # Latin-1 storage
    ("\ud800\udfff\ud800\udfff", 1),  # lone surrogates
    ("\u4e00\U0001f600\u4e00\U0001f600", 3),  # ideographs in 4-byte storage
    ("\u4e00" * 3 + "\x00", 4),
    # str subclasses and other iterables: measured by their own truth, len() and iteration.
    (PlainStr("\u4e00\u4e8cab"), 3), (PlainStr(""), 0),
    (IdeographIter("abcd"), 6),             # 4 ideographs by iteration, len 4
    (StatedLen("\u4e00", 1000), 251),       # 1.5 + 999 * 0.25
    (StatedLen("", 1000), 250),             # a length of 1000 makes it truthy
    (StatedLen("\u4e00\u4e8c\u4e09\u56db", 0), 0),  # len 0 makes it falsy
    (FalseStr("\u4e00\u4e8c"), 0),
    (WordIter("\u4e00\u4e8c abc \u9fff\u9fff"), 3),  # one word in range by string order, len 9
    (["\u4e00", "abc", "\u4e00\u4e8c", "\u9fff", "\u4dbfx"], 5),  # 3 in range by string order
    (("\u4e00",) * 4, 6), ({"\u4e00": 1, "a": 2}, 1), (["\u3400z", "\u4dbf", "\u4dbf\x00"], 3),
    ([PlainStr("\u4e00")] * 2, 3),
    (Measured(["\u4e00"] * 4, 0), 5),   # len below the ideograph count
    (Measured(["a"], 40), 10), (Measured([], 8), 2),
])
def test_estimate_text_wrong_class_weight_rounding_or_measure(module, text, expected):
    result = module.estimate_tokens_text(text)
    assert type(result) is int
    assert result == ref.estimate_tokens_text(text) == expected


@pytest.mark.parametrize("ideographs, others, other_char", [
    (0xFFFF, 0, "a"),
    (0xFFFF + 1, 1, "a"),
    (0x1FFFE, 2, "\u00e9"),
    (70000, 70000, "b"),
    (70000, 3, "\U0001f600"),        # forces 4-byte storage
    (0, 0x20001, "\u3000"),
])
def test_estimate_text_long_text_miscounted(module, ideographs, others, other_char):
    text = "\u4e00" * ideographs + other_char * others
    assert module.estimate_tokens_text(text) == (6 * ideographs + others) // 4
    mixed = ("\u4e00" + other_char) * (ideographs // 2)
    assert module.estimate_tokens_text(mixed) == (6 * (ideographs // 2) + ideographs // 2) // 4


@strategies.PROPERTY
@given(st.one_of(strategies.texts, st.builds(PlainStr, strategies.texts),
                 st.lists(st.text(strategies.characters, min_size=1, max_size=3), max_size=30)))
def test_estimate_text_disagrees_with_reference(module, text):
    assert module.estimate_tokens_text(text) == ref.estimate_tokens_text(text)


class Recorded:
    """An element that records the comparisons made against it."""

    def __init__(self, log, answer):
        self.log, self.answer = log, answer

    def __ge__(self, other):
        self.log.append((">=", other))
        return self.answer(">=", other)

    def __le__(self, other):
        self.log.append(("<=", other))
        return self.answer("<=", other)


class RecordedStr(str):
    """A str element whose own reflected comparisons take precedence."""

    def __new__(cls, text, log):
        self = super().__new__(cls, text)
        self.log = log
        return self

    def __ge__(self, other):
        self.log.append((">=", str(self), other))
        return str.__ge__(self, other)

    def __le__(self, other):
        self.log.append(("<=", str(self), other))
        return str.__le__(self, other)


ANSWERS = [lambda op, other: True, lambda op, other: False, lambda op, other: op == "<=",
           lambda op, other: other == "\u3400" or other == "\u4dbf", lambda op, other: 1 if other == "\u4e00" else 0]


@pytest.mark.parametrize("elements", [
    *[lambda log, answer=answer: [Recorded(log, answer), "x"] for answer in ANSWERS],
    lambda log: [RecordedStr(text, log) for text in ("\u4e00", "\u3400", "a")],
])
def test_estimate_text_elements_not_compared_in_python_order(module, elements):
    runs = []
    for fn in (module.estimate_tokens_text, ref.estimate_tokens_text):
        log = []
        runs.append((fn(elements(log)), log))
    assert runs[0] == runs[1]
    assert runs[0][1]  # the elements' own methods ran


# --- estimate_tokens ------------------------------------------------------------

class PartList(list):
    pass


@pytest.mark.parametrize("msgs, expected", [
    ([], 0), ([{}], 3), ([{"content": None}], 3), ([{"content": {"text": "abcd"}}], 3),
    ([{"content": ("abcd",)}], 3), ([{"content": 12345}], 3),
    ([{"role": "user", "content": "abcd"}], 4),
    ([{"role": "user", "content": "abcd"}, {"role": "assistant", "content": "\u4e00\u4e8c"}], 10),
    ([{"role": "tool", "content": "ab", "tool_result": "\u4e00\u4e8c"}], 6),
    ([{"role": "tool", "content": "abcdefgh", "tool_result": ""}], 5),
    ([{"role": "tool", "content": "abcdefgh", "tool_result": None}], 5),
    ([{"role": "tool", "content": "abcdefgh"}], 5),
    ([{"role": "tool"}], 3),
    ([{"role": "tool", "tool_result": [IMAGE, "abcd"]}], 1504),
    ([{"role": "tool", "tool_result": 99, "content": "abcd"}], 3),     # truthy, not measurable
    ([{"role": "user", "content": "ab", "tool_result": "\u4e00\u4e8c"}], 3),
    ([{"role": "assistant", "content": "abcd", "tool_result": "\u4e00" * 8}], 4),
    ([{"role": PlainStr("tool"), "content": "", "tool_result": "abcd"}], 4),
    ([{"content": [{"type": "text", "text": "abcd"}, IMAGE, "\u4e00"]}], 1505),
    ([{"content": [{"type": "text"}]}], 3),
    ([{"content": [{"type": "text", "text": None}]}], 3),
    ([{"content": [{"text": "abcd"}]}], 1503),                  # no type: not a text part
    ([{"content": [{"type": "TEXT", "text": "abcd"}]}], 1503),
    ([{"content": [{}]}], 1503),
    ([{"content": [None, 5, ["abcd"], ("abcd",), b"abcd"]}], 3),
    ([{"content": ["abcd", PlainStr("abcd"), "\u4e00\u4e8c"]}], 8),
    ([{"content": []}], 3),
    ([{"content": [IMAGE, IMAGE]}, {"content": [IMAGE]}], 4506),
    # Subclass contents are not treated as their base.
    ([{"content": PartList(["abcd", IMAGE])}], 1504),
    ([{"content": [PlainDict(type="text", text="abcd")]}], 4),
    ([{"content": [PlainDict(type="image")]}], 1503),
    ([{"content": PlainStr("abcdefgh")}], 5),
    ([{"content": StatedLen("x", 1000)}], 253),            # measured by its own len()
    ([{"content": IdeographIter("abcd")}], 9),
    # Records read through their own get(), never their storage.
    ([Facade({"content": "\u4e00" * 4}, content="abcd")], 9),
    ([Facade({}, content="abcdefgh", role="tool", tool_result="\u4e00" * 8)], 3),
    ([Facade({"role": "tool", "tool_result": "abcdefgh"}, content="\u4e00" * 8)], 5),
    ([GetOnly(content="abcdefgh")], 5),
    ([GetOnly(content=[Facade({"type": "text", "text": "abcd"}, type="image")])], 4),
    ([GetOnly(content=[Facade({}, type="text", text="abcd")])], 1503),
])
def test_estimate_tokens_misreads_message(module, msgs, expected):
    assert as_reference(module, "estimate_tokens", msgs) == expected


@pytest.mark.parametrize("wrap", OTHER_ITERABLES)
def test_estimate_tokens_other_iterables_not_walked(module, wrap):
    msgs = [{"content": "abcd"}, {"content": "\u4e00"}, {"role": "tool", "tool_result": [IMAGE]}]
    assert module.estimate_tokens(wrap(msgs)) == ref.estimate_tokens(msgs) == 4 + 4 + 1503


@strategies.PROPERTY
@given(strategies.message_lists)
def test_estimate_tokens_disagrees_with_reference(module, msgs):
    assert outcome(module.estimate_tokens, msgs) == outcome(ref.estimate_tokens, msgs)


def test_estimate_tokens_bypasses_record_get(module):
    native, expected = read_logged(module.estimate_tokens, ref.estimate_tokens)
    assert native == expected
    assert native[0] == 4 + 6 + (1 + 1500 + 0 + 1 + 3) + 3 + 3


# --- lists changed while they are walked ------------------------------------------

def changed_messages(where, kind):
    """Messages whose first get() (or that of a part) changes the list it sits in."""
    items = []
    if where == "messages":
        action = list_actions(items, lambda: {"content": "\u4e00" * 4})[kind]
        items[:] = [{"content": "abcd"}, Mutating(action, content="abcdefgh"), {"content": "\u4e00\u4e8c"},
                    {"content": [IMAGE]}]
        return items
    action = list_actions(items, lambda: "\u4e00" * 4)[kind]
    items[:] = ["abcd", Mutating(action, type="text", text="abcd"), IMAGE, "\u4e00\u4e8c"]
    return [{"content": items}]


@pytest.mark.parametrize("where, kind", [
    *[("messages", kind) for kind in MUTATIONS],
    *[("parts", kind) for kind in ["append", "clear", "remove_next", "remove_self"]],
])
def test_estimate_tokens_list_changed_by_get_walked_unlike_python(module, where, kind):
    assert module.estimate_tokens(changed_messages(where, kind)) == ref.estimate_tokens(changed_messages(where, kind))


# --- the estimator looked up at call time ----------------------------------------

@pytest.mark.parametrize("answer", [10, 2**70, 0.5, -7])
def test_estimate_tokens_bypasses_rebound_text_estimator(module, namespace, monkeypatch, answer):
    calls = []

    def host_estimate(text):
        calls.append(text)
        return answer

    msgs = [
        {"content": "abcd"},
        {"content": [{"type": "text", "text": "x"}, "y", IMAGE, {"type": "text"}, 5]},
        {"content": None},
        {"content": {"not": "measured"}},
        {"role": "tool", "tool_result": PlainStr("r")},
    ]
    namespace["estimate_tokens_text"] = host_estimate
    native = module.estimate_tokens(msgs)
    native_calls, calls[:] = list(calls), []
    monkeypatch.setattr(ref, "estimate_tokens_text", host_estimate)
    expected = ref.estimate_tokens(msgs)
    assert native == expected
    assert type(native) is type(expected)
    assert native_calls == calls == ["abcd", "x", "y", "", "", "r"]


class Rebinding(dict):
    """A message whose get() of "content" runs `action` first."""

    def __init__(self, action, **fields):
        super().__init__(**fields)
        self.action = action

    def get(self, key, *default):
        if key == "content":
            self.action()
        return super().get(key, *default)


def unwatch_every_dict_watcher(ns):
    """What any extension may do to a dict: stop every watcher's events."""
    unwatch = ctypes.pythonapi.PyDict_Unwatch
    unwatch.argtypes, unwatch.restype = [ctypes.c_int, ctypes.py_object], ctypes.c_int
    for watcher_id in range(8):
        with contextlib.suppress(ValueError):  # no watcher of that id
            unwatch(watcher_id, ns)


@pytest.mark.parametrize("where", ["namespace", "namespace-unwatched", "builtins"])
def test_estimate_tokens_sees_a_rebinding_made_during_the_walk(module, namespace, monkeypatch, where):
    # Plain messages around the rebinding take the fast path; every text must
    # still go to the binding in force when it is measured, even when other
    # code has taken away any watch on the namespace.
    native_fn = module.estimate_tokens_text
    if where == "namespace-unwatched":
        unwatch_every_dict_watcher(namespace)
        where = "namespace"
    target = namespace if where == "namespace" else __import__("builtins").__dict__
    if where == "builtins":
        del namespace["estimate_tokens_text"]
        monkeypatch.setitem(target, "estimate_tokens_text", native_fn)

    def rebind(fn):
        return lambda: target.__setitem__("estimate_tokens_text", fn)

    msgs = [
        {"content": "abcd"},                                     # native: 1
        Rebinding(rebind(lambda text: 100), content="abcd"),     # host: 100
        {"content": "abcdefgh"},                                 # host: 100
        Rebinding(rebind(native_fn), content=["abcdefgh"]),      # native: 2
        {"content": "abcd"},                                     # native: 1
    ]
    assert module.estimate_tokens(msgs) == 1 + 100 + 100 + 2 + 1 + 5 * 3


@pytest.mark.parametrize("msgs, expected", [
    ([], 0),
    ([{"content": {"k": "v"}}, {"content": 7}], 6),
    ([{"content": [IMAGE, None]}], 1503),
])
def test_estimate_tokens_looks_up_text_estimator_when_not_needed(module, namespace, msgs, expected):
    del namespace["estimate_tokens_text"]
    assert module.estimate_tokens(msgs) == expected


"""_msgs_to_text and simple_extract: labels, bodies, the 2000- and
8000-character bounds counted in code points, the head-and-tail selection,
message reading, errors and their traceback entries."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import reference as ref
import strategies
from context_compress.texts import (BODY_BOUND as BODY, BODY_MARKER, EXTRACT_HEAD, EXTRACT_TAIL,
                                        TRANSCRIPT_BOUND as TOTAL, TRANSCRIPT_MARKER as MARKER)
from shared import (IMAGE, MUTATIONS, OTHER_ITERABLES, Facade, GetOnly, Mutating, PlainStr, StatedLen, StrRaises,
                    as_reference, list_actions, outcome, read_logged)

# One character of each storage width, plus a lone surrogate.
WIDTHS = ["a", "\u00e9", "\u4e2d", "\U0001f600", "\ud800"]

LONGEST = TOTAL + len(MARKER)  # a transcript that was cut
CUT_LINE = len("[user] ") + BODY + len(BODY_MARKER)  # a user message's line with its body cut


def user(body, role="user"):
    return {"role": role, "content": body}


# --- lines and labels -----------------------------------------------------------

@pytest.mark.parametrize("msgs, expected", [
    ([], ""),
    ([user("hi")], "[user] hi"),
    ([{"content": "hi"}], "[?] hi"),
    ([{"role": None, "content": "hi"}], "[None] hi"),
    ([{"role": "", "content": "hi"}], "[] hi"),
    ([{"role": 5, "content": "hi"}], "[5] hi"),
    ([{"role": PlainStr("bot"), "content": "hi"}], "[bot] hi"),
    ([{"role": "\u52a9\u624b", "content": "\U0001f600"}], "[\u52a9\u624b] \U0001f600"),
    ([{"role": "tool", "tool_result": "out", "content": "in"}], "[tool_result] out"),
    ([{"role": "tool", "tool_result": "", "content": "in"}], "[tool_result] in"),
    ([{"role": "tool", "tool_result": None, "content": "in"}], "[tool_result] in"),
    ([{"role": "tool", "tool_result": [{"type": "text", "text": "x"}, IMAGE]}], "[tool_result] x "),
    ([{"role": "tool", "tool_result": 42}], "[tool_result] 42"),
    ([{"role": "tool"}], ""),
    ([{"role": PlainStr("tool"), "tool_result": "out"}], "[tool_result] out"),
    ([{"role": "assistant", "tool_result": "out", "content": "in"}], "[assistant] in"),
    ([{"role": "Tool", "tool_result": "out", "content": "in"}], "[Tool] in"),
    ([user("")], ""),
    ([user(None)], ""),
    ([user(0)], ""),
    ([user(False)], ""),
    ([user([])], ""),
    ([user({})], ""),
    ([user([IMAGE])], ""),
    ([user([{"type": "text", "text": "a"}, IMAGE, "b"])], "[user] a  b"),
    ([user([IMAGE, IMAGE])], "[user]  "),           # a body of one space
    ([user([{"type": "text", "text": None}])], "[user] None"),
    ([user([{"text": 5}, {"text": ""}, {"type": "text"}])], "[user] 5  "),
    ([user([3, None, ["x"], ("y",), 2.5])], "[user] 3 None ['x'] ('y',) 2.5"),
    ([user(["only"])], "[user] only"),
    ([user({"k": "v"})], "[user] {'k': 'v'}"),
    ([user(42)], "[user] 42"),
    ([user(("a",))], "[user] ('a',)"),
    ([user(True)], "[user] True"),
    ([user(PlainStr("sub"))], "[user] sub"),
    ([user("a"), user(""), user("b", "assistant")], "[user] a\n[assistant] b"),
    ([user("line\nbreak"), user("x")], "[user] line\nbreak\n[user] x"),
    ([user("\ud800"), {"role": "\udfff", "content": "\U0010ffff"}], "[user] \ud800\n[\udfff] \U0010ffff"),
    # An empty body leaves no line, so the label is never rendered.
    ([{"role": StrRaises(), "content": ""}, user("x")], "[user] x"),
    # Records read through their own get(), never their storage.
    ([Facade({"role": "asked", "content": "answered"}, role="stored", content="stored")], "[asked] answered"),
    ([Facade({}, role="stored", content="stored")], ""),
    ([Facade({"content": "x"}, role="stored")], "[?] x"),
    ([GetOnly(role="tool", tool_result="r")], "[tool_result] r"),
    ([GetOnly(content=[Facade({"text": "asked"}, text="stored")])], "[?] asked"),
])
def test_msgs_to_text_wrong_line_or_record_read(module, msgs, expected):
    assert as_reference(module, "_msgs_to_text", msgs) == expected


@pytest.mark.parametrize("wrap", OTHER_ITERABLES)
def test_msgs_to_text_other_iterables_not_walked(module, wrap):
    msgs = [user("a"), user([IMAGE, "b"]), {"role": "tool", "tool_result": "c"}]
    wrapped = wrap(msgs)
    expected = ref._msgs_to_text(wrap(msgs))
    assert module._msgs_to_text(wrapped) == expected


# --- the body bound ---------------------------------------------------------------

@pytest.mark.parametrize("char", WIDTHS)
@pytest.mark.parametrize("length", [BODY - 1, BODY, BODY + 1, BODY + 2, 2 * BODY, 100_000])
def test_msgs_to_text_body_cut_counts_bytes_or_wrong_length(module, char, length):
    body = ("x" + char) * (length // 2) + "x" * (length % 2)
    assert len(body) == length
    result = module._msgs_to_text([user(body)])
    if length <= BODY:
        assert result == "[user] " + body
    else:
        assert result == "[user] " + body[:BODY] + BODY_MARKER
        assert len(result) == CUT_LINE


@pytest.mark.parametrize("parts, cut", [
    (["a" * (BODY // 2), "b" * (BODY // 2 - 1)], False),   # the bound with the separator
    (["a" * (BODY // 2), "b" * (BODY // 2)], True),         # one more
    ([{"type": "text", "text": "\u4e2d" * (BODY - 1)}, IMAGE], False),
    ([{"type": "text", "text": "\u4e2d" * BODY}, IMAGE], True),
    (["\U0001f600"] * 1000 + ["x"] * 2, True),
    (["x"] * 20000, True),
    ([PlainStr("\ud800" * 2500)], True),
])
def test_msgs_to_text_joined_parts_not_cut_as_one_body(module, parts, cut):
    msgs = [user(parts)]
    result = module._msgs_to_text(msgs)
    assert result == ref._msgs_to_text(msgs)
    assert result.endswith(BODY_MARKER) == cut


# --- the transcript bound ---------------------------------------------------------

@pytest.mark.parametrize("char", WIDTHS)
@pytest.mark.parametrize("extra, expected_length", [(0, TOTAL), (1, LONGEST), (2, LONGEST)])
def test_msgs_to_text_transcript_cut_wrong_length_or_marker(module, char, extra, expected_length):
    # Three lines of "[u] " and a whole body, their newlines and a fourth
    # line: the joined text is exactly the bound + extra characters.
    fourth = TOTAL - 3 * (len("[u] ") + BODY + 1) - len("[u] ")
    msgs = [user(char * BODY, "u") for _ in range(3)] + [user(char * (fourth + extra), "u")]
    result = module._msgs_to_text(msgs)
    assert len(result) == expected_length
    joined = "\n".join("[u] " + m["content"] for m in msgs)
    assert len(joined) == TOTAL + extra
    if extra:
        assert result == joined[:TOTAL] + MARKER
    else:
        assert result == joined


@pytest.mark.parametrize("char", ["a", "\u4e2d", "\U0001f600"])
@pytest.mark.parametrize("first_body", range(1940, 1962))
def test_msgs_to_text_cut_moved_off_the_8000th_character(module, char, first_body):
    # The cut sweeps through a label, its "] ", a body marker and a newline.
    msgs = [
        user(char * first_body),
        user("b" * (BODY + 1)),
        user(char * (BODY + 1)),
        user("d" * (BODY + 1), "assistant"),
        user(char * (BODY + 1), "assistant"),
    ]
    result = module._msgs_to_text(msgs)
    assert result == ref._msgs_to_text(msgs)
    assert len(result) == LONGEST and result.endswith(MARKER)


@pytest.mark.parametrize("msgs", [
    [user("x" * 10_000_000)],
    [user("hi")] * 100_000,
    [user(["\u4e2d"] * 50_000)],
    [user("\U0001f600" * 3000)] * 3000,
    [{"role": "r" * 9000, "content": "x"}],
    [{"role": "r" * 7990, "content": "x" * 50}],
])
def test_msgs_to_text_huge_input_wrong(module, msgs):
    result = module._msgs_to_text(msgs)
    assert result == ref._msgs_to_text(msgs)
    assert len(result) <= LONGEST


@strategies.PROPERTY
@given(strategies.message_lists)
def test_msgs_to_text_disagrees_with_reference(module, msgs):
    assert outcome(module._msgs_to_text, msgs) == outcome(ref._msgs_to_text, msgs)


# --- str subclasses and odd str() results ---------------------------------------

class OwnSlice(str):
    def __getitem__(self, index):
        return PlainStr("<" + str.__getitem__(self, index)[:3] + ">")


class OwnRadd(str):
    def __radd__(self, other):
        return other + "(" + str(self) + ")"


class StrGivesSub:
    def __str__(self):
        return OwnRadd("odd")


class StrGivesLong:
    def __str__(self):
        return StatedLen("short", 5000)


class LabelAdd(str):
    def __radd__(self, other):
        return other + "LABEL"


class RoleGivesLabel:
    def __str__(self):
        return LabelAdd("ignored")


@pytest.mark.parametrize("msg", [
    user(StatedLen("short", 5000)),
    user(StatedLen("x" * 2500, 5000)),
    user(StatedLen("hidden", 0)),
    user(OwnSlice("y" * (BODY + 1))),
    user(OwnSlice("y" * BODY)),
    user(OwnRadd("body")),
    user(StrGivesSub()),
    user(StrGivesLong()),
    {"role": RoleGivesLabel(), "content": "body"},
    {"role": RoleGivesLabel(), "content": OwnRadd("body")},
    {"role": "tool", "tool_result": OwnRadd("out")},
    user([OwnRadd("part"), StatedLen("p", 5000)]),
])
def test_msgs_to_text_str_subclass_not_handled_the_python_way(module, msg):
    msgs = [user("first"), msg, user("last")]
    assert module._msgs_to_text(msgs) == ref._msgs_to_text(msgs)


# --- reading records through get() -----------------------------------------------

def test_msgs_to_text_bypasses_record_get(module):
    native, expected = read_logged(module._msgs_to_text, ref._msgs_to_text)
    assert native == expected
    assert native[0] == "[user] abcd\n[tool_result] \u4e00\u4e8c\n[tool_result] abcd   abcd"
    assert ("p1", "text") in native[1]


# --- lists changed while they are walked ------------------------------------------

class MutatingText:
    """A value whose first str() runs `action` and then gives `text`."""

    def __init__(self, action, text):
        self.action, self.text = action, text

    def __str__(self):
        action, self.action = self.action, (lambda: None)
        action()
        return self.text


def changed_messages(where, kind):
    if where in ("get", "role_str"):
        msgs = []
        action = list_actions(msgs, lambda: user("added"))[kind]
        middle = (Mutating(action, content="self") if where == "get"
                  else {"role": MutatingText(action, "role"), "content": "self"})
        msgs[:] = [user("zero"), middle, user("two"), user("three")]
        return msgs
    parts = []
    action = list_actions(parts, lambda: "added")[kind]
    middle = Mutating(action, text="self") if where == "part_get" else MutatingText(action, "part")
    parts[:] = ["zero", middle, {"text": "two"}, "three"]
    return [user(parts), user("after")]


@pytest.mark.parametrize("where", ["get", "role_str", "part_get", "part_str"])
@pytest.mark.parametrize("kind", MUTATIONS)
def test_msgs_to_text_list_changed_during_walk_unlike_python(module, where, kind):
    assert module._msgs_to_text(changed_messages(where, kind)) == ref._msgs_to_text(changed_messages(where, kind))


# --- simple_extract ---------------------------------------------------------------

def numbered(count, body=lambda i: f"m{i}"):
    return [user(body(i)) for i in range(1, count + 1)]


class FalsyNoLen:
    def __bool__(self):
        return False

    def __len__(self):
        raise AssertionError("len() reached")


@pytest.mark.parametrize("msgs", [None, [], (), "", 0, {}, FalsyNoLen()])
def test_simple_extract_falsy_input_not_empty_text(module, msgs):
    assert module.simple_extract(msgs) == ""


@pytest.mark.parametrize("count, kept", [
    *[(n, range(1, n + 1)) for n in (1, 2, 3, 5, 8)],
    (9, [1, 2, 3, 5, 6, 7, 8, 9]),
    (10, [1, 2, 3, 6, 7, 8, 9, 10]),
    (20, [1, 2, 3, 16, 17, 18, 19, 20]),
    (1000, [1, 2, 3, 996, 997, 998, 999, 1000]),
])
def test_simple_extract_wrong_head_or_tail(module, count, kept):
    msgs = numbered(count)
    result = module.simple_extract(msgs)
    assert result == "\n".join(f"[user] m{i}" for i in kept)
    if count <= EXTRACT_HEAD + EXTRACT_TAIL:
        assert result == module._msgs_to_text(msgs) == ref._msgs_to_text(msgs)


class ShortLen(list):
    def __len__(self):
        return 3


class ReversedSlices(list):
    def __getitem__(self, index):
        return list.__getitem__(self, index)[::-1]


class TupleSlices(list):
    def __getitem__(self, index):
        return tuple(list.__getitem__(self, index))


@pytest.mark.parametrize("make", [
    lambda: ShortLen(numbered(12)),
    lambda: ReversedSlices(numbered(12)),
    lambda: ReversedSlices(numbered(8)),
    lambda: TupleSlices(numbered(10)),
    lambda: tuple(numbered(11)),
    # Bodies cut at 2000, the selection's transcript cut at 8000.
    *[lambda count=count, char=char: numbered(count, lambda i: chr(ord("A") + i) + char * 2500)
      for count in (9, 12) for char in WIDTHS],
])
def test_simple_extract_sequence_not_measured_sliced_and_cut_the_python_way(module, make):
    assert module.simple_extract(make()) == ref.simple_extract(make())


@pytest.mark.parametrize("count", [1, 8, 9, 15])
def test_simple_extract_bypasses_rebound_transcript(module, namespace, count):
    calls = []

    def host_text(msgs):
        calls.append(msgs)
        return "host"

    msgs = numbered(count)
    namespace["_msgs_to_text"] = host_text
    assert module.simple_extract(msgs) == "host"
    [passed] = calls
    if count <= EXTRACT_HEAD + EXTRACT_TAIL:
        assert passed is msgs
    else:
        assert type(passed) is list
        assert len(passed) == EXTRACT_HEAD + EXTRACT_TAIL
        assert all(a is b for a, b in zip(passed, msgs[:EXTRACT_HEAD] + msgs[-EXTRACT_TAIL:]))


@strategies.PROPERTY
@given(st.one_of(strategies.message_lists, st.lists(strategies.messages, min_size=9, max_size=20)))
def test_simple_extract_disagrees_with_reference(module, msgs):
    assert outcome(module.simple_extract, msgs) == outcome(ref.simple_extract, msgs)

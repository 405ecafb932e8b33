"""The effective cut time of a conversation and the window of messages at or
after the stored cut time."""

from datetime import datetime, timedelta, timezone

import pytest

from shared import GetOnly, Mutating
from snapshot import Snapshot
from surface import entry, tb_entries

CUT = "2024-05-01T12:00:00Z"
FALSY = ["", None, 0, False, [], {}]


class GetDict(dict):
    """A dict subclass whose own get answers from `view`, not from its stored
    items, and records each call."""

    def __init__(self, view, stored=()):
        super().__init__(stored)
        self.view = view
        self.calls = []

    def get(self, key, *default):
        self.calls.append((key, *default))
        return self.view.get(key, *default)


@pytest.fixture
def fixed_clock(namespace):
    """Rebinds the module's `datetime` to a class whose now() returns a fixed
    time; yields a function setting the microseconds, and the list of the tz
    arguments now() received."""
    calls = []
    state = {"microsecond": 250000}

    class FixedClock(datetime):
        @classmethod
        def now(cls, tz=None):
            calls.append(tz)
            return datetime(2024, 5, 1, 12, 0, 0, state["microsecond"], tzinfo=tz)

    namespace["datetime"] = FixedClock

    def set_microsecond(value):
        state["microsecond"] = value

    yield set_microsecond, calls


# --- get_conv_cut_time -------------------------------------------------------------------


@pytest.mark.parametrize("conv, expected", [
    ({"cut_time": "C", "created_at": "A", "messages": [{"timestamp": "M"}]}, "C"),
    ({"cut_time": "C", "messages": None}, "C"),
    *[({"cut_time": falsy, "created_at": "A", "messages": [{"timestamp": "M"}]}, "A") for falsy in FALSY],
    ({"created_at": "A", "messages": None}, "A"),
    ({"cut_time": "", "created_at": None, "messages": [
        {}, {"timestamp": ""}, {"timestamp": None}, {"timestamp": 0},
        {"timestamp": "2024-05-01T12:00:05Z"}, {"timestamp": "2024-05-01T12:00:00Z"}]},
     "2024-05-01T12:00:05Z"),
    ({"messages": [{"timestamp": "2024-05-02T00:00:00Z"}, {"timestamp": "2024-05-01T00:00:00Z"}]},
     "2024-05-02T00:00:00Z"),
    ({"messages": ({"timestamp": "T"},)}, "T"),
    ({"messages": [{"timestamp": "T"}, object()]}, "T"),
], ids=["cut-time-wins", "cut-time-messages-none",
        *[f"falsy-cut-{f!r}" for f in FALSY], "created-at-messages-none",
        "first-stamped-message", "first-in-list-not-earliest", "messages-tuple",
        "later-messages-not-examined"])
def test_get_conv_cut_time_wrong_source_precedence(module, conv, expected):
    assert module.get_conv_cut_time(conv) == expected


@pytest.mark.parametrize("make_conv", [
    lambda value: {"cut_time": value},
    lambda value: {"created_at": value},
    lambda value: {"messages": [{"timestamp": 0}, {"timestamp": value}]},
], ids=["cut_time", "created_at", "message-timestamp"])
@pytest.mark.parametrize("value", [5, ["x"], object()], ids=["int", "list", "object"])
def test_get_conv_cut_time_converts_stored_value(module, make_conv, value):
    assert module.get_conv_cut_time(make_conv(value)) is value


@pytest.mark.parametrize("conv", [
    {},
    {"messages": []},
    {"cut_time": "", "created_at": "", "messages": [{}, {"timestamp": ""}, {"timestamp": None}]},
    {"cut_time": None, "created_at": 0, "messages": ()},
], ids=["empty", "no-messages", "no-stamped-message", "falsy-everything"])
@pytest.mark.parametrize("microsecond, expected", [
    (250000, "2024-05-01T12:00:00.250000+00:00"),
    (0, "2024-05-01T12:00:00+00:00"),
], ids=["fraction", "whole-second"])
def test_get_conv_cut_time_clock_fallback_wrong(
        module, fixed_clock, conv, microsecond, expected):
    set_microsecond, calls = fixed_clock
    set_microsecond(microsecond)
    assert module.get_conv_cut_time(conv) == expected
    assert calls == [timezone.utc]


def test_get_conv_cut_time_fallback_not_current_utc_text(module):
    before = datetime.now(timezone.utc)
    result = module.get_conv_cut_time({})
    after = datetime.now(timezone.utc)
    assert type(result) is str
    assert len(result) in (25, 32)
    assert result.endswith("+00:00")
    assert before - timedelta(seconds=1) <= datetime.fromisoformat(result) <= after + timedelta(seconds=1)


def test_get_conv_cut_time_reads_clock_when_a_time_is_stored(module, fixed_clock):
    _, calls = fixed_clock
    module.get_conv_cut_time({"created_at": "A"})
    module.get_conv_cut_time({"messages": [{"timestamp": "M"}]})
    assert calls == []


def test_get_conv_cut_time_bypasses_dict_subclass_get(module):
    message_plain = GetDict({})
    message_stamped = GetDict({"timestamp": "from get"}, {"timestamp": "message item"})
    conv = GetDict({"messages": [message_plain, message_stamped]},
                   {"cut_time": "stored", "created_at": "stored"})
    # A stamped message is read again with [] after its get said yes.
    assert module.get_conv_cut_time(conv) == "message item"
    assert conv.calls == [("cut_time",), ("created_at",), ("messages", [])]
    assert message_plain.calls == [("timestamp",)]
    assert message_stamped.calls == [("timestamp",)]


def test_get_conv_cut_time_reads_stored_items_of_dict_subclass(module):
    conv = GetDict({"cut_time": "from get"}, {"cut_time": "stored"})
    assert module.get_conv_cut_time(conv) == "from get"
    conv = GetDict({}, {"cut_time": "stored", "created_at": "stored"})
    assert module.get_conv_cut_time(conv) != "stored"


def test_get_conv_cut_time_subscripts_only_the_stamped_message(module):
    assert module.get_conv_cut_time(GetOnly(created_at="A")) == "A"
    assert module.get_conv_cut_time(GetOnly(messages=[{"timestamp": "M"}])) == "M"
    # The stamped message is subscripted after get, which a get-only object refuses.
    with pytest.raises(TypeError):
        module.get_conv_cut_time({"messages": [GetOnly(timestamp="M")]})
    assert module.get_conv_cut_time({"cut_time": "", "messages": [GetOnly()]}).endswith("+00:00")


def test_get_conv_cut_time_reads_past_list_cleared_by_message_get(module):
    messages = []
    messages.extend([Mutating(messages.clear), {"timestamp": "never seen"}])
    result = module.get_conv_cut_time({"messages": messages, "created_at": ""})
    assert result != "never seen"
    assert result.endswith("+00:00")


# --- msgs_from_cut_time ------------------------------------------------------------------


@pytest.mark.parametrize("message, included", [
    ({"timestamp": "2024-05-01T12:00:00Z"}, True),
    ({"timestamp": "2024-05-01T11:59:59Z"}, False),
    ({}, False),
    ({"timestamp": ""}, False),
    ({"timestamp": None}, False),
    ({"timestamp": 0}, False),
    ({"timestamp": "2024-05-01T12:00:00+00:00"}, False),
    ({"timestamp": "2024-05-01T12:00:01+00:00"}, True),
    ({"timestamp": "2024-05-01T19:00:00+08:00"}, True),
    ({"timestamp": "yesterday"}, True),
    ({"timestamp": "2024-04-30T12:00:00Z"}, False),
], ids=["equal-inclusive", "second-before", "no-timestamp", "empty", "none", "zero",
        "same-instant-plus-offset", "second-after-plus-offset", "earlier-instant-later-text",
        "letters-after-digits", "day-before"])
def test_msgs_from_cut_time_window_not_plain_text_comparison(module, message, included):
    conv = {"cut_time": CUT, "messages": [message]}
    result = module.msgs_from_cut_time(conv)
    assert result == ([message] if included else [])
    if included:
        assert result[0] is message


def test_msgs_from_cut_time_reorders_messages(module):
    stamps = ["2024-05-03", "2024-05-01T12:00:00Z", "2024-04-01", "2024-05-02", "2024-05-01T13"]
    messages = [{"timestamp": s, "i": i} for i, s in enumerate(stamps)]
    result = module.msgs_from_cut_time({"cut_time": CUT, "messages": messages})
    assert [m["i"] for m in result] == [0, 1, 3, 4]


@pytest.mark.parametrize("cut", FALSY + ["missing"], ids=lambda c: repr(c))
def test_msgs_from_cut_time_without_cut_filters_or_shares_list(module, cut):
    messages = [{"timestamp": "2024-01-01"}, {}, {"timestamp": 5}, object(), {"timestamp": None}]
    conv = {"messages": messages, "created_at": "2099-01-01"}
    if cut != "missing":
        conv["cut_time"] = cut
    result = module.msgs_from_cut_time(conv)
    assert type(result) is list
    assert result is not messages
    assert len(result) == len(messages)
    assert all(a is b for a, b in zip(result, messages))
    result.append("extra")
    assert len(messages) == 5


@pytest.mark.parametrize("conv", [{}, {"cut_time": CUT}, {"cut_time": ""}], ids=["empty", "cut", "empty-cut"])
def test_msgs_from_cut_time_without_messages_not_empty_list(module, conv):
    assert module.msgs_from_cut_time(conv) == []


def test_msgs_from_cut_time_returns_conversation_list_when_all_match(module):
    messages = [{"timestamp": "2024-06-01"}, {"timestamp": "2024-07-01"}]
    result = module.msgs_from_cut_time({"cut_time": CUT, "messages": messages})
    assert result is not messages
    assert all(a is b for a, b in zip(result, messages, strict=True))


def test_msgs_from_cut_time_refuses_tuple_messages(module):
    messages = ({"timestamp": "2024-06-01"}, {})
    assert module.msgs_from_cut_time({"messages": messages}) == list(messages)
    assert module.msgs_from_cut_time({"cut_time": CUT, "messages": messages}) == [messages[0]]


def test_msgs_from_cut_time_bypasses_dict_subclass_get(module):
    inside = GetDict({"timestamp": "2024-06-01"}, {"timestamp": "2000-01-01"})
    outside = GetDict({"timestamp": "2000-01-01"}, {"timestamp": "2024-06-01"})
    conv = GetDict({"cut_time": CUT, "messages": [inside, outside]}, {"cut_time": "", "messages": []})
    assert module.msgs_from_cut_time(conv) == [inside]
    assert conv.calls == [("cut_time",), ("messages", [])]
    assert inside.calls == [("timestamp",)]
    assert outside.calls == [("timestamp",)]


def test_msgs_from_cut_time_needs_more_than_get_on_records(module):
    inside = GetOnly(timestamp="2024-06-01")
    conv = GetOnly(cut_time=CUT, messages=[inside, GetOnly(), GetOnly(timestamp="2000-01-01")])
    assert module.msgs_from_cut_time(conv) == [inside]
    assert module.msgs_from_cut_time(GetOnly()) == []


def test_msgs_from_cut_time_numeric_timestamp_mishandled(module):
    # Without a cut nothing is compared; with one, the row of the error table below.
    message = {"timestamp": 5}
    assert module.msgs_from_cut_time({"messages": [message]}) == [message]


def test_msgs_from_cut_time_stale_length_of_list_changed_by_get(module):
    appended = {"timestamp": "2024-08-01"}
    messages = []

    class Growing(dict):
        def get(self, key, *default):
            if appended not in messages:
                messages.append(appended)
            return super().get(key, *default)

    class Shrinking(dict):
        def get(self, key, *default):
            del messages[1:]
            return super().get(key, *default)

    first = Growing(timestamp="2024-06-01")
    messages.extend([first, {"timestamp": "2024-07-01"}])
    result = module.msgs_from_cut_time({"cut_time": CUT, "messages": messages})
    assert result == [first, {"timestamp": "2024-07-01"}, appended]

    first = Shrinking(timestamp="2024-06-01")
    messages[:] = [first, {"timestamp": "2024-07-01"}, {"timestamp": "2024-08-01"}]
    assert module.msgs_from_cut_time({"cut_time": CUT, "messages": messages}) == [first]


def test_msgs_from_cut_time_loses_message_its_get_removed(module):
    messages = []
    messages.append(Mutating(messages.clear, timestamp="2024-06-01", marker="kept"))
    [survivor] = module.msgs_from_cut_time({"cut_time": CUT, "messages": messages})
    assert type(survivor) is Mutating
    assert dict(survivor) == {"timestamp": "2024-06-01", "marker": "kept"}


# --- conversations are never written; errors -----------------------------------------------

CONVERSATIONS = [
    {},
    {"cut_time": "", "created_at": "", "messages": []},
    {"cut_time": None, "messages": [{}, {"timestamp": "2024-06-01"}]},
    {"created_at": "2024-01-01", "messages": [{"timestamp": "2024-06-01", "role": "user"}]},
    {"cut_time": CUT, "id": 7, "messages": [{"timestamp": "2024-06-01"}, {"timestamp": "2000-01-01"}]},
]


@pytest.mark.parametrize("fn", ["get_conv_cut_time", "msgs_from_cut_time"])
@pytest.mark.parametrize("conv", CONVERSATIONS, ids=range(len(CONVERSATIONS)))
def test_conversation_written_by_reader(module, fn, conv):
    before = Snapshot(conv)
    getattr(module, fn)(conv)
    before.assert_unchanged()


def test_error_raised_by_host_get_replaced(module):
    class Broken(dict):
        def get(self, key, *default):
            raise KeyError("host failure")

    for fn in ("get_conv_cut_time", "msgs_from_cut_time"):
        with pytest.raises(KeyError, match="host failure") as info:
            getattr(module, fn)(Broken())
        names = [e[0] for e in tb_entries(info.value)]
        assert names[-2:] == [entry(fn), "get"]

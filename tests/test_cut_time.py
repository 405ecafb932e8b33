"""The effective cut time of a conversation and the window of messages at or
after the stored cut time, read as the reference reads them: the same
result, the same get() calls, the same messages, nothing written."""

from datetime import datetime, timedelta, timezone

import pytest

import reference as ref
from shared import GetOnly, Mutating, outcome
from snapshot import Snapshot
from surface import entry, tb_entries

CUT = "2024-05-01T12:00:00Z"
FALSY = ["", None, 0, False, [], {}]


class GetDict(dict):
    """A dict subclass whose own get answers from `view`, not from its stored
    items, and logs each call."""

    def __init__(self, log, view, stored=()):
        super().__init__(stored)
        self.log, self.view = log, view

    def get(self, key, *default):
        self.log.append((key, *default))
        return self.view.get(key, *default)


class Growing(dict):
    """A message whose get() appends `extra` to `messages` once."""

    def __init__(self, messages, extra, **fields):
        super().__init__(**fields)
        self.messages, self.extra = messages, extra

    def get(self, key, *default):
        if not any(m is self.extra for m in self.messages):
            self.messages.append(self.extra)
        return super().get(key, *default)


class Shrinking(dict):
    """A message whose get() drops every message after the first."""

    def __init__(self, messages, **fields):
        super().__init__(**fields)
        self.messages = messages

    def get(self, key, *default):
        del self.messages[1:]
        return super().get(key, *default)


@pytest.fixture
def clock(module, monkeypatch):
    """datetime.now() of the module and of the reference fixed on 2024-05-01
    12:00:00 in the zone asked for; yields a function setting the
    microseconds, and the zones now() was asked for."""
    calls, state = [], {"microsecond": 250000}

    class FixedClock(datetime):
        @classmethod
        def now(cls, tz=None):
            calls.append(tz)
            return datetime(2024, 5, 1, 12, 0, 0, state["microsecond"], tzinfo=tz)

    for side in (module, ref):
        monkeypatch.setattr(side, "datetime", FixedClock)
    yield lambda value: state.update(microsecond=value), calls


def stored_messages(conv):
    """The messages entry a conversation holds, read past any get() of its own."""
    source = getattr(conv, "view", None) or getattr(conv, "answers", None) or conv
    return dict.get(source, "messages") if isinstance(source, dict) else None


def read_both(module, fn, make):
    """`fn` of the module and of the reference on a conversation made afresh
    for each by make(log): both give the same outcome and make the same logged
    calls and the same changes (the reference writes nothing; a host's get()
    may), and a list they return is a new one of the messages the
    conversation held, which stand here for their places. Returns the outcome."""
    seen = []
    for side in (module, ref):
        log = []
        conv = make(log)
        before, snap = stored_messages(conv), Snapshot(conv)
        held = list(before) if isinstance(before, (list, tuple)) else []
        result = outcome(getattr(side, fn), conv)
        if fn == "msgs_from_cut_time" and result[0] == "ok":
            assert type(result[1]) is list and result[1] is not before
            held += stored_messages(conv) or []
            places = [[i for i, h in enumerate(held) if h is m] for m in result[1]]
            assert all(places), "a message the conversation never held"
            result = ("ok", [p[0] for p in places])
        seen.append((result, log, snap.difference()))
    assert seen[0] == seen[1]
    return seen[0][0]


def stamped(*stamps):
    return [{"timestamp": s, "i": i} for i, s in enumerate(stamps)]


# --- get_conv_cut_time -------------------------------------------------------------------

def cleared_by_get():
    """The first message's get() empties the list: the walk ends there."""
    messages = []
    messages.extend([Mutating(messages.clear), {"timestamp": "never seen"}])
    return {"created_at": "", "messages": messages}


@pytest.mark.parametrize("make", [
    lambda log: {"cut_time": "C", "created_at": "A", "messages": [{"timestamp": "M"}]},
    lambda log: {"cut_time": "C", "messages": None},
    *[lambda log, f=falsy: {"cut_time": f, "created_at": "A", "messages": [{"timestamp": "M"}]} for falsy in FALSY],
    lambda log: {"created_at": "A", "messages": None},
    lambda log: {"cut_time": "", "created_at": None, "messages": [
        {}, {"timestamp": ""}, {"timestamp": None}, {"timestamp": 0}, *stamped("2024-05-01T12:00:05Z", CUT)]},
    lambda log: {"messages": stamped("2024-05-02T00:00:00Z", "2024-05-01T00:00:00Z")},  # the first, not the earliest
    lambda log: {"messages": ({"timestamp": "T"},)},
    lambda log: {"messages": [{"timestamp": "T"}, object()]},   # later messages are not examined
    # A dict subclass is read through its own get; a stamped message is read again with [].
    lambda log: GetDict(log, {"messages": [GetDict(log, {}), GetDict(log, {"timestamp": "asked"}, {"timestamp": "held"})]},
                        {"cut_time": "stored", "created_at": "stored"}),
    lambda log: GetDict(log, {"cut_time": "asked"}, {"cut_time": "stored"}),
    lambda log: GetOnly(created_at="A"),
    lambda log: GetOnly(messages=[{"timestamp": "M"}]),
    lambda log: {"messages": [GetOnly(timestamp="M")]},         # get() alone cannot be subscripted
    lambda log: {"cut_time": "", "messages": [GetOnly()]},
    # The clock, when nothing is stored.
    lambda log: {},
    lambda log: {"messages": []},
    lambda log: {"cut_time": "", "created_at": "", "messages": [{}, {"timestamp": ""}, {"timestamp": None}]},
    lambda log: {"cut_time": None, "created_at": 0, "messages": ()},
    lambda log: GetDict(log, {}, {"cut_time": "stored", "created_at": "stored"}),
    lambda log: cleared_by_get(),
])
@pytest.mark.parametrize("microsecond", [250000, 0], ids=["fraction", "whole-second"])
def test_get_conv_cut_time_wrong_source_precedence_or_clock(module, clock, make, microsecond):
    set_microsecond, calls = clock
    set_microsecond(microsecond)
    result = read_both(module, "get_conv_cut_time", make)
    # Only a conversation without any stored time asks the clock, once, for UTC.
    assert calls in ([], [timezone.utc] * 2)
    if calls:
        assert result == ("ok", "2024-05-01T12:00:00" + (".250000" if microsecond else "") + "+00:00")


@pytest.mark.parametrize("make_conv", [
    lambda value: {"cut_time": value},
    lambda value: {"created_at": value},
    lambda value: {"messages": [{"timestamp": 0}, {"timestamp": value}]},
], ids=["cut_time", "created_at", "message-timestamp"])
@pytest.mark.parametrize("value", [5, ["x"], object()], ids=["int", "list", "object"])
def test_get_conv_cut_time_converts_stored_value(module, make_conv, value):
    assert module.get_conv_cut_time(make_conv(value)) is value


def test_get_conv_cut_time_fallback_not_current_utc_text(module):
    before = datetime.now(timezone.utc)
    result = module.get_conv_cut_time({})
    after = datetime.now(timezone.utc)
    assert type(result) is str
    assert len(result) in (25, 32)
    assert result.endswith("+00:00")
    assert before - timedelta(seconds=1) <= datetime.fromisoformat(result) <= after + timedelta(seconds=1)


# --- msgs_from_cut_time ------------------------------------------------------------------

def growing(log):
    messages = []
    messages += [Growing(messages, {"timestamp": "2024-08-01"}, timestamp="2024-06-01"), {"timestamp": "2024-07-01"}]
    return {"cut_time": CUT, "messages": messages}


def shrinking(log):
    messages = []
    messages += [Shrinking(messages, timestamp="2024-06-01"), *stamped("2024-07-01", "2024-08-01")]
    return {"cut_time": CUT, "messages": messages}


def emptied(log):
    messages = []
    messages.append(Mutating(messages.clear, timestamp="2024-06-01", marker="kept"))
    return {"cut_time": CUT, "messages": messages}


@pytest.mark.parametrize("make", [
    # Stamps compared as text, at or after the cut.
    *[lambda log, s=s: {"cut_time": CUT, "messages": [{}, *stamped(s)]} for s in [
        CUT, "2024-05-01T11:59:59Z", "", None, 0, "2024-05-01T12:00:00+00:00", "2024-05-01T12:00:01+00:00",
        "2024-05-01T19:00:00+08:00", "yesterday", "2024-04-30T12:00:00Z"]],
    lambda log: {"cut_time": CUT, "messages": stamped("2024-05-03", CUT, "2024-04-01", "2024-05-02", "2024-05-01T13")},
    lambda log: {"cut_time": CUT, "messages": stamped("2024-06-01", "2024-07-01")},
    # Without a cut, a new list of every message, whatever it holds.
    *[lambda log, c=cut: {"cut_time": c, "created_at": "2099-01-01",
                           "messages": [*stamped("2024-01-01", 5, None), {}, object()]} for cut in FALSY],
    lambda log: {"created_at": "2099-01-01", "messages": [*stamped("2024-01-01", 5), object()]},
    lambda log: {}, lambda log: {"cut_time": CUT}, lambda log: {"cut_time": ""},
    lambda log: {"messages": ({"timestamp": "2024-06-01"}, {})},
    lambda log: {"cut_time": CUT, "messages": ({"timestamp": "2024-06-01"}, {})},
    # Records read through their own get().
    lambda log: GetDict(log, {"cut_time": CUT, "messages": [GetDict(log, {"timestamp": "2024-06-01"}, stamped("2000")[0]),
                                                            GetDict(log, {"timestamp": "2000"}, stamped("2024")[0])]},
                        {"cut_time": "", "messages": []}),
    lambda log: GetOnly(cut_time=CUT, messages=[GetOnly(timestamp="2024-06-01"), GetOnly(), GetOnly(timestamp="2000")]),
    lambda log: GetOnly(),
    # A list changed by a message's get() is walked as Python walks it.
    growing, shrinking, emptied,
])
def test_msgs_from_cut_time_window_not_the_reference_window(module, make):
    read_both(module, "msgs_from_cut_time", make)


def test_error_raised_by_host_get_replaced(module):
    class Broken(dict):
        def get(self, key, *default):
            raise KeyError("host failure")

    for fn in ("get_conv_cut_time", "msgs_from_cut_time"):
        with pytest.raises(KeyError, match="host failure") as info:
            getattr(module, fn)(Broken())
        names = [e[0] for e in tb_entries(info.value)]
        assert names[-2:] == [entry(fn), "get"]

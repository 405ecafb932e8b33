"""Hostile surroundings: a chat layer that calls back or changes the
conversation, records whose get() and __str__ raise or change the
conversation at every point of a compression, a store that fails, and
allocation failure (the chat layer's hostile answers are
test_summary_request's). The interpreter must survive, the right exception
must arrive with the module's traceback entry, and a conversation that was not
compressed must be exactly as it was."""

import collections
import collections.abc
import copy
import json
import sys
import textwrap

import pytest
from hypothesis import given
from hypothesis import strategies as st

import routes.context_compress as cc
from context_compress.texts import SUMMARY_NOTE as NOTE, SUMMARY_PREFIX as PREFIX
from snapshot import Snapshot
from strategies import PROPERTY
from surface import assert_raised_in

STAMP = "2024-05-01T12:00:{:02d}+00:00"
CONFIG = {"max_context": 3000}


def make_conv(message_cls=dict, conv_cls=dict):
    """Twelve messages of 453 estimated tokens each: against a window of 3000
    the newest three are kept, the nine before them are compressed, and the
    summary lands between the first and second kept message."""
    messages = [message_cls(role=("user" if i % 2 == 0 else "assistant"), content="一二三" * 100,
                            timestamp=STAMP.format(i)) for i in range(12)]
    return conv_cls(id="c1", created_at=STAMP.format(0), cut_time=STAMP.format(0), messages=messages, extra=[1])


def summary_of(conv):
    found = [m for m in conv["messages"] if isinstance(m.get("content"), str) and m["content"].startswith(PREFIX)]
    assert len(found) == 1
    return found[0]


def assert_compressed(conv, result, originals):
    """The shape every successful compression has, whatever happened mid-call:
    one summary, and otherwise only messages among `originals`."""
    compressed, stats = result
    assert compressed is True
    assert conv["cut_time"] == stats["new_cut_time"]
    summary = summary_of(conv)
    assert list(summary) == ["role", "content", "timestamp"]
    assert summary["content"].endswith(NOTE)
    ids = {id(m) for m in originals}
    assert all(id(m) in ids for m in conv["messages"] if m is not summary)


# --- the chat layer -----------------------------------------------------------


def test_compression_reentered_from_the_chat_layer_ends_wellformed(chat):
    conv = make_conv()
    originals = list(conv["messages"])

    def reenter(prompt_msgs, cfg, stream=True):
        if len(chat.calls) == 1:
            # The inner call compresses the same conversation first.
            assert cc.cut_and_sum_history(conv, CONFIG)[0] is True

    chat.during = reenter
    result = cc.cut_and_sum_history(conv, CONFIG)
    assert result[0] is True and len(chat.calls) == 2
    contents = [m["content"] for m in conv["messages"]]
    assert sum(c.startswith(PREFIX) for c in contents) >= 1
    assert conv["cut_time"] == result[1]["new_cut_time"]
    assert all(m in originals or m["content"].startswith(PREFIX) for m in conv["messages"])


@pytest.mark.parametrize("change", ["clear", "append", "replace", "delete"])
def test_chat_layer_changing_the_conversation_mid_call_is_seen_by_the_rewrite(chat, change):
    conv = make_conv()
    originals = list(conv["messages"])
    late = {"role": "user", "content": "late", "timestamp": STAMP.format(59)}

    def change_conversation(prompt_msgs, cfg, stream=True):
        messages = conv["messages"]
        if change == "clear":
            messages.clear()
        elif change == "append":
            messages.append(late)
        elif change == "replace":
            conv["messages"] = list(messages)
        else:
            del conv["messages"]

    chat.during = change_conversation
    if change == "delete":
        # The rewrite reads the messages again: None is not iterable.
        with pytest.raises(TypeError) as info:
            cc.cut_and_sum_history(conv, CONFIG)
        assert_raised_in(info.value, "cut_and_sum_history")
        assert "messages" not in conv and conv["cut_time"] == STAMP.format(0)
        return
    result = cc.cut_and_sum_history(conv, CONFIG)
    assert_compressed(conv, result, originals + [late])
    survivors = [m for m in conv["messages"] if not m["content"].startswith(PREFIX)]
    if change == "clear":
        assert survivors == []
    else:
        assert [m["timestamp"] for m in survivors] == [STAMP.format(i) for i in (9, 10, 11)] + (
            [STAMP.format(59)] if change == "append" else [])


# --- get() and __str__ at every point of a compression -------------------------


class Tripwire:
    """Counts every get() and __str__ of the records it watches and runs
    `action` on the call numbered `at` (from 1)."""

    def __init__(self, at=None, action=None):
        self.calls = 0
        self.at = at
        self.action = action

    def hit(self):
        self.calls += 1
        if self.calls == self.at:
            self.action()


class Watched(dict):
    tripwire = Tripwire()

    def get(self, *args):
        Watched.tripwire.hit()
        return super().get(*args)


class Role:
    """A role that is not a str: only str() makes text of it."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        Watched.tripwire.hit()
        return self.text

    def __eq__(self, other):
        return self.text == other.text if isinstance(other, Role) else NotImplemented

    __hash__ = None


def watched_conv():
    conv = make_conv(message_cls=Watched, conv_cls=Watched)
    # One message of the span with a list content of watched parts, one
    # with a role that only str() turns into text.
    dict.__setitem__(conv["messages"][2], "content",
                     [Watched(type="text", text="一二三" * 100), Watched(type="image_url"), "tail"])
    dict.__setitem__(conv["messages"][3], "role", Role("assistant"))
    return conv


@pytest.fixture
def tripwire():
    saved = Watched.tripwire
    yield
    Watched.tripwire = saved


def hook_calls():
    """How many get() and __str__ calls a clean compression of watched_conv makes."""
    Watched.tripwire = Tripwire()
    conv = watched_conv()
    result = cc.cut_and_sum_history(conv, CONFIG)
    assert result[0] is True
    return Watched.tripwire.calls


class Tripped(Exception):
    pass


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, Tripped])
def test_raise_at_every_get_and_str_leaves_conv_untouched(chat, tripwire, exc_type):
    total = hook_calls()
    assert total > 50
    outcomes = {"raised": 0, "absorbed": 0}
    for at in range(1, total + 2):
        raised = exc_type(f"at {at}")

        def action():
            raise raised

        Watched.tripwire = Tripwire(at, action)
        conv = watched_conv()
        before, originals = Snapshot(conv), list(dict.__getitem__(conv, "messages"))
        try:
            result = cc.cut_and_sum_history(conv, CONFIG)
        except BaseException as exc:
            Watched.tripwire = Tripwire()
            assert exc is raised, f"call {at}: {exc!r}"
            assert_raised_in(exc, "cut_and_sum_history")
            before.assert_unchanged()
            outcomes["raised"] += 1
            continue
        Watched.tripwire = Tripwire()
        # Only an Exception inside the summary request is absorbed, and the
        # extract stands in for the summary; past the last call nothing fires.
        assert at == total + 1 or exc_type is Tripped, f"call {at} was absorbed"
        assert_compressed(conv, result, originals)
        outcomes["absorbed"] += 1
    if exc_type is Tripped:
        assert outcomes["raised"] > 0 and outcomes["absorbed"] > 1
    else:
        assert outcomes == {"raised": total, "absorbed": 1}


MUTATIONS = {
    "clear-list": lambda conv: dict.__getitem__(conv, "messages").clear(),
    "append-late": lambda conv: dict.__getitem__(conv, "messages").append(
        {"role": "user", "content": "late", "timestamp": STAMP.format(59)}),
    "insert-early": lambda conv: dict.__getitem__(conv, "messages").insert(
        0, {"role": "user", "content": "x" * 9000, "timestamp": STAMP.format(1)}),
    "pop-first": lambda conv: dict.__getitem__(conv, "messages").pop(0),
    "replace-list": lambda conv: dict.__setitem__(conv, "messages", [{"timestamp": STAMP.format(30)}]),
    "drop-cut-time": lambda conv: dict.pop(conv, "cut_time", None),
    "delete-messages": lambda conv: dict.pop(conv, "messages", None),
}


@pytest.mark.parametrize("mutation", sorted(MUTATIONS))
def test_mutation_at_every_get_and_str_ends_in_one_summary_or_an_error(chat, tripwire, mutation):
    total = hook_calls()
    for at in range(1, total + 1):
        conv = watched_conv()
        Watched.tripwire = Tripwire(at, lambda: MUTATIONS[mutation](conv))
        try:
            compressed, stats = cc.cut_and_sum_history(conv, CONFIG)
        except (TypeError, AttributeError) as exc:
            Watched.tripwire = Tripwire()
            # A messages entry deleted or replaced under the call reads as None.
            assert mutation in ("delete-messages",), f"call {at}: {exc!r}"
            assert_raised_in(exc, "cut_and_sum_history")
            continue
        Watched.tripwire = Tripwire()
        assert isinstance(stats, dict)
        if compressed:
            assert dict.__getitem__(conv, "cut_time") == stats["new_cut_time"]
            messages = dict.__getitem__(conv, "messages")
            assert sum(isinstance(m.get("content"), str) and m["content"].startswith(PREFIX)
                       for m in messages) == 1


# --- storing into the conversation --------------------------------------------


class FailingStore(dict):
    """A conversation whose __setitem__ raises for one key: before storing, or
    after (a save to disk that fails, a Ctrl-C landing just after the store).
    With `restore_fails`, every later __setitem__ and __delitem__ raises too."""

    failing_key = None
    exc = None
    store_first = False
    restore_fails = False

    def __setitem__(self, key, value):
        if self.restore_fails and self.failing_key is None:
            raise RuntimeError("restore refused")
        if key == self.failing_key:
            if self.store_first:
                super().__setitem__(key, value)
            self.failing_key = None
            raise self.exc
        super().__setitem__(key, value)

    def __delitem__(self, key):
        if self.restore_fails:
            raise RuntimeError("restore refused")
        super().__delitem__(key)


@pytest.mark.parametrize("key, had_cut_time", [("messages", True), ("cut_time", True), ("cut_time", False)],
                         ids=["messages", "cut_time", "cut_time-absent"])
@pytest.mark.parametrize("exc", [OSError("disk"), KeyboardInterrupt(), SystemExit(3)],
                         ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("store_first", [False, True], ids=["raise-before-store", "raise-after-store"])
def test_failed_store_leaves_old_messages_and_cut_time(chat, key, had_cut_time, exc, store_first):
    conv = make_conv(conv_cls=FailingStore)
    if not had_cut_time:
        del conv["cut_time"]
    conv.failing_key, conv.exc, conv.store_first = key, exc, store_first
    before = Snapshot(conv)
    with pytest.raises(type(exc)) as info:
        cc.cut_and_sum_history(conv, CONFIG)
    assert info.value is exc
    assert_raised_in(info.value, "cut_and_sum_history")
    before.assert_unchanged()


class CopyingStore(FailingStore):
    """conv[key] answers with a copy of the stored list."""

    def __getitem__(self, key):
        value = super().__getitem__(key)
        return list(value) if isinstance(value, list) else value


class DefaultingStore(FailingStore, collections.defaultdict):
    """A defaultdict(str): conv[key] of a missing key stores "" under it."""

    def __init__(self, **items):
        collections.defaultdict.__init__(self, str, **items)


@pytest.mark.parametrize("conv_cls", [CopyingStore, DefaultingStore])
def test_failed_store_puts_back_a_dict_subclass_from_its_own_storage(chat, conv_cls):
    conv = make_conv(conv_cls=conv_cls)
    del conv["cut_time"]
    old_messages = dict.__getitem__(conv, "messages")
    conv.failing_key, conv.exc, conv.store_first = "cut_time", OSError("disk"), True
    with pytest.raises(OSError, match="disk"):
        cc.cut_and_sum_history(conv, CONFIG)
    # The very list, not a copy of it; and no key made up by __missing__.
    assert dict.__getitem__(conv, "messages") is old_messages
    assert list(dict.keys(conv)) == ["id", "created_at", "messages", "extra"]


@pytest.mark.parametrize("key", ["messages", "cut_time"])
def test_failed_restore_still_raises_the_store_error(chat, key):
    conv = make_conv(conv_cls=FailingStore)
    conv.failing_key, conv.exc, conv.store_first, conv.restore_fails = key, OSError("disk"), True, True
    with pytest.raises(OSError, match="disk"):
        cc.cut_and_sum_history(conv, CONFIG)


class StoreFailed(Exception):
    pass


class Faulty:
    """A mapping whose stores fail as `plan` says: key -> (when, times), the
    next `times` stores of that key raising StoreFailed "before" storing or
    just "after"."""

    plan = {}

    def __setitem__(self, key, value):
        when, times = self.plan.get(key, (None, 0))
        if times:
            self.plan[key] = (when, times - 1)
            if when == "after":
                super().__setitem__(key, value)
            raise StoreFailed(key)
        super().__setitem__(key, value)


class HostMapping(collections.abc.MutableMapping):
    """A host's own mapping type, keeping its items in a dict of its own."""

    def __init__(self, items):
        self.items_ = dict(items)

    def __getitem__(self, key):
        return self.items_[key]

    def __setitem__(self, key, value):
        self.items_[key] = value

    def __delitem__(self, key):
        del self.items_[key]

    def __iter__(self):
        return iter(self.items_)

    def __len__(self):
        return len(self.items_)


def faulty(base, **namespace):
    return type(f"Faulty{base.__name__}", (Faulty, base), namespace)


class DefaultingUserDict(collections.UserDict):
    """Answers "" for a missing key, as a host's record of optional fields may."""

    def __missing__(self, key):
        return ""


def around_a_faulty_dict(wrap):
    def make(items):
        inner = faulty(dict)(items)
        return wrap(inner), inner
    return make


def user_dict_of(data):
    conv = collections.UserDict()
    conv.data = data
    return conv


# Every kind of mapping a conversation can be, each with its stores made to
# fail: (the conversation, the mapping whose plan makes them fail).
ROLLBACK_MAPPINGS = {
    "dict": lambda items: [faulty(dict)(items)] * 2,
    "defaultdict": lambda items: [faulty(collections.defaultdict)(list, items)] * 2,
    "OrderedDict": lambda items: [faulty(collections.OrderedDict)(items)] * 2,
    "OrderedDict-subclass": lambda items: [faulty(type("Sub", (collections.OrderedDict,), {}))(items)] * 2,
    "Counter": lambda items: [faulty(collections.Counter)(items)] * 2,
    "UserDict": lambda items: [faulty(collections.UserDict)(items)] * 2,
    "UserDict-defaulting": lambda items: [faulty(DefaultingUserDict)(items)] * 2,
    "UserDict-over-a-faulty-dict": around_a_faulty_dict(user_dict_of),
    "ChainMap": lambda items: [faulty(collections.ChainMap)(dict(items), {})] * 2,
    "ChainMap-over-a-faulty-dict": around_a_faulty_dict(lambda inner: collections.ChainMap(inner, {})),
    "host-MutableMapping": lambda items: [faulty(HostMapping)(items)] * 2,
}

store_faults = st.one_of(st.none(), st.tuples(st.sampled_from(["before", "after"]), st.integers(1, 3)))


@pytest.mark.parametrize("kind", ROLLBACK_MAPPINGS)
@PROPERTY
@given(order=st.permutations(["id", "created_at", "cut_time", "messages", "extra"]), has_cut_time=st.booleans(),
       messages_fault=store_faults, cut_time_fault=store_faults)
def test_failed_store_rolls_back_to_what_the_mapping_held_in_a_state_its_methods_accept(
        chat, kind, order, has_cut_time, messages_fault, cut_time_fault):
    fields = make_conv()
    items = {key: fields[key] for key in order if has_cut_time or key != "cut_time"}
    conv, faults = ROLLBACK_MAPPINGS[kind](items)
    before = [(key, conv[key]) for key in conv]
    faults.plan = {key: fault for key, fault in (("messages", messages_fault), ("cut_time", cut_time_fault))
                   if fault}
    if faults.plan:
        with pytest.raises(StoreFailed):
            cc.cut_and_sum_history(conv, CONFIG)
        faults.plan = {}
        after = [(key, conv[key]) for key in conv]
        assert [key for key, _ in after] == [key for key, _ in before]
        assert all(value is old for (_, value), (_, old) in zip(after, before))
    else:
        compressed, stats = cc.cut_and_sum_history(conv, CONFIG)
        assert compressed and conv["cut_time"] == stats["new_cut_time"]
    # The mapping's own methods accept what the rollback left.
    repr(conv)
    json.dumps(conv if isinstance(conv, dict) else dict(conv))
    assert list(copy.copy(conv)) == list(copy.deepcopy(conv)) == list(conv)


# --- collaborators that change what the module handed them --------------------

@pytest.mark.parametrize("mode, expected", [
    # As `kept[0]` of an empty kept tail would.
    ("clear-first", ["raised", "IndexError", "list index out of range"]),
    # The walk ends with the list, as reversed() does, after the newest message.
    ("clear-later", ["returned", True, 2]),
])
def test_rebound_estimator_changing_active_list_gets_the_python_outcome(scenario, mode, expected):
    # In a child interpreter: a defect here can crash it.
    assert scenario("rebound_estimator_clearing", mode) == expected


@pytest.mark.parametrize("base, content, added", [
    (2**63 - 2, "x", 3),
    (2**63 - 1000, [{"type": "text", "text": "x"}, {"type": "image"}], 1503),
])
def test_rebound_text_estimate_near_int64_limit_sums_exactly(namespace, base, content, added):
    namespace["estimate_tokens_text"] = lambda text: base
    assert cc.estimate_tokens([{"content": content}]) == base + added


# --- allocation failure --------------------------------------------------------

NOMEMORY_CHILD = textwrap.dedent("""
    import collections, json
    import _testcapi
    import routes.context_compress as cc
    from fake_chat import FakeChat, place
    from snapshot import Snapshot

    STAMP = "2024-05-01T12:00:{:02d}+00:00"
    place(FakeChat({"choices": [{"message": {"content": " s "}}]}, record=False).module)

    def conv():
        msgs = [{"role": "tool" if i % 3 == 0 else "user", "tool_result": "r" * 50,
                 "content": ["一二三" * 100, {"type": "text", "text": "abc"}, {"type": "image"}] if i == 2
                 else "一二三" * 100, "timestamp": STAMP.format(i)} for i in range(12)]
        return {"id": 1, "cut_time": STAMP.format(0), "messages": msgs}

    msgs = conv()["messages"]
    CALLS = {
        "_parse_ts": lambda: cc._parse_ts("2024-05-01T12:00:00.5Z"),
        "add_seconds_rfc3339": lambda: cc.add_seconds_rfc3339("2024-05-01T12:00:00+08:00", 1.5),
        "get_conv_cut_time": lambda: cc.get_conv_cut_time({"messages": [{}, {"timestamp": "t"}]}),
        "get_conv_cut_time-clock": lambda: len(cc.get_conv_cut_time({})),
        "msgs_from_cut_time": lambda: len(cc.msgs_from_cut_time(conv())),
        "estimate_tokens_text": lambda: cc.estimate_tokens_text("一二三abc" * 50),
        "estimate_tokens_text-list": lambda: cc.estimate_tokens_text(["一", "b", "㐀"]),
        "estimate_tokens": lambda: cc.estimate_tokens(msgs),
        "_msgs_to_text": lambda: cc._msgs_to_text(msgs),
        "simple_extract": lambda: cc.simple_extract(msgs),
        "binding-error": lambda: cc.estimate_tokens(text=1),
    }

    def run(fn, start=None):
        # The hooks come off before anything here allocates.
        if start is not None:
            _testcapi.set_nomemory(start, start + 1)
        try:
            value = fn()
        except BaseException as exc:
            _testcapi.remove_mem_hooks()
            # The eval loop itself loses an exception when it cannot allocate
            # the frame object for a traceback entry, and then reports this
            # SystemError (seen with builtins too). A native function that
            # returns NULL without an exception gets another message.
            if isinstance(exc, SystemError) and str(exc) == "error return without exception set":
                return ("raised", "interpreter-frame")
            return ("raised", type(exc).__name__ + ("" if type(exc) is MemoryError else f" {exc}"))
        _testcapi.remove_mem_hooks()
        return ("ok", value)

    report = {}
    for name, fn in CALLS.items():
        baseline = run(fn)
        untouched = Snapshot(msgs)
        outcomes = collections.Counter()
        for start in range(0, 400):
            outcome = run(fn, start)
            if untouched.difference() is not None:
                outcomes["messages changed"] += 1
                untouched = Snapshot(msgs)
            if outcome == baseline:
                outcomes["as-baseline"] += 1
            elif outcome == ("raised", "MemoryError"):
                outcomes["MemoryError"] += 1
            elif outcome == ("raised", "interpreter-frame"):
                outcomes["interpreter-frame"] += 1
            elif name == "_parse_ts" and outcome == ("ok", None):
                outcomes["absorbed"] += 1
            elif name == "add_seconds_rfc3339" and outcome == ("ok", "2024-05-01T12:00:00+08:00"):
                outcomes["absorbed"] += 1
            else:
                outcomes["unexpected " + repr(outcome)] += 1
        report[name] = outcomes

    outcomes = collections.Counter()
    for start in range(0, 1500):
        c = conv()
        before = Snapshot(c)
        config = {"max_context": 3000}
        outcome = run(lambda: cc.cut_and_sum_history(c, config), start)
        if outcome[0] == "raised":
            untouched = before.difference() is None
            outcomes[outcome[1] + ("" if untouched else " conv-changed")] += 1
        else:
            compressed, stats = outcome[1]
            ok = (compressed and c["cut_time"] == stats["new_cut_time"]
                  and len(c["messages"]) == 12 - stats["compressed"] + 1)
            outcomes["compressed" if ok else "inconsistent"] += 1
    report["cut_and_sum_history"] = outcomes
    print(json.dumps(report))
""")


# Since 3.14 CPython keeps a free list of small ints: the estimators, whose
# only allocation is their int result, may take it from there and then never
# meet a failed allocation. What holds for them on every version is that each
# call gives the right result or MemoryError, and leaves the messages alone.
INT_RESULT_ONLY = {"estimate_tokens_text", "estimate_tokens"} if sys.version_info >= (3, 14) else set()


def test_allocation_failure_at_every_point_gives_memory_error_and_untouched_conv(run_python):
    _testcapi = pytest.importorskip("_testcapi")
    if not hasattr(_testcapi, "set_nomemory"):
        pytest.skip("this interpreter cannot fail allocations on request")
    report = run_python(NOMEMORY_CHILD, timeout=120)
    for name, outcomes in report.items():
        unexpected = {k: v for k, v in outcomes.items()
                      if k not in ("as-baseline", "MemoryError", "absorbed", "compressed", "interpreter-frame")}
        assert not unexpected, (name, outcomes)
        if name in INT_RESULT_ONLY:
            assert set(outcomes) <= {"as-baseline", "MemoryError"}, (name, outcomes)
        else:
            # Every function met at least one failed allocation and reported it.
            assert outcomes.get("MemoryError", 0) + outcomes.get("absorbed", 0) > 0, (name, outcomes)
    assert report["cut_and_sum_history"]["compressed"] > 0

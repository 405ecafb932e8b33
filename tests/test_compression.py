"""cut_and_sum_history: outcomes and statistics, the context window and keep
budget, the kept tail and the span, the summary message and its placement,
collaborators looked up at call time, and conversations never half-written."""

import sys
import types
from types import MappingProxyType

import pytest

import reference as ref
from context_compress.texts import (BODY_BOUND, BODY_MARKER, DEFAULT_MAX_CONTEXT, SUMMARY_NOTE as NOTE,
                                        SUMMARY_PREFIX as PREFIX, THRESHOLD)
from fake_chat import CHAT_MODULE, GOOD_SUMMARY, FakeChat
from shared import WINDOW_5000, Facade, GetRaises, T, assert_same_objects, msg
from snapshot import Snapshot
from surface import assert_raised_in


def summary_items(text, ts):
    return [("role", "user"), ("content", PREFIX + text + NOTE), ("timestamp", ts)]


def assert_result(result, compressed, stats):
    """The result is exactly (compressed, stats) with the stats keys in order."""
    assert type(result) is tuple and len(result) == 2
    assert result[0] is compressed
    assert type(result[1]) is dict
    assert list(result[1].items()) == stats
    if "rate" in result[1]:
        assert type(result[1]["rate"]) is float


def placement_conv():
    """Stamps that do not simply rise with list order. With WINDOW_5000: active
    c x d e h i (4127 tokens); kept e h i (1000 + 3 + 21 reaches 1024);
    new cut T(20); span c d; summary stamped T(21)."""
    return {
        "id": "conv-1",
        "created_at": T(0),
        "cut_time": T(10),
        "messages": [
            msg(T(5), 3, name="a"),  # before the cut: never active
            msg("", 3, name="b"),  # no stamp: never active
            msg(T(10), 3000, name="c"),
            msg(T(20), 3, name="x"),  # older, but stamped the new cut: survives
            msg(T(12), 100, name="d", tool_calls=[{"id": "call-1"}]),
            msg(T(20), 1000, name="e"),  # first kept
            msg(T(20), 3, name="h"),
            msg(T(21), 21, name="i", extra=object()),  # first survivor at or after the summary stamp
        ],
        "title": "kept as is",
    }


def named(conv):
    return {m["name"]: m for m in conv["messages"]}


# --- outcomes and statistics ------------------------------------------------------------


def _unstamped_cut(ns):
    ns["get_conv_cut_time"] = lambda conv: ""


OUTCOMES = [
    pytest.param(lambda: None, None, None, False, [], id="conv_none"),
    pytest.param(dict, None, None, False, [], id="conv_empty"),
    pytest.param(lambda: {"id": 1, "messages": []}, None, None, False, [], id="messages_empty"),
    pytest.param(lambda: {"id": 1, "cut_time": T(1), "messages": None}, None, None, False, [],
                 id="messages_none"),
    pytest.param(lambda: {"cut_time": T(30), "messages": [msg(T(10), 5000), msg(T(20), 5000)]},
                 WINDOW_5000, None, False, [], id="no_active_message"),
    pytest.param(lambda: {"messages": [msg(T(10), 2000), msg(T(11), 2000)]},
                 WINDOW_5000, None, False, [("rate", 0.8), ("total_tokens", 4000), ("max_context", 5000)],
                 id="rate_at_threshold"),
    pytest.param(lambda: {"messages": [msg(T(10), 3000), msg("", 1500)]},
                 WINDOW_5000, _unstamped_cut, False, [("rate", 0.9)], id="first_kept_unstamped"),
    pytest.param(lambda: {"cut_time": T(20), "messages": [msg(T(20), 3000), msg(T(20), 1500)]},
                 WINDOW_5000, None, False, [("rate", 0.9)], id="span_empty_same_stamp"),
    pytest.param(lambda: {"messages": [msg(T(10), 5000)]},
                 WINDOW_5000, None, False, [("rate", 1.0)], id="single_active_message"),
    pytest.param(lambda: {"messages": [msg(T(10), 3000), msg(T(11), 1500)]},
                 WINDOW_5000, None, True,
                 [("rate", 0.9), ("total_tokens", 4500), ("max_context", 5000), ("kept", 1),
                  ("compressed", 1), ("new_cut_time", T(11))], id="compressed"),
]


@pytest.mark.parametrize("make_conv, llm_config, setup, compressed, stats", OUTCOMES)
def test_outcome_stats_keys_values_and_untouched_conv(module, namespace, chat, make_conv, llm_config,
                                                      setup, compressed, stats):
    shifts = []
    real_shift = namespace["add_seconds_rfc3339"]
    namespace["add_seconds_rfc3339"] = lambda *args: shifts.append(args) or real_shift(*args)
    if setup:
        setup(namespace)
    conv = make_conv()
    snap = Snapshot(conv)

    assert_result(module.cut_and_sum_history(conv, llm_config), compressed, stats)

    # The summary request and the stamp shift happen only when compression goes ahead.
    assert len(chat.calls) == len(shifts) == (1 if compressed else 0)
    if compressed:
        assert conv["cut_time"] == stats[-1][1]
    else:
        snap.assert_unchanged()


DEFAULT = DEFAULT_MAX_CONTEXT
AT_THRESHOLD = int(DEFAULT * THRESHOLD)  # four fifths of the default window


@pytest.mark.parametrize("llm_config, total, compressed, stats", [
    pytest.param(None, AT_THRESHOLD, False,
                 [("rate", THRESHOLD), ("total_tokens", AT_THRESHOLD), ("max_context", DEFAULT)],
                 id="default_window_at_0.8"),
    pytest.param(None, AT_THRESHOLD + 1, True,
                 [("rate", (AT_THRESHOLD + 1) / DEFAULT), ("total_tokens", AT_THRESHOLD + 1), ("max_context", DEFAULT),
                  ("kept", 1), ("compressed", 1), ("new_cut_time", T(11))], id="default_window_one_token_over"),
    pytest.param({"max_context": 1000}, 800, False, [("rate", 0.8), ("total_tokens", 800), ("max_context", 1000)],
                 id="window_1000_at_0.8"),
    # Over the threshold the walk runs; the budget floor of 1024 swallows both messages.
    pytest.param({"max_context": 1000}, 801, False, [("rate", 0.801)], id="window_1000_one_token_over"),
])
def test_threshold_compresses_only_strictly_above_four_fifths(module, chat, llm_config, total, compressed, stats):
    conv = {"messages": [msg(T(10), 3), msg(T(11), total - 3)]}
    assert_result(module.cut_and_sum_history(conv, llm_config), compressed, stats)


# --- context window and keep budget ------------------------------------------------------


WINDOWS = [
    pytest.param(None, DEFAULT, id="none"),
    pytest.param({}, DEFAULT, id="empty_dict"),
    pytest.param({"max_context": 5000}, 5000, id="int"),
    pytest.param({"max_context": "5000"}, 5000, id="decimal_text"),
    pytest.param({"max_context": "abc"}, DEFAULT, id="letters_text"),
    pytest.param({"max_context": 0}, DEFAULT, id="zero"),
    pytest.param({"max_context": -5}, DEFAULT, id="negative"),
    pytest.param({"max_context": None}, DEFAULT, id="none_value"),
    pytest.param({"max_context": 1234.9}, 1234, id="float_truncated"),
    pytest.param({"max_context": -0.5}, DEFAULT, id="float_truncated_to_zero"),
    pytest.param({"max_context": float("inf")}, DEFAULT, id="float_inf"),
    pytest.param({"max_context": float("nan")}, DEFAULT, id="float_nan"),
    pytest.param({"max_context": [5000]}, DEFAULT, id="list_value"),
    pytest.param([("max_context", 5000)], DEFAULT, id="pairs_not_a_dict"),
    pytest.param(MappingProxyType({"max_context": 5000}), DEFAULT, id="mapping_not_a_dict"),
    pytest.param("max_context", DEFAULT, id="text_not_a_dict"),
    pytest.param(Facade({"max_context": 6000}, max_context=999), 6000, id="dict_subclass_own_get"),
    pytest.param(GetRaises("max_context", max_context=5000), DEFAULT, id="dict_subclass_get_raises"),
]


@pytest.mark.parametrize("llm_config, window", WINDOWS)
def test_window_read_from_dict_config_with_fallbacks(module, no_chat, llm_config, window):
    conv = {"messages": [msg(T(10), 3)]}
    result = module.cut_and_sum_history(conv, llm_config)
    assert_result(result, False, [("rate", 3 / window), ("total_tokens", 3), ("max_context", window)])
    assert type(result[1]["max_context"]) is int


@pytest.mark.parametrize("window, sizes, kept", [
    pytest.param(5000, [3100, 500, 524], 2, id="floor_1024_reached_exactly"),
    pytest.param(5000, [3100, 499, 524], None, id="floor_1024_missed_by_one"),
    pytest.param(10250, [8000, 500, 525], 2, id="tenth_1025_reached_exactly"),
    pytest.param(10250, [8000, 500, 524], None, id="tenth_1025_missed_by_one"),
    pytest.param(DEFAULT, [150000, 10000, 10000], 2, id="default_20000_reached_exactly"),
    pytest.param(DEFAULT, [150000, 9999, 10000], None, id="default_20000_missed_by_one"),
])
def test_keep_budget_is_tenth_of_window_at_least_1024(module, chat, window, sizes, kept):
    conv = {"messages": [msg(T(10 + i), n) for i, n in enumerate(sizes)]}
    total = sum(sizes)
    result = module.cut_and_sum_history(conv, None if window == DEFAULT else {"max_context": window})
    if kept is None:
        # The walk never reaches the budget: the tail is everything, the span empty.
        assert_result(result, False, [("rate", total / window)])
    else:
        assert_result(result, True, [("rate", total / window), ("total_tokens", total), ("max_context", window),
                                     ("kept", kept), ("compressed", 1), ("new_cut_time", T(11))])


# --- kept tail, span, summary message and placement ---------------------------------------


def test_rewrite_drops_span_and_places_summary_before_first_late_survivor(module, chat):
    conv = placement_conv()
    old_list = conv["messages"]
    before, old_list_before = Snapshot(conv), Snapshot(old_list)
    m = named(conv)

    result = module.cut_and_sum_history(conv, WINDOW_5000)

    assert_result(result, True, [("rate", 4127 / 5000), ("total_tokens", 4127), ("max_context", 5000),
                                 ("kept", 3), ("compressed", 2), ("new_cut_time", T(20))])
    new = conv["messages"]
    assert type(new) is list and new is not old_list
    # The old list and every message in it are exactly as they were.
    old_list_before.assert_unchanged()
    summary = new[5]
    assert_same_objects(new, [m["a"], m["b"], m["x"], m["e"], m["h"], summary, m["i"]])
    assert type(summary) is dict
    assert list(summary.items()) == summary_items(GOOD_SUMMARY, T(21))
    # Only cut_time changed among the conversation's own keys, in place.
    assert list(conv) == ["id", "created_at", "cut_time", "messages", "title"]
    assert conv["cut_time"] == result[1]["new_cut_time"]
    before.assert_unchanged(except_keys=("cut_time", "messages"))


def test_span_is_chosen_by_stamp_not_by_position(module, chat):
    # g is in the kept tail, yet stamped before the new cut: it is compressed too.
    c, e, g = msg(T(10), 3000), msg(T(20), 1000), msg(T(15), 30)
    conv = {"cut_time": T(10), "messages": [c, e, g]}
    result = module.cut_and_sum_history(conv, WINDOW_5000)
    assert_result(result, True, [("rate", 4030 / 5000), ("total_tokens", 4030), ("max_context", 5000),
                                 ("kept", 2), ("compressed", 2), ("new_cut_time", T(20))])
    assert_same_objects(conv["messages"][:1], [e])
    assert len(conv["messages"]) == 2
    assert chat.calls[0].messages[1]["content"] == (
        "[user] " + c["content"][:BODY_BOUND] + BODY_MARKER + "\n[user] " + g["content"])


@pytest.mark.parametrize("stamps, sequence, later, order, summary_ts", [
    # The newest message alone reaches the budget; the summary goes last, past an unstamped message.
    pytest.param((T(10), T(11)), list, [msg("", 3)], "ezS", T(12), id="summary_last_past_unstamped"),
    # 2 cannot be shifted: the summary carries it unchanged and stands before e.
    pytest.param((1, 2), list, [], "Se", 2, id="number_stamps_throughout"),
    pytest.param((T(10), T(11)), tuple, [], "eS", T(12), id="tuple_walked_and_replaced_by_list"),
])
def test_newest_alone_kept_and_summary_placed_by_its_stamp(module, chat, stamps, sequence, later, order, summary_ts):
    c, e = msg(stamps[0], 3000), msg(stamps[1], 1500)
    conv = {"id": 7, "messages": sequence([c, e, *later])}
    result = module.cut_and_sum_history(conv, WINDOW_5000)
    assert_result(result, True, [("rate", 0.9), ("total_tokens", 4500), ("max_context", 5000),
                                 ("kept", 1), ("compressed", 1), ("new_cut_time", stamps[1])])
    new = conv["messages"]
    assert type(new) is list
    summary = new[order.index("S")]
    assert_same_objects(new, [{"e": e, "z": later and later[0], "S": summary}[ch] for ch in order])
    assert list(summary.items()) == summary_items(GOOD_SUMMARY, summary_ts)
    assert list(conv) == ["id", "messages", "cut_time"] and conv["cut_time"] == stamps[1]


# --- summary timestamp and the cut-time window ------------------------------------------


STAMP_FORMATS = {
    "utc_layout": "2024-05-01T12:00:{:02d}+00:00",
    "z": "2024-05-01T12:00:{:02d}Z",
    "plus_eight": "2024-05-01T12:00:{:02d}+08:00",
    "minus_five": "2024-05-01T12:00:{:02d}-05:00",
    "naive": "2024-05-01T12:00:{:02d}",
    "unparsable": "step {:02d}",
}
NEW_CUT = None  # the summary is stamped with the new cut time itself


@pytest.mark.parametrize("fmt, zone, summary_ts, order", [
    pytest.param("utc_layout", "UTC0", "2024-05-01T12:00:21+00:00", "eSk", id="utc_layout"),
    pytest.param("z", "UTC0", "2024-05-01T12:00:21+00:00", "eSk", id="z"),
    pytest.param("naive", "UTC0", "2024-05-01T12:00:21+00:00", "eSk", id="naive_host_utc"),
    pytest.param("minus_five", "UTC0", "2024-05-01T17:00:21+00:00", "ekS", id="minus_five"),
    pytest.param("naive", "EST+5", "2024-05-01T17:00:21+00:00", "ekS", id="naive_host_west"),
    pytest.param("plus_eight", "UTC0", NEW_CUT, "Sek", id="plus_eight_mended"),
    pytest.param("plus_eight", "EST+5", NEW_CUT, "Sek", id="plus_eight_mended_host_west"),
    pytest.param("naive", "CST-8", NEW_CUT, "Sek", id="naive_host_east_mended"),
    pytest.param("unparsable", "UTC0", NEW_CUT, "Sek", id="unparsable_unchanged"),
])
def test_summary_stamp_never_sorts_before_new_cut(module, chat, local_zone, fmt, zone, summary_ts, order):
    local_zone(zone)
    stamp = STAMP_FORMATS[fmt].format
    c, e, k = msg(stamp(10), 3000), msg(stamp(20), 1500), msg(stamp(25), 3)
    conv = {"messages": [c, e, k]}

    result = module.cut_and_sum_history(conv, WINDOW_5000)

    assert_result(result, True, [("rate", 4503 / 5000), ("total_tokens", 4503), ("max_context", 5000),
                                 ("kept", 2), ("compressed", 1), ("new_cut_time", stamp(20))])
    new = conv["messages"]
    summary = new[order.index("S")]
    assert_same_objects(new, [{"e": e, "k": k, "S": summary}[ch] for ch in order])
    expected_ts = stamp(20) if summary_ts is NEW_CUT else summary_ts
    assert list(summary.items()) == summary_items(GOOD_SUMMARY, expected_ts)
    assert conv["cut_time"] == stamp(20)
    # The summary always lies inside the window the host feeds to the LLM.
    window = module.msgs_from_cut_time(conv)
    assert any(x is summary for x in window)
    if summary_ts is NEW_CUT:
        assert_same_objects(window, [summary, e, k])


# --- collaborators --------------------------------------------------------------------------


class RaisingModule(types.ModuleType):
    def __getattr__(self, name):
        raise RuntimeError(f"cannot load {name}")


# routes.chat as the summary request finds it: when it cannot give
# _call_llm_api, the extract summarises the span.
CHAT_LAYERS = {
    "answers": lambda fake: fake.module,
    "module_missing": lambda fake: None,
    "function_missing": lambda fake: types.ModuleType(CHAT_MODULE),
    "attribute_lookup_raises": lambda fake: RaisingModule(CHAT_MODULE),
}


@pytest.mark.parametrize("chat_layer", sorted(CHAT_LAYERS))
def test_collaborators_looked_up_by_name_at_call_time_in_order(module, namespace, monkeypatch, chat_layer):
    fake = FakeChat()
    monkeypatch.setitem(sys.modules, CHAT_MODULE, CHAT_LAYERS[chat_layer](fake))
    events, args = fake.events, {}

    def recorder(name, result):
        real = namespace[name]

        def record(*a):
            events.append(name)
            args.setdefault(name, []).append(a)
            return result(real, *a)

        return record

    # A falsy cut makes every message active, the unstamped ones included.
    namespace["get_conv_cut_time"] = recorder("get_conv_cut_time", lambda real, conv: "")
    for name in ("estimate_tokens", "_msgs_to_text", "simple_extract"):
        namespace[name] = recorder(name, lambda real, msgs: real(msgs))
    namespace["add_seconds_rfc3339"] = recorder("add_seconds_rfc3339",
                                                lambda real, ts, secs: "2024-05-01T12:00:20.5+00:00")
    conv = placement_conv()
    m = named(conv)
    old_list = conv["messages"]
    every = list(old_list)

    result = module.cut_and_sum_history(conv, WINDOW_5000)

    request = ["lookup", "_msgs_to_text", "call"] if chat_layer == "answers" else ["simple_extract", "_msgs_to_text"]
    assert events == ["get_conv_cut_time", *["estimate_tokens"] * 4, *request, "add_seconds_rfc3339"]
    assert args["get_conv_cut_time"] == [(conv,)] and args["get_conv_cut_time"][0][0] is conv
    estimated = [a[0] for a in args["estimate_tokens"]]
    assert all(type(x) is list and x is not old_list for x in estimated)
    assert_same_objects(estimated[0], every)
    # The walk goes from the newest message back, and stops at the budget.
    for got, name in zip(estimated[1:], "ihe"):
        assert_same_objects(got, [m[name]])
    span = [m["a"], m["b"], m["c"], m["d"]]
    for name in args.keys() & {"_msgs_to_text", "simple_extract"}:
        assert len(args[name]) == 1
        assert_same_objects(args[name][0][0], span)
    (shift_args,) = args["add_seconds_rfc3339"]
    assert shift_args == (T(20), 1) and type(shift_args[1]) is int

    assert result[0] is True and result[1]["compressed"] == 4 and result[1]["kept"] == 3
    new = conv["messages"]
    summary = new[3]
    assert_same_objects(new, [m["x"], m["e"], m["h"], summary, m["i"]])
    text = GOOD_SUMMARY if chat_layer == "answers" else ref.simple_extract(span)
    assert list(summary.items()) == summary_items(text, "2024-05-01T12:00:20.5+00:00")


# --- never half-written -----------------------------------------------------------------------


class InterruptingGet(dict):
    def get(self, key, default=None):
        raise KeyboardInterrupt


def fails(exc, after=0):
    """A rebinding of a collaborator: the real one for `after` calls, then `exc`."""
    def rebind(real):
        calls = []

        def collaborator(*args):
            calls.append(args)
            if len(calls) > after:
                raise exc
            return real(*args)

        return collaborator

    return rebind


# The store, the chat layer and every get() and __str__ failing are
# test_fault_injection's and test_summary_request's.
FAULTS = [  # (names rebound, the config, a change to the messages, the exception)
    pytest.param({"get_conv_cut_time": fails(LookupError("cut"))}, WINDOW_5000, None, LookupError,
                 id="get_conv_cut_time_raises"),
    *[pytest.param({"estimate_tokens": fails(ArithmeticError("estimate"), after)}, WINDOW_5000, None, ArithmeticError,
                   id=f"estimate_tokens_raises_on_{step}") for after, step in [(0, "total"), (1, "first_walk_step"),
                                                                               (3, "budget_step")]],
    pytest.param({CHAT_MODULE: None, "simple_extract": fails(RuntimeError("extract"))}, WINDOW_5000, None, RuntimeError,
                 id="simple_extract_raises"),
    pytest.param({"add_seconds_rfc3339": fails(OverflowError("shift"))}, WINDOW_5000, None, OverflowError,
                 id="add_seconds_rfc3339_raises"),
    pytest.param({}, InterruptingGet(max_context=5000), None, KeyboardInterrupt, id="config_get_keyboard_interrupt"),
    pytest.param({}, WINDOW_5000, lambda msgs: msgs.append({"role": "user", "content": "late", "timestamp": 5}),
                 TypeError, id="number_stamp_against_text_cut"),
    pytest.param({}, WINDOW_5000, lambda msgs: msgs.insert(3, None), AttributeError, id="message_without_get"),
]


@pytest.mark.parametrize("rebind, config, change, exc_type", FAULTS)
def test_failure_leaves_conv_exactly_as_before(module, namespace, monkeypatch, chat, rebind, config, change, exc_type):
    for name, make in rebind.items():
        if name == CHAT_MODULE:
            monkeypatch.setitem(sys.modules, name, make)
        else:
            namespace[name] = make(namespace[name])
    conv = placement_conv()
    if change:
        change(conv["messages"])
    snap = Snapshot(conv)

    with pytest.raises(exc_type) as info:
        module.cut_and_sum_history(conv, config)

    assert type(info.value) is exc_type
    snap.assert_unchanged()
    assert_raised_in(info.value, "cut_and_sum_history")


class ClearingMessage(dict):
    """A message whose n-th reading of its timestamp empties the conversation's list."""

    def __init__(self, conv, n, **entries):
        super().__init__(**entries)
        self.conv, self.n, self.reads = conv, n, 0

    def get(self, key, default=None):
        if key == "timestamp":
            self.reads += 1
            if self.reads == self.n:
                self.conv["messages"].clear()
        return super().get(key, default)


@pytest.mark.parametrize("n, compressed, stats", [
    # Read 1 is the active pass: only the clearing message itself is active.
    pytest.param(1, False, [("rate", 4 / 5000), ("total_tokens", 4), ("max_context", 5000)], id="active_pass"),
    # Read 2 is the span pass: the span ends with the clearing message.
    pytest.param(2, True, [("rate", 4104 / 5000), ("total_tokens", 4104), ("max_context", 5000), ("kept", 1),
                           ("compressed", 1), ("new_cut_time", T(20))], id="span_pass"),
    # Read 3 is the rewrite: nothing is left to keep but the summary.
    pytest.param(3, True, [("rate", 4104 / 5000), ("total_tokens", 4104), ("max_context", 5000), ("kept", 1),
                           ("compressed", 2), ("new_cut_time", T(20))], id="rewrite_pass"),
])
def test_message_list_emptied_mid_call_is_walked_like_python_iteration(module, chat, n, compressed, stats):
    conv = {"cut_time": T(10), "messages": []}
    trap = ClearingMessage(conv, n, role="user", content="trap", timestamp=T(10))
    conv["messages"] += [trap, msg(T(11), 3000), msg(T(20), 1100)]
    old_list = conv["messages"]

    assert_result(module.cut_and_sum_history(conv, WINDOW_5000), compressed, stats)

    assert old_list == []
    if compressed:
        assert conv["messages"] is not old_list
        assert [list(x.items()) for x in conv["messages"]] == [summary_items(GOOD_SUMMARY, T(21))]
        assert conv["cut_time"] == T(20)
    else:
        assert conv["messages"] is old_list and conv["cut_time"] == T(10)

"""Properties of cut_and_sum_history over generated conversations.

Conversations mix scripts, astral characters and lone surrogates, list
contents with every kind of part, tool messages, stamps in several layouts
(and missing or falsy), unsorted stamps, falsy keys and dict subclasses.
Examples per test come from the Hypothesis profile (strategies.py). The
estimator, the transcript and the extract are compared with the reference
on generated input in their own test files."""

from hypothesis import assume, event, given
from hypothesis import strategies as st

import routes.context_compress as cc
import strategies
from context_compress.texts import SUMMARY_NOTE, SUMMARY_PREFIX, THRESHOLD, keep_budget
from fake_chat import FakeChat, placed
from shared import PlainDict
from snapshot import Snapshot

# --- strategies ----------------------------------------------------------------

MISSING = object()

texts = st.text(strategies.characters, max_size=40)


def scaled(text_strategy):
    # Repetition reaches thousands of tokens without generating long texts.
    return st.builds(lambda t, k: t * k, text_strategy, st.sampled_from([1, 1, 3, 60, 600]))


class GetSub(dict):
    """A record whose own get() is the one that must be used."""

    def get(self, key, default=None):
        return super().get(key, default)


record_types = st.sampled_from([dict, dict, dict, PlainDict, GetSub])

LAYOUTS = [
    "2024-05-01T12:{m:02d}:{s:02d}+00:00",
    "2024-05-01T12:{m:02d}:{s:02d}.250000+00:00",
    "2024-05-01T12:{m:02d}:{s:02d}Z",
    "2024-05-01T12:{m:02d}:{s:02d}+08:00",
    "2024-05-01T12:{m:02d}:{s:02d}",
    "2024-05-01 12:{m:02d}:{s:02d}",
    "2024-05-{m:02d}",
    "not a stamp {s}",
]


@st.composite
def stamps(draw, layout=None):
    kind = draw(st.integers(0, 9))
    if kind == 0:
        return draw(st.sampled_from([None, "", MISSING, 0]))
    index = layout if layout is not None else draw(st.sampled_from(range(len(LAYOUTS))))
    return LAYOUTS[index].format(m=draw(st.integers(0, 3)), s=draw(st.integers(0, 59)))


@st.composite
def messages(draw, layout):
    """A message of strategies.messages in a record of any type, stamped (or
    not) in `layout`, with an extra key now and then."""
    m = draw(record_types)(draw(strategies.messages))
    stamp = draw(stamps(layout))
    if stamp is not MISSING:
        m["timestamp"] = stamp
    if draw(st.booleans()):
        m["extra"] = draw(texts)
    return m


@st.composite
def conversations(draw):
    # Most conversations keep one layout, so that text order is time order.
    layout = draw(st.one_of(st.just(0), st.just(0), st.just(None)))
    msgs = draw(st.lists(messages(layout), min_size=1, max_size=14))
    conv = draw(record_types)()
    conv["id"] = draw(st.integers())
    for key in ("created_at", "cut_time"):
        choice = draw(st.integers(0, 3))
        if choice == 1:
            conv[key] = draw(st.sampled_from([None, ""]))
        elif choice >= 2:
            stamp = draw(stamps(layout))
            if stamp is not MISSING:
                conv[key] = stamp
            elif key == "cut_time":
                # A cut before every message.
                conv[key] = "2024-05-01T11:00:00+00:00"
    if draw(st.integers(0, 9)) == 0:
        msgs = draw(st.sampled_from([[], None]))
    conv["messages"] = msgs
    conv["tags"] = ["kept as is"]
    return conv


@st.composite
def heavy_conversations(draw):
    """Conversations in the module's own layout that usually fill a small
    window, so that most of them get compressed."""
    n = draw(st.integers(2, 14))
    seconds = sorted(draw(st.lists(st.integers(0, 59), min_size=n, max_size=n)))
    if draw(st.integers(0, 3)) == 0:
        seconds = draw(st.permutations(seconds))
    heavy = st.one_of(
        scaled(st.text(strategies.characters, min_size=1, max_size=40)),
        st.lists(strategies.parts, min_size=1, max_size=4).map(lambda p: p + [{"type": "image_url"}]),
    )
    msgs = []
    for s in seconds:
        m = draw(messages(0))
        m["content"] = draw(st.one_of(heavy, heavy, strategies.contents))
        if draw(st.integers(0, 7)):
            m["timestamp"] = LAYOUTS[0].format(m=0, s=s)
        msgs.append(m)
    conv = draw(record_types)(id=1, messages=msgs)
    if draw(st.booleans()):
        conv["cut_time"] = LAYOUTS[0].format(m=0, s=draw(st.integers(0, 10)))
    return conv


small_windows = st.builds(lambda w: {"max_context": w}, st.sampled_from([1024, 1024, 1500, 2000, 3000, "2500"]))
configs = st.one_of(
    st.none(),
    st.builds(lambda w: {"model": "m"} if w is MISSING else {"max_context": w, "model": "m"},
              st.sampled_from([None, 0, -5, "abc", 1024, 2000, 3000, 5000, 12000, "2500", 4000.7, MISSING])),
    st.just([("max_context", 100)]),
)

# The chat layers a compression meets: an answer, a blank one, none, a
# failure, and no routes.chat at all (None: the import fails).
CHATS = {
    "answer": lambda: FakeChat({"choices": [{"message": {"content": "  the summary \n"}}]}, record=False).module,
    "blank": lambda: FakeChat({"choices": [{"message": {"content": " \n "}}]}, record=False).module,
    "none": lambda: FakeChat(None, record=False).module,
    "raise": lambda: FakeChat(ValueError("down"), record=False).module,
    "missing": lambda: None,
}


def stamp_of(m):
    return m.get("timestamp") or ""


# --- cut_and_sum_history -------------------------------------------------------


@given(conv=conversations(), config=configs, chat=st.sampled_from(sorted(CHATS)))
def test_compression_of_any_conversation_keeps_its_promises(conv, config, chat):
    with placed(CHATS[chat]()):
        check_compression(conv, config)


@given(conv=heavy_conversations(), config=small_windows, chat=st.sampled_from(sorted(CHATS)))
def test_compression_of_full_conversation_keeps_its_promises(conv, config, chat):
    with placed(CHATS[chat]()):
        check_compression(conv, config)


def check_compression(conv, config):
    whole = Snapshot(conv)
    messages = dict.get(conv, "messages")
    old_list = Snapshot(messages)
    before = list(messages) if isinstance(messages, list) else []
    cut = cc.get_conv_cut_time(conv) if before else None
    compressed, stats = cc.cut_and_sum_history(conv, config)
    event(f"compressed={compressed} stats={len(stats)}")

    if not compressed:
        assert compressed is False
        assert list(stats) in ([], ["rate", "total_tokens", "max_context"], ["rate"])
        whole.assert_unchanged()
        return

    assert compressed is True
    assert list(stats) == ["rate", "total_tokens", "max_context", "kept", "compressed", "new_cut_time"]
    new_cut = stats["new_cut_time"]
    assert conv["cut_time"] == new_cut

    # The kept tail: the newest active messages, no more than it takes to
    # reach the keep budget, starting at the new cut time.
    active = [m for m in before if not cut or stamp_of(m) >= cut]
    assert stats["total_tokens"] == cc.estimate_tokens(active)
    assert stats["rate"] == stats["total_tokens"] / stats["max_context"] > THRESHOLD
    kept = active[-stats["kept"]:]
    assert stamp_of(kept[0]) == new_cut
    budget = keep_budget(stats["max_context"])
    tail = [cc.estimate_tokens([m]) for m in kept]
    assert sum(tail[1:]) < budget
    assert sum(tail) >= budget or len(kept) == len(active)

    # The span: exactly the messages stamped from the old cut up to the new.
    removed = [m for m in before if cut <= stamp_of(m) < new_cut]
    assert stats["compressed"] == len(removed) > 0
    after = dict.__getitem__(conv, "messages")
    assert after is not messages
    assert len(after) == len(before) - stats["compressed"] + 1

    # Every survivor is the very same object, in the same order.
    removed_ids = {id(m) for m in removed}
    survivors = [m for m in before if id(m) not in removed_ids]
    new = [m for m in after if not any(m is b for b in before)]
    assert len(new) == 1
    summary = new[0]
    assert all(a is b for a, b in zip([m for m in after if m is not summary], survivors))
    # ...and the old list, every message and everything else in the
    # conversation are as they were.
    old_list.assert_unchanged()
    whole.assert_unchanged(except_keys=("messages", "cut_time"))

    # The summary message: its shape, stamp and place.
    assert type(summary) is dict and list(summary) == ["role", "content", "timestamp"]
    assert summary["role"] == "user"
    assert summary["content"].startswith(SUMMARY_PREFIX) and summary["content"].endswith(SUMMARY_NOTE)
    shifted = cc.add_seconds_rfc3339(new_cut, 1)
    expected_ts = new_cut if isinstance(shifted, str) and shifted < new_cut else shifted
    assert summary["timestamp"] == expected_ts
    place = next((i for i, m in enumerate(survivors) if stamp_of(m) >= expected_ts), len(survivors))
    assert after.index(summary) == place


@given(conv=heavy_conversations(), config=small_windows)
def test_compression_repeated_on_its_own_result_keeps_its_promises(conv, config):
    # The summary of one call is ordinary history for the next, once new
    # messages have filled the window again.
    with placed(CHATS["answer"]()):
        first, _ = cc.cut_and_sum_history(conv, config)
        assume(first)
        conv["messages"].extend({"role": "user", "content": [{"type": "image_url"}, "more"],
                                 "timestamp": LAYOUTS[0].format(m=1, s=s)} for s in range(3))
        check_compression(conv, config)

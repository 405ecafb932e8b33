"""The summary request inside cut_and_sum_history: what the host chat layer
receives, how its answer becomes the summary, and the fallback to the extract."""

import sys
from types import MappingProxyType

import pytest

from context_compress.texts import (BODY_BOUND, BODY_MARKER, SUMMARIZER_PROMPT, SUMMARY_MAX_TOKENS,
                                        SUMMARY_NOTE as NOTE, SUMMARY_PREFIX as PREFIX, TRANSCRIPT_BOUND,
                                        TRANSCRIPT_MARKER)
from fake_chat import CHAT_MODULE, GOOD_SUMMARY, FakeChat
from shared import WINDOW_5000, Facade, PlainStr, T, assert_same_objects, msg
from snapshot import Snapshot
from surface import assert_raised_in


def span_conv(kept_tokens=4500):
    """Nine short messages (4 tokens each) and one kept message of
    `kept_tokens`: the nine form the span whenever compression goes ahead."""
    span = [{"role": "user" if i % 2 else "assistant", "content": f"line {i}", "timestamp": T(9 + i)}
            for i in range(1, 10)]
    return {"id": "conv", "cut_time": T(10), "messages": [*span, msg(T(20), kept_tokens)]}


SPAN_LINES = [f"[{'user' if i % 2 else 'assistant'}] line {i}" for i in range(1, 10)]
SPAN_TEXT = "\n".join(SPAN_LINES)
EXTRACT_TEXT = "\n".join(SPAN_LINES[:3] + SPAN_LINES[4:])  # first three and last five


def summary_content(conv):
    (summary,) = [m for m in conv["messages"] if m.get("content", "").startswith(PREFIX)]
    return summary["content"]


# --- the request the chat layer receives --------------------------------------------------


def test_request_is_two_prompt_messages_positional_cfg_and_stream_false_keyword(module, chat):
    conv = span_conv()
    span = conv["messages"][:9]
    result = module.cut_and_sum_history(conv, WINDOW_5000)

    assert result[0] is True and result[1]["compressed"] == 9
    (call,) = chat.calls
    assert len(call.args) == 2
    assert list(call.kwargs) == ["stream"] and call.kwargs["stream"] is False
    prompt = call.args[0]
    assert type(prompt) is list and all(type(m) is dict for m in prompt)
    assert [list(m.items()) for m in call.messages] == [
        [("role", "system"), ("content", SUMMARIZER_PROMPT)],
        [("role", "user"), ("content", SPAN_TEXT)],
    ]
    assert call.messages[1]["content"] == module._msgs_to_text(span)
    # The answer is stripped of its surrounding blanks and framed.
    assert summary_content(conv) == PREFIX + GOOD_SUMMARY + NOTE


MAX_TOKENS = ("max_tokens", SUMMARY_MAX_TOKENS)
CONFIGS = [
    pytest.param(None, 170000, [MAX_TOKENS], id="none"),
    pytest.param({}, 170000, [MAX_TOKENS], id="empty_dict"),
    pytest.param({"model": "m", "max_context": 5000, "max_tokens": 99, "temperature": 0.2}, 4500,
                 [("model", "m"), ("max_context", 5000), MAX_TOKENS, ("temperature", 0.2)],
                 id="caller_max_tokens_replaced_in_place"),
    pytest.param({"max_context": 5000, "api_key": "k"}, 4500,
                 [("max_context", 5000), ("api_key", "k"), MAX_TOKENS], id="max_tokens_appended"),
    pytest.param([("max_context", 5000), ("model", "m")], 170000,
                 [("max_context", 5000), ("model", "m"), MAX_TOKENS], id="pairs_copied_not_read"),
    pytest.param(MappingProxyType({"model": "m"}), 170000, [("model", "m"), MAX_TOKENS],
                 id="mapping_copied_not_read"),
    # The window comes from the subclass's get (6000), the copy from its items.
    pytest.param(Facade({"max_context": 6000}, max_context=999), 5000, [("max_context", 999), MAX_TOKENS],
                 id="dict_subclass_own_get"),
]


@pytest.mark.parametrize("llm_config, kept_tokens, cfg_items", CONFIGS)
def test_cfg_is_fresh_copy_with_max_tokens_2048_and_caller_untouched(module, chat, llm_config, kept_tokens,
                                                                     cfg_items):
    before = Snapshot(llm_config)
    conv = span_conv(kept_tokens)

    assert module.cut_and_sum_history(conv, llm_config)[0] is True

    (call,) = chat.calls
    assert type(call.args[1]) is dict and call.args[1] is not llm_config
    assert list(call.cfg.items()) == cfg_items
    before.assert_unchanged()


@pytest.mark.parametrize("llm_config", ["abc", 5], ids=["text", "int"])
def test_config_dict_constructor_rejects_falls_back_without_request(module, chat, llm_config):
    conv = span_conv(170000)
    assert module.cut_and_sum_history(conv, llm_config)[0] is True
    assert chat.calls == []
    assert summary_content(conv) == PREFIX + EXTRACT_TEXT + NOTE


# --- the answer and the fallback -------------------------------------------------------------


def _answer(content):
    return {"choices": [{"message": {"content": content}}]}


class ContentGet(dict):
    """A message mapping whose get tells another story than its items."""

    def __init__(self, via_get, via_item):
        super().__init__(content=via_item)
        self.via_get = via_get

    def get(self, key, default=None):
        return self.via_get if key == "content" else super().get(key, default)


class StrippedTo(str):
    """A content whose strip() answers `value`."""

    def __new__(cls, text, value):
        self = super().__new__(cls, text)
        self.value = value
        return self

    def strip(self, *args):
        return self.value


def hostile(**methods):
    """An object whose class has `methods`; an exception stands for a method that raises it."""
    def raising(exc):
        def method(self, *args, **kwargs):
            raise exc
        return method
    return type("Hostile", (), {k: raising(v) if isinstance(v, BaseException) else v for k, v in methods.items()})()


class CustomBase(BaseException):
    pass


EXTRACT = object()  # the extract stands in for the summary
# An exception (or its class) as the answer is the chat layer raising it.
ANSWERS = [
    pytest.param(_answer(" \n\t "), EXTRACT, id="whitespace_only"),
    pytest.param(_answer(""), EXTRACT, id="content_empty"),
    pytest.param(_answer(None), EXTRACT, id="content_none"),
    pytest.param(_answer(["summary text"]), EXTRACT, id="content_list_without_strip"),
    pytest.param({"choices": [{"message": {}}]}, EXTRACT, id="message_without_content"),
    pytest.param({"choices": [{"text": "summary"}]}, EXTRACT, id="choice_without_message"),
    pytest.param({"choices": [{"message": "summary"}]}, EXTRACT, id="message_not_a_mapping"),
    pytest.param({"choices": [None]}, EXTRACT, id="first_choice_none"),
    pytest.param({"choices": {"first": 1}}, EXTRACT, id="choices_not_indexable_by_0"),
    pytest.param({"choices": hostile(__bool__=lambda s: True, __getitem__=IndexError())}, EXTRACT,
                 id="choices_index_raises"),
    pytest.param({"choices": []}, EXTRACT, id="choices_empty"),
    pytest.param({"choices": None}, EXTRACT, id="choices_none"),
    pytest.param({"id": "x"}, EXTRACT, id="choices_missing"),
    pytest.param(None, EXTRACT, id="response_none"),
    pytest.param([("choices", 1)], EXTRACT, id="response_without_get"),
    pytest.param(hostile(__bool__=ValueError("x")), EXTRACT, id="response_bool_raises"),
    pytest.param(hostile(get=LookupError()), EXTRACT, id="response_get_raises"),
    pytest.param(_answer(hostile(__bool__=RuntimeError())), EXTRACT, id="content_bool_raises"),
    pytest.param(_answer(StrippedTo("x", "")), EXTRACT, id="content_strip_returns_empty"),
    pytest.param(ValueError("service down"), EXTRACT, id="raises_value_error"),
    pytest.param(MemoryError(), EXTRACT, id="raises_memory_error"),
    pytest.param({"choices": [{"message": ContentGet("", "  from item ")}]}, EXTRACT, id="get_content_falsy"),
    # What only the caller may handle propagates, the conversation untouched.
    pytest.param(KeyboardInterrupt, KeyboardInterrupt, id="raises_keyboard_interrupt"),
    pytest.param(SystemExit, SystemExit, id="raises_system_exit"),
    pytest.param(GeneratorExit(), GeneratorExit, id="raises_generator_exit"),
    pytest.param(CustomBase(), CustomBase, id="raises_custom_base_exception"),
    pytest.param(hostile(__bool__=SystemExit(2)), SystemExit, id="response_bool_raises_system_exit"),
    pytest.param(hostile(get=KeyboardInterrupt()), KeyboardInterrupt, id="response_get_interrupted"),
    pytest.param({"choices": hostile(__bool__=KeyboardInterrupt())}, KeyboardInterrupt, id="choices_bool_interrupted"),
    pytest.param(_answer(hostile(strip=SystemExit())), SystemExit, id="content_strip_raises_system_exit"),
    # The summary is built outside the request: what fails there is no unusable answer.
    pytest.param(_answer(StrippedTo("x", 42)), TypeError, id="content_strip_returns_int"),
    pytest.param(_answer(b"  bytes  "), TypeError, id="content_bytes"),
    # Usable answers: checked with get, read by subscript, stripped and framed.
    pytest.param(_answer("  summary text \n"), GOOD_SUMMARY, id="answer"),
    pytest.param({"choices": [{"message": ContentGet("from get", "  from item \n")}]}, "from item",
                 id="content_checked_with_get_read_by_subscript"),
    pytest.param(_answer(StrippedTo("x", PlainStr("loud"))), "loud", id="content_strip_returns_subclass"),
    pytest.param(_answer("\u6458" * 200_000), "\u6458" * 200_000, id="huge_content"),
]


@pytest.mark.parametrize("answer, expected", ANSWERS)
def test_answer_not_summary_not_extract_or_not_propagated(module, chat, answer, expected):
    chat.answer = answer
    conv = span_conv()
    before = Snapshot(conv)
    if isinstance(expected, type):
        with pytest.raises(expected) as info:
            module.cut_and_sum_history(conv, WINDOW_5000)
        assert not isinstance(answer, BaseException) or info.value is answer
        assert_raised_in(info.value, "cut_and_sum_history")
        before.assert_unchanged()
        return
    assert module.cut_and_sum_history(conv, WINDOW_5000)[0] is True
    assert len(chat.calls) == 1
    assert summary_content(conv) == PREFIX + (EXTRACT_TEXT if expected is EXTRACT else expected) + NOTE


# --- import, transcript and extract ----------------------------------------------------------


def _record(namespace, events, name, replacement=None):
    real = namespace[name]

    def record(msgs):
        events.append(name)
        return (replacement or real)(msgs)

    namespace[name] = record


def test_chat_module_imported_afresh_for_each_request(module, monkeypatch):
    first, second = FakeChat(), FakeChat(_answer("second"))
    monkeypatch.setitem(sys.modules, CHAT_MODULE, first.module)
    conv1 = span_conv()
    module.cut_and_sum_history(conv1, WINDOW_5000)
    monkeypatch.setitem(sys.modules, CHAT_MODULE, second.module)
    conv2 = span_conv()
    module.cut_and_sum_history(conv2, WINDOW_5000)
    assert (len(first.calls), len(second.calls)) == (1, 1)
    assert summary_content(conv1) == PREFIX + GOOD_SUMMARY + NOTE
    assert summary_content(conv2) == PREFIX + "second" + NOTE


def test_empty_transcript_makes_no_request_and_uses_extract(module, namespace, chat):
    extracted = []
    _record(namespace, chat.events, "simple_extract", lambda msgs: extracted.append(msgs) or "EXTRACT")
    span = [
        {"role": "user", "content": "", "timestamp": T(10)},
        {"role": "user", "timestamp": T(11)},
        {"role": "user", "content": [{"type": "image_url"}], "timestamp": T(12)},
    ]
    conv = {"cut_time": T(10), "messages": [*span, msg(T(20), 4500)]}

    assert module.cut_and_sum_history(conv, WINDOW_5000)[0] is True

    assert chat.calls == []
    assert chat.events == ["lookup", "simple_extract"]
    assert_same_objects(extracted[0], span)
    assert summary_content(conv) == PREFIX + "EXTRACT" + NOTE


@pytest.mark.parametrize("exc", [UnicodeError, KeyboardInterrupt, SystemExit])
def test_transcript_failure_absorbed_unless_no_exception(module, namespace, chat, exc):
    real, calls = namespace["_msgs_to_text"], []

    def flaky(msgs):
        calls.append(msgs)
        if len(calls) == 1:
            raise exc("transcript")
        return real(msgs)

    namespace["_msgs_to_text"] = flaky
    conv = span_conv()
    before = Snapshot(conv)
    if issubclass(exc, Exception):
        assert module.cut_and_sum_history(conv, WINDOW_5000)[0] is True
        # The extract's own transcript is the second.
        assert chat.calls == [] and len(calls) == 2
        assert summary_content(conv) == PREFIX + EXTRACT_TEXT + NOTE
        return
    with pytest.raises(exc) as info:
        module.cut_and_sum_history(conv, WINDOW_5000)
    assert len(calls) == 1  # no extract either
    before.assert_unchanged()
    assert_raised_in(info.value, "cut_and_sum_history")


# --- transcript bound -----------------------------------------------------------------------


@pytest.mark.parametrize("chat_present", [True, False], ids=["sent_to_chat", "used_as_extract"])
def test_long_span_cut_at_8000_chars_with_later_messages_marker(module, monkeypatch, chat_present):
    fake = FakeChat()
    monkeypatch.setitem(sys.modules, CHAT_MODULE, fake.module if chat_present else None)
    span = [{"role": "user", "content": letter * (BODY_BOUND + 1), "timestamp": T(10 + i)}
            for i, letter in enumerate("vwxyz")]
    conv = {"cut_time": T(10), "messages": [*span, msg(T(20), 1500)]}
    lines = ["[user] " + letter * BODY_BOUND + BODY_MARKER for letter in "vwxyz"]
    # Three whole lines, a newline, 1967 characters of the fourth, the marker.
    expected = "\n".join(lines)[:TRANSCRIPT_BOUND] + TRANSCRIPT_MARKER

    assert module.cut_and_sum_history(conv, WINDOW_5000)[0] is True

    if chat_present:
        assert fake.calls[0].messages[1]["content"] == expected
    else:
        assert summary_content(conv) == PREFIX + expected + NOTE

"""Compressor.compress_messages: a host's plain list of OpenAI- or
Anthropic-shaped messages, compressed before every turn of a simulated agent
chat, is a request the official clients' types and the APIs' tool rules
accept on every turn; no host message is changed, the system message stays
first, every user message taken out reaches the summary request, and the
list is compressed by the same threshold, budget and llm as a conversation."""

import copy
import json
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from api_requests import rule_problems, sdk_check
from context_compress import PLAIN_SUMMARY_PREFIX, Compressor
from context_compress.texts import SUMMARIZER_PROMPT

SYSTEM = "You are a coding agent. Never reveal internal ticket ids."
TINY_PNG = "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAQAAAC1HAwCAAAAC0lEQVR42mNkYAAAAAYAAjCB0C8AAAAASUVORK5CYII="
COMMANDS = ["pytest -q tests/test_search.py", "grep -rn TODO src", "cat src/api/search.py", "git log --oneline -5",
            "ls -la build", "python -m mypy src"]


def output(rng, turn, k):
    """A tool output: a few lines to a few thousand characters."""
    lines = [f"{turn}.{k}.{i} src/mod_{turn}_{i}.py:{rng.randint(1, 400)}: value {rng.randint(0, 9999)} ok"
             for i in range(rng.choice([1, 3, 10, 60]))]
    return "\n".join(lines)


class Chat:
    """A simulated agent chat in one API's shape: each turn a user message
    (sometimes with an image), one or two rounds of one to three tool calls
    with their results, and the assistant's answer."""

    def __init__(self, api, seed):
        self.api, self.rng = api, random.Random(seed)

    def user(self, turn):
        text = f"Step {turn}: please look into the failure number {turn} in src/mod_{turn}.py."
        if self.rng.random() < 0.1:
            if self.api == "openai":
                return {"role": "user", "content": [{"type": "text", "text": text}, {
                    "type": "image_url", "image_url": {"url": f"data:image/png;base64,{TINY_PNG}"}}]}
            return {"role": "user", "content": [{"type": "text", "text": text}, {
                "type": "image", "source": {"type": "base64", "media_type": "image/png", "data": TINY_PNG}}]}
        return {"role": "user", "content": text if self.api == "openai" else [{"type": "text", "text": text}]}

    def calls(self, turn, round_):
        """The assistant's calls of one round, then the messages of their results."""
        ids = [f"call_{turn}_{round_}_{k}" for k in range(self.rng.randint(1, 3))]
        args = [{"cmd": self.rng.choice(COMMANDS)} for _ in ids]
        results = [output(self.rng, turn, k) for k in range(len(ids))]
        if self.api == "openai":
            call = {"role": "assistant", "content": None, "tool_calls": [
                {"id": i, "type": "function", "function": {"name": "run", "arguments": json.dumps(a)}}
                for i, a in zip(ids, args)]}
            return call, [{"role": "tool", "tool_call_id": i, "content": r} for i, r in zip(ids, results)]
        call = {"role": "assistant", "content": [{"type": "text", "text": "Let me run that."}] + [
            {"type": "tool_use", "id": i, "name": "run", "input": a} for i, a in zip(ids, args)]}
        return call, [{"role": "user", "content": [{"type": "tool_result", "tool_use_id": i, "content": r}
                                                    for i, r in zip(ids, results)]}]

    def answer(self, turn):
        text = f"Turn {turn}: fixed the comparison in src/mod_{turn}.py; the tests pass."
        return {"role": "assistant", "content": text if self.api == "openai" else [{"type": "text", "text": text}]}


def run_chat(api, seed, turns, window=16_000, **compressor_options):
    """Runs the chat, compressing before every request; returns what the
    checks need."""
    chat = Chat(api, seed)
    sent = []

    def llm(messages, cfg):
        sent.append(messages[1]["content"])
        return f"summary {len(sent)}"

    compressor = Compressor(llm, window, **compressor_options)
    system = {"role": "system", "content": SYSTEM}
    history = [system] if api == "openai" else []
    originals = {id(system): (system, copy.deepcopy(system))}  # id -> (message, a copy as the host wrote it)
    results, compressions = [], []

    def add(message):
        originals[id(message)] = (message, copy.deepcopy(message))
        history.append(message)

    def request():
        nonlocal history
        before = history
        result = compressor.compress_messages(history, api)
        results.append(result)
        history = result.messages
        if result.compressed:
            kept = {id(m) for m in history}
            compressions.append(([m for m in before if id(m) not in kept], sent[-1] if result.summary_source == "llm"
                                 else None))
        problems = check_request(api, history)
        assert problems == [], (len(results), problems)
        if api == "openai":
            assert history[0] is system

    for turn in range(turns):
        add(chat.user(turn))
        request()
        for round_ in range(chat.rng.choice([1, 1, 2])):
            call, answered = chat.calls(turn, round_)
            add(call)
            for m in answered:
                add(m)
            request()
        add(chat.answer(turn))
    return results, compressions, originals, system


def check_request(api, messages):
    request = {"messages": messages}
    if api == "anthropic":
        request["system"] = SYSTEM
    sdk_check(api, request)
    return rule_problems(api, request)


def user_texts(api, message):
    content = message.get("content")
    if message["role"] != "user":
        return []
    if isinstance(content, str):  # OpenAI's, or a summary written earlier
        return [content]
    if any(b.get("type") == "tool_result" for b in content):
        return []
    return [b["text"] for b in content if b.get("type") == "text"]


def check_chat(api, results, compressions, originals, system, whole_span=True):
    assert sum(r.compressed for r in results) >= 2, "the chat never got compressed twice"
    # No host message changed, and every message sent is the host's or a summary.
    assert all(message == written for message, written in originals.values())
    assert system == {"role": "system", "content": SYSTEM}
    for result in results:
        for m in result.messages:
            assert id(m) in originals or m["content"].startswith(PLAIN_SUMMARY_PREFIX)
    # Every user message taken out reached the summary request (written from
    # the whole span; the module's own transcript keeps its oldest 8,000
    # characters only).
    for removed, transcript in compressions if whole_span else ():
        assert transcript is not None
        for message in removed:
            for text in user_texts(api, message):
                assert text in transcript, text


@pytest.mark.parametrize("api", ["openai", "anthropic"])
def test_a_300_turn_agent_chat_sends_a_valid_request_on_every_turn(api):
    results, compressions, originals, system = run_chat(api, seed=300, turns=300)
    check_chat(api, results, compressions, originals, system)
    assert sum(r.compressed for r in results) >= 10


@settings(max_examples=12, deadline=None)
@given(api=st.sampled_from(["openai", "anthropic"]), seed=st.integers(0, 2**32),
       window=st.sampled_from([6_000, 9_000, 16_000]), facts=st.booleans())
def test_generated_agent_chats_send_valid_requests_through_compressions(api, seed, window, facts):
    results, compressions, originals, system = run_chat(api, seed, turns=60, window=window, facts=facts)
    check_chat(api, results, compressions, originals, system, whole_span=facts)


def openai_list(n, size=400):
    messages = [{"role": "system", "content": SYSTEM}]
    for i in range(n):
        messages.append({"role": "user" if i % 2 == 0 else "assistant", "content": f"message {i} " + "x" * size})
    return messages


def test_below_the_threshold_the_hosts_own_list_is_the_result():
    messages = openai_list(10)
    result = Compressor(lambda m, c: "never", 200_000).compress_messages(messages)
    assert not result.compressed and result.messages is messages
    assert result.reason.startswith("rate ") and result.reason.endswith("is at or below the 0.8 threshold")


def test_a_list_and_its_stamped_conversation_are_compressed_at_the_same_turn():
    """The same threshold and keep budget as compress: a list compresses
    exactly when the same messages, stamped, would."""
    window = 2000
    for n in range(2, 30):
        messages = openai_list(n)[1:]
        conv = {"messages": [{**m, "timestamp": f"2024-05-01T10:00:{i:02d}+00:00"} for i, m in enumerate(messages)]}
        listed = Compressor(lambda m, c: "s", window).compress_messages(messages)
        stored = Compressor(lambda m, c: "s", window).compress(conv)
        assert listed.compressed == stored.compressed, n
        if stored.compressed:
            assert (listed.stats["compressed"], listed.stats["kept"]) == (stored.stats["compressed"],
                                                                         stored.stats["kept"])


def test_the_newest_turn_larger_than_the_budget_is_kept_whole_and_said():
    """A turn whose calls and results outweigh the keep budget is kept whole:
    what lies before it is compressed, and the list to send, still over the
    threshold, names the message at fault; with nothing before it, nothing
    is compressed, and the reason names it too."""
    turn = [{"role": "assistant", "content": None, "tool_calls": [
                {"id": "c1", "type": "function", "function": {"name": "run", "arguments": "{}"}}]},
            {"role": "tool", "tool_call_id": "c1", "content": "y" * 8000}]
    compressor = Compressor(lambda m, c: "s", 2000)
    after = compressor.compress_messages([{"role": "user", "content": "run it"}, *turn])
    assert after.compressed and after.messages[1:] == turn and after.still_over
    assert after.reason.startswith("message 3 of the list to send is estimated at 2,003 tokens, more than the keep "
                                   "budget of 1,024")
    alone = compressor.compress_messages(turn)
    assert not alone.compressed and alone.messages == turn and alone.still_over
    assert alone.reason.startswith("message 2 of the list to send is estimated at 2,003 tokens")


@pytest.mark.parametrize("api", ["openai", "anthropic", "gemini", None])
def test_an_unknown_api_is_refused(api):
    compressor = Compressor(lambda m, c: "s", 2000)
    if api in ("openai", "anthropic"):
        compressor.compress_messages(openai_list(2), api)
    else:
        with pytest.raises(ValueError, match="api must be one of 'openai', 'anthropic'"):
            compressor.compress_messages(openai_list(2), api)


def test_the_list_path_asks_with_the_plain_instruction_and_the_stored_path_with_the_modules():
    asked = []
    compressor = Compressor(lambda m, c: asked.append(m[0]["content"]) or "s", 2000)
    compressor.compress_messages(openai_list(20))
    compressor.compress({"messages": [{**m, "timestamp": f"2024-05-01T10:00:{i:02d}+00:00"}
                                      for i, m in enumerate(openai_list(20)[1:])]})
    assert asked[0].startswith("You are a conversation summarizer. Summarize") and asked[1] == SUMMARIZER_PROMPT

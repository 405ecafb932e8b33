"""The chat layer and the command against a real OpenAI-compatible server:
llama-cpp-python's, serving SmolLM2-135M-Instruct, as scripts/local_llm.py
starts it from the local-llm extra. A summary that the model writes, a context
too small for the request, a read time-out shorter than the generation, and
the name of the token limit that this server honours. Skipped when the extra
is not installed."""

import json
import subprocess

import pytest

import routes.context_compress as cc
from context_compress import chat
from context_compress.texts import SUMMARY_MAX_TOKENS, SUMMARY_NOTE as NOTE, SUMMARY_PREFIX as PREFIX
from shared import COMMAND, SAMPLE, load_script


local_llm = load_script("scripts/local_llm.py")
MISSING = local_llm.missing() if local_llm else "scripts/local_llm.py is not there"
pytestmark = pytest.mark.skipif(
    MISSING is not None, reason=f"needs the local-llm extra: {MISSING}")


@pytest.fixture(scope="session")
def llm():
    """The session's server, with a context that the module's requests fit."""
    with local_llm.running() as server:
        yield server


STEPS = [
    ("user", "The search endpoint returns HTTP 500 when the query string is empty. "
             "Please fix it in src/api/search.py."),
    ("assistant", "pytest tests/test_search.py -q fails in test_empty with KeyError: 'q': "
                  "search_handler reads request.args['q'] without a default."),
    ("user", "Make an empty query return an empty result list with status 200."),
    ("assistant", "Done: search_handler now reads request.args.get('q', '') and returns "
                  "{'results': []} for an empty query; all 13 tests pass."),
    ("user", "Now add pagination to the /conversations endpoint. " * 80),
]


def conversation():
    """1,139 estimated tokens: in a 1,400-token window the newest two messages
    are kept and the oldest three summarised, from 324 characters of
    transcript, so that the model has little to read."""
    return {"id": "c1", "messages": [
        {"role": role, "content": text, "timestamp": f"2024-05-01T10:0{i}:00+00:00"}
        for i, (role, text) in enumerate(STEPS)]}


def compress(url, path, *extra, read_timeout="600"):
    """The command's --json record for `path`, summarised through `url`."""
    proc = subprocess.run(
        [COMMAND, str(path), "--json", "--llm-url", url, "--model", local_llm.MODEL_NAME,
         "--read-timeout", read_timeout, *extra],
        capture_output=True, text=True, timeout=900)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def test_the_models_answer_becomes_the_summary(llm):
    layer = chat.ChatLayer(chat.Settings(base_url=llm.url, model=llm.model))
    answers = []

    def recorded(messages, cfg, stream=False):
        answers.append(layer(messages, cfg, stream=stream))
        return answers[-1]

    conv = conversation()
    # The module asks for its 2,048 tokens; the host's stop sequence, which it
    # passes on, ends this model's answer at its first line instead.
    with chat.installed(recorded):
        compressed, stats = cc.cut_and_sum_history(
            conv, {"max_context": 1400, "stop": ["\n"], "temperature": 0})
    assert compressed and stats["compressed"] == 3
    [answer] = answers
    text = answer["choices"][0]["message"]["content"].strip()
    assert text and answer["usage"]["completion_tokens"] < SUMMARY_MAX_TOKENS
    assert PREFIX + text + NOTE in [m["content"] for m in conv["messages"]]


def test_a_context_too_small_for_the_request_is_named():
    # The sample's request is 6,005 tokens: this server refuses it on
    # counting them, before it evaluates any, so a server of its own costs
    # only its start. (It refuses only a prompt that fills the whole context;
    # one that leaves less than 2,048 tokens gets a shorter answer.)
    with local_llm.running(n_ctx=4096) as small:
        record = compress(small.url, SAMPLE, "--module-transcript")
    assert record["summary_source"] == "extract"
    assert record["llm_error"].endswith(
        "HTTP 400 Bad Request: This model's maximum context length is 4096 tokens. However, "
        "you requested 8053 tokens (6005 in the messages, 2048 in the completion). Please "
        "reduce the length of the messages or completion.")


def test_a_read_timeout_shorter_than_the_generation_is_named_a_time_out():
    # A server of its own: the one abandoned request would keep the shared
    # one busy (it serves one at a time) for as long as the whole summary.
    # The module's own request, which fits this server's context.
    with local_llm.running() as server:
        record = compress(server.url, SAMPLE, "--module-transcript", read_timeout="1")
    assert record["summary_source"] == "extract"
    assert "no complete answer within the read time-out of 1 s" in record["llm_error"]


ASK = [{"role": "user", "content": "Write one sentence about the sea."}]


def test_the_server_honours_max_tokens_and_ignores_max_completion_tokens(llm):
    def ask(param):
        layer = chat.ChatLayer(chat.Settings(base_url=llm.url, model=llm.model,
                                             token_limit_param=param))
        answer = layer(ASK, {"max_tokens": 5, "temperature": 0})
        return answer["usage"]["completion_tokens"], answer["choices"][0]["finish_reason"]

    # The layer's own choice is max_tokens, which this server takes.
    assert ask(None) == ask("max_tokens") == (5, "length")
    # Accepted without a word, and no limit at all: the sentence runs to its end.
    used, reason = ask("max_completion_tokens")
    assert used > 5 and reason == "stop"

"""The OpenAI-compatible chat layer of context_compress (context_compress.chat)
against the fake server on 127.0.0.1: requests, answers, failures, time-outs,
redirects and secrets, the token-limit name and reasoning models, conformance
with the official client's types, the fallback of the compression to its
extract when the layer fails."""

import contextlib
import json
import os
import socket
import sys
import time
import typing
from unittest import mock

import pytest
from hypothesis import given
from hypothesis import strategies as st

import routes.context_compress as cc
from context_compress import chat
from context_compress.texts import SUMMARY_NOTE as NOTE, SUMMARY_PREFIX as PREFIX
from fake_server import (LLM_SUMMARY, PROMPT, UNSUPPORTED_MAX_TOKENS, cfg_for, closed_port, completion,
                         conversation, running_server)
from strategies import PROPERTY


# --- the request itself ---------------------------------------------------------------


def test_good_answer_is_returned_decoded_and_request_is_openai_shaped(server):
    cfg = cfg_for(server, "ok", api_key="sk-test", max_tokens=2048, max_context=5000,
                  temperature=0.2)
    resp = chat._call_llm_api(PROMPT, cfg, stream=False)
    assert resp["choices"][0]["message"]["content"] == f"  {LLM_SUMMARY}\n"
    [req] = server.requests
    assert req["path"] == "/ok/v1/chat/completions"
    assert req["headers"]["authorization"] == "Bearer sk-test"
    assert req["headers"]["content-type"] == "application/json"
    # Only what an OpenAI endpoint understands goes into the body.
    assert req["body"] == {"model": "test-model", "messages": PROMPT, "max_tokens": 2048,
                           "temperature": 0.2, "stream": False}


def test_settings_fall_back_to_the_layers_own_and_cfg_wins(server):
    layer = chat.ChatLayer(chat.Settings(base_url=server.url("ok"), model="default-model",
                                         api_key="sk-default"))
    layer(PROMPT, {"max_tokens": 2048})
    layer(PROMPT, {"model": "cfg-model", "api_key": "sk-cfg"})
    first, second = server.requests
    assert first["body"]["model"] == "default-model"
    assert first["headers"]["authorization"] == "Bearer sk-default"
    assert second["body"]["model"] == "cfg-model"
    assert second["headers"]["authorization"] == "Bearer sk-cfg"


def test_no_key_sends_no_authorization_header(server):
    chat._call_llm_api(PROMPT, cfg_for(server, "ok"))
    assert "authorization" not in server.requests[0]["headers"]


@PROPERTY
@given(status=st.sampled_from([400, 401, 403, 404, 429, 500]), key=st.sampled_from([None, "", " \n", "sk-sent"]),
       env=st.sampled_from([None, "LAYER_KEY", "LAYER_KEY_EMPTY", "LAYER_KEY_SET"]), stream=st.booleans())
def test_a_refusal_of_a_request_without_a_key_says_none_was_sent_and_where_it_is_read(server, status, key, env,
                                                                                       stream):
    layer = chat.ChatLayer(chat.Settings(base_url=server.url(f"status{status}"), model="m", api_key=key,
                                         api_key_env=env))
    with mock.patch.dict(os.environ, {"LAYER_KEY_EMPTY": "", "LAYER_KEY_SET": "sk-elsewhere"}), \
            pytest.raises(chat.ChatError) as info:
        layer(PROMPT, {"max_tokens": 16}, stream=stream)
    text = str(info.value)
    unauthorised = status in (401, 403) and key != "sk-sent"
    assert f"HTTP {status} " in text and info.value.status == status
    assert text.endswith("no API key was sent" + {None: "", "LAYER_KEY_SET": "", "LAYER_KEY": (
        ": the environment variable LAYER_KEY, which the key is read from, is not set"), "LAYER_KEY_EMPTY": (
        ": the environment variable LAYER_KEY_EMPTY, which the key is read from, is empty")}[env]) == unauthorised
    assert "no API key" not in text or unauthorised
    assert "sk-" not in text


@pytest.mark.parametrize("mode, expected", [
    ("error", "HTTP 500 Internal Server Error: model overloaded"),
    ("badjson", "response is not JSON"),
])
def test_failed_request_raises_chat_error_naming_the_cause(server, mode, expected):
    with pytest.raises(chat.ChatError) as info:
        chat._call_llm_api(PROMPT, cfg_for(server, mode))
    assert expected in str(info.value)
    assert server.url(mode) + "/chat/completions" in str(info.value)


def test_read_timeout_ends_the_wait_for_an_answer(server):
    with pytest.raises(chat.ServerUnreachable,
                       match="no complete answer within the read time-out of 0.3 s"):
        chat._call_llm_api(PROMPT, cfg_for(server, "slow", read_timeout=0.3, connect_timeout=30))
    # The request went out whole on the connection; the server had not answered.
    [req] = server.requests
    assert req["body"]["messages"] == PROMPT
    assert not server.release.is_set()


def test_connect_timeout_applies_before_the_connection_exists(monkeypatch):
    # A listener with a full accept queue leaves further connections hanging
    # in the handshake, on 127.0.0.1.
    connects = []
    real_connect = socket.create_connection

    def create_connection(address, timeout, *args, **kwargs):
        connects.append(timeout)
        return real_connect(address, timeout, *args, **kwargs)

    with contextlib.ExitStack() as stack:
        listener = stack.enter_context(socket.socket())
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        port = listener.getsockname()[1]
        for _ in range(3):
            filler = stack.enter_context(socket.socket())
            filler.setblocking(False)
            with contextlib.suppress(BlockingIOError):
                filler.connect(("127.0.0.1", port))
        probe = stack.enter_context(socket.socket())
        probe.settimeout(0.2)
        try:
            probe.connect(("127.0.0.1", port))
        except TimeoutError:
            pass
        else:
            pytest.skip("this system completes connections beyond the accept queue")
        monkeypatch.setattr(socket, "create_connection", create_connection)
        with pytest.raises(chat.ChatError, match="connection timed out after 0.3 s"):
            chat._call_llm_api(PROMPT, {"base_url": f"http://127.0.0.1:{port}/v1", "model": "m",
                                        "connect_timeout": 0.3, "read_timeout": 3600})
    # One connection attempt, bounded by the connect time-out, not the read one.
    assert connects == [0.3]


def test_refused_connection_is_a_chat_error():
    port = closed_port()
    with pytest.raises(chat.ServerUnreachable, match="refused"):
        chat._call_llm_api(PROMPT, {"base_url": f"http://127.0.0.1:{port}/v1", "model": "m"})


@pytest.mark.parametrize("cfg, message", [
    ({"model": "m"}, "no base URL"),
    ({"base_url": "http://127.0.0.1:9/v1"}, "no model"),
    ({"base_url": "file:///etc/passwd", "model": "m"}, "http:// or https://"),
    ({"base_url": "http://127.0.0.1:9/v1", "model": "m", "read_timeout": -1}, "positive"),
])
def test_incomplete_or_unsafe_settings_fail_before_any_request(cfg, message):
    with pytest.raises(chat.ChatError, match=message):
        chat._call_llm_api(PROMPT, cfg)


@pytest.mark.parametrize("status", [300, 301, 302, 303, 307, 308])
def test_redirect_fails_and_the_key_never_reaches_its_target(server, status):
    with running_server() as other_server, pytest.raises(chat.ChatError) as info:
        server.location = other_server.url("ok") + "/chat/completions"
        chat._call_llm_api(PROMPT, cfg_for(server, f"redirect{status}", api_key="sk-test-key"))
    assert (f"redirected to {server.location}: set --llm-url to the final address"
            in str(info.value))
    assert len(server.requests) == 1 and other_server.requests == []


def test_credentials_in_the_url_are_refused_and_never_shown(server):
    url = server.url("ok").replace("://", "://alice:pa55-word@")
    with pytest.raises(chat.ChatError) as info:
        chat._call_llm_api(PROMPT, {"base_url": url, "model": "m"})
    message = str(info.value)
    assert "pa55-word" not in message and "alice" not in message
    assert "http://***@127.0.0.1" in message and server.requests == []


def test_echoed_key_and_query_credential_are_masked_in_the_error(server):
    url = server.url("echo401") + "?api-version=2024&api-key=qs-secret-1"
    with pytest.raises(chat.ChatError) as info:
        chat._call_llm_api(PROMPT, {"base_url": url, "model": "m", "api_key": "sk-echoed-key"})
    message = str(info.value)
    assert server.requests[0]["headers"]["authorization"] == "Bearer sk-echoed-key"
    assert server.requests[0]["path"].endswith(
        "/chat/completions?api-version=2024&api-key=qs-secret-1")
    assert "sk-echoed-key" not in message and "qs-secret-1" not in message
    assert "HTTP 401 Unauthorized: invalid key Bearer *** at" in message
    assert "?api-version=2024&api-key=***" in message


@pytest.mark.parametrize("mode, stream, reason", [
    ("deep", False, "response is nested too deeply to be read"),
    ("short", False, "the answer broke off after"),
    ("endless", True, f"response larger than {chat.MAX_RESPONSE_BYTES} bytes"),
])
def test_broken_answer_is_a_chat_error(server, mode, stream, reason):
    with pytest.raises(chat.ChatError, match=reason):
        answer = chat._call_llm_api(PROMPT, cfg_for(server, mode, read_timeout=20), stream=stream)
        list(answer) if stream else answer


def test_key_is_stripped_and_one_with_a_control_character_never_leaves(server):
    chat._call_llm_api(PROMPT, cfg_for(server, "ok", api_key=" sk-test-key\r\n"))
    assert server.requests[0]["headers"]["authorization"] == "Bearer sk-test-key"
    with pytest.raises(chat.ChatError) as info:
        chat._call_llm_api(PROMPT, cfg_for(server, "ok", api_key="sk-test\rkey"))
    assert "control character" in str(info.value) and "sk-test" not in str(info.value)
    assert len(server.requests) == 1
    # Whatever quotes the key, as a str or as bytes, has it masked.
    redact = chat.Redactor(["sk-test-key\r"])
    for text in [repr("Bearer sk-test-key\r"), repr(b"Bearer sk-test-key\r"), "sk-test-key\r"]:
        assert "sk-test-key" not in redact(text)


def test_lone_surrogate_is_sent_as_the_replacement_character(server):
    chat._call_llm_api([{"role": "user", "content": "smile \ud83d"}], cfg_for(server, "ok"))
    assert server.requests[0]["body"]["messages"] == [{"role": "user", "content": "smile \ufffd"}]


@pytest.mark.parametrize("url, env, proxied", [
    ("http://api.example.com/v1", {"http_proxy": "http://proxy:3128"}, True),
    ("https://api.example.com/v1", {"HTTPS_PROXY": "http://proxy:3128"}, True),
    ("http://api.example.com/v1", {"http_proxy": "http://proxy:3128", "NO_PROXY": "example.com"}, False),
    ("http://127.0.0.9:8000/v1", {"http_proxy": "http://proxy:3128"}, False),
    ("http://localhost:8000/v1", {"http_proxy": "http://proxy:3128"}, False),
    ("http://[::1]:8000/v1", {"http_proxy": "http://proxy:3128"}, False),
])
def test_proxy_is_the_environments_but_never_for_loopback(monkeypatch, url, env, proxied):
    for name in ("http_proxy", "https_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY", "NO_PROXY"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    assert chat.proxy_for(url) == ("http://proxy:3128" if proxied else None)


def test_connect_time_out_bounds_a_proxy_that_trickles_its_connect_answer(monkeypatch, server):
    monkeypatch.setenv("HTTPS_PROXY", f"http://127.0.0.1:{server.server_address[1]}")
    monkeypatch.delenv("NO_PROXY", raising=False)
    monkeypatch.delenv("no_proxy", raising=False)
    started = time.monotonic()
    with pytest.raises(chat.ServerUnreachable, match="connection timed out after 1 s"):
        chat._call_llm_api(PROMPT, {"base_url": "https://api.example.com/v1", "model": "m",
                                    "connect_timeout": 1, "read_timeout": 2})
    # Unbounded, the answer's 260 bytes would take over two minutes.
    assert time.monotonic() - started < 10


def test_stream_yields_decoded_chunks_until_done(server):
    chunks = list(chat._call_llm_api(PROMPT, cfg_for(server, "stream"), stream=True))
    assert [c["choices"][0]["delta"]["content"] for c in chunks] == ["摘要", " done"]
    assert server.requests[0]["body"]["stream"] is True
    assert server.requests[0]["headers"]["accept"] == "text/event-stream"


def openai_types():
    pytest.importorskip("openai", reason="the openai package (test extra) is not installed")
    from openai.types import ErrorObject
    from openai.types.chat import ChatCompletion
    from openai.types.chat.completion_create_params import CompletionCreateParamsNonStreaming
    return CompletionCreateParamsNonStreaming, ChatCompletion, ErrorObject


@pytest.mark.parametrize("effort", [None, "low"])
@pytest.mark.parametrize("param", chat.TOKEN_LIMIT_PARAMS)
def test_request_conforms_to_the_openai_request_type(server, param, effort):
    params, chat_completion, _ = openai_types()
    import pydantic
    layer = chat.ChatLayer(chat.Settings(base_url=server.url("ok"), model="test-model",
                                         token_limit_param=param, reasoning_effort=effort))
    answer = layer(PROMPT, {"max_tokens": 2048, "max_context": 5000, "temperature": 0.2})
    body = server.requests[0]["body"]
    # pydantic ignores keys a TypedDict does not declare, and checks the
    # messages only as they are iterated.
    assert set(body) <= set(typing.get_type_hints(params))
    validated = pydantic.TypeAdapter(params).validate_python(body)
    assert [dict(m) for m in validated["messages"]] == PROMPT
    assert {k: body[k] for k in body if "tokens" in k} == {param: 2048}
    assert body.get("reasoning_effort") == effort
    chat_completion.model_validate(answer)


def test_fake_server_answers_as_openai_does():
    _, chat_completion, error_object = openai_types()
    chat_completion.model_validate(completion("", "length"))
    error_object.model_validate(UNSUPPORTED_MAX_TOKENS["error"])


# --- as routes.chat of the compression ------------------------------------------------


def compress_with(llm_config):
    conv = conversation()
    span = conv["messages"][:10]
    compressed, stats = cc.cut_and_sum_history(conv, llm_config)
    assert compressed and stats["compressed"] == 10
    [summary] = [m for m in conv["messages"] if m["content"].startswith(PREFIX)]
    return summary["content"], span


def test_llm_answer_becomes_the_summary(server):
    with chat.installed(chat._call_llm_api):
        content, _ = compress_with(cfg_for(server, "ok", max_context=2000))
    assert content == PREFIX + LLM_SUMMARY + NOTE
    body = server.requests[0]["body"]
    assert body["max_tokens"] == 2048 and "max_context" not in body
    assert [m["role"] for m in body["messages"]] == ["system", "user"]


@pytest.mark.parametrize("mode", ["error", "slow", "badjson", "empty"])
def test_failing_llm_falls_back_to_the_extract(server, mode):
    with chat.installed(chat._call_llm_api):
        content, span = compress_with(cfg_for(server, mode, max_context=2000, read_timeout=0.3))
    assert content == PREFIX + cc.simple_extract(span) + NOTE
    assert len(server.requests) == 1


def test_installed_and_blocked_restore_the_previous_routes_chat():
    calls = []
    host = type(sys)("routes.chat")
    host._call_llm_api = lambda *a, **k: calls.append(a) or {
        "choices": [{"message": {"content": "host summary"}}]}
    sys.modules["routes.chat"] = host
    try:
        with chat.blocked():
            content, span = compress_with({"max_context": 2000})
            assert content == PREFIX + cc.simple_extract(span) + NOTE
        assert calls == [] and sys.modules["routes.chat"] is host
        with chat.installed(lambda *a, **k: {"choices": [{"message": {"content": "ours"}}]}):
            assert compress_with({"max_context": 2000})[0] == PREFIX + "ours" + NOTE
        assert sys.modules["routes.chat"] is host
    finally:
        del sys.modules["routes.chat"]
    with chat.blocked():
        pass
    assert "routes.chat" not in sys.modules

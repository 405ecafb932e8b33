"""The OpenAI-compatible chat layer of context_compress against small HTTP
servers on 127.0.0.1: requests, answers, failures, time-outs, redirects and
secrets, the token-limit name and reasoning models, conformance with the
official client's types, the fallback of the compression to its extract when
the layer fails, how the command reports and counts such failures, and an
asyncio host."""

import asyncio
import contextlib
import json
import os
import runpy
import signal
import socket
import subprocess
import sys
import threading
import time
import types
import typing
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

import routes.context_compress as cc
from context_compress import chat
from context_compress.texts import SUMMARY_NOTE as NOTE, SUMMARY_PREFIX as PREFIX

LLM_SUMMARY = "用户要求修复搜索接口；已改 src/api/search.py, tests pass."
# What a model's answer or a server's error could hold to take over a
# terminal: a title set by OSC, the screen cleared by CSI, a bell, C1's CSI.
CONTROLLING_TEXT = "done\x1b]0;owned\x07 \x1b[2J \x9b31m red"
SERVER_LIFETIME = 60  # seconds; the server stops itself after this at the latest

# OpenAI's answer to max_tokens from its reasoning models, word for word.
UNSUPPORTED_MAX_TOKENS = {"error": {
    "message": "Unsupported parameter: 'max_tokens' is not supported with this model. "
               "Use 'max_completion_tokens' instead.",
    "type": "invalid_request_error", "param": "max_tokens", "code": "unsupported_parameter"}}


def completion(content, finish_reason="stop"):
    """A chat completion as OpenAI's API returns it."""
    return {"id": "chatcmpl-1", "object": "chat.completion", "created": 1714557600,
            "model": "test-model", "choices": [
                {"index": 0, "message": {"role": "assistant", "content": content},
                 "finish_reason": finish_reason}]}


class FakeLLM(BaseHTTPRequestHandler):
    """Answers POST /<mode>/v1/chat/completions according to <mode>."""

    protocol_version = "HTTP/1.1"

    def do_GET(self):
        # A client that follows a redirect with a GET shows up here.
        self.record(None)
        self.reply(405, {"error": {"message": "GET is not served"}})

    def record(self, body):
        self.server.requests.append({
            "method": self.command,
            "path": self.path,
            "headers": {k.lower(): v for k, v in self.headers.items()},
            "body": body,
        })

    def do_POST(self):
        length = int(self.headers.get("Content-Length", 0))
        self.record(json.loads(self.rfile.read(length)))
        # A proxied request names the whole URL.
        mode = urllib.parse.urlsplit(self.path).path.split("/")[1]
        auth = self.headers.get("Authorization", "")
        if mode.startswith("redirect"):
            self.reply(int(mode[len("redirect"):]), b"",
                       headers={"Location": self.server.location})
        elif mode == "echo401":
            self.reply(401, {"error": {"message": f"invalid key {auth} at {self.path}"}})
        elif mode == "echo200":
            self.reply(200, {"choices": [{"message": {"content": f"summary for {auth}"}}]})
        elif mode == "ok":
            self.reply(200, completion(f"  {LLM_SUMMARY}\n"))
        elif mode == "reasoning":  # takes only max_completion_tokens, as o-series models do
            if "max_tokens" in self.server.requests[-1]["body"]:
                self.reply(400, UNSUPPORTED_MAX_TOKENS)
            else:
                self.reply(200, completion(LLM_SUMMARY))
        elif mode == "length":  # the whole budget went on reasoning
            self.reply(200, completion("", "length"))
        elif mode == "error":
            self.reply(500, {"error": {"message": "model overloaded", "type": "server_error"}})
        elif mode == "slow":
            # Held until the test ends, so only the client's time-out can end the wait.
            self.server.release.wait(SERVER_LIFETIME)
            self.reply(200, {"choices": [{"message": {"content": "too late"}}]})
        elif mode == "trickle":
            self.trickle(json.dumps(completion(LLM_SUMMARY)).encode())
        elif mode == "badjson":
            self.reply(200, b'{"choices": [{"message": ')
        elif mode == "empty":
            self.reply(200, {"choices": []})
        elif mode == "stream":
            chunks = [{"choices": [{"delta": {"content": part}}]} for part in ("摘要", " done")]
            payload = "".join(f"data: {json.dumps(c)}\n\n" for c in chunks) + "data: [DONE]\n\n"
            self.reply(200, payload.encode(), "text/event-stream")
        elif mode == "deep":  # nested far deeper than any parser recurses
            self.reply(200, b"[" * 100_000 + b"]" * 100_000)
        elif mode == "short":  # the connection closes before the Content-Length is reached
            self.close_connection = True
            self.reply(200, json.dumps(completion(LLM_SUMMARY)).encode(), missing=100)
        elif mode == "endless":  # an event stream whose first line never ends
            self.endless()
        elif mode == "controls":
            self.reply(200, completion(CONTROLLING_TEXT))
        elif mode == "error-controls":
            self.reply(500, {"error": {"message": CONTROLLING_TEXT}})
        elif mode == "vary":  # answers after its own time, or (for "hold") not at all
            transcript = self.server.requests[-1]["body"]["messages"][1]["content"]
            if "hold" in transcript:
                self.server.release.wait(SERVER_LIFETIME)
            time.sleep(len(transcript) % 7 / 20)
            self.reply(200, completion(f"summary of {transcript[:24]}"))
        elif mode == "append":  # someone else writes the conversation meanwhile
            self.server.meanwhile()
            self.reply(200, completion(LLM_SUMMARY))
        else:
            self.reply(404, {"error": {"message": f"no such mode {mode}"}})

    def reply(self, status, body, content_type="application/json", headers=None, missing=0):
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        try:
            self.send_response(status)
            for name, value in (headers or {}).items():
                self.send_header(name, value)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(data) + missing))
            self.end_headers()
            self.wfile.write(data)
        except OSError:
            pass  # the client gave up (a time-out test)

    def endless(self):
        self.close_connection = True
        try:
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.end_headers()
            for _ in range(20):  # 20 MiB, past the bound of any answer
                self.wfile.write(b"x" * (1 << 20))
        except OSError:
            pass  # the client gave up, as it should

    def trickle(self, data):
        """Headers at once, then the body a byte every 0.2 s: each read gets
        something long before a per-read time-out, the whole body takes a minute."""
        data = data.ljust(300)
        try:
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            for i in range(len(data)):
                if self.server.release.is_set():
                    return
                self.wfile.write(data[i:i + 1])
                self.wfile.flush()
                self.server.trickled += 1
                time.sleep(0.2)
        except OSError:
            pass  # the client gave up

    def log_message(self, *args):
        pass


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, handler=FakeLLM):
        super().__init__(("127.0.0.1", 0), handler)
        self.requests = []
        self.trickled = 0  # body bytes sent by the trickle mode
        self.release = threading.Event()
        self.location = None  # where the redirect modes point
        self.meanwhile = lambda: None  # what the append mode does before it answers

    def handle_error(self, request, client_address):
        pass

    def url(self, mode):
        return f"http://127.0.0.1:{self.server_address[1]}/{mode}/v1"


@contextlib.contextmanager
def running_server(handler=FakeLLM):
    """A Server answering with `handler` (FakeLLM or a subclass with modes of its own)."""
    srv = Server(handler)
    thread = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.05},
                              daemon=True)
    thread.start()
    deadline = threading.Timer(SERVER_LIFETIME, srv.shutdown)
    deadline.daemon = True
    deadline.start()
    try:
        yield srv
    finally:
        deadline.cancel()
        srv.release.set()
        srv.shutdown()
        srv.server_close()
        thread.join(5)


@pytest.fixture
def server():
    with running_server() as srv:
        yield srv


@pytest.fixture
def other_server():
    """A second origin, for redirects to point at."""
    with running_server() as srv:
        yield srv


PROMPT = [{"role": "system", "content": "summarise"}, {"role": "user", "content": "[user] 你好"}]


def cfg_for(server, mode, **extra):
    return {"base_url": server.url(mode), "model": "test-model", **extra}


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


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]  # closed again: nobody listens there


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
def test_redirect_fails_and_the_key_never_reaches_its_target(server, other_server, status):
    server.location = other_server.url("ok") + "/chat/completions"
    with pytest.raises(chat.ChatError) as info:
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


@contextlib.contextmanager
def trickling_proxy():
    """A proxy that answers CONNECT a byte every half second."""
    listener = socket.create_server(("127.0.0.1", 0))
    stop = threading.Event()

    def serve():
        with contextlib.suppress(OSError):
            conn, _ = listener.accept()
            with conn:
                conn.recv(4096)
                for byte in b"HTTP/1.1 200 Connection established\r\n" + b"X-Pad: y\r\n" * 20:
                    if stop.wait(0.5):
                        return
                    conn.sendall(bytes([byte]))

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{listener.getsockname()[1]}"
    finally:
        stop.set()
        listener.close()
        thread.join(5)


def test_connect_time_out_bounds_a_proxy_that_trickles_its_connect_answer(monkeypatch):
    with trickling_proxy() as proxy:
        monkeypatch.setenv("HTTPS_PROXY", proxy)
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


def conversation():
    """20 messages of ~103 tokens: over 80 % of a 2000-token window; the newest
    10 fill the 1024-token keep budget, the older 10 are compressed."""
    return {"id": "c1", "messages": [
        {"role": "user" if i % 2 == 0 else "assistant",
         "content": f"message {i:02d} " + "x" * 389,
         "timestamp": f"2024-05-01T10:00:{i:02d}+00:00"}
        for i in range(20)]}


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


# --- through the command ------------------------------------------------------------------


COMMAND = str(Path(sys.executable).with_name("context-compress"))


def run_command(server, mode, path, *extra, read_timeout="0.5", env=None):
    env = {**os.environ, "TEST_LLM_KEY": "sk-from-env", **(env or {})}
    url = server.url(mode) if isinstance(server, Server) else server
    return subprocess.run(
        [COMMAND, str(path), "--max-context", "2000", "--llm-url", url,
         "--model", "test-model", "--api-key-env", "TEST_LLM_KEY", "--read-timeout", read_timeout,
         *extra],
        capture_output=True, text=True, env=env, timeout=30)


def three_files(tmp_path):
    paths = [tmp_path / f"{name}.json" for name in "abc"]
    for path in paths:
        path.write_text(json.dumps(conversation()))
    return paths


def test_command_uses_the_llm_with_the_key_from_the_environment(server, tmp_path):
    path = tmp_path / "conv.json"
    path.write_text(json.dumps(conversation()))
    proc = run_command(server, "ok", path, "--in-place")
    assert proc.returncode == 0, proc.stderr
    assert f"summary       LLM: {LLM_SUMMARY}" in proc.stdout
    assert server.requests[0]["headers"]["authorization"] == "Bearer sk-from-env"
    written = json.loads(path.read_text())
    assert PREFIX + LLM_SUMMARY + NOTE in [m["content"] for m in written["messages"]]


@pytest.mark.parametrize("mode, reason", [
    ("error", "HTTP 500 Internal Server Error: model overloaded"),
    ("slow", "no complete answer within the read time-out of 0.5 s"),
    ("badjson", "response is not JSON"),
])
def test_command_reports_llm_failure_and_uses_the_extract(server, tmp_path, mode, reason):
    path = tmp_path / "conv.json"
    path.write_text(json.dumps(conversation()))
    proc = run_command(server, mode, path, "--json")
    assert proc.returncode == 0, proc.stderr
    record = json.loads(proc.stdout)
    assert record["compressed"] is True
    assert record["summary_source"] == "extract"
    assert reason in record["llm_error"]


@pytest.mark.parametrize("required", [False, True], ids=["fallback", "llm-required"])
def test_command_names_an_llm_failure_on_every_file_and_counts_it(server, tmp_path, required):
    paths = three_files(tmp_path)
    before = [p.read_bytes() for p in paths]
    proc = run_command(server, "error", tmp_path, "--in-place",
                       *(["--llm-required"] if required else []))
    reason = "HTTP 500 Internal Server Error: model overloaded"
    lines = proc.stdout.splitlines()
    assert len(server.requests) == 3  # an error status is no reason to stop asking
    if not required:
        assert proc.returncode == 0, proc.stderr
        for path, line in zip(paths, lines):
            assert line.startswith(f"{path}: compressed")
            assert f"summary: extract (LLM failed: {reason})" in line
        assert lines[3] == ("3 files: 3 compressed, 3 of them with the extract after an LLM "
                            "failure, 0 not compressed, 0 failed")
        assert [p.read_bytes() for p in paths] != before
    else:
        assert proc.returncode == 1
        assert proc.stderr.splitlines() == [
            f"context-compress: {path}: no summary from the LLM (POST {server.url('error')}"
            f"/chat/completions: {reason}); with --llm-required nothing is written for this file"
            for path in paths]
        assert lines == ["3 files: 0 compressed, 0 not compressed, 3 failed"]
        assert [p.read_bytes() for p in paths] == before


def test_command_read_timeout_bounds_an_answer_that_trickles(server, tmp_path):
    """Without a bound on the whole answer, this run would outlast the test's
    own time-out: every single read gets its byte in time."""
    path = tmp_path / "conv.json"
    path.write_text(json.dumps(conversation()))
    proc = run_command(server, "trickle", path, "--json", read_timeout="1")
    assert proc.returncode == 0, proc.stderr
    record = json.loads(proc.stdout)
    assert record["summary_source"] == "extract"
    assert "no complete answer within the read time-out of 1 s" in record["llm_error"]
    assert 0 < server.trickled < 300


@pytest.mark.parametrize("dead", ["silent", "refusing"])
def test_command_asks_a_dead_server_once_per_run(server, tmp_path, dead):
    paths = three_files(tmp_path)
    url = server.url("slow") if dead == "silent" else f"http://127.0.0.1:{closed_port()}/v1"
    first = ("no complete answer within the read time-out of 0.5 s" if dead == "silent"
             else "connection refused")
    proc = run_command(url, None, tmp_path, "--json")
    assert proc.returncode == 0, proc.stderr
    errors = [json.loads(line)["llm_error"] for line in proc.stdout.splitlines()]
    assert first in errors[0]
    for error in errors[1:]:
        assert error.startswith("not asked, since an earlier request of this run failed: POST ")
        assert first in error
    assert len(server.requests) == (1 if dead == "silent" else 0)


@pytest.mark.parametrize("as_json", [False, True], ids=["report", "json"])
@pytest.mark.parametrize("mode", ["echo401", "echo200"])
def test_command_never_prints_or_writes_the_key(server, tmp_path, mode, as_json):
    path = tmp_path / "conv.json"
    path.write_text(json.dumps(conversation()))
    proc = run_command(server, mode, path, "--in-place", *(["--json"] if as_json else []))
    assert proc.returncode == 0, proc.stderr
    assert server.requests[0]["headers"]["authorization"] == "Bearer sk-from-env"
    shown = proc.stdout + proc.stderr
    assert "sk-from-env" not in shown and "sk-from-env" not in path.read_text()
    if mode == "echo401":
        assert "HTTP 401 Unauthorized: invalid key Bearer ***" in shown
    else:
        assert "summary for Bearer ***" in shown
        written = [m["content"] for m in json.loads(path.read_text())["messages"]]
        assert PREFIX + "summary for Bearer ***" + NOTE in written


def test_command_redirect_is_reported_and_not_followed(server, other_server, tmp_path):
    path = tmp_path / "conv.json"
    path.write_text(json.dumps(conversation()))
    server.location = other_server.url("ok") + "/chat/completions"
    proc = run_command(server, "redirect302", path, "--json")
    record = json.loads(proc.stdout)
    assert record["summary_source"] == "extract"
    assert f"redirected to {server.location}: set --llm-url" in record["llm_error"]
    assert other_server.requests == []


def test_command_refuses_a_url_with_a_password_in_one_line(server, tmp_path):
    url = server.url("ok").replace("://", "://alice:pa55-word@")
    proc = subprocess.run([COMMAND, "x.json", "--llm-url", url, "--model", "m"],
                          capture_output=True, text=True, timeout=30, cwd=tmp_path)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.count("\n") == 1 and "--api-key-env" in proc.stderr
    assert "pa55-word" not in proc.stderr and "http://***@127.0.0.1" in proc.stderr
    assert server.requests == []


@pytest.mark.parametrize("choice, params, source", [
    # Refused once, then remembered: four requests for three files, not six.
    (None, ["max_tokens"] + ["max_completion_tokens"] * 3, "llm"),
    ("max_completion_tokens", ["max_completion_tokens"] * 3, "llm"),
    ("max_tokens", ["max_tokens"] * 3, "extract"),
])
def test_command_finds_the_token_limit_the_server_takes(server, tmp_path, choice, params,
                                                        source):
    for name in "abc":
        (tmp_path / f"{name}.json").write_text(json.dumps(conversation()))
    extra = ["--token-limit-param", choice] if choice else []
    proc = run_command(server, "reasoning", tmp_path, "--json", *extra)
    assert proc.returncode == 0, proc.stderr
    assert [r["summary_source"] for r in map(json.loads, proc.stdout.splitlines())] == [source] * 3
    sent = [{k: v for k, v in r["body"].items() if "tokens" in k} for r in server.requests]
    assert sent == [{param: 2048} for param in params]


def test_command_reports_a_budget_spent_on_reasoning_as_an_llm_failure(server, tmp_path):
    path = tmp_path / "conv.json"
    path.write_text(json.dumps(conversation()))
    proc = run_command(server, "length", path, "--reasoning-effort", "minimal")
    assert proc.returncode == 0, proc.stderr
    assert server.requests[0]["body"]["reasoning_effort"] == "minimal"
    assert ("LLM           not used: POST " + server.url("length") + "/chat/completions: "
            'the model reached its token limit before writing any text (finish_reason '
            '"length"); try --reasoning-effort low') in proc.stdout
    assert "summary       extract: " in proc.stdout


@pytest.mark.parametrize("jobs", ["1", "3"])
def test_command_in_place_writes_nothing_over_a_file_changed_meanwhile(server, tmp_path, jobs):
    paths = varied_files(tmp_path, 3)
    appended = json.loads(paths[1].read_bytes())
    appended["messages"].append({"role": "user", "content": "new", "timestamp": "2024-05-01T11:00:00+00:00"})
    changed = json.dumps(appended).encode()

    def meanwhile():  # while f1.json is being compressed, another process appends to it
        if "file 1 " in server.requests[-1]["body"]["messages"][1]["content"]:
            paths[1].write_bytes(changed)

    server.meanwhile = meanwhile
    proc = run_command(server, "append", tmp_path, "--in-place", "--jobs", jobs)
    assert proc.returncode == 1
    assert proc.stderr == (f"context-compress: {paths[1]}: changed while being compressed "
                           "(another process wrote it); nothing written for it\n")
    assert paths[1].read_bytes() == changed
    assert [PREFIX in p.read_text() for p in paths] == [True, False, True]
    assert proc.stdout.splitlines()[-1] == "3 files: 2 compressed, 0 not compressed, 1 failed"


@pytest.mark.parametrize("key, status", [("sk-from-env\r\n", 0), ("sk-from\nenv", 2)])
def test_command_strips_the_key_and_refuses_one_with_a_control_character(server, tmp_path, key,
                                                                           status):
    path = tmp_path / "conv.json"
    path.write_text(json.dumps(conversation()))
    proc = run_command(server, "ok", path, "--json", env={"TEST_LLM_KEY": key})
    assert proc.returncode == status
    if status:
        assert proc.stderr == ("context-compress: the API key in TEST_LLM_KEY holds a control "
                               "character (such as a line break inside it); it is not sent\n")
        assert server.requests == [] and proc.stdout == ""
    else:
        assert server.requests[0]["headers"]["authorization"] == "Bearer sk-from-env"


def test_command_masks_a_pasted_key_in_the_extract_it_writes(server, tmp_path):
    conv = conversation()
    conv["messages"][0]["content"] += " my key is sk-from-env"
    path = tmp_path / "conv.json"
    path.write_text(json.dumps(conv))
    proc = run_command(server, "error", path, "--in-place", "--json")
    assert json.loads(proc.stdout)["summary_source"] == "extract"
    written = json.loads(path.read_text())["messages"]
    [summary] = [m for m in written if m["content"].startswith(PREFIX)]
    assert "sk-from-env" not in summary["content"] and "my key is ***" in summary["content"]


def test_command_sends_loopback_past_a_proxy_and_warns_of_a_key_in_clear(server, tmp_path):
    paths = three_files(tmp_path)[:2]
    # A proxy that answers every request itself, as the LLM would.
    with running_server() as proxy:
        env = {"http_proxy": f"http://127.0.0.1:{proxy.server_address[1]}", "NO_PROXY": ""}
        proc = run_command(server, "ok", paths[0], env=env)
        assert proc.returncode == 0 and len(server.requests) == 1 and proxy.requests == []
        # Any other host goes through the proxy, key and all: said once per run.
        proc = run_command("http://api.example.invalid/ok/v1", None, tmp_path, "--json", env=env)
    assert proc.returncode == 0
    assert [r["summary_source"] for r in map(json.loads, proc.stdout.splitlines())] == ["llm"] * 3
    assert proc.stderr.count("the API key travels in clear through the proxy") == 1
    assert [r["path"] for r in proxy.requests] == ["http://api.example.invalid/ok/v1/chat/completions"] * 3


@pytest.mark.parametrize("as_json", [False, True], ids=["report", "json"])
def test_command_shows_control_characters_escaped(server, tmp_path, as_json):
    conv = conversation()
    conv["messages"][0]["content"] = "smile \ud83d " + conv["messages"][0]["content"]
    named = tmp_path / "a\x1b[2Jb\x07.json"
    named.write_text(json.dumps(conv))
    (tmp_path / "b.json").write_text(json.dumps(conversation()))
    extra = ["--json"] if as_json else []
    answered = run_command(server, "controls", tmp_path, *extra)
    failed = run_command(server, "error-controls", tmp_path / "b.json", *extra)
    for proc in (answered, failed):
        assert proc.returncode == 0, proc.stderr
        shown = proc.stdout + proc.stderr
        assert not any(c in shown for c in "\x1b\x07\x9b\ud83d")
        assert ("\\u001b" if as_json else "\\x1b") in shown
    lines = answered.stdout.splitlines()
    if as_json:
        records = [json.loads(line) for line in lines]
        assert [r["summary_source"] for r in records] == ["llm", "llm"]
        assert records[0]["file"] == str(named) and CONTROLLING_TEXT in records[0]["summary_start"]
    else:
        assert lines[0].startswith(str(tmp_path / "a\\x1b[2Jb\\x07.json") + ": compressed")
    # The request went out with U+FFFD for the lone surrogate, and was answered.
    assert "smile \ufffd" in server.requests[0]["body"]["messages"][1]["content"]


def varied_files(tmp_path, count, hold=()):
    paths = []
    for i in range(count):
        conv = conversation()
        conv["messages"][0]["content"] = ("hold " if i in hold else "") + f"file {i} " * (i + 1)
        paths.append(tmp_path / f"f{i}.json")
        paths[-1].write_text(json.dumps(conv))
    return paths


def test_command_jobs_write_and_report_as_one_job_does(server, tmp_path):
    paths = varied_files(tmp_path, 6)
    originals = [p.read_bytes() for p in paths]
    runs = []
    for jobs in ("1", "4"):
        for path, data in zip(paths, originals):
            path.write_bytes(data)
        proc = run_command(server, "vary", tmp_path, "--in-place", "--jobs", jobs, read_timeout="20")
        assert proc.returncode == 0, proc.stderr
        runs.append((proc.stdout, [p.read_bytes() for p in paths]))
    assert runs[0] == runs[1]
    assert runs[0][0].count("summary: LLM") == 6 and len(server.requests) == 12


def test_command_jobs_ask_a_dead_server_once_per_job(server, tmp_path):
    varied_files(tmp_path, 6)
    proc = run_command(server, "slow", tmp_path, "--json", "--jobs", "3")
    assert proc.returncode == 0, proc.stderr
    errors = [json.loads(line)["llm_error"] for line in proc.stdout.splitlines()]
    timed_out = [e for e in errors if "no complete answer within the read time-out" in e
                 and not e.startswith("not asked")]
    assert 1 <= len(timed_out) <= 3 and len(server.requests) == len(timed_out)
    assert all(e.startswith("not asked, since an earlier request") for e in errors if e not in timed_out)


def test_command_jobs_interrupted_write_nothing_half(server, tmp_path):
    paths = varied_files(tmp_path, 4, hold={1, 3})
    originals = [p.read_bytes() for p in paths]
    command = [COMMAND, str(tmp_path), "--max-context", "2000", "--llm-url", server.url("vary"),
               "--model", "m", "--in-place", "--jobs", "2", "--read-timeout", "50"]
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for _ in range(400):
        if len(server.requests) == 4:
            break
        time.sleep(0.05)
    time.sleep(0.3)  # the two answered files are written by now
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=10)
    assert proc.returncode == 130 and "interrupted by SIGINT" in err
    assert out.startswith(f"{paths[0]}: compressed")
    assert [p.read_bytes() == o for p, o in zip(paths, originals)] == [False, True, False, True]
    for written in (paths[0], paths[2]):
        assert any(m["content"].startswith(PREFIX) for m in json.loads(written.read_text())["messages"])
    assert not [p for p in tmp_path.iterdir() if p.name.endswith(".tmp")]


def test_command_rejects_llm_url_without_model(tmp_path):
    proc = subprocess.run([COMMAND, "x.json", "--llm-url", "http://127.0.0.1:9/v1"],
                          capture_output=True, text=True, timeout=30, cwd=tmp_path)
    assert proc.returncode == 2
    assert "--llm-url needs --model" in proc.stderr


# --- an asyncio host --------------------------------------------------------------------------


def load_example(name):
    """The namespace of examples/<name>.py, which is not an installed module."""
    path = Path(__file__).resolve().parent.parent / "examples" / f"{name}.py"
    return types.SimpleNamespace(**runpy.run_path(str(path)))


async def post_json(url, body):
    """A bare asyncio HTTP client, standing in for the host's async LLM client."""
    parts = urllib.parse.urlsplit(url)
    reader, writer = await asyncio.open_connection(parts.hostname, parts.port)
    data = json.dumps(body).encode()
    writer.write(f"POST {parts.path} HTTP/1.1\r\nHost: {parts.netloc}\r\n"
                 f"Content-Type: application/json\r\nContent-Length: {len(data)}\r\n"
                 "Connection: close\r\n\r\n".encode() + data)
    raw = await reader.read()
    writer.close()
    await writer.wait_closed()
    return json.loads(raw.partition(b"\r\n\r\n")[2])


def test_asyncio_host_keeps_its_loop_running_while_a_summary_is_pending(server):
    example = load_example("async_host")
    events = []

    async def main():
        asked, answer = asyncio.Event(), asyncio.Event()

        async def complete(messages, cfg):
            events.append("summary requested")
            asked.set()
            # Only another task of this loop can let the request go on; were
            # the loop blocked by the compression, it would never come.
            await answer.wait()
            return await post_json(server.url("ok") + "/chat/completions",
                                   {"model": "m", "messages": messages})

        async def other_task():
            await asked.wait()
            events.append("other task ran")
            answer.set()

        llm = example.LoopChat(asyncio.get_running_loop(), complete, timeout=SERVER_LIFETIME)
        with chat.installed(llm):
            conv = conversation()
            (compressed, _), _ = await asyncio.gather(
                example.compress(conv, {"max_context": 2000}), other_task())
        # On the loop's own thread the bridge fails at once instead of waiting
        # for the loop it blocks (the compression then uses its extract).
        with pytest.raises(RuntimeError, match="asyncio.to_thread"):
            llm(PROMPT, {})
        return conv

    conv = asyncio.run(main())
    assert events == ["summary requested", "other task ran"]
    assert PREFIX + LLM_SUMMARY + NOTE in [m["content"] for m in conv["messages"]]
    assert len(server.requests) == 1

"""The official OpenAI and Anthropic clients as a Compressor's LLM, against the
chat layer's loopback server answering as each API does, their requests and
answers checked against the clients' own types; every credential a client
sends masked in what is shown; the token-limit name a model refuses; and a
host of Compressor that mypy --strict accepts."""

import asyncio
import base64
import json
import logging
import string
import typing
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

pydantic = pytest.importorskip("pydantic", reason="the test extra is not installed")
openai = pytest.importorskip("openai", reason="the test extra (openai) is not installed")
anthropic = pytest.importorskip("anthropic", reason="the test extra (anthropic) is not installed")
from anthropic.types import Message  # noqa: E402
from anthropic.types.message_create_params import MessageCreateParamsNonStreaming  # noqa: E402
from openai.types.chat import ChatCompletion  # noqa: E402
from openai.types.chat.completion_create_params import CompletionCreateParamsNonStreaming  # noqa: E402

from context_compress import Compressor, from_anthropic, from_openai  # noqa: E402
from context_compress.texts import SUMMARIZER_PROMPT, SUMMARY_NOTE as NOTE, SUMMARY_PREFIX as PREFIX  # noqa: E402
from fake_server import (LLM_SUMMARY, UNSUPPORTED_MAX_TOKENS, FakeLLM, completion, conversation,  # noqa: E402
                         running_server)
from shared import run_mypy  # noqa: E402

KEY = "sk-test-0123456789abcdef"


def anthropic_message(text, stop_reason="end_turn"):
    """A message as Anthropic's Messages API returns it."""
    return {"id": "msg_01", "type": "message", "role": "assistant", "model": "claude-haiku-4-5",
            "content": [{"type": "text", "text": text}] if text else [], "stop_reason": stop_reason,
            "stop_sequence": None, "usage": {"input_tokens": 2100, "output_tokens": 40}}


class Providers(FakeLLM):
    """FakeLLM, and under /anthropic*/v1/messages Anthropic's Messages API."""

    def do_POST(self):
        mode = self.path.split("/")[1]
        if not mode.startswith("anthropic"):
            return super().do_POST()
        self.record(json.loads(self.rfile.read(int(self.headers.get("Content-Length", 0)))))
        if mode == "anthropic":
            self.reply(200, anthropic_message(f"  {LLM_SUMMARY}\n"))
        elif mode == "anthropic-empty":
            self.reply(200, anthropic_message("", "max_tokens"))
        else:  # the key echoed, as some gateways do
            key = self.headers.get("x-api-key") or self.headers.get("authorization")
            self.reply(401, {"type": "error", "error": {"type": "authentication_error",
                                                        "message": f"invalid key {key}"}})


@pytest.fixture
def server():
    with running_server(Providers) as srv:
        yield srv


def llm_of(server, provider, mode, asynchronous=False):
    # trust_env=False: loopback never goes through a proxy of the environment.
    if provider == "openai":
        cls, http = ((openai.AsyncOpenAI, openai.DefaultAsyncHttpxClient) if asynchronous
                     else (openai.OpenAI, openai.DefaultHttpxClient))
        client = cls(base_url=server.url(mode), api_key=KEY, max_retries=0, http_client=http(trust_env=False))
        return from_openai(client, "test-model", temperature=0.2)
    client = anthropic.Anthropic(base_url=f"http://127.0.0.1:{server.server_address[1]}/{mode}", api_key=KEY,
                                 max_retries=0, http_client=anthropic.DefaultHttpxClient(trust_env=False))
    return from_anthropic(client, "claude-haiku-4-5")


def test_the_fake_answers_are_the_apis_own():
    ChatCompletion.model_validate(completion(LLM_SUMMARY))
    Message.model_validate(anthropic_message(LLM_SUMMARY))
    Message.model_validate(anthropic_message("", "max_tokens"))


@pytest.mark.parametrize("provider, mode, params", [
    ("openai", "ok", CompletionCreateParamsNonStreaming),
    ("anthropic", "anthropic", MessageCreateParamsNonStreaming),
])
def test_each_client_sends_the_summary_request_as_its_api_takes_it(server, provider, mode, params):
    compressor = Compressor(llm_of(server, provider, mode), 2000, facts=False, llm_config={"read_timeout": 30})
    conv = conversation()
    result = compressor.compress(conv)
    assert (result.summary_source, result.llm_error) == ("llm", None)
    assert [m["content"] for m in conv["messages"] if m["content"].startswith(PREFIX)] == [
        PREFIX + LLM_SUMMARY + NOTE]
    [request] = server.requests
    body = request["body"]
    # pydantic ignores keys a TypedDict does not declare.
    assert set(body) <= set(typing.get_type_hints(params))
    pydantic.TypeAdapter(params).validate_python(body)
    user = {"role": "user", "content": body["messages"][-1]["content"]}
    assert user["content"].startswith("[user] message 00")
    if provider == "openai":
        assert body["messages"] == [{"role": "system", "content": SUMMARIZER_PROMPT}, user]
        assert (body["max_tokens"], body["temperature"]) == (2048, 0.2)
    else:
        assert (body["system"], body["messages"], body["max_tokens"]) == (SUMMARIZER_PROMPT, [user], 2048)


@pytest.mark.parametrize("provider, mode, words", [
    ("openai", "error", "InternalServerError (HTTP 500, server_error): model overloaded"),
    ("openai", "echo401", "401"),
    ("openai", "length", "NoText: the answer has no text (finish_reason 'length')"),
    ("anthropic", "anthropic-error", "401"),
    ("anthropic", "anthropic-empty", "NoText: the answer has no text (stop_reason 'max_tokens')"),
])
def test_a_failing_client_is_named_with_its_key_masked(server, provider, mode, words):
    result = Compressor(llm_of(server, provider, mode), 2000, facts=False).compress(conversation())
    assert result.compressed and result.summary_source == "extract"
    assert words in result.llm_error and KEY not in result.llm_error


def test_an_async_client_answers_acompress_on_its_loop(server):
    conv = conversation()
    result = asyncio.run(Compressor(llm_of(server, "openai", "ok", asynchronous=True), 2000, facts=False)
                         .acompress(conv))
    assert result.summary_source == "llm" and len(server.requests) == 1


# --- every credential a client sends is masked -------------------------------------------


class Echoes401(FakeLLM):
    """A 401 in each API's shape, quoting every header that can carry a
    credential and the path with its query, as careless gateways do."""

    def do_POST(self):
        self.record(json.loads(self.rfile.read(int(self.headers.get("Content-Length", 0)))))
        quoted = {k: v for k, v in self.headers.items()
                  if k.lower() in ("authorization", "x-api-key", "api-key", "x-auth-token")}
        message = f"invalid credentials {json.dumps(quoted)} for {self.path}"
        self.server.quoted = [*getattr(self.server, "quoted", []), message]
        if self.path.endswith("/v1/messages"):
            self.reply(401, {"type": "error", "error": {"type": "authentication_error", "message": message}})
        else:
            self.reply(401, {"error": {"message": message, "type": "invalid_request_error",
                                       "param": None, "code": "invalid_api_key"}})


def token_provider(token, asynchronous=False):
    def provide(*, force_refresh=False):
        return anthropic.AccessToken(token, expires_at=0)

    async def provide_later(*, force_refresh=False):
        return provide()

    return provide_later if asynchronous else provide


def returning(token):
    async def later():
        return token
    return later


# Each makes (client, the adapter's keywords) with `token` in one of the
# places a client takes a credential from; the server at `url` answers 401
# quoting it.
def openai_client(url, asynchronous=False, **kwargs):
    cls, http = ((openai.AsyncOpenAI, openai.DefaultAsyncHttpxClient) if asynchronous
                 else (openai.OpenAI, openai.DefaultHttpxClient))
    kwargs.setdefault("http_client", http(trust_env=False))
    return cls(base_url=url, max_retries=0, **kwargs)


def anthropic_client(url, asynchronous=False, **kwargs):
    cls, http = ((anthropic.AsyncAnthropic, anthropic.DefaultAsyncHttpxClient) if asynchronous
                 else (anthropic.Anthropic, anthropic.DefaultHttpxClient))
    return cls(base_url=url, max_retries=0, http_client=http(trust_env=False), **kwargs)


CREDENTIAL_FORMS = {
    "openai api_key": lambda url, t: (openai_client(url, api_key=t), {}),
    "openai api_key=<a function>": lambda url, t: (openai_client(url, api_key=lambda: t), {}),
    "async openai api_key=<a coroutine function>": lambda url, t: (openai_client(url, True, api_key=returning(t)), {}),
    "openai default Authorization": lambda url, t: (
        openai_client(url, api_key="k", default_headers={"Authorization": f"Bearer {t}"}), {}),
    "openai extra api-key header": lambda url, t: (openai_client(url, api_key="k"), {"extra_headers": {"api-key": t}}),
    "openai key in the query": lambda url, t: (openai_client(url, api_key="k", default_query={"api-key": t}), {}),
    "openai password in the base URL": lambda url, t: (
        openai_client(url.replace("http://", f"http://user:{t}@"), api_key="k"), {}),
    "openai HTTP client's own x-api-key": lambda url, t: (openai_client(
        url, api_key="k", http_client=openai.DefaultHttpxClient(trust_env=False, headers={"x-api-key": t})), {}),
    "anthropic api_key": lambda url, t: (anthropic_client(url, api_key=t), {}),
    "anthropic auth_token": lambda url, t: (anthropic_client(url, auth_token=t), {}),
    "async anthropic auth_token": lambda url, t: (anthropic_client(url, True, auth_token=t), {}),
    "anthropic credentials provider": lambda url, t: (anthropic_client(url, credentials=token_provider(t)), {}),
    "async anthropic credentials provider": lambda url, t: (
        anthropic_client(url, True, credentials=token_provider(t, True)), {}),
    "anthropic default x-api-key": lambda url, t: (
        anthropic_client(url, api_key="k", default_headers={"x-api-key": t}), {}),
}

tokens = st.builds(lambda prefix, body: prefix + body, st.sampled_from(["", "sk-", "sk-proj-", "sk-ant-api03-"]),
                   st.text(st.sampled_from(string.ascii_letters + string.digits + "-_.~"), min_size=16, max_size=64))


def runs_of(secret):
    return [secret[i:i + 8] for i in range(len(secret) - 7)]


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lines = []

    def emit(self, record):
        # Every record of the library; of the clients' and others', warnings and above.
        if record.name.startswith("context_compress") or record.levelno >= logging.WARNING:
            self.lines.append(record.getMessage())


@given(token=tokens, form=st.sampled_from(sorted(CREDENTIAL_FORMS)))
def test_every_credential_a_client_sends_is_masked_in_llm_error_and_the_log(token, form):
    with running_server(Echoes401) as echo_server:
        result, log = compressed_through(echo_server, token, form)
    # The server did quote the credential as the client sent it.
    sent_forms = [token, base64.b64encode(f"user:{token}".encode()).decode()]
    assert any(f in q for q in echo_server.quoted for f in sent_forms)
    shown = [result.llm_error, *log]
    assert [line for line in shown for f in sent_forms for run in runs_of(f) if run in line] == []
    assert result.summary_source == "extract" and "HTTP 401" in result.llm_error


def compressed_through(echo_server, token, form):
    """The result of a compression whose summary is asked with `token` in
    `form`, and its log: the library's records and all warnings."""
    path = "anthropic-echo" if "anthropic" in form else "echo/v1"
    client, kwargs = CREDENTIAL_FORMS[form](f"http://127.0.0.1:{echo_server.server_address[1]}/{path}", token)
    compressor = Compressor((from_anthropic if "anthropic" in form else from_openai)(client, "m", **kwargs),
                            2000, facts=False)

    async def acompress():
        async with client:
            return await compressor.acompress(conversation())

    records, library = Records(), logging.getLogger("context_compress")
    logging.getLogger().addHandler(records)
    level, library.level = library.level, logging.DEBUG
    try:
        if form.startswith("async"):
            result = asyncio.run(acompress())
        else:
            with client:
                result = compressor.compress(conversation())
    finally:
        logging.getLogger().removeHandler(records)
        library.level = level
    return result, records.lines


def test_secrets_are_what_the_client_sends_now_and_what_it_sent(server):
    tokens = iter(f"sk-rotating-{i:04d}-0123456789abcdef" for i in range(10))
    client = openai_client(server.url("echo401"), api_key=lambda: next(tokens))
    llm = from_openai(client, "m")
    assert llm.secrets == ()  # nothing sent yet, and a function's token is not asked for
    Compressor(llm, 2000, facts=False).compress(conversation())
    assert "sk-rotating-0000-0123456789abcdef" in llm.secrets
    client.api_key = "sk-changed-later-0123456789"
    assert {"sk-rotating-0000-0123456789abcdef", "sk-changed-later-0123456789"} <= set(llm.secrets)


# --- the token-limit name a model refuses -----------------------------------------------


@pytest.mark.parametrize("asynchronous", [False, True], ids=["sync", "async"])
def test_from_openai_retries_a_refused_max_tokens_once_and_keeps_the_new_name(server, asynchronous):
    llm = llm_of(server, "openai", "reasoning", asynchronous)
    compressor = Compressor(llm, 2000, facts=False)

    async def twice():  # on one loop: the client's connections belong to it
        return [await compressor.acompress(conversation()) for _ in range(2)]

    results = asyncio.run(twice()) if asynchronous else [compressor.compress(conversation()) for _ in range(2)]
    assert [(r.summary_source, r.llm_error) for r in results] == [("llm", None)] * 2
    # Refused once, then the name the model takes for this and every later request.
    limits = [{k: v for k, v in r["body"].items() if k.startswith("max_")} for r in server.requests]
    assert limits == [{"max_tokens": 2048}, {"max_completion_tokens": 2048}, {"max_completion_tokens": 2048}]
    assert llm.learnt_token_limit_param == "max_completion_tokens"


class RefusesEveryLimit(FakeLLM):
    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", 0))))
        self.record(body)
        param = "max_tokens" if "max_tokens" in body else "max_completion_tokens"
        error = dict(UNSUPPORTED_MAX_TOKENS["error"], param=param,
                     message=f"Unsupported parameter: '{param}' is not supported with this model.")
        self.reply(400, {"error": error})


@pytest.mark.parametrize("how, sent", [
    ("a second refusal", [{"max_tokens": 2048}, {"max_completion_tokens": 2048}]),
    ("the host's name in llm_config", [{"max_tokens": 2048}]),
    ("the host's own max_tokens=", [{"max_tokens": 100}]),
])
def test_the_limit_is_retried_once_and_only_when_the_name_was_the_adapters(how, sent):
    with running_server(RefusesEveryLimit) as srv:
        kwargs = {"max_tokens": 100} if how == "the host's own max_tokens=" else {}
        config = {"token_limit_param": "max_tokens"} if how == "the host's name in llm_config" else {}
        client = openai_client(srv.url("refuse"), api_key="k")
        result = Compressor(from_openai(client, "m", **kwargs), 2000, facts=False, llm_config=config).compress(
            conversation())
    assert result.summary_source == "extract"
    assert "(HTTP 400, invalid_request_error, unsupported_parameter)" in result.llm_error
    assert [{k: v for k, v in r["body"].items() if k.startswith("max_")} for r in srv.requests] == sent


HOST = '''\
from typing import TYPE_CHECKING, Any
from anthropic import Anthropic
from openai import OpenAI
from context_compress import CompressionResult, Compressor, from_anthropic, from_openai
if TYPE_CHECKING:
    from routes.context_compress import LLMConfig

def ask(messages: list[dict[str, str]], cfg: dict[str, Any]) -> str:
    return messages[-1]["content"][:100]

config: "LLMConfig" = {"temperature": 0.0, "read_timeout": 30, "base_url": "http://llm", "model": "m",
                       "api_key": "k", "max_context": 8000, "a_host_key": [1]}
first = Compressor(ask, 128_000, llm_config=config)
second = Compressor(from_openai(OpenAI(api_key="k"), "gpt-4o-mini", temperature=0))
third = Compressor(llm=from_anthropic(Anthropic(api_key="k"), "claude"), facts=False, system_prompt="x")

async def serve(conv: dict[str, Any]) -> CompressionResult:
    return await first.acompress(conv)

result = second.compress({"messages": []})
seen: tuple[bool, float, str | None, str | None, bool, int | None] = (
    result.compressed, result.stats["rate"], result.summary_source, result.llm_error, result.still_over,
    result.largest_kept_tokens)
facts: dict[str, int] | None = result.summary_facts
Compressor(llm=42)  # E
reason: int = result.reason  # E
'''


def test_mypy_strict_accepts_a_host_and_rejects_its_mistakes(tmp_path):
    source = tmp_path / "host.py"
    source.write_text(HOST)
    # Reading the clients' packages takes a minute; a cache kept in build/
    # makes every later run take seconds.
    cache = Path(__file__).resolve().parent.parent / "build" / "mypy-host-cache"
    stdout, stderr, _ = run_mypy(str(source), "--strict", "--cache-dir", str(cache), "--no-error-summary")
    flagged = {int(line.split(":")[1]) for line in stdout.splitlines() if ": error:" in line}
    expected = {i for i, line in enumerate(HOST.splitlines(), 1) if line.endswith("# E")}
    assert flagged == expected, stdout + stderr

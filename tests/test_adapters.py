"""The official OpenAI and Anthropic clients as a Compressor's LLM, against the
chat layer's loopback server answering as each API does, their requests and
answers checked against the clients' own types; and a host of Compressor
that mypy --strict accepts."""

import asyncio
import json
import typing
from pathlib import Path

import pytest

pydantic = pytest.importorskip("pydantic", reason="the test extra is not installed")
openai = pytest.importorskip("openai", reason="the test extra (openai) is not installed")
anthropic = pytest.importorskip("anthropic", reason="the test extra (anthropic) is not installed")
from anthropic.types import Message  # noqa: E402
from anthropic.types.message_create_params import MessageCreateParamsNonStreaming  # noqa: E402
from openai.types.chat import ChatCompletion  # noqa: E402
from openai.types.chat.completion_create_params import CompletionCreateParamsNonStreaming  # noqa: E402

from context_compress import Compressor, from_anthropic, from_openai  # noqa: E402
from context_compress.texts import SUMMARIZER_PROMPT, SUMMARY_NOTE as NOTE, SUMMARY_PREFIX as PREFIX  # noqa: E402
from fake_server import LLM_SUMMARY, FakeLLM, completion, conversation, running_server  # noqa: E402
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

"""The official OpenAI and Anthropic clients as a `Compressor`'s `llm`.

    Compressor(llm=from_openai(OpenAI(), "gpt-4o-mini"))
    Compressor(llm=from_anthropic(Anthropic(), "claude-haiku-4-5", temperature=0))

Each adapter turns the summary request (a system and a user message, and the
compressor's `cfg`) into one call of the client and returns the answer's
text. From `cfg` it takes the token limit the module sets (`max_tokens`, sent
under the name in `token_limit_param` for OpenAI when given), `temperature`,
`top_p`, `stop`, `seed` and `reasoning_effort` where the client's call takes
them, and `read_timeout` as the call's `timeout`; the other entries
(`max_context`, `base_url`, `api_key`...) belong to other chat layers and are
not sent. Keywords given to the adapter are sent as they are and win over
`cfg`. An answer without text raises `NoText`, which the compressor reports
as its `llm_error`. An async client (`AsyncOpenAI`, `AsyncAnthropic`) makes
an adapter that returns an awaitable, which `Compressor.acompress` runs on
its event loop.
"""

from __future__ import annotations

import inspect
from collections.abc import Awaitable, Callable
from typing import TYPE_CHECKING, Any, Protocol

if TYPE_CHECKING:
    from .compressor import LLM

__all__ = ["from_openai", "from_anthropic", "NoText", "OpenAIClient", "AnthropicClient"]


# The clients are described by what the adapters use of them, so that neither
# package is needed, nor read by a type checker, where it is not used.
class OpenAIClient(Protocol):
    """`openai.OpenAI`, `openai.AsyncOpenAI`, or a client with their `chat`."""

    @property
    def chat(self) -> Any: ...


class AnthropicClient(Protocol):
    """`anthropic.Anthropic`, `anthropic.AsyncAnthropic`, or a client with their `messages`."""

    @property
    def messages(self) -> Any: ...

#: Entries of `cfg` sent where the client's call takes a parameter of that name.
PASSED_THROUGH = ("temperature", "top_p", "seed", "reasoning_effort")

#: Keywords that the summary request itself fills in.
_REQUEST_OWN = ("model", "messages", "stream")


class NoText(Exception):
    """The API answered, but without any text to use as the summary."""


class _Adapter:
    """`llm(messages, cfg)` over one client call: `build` makes its keywords,
    `read` takes the text out of its answer."""

    def __init__(self, create: Callable[..., Any], create_kwargs: dict[str, Any],
                 build: Callable[[list[dict[str, str]], dict[str, Any], set[str] | None], dict[str, Any]],
                 read: Callable[[Any], str], api_key: Any) -> None:
        for name in (*_REQUEST_OWN, "system"):
            if name in create_kwargs:
                raise ValueError(f"{name}= is the summary request's own; give the compressor a "
                                 "system_prompt to change its instruction")
        self._create = create
        self._create_kwargs = create_kwargs
        self._build = build
        self._read = read
        self._takes = _parameters(create)
        #: Masked in every error the compressor reports.
        self.secrets = (api_key,) if isinstance(api_key, str) else ()

    def __call__(self, messages: list[dict[str, str]], cfg: dict[str, Any]) -> str | Awaitable[str]:
        request = self._build(messages, cfg, self._takes)
        if any(k in self._create_kwargs for k in ("max_tokens", "max_completion_tokens")):
            request.pop("max_tokens", None)
            request.pop("max_completion_tokens", None)
        request.update(self._create_kwargs)
        answer = self._create(**request)
        if inspect.isawaitable(answer):
            return self._read_later(answer)
        return self._read(answer)

    async def _read_later(self, answer: Awaitable[Any]) -> str:
        return self._read(await answer)


def _parameters(create: Callable[..., Any]) -> set[str] | None:
    """The keyword names `create` takes; None when it takes any."""
    try:
        parameters = inspect.signature(create).parameters.values()
    except (TypeError, ValueError):
        return None
    if any(p.kind is p.VAR_KEYWORD for p in parameters):
        return None
    return {p.name for p in parameters}


def _options(cfg: dict[str, Any], takes: set[str] | None) -> dict[str, Any]:
    options = {name: cfg[name] for name in PASSED_THROUGH
               if cfg.get(name) is not None and (takes is None or name in takes)}
    if cfg.get("read_timeout") is not None:
        options["timeout"] = cfg["read_timeout"]
    return options


# --- OpenAI ------------------------------------------------------------------------


def from_openai(client: OpenAIClient, model: str, **create_kwargs: Any) -> LLM:
    """`llm` for `Compressor` that asks `client.chat.completions.create`."""

    def build(messages: list[dict[str, str]], cfg: dict[str, Any], takes: set[str] | None) -> dict[str, Any]:
        request: dict[str, Any] = {"model": model, "messages": messages, **_options(cfg, takes)}
        if cfg.get("max_tokens") is not None:
            request[cfg.get("token_limit_param") or "max_tokens"] = cfg["max_tokens"]
        if cfg.get("stop") is not None:
            request["stop"] = cfg["stop"]
        return request

    return _Adapter(client.chat.completions.create, create_kwargs, build, _openai_text,
                    getattr(client, "api_key", None))


def _openai_text(answer: Any) -> str:
    if not answer.choices:
        raise NoText("the answer has no choices")
    choice = answer.choices[0]
    content = choice.message.content
    if not isinstance(content, str) or not content.strip():
        refused = " (the model refused)" if getattr(choice.message, "refusal", None) else ""
        raise NoText(f"the answer has no text (finish_reason {choice.finish_reason!r}){refused}")
    return content


# --- Anthropic ---------------------------------------------------------------------


def from_anthropic(client: AnthropicClient, model: str, **create_kwargs: Any) -> LLM:
    """`llm` for `Compressor` that asks `client.messages.create`: the system
    message goes as `system`, the token limit as `max_tokens`."""

    def build(messages: list[dict[str, str]], cfg: dict[str, Any], takes: set[str] | None) -> dict[str, Any]:
        system = "\n\n".join(m["content"] for m in messages if m["role"] == "system")
        request: dict[str, Any] = {"model": model, "max_tokens": cfg.get("max_tokens"),
                                   "messages": [m for m in messages if m["role"] != "system"],
                                   **_options(cfg, takes)}
        if system:
            request["system"] = system
        stop = cfg.get("stop")
        if stop is not None:
            request["stop_sequences"] = [stop] if isinstance(stop, str) else list(stop)
        return request

    return _Adapter(client.messages.create, create_kwargs, build, _anthropic_text,
                    getattr(client, "api_key", None))


def _anthropic_text(answer: Any) -> str:
    text = "".join(block.text for block in answer.content if getattr(block, "type", None) == "text")
    if not text.strip():
        raise NoText(f"the answer has no text (stop_reason {answer.stop_reason!r})")
    return text

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

`from_openai` sends the token limit as `max_tokens` until a model refuses
that name (OpenAI's 400 "unsupported_parameter" for `max_tokens`), then
retries once as `max_completion_tokens`, and sends that name from then on,
as the command's chat layer does.

An adapter's `secrets` are the credentials its client sends, for the
compressor to mask in every error it reports: those the client would send
now (its auth headers, default headers and query, a URL's user information)
and those that went out with its recent requests. The latter are read from
each request as it leaves, by one request hook that an adapter adds to the
client's HTTP client (`client._client`, an httpx client): it reads only the
adapter's own requests, so a token from `OpenAI(api_key=<a function>)`, a
credentials provider or a per-request header is masked as well.
"""

from __future__ import annotations

import base64
import binascii
import contextlib
import contextvars
import inspect
import re
import threading
import urllib.parse
from collections import OrderedDict
from collections.abc import Awaitable, Callable, Generator, Iterator, Mapping
from typing import TYPE_CHECKING, Any, Protocol

from .masking import url_secrets

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


#: The two spellings of the token limit, as the chat layer knows them.
TOKEN_LIMIT_PARAMS = ("max_tokens", "max_completion_tokens")


class NoText(Exception):
    """The API answered, but without any text to use as the summary."""


class _Pending:
    """An async client's call not awaited yet: awaiting it sends the request
    and reads the answer; close() drops it unsent, the client's coroutine
    with it, so that nothing is left to warn that it was never awaited (as
    when compress() is called on a thread whose event loop runs)."""

    def __init__(self, read_later: Callable[..., Awaitable[str]], answer: Awaitable[Any], *args: Any) -> None:
        self._read_later = read_later
        self._answer = answer
        self._args = args

    def __await__(self) -> Generator[Any, None, str]:
        return self._read_later(self._answer, *self._args).__await__()

    def close(self) -> None:
        if inspect.iscoroutine(self._answer):
            self._answer.close()


class _Adapter:
    """`llm(messages, cfg)` over one client call: `build` makes its keywords,
    `read` takes the text out of its answer. With `learns_limit`, a refused
    `max_tokens` is retried once as `max_completion_tokens`, which is sent
    from then on."""

    def __init__(self, client: Any, create: Callable[..., Any], create_kwargs: dict[str, Any],
                 build: Callable[[list[dict[str, str]], dict[str, Any], set[str] | None], dict[str, Any]],
                 read: Callable[[Any], str], learns_limit: bool = False) -> None:
        for name in (*_REQUEST_OWN, "system"):
            if name in create_kwargs:
                raise ValueError(f"{name}= is the summary request's own; give the compressor a "
                                 "system_prompt to change its instruction")
        self._create = create
        self._create_kwargs = create_kwargs
        self._build = build
        self._read = read
        self._takes = _parameters(create)
        self._learns_limit = learns_limit
        #: What the model took for the token limit, learnt from a refusal.
        self.learnt_token_limit_param: str | None = None
        self._credentials = _Credentials(client, create_kwargs)

    @property
    def secrets(self) -> tuple[str, ...]:
        """The credentials the client sends now and those its recent requests
        carried; the compressor masks them in every error it reports."""
        return self._credentials.all()

    def __call__(self, messages: list[dict[str, str]], cfg: dict[str, Any]) -> str | Awaitable[str]:
        request = self._request(messages, cfg)
        with self._credentials.recording():
            try:
                answer = self._create(**request)
            except Exception as exc:
                retry = self._retry(exc, request, messages, cfg)
                if retry is None:
                    raise
                answer = self._create(**retry)
        if inspect.isawaitable(answer):
            return _Pending(self._read_later, answer, request, messages, cfg)
        return self._read(answer)

    async def _read_later(self, answer: Awaitable[Any], request: dict[str, Any],
                          messages: list[dict[str, str]], cfg: dict[str, Any]) -> str:
        # An async client's request goes out here, in the awaiting task.
        with self._credentials.recording():
            try:
                result = await answer
            except Exception as exc:
                retry = self._retry(exc, request, messages, cfg)
                if retry is None:
                    raise
                result = await self._create(**retry)
        return self._read(result)

    def _request(self, messages: list[dict[str, str]], cfg: dict[str, Any]) -> dict[str, Any]:
        if self.learnt_token_limit_param and not cfg.get("token_limit_param"):
            cfg = {**cfg, "token_limit_param": self.learnt_token_limit_param}
        request = self._build(messages, cfg, self._takes)
        if any(k in self._create_kwargs for k in TOKEN_LIMIT_PARAMS):
            for name in TOKEN_LIMIT_PARAMS:
                request.pop(name, None)
        request.update(self._create_kwargs)
        return request

    def _retry(self, exc: Exception, request: dict[str, Any], messages: list[dict[str, str]],
               cfg: dict[str, Any]) -> dict[str, Any] | None:
        """The request again with `max_completion_tokens`, when the model
        refused `max_tokens` and the name was the adapter's choice (not the
        host's, in `cfg` or the adapter's keywords); None otherwise."""
        if (not self._learns_limit or cfg.get("token_limit_param") or "max_tokens" not in request
                or any(k in self._create_kwargs for k in TOKEN_LIMIT_PARAMS)
                or not _refuses(exc, "max_tokens")):
            return None
        self.learnt_token_limit_param = "max_completion_tokens"
        return self._request(messages, cfg)


def _refuses(exc: Exception, param: str) -> bool:
    """OpenAI's refusal of a parameter: HTTP 400, code "unsupported_parameter"
    for `param` (openai's BadRequestError keeps both from the error body)."""
    return (getattr(exc, "status_code", None) == 400
            and getattr(exc, "code", None) == "unsupported_parameter"
            and getattr(exc, "param", None) == param)


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

    return _Adapter(client, client.chat.completions.create, create_kwargs, build, _openai_text,
                    learns_limit=True)


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

    return _Adapter(client, client.messages.create, create_kwargs, build, _anthropic_text)


def _anthropic_text(answer: Any) -> str:
    text = "".join(block.text for block in answer.content if getattr(block, "type", None) == "text")
    if not text.strip():
        raise NoText(f"the answer has no text (stop_reason {answer.stop_reason!r})")
    return text


# --- the credentials a client sends -----------------------------------------------

#: Distinct credentials of recent requests an adapter keeps (a token that
#: changes with every request would otherwise pile up).
RECENT_CREDENTIALS = 16

# Header names that carry a credential: Authorization, x-api-key, api-key
# (Azure), x-goog-api-key, X-Auth-Token, Cookie, X-Amz-Security-Token...
_CREDENTIAL_HEADER = re.compile(r"(?i)auth|key|token|secret|credential|signature|session|cookie|passw")
# "<scheme> <credentials>" of an Authorization header.
_SCHEMED = re.compile(r"([A-Za-z][A-Za-z0-9._~+/-]*) +(\S.*)", re.S)

# The adapter whose request is being sent in this thread or task, if any.
_sending: contextvars.ContextVar[_Credentials | None] = contextvars.ContextVar(
    "context_compress_adapter_sending", default=None)


def header_secrets(name: str, value: object) -> list[str]:
    """The credentials a header carries: the value of a header whose name says
    it holds one; of `Authorization`, what follows its scheme, and for
    `Basic` the user and password it encodes."""
    if not isinstance(name, str) or not isinstance(value, str) or not _CREDENTIAL_HEADER.search(name):
        return []
    value = value.strip()
    scheme = _SCHEMED.fullmatch(value)
    if scheme is None or name.lower() not in ("authorization", "proxy-authorization"):
        return [value]
    found = [scheme[2].strip()]
    if scheme[1].lower() == "basic":
        with contextlib.suppress(binascii.Error, UnicodeDecodeError, ValueError):
            pair = base64.b64decode(found[0], validate=True).decode("utf-8")
            found += [pair, *pair.split(":", 1)]
    return found


def _read(obj: object, name: str) -> object:
    """An attribute of a client that may be missing, or whose property may raise."""
    try:
        return getattr(obj, name, None)
    except Exception:
        return None


def _headers_secrets(headers: object) -> list[str]:
    items = _read(headers, "multi_items") or _read(headers, "items")
    if not callable(items):
        return []
    found: list[str] = []
    with contextlib.suppress(Exception):
        for name, value in items():
            found += header_secrets(name, value)
    return found


def _query_secrets(query: object) -> list[str]:
    if not isinstance(query, Mapping) or not query:
        return []
    with contextlib.suppress(Exception):
        pairs = [(k, v) for k, v in query.items() if isinstance(k, str) and isinstance(v, (str, int))]
        return url_secrets("http://host/?" + urllib.parse.urlencode(pairs))
    return []


def _url_secrets(url: object) -> list[str]:
    return url_secrets(str(url)) if url is not None else []


class _Credentials:
    """What a client sends to authenticate: read from the client when asked,
    and recorded from each request of the adapter as it goes out."""

    def __init__(self, client: Any, create_kwargs: Mapping[str, Any]) -> None:
        self._client = client
        self._kwargs = create_kwargs
        self._sent: OrderedDict[str, None] = OrderedDict()
        self._lock = threading.Lock()
        _watch(_read(client, "_client"))

    def now(self) -> list[str]:
        """What the client would send now: its key and token, its auth and
        default headers, its HTTP client's headers, the credentials of its
        base URL and default query, and the adapter's extra headers and query."""
        client, http = self._client, _read(self._client, "_client")
        found = [v for v in (_read(client, n) for n in ("api_key", "auth_token", "admin_api_key"))
                 if isinstance(v, str)]
        for headers in (_read(client, "auth_headers"), _read(client, "default_headers"),
                        _read(http, "headers"), self._kwargs.get("extra_headers")):
            found += _headers_secrets(headers)
        found += _url_secrets(_read(client, "base_url")) + _url_secrets(_read(http, "base_url"))
        for query in (_read(client, "default_query"), _read(http, "params"), self._kwargs.get("extra_query")):
            found += _query_secrets(query)
        return found

    def record(self, request: Any) -> None:
        """Keeps the credentials of a request that is going out."""
        found = _headers_secrets(_read(request, "headers")) + _url_secrets(_read(request, "url"))
        with self._lock:
            for secret in found:
                self._sent[secret] = None
                self._sent.move_to_end(secret)
            while len(self._sent) > RECENT_CREDENTIALS:
                self._sent.popitem(last=False)

    def all(self) -> tuple[str, ...]:
        with self._lock:
            sent = list(self._sent)
        return tuple(dict.fromkeys(s for s in (*self.now(), *sent) if s))

    @contextlib.contextmanager
    def recording(self) -> Iterator[None]:
        """Within the block, this thread's or task's requests are recorded."""
        token = _sending.set(self)
        try:
            yield
        finally:
            _sending.reset(token)


def _seen(request: Any) -> None:
    credentials = _sending.get()
    if credentials is not None:
        # The hook runs inside the client's send: nothing of it may fail a request.
        with contextlib.suppress(Exception):
            credentials.record(request)


async def _seen_async(request: Any) -> None:
    _seen(request)


def _watch(http: object) -> None:
    """Adds the request hook to an httpx client (sync or async), once."""
    hooks = _read(http, "event_hooks")
    requests = hooks.get("request") if isinstance(hooks, dict) else None
    if not isinstance(requests, list):
        return
    hook = _seen_async if inspect.iscoroutinefunction(_read(type(http), "send")) else _seen
    if hook not in requests:
        requests.append(hook)

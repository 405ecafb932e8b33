"""An OpenAI-compatible chat layer with the call shape of a host's `routes.chat`.

A `ChatLayer` is built from `Settings` (base URL, model, key, time-outs) and is
itself the `_call_llm_api(messages, cfg, stream=False)` that the compression
calls: it posts the messages to `{base_url}/chat/completions` and returns the
decoded JSON response (with `stream=True`, an iterator over the decoded
event-stream chunks). Entries of `cfg` win over the layer's settings. The
token limit goes out as `max_tokens` until a server refuses that name, then as
`max_completion_tokens`, which the layer remembers. Every failure is raised as
`ChatError` (`ServerUnreachable` when no connection was made or a time-out
ran out), with the key and URL credentials masked, so a caller such as
`routes.context_compress` can absorb it and fall back to its extract.

`connect_timeout` bounds the making of the connection (and the TLS handshake);
`read_timeout` bounds everything after it, from sending the request to the last
byte of the answer, however slowly that answer arrives.

`installed(call)` puts a module whose `_call_llm_api` is `call` in
`sys.modules` as `routes.chat` for the duration of a `with` block, and
`blocked()` hides any `routes.chat` instead, so that compression uses the
built-in extract.
"""

from __future__ import annotations

import contextlib
import functools
import os
import re
import sys
import types
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, fields, replace
from typing import Any

# The pieces a host may reach through this module, as it always could.
from ..masking import MASK, Redactor, mask_urls, url_secrets  # noqa: F401
from ..llm_errors import untrusted
from ..messages import part_text
from .errors import ChatError, ServerUnreachable, UnsupportedParameter, masked
from .proxies import is_loopback, key_travels_in_clear, proxy_for, proxy_handler  # noqa: F401
from .transport import (MAX_RESPONSE_BYTES, TRUNCATED_BEFORE_TEXT, answer_of,  # noqa: F401
                        completions_url, events_of, send)

CHAT_MODULE = "routes.chat"

#: Request-body entries taken from `cfg` when present (and not None). The
#: token limit, `cfg["max_tokens"]`, is sent under the name the server takes.
PASSED_THROUGH = ("temperature", "top_p", "stop", "seed")

#: The two spellings of the token limit: `max_tokens` is the one most servers
#: know; OpenAI's reasoning models take only `max_completion_tokens`.
TOKEN_LIMIT_PARAMS = ("max_tokens", "max_completion_tokens")


@dataclass(frozen=True)
class Settings:
    """What a layer uses when the request's `cfg` does not say otherwise."""

    base_url: str | None = None
    model: str | None = None
    api_key: str | None = None
    connect_timeout: float = 10.0
    read_timeout: float = 120.0
    #: One of TOKEN_LIMIT_PARAMS, or None: `max_tokens` until the server
    #: refuses it, then `max_completion_tokens` for the rest of the layer's life.
    token_limit_param: str | None = None
    #: Sent as `reasoning_effort` when set ("low", "medium"...).
    reasoning_effort: str | None = None
    #: The environment variable the key is read from, if it is: a request
    #: sent without a key and refused as unauthorised names it, and says
    #: that it is not set (or empty).
    api_key_env: str | None = None


# A key read from a file or an env-file often ends in a line break; one that
# still holds a control character inside would go out as a broken header.
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f]")


def checked_key(key: str, where: str) -> str | None:
    """The API key without the white space around it (None when nothing is
    left). A key that still holds a control character is refused with a
    ChatError that names `where` it came from, never the key."""
    key = key.strip()
    if _CONTROL.search(key):
        raise ChatError(f"the API key in {where} holds a control character (such as a line "
                        "break inside it); it is not sent")
    return key or None


def resolve(settings: Settings, cfg: Mapping[str, Any] | None) -> Settings:
    """The settings of one request: entries of `cfg` that are set win over `settings`."""
    cfg = cfg or {}
    chosen = {}
    for field in fields(Settings):
        if field.name == "api_key_env":  # the layer's own: where its key came from
            continue
        value = cfg.get(field.name)
        if value is not None and value != "":
            chosen[field.name] = value
    settings = replace(settings, **chosen)
    for name in ("base_url", "model", "api_key", "reasoning_effort"):
        value = getattr(settings, name)
        if value is not None and not isinstance(value, str):
            raise ChatError(f"{name} must be a string, not {type(value).__name__}")
    if settings.api_key is not None:
        settings = replace(settings, api_key=checked_key(settings.api_key, "api_key"))
    if settings.token_limit_param not in (None, *TOKEN_LIMIT_PARAMS):
        raise ChatError(f"token_limit_param must be max_tokens or max_completion_tokens, "
                        f"not {settings.token_limit_param!r}")
    if not settings.base_url:
        raise ChatError("no base URL configured for the chat layer")
    if not settings.model:
        raise ChatError("no model configured for the chat layer")
    for name in ("connect_timeout", "read_timeout"):
        value = getattr(settings, name)
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
            raise ChatError(f"{name} must be a positive number of seconds, not {value!r}")
    return settings


# --- the request ---------------------------------------------------------------


class ChatLayer:
    """`_call_llm_api` bound to its settings: `layer(messages, cfg, stream=False)`."""

    def __init__(self, settings: Settings | None = None) -> None:
        self.settings = settings or Settings()
        # What the server took for the token limit, learnt from a refusal.
        self.learnt_token_limit_param: str | None = None

    def __call__(self, messages: list[dict[str, Any]], cfg: Mapping[str, Any] | None,
                 stream: bool = False) -> Any:
        """Posts `messages` to `{base_url}/chat/completions` and returns the decoded
        JSON object of the answer; with `stream` true, an iterator over the decoded
        chunks of the event stream. Raises ChatError on any failure, with the key
        and the URL's credentials masked in its message."""
        secrets = [self.settings.api_key, *url_secrets(self.settings.base_url)]
        if cfg:
            secrets += [cfg.get("api_key"), *url_secrets(cfg.get("base_url"))]
        redact = Redactor(secrets)
        sent = _sent_text(messages)
        settings = None
        try:
            settings = resolve(self.settings, cfg)
            answer = self._post(settings, messages, cfg, stream,
                                functools.partial(untrusted, sent=sent, redact=redact))
        except Exception as exc:
            failure = masked(exc, redact, sent)
            if failure.status in UNAUTHORISED and settings is not None and not settings.api_key:
                failure = _without_key(failure, settings.api_key_env)
        else:
            return _masked_errors(answer, redact, sent) if stream else answer
        # Raised outside the handler, so that the failure carries no chained
        # exception whose text could still hold the key.
        raise failure

    def _post(self, settings: Settings, messages: list[dict[str, Any]],
              cfg: Mapping[str, Any] | None, stream: bool, shown: Callable[[str], str]) -> Any:
        url = completions_url(settings.base_url or "")
        param = (settings.token_limit_param or self.learnt_token_limit_param
                 or TOKEN_LIMIT_PARAMS[0])
        body = _body(settings, messages, cfg, stream, param)
        try:
            return send(settings, url, body, stream, shown)
        except UnsupportedParameter as exc:
            # Retried once, and only when the choice was left to the layer.
            if (settings.token_limit_param or exc.param != param
                    or param != "max_tokens" or param not in body):
                raise
        self.learnt_token_limit_param = "max_completion_tokens"
        body = _body(settings, messages, cfg, stream, self.learnt_token_limit_param)
        return send(settings, url, body, stream, shown)


#: The statuses of a request the server would not take without credentials.
UNAUTHORISED = (401, 403)


def _without_key(failure: ChatError, env: str | None) -> ChatError:
    """`failure`, a refusal of a request sent without a key, saying so: the
    server's own words seldom tell that nothing was sent, nor where the key
    was to come from."""
    reason = "no API key was sent"
    value = os.environ.get(env) if env else None
    # A variable that holds a key the layer was not given says nothing of why.
    if env and (value is None or not value.strip()):
        state = "is not set" if value is None else "is empty"
        reason += f": the environment variable {env}, which the key is read from, {state}"
    marked = ChatError(f"{failure}; {reason}")
    marked.status = failure.status
    return marked


def _body(settings: Settings, messages: list[dict[str, Any]], cfg: Mapping[str, Any] | None,
          stream: bool, token_limit_param: str) -> dict[str, Any]:
    body: dict[str, Any] = {"model": settings.model, "messages": messages}
    if cfg and cfg.get("max_tokens") is not None:
        body[token_limit_param] = cfg["max_tokens"]
    for name in PASSED_THROUGH:
        if cfg and cfg.get(name) is not None:
            body[name] = cfg[name]
    if settings.reasoning_effort:
        body["reasoning_effort"] = settings.reasoning_effort
    body["stream"] = bool(stream)
    return body

def _sent_text(messages: Any) -> str:
    """The text of the request's messages, which no error may quote."""
    texts: list[str] = []
    with contextlib.suppress(Exception):  # a malformed list is refused elsewhere
        for message in messages:
            content = message.get("content") if isinstance(message, Mapping) else message
            parts = content if isinstance(content, list) else [content]
            texts += [t for t in map(part_text, parts) if t]
    return "\n".join(texts)


def _masked_errors(chunks: Iterator[dict[str, Any]],
                   redact: Redactor, sent: str) -> Iterator[dict[str, Any]]:
    try:
        yield from chunks
    except Exception as exc:
        failure = masked(exc, redact, sent)
    else:
        return
    raise failure


def _call_llm_api(messages: list[dict[str, Any]], cfg: Mapping[str, Any] | None,
                  stream: bool = False) -> Any:
    """A layer without settings of its own: base URL, model and key come from `cfg`."""
    return ChatLayer()(messages, cfg, stream=stream)

# --- installing as routes.chat ---------------------------------------------------


def chat_module(call: Callable[..., Any]) -> types.ModuleType:
    """A module object named `routes.chat` whose `_call_llm_api` is `call`."""
    module = types.ModuleType(CHAT_MODULE, "OpenAI-compatible chat layer of context-compress.")
    module._call_llm_api = call  # type: ignore[attr-defined]
    return module


@contextlib.contextmanager
def _as_routes_chat(value: types.ModuleType | None) -> Iterator[None]:
    # A None entry in sys.modules makes `from routes.chat import ...` raise
    # ImportError, which the compression absorbs by using its extract.
    missing = object()
    previous = sys.modules.get(CHAT_MODULE, missing)
    sys.modules[CHAT_MODULE] = value  # type: ignore[assignment]
    try:
        yield
    finally:
        if previous is missing:
            sys.modules.pop(CHAT_MODULE, None)
        else:
            sys.modules[CHAT_MODULE] = previous  # type: ignore[assignment]


def installed(call: Callable[..., Any]) -> contextlib.AbstractContextManager[None]:
    """Within the block, `routes.chat` is a module whose `_call_llm_api` is `call`."""
    return _as_routes_chat(chat_module(call))


def blocked() -> contextlib.AbstractContextManager[None]:
    """Within the block, `routes.chat` cannot be imported (whatever the host has)."""
    return _as_routes_chat(None)

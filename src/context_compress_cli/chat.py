"""An OpenAI-compatible chat layer with the call shape of a host's `routes.chat`.

A `ChatLayer` is built from `Settings` (base URL, model, key, time-outs) and is
itself the `_call_llm_api(messages, cfg, stream=False)` that the compression
calls: it posts the messages to `{base_url}/chat/completions` and returns the
decoded JSON response (with `stream=True`, an iterator over the decoded
event-stream chunks). Entries of `cfg` win over the layer's settings. Every
failure is raised as `ChatError`, so a caller such as `routes.context_compress`
can absorb it and fall back to its extract.

`installed(call)` puts a module whose `_call_llm_api` is `call` in
`sys.modules` as `routes.chat` for the duration of a `with` block, and
`blocked()` hides any `routes.chat` instead, so that compression uses the
built-in extract.
"""

from __future__ import annotations

import contextlib
import http.client
import json
import socket
import sys
import types
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, fields, replace
from typing import Any

from . import __version__

CHAT_MODULE = "routes.chat"

#: Upper bound of a response body; a chat completion is a few kilobytes.
MAX_RESPONSE_BYTES = 16 * 1024 * 1024

#: Request-body entries taken from `cfg` when present (and not None).
PASSED_THROUGH = ("max_tokens", "temperature", "top_p", "stop", "seed")


class ChatError(Exception):
    """The chat request failed: no connection, a time-out, an HTTP error
    status, or a response that is not a JSON object."""


@dataclass(frozen=True)
class Settings:
    """What a layer uses when the request's `cfg` does not say otherwise."""

    base_url: str | None = None
    model: str | None = None
    api_key: str | None = None
    connect_timeout: float = 10.0
    read_timeout: float = 120.0


def resolve(settings: Settings, cfg: Mapping[str, Any] | None) -> Settings:
    """The settings of one request: entries of `cfg` that are set win over `settings`."""
    cfg = cfg or {}
    chosen = {}
    for field in fields(Settings):
        value = cfg.get(field.name)
        if value is not None and value != "":
            chosen[field.name] = value
    settings = replace(settings, **chosen)
    if not settings.base_url:
        raise ChatError("no base URL configured for the chat layer")
    if not settings.model:
        raise ChatError("no model configured for the chat layer")
    for name in ("connect_timeout", "read_timeout"):
        value = getattr(settings, name)
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
            raise ChatError(f"{name} must be a positive number of seconds, not {value!r}")
    return settings


def completions_url(base_url: str) -> str:
    parts = urllib.parse.urlsplit(base_url)
    # urllib would also open file: and ftp: URLs; only HTTP(S) is a chat endpoint.
    if parts.scheme not in ("http", "https") or not parts.netloc:
        raise ChatError(f"base URL must be an http:// or https:// URL, not {base_url!r}")
    return base_url.rstrip("/") + "/chat/completions"


# --- separate connect and read time-outs -------------------------------------
#
# urlopen() has one time-out for every socket operation. The connection classes
# below connect (and, for HTTPS, shake hands) under the connect time-out that
# urlopen passes them, then switch the socket to the read time-out for sending
# the request and reading the answer.


class _ReadTimeoutAfterConnect:
    """Mixin for an http.client connection class: connect under the time-out
    urlopen passes, then use `read_timeout` for everything after."""

    def __init__(self, *args: Any, read_timeout: float, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._read_timeout = read_timeout

    def connect(self) -> None:
        try:
            super().connect()  # type: ignore[misc]
        except TimeoutError as exc:
            raise _ConnectTimeout(str(exc) or "timed out") from exc
        self.sock.settimeout(self._read_timeout)  # type: ignore[attr-defined]


class _HTTPConnection(_ReadTimeoutAfterConnect, http.client.HTTPConnection):
    pass


class _HTTPSConnection(_ReadTimeoutAfterConnect, http.client.HTTPSConnection):
    pass


class _ConnectTimeout(TimeoutError):
    pass


class _HTTPHandler(urllib.request.HTTPHandler):
    def __init__(self, read_timeout: float) -> None:
        super().__init__()
        self._read_timeout = read_timeout

    def http_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        # do_open passes the extra keyword on to the connection class.
        return self.do_open(_HTTPConnection, req,  # type: ignore[arg-type]
                            read_timeout=self._read_timeout)


class _HTTPSHandler(urllib.request.HTTPSHandler):
    def __init__(self, read_timeout: float) -> None:
        super().__init__()
        self._read_timeout = read_timeout

    def https_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        # Without a context the connection makes the default one, which checks
        # certificates and host names.
        return self.do_open(_HTTPSConnection, req,  # type: ignore[arg-type]
                            read_timeout=self._read_timeout)


# --- the request ---------------------------------------------------------------


class ChatLayer:
    """`_call_llm_api` bound to its settings: `layer(messages, cfg, stream=False)`."""

    def __init__(self, settings: Settings | None = None) -> None:
        self.settings = settings or Settings()

    def __call__(self, messages: list[dict[str, Any]], cfg: Mapping[str, Any] | None,
                 stream: bool = False) -> Any:
        """Posts `messages` to `{base_url}/chat/completions` and returns the decoded
        JSON object of the answer; with `stream` true, an iterator over the decoded
        chunks of the event stream. Raises ChatError on any failure."""
        settings = resolve(self.settings, cfg)
        url = completions_url(settings.base_url or "")
        body: dict[str, Any] = {"model": settings.model, "messages": messages}
        for name in PASSED_THROUGH:
            if cfg and cfg.get(name) is not None:
                body[name] = cfg[name]
        body["stream"] = bool(stream)
        headers = {
            "Content-Type": "application/json",
            "Accept": "text/event-stream" if stream else "application/json",
            "User-Agent": f"context-compress/{__version__}",
        }
        if settings.api_key:
            headers["Authorization"] = f"Bearer {settings.api_key}"
        request = urllib.request.Request(
            url, data=json.dumps(body, ensure_ascii=False).encode("utf-8"),
            headers=headers, method="POST")
        opener = urllib.request.build_opener(
            _HTTPHandler(settings.read_timeout), _HTTPSHandler(settings.read_timeout))
        where = f"POST {url}"
        try:
            response = opener.open(request, timeout=settings.connect_timeout)
        except urllib.error.HTTPError as exc:
            try:
                detail = _error_detail(exc)
            finally:
                exc.close()
            raise ChatError(f"{where}: HTTP {exc.code} {exc.reason}{detail}") from None
        except urllib.error.URLError as exc:
            raise ChatError(f"{where}: {_describe_os_error(exc.reason, settings)}") from exc
        except OSError as exc:  # time-outs and resets after the connection was made
            raise ChatError(f"{where}: {_describe_os_error(exc, settings)}") from exc
        except http.client.HTTPException as exc:
            raise ChatError(f"{where}: bad HTTP response: {exc!r}") from exc
        if stream:
            return _events(response, where, settings)
        with response:
            raw = _read_body(response, where, settings)
        try:
            decoded = json.loads(raw)
        except ValueError as exc:
            raise ChatError(f"{where}: response is not JSON ({exc})") from None
        if not isinstance(decoded, dict):
            raise ChatError(f"{where}: response is JSON but not an object")
        return decoded


def _call_llm_api(messages: list[dict[str, Any]], cfg: Mapping[str, Any] | None,
                  stream: bool = False) -> Any:
    """A layer without settings of its own: base URL, model and key come from `cfg`."""
    return ChatLayer()(messages, cfg, stream=stream)


def _read_body(response: http.client.HTTPResponse, where: str, settings: Settings) -> bytes:
    try:
        raw = response.read(MAX_RESPONSE_BYTES + 1)
    except OSError as exc:
        raise ChatError(f"{where}: {_describe_os_error(exc, settings)}") from exc
    except http.client.HTTPException as exc:
        raise ChatError(f"{where}: bad HTTP response: {exc!r}") from exc
    if len(raw) > MAX_RESPONSE_BYTES:
        raise ChatError(f"{where}: response larger than {MAX_RESPONSE_BYTES} bytes")
    return raw


def _events(response: http.client.HTTPResponse, where: str,
            settings: Settings) -> Iterator[dict[str, Any]]:
    """The `data:` payloads of a server-sent event stream, decoded, up to `[DONE]`."""
    with response:
        try:
            for line in response:
                text = line.decode("utf-8").strip()
                if not text.startswith("data:"):
                    continue
                payload = text[5:].strip()
                if payload == "[DONE]":
                    return
                try:
                    chunk = json.loads(payload)
                except ValueError as exc:
                    raise ChatError(f"{where}: stream chunk is not JSON ({exc})") from None
                if isinstance(chunk, dict):
                    yield chunk
        except OSError as exc:
            raise ChatError(f"{where}: {_describe_os_error(exc, settings)}") from exc
        except (http.client.HTTPException, UnicodeDecodeError) as exc:
            raise ChatError(f"{where}: bad event stream: {exc!r}") from exc


def _error_detail(exc: urllib.error.HTTPError) -> str:
    """The `error.message` of an OpenAI-style error body, or the start of the body."""
    try:
        raw = exc.read(64 * 1024)
    except (OSError, http.client.HTTPException):
        return ""
    text = raw.decode("utf-8", "replace").strip()
    try:
        decoded = json.loads(text)
    except ValueError:
        decoded = None
    if isinstance(decoded, dict):
        error = decoded.get("error")
        if isinstance(error, dict) and isinstance(error.get("message"), str):
            text = error["message"]
        elif isinstance(error, str):
            text = error
    text = " ".join(text.split())
    if len(text) > 200:
        text = text[:200] + "..."
    return f": {text}" if text else ""


def _describe_os_error(reason: object, settings: Settings) -> str:
    if isinstance(reason, _ConnectTimeout):
        return f"connection timed out after {settings.connect_timeout:g} s"
    if isinstance(reason, TimeoutError):
        return f"no answer within the read time-out of {settings.read_timeout:g} s"
    if isinstance(reason, socket.gaierror):
        return f"cannot resolve host ({reason.strerror or reason})"
    if isinstance(reason, OSError) and reason.strerror:
        return reason.strerror[0].lower() + reason.strerror[1:]
    return str(reason)


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

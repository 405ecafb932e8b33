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
import http.client
import io
import ipaddress
import json
import re
import socket
import sys
import time
import types
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass, fields, replace
from typing import Any

from . import __version__

CHAT_MODULE = "routes.chat"

#: Upper bound of a response body; a chat completion is a few kilobytes.
MAX_RESPONSE_BYTES = 16 * 1024 * 1024

#: Request-body entries taken from `cfg` when present (and not None). The
#: token limit, `cfg["max_tokens"]`, is sent under the name the server takes.
PASSED_THROUGH = ("temperature", "top_p", "stop", "seed")

#: The two spellings of the token limit: `max_tokens` is the one most servers
#: know; OpenAI's reasoning models take only `max_completion_tokens`.
TOKEN_LIMIT_PARAMS = ("max_tokens", "max_completion_tokens")

TRUNCATED_BEFORE_TEXT = ('the model reached its token limit before writing any text '
                         '(finish_reason "length"); try --reasoning-effort low')

MASK = "***"

_LONE_SURROGATE = re.compile("[\ud800-\udfff]")

#: Secrets shorter than this are not masked as plain text: masking "ab"
#: everywhere would garble the report. URLs are masked by their structure.
MIN_SECRET_LENGTH = 4

# The user information of a URL: everything between "scheme://" and the last
# "@" before the path, as urlsplit reads it.
_URL_USERINFO = re.compile(r"(?i)\b([a-z][a-z0-9+.-]*://)[^/?#\s]*@")
# Query parameters whose names say they carry a credential (key=, api-key=,
# access_token=, sig=, password=...); api-version and the like stay readable.
# The value ends where the URL does: at white space, a quote, or a colon that
# ends the URL in "POST <url>: reason".
_SECRET_QUERY = re.compile(
    r"(?i)([?&;][\w.-]*(?:key|token|secret|passw|pwd|sig|auth|credential)[\w.-]*=)"
    r"(?:[^&#\s'\"<>:]|:(?![\s'\"]|$))*")


class ChatError(Exception):
    """The chat request failed: no connection, a time-out, an HTTP error
    status, or a response that is not a JSON object."""


class ServerUnreachable(ChatError):
    """No connection could be made, or the answer did not arrive in full within
    the time-outs: asking the same server again soon would likely cost as much."""


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


def mask_urls(text: str) -> str:
    """`text` with the user information of every URL in it, and the values of
    credential-looking query parameters, replaced by ***."""
    return _SECRET_QUERY.sub(rf"\1{MASK}", _URL_USERINFO.sub(rf"\1{MASK}@", text))


def url_secrets(url: str | None) -> list[str]:
    """The credentials a URL carries (user, password, credential query values),
    as written and percent-decoded, for masking wherever they turn up."""
    if not isinstance(url, str) or not url:
        return []
    found = []
    try:
        parts = urllib.parse.urlsplit(url)
    except ValueError:  # such a URL is refused before any request
        return []
    userinfo = parts.netloc.rpartition("@")[0]
    found += userinfo.split(":", 1) if userinfo else []
    for match in _SECRET_QUERY.finditer("?" + parts.query):
        found.append(match.string[match.end(1):match.end()])
    return found + [urllib.parse.unquote(s) for s in found]


def _written_forms(secret: str) -> set[str]:
    """The ways a secret turns up in a text: as it is, without the white
    space around it, and as the repr of the str or of its bytes shows it (an
    error about a header value quotes the Latin-1 bytes http.client sent,
    b"Bearer sk-...\\r")."""
    forms = {secret, secret.strip()}
    for form in list(forms):
        forms.add(repr(form)[1:-1])
        forms.add(repr(form.encode("utf-8", "backslashreplace"))[2:-1])
        with contextlib.suppress(UnicodeEncodeError):
            forms.add(repr(form.encode("latin-1"))[2:-1])
    return forms


class Redactor:
    """Masks the given secrets, and the credentials of any URL, in a text
    about to be shown."""

    def __init__(self, secrets: Iterable[str | None] = ()) -> None:
        forms: set[str] = set()
        for secret in secrets:
            if isinstance(secret, str):
                forms |= _written_forms(secret)
        # Longest first, so that a secret containing another is masked whole.
        self.secrets = sorted((s for s in forms if len(s) >= MIN_SECRET_LENGTH),
                              key=len, reverse=True)

    def secrets_only(self, text: str) -> str:
        for secret in self.secrets:
            text = text.replace(secret, MASK)
        return text

    def __call__(self, text: str) -> str:
        return mask_urls(self.secrets_only(text))

    def deep(self, value: Any) -> Any:
        """`value` with every string in it masked, through dicts and lists."""
        if isinstance(value, str):
            return self(value)
        if isinstance(value, dict):
            return {k: self.deep(v) for k, v in value.items()}
        if isinstance(value, list):
            return [self.deep(v) for v in value]
        return value


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


def completions_url(base_url: str) -> str:
    try:
        parts = urllib.parse.urlsplit(base_url)
    except ValueError as exc:
        raise ChatError(f"base URL {mask_urls(base_url)} is not a valid URL ({exc})") from None
    # urllib would also open file: and ftp: URLs; only HTTP(S) is a chat endpoint.
    if parts.scheme not in ("http", "https") or not parts.netloc:
        raise ChatError(f"base URL must be an http:// or https:// URL, not {base_url!r}")
    # urllib would take "user:password@host" for the host name and print it in
    # every error; the key travels in the Authorization header instead.
    if "@" in parts.netloc:
        raise ChatError(f"base URL {mask_urls(base_url)} carries a user name or password: "
                        "pass the API key as the key setting, not in the URL")
    # The path goes before the query, which some gateways need (?api-version=...).
    return urllib.parse.urlunsplit(
        parts._replace(path=parts.path.rstrip("/") + "/chat/completions", fragment=""))


# --- a connect time-out, then one deadline for the whole answer --------------
#
# urlopen() has one time-out for every socket operation, so a server that
# trickles its answer a byte at a time holds the caller for as long as it likes.
# The connection classes below connect (and, for HTTPS, shake hands) under the
# connect time-out that urlopen passes them. From then on, sending the request
# and reading the status line, the headers and the body share one deadline,
# read_timeout seconds away: before each send and each read the socket's
# time-out is set to the time left.


def _time_left(sock: socket.socket, deadline: float) -> None:
    left = deadline - time.monotonic()
    if left <= 0:
        raise TimeoutError("timed out")
    sock.settimeout(left)


class _DeadlineReader(io.RawIOBase):
    """The socket's bytes, each read bounded by the time left before `deadline`."""

    def __init__(self, sock: socket.socket, deadline: float) -> None:
        super().__init__()
        self._sock = sock
        # makefile keeps the socket open after urllib closes the connection
        # that made it, as the response's own reader would.
        self._raw = sock.makefile("rb", buffering=0)
        self._deadline = deadline

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int | None:
        _time_left(self._sock, self._deadline)
        return self._raw.readinto(buffer)

    def fileno(self) -> int:
        return self._raw.fileno()

    def close(self) -> None:
        if not self.closed:
            self._raw.close()
        super().close()


class _DeadlineResponse(http.client.HTTPResponse):
    def __init__(self, sock: socket.socket, *args: Any, deadline: float, **kwargs: Any) -> None:
        super().__init__(sock, *args, **kwargs)
        self.fp.close()
        self.fp = io.BufferedReader(_DeadlineReader(sock, deadline))


class _AnswerDeadline:
    """Mixin for an http.client connection class: connect under the time-out
    urlopen passes, then give the request and the whole answer `read_timeout`."""

    # Set per connection to a _DeadlineResponse factory bound to its deadline.
    response_class: Any

    def __init__(self, *args: Any, read_timeout: float, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._read_timeout = read_timeout
        self._deadline: float | None = None
        self._connect_deadline = 0.0

    def connect(self) -> None:
        # Through a proxy, connecting includes the CONNECT exchange with it,
        # whose answer a proxy could trickle for ever: one deadline bounds
        # the exchange and the TLS handshake after it.
        self._connect_deadline = time.monotonic() + self.timeout  # type: ignore[attr-defined]
        self._deadline = self._connect_deadline
        self.response_class = functools.partial(_DeadlineResponse, deadline=self._connect_deadline)
        try:
            super().connect()  # type: ignore[misc]
        except TimeoutError as exc:
            raise _ConnectTimeout(str(exc) or "timed out") from exc
        self._deadline = time.monotonic() + self._read_timeout
        self.response_class = functools.partial(_DeadlineResponse, deadline=self._deadline)
        _time_left(self.sock, self._deadline)  # type: ignore[attr-defined]

    def _tunnel(self) -> None:
        super()._tunnel()  # type: ignore[misc]
        _time_left(self.sock, self._connect_deadline)  # type: ignore[attr-defined]

    def send(self, data: Any) -> None:
        if self._deadline is not None and self.sock is not None:  # type: ignore[attr-defined]
            _time_left(self.sock, self._deadline)  # type: ignore[attr-defined]
        super().send(data)  # type: ignore[misc]


class _HTTPConnection(_AnswerDeadline, http.client.HTTPConnection):
    pass


class _HTTPSConnection(_AnswerDeadline, http.client.HTTPSConnection):
    pass


class _ConnectTimeout(TimeoutError):
    pass


class _RefuseRedirects(urllib.request.HTTPRedirectHandler):
    """Takes the place of urllib's redirect handler, which would follow a 3xx
    to any host with the Authorization header still on the request, and turn
    the POST into a GET. A 3xx then ends as an HTTPError like other statuses."""

    def http_error_302(self, req: Any, fp: Any, code: Any, msg: Any, headers: Any) -> None:
        return None

    http_error_301 = http_error_303 = http_error_307 = http_error_308 = http_error_302


class _ReadTimeoutHandler:
    """Mixin for urllib's HTTP(S) handlers: open with `connection_class`,
    passing it the read time-out (do_open hands extra keywords on)."""

    connection_class: type

    def __init__(self, read_timeout: float) -> None:
        super().__init__()
        self._read_timeout = read_timeout

    def _open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        response: http.client.HTTPResponse = self.do_open(  # type: ignore[attr-defined]
            self.connection_class, req, read_timeout=self._read_timeout)
        return response


class _HTTPHandler(_ReadTimeoutHandler, urllib.request.HTTPHandler):
    connection_class = _HTTPConnection

    def http_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        return self._open(req)


class _HTTPSHandler(_ReadTimeoutHandler, urllib.request.HTTPSHandler):
    # Without a context the connection makes the default one, which checks
    # certificates and host names.
    connection_class = _HTTPSConnection

    def https_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        return self._open(req)


# --- proxies ----------------------------------------------------------------------


def _is_loopback(host: str) -> bool:
    host = host.lower().rstrip(".")
    if host == "localhost" or host.endswith(".localhost"):
        return True
    try:
        address = ipaddress.ip_address(host)
    except ValueError:
        return False
    mapped = getattr(address, "ipv4_mapped", None)
    return address.is_loopback or bool(mapped and mapped.is_loopback)


def proxy_for(url: str) -> str | None:
    """The proxy a request to `url` goes through: the environment's
    (http_proxy, https_proxy, honouring no_proxy), but never for a loopback
    address, which is on this machine whatever a proxy could reach."""
    parts = urllib.parse.urlsplit(url)
    if not parts.hostname or _is_loopback(parts.hostname):
        return None
    proxy = urllib.request.getproxies().get(parts.scheme)
    if not proxy or urllib.request.proxy_bypass(parts.netloc):
        return None
    return proxy


def key_travels_in_clear(url: str) -> str | None:
    """The proxy that would see a key sent to `url` in clear: a plain-http
    request through a proxy hands it the whole request, headers and all."""
    proxy = proxy_for(url)
    return proxy if proxy and urllib.parse.urlsplit(url).scheme == "http" else None


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
        try:
            settings = resolve(self.settings, cfg)
            answer = self._post(settings, messages, cfg, stream)
        except Exception as exc:
            failure = _masked(exc, redact)
        else:
            return _masked_errors(answer, redact) if stream else answer
        # Raised outside the handler, so that the failure carries no chained
        # exception whose text could still hold the key.
        raise failure

    def _post(self, settings: Settings, messages: list[dict[str, Any]],
              cfg: Mapping[str, Any] | None, stream: bool) -> Any:
        url = completions_url(settings.base_url or "")
        param = (settings.token_limit_param or self.learnt_token_limit_param
                 or TOKEN_LIMIT_PARAMS[0])
        body = _body(settings, messages, cfg, stream, param)
        try:
            return _send(settings, url, body, stream)
        except _UnsupportedParameter as exc:
            # Retried once, and only when the choice was left to the layer.
            if (settings.token_limit_param or exc.param != param
                    or param != "max_tokens" or param not in body):
                raise
        self.learnt_token_limit_param = "max_completion_tokens"
        body = _body(settings, messages, cfg, stream, self.learnt_token_limit_param)
        return _send(settings, url, body, stream)


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


def _send(settings: Settings, url: str, body: dict[str, Any], stream: bool) -> Any:
    headers = {
        "Content-Type": "application/json",
        "Accept": "text/event-stream" if stream else "application/json",
        "User-Agent": f"context-compress/{__version__}",
    }
    if settings.api_key:
        headers["Authorization"] = f"Bearer {settings.api_key}"
    # A lone surrogate (from a \\ud83d escape in a stored conversation) has
    # no UTF-8 form; the model gets U+FFFD in its place.
    data = _LONE_SURROGATE.sub("\ufffd", json.dumps(body, ensure_ascii=False))
    request = urllib.request.Request(url, data=data.encode("utf-8"), headers=headers,
                                     method="POST")
    proxy = proxy_for(url)
    opener = urllib.request.build_opener(
        urllib.request.ProxyHandler({urllib.parse.urlsplit(url).scheme: proxy} if proxy else {}),
        _HTTPHandler(settings.read_timeout), _HTTPSHandler(settings.read_timeout),
        _RefuseRedirects())
    where = f"POST {url}"
    try:
        response = opener.open(request, timeout=settings.connect_timeout)
    except urllib.error.HTTPError as exc:
        try:
            if 300 <= exc.code < 400:
                raise ChatError(f"{where}: {_redirect_reason(exc, url)}") from None
            detail, error = _error_detail(exc)
        finally:
            exc.close()
        message = f"{where}: HTTP {exc.code} {exc.reason}{detail}"
        if exc.code == 400 and error.get("code") == "unsupported_parameter":
            raise _UnsupportedParameter(message, error.get("param")) from None
        raise ChatError(message) from None
    except urllib.error.URLError as exc:
        kind = ServerUnreachable if isinstance(exc.reason, OSError) else ChatError
        raise kind(f"{where}: {_describe_os_error(exc.reason, settings)}") from exc
    except OSError as exc:  # time-outs and resets after the connection was made
        raise ServerUnreachable(f"{where}: {_describe_os_error(exc, settings)}") from exc
    except http.client.HTTPException as exc:
        raise ChatError(f"{where}: bad HTTP response: {exc!r}") from exc
    if stream:
        return events_of(response, where, settings)
    return answer_of(response, where, settings)


def answer_of(response: http.client.HTTPResponse, where: str, settings: Settings) -> dict[str, Any]:
    """The decoded JSON object of a whole answer; ChatError for anything else."""
    with response:
        raw = _read_body(response, where, settings)
    try:
        decoded = json.loads(raw)
    except ValueError as exc:
        raise ChatError(f"{where}: response is not JSON ({exc})") from None
    except RecursionError:
        raise ChatError(f"{where}: response is nested too deeply to be read") from None
    if not isinstance(decoded, dict):
        raise ChatError(f"{where}: response is JSON but not an object")
    if _truncated_before_text(decoded):
        raise ChatError(f"{where}: {TRUNCATED_BEFORE_TEXT}")
    return decoded


class _UnsupportedParameter(ChatError):
    """HTTP 400 with the error code "unsupported_parameter" for `param`."""

    def __init__(self, message: str, param: object) -> None:
        super().__init__(message)
        self.param = param


def _truncated_before_text(response: dict[str, Any]) -> bool:
    """A reasoning model can spend the whole token limit on reasoning: the
    first choice then ends for "length" with no text at all."""
    choices = response.get("choices")
    if not isinstance(choices, list) or not choices or not isinstance(choices[0], dict):
        return False
    first = choices[0]
    message = first.get("message")
    content = message.get("content") if isinstance(message, dict) else None
    return first.get("finish_reason") == "length" and not (
        isinstance(content, str) and content.strip())


def _masked_errors(chunks: Iterator[dict[str, Any]],
                   redact: Redactor) -> Iterator[dict[str, Any]]:
    try:
        yield from chunks
    except Exception as exc:
        failure = _masked(exc, redact)
    else:
        return
    raise failure


def _masked(exc: Exception, redact: Redactor) -> ChatError:
    """Any failure as a ChatError (ServerUnreachable kept as such) whose text
    has every secret masked. An exception that is no ChatError is a fault of
    the answer or of the layer itself; it keeps its type's name."""
    if isinstance(exc, ChatError):
        kind = ServerUnreachable if isinstance(exc, ServerUnreachable) else ChatError
        return kind(redact(str(exc)))
    if isinstance(exc, RecursionError):
        return ChatError("the answer is nested too deeply to be read")
    return ChatError(redact(f"the chat request failed: {type(exc).__name__}: {exc}"))


def _call_llm_api(messages: list[dict[str, Any]], cfg: Mapping[str, Any] | None,
                  stream: bool = False) -> Any:
    """A layer without settings of its own: base URL, model and key come from `cfg`."""
    return ChatLayer()(messages, cfg, stream=stream)


def _read_body(response: http.client.HTTPResponse, where: str, settings: Settings) -> bytes:
    try:
        raw = response.read(MAX_RESPONSE_BYTES + 1)
    except OSError as exc:
        raise ServerUnreachable(f"{where}: {_describe_os_error(exc, settings)}") from exc
    except http.client.HTTPException as exc:
        raise ChatError(f"{where}: bad HTTP response: {exc!r}") from exc
    if len(raw) > MAX_RESPONSE_BYTES:
        raise ChatError(f"{where}: response larger than {MAX_RESPONSE_BYTES} bytes")
    # The connection closed before the Content-Length was reached: what
    # arrived may parse, but it is not the whole answer.
    if response.length:
        raise ChatError(f"{where}: the answer broke off after {len(raw)} of its "
                        f"{len(raw) + response.length} bytes")
    return raw


def events_of(response: http.client.HTTPResponse, where: str,
            settings: Settings) -> Iterator[dict[str, Any]]:
    """The `data:` payloads of a server-sent event stream, decoded, up to `[DONE]`."""
    with response:
        try:
            left = MAX_RESPONSE_BYTES  # the bound holds for a whole stream too
            while line := response.readline(left + 1):
                left -= len(line)
                if left < 0:
                    raise ChatError(f"{where}: response larger than {MAX_RESPONSE_BYTES} bytes")
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
                except RecursionError:
                    raise ChatError(f"{where}: stream chunk is nested too deeply") from None
                if isinstance(chunk, dict):
                    yield chunk
        except OSError as exc:
            raise ServerUnreachable(f"{where}: {_describe_os_error(exc, settings)}") from exc
        except (http.client.HTTPException, UnicodeDecodeError) as exc:
            raise ChatError(f"{where}: bad event stream: {exc!r}") from exc


def _redirect_reason(exc: urllib.error.HTTPError, url: str) -> str:
    # Not followed, even to the same origin: an API endpoint that redirects a
    # POST means the base URL is not the final one, and 301/302/303 would turn
    # the request into a GET.
    location = " ".join((exc.headers.get("Location") or "").split())
    if not location:
        return (f"HTTP {exc.code} {exc.reason} (a redirect without a Location): "
                "set --llm-url to the final address")
    target = urllib.parse.urljoin(url, location)
    if len(target) > 200:
        target = target[:200] + "..."
    return (f"HTTP {exc.code} {exc.reason}: redirected to {target}: "
            "set --llm-url to the final address")


def _error_detail(exc: urllib.error.HTTPError) -> tuple[str, dict[str, Any]]:
    """The `error.message` of an OpenAI-style error body (or the start of the
    body) as ": text", and the `error` object itself ({} when there is none)."""
    try:
        raw = exc.read(64 * 1024)
    except (OSError, http.client.HTTPException):
        return "", {}
    text = raw.decode("utf-8", "replace").strip()
    try:
        decoded = json.loads(text)
    except (ValueError, RecursionError):
        decoded = None
    error: Any = decoded.get("error") if isinstance(decoded, dict) else None
    if isinstance(error, dict) and isinstance(error.get("message"), str):
        text = error["message"]
    elif isinstance(error, str):
        text = error
    text = " ".join(text.split())
    if len(text) > 200:
        text = text[:200] + "..."
    return (f": {text}" if text else ""), (error if isinstance(error, dict) else {})


def _describe_os_error(reason: object, settings: Settings) -> str:
    if isinstance(reason, _ConnectTimeout):
        return f"connection timed out after {settings.connect_timeout:g} s"
    if isinstance(reason, TimeoutError):
        return f"no complete answer within the read time-out of {settings.read_timeout:g} s"
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

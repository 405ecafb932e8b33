"""The HTTP exchange of one chat completion: a connect deadline (through a
proxy too), one deadline for the whole answer, redirects refused, the proxy
proxies.py chooses, and an answer read within its bounds or refused with the
ChatError errors.py makes of its failure."""

from __future__ import annotations

import functools
import http.client
import io
import json
import socket
import ssl
import threading
import time
import urllib.parse
import urllib.request
from collections.abc import Callable, Iterator
from typing import Any, Protocol

from .. import __version__
from ..masking import mask_urls
from ..messages import without_lone_surrogates
from .errors import ChatError, ConnectTimeout, Timeouts, decoded, mapped, status_failure
from .proxies import proxy_handler

#: Upper bound of a response body; a chat completion is a few kilobytes.
MAX_RESPONSE_BYTES = 16 * 1024 * 1024

TRUNCATED_BEFORE_TEXT = ('the model reached its token limit before writing any text '
                         '(finish_reason "length"); try --reasoning-effort low')


class Exchange(Timeouts, Protocol):
    """What one request needs of the layer's settings."""

    @property
    def api_key(self) -> str | None: ...


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
            raise ConnectTimeout(str(exc) or "timed out") from exc
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

    def __init__(self, read_timeout: float, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self._read_timeout = read_timeout

    def _open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        response: http.client.HTTPResponse = self.do_open(  # type: ignore[attr-defined]
            self.connection_class, req, read_timeout=self._read_timeout)
        return response


class _HTTPHandler(_ReadTimeoutHandler, urllib.request.HTTPHandler):
    connection_class = _HTTPConnection

    def http_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        return self._open(req)


_TLS_LOCK = threading.Lock()


@functools.cache
def _tls_context() -> ssl.SSLContext:
    """The default context, which checks certificates and host names, made
    once: loading the CA bundle takes tens of milliseconds, and a run over
    many files makes a request for each."""
    context = ssl.create_default_context()
    context.set_alpn_protocols(["http/1.1"])
    return context


def tls_context(url: str) -> ssl.SSLContext:
    """The context for a request to `url`. urllib makes an HTTPS handler for
    every opener, and the handler a context, even for a plain-http request:
    that one gets a context that trusts nothing and is never used."""
    if urllib.parse.urlsplit(url).scheme != "https":
        return ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    with _TLS_LOCK:  # jobs starting together would each load the CA bundle
        return _tls_context()


class _HTTPSHandler(_ReadTimeoutHandler, urllib.request.HTTPSHandler):
    connection_class = _HTTPSConnection

    def __init__(self, read_timeout: float, context: ssl.SSLContext) -> None:
        super().__init__(read_timeout, context=context)

    def https_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        return self._open(req)


def send(settings: Exchange, url: str, body: dict[str, Any], stream: bool,
         shown: Callable[[str], str]) -> Any:
    """The answer to `body` posted to `url`; a ChatError on any failure. `shown`
    makes a server's text fit to show (`llm_errors.untrusted`): masked, and
    without what it quotes of the request, before any of it is cut."""
    headers = {
        "Content-Type": "application/json",
        "Accept": "text/event-stream" if stream else "application/json",
        "User-Agent": f"context-compress/{__version__}",
    }
    if settings.api_key:
        headers["Authorization"] = f"Bearer {settings.api_key}"
    # A lone surrogate (from a \\ud83d escape in a stored conversation) has
    # no UTF-8 form; the model gets U+FFFD in its place.
    data = without_lone_surrogates(json.dumps(body, ensure_ascii=False))
    request = urllib.request.Request(url, data=data.encode("utf-8"), headers=headers,
                                     method="POST")
    opener = urllib.request.build_opener(
        proxy_handler(url),
        _HTTPHandler(settings.read_timeout), _HTTPSHandler(settings.read_timeout, tls_context(url)),
        _RefuseRedirects())
    where = f"POST {url}"
    with mapped(where, settings, shown=shown, status=lambda exc: status_failure(exc, url, shown)):
        response = opener.open(request, timeout=settings.connect_timeout)
    if stream:
        return events_of(response, where, settings)
    return answer_of(response, where, settings)


def answer_of(response: http.client.HTTPResponse, where: str, settings: Exchange) -> dict[str, Any]:
    """The decoded JSON object of a whole answer; ChatError for anything else."""
    with response:
        raw = _read_body(response, where, settings)
    answer = decoded(raw, f"{where}: response")
    if not isinstance(answer, dict):
        raise ChatError(f"{where}: response is JSON but not an object")
    if _truncated_before_text(answer):
        raise ChatError(f"{where}: {TRUNCATED_BEFORE_TEXT}")
    return answer


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


def _read_body(response: http.client.HTTPResponse, where: str, settings: Exchange) -> bytes:
    with mapped(where, settings):
        raw = response.read(MAX_RESPONSE_BYTES + 1)
    if len(raw) > MAX_RESPONSE_BYTES:
        raise ChatError(f"{where}: response larger than {MAX_RESPONSE_BYTES} bytes")
    # The connection closed before the Content-Length was reached: what
    # arrived may parse, but it is not the whole answer.
    if response.length:
        raise ChatError(f"{where}: the answer broke off after {len(raw)} of its "
                        f"{len(raw) + response.length} bytes")
    return raw


def events_of(response: http.client.HTTPResponse, where: str,
            settings: Exchange) -> Iterator[dict[str, Any]]:
    """The `data:` payloads of a server-sent event stream, decoded, up to `[DONE]`."""
    with response, mapped(where, settings, malformed="bad event stream",
                          unreadable=(http.client.HTTPException, UnicodeDecodeError)):
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
            chunk = decoded(payload, f"{where}: stream chunk")
            if isinstance(chunk, dict):
                yield chunk

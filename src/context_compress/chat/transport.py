"""The HTTP exchange of one chat completion: a connect deadline (through a
proxy too), one deadline for the whole answer, redirects refused, proxies
chosen per URL, and an answer read within its bounds or refused with a
ChatError that says why."""

from __future__ import annotations

import functools
import http.client
import io
import ipaddress
import json
import re
import socket
import ssl
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Callable, Iterator
from typing import Any, Protocol

from .. import __version__
from ..masking import mask_urls, shortened
from ..messages import without_lone_surrogates

#: Upper bound of a response body; a chat completion is a few kilobytes.
MAX_RESPONSE_BYTES = 16 * 1024 * 1024

#: Characters of a server's error message, or of a redirect's target, that
#: an error keeps (masked before they are cut).
SHOWN_OF_SERVER_TEXT = 200

TRUNCATED_BEFORE_TEXT = ('the model reached its token limit before writing any text '
                         '(finish_reason "length"); try --reasoning-effort low')


class ChatError(Exception):
    """The chat request failed: no connection, a time-out, an HTTP error
    status, or a response that is not a JSON object."""


class ServerUnreachable(ChatError):
    """No connection could be made, or the answer did not arrive in full within
    the time-outs: asking the same server again soon would likely cost as much."""

class Exchange(Protocol):
    """What one request needs of the layer's settings."""

    @property
    def api_key(self) -> str | None: ...

    @property
    def connect_timeout(self) -> float: ...

    @property
    def read_timeout(self) -> float: ...


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


# --- proxies ----------------------------------------------------------------------


# The rule: a host is loopback when the address the system would connect to
# is loopback, and no request to it goes through a proxy, which would see
# the request and its Authorization header (in clear over http) and would
# reach its own machine, not this one. "Would connect to" is read as
# getaddrinfo reads a host, without asking any resolver:
# - a host that is not ASCII goes through IDNA first, as the socket module
#   sends it (full-width digits and the ideographic full stop are then ASCII);
# - IPv4 in every spelling inet_aton takes: one to four parts, each decimal,
#   octal after a leading 0 or hex after 0x (127.1, 2130706433, 0x7f000001,
#   0177.0.0.1, 127.0.1); the last part fills the bytes left;
# - IPv6 in every form, brackets and zone id (::1, [::1], ::1%lo, 0:0::1)
#   included, and IPv4-mapped (::ffff:127.0.0.1) read as the IPv4 it maps;
# - the unspecified address (0.0.0.0, ::, "0"): connecting to it reaches
#   this machine's loopback;
# - of names, only localhost and *.localhost (RFC 6761), in any case, with a
#   trailing dot or not. Nothing is resolved: /etc/hosts may send other
#   names here too, but a lookup to choose a proxy could itself leave the
#   machine, and a name that resolves differently later would escape.
# Trailing dots are dropped from addresses too: "127.0.0.1." resolves to
# nothing here, yet a proxy could read it as its own loopback.
# Everything of this project that makes a request (the chat layer,
# scripts/local_llm.py, the benchmarks and examples) chooses its proxy with
# proxy_for() or proxy_handler(), which apply this rule.

# A part of an inet_aton address: hex after 0x, octal after 0, else decimal;
# ASCII digits only, as C's isdigit in the C locale.
_INET_PART = re.compile(r"0[xX][0-9a-fA-F]+|0[0-7]*|[1-9][0-9]*")


def inet_aton(text: str) -> int | None:
    """The IPv4 address `text` spells as inet_aton reads it (the whole of
    it: getaddrinfo takes nothing after the address), or None."""
    parts = text.split(".")
    if len(parts) > 4 or not all(_INET_PART.fullmatch(part) for part in parts):
        return None
    values = []
    for part in parts:
        base = 16 if part[1:2] in ("x", "X") else 8 if part[:1] == "0" else 10
        digits = (part[2:] if base == 16 else part).lstrip("0") or "0"
        if len(digits) > 11:  # past 32 bits in any base; int() of it could be slow
            return None
        values.append(int(digits, base))
    *head, last = values
    if any(value > 0xFF for value in head) or last >= 1 << 8 * (4 - len(head)):
        return None
    for i, value in enumerate(head):
        last |= value << 8 * (3 - i)
    return last


def is_loopback(host: str) -> bool:
    """Whether a connection to `host` (a name or an address, as a URL writes
    it) stays on this machine: its loopback, in any spelling the system
    takes, or a localhost name. The one place this project decides it."""
    if host[:1] == "[" and host[-1:] == "]":
        host = host[1:-1]
    if not host.isascii():
        try:
            host = host.encode("idna").decode("ascii")
        except UnicodeError:
            return False  # the socket module could not send it either
    host = host.lower().rstrip(".")
    if host == "localhost" or host.endswith(".localhost"):
        return True
    number = inet_aton(host)
    address: ipaddress.IPv4Address | ipaddress.IPv6Address
    if number is not None:
        address = ipaddress.IPv4Address(number)
    else:
        try:
            address = ipaddress.IPv6Address(host)
        except ValueError:
            return False
        address = address.ipv4_mapped or address
    return address.is_loopback or address.is_unspecified


def proxy_for(url: str) -> str | None:
    """The proxy a request to `url` goes through: the environment's
    (http_proxy, https_proxy, honouring no_proxy), but never for a loopback
    host (is_loopback), which is on this machine whatever a proxy could reach."""
    parts = urllib.parse.urlsplit(url)
    # urllib connects to the host percent-decoded (%31%32%37.0.0.1 is 127.0.0.1).
    if not parts.hostname or is_loopback(urllib.parse.unquote(parts.hostname)):
        return None
    proxy = urllib.request.getproxies().get(parts.scheme)
    if not proxy or urllib.request.proxy_bypass(parts.netloc):
        return None
    return proxy


def proxy_handler(url: str) -> urllib.request.ProxyHandler:
    """The handler that sends a request to `url` through proxy_for(url), or
    straight: an opener made without one takes the environment's proxies for
    every host, loopback included."""
    proxy = proxy_for(url)
    return urllib.request.ProxyHandler({urllib.parse.urlsplit(url).scheme: proxy} if proxy else {})


def key_travels_in_clear(url: str) -> str | None:
    """The proxy that would see a key sent to `url` in clear: a plain-http
    request through a proxy hands it the whole request, headers and all."""
    proxy = proxy_for(url)
    return proxy if proxy and urllib.parse.urlsplit(url).scheme == "http" else None

def send(settings: Exchange, url: str, body: dict[str, Any], stream: bool,
         mask: Callable[[str], str]) -> Any:
    """The answer to `body` posted to `url`; a ChatError on any failure. `mask`
    masks the secrets of a server's text before any of it is cut."""
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
    try:
        response = opener.open(request, timeout=settings.connect_timeout)
    except urllib.error.HTTPError as exc:
        try:
            if 300 <= exc.code < 400:
                raise ChatError(f"{where}: {_redirect_reason(exc, url, mask)}") from None
            detail, error = _error_detail(exc, mask)
        finally:
            exc.close()
        message = f"{where}: HTTP {exc.code} {exc.reason}{detail}"
        if exc.code == 400 and error.get("code") == "unsupported_parameter":
            raise UnsupportedParameter(message, error.get("param")) from None
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


def answer_of(response: http.client.HTTPResponse, where: str, settings: Exchange) -> dict[str, Any]:
    """The decoded JSON object of a whole answer; ChatError for anything else."""
    with response:
        raw = _read_body(response, where, settings)
    decoded = _decoded(raw, f"{where}: response")
    if not isinstance(decoded, dict):
        raise ChatError(f"{where}: response is JSON but not an object")
    if _truncated_before_text(decoded):
        raise ChatError(f"{where}: {TRUNCATED_BEFORE_TEXT}")
    return decoded


class UnsupportedParameter(ChatError):
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

def _decoded(raw: bytes | str, what: str) -> Any:
    """JSON text decoded, or a ChatError that starts with `what`."""
    try:
        return json.loads(raw)
    except ValueError as exc:
        raise ChatError(f"{what} is not JSON ({exc})") from None
    except RecursionError:
        raise ChatError(f"{what} is nested too deeply to be read") from None


def _read_body(response: http.client.HTTPResponse, where: str, settings: Exchange) -> bytes:
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
            settings: Exchange) -> Iterator[dict[str, Any]]:
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
                chunk = _decoded(payload, f"{where}: stream chunk")
                if isinstance(chunk, dict):
                    yield chunk
        except OSError as exc:
            raise ServerUnreachable(f"{where}: {_describe_os_error(exc, settings)}") from exc
        except (http.client.HTTPException, UnicodeDecodeError) as exc:
            raise ChatError(f"{where}: bad event stream: {exc!r}") from exc


def _redirect_reason(exc: urllib.error.HTTPError, url: str, mask: Callable[[str], str]) -> str:
    # Not followed, even to the same origin: an API endpoint that redirects a
    # POST means the base URL is not the final one, and 301/302/303 would turn
    # the request into a GET.
    location = " ".join((exc.headers.get("Location") or "").split())
    if not location:
        return (f"HTTP {exc.code} {exc.reason} (a redirect without a Location): "
                "set --llm-url to the final address")
    target = shortened(urllib.parse.urljoin(url, location), SHOWN_OF_SERVER_TEXT, mask)
    return (f"HTTP {exc.code} {exc.reason}: redirected to {target}: "
            "set --llm-url to the final address")


def _error_detail(exc: urllib.error.HTTPError,
                  mask: Callable[[str], str]) -> tuple[str, dict[str, Any]]:
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
    text = shortened(" ".join(text.split()), SHOWN_OF_SERVER_TEXT, mask)
    return (f": {text}" if text else ""), (error if isinstance(error, dict) else {})


def _describe_os_error(reason: object, settings: Exchange) -> str:
    if isinstance(reason, _ConnectTimeout):
        return f"connection timed out after {settings.connect_timeout:g} s"
    if isinstance(reason, TimeoutError):
        return f"no complete answer within the read time-out of {settings.read_timeout:g} s"
    if isinstance(reason, socket.gaierror):
        return f"cannot resolve host ({reason.strerror or reason})"
    if isinstance(reason, OSError) and reason.strerror:
        return reason.strerror[0].lower() + reason.strerror[1:]
    return str(reason)

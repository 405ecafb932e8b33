"""Every failure of a chat request as the ChatError that says why: the
exception classes, and the one mapping from what an exchange raises (the
socket's errors, urllib's, http.client's, an answer that is no JSON, a
fault of the layer itself) to ChatError or ServerUnreachable.

A ChatError's text is built from parts, as `llm_errors` builds an LLM
error: the layer's own words, the HTTP status with its standard phrase, and
of what the server said only its message, made plain and without what it
quotes of the request (the `shown` callables below do that)."""

from __future__ import annotations

import contextlib
import http
import http.client
import json
import socket
import urllib.error
import urllib.parse
from collections.abc import Callable, Iterator
from typing import Any, Protocol

from ..llm_errors import describe
from ..masking import shortened

#: Characters of a server's error message, or of a redirect's target, that
#: an error keeps (masked before they are cut).
SHOWN_OF_SERVER_TEXT = 200


class ChatError(Exception):
    """The chat request failed: no connection, a time-out, an HTTP error
    status, or a response that is not a JSON object."""

    #: The HTTP status the server refused the request with, if it did.
    status: int | None = None


class ServerUnreachable(ChatError):
    """No connection could be made, or the answer did not arrive in full within
    the time-outs: asking the same server again soon would likely cost as much."""


class UnsupportedParameter(ChatError):
    """HTTP 400 with the error code "unsupported_parameter" for `param`."""

    def __init__(self, message: str, param: object) -> None:
        super().__init__(message)
        self.param = param


class ConnectTimeout(TimeoutError):
    """The connection was not made within the connect time-out."""


class Timeouts(Protocol):
    """The time-outs an error names."""

    @property
    def connect_timeout(self) -> float: ...

    @property
    def read_timeout(self) -> float: ...


# The rule: a failure is ServerUnreachable when no connection was made or
# the answer did not come in full in time (an OSError, or urllib's URLError
# around one), since asking that server again soon costs as much; anything
# else the exchange raises is a ChatError. Every exception of an exchange
# meets this rule here, in `mapped`, and every failure leaves the layer
# through `masked`, so that no other place decides it.


def _as_is(text: str) -> str:
    return text


@contextlib.contextmanager
def mapped(where: str, settings: Timeouts, *, malformed: str = "bad HTTP response",
           unreadable: tuple[type[Exception], ...] = (http.client.HTTPException,),
           status: Callable[[urllib.error.HTTPError], ChatError] | None = None,
           shown: Callable[[str], str] = _as_is) -> Iterator[None]:
    """Within the block, what an exchange raises becomes a ChatError whose text
    starts with `where`: an HTTP error status what `status` makes of it; no
    connection, a time-out or a reset ServerUnreachable; an answer that
    cannot be read (`unreadable`) "`malformed`: Type: text", its text (which
    can quote the server's bytes) as `shown` makes it. A ChatError goes on
    as it is."""
    try:
        yield
    except ChatError:
        raise
    except urllib.error.HTTPError as exc:
        if status is None:
            raise
        raise status(exc) from None
    except urllib.error.URLError as exc:
        kind = ServerUnreachable if isinstance(exc.reason, OSError) else ChatError
        raise kind(f"{where}: {_describe_os_error(exc.reason, settings)}") from exc
    except OSError as exc:  # time-outs and resets after the connection was made
        raise ServerUnreachable(f"{where}: {_describe_os_error(exc, settings)}") from exc
    except unreadable as exc:
        raise ChatError(f"{where}: {malformed}: {describe('', exc, '', shown)}") from exc


def decoded(raw: bytes | str, what: str) -> Any:
    """JSON text decoded, or a ChatError that starts with `what`."""
    try:
        return json.loads(raw)
    except ValueError as exc:
        raise ChatError(f"{what} is not JSON ({exc})") from None
    except RecursionError:
        raise ChatError(f"{what} is nested too deeply to be read") from None


def masked(exc: Exception, redact: Callable[[str], str], sent: str = "") -> ChatError:
    """Any failure as a ChatError (ServerUnreachable kept as such) whose text
    has every secret masked. An exception that is no ChatError is a fault of
    the answer or of the layer itself: described from its parts, with what
    it quotes of `sent` (the text of the request's messages) left out."""
    if isinstance(exc, ChatError):
        kind = ServerUnreachable if isinstance(exc, ServerUnreachable) else ChatError
        failure = kind(redact(str(exc)))
        failure.status = exc.status
        return failure
    if isinstance(exc, RecursionError):
        return ChatError("the answer is nested too deeply to be read")
    return ChatError(describe("the chat request failed", exc, sent, redact))


def _phrase(code: int) -> str:
    """The standard reason phrase of a status: the server's own is free text."""
    try:
        return f" {http.HTTPStatus(code).phrase}"
    except ValueError:
        return ""


def status_failure(exc: urllib.error.HTTPError, url: str, shown: Callable[[str], str]) -> ChatError:
    """An HTTP error status of a request to `url` as a ChatError, with the
    server's own message as `shown` makes it (masked and without what it
    quotes of the request, then cut); UnsupportedParameter for a refused
    parameter, which the layer may retry without."""
    where = f"POST {url}"
    try:
        if 300 <= exc.code < 400:
            return ChatError(f"{where}: {_redirect_reason(exc, url, shown)}")
        detail, error = _error_detail(exc, shown)
    finally:
        exc.close()
    message = f"{where}: HTTP {exc.code}{_phrase(exc.code)}{detail}"
    failure = (UnsupportedParameter(message, error.get("param"))
               if exc.code == 400 and error.get("code") == "unsupported_parameter" else ChatError(message))
    failure.status = exc.code
    return failure


def _redirect_reason(exc: urllib.error.HTTPError, url: str, mask: Callable[[str], str]) -> str:
    # Not followed, even to the same origin: an API endpoint that redirects a
    # POST means the base URL is not the final one, and 301/302/303 would turn
    # the request into a GET.
    location = " ".join((exc.headers.get("Location") or "").split())
    if not location:
        return (f"HTTP {exc.code}{_phrase(exc.code)} (a redirect without a Location): "
                "set --llm-url to the final address")
    target = shortened(urllib.parse.urljoin(url, location), SHOWN_OF_SERVER_TEXT, mask)
    return (f"HTTP {exc.code}{_phrase(exc.code)}: redirected to {target}: "
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


def _describe_os_error(reason: object, settings: Timeouts) -> str:
    if isinstance(reason, ConnectTimeout):
        return f"connection timed out after {settings.connect_timeout:g} s"
    if isinstance(reason, TimeoutError):
        return f"no complete answer within the read time-out of {settings.read_timeout:g} s"
    if isinstance(reason, socket.gaierror):
        return f"cannot resolve host ({reason.strerror or reason})"
    if isinstance(reason, OSError) and reason.strerror:
        return reason.strerror[0].lower() + reason.strerror[1:]
    return str(reason)

"""What is shown of a failed LLM request: one line built from the failure's
parts, never from an exception's text as it stands.

    describe("the request failed", exc, sent, redact)
    'the request failed: BadRequestError (HTTP 400, invalid_request_error,
     unsupported_parameter): Unsupported parameter: ...'

The parts are the failing step (the caller's words), the exception's type,
the HTTP status, the provider's error type and code, and the provider's
message. Only the message is free text from outside, and an API may quote
the request in it, escaped as JSON (\\u6211), as a repr (\\xe6, \\n), as HTML
(&#x6211;) or with its white space reflowed: it is shown only once every
escape and every run of white space is undone, and every quote of the text
sent to the LLM is taken out of it. The other parts are shown only when
they are what they claim to be (a number, a short identifier), so no text
of a conversation can reach a log through them.
"""

from __future__ import annotations

import html
import re
import unicodedata
from collections.abc import Callable, Mapping

from .masking import shortened
from .messages import without_lone_surrogates

__all__ = ["describe", "plain", "untrusted", "SHOWN", "QUOTED_BYTES"]

#: Characters of a described line, "…" included.
SHOWN = 300

#: A stretch of a message that stands in the text sent and weighs this many
#: bytes in UTF-8 is taken for a quote and left out. Measured in bytes rather
#: than characters: eight ideographs say as much as a sentence of English, so
#: a 12-character Chinese phrase is a quote where 12 Latin letters may be the
#: message's own words.
QUOTED_BYTES = 16

#: What the provider says of a failure is read up to this many characters
#: (a server may answer with a whole HTML page), and, once plain, searched
#: for quotes up to MESSAGE_READ: far more than a line shows.
RAW_READ = 64 * 1024
MESSAGE_READ = 2000

#: Layers of escaping undone at most: a body quoted as JSON inside a JSON
#: error inside a log line is three.
ESCAPE_LAYERS = 8

_MARK = "…"

# One layer of backslash escapes, as JSON, Python's repr of str and bytes,
# and C write them. Runs of \xNN are taken together: the bytes of a repr of
# UTF-8 bytes (b'\xe6\x88\x91') read as the character they encode.
_BACKSLASHED = re.compile(
    r"\\(?:u([0-9a-fA-F]{4})|U([0-9a-fA-F]{8})|N\{([A-Za-z0-9 -]{1,80})\}|([nrtbfva0/\"'\\]))"
    r"|((?:\\x[0-9a-fA-F]{2})+)")
_SIMPLE = {"n": "\n", "r": "\r", "t": "\t", "b": "\b", "f": "\f", "v": "\v", "a": "\a",
           "0": "\0", "/": "/", '"': '"', "'": "'", "\\": "\\"}

# A provider's error type or code is shown only as what it is everywhere:
# a short identifier ("invalid_request_error", "rate_limit_exceeded",
# "INVALID_ARGUMENT", "429").
_TOKEN = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.:/-]{0,63}")

# openai's text of a status error whose body said nothing more.
_BARE_STATUS = re.compile(r"(?:Error code: )?\d{3}")


def _unbackslashed(match: re.Match[str]) -> str:
    code4, code8, name, simple, hexes = match.groups()
    if code4 is not None or code8 is not None:
        value = int(code4 or code8, 16)
        return chr(value) if value <= 0x10FFFF else match.group()
    if name is not None:
        try:
            return unicodedata.lookup(name)
        except KeyError:
            return match.group()
    if simple is not None:
        return _SIMPLE[simple]
    data = bytes(int(hexes[i + 2:i + 4], 16) for i in range(0, len(hexes), 4))
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return data.decode("latin-1")


def _one_layer(text: str) -> str:
    if "\\" in text:
        text = _BACKSLASHED.sub(_unbackslashed, text)
        # \ud83d\ude00 came out as two surrogates: one character.
        text = text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")
    if "&" in text:
        text = html.unescape(text)
    return text


def plain(text: str) -> str:
    """`text` as it reads: every layer of escapes undone, lone surrogates as
    U+FFFD, compatibility forms folded (NFKC), control characters as white
    space, invisible format characters dropped, and every run of white space
    one space. Quotes are looked for between two plain texts, so that no
    way of writing a text hides it."""
    for _ in range(ESCAPE_LAYERS):
        undone = _one_layer(text)
        if undone == text:
            break
        text = undone
    text = unicodedata.normalize("NFKC", without_lone_surrogates(text))
    if not text.isprintable():
        text = "".join(" " if unicodedata.category(c) in ("Cc", "Zl", "Zp") else
                       "" if unicodedata.category(c) == "Cf" else c for c in text)
    return " ".join(text.split())


def _weight(ch: str) -> int:
    code = ord(ch)
    return 1 if code < 0x80 else 2 if code < 0x800 else 3 if code < 0x10000 else 4


def _without_quotes(message: str, sent: str) -> str:
    """`message` with each stretch that also stands in `sent` and weighs
    QUOTED_BYTES or more replaced by "…" (both texts plain)."""
    if not message or not sent:
        return message
    size = len(message)
    quoted = bytearray(size)
    end = weight = 0
    for start in range(size):
        while end < size and weight < QUOTED_BYTES:
            weight += _weight(message[end])
            end += 1
        if weight < QUOTED_BYTES:
            break
        if message[start:end] in sent:
            quoted[start:end] = b"\1" * (end - start)
        weight -= _weight(message[start])
    if not any(quoted):
        return message
    pieces: list[str] = []
    for i, ch in enumerate(message):
        if not quoted[i]:
            pieces.append(ch)
        elif i == 0 or not quoted[i - 1]:
            pieces.append(f" {_MARK} ")
    return " ".join("".join(pieces).split())


def untrusted(text: str, sent: str, redact: Callable[[str], str]) -> str:
    """A text from outside (a server's message, an exception's words) as it
    may be shown: plain, without what it quotes of `sent`, its secrets
    masked. Not cut; cut it with `masking.shortened` (it masks again
    first)."""
    # Masked before it is cut (the cut only bounds the search for quotes),
    # and the text sent masked alike, so that a quote that holds a secret
    # is still found whole.
    message = redact(plain(text[:RAW_READ]))[:MESSAGE_READ]
    return redact(_without_quotes(message, redact(plain(sent)) if sent else ""))


def _read(obj: object, name: str) -> object:
    """An attribute that may be missing, or whose property may raise."""
    try:
        return getattr(obj, name, None)
    except Exception:
        return None


def _status(exc: BaseException) -> int | None:
    """The HTTP status of the failure: openai's and anthropic's
    `status_code`, google-genai's and urllib's `code`, httpx's response."""
    response = _read(exc, "response")
    for value in (_read(exc, "status_code"), _read(exc, "status"), _read(exc, "code"),
                  _read(response, "status_code"), _read(response, "status")):
        if isinstance(value, int) and not isinstance(value, bool) and 100 <= value <= 599:
            return int(value)
    return None


def _error_object(exc: BaseException) -> Mapping[str, object] | None:
    """The provider's error object: the `error` of the decoded body
    (anthropic's and google-genai's bodies hold one) or the body itself
    (openai keeps only the error object)."""
    body = _read(exc, "body")
    if body is None:
        body = _read(exc, "response_json")
    if body is None and type(_read(exc, "details")) is not str:
        body = _read(exc, "details")  # google-genai's decoded body
    if isinstance(body, list) and len(body) == 1:
        body = body[0]
    if not isinstance(body, Mapping):
        return None
    inner = body.get("error")
    return inner if isinstance(inner, Mapping) else body


def _kinds(exc: BaseException, error: Mapping[str, object] | None, status: int | None) -> list[str]:
    """The provider's error type and code, those that are identifiers."""
    values: list[object] = [_read(exc, "type"), _read(exc, "code"), _read(exc, "error_code"),
                            _read(exc, "status")]
    if error is not None:
        values += [error.get("type"), error.get("code"), error.get("status")]
    kinds: list[str] = []
    for value in values:
        if isinstance(value, bool) or value is None or value == status:
            continue
        if isinstance(value, int) or (isinstance(value, str) and _TOKEN.fullmatch(value)):
            text = str(value)
            if text not in kinds and text != "error":  # anthropic's body is {"type": "error", ...}
                kinds.append(text)
    return kinds


def _message(exc: BaseException, error: Mapping[str, object] | None) -> str:
    """The provider's own message: the error object's `message` when the
    body was decoded (nothing else of it: a body may hold the request),
    else what the exception says."""
    if error is not None:
        # {"error": {"message": ...}}, or {"error": "..."} from some servers.
        for text in (error.get("message"), error.get("error")):
            if isinstance(text, str):
                return text
        return ""
    body = _read(exc, "body")
    if isinstance(body, str):  # an answer that was no JSON
        return body
    text = _read(exc, "message")
    if isinstance(text, str):
        return "" if _BARE_STATUS.fullmatch(text.strip()) else text
    try:
        return str(exc)
    except Exception:
        return "(its text cannot be read)"


def _name(exc: BaseException) -> str:
    name = type(exc).__name__
    return name if name.isidentifier() else "an exception"


def describe(step: str, exc: BaseException, sent: str, redact: Callable[[str], str]) -> str:
    """One line of at most SHOWN characters that says why `step` failed with
    `exc`: "step: Type (HTTP status, type, code): message". `sent` is the
    text that was sent to the LLM (every quote of it is left out of the
    message); `redact` masks the secrets, before any cut."""
    error = _error_object(exc)
    status = _status(exc)
    details = ([f"HTTP {status}"] if status is not None else []) + _kinds(exc, error, status)
    head = f"{step}: {_name(exc)}" if step else _name(exc)
    if details:
        head += f" ({', '.join(details)})"
    message = untrusted(_message(exc, error), sent, redact)
    line = f"{head}: {message}" if message else head
    return shortened(line, SHOWN - 1, redact, _MARK)

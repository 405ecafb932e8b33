"""Call arguments as the object Anthropic and Gemini take: the stored text
parsed within bounds, or kept as text under RAW_ARGUMENTS, never raising.

Anthropic and Gemini take a call's arguments as an object, and their clients
write it into the body as JSON. Whatever text a host stored, the request is
built and the client can send it: arguments go as the object they parse to
only when that object is JSON every client writes and every API reads (no
NaN or Infinity, which the Anthropic client refuses and Gemini's writes as
no JSON; no number beyond a double's range), parsed within bounds of depth
and size, never raising; anything else goes as {RAW_ARGUMENTS: text}, with a
raw_arguments record saying why. A lone surrogate that a \\ud83d escape puts
in a string is replaced, as in every other text.
"""

from __future__ import annotations

import json
import math
import re
from itertools import accumulate
from typing import Any

from context_compress.window.turns import utf8

#: The key of the object that holds call arguments which are not a JSON
#: object, for the APIs that take arguments as an object.
RAW_ARGUMENTS = "_raw_arguments"

#: Arguments nested deeper than this go as text: tool arguments are a few
#: levels deep, and the parse, the clients' encoders and the APIs' readers all
#: recurse per level.
MAX_ARGUMENTS_DEPTH = 32
#: Arguments longer than this (in characters) go as text unparsed.
MAX_ARGUMENTS_CHARS = 1 << 20
#: The most digits of an integer a double holds (about 1.8e308).
_MAX_DIGITS = 308


class _OutOfRange(ValueError):
    """A number of the arguments is none every API reads."""


def _finite_float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):  # 1e400
        raise _OutOfRange(f"{text[:20]} is beyond a double's range")
    return value


def _finite_int(text: str) -> int:
    if len(text) - text.startswith("-") > _MAX_DIGITS:
        raise _OutOfRange(f"an integer of {len(text):,} digits is beyond a double's range")
    return int(text)


def _no_constant(name: str) -> Any:
    raise _OutOfRange(f"{name} is no JSON number")


_decoder = json.JSONDecoder(parse_float=_finite_float, parse_int=_finite_int, parse_constant=_no_constant)
_decode, _decode_all = _decoder.raw_decode, _decoder.decode
# A JSON string, its escapes included; one left open runs to the end, so that
# no quote inside it starts another match (which made the search quadratic).
_STRING = re.compile(r'"[^"\\]*(?:\\.[^"\\]*)*"?', re.DOTALL)
# A run of anything but brackets.
_NOT_BRACKET = re.compile(r"[^][{}]+")
_STEP = {"[": 1, "{": 1, "]": -1, "}": -1}


def _depth(text: str) -> int:
    """How deep the brackets of `text` nest, those in strings left out: as
    deep as a JSON parser goes before it stops, or deeper. Linear, without
    recursion."""
    brackets = _NOT_BRACKET.sub("", _STRING.sub("", text))
    return max(accumulate(map(_STEP.__getitem__, brackets)), default=0)


def _parse(text: str) -> dict | str:
    """The JSON object `text` holds, or why it goes as text. Never raises."""
    if len(text) > MAX_ARGUMENTS_CHARS:
        return f"they are longer than {MAX_ARGUMENTS_CHARS:,} characters"
    # Text with few brackets cannot nest deep; most arguments skip the count.
    if text.count("{") + text.count("[") > MAX_ARGUMENTS_DEPTH and _depth(text) > MAX_ARGUMENTS_DEPTH:
        return f"they nest deeper than {MAX_ARGUMENTS_DEPTH} levels"
    try:
        try:
            # raw_decode skips decode's white-space matching, a third of the cost.
            value, end = _decode(text)
            if end != len(text) and not text[end:].isspace():
                value = None
        except _OutOfRange:
            raise
        except ValueError:
            value = None
        if type(value) is not dict:
            value = _decode_all(text)  # white space first, or no object
    except _OutOfRange as exc:
        return str(exc)
    except (ValueError, RecursionError):  # RecursionError: a caller already deep in the stack
        value = None
    return value if type(value) is dict else "they are not a JSON object"


# Arguments text -> the object it parses to. A host converts the same history
# every turn, and parsing is most of what a call costs, so each text is parsed
# once; every request gets its own copy of the object's top level. The cache
# keeps its texts alive after their conversations are gone, so it is bounded
# in bytes: an entry costs about twice its text (the text, and the strings
# parsed from it) and 512 bytes of objects; the cache starts over past
# _PARSED_BYTES, and a text longer than _PARSED_TEXT is parsed every time.
parsed_arguments: dict[str, dict] = {}
_parsed_bytes = 0
_PARSED_BYTES = 4 << 20
_PARSED_TEXT = 1 << 14


def _keep(text: str, value: dict) -> None:
    global _parsed_bytes
    cost = 2 * len(text) + 512
    if _parsed_bytes + cost > _PARSED_BYTES:
        parsed_arguments.clear()
        _parsed_bytes = 0
    parsed_arguments[text] = value
    _parsed_bytes += cost


def as_object(arguments: Any, cid: str, index: int, notes: list) -> dict:
    """Call arguments as the object Anthropic and Gemini take."""
    if type(arguments) is not str:
        if not arguments:
            return {}
        # A host's object goes as the JSON the client would write of it, so
        # that it meets the same rules as a text.
        arguments = arguments_text(arguments)
        if not arguments.isascii():
            arguments = utf8(arguments, index, notes)
        if (parsed := parsed_arguments.get(arguments)) is not None:
            return parsed.copy()
    elif not arguments:  # not in parsed_arguments: the callers look there first
        return {}
    value = _parse(arguments)
    if isinstance(value, str):
        notes.append((index, "raw_arguments", cid, f"arguments of {cid!r} sent as {{{RAW_ARGUMENTS!r}: text}}: "
                      f"{value}"))
        return {RAW_ARGUMENTS: arguments}
    if "\\u" in arguments:
        # A \\ud83d escape parses to a lone surrogate: sent as U+FFFD, as
        # every other text, and not kept, so that each request notes it.
        written = json.dumps(value, ensure_ascii=False)
        if not written.isascii() and (sent := utf8(written, index, notes)) is not written:
            return json.loads(sent)
    if len(arguments) <= _PARSED_TEXT:
        _keep(arguments, value)
        return value.copy()
    return value


def arguments_text(arguments: Any) -> str:
    """Arguments that are no text (a host's own object) as text; never raises."""
    if isinstance(arguments, str):
        return arguments
    if arguments is None:
        return "{}"
    # Whatever the object is (circular, nested past the recursion limit, a
    # __str__ that raises), the request is still built.
    try:
        return json.dumps(arguments, ensure_ascii=False)
    except Exception:
        pass
    try:
        return str(arguments)
    except Exception:
        return f"<{type(arguments).__name__} with no text form>"

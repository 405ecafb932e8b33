"""The window of a stored conversation as the request of OpenAI's, Anthropic's
and Gemini's Python clients, and a check of what such a request would drop.

    from context_compress.window import for_openai, for_anthropic, for_gemini
    client.chat.completions.create(model=m, **for_openai(conv))
    client.messages.create(model=m, max_tokens=n, **for_anthropic(conv))
    client.models.generate_content(model=m, **for_gemini(conv))

Each function reads ``msgs_from_cut_time(conv)`` once and builds new request
records; the conversation and its messages are never changed (their texts are
shared with the request, not copied, but for a text whose lone surrogates are
replaced). Whatever a stored text holds, the official client can send the
request: every text in it is UTF-8 and every object JSON. Every tool
result in a request answers a call of the assistant turn right before it and
every call is answered before the next turn; summaries come first.

``report``, when given, is a list that gets one `Finding` per item dropped or
repaired; ``check(conv)`` gives the same kind of records for a stored
conversation, plus what makes its compression unreliable.
"""

from __future__ import annotations

import binascii
import json
import math
import mimetypes
import re
from collections.abc import Mapping, Sequence
from itertools import accumulate
from typing import Any
from urllib.parse import urlsplit

from routes import context_compress as _module

from context_compress.messages import body as message_body
from context_compress.window.turns import (ASSISTANT, HELD, SYSTEM, USER, Finding, convert, deliver, empty, plan, quote_id,
                                          utf8)

__all__ = ["for_openai", "for_anthropic", "for_gemini", "check", "Finding", "RAW_ARGUMENTS", "OPENING_TEXT",
           "MAX_ARGUMENTS_DEPTH", "MAX_ARGUMENTS_CHARS"]


#: The key of the object that holds call arguments which are not a JSON
#: object, for the APIs that take arguments as an object.
RAW_ARGUMENTS = "_raw_arguments"

#: The thought signature of the first call of every model turn: the value
#: Google documents for function calls that Gemini did not make itself.
THOUGHT_SIGNATURE = b"skip_thought_signature_validator"

#: The user turn put first when the window starts with the assistant: Anthropic
#: and Gemini refuse a history that does not start with the user.
OPENING_TEXT = "(earlier turns are not shown)"

_ANTHROPIC_ID = re.compile(r"[A-Za-z0-9_-]+").fullmatch
_ANTHROPIC_MEDIA = ("image/jpeg", "image/png", "image/gif", "image/webp")


# --- OpenAI --------------------------------------------------------------------

def _text_part(text: str) -> dict:
    return {"type": "text", "text": text}


def _openai_image(url: str, detail: Any) -> dict:
    spec = {"url": url}
    if detail in ("auto", "low", "high"):
        spec["detail"] = detail
    return {"type": "image_url", "image_url": spec}


def _openai_content(content: Any, index: int, notes: list, images: bool, where: str) -> Any:
    """A str (the stored one, when it is one) or a list of parts; None when empty."""
    if isinstance(content, str):
        return content if content and not content.isspace() else None
    parts = convert(content, index, notes, _text_part, _openai_image if images else None, f"in {where} messages")
    return parts or None


def _arguments_text(arguments: Any) -> str:
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


def _openai_arguments(arguments: Any, index: int, notes: list) -> str:
    text = _arguments_text(arguments)
    return text if text.isascii() else utf8(text, index, notes)


def for_openai(conv: Mapping[str, Any], report: list | None = None) -> dict[str, Any]:
    """``{"messages": [...]}`` for ``client.chat.completions.create``."""
    window = _module.msgs_from_cut_time(conv)
    notes: list = []
    messages: list = []
    append = messages.append
    for kind, index, m, content, calls, answered in plan(window, notes):
        role = kind if kind is USER or kind is ASSISTANT else m.get("role")
        if type(content) is str:
            body = content if content and not content.isspace() else None
        else:
            body = _openai_content(content, index, notes, kind is USER, role)
        if kind is HELD:
            notes.append((index, "moved_system", None, "system message sent after the results it was stored among"))
        if calls:
            message = {"role": "assistant", "tool_calls": [
                {"id": cid, "type": "function", "function": {
                    "name": name, "arguments": arguments if type(arguments) is str else _openai_arguments(
                        arguments, index, notes)}}
                for cid, name, arguments in calls.values()]}
            if body is not None:
                message["content"] = body
            append(message)
            for cid in calls:
                at = answered[cid]
                result = window[at]
                output = message_body(result)
                if type(output) is not str:
                    output = _openai_content(output, at, notes, False, "tool") or ""
                elif not output.isascii():
                    output = utf8(output, at, notes)
                append({"role": "tool", "tool_call_id": cid, "content": output})
        elif body is not None:
            append({"role": role, "content": body})
        elif calls is None:
            empty(notes, index, role)
    deliver(conv, window, notes, report)
    return {"messages": messages}


# --- Anthropic -----------------------------------------------------------------

def _base64(data: str) -> bool:
    """Whether `data` is base64 as b64encode writes it (the standard alphabet,
    padded, no stray bits): what a data URL holds, and all that the APIs
    decode. Other data would make Gemini's client refuse the request and the
    APIs refuse the image; the image is dropped instead, and noted."""
    try:
        binascii.a2b_base64(data, strict_mode=True)
        # Only the last group can hold bits past the data's end.
        return bool(data) and binascii.b2a_base64(binascii.a2b_base64(data[-4:]), newline=False) == data[-4:].encode()
    except ValueError:
        return False


def _anthropic_image(url: str, detail: Any = None) -> dict | None:
    if url.startswith("data:"):
        head, comma, data = url.partition(",")
        media, *params = head[5:].split(";")
        media = media.lower()
        if comma and params and params[-1].lower() == "base64" and media in _ANTHROPIC_MEDIA and _base64(data):
            return {"type": "image", "source": {"type": "base64", "media_type": media, "data": data}}
        return None
    if url.startswith(("https://", "http://")):
        return {"type": "image", "source": {"type": "url", "url": url}}
    return None


# --- arguments as an object ------------------------------------------------------
#
# Anthropic and Gemini take a call's arguments as an object, and their clients
# write it into the body as JSON. Whatever text a host stored, the request is
# built and the client can send it: arguments go as the object they parse to
# only when that object is JSON every client writes and every API reads (no
# NaN or Infinity, which the Anthropic client refuses and Gemini's writes as
# no JSON; no number beyond a double's range), parsed within bounds of depth
# and size, never raising; anything else goes as {RAW_ARGUMENTS: text}, with a
# raw_arguments record saying why. A lone surrogate that a \\ud83d escape puts
# in a string is replaced, as in every other text.

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
_parsed: dict[str, dict] = {}
_parsed_bytes = 0
_PARSED_BYTES = 4 << 20
_PARSED_TEXT = 1 << 14


def _keep(text: str, value: dict) -> None:
    global _parsed_bytes
    cost = 2 * len(text) + 512
    if _parsed_bytes + cost > _PARSED_BYTES:
        _parsed.clear()
        _parsed_bytes = 0
    _parsed[text] = value
    _parsed_bytes += cost


def _input(arguments: Any, cid: str, index: int, notes: list) -> dict:
    """Call arguments as the object Anthropic and Gemini take."""
    if type(arguments) is not str:
        if not arguments:
            return {}
        # A host's object goes as the JSON the client would write of it, so
        # that it meets the same rules as a text.
        arguments = _arguments_text(arguments)
        if not arguments.isascii():
            arguments = utf8(arguments, index, notes)
        if (parsed := _parsed.get(arguments)) is not None:
            return parsed.copy()
    elif not arguments:  # not in _parsed: the callers look there first
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


_NOT_ID = re.compile(r"[^A-Za-z0-9_-]")


def _renamed_id(cid: str, used: set, suffixes: dict, index: int, notes: list) -> str:
    """A new id for a call id Anthropic refuses or has seen: the id in its
    alphabet, then with _2, _3, ... The numbers tried for a base are kept
    (`suffixes`), so that a history reusing one id is renamed in linear time."""
    base = _NOT_ID.sub("_", cid)
    new, n = base, suffixes.get(base, 1)
    while new in used:
        n += 1
        new = f"{base}_{n}"
    suffixes[base] = n
    used.add(new)
    notes.append((index, "renamed_id", cid, f"tool call {cid!r} sent as {new!r}: Anthropic takes each id once, "
                  "of letters, digits, _ and -"))
    return new


def _join(messages: list, role: str, content: Any) -> None:
    """Adds a turn of `role`, to the last turn when it has that role: a str
    content alone, blocks otherwise."""
    if messages and messages[-1]["role"] == role:
        last = messages[-1]
        if type(last["content"]) is str:
            last["content"] = [_text_part(last["content"])]
        last["content"] += [_text_part(content)] if type(content) is str else content
    else:
        messages.append({"role": role, "content": content})


def _system_text(content: Any, index: int, notes: list, system: list) -> None:
    parts = convert(content, index, notes, str, None, "in the system text")
    if parts:
        system.append("\n".join(parts))
    else:
        empty(notes, index, "system")


def _open_with_user(messages: list, turns: list, notes: list, opening: dict) -> None:
    if messages and messages[0]["role"] != "user":
        messages.insert(0, opening)
        first = next(turn[1] for turn in turns if turn[0] is not SYSTEM and turn[0] is not HELD)
        notes.append((first, "opening_turn", None, "user turn put first: the window starts with the assistant"))


def _anthropic_turn(messages: list, used: set, suffixes: dict, notes: list, turn: tuple, window: list) -> None:
    kind, index, m, content, calls, answered = turn
    if type(content) is str:
        blocks = [_text_part(content)] if content and not content.isspace() else []
    else:
        blocks = convert(content, index, notes, _text_part, _anthropic_image if kind is USER else None,
                          f"in {kind} messages")
    if calls:
        answers = []
        for cid, name, arguments in calls.values():
            at = answered[cid]
            result = window[at]
            # Most ids are ASCII identifiers, which the str methods tell faster.
            if cid in used or not (cid.isascii() and cid.isidentifier() or _ANTHROPIC_ID(cid)):
                sent = _renamed_id(cid, used, suffixes, index, notes)
            else:
                used.add(cid)
                sent = cid
            parsed = _parsed.get(arguments) if type(arguments) is str else None
            args = parsed.copy() if parsed is not None else _input(arguments, cid, index, notes)
            blocks.append({"type": "tool_use", "id": sent, "name": name, "input": args})
            answer = {"type": "tool_result", "tool_use_id": sent}
            output: Any = message_body(result)
            if type(output) is not str:
                output = convert(output, at, notes, _text_part, _anthropic_image, "in tool results")
            elif not output.isascii():
                output = utf8(output, at, notes)
            if output and not (type(output) is str and output.isspace()):
                answer["content"] = output
            answers.append(answer)
        if messages and messages[-1]["role"] == ASSISTANT:
            _join(messages, ASSISTANT, blocks)
        else:
            messages.append({"role": ASSISTANT, "content": blocks})
        messages.append({"role": USER, "content": answers})
    elif blocks:
        _join(messages, kind, blocks)
    elif calls is None:
        empty(notes, index, kind)


def for_anthropic(conv: Mapping[str, Any], report: list | None = None) -> dict[str, Any]:
    """``{"messages": [...], "system": ...}`` for ``client.messages.create``;
    no ``system`` when the window has no system text."""
    window = _module.msgs_from_cut_time(conv)
    notes: list = []
    messages: list = []
    system: list = []
    used: set = set()
    suffixes: dict = {}
    last: Any = None  # the role of the last message
    turns = plan(window, notes)
    for turn in turns:
        kind, index, _, content, calls, _ = turn
        if kind is SYSTEM or kind is HELD:
            _system_text(content, index, notes, system)
        elif calls is None and type(content) is str and content and not content.isspace():
            # The common turn, one text: its str is the content.
            if kind == last:
                _join(messages, kind, content)
            else:
                messages.append({"role": kind, "content": content})
                last = kind
        else:
            _anthropic_turn(messages, used, suffixes, notes, turn, window)
            last = messages[-1]["role"] if messages else None
    _open_with_user(messages, turns, notes, {"role": "user", "content": OPENING_TEXT})
    if messages and messages[-1]["role"] == "assistant":
        # A last assistant turn is a prefill, which may not end in white space.
        final = messages[-1]
        if type(final["content"]) is str:
            final["content"] = final["content"].rstrip()
        elif final["content"][-1]["type"] == "text":
            final["content"][-1]["text"] = final["content"][-1]["text"].rstrip()
    deliver(conv, window, notes, report)
    request: dict[str, Any] = {"messages": messages}
    if system:
        request["system"] = "\n\n".join(system)
    return request


# --- Gemini --------------------------------------------------------------------

def _gemini_text(text: str) -> dict:
    return {"text": text}


def _gemini_image(url: str, detail: Any = None) -> dict | None:
    if url.startswith("data:"):
        head, comma, data = url.partition(",")
        media, *params = head[5:].split(";")
        if comma and media and params and params[-1].lower() == "base64" and _base64(data):
            # The client's Blob takes base64 text and decodes it itself.
            return {"inline_data": {"mime_type": media.lower(), "data": data}}
        return None
    if url.startswith(("https://", "http://")):
        try:
            guessed = mimetypes.guess_type(urlsplit(url).path)[0]
        except ValueError:  # a URL urlsplit refuses ("https://[::1")
            guessed = None
        return {"file_data": {"file_uri": url, "mime_type": guessed or "image/jpeg"}}
    return None


def _gemini_join(contents: list, role: str, parts: list) -> None:
    if contents and contents[-1]["role"] == role:
        contents[-1]["parts"] += parts
    else:
        contents.append({"role": role, "parts": parts})


def _gemini_turn(contents: list, notes: list, turn: tuple, window: list) -> None:
    kind, index, m, content, calls, answered = turn
    parts: list[Any]
    if type(content) is str:
        parts = [{"text": content}] if content and not content.isspace() else []
    else:
        parts = convert(content, index, notes, _gemini_text, _gemini_image, f"in {kind} messages")
    if calls:
        answers = []
        for n, (cid, name, arguments) in enumerate(calls.values()):
            at = answered[cid]
            result = window[at]
            parsed = _parsed.get(arguments) if type(arguments) is str else None
            args = parsed.copy() if parsed is not None else _input(arguments, cid, index, notes)
            part: dict[str, Any] = {"function_call": {"name": name, "args": args}}
            if n == 0:
                # Gemini 3 refuses a turn's calls whose first one carries no
                # thought signature, and a stored call never has Gemini's own:
                # the value Google documents for history made elsewhere.
                part["thought_signature"] = THOUGHT_SIGNATURE
            parts.append(part)
            output = message_body(result)
            if type(output) is not str:
                output = "\n".join(convert(output, at, notes, str, None, "in function responses"))
            elif not output.isascii():
                output = utf8(output, at, notes)
            answers.append({"function_response": {"name": name, "response": {"output": output}}})
        if contents and contents[-1]["role"] == "model":
            contents[-1]["parts"] += parts
        else:
            contents.append({"role": "model", "parts": parts})
        contents.append({"role": "user", "parts": answers})
    elif parts:
        _gemini_join(contents, "model" if kind is ASSISTANT else "user", parts)
    elif calls is None:
        empty(notes, index, kind)


def for_gemini(conv: Mapping[str, Any], report: list | None = None) -> dict[str, Any]:
    """``{"contents": [...], "config": {...}}`` for ``client.models.generate_content``;
    the config holds ``system_instruction`` when the window has system text."""
    window = _module.msgs_from_cut_time(conv)
    notes: list = []
    contents: list = []
    system: list = []
    last: Any = None  # the role of the last content
    turns = plan(window, notes)
    for turn in turns:
        kind, index, _, content, calls, _ = turn
        if kind is SYSTEM or kind is HELD:
            _system_text(content, index, notes, system)
        elif calls is None and type(content) is str and content and not content.isspace():
            role = "model" if kind is ASSISTANT else "user"
            if role == last:
                contents[-1]["parts"].append({"text": content})
            else:
                contents.append({"role": role, "parts": [{"text": content}]})
                last = role
        else:
            _gemini_turn(contents, notes, turn, window)
            last = contents[-1]["role"] if contents else None
    _open_with_user(contents, turns, notes, {"role": "user", "parts": [{"text": OPENING_TEXT}]})
    deliver(conv, window, notes, report)
    return {"contents": contents, "config": {"system_instruction": "\n\n".join(system)} if system else {}}


# --- the check of a stored conversation ------------------------------------------

#: The APIs as `check` names them: (key, name, conversion).
_APIS = (("openai", "OpenAI", for_openai), ("anthropic", "Anthropic", for_anthropic),
         ("gemini", "Gemini", for_gemini))


def check(conv: Mapping[str, Any]) -> list[Finding]:
    """What a request built from the window of `conv` would drop or repair,
    and what makes its compression unreliable: a list of `Finding`, ordered
    by message, empty when nothing was found.

    From the window's point of view: every record any of the three
    conversions would report (``orphan_result``, ``unanswered_call``,
    ``invalid_call``, ``summary_in_tool_block``, ``unknown_role``,
    ``empty_turn``, ``dropped_part``, ``raw_arguments``, ``renamed_id``,
    ``moved_system``, ``opening_turn``, ``lone_surrogate``); one that only
    some of them would make names them in `apis` and at the start of its
    text. Over every stored message: ``timestamp_order``,
    ``missing_timestamp``, ``duplicate_call_id``, ``result_without_call``.
    Each record is a plain dict, so the list is JSON as it stands; `index`
    (never None here) counts from 0 in ``conv["messages"]``, `text` is one
    line without the index. A command prints one line per record, say
    ``f"message {index + 1}: {text}"``, and exits 1 when the list is not
    empty, 0 when it is: an empty list means that each API gets the window
    with nothing dropped or repaired.
    """
    # The check runs the conversions themselves, so that it reports what
    # they do, not a copy of their rules that could fall behind them.
    concerns: dict[tuple, list[str]] = {}  # (kind, index, id, text, n-th such record) -> the APIs
    for key, _, build in _APIS:
        report: list[Finding] = []
        build(conv, report)
        counted: dict[tuple, int] = {}
        for f in report:
            record = (f["kind"], f["index"], f["tool_call_id"], f["text"])
            n = counted[record] = counted.get(record, 0) + 1
            concerns.setdefault((*record, n), []).append(key)
    names = {key: name for key, name, _ in _APIS}
    findings: list[Finding] = []
    for (kind, index, cid, text, _), apis in concerns.items():
        if len(apis) == len(_APIS):
            findings.append({"kind": kind, "index": index, "tool_call_id": cid, "text": text, "apis": None})
        else:
            findings.append({"kind": kind, "index": index, "tool_call_id": cid, "apis": apis,
                             "text": f"{' and '.join(names[api] for api in apis)}: {text}"})
    for f in _stored_findings(conv.get("messages") or ()):
        findings.append({**f, "apis": None})
    findings.sort(key=lambda f: -1 if f["index"] is None else f["index"])
    return findings


def _stored_findings(messages: Sequence[Mapping[str, Any]]) -> list[Finding]:
    findings: list[Finding] = []
    calls: dict = {}
    results = []
    previous = None
    for index, m in enumerate(messages):
        stamp = m.get("timestamp")
        if not stamp or not isinstance(stamp, str):
            findings.append({"kind": "missing_timestamp", "index": index, "tool_call_id": None,
                             "text": "no timestamp: the window leaves it out once a cut time is set"})
        else:
            if previous is not None and stamp < previous:
                findings.append({"kind": "timestamp_order", "index": index, "tool_call_id": None,
                                 "text": f"stamped {stamp}, before the message before it ({previous})"})
            previous = stamp
        role = m.get("role")
        if role == "tool":
            results.append((index, m.get("tool_call_id")))
        elif role == "assistant" and isinstance(stored := m.get("tool_calls"), (list, tuple)):
            for call in stored:
                cid = call.get("id") if isinstance(call, Mapping) else None
                if not isinstance(cid, str):
                    continue
                if cid in calls:
                    # Messages are named counting from 1, as the command's lines do.
                    findings.append({"kind": "duplicate_call_id", "index": index, "tool_call_id": cid,
                                     "text": f"tool call id {cid!r} is used by message {calls[cid] + 1} too"})
                else:
                    calls[cid] = index
    for index, cid in results:
        if not isinstance(cid, str) or cid not in calls:
            findings.append({"kind": "result_without_call", "index": index,
                             "tool_call_id": cid if isinstance(cid, str) else None,
                             "text": f"tool result {quote_id(cid)} answers no call of the file"})
    return findings

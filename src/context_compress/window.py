"""The window of a stored conversation as the request of OpenAI's, Anthropic's
and Gemini's Python clients, and a check of what such a request would drop.

    from context_compress.window import for_openai, for_anthropic, for_gemini
    client.chat.completions.create(model=m, **for_openai(conv))
    client.messages.create(model=m, max_tokens=n, **for_anthropic(conv))
    client.models.generate_content(model=m, **for_gemini(conv))

Each function reads ``msgs_from_cut_time(conv)`` once and builds new request
records; the conversation and its messages are never changed (texts, argument
objects and image URL payloads are shared with them, not copied). Every tool
result in a request answers a call of the assistant turn right before it and
every call is answered before the next turn; summaries come first.

``report``, when given, is a list that gets one `Finding` per item dropped or
repaired; ``check(conv)`` gives the same kind of records for a stored
conversation, plus what makes its compression unreliable.
"""

from __future__ import annotations

import json
import mimetypes
import re
from collections.abc import Mapping, Sequence
from typing import Any, TypedDict
from urllib.parse import urlsplit

from routes import context_compress as _module

from context_compress.texts import SUMMARY_PREFIX

__all__ = ["for_openai", "for_anthropic", "for_gemini", "check", "Finding", "RAW_ARGUMENTS", "OPENING_TEXT"]


class Finding(TypedDict):
    """One record of `report` or of `check`.

    kind: what was found, one of the names below.
    index: the message's position in ``conv["messages"]`` (from 0), or None.
    tool_call_id: the tool call concerned, or None.
    text: one line saying what and why, without the index.

    Kinds a request would drop or repair (the conversions and `check`):
    ``orphan_result`` a tool result whose call is not in the assistant turn
    before it, or was answered already; ``unanswered_call`` a call with no
    result before the next turn; ``invalid_call`` a call without id or
    function name, or whose id its turn already used; ``summary_in_tool_block``
    a summary stored between a call and its results (it is sent first);
    ``unknown_role`` a message whose role no API knows.
    The conversions only: ``empty_turn`` a message with nothing left to send;
    ``dropped_part`` a content part the API cannot take there;
    ``raw_arguments`` arguments that are not a JSON object, sent as
    ``{RAW_ARGUMENTS: text}``; ``renamed_id`` a call id Anthropic refuses or
    has seen, sent under a new one; ``moved_system`` a system message between
    a call and its results, sent after them (OpenAI); ``opening_turn`` a user
    turn put first because the window starts with the assistant.
    `check` only, over the whole file: ``timestamp_order`` a stamp (compared
    as text, as the module compares them) before the previous stamp;
    ``missing_timestamp``; ``duplicate_call_id`` a call id an earlier call
    used; ``result_without_call`` a result no call of the file has.
    """

    kind: str
    index: int | None
    tool_call_id: str | None
    text: str


#: The key of the object that holds call arguments which are not a JSON
#: object, for the APIs that take arguments as an object.
RAW_ARGUMENTS = "_raw_arguments"

#: The user turn put first when the window starts with the assistant: Anthropic
#: and Gemini refuse a history that does not start with the user.
OPENING_TEXT = "(earlier turns are not shown)"

# Turn kinds of a plan.
SYSTEM, HELD, USER, ASSISTANT = "system", "held", "user", "assistant"
TEXT, IMAGE, OTHER = 0, 1, 2

_ANTHROPIC_ID = re.compile(r"[A-Za-z0-9_-]+").fullmatch
_ANTHROPIC_MEDIA = ("image/jpeg", "image/png", "image/gif", "image/webp")


def _quote(value: object) -> str:
    return repr(value) if isinstance(value, str) else "without an id"


def _calls(stored: object, index: int, notes: list) -> dict | None:
    """{id: (name, arguments)} of an assistant message's usable tool calls."""
    if not stored:
        return None
    if not isinstance(stored, (list, tuple)):
        notes.append((index, "invalid_call", None, "tool calls dropped: tool_calls is not a list"))
        return None
    calls: dict = {}
    for call in stored:
        function = call.get("function") if isinstance(call, Mapping) else None
        cid = call.get("id") if function is not None else None
        name = function.get("name") if isinstance(function, Mapping) else None
        if not (isinstance(cid, str) and cid and isinstance(name, str) and name):
            notes.append((index, "invalid_call", cid if isinstance(cid, str) else None,
                          f"tool call {_quote(cid)} dropped: it has no id or no function name"))
        elif cid in calls:
            notes.append((index, "invalid_call", cid, f"tool call {cid!r} dropped: its turn has that id already"))
        else:
            calls[cid] = (name, function.get("arguments"))
    return calls


def _settle(block: list, calls: dict, answers: dict, notes: list) -> None:
    """Keeps the answered calls of an assistant turn, each beside its result."""
    kept, results = [], []
    for cid, (name, arguments) in calls.items():
        answer = answers.get(cid)
        if answer is None:
            notes.append((block[1], "unanswered_call", cid,
                          f"tool call {cid!r} dropped: no result came before the next turn"))
        else:
            kept.append((cid, name, arguments))
            results.append(answer)
    block[3], block[4] = kept, results


def _plan(window: Sequence[Mapping[str, Any]], notes: list) -> list:
    """The window's turns in request order, tool pairs settled.

    A turn is (kind, window index, message, calls, results): for an assistant
    turn, calls are the answered (id, name, arguments) and results the
    (index, message) answering each, in call order. Summaries come first; a
    system message met between a call and its results follows those results.
    """
    summaries, turns, held = [], [], []
    block = calls = answers = summary_inside = None
    for index, m in enumerate(window):
        role = m.get("role")
        if role == "tool":
            cid = m.get("tool_call_id")
            if block is not None and isinstance(cid, str) and cid in calls and cid not in answers:
                answers[cid] = (index, m)
                if summary_inside is not None:
                    notes.append((summary_inside, "summary_in_tool_block", cid,
                                  f"summary sent first: it was stored between call {cid!r} and its result"))
                    summary_inside = None
            else:
                cid = cid if isinstance(cid, str) else None
                answered = block is not None and cid in answers
                why = "was answered already" if answered else "is not in the assistant turn before it"
                notes.append((index, "orphan_result", cid,
                              f"tool result {_quote(cid)} dropped: its call {why}"))
            continue
        if role == "user":
            content = m.get("content")
            if isinstance(content, str) and content.startswith(SUMMARY_PREFIX):
                summaries.append((USER, index, m, None, None))
                if block is not None:
                    summary_inside = index
                continue
        elif role == "system" or role == "developer":
            (turns if block is None else held).append((SYSTEM if block is None else HELD, index, m, None, None))
            continue
        elif role != "assistant":
            notes.append((index, "unknown_role", None, f"message dropped: no API knows the role {role!r}"))
            continue
        if block is not None:
            _settle(block, calls, answers, notes)
            block = summary_inside = None
            if held:
                turns += held
                held = []
        if role == "assistant":
            calls = _calls(m.get("tool_calls"), index, notes)
            if calls:
                block, answers = [ASSISTANT, index, m, None, None], {}
                turns.append(block)
                continue
        turns.append((role, index, m, None, None))
    if block is not None:
        _settle(block, calls, answers, notes)
        turns += held
    return summaries + turns if summaries else turns


def _output(m: Mapping[str, Any]) -> Any:
    """A tool message's output, read as the module reads it."""
    return m.get("tool_result") or m.get("content") or ""


def _classify(part: Any) -> tuple:
    """(TEXT, text), (IMAGE, url, detail) or (OTHER, what it is) for a content part."""
    if isinstance(part, str):
        return TEXT, part
    if not isinstance(part, Mapping):
        return OTHER, f"a part of type {type(part).__name__}"
    kind = part.get("type")
    if kind == "text":
        text = part.get("text")
        return TEXT, text if isinstance(text, str) else "" if text is None else str(text)
    if kind == "image_url":
        spec = part.get("image_url")
        url = spec.get("url") if isinstance(spec, Mapping) else spec
        if isinstance(url, str) and url:
            return IMAGE, url, spec.get("detail") if isinstance(spec, Mapping) else None
        return OTHER, "an image without a URL"
    return OTHER, f"a part of type {kind!r}"


def _convert(content: Any, index: int, notes: list, text, image, where: str) -> list:
    """A content as a list of the API's parts. text(str) makes a text part;
    image(url, detail) an image part or None; image=None takes no images."""
    if isinstance(content, str):
        return [text(content)] if content and not content.isspace() else []
    if not content:
        return []
    if not isinstance(content, list):
        content = str(content)
        return [text(content)] if not content.isspace() else []
    parts = []
    for part in content:
        piece = _classify(part)
        if piece[0] == TEXT:
            if piece[1] and not piece[1].isspace():
                parts.append(text(piece[1]))
            continue
        if piece[0] == IMAGE:
            made = image(piece[1], piece[2]) if image is not None else None
            if made is not None:
                parts.append(made)
                continue
            what = "image" + (f" {piece[1][:40]!r}" if image is not None else "")
        else:
            what = piece[1]
        notes.append((index, "dropped_part", None, f"{what} dropped: the API takes no such part {where}"))
    return parts


def _records(conv: Mapping[str, Any], window: Sequence, notes: list) -> list[Finding]:
    """Notes (window index, kind, id, text) as Findings indexed in conv["messages"]."""
    notes.sort(key=lambda note: -1 if note[0] is None else note[0])
    position: dict = {}
    stored = enumerate(conv.get("messages") or ())
    for w in sorted({note[0] for note in notes if note[0] is not None}):
        # The window is an ordered subsequence of the stored messages.
        position[w] = next((i for i, m in stored if m is window[w]), None)
    return [{"kind": kind, "index": position.get(w), "tool_call_id": cid, "text": text}
            for w, kind, cid, text in notes]


def _deliver(conv, window, notes, report: list | None) -> None:
    if report is not None and notes:
        report.extend(_records(conv, window, notes))


# --- OpenAI --------------------------------------------------------------------

def _openai_text(text: str) -> dict:
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
    parts = _convert(content, index, notes, _openai_text, _openai_image if images else None, where)
    return parts or None


def _arguments_text(arguments: Any) -> str:
    if isinstance(arguments, str):
        return arguments
    if arguments is None:
        return "{}"
    try:
        return json.dumps(arguments, ensure_ascii=False)
    except (TypeError, ValueError):
        return str(arguments)


def for_openai(conv: Mapping[str, Any], report: list | None = None) -> dict[str, Any]:
    """``{"messages": [...]}`` for ``client.chat.completions.create``."""
    window = _module.msgs_from_cut_time(conv)
    notes: list = []
    messages = []
    for kind, index, m, calls, results in _plan(window, notes):
        role = m.get("role")
        if kind == HELD:
            notes.append((index, "moved_system", None, "system message sent after the results it was stored among"))
        content = _openai_content(m.get("content"), index, notes, role == "user", f"in {role} messages")
        if calls:
            message = {"role": "assistant", "tool_calls": [
                {"id": cid, "type": "function", "function": {"name": name, "arguments": _arguments_text(arguments)}}
                for cid, name, arguments in calls]}
            if content is not None:
                message["content"] = content
            messages.append(message)
            for (cid, _, _), (at, result) in zip(calls, results):
                output = _openai_content(_output(result), at, notes, False, "in tool results")
                messages.append({"role": "tool", "tool_call_id": cid, "content": output or ""})
        elif content is not None:
            messages.append({"role": role, "content": content})
        elif calls is None:
            notes.append((index, "empty_turn", None, f"{role} message dropped: it has nothing to send"))
    _deliver(conv, window, notes, report)
    return {"messages": messages}


# --- Anthropic -----------------------------------------------------------------

def _anthropic_image(url: str, detail: Any = None) -> dict | None:
    if url.startswith("data:"):
        head, comma, data = url.partition(",")
        media, *params = head[5:].split(";")
        media = media.lower()
        if comma and params and params[-1].lower() == "base64" and media in _ANTHROPIC_MEDIA:
            return {"type": "image", "source": {"type": "base64", "media_type": media, "data": data}}
        return None
    if url.startswith(("https://", "http://")):
        return {"type": "image", "source": {"type": "url", "url": url}}
    return None


def _input(arguments: Any, cid: str, index: int, notes: list) -> dict:
    """Call arguments as the object Anthropic and Gemini take."""
    if isinstance(arguments, dict):
        return arguments
    if not arguments or arguments == "{}":
        return {}
    if isinstance(arguments, str):
        try:
            value = json.loads(arguments)
        except ValueError:
            value = None
        if isinstance(value, dict):
            return value
    notes.append((index, "raw_arguments", cid, f"arguments of {cid!r} sent as {{{RAW_ARGUMENTS!r}: text}}: "
                  "they are not a JSON object"))
    return {RAW_ARGUMENTS: arguments if isinstance(arguments, str) else _arguments_text(arguments)}


def _anthropic_id(cid: str, used: set, index: int, notes: list) -> str:
    if _ANTHROPIC_ID(cid) and cid not in used:
        used.add(cid)
        return cid
    base = re.sub(r"[^A-Za-z0-9_-]", "_", cid)
    new, n = base, 1
    while new in used:
        n += 1
        new = f"{base}_{n}"
    used.add(new)
    notes.append((index, "renamed_id", cid, f"tool call {cid!r} sent as {new!r}: Anthropic takes each id once, "
                  "of letters, digits, _ and -"))
    return new


def _join(messages: list, role: str, blocks: list) -> None:
    """Adds blocks as a turn of `role`, to the last turn when it has that role."""
    if messages and messages[-1]["role"] == role:
        messages[-1]["content"] += blocks
    else:
        messages.append({"role": role, "content": blocks})


def _system_text(content: Any, index: int, notes: list, system: list) -> None:
    parts = _convert(content, index, notes, str, None, "in the system text")
    if parts:
        system.append("\n".join(parts))
    else:
        notes.append((index, "empty_turn", None, "system message dropped: it has nothing to send"))


def _open_with_user(messages: list, first: Any, notes: list, make) -> None:
    if messages and messages[0]["role"] != "user":
        messages.insert(0, make())
        notes.append((first, "opening_turn", None, "user turn put first: the window starts with the assistant"))


def for_anthropic(conv: Mapping[str, Any], report: list | None = None) -> dict[str, Any]:
    """``{"messages": [...], "system": ...}`` for ``client.messages.create``;
    no ``system`` when the window has no system text."""
    window = _module.msgs_from_cut_time(conv)
    notes: list = []
    messages: list = []
    system: list = []
    used: set = set()
    first = None
    for kind, index, m, calls, results in _plan(window, notes):
        if kind == SYSTEM or kind == HELD:
            _system_text(m.get("content"), index, notes, system)
            continue
        first = index if first is None else first
        role = m.get("role")
        blocks = _convert(m.get("content"), index, notes, _openai_text,
                          _anthropic_image if role == "user" else None, f"in {role} turns")
        if calls:
            answers = []
            for (cid, name, arguments), (at, result) in zip(calls, results):
                sent = _anthropic_id(cid, used, index, notes)
                blocks.append({"type": "tool_use", "id": sent, "name": name,
                               "input": _input(arguments, cid, index, notes)})
                answer = {"type": "tool_result", "tool_use_id": sent}
                output = _convert(_output(result), at, notes, _openai_text, _anthropic_image, "in tool results")
                if output:
                    answer["content"] = output
                answers.append(answer)
            _join(messages, "assistant", blocks)
            _join(messages, "user", answers)
        elif blocks:
            _join(messages, role, blocks)
        elif calls is None:
            notes.append((index, "empty_turn", None, f"{role} message dropped: it has nothing to send"))
    _open_with_user(messages, first, notes, lambda: {"role": "user", "content": [_openai_text(OPENING_TEXT)]})
    if messages and messages[-1]["role"] == "assistant" and messages[-1]["content"][-1]["type"] == "text":
        # A last assistant turn is a prefill, which may not end in white space.
        last = messages[-1]["content"][-1]
        last["text"] = last["text"].rstrip()
    _deliver(conv, window, notes, report)
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
        if comma and media and params and params[-1].lower() == "base64":
            # The client's Blob takes base64 text and decodes it itself.
            return {"inline_data": {"mime_type": media.lower(), "data": data}}
        return None
    if url.startswith(("https://", "http://")):
        media = mimetypes.guess_type(urlsplit(url).path)[0]
        return {"file_data": {"file_uri": url, "mime_type": media or "image/jpeg"}}
    return None


def for_gemini(conv: Mapping[str, Any], report: list | None = None) -> dict[str, Any]:
    """``{"contents": [...], "config": {...}}`` for ``client.models.generate_content``;
    the config holds ``system_instruction`` when the window has system text."""
    window = _module.msgs_from_cut_time(conv)
    notes: list = []
    contents: list = []
    system: list = []
    first = None
    for kind, index, m, calls, results in _plan(window, notes):
        if kind == SYSTEM or kind == HELD:
            _system_text(m.get("content"), index, notes, system)
            continue
        first = index if first is None else first
        role = "model" if kind == ASSISTANT else "user"
        parts = _convert(m.get("content"), index, notes, _gemini_text, _gemini_image, "")
        if calls:
            answers = []
            for (cid, name, arguments), (at, result) in zip(calls, results):
                parts.append({"function_call": {"name": name, "args": _input(arguments, cid, index, notes)}})
                output = _convert(_output(result), at, notes, str, None, "in function responses")
                answers.append({"function_response": {"name": name, "response": {"output": "\n".join(output)}}})
            _join_gemini(contents, "model", parts)
            _join_gemini(contents, "user", answers)
        elif parts:
            _join_gemini(contents, role, parts)
        elif calls is None:
            notes.append((index, "empty_turn", None, f"{m.get('role')} message dropped: it has nothing to send"))
    _open_with_user(contents, first, notes, lambda: {"role": "user", "parts": [_gemini_text(OPENING_TEXT)]})
    _deliver(conv, window, notes, report)
    config = {"system_instruction": "\n\n".join(system)} if system else {}
    return {"contents": contents, "config": config}


def _join_gemini(contents: list, role: str, parts: list) -> None:
    if contents and contents[-1]["role"] == role:
        contents[-1]["parts"] += parts
    else:
        contents.append({"role": role, "parts": parts})


# --- the check of a stored conversation ------------------------------------------

def check(conv: Mapping[str, Any]) -> list[Finding]:
    """What a request built from the window of `conv` would drop or repair,
    and what makes its compression unreliable: a list of `Finding`, ordered
    by message, empty when nothing was found.

    From the window's point of view (as the conversions see it):
    ``orphan_result``, ``unanswered_call``, ``invalid_call``,
    ``summary_in_tool_block``, ``unknown_role``. Over every stored message:
    ``timestamp_order``, ``missing_timestamp``, ``duplicate_call_id``,
    ``result_without_call``. Each record is a plain dict, so a list of them
    is JSON as it stands; `index` counts from 0 in ``conv["messages"]``.
    """
    window = _module.msgs_from_cut_time(conv)
    notes: list = []
    _plan(window, notes)
    findings = _records(conv, window, notes) + _stored_findings(conv.get("messages") or ())
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
                    findings.append({"kind": "duplicate_call_id", "index": index, "tool_call_id": cid,
                                     "text": f"tool call id {cid!r} is used by message {calls[cid]} too"})
                else:
                    calls[cid] = index
    for index, cid in results:
        if not isinstance(cid, str) or cid not in calls:
            findings.append({"kind": "result_without_call", "index": index,
                             "tool_call_id": cid if isinstance(cid, str) else None,
                             "text": f"tool result {_quote(cid)} answers no call of the file"})
    return findings

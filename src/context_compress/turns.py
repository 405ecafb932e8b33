"""The window of a conversation as turns in request order, whatever the API:
tool pairs settled, summaries first, contents read part by part.

A plan is a list of turns (kind, window index, message, content, calls,
results). Everything dropped or repaired on the way is noted as
(window index, kind, tool call id, text); `records` turns notes into the
`Finding` dicts hosts get, indexed in the stored messages.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, TypedDict

from context_compress.texts import SUMMARY_PREFIX

# Turn kinds: HELD is a system message met between a call and its results.
SYSTEM, HELD, USER, ASSISTANT = "system", "held", "user", "assistant"
# What a content part is.
TEXT, IMAGE, OTHER = 0, 1, 2


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


def quote_id(value: object) -> str:
    return repr(value) if isinstance(value, str) else "without an id"


def _is_mapping(value: object) -> bool:
    # The ABC check costs ten times the exact-type test most records pass.
    return type(value) is dict or isinstance(value, Mapping)


def _call_fields(call: Any) -> tuple:
    """(id, name, arguments) of a stored call, None where one is missing."""
    if type(call) is dict:
        function = call.get("function")
        if type(function) is dict:
            return call.get("id"), function.get("name"), function.get("arguments")
    elif not isinstance(call, Mapping):
        return None, None, None
    function = call.get("function")
    if _is_mapping(function):
        return call.get("id"), function.get("name"), function.get("arguments")
    return None, None, None


def _calls(stored: object, index: int, notes: list) -> dict | None:
    """{id: (id, name, arguments)} of an assistant message's usable tool calls."""
    if not isinstance(stored, (list, tuple)):
        notes.append((index, "invalid_call", None, "tool calls dropped: tool_calls is not a list"))
        return None
    calls: dict = {}
    for call in stored:
        fields = _call_fields(call)
        cid, name = fields[0], fields[1]
        if not isinstance(cid, str) or not cid or not isinstance(name, str) or not name:
            notes.append((index, "invalid_call", cid if isinstance(cid, str) else None,
                          f"tool call {quote_id(cid)} dropped: it has no id or no function name"))
        elif cid in calls:
            notes.append((index, "invalid_call", cid, f"tool call {cid!r} dropped: its turn has that id already"))
        else:
            calls[cid] = fields
    return calls


def _settle(block: list, calls: dict, answers: dict, notes: list) -> None:
    """Keeps the answered calls of an assistant turn, each beside its result."""
    if len(answers) == len(calls):
        block[4], block[5] = list(calls.values()), [answers[cid] for cid in calls]
        return
    kept, results = [], []
    for cid, call in calls.items():
        answer = answers.get(cid)
        if answer is None:
            notes.append((block[1], "unanswered_call", cid,
                          f"tool call {cid!r} dropped: no result came before the next turn"))
        else:
            kept.append(call)
            results.append(answer)
    block[4], block[5] = kept, results


def plan(window: Sequence[Mapping[str, Any]], notes: list) -> list:
    """The window's turns in request order, tool pairs settled.

    A turn is (kind, window index, message, content, calls, results): for an
    assistant turn, calls are the answered (id, name, arguments) and results
    the (index, message) answering each, in call order. Summaries come first;
    a system message met between a call and its results follows the results.
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
                notes.append((index, "orphan_result", cid, f"tool result {quote_id(cid)} dropped: its call {why}"))
            continue
        content = m.get("content")
        if role == "user":
            if type(content) is str and content.startswith(SUMMARY_PREFIX):
                summaries.append((USER, index, m, content, None, None))
                if block is not None:
                    summary_inside = index
                continue
        elif role == "system" or role == "developer":
            (turns if block is None else held).append((SYSTEM if block is None else HELD, index, m, content, None, None))
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
            stored = m.get("tool_calls")
            calls = _calls(stored, index, notes) if stored else None
            if calls is not None:  # a turn whose calls were all dropped is no empty turn
                block, answers = [ASSISTANT, index, m, content, None, None], {}
                turns.append(block)
                continue
            turns.append((ASSISTANT, index, m, content, None, None))
        else:
            turns.append((USER, index, m, content, None, None))
    if block is not None:
        _settle(block, calls, answers, notes)
        turns += held
    return summaries + turns if summaries else turns


def tool_output(m: Mapping[str, Any]) -> Any:
    """A tool message's output, read as the module reads it."""
    return m.get("tool_result") or m.get("content") or ""


def classify(part: Any) -> tuple:
    """(TEXT, text), (IMAGE, url, detail) or (OTHER, what it is) for a content part."""
    if isinstance(part, str):
        return TEXT, part
    if not _is_mapping(part):
        return OTHER, f"a part of type {type(part).__name__}"
    kind = part.get("type")
    if kind == "text":
        text = part.get("text")
        return TEXT, text if isinstance(text, str) else "" if text is None else str(text)
    if kind == "image_url":
        spec = part.get("image_url")
        url = spec.get("url") if _is_mapping(spec) else spec
        if isinstance(url, str) and url:
            return IMAGE, url, spec.get("detail") if _is_mapping(spec) else None
        return OTHER, "an image without a URL"
    return OTHER, f"a part of type {kind!r}"


def convert(content: Any, index: int, notes: list, text, image, where: str) -> list:
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
        piece = classify(part)
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


def records(conv: Mapping[str, Any], window: Sequence, notes: list) -> list[Finding]:
    """Notes (window index, kind, id, text) as Findings indexed in conv["messages"]."""
    notes.sort(key=lambda note: -1 if note[0] is None else note[0])
    position: dict = {}
    stored = enumerate(conv.get("messages") or ())
    for w in sorted({note[0] for note in notes if note[0] is not None}):
        # The window is an ordered subsequence of the stored messages.
        position[w] = next((i for i, m in stored if m is window[w]), None)
    return [{"kind": kind, "index": position.get(w), "tool_call_id": cid, "text": text}
            for w, kind, cid, text in notes]


def deliver(conv, window, notes, report: list | None) -> None:
    if report is not None and notes:
        report.extend(records(conv, window, notes))


def empty(notes: list, index: int, role: Any) -> None:
    notes.append((index, "empty_turn", None, f"{role} message dropped: it has nothing to send"))

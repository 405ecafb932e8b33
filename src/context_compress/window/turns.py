"""The window of a conversation as turns in request order, whatever the API:
the system messages the window leaves out first, then tool pairs settled,
summaries first, contents read part by part, and the turns of the APIs whose
roles alternate (Anthropic's, Gemini's).

A plan is a list of turns (kind, window index, message, content, calls,
results). Everything dropped or repaired on the way is noted as
(window index, kind, tool call id, text); `records` turns notes into the
`Finding` dicts hosts get, indexed in the stored messages.
"""

from __future__ import annotations

import binascii
import codecs
import sys
from collections.abc import Callable, Mapping, Sequence
from typing import Any, NotRequired, TypedDict

from routes import context_compress as _module

from context_compress.messages import without_lone_surrogates
from context_compress.texts import SUMMARY_PREFIX

# Turn kinds: HELD is a system message met between a call and its results.
SYSTEM, HELD, USER, ASSISTANT = "system", "held", "user", "assistant"
# What a content part is.
TEXT, IMAGE, OTHER = 0, 1, 2

#: The user turn put first when the window starts with the assistant: Anthropic
#: and Gemini refuse a history that does not start with the user.
OPENING_TEXT = "(earlier turns are not shown)"


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
    turn put first because the window starts with the assistant;
    ``lone_surrogate`` texts of the message that held lone surrogates, which
    UTF-8 cannot carry, sent with U+FFFD in their place (one record per
    message).
    `check` only, over the whole file: ``timestamp_order`` a stamp (compared
    as text, as the module compares them) before the previous stamp;
    ``missing_timestamp``; ``duplicate_call_id`` a call id an earlier call
    used; ``result_without_call`` a result no call of the file has.

    apis (`check` only): the APIs whose request the record concerns, of
    "openai", "anthropic" and "gemini"; None when it concerns all three, or
    the stored file itself. The text names them too.
    """

    kind: str
    index: int | None
    tool_call_id: str | None
    text: str
    apis: NotRequired[list[str] | None]


def quote_id(value: object) -> str:
    return repr(value) if isinstance(value, str) else "without an id"


# The UTF-16 encoder refuses surrogates as UTF-8's does, and is the fastest
# full scan Python has for them: twice UTF-8's, five times a regex search.
_scan = codecs.utf_16_le_encode
# Texts found free of surrogates, by id; each entry holds its text, so that
# the id cannot name another text while it is here. A host converts the same
# history every turn, and scanning made a conversion of Chinese text a third
# to a half slower (make bench): each text is scanned once. The entries keep
# texts alive after their conversations are gone, so the whole is bounded in
# bytes (the text's own size and 100 for the entry) and starts over past
# _CLEAN_BYTES, twice the text of a 200,000-token window in any script.
_clean: dict[int, str] = {}
_clean_bytes = 0
_CLEAN_BYTES = 8 << 20


def utf8(text: str, index: int, notes: list) -> str:
    """`text` as a request can carry it: every text a request holds (contents,
    outputs, names, ids, arguments, URLs) is UTF-8, which the clients encode
    their bodies in and which has no form for a lone surrogate (one comes
    from a \\ud83d escape in a stored file). Each surrogate becomes U+FFFD,
    as the chat layer sends them, and the message is noted.

    Callers test ``text.isascii()`` first: ASCII text, most of it, needs no
    look; other text is scanned once in its life (`_clean`)."""
    global _clean_bytes
    if _clean.get(id(text)) is text:
        return text
    try:
        _scan(text)
    except UnicodeEncodeError:
        notes.append((index, "lone_surrogate", None, "lone surrogates replaced with U+FFFD: UTF-8 has no form for them"))
        return without_lone_surrogates(text)
    cost = sys.getsizeof(text) + 100
    if _clean_bytes + cost > _CLEAN_BYTES:
        _clean.clear()
        _clean_bytes = 0
    _clean[id(text)] = text
    _clean_bytes += cost
    return text


def _is_mapping(value: object) -> bool:
    # The ABC check costs ten times the exact-type test most records pass.
    return type(value) is dict or isinstance(value, Mapping)


def _calls(stored: object, index: int, notes: list) -> dict:
    """{id: (id, name, arguments)} of an assistant message's usable tool calls."""
    calls: dict = {}
    if not isinstance(stored, (list, tuple)):
        notes.append((index, "invalid_call", None, "tool calls dropped: tool_calls is not a list"))
        return calls
    for call in stored:
        # The stored shape, exact dicts with a str id and name, is read inline:
        # a Python call costs more here than the rest of the loop body.
        function: Any = call.get("function") if type(call) is dict else None
        if type(function) is dict:
            cid, name, arguments = call.get("id"), function.get("name"), function.get("arguments")
            if (type(cid) is str and cid and cid.isascii() and type(name) is str and name and name.isascii()
                    and (type(arguments) is not str or arguments.isascii()) and cid not in calls):
                calls[cid] = (cid, name, arguments)
                continue
        _odd_call(call, calls, index, notes)
    return calls


def _odd_call(call: Any, calls: dict, index: int, notes: list) -> None:
    """Adds a call of another shape to `calls`, or notes why it is dropped."""
    function: Any = call.get("function") if isinstance(call, Mapping) else None
    if _is_mapping(function):
        cid, name, arguments = call.get("id"), function.get("name"), function.get("arguments")
    else:
        cid = name = arguments = None
    if not isinstance(cid, str) or not cid or not isinstance(name, str) or not name:
        notes.append((index, "invalid_call", cid if isinstance(cid, str) else None,
                      f"tool call {quote_id(cid)} dropped: it has no id or no function name"))
        return
    # Ids are matched as they are sent; results read theirs the same way (plan).
    cid, name = utf8(cid, index, notes), utf8(name, index, notes)
    if isinstance(arguments, str):
        arguments = utf8(arguments, index, notes)
    if cid in calls:
        notes.append((index, "invalid_call", cid, f"tool call {cid!r} dropped: its turn has that id already"))
    else:
        calls[cid] = (cid, name, arguments)


def _close(block: list, calls: dict, answers: dict, held: list, turns: list, notes: list) -> None:
    """Keeps the answered calls of an assistant turn; the system messages held
    back meanwhile follow it."""
    if len(answers) != len(calls):
        for cid in [cid for cid in calls if cid not in answers]:
            del calls[cid]
            notes.append((block[1], "unanswered_call", cid,
                          f"tool call {cid!r} dropped: no result came before the next turn"))
    block[4], block[5] = calls, answers
    if held:
        turns += held
        held.clear()


def _orphan(notes: list, index: int, cid: Any, answered: dict) -> None:
    if not isinstance(cid, str):
        cid = None
    why = "was answered already" if cid in answered else "is not in the assistant turn before it"
    notes.append((index, "orphan_result", cid, f"tool result {quote_id(cid)} dropped: its call {why}"))


def sent_messages(conv: Mapping[str, Any]) -> tuple[list, list[int]]:
    """What a request is built from: the stored system (and developer)
    messages that the window leaves out, in stored order, then
    ``msgs_from_cut_time(conv)``; and the indexes in ``conv["messages"]`` of
    the former.

    System messages are never compressed, so one stamped before the cut time
    (or not stamped, which no window with a cut time holds) is still in force:
    the model must see it first, ahead of the summary of what came after it.
    """
    window = _module.msgs_from_cut_time(conv)
    stored = conv.get("messages") or ()
    # The window is an ordered subsequence of the stored messages: as long as
    # they are, nothing is left out. That is every conversation without a cut
    # time, and every one the module alone has compressed.
    if type(stored) in (list, tuple) and len(stored) == len(window):
        return window, []
    inside = set(map(id, window))
    outside: list[int] = []
    early = []
    for index, m in enumerate(stored):
        if id(m) not in inside:
            role = m.get("role")
            if role == "system" or role == "developer":
                outside.append(index)
                early.append(m)
    return (early + window, outside) if early else (window, outside)


_END: dict = {}


def plan(window: Sequence[Mapping[str, Any]], notes: list, head: int = 0) -> list:
    """The window's turns in request order, tool pairs settled.

    A turn is (kind, window index, message, content, calls, answers): for an
    assistant turn, calls maps the id of each answered call to (id, name,
    arguments), in call order, and answers maps it to the window index of its
    result. The first `head` messages (system ones, `sent_messages`) come
    first, summaries next; a system message met between a call and its
    results follows the results."""
    summaries: list[Any] = []
    turns: list[Any] = []
    held: list[Any] = []
    block: list[Any] | None = None  # an assistant turn with calls, its results next
    calls: dict = {}
    answers: dict[str, int] = {}
    summary: int | None = None  # a summary met since that turn
    for index, m in enumerate([*window, _END]):  # the end closes the last block
        role = m.get("role")
        if role == "tool":
            cid = m.get("tool_call_id")
            if isinstance(cid, str) and not cid.isascii():
                cid = utf8(cid, index, notes)
            if block is not None and type(cid) is str and cid in calls and cid not in answers:
                answers[cid] = index
                if summary is not None:
                    notes.append((summary, "summary_in_tool_block", cid,
                                  f"summary sent first: it was stored between call {cid!r} and its result"))
                    summary = None
            else:
                _orphan(notes, index, cid, answers if block is not None else {})
            continue
        content = m.get("content")
        if isinstance(content, str) and not content.isascii():
            content = utf8(content, index, notes)
        if block is not None and (role == "assistant" or m is _END or role == "user" and not (
                type(content) is str and content.startswith(SUMMARY_PREFIX))):
            if len(answers) == len(calls) and not held:
                block[4], block[5] = calls, answers
            else:
                _close(block, calls, answers, held, turns, notes)
            block = summary = None
        if role == "assistant":
            stored = m.get("tool_calls")
            if stored:  # a turn whose calls are all dropped is no empty turn
                calls, answers = _calls(stored, index, notes), {}
                block = [ASSISTANT, index, m, content, None, None]
                turns.append(block)
            else:
                turns.append((ASSISTANT, index, m, content, None, None))
        elif role == "user":
            if type(content) is str and content.startswith(SUMMARY_PREFIX):
                summaries.append((USER, index, m, content, None, None))
                summary = index if block is not None else None
            else:
                turns.append((USER, index, m, content, None, None))
        elif role == "system" or role == "developer":
            (turns if block is None else held).append((SYSTEM if block is None else HELD, index, m, content, None, None))
        elif m is not _END:
            notes.append((index, "unknown_role", None, f"message dropped: no API knows the role {role!r}"))
    return turns[:head] + summaries + turns[head:] if summaries else turns  # the first head made a turn each


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


def text_part(text: str) -> dict:
    """A text part as OpenAI and Anthropic write it."""
    return {"type": "text", "text": text}


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


def data_url(url: str) -> tuple[str, str] | None:
    """The media type (lower-cased) and the data of a `data:` URL that holds
    base64, or None for any other: an image an API takes inline."""
    head, comma, data = url.partition(",")
    media, *params = head[5:].split(";")
    if comma and media and params and params[-1].lower() == "base64" and _base64(data):
        return media.lower(), data
    return None


def convert(content: Any, index: int, notes: list, text, image, where: str) -> list:
    """A content as a list of the API's parts. text(str) makes a text part;
    image(url, detail) an image part or None; image=None takes no images."""
    if isinstance(content, str) or content and not isinstance(content, list):
        content = content if isinstance(content, str) else str(content)
        if not content.isascii():
            content = utf8(content, index, notes)
        return [text(content)] if content and not content.isspace() else []
    if not content:
        return []
    parts = []
    for part in content:
        piece = classify(part)
        if piece[0] == TEXT:
            if piece[1] and not piece[1].isspace():
                parts.append(text(piece[1] if piece[1].isascii() else utf8(piece[1], index, notes)))
            continue
        if piece[0] == IMAGE:
            made = None
            if image is not None:
                made = image(piece[1] if piece[1].isascii() else utf8(piece[1], index, notes), piece[2])
            if made is not None:
                parts.append(made)
                continue
            what = "image" + (f" {piece[1][:40]!r}" if image is not None else "")
        else:
            what = piece[1]
        notes.append((index, "dropped_part", None, f"{what} dropped: the API takes no such part {where}"))
    return parts


def records(conv: Mapping[str, Any], window: Sequence, notes: list, outside: Sequence[int] = ()) -> list[Finding]:
    """Notes (window index, kind, id, text) as Findings indexed in conv["messages"];
    `window` starts with the messages at the indexes `outside` (`sent_messages`)."""
    if any(note[1] == "lone_surrogate" for note in notes):
        # Each text of a message notes its own; the message is named once.
        kept, named = [], set()
        for note in notes:
            if note[1] == "lone_surrogate":
                if note[0] in named:
                    continue
                named.add(note[0])
            kept.append(note)
        notes[:] = kept
    notes.sort(key=lambda note: -1 if note[0] is None else note[0])
    position: dict = {}
    stored = enumerate(conv.get("messages") or ())
    head = len(outside)
    for w in sorted({note[0] for note in notes if note[0] is not None}):
        if w < head:
            position[w] = outside[w]
        else:
            # The window is an ordered subsequence of the stored messages.
            position[w] = next((i for i, m in stored if m is window[w]), None)
    return [{"kind": kind, "index": position.get(w), "tool_call_id": cid, "text": text}
            for w, kind, cid, text in notes]


def deliver(conv, window, notes, report: list | None, outside: Sequence[int] = ()) -> None:
    if report is not None and notes:
        report.extend(records(conv, window, notes, outside))


def empty(notes: list, index: int, role: Any) -> None:
    notes.append((index, "empty_turn", None, f"{role} message dropped: it has nothing to send"))


# --- the APIs whose roles alternate ---------------------------------------------


def _system_text(content: Any, index: int, notes: list, system: list) -> None:
    parts = convert(content, index, notes, str, None, "in the system text")
    if parts:
        system.append("\n".join(parts))
    else:
        empty(notes, index, "system")


def alternating(window: Sequence, notes: list, roles: Mapping[str, str],
                text_turn: Callable[[str, str], dict], add_text: Callable[[dict, str], None],
                other_turn: Callable[[list, tuple], None], head: int = 0) -> tuple[list, list]:
    """The turns of a request whose roles alternate, as Anthropic and Gemini
    take it, and its system texts, which they take apart.

    A turn of one text is `text_turn(role, text)`, the text added to the last
    turn instead (`add_text`) when that has the same role; `other_turn(turns,
    turn)` adds any other planned turn (parts, calls and their results).
    `roles` names the user's and the assistant's turns. A window that starts
    with the assistant gets a user turn first. The first `head` messages are
    system messages from before the window (`sent_messages`): their texts
    come first."""
    turns: list = []
    system: list = []
    last: Any = None  # the role of the last turn
    planned = plan(window, notes, head)
    for turn in planned:
        kind, index, _, content, calls, _ = turn
        if kind is SYSTEM or kind is HELD:
            _system_text(content, index, notes, system)
        elif calls is None and type(content) is str and content and not content.isspace():
            # The common turn, one text.
            role = roles[kind]
            if role == last:
                add_text(turns[-1], content)
            else:
                turns.append(text_turn(role, content))
                last = role
        else:
            other_turn(turns, turn)
            last = turns[-1]["role"] if turns else None
    if turns and turns[0]["role"] != "user":
        turns.insert(0, text_turn("user", OPENING_TEXT))
        first = next(turn[1] for turn in planned if turn[0] is not SYSTEM and turn[0] is not HELD)
        notes.append((first, "opening_turn", None, "user turn put first: the window starts with the assistant"))
    return turns, system

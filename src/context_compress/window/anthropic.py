"""Anthropic's request: the window as the `messages` and `system` of
``client.messages.create``, tool calls as tool_use blocks, their results as
tool_result blocks of the user turn after them, call ids in the alphabet
Anthropic takes, each once."""

from __future__ import annotations

import re
from collections.abc import Mapping
from typing import Any

from context_compress.messages import body as message_body
from context_compress.window.arguments import as_object, parsed_arguments
from context_compress.window.turns import (ASSISTANT, USER, alternating, convert, data_url, deliver, empty,
                                          sent_messages, text_part, utf8)

_ANTHROPIC_ID = re.compile(r"[A-Za-z0-9_-]+").fullmatch
_ANTHROPIC_MEDIA = ("image/jpeg", "image/png", "image/gif", "image/webp")
_NOT_ID = re.compile(r"[^A-Za-z0-9_-]")
_ROLES = {USER: "user", ASSISTANT: "assistant"}


def _anthropic_image(url: str, detail: Any = None) -> dict | None:
    if url.startswith("data:"):
        inline = data_url(url)
        if inline is not None and inline[0] in _ANTHROPIC_MEDIA:
            return {"type": "image", "source": {"type": "base64", "media_type": inline[0], "data": inline[1]}}
        return None
    if url.startswith(("https://", "http://")):
        return {"type": "image", "source": {"type": "url", "url": url}}
    return None


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


def _text_turn(role: str, text: str) -> dict:
    return {"role": role, "content": text}


def _add_text(turn: dict, text: str) -> None:
    if type(turn["content"]) is str:
        turn["content"] = [text_part(turn["content"])]
    turn["content"].append(text_part(text))


def _join(messages: list, role: str, blocks: list) -> None:
    """Adds a turn of `role` with `blocks`, to the last turn when it has that role."""
    if messages and messages[-1]["role"] == role:
        last = messages[-1]
        if type(last["content"]) is str:
            last["content"] = [text_part(last["content"])]
        last["content"] += blocks
    else:
        messages.append({"role": role, "content": blocks})


def _anthropic_turn(messages: list, used: set, suffixes: dict, notes: list, turn: tuple, window: list) -> None:
    kind, index, m, content, calls, answered = turn
    if type(content) is str:
        blocks = [text_part(content)] if content and not content.isspace() else []
    else:
        blocks = convert(content, index, notes, text_part, _anthropic_image if kind is USER else None,
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
            parsed = parsed_arguments.get(arguments) if type(arguments) is str else None
            args = parsed.copy() if parsed is not None else as_object(arguments, cid, index, notes)
            blocks.append({"type": "tool_use", "id": sent, "name": name, "input": args})
            answer = {"type": "tool_result", "tool_use_id": sent}
            output: Any = message_body(result)
            if type(output) is not str:
                output = convert(output, at, notes, text_part, _anthropic_image, "in tool results")
            elif not output.isascii():
                output = utf8(output, at, notes)
            if output and not (type(output) is str and output.isspace()):
                answer["content"] = output
            answers.append(answer)
        _join(messages, ASSISTANT, blocks)
        messages.append({"role": USER, "content": answers})
    elif blocks:
        _join(messages, kind, blocks)
    elif calls is None:
        empty(notes, index, kind)


def for_anthropic(conv: Mapping[str, Any], report: list | None = None) -> dict[str, Any]:
    """``{"messages": [...], "system": ...}`` for ``client.messages.create``;
    ``system`` holds the texts of the system messages the window leaves out,
    then those of the window's; no ``system`` when there is no such text."""
    window, outside = sent_messages(conv)
    notes: list = []
    used: set = set()
    suffixes: dict = {}
    messages, system = alternating(
        window, notes, _ROLES, _text_turn, _add_text,
        lambda turns, turn: _anthropic_turn(turns, used, suffixes, notes, turn, window), len(outside))
    if messages and messages[-1]["role"] == "assistant":
        # A last assistant turn is a prefill, which may not end in white space.
        final = messages[-1]
        if type(final["content"]) is str:
            final["content"] = final["content"].rstrip()
        elif final["content"][-1]["type"] == "text":
            final["content"][-1]["text"] = final["content"][-1]["text"].rstrip()
    deliver(conv, window, notes, report, outside)
    request: dict[str, Any] = {"messages": messages}
    if system:
        request["system"] = "\n\n".join(system)
    return request

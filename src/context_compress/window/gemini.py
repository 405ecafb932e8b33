"""Gemini's request: the window as the `contents` and `config` of
``client.models.generate_content``, tool calls as function_call parts of a
model turn (the first with a thought signature), their results as
function_response parts of the user turn after it."""

from __future__ import annotations

import mimetypes
from collections.abc import Mapping
from typing import Any
from urllib.parse import urlsplit

from context_compress.messages import body as message_body
from context_compress.window.arguments import as_object, parsed_arguments
from context_compress.window.turns import (ASSISTANT, USER, alternating, convert, data_url, deliver, empty,
                                          sent_messages, utf8)

#: The thought signature of the first call of every model turn: the value
#: Google documents for function calls that Gemini did not make itself.
THOUGHT_SIGNATURE = b"skip_thought_signature_validator"

_ROLES = {USER: "user", ASSISTANT: "model"}


def _gemini_text(text: str) -> dict:
    return {"text": text}


def _gemini_image(url: str, detail: Any = None) -> dict | None:
    if url.startswith("data:"):
        inline = data_url(url)
        if inline is not None:
            # The client's Blob takes base64 text and decodes it itself.
            return {"inline_data": {"mime_type": inline[0], "data": inline[1]}}
        return None
    if url.startswith(("https://", "http://")):
        try:
            guessed = mimetypes.guess_type(urlsplit(url).path)[0]
        except ValueError:  # a URL urlsplit refuses ("https://[::1")
            guessed = None
        return {"file_data": {"file_uri": url, "mime_type": guessed or "image/jpeg"}}
    return None


def _text_turn(role: str, text: str) -> dict:
    return {"role": role, "parts": [{"text": text}]}


def _add_text(turn: dict, text: str) -> None:
    turn["parts"].append({"text": text})


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
            parsed = parsed_arguments.get(arguments) if type(arguments) is str else None
            args = parsed.copy() if parsed is not None else as_object(arguments, cid, index, notes)
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
        _gemini_join(contents, "model", parts)
        contents.append({"role": "user", "parts": answers})
    elif parts:
        _gemini_join(contents, _ROLES[kind], parts)
    elif calls is None:
        empty(notes, index, kind)


def for_gemini(conv: Mapping[str, Any], report: list | None = None) -> dict[str, Any]:
    """``{"contents": [...], "config": {...}}`` for ``client.models.generate_content``;
    the config holds ``system_instruction`` when there is system text (that of
    the system messages the window leaves out first)."""
    window, outside = sent_messages(conv)
    notes: list = []
    contents, system = alternating(window, notes, _ROLES, _text_turn, _add_text,
                                   lambda turns, turn: _gemini_turn(turns, notes, turn, window), len(outside))
    deliver(conv, window, notes, report, outside)
    return {"contents": contents, "config": {"system_instruction": "\n\n".join(system)} if system else {}}

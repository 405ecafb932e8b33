"""OpenAI's request: the window as the `messages` of
``client.chat.completions.create``, tool results as tool messages right after
the assistant message that made the calls."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from context_compress.messages import body as message_body
from context_compress.window.arguments import arguments_text
from context_compress.window.turns import (ASSISTANT, HELD, USER, convert, deliver, empty, plan, sent_messages,
                                          text_part, utf8)


def _openai_image(url: str, detail: Any) -> dict:
    spec = {"url": url}
    if detail in ("auto", "low", "high"):
        spec["detail"] = detail
    return {"type": "image_url", "image_url": spec}


def _openai_content(content: Any, index: int, notes: list, images: bool, where: str) -> Any:
    """A str (the stored one, when it is one) or a list of parts; None when empty."""
    if isinstance(content, str):
        return content if content and not content.isspace() else None
    parts = convert(content, index, notes, text_part, _openai_image if images else None, f"in {where} messages")
    return parts or None


def _openai_arguments(arguments: Any, index: int, notes: list) -> str:
    text = arguments_text(arguments)
    return text if text.isascii() else utf8(text, index, notes)


def for_openai(conv: Mapping[str, Any], report: list | None = None) -> dict[str, Any]:
    """``{"messages": [...]}`` for ``client.chat.completions.create``; the
    system messages the window leaves out come first."""
    window, outside = sent_messages(conv)
    notes: list = []
    messages: list = []
    append = messages.append
    for kind, index, m, content, calls, answered in plan(window, notes, len(outside)):
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
    deliver(conv, window, notes, report, outside)
    return {"messages": messages}

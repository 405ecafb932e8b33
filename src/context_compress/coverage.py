"""How much of a compressed span the summary was written from.

The summary never sees the whole span: the LLM is sent its transcript, cut to
BODY_BOUND characters per message and TRANSCRIPT_BOUND in all, keeping the
oldest lines; the extract renders only the first EXTRACT_HEAD and the last
EXTRACT_TAIL messages, under the same bounds. The lines are measured here as
the module renders them.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

from .messages import body
from .texts import BODY_BOUND, BODY_MARKER, EXTRACT_HEAD, EXTRACT_TAIL, TRANSCRIPT_BOUND


def message_text(message: Mapping[str, Any]) -> tuple[str, str]:
    """The label and the whole body of a message's transcript line; an empty
    body means the message leaves no line."""
    role = message.get("role", "?")
    if role == "tool":
        role = "tool_result"
    content = body(message)
    if isinstance(content, list):
        content = " ".join(str(part.get("text", "")) if isinstance(part, dict) else str(part)
                           for part in content)
    elif not isinstance(content, str):
        content = str(content)
    return str(role), content


def extract_selection(span: Sequence[Any]) -> list[Any]:
    if len(span) <= EXTRACT_HEAD + EXTRACT_TAIL:
        return list(span)
    return [*span[:EXTRACT_HEAD], *span[-EXTRACT_TAIL:]]


def _line_lengths(messages: Sequence[Any], bounded: bool) -> list[int | None]:
    """Per message, the length of its transcript line (None: no line)."""
    lengths: list[int | None] = []
    for message in messages:
        label, body = message_text(message)
        if not body:
            lengths.append(None)
        elif bounded and len(body) > BODY_BOUND:
            lengths.append(len(label) + 3 + BODY_BOUND + len(BODY_MARKER))
        else:
            lengths.append(len(label) + 3 + len(body))
    return lengths


def _joined_length(lengths: list[int | None]) -> int:
    lines = [n for n in lengths if n is not None]
    return sum(lines) + max(len(lines) - 1, 0)


def summary_covered(span: Sequence[Any], source: str) -> dict[str, int]:
    """What the summary of `span` was written from: `messages` of the span's
    `of_messages` had at least the start of their line in the text it saw,
    which held `chars` of the `of_chars` characters of the span's complete
    transcript (every line whole, nothing cut). `source` is "llm" (the
    transcript of the whole span) or "extract"."""
    seen_from = span if source == "llm" else extract_selection(span)
    lengths = _line_lengths(seen_from, bounded=True)
    total = _joined_length(lengths)
    if total <= TRANSCRIPT_BOUND:
        seen = len(seen_from)
    else:
        seen, end = 0, -1  # a line starts after the previous one's "\n"
        for index, length in enumerate(lengths):
            if length is None:
                continue
            start = end + 1
            if start >= TRANSCRIPT_BOUND:
                break
            seen, end = index + 1, start + length
    return {"messages": seen, "of_messages": len(span),
            "chars": min(total, TRANSCRIPT_BOUND),
            "of_chars": _joined_length(_line_lengths(span, bounded=False))}

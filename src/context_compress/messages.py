"""How a stored message is read: the rule the module applies to every
message it measures or renders, for the Python side to apply the same way,
and the lone surrogates a stored text can hold."""

from __future__ import annotations

import re
from collections.abc import Mapping
from typing import Any

#: A lone surrogate, as a \\ud83d escape in a stored file reads. No UTF
#: encoding has a form for one: every text that leaves the process (a
#: request, a file written back, a tokenizer's input) replaces or escapes it.
LONE_SURROGATE = re.compile("[\ud800-\udfff]")


def without_lone_surrogates(text: str) -> str:
    """`text` with U+FFFD in place of each lone surrogate."""
    return LONE_SURROGATE.sub("\ufffd", text)


def body(message: Mapping[str, Any]) -> Any:
    """The body of a message: its `content` (a falsy one reads as ""), but for
    a tool message its `tool_result` when that is set. A str, a list of
    content parts, or whatever else the host stored."""
    content = message.get("content", "") or ""
    if message.get("role") == "tool":
        content = message.get("tool_result") or content or ""
    return content


def part_text(part: Any) -> str | None:
    """The text of one content part: a text part's `text`, a str part itself;
    None for any other part (an image)."""
    if isinstance(part, dict):
        return part.get("text", "") if part.get("type") == "text" else None
    return part if isinstance(part, str) else None

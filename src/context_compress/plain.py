"""Plain message lists (`Compressor.compress_messages`): Anthropic's messages
as the transcript reads a span, and why a list was not compressed or is still
over the threshold, in figures only."""

from __future__ import annotations

import json
from collections.abc import Iterable, Mapping
from typing import Any

from . import _engine
from .diagnosis import Explanation
from .texts import THRESHOLD, keep_budget

#: The shapes compress_messages takes.
APIS = ("openai", "anthropic")


def openai_view(messages: Iterable[Any]) -> list[Any]:
    """Anthropic-shaped messages as the transcripts read a span: the texts of
    a message as its text parts, its `tool_use` blocks as OpenAI's
    `tool_calls`, and each `tool_result` block as a tool message of its own
    ahead of the rest, as Anthropic places them. Any other message is taken
    as it is."""
    view: list[Any] = []
    for message in messages:
        content = message.get("content") if isinstance(message, Mapping) else None
        if not isinstance(content, list):
            view.append(message)
            continue
        parts: list[Any] = []
        calls: list[dict[str, Any]] = []
        for block in content:
            kind = block.get("type") if isinstance(block, Mapping) else None
            if kind == "tool_result":
                view.append({"role": "tool", "tool_call_id": block.get("tool_use_id"),
                             "content": _result_text(block.get("content"))})
            elif kind == "tool_use":
                calls.append({"id": block.get("id"), "type": "function", "function": {
                    "name": block.get("name"),
                    "arguments": json.dumps(block.get("input"), ensure_ascii=False, default=str)}})
            elif kind == "thinking":
                parts.append({"type": "text", "text": block.get("thinking")})
            else:
                parts.append(block)  # text, str, or a part that renders as none (an image)
        if parts or calls:
            converted: dict[str, Any] = {"role": message.get("role"), "content": parts}
            if calls:
                converted["tool_calls"] = calls
            view.append(converted)
    return view


def _result_text(content: Any) -> Any:
    if isinstance(content, list):
        return " ".join(str(b.get("text", "")) if isinstance(b, Mapping) else str(b) for b in content)
    return content


def explain_list(messages: Any, compressed: bool, stats: Mapping[str, Any], max_context: int,
                 new_messages: Any) -> Explanation:
    """Why a list was not compressed, or why the list to send is still over
    the threshold after a compression."""
    if not compressed and "total_tokens" in stats:
        return Explanation(f"rate {stats['rate']:.3f} is at or below the {THRESHOLD} threshold")
    now = new_messages if compressed else messages
    tokens = _engine.estimate_messages(now)
    if tokens / max_context <= THRESHOLD:
        return Explanation(None, tokens=tokens)
    budget = keep_budget(max_context)
    estimates = [_engine.estimate_messages([m]) for m in now]
    largest = max(estimates, default=0)
    at = estimates.index(largest) if estimates else 0
    if largest > budget:
        reason = (f"message {at + 1} of the list to send is estimated at {largest:,} tokens, more than the keep "
                  f"budget of {budget:,}, so compression cannot bring the list under the threshold")
    elif compressed:
        reason = (f"the list still holds an estimated {tokens:,} tokens after compression, {tokens / max_context:.0%} "
                  f"of {max_context:,}: the system messages, the kept messages and the summary fill it")
    else:
        reason = (f"rate {stats['rate']:.3f} is over the {THRESHOLD} threshold, but nothing lies before the kept "
                  f"messages to compress: the newest turns, kept whole, and the system messages fill the keep "
                  f"budget of {budget:,} tokens")
    return Explanation(reason, True, largest, None, tokens=tokens)

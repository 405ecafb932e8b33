"""The `--json` fields: what became of one conversation file, worked out once
(the fields of its object, and what the report lines read), and the object
of a file that failed, in every mode."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field, fields
from pathlib import Path
from typing import Any

import routes.context_compress as cc

from .. import BAD_INPUT, FAILED, OK
from ..coverage import message_text, summary_covered
from ..compressor import CompressionResult
from ..texts import SUMMARY_NOTE, SUMMARY_PREFIX, THRESHOLD

#: Characters of the summary shown in reports and in `summary_start`.
SUMMARY_SHOWN = 160


def excerpt(text: str) -> str:
    """The start of `text` with its white space folded, as reports show it.
    Secrets are masked before any cut: the summary cut here was masked when
    it was written (mask_summary), and the lines that show the cut are
    masked again, runs of a key included."""
    flat = " ".join(text.split())
    if len(flat) > SUMMARY_SHOWN:
        return flat[:SUMMARY_SHOWN] + "…"
    return flat


def failure_record(file: str, error: str | None, also: list[str] | None = None) -> dict[str, Any]:
    """The `--json` object of a file that failed, whatever the mode: `file`,
    `also` (its other names) when it was given under several, `ok` false and
    `error`."""
    if also:
        return {"file": file, "also": also, "ok": False, "error": error}
    return {"file": file, "ok": False, "error": error}


def _shown(*, json: bool = True) -> Any:
    return {"json": json}


@dataclass
class Outcome:
    """One file's outcome. The fields marked for JSON are its `--json`
    object, in this order; a file that failed shows only `file`, `ok` and
    `error`."""

    file: str
    # The other names of the file, given too; it is read and written once.
    # In the JSON object only when there are any.
    also: list[str] = field(default_factory=list)
    ok: bool = True
    error: str | None = field(default=None, metadata=_shown(json=False))
    compressed: bool = False
    stats: dict[str, Any] = field(default_factory=dict)
    tokens_before: int | None = None
    tokens_after: int | None = None
    messages_before: int = 0
    messages_after: int = 0
    cut_time_before: str | None = None
    cut_time_after: str | None = None
    summary_source: str | None = None
    summary_start: str | None = None
    summary_covered: dict[str, int] | None = None
    summary_facts: dict[str, int] | None = None
    llm_error: str | None = None
    over_threshold: bool = False
    written: str | None = None
    # Read by the report lines only.
    also_written: list[str] = field(default_factory=list, metadata=_shown(json=False))
    other_links: int = field(default=0, metadata=_shown(json=False))
    # The file read, once rewritten in place (under its first name).
    rewritten: Path | None = field(default=None, metadata=_shown(json=False))
    status: int = field(default=OK, metadata=_shown(json=False))
    summary: str | None = field(default=None, metadata=_shown(json=False))
    reason: str | None = field(default=None, metadata=_shown(json=False))
    max_context: int = field(default=0, metadata=_shown(json=False))

    def fail(self, status: int, error: str) -> Outcome:
        self.ok, self.status, self.error = False, status, error
        return self

    def bad_input(self, error: str) -> Outcome:
        return self.fail(BAD_INPUT, error)

    def failed(self, error: str) -> Outcome:
        return self.fail(FAILED, error)

    def json_record(self) -> dict[str, Any]:
        if not self.ok:
            return failure_record(self.file, self.error, self.also)
        record = {f.name: getattr(self, f.name) for f in fields(self) if f.metadata.get("json", True)}
        if not self.also:  # a file given under one name, as nearly every one is
            del record["also"]
        return record


@dataclass
class Before:
    """What the conversation held before the module saw it."""

    messages: list[Any]  # the list object itself: the module stores a new one
    cut_time: str | None

    @classmethod
    def of(cls, conv: dict[str, Any]) -> Before:
        return cls(conv["messages"], conv.get("cut_time") or None)


def not_compressed_reason(stats: dict[str, Any], reason: str | None) -> str:
    """Why the module left the conversation as it was, in the words of the
    compressor's `reason`; a conversation over the threshold says so first."""
    if "rate" in stats and "total_tokens" not in stats:
        return f"rate {stats['rate']:.3f} is over the {THRESHOLD} threshold, but {reason or ''}"
    return reason or ""


def observe(outcome: Outcome, before: Before, conv: dict[str, Any], result: CompressionResult,
            max_context: int, whole_span: bool = False) -> None:
    """Fills `outcome` from the compressor's result and the conversation it
    left; `whole_span`: the summary was written from facts.transcript (all
    but --module-transcript)."""
    stats = result.stats
    outcome.compressed = result.compressed
    outcome.stats = dict(stats)
    outcome.max_context = max_context
    outcome.messages_before = len(before.messages)
    outcome.messages_after = len(conv["messages"])
    outcome.cut_time_before = before.cut_time
    outcome.cut_time_after = conv.get("cut_time") or None
    if "total_tokens" in stats:
        outcome.tokens_before = stats["total_tokens"]
    elif "rate" in stats:
        outcome.tokens_before = round(stats["rate"] * max_context)
    else:
        # Nothing was measured (no message in the module's window); what the
        # host feeds its LLM is the stored window, which can be all of it.
        outcome.tokens_before = cc.estimate_tokens(cc.msgs_from_cut_time(conv))
    if result.compressed:
        outcome.tokens_after = cc.estimate_tokens(cc.msgs_from_cut_time(conv))
        _observe_summary(outcome, before, conv, result, whole_span)
        outcome.reason = result.reason  # why the window is still over, if it is
    else:
        outcome.tokens_after = outcome.tokens_before
        outcome.reason = not_compressed_reason(outcome.stats, result.reason)
    outcome.over_threshold = outcome.tokens_after / max_context > THRESHOLD


def summary_message(before: Before, conv: dict[str, Any]) -> tuple[dict[str, Any] | None, list[Any]]:
    """The summary message of a compressed conversation (the one new object
    in its list) and the span it replaced (what is missing from the list)."""
    old_ids = {id(m) for m in before.messages}
    new_ids = {id(m) for m in conv["messages"]}
    span = [m for m in before.messages if id(m) not in new_ids]
    summary_msg = next((m for m in conv["messages"] if id(m) not in old_ids), None)
    return summary_msg, span


def mask_summary(before: Before, conv: dict[str, Any], mask: Callable[[str], str]) -> None:
    """Masks the secrets in the summary message the module wrote, whatever its
    source: the extract copies the conversation's own text, into which a user
    may have pasted the key, and cuts each message at 2,000 characters, which
    can leave most of the key at the cut; `mask` takes such runs of it too.
    The conversation's other messages stay as they were."""
    summary_msg, _ = summary_message(before, conv)
    if summary_msg is not None and isinstance(summary_msg.get("content"), str):
        summary_msg["content"] = mask(summary_msg["content"])


def summary_text(summary_msg: dict[str, Any] | None) -> str:
    """The summary inside a summary message's prefix and note."""
    content = summary_msg.get("content", "") if summary_msg else ""
    if content.startswith(SUMMARY_PREFIX) and content.endswith(SUMMARY_NOTE):
        content = content[len(SUMMARY_PREFIX):len(content) - len(SUMMARY_NOTE)]
    return content


def _observe_summary(outcome: Outcome, before: Before, conv: dict[str, Any], result: CompressionResult,
                     whole_span: bool) -> None:
    summary_msg, span = summary_message(before, conv)
    outcome.summary = summary_text(summary_msg)
    outcome.summary_start = excerpt(outcome.summary)
    outcome.summary_source = result.summary_source
    outcome.llm_error = result.llm_error
    outcome.summary_facts = result.summary_facts
    outcome.summary_covered = summary_covered(span, result.summary_source or "extract")
    if whole_span:
        # What the summary was written from: the transcript the LLM was sent,
        # or the extract itself.
        outcome.summary_covered.update(_selection_covered(span, result.written_from or ""))


def _selection_covered(span: list[Any], text: str) -> dict[str, int]:
    """`messages` and `chars` of summary_covered for a text selected from the
    whole span (facts.transcript, facts.extract): the first line it keeps of
    a message carries the message's label, so the labelled lines count the
    messages it holds something of."""
    labels = tuple({f"[{message_text(m)[0]}] " for m in span})
    labelled = sum(1 for line in text.split("\n") if line.startswith(labels))
    return {"messages": min(labelled, len(span)), "chars": len(text)}

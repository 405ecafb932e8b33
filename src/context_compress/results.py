"""What a compression did, as a `Compressor` gives it to its host."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal

if TYPE_CHECKING:
    from routes.context_compress import CompressionStats

__all__ = ["CompressionResult", "MessagesResult", "SummarySource"]

SummarySource = Literal["llm", "extract"]


@dataclass(slots=True)
class CompressionResult:
    """What one compression did.

    compressed: the conversation was rewritten (the module returned True).
    stats: the module's statistics dictionary.
    summary_source: "llm", "extract", or None when nothing was compressed.
    llm_error: why the LLM's answer was not used, one line with secrets
    masked, when the summary is the extract.
    summary_facts: ``{"seen": n, "of": m}``: of the m facts (paths, names,
    numbers, errors...) of the compressed span, n stood in what the summary
    was written from.
    reason: why nothing was compressed, or why the window is still over the
    threshold after a compression; None otherwise.
    still_over: the window the host feeds its LLM is still estimated above
    the threshold.
    largest_kept_tokens: when still over, the estimate of the largest message
    in that window.
    written_from: the text the summary was written from: the transcript the
    LLM was sent, or the extract itself; None when nothing was compressed.
    """

    compressed: bool
    stats: CompressionStats
    summary_source: SummarySource | None = None
    llm_error: str | None = None
    summary_facts: dict[str, int] | None = None
    reason: str | None = None
    still_over: bool = False
    largest_kept_tokens: int | None = None
    written_from: str | None = field(default=None, repr=False)


@dataclass(slots=True)
class MessagesResult(CompressionResult):
    """What one compression of a plain message list did: the fields of
    CompressionResult, and `messages`, the list to store and send next (the
    host's own list when nothing was compressed)."""

    messages: list[Any] = field(default_factory=list)

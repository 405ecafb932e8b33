"""What a `Compressor` tells the host's log about its results: a record of
each compression, and the warnings (stamps it cannot order, a window still
over the threshold) once per conversation, until the conversation is below
the threshold again or compressed into it."""

from __future__ import annotations

import logging
import threading
from collections import OrderedDict
from typing import TYPE_CHECKING, Any

from .diagnosis import Explanation, shown

if TYPE_CHECKING:
    from .results import CompressionResult

log = logging.getLogger("context_compress")

#: Conversations whose warning a compressor remembers having given.
REMEMBERED = 4096


class Teller:
    """The log of one compressor, and the warnings it remembers giving."""

    def __init__(self) -> None:
        # Warnings given once per conversation: (kind, key) in use order.
        self.warned: OrderedDict[tuple[Any, ...], None] = OrderedDict()
        self.warned_lock = threading.Lock()

    def tell(self, conv: Any, result: CompressionResult, why: Explanation | None) -> None:
        """The log records of a compression's result, and what this compressor
        remembers having warned about."""
        if why is None:  # below the threshold
            if self.warned:
                self.forget(conv)
            return
        named = label(conv)
        if result.compressed:
            self._log_compression(named, result, why)
            if result.llm_error is not None:
                log.warning("conversation %s: the summary is the extract: %s", named, result.llm_error)
        if why.stamps is not None:
            if self._first_time(("stamps", *self._key(conv, why))):
                log.warning("conversation %s: not compressed, its stamps cannot be ordered: %s",
                            named, why.reason)
        elif why.still_over:
            if self._first_time(("over", *self._key(conv, why))):
                log.warning("conversation %s is still over the threshold: %s", named, why.reason)
        elif result.compressed:
            self.forget(conv)

    def tell_list(self, result: CompressionResult) -> None:
        """The log records of a plain list's compression. A list has no
        name: a list that cannot be compressed under the threshold is warned
        about once, until a list is compressed under it again."""
        if result.compressed:
            stats: Any = result.stats
            log.info("message list compressed: %d messages into a summary from the %s, %d kept (rate %.3f)%s",
                     stats["compressed"], result.summary_source, stats["kept"], stats["rate"],
                     f"; the summary saw {result.summary_facts['seen']} of {result.summary_facts['of']} facts"
                     if result.summary_facts else "")
        if result.llm_error is not None:
            log.warning("message list: %s: %s", "the summary is the extract" if result.compressed else
                        "not compressed", result.llm_error)
        if result.still_over:
            if self._first_time(("list-over",)):
                log.warning("message list is still over the threshold: %s", result.reason)
        elif result.compressed:
            with self.warned_lock:
                self.warned.pop(("list-over",), None)

    def _log_compression(self, label: str, result: CompressionResult, why: Explanation) -> None:
        if not log.isEnabledFor(logging.INFO):
            return
        stats: Any = result.stats
        after = f"{why.tokens:,}" if why.tokens is not None else "?"
        facts = result.summary_facts
        log.info("conversation %s compressed: %d messages into a summary from the %s, %d kept; "
                 "%s -> %s estimated tokens of %s (rate %.3f); new cut time %s%s",
                 label, stats["compressed"], result.summary_source, stats["kept"],
                 f"{stats['total_tokens']:,}", after, f"{stats['max_context']:,}", stats["rate"],
                 shown(stats["new_cut_time"]),
                 f"; the summary saw {facts['seen']} of {facts['of']} facts" if facts else "")

    @staticmethod
    def _key(conv: Any, why: Explanation) -> tuple[Any, ...]:
        """A conversation's `id`; without one, its `created_at` and the stamp
        of the message at fault (both stay the same while the host reloads
        the conversation turn after turn); without those, the object."""
        key = conversation_id(conv)
        if key is not None:
            return ("id", key)
        culprit = why.stamps.stamp if why.stamps is not None else why.largest_stamp
        created = conv.get("created_at") if conv else None
        if created or culprit:
            return ("created_at", repr(created), repr(culprit))
        return ("object", id(conv))

    def _first_time(self, key: tuple[Any, ...]) -> bool:
        with self.warned_lock:
            if key in self.warned:
                self.warned.move_to_end(key)
                return False
            self.warned[key] = None
            if len(self.warned) > REMEMBERED:
                self.warned.popitem(last=False)
            return True

    def forget(self, conv: Any) -> None:
        """A conversation with an id is warned about anew once it was below the
        threshold, or compressed into it, in between."""
        key = conversation_id(conv)
        if key is not None:
            with self.warned_lock:
                self.warned.pop(("stamps", "id", key), None)
                self.warned.pop(("over", "id", key), None)



def conversation_id(conv: Any) -> Any:
    cid = conv.get("id") if conv else None
    if cid is None or cid == "":
        return None
    try:
        hash(cid)
    except TypeError:
        return repr(cid)
    return cid


def label(conv: Any) -> str:
    """How a log record names a conversation: its id, bounded."""
    cid = conv.get("id") if conv else None
    if isinstance(cid, (str, int)) and not isinstance(cid, bool):
        return shown(cid)
    return "(without an id)" if cid is None else f"(an id of type {type(cid).__name__})"

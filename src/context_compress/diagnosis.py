"""Why the module left a conversation as it was, or left its window over the
threshold, in words a host can log or show: figures and timestamps only,
never the text of a message.

`explain(conv, compressed, stats, max_context)` reads the module's result
together with the conversation it left. The module orders timestamps by
comparing their texts, which is chronological only while every stamp shares
one layout and one offset; `stamp_problem` and the reasons name the stamps
that break this, with one example and the cut time. Nothing here runs on the
per-turn path of a conversation below the threshold.
"""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Any

from . import _engine as _module
from .texts import THRESHOLD, keep_budget
from .window.turns import Finding

#: Characters of a stamp quoted in a reason: a stamp is the host's text, and
#: a field that holds something else must not carry it into a log.
STAMP_SHOWN = 40

# Date, then separator and time, then offset: the layouts hosts store. The
# separator is any one character, so that a space or a lower-case "t" is seen
# as such rather than as no time at all.
_STAMP = re.compile(
    r"(?P<date>\d{4}-\d{2}-\d{2})"
    r"(?:(?P<sep>.)(?P<hm>\d{2}:\d{2})(?P<sec>:\d{2})?(?P<frac>[.,]\d+)?)?"
    r"(?P<offset>[Zz]|[+-]\d{2}(?::?\d{2})?)?")
_DIGITS = re.compile(r"\d{9,14}(?:\.\d+)?")


def shown(stamp: object) -> str:
    """A stamp as a reason quotes it, bounded."""
    text = repr(stamp)
    return text if len(text) <= STAMP_SHOWN else text[:STAMP_SHOWN - 2] + "…" + text[-1]


@dataclass(frozen=True)
class Layout:
    """How a stamp is written: "stamp" (a date, maybe a time and an
    offset), "number" (seconds since 1970, as a number or digits) or "other"."""

    kind: str
    sep: str | None = None          # between date and time; None: no time
    seconds: bool = False
    offset: str | None = None       # as written: "Z", "+00:00", "+0000", "+00"; None: none


def layout(stamp: object) -> Layout:
    if isinstance(stamp, (int, float)) and not isinstance(stamp, bool):
        return Layout("number")
    if not isinstance(stamp, str):
        return Layout("other")
    if _DIGITS.fullmatch(stamp):
        return Layout("number")
    match = _STAMP.fullmatch(stamp)
    if match is None:
        return Layout("other")
    return Layout("stamp", match["sep"], bool(match["sec"]), match["offset"])


def _offset_form(offset: str) -> str:
    if offset in ("Z", "z"):
        return offset
    return "+HH:MM" if ":" in offset else "+HHMM" if len(offset) == 5 else "+HH"


def layout_difference(stamp: object, reference: object, name: str = "the cut time") -> list[str]:
    """How `stamp` is written differently from `reference` (named `name`),
    in words; empty when both share one layout and one offset."""
    a, b = layout(stamp), layout(reference)
    if a.kind != "stamp" or b.kind != "stamp":
        if a.kind == b.kind:
            return []
        return [{"number": "a number", "other": "not a date and time"}.get(a.kind, f"where {name} is no date")]
    words = []
    if a.sep != b.sep:
        if a.sep is None:
            words.append("a date without a time")
        elif b.sep is None:
            words.append(f"a time where {name} has none")
        elif a.sep == " ":
            words.append(f"a space for {b.sep!r}")
        else:
            words.append(f"{a.sep!r} for {b.sep!r}")
    if a.sep is not None and b.sep is not None and a.seconds != b.seconds:
        words.append("no seconds" if b.seconds else f"seconds where {name} has none")
    if a.offset != b.offset:
        if a.offset is None:
            words.append("no offset")
        elif b.offset is None:
            words.append(f"an offset {a.offset!r} where {name} has none")
        elif _offset_form(a.offset) != _offset_form(b.offset):
            words.append(f"{a.offset!r} where {name} has {b.offset!r}")
        else:
            words.append(f"the offset {a.offset!r} where {name} has {b.offset!r}")
    return words


def instant(stamp: object) -> datetime | None:
    """The moment a stamp names (a stamp without an offset read as UTC), or
    None when it names none."""
    try:
        if isinstance(stamp, str) and _DIGITS.fullmatch(stamp):
            stamp = float(stamp)
        if isinstance(stamp, (int, float)) and not isinstance(stamp, bool):
            return datetime.fromtimestamp(stamp, timezone.utc)
        if not isinstance(stamp, str):
            return None
        when = datetime.fromisoformat(stamp)
    except (ValueError, OverflowError, OSError):
        return None
    return when if when.tzinfo is not None else when.replace(tzinfo=timezone.utc)


def _stamp(message: Mapping[str, Any]) -> Any:
    """A message's stamp as the module reads it: a falsy one is ""."""
    return message.get("timestamp") or ""


@dataclass(frozen=True)
class StampProblem:
    """Stamps that the module's text comparison cannot order.

    kind: "layout" (a stamp written otherwise than the cut time or the first
    kept message), "order" (stamps not ascending), "same" (everything before
    the kept messages carries the first kept message's stamp) or "missing"
    (the first kept message has no stamp).
    index: the example message's position in ``conv["messages"]`` (from 0).
    stamp: its stamp; cut_time: the cut time in force; text: one line.
    """

    kind: str
    index: int
    stamp: Any
    cut_time: Any
    text: str


def stamp_findings(conv: Any) -> list[Finding]:
    """Every message of `conv` whose stamp is written in another layout than
    the cut time in force, as `context_compress.window.check` records its
    findings (kind ``timestamp_layout``, `index` from 0 in
    ``conv["messages"]``): the module compares stamps as text, which orders
    them only while all share one layout. Stamps not ascending are check's
    ``timestamp_order``."""
    messages = conv.get("messages") or []
    if not any(_stamp(m) for m in messages):
        return []
    cut = _module.get_conv_cut_time(conv)
    cut_moment = instant(cut)
    findings: list[Finding] = []
    for index, m in enumerate(messages):
        stamp = _stamp(m)
        words = layout_difference(stamp, cut) if stamp else []
        if not words:
            continue
        text = (f"stamped {shown(stamp)} ({', '.join(words)}), in another layout than the cut time "
                f"{shown(cut)}, which the module compares it with as text")
        moment = instant(stamp)
        if isinstance(stamp, str) and isinstance(cut, str) and moment is not None and cut_moment is not None:
            after = stamp >= cut
            if after != (moment >= cut_moment):
                text += f"; it counts as {'after' if after else 'before'} the cut time, though it is not"
        findings.append({"kind": "timestamp_layout", "index": index, "tool_call_id": None, "text": text})
    return findings


@dataclass(frozen=True)
class Explanation:
    """What the module's result means for the host.

    reason: why nothing was compressed, or why the window is still over the
    threshold after a compression (None when it is not).
    still_over: the window the host feeds its LLM (``msgs_from_cut_time``)
    is estimated above the threshold.
    largest_kept: the estimate of the largest message in that window, when
    still over.
    largest_stamp: that message's stamp.
    stamps: the stamp problem that kept the module from compressing, if any.
    tokens: the estimate of the window after a compression.
    """

    reason: str | None
    still_over: bool = False
    largest_kept: int | None = None
    largest_stamp: Any = None
    stamps: StampProblem | None = None
    tokens: int | None = None


def explain(conv: Any, compressed: bool, stats: Mapping[str, Any], max_context: int,
            newest_outside: bool = False) -> Explanation:
    """The meaning of ``cut_and_sum_history(conv, ...) == (compressed, stats)``
    for `conv` as the module left it, with `max_context` the window it used;
    `newest_outside`: the conversation's last message is not in the window."""
    if compressed:
        return _after_compression(conv, max_context)
    if "total_tokens" in stats:
        below = f"rate {stats['rate']:.3f} is at or below the {THRESHOLD} threshold"
        return _outside_window(conv, stats, max_context, below) if newest_outside else Explanation(below)
    messages: Sequence[Any] = (conv.get("messages") or []) if conv else []
    if "rate" in stats:
        return _stuck(conv, messages, max_context)
    return _nothing_active(conv, messages, max_context)


def _window_over(conv: Any, max_context: int) -> tuple[bool, int]:
    tokens = _module.estimate_tokens(_module.msgs_from_cut_time(conv))
    return tokens / max_context > THRESHOLD, tokens


def _largest(messages: Sequence[Any]) -> tuple[int, Any]:
    """(estimate, stamp) of the largest message."""
    best, stamp = -1, None
    for m in messages:
        tokens = _module.estimate_tokens([m])
        if tokens > best:
            best, stamp = tokens, _stamp(m)
    return best, stamp


def _too_large(tokens: int, stamp: Any, budget: int) -> str:
    return (f"the kept message stamped {shown(stamp)} is estimated at {tokens:,} tokens, more than "
            f"the keep budget of {budget:,}, so compression cannot bring the window under the "
            "threshold")


def _after_compression(conv: Any, max_context: int) -> Explanation:
    over, tokens = _window_over(conv, max_context)
    if not over:
        return Explanation(None, tokens=tokens)
    window = _module.msgs_from_cut_time(conv)
    largest, stamp = _largest(window)
    budget = keep_budget(max_context)
    if largest > budget:
        reason = _too_large(largest, stamp, budget)
    else:
        reason = (f"the window still holds an estimated {tokens:,} tokens after compression, "
                  f"{tokens / max_context:.0%} of {max_context:,}: the kept messages and the summary "
                  "fill it")
    return Explanation(reason, True, largest, stamp, tokens=tokens)


def _nothing_active(conv: Any, messages: Sequence[Any], max_context: int) -> Explanation:
    if not messages:
        return Explanation("no messages")
    over, _ = _window_over(conv, max_context)
    largest, stamp = _largest(messages) if over else (None, None)
    if not any(_stamp(m) for m in messages):
        return Explanation("no message has a timestamp, so none is in the window; a plain list of messages "
                           "without stamps is compressed by Compressor.compress_messages", over, largest, stamp)
    cut = _module.get_conv_cut_time(conv)
    problem = _layout_before_cut(messages, cut)
    if problem is not None:
        return Explanation(problem.text, over, largest, stamp, problem)
    newest = max((s for s in map(_stamp, messages) if isinstance(s, str) and s), default="")
    return Explanation(f"no messages at or after the cut time {shown(cut)}: the newest stamp is "
                       f"{shown(newest)}", over, largest, stamp)


def _outside_window(conv: Any, stats: Mapping[str, Any], max_context: int, below: str) -> Explanation:
    """Below the threshold, though the newest message is not in the window:
    the messages that the text comparison puts before the cut time, though
    they name a moment at or after it, which the rate leaves out."""
    messages: Sequence[Any] = conv.get("messages") or []
    cut = _module.get_conv_cut_time(conv)
    cut_moment = instant(cut)
    window = {id(m) for m in _module.msgs_from_cut_time(conv)}
    late = [(i, m) for i, m in enumerate(messages) if id(m) not in window
            and (moment := instant(_stamp(m))) is not None and cut_moment is not None and moment >= cut_moment]
    last = len(messages) - 1
    if late:
        index, example = late[0]
        stamp = _stamp(example)
        words = layout_difference(stamp, cut) or ["out of order"]
        rate = (stats["total_tokens"] + _module.estimate_tokens([m for _, m in late])) / max_context
        problem = StampProblem("layout", index, stamp, cut, (
            f"{below}, but {len(late)} of {len(messages)} messages are not in the window though they are "
            f"stamped at or after the cut time (with them the rate would be {rate:.3f}): message "
            f"{index + 1} is stamped {shown(stamp)} ({', '.join(words)}), in another layout than the cut "
            f"time {shown(cut)}; compared as text, as the module compares them, it lies before the cut time"))
    elif not _stamp(messages[last]):
        problem = StampProblem("missing", last, "", cut, (
            f"{below}, but the newest message, {last + 1}, has no timestamp, so it is not in the window"))
    else:
        problem = StampProblem("order", last, _stamp(messages[last]), cut, (
            f"{below}, but the newest message, {last + 1}, is stamped {shown(_stamp(messages[last]))}, "
            f"before the cut time {shown(cut)}, so it is not in the window"))
    return Explanation(problem.text, stamps=problem)


def _layout_before_cut(messages: Sequence[Any], cut: Any) -> StampProblem | None:
    """The first message written in another layout than the cut time that,
    read as a moment, lies at or after it: the text comparison put it before."""
    cut_moment = instant(cut)
    for index, m in enumerate(messages):
        stamp = _stamp(m)
        if not stamp:
            continue
        words = layout_difference(stamp, cut)
        if not words:
            continue
        moment = instant(stamp)
        if moment is None or cut_moment is None or moment >= cut_moment:
            return StampProblem("layout", index, stamp, cut, (
                f"message {index + 1} is stamped {shown(stamp)} ({', '.join(words)}), in another "
                f"layout than the cut time {shown(cut)}; compared as text, as the module compares "
                "them, no message lies at or after the cut time"))
    return None


def _stuck(conv: Any, messages: Sequence[Any], max_context: int) -> Explanation:
    """Over the threshold with nothing to compress: the module's selection,
    step by step, and where it stopped."""
    cut = _module.get_conv_cut_time(conv)
    active = [(i, m) for i, m in enumerate(messages) if not cut or _stamp(m) >= cut]
    budget = keep_budget(max_context)
    kept_tokens, first_kept = 0, len(active)
    while first_kept > 0 and kept_tokens < budget:
        first_kept -= 1
        kept_tokens += _module.estimate_tokens([active[first_kept][1]])
    kept, older = active[first_kept:], active[:first_kept]
    largest, stamp = _largest([m for _, m in kept])
    problem = _span_problem(kept, older, cut) if kept else None
    if problem is not None:
        return Explanation(problem.text, True, largest, stamp, problem)
    if largest > budget:
        return Explanation(_too_large(largest, stamp, budget), True, largest, stamp)
    return Explanation(f"every active message is kept (keep budget {budget:,} tokens), so nothing "
                       "lies before the kept messages to compress", True, largest, stamp)


def _span_problem(kept: list[tuple[int, Any]], older: list[tuple[int, Any]], cut: Any) -> StampProblem | None:
    first, first_msg = kept[0]
    new_cut = _stamp(first_msg)
    if not new_cut:
        return StampProblem("missing", first, "", cut, (
            f"message {first + 1}, the first of the kept messages, has no timestamp, so the "
            f"module cannot move the cut time {shown(cut)} to it"))
    if not older:
        return None
    tail = (f"compared as text, as the module compares them, nothing lies between the cut time "
            f"{shown(cut)} and the kept messages")
    for index, m in older:
        words = layout_difference(_stamp(m), new_cut, "the first kept message")
        if words:
            return StampProblem("layout", index, _stamp(m), cut, (
                f"message {index + 1} is stamped {shown(_stamp(m))} ({', '.join(words)}), in "
                f"another layout than {shown(new_cut)} of message {first + 1}, the first kept "
                f"one; {tail}"))
    for index, m in older:
        if _stamp(m) > new_cut:
            return StampProblem("order", index, _stamp(m), cut, (
                f"stamps are not ascending: message {index + 1} is stamped {shown(_stamp(m))}, "
                f"after {shown(new_cut)} of message {first + 1}, which comes later and is the "
                f"first kept one; {tail}"))
    index = older[0][0]
    return StampProblem("same", index, new_cut, cut, (
        f"the {len(older)} active messages before the kept ones are stamped {shown(new_cut)}, as "
        f"the first kept message {first + 1} is, so none lies between the cut time {shown(cut)} "
        "and the kept messages"))

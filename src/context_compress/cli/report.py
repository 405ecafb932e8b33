"""What a run tells the user: each file's lines, the counts, the closing line
and the exit status, all read from the files' outcomes."""

from __future__ import annotations

import re
from dataclasses import dataclass, field

from .. import OK, PROG
from .json_fields import Outcome
from .output import Output
from ..texts import THRESHOLD


def _n(value: int | None) -> str:
    return "?" if value is None else f"{value:,}"


# Every request's failure reason starts with the request itself.
_REQUEST = re.compile(r"POST \S+: ")


def _llm_failure(o: Outcome, short: bool) -> str:
    """The reason the LLM's summary is missing; in one-line reports without
    the "POST <url>: " every request's reason starts with."""
    reason = o.llm_error or ""
    return _REQUEST.sub("", reason) if short else reason


def _covered(o: Outcome) -> str:
    c = o.summary_covered or {}
    return (f"{c.get('messages', 0):,} of {c.get('of_messages', 0):,} messages "
            f"({c.get('chars', 0):,} of {c.get('of_chars', 0):,} characters)")


def _over(o: Outcome) -> str:
    return (f"still over the threshold: {_n(o.tokens_after)} tokens, threshold "
            f"{round(THRESHOLD * o.max_context):,} of a {o.max_context:,} window")


def named(o: Outcome) -> str:
    """The file's name as the report shows it: with its other names, when
    it was given under several."""
    return f"{o.file} (also {', '.join(o.also)})" if o.also else o.file


def _written(o: Outcome) -> str:
    also = f" (also {', '.join(o.also_written)})" if o.also_written else ""
    return f"{o.written}{also}{_links(o)}"


def _source(o: Outcome) -> str:
    return "LLM" if o.summary_source == "llm" else "extract"


def report_lines(o: Outcome) -> list[str]:
    """The few lines that tell what happened to one file."""
    if not o.compressed:
        lines = [f"{named(o)}: not compressed: {o.reason}"]
        if o.messages_before:
            lines.append(f"  tokens        {_n(o.tokens_before)} of a {o.max_context:,}-token window")
        lines.append(f"  messages      {o.messages_before:,}")
        lines.append(f"  cut time      {o.cut_time_before or '(none stored)'} (unchanged)")
    else:
        s = o.stats
        lines = [
            f"{named(o)}: compressed",
            f"  rate          {s['rate']:.3f} of a {s['max_context']:,}-token window",
            f"  tokens        {_n(o.tokens_before)} -> {_n(o.tokens_after)}",
            f"  messages      {o.messages_before:,} -> {o.messages_after:,} "
            f"(kept {s['kept']:,}, compressed {s['compressed']:,}, +1 summary)",
            f"  new cut time  {s['new_cut_time']} (was {o.cut_time_before or 'not stored'})",
            f"  summary       {_source(o)}: {o.summary_start or ''}",
            f"  summary saw   {_covered(o)}",
        ]
        if o.llm_error:
            lines.append(f"  LLM           not used: {_llm_failure(o, short=False)}")
    if o.over_threshold:
        lines.append(f"  {_over(o)}")
    if o.written and o.written != "-":
        lines.append(f"  written to    {_written(o)}")
    return lines


def _links(o: Outcome) -> str:
    if not o.other_links:
        return ""
    links = "1 other hard link keeps" if o.other_links == 1 else f"{o.other_links} other hard links keep"
    return f" ({links} the old text)"


def short_line(o: Outcome) -> str:
    """One line per file when several are processed."""
    if o.compressed:
        s = o.stats
        source = _source(o)
        if o.llm_error:
            source += f" (LLM failed: {_llm_failure(o, short=True)})"
        line = (f"{named(o)}: compressed, rate {s['rate']:.3f}, tokens {_n(o.tokens_before)} -> "
                f"{_n(o.tokens_after)}, kept {s['kept']:,}, compressed {s['compressed']:,}, "
                f"summary: {source}; summary saw {_covered(o)}")
    else:
        line = f"{named(o)}: not compressed: {o.reason}"
    if o.over_threshold:
        line += f"; {_over(o)}"
    if o.written and o.written != "-":
        line += f" -> {_written(o)}"
    return line


@dataclass
class Report:
    """The run's report: `done()` records a file and writes its lines,
    `str()` is the closing line and `return_code` the exit status."""

    output: Output
    as_json: bool = False
    several: bool = False
    outcomes: list[Outcome] = field(default_factory=list)
    status: int = OK

    def done(self, o: Outcome, counted: bool = True) -> None:
        """Writes the lines of one outcome; a directory without files to
        work on is reported but not `counted`."""
        self.status = max(self.status, o.status)
        if not o.ok:
            self.output.err(f"{PROG}: {named(o)}: {o.error}")
        if self.as_json:
            self.output.json(o.json_record())
        elif o.ok:
            self.output.report(*([short_line(o)] if self.several else report_lines(o)))
        if counted:
            self.outcomes.append(o)

    def skipped(self, label: str, why: str) -> None:
        """An entry of a directory that is not read; it is neither counted
        nor a failure."""
        self.output.err(f"{PROG}: {label}: {why}")

    @property
    def return_code(self) -> int:
        return self.status

    def __str__(self) -> str:
        """The count of a run over several files: `4 files: 2 compressed, 1 not
        compressed, 1 failed`, naming the files whose LLM summary failed."""
        outcomes = self.outcomes
        failed = sum(1 for o in outcomes if not o.ok)
        compressed = [o for o in outcomes if o.compressed and o.ok]
        fallback = sum(1 for o in compressed if o.llm_error)
        after_failure = (f", {fallback} of them with the extract after an LLM failure"
                         if fallback else "")
        return (f"{len(outcomes)} file{'s' if len(outcomes) != 1 else ''}: "
                f"{len(compressed)} compressed{after_failure}, "
                f"{len(outcomes) - failed - len(compressed)} not compressed, {failed} failed")

    def close(self) -> None:
        """The closing line, after a run over several files."""
        if self.several and self.outcomes:
            line = str(self)
            if self.as_json:
                self.output.err(line)
            else:
                self.output.report(line)

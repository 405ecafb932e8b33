"""`context-compress` without --check or --calibrate: compress each file, with
the built-in extract or an LLM's summary, and write it where the options say.
This module wires the pieces: the options, the inputs, the jobs, the report."""

from __future__ import annotations

import argparse
import logging
import os
import re
import sys
import urllib.parse
from dataclasses import dataclass, field
from pathlib import Path

from ... import BAD_INPUT, FAILED, PROG, chat
from ...texts import THRESHOLD
from ..compression import Runner, names_directory
from ..files import expand, one_per_file
from ..inputs import check_inputs, several_inputs
from ..jobs import run_jobs
from ..json_fields import Outcome
from ..options import check_llm_options
from ..output import Output
from ..progress import Progress, wanted
from ..report import Report, named, number
from ..stopping import Ending


def run(parser: argparse.ArgumentParser, options: argparse.Namespace, ending: Ending | None = None) -> int:
    url_ok = check_llm_options(parser, options)
    # The report says all that the compressor's log records would, file by
    # file; nothing of the library's log reaches the terminal on its own.
    logging.getLogger("context_compress").addHandler(logging.NullHandler())
    raw_key = os.environ.get(options.api_key_env) if options.llm_url else None
    # Everything the command prints goes through the output, whatever its source.
    redact = chat.Redactor([raw_key, *chat.url_secrets(options.llm_url)])
    output = Output(redact, report_to_stderr=options.output == "-")
    if not url_ok:
        output.err(f"{PROG}: --llm-url {chat.mask_urls(options.llm_url)}: a user name or "
                   "password in the URL is not supported; put the API key in an environment "
                   "variable and name it with --api-key-env")
        return BAD_INPUT
    try:
        api_key = chat.checked_key(raw_key, options.api_key_env) if raw_key else None
    except chat.ChatError as exc:
        output.err(f"{PROG}: {exc}")
        return BAD_INPUT
    if options.output == "-" and sys.stdout is None:
        output.err(f"{PROG}: -o -: standard output is closed")
        return BAD_INPUT
    inputs = one_per_file(expand(options.files))
    several = several_inputs(options)
    check_inputs(parser, options, inputs, several)
    if api_key:
        _announce_proxy(output, options.llm_url)

    directories = [options.archive] if options.archive else []
    if options.output and (several or names_directory(options.output)):
        directories.append(options.output)
    for directory in directories:
        try:
            Path(directory).mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            output.err(f"{PROG}: {directory}: {exc.strerror or exc}")
            return FAILED
    runner = Runner(options, redact, api_key)
    if ending is not None:
        ending.runner = runner
    return _run_all(runner, inputs, several, options, output)


def _announce_proxy(output: Output, url: str) -> None:
    proxy = chat.key_travels_in_clear(url)
    if proxy:
        host = urllib.parse.urlsplit(url).hostname
        output.err(f"{PROG}: the API key travels in clear through the proxy "
                   f"{chat.mask_urls(proxy)} to {host}, since --llm-url is plain http; use "
                   f"https, or name {host} in NO_PROXY")


def _run_all(runner: Runner, inputs: list, several: bool, options: argparse.Namespace,
             output: Output) -> int:
    report = CompressionReport(output, as_json=options.json, several=several)
    progress = Progress(sum(1 for item in inputs if not (item.is_directory or item.skipped)),
                        enabled=wanted(several, options.no_progress), shown=output.shown)
    try:
        run_jobs(runner, inputs, several, report, progress, options.jobs)
    finally:
        progress.close()
    report.close()
    if options.in_place and not options.archive and any(o.written for o in report.outcomes):
        output.err(DROPPED_NOTE)
    return report.return_code


#: Said once per run that rewrote a file in place without --archive.
DROPPED_NOTE = (f"{PROG}: note: the compressed messages are gone from the rewritten files, though "
                "their summaries point to the earlier history; --archive DIR keeps them")


# --- the report of a compression ----------------------------------------------------


@dataclass
class CompressionReport(Report):
    """A compression's report: `done()` records a file and writes its lines
    (or its object), and `str()` counts the files: `4 files: 2 compressed,
    1 not compressed, 1 failed`, naming the files whose LLM summary failed."""

    several: bool = False
    outcomes: list[Outcome] = field(default_factory=list)  # the files that went through

    def done(self, o: Outcome, counted: bool = True) -> None:
        """Writes the lines of one outcome; a directory without files to
        work on is reported but not `counted`."""
        if not o.ok:
            self.failed(o.file, o.error, o.status, counted=counted, also=o.also)
            return
        if self.as_json:
            self.output.json(o.json_record())
        else:
            self.output.report(*([short_line(o)] if self.several else report_lines(o)))
        if counted:
            self.outcomes.append(o)

    def closing(self) -> bool:
        return self.several and bool(self.outcomes or self.failures)

    def __str__(self) -> str:
        files = len(self.outcomes) + self.failures
        compressed = [o for o in self.outcomes if o.compressed]
        fallback = sum(1 for o in compressed if o.llm_error)
        after_failure = (f", {fallback} of them with the extract after an LLM failure"
                         if fallback else "")
        return (f"{files} file{'s' if files != 1 else ''}: {len(compressed)} compressed{after_failure}, "
                f"{len(self.outcomes) - len(compressed)} not compressed, {self.failures} failed")


# Every request's failure reason starts with the request itself.
_REQUEST = re.compile(r"POST \S+: ")


def _llm_failure(o: Outcome, short: bool) -> str:
    """The reason the LLM's summary is missing; in one-line reports without
    the "POST <url>: " every request's reason starts with."""
    reason = o.llm_error or ""
    return _REQUEST.sub("", reason) if short else reason


def _covered(o: Outcome) -> str:
    """`11 of 319 messages, 61 of 388 facts (15 %) in 8,000 characters`."""
    c = o.summary_covered or {}
    f = o.summary_facts or {}
    seen, of = f.get("seen", 0), f.get("of", 0)
    # Rounded down, so that 100 % means every fact.
    share = f" ({seen * 100 // of} %)" if of else ""
    return (f"{c.get('messages', 0):,} of {c.get('of_messages', 0):,} messages, {seen:,} of {of:,} "
            f"facts{share} in {c.get('chars', 0):,} characters")


def _over(o: Outcome) -> str:
    # Not compressed, the reason is the file's first line already.
    why = f": {o.reason}" if o.compressed and o.reason else ""
    return (f"still over the threshold: {number(o.tokens_after)} tokens, threshold "
            f"{round(THRESHOLD * o.max_context):,} of a {o.max_context:,} window{why}")


def _written(o: Outcome) -> str:
    also = f" (also {', '.join(o.also_written)})" if o.also_written else ""
    return f"{o.written}{also}{_links(o)}"


def _source(o: Outcome) -> str:
    return "LLM" if o.summary_source == "llm" else "extract"


def report_lines(o: Outcome) -> list[str]:
    """The few lines that tell what happened to one file."""
    if not o.compressed:
        lines = [f"{named(o.file, o.also)}: not compressed: {o.reason}"]
        if o.messages_before:
            lines.append(f"  tokens        {number(o.tokens_before)} of a {o.max_context:,}-token window")
        lines.append(f"  messages      {o.messages_before:,}")
        lines.append(f"  cut time      {o.cut_time_before or '(none stored)'} (unchanged)")
    else:
        s = o.stats
        lines = [
            f"{named(o.file, o.also)}: compressed",
            f"  rate          {s['rate']:.3f} of a {s['max_context']:,}-token window",
            f"  tokens        {number(o.tokens_before)} -> {number(o.tokens_after)}",
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
        line = (f"{named(o.file, o.also)}: compressed, rate {s['rate']:.3f}, tokens {number(o.tokens_before)} -> "
                f"{number(o.tokens_after)}, kept {s['kept']:,}, compressed {s['compressed']:,}, "
                f"summary: {source}; summary saw {_covered(o)}")
    else:
        line = f"{named(o.file, o.also)}: not compressed: {o.reason}"
    if o.over_threshold:
        line += f"; {_over(o)}"
    if o.written and o.written != "-":
        line += f" -> {_written(o)}"
    return line

"""`context-compress --check`: what a request built from each file's window
would drop or repair, for any of the three APIs, and what makes its
compression unreliable. Report only: nothing is written. Findings that differ
only in their message share one line; --json keeps every finding."""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from collections.abc import Iterable
from typing import Any

from ... import FAILED, OK
from ...diagnosis import stamp_findings
from ...window import FindingGroup, check, group_findings
from ..files import parse, read_input
from ..inputs import each_read, report_only
from ..output import Output
from ..report import Report, number

#: Runs of messages a grouped line names before it counts the rest.
RANGES_SHOWN = 20


def run(parser: argparse.ArgumentParser, options: argparse.Namespace) -> int:
    inputs = report_only(parser, options, "--check", (("--calibrate", options.calibrate),))
    report = CheckReport(Output(), as_json=options.json)
    for item, findings in each_read(inputs, report, lambda item, stdin: _findings(
            parse(*read_input(item.path, stdin, options.max_input_size)).conv)):
        report.checked(item.label, findings)
    report.close()
    return report.return_code


def _findings(conv: dict[str, Any]) -> list[Any]:
    """What the window's check finds, and the stamps the module cannot order
    against the cut time, which turn its compression off without a word;
    ordered by message (sorted is stable: each list keeps its own order)."""
    found = check(conv) + stamp_findings(conv)
    return sorted(found, key=lambda f: -1 if f["index"] is None else f["index"])


@dataclass
class CheckReport(Report):
    """A check's report: `checked()` records a file and writes its findings,
    and `str()` counts the files when there are several: `3 files: 1 with
    findings (2 in all), 1 without, 1 not read`. Exit status 1 when a file
    has findings."""

    files_checked: int = 0
    with_findings: int = 0
    findings: int = 0

    def checked(self, label: str, findings: list[Any]) -> None:
        self.files_checked += 1
        self.with_findings += bool(findings)
        self.findings += len(findings)
        self.status = max(self.status, FAILED if findings else OK)
        groups = group_findings(findings)
        if self.as_json:
            # Every finding as before, for the scripts that read them one by
            # one, and the groups the lines show.
            self.output.json({"file": label, "ok": True, "findings": findings, "groups": groups})
        elif not findings:
            self.output.report(f"{label}: nothing to repair")
        else:
            self.output.report(*(f"{label}: {_line(group)}" for group in groups))

    def closing(self) -> bool:
        return self.files_checked + self.failures > 1

    def __str__(self) -> str:
        return (f"{self.files_checked + self.failures} files: {self.with_findings} with findings "
                f"({self.findings} in all), {self.files_checked - self.with_findings} without, "
                f"{self.failures} not read")


def _line(group: FindingGroup) -> str:
    """A group's line, without the file: ``message 7: text`` for one
    finding, ``messages 1-3, 7 (4 findings): text`` for several."""
    where = [i for i in group["indexes"] if i is not None]
    text = group["text"]
    if group["count"] == 1:
        return f"message {where[0] + 1}: {text}" if where else text
    count = f"{number(group['count'])} findings"
    if not where:
        return f"{text} ({count})"
    named = f"message {where[0] + 1}" if len(set(where)) == 1 else f"messages {message_ranges(where)}"
    return f"{named} ({count}): {text}"


def message_ranges(indexes: Iterable[int]) -> str:
    """Indexes from 0 as the messages a line names, from 1, runs as ranges:
    ``1-3, 7, 9-240``; past RANGES_SHOWN runs, the messages left as a count
    (``and 4,980 more``), which --json lists in full."""
    runs: list[list[int]] = []
    for i in sorted(set(indexes)):
        if runs and i == runs[-1][1] + 1:
            runs[-1][1] = i
        else:
            runs.append([i, i])
    shown = ", ".join(f"{a + 1}" if a == b else f"{a + 1}-{b + 1}" for a, b in runs[:RANGES_SHOWN])
    rest = sum(b - a + 1 for a, b in runs[RANGES_SHOWN:])
    return f"{shown} and {number(rest)} more" if rest else shown

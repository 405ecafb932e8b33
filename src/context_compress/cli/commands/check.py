"""`context-compress --check`: what a request built from each file's window
would drop or repair, for any of the three APIs, and what makes its
compression unreliable. Report only: nothing is written."""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from typing import Any

from ... import FAILED, OK
from ...diagnosis import stamp_findings
from ...window import check
from ..files import parse, read_input
from ..inputs import each_read, report_only
from ..output import Output
from ..report import Report


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
        if self.as_json:
            self.output.json({"file": label, "ok": True, "findings": findings})
        elif not findings:
            self.output.report(f"{label}: nothing to repair")
        else:
            self.output.report(*(f"{label}: message {f['index'] + 1}: {f['text']}" if f["index"] is not None
                                 else f"{label}: {f['text']}" for f in findings))

    def closing(self) -> bool:
        return self.files_checked + self.failures > 1

    def __str__(self) -> str:
        return (f"{self.files_checked + self.failures} files: {self.with_findings} with findings "
                f"({self.findings} in all), {self.files_checked - self.with_findings} without, "
                f"{self.failures} not read")

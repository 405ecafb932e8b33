"""`context-compress --check`: what a request built from each file's window
would drop or repair, for any of the three APIs, and what makes its
compression unreliable. Report only: nothing is written."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from ... import BAD_INPUT, FAILED, OK, PROG
from ...window import check
from ..files import BadInput, expand, parse, read_input
from ..output import Output

def run(parser: argparse.ArgumentParser, options: argparse.Namespace) -> int:
    for flag, given in (("-o", options.output), ("--in-place", options.in_place),
                        ("--llm-url", options.llm_url), ("--calibrate", options.calibrate)):
        if given:
            parser.error(f"--check only reports: {flag} does not go with it")
    inputs = expand(options.files)
    if sum(1 for item in inputs if item.path is None) > 1:
        parser.error('standard input ("-") can be given only once')
    output = Output()
    stdin = getattr(sys.stdin, "buffer", None)
    status, checked, with_findings, findings_in_all, failed = OK, 0, 0, 0, 0
    for item in inputs:
        if item.skipped:
            output.err(f"{PROG}: {item.label}: {item.problem}")
            continue
        try:
            if item.problem:
                raise BadInput(item.problem)
            findings = check(parse(*read_input(item.path, stdin, options.max_input_size)).conv)
        except BadInput as exc:
            output.err(f"{PROG}: {item.label}: {exc}")
            if options.json:
                output.json({"file": item.label, "ok": False, "error": str(exc)})
            status = BAD_INPUT
            failed += not item.is_directory
            continue
        checked += 1
        with_findings += bool(findings)
        findings_in_all += len(findings)
        status = max(status, FAILED if findings else OK)
        _show(output, options.json, item.label, findings)
    if checked + failed > 1:
        line = (f"{checked + failed} files: {with_findings} with findings ({findings_in_all} in all), "
                f"{checked - with_findings} without, {failed} not read")
        (output.err if options.json else output.report)(line)
    return status


def _show(output: Output, as_json: bool, label: str, findings: list[Any]) -> None:
    if as_json:
        output.json({"file": label, "ok": True, "findings": findings})
    elif not findings:
        output.report(f"{label}: nothing to repair")
    else:
        output.report(*(f"{label}: message {f['index'] + 1}: {f['text']}" if f["index"] is not None
                        else f"{label}: {f['text']}" for f in findings))

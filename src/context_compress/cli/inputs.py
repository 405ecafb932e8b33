"""The inputs of a run, whatever its mode: the files its arguments name,
standard input at most once, the flags a mode that only reports refuses, and
each input read in turn, a failure to read it reported as every failure is."""

from __future__ import annotations

import argparse
import sys
from collections import Counter
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import BinaryIO, TypeVar

from .. import BAD_INPUT, FAILED
from .files import BadInput, Input, expand
from .report import Report

T = TypeVar("T")


def standard_input() -> BinaryIO | None:
    """The bytes of standard input, which the input "-" reads; None when it is closed."""
    return getattr(sys.stdin, "buffer", None)


def several_inputs(options: argparse.Namespace) -> bool:
    """Whether the run works on several files (and prints a line per file)."""
    return len(options.files) > 1 or any(Path(a).is_dir() for a in options.files if a != "-")


def check_inputs(parser: argparse.ArgumentParser, options: argparse.Namespace,
                 inputs: list[Input], several: bool) -> None:
    """Refuses, through the parser, inputs that the output options cannot take."""
    if options.archive and not (options.output or options.in_place):
        parser.error("--archive keeps what a rewrite drops: it needs -o or --in-place")
    if options.in_place and any(item.path is None for item in inputs):
        parser.error('--in-place cannot rewrite standard input ("-")')
    _stdin_once(parser, inputs)
    if options.output == "-" and several:
        parser.error('-o - (standard output) takes a single input file')
    if options.output and several:
        out = Path(options.output)
        if out.exists() and not out.is_dir():
            parser.error(f"-o {options.output}: several inputs need a directory")
        # Every name of an input has its output there; names of one file
        # that agree share it.
        names = Counter(name for item in inputs
                        for name in {n.path.name for n in item.names if n.path is not None})
        dupes = sorted(n for n, count in names.items() if count > 1)
        if dupes:
            parser.error(f"-o {options.output}: two inputs are named {dupes[0]}")


def _stdin_once(parser: argparse.ArgumentParser, inputs: list[Input]) -> None:
    if sum(1 for item in inputs if item.path is None) > 1:
        parser.error('standard input ("-") can be given only once')


def report_only(parser: argparse.ArgumentParser, options: argparse.Namespace, mode: str,
                flags: tuple[tuple[str, object], ...]) -> list[Input]:
    """The inputs of a `mode` that only reports (--check, --calibrate), after
    refusing, through the parser, each of `flags` (flag, value) given with it,
    and every flag of writing or of the summary."""
    writing = (("-o", options.output), ("--in-place", options.in_place), ("--archive", options.archive),
               ("--llm-url", options.llm_url), ("--facts", options.facts),
               ("--module-transcript", options.module_transcript))
    for flag, given in (*writing, *flags):
        if given:
            parser.error(f"{mode} only reports: {flag} does not go with it")
    inputs = expand(options.files)
    _stdin_once(parser, inputs)
    return inputs


class Failed(Exception):
    """The mode failed on an input it read: that file fails (exit status 1),
    the others go on."""


def each_read(inputs: list[Input], report: Report,
              read: Callable[[Input, BinaryIO | None], T]) -> Iterator[tuple[Input, T]]:
    """Each input with what `read(input, standard input)` made of it, in
    order. An entry of a directory that is skipped, and an input that could
    not be read (BadInput) or worked on (Failed), go to the report instead."""
    stdin = standard_input()
    for item in inputs:
        if item.skipped:
            report.skipped(item.label, item.problem or "")
            continue
        try:
            if item.problem:
                raise BadInput(item.problem)
            value = read(item, stdin)
        except BadInput as exc:
            report.failed(item.label, str(exc), BAD_INPUT, counted=not item.is_directory)
            continue
        except Failed as exc:
            report.failed(item.label, str(exc), FAILED, counted=not item.is_directory)
            continue
        yield item, value

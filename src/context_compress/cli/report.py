"""What a run tells the user, whatever its mode: a file that failed and an
entry that was skipped, the closing line and the exit status. A mode's report
(commands/) adds the lines of the files that went through and its own counts;
everything else it says goes through here."""

from __future__ import annotations

from dataclasses import dataclass

from .. import OK, PROG
from .json_fields import failure_record
from .output import Output


def number(value: int | None, unknown: str = "?") -> str:
    """A count as the report shows it (1,234), or `unknown` when there is none."""
    return unknown if value is None else f"{value:,}"


def named(file: str, also: list[str]) -> str:
    """A file's name as the report shows it: with its other names, when it
    was given under several."""
    return f"{file} (also {', '.join(also)})" if also else file


@dataclass
class Report:
    """The run's report: `failed()` and `skipped()` record a file that did not
    go through and write its line, `close()` writes the closing line when the
    mode's report has one (`str()`, after `closing()`), and `return_code` is
    the exit status, the worst of any file's."""

    output: Output
    as_json: bool = False
    status: int = OK
    failures: int = 0  # files that failed, but a directory without files to work on

    def failed(self, file: str, error: str | None, status: int, *, counted: bool = True,
               also: list[str] | None = None) -> None:
        """A file that failed with `status`: its line on standard error, and
        with --json its object; a directory without files to work on is
        reported but not `counted`."""
        self.status = max(self.status, status)
        self.output.err(f"{PROG}: {named(file, also or [])}: {error}")
        if self.as_json:
            self.output.json(failure_record(file, error, also))
        self.failures += counted

    def skipped(self, label: str, why: str) -> None:
        """An entry of a directory that is not read; it is neither counted
        nor a failure."""
        self.output.err(f"{PROG}: {label}: {why}")

    @property
    def return_code(self) -> int:
        return self.status

    def closing(self) -> bool:
        """Whether this run ends with the closing line."""
        return False

    def close(self) -> None:
        """The closing line, when the run has one: on standard error with
        --json, whose standard output holds objects only."""
        if self.closing():
            line = str(self)
            if self.as_json:
                self.output.err(line)
            else:
                self.output.report(line)

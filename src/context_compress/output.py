"""The one way a line of the command reaches the terminal: every report line,
error and JSON object is masked here before it is written."""

from __future__ import annotations

import json
import sys
from typing import Any, TextIO

from .chat import Redactor


class Output:
    """Writes the report to `report` (standard output, or standard error
    when standard output carries a conversation) and errors to standard
    error, with every secret `redact` knows masked."""

    def __init__(self, redact: Redactor | None = None, report_to_stderr: bool = False) -> None:
        self.redact = redact or Redactor()
        self.report_to_stderr = report_to_stderr

    @property
    def report_stream(self) -> TextIO:
        return sys.stderr if self.report_to_stderr else sys.stdout

    def report(self, text: str) -> None:
        self._write(self.report_stream, self.redact(text))

    def err(self, text: str) -> None:
        self._write(sys.stderr, self.redact(text))

    def json(self, record: dict[str, Any]) -> None:
        self._write(self.report_stream, json.dumps(self.redact.deep(record), ensure_ascii=False))

    @staticmethod
    def _write(stream: TextIO, text: str) -> None:
        print(text, file=stream)
        stream.flush()

"""The one way a line of the command reaches the terminal: every report line,
error, JSON object and progress label has its secrets masked and its control
characters shown escaped here, and is written so that no text can make the
write fail."""

from __future__ import annotations

import json
import re
import sys
from collections.abc import Iterable
from typing import Any, TextIO

from ..masking import Redactor

# What a terminal would act on or cannot be written at all: the C0 controls
# but tab, DEL and the C1 controls (ESC starts a sequence, BEL rings, C1's
# CSI and OSC set titles or hide text), and lone surrogates, which no
# encoding has. A newline inside a line would forge a line of its own.
_UNSAFE = re.compile("[\x00-\x08\x0a-\x1f\x7f-\x9f\ud800-\udfff]")
# json.dumps escapes the C0 controls itself; the rest takes a \\u escape,
# which keeps the JSON valid and its value the same.
_UNSAFE_IN_JSON = re.compile("[\x7f-\x9f\ud800-\udfff]")


def _escaped(match: re.Match[str]) -> str:
    code = ord(match.group())
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def clean(text: str) -> str:
    """`text` with every control character and lone surrogate shown escaped (\\x1b)."""
    return _UNSAFE.sub(_escaped, text)


def json_line(record: Any) -> str:
    """`record` as one line of JSON that a terminal shows as it is."""
    text = json.dumps(record, ensure_ascii=False)
    return _UNSAFE_IN_JSON.sub(lambda m: f"\\u{ord(m.group()):04x}", text)


class Output:
    """Writes the report to standard output (or to standard error when
    standard output carries a conversation) and errors to standard error.
    A stream that is closed (None, as for a daemon started without it) takes
    nothing: the exit status still tells."""

    def __init__(self, redact: Redactor | None = None, report_to_stderr: bool = False) -> None:
        self.redact = redact or Redactor()
        self.report_to_stderr = report_to_stderr

    @property
    def report_stream(self) -> TextIO | None:
        return sys.stderr if self.report_to_stderr else sys.stdout

    def shown(self, text: str) -> str:
        """`text` as any line shows it: secrets masked, controls escaped."""
        return clean(self.redact(text))

    def report(self, *lines: str) -> None:
        """Report lines, each shown on a line of its own."""
        self._write(self.report_stream, map(self.shown, lines))

    def err(self, line: str) -> None:
        self._write(sys.stderr, [self.shown(line)])

    def json(self, record: dict[str, Any]) -> None:
        self._write(self.report_stream, [json_line(self.redact.deep(record))])

    @staticmethod
    def _write(stream: TextIO | None, lines: Iterable[str]) -> None:
        if stream is None:
            return
        text = "".join(f"{line}\n" for line in lines)
        try:
            stream.write(text)
        except UnicodeEncodeError:
            # A terminal whose encoding lacks a character shows its escape.
            encoding = getattr(stream, "encoding", None) or "utf-8"
            stream.write(text.encode(encoding, "backslashreplace").decode(encoding))
        stream.flush()

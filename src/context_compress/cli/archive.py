"""--archive DIR: the messages a compression replaces, kept in
DIR/<file name>.jsonl before the conversation is written without them, so
that the history the summary's closing note points to still exists.

Each line is one JSON object: ``{"file": ..., "cut_time": ..., "message":
{...}}``, the file as given, the cut time the compression set, and one
message of the span as it was read. A file's spans follow one another in the
order of its compressions."""

from __future__ import annotations

import contextlib
import fcntl
import os
import re
from pathlib import Path
from typing import Any

from .files import Input
from .writing import json_text, sync_directory

# The archive holds a conversation's own words, as private as the file: a new
# one is readable by its owner only.
_MODE = 0o600


class ArchiveFailed(Exception):
    """The span could not be archived; the conversation must not be written."""


def archive_name(item: Input) -> str:
    """The archive of an input: its file name with .jsonl added (a.json gives
    a.json.jsonl); standard input's is stdin.jsonl."""
    return f"{item.path.name if item.path is not None else 'stdin'}.jsonl"


# JSON escapes the C0 controls but lets NEL and the Unicode line and
# paragraph separators stand as they are; readers that split on every line
# boundary (str.splitlines, JavaScript) would part a message there. Their
# escapes keep each message on one line for any reader.
_LINE_BREAKS = re.compile("[\x85\u2028\u2029]")


def span_lines(file: str, cut_time: Any, span: list[Any]) -> bytes:
    """The archive's lines for one compressed span, in conversation order."""
    text = "".join(json_text({"file": file, "cut_time": cut_time, "message": m}) + "\n" for m in span)
    return _LINE_BREAKS.sub(lambda m: f"\\u{ord(m.group()):04x}", text).encode("utf-8")


def append(path: Path, data: bytes) -> None:
    """Appends `data` (whole lines) to `path`, whole or not at all, and on
    disk before it returns: the file is fsynced, and so is its directory
    when the file is new.

    Appends to one archive, from the jobs of one run or from several runs,
    never interleave: each holds an exclusive flock on the file for its
    whole write. One that fails part way is cut back to where it started,
    so the next one begins on a line of its own."""
    fd, new = _open(path)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        start = os.fstat(fd).st_size
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        except BaseException:
            with contextlib.suppress(OSError):
                os.ftruncate(fd, start)
            raise
    finally:
        os.close(fd)  # which releases the lock
    if new:
        sync_directory(path.parent)


def _open(path: Path) -> tuple[int, bool]:
    """The archive opened for appending, and whether this call created it."""
    flags = os.O_WRONLY | os.O_APPEND | os.O_CLOEXEC
    while True:
        try:
            return os.open(path, flags | os.O_CREAT | os.O_EXCL, _MODE), True
        except FileExistsError:
            pass
        try:
            return os.open(path, flags), False
        except FileNotFoundError:
            continue  # removed in between: create it after all

"""--archive DIR: the messages a compression replaces, kept in
DIR/<file name>.jsonl before the conversation is written without them, so
that the history the summary's closing note points to still exists; an
append and the rewrite it was made for commit together.

Each line is one JSON object: ``{"file": ..., "cut_time": ..., "message":
{...}}``, the file as given, the cut time the compression set, and one
message of the span as it was read. A file's spans follow one another in the
order of its compressions."""

from __future__ import annotations

import contextlib
import fcntl
import os
import re
from collections.abc import Iterator
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


@contextlib.contextmanager
def appended(path: Path, data: bytes) -> Iterator[None]:
    """Appends `data` (whole lines) to `path`, on disk (the file fsynced, and
    its directory when the file is new), then runs the block, which writes
    the conversation the lines were taken from: the append and that rewrite
    commit together. If the block fails (a conversation changed meanwhile, a
    full disk, a stop), the archive is cut back to where the append started,
    so that a span never stays archived for a rewrite that did not happen and
    is not archived twice by the next run.

    The file keeps an exclusive flock from before the append until the block
    is done, so appends to one archive, from the jobs of one run or from
    several runs, never interleave, and nothing is appended after ours while
    it may still be cut back. An append that fails part way is cut back too."""
    fd, new = _open(path)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        start = os.fstat(fd).st_size
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
            if new:
                sync_directory(path.parent)
            yield
        except BaseException:
            with contextlib.suppress(OSError):
                os.ftruncate(fd, start)
                os.fsync(fd)
            raise
    finally:
        os.close(fd)  # which releases the lock


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

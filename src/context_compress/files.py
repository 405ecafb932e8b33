"""Reading, checking and atomically writing conversation files."""

from __future__ import annotations

import contextlib
import json
import os
import re
import stat
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO


@dataclass
class Input:
    label: str          # as shown in reports and errors
    path: Path | None   # None for standard input
    problem: str | None = None
    is_directory: bool = False  # a directory without files to work on


def expand(args: list[str]) -> list[Input]:
    """One Input per file: directories give their *.json files, sorted by name."""
    inputs = []
    for arg in args:
        if arg == "-":
            inputs.append(Input("<stdin>", None))
            continue
        path = Path(arg)
        if path.is_dir():
            found = sorted(p for p in path.glob("*.json")
                           if not p.name.startswith(".") and not p.is_dir())
            if not found:
                inputs.append(Input(arg, path, "no *.json files in this directory",
                                    is_directory=True))
            inputs.extend(Input(str(p), p) for p in found)
        else:
            inputs.append(Input(arg, path))
    return inputs


class BadInput(Exception):
    """The input is not a conversation this command can work on."""


@dataclass
class Loaded:
    conv: dict[str, Any]
    raw: bytes
    style: Style


@dataclass(frozen=True)
class Style:
    """How the input JSON was laid out, so that the output looks the same."""

    indent: int | str | None
    trailing_newline: bool


def json_type(value: object) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


def read_bytes(path: Path | None, stdin: BinaryIO | None = None) -> bytes:
    """The bytes of `path`, or of `stdin` when `path` is None."""
    try:
        if path is None:
            assert stdin is not None
            return stdin.read()
        return path.read_bytes()
    except IsADirectoryError:
        raise BadInput("cannot read: is a directory") from None
    except OSError as exc:
        raise BadInput(f"cannot read: {exc.strerror or exc}") from None


def parse(raw: bytes) -> Loaded:
    """Decodes and checks a conversation; BadInput names the first problem."""
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise BadInput(f"not UTF-8 text (bad byte at offset {exc.start})") from None
    if not text.strip():
        raise BadInput("not JSON: the file is empty")
    try:
        conv = json.loads(text)
    except json.JSONDecodeError as exc:
        raise BadInput(f"not JSON: {exc.msg} at line {exc.lineno} column {exc.colno}") from None
    except RecursionError:
        raise BadInput("not JSON: nested too deeply") from None
    check(conv)
    return Loaded(conv, raw, detect_style(text))


def check(conv: object) -> None:
    """Raises BadInput unless `conv` has the shape of a stored conversation."""
    if not isinstance(conv, dict):
        raise BadInput(f"not a JSON object (found {json_type(conv)})")
    if "messages" not in conv:
        raise BadInput('no "messages" key')
    messages = conv["messages"]
    if not isinstance(messages, list):
        raise BadInput(f'"messages" is not a list (found {json_type(messages)})')
    for key in ("cut_time", "created_at"):
        value = conv.get(key)
        if value and not isinstance(value, str):
            raise BadInput(f'"{key}" is not a string (found {json_type(value)})')
    for number, message in enumerate(messages, 1):
        if not isinstance(message, dict):
            raise BadInput(f"message {number} is not an object (found {json_type(message)})")
        stamp = message.get("timestamp")
        if stamp and not isinstance(stamp, str):
            raise BadInput(
                f'message {number}: "timestamp" is not a string (found {json_type(stamp)})')


def detect_style(text: str) -> Style:
    """Indented output when the input's first key starts on a new line, with
    that line's indentation; compact output otherwise."""
    stripped = text.lstrip("\ufeff \t\r\n")
    indent: int | str | None = None
    if stripped.startswith("{"):
        match = re.match(r"\{[ \t]*\r?\n([ \t]*)\S", stripped)
        if match:
            lead = match.group(1)
            indent = lead if "\t" in lead else len(lead)
    return Style(indent=indent, trailing_newline=text.endswith("\n"))


_LONE_SURROGATE = re.compile("[\ud800-\udfff]")


def dump(conv: dict[str, Any], style: Style) -> bytes:
    """The conversation as UTF-8 JSON: keys in their order, text as text."""
    text = json.dumps(conv, ensure_ascii=False, indent=style.indent)
    # A lone surrogate (read from a \\ud8xx escape) has no UTF-8 form; it is
    # written back as the same escape.
    text = _LONE_SURROGATE.sub(lambda m: f"\\u{ord(m.group()):04x}", text)
    if style.trailing_newline:
        text += "\n"
    return text.encode("utf-8")


def _default_mode() -> int:
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def write_atomic(target: Path, data: bytes) -> None:
    """Replaces `target` by a file holding `data`, or leaves it as it was.

    The data goes to a temporary file in the same directory, is flushed to disk,
    and the temporary file is then renamed over the target, so that a crash or a
    full disk leaves either the old file or the new one, never a part of it. An
    existing target keeps its permission bits."""
    target = Path(os.path.realpath(target))
    try:
        mode = stat.S_IMODE(target.stat().st_mode)
    except FileNotFoundError:
        mode = _default_mode()
    fd, tmp_name = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
    try:
        with os.fdopen(fd, "wb") as tmp:
            tmp.write(data)
            tmp.flush()
            os.fsync(tmp.fileno())
        os.chmod(tmp_name, mode)
        os.replace(tmp_name, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp_name)
        raise
    _sync_directory(target.parent)


def _sync_directory(directory: Path) -> None:
    # Makes the rename itself durable; not every file system allows it.
    with contextlib.suppress(OSError):
        fd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)

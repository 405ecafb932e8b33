"""Reading and checking conversation files: which files an argument names,
their bytes within a size bound, and JSON that can be written back as read."""

from __future__ import annotations

import codecs
import json
import math
import os
import re
import stat
import sys
from dataclasses import dataclass, field
from decimal import Decimal
from pathlib import Path
from typing import Any, BinaryIO

#: Inputs larger than this are refused unless --max-input-size raises it.
DEFAULT_MAX_INPUT = 256 << 20

_READ_CHUNK = 1 << 20


@dataclass
class Input:
    label: str          # as shown in reports and errors
    path: Path | None   # None for standard input
    problem: str | None = None
    is_directory: bool = False  # a directory without files to work on
    skipped: bool = False       # an entry of a directory that is no regular file
    # Other names given for the same file (see one_per_file).
    also: list[Input] = field(default_factory=list)

    @property
    def names(self) -> list[Input]:
        return [self, *self.also]


def _kind(mode: int) -> str:
    for test, name in ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISDIR, "a directory")):
        if test(mode):
            return name
    return "not a regular file"


def _directory_entries(arg: str, path: Path) -> list[Input]:
    """The *.json files of a directory, sorted by name. Only regular files
    (or links to them) are read: a FIFO would hang the run, a device never end."""
    found = []
    for entry in sorted(p for p in path.glob("*.json") if not p.name.startswith(".")):
        try:
            mode = entry.stat().st_mode
        except OSError:
            continue  # a dangling link, or gone meanwhile
        if stat.S_ISREG(mode):
            found.append(Input(str(entry), entry))
        elif not stat.S_ISDIR(mode):
            found.append(Input(str(entry), entry, f"skipped: {_kind(mode)}, not a regular file",
                               skipped=True))
    if not any(not item.skipped for item in found):
        found.insert(0, Input(arg, path, "no *.json files in this directory", is_directory=True))
    return found


def expand(args: list[str]) -> list[Input]:
    """One Input per file: directories give their *.json files, sorted by name."""
    inputs = []
    for arg in args:
        if arg == "-":
            inputs.append(Input("<stdin>", None))
            continue
        path = Path(arg)
        if path.is_dir():
            inputs.extend(_directory_entries(arg, path))
        else:
            inputs.append(Input(arg, path))
    return inputs


def _identity(item: Input) -> tuple[int, int] | None:
    """The device and inode of the file an input names (after symbolic
    links), for an input that is read; None when it cannot be told."""
    if item.path is None or item.skipped or item.is_directory:
        return None
    try:
        st = os.stat(item.path)
    except OSError:
        return None  # reading it names the problem
    return st.st_dev, st.st_ino


def one_per_file(inputs: list[Input]) -> list[Input]:
    """The inputs with every further name of a file joined to its first: a
    file named twice, a directory and a file in it, a symbolic or a hard link
    and its target are one input, read, compressed and written once, and
    reported once with all its names. Worked on once per name, the result
    would hang on the order of the work: a name read after another was
    written sees that one's output, and one read meanwhile (--jobs) sees its
    file changed under it. The same device and inode make the same file."""
    first: dict[tuple[int, int], Input] = {}
    kept = []
    for item in inputs:
        key = _identity(item)
        known = first.setdefault(key, item) if key is not None else item
        if known is item:
            kept.append(item)
        elif all(item.label != name.label for name in known.names):
            known.also.append(item)
    return kept


class BadInput(Exception):
    """The input is not a conversation this command can work on."""


@dataclass(frozen=True)
class Fingerprint:
    """What tells a file's content apart without reading it again."""

    device: int
    inode: int
    size: int
    mtime_ns: int

    @classmethod
    def of(cls, st: os.stat_result) -> Fingerprint:
        return cls(st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


@dataclass(frozen=True)
class Original:
    """A file as it was read, to tell later whether it has changed since."""

    path: Path
    fingerprint: Fingerprint
    raw: bytes

    def unchanged(self) -> bool:
        """Still the same file with the same bytes. Size and modification time
        are trusted when they agree: a writer that keeps both within one tick
        of the clock is not seen."""
        try:
            if Fingerprint.of(os.stat(self.path)) == self.fingerprint:
                return True
            with open(self.path, "rb") as f:
                return _read_bounded(f, len(self.raw) + 1) == self.raw
        except (OSError, BadInput):
            return False


def _read_bounded(stream: BinaryIO, limit: int) -> bytes:
    chunks, size = [], 0
    while chunk := stream.read(min(_READ_CHUNK, limit + 1 - size)):
        chunks.append(chunk)
        size += len(chunk)
        if size > limit:
            raise BadInput(f"larger than {limit:,} bytes (--max-input-size)")
    return b"".join(chunks)


def read_input(path: Path | None, stdin: BinaryIO | None,
               limit: int = DEFAULT_MAX_INPUT) -> tuple[bytes, Original | None]:
    """The bytes of `path`, or of `stdin` when `path` is None, at most `limit`
    of them; for a regular file, also what tells later whether it changed."""
    try:
        if path is None:
            if stdin is None:
                raise BadInput("cannot read standard input: it is closed")
            return _read_bounded(stdin, limit), None
        with open(path, "rb") as f:
            # Taken before the read, so that a write during the read shows
            # as a change, never as the state that was read.
            st = os.fstat(f.fileno())
            raw = _read_bounded(f, limit)
    except IsADirectoryError:
        raise BadInput("cannot read: is a directory") from None
    except OSError as exc:
        raise BadInput(f"cannot read: {exc.strerror or exc}") from None
    original = Original(path, Fingerprint.of(st), raw) if stat.S_ISREG(st.st_mode) else None
    return raw, original


def read_bytes(path: Path | None, stdin: BinaryIO | None = None,
               limit: int = DEFAULT_MAX_INPUT) -> bytes:
    """The bytes of `path`, or of `stdin` when `path` is None."""
    return read_input(path, stdin, limit)[0]


def regular_file_problem(path: Path) -> str | None:
    """Why `path` cannot be rewritten in place, or None."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return None  # reading it names the problem
    if stat.S_ISREG(mode) or stat.S_ISDIR(mode):
        return None
    return f"--in-place rewrites regular files only; this is {_kind(mode)}"


@dataclass
class Loaded:
    conv: dict[str, Any]
    raw: bytes
    style: Style
    original: Original | None = None


@dataclass(frozen=True)
class Style:
    """How the input JSON was laid out, so that the output looks the same."""

    indent: int | str | None
    trailing_newline: bool
    bom: bool = False
    newline: str = "\n"


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


# --- JSON that survives being written back ---------------------------------------


def _short(text: str) -> str:
    return text if len(text) <= 40 else f"{text[:20]}…{text[-10:]}"


def _object(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    obj = dict(pairs)
    if len(obj) != len(pairs):
        seen: set[str] = set()
        for key, _ in pairs:
            if key in seen:
                # Reading keeps the last value; writing back would drop the others.
                raise BadInput(f'the key "{_short(key)}" appears twice in one object')
            seen.add(key)
    return obj


def _float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise BadInput(f"the number {_short(text)} is out of range (it would be written back "
                       "as Infinity)")
    # repr() gives the shortest text of the double read; a number with more
    # digits than a double keeps would come back as another number.
    if Decimal(repr(value)) != Decimal(text):
        raise BadInput(f"the number {_short(text)} has more digits than can be written back "
                       "exactly")
    return value


def _int(text: str) -> int:
    limit = sys.get_int_max_str_digits()
    digits = len(text.lstrip("-"))
    if limit and digits > limit:
        raise BadInput(f"a number of {digits:,} digits is longer than the {limit:,} "
                       "this command reads")
    return int(text)


def _constant(name: str) -> Any:
    raise BadInput(f"not JSON: {name} is not a JSON value")


def parse(raw: bytes, original: Original | None = None) -> Loaded:
    """Decodes and checks a conversation; BadInput names the first problem."""
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise BadInput(f"not UTF-8 text (bad byte at offset {exc.start})") from None
    if not text.strip():
        raise BadInput("not JSON: the file is empty")
    try:
        conv = json.loads(text, object_pairs_hook=_object, parse_float=_float,
                          parse_int=_int, parse_constant=_constant)
    except json.JSONDecodeError as exc:
        raise BadInput(f"not JSON: {exc.msg} at line {exc.lineno} column {exc.colno}") from None
    except RecursionError:
        raise BadInput("not JSON: nested too deeply") from None
    check(conv)
    return Loaded(conv, raw, detect_style(raw, text), original)


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


def detect_style(raw: bytes, text: str) -> Style:
    """Indented output when the input's first key starts on a new line, with
    that line's indentation; compact output otherwise. The byte-order mark
    and the line ends (CRLF or LF, as the first line break has it) stay."""
    stripped = text.lstrip("\ufeff \t\r\n")
    indent: int | str | None = None
    if stripped.startswith("{"):
        match = re.match(r"\{[ \t]*\r?\n([ \t]*)\S", stripped)
        if match:
            lead = match.group(1)
            indent = lead if "\t" in lead else len(lead)
    first_break = text.find("\n")
    crlf = first_break > 0 and text[first_break - 1] == "\r"
    return Style(indent=indent, trailing_newline=text.endswith("\n"),
                 bom=raw.startswith(codecs.BOM_UTF8), newline="\r\n" if crlf else "\n")

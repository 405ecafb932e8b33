"""Writing conversation files: the JSON laid out as it was read, and a write
that replaces a file whole or not at all."""

from __future__ import annotations

import codecs
import contextlib
import errno
import json
import os
import secrets
import stat
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeVar

from .files import Original, Style
from ..messages import LONE_SURROGATE

T = TypeVar("T")


def json_text(value: Any, indent: int | str | None = None) -> str:
    """`value` as JSON text that UTF-8 can hold: keys in their order, text as text."""
    text = json.dumps(value, ensure_ascii=False, indent=indent)
    # A lone surrogate (read from a \\ud8xx escape) has no UTF-8 form; it is
    # written back as the same escape.
    return LONE_SURROGATE.sub(lambda m: f"\\u{ord(m.group()):04x}", text)


def dump(conv: dict[str, Any], style: Style) -> bytes:
    """The conversation as UTF-8 JSON, laid out as it was read."""
    text = json_text(conv, style.indent)
    if style.trailing_newline:
        text += "\n"
    if style.newline != "\n":
        # JSON text holds no raw line break inside a string, so every one of
        # them is a line end of the layout.
        text = text.replace("\n", style.newline)
    data = text.encode("utf-8")
    return codecs.BOM_UTF8 + data if style.bom else data


class Changed(Exception):
    """The file was changed by someone else while it was being compressed."""


@dataclass(frozen=True)
class Written:
    path: Path
    other_links: int = 0  # hard links of the old file, which keep its old text


def _default_mode() -> int:
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def _beside(target: Path) -> str:
    """A name for a temporary file in the directory of `target`."""
    return str(target.parent / f".{target.name}.{secrets.token_hex(6)}.tmp")


# A temporary name is removed first thing in every clean-up, by a direct call
# of os.unlink: a signal's exception can land at a call of Python code (a
# function of this module, a `with`), and landing before the unlink it would
# end the clean-up with the name still there.


def _new_beside(target: Path, make: Callable[[str], T]) -> tuple[T, str]:
    """`make(name)` for a new name beside `target`, and the name: names are
    tried until `make` finds one free (it raises FileExistsError for one
    taken)."""
    while True:
        name = _beside(target)
        try:
            return make(name), name
        except FileExistsError:
            continue
        except BaseException:
            # A signal's exception can land right after the file was made;
            # the name is this call's own, so nobody else's file goes.
            try:
                os.unlink(name)
            except OSError:
                pass
            raise


def _temporary(target: Path) -> tuple[int, str]:
    """A new file beside `target` that only this process can read yet."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
    return _new_beside(target, lambda name: os.open(name, flags, 0o600))


def _linked(source: Path, target: Path) -> str:
    """A new name for the file `source`, beside `target`."""
    return _new_beside(target, lambda name: os.link(source, name))[1]


def _keep_owner(fd: int, old: os.stat_result) -> None:
    """Gives the new file the old one's owner and group (run as root, the new
    file would be root's, and a service could no longer read its own file)."""
    new = os.fstat(fd)
    if (new.st_uid, new.st_gid) == (old.st_uid, old.st_gid):
        return
    try:
        os.fchown(fd, old.st_uid, old.st_gid)
    except PermissionError:
        raise OSError(errno.EPERM, "cannot give the new file the owner and group of the old "
                                   f"(uid {old.st_uid}, gid {old.st_gid})") from None


# The extended attributes a rewrite carries over: the access ACL (a service
# user's rw entry on a conversation store is how it reads and writes it) and
# the user namespace, which belongs to the file's owner. The security
# namespace (an SELinux label, file capabilities) is given to a new file by
# the system's policy, and trusted.* to administrators' own tools; neither is
# the file's content to copy. A directory's default ACL does not apply to a file.
_ACCESS_ACL = "system.posix_acl_access"
_KEPT_PREFIXES = ("user.",)


def _kept_attributes(path: Path) -> list[tuple[str, bytes]]:
    """The old file's extended attributes that the new one must have too."""
    if not hasattr(os, "listxattr"):
        return []  # no extended attributes on this platform's Python
    try:
        names = os.listxattr(path)
    except OSError as exc:
        if exc.errno in (errno.ENOTSUP, errno.EOPNOTSUPP):
            return []  # a file system without them: nothing to keep
        raise OSError(exc.errno, "cannot read the extended attributes of the old file "
                                 f"to keep them ({exc.strerror})") from None
    kept = []
    for name in names:
        if name != _ACCESS_ACL and not name.startswith(_KEPT_PREFIXES):
            continue
        try:
            kept.append((name, os.getxattr(path, name)))
        except OSError as exc:
            if exc.errno == errno.ENODATA:
                continue  # removed since it was listed
            raise OSError(exc.errno, f"cannot read the old file's {_attribute(name)} "
                                     f"to keep it ({exc.strerror})") from None
    return kept


def _keep_attributes(fd: int, kept: list[tuple[str, bytes]]) -> None:
    """Gives the new file each of `kept`; one that cannot be set fails the
    write, naming it, rather than leave a file that lost someone's access."""
    for name, value in kept:
        try:
            os.setxattr(fd, name, value)
        except OSError as exc:
            raise OSError(exc.errno, f"cannot give the new file the old one's "
                                     f"{_attribute(name)} ({exc.strerror})") from None


def _attribute(name: str) -> str:
    return "access ACL" if name == _ACCESS_ACL else f"extended attribute {name}"


def write_atomic(target: Path, data: bytes, original: Original | None = None) -> Written:
    """Replaces `target` by a file holding `data`, or leaves it as it was.

    The data goes to a temporary file in the same directory, is flushed to
    disk, and the temporary file is then renamed over the target, so that a
    crash, a full disk or a signal leaves either the old file or the new one,
    never a part of it. An existing target keeps its permission bits, owner,
    group, access ACL and user extended attributes. With `original`, the target must still be that file as it was
    read, or Changed is raised and nothing is written."""
    target = Path(os.path.realpath(target))
    try:
        old: os.stat_result | None = target.stat()
    except FileNotFoundError:
        old = None
    # A rewrite keeps what it can of the old file's metadata (mode, owner,
    # group, access ACL, user extended attributes); what it cannot keep fails
    # this file with a line naming it, and the old file stays as it was.
    kept = _kept_attributes(target) if old is not None else []
    fd, tmp_name = _temporary(target)
    try:
        if old is not None:
            _keep_owner(fd, old)
            # Before the mode: the file is still writable by this process
            # (user.* needs that), and chmod then brings the ACL's mask and
            # the permission bits to the old file's, which agree.
            _keep_attributes(fd, kept)
        # After the owner: chown clears the set-user-ID and set-group-ID bits.
        os.fchmod(fd, stat.S_IMODE(old.st_mode) if old is not None else _default_mode())
        with os.fdopen(fd, "wb") as tmp:
            fd = -1
            tmp.write(data)
            tmp.flush()
            os.fsync(tmp.fileno())
    except BaseException:
        _drop(tmp_name)
        if fd >= 0:
            os.close(fd)
        raise
    _put_in_place(tmp_name, target, original, "changed while being compressed (another process wrote it); "
                  "nothing written for it")
    return Written(target, old.st_nlink - 1 if old is not None else 0)


def link_atomic(source: Path, target: Path, original: Original) -> None:
    """Makes `target` one more name of the file `source`, in one step: a hard
    link made beside `target` is renamed over it. `target` must still be the
    file `original` tells of, as it was read, or Changed is raised and it
    stays as it is."""
    target = Path(os.path.realpath(target))
    tmp_name = _linked(source, target)
    _put_in_place(tmp_name, target, original, f"{original.path} changed while being compressed (another "
                  "process wrote it); it keeps its text")


def _put_in_place(tmp_name: str, target: Path, original: Original | None, changed: str) -> None:
    """Renames the temporary file `tmp_name` over `target`, if `original` is
    still the file as it was read (else Changed, saying `changed`), and makes
    the rename durable. The temporary file does not outlive a failure."""
    try:
        if original is not None and not original.unchanged():
            raise Changed(changed)
        os.replace(tmp_name, target)
    except BaseException:
        _drop(tmp_name)
        raise
    sync_directory(target.parent)


def _drop(tmp_name: str) -> None:
    with contextlib.suppress(OSError):
        os.unlink(tmp_name)


def sync_directory(directory: Path) -> None:
    """Makes a new name in `directory` (a rename, a new file) durable."""
    # Makes the rename itself durable; not every file system allows it.
    with contextlib.suppress(OSError):
        fd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)

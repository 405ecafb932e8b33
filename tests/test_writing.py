"""Writes of the command: whole or not at all, whatever interrupts them (a full
disk, a signal, a crash), and a rewrite that keeps the file's metadata (mode,
owner, group, access ACL, user extended attributes), or fails that file
naming what it could not keep and leaves the old file and no temporary file
behind."""

import errno
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

from context_compress.cli import writing
from shared import HELD_WRITE, write
from strategies import PROPERTY
from test_command import WINDOW, big_conversation, expected_after, leftovers, run, snapshot

def test_full_disk_leaves_the_original_intact(tmp_path):
    """The file-size limit makes the write fail part-way, as a full disk would."""
    path = write(tmp_path / "conv.json", big_conversation())
    before = snapshot(path)
    limit = 4096
    assert len(before[0]) > limit

    def limit_file_size():
        import resource
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    proc = run(path, "--in-place", "--max-context", WINDOW, preexec_fn=limit_file_size,
               env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"})
    err = proc.stderr.decode()
    assert proc.returncode == 1
    assert err.startswith(f"context-compress: {path}: cannot write {path}: File too large")
    assert err.count("\n") == 1
    assert snapshot(path) == before and leftovers(tmp_path) == []


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
def test_signal_during_the_write_lets_it_finish_whole(tmp_path, signum):
    path = write(tmp_path / "conv.json", big_conversation())
    ready, go = tmp_path / "ready", tmp_path / "go"
    proc = subprocess.Popen([sys.executable, "-c", HELD_WRITE, ready, go, path, "--in-place", "--max-context", WINDOW],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        for _ in range(600):
            if ready.exists() or proc.poll() is not None:
                break
            time.sleep(0.05)
        assert leftovers(tmp_path), "the write never started"
        proc.send_signal(signum)
        time.sleep(0.3)
        assert proc.poll() is None, "the stop did not wait for the write"
        go.touch()
        _, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 128 + signum
    assert err.decode() == (f"context-compress: interrupted by {signal.Signals(signum).name}; "
                            "files not yet written are unchanged\n")
    assert json.loads(path.read_text()) == expected_after(big_conversation())[2]
    assert leftovers(tmp_path) == []


def test_in_place_keeps_owner_and_group_and_names_other_links(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("giving a file to another owner takes root")
    path = write(tmp_path / "conv.json", big_conversation())
    os.chown(path, 4321, 4322)
    path.chmod(0o600)
    os.link(path, tmp_path / "link.json")
    proc = run(path, "--in-place", "--max-context", WINDOW)
    assert proc.returncode == 0, proc.stderr
    st = path.stat()
    assert (st.st_uid, st.st_gid, st.st_mode & 0o7777) == (4321, 4322, 0o600)
    assert f"written to    {path} (1 other hard link keeps the old text)" in proc.stdout.decode()
    assert json.loads((tmp_path / "link.json").read_text()) == big_conversation()


def test_crash_during_the_write_leaves_the_original_intact(tmp_path):
    """The process dies after writing the new content and before renaming it."""
    path = write(tmp_path / "conv.json", big_conversation())
    before = snapshot(path)
    crash = (
        "import os, signal, sys\n"
        "os.fsync = lambda fd: os.kill(os.getpid(), signal.SIGKILL)\n"
        "from context_compress.cli import main\n"
        "sys.exit(main(sys.argv[1:]))\n"
    )
    proc = subprocess.run([sys.executable, "-c", crash, str(path), "--in-place",
                           "--max-context", WINDOW], capture_output=True, timeout=60)
    assert proc.returncode == -signal.SIGKILL
    assert snapshot(path) == before
    assert json.loads(path.read_text()) == big_conversation()


ACCESS_ACL = "system.posix_acl_access"
# The kernel's xattr form of an ACL: a version, then (tag, permissions, id)
# entries sorted by tag and id.
USER_OBJ, USER, GROUP_OBJ, GROUP, MASK, OTHER = 0x01, 0x02, 0x04, 0x08, 0x10, 0x20
NO_ID = 0xFFFFFFFF
IS_ROOT = os.geteuid() == 0


def acl_xattr(owner, users, group, groups, mask, other):
    entries = [(USER_OBJ, owner, NO_ID), *((USER, p, i) for i, p in sorted(users.items())),
               (GROUP_OBJ, group, NO_ID), *((GROUP, p, i) for i, p in sorted(groups.items()))]
    if users or groups:
        entries.append((MASK, mask, NO_ID))
    entries.append((OTHER, other, NO_ID))
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)


def unsupported(directory):
    """Why the file system of `directory` cannot hold what these tests set, or None."""
    with tempfile.NamedTemporaryFile(dir=directory) as probe:
        for name, value, what in (("user.probe", b"1", "user extended attributes"),
                                  (ACCESS_ACL, acl_xattr(6, {4321: 6}, 4, {}, 6, 4), "POSIX ACLs")):
            try:
                os.setxattr(probe.name, name, value)
            except OSError as exc:
                if exc.errno in (errno.ENOTSUP, errno.EOPNOTSUPP):
                    return f"the file system of {directory} has no {what}"
                raise
    return None


# The temporary directory's file system (ext4 here) and tmpfs, where
# conversation stores under /run or /dev/shm live.
@pytest.fixture(params=["tmp_path", "/dev/shm"])
def directory(request, tmp_path):
    if request.param == "tmp_path":
        place = tmp_path
    elif os.path.isdir(request.param):
        place = Path(tempfile.mkdtemp(dir=request.param))
        request.addfinalizer(lambda: shutil.rmtree(place))
    else:
        pytest.skip(f"no {request.param} on this machine")
    reason = unsupported(place)
    if reason:
        pytest.skip(reason)
    return place


def metadata(path):
    st = path.stat()
    attributes = {name: os.getxattr(path, name) for name in os.listxattr(path)
                  if not name.startswith("security.")}  # the system's label, not the file's
    return st.st_mode, st.st_uid, st.st_gid, attributes


def entries(directory):
    return sorted(p.name for p in directory.iterdir())


# Names of any characters but NUL (the file system encoding carries them),
# values of any bytes, small enough that a set fits one ext4 block.
user_attributes = st.dictionaries(
    st.text(st.characters(exclude_categories=("Cs",), exclude_characters="\0"),
            min_size=1, max_size=20).map(lambda name: "user." + name),
    st.binary(max_size=120), max_size=6)
perms = st.integers(0, 7)
acls = st.none() | st.builds(acl_xattr, perms, st.dictionaries(st.integers(1, 65000), perms, max_size=3),
                             perms, st.dictionaries(st.integers(1, 65000), perms, max_size=3),
                             perms, perms)
ids = st.tuples(st.integers(0, 65000), st.integers(0, 65000)) if IS_ROOT else st.none()


def planted(directory, attributes, acl, mode, owner):
    """A conversation file in a fresh directory with this metadata."""
    path = Path(tempfile.mkdtemp(dir=directory)) / "conv.json"
    path.write_bytes(b'{"messages": []}\n')
    if owner is not None:
        os.chown(path, *owner)
    for name, value in attributes.items():
        os.setxattr(path, name, value)
    path.chmod(mode)
    if acl is not None:
        os.setxattr(path, ACCESS_ACL, acl)  # sets the group bits to the mask
    return path


@PROPERTY
@given(attributes=user_attributes, acl=acls, mode=st.integers(0, 0o7777), owner=ids)
def test_a_rewrite_keeps_mode_owner_acl_and_user_attributes(directory, attributes, acl, mode,
                                                             owner):
    path = planted(directory, attributes, acl, mode, owner)
    before = metadata(path)
    writing.write_atomic(path, b'{"messages": [1]}\n')
    assert path.read_bytes() == b'{"messages": [1]}\n'
    assert metadata(path) == before
    assert entries(path.parent) == ["conv.json"]


@PROPERTY
@given(attributes=user_attributes, acl=acls, data=st.data(),
       code=st.sampled_from([errno.ENOSPC, errno.E2BIG, errno.EPERM, errno.ENOTSUP, errno.EACCES]))
def test_an_attribute_that_cannot_be_set_fails_the_write_naming_it(directory, monkeypatch,
                                                                  attributes, acl, data, code):
    path = planted(directory, attributes, acl, 0o640, None)
    names = sorted(attributes) + ([ACCESS_ACL] if ACCESS_ACL in os.listxattr(path) else [])
    assume(names)
    refused = data.draw(st.sampled_from(names))
    real_setxattr = os.setxattr

    def setxattr(target, name, value, *args, **kwargs):
        if name == refused:
            raise OSError(code, os.strerror(code))
        return real_setxattr(target, name, value, *args, **kwargs)

    before, content = metadata(path), path.read_bytes()
    with monkeypatch.context() as patch:
        patch.setattr(os, "setxattr", setxattr)
        with pytest.raises(OSError) as raised:
            writing.write_atomic(path, b'{"messages": [1]}\n')
    what = "access ACL" if refused == ACCESS_ACL else f"extended attribute {refused}"
    assert raised.value.errno == code
    assert raised.value.strerror == (f"cannot give the new file the old one's {what} "
                                     f"({os.strerror(code)})")
    assert (metadata(path), path.read_bytes()) == (before, content)
    assert entries(path.parent) == ["conv.json"]


# --- through the command -----------------------------------------------------------------


def test_in_place_keeps_a_service_users_acl_entry_or_fails_that_file(directory):
    path = write(directory / "conv.json", big_conversation())
    os.setxattr(path, "user.origin", b"\x00store\xff")
    os.setxattr(path, ACCESS_ACL, acl_xattr(6, {4321: 6}, 4, {}, 6, 0))
    before = metadata(path), path.read_bytes()
    # A file system that takes no ACL on the new file: that file fails, named.
    refuse = ("import errno, os, sys\n"
              "real = os.setxattr\n"
              "def setxattr(target, name, *args):\n"
              "    if name == 'system.posix_acl_access':\n"
              "        raise OSError(errno.EOPNOTSUPP, os.strerror(errno.EOPNOTSUPP))\n"
              "    return real(target, name, *args)\n"
              "os.setxattr = setxattr\n"
              "from context_compress.cli import main\n"
              "sys.exit(main(sys.argv[1:]))\n")
    proc = subprocess.run([sys.executable, "-c", refuse, str(path), "--in-place",
                           "--max-context", WINDOW], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 1
    assert (f"cannot write {path}: cannot give the new file the old one's access ACL "
            f"({os.strerror(errno.EOPNOTSUPP)})") in proc.stderr
    assert (metadata(path), path.read_bytes()) == before
    assert entries(directory) == ["conv.json"]

    proc = run(path, "--in-place", "--max-context", WINDOW)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(path.read_text()) != big_conversation()  # it was rewritten
    assert metadata(path) == before[0]
    assert entries(directory) == ["conv.json"]

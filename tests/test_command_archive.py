"""--archive end to end: every message a compression replaces is in the
archive, once, durably before the conversation is written without it; a
failed append writes nothing; without it, --in-place says once what is lost."""

import contextlib
import errno
import io
import itertools
import json
import os
import tempfile
from collections import Counter
from pathlib import Path
from unittest import mock

import pytest
from hypothesis import given
from hypothesis import strategies as st

from context_compress.cli import compression
from context_compress.cli import run as run_in_process
from context_compress.cli.commands.compress import DROPPED_NOTE
from context_compress.texts import SUMMARY_PREFIX as PREFIX
from shared import T, write
from fake_server import running_server
from strategies import PROPERTY, characters, texts
from test_command import big_conversation, run, snapshot, small_conversation

# Texts of up to some 600 tokens, so that most conversations are compressed.
bulky = st.builds(lambda unit, times: unit * times, st.text(characters, min_size=1, max_size=8), st.integers(40, 300))
contents = st.one_of(bulky, bulky, texts, st.lists(st.builds(lambda t: {"type": "text", "text": t}, bulky), max_size=3))


@st.composite
def growing_conversations(draw):
    """A conversation with stamps ascending (repeats allowed), maybe a stored
    cut time, and the messages a later turn adds."""
    stamps = sorted(draw(st.lists(st.integers(0, 59), min_size=6, max_size=40)))
    messages = [{"role": draw(st.sampled_from(["user", "assistant", "tool"])), "content": draw(contents),
                 "timestamp": T(s), "n": n} for n, s in enumerate(stamps)]
    conv = {"messages": messages}
    if draw(st.booleans()):
        conv["cut_time"] = T(draw(st.sampled_from(stamps)))
    added = [{"role": "user", "content": draw(contents), "timestamp": T(59), "n": -1 - n}
             for n in range(draw(st.integers(0, 8)))]
    return conv, added


@pytest.fixture(scope="module")
def llm_server():
    with running_server() as srv:
        yield srv


def store(path, conv):
    """`path` holding `conv` as ASCII JSON: a lone surrogate as its escape."""
    path.write_text(json.dumps(conv))
    return path


def key(message):
    return json.dumps(message, sort_keys=True)


def compress_in_process(*argv, window=600):
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        return run_in_process([*map(str, argv), "--max-context", str(window), "--no-progress"])


@given(growing_conversations())
def test_archive_and_file_hold_every_message_once(case):
    """Two turns of compression: whatever the file no longer holds is in the
    archive, once, in conversation order, and nothing else is."""
    conv, added = case
    with tempfile.TemporaryDirectory() as tmp:
        path, archive = store(Path(tmp) / "c.json", conv), Path(tmp) / "archive"
        given_ = list(conv["messages"])  # every message the file was given, and every summary written
        for more in ([], added):
            data = json.loads(path.read_text())
            store(path, {**data, "messages": data["messages"] + more})
            given_ += more
            assert compress_in_process(path, "--in-place", "--archive", archive) == 0
            now = json.loads(path.read_text())
            given_ += [m for m in now["messages"] if str(m["content"]).startswith(PREFIX) and "n" not in m
                       and key(m) not in set(map(key, given_))]
        kept = archive / "c.json.jsonl"
        lines = kept.read_text().splitlines() if kept.exists() else []
        archived = [json.loads(line) for line in lines]
        assert Counter(map(key, [a["message"] for a in archived] + now["messages"])) == Counter(map(key, given_))
        order = [m["n"] for m in (a["message"] for a in archived) if "n" in m]
        assert order == sorted(order, key=lambda n: (n < 0, abs(n)))
        assert all(a["file"] == str(path) and a["cut_time"] <= now["cut_time"] for a in archived)


def test_archive_is_on_disk_before_the_rewrite_and_a_failed_append_writes_nothing(tmp_path, monkeypatch):
    path, archive = write(tmp_path / "c.json", big_conversation()), tmp_path / "archive"
    events = []
    real_fsync, real_replace = os.fsync, os.replace
    monkeypatch.setattr(os, "fsync", lambda fd: events.append(("fsync", os.readlink(f"/proc/self/fd/{fd}")))
                        or real_fsync(fd))
    monkeypatch.setattr(os, "replace", lambda a, b: events.append(("replace", str(b))) or real_replace(a, b))
    assert compress_in_process(path, "--in-place", "--archive", archive, window=2000) == 0
    first = [(kind, name) for kind, name in events if not name.endswith(".tmp")][:3]
    assert first == [("fsync", os.path.realpath(archive / "c.json.jsonl")), ("fsync", os.path.realpath(archive)),
                     ("replace", os.path.realpath(path))]
    # The archive of another file cannot be opened: that file is not rewritten.
    other = write(tmp_path / "d.json", big_conversation())
    (archive / "d.json.jsonl").mkdir()
    before = snapshot(other)
    proc = run(other, "--in-place", "--archive", archive, "--max-context", "2000")
    assert proc.returncode == 1 and snapshot(other) == before
    assert proc.stderr.decode() == (f"context-compress: {other}: cannot append to the archive "
                                    f"{archive / 'd.json.jsonl'}: Is a directory; nothing written for it\n")


def test_jobs_append_whole_spans_to_one_archive(tmp_path):
    paths = []
    for d in "xyz":  # three a.json, one archive
        (tmp_path / d).mkdir()
        paths.append(write(tmp_path / d / "a.json", big_conversation()))
    proc = run(*paths, "--in-place", "--archive", tmp_path / "archive", "--jobs", "3", "--max-context", "2000")
    assert proc.returncode == 0 and proc.stderr == b""
    files = [json.loads(line)["file"] for line in (tmp_path / "archive" / "a.json.jsonl").read_text().splitlines()]
    # Each file's span is one run of whole lines.
    assert [(name, len(list(run_))) for name, run_ in itertools.groupby(files)] == [
        (name, 10) for name in dict.fromkeys(files)] and sorted(set(files)) == sorted(map(str, paths))


@pytest.mark.parametrize("args, note", [
    (["--in-place"], True),
    (["--in-place", "--json"], True),
    (["--in-place", "--archive", "kept"], False),
    (["-o", "out"], False),
])
def test_in_place_says_once_that_the_compressed_messages_are_gone(tmp_path, args, note):
    paths = [write(tmp_path / f"{n}.json", big_conversation()) for n in "ab"]
    paths.append(write(tmp_path / "c.json", small_conversation()))
    proc = run(*paths, *args, "--max-context", "2000", cwd=tmp_path)
    assert proc.returncode == 0
    assert proc.stderr.decode().count(DROPPED_NOTE) == note and DROPPED_NOTE not in proc.stdout.decode()


def test_standard_input_is_archived_as_stdin_and_archive_needs_a_write(tmp_path):
    proc = run("-", "-o", "-", "--archive", tmp_path, "--max-context", "2000",
               stdin=json.dumps(big_conversation()).encode())
    assert proc.returncode == 0
    lines = (tmp_path / "stdin.jsonl").read_text().splitlines()
    assert [json.loads(line)["message"] for line in lines] == big_conversation()["messages"][:10]
    assert json.loads(lines[0])["file"] == "<stdin>"
    assert run(write(tmp_path / "c.json", big_conversation()), "--archive", tmp_path).returncode == 2


class Halted(Exception):
    """A failure of the rewrite that is none of the expected ones."""


#: How the rewrite of a compressed file fails: someone writes the file
#: meanwhile, the disk is full, the rename is refused, or an error nobody
#: expected; and the LLM failing under --llm-required, before any write.
FAULTS = ["changed", "full disk", "rename refused", "unexpected", "llm", None]


@given(case=growing_conversations(), fault=st.sampled_from(FAULTS), earlier=st.booleans())
@PROPERTY
def test_an_archived_span_commits_with_its_rewrite(llm_server, case, fault, earlier):
    """Whatever fails, the archive holds a file's span exactly when the file
    was rewritten without it; a second run after a failure archives it once."""
    conv, _ = case
    with tempfile.TemporaryDirectory() as tmp, mock.patch.object(compression, "write_atomic",
                                                                 failing_write(fault)):
        path, archive = store(Path(tmp) / "c.json", conv), Path(tmp) / "archive"
        kept = archive / "c.json.jsonl"
        if earlier:  # the archive holds an earlier span already
            archive.mkdir()
            kept.write_bytes(b'{"file": "earlier"}\n')
        before_file, before_archive = path.read_bytes(), kept.read_bytes() if earlier else b""
        llm = ["--llm-url", llm_server.url("error"), "--model", "m", "--llm-required"] if fault == "llm" else []
        try:
            status = compress_in_process(path, "--in-place", "--archive", archive, *llm)
        except Halted:  # a fault of the command itself goes on to its caller
            status = None
        # Rewritten by the command (not by the writer that came in between).
        rewritten = json.loads(path.read_bytes()) != json.loads(before_file)
        archived = kept.read_bytes() if kept.exists() else b""
        assert archived.startswith(before_archive)
        assert (archived != before_archive) == rewritten
        assert not rewritten or (fault is None and status == 0)
    if fault is not None and not rewritten:
        # The next run, without the fault, archives the span once.
        with tempfile.TemporaryDirectory() as tmp:
            path, archive = store(Path(tmp) / "c.json", conv), Path(tmp) / "archive"
            assert compress_in_process(path, "--in-place", "--archive", archive) == 0
            lines = (archive / "c.json.jsonl").read_text().splitlines() if (archive / "c.json.jsonl").exists() else []
            assert len(lines) == len({line for line in lines})


def failing_write(fault):
    real = compression.write_atomic

    def write(target, data, original=None):
        if fault == "changed":
            with open(target, "ab") as f:  # someone else's write, in between
                f.write(b" ")
        elif fault == "full disk":
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        elif fault == "rename refused":
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES))
        elif fault == "unexpected":
            raise Halted("the rewrite stopped")
        return real(target, data, original)

    return write

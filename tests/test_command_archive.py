"""--archive end to end: every message a compression replaces is in the
archive, once, durably before the conversation is written without it; a
failed append writes nothing; without it, --in-place says once what is lost."""

import contextlib
import io
import itertools
import json
import os
import tempfile
from collections import Counter
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

from context_compress.cli import run as run_in_process
from context_compress.cli.commands.compress import DROPPED_NOTE
from context_compress.texts import SUMMARY_PREFIX as PREFIX
from shared import T, write
from strategies import characters, texts
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

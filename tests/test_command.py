"""The context-compress command end to end, run as a subprocess: reports, JSON
statistics, output files, in-place rewriting, directories, the progress bar
and bad input. Its other modes, an LLM's summaries and interrupted writes
have files of their own (test_command_*.py, test_writing.py)."""

import contextlib
import copy
import fcntl
import json
import os
import pty
import struct
import subprocess
import termios

import pytest

import routes.context_compress as cc
from context_compress import chat, facts
from context_compress.cli.commands.compress import DROPPED_NOTE
from context_compress.texts import SUMMARY_PREFIX as PREFIX, TRANSCRIPT_BOUND
from shared import COMMAND, SAMPLE, write

WINDOW = "2000"  # keep budget 1024: the newest 10 messages of 103 tokens


def big_conversation(**extra):
    """20 messages of 103 tokens each, mixed Chinese and English, one tool
    message and an image part; keys the module does not know ride along."""
    messages = []
    for i in range(20):
        body = f"消息{i:02d} " + "y" * 395  # 4 ideographs (6 tokens) + 396 others (99)
        message = {"role": "user" if i % 2 == 0 else "assistant", "content": body,
                   "timestamp": f"2024-05-01T10:00:{i:02d}+00:00", "meta": {"n": i}}
        messages.append(message)
    messages[3] = {"role": "tool", "tool_call_id": "call_1", "content": "",
                   "tool_result": messages[3]["content"], "timestamp": messages[3]["timestamp"]}
    messages[4]["content"] = [{"type": "text", "text": "截图"},
                              {"type": "image_url", "image_url": {"url": "data:,"}}]
    return {"id": "conv-1", "title": "标题 ✓", **extra, "messages": messages}


def small_conversation():
    return {"id": "conv-2", "cut_time": "2024-05-01T09:00:00+00:00", "messages": [
        {"role": "user", "content": "你好", "timestamp": "2024-05-01T10:00:00+00:00"},
        {"role": "assistant", "content": "hello", "timestamp": "2024-05-01T10:00:05+00:00"}]}


def expected_after(conv, window=int(WINDOW), module_texts=False):
    """What the command makes of `conv` without an LLM: the module's
    compression with the fact-keeping extract as summary (the module's own
    extract with `module_texts`, as --module-transcript asks)."""
    conv = copy.deepcopy(conv)
    with chat.blocked(), contextlib.nullcontext() if module_texts else facts.install():
        compressed, stats = cc.cut_and_sum_history(conv, {"max_context": window})
    return compressed, stats, conv


def run(*args, stdin=None, cwd=None, **kwargs):
    return subprocess.run([COMMAND, *map(str, args)], input=stdin, capture_output=True,
                          cwd=cwd, timeout=60, **kwargs)


def snapshot(path):
    st = path.stat()
    return path.read_bytes(), st.st_mtime_ns, st.st_mode


def leftovers(directory):
    return sorted(p.name for p in directory.iterdir() if p.name.endswith(".tmp"))


# --- one file -------------------------------------------------------------------------


def test_report_of_a_compression_writes_nothing(tmp_path):
    path = write(tmp_path / "conv.json", big_conversation())
    before = snapshot(path)
    proc = run(path, "--max-context", WINDOW)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.decode()
    _, stats, _ = expected_after(big_conversation())
    assert f"{path}: compressed" in out
    assert f"rate          {stats['rate']:.3f} of a 2,000-token window" in out
    assert "messages      20 -> 11 (kept 10, compressed 10, +1 summary)" in out
    assert f"new cut time  {stats['new_cut_time']} (was not stored)" in out
    assert "summary       extract: [user] 消息00" in out
    assert f"tokens        {stats['total_tokens']:,} -> " in out
    assert snapshot(path) == before


def test_no_compression_is_reported_and_leaves_the_file(tmp_path):
    path = write(tmp_path / "conv.json", small_conversation())
    before = snapshot(path)
    proc = run(path, "--in-place")
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.decode()
    assert "not compressed: rate 0.000 is at or below the 0.8 threshold" in out
    assert "still over" not in out
    assert "cut time      2024-05-01T09:00:00+00:00 (unchanged)" in out
    assert snapshot(path) == before


def test_json_statistics_match_the_module(tmp_path):
    path = write(tmp_path / "conv.json", big_conversation())
    proc = run("--json", "--max-context", WINDOW, "--module-transcript", path)
    record = json.loads(proc.stdout)
    _, stats, after = expected_after(big_conversation(), module_texts=True)
    assert record["stats"] == stats
    assert record["compressed"] is True and record["ok"] is True
    assert record["tokens_before"] == stats["total_tokens"]
    assert record["tokens_after"] == cc.estimate_tokens(cc.msgs_from_cut_time(after))
    assert (record["messages_before"], record["messages_after"]) == (20, 11)
    assert record["summary_source"] == "extract" and record["llm_error"] is None
    # The ten kept messages and the extract of eight more stay over 1,600 tokens.
    assert record["over_threshold"] is True
    # Short messages: the extract renders its first three and last five whole.
    span = big_conversation()["messages"][:10]
    assert record["summary_covered"] == {"messages": 8, "of_messages": 10,
                                         "chars": len(cc.simple_extract(span)),
                                         "of_chars": len(cc._msgs_to_text(span))}


def test_report_says_how_much_of_the_span_the_summary_saw(tmp_path):
    """Bodies over the per-message bound and a transcript over the total one:
    the extract shows the first three lines whole and the start of the fourth."""
    conv = big_conversation()
    for i, m in enumerate(conv["messages"][:10]):
        if isinstance(m["content"], str):  # a path each, which only some of the lines seen hold
            m["content"] = m["content"][:7] + f" src/m{i}.py " + "z" * 3000
    path = write(tmp_path / "conv.json", conv)
    record = json.loads(run("--json", "--max-context", WINDOW, "--module-transcript", path).stdout)
    span = conv["messages"][:record["stats"]["compressed"]]
    selection = span[:3] + span[-5:]
    seen = cc.simple_extract(span)[:TRANSCRIPT_BOUND]
    assert len(cc._msgs_to_text(selection)) > TRANSCRIPT_BOUND
    full_lines = [f"[{m['role'] if m['role'] != 'tool' else 'tool_result'}] "
                  f"{m.get('tool_result') or m['content']}" for m in span
                  if isinstance(m["content"], str)]
    assert record["summary_covered"] == {
        "messages": sum(1 for line in seen.split("\n") if line.startswith("[")),
        "of_messages": len(span), "chars": TRANSCRIPT_BOUND,
        "of_chars": len("\n".join(full_lines)) + len("[user] 截图 ") + 1}
    assert record["summary_covered"]["messages"] == 4
    proc = run("--max-context", WINDOW, "--module-transcript", path)
    seen, of = facts.seen(span, cc.simple_extract(span))
    assert record["summary_facts"] == {"seen": seen, "of": of} and 0 < seen < of
    assert (f"summary saw   4 of {len(span)} messages, {seen} of {of} facts ({seen * 100 // of} %) "
            "in 8,000 characters") in proc.stdout.decode()


def test_window_still_over_the_threshold_is_reported():
    """The extract does not shrink with the window: at 4,096 tokens the sample
    stays over the threshold after compression."""
    proc = run(SAMPLE, "--max-context", "4096")
    _, stats, after = expected_after(json.loads(SAMPLE.read_text()), 4096)
    tokens = cc.estimate_tokens(cc.msgs_from_cut_time(after))
    assert proc.returncode == 0 and tokens > 3277
    # It names what keeps it over, as the compressor's reason does.
    largest = max(cc.estimate_tokens([m]) for m in cc.msgs_from_cut_time(after))
    assert (f"  still over the threshold: {tokens:,} tokens, threshold 3,277 of a 4,096 window: "
            in proc.stdout.decode())
    assert f"estimated at {largest:,} tokens, more than the keep budget of 1,024" in proc.stdout.decode()
    record = json.loads(run(SAMPLE, "--max-context", "4096", "--json").stdout)
    assert record["over_threshold"] is True and record["tokens_after"] == tokens


def test_conversation_without_timestamps_names_the_cause(tmp_path):
    conv = big_conversation()
    for m in conv["messages"]:
        m.pop("timestamp")
    path = write(tmp_path / "conv.json", conv)
    proc = run(path, "--max-context", WINDOW)
    out = proc.stdout.decode()
    assert proc.returncode == 0, proc.stderr
    assert f"{path}: not compressed: no message has a timestamp, so none is in the window" in out
    # No cut time is stored, so the host feeds every message to its LLM.
    tokens = cc.estimate_tokens(conv["messages"])
    assert f"tokens        {tokens:,} of a 2,000-token window" in out
    assert f"still over the threshold: {tokens:,} tokens" in out
    record = json.loads(run(path, "--max-context", WINDOW, "--json").stdout)
    assert (record["tokens_before"], record["over_threshold"]) == (tokens, True)


def test_output_file_is_the_rewritten_conversation_as_text(tmp_path):
    conv = big_conversation(cut_time="2024-05-01T09:00:00+00:00", extra={"k": "v"})
    path = write(tmp_path / "conv.json", conv, indent=4)
    before = snapshot(path)
    out = tmp_path / "out.json"
    proc = run(path, "-o", out, "--max-context", WINDOW)
    assert proc.returncode == 0, proc.stderr
    _, _, after = expected_after(conv)
    raw = out.read_bytes()
    assert json.loads(raw) == after
    # Keys keep their order (cut_time stays where it was), text stays text,
    # and the layout follows the input's.
    assert list(json.loads(raw)) == ["id", "title", "cut_time", "extra", "messages"]
    assert PREFIX.encode() in raw and b"\\u" not in raw
    assert raw.startswith(b'{\n    "id": "conv-1"') and raw.endswith(b"}\n")
    assert snapshot(path) == before


def test_compact_input_gives_compact_output(tmp_path):
    path = tmp_path / "conv.json"
    path.write_text(json.dumps(big_conversation(), ensure_ascii=False))
    run(path, "--in-place", "--max-context", WINDOW)
    raw = path.read_text(encoding="utf-8")
    assert "\n" not in raw and json.loads(raw) == expected_after(big_conversation())[2]


def test_output_of_an_uncompressed_file_is_an_exact_copy(tmp_path):
    path = write(tmp_path / "conv.json", small_conversation())
    out = tmp_path / "copy.json"
    assert run(path, "-o", out).returncode == 0
    assert out.read_bytes() == path.read_bytes()


def test_in_place_rewrites_atomically_and_keeps_permissions(tmp_path):
    path = write(tmp_path / "conv.json", big_conversation())
    path.chmod(0o640)
    proc = run(path, "--in-place", "--max-context", WINDOW)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(path.read_text()) == expected_after(big_conversation())[2]
    assert path.stat().st_mode & 0o777 == 0o640
    assert leftovers(tmp_path) == []


def test_standard_input_to_standard_output(tmp_path):
    data = json.dumps(big_conversation()).encode()
    proc = run("-", "-o", "-", "--max-context", WINDOW, stdin=data)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == expected_after(big_conversation())[2]
    assert b"<stdin>: compressed" in proc.stderr


# --- several files --------------------------------------------------------------------


def make_directory(tmp_path):
    d = tmp_path / "convs"
    d.mkdir()
    write(d / "a.json", big_conversation())
    write(d / "b.json", small_conversation())
    write(d / "c.json", big_conversation())
    (d / "d.json").write_text("{not json")
    (d / "notes.txt").write_text("not a conversation")
    return d


def test_directory_processes_every_file_despite_a_bad_one(tmp_path):
    d = make_directory(tmp_path)
    bad_before, notes_before = snapshot(d / "d.json"), snapshot(d / "notes.txt")
    proc = run(d, "--in-place", "--max-context", WINDOW)
    out, err = proc.stdout.decode(), proc.stderr.decode()
    assert proc.returncode == 2
    assert "4 files: 2 compressed, 1 not compressed, 1 failed" in out
    assert f"{d / 'd.json'}: not JSON" in err
    assert "\r" not in out + err  # no progress bar when piped
    expected = expected_after(big_conversation())[2]
    assert json.loads((d / "a.json").read_text()) == expected
    assert json.loads((d / "c.json").read_text()) == expected
    assert snapshot(d / "d.json") == bad_before and snapshot(d / "notes.txt") == notes_before


def test_several_files_to_an_output_directory(tmp_path):
    d = make_directory(tmp_path)
    (d / "d.json").unlink()
    out = tmp_path / "out"
    proc = run(d / "a.json", d / "b.json", "-o", out, "--json", "--max-context", WINDOW)
    assert proc.returncode == 0, proc.stderr
    records = [json.loads(line) for line in proc.stdout.splitlines()]
    assert [(r["file"], r["compressed"]) for r in records] == [
        (str(d / "a.json"), True), (str(d / "b.json"), False)]
    assert sorted(p.name for p in out.iterdir()) == ["a.json", "b.json"]
    assert (out / "b.json").read_bytes() == (d / "b.json").read_bytes()


def test_empty_directory_is_an_error_but_not_a_file(tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    proc = run(empty)
    assert proc.returncode == 2
    assert proc.stderr.decode() == f"context-compress: {empty}: no *.json files in this directory\n"
    assert proc.stdout == b""
    write(tmp_path / "b.json", small_conversation())
    proc = run(empty, tmp_path / "b.json")
    assert proc.returncode == 2
    assert proc.stdout.decode().endswith("\n1 file: 0 compressed, 1 not compressed, 0 failed\n")


def terminal_screen(output, columns):
    """The rows a terminal `columns` wide shows after `output`: a character
    written past the last column starts a new row, as terminals wrap."""
    rows, row, col = [], [], 0
    for ch in output:
        if ch == "\r":
            col = 0
        elif ch == "\n":
            rows.append("".join(row).rstrip())
            row, col = [], 0
        else:
            if col == columns:
                rows.append("".join(row).rstrip())
                row, col = [], 0
            row[col:col + 1] = [ch]
            col += 1
    if row:
        rows.append("".join(row).rstrip())
    return rows


def test_progress_bar_fits_a_narrow_terminal_and_clears(tmp_path):
    d = make_directory(tmp_path)
    (d / "d.json").unlink()
    columns = 50
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    try:
        proc = subprocess.Popen([COMMAND, str(d), "--max-context", WINDOW],
                                stdin=subprocess.DEVNULL, stdout=follower, stderr=follower,
                                env={**os.environ, "TERM": "xterm"})
        os.close(follower)
        chunks = []
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # EIO once the child has closed the terminal
                break
            if not chunk:
                break
            chunks.append(chunk)
        assert proc.wait(timeout=60) == 0
    finally:
        os.close(leader)
    output = b"".join(chunks).decode()
    assert "3/3 |" in output and "/convs/c.json" in output
    piped = run(d, "--max-context", WINDOW).stdout.decode()
    assert "\r" not in piped
    # What stays on the screen is the report alone, each line wrapped as the
    # terminal wraps it: no piece of a bar is left between them.
    expected = [line[i:i + columns].rstrip() for line in piped.splitlines()
                for i in range(0, len(line), columns)]
    assert terminal_screen(output, columns) == expected


# --- bad input ----------------------------------------------------------------------------


BAD_INPUTS = [
    ("not-json", b'{"messages": [', "not JSON: Expecting value at line 1 column 15"),
    ("empty", b"", "not JSON: the file is empty"),
    ("array", b"[1, 2]", "not a JSON object (found an array)"),
    ("messages-string", b'{"messages": "hi"}', '"messages" is not a list (found a string)'),
    ("no-messages", b'{"id": 1}', 'no "messages" key'),
    ("message-not-object", b'{"messages": [{"role": "user"}, 7]}',
     "message 2 is not an object (found a number)"),
    ("numeric-timestamp", b'{"cut_time": "2024", "messages": [{"timestamp": 5}]}',
     'message 1: "timestamp" is not a string (found a number)'),
    ("not-utf8", b'{"messages": ["\xff"]}', "not UTF-8 text"),
    # Numbers and keys that could not be written back as they were read.
    ("infinity", b'{"messages": [], "n": 1e400}', "the number 1e400 is out of range"),
    ("nan", b'{"messages": [], "n": NaN}', "not JSON: NaN is not a JSON value"),
    ("digits", b'{"messages": [], "n": 1.0000000000000000001}',
     "the number 1.0000000000000000001 has more digits than can be written back exactly"),
    ("long-int", b'{"messages": [], "n": ' + b"9" * 5000 + b"}",
     "a number of 5,000 digits is longer than the 4,300 this command reads"),
    ("duplicate-key", b'{"messages": [], "id": 1, "messages": []}',
     'the key "messages" appears twice in one object'),
]


@pytest.mark.parametrize("name, data, problem", BAD_INPUTS, ids=[b[0] for b in BAD_INPUTS])
def test_bad_input_is_one_line_exit_2_and_unchanged(tmp_path, name, data, problem):
    path = tmp_path / f"{name}.json"
    path.write_bytes(data)
    before = snapshot(path)
    proc = run(path, "--in-place")
    err = proc.stderr.decode()
    assert proc.returncode == 2
    assert err == f"context-compress: {path}: {problem}\n" or (
        err.startswith(f"context-compress: {path}: {problem}") and err.count("\n") == 1)
    assert "Traceback" not in err and proc.stdout == b""
    assert snapshot(path) == before and leftovers(tmp_path) == []


def test_numbers_and_layout_come_back_as_they_were(tmp_path):
    """Floats, big ints and negative zero keep their values; a byte-order mark
    and CRLF line ends stay."""
    conv = big_conversation(meta={"n": [1e5, 0.1, -0.0, 5e-324, 12345678901234567890]})
    text = json.dumps(conv, ensure_ascii=False, indent=2).replace("\n", "\r\n") + "\r\n"
    path = tmp_path / "conv.json"
    path.write_bytes(b"\xef\xbb\xbf" + text.encode())
    assert run(path, "--in-place", "--max-context", WINDOW).returncode == 0
    raw = path.read_bytes()
    assert raw.startswith(b"\xef\xbb\xbf{\r\n  \"id\"") and raw.endswith(b"}\r\n")
    assert b"\n" not in raw.replace(b"\r\n", b"")
    after = json.loads(raw.decode("utf-8-sig"))
    assert after == expected_after(conv)[2]
    assert repr(after["meta"]["n"]) == repr(conv["meta"]["n"])


def test_odd_streams_and_files_give_one_line_each(tmp_path):
    path = write(tmp_path / "conv.json", big_conversation())
    d = tmp_path / "convs"
    d.mkdir()
    write(d / "a.json", small_conversation())
    os.mkfifo(d / "b.json")
    closed = {fd: (lambda fd=fd: os.close(fd)) for fd in (0, 1)}
    # Standard input closed, though only a file is named; then when it is named.
    proc = run(path, "--max-context", WINDOW, preexec_fn=closed[0])
    assert proc.returncode == 0 and b"compressed" in proc.stdout
    proc = run("-", preexec_fn=closed[0])
    assert (proc.returncode, proc.stderr) == (2, b"context-compress: <stdin>: cannot read "
                                                 b"standard input: it is closed\n")
    # Standard output closed: the file is still written, and nothing breaks.
    proc = run(path, "--in-place", "--max-context", WINDOW, preexec_fn=closed[1])
    assert (proc.returncode, proc.stderr) == (0, DROPPED_NOTE.encode() + b"\n")
    assert json.loads(path.read_text()) == expected_after(big_conversation())[2]
    # A FIFO inside a directory is named and skipped, not waited on.
    proc = run(d)
    assert proc.returncode == 0
    assert proc.stderr.decode() == f"context-compress: {d / 'b.json'}: skipped: a FIFO, not a regular file\n"
    assert proc.stdout.decode().endswith("\n1 file: 0 compressed, 1 not compressed, 0 failed\n")
    # A file without end is bad input once past the bound.
    proc = run("/dev/zero", "--max-input-size", "1M")
    assert (proc.returncode, proc.stderr) == (2, b"context-compress: /dev/zero: larger than "
                                                 b"1,048,576 bytes (--max-input-size)\n")


def test_output_named_with_a_trailing_slash_is_a_directory(tmp_path):
    path = write(tmp_path / "conv.json", big_conversation())
    assert run(path, "-o", f"{tmp_path / 'out'}/", "--max-context", WINDOW).returncode == 0
    assert json.loads((tmp_path / "out" / "conv.json").read_text()) == expected_after(big_conversation())[2]


def test_unreadable_file_is_named(tmp_path):
    proc = run(tmp_path / "missing.json")
    assert proc.returncode == 2
    assert proc.stderr.decode() == (
        f"context-compress: {tmp_path / 'missing.json'}: cannot read: No such file or directory\n")


@pytest.mark.parametrize("args, message", [
    (["-", "--in-place"], "--in-place cannot rewrite standard input"),
    (["a.json", "--max-context", "0"], "must be greater than 0"),
    (["a.json", "b.json", "-o", "-"], "takes a single input file"),
    (["x.json", "--llm-url", "http://127.0.0.1:9/v1"], "--llm-url needs --model"),
])
def test_usage_errors_exit_2(tmp_path, args, message):
    proc = run(*args, cwd=tmp_path)
    assert proc.returncode == 2 and message in proc.stderr.decode()

"""`context-compress --check` end to end: a line per finding, nothing written, the exit status."""

import json

from context_compress.texts import SUMMARY_PREFIX as PREFIX
from shared import write
from test_command import run, small_conversation, snapshot


def stored_with_faults():
    """A stored history with one of each fault --check names, in order."""
    call = {"id": "c1", "type": "function", "function": {"name": "f", "arguments": "{}"}}
    return {"cut_time": "2024-05-01T10:00:01+00:00", "messages": [
        {"role": "user", "content": "hi", "timestamp": "2024-05-01T10:00:00+00:00"},
        {"role": "tool", "tool_call_id": "gone", "tool_result": "x", "timestamp": "2024-05-01T10:00:02+00:00"},
        {"role": "assistant", "content": "", "tool_calls": [call], "timestamp": "2024-05-01T10:00:03+00:00"},
        {"role": "user", "content": PREFIX + "s", "timestamp": "2024-05-01T10:00:04+00:00"},
        {"role": "tool", "tool_call_id": "c1", "tool_result": "ok", "timestamp": "2024-05-01T10:00:05+00:00"},
        {"role": "assistant", "content": "", "tool_calls": [call], "timestamp": "2024-05-01T10:00:04+00:00"},
        {"role": "user", "content": "bye"}]}


def test_check_names_each_finding_writes_nothing_and_sets_the_status(tmp_path):
    faulty, clean = write(tmp_path / "a.json", stored_with_faults()), write(tmp_path / "b.json", small_conversation())
    before = snapshot(faulty)
    proc = run("--check", faulty, clean)
    kinds = ["orphan_result", "result_without_call", "summary_in_tool_block", "unanswered_call",
             "timestamp_order", "duplicate_call_id", "missing_timestamp"]
    lines = proc.stdout.decode().splitlines()
    assert proc.returncode == 1 and snapshot(faulty) == before
    assert [line.split(": ")[1] for line in lines[:7]] == ["message 2"] * 2 + ["message 4"] + ["message 6"] * 3 + [
        "message 7"]
    assert lines[7:] == [f"{clean}: nothing to repair", "2 files: 1 with findings (7 in all), 1 without, 0 not read"]
    [record] = map(json.loads, run("--check", "--json", faulty).stdout.splitlines())
    assert [f["kind"] for f in record["findings"]] == kinds
    assert run("--check", clean).returncode == 0
    (tmp_path / "bad.json").write_text("{")
    assert run("--check", clean, tmp_path / "bad.json").returncode == 2
    assert run("--check", "--in-place", clean).returncode == 2


def test_check_names_what_one_api_would_repair_and_fails_for_it(tmp_path):
    # Nothing here misleads compression; each line is a repair of one or two APIs' request.
    stamp = "2024-05-01T10:00:00+00:00"
    call = {"id": "c1", "type": "function", "function": {"name": "f", "arguments": '{"n": NaN}'}}
    svg = {"type": "image_url", "image_url": {"url": "data:image/svg+xml;base64,PHN2Zz4="}}
    conv = {"cut_time": stamp, "messages": [{**m, "timestamp": stamp} for m in [
        {"role": "assistant", "content": "where were we"},
        {"role": "user", "content": [svg]},
        {"role": "assistant", "content": "", "tool_calls": [call]},
        {"role": "tool", "tool_call_id": "c1", "tool_result": "ok"}]]}
    proc = run("--check", write(tmp_path / "a.json", conv))
    lines = [line.split(": ", 1)[1] for line in proc.stdout.decode().splitlines()]
    assert proc.returncode == 1
    assert [line.split(":")[:2] for line in lines] == [
        ["message 1", " Anthropic and Gemini"], ["message 2", " Anthropic"], ["message 2", " Anthropic"],
        ["message 3", " Anthropic and Gemini"]]
    assert "user turn put first" in lines[0] and "dropped" in lines[1] and "'_raw_arguments'" in lines[3]

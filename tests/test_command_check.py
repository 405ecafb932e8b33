"""`context-compress --check` end to end: a line per finding, nothing written, the exit status."""

import json
from collections import Counter

from hypothesis import event, given
from hypothesis import strategies as st

from context_compress.cli.commands.check import RANGES_SHOWN, message_ranges
from context_compress.texts import SUMMARY_PREFIX as PREFIX
from context_compress.window import group_findings
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


# --- findings many messages share ---------------------------------------------------

NO_STAMP = "no timestamp: the window leaves it out once a cut time is set"


def test_identical_findings_share_one_line_and_json_keeps_every_one(tmp_path):
    # 240 messages without a stamp, but message 9, whose call finds no result.
    messages = [{"role": "user", "content": f"m{i}"} for i in range(240)]
    messages[8] = {"role": "assistant", "content": "", "timestamp": "2024-05-01T10:00:00+00:00",
                   "tool_calls": [{"id": "c1", "type": "function", "function": {"name": "f", "arguments": "{}"}}]}
    path = write(tmp_path / "a.json", {"cut_time": "2024-05-01T10:00:00+00:00", "messages": messages})
    proc = run("--check", path)
    assert proc.returncode == 1
    assert proc.stdout.decode().splitlines() == [
        f"{path}: messages 1-8, 10-240 (239 findings): {NO_STAMP}",
        f"{path}: message 9: tool call 'c1' dropped: no result came before the next turn"]
    [record] = map(json.loads, run("--check", "--json", path).stdout.splitlines())
    unstamped = [i for i in range(240) if i != 8]
    assert [(f["kind"], f["index"]) for f in record["findings"]] == [
        *(("missing_timestamp", i) for i in range(8)), ("unanswered_call", 8),
        *(("missing_timestamp", i) for i in range(9, 240))]
    assert record["groups"] == [
        {"kind": "missing_timestamp", "tool_call_id": None, "text": NO_STAMP, "apis": None, "count": 239,
         "indexes": unstamped},
        {"kind": "unanswered_call", "tool_call_id": "c1", "text": record["findings"][8]["text"], "apis": None,
         "count": 1, "indexes": [8]}]


findings = st.lists(st.fixed_dictionaries({
    "kind": st.sampled_from(["missing_timestamp", "dropped_part"]),
    "index": st.one_of(st.integers(0, 60), st.none()),
    "tool_call_id": st.sampled_from([None, "c1"]),
    "text": st.sampled_from(["no stamp", "image dropped"]),
    "apis": st.sampled_from([None, ["anthropic"], ["anthropic", "gemini"]])}), max_size=80)


def assert_ranges_name_exactly(named):
    shown = message_ranges(named)
    listed, _, more = shown.partition(" and ")
    back = [n - 1 for part in listed.split(", ") for a, _, b in [part.partition("-")]
            for n in range(int(a), int(b or a) + 1)]
    assert back == named[:len(back)] and len(back) + int(more.removesuffix(" more").replace(",", "") or 0) == len(named)
    assert listed.count(", ") < RANGES_SHOWN
    event("some runs counted" if more else "every run shown")


def spread(runs):
    """Indexes in runs of the lengths given, each after the gap given (1: it joins the run before)."""
    indexes, at = [], -1
    for gap, length in runs:
        indexes += range(at + gap, at + gap + length)
        at = indexes[-1]
    return indexes


@given(found=findings,
       many=st.lists(st.tuples(st.integers(1, 9), st.integers(1, 3)), min_size=12, max_size=45).map(spread))
def test_groups_hold_every_finding_once_and_name_their_messages(found, many):
    groups = group_findings(found)
    keys = [(g["kind"], g["tool_call_id"], g["text"], g["apis"]) for g in groups]
    assert len(set(map(repr, keys))) == len(keys)
    assert [g["count"] for g in groups] == [len(g["indexes"]) for g in groups]
    # Each finding is rebuilt from its group, in the order the groups first met them.
    rebuilt = Counter((g["kind"], i, g["tool_call_id"], g["text"], repr(g["apis"]))
                      for g in groups for i in g["indexes"])
    assert rebuilt == Counter((f["kind"], f["index"], f["tool_call_id"], f["text"], repr(f["apis"])) for f in found)
    firsts = [next(n for n, f in enumerate(found) if (f["kind"], f["tool_call_id"], f["text"], f["apis"]) == key)
              for key in keys]
    assert firsts == sorted(firsts)
    for g in groups:
        if named := sorted({i for i in g["indexes"] if i is not None}):
            assert_ranges_name_exactly(named)
    assert_ranges_name_exactly(many)

"""What the command says of a summary and of a conversation it leaves alone:
--facts, the facts the summary saw (`summary_facts`), and stamps the module
cannot order, in the reason line and in --check."""

import contextlib
import io
import json

import pytest

import routes.context_compress as cc
from context_compress import facts
from context_compress.cli import run as run_in_process
from context_compress.texts import SUMMARY_PREFIX as PREFIX
from fake_server import conversation
from shared import write
from test_command import run
from test_command_llm import run_command


def fact_conversation(tmp_path, name="conv"):
    """conversation() with a path, a URL and a figure in every message, at
    the same length: its oldest 10 messages are compressed."""
    conv = conversation()
    for i, m in enumerate(conv["messages"]):
        text = f"see src/pkg/mod_{i}.py and https://example.org/t/{i} took {i}.5 s " + m["content"]
        m["content"] = text[:len(m["content"])]
    return write(tmp_path / f"{name}.json", conv), conv["messages"][:10]


@pytest.mark.parametrize("with_facts", [False, True])
@pytest.mark.parametrize("mode", ["ok", "error", None])
def test_summary_facts_count_what_the_summary_was_written_from(server, tmp_path, mode, with_facts):
    """The LLM's summary is written from the text it was sent; the extract is what it holds."""
    path, span = fact_conversation(tmp_path)
    args = ["--json", "--in-place", *([] if with_facts else ["--module-transcript"])]
    proc = run_command(server, mode, path, *args) if mode else run(path, "--max-context", "2000", *args)
    record = json.loads(proc.stdout)
    sent = [r["body"]["messages"][1]["content"] for r in server.requests]
    transcript = facts.transcript if with_facts else cc._msgs_to_text
    assert sent == ([transcript(span)] if mode else [])
    [summary] = [m["content"] for m in json.loads(path.read_text())["messages"] if m["content"].startswith(PREFIX)]
    extract = (facts.extract if with_facts else cc.simple_extract)(span)
    assert (record["summary_source"] == "llm") == (mode == "ok")
    assert mode == "ok" or extract in summary
    seen, of = facts.seen(span, sent[0] if mode == "ok" else extract)
    assert record["summary_facts"] == {"seen": seen, "of": of} and of >= 30
    # The module's own transcript keeps the oldest 8,000 characters, all of this span.
    assert (seen == of) == (with_facts or mode == "ok")


def test_facts_are_installed_for_every_job_and_undone_after(server, tmp_path):
    paths = [fact_conversation(tmp_path, name)[0] for name in "ab"]
    own = cc._msgs_to_text, cc.simple_extract
    argv = [*map(str, paths), "--max-context", "2000", "--jobs", "2", "--llm-url",
            server.url("ok"), "--model", "m", "--api-key-env", "NO_SUCH_KEY_VARIABLE"]
    with contextlib.redirect_stdout(io.StringIO()) as out:
        assert run_in_process(argv) == 0
    assert (cc._msgs_to_text, cc.simple_extract) == own
    span = fact_conversation(tmp_path, "c")[1]
    assert [r["body"]["messages"][1]["content"] for r in server.requests] == [facts.transcript(span)] * 2
    assert out.getvalue().count(", 30 of 30 facts (100 %) in ") == 2


@pytest.mark.parametrize("stamp, words", [
    ("2025-03-01 09:00:00+00:00", "a space for 'T'"),
    ("2025-03-01T09:00:00", "no offset"),
])
def test_stamps_the_module_cannot_order_are_named(tmp_path, stamp, words):
    cut = "2025-03-01T09:00:00+00:00"
    conv = {"created_at": cut, "messages": [
        {"role": "user", "content": "y" * 400, "timestamp": stamp} for _ in range(15)]}
    path = write(tmp_path / "conv.json", conv)
    out = run(path, "--max-context", "2000").stdout.decode()
    assert (f"not compressed: message 1 is stamped {stamp!r} ({words}), in another layout than "
            f"the cut time {cut!r}") in out
    proc = run("--check", path)
    lines = proc.stdout.decode().splitlines()
    assert proc.returncode == 1 and len(lines) == 1  # one finding, shared by every message
    assert lines[0].startswith(f"{path}: messages 1-15 (15 findings): stamped {stamp!r} ({words})")
    [record] = map(json.loads, run("--check", "--json", path).stdout.splitlines())
    assert [(f["kind"], f["index"]) for f in record["findings"]] == [("timestamp_layout", i) for i in range(15)]

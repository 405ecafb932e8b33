"""What a host must know, as docs/window.md shows it: the window of a
compressed conversation as stored is refused by an OpenAI-compatible
endpoint, and the request context_compress.window builds from it is not
(examples/api_window.py sends it); and the docs keep up with the example
(docs/window.md) and with the command's --json fields (docs/command.md)."""

import json
import re
import subprocess
import types

import pytest

import routes.context_compress as cc
from context_compress import chat, window
from context_compress.texts import SUMMARY_PREFIX as PREFIX
from shared import COMMAND, ROOT, load_example

WINDOW_DOC = (ROOT / "docs" / "window.md").read_text(encoding="utf-8")
COMMAND_DOC = (ROOT / "docs" / "command.md").read_text(encoding="utf-8")
example = load_example("api_window")


def stamp(seconds):
    whole, frac = divmod(seconds, 1)
    fraction = f".{round(frac * 1e6):06d}" if frac else ""
    return f"2024-05-01T10:00:{int(whole):02d}{fraction}+00:00"


def tool_conversation():
    """Over 80 % of a 2000-token window. The kept tail starts at the result of
    call_a, whose call is compressed; call_b is stamped before the summary's
    stamp (new cut time + 1 s) and its result after it."""
    messages = [{"role": "user" if i % 2 == 0 else "assistant", "content": f"m{i} " + "x" * 600,
                 "timestamp": stamp(i)} for i in range(10)]
    messages += [
        {"role": "assistant", "content": "", "timestamp": stamp(10), "tool_calls": [
            {"id": "call_a", "type": "function",
             "function": {"name": "search_session", "arguments": "{}"}}]},
        {"role": "tool", "tool_call_id": "call_a", "content": "", "tool_result": "a" * 2800,
         "timestamp": stamp(11)},
        {"role": "assistant", "content": "", "timestamp": stamp(11.5), "tool_calls": [
            {"id": "call_b", "type": "function",
             "function": {"name": "read_file", "arguments": '{"path": "a.py"}'}}]},
        {"role": "tool", "tool_call_id": "call_b", "content": "", "tool_result": "b" * 1200,
         "timestamp": stamp(12.5)},
        {"role": "assistant", "content": "done " + "y" * 75, "timestamp": stamp(13)},
    ]
    return {"id": "c", "messages": messages}


def api_problems(messages):
    """What an OpenAI-compatible endpoint refuses in a message list: a tool
    result that does not answer a call of the assistant message before it, and
    any other message while calls still wait for their results."""
    problems, waiting = [], set()
    for i, m in enumerate(messages):
        if m.get("role") == "tool":
            if m.get("tool_call_id") not in waiting:
                problems.append(f"{i}: result without its call")
            waiting.discard(m.get("tool_call_id"))
            continue
        if waiting:
            problems.append(f"{i}: {m.get('role')} message before the results of {sorted(waiting)}")
        waiting = {c["id"] for c in m.get("tool_calls") or ()}
    if waiting:
        problems.append(f"end: no results for {sorted(waiting)}")
    return problems


def compressed_tool_conversation():
    conv = tool_conversation()
    with chat.blocked():
        compressed, stats = cc.cut_and_sum_history(conv, {"max_context": 2000})
    assert compressed and stats["new_cut_time"] == stamp(11)
    return conv


def test_window_is_refused_as_stored_and_accepted_as_built():
    conv = compressed_tool_conversation()
    window_ = cc.msgs_from_cut_time(conv)
    assert api_problems(window_) == ["0: result without its call",
                                     "2: user message before the results of ['call_b']",
                                     "3: result without its call"]
    report = []
    sent = window.for_openai(conv, report)["messages"]
    assert api_problems(sent) == []
    assert [m["role"] for m in sent] == ["user", "assistant", "tool", "assistant"]
    assert sent[0]["content"].startswith(PREFIX)
    assert sent[2] == {"role": "tool", "tool_call_id": "call_b", "content": "b" * 1200}
    assert [(r["kind"], r["index"], r["tool_call_id"]) for r in report] == [
        ("orphan_result", 0, "call_a"), ("summary_in_tool_block", 2, "call_b")]


@pytest.mark.parametrize("api, build", [("openai", window.for_openai), ("anthropic", window.for_anthropic),
                                        ("gemini", window.for_gemini)])
def test_example_sends_the_built_request_and_logs_the_report(api, build, caplog):
    sent = []
    call = lambda **request: sent.append(request) or "answer"  # noqa: E731
    client = types.SimpleNamespace(chat=types.SimpleNamespace(completions=types.SimpleNamespace(create=call)),
                                   messages=types.SimpleNamespace(create=call),
                                   models=types.SimpleNamespace(generate_content=call))
    conv = compressed_tool_conversation()
    assert example.send(client, api, "m", conv) == "answer"
    assert sent == [{"model": "m", **({"max_tokens": 4096} if api == "anthropic" else {}), **build(conv)}]
    assert [r.getMessage() for r in caplog.records] == [
        "message 0 left out or repaired: tool result 'call_a' dropped: its call is not in the assistant turn before it",
        "message 2 left out or repaired: summary sent first: it was stored between call 'call_b' and its result"]


def test_docs_show_the_tested_example_and_every_json_field(tmp_path):
    # The three calls of the window page are those of the example.
    calls = re.findall(r"^client\.(.+\*\*for_\w+\(conv)", WINDOW_DOC, re.M)
    source = (ROOT / "examples" / "api_window.py").read_text(encoding="utf-8")
    assert len(calls) == 3 and all(f"client.{c}" in source for c in calls)
    path = tmp_path / "conv.json"
    path.write_text(json.dumps(tool_conversation()))
    command = COMMAND
    record = json.loads(subprocess.run([command, "--json", "--max-context", "2000", path],
                                       capture_output=True, timeout=60).stdout)
    table = COMMAND_DOC[COMMAND_DOC.index("| Field |"):].split("\n\n")[0]
    documented = set(re.findall(r"`([\w.]+)`", "\n".join(
        row.split("|")[1] for row in table.splitlines()[2:])))
    assert documented == {*record, *(f"stats.{k}" for k in record["stats"]),
                          *(f"summary_covered.{k}" for k in record["summary_covered"]),
                          *(f"summary_facts.{k}" for k in record["summary_facts"]),
                          "error", "also"}  # only when a file fails, only when given under several names

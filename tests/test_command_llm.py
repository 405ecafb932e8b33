"""The command with an LLM (--llm-url) against the fake server: the key from
the environment and never shown, LLM failures reported and counted with the
extract written instead, a dead server asked once per run, redirects, the
token-limit name, proxies, control characters, and jobs."""

import json
import os
import signal
import subprocess
import time

import pytest

from context_compress.texts import SUMMARY_NOTE as NOTE, SUMMARY_PREFIX as PREFIX
from fake_server import CONTROLLING_TEXT, LLM_SUMMARY, Server, closed_port, conversation, running_server
from context_compress.cli.commands.compress import DROPPED_NOTE
from shared import COMMAND




def run_command(server, mode, path, *extra, read_timeout="0.5", env=None):
    env = {**os.environ, "TEST_LLM_KEY": "sk-from-env", **(env or {})}
    url = server.url(mode) if isinstance(server, Server) else server
    return subprocess.run(
        [COMMAND, str(path), "--max-context", "2000", "--llm-url", url,
         "--model", "test-model", "--api-key-env", "TEST_LLM_KEY", "--read-timeout", read_timeout,
         *extra],
        capture_output=True, text=True, env=env, timeout=30)


def conversation_file(tmp_path, name="conv", first=None):
    """tmp_path/<name>.json: conversation(), its first message's content `first` if given."""
    conv = conversation()
    conv["messages"][0]["content"] = first or conv["messages"][0]["content"]
    path = tmp_path / f"{name}.json"
    path.write_text(json.dumps(conv))
    return path


def three_files(tmp_path):
    return [conversation_file(tmp_path, name) for name in "abc"]


def test_command_uses_the_llm_with_the_key_from_the_environment(server, tmp_path):
    path = conversation_file(tmp_path)
    proc = run_command(server, "ok", path, "--in-place")
    assert proc.returncode == 0, proc.stderr
    assert f"summary       LLM: {LLM_SUMMARY}" in proc.stdout
    assert server.requests[0]["headers"]["authorization"] == "Bearer sk-from-env"
    written = json.loads(path.read_text())
    assert PREFIX + LLM_SUMMARY + NOTE in [m["content"] for m in written["messages"]]


@pytest.mark.parametrize("mode, reason", [
    ("error", "HTTP 500 Internal Server Error: model overloaded"),
    ("slow", "no complete answer within the read time-out of 0.5 s"),
    ("badjson", "response is not JSON"),
])
def test_command_reports_llm_failure_and_uses_the_extract(server, tmp_path, mode, reason):
    path = conversation_file(tmp_path)
    proc = run_command(server, mode, path, "--json")
    assert proc.returncode == 0, proc.stderr
    record = json.loads(proc.stdout)
    assert record["compressed"] is True
    assert record["summary_source"] == "extract"
    assert reason in record["llm_error"]


@pytest.mark.parametrize("required", [False, True], ids=["fallback", "llm-required"])
def test_command_names_an_llm_failure_on_every_file_and_counts_it(server, tmp_path, required):
    paths = three_files(tmp_path)
    before = [p.read_bytes() for p in paths]
    proc = run_command(server, "error", tmp_path, "--in-place",
                       *(["--llm-required"] if required else []))
    reason = "HTTP 500 Internal Server Error: model overloaded"
    lines = proc.stdout.splitlines()
    assert len(server.requests) == 3  # an error status is no reason to stop asking
    if not required:
        assert proc.returncode == 0, proc.stderr
        for path, line in zip(paths, lines):
            assert line.startswith(f"{path}: compressed")
            assert f"summary: extract (LLM failed: {reason})" in line
        assert lines[3] == ("3 files: 3 compressed, 3 of them with the extract after an LLM "
                            "failure, 0 not compressed, 0 failed")
        assert [p.read_bytes() for p in paths] != before
    else:
        assert proc.returncode == 1
        assert proc.stderr.splitlines() == [
            f"context-compress: {path}: no summary from the LLM (POST {server.url('error')}"
            f"/chat/completions: {reason}); with --llm-required nothing is written for this file"
            for path in paths]
        assert lines == ["3 files: 0 compressed, 0 not compressed, 3 failed"]
        assert [p.read_bytes() for p in paths] == before


def test_command_read_timeout_bounds_an_answer_that_trickles(server, tmp_path):
    """Without a bound on the whole answer, this run would outlast the test's
    own time-out: every single read gets its byte in time."""
    path = conversation_file(tmp_path)
    proc = run_command(server, "trickle", path, "--json", read_timeout="1")
    assert proc.returncode == 0, proc.stderr
    record = json.loads(proc.stdout)
    assert record["summary_source"] == "extract"
    assert "no complete answer within the read time-out of 1 s" in record["llm_error"]
    assert 0 < server.trickled < 300


@pytest.mark.parametrize("dead", ["silent", "refusing"])
def test_command_asks_a_dead_server_once_per_run(server, tmp_path, dead):
    paths = three_files(tmp_path)
    url = server.url("slow") if dead == "silent" else f"http://127.0.0.1:{closed_port()}/v1"
    first = ("no complete answer within the read time-out of 0.5 s" if dead == "silent"
             else "connection refused")
    proc = run_command(url, None, tmp_path, "--json")
    assert proc.returncode == 0, proc.stderr
    errors = [json.loads(line)["llm_error"] for line in proc.stdout.splitlines()]
    assert first in errors[0]
    for error in errors[1:]:
        assert error.startswith("not asked, since an earlier request of this run failed: POST ")
        assert first in error
    assert len(server.requests) == (1 if dead == "silent" else 0)


@pytest.mark.parametrize("as_json", [False, True], ids=["report", "json"])
@pytest.mark.parametrize("mode", ["echo401", "echo200"])
def test_command_never_prints_or_writes_the_key(server, tmp_path, mode, as_json):
    path = conversation_file(tmp_path)
    proc = run_command(server, mode, path, "--in-place", *(["--json"] if as_json else []))
    assert proc.returncode == 0, proc.stderr
    assert server.requests[0]["headers"]["authorization"] == "Bearer sk-from-env"
    shown = proc.stdout + proc.stderr
    assert "sk-from-env" not in shown and "sk-from-env" not in path.read_text()
    if mode == "echo401":
        assert "HTTP 401 Unauthorized: invalid key Bearer ***" in shown
    else:
        assert "summary for Bearer ***" in shown
        written = [m["content"] for m in json.loads(path.read_text())["messages"]]
        assert PREFIX + "summary for Bearer ***" + NOTE in written


def test_command_redirect_is_reported_and_not_followed(server, tmp_path):
    with running_server() as other_server:
        server.location = other_server.url("ok") + "/chat/completions"
        proc = run_command(server, "redirect302", conversation_file(tmp_path), "--json")
    record = json.loads(proc.stdout)
    assert record["summary_source"] == "extract"
    assert f"redirected to {server.location}: set --llm-url" in record["llm_error"]
    assert other_server.requests == []


def test_command_refuses_a_url_with_a_password_in_one_line(server, tmp_path):
    url = server.url("ok").replace("://", "://alice:pa55-word@")
    proc = subprocess.run([COMMAND, "x.json", "--llm-url", url, "--model", "m"],
                          capture_output=True, text=True, timeout=30, cwd=tmp_path)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.count("\n") == 1 and "--api-key-env" in proc.stderr
    assert "pa55-word" not in proc.stderr and "http://***@127.0.0.1" in proc.stderr
    assert server.requests == []


@pytest.mark.parametrize("choice, params, source", [
    # Refused once, then remembered: four requests for three files, not six.
    (None, ["max_tokens"] + ["max_completion_tokens"] * 3, "llm"),
    ("max_completion_tokens", ["max_completion_tokens"] * 3, "llm"),
    ("max_tokens", ["max_tokens"] * 3, "extract"),
])
def test_command_finds_the_token_limit_the_server_takes(server, tmp_path, choice, params,
                                                        source):
    three_files(tmp_path)
    extra = ["--token-limit-param", choice] if choice else []
    proc = run_command(server, "reasoning", tmp_path, "--json", *extra)
    assert proc.returncode == 0, proc.stderr
    assert [r["summary_source"] for r in map(json.loads, proc.stdout.splitlines())] == [source] * 3
    sent = [{k: v for k, v in r["body"].items() if "tokens" in k} for r in server.requests]
    assert sent == [{param: 2048} for param in params]


def test_command_reports_a_budget_spent_on_reasoning_as_an_llm_failure(server, tmp_path):
    path = conversation_file(tmp_path)
    proc = run_command(server, "length", path, "--reasoning-effort", "minimal")
    assert proc.returncode == 0, proc.stderr
    assert server.requests[0]["body"]["reasoning_effort"] == "minimal"
    assert ("LLM           not used: POST " + server.url("length") + "/chat/completions: "
            'the model reached its token limit before writing any text (finish_reason '
            '"length"); try --reasoning-effort low') in proc.stdout
    assert "summary       extract: " in proc.stdout


@pytest.mark.parametrize("jobs", ["1", "3"])
def test_command_in_place_writes_nothing_over_a_file_changed_meanwhile(server, tmp_path, jobs):
    paths = varied_files(tmp_path, 3)
    appended = json.loads(paths[1].read_bytes())
    appended["messages"].append({"role": "user", "content": "new", "timestamp": "2024-05-01T11:00:00+00:00"})
    changed = json.dumps(appended).encode()

    def meanwhile():  # while f1.json is being compressed, another process appends to it
        if "file 1 " in server.requests[-1]["body"]["messages"][1]["content"]:
            paths[1].write_bytes(changed)

    server.meanwhile = meanwhile
    proc = run_command(server, "append", tmp_path, "--in-place", "--jobs", jobs)
    assert proc.returncode == 1
    assert proc.stderr == (f"context-compress: {paths[1]}: changed while being compressed "
                           f"(another process wrote it); nothing written for it\n{DROPPED_NOTE}\n")
    assert paths[1].read_bytes() == changed
    assert [PREFIX in p.read_text() for p in paths] == [True, False, True]
    assert proc.stdout.splitlines()[-1] == "3 files: 2 compressed, 0 not compressed, 1 failed"


@pytest.mark.parametrize("key, status", [("sk-from-env\r\n", 0), ("sk-from\nenv", 2)])
def test_command_strips_the_key_and_refuses_one_with_a_control_character(server, tmp_path, key,
                                                                           status):
    path = conversation_file(tmp_path)
    proc = run_command(server, "ok", path, "--json", env={"TEST_LLM_KEY": key})
    assert proc.returncode == status
    if status:
        assert proc.stderr == ("context-compress: the API key in TEST_LLM_KEY holds a control "
                               "character (such as a line break inside it); it is not sent\n")
        assert server.requests == [] and proc.stdout == ""
    else:
        assert server.requests[0]["headers"]["authorization"] == "Bearer sk-from-env"


def test_command_masks_a_pasted_key_in_the_extract_it_writes(server, tmp_path):
    path = conversation_file(tmp_path, first=conversation()["messages"][0]["content"] + " my key is sk-from-env")
    proc = run_command(server, "error", path, "--in-place", "--json")
    assert json.loads(proc.stdout)["summary_source"] == "extract"
    written = json.loads(path.read_text())["messages"]
    [summary] = [m for m in written if m["content"].startswith(PREFIX)]
    assert "sk-from-env" not in summary["content"] and "my key is ***" in summary["content"]


def test_command_sends_loopback_past_a_proxy_and_warns_of_a_key_in_clear(server, tmp_path):
    paths = three_files(tmp_path)[:2]
    # A proxy that answers every request itself, as the LLM would.
    with running_server() as proxy:
        env = {"http_proxy": f"http://127.0.0.1:{proxy.server_address[1]}", "NO_PROXY": ""}
        proc = run_command(server, "ok", paths[0], env=env)
        assert proc.returncode == 0 and len(server.requests) == 1 and proxy.requests == []
        # Any other host goes through the proxy, key and all: said once per run.
        proc = run_command("http://api.example.invalid/ok/v1", None, tmp_path, "--json", env=env)
    assert proc.returncode == 0
    assert [r["summary_source"] for r in map(json.loads, proc.stdout.splitlines())] == ["llm"] * 3
    assert proc.stderr.count("the API key travels in clear through the proxy") == 1
    assert [r["path"] for r in proxy.requests] == ["http://api.example.invalid/ok/v1/chat/completions"] * 3


@pytest.mark.parametrize("as_json", [False, True], ids=["report", "json"])
def test_command_shows_control_characters_escaped(server, tmp_path, as_json):
    conv = conversation()
    conv["messages"][0]["content"] = "smile \ud83d " + conv["messages"][0]["content"]
    named = tmp_path / "a\x1b[2Jb\x07.json"
    named.write_text(json.dumps(conv))
    (tmp_path / "b.json").write_text(json.dumps(conversation()))
    extra = ["--json"] if as_json else []
    answered = run_command(server, "controls", tmp_path, *extra)
    failed = run_command(server, "error-controls", tmp_path / "b.json", *extra)
    for proc in (answered, failed):
        assert proc.returncode == 0, proc.stderr
        shown = proc.stdout + proc.stderr
        assert not any(c in shown for c in "\x1b\x07\x9b\ud83d")
    # The answer is shown escaped; a server's error message is shown plain,
    # its control characters as white space.
    assert ("\\u001b" if as_json else "\\x1b") in answered.stdout
    assert "HTTP 500 Internal Server Error: done ]0;owned [2J 31m red" in failed.stdout
    lines = answered.stdout.splitlines()
    if as_json:
        records = [json.loads(line) for line in lines]
        assert [r["summary_source"] for r in records] == ["llm", "llm"]
        assert records[0]["file"] == str(named) and CONTROLLING_TEXT in records[0]["summary_start"]
    else:
        assert lines[0].startswith(str(tmp_path / "a\\x1b[2Jb\\x07.json") + ": compressed")
    # The request went out with U+FFFD for the lone surrogate, and was answered.
    assert "smile \ufffd" in server.requests[0]["body"]["messages"][1]["content"]


def varied_files(tmp_path, count, hold=()):
    return [conversation_file(tmp_path, f"f{i}", ("hold " if i in hold else "") + f"file {i} " * (i + 1))
            for i in range(count)]


def test_command_jobs_write_and_report_as_one_job_does(server, tmp_path):
    paths = varied_files(tmp_path, 6)
    originals = [p.read_bytes() for p in paths]
    runs = []
    for jobs in ("1", "4"):
        for path, data in zip(paths, originals):
            path.write_bytes(data)
        proc = run_command(server, "vary", tmp_path, "--in-place", "--jobs", jobs, read_timeout="20")
        assert proc.returncode == 0, proc.stderr
        runs.append((proc.stdout, [p.read_bytes() for p in paths]))
    assert runs[0] == runs[1]
    assert runs[0][0].count("summary: LLM") == 6 and len(server.requests) == 12


def test_command_jobs_ask_a_dead_server_once_per_job(server, tmp_path):
    varied_files(tmp_path, 6)
    proc = run_command(server, "slow", tmp_path, "--json", "--jobs", "3")
    assert proc.returncode == 0, proc.stderr
    errors = [json.loads(line)["llm_error"] for line in proc.stdout.splitlines()]
    timed_out = [e for e in errors if "no complete answer within the read time-out" in e
                 and not e.startswith("not asked")]
    assert 1 <= len(timed_out) <= 3 and len(server.requests) == len(timed_out)
    assert all(e.startswith("not asked, since an earlier request") for e in errors if e not in timed_out)


def test_command_jobs_interrupted_write_nothing_half(server, tmp_path):
    paths = varied_files(tmp_path, 4, hold={1, 3})
    originals = [p.read_bytes() for p in paths]
    command = [COMMAND, str(tmp_path), "--max-context", "2000", "--llm-url", server.url("vary"),
               "--model", "m", "--in-place", "--jobs", "2", "--read-timeout", "50"]
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for _ in range(400):
        if len(server.requests) == 4:
            break
        time.sleep(0.05)
    time.sleep(0.3)  # the two answered files are written by now
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=10)
    assert proc.returncode == 130 and "interrupted by SIGINT" in err
    assert out.startswith(f"{paths[0]}: compressed")
    assert [p.read_bytes() == o for p, o in zip(paths, originals)] == [False, True, False, True]
    for written in (paths[0], paths[2]):
        assert any(m["content"].startswith(PREFIX) for m in json.loads(written.read_text())["messages"])
    assert not [p for p in tmp_path.iterdir() if p.name.endswith(".tmp")]


@pytest.mark.parametrize("status", [401, 403])
@pytest.mark.parametrize("variable, value, state", [
    ("TEST_LLM_KEY", None, "is not set"), ("TEST_LLM_KEY", "", "is empty"), ("OPENAI_API_KEY", None, "is not set")])
def test_a_refusal_without_a_key_names_the_variable_the_command_reads(server, tmp_path, status, variable, value,
                                                                      state):
    path = conversation_file(tmp_path)
    env = {k: v for k, v in os.environ.items() if k not in ("TEST_LLM_KEY", "OPENAI_API_KEY")}
    if value is not None:
        env[variable] = value
    named = ["--api-key-env", variable] if variable != "OPENAI_API_KEY" else []  # the default
    hint = f"no API key was sent: the environment variable {variable}, which the key is read from, {state}"
    command = [COMMAND, str(path), "--max-context", "2000", "--llm-url", server.url(f"status{status}"),
               "--model", "test-model", *named]
    proc = subprocess.run(command, capture_output=True, text=True, env=env, timeout=30)
    assert proc.returncode == 0, proc.stderr
    assert "authorization" not in server.requests[0]["headers"]
    url = server.url(f"status{status}")
    assert f"  LLM           not used: POST {url}/chat/completions: HTTP {status} " in proc.stdout
    assert f"request refused; {hint}\n" in proc.stdout
    record = json.loads(subprocess.run([*command, "--json"], capture_output=True, text=True, env=env,
                                       timeout=30).stdout)
    assert record["llm_error"].endswith(hint)
    required = subprocess.run([*command, "--llm-required"], capture_output=True, text=True, env=env, timeout=30)
    assert required.returncode == 1 and f"{hint}); with --llm-required nothing is written" in required.stderr


def test_a_refusal_of_a_key_that_was_sent_has_no_hint(server, tmp_path):
    proc = run_command(server, "status401", conversation_file(tmp_path), "--json")
    assert "HTTP 401 Unauthorized: request refused" in json.loads(proc.stdout)["llm_error"]
    assert "no API key" not in proc.stdout

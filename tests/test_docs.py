"""The documents hold together: every relative link of README.md and docs/
reaches a file, and a heading there when it names one (anchors as GitHub
makes them); every option of the command is in docs/command.md; the README's
quick start runs as written; the changelog's newest release is the version
the package reports."""

import importlib.metadata
import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

import context_compress
from shared import ROOT

DOCUMENTS = [ROOT / "README.md", ROOT / "CHANGELOG.md", *sorted((ROOT / "docs").glob("*.md"))]
README = (ROOT / "README.md").read_text(encoding="utf-8")

FENCED = re.compile(r"^ {0,3}(```|~~~).*?^ {0,3}\1[^\n]*$", re.M | re.S)
CODE_SPAN = re.compile(r"(`+)(?!`).+?(?<!`)\1(?!`)", re.S)
HEADING = re.compile(r"^ {0,3}#{1,6}[ \t]+(.+?)(?:[ \t]+#+)?[ \t]*$", re.M)
INLINE_LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\[\]]*\])*\]\(\s*<?([^()\s<>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)", re.M)


def sanitizer_environment():
    # A clean environment for the host, but under the sanitizer build the
    # interpreter only starts with the runtime preloaded and its options set.
    return {k: v for k, v in os.environ.items()
            if k == "LD_PRELOAD" or k.endswith("SAN_OPTIONS")}

def without_fences(text):
    return FENCED.sub("", text)


def anchors(text):
    """The ids GitHub gives the headings of a document: the heading's text as
    shown (code spans and links reduced to their text), lower-cased, with every
    character that is not a letter, digit, `_`, `-` or space dropped and each
    space made a `-`; a repeated id takes -1, -2, ... in order."""
    seen, ids = {}, set()
    for heading in HEADING.findall(without_fences(text)):
        shown = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading).replace("`", "")
        slug = re.sub(r"[^\w\- ]", "", shown.lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        ids.add(slug if count == 0 else f"{slug}-{count}")
    return ids


def broken_links(paths, root):
    """(document, target, why) for each relative link of the documents that
    leads nowhere: no such file, a file outside `root`, or no such heading."""
    broken = []
    for doc in paths:
        text = CODE_SPAN.sub("", without_fences(doc.read_text(encoding="utf-8")))
        for target in INLINE_LINK.findall(text) + REFERENCE.findall(text):
            if re.match(r"[a-z][a-z0-9+.-]*:", target, re.I):
                continue  # http:, https:, mailto: are not this suite's to check
            path, _, anchor = target.partition("#")
            file = (doc.parent / path).resolve() if path else doc
            if not file.is_relative_to(root) or not file.exists():
                broken.append((doc.name, target, "no such file"))
            elif anchor and (file.suffix != ".md" or anchor not in anchors(file.read_text(encoding="utf-8"))):
                broken.append((doc.name, target, "no such heading"))
    return broken


def test_every_relative_link_resolves():
    assert len(DOCUMENTS) > 5
    assert broken_links(DOCUMENTS, ROOT) == []


def test_a_broken_link_is_found(tmp_path):
    (tmp_path / "b.md").write_text("# The `--json` fields\n\n## Today's models\n\n## Today's models\n")
    (tmp_path / "a.md").write_text(textwrap.dedent("""\
        # Top

        [ok](b.md#the---json-fields) [ok](b.md#todays-models-1) [ok](#top) [ok](https://x.org/#y)
        [gone](missing.md) [gone](b.md#no-heading) [gone](#nowhere) [gone](../outside.md)
        ![gone](img/none.png) `[code](not-a-link.md)`

        [ref]: b.md#todays-models-2

        ```
        [code](not-a-link.md)
        # not a heading
        ```
        """))
    assert sorted(t for _, t, _ in broken_links([tmp_path / "a.md"], tmp_path)) == [
        "#nowhere", "../outside.md", "b.md#no-heading", "b.md#todays-models-2", "img/none.png", "missing.md"]


def help_options():
    """Every option string in the help's option lines (`-o, --output OUT`)."""
    text = subprocess.run([sys.executable, "-m", "context_compress", "--help"], capture_output=True,
                          text=True, timeout=60, check=True).stdout
    return {part.split()[0] for line in text.splitlines() if re.match(r" {2}-", line)
            for part in re.split(r"\s{2,}", line.strip())[0].split(", ")}


def undocumented(options, text):
    return sorted(o for o in options if not re.search(rf"(?<![\w-]){re.escape(o)}(?![\w-])", text))


def test_every_option_is_in_the_command_page():
    options = help_options()
    assert {"-h", "--help", "-o", "--output", "--check", "--calibrate", "--version"} <= options
    assert undocumented(options, (ROOT / "docs" / "command.md").read_text(encoding="utf-8")) == []
    # The check itself sees a missing option, and not --output in --output-dir.
    assert undocumented({"-o", "--output", "--jobs"}, "`--output-dir`, `-o` and ---jobs") == ["--jobs", "--output"]


def test_readme_stays_short_and_shows_the_command_in_brief():
    assert len(README.splitlines()) <= 250
    section = README.split("\n## The command\n")[1].split("\n## ")[0]
    for shown in ("--check", "--calibrate", "--version", "python -m context_compress", "(docs/command.md)"):
        assert shown in section


def readme_block(first_line):
    """The README's fenced Python block that starts with `first_line`."""
    blocks = [b for b in re.findall(r"^```python\n(.*?)^```", README, re.M | re.S) if b.startswith(first_line)]
    assert len(blocks) == 1, first_line
    return blocks[0]


def test_quick_start_runs_as_written(tmp_path):
    # The host's tree as the README draws it, with a stand-in for its LLM call
    # that records what it was asked.
    (tmp_path / "my_llm.py").write_text(textwrap.dedent("""\
        calls = []
        def complete(messages, model, max_tokens):
            calls.append({"messages": messages, "model": model, "max_tokens": max_tokens})
            return "  the summary  "
        """))
    routes = tmp_path / "routes"
    routes.mkdir()
    (routes / "__init__.py").write_text(readme_block("# routes/__init__.py of the host"))
    (routes / "chat.py").write_text(readme_block("# routes/chat.py of the host"))
    script = textwrap.dedent("""\
        import json, sys
        from context_compress import window
        from routes.context_compress import estimate_tokens, msgs_from_cut_time
        import my_llm
        namespace = {}
        exec(sys.argv[1], namespace)            # the README's conversation
        conv = namespace["conv"]
        shown = [len(msgs_from_cut_time(conv)), estimate_tokens(conv["messages"]) > 1500]
        report = []
        window.for_openai(conv, report)
        with open(sys.argv[3], encoding="utf-8") as f:
            sample = json.load(f)
        saved = []
        namespace = {"conv": sample, "save": saved.append}
        exec(sys.argv[2], namespace)            # the README's call, on the sample
        summary = [m for m in sample["messages"] if str(m["content"]).startswith("[上下文压缩摘要] ")]
        print(json.dumps({"shown": shown, "report": report, "compressed": namespace["compressed"],
                          "saved": len(saved), "window": len(namespace["request"]["messages"]),
                          "summary": summary[0]["content"].split("\\n")[0], "calls": my_llm.calls}))
        """)
    proc = subprocess.run(
        [sys.executable, "-c", script, readme_block("conv = {"),
         readme_block("from routes.context_compress import cut_and_sum_history"),
         str(ROOT / "examples" / "sample_conversation.json")],
        capture_output=True, text=True, timeout=120, cwd=tmp_path,
        env={"PYTHONPATH": str(tmp_path), "PATH": "", **sanitizer_environment()})
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    # The example conversation is a window the API accepts as it is.
    assert result["shown"] == [4, True] and result["report"] == []
    # The call compresses the sample through the host's routes.chat, once.
    assert result["compressed"] and result["saved"] == 1 and result["window"] > 1
    assert result["summary"] == "[上下文压缩摘要] the summary"
    [call] = result["calls"]
    assert call["model"] == "gpt-4o-mini" and call["max_tokens"] == 2048
    assert [m["role"] for m in call["messages"]] == ["system", "user"]


def test_compressor_quick_start_runs_as_written(tmp_path):
    # The README's Compressor block on the sample, with a stand-in for the
    # host's LLM call; no routes package of the host's.
    (tmp_path / "my_llm.py").write_text(textwrap.dedent("""\
        calls = []
        def complete(messages, model, max_tokens):
            calls.append({"roles": [m["role"] for m in messages], "model": model, "max_tokens": max_tokens})
            return "  the summary  "
        """))
    script = textwrap.dedent("""\
        import json, sys
        import my_llm
        with open(sys.argv[2], encoding="utf-8") as f:
            conv = json.load(f)
        saved = []
        namespace = {"conv": conv, "save": saved.append}
        exec(sys.argv[1], namespace)            # the README's block
        r = namespace["result"]
        summary = [m["content"] for m in conv["messages"] if str(m["content"]).startswith("[上下文压缩摘要] ")]
        print(json.dumps({"result": [r.compressed, r.summary_source, r.llm_error, r.reason, r.still_over],
                          "facts": r.summary_facts, "saved": len(saved), "summary": summary[0].split("\\n")[0],
                          "calls": my_llm.calls, "sent": namespace["request"]["messages"][0]["content"][:10]}))
        """)
    proc = subprocess.run(
        [sys.executable, "-c", script, readme_block("from context_compress import Compressor"),
         str(ROOT / "examples" / "sample_conversation.json")],
        capture_output=True, text=True, timeout=120, cwd=tmp_path,
        env={"PYTHONPATH": str(tmp_path), "PATH": "", **sanitizer_environment()})
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["result"] == [True, "llm", None, None, False] and out["saved"] == 1
    assert out["summary"] == "[上下文压缩摘要] the summary"
    assert 0 < out["facts"]["seen"] <= out["facts"]["of"]
    assert out["calls"] == [{"roles": ["system", "user"], "model": "gpt-4o-mini", "max_tokens": 2048}]
    assert out["sent"] == "[上下文压缩摘要] "  # the request to send opens with the summary


def test_plain_list_quick_start_runs_as_written(tmp_path, server):
    """The README's first block, with the official client against a loopback
    server that answers as the API does, on a long agent chat."""
    script = textwrap.dedent("""\
        import json, sys
        sys.path.insert(0, sys.argv[2])
        from test_plain_lists import Chat
        chat = Chat("openai", 7)
        messages = [{"role": "system", "content": "Be brief."}]
        for turn in range(500):
            messages.append(chat.user(turn))
            call, results = chat.calls(turn, 0)
            messages += [call, *results, chat.answer(turn)]
        before = messages
        namespace = {"messages": messages}
        exec(sys.argv[1], namespace)            # the README's block
        after = namespace["messages"]
        print(json.dumps({"before": len(before), "after": len(after), "first": after[0] is before[0],
                          "summary": after[1]["content"], "reply": namespace["reply"].choices[0].message.content}))
        """)
    proc = subprocess.run(
        [sys.executable, "-c", script, readme_block("from openai import OpenAI"), str(ROOT / "tests")],
        capture_output=True, text=True, timeout=120, cwd=tmp_path,
        env={"PATH": "", "OPENAI_API_KEY": "sk-readme", "OPENAI_BASE_URL": server.url("ok"),
             **sanitizer_environment()})
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["after"] < out["before"] and out["first"]
    assert out["summary"].startswith("[Summary of the earlier conversation] ")
    # The summary request, then the request of the block's own call.
    assert [r["body"]["model"] for r in server.requests] == ["gpt-4o-mini", "gpt-4o"]
    assert len(server.requests[1]["body"]["messages"]) == out["after"]


def test_one_version_everywhere():
    version = context_compress.__version__
    assert importlib.metadata.version("routes-context-compress") == version
    shown = subprocess.run([sys.executable, "-m", "context_compress", "--version"], capture_output=True,
                           text=True, timeout=60, check=True).stdout
    assert shown == f"context-compress {version}\n"
    # The changelog's newest release, below its Unreleased section.
    changelog = (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    released = re.findall(r"^## \[(\d+\.\d+\.\d+)\] - \d{4}-\d{2}-\d{2}$", changelog, re.M)
    assert released and released[0] == version


@pytest.mark.parametrize("document, start, end", [
    ("docs/benchmarks.md", "<!-- bench:start -->", "<!-- bench:end -->"),       # bench/readme.py
    ("docs/calibration.md", "<!-- accuracy:start -->", "<!-- accuracy:end -->"),  # bench/accuracy.py
])
def test_recorded_figures_have_their_place(document, start, end):
    text = (ROOT / document).read_text(encoding="utf-8")
    assert text.count(start) == 1 and text.count(end) == 1 and text.index(start) < text.index(end)

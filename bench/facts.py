"""How much of a compressed span's facts reach the summary: the module's own
transcript and extract against context_compress.facts.

    python bench/facts.py            # every session, then the speed on 1 MB
    python bench/facts.py --quick    # fewer timing runs

The sessions are bench/sessions/*.json (recorded by bench/sessions.py: every
tool output in them really ran) and examples/sample_conversation.json. For
each, the span is what cut_and_sum_history compresses with a window of 64,000
tokens, or 32,000 for a session too short to fill that; the run captures it
and the request text with a recording chat layer in place of routes.chat.

The facts are counted by an extractor of this file's own, written apart from
the recognisers of context_compress.facts (which are C++, token rules; these
are regular expressions over lines), so that the measure does not grade the
selection by its own rules: file paths, URLs, identifiers (snake_case,
camelCase, hashes, tickets), numbers with units, error lines (their first
100 characters) and the user's constraints (sentences of user messages). A
fact counts as seen when the text holds it verbatim. The library's own
count, facts.seen(), is shown beside it.

Writes bench/out/facts.md.
"""

from __future__ import annotations

import copy
import heapq
import json
import re
import sys
import time
from pathlib import Path

import routes.context_compress as cc

from context_compress import chat, facts
from context_compress.texts import SUMMARY_NOTE, SUMMARY_PREFIX

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OUT = HERE / "out"
SAMPLE = ROOT / "examples" / "sample_conversation.json"
QUICK = "--quick" in sys.argv

WINDOWS = (64_000, 32_000)
TRANSCRIPT_BUDGET, EXTRACT_BUDGET = 24_000, 8_000
GOALS = {"transcript": 0.90, "transcript_category": 0.85, "extract": 0.60, "ms_per_mb": 50.0}
CATEGORIES = ("paths", "urls", "identifiers", "numbers", "errors", "constraints")

# --- the measure's own fact extractor ---------------------------------------------

_URL = re.compile(r"\b(?:https?|ftp)://[^\s\"'<>()\[\]{},`]+")
_PATH = re.compile(r"(?<![\w/.:-])(?:~|\.{1,2})?/?(?:[A-Za-z0-9_.-]+/)+[A-Za-z0-9_.-]+/?")
_FILE = re.compile(r"(?<![\w/.-])[A-Za-z0-9_-]+(?:\.[A-Za-z0-9_-]+)*\.(?:py|pyi|c|h|cc|cpp|hpp|rs|go|java|js|ts|json|"
                   r"md|txt|toml|yaml|yml|cfg|ini|sh|log|lock|whl|so|sql|html|css|xml|csv|o|a)\b")
_SNAKE = re.compile(r"\b[A-Za-z][A-Za-z0-9]*(?:_[A-Za-z0-9]+)+\b")
_CAMEL = re.compile(r"\b[a-z]+(?:[A-Z][a-z0-9]+)+\b|\b(?:[A-Z][a-z0-9]+){2,}\b")
_HASH = re.compile(r"\b(?=[0-9a-f]*[a-f])(?=[0-9a-f]*[0-9])[0-9a-f]{7,40}\b")
_TICKET = re.compile(r"(?<![\w&])#\d{2,}\b|\b[A-Z]{2,}-\d+\b")
_NUMBER = re.compile(r"\b\d+(?:\.\d+)?\s?(?:ms|us|µs|ns|s|sec|seconds|min|minutes|h|hours|[KMGT]i?B|[KMG]|B|bytes|kB)\b"
                     r"|\b\d+(?:\.\d+)?\s?%|\b\d+m\d+\.\d+s\b")
_ERROR = re.compile(r"\b(?:[Ee]rror|ERROR|[Ee]xception|Traceback|FAILED|[Ff]ailed|[Ff]atal|panic(?:ked)?)\b|"
                    r"\w+(?:Error|Exception)\b|No such file|Permission denied|Segmentation fault|command not found|"
                    r"undefined reference|Aborted")
_CONSTRAINT = re.compile(r"(?i)\b(?:don't|do not|never|must|only|avoid|keep|without|make sure|at most|no more than)\b|"
                         r"不要|别|必须|只|保持|不能")
_SENTENCES = re.compile(r"[^.!?。！？\n]+[.!?。！？]?")


def texts_of(message: dict) -> tuple[str, list[str]]:
    """The role and the texts of a stored message: its body and its tool calls."""
    role = message.get("role")
    body = message.get("tool_result") if role == "tool" and message.get("tool_result") else message.get("content")
    if isinstance(body, list):
        body = " ".join(p.get("text", "") if isinstance(p, dict) else str(p) for p in body)
    texts = [body if isinstance(body, str) else str(body or "")]
    for call in message.get("tool_calls") or []:
        function = call.get("function") or {}
        texts.append(f"{function.get('name', '')} {function.get('arguments', '')}")
    return str(role), texts


def extract_facts(span: list[dict]) -> dict[str, set[str]]:
    found: dict[str, set[str]] = {name: set() for name in CATEGORIES}
    for message in span:
        role, texts = texts_of(message)
        for text in texts:
            urls = [m.group().rstrip(".,;:!?") for m in _URL.finditer(text)]
            found["urls"].update(urls)
            rest = _URL.sub(" ", text)
            for m in _PATH.finditer(rest):
                path = m.group().rstrip(".")
                if re.search(r"[A-Za-z]", path) and len(path) > 2:
                    found["paths"].add(path)
            found["paths"].update(m.group() for m in _FILE.finditer(rest))
            for pattern in (_SNAKE, _CAMEL, _HASH, _TICKET):
                found["identifiers"].update(m.group() for m in pattern.finditer(rest))
            found["numbers"].update(m.group() for m in _NUMBER.finditer(rest))
            for line in text.splitlines():
                if _ERROR.search(line) and line.strip():
                    found["errors"].add(line.strip()[:100])
            if role == "user" and not text.startswith(SUMMARY_PREFIX):
                for sentence in _SENTENCES.findall(text):
                    if _CONSTRAINT.search(sentence) and sentence.strip():
                        found["constraints"].add(sentence.strip())
    # A fact of two categories counts once, in the first.
    seen: set[str] = set()
    for name in ("urls", "paths", "identifiers", "numbers", "errors", "constraints"):
        found[name] -= seen
        seen |= found[name]
    return found


def ceiling(span: list[dict], budget: int) -> tuple[int, int]:
    """How many facts a greedy choice of whole lines, scored by this very
    extractor, fits in `budget` characters (markers and labels free): a
    ceiling for any selection of lines, not a design."""
    lines: list[tuple[int, set[str]]] = []
    for message in span:
        role, texts = texts_of(message)
        for text in texts:
            for line in text.split("\n"):
                found = set().union(*extract_facts([{"role": role, "content": line}]).values())
                if found:
                    lines.append((len(line) + 1, found))
    total = set().union(*(found for _, found in lines)) if lines else set()
    covered: set[str] = set()
    heap = [(-len(found) / cost, i) for i, (cost, found) in enumerate(lines)]
    heapq.heapify(heap)
    used = 0
    while heap:
        _, i = heapq.heappop(heap)
        cost, found = lines[i]
        fresh = len(found - covered)
        if not fresh:
            continue
        if heap and -fresh / cost > heap[0][0]:
            heapq.heappush(heap, (-fresh / cost, i))
            continue
        if used + cost <= budget:
            used += cost
            covered |= found
    return len(covered), len(total)


def share(found: dict[str, set[str]], text: str) -> dict[str, tuple[int, int]]:
    return {name: (sum(1 for fact in facts_ if fact in text), len(facts_)) for name, facts_ in found.items()}


def overall(counts: dict[str, tuple[int, int]]) -> tuple[int, int]:
    return sum(n for n, _ in counts.values()), sum(m for _, m in counts.values())


_MARKER = re.compile(r"^…\(\d+ lines? omitted\)$", re.M)
_LABEL = re.compile(r"^\[[^\]\n]*\] ", re.M)


def overhead(text: str) -> int:
    """Characters of `text` that are markers (with their line breaks) or
    labels: what a selection spends besides the lines it keeps, and what the
    ceiling counts as free."""
    return sum(len(m) + 1 for m in _MARKER.findall(text)) + sum(len(m) for m in _LABEL.findall(text))


# --- the span and what the summarizer is sent ---------------------------------------------

def estimate(conv: dict) -> int:
    return cc.estimate_tokens(conv["messages"])


def window_for(conv: dict) -> int:
    for window in WINDOWS:
        if estimate(conv) > 0.8 * window:
            return window
    raise SystemExit(f"{conv.get('id')}: too short to compress with a window of {WINDOWS[-1]} tokens")


def compress(conv: dict, window: int, installed: bool) -> tuple[list[dict], str, str]:
    """The span that cut_and_sum_history compresses, the text the summarizer
    is sent, and the summary text written when it answers nothing (the
    summary message without its prefix and note)."""
    sent: list[str] = []

    def recording(messages, cfg, stream=False):
        sent.append(messages[1]["content"])
        return {"choices": []}   # no summary: the extract is written

    work = copy.copy(conv)
    work["messages"] = list(conv["messages"])
    before = list(work["messages"])
    with chat.installed(recording):
        if installed:
            with facts.install(TRANSCRIPT_BUDGET, EXTRACT_BUDGET):
                done, _ = cc.cut_and_sum_history(work, {"max_context": window})
        else:
            done, _ = cc.cut_and_sum_history(work, {"max_context": window})
    assert done, conv.get("id")
    kept = {id(m) for m in work["messages"]}
    span = [m for m in before if id(m) not in kept]
    old = {id(m) for m in before}
    summary = next(m["content"] for m in work["messages"] if id(m) not in old)
    assert summary.startswith(SUMMARY_PREFIX) and summary.endswith(SUMMARY_NOTE)
    return span, sent[0], summary[len(SUMMARY_PREFIX):-len(SUMMARY_NOTE)]


def best_ms(fn, runs: int) -> float:
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best * 1000


# --- the run ---------------------------------------------------------------------------

def sessions() -> list[tuple[str, dict]]:
    found = [(p.stem, json.loads(p.read_text(encoding="utf-8"))) for p in sorted((HERE / "sessions").glob("*.json"))]
    return found + [("sample", json.loads(SAMPLE.read_text(encoding="utf-8")))]


def main() -> int:
    runs = 3 if QUICK else 10
    rows = []
    totals = {key: {name: [0, 0] for name in CATEGORIES} for key in ("module", "facts", "module_x", "facts_x")}
    lib_totals = {key: [0, 0] for key in ("module", "facts")}
    for name, conv in sessions():
        window = window_for(conv)
        span, module_sent, module_summary = compress(conv, window, installed=False)
        span2, facts_sent, facts_summary = compress(conv, window, installed=True)
        assert [id(m) for m in span] == [id(m) for m in span2]
        found = extract_facts(span)
        texts = {"module": module_sent, "facts": facts_sent, "module_x": module_summary, "facts_x": facts_summary}
        counts = {key: share(found, text) for key, text in texts.items()}
        for key in totals:
            for cat in CATEGORIES:
                totals[key][cat][0] += counts[key][cat][0]
                totals[key][cat][1] += counts[key][cat][1]
        lib = {key: facts.seen(span, texts[key]) for key in ("module", "facts")}
        for key in lib:
            lib_totals[key][0] += lib[key][0]
            lib_totals[key][1] += lib[key][1]
        times = {
            "module": best_ms(lambda: cc._msgs_to_text(span), runs),
            "facts": best_ms(lambda: facts.transcript(span, TRANSCRIPT_BUDGET), runs),
            "module_x": best_ms(lambda: cc.simple_extract(span), runs),
            "facts_x": best_ms(lambda: facts.extract(span, EXTRACT_BUDGET), runs),
        }
        span_chars = sum(len(t) for m in span for t in texts_of(m)[1])
        lib["ceiling"] = ceiling(span, TRANSCRIPT_BUDGET)
        lib["ceiling_x"] = ceiling(span, EXTRACT_BUDGET)
        for key in ("ceiling", "ceiling_x"):
            lib_totals.setdefault(key, [0, 0])
            lib_totals[key][0] += lib[key][0]
            lib_totals[key][1] += lib[key][1]
        rows.append((name, len(conv["messages"]), window, len(span), span_chars, counts, texts, times, lib))
        print(f"{name:10} {len(span):4} of {len(conv['messages'])} messages, {span_chars:>9,} characters: "
              + "  ".join(f"{key} {pct(overall(counts[key]))}" for key in texts)
              + f"  ceiling {pct(lib['ceiling'])} / {pct(lib['ceiling_x'])}", flush=True)
    speed = speed_run(runs)
    write(rows, totals, lib_totals, speed)
    return 0


def pct(pair: tuple[int, int]) -> str:
    n, m = pair
    return f"{100 * n / m:.0f} %" if m else "-"


_TOKEN = re.compile(r"[^\s\"'`()\[\]{}<>,;|]+")


def python_floor(texts: list[str]) -> int:
    """The least a selection written in Python would do on every line: find
    its tokens (nothing classified, no line chosen). Its time on 1 MB is what
    decided that the selection is C++."""
    count = 0
    for text in texts:
        for line in text.split("\n"):
            for _ in _TOKEN.finditer(line):
                count += 1
    return count


def speed_run(runs: int) -> dict:
    """A 1 MB span made of the sessions' messages, in turn, until it holds a
    million characters."""
    pool = [m for _, conv in sessions() for m in conv["messages"]]
    span, size, i = [], 0, 0
    while size < 1_000_000:
        m = pool[i % len(pool)]
        span.append(m)
        size += sum(len(t) for t in texts_of(m)[1])
        i += 1
    result = {"chars": size, "messages": len(span)}
    result["transcript_ms"] = best_ms(lambda: facts.transcript(span, TRANSCRIPT_BUDGET), runs)
    result["extract_ms"] = best_ms(lambda: facts.extract(span, EXTRACT_BUDGET), runs)
    sent = facts.transcript(span, TRANSCRIPT_BUDGET)
    result["seen_ms"] = best_ms(lambda: facts.seen(span, sent), max(runs // 3, 1))
    result["module_ms"] = best_ms(lambda: cc._msgs_to_text(span), runs)
    texts = [t for m in span for t in texts_of(m)[1]]
    result["python_floor_ms"] = best_ms(lambda: python_floor(texts), max(runs // 3, 1))
    print(f"1 MB span ({size:,} characters, {len(span)} messages): transcript {result['transcript_ms']:.1f} ms, "
          f"extract {result['extract_ms']:.1f} ms, seen {result['seen_ms']:.1f} ms", flush=True)
    return result


def short(pair: tuple[int, int], goal: str) -> str:
    """", N points short" when `pair` misses the goal, else ""."""
    n, m = pair
    gap = 100 * GOALS[goal] - 100 * n / m if m else 0
    return f", {gap:.0f} points short" if gap >= 0.5 else ""


def write(rows, totals, lib_totals, speed) -> None:
    OUT.mkdir(exist_ok=True)
    heads = {"module": "module transcript", "facts": "facts.transcript", "module_x": "module extract",
             "facts_x": "facts.extract"}
    lines = ["# What the summary is written from", "",
             f"Transcript budget {TRANSCRIPT_BUDGET:,} characters, extract budget {EXTRACT_BUDGET:,}; the module's "
             "transcript is at most 8,030 characters. Shares are of the span's facts found verbatim, counted by the "
             "benchmark's own extractor (bench/facts.py).", "",
             "## All sessions together, per category", "",
             "| category | facts | " + " | ".join(heads.values()) + " |",
             "|---|---:|" + "---:|" * len(heads)]
    for cat in CATEGORIES:
        m = totals["module"][cat][1]
        lines.append(f"| {cat} | {m:,} | " + " | ".join(pct(tuple(totals[k][cat])) for k in heads) + " |")
    all_ = {k: (sum(totals[k][c][0] for c in CATEGORIES), sum(totals[k][c][1] for c in CATEGORIES)) for k in heads}
    lines.append(f"| **all** | {all_['module'][1]:,} | " + " | ".join(f"**{pct(all_[k])}**" for k in heads) + " |")
    lines += ["", f"Ceiling (whole lines chosen greedily by this extractor, markers and labels free): "
              f"{pct(tuple(lib_totals['ceiling']))} at {TRANSCRIPT_BUDGET:,}, {pct(tuple(lib_totals['ceiling_x']))} at "
              f"{EXTRACT_BUDGET:,}.", "",
              "The library's own count (facts.seen) over the same spans: module transcript "
              f"{pct(tuple(lib_totals['module']))}, facts.transcript {pct(tuple(lib_totals['facts']))} "
              f"({lib_totals['facts'][0]:,} of {lib_totals['facts'][1]:,}).", "",
              "## Per session", "",
              "| session | messages | window | span | span characters | facts | " + " | ".join(heads.values())
              + " | ceiling 24,000 / 8,000 | markers and labels (facts / extract) "
                "| characters sent (module / facts / extracts) | ms (module / facts / extracts) |",
              "|---|---:|---:|---:|---:|---:|" + "---:|" * len(heads) + "---:|---:|---|---|"]
    for name, n, window, span, chars, counts, texts, times, lib in rows:
        facts_n = overall(counts["module"])[1]
        lines.append(f"| {name} | {n} | {window:,} | {span} | {chars:,} | {facts_n:,} | "
                     + " | ".join(pct(overall(counts[k])) for k in heads)
                     + f" | {pct(lib['ceiling'])} / {pct(lib['ceiling_x'])}"
                     + f" | {pct((overhead(texts['facts']), len(texts['facts'])))} / "
                       f"{pct((overhead(texts['facts_x']), len(texts['facts_x'])))}"
                     + f" | {len(texts['module']):,} / {len(texts['facts']):,} / {len(texts['module_x']):,} / "
                       f"{len(texts['facts_x']):,} | {times['module']:.2f} / {times['facts']:.1f} / "
                       f"{times['module_x']:.2f} / {times['facts_x']:.1f} |")
    lines += ["", "## Per session and category, facts.transcript / facts.extract", "",
              "| session | " + " | ".join(CATEGORIES) + " |", "|---|" + "---|" * len(CATEGORIES)]
    for name, *_, counts, texts, times, lib in [(r[0], *r[1:]) for r in rows]:
        lines.append(f"| {name} | " + " | ".join(
            f"{pct(counts['facts'][c])} / {pct(counts['facts_x'][c])} ({counts['facts'][c][1]})" for c in CATEGORIES)
            + " |")
    lines += ["", "## Speed", "",
              f"A span of {speed['chars']:,} characters in {speed['messages']} messages (the sessions' messages in "
              f"turn): facts.transcript {speed['transcript_ms']:.1f} ms, facts.extract {speed['extract_ms']:.1f} ms, "
              f"facts.seen of the transcript {speed['seen_ms']:.1f} ms; the module's transcript "
              f"{speed['module_ms']:.2f} ms. Goal: {GOALS['ms_per_mb']:.0f} ms.", "",
              f"Python or C++: merely finding the tokens of every line of that span in Python (one regular "
              f"expression, nothing classified or chosen) takes {speed['python_floor_ms']:.1f} ms, which is why "
              "the scan and the selection are C++ (context_compress._facts).", "",
              "## Goals", ""]
    # The sessions whose facts fit the transcript budget at all: there the
    # ceiling does not bound the goal, the selection does.
    fit = [r for r in rows if r[-1]["ceiling"][1] and r[-1]["ceiling"][0] >= 0.95 * r[-1]["ceiling"][1]]
    fit_cats = {c: (sum(r[5]["facts"][c][0] for r in fit), sum(r[5]["facts"][c][1] for r in fit)) for c in CATEGORIES}
    fit_all = overall(fit_cats)
    goal_lines = [
        f"- transcript overall {pct(all_['facts'])} (goal {GOALS['transcript']:.0%}{short(all_['facts'], 'transcript')})"
        f"; ceiling {pct(tuple(lib_totals['ceiling']))}",
        "- transcript per category: " + ", ".join(f"{c} {pct(tuple(totals['facts'][c]))}" for c in CATEGORIES)
        + f" (goal {GOALS['transcript_category']:.0%} each)",
        f"- on the {len(fit)} sessions whose facts fit (ceiling 95 % or more at {TRANSCRIPT_BUDGET:,}: "
        + ", ".join(r[0] for r in fit) + f"): transcript {pct(fit_all)}"
        f" (goal {GOALS['transcript']:.0%}{short(fit_all, 'transcript')}); per category "
        + ", ".join(f"{c} {pct(fit_cats[c])}{short(fit_cats[c], 'transcript_category')}" for c in CATEGORIES),
        f"- extract overall {pct(all_['facts_x'])} (goal {GOALS['extract']:.0%}{short(all_['facts_x'], 'extract')})"
        f"; ceiling {pct(tuple(lib_totals['ceiling_x']))}",
        f"- 1 MB span: transcript {speed['transcript_ms']:.1f} ms (goal {GOALS['ms_per_mb']:.0f} ms)",
    ]
    lines += goal_lines
    (OUT / "facts.md").write_text("\n".join(lines) + "\n", encoding="utf-8")
    print("\n".join(goal_lines))
    print(f"wrote {OUT / 'facts.md'}")


if __name__ == "__main__":
    raise SystemExit(main())

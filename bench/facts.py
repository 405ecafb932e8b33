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
import gc
import heapq
import json
import re
import sys
import time
from pathlib import Path

import routes.context_compress as cc

from context_compress import Compressor, chat, facts
from context_compress.texts import SUMMARY_NOTE, SUMMARY_PREFIX

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OUT = HERE / "out"
#: The measures of the first story-first selection, whose folds dropped the
#: values that vary (bench/out/facts.json of a run at commit 06057e5), shown
#: beside the current ones.
BEFORE = HERE / "facts_before.json"
SAMPLE = ROOT / "examples" / "sample_conversation.json"
QUICK = "--quick" in sys.argv

WINDOWS = (64_000, 32_000)
TRANSCRIPT_BUDGET, EXTRACT_BUDGET = 24_000, 8_000
GOALS = {"transcript": 0.88, "transcript_category": 0.80, "extract": 0.50, "user": 0.95, "assistant": 0.85,
         "again": 0.95, "ms_per_mb": 30.0}
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


def fact_lines(span: list[dict]) -> list[tuple[int, set[str]]]:
    """(cost, facts) of every line of the span that holds a fact, as this
    extractor counts them."""
    lines: list[tuple[int, set[str]]] = []
    for message in span:
        role, texts = texts_of(message)
        for text in texts:
            for line in text.split("\n"):
                found = set().union(*extract_facts([{"role": role, "content": line}]).values())
                if found:
                    lines.append((len(line) + 1, found))
    return lines


STORY_SHARE = 0.40


def story_first(span: list[dict], budget: int) -> tuple[int, set[str], list[tuple[int, set[str]]]]:
    """What a ceiling with the story first starts from: the story's cost, the
    facts it holds, and fact_lines() of the rest. The story is the users'
    messages and the assistant's prose, with their labels, kept whole when
    it fits STORY_SHARE of `budget`; a longer one takes that share and holds
    no fact for certain, its lines going with the rest."""
    size, held, rest, story_lines_ = 0, set(), [], []
    for message in span:
        role, texts = texts_of(message)
        story = role in ("user", "assistant") and texts[0]
        if story:
            size += len(f"[{role}] ") + len(texts[0]) + 1
            held |= set().union(*extract_facts([{"role": role, "content": texts[0]}]).values())
            story_lines_ += fact_lines([{"role": role, "content": texts[0]}])
        rest += fact_lines([{"role": role, "content": text} for text in (texts[1:] if story else texts)])
    if size > STORY_SHARE * budget:
        return int(STORY_SHARE * budget), set(), rest + story_lines_
    return size, held, rest


def ceiling(lines: list[tuple[int, set[str]]], budget: int, found: dict[str, set[str]],
            covered: set[str] | None = None) -> dict[str, tuple[int, int]]:
    """Per category, how many of the span's facts `found` a greedy choice of
    its whole `lines` (fact_lines), scored by this very extractor, fits in
    `budget` characters (markers and labels free), besides those `covered`
    already: a ceiling for any selection of lines, not a design."""
    covered = set(covered or ())
    heap = [(-len(facts_) / cost, i) for i, (cost, facts_) in enumerate(lines)]
    heapq.heapify(heap)
    used = 0
    while heap:
        _, i = heapq.heappop(heap)
        cost, facts_ = lines[i]
        fresh = len(facts_ - covered)
        if not fresh:
            continue
        if heap and -fresh / cost > heap[0][0]:
            heapq.heappush(heap, (-fresh / cost, i))
            continue
        if used + cost <= budget:
            used += cost
            covered |= facts_
    return {name: (len(facts_ & covered), len(facts_)) for name, facts_ in found.items()}


def share(found: dict[str, set[str]], text: str) -> dict[str, tuple[int, int]]:
    return {name: (sum(1 for fact in facts_ if fact in text), len(facts_)) for name, facts_ in found.items()}


def overall(counts: dict[str, tuple[int, int]]) -> tuple[int, int]:
    return sum(n for n, _ in counts.values()), sum(m for _, m in counts.values())


_MARKER = re.compile(r"^…\(\d+ lines?(?: omitted)?\)$", re.M)
_LABEL = re.compile(r"^\[[^\]\n]*\] ", re.M)


def overhead(text: str) -> int:
    """Characters of `text` that are markers (with their line breaks) or
    labels: what a selection spends besides the lines it keeps, and what the
    ceiling counts as free."""
    return sum(len(m) + 1 for m in _MARKER.findall(text)) + sum(len(m) for m in _LABEL.findall(text))


# --- the story and the repeats -----------------------------------------------------------

STORY_LINE = 20


def story_lines(span: list[dict]) -> dict[str, list[str]]:
    """The lines of the users' messages and of the assistant's prose (not its
    tool calls) of at least STORY_LINE characters, without the white space
    around them; a previous summary is not the user's."""
    lines: dict[str, list[str]] = {"user": [], "assistant": []}
    for message in span:
        role, texts = texts_of(message)
        if role not in lines or (role == "user" and texts[0].startswith(SUMMARY_PREFIX)):
            continue
        lines[role] += [line.strip() for line in texts[0].split("\n") if len(line.strip()) >= STORY_LINE]
    return lines


def verbatim(lines: list[str], text: str) -> tuple[int, int]:
    return sum(1 for line in lines if line in text), len(lines)


_SHAPE_PART = re.compile(r"[A-Za-z0-9]*[0-9][A-Za-z0-9]*")


def shape(line: str) -> str:
    """`line` with its numbers, ids and stamps (runs of letters and digits
    that hold a digit) as N, and its runs of white space as one space."""
    return " ".join(_SHAPE_PART.sub("N", line).split())


def repeat_spend(text: str) -> int:
    """Characters of `text` (with their line breaks) on lines that repeat: a
    line identical to an earlier one of the text, or one of the same shape
    as the line before it (differing only in numbers, ids or stamps; lines
    of numbers alone, a table's rows, are not counted). Labels are not part
    of a line; markers are not lines."""
    seen: set[str] = set()
    previous = None
    spent = 0
    for line in text.split("\n"):
        if _MARKER.fullmatch(line):
            previous = None
            continue
        body = _LABEL.sub("", line, count=1).strip()
        if not body:
            continue
        form = shape(body)
        if body in seen or (form == previous and re.search("[A-Za-z]{2}", form)):
            spent += len(line) + 1
        seen.add(body)
        previous = form
    return spent


def mentioned_again(found: dict[str, set[str]], kept: list[dict]) -> set[str]:
    """The span's facts that the messages kept after the compaction hold
    verbatim: what the conversation goes on about, which the summary most
    needs."""
    later = "\n".join(text for message in kept for text in texts_of(message)[1])
    return {fact for facts_ in found.values() for fact in facts_ if fact in later}


# --- why a category trails the ceiling --------------------------------------------------

_COMMENT = re.compile(r"^\s*(?:\d+[\t:| ]\s*)?(?:#(?![!#\d]|include|define|if|else|endif|pragma)|//|--\s|;\s|/\*|\*\s)")
REASONS = ("unrecognised", "repeated", "comment", "cut", "not chosen")


def why_missed(span: list[dict], found: dict[str, set[str]], text: str) -> dict[str, dict[str, int]]:
    """Per category, the span's facts missing from `text` by the first
    reason that holds, in this order:
    - unrecognised: no fact of the library (facts.find_facts) on a line that
      holds it is or holds the benchmark's fact, so the selection never
      valued it;
    - repeated: every line that holds it repeats an earlier line of the span,
      or stands in a run of three or more lines of the same shape;
    - comment: every line that holds it is a comment (a commented-out
      setting, a code comment);
    - cut: a line that holds it is kept in part (its first 40 characters
      stand in `text`), a piece of a long line;
    - not chosen: the lines that hold it were left out."""
    lines: list[tuple[str, bool, bool]] = []   # (line, user, repeat)
    seen: set[str] = set()
    for message in span:
        role, texts = texts_of(message)
        for body in texts:
            rows = body.split("\n")
            forms = [shape(r.strip()) for r in rows]
            for k, row in enumerate(rows):
                stripped = row.strip()
                run = sum(1 for j in (k - 2, k - 1, k + 1, k + 2) if 0 <= j < len(rows) and forms[j] == forms[k])
                repeat = stripped in seen or (run >= 2 and re.search("[A-Za-z]{2}", forms[k]) is not None)
                seen.add(stripped)
                lines.append((row, role == "user", repeat))
    reasons = {name: dict.fromkeys(REASONS, 0) for name in found}
    for name, facts_ in found.items():
        for fact in facts_:
            if fact in text:
                continue
            holders = [(row, user, repeat) for row, user, repeat in lines if fact in row]
            library = [g for row, user, _ in holders for g in set().union(*facts.find_facts(row, user=user).values())]
            if not any(fact in g for g in library):
                reason = "unrecognised"
            elif holders and all(repeat for _, _, repeat in holders):
                reason = "repeated"
            elif holders and all(_COMMENT.match(row) for row, _, _ in holders):
                reason = "comment"
            elif any(len(row.strip()) > 40 and row.strip()[:40] in text for row, _, _ in holders):
                reason = "cut"
            else:
                reason = "not chosen"
            reasons[name][reason] += 1
    return reasons


# --- the span and what the summarizer is sent ---------------------------------------------

def estimate(conv: dict) -> int:
    return cc.estimate_tokens(conv["messages"])


def window_for(conv: dict) -> int:
    for window in WINDOWS:
        if estimate(conv) > 0.8 * window:
            return window
    raise SystemExit(f"{conv.get('id')}: too short to compress with a window of {WINDOWS[-1]} tokens")


def compress(conv: dict, window: int, installed: bool) -> tuple[list[dict], str, str, list[dict]]:
    """The span that cut_and_sum_history compresses, the text the summarizer
    is sent, the summary text written when it answers nothing (the summary
    message without its prefix and note), and the messages kept after it."""
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
    later = [m for m in work["messages"] if id(m) in old]
    return span, sent[0], summary[len(SUMMARY_PREFIX):-len(SUMMARY_NOTE)], later


def compressor_later(conv: dict, window: int) -> tuple[list[dict], list[dict]]:
    """The span and the `later` that a Compressor (facts=True) gives the
    fact-keeping transcript: the messages it keeps after the span."""
    given: list[tuple[list[dict], list[dict]]] = []
    transcript = facts.transcript

    def recording(span, budget=TRANSCRIPT_BUDGET, *, later=None):
        given.append((list(span), list(later or ())))
        return transcript(span, budget, later=later)

    work = copy.copy(conv)
    work["messages"] = list(conv["messages"])
    facts.transcript = recording
    try:
        Compressor(lambda messages, cfg: "", window).compress(work)
    finally:
        facts.transcript = transcript
    assert given, conv.get("id")
    return given[0]


def best_ms(fn, runs: int) -> float:
    """The best of `runs` calls of `fn`, in ms, with the collector off while
    each runs, as timeit has it: a collection of the benchmark's own objects
    (every session, parsed) is not the selection's cost."""
    best = float("inf")
    for _ in range(runs):
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            fn()
            best = min(best, time.perf_counter() - start)
        finally:
            gc.enable()
    return best * 1000


# --- the run ---------------------------------------------------------------------------

def sessions() -> list[tuple[str, dict]]:
    found = [(p.stem, json.loads(p.read_text(encoding="utf-8"))) for p in sorted((HERE / "sessions").glob("*.json"))]
    return found + [("sample", json.loads(SAMPLE.read_text(encoding="utf-8")))]


def main() -> int:
    runs = 3 if QUICK else 10
    rows = []
    for name, conv in sessions():
        window = window_for(conv)
        span, module_sent, module_summary, later = compress(conv, window, installed=False)
        span2, facts_sent, facts_summary, _ = compress(conv, window, installed=True)
        assert [id(m) for m in span] == [id(m) for m in span2]
        # What a Compressor sends: the same selection, given the messages it
        # keeps after the span.
        span3, kept = compressor_later(conv, window)
        assert [id(m) for m in span] == [id(m) for m in span3]
        found = extract_facts(span)
        texts = {"module": module_sent, "facts": facts_sent, "module_x": module_summary, "facts_x": facts_summary,
                 "later": facts.transcript(span, TRANSCRIPT_BUDGET, later=kept),
                 "later_x": facts.extract(span, EXTRACT_BUDGET, later=kept)}
        row = {"name": name, "messages": len(conv["messages"]), "window": window, "span": len(span),
               "chars": sum(len(t) for m in span for t in texts_of(m)[1]),
               "counts": {key: share(found, text) for key, text in texts.items()},
               "sent": {key: len(text) for key, text in texts.items()},
               "overhead": {key: overhead(texts[key]) for key in ("facts", "facts_x", "later", "later_x")},
               "seen": {key: facts.seen(span, texts[key]) for key in ("module", "facts", "later")}}
        row["times"] = {
            "module": best_ms(lambda: cc._msgs_to_text(span), runs),
            "facts": best_ms(lambda: facts.transcript(span, TRANSCRIPT_BUDGET), runs),
            "module_x": best_ms(lambda: cc.simple_extract(span), runs),
            "facts_x": best_ms(lambda: facts.extract(span, EXTRACT_BUDGET), runs),
            "later": best_ms(lambda: facts.transcript(span, TRANSCRIPT_BUDGET, later=kept), runs),
        }
        lines = fact_lines(span)
        row["ceiling"] = ceiling(lines, TRANSCRIPT_BUDGET, found)
        row["ceiling_x"] = ceiling(lines, EXTRACT_BUDGET, found)
        # The ceiling once the story is kept whole: what its lines hold, and
        # the rest of the budget (none when the story alone exceeds it).
        size, held, rest = story_first(span, TRANSCRIPT_BUDGET)
        row["ceiling_story"] = ceiling(rest, TRANSCRIPT_BUDGET - size, found, held)
        story = story_lines(span)
        row["story"] = {key: {role: verbatim(story[role], texts[key]) for role in story}
                        for key in ("facts", "facts_x", "later", "later_x")}
        again = mentioned_again(found, kept)
        row["again"] = {key: (sum(1 for fact in again if fact in texts[key]), len(again))
                        for key in ("facts", "facts_x", "later", "later_x")}
        row["repeats"] = {key: repeat_spend(texts[key]) for key in ("facts", "facts_x", "later", "later_x")}
        row["missed"] = why_missed(span, found, facts_sent)
        row["missed_later"] = why_missed(span, found, texts["later"])
        rows.append(row)
        print(f"{name:10} {len(span):4} of {len(conv['messages'])} messages, {row['chars']:>9,} characters: "
              + "  ".join(f"{key} {pct(overall(row['counts'][key]))}" for key in texts)
              + f"  ceiling {pct(overall(row['ceiling']))} / {pct(overall(row['ceiling_x']))}"
              + f" (story kept {pct(overall(row['ceiling_story']))})"
              + f"  user {pct(row['story']['facts']['user'])} assistant {pct(row['story']['facts']['assistant'])}"
              + f"  again {pct(row['again']['facts'])} / {pct(row['again']['later'])}"
              + f"  repeats {row['repeats']['facts']:,}", flush=True)
    # The megabyte's timings take the best of more runs: the machine is
    # shared, and a run that another job slowed tells nothing of the code.
    speed = speed_run(3 * runs)
    result = {"rows": rows, "speed": speed}
    OUT.mkdir(exist_ok=True)
    (OUT / "facts.json").write_text(json.dumps(result, indent=1) + "\n", encoding="utf-8")
    before = json.loads(BEFORE.read_text(encoding="utf-8")) if BEFORE.exists() else None
    write(result, before)
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
    # What a Compressor keeps after such a span: the messages that follow it,
    # a quarter of its size.
    later, later_size = [], 0
    while later_size < size // 4:
        m = pool[i % len(pool)]
        later.append(m)
        later_size += sum(len(t) for t in texts_of(m)[1])
        i += 1
    result = {"chars": size, "messages": len(span), "later_chars": later_size, "later_messages": len(later)}
    result["transcript_ms"] = best_ms(lambda: facts.transcript(span, TRANSCRIPT_BUDGET), runs)
    result["extract_ms"] = best_ms(lambda: facts.extract(span, EXTRACT_BUDGET), runs)
    result["later_ms"] = best_ms(lambda: facts.transcript(span, TRANSCRIPT_BUDGET, later=later), runs)
    result["later_x_ms"] = best_ms(lambda: facts.extract(span, EXTRACT_BUDGET, later=later), runs)
    sent = facts.transcript(span, TRANSCRIPT_BUDGET)
    result["seen_ms"] = best_ms(lambda: facts.seen(span, sent), max(runs // 3, 1))
    result["module_ms"] = best_ms(lambda: cc._msgs_to_text(span), runs)
    texts = [t for m in span for t in texts_of(m)[1]]
    result["python_floor_ms"] = best_ms(lambda: python_floor(texts), max(runs // 3, 1))
    print(f"1 MB span ({size:,} characters, {len(span)} messages): transcript {result['transcript_ms']:.1f} ms, "
          f"extract {result['extract_ms']:.1f} ms, seen {result['seen_ms']:.1f} ms; with later "
          f"{result['later_ms']:.1f} / {result['later_x_ms']:.1f} ms", flush=True)
    return result


def short(pair: tuple[int, int], goal: str) -> str:
    """", N points short" when `pair` misses the goal, else ""."""
    n, m = pair
    gap = 100 * GOALS[goal] - 100 * n / m if m else 0
    return f", {gap:.0f} points short" if gap >= 0.5 else ""


def total(rows: list[dict], get) -> tuple[int, int]:
    """The sum over `rows` of the (found, of) pairs `get(row)`."""
    pairs = [get(row) for row in rows]
    return sum(p[0] for p in pairs), sum(p[1] for p in pairs)


def was(before: dict | None, get, rows: list[dict] | None = None) -> str:
    """The share of the run `before` (total() over its rows of `get`, or over
    the rows named as in `rows`), as "N % → ", or "" without one."""
    if not before:
        return ""
    names = {row["name"] for row in rows} if rows is not None else None
    old = [row for row in before["rows"] if names is None or row["name"] in names]
    try:
        return pct(total(old, get)) + " → "
    except KeyError:
        return ""


def write(result: dict, before: dict | None) -> None:
    rows, speed = result["rows"], result["speed"]
    heads = {"module": "module transcript", "facts": "facts.transcript", "later": "with later",
             "module_x": "module extract", "facts_x": "facts.extract", "later_x": "with later"}
    then = " (before → now)" if before else ""
    lines = ["# What the summary is written from", "",
             f"Transcript budget {TRANSCRIPT_BUDGET:,} characters, extract budget {EXTRACT_BUDGET:,}; the module's "
             "transcript is at most 8,030 characters. Shares are of the span's facts found verbatim, counted by the "
             "benchmark's own extractor (bench/facts.py). The ceiling is a greedy choice of whole lines by that "
             "extractor, markers and labels free; \"the same, story kept\" once the story (users' messages and "
             "the assistant's prose, labelled) is kept whole, in what is left of the budget. \"With later\": the "
             "same selection given the messages a Compressor keeps after the span (`later=`), as a Compressor "
             "calls it; without, as facts.install() and the module's one-argument calls have it."
             + (" Before: bench/facts_before.json, the first story-first selection, whose folds dropped the values "
                "that vary." if before else ""), "",
             "## All sessions together, per category", "",
             f"| category | facts | module transcript | facts.transcript{then} | with later "
             f"| ceiling {TRANSCRIPT_BUDGET:,} | the same, story kept | module extract | facts.extract{then} "
             f"| with later | ceiling {EXTRACT_BUDGET:,} |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for cat in (*CATEGORIES, None):
        def get(key, cat=cat):
            return lambda row: row["counts"][key][cat] if cat else overall(row["counts"][key])
        ceil = (lambda row, cat=cat: row["ceiling"][cat] if cat else overall(row["ceiling"]))
        ceil_x = (lambda row, cat=cat: row["ceiling_x"][cat] if cat else overall(row["ceiling_x"]))
        ceil_s = (lambda row, cat=cat: row["ceiling_story"][cat] if cat else overall(row["ceiling_story"]))
        cells = [pct(total(rows, get("module"))), was(before, get("facts")) + pct(total(rows, get("facts"))),
                 pct(total(rows, get("later"))), pct(total(rows, ceil)), pct(total(rows, ceil_s)),
                 pct(total(rows, get("module_x"))), was(before, get("facts_x")) + pct(total(rows, get("facts_x"))),
                 pct(total(rows, get("later_x"))), pct(total(rows, ceil_x))]
        label = cat or "**all**"
        lines.append(f"| {label} | {total(rows, get('module'))[1]:,} | " + " | ".join(cells) + " |")

    lines += ["", "## The story", "",
              f"User lines and lines of the assistant's prose (its text, not its tool calls) of {STORY_LINE} "
              "characters or more that stand verbatim in what the summarizer is sent" + then + ".", "",
              "| session | user lines | transcript | with later | extract | with later | assistant lines | transcript "
              "| with later | extract | with later |",
              "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for row in [*rows, None]:
        scope = [row] if row else rows
        cells = []
        for role in ("user", "assistant"):
            cells.append(f"{total(scope, lambda r: r['story']['facts'][role])[1]:,}")
            for key in ("facts", "later", "facts_x", "later_x"):
                get = (lambda r, key=key, role=role: r["story"][key][role])
                cells.append((was(before, get, scope) if key in ("facts", "facts_x") else "") + pct(total(scope, get)))
        lines.append(f"| {row['name'] if row else '**all**'} | " + " | ".join(cells) + " |")

    lines += ["", "## What the conversation mentions again", "",
              "The span's facts that the messages kept after the compaction hold verbatim (the conversation goes on "
              "about them), and the share of those in what the summarizer is sent" + then + ".", "",
              "| session | facts mentioned again | transcript | with later | extract | with later |",
              "|---|---:|---:|---:|---:|---:|"]
    for row in [*rows, None]:
        scope = [row] if row else rows
        cells = [(was(before, (lambda r, key=key: r["again"][key]), scope) if key in ("facts", "facts_x") else "")
                 + pct(total(scope, lambda r, key=key: r["again"][key])) for key in ("facts", "later", "facts_x", "later_x")]
        lines.append(f"| {row['name'] if row else '**all**'} | {total(scope, lambda r: r['again']['facts'])[1]:,} | "
                     + " | ".join(cells) + " |")

    old_rows = {row["name"]: row for row in before["rows"]} if before else {}
    lines += ["", "## Repeats", "",
              "Characters of the text on lines that repeat: identical to an earlier line, or of the same shape as "
              "the line before (differing only in numbers, ids or stamps)" + then + ".", "",
              "| session | transcript | with later | extract | with later |", "|---|---:|---:|---:|---:|"]
    for row in rows:
        old = old_rows.get(row["name"], {}).get("repeats")
        cells = [(f"{old[key]:,} → " if old and key in old else "") + f"{row['repeats'][key]:,} "
                 f"({pct((row['repeats'][key], row['sent'][key]))} of {row['sent'][key]:,})"
                 for key in ("facts", "later", "facts_x", "later_x")]
        lines.append(f"| {row['name']} | " + " | ".join(cells) + " |")

    lines += ["", "## Why a category's facts are missing from the transcript", "",
              "The span's facts that facts.transcript misses (without later / with later), by the first reason that "
              "holds (bench/facts.py, why_missed): the library does not recognise them as facts; every line holding "
              "them is a repeat; every line holding them is a comment; a line holding them is kept in part; their "
              "lines were not chosen.", "",
              "| category | missed | " + " | ".join(REASONS) + " |", "|---|---:|" + "---:|" * len(REASONS)]
    for cat in CATEGORIES:
        counts = {key: {reason: sum(row[key][cat][reason] for row in rows) for reason in REASONS}
                  for key in ("missed", "missed_later")}
        lines.append(f"| {cat} | {sum(counts['missed'].values()):,} / {sum(counts['missed_later'].values()):,} | "
                     + " | ".join(f"{counts['missed'][r]:,} / {counts['missed_later'][r]:,}" for r in REASONS) + " |")

    lines += ["", "## Per session", "",
              "| session | messages | window | span | span characters | facts | " + " | ".join(heads.values())
              + " | ceiling 24,000 / 8,000 | markers and labels (facts / extract) "
                "| characters sent (module / facts / extracts) | ms (module / facts / extracts) |",
              "|---|---:|---:|---:|---:|---:|" + "---:|" * len(heads) + "---:|---:|---|---|"]
    for row in rows:
        sent, times = row["sent"], row["times"]
        lines.append(f"| {row['name']} | {row['messages']} | {row['window']:,} | {row['span']} | {row['chars']:,} | "
                     f"{overall(row['counts']['module'])[1]:,} | "
                     + " | ".join(pct(overall(row["counts"][k])) for k in heads)
                     + f" | {pct(overall(row['ceiling']))} / {pct(overall(row['ceiling_x']))}"
                     + f" | {pct((row['overhead']['facts'], sent['facts']))} / "
                       f"{pct((row['overhead']['facts_x'], sent['facts_x']))}"
                     + f" | {sent['module']:,} / {sent['facts']:,} / {sent['module_x']:,} / {sent['facts_x']:,}"
                     + f" | {times['module']:.2f} / {times['facts']:.1f} / {times['module_x']:.2f} / "
                       f"{times['facts_x']:.1f} (with later {times['later']:.1f}) |")
    lines += ["", "## Per session and category, facts.transcript / facts.extract (ceiling 24,000), without later "
              "→ with later", "",
              "| session | " + " | ".join(CATEGORIES) + " |", "|---|" + "---|" * len(CATEGORIES)]
    for row in rows:
        lines.append(f"| {row['name']} | " + " | ".join(
            f"{pct(row['counts']['facts'][c])} / {pct(row['counts']['facts_x'][c])} → "
            f"{pct(row['counts']['later'][c])} / {pct(row['counts']['later_x'][c])} ({pct(row['ceiling'][c])} of "
            f"{row['counts']['facts'][c][1]})" for c in CATEGORIES) + " |")
    lib = total(rows, lambda r: r["seen"]["facts"])
    lib_later = total(rows, lambda r: r["seen"]["later"])
    lines += ["", f"The library's own count (facts.seen) over the same spans: module transcript "
              f"{pct(total(rows, lambda r: r['seen']['module']))}, facts.transcript {pct(lib)} ({lib[0]:,} of "
              f"{lib[1]:,}), with later {pct(lib_later)}.", "", "## Speed", "",
              f"A span of {speed['chars']:,} characters in {speed['messages']} messages (the sessions' messages in "
              f"turn): facts.transcript {speed['transcript_ms']:.1f} ms, facts.extract {speed['extract_ms']:.1f} ms, "
              f"facts.seen of the transcript {speed['seen_ms']:.1f} ms; the module's transcript "
              f"{speed['module_ms']:.2f} ms. Given as `later` the {speed['later_messages']} messages of "
              f"{speed['later_chars']:,} characters that follow it: facts.transcript {speed['later_ms']:.1f} ms, "
              f"facts.extract {speed['later_x_ms']:.1f} ms. Goal: {GOALS['ms_per_mb']:.0f} ms.", "",
              f"Python or C++: merely finding the tokens of every line of that span in Python (one regular "
              f"expression, nothing classified or chosen) takes {speed['python_floor_ms']:.1f} ms, which is why "
              "the scan and the selection are C++ (context_compress._facts).", "",
              "## Goals", ""]
    transcript = total(rows, lambda r: overall(r["counts"]["facts"]))
    extract = total(rows, lambda r: overall(r["counts"]["facts_x"]))
    transcript_later = total(rows, lambda r: overall(r["counts"]["later"]))
    extract_later = total(rows, lambda r: overall(r["counts"]["later_x"]))
    # The sessions whose facts fit the transcript budget at all: there the
    # ceiling does not bound the goal, the selection does.
    fit = [r for r in rows if overall(r["ceiling"])[1] and overall(r["ceiling"])[0] >= 0.95 * overall(r["ceiling"])[1]]
    fit_cats = {c: total(fit, lambda r, c=c: r["counts"]["facts"][c]) for c in CATEGORIES}
    fit_later = {c: total(fit, lambda r, c=c: r["counts"]["later"][c]) for c in CATEGORIES}
    user = total(rows, lambda r: r["story"]["later"]["user"])
    assistant = total(rows, lambda r: r["story"]["later"]["assistant"])
    again = total(rows, lambda r: r["again"]["facts"])
    again_later = total(rows, lambda r: r["again"]["later"])

    def category(key: str, c: str, scope: list[dict]) -> tuple[int, int]:
        return total(scope, lambda r: r["counts"][key][c])

    goal_lines = [
        "With later (as a Compressor calls it) first, without it (facts.install()) in parentheses:",
        f"- user lines {pct(user)} (goal {GOALS['user']:.0%}{short(user, 'user')}), assistant-prose lines "
        f"{pct(assistant)} (goal {GOALS['assistant']:.0%}{short(assistant, 'assistant')})",
        f"- transcript overall {pct(transcript_later)} ({pct(transcript)}) (goal {GOALS['transcript']:.0%}"
        f"{short(transcript_later, 'transcript')}); ceiling {pct(total(rows, lambda r: overall(r['ceiling'])))}, "
        f"with the story kept whole {pct(total(rows, lambda r: overall(r['ceiling_story'])))}",
        "- transcript per category: " + ", ".join(
            f"{c} {pct(category('later', c, rows))} ({pct(category('facts', c, rows))})"
            f"{short(category('later', c, rows), 'transcript_category')}" for c in CATEGORIES)
        + f" (goal {GOALS['transcript_category']:.0%} each)",
        f"- on the {len(fit)} sessions whose facts fit (ceiling 95 % or more at {TRANSCRIPT_BUDGET:,}: "
        + ", ".join(r["name"] for r in fit) + f"): transcript {pct(overall(fit_later))} ({pct(overall(fit_cats))})"
        f" (goal {GOALS['transcript']:.0%}{short(overall(fit_later), 'transcript')}); per category "
        + ", ".join(f"{c} {pct(fit_later[c])} ({pct(fit_cats[c])}){short(fit_later[c], 'transcript_category')}"
                    for c in CATEGORIES),
        f"- facts mentioned again {pct(again_later)} ({pct(again)}) (goal {GOALS['again']:.0%}"
        f"{short(again_later, 'again')})",
        f"- extract overall {pct(extract_later)} ({pct(extract)}) (goal {GOALS['extract']:.0%}"
        f"{short(extract_later, 'extract')}); ceiling {pct(total(rows, lambda r: overall(r['ceiling_x'])))}",
        f"- 1 MB span: transcript {speed['later_ms']:.1f} ms ({speed['transcript_ms']:.1f} ms) (goal "
        f"{GOALS['ms_per_mb']:.0f} ms), facts.seen {speed['seen_ms']:.1f} ms",
    ]
    lines += goal_lines
    (OUT / "facts.md").write_text("\n".join(lines) + "\n", encoding="utf-8")
    print("\n".join(goal_lines))
    print(f"wrote {OUT / 'facts.md'}")


if __name__ == "__main__":
    raise SystemExit(main())

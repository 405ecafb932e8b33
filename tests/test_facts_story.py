"""context_compress.facts tells the story: users' messages and the assistant's
prose first, whole when they fit their share, else every opening sentence;
repeated output lines become one line with a count and a line is carried
once; comments weigh less; an error line brings its command and its project
frame; no cut parts a URL; the count of seen facts agrees with a plain
search; and the native helper lets other threads run while it works."""

import json
import re
import sys
import threading
import time
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

from context_compress import _facts, facts

MARKER = re.compile(r"…\((\d+) lines?\)")
STORY_SHARE = facts.TRANSCRIPT_SHARES[1]


def word(i):
    """A name of letters for `i`: lines that differ in their numbers alone
    would be one line with a count."""
    return "".join(chr(97 + d) for d in divmod(i, 26))


def output(i, lines=40):
    """A tool's output of `lines` lines, each with new facts and no two of
    the same shape."""
    return "\n".join(f"{word(i)}{word(k)} wrote /srv/{word(i)}/{word(k)}.log" for k in range(lines))


def call(name, arguments, cid="c1"):
    return {"id": cid, "type": "function", "function": {"name": name, "arguments": arguments}}


def story_size(msgs):
    """The story's own text: every user's and assistant's line with its line
    break, and the label of each message."""
    return sum(len(f"[{m['role']}] ") + len(m["content"]) + 1 for m in msgs if m["role"] in ("user", "assistant"))


# --- the story --------------------------------------------------------------------

prose_lines = st.text(st.sampled_from("abcdefgh ,:;-()/_'"), min_size=1, max_size=400).map(str.strip).filter(bool)
prose = st.lists(prose_lines, min_size=1, max_size=4).map("\n".join)


@given(st.lists(st.tuples(st.sampled_from(["user", "assistant"]), prose), min_size=1, max_size=12),
       st.integers(2000, 30_000))
def test_the_story_is_kept_whole_when_it_fits_its_share(turns, budget):
    msgs = []
    for i, (role, text) in enumerate(turns):
        msgs += [{"role": role, "content": text}, {"role": "tool", "content": output(i)}]
    text = facts.transcript(msgs, budget)
    assert len(text) <= budget
    if story_size(msgs) <= STORY_SHARE * budget:
        # Whole and in order: each line verbatim, a long one rejoined from
        # its pieces; a line said before is carried once.
        at, said = 0, set()
        for m in msgs:
            if m["role"] != "tool":
                for line in m["content"].split("\n"):
                    if line not in said:
                        at = text.index(line, at)
                    if len(line) >= 6:
                        said.add(line)


def test_a_story_too_long_for_its_share_keeps_every_opening_sentence():
    tail = " ".join(["and then it went on about other things at some length"] * 6)
    msgs = [{"role": "user", "content": "Find out why the build is red. Do not touch the migrations."}]
    for i in range(30):
        msgs += [{"role": "assistant", "content": f"Finding {word(i)}: the {word(i)} step fails. {tail}"},
                 {"role": "tool", "content": output(i)}]
    budget = 12_000
    assert story_size(msgs) > STORY_SHARE * budget
    text = facts.transcript(msgs, budget)
    assert msgs[0]["content"] in text
    assert all(f"[assistant] Finding {word(i)}: the {word(i)} step fails." in text for i in range(30))
    assert len(text) <= budget


def test_the_extract_is_the_same_selection_story_first():
    msgs = [{"role": "user", "content": "Only change src/api/search.py, nothing else."}]
    for i in range(40):
        msgs += [{"role": "assistant", "content": f"Step {word(i)} done."}, {"role": "tool", "content": output(i)}]
    text = facts.extract(msgs, facts.EXTRACT_BUDGET)
    assert msgs[0]["content"] in text and "[assistant] Step bn done." in text


# --- repeats ----------------------------------------------------------------------

def quiet(i, lines=30):
    """An output of lines without a fact, no two alike."""
    return "\n".join(f"{word(i)} {word(k)} quietly goes on" for k in range(lines))


def just_short(msgs):
    """The transcript at one character less than the whole span: what the
    folding frees is all it needs, so every line that is kept shows."""
    return facts.transcript(msgs, len(facts.transcript(msgs, 10**7)) - 1)


@pytest.mark.parametrize("lines, shown", [
    (["INFO retrying"] * 607, "INFO retrying (\u00d7607)"),
    ([f"tests/test_x.py::test_case_{i:03d} PASSED" for i in range(10, 52)],
     "tests/test_x.py::test_case_0NN PASSED (\u00d742: " + ", ".join(f"test_case_{i:03d}" for i in range(10, 52)) + ")"),
    ([f"2024-05-01T12:00:{i:02d} WARN pool exhausted, retry {i}" for i in range(12)],
     "2024-05-01T12:00:NN WARN pool exhausted, retry N (\u00d712)"),
    (["GET https://api.example.org/items/7 200"] * 9, "GET https://api.example.org/items/7 200 (\u00d79)"),
])
def test_a_run_of_repeated_lines_is_one_line_with_its_count(lines, shown):
    msgs = [{"role": "user", "content": "why does it fail?"},
            {"role": "tool", "content": "\n".join(["$ ./check", *lines, "done in 3 s"])},
            {"role": "tool", "content": quiet(0)}]
    text = just_short(msgs)
    assert "\n".join(["[tool_result] $ ./check", shown, "done in 3 s"]) in text
    assert text.count(lines[0]) == (1 if shown.startswith(lines[0]) else 0)


@pytest.mark.parametrize("lines", [
    # Three timings are the figures asked for, not noise.
    ["0.41 s elapsed, 50312 KB max RSS", "0.39 s elapsed, 50188 KB max RSS", "0.40 s elapsed, 50204 KB max RSS"],
    # URLs that differ are different pages.
    [f"fetched https://example.org/page/{i} in 12 ms" for i in range(8)],
    # A table's rows of numbers are data.
    [f"  {i}  {i * 7}  {i * 13}" for i in range(9)],
    # One character twice costs less than its count would.
    ["+", "+"],
])
def test_runs_that_carry_data_stay_lines(lines):
    msgs = [{"role": "tool", "content": "\n".join(["$ ./measure", *lines])},
            {"role": "tool", "content": "\n".join(["ok"] * 50)}, {"role": "tool", "content": quiet(0)}]
    text = just_short(msgs)
    assert "\n".join(["[tool_result] $ ./measure", *(line[1:] if line.startswith("  ") else line for line in lines),
                      "[tool_result] ok (\u00d750)"]) in text


def test_a_line_repeated_across_messages_is_carried_once():
    error = "psycopg.OperationalError: connection to server at 10.0.0.7 port 5433 refused"
    msgs = [{"role": "tool", "content": f"attempt {word(i)}\n{error}"} for i in range(3)]
    text = just_short([*msgs, {"role": "tool", "content": quiet(0)}])
    assert text.count(error) == 1 and all(f"attempt {word(i)}" in text for i in range(3))


def test_comments_and_defaults_weigh_less_than_settings():
    comments = [f"#enable_{word(i)}_scan = on" for i in range(60)]
    settings = [f"shared_{word(i)}_buffers = {i + 1}MB" for i in range(60)]
    dump = "\n".join(comments + settings)
    msgs = [{"role": "user", "content": "show the config"}, {"role": "tool", "content": dump},
            {"role": "assistant", "content": "done"}]
    text = facts.transcript(msgs, 1200)
    kept_settings = sum(line in text for line in settings)
    assert kept_settings > 20 and not any(line in text for line in comments)


# --- the weak categories ------------------------------------------------------------

PYTHON_TRACEBACK = """Traceback (most recent call last):
  File "/srv/app/cli.py", line 30, in <module>
    main()
  File "/srv/app/reports/monthly.py", line 16, in month_bounds
    return date(year, number + 1, 1)
  File "/usr/lib/python3.13/datetime.py", line 1012, in __new__
    year, month, day = _check_date_fields(year, month, day)
ValueError: month must be in 1..12"""

JAVA_TRACE = """Exception in thread "main" java.lang.NullPointerException: rate is null
\tat java.base/java.util.Objects.requireNonNull(Objects.java:233)
\tat Converter.convert(Converter.java:14)
\tat Main.main(Main.java:5)"""


@pytest.mark.parametrize("trace, error, frame", [
    (PYTHON_TRACEBACK, "ValueError: month must be in 1..12",
     '  File "/srv/app/reports/monthly.py", line 16, in month_bounds'),
    (JAVA_TRACE, 'Exception in thread "main" java.lang.NullPointerException: rate is null',
     "\tat Converter.convert(Converter.java:14)"),
])
def test_an_error_line_keeps_its_command_and_project_frame(trace, error, frame):
    msgs = [{"role": "user", "content": "run it"},
            {"role": "assistant", "content": "", "tool_calls": [call("bash", '{"command": "make run"}')]},
            {"role": "tool", "tool_call_id": "c1", "content": "\n".join([quiet(0, 20), trace, quiet(1, 20)])},
            *[{"role": "tool", "content": quiet(i)} for i in range(2, 30)]]
    text = facts.transcript(msgs, 600)
    assert error in text and 'call bash {"command": "make run"}' in text
    assert frame.strip() in text


@given(st.integers(0, 400), st.integers(30, 400), st.sampled_from(["", " "]), st.integers(0, 3000))
def test_no_cut_falls_inside_a_url(lead, length, gap, budget):
    # Letters in the URL alone: any run of six of them left once the whole
    # URLs are taken out is a piece of a URL that a cut parted.
    url = "https://example.org/" + "".join(word(i) for i in range(200))[:length]
    line = "=" * lead + gap + url + gap + "~" * 200
    msgs = [{"role": "tool", "content": line}, {"role": "assistant", "content": "ok", "tool_calls": [
        call("fetch", '{"url": "' + "=" * lead + url + '"}')]}]
    body = url[len("https://"):]
    for text in (facts.transcript(msgs, budget), facts.extract(msgs, budget)):
        rest = text.replace(url, "")
        assert not any(body[k:k + 6] in rest for k in range(len(body) - 5)), text


# --- the count of seen facts --------------------------------------------------------

fact_texts = st.text(st.sampled_from("ab_/.:5%-# \nxyERrorFAILEDµ中"), max_size=120)


@given(st.lists(st.tuples(st.sampled_from(["user", "tool", "assistant"]), fact_texts), max_size=6), fact_texts,
       st.data())
def test_seen_agrees_with_a_plain_search(turns, noise, data):
    msgs = [{"role": role, "content": text} for role, text in turns]
    found = facts.span_facts(msgs)
    every = set().union(*found.values())
    # The text sent holds some of the facts, pieces of others (their first or
    # last characters: what the native count's filter looks at) and noise.
    chosen = data.draw(st.lists(st.sampled_from(sorted(every)), max_size=6)) if every else []
    parts = [fact[1:] + " " + fact[:-1] for fact in sorted(every)[:4]]
    sent = noise + " ".join(chosen + parts)
    assert facts.seen(msgs, sent) == (sum(fact in sent for fact in every), len(every))
    assert facts.seen_by_category(msgs, sent) == {
        name: (sum(fact in sent for fact in group), len(group)) for name, group in found.items()}


def test_seen_takes_a_str_only():
    with pytest.raises(TypeError):
        facts.seen([{"role": "user", "content": "x"}], b"x")


# --- the GIL ------------------------------------------------------------------------

def big_span(megabytes):
    """Messages of some `megabytes` of distinct lines, each with facts."""
    msgs, size, i = [], 0, 0
    while size < megabytes * 1_000_000:
        body = "\n".join(f"{word(i % 676)}{word(k)} took {k} ms in /srv/{word(i % 676)}/{word(k)}_{i}.py"
                         for k in range(200))
        msgs.append({"role": "tool" if i % 3 else "assistant", "content": body})
        size += len(body)
        i += 1
    return msgs


@pytest.fixture(scope="module")
def native_calls():
    msgs = big_span(6)
    read = facts._read(msgs)
    texts = facts._span_texts(msgs)
    sent = facts.transcript(msgs)
    return {"select": lambda: _facts.select(read, 24_000, facts.TRANSCRIPT_SHARES),
            "find": lambda: _facts.find(texts),
            "seen": lambda: _facts.seen(texts, sent)}


@pytest.mark.parametrize("name", ["select", "find", "seen"])
def test_other_threads_run_while_the_helper_works(native_calls, name):
    """With the GIL held through the call, a thread that counts makes no
    progress during it (at most one switch interval's worth); released once
    the inputs are copied, it counts for most of the call."""
    count, stop = [0], threading.Event()

    def counter():
        while not stop.is_set():
            count[0] += 1

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        time.sleep(0.05)
        # The counter's pace alone, over a stretch as long as the call.
        start, before = time.perf_counter(), count[0]
        time.sleep(0.2)
        pace = (count[0] - before) / (time.perf_counter() - start)
        start, before = time.perf_counter(), count[0]
        native_calls[name]()
        elapsed, during = time.perf_counter() - start, count[0] - before
    finally:
        stop.set()
        thread.join()
    assert elapsed > 20 * sys.getswitchinterval(), "the call is too short to tell"
    assert during > 0.25 * pace * elapsed, (during, pace, elapsed)


def test_the_shortened_transcript_in_the_docs_is_what_the_selection_gives():
    """docs/transcript.md shows the planner session's transcript as a
    Compressor asks for it (the messages kept after the span given as
    `later`), shortened: every line it shows stands in the transcript, in
    that order."""
    root = Path(__file__).resolve().parent.parent
    conv = json.loads((root / "bench" / "sessions" / "planner.json").read_text(encoding="utf-8"))
    lines = facts.transcript(conv["messages"][:114], later=conv["messages"][114:]).split("\n")
    shown = re.search(r"```text\n(.*?)\n```", (root / "docs" / "transcript.md").read_text(encoding="utf-8"), re.S)
    at = 0
    for line in shown.group(1).split("\n"):
        if line != "\u22ee":
            at = lines.index(line, at) + 1


@pytest.mark.parametrize("role", ["tool", "function"])
def test_a_tools_output_is_no_part_of_the_story(role):
    msgs = [{"role": "user", "content": "go"}, {"role": role, "content": quiet(0, 400)},
            {"role": "assistant", "content": "done"}]
    text = facts.transcript(msgs, 3000)
    assert text.startswith("[user] go\n") and text.endswith("[assistant] done") and len(text) <= 3000
    # Output without facts only fills what is left, its newest lines first;
    # as story its opening line would come first.
    assert quiet(0, 1) not in text and quiet(0, 400).split("\n")[-1] in text

"""context_compress.facts keeps what the conversation goes on about: a fold
of same-shape lines lists the facts that vary in it (and, in error lines,
every word that tells one failure from another), progress figures only when
they are mentioned again, and stays shorter than its lines; the span's facts
that the messages kept after it mention again weigh most; `later` changes
nothing else, is read as the span is, and a Compressor gives it."""

import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

import strategies
from context_compress import Compressor, facts
from shared import GetOnly

MARKER = re.compile(r"…\((\d+) lines?\)")
FOLD = re.compile(r" \(\u00d7(\d+)(?:: (.*))?\)$")


def word(i):
    """A name of letters for `i`."""
    return "".join(chr(97 + d) for d in divmod(i, 26))


def quiet(i, lines=30):
    """An output of lines without a fact, no two alike."""
    return "\n".join(f"{word(i)} {word(k)} quietly goes on" for k in range(lines))


def shown(lines, extra=()):
    """What the transcript at one character less than the whole span shows of
    a tool's output `lines` (the folding frees all it needs)."""
    msgs = [{"role": "user", "content": "why does it fail?"},
            {"role": "tool", "content": "\n".join(["$ ./check", *lines, "done in 3 s"])},
            {"role": "tool", "content": quiet(0)}, *extra]
    return facts.transcript(msgs, len(facts.transcript(msgs, 10**7)) - 1)


# --- what a fold keeps ----------------------------------------------------------------

PYTEST_ROWS = [f"tests/test_b.py::test_case_{i:03d} PASSED [{10 + 2 * i}%]" for i in range(42)]


@pytest.mark.parametrize("lines, line", [
    # The ids that differ, each as it stands; the percentages that only
    # count the run's progress go.
    (PYTEST_ROWS, "tests/test_b.py::test_case_0NN PASSED [NN%] (\u00d742: "
     + ", ".join(f"test_case_{i:03d}" for i in range(42)) + ")"),
    # Numbers with units and paths, the values of one line together, the
    # same values of two lines once.
    ([f"request {i} served in {(i * 7) % 21 + 10} ms from /srv/cache/shard_{i % 3}" for i in range(6)],
     "request N served in NN ms from /srv/cache/shard_N (\u00d76: 10 ms /srv/cache/shard_0, 17 ms "
     "/srv/cache/shard_1, 24 ms /srv/cache/shard_2)"),
    # A percentage that falls is a measure, not progress.
    ([f"volume vol{i} used {p}%" for i, p in enumerate((34, 81, 12, 99, 50, 7))],
     "volume volN used N% (\u00d76: 34%, 81%, 12%, 99%, 50%, 7%)"),
    # What makes an error line tell one failure from another stays, fact or not.
    ([f"FAILED tests/test_a.py::test{i} - AssertionError: totals differ" for i in range(1, 7)],
     "FAILED tests/test_a.py::testN - AssertionError: totals differ (\u00d76: test1, test2, test3, test4, test5, "
     "test6)"),
    # Identical lines fold as before, and so does a run whose parts that
    # differ are no facts.
    (["INFO retrying"] * 607, "INFO retrying (\u00d7607)"),
    ([f"2024-05-01T12:00:{i:02d} WARN pool exhausted, retry {i}" for i in range(12)],
     "2024-05-01T12:00:NN WARN pool exhausted, retry N (\u00d712)"),
])
def test_a_fold_lists_the_facts_that_vary_in_its_run(lines, line):
    text = shown(lines)
    assert "\n".join(["[tool_result] $ ./check", line, "done in 3 s"]) in text


def test_progress_is_listed_when_the_conversation_mentions_it_again():
    later = [{"role": "tool", "content": "tests/test_b.py::test_case_009 PASSED [28%]"}]
    msgs = [{"role": "tool", "content": "\n".join(PYTEST_ROWS)}, {"role": "tool", "content": quiet(0)}]
    budget = len(facts.transcript(msgs, 10**7)) - 1
    # As a column: in every line, once one of them is mentioned again.
    assert ", test_case_009 28%, test_case_010 30%," in facts.transcript(msgs, budget, later=later)
    assert "%," not in facts.transcript(msgs, budget)


def test_a_fold_no_shorter_than_its_lines_leaves_them_lines():
    # Short lines whose every path differs: listing them costs what they do.
    lines = [f"at /a/b{i}.py" for i in range(5)]
    text = shown(lines)
    assert "\n".join(["[tool_result] $ ./check", *lines, "done in 3 s"]) in text


def test_the_values_left_out_of_a_fold_are_marked_in_it():
    msgs = [{"role": "user", "content": "go"}, {"role": "tool", "content": "\n".join(PYTEST_ROWS)},
            {"role": "tool", "content": quiet(0, 300)}]
    later = [{"role": "user", "content": "test_case_020 and test_case_030?"}]
    # Room for the values mentioned again alone, each after "…" for those before it.
    wanted = "\n".join(["[user] go", "[tool_result] tests/test_b.py::test_case_0NN PASSED [NN%] (\u00d742: \u2026, "
                        "test_case_020, \u2026, test_case_030, \u2026)", "\u2026(300 lines)"])
    assert facts.transcript(msgs, len(wanted), later=later) == wanted


runs = st.lists(st.tuples(
    st.sampled_from(["item_{n} took {ms} ms", "FAILED tests/t.py::test{n} - boom", "/srv/{n}/f.log {ms}%",
                     "{n} plain words here", "progress {ms}% of {n}"]),
    st.lists(st.tuples(st.integers(0, 999), st.integers(0, 99)), min_size=1, max_size=40)), min_size=1, max_size=6)


@given(runs, st.integers(0, 4000), st.booleans())
def test_folds_keep_the_budget_and_count_every_line(outputs, budget, with_later):
    msgs, total, values = [{"role": "user", "content": "check"}], 1, set()
    for form, numbers in outputs:
        lines = [form.format(n=n, ms=ms) for n, ms in numbers]
        msgs.append({"role": "tool", "content": "\n".join(lines)})
        total += len(lines)
        values |= {token for line in lines for token in line.split()}
    later = [{"role": "user", "content": msgs[-1]["content"][:60]}] if with_later else None
    text = facts.transcript(msgs, budget, later=later)
    assert len(text) <= budget and text == facts.transcript(msgs, budget, later=later)
    if text == facts.transcript(msgs, 10**7) or not text:
        return
    # Every line of the span is shown, counted by a fold, or counted by a marker.
    counted = 0
    for line in text.split("\n"):
        gap, fold = MARKER.fullmatch(line), FOLD.search(line)
        counted += int(gap.group(1)) if gap else int(fold.group(1)) if fold else 1
        if fold and fold.group(2):
            listed = fold.group(2).split(", ")
            assert all(a != b for a, b in zip(listed, listed[1:])), line
            for value in listed:
                assert value == "\u2026" or all(part in values or part.rstrip("%") for part in value.split()), line
    assert counted == total, text


# --- what the conversation goes on about ----------------------------------------------

def logs(count=40):
    """Tool outputs of distinct paths, more than a small budget holds."""
    return [{"role": "tool", "content": "\n".join(f"/srv/{word(m)}/{word(k)}.log" for k in range(8))}
            for m in range(count)]


@pytest.mark.parametrize("later", [
    [{"role": "user", "content": "Why is /srv/ak/ad.log empty?"}],
    # Read as the span is: a tool call's arguments and a tool's result count too.
    [{"role": "assistant", "content": "", "tool_calls": [
        {"id": "c9", "type": "function", "function": {"name": "cat", "arguments": '{"path": "/srv/ak/ad.log"}'}}]}],
    [{"role": "tool", "tool_result": "/srv/ak/ad.log: 0 bytes", "content": ""}],
    [GetOnly(role="user", content="see /srv/ak/ad.log")],
])
@pytest.mark.parametrize("render, budget", [(facts.transcript, 600), (facts.extract, 400)])
def test_facts_mentioned_again_come_first(later, render, budget):
    msgs = [{"role": "user", "content": "list the logs"}, *logs()]
    assert "/srv/ak/ad.log" not in render(msgs, budget)
    assert "/srv/ak/ad.log" in render(msgs, budget, later=later)


spans = st.lists(st.fixed_dictionaries({
    "role": st.sampled_from(["user", "assistant", "tool"]),
    "content": st.lists(st.sampled_from([
        "ran /srv/a/b.py in 12 ms", "KeyError: 'unit'", "tests/t.py::test_x_1 PASSED [ 5%]",
        "tests/t.py::test_x_2 PASSED [ 9%]", "nothing here", "see https://example.org/a?b=1",
        "value_7 = compute(3)", "Don't touch main."]), max_size=12).map("\n".join)}), max_size=10)


@given(spans, st.integers(0, 1500))
def test_later_that_mentions_nothing_changes_nothing(msgs, budget):
    text = facts.transcript(msgs, budget)
    for later in ([], [{"role": "user", "content": "~"}], [{"role": "tool", "content": ""}]):
        assert facts.transcript(msgs, budget, later=later) == text
        assert facts.extract(msgs, budget, later=later) == facts.extract(msgs, budget)


odd_spans = st.lists(st.one_of(strategies.messages, strategies.bulky_messages), max_size=10)


@given(odd_spans, odd_spans, st.one_of(st.integers(0, 150), st.integers(0, 20_000)))
def test_any_later_keeps_the_budget(msgs, later, budget):
    # The kept messages' texts are whatever the span's may be (every storage
    # kind, surrogates, long lines): the lookup of their facts must not
    # change what the budget holds, nor make the text vary from call to call.
    for render in (facts.transcript, facts.extract):
        text = render(msgs, budget, later=later)
        assert type(text) is str and len(text) <= budget and render(msgs, budget, later=later) == text


def test_later_is_read_as_the_span_is():
    msgs = [{"role": "user", "content": "go"}, *logs(3)]
    with pytest.raises(AttributeError):
        facts.transcript(msgs, 100, later=[object()])
    with pytest.raises(AttributeError):
        facts.transcript([object()], 100)
    with pytest.raises(TypeError):
        facts.transcript(msgs, 100, later=5)
    with pytest.raises(TypeError):
        facts.transcript(msgs, 100, [])  # later is given by name only


def test_a_compressor_gives_its_transcript_the_kept_messages():
    sent = []

    def llm(messages, cfg):
        sent.append(messages[1]["content"])
        return "summary"

    def chat(question):
        msgs = []
        for m in range(60):
            if m % 5 == 0:
                msgs.append({"role": "user", "content": f"list the logs of batch {word(m)}"})
            msgs.append({"role": "tool", "content": "\n".join(f"/srv/{word(m)}/{word(k)}_{m}.log written"
                                                              for k in range(60))})
        return [*msgs, {"role": "user", "content": question}, {"role": "assistant", "content": "Looking."}]

    for question, kept in (("why is it empty?", False), ("why is /srv/be/ac_30.log empty?", True)):
        sent.clear()
        assert Compressor(llm, 25_000).compress_messages(chat(question)).compressed
        assert ("/srv/be/ac_30.log" in sent[0]) == kept

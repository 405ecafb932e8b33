"""context_compress.facts: the budget holds for any span, the text is a faithful
selection (kept lines in order, every left-out run counted), each kind of
fact survives when it fits, odd records never break it, install() undoes in
any order, and a second compaction keeps what the first one's summary held."""

import itertools
import os
import re
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

import strategies
from context_compress import facts
from context_compress.texts import SUMMARY_PREFIX
from fake_chat import CHAT_MODULE, FakeChat
from shared import GetOnly, PlainStr, StrRaises, outcome

MARKER = re.compile(r"…\((\d+) lines?\)")
SURROGATE_PAIR = "\ud83d\ude00"  # two code points, as a JSON reader may leave them


def call(name, arguments, cid="c1"):
    return {"id": cid, "type": "function", "function": {"name": name, "arguments": arguments}}


odd_calls = st.one_of(
    st.lists(st.builds(call, strategies.texts, strategies.texts, strategies.texts), max_size=3),
    st.sampled_from(["call", 5, {"a": 1}, [None], [{"function": "x"}], [{"function": {"name": StrRaises()}}],
                     [{"function": {"name": "n", "arguments": {"x": {1, 2}}}}], [{"name": "n", "input": {"k": 1}}],
                     [{"function": {"name": "n", "arguments": {"self": object()}}}], (call("t", "{}"),)]),
)
spans = st.lists(st.one_of(
    strategies.messages,
    st.builds(lambda m, c: {**m, "role": "assistant", "tool_calls": c}, strategies.messages, odd_calls),
    st.builds(lambda t: {"role": "user", "content": SUMMARY_PREFIX + t}, strategies.texts),
    st.builds(lambda m: {**m, "role": "tool", "tool_call_id": "c1"}, strategies.bulky_messages),
), max_size=14)
budgets = st.one_of(st.integers(0, 120), st.integers(0, 30_000))


# --- the budget and the cuts ------------------------------------------------------

@given(spans, budgets)
def test_budget_holds_for_any_span(msgs, budget):
    for render in (facts.transcript, facts.extract):
        text = render(msgs, budget)
        assert type(text) is str and len(text) <= budget
        assert render(msgs, budget) == text


@given(st.integers(0, 700), st.integers(1, 600), st.integers(0, 2000))
def test_no_cut_parts_a_surrogate_pair(lead, pairs, budget):
    # Pieces of long lines, call lines and budgets all cut somewhere in here.
    body = "x" * lead + SURROGATE_PAIR * pairs
    msgs = [{"role": "tool", "content": body},
            {"role": "assistant", "tool_calls": [call("run", "y" * (lead % 250) + SURROGATE_PAIR * pairs)]}]
    for text in (facts.transcript(msgs, budget), facts.transcript(msgs, 10**6)):
        assert not re.search("[\ud800-\udbff](?![\udc00-\udfff])", text)
        assert not re.search("(?<![\ud800-\udbff])[\udc00-\udfff]", text)


def rendered_units(msgs):
    """(message, label, text, lines, skipped) of the span's units as the
    selection makes them from lines this short, without digits or sentence
    ends: lines without trailing white space, a tool output line with at most
    one character of its indentation; in a tool's output, a run of five or
    more lines that differ only in their white space and hold a word, or else
    a run of identical lines, is one line with its count where that is
    shorter; a line (6 characters or more without
    the white space around it) that an earlier one of the story, or of the
    output, already holds is skipped."""
    units, said, printed = [], set(), set()
    for m, message in enumerate(msgs):
        tool = message["role"] == "tool"
        label = "[tool_result] " if tool else f"[{message['role']}] "
        lines = []
        for line in message["content"].split("\n") if message["content"] else []:
            line = line.rstrip()
            if tool and len(line) - len(line.lstrip(" \t")) > 1:
                line = line[len(line) - len(line.lstrip(" \t")) - 1:]
            lines.append(line)
        groups, i = [], 0
        while i < len(lines):
            j = i + 1
            while tool and lines[i] and j < len(lines) and lines[j] and shape(lines[j - 1]) == shape(lines[j]):
                j += 1
            run = lines[i:j]
            if len(set(run)) > 1 and len(run) >= 5 and re.search("[A-Za-z]{2}", run[0]) and folds(run):
                groups.append((f"{run[0]} (\u00d7{len(run)})", len(run), run[0].strip()))
            else:
                for _, same in itertools.groupby(run):
                    same = list(same)
                    if len(same) >= 2 and folds(same):
                        groups.append((f"{same[0]} (\u00d7{len(same)})", len(same), same[0].strip()))
                    else:
                        groups += [(line, 1, line.strip()) for line in same]
            i = j
        seen = printed if tool else said
        for text, lines_, key in groups:
            units.append((m, label, text, lines_, len(key) >= 6 and key in seen))
            if len(key) >= 6:
                seen.add(key)
        units += [(m, label, " ".join(f"call {c['function']['name']} {c['function']['arguments']}".splitlines())
                   .rstrip(), 1, False) for c in message.get("tool_calls", [])]
    return units


def shape(line):
    return line[:1].isspace(), line.split()


def folds(run):
    """Whether a run of lines is one line with its count: only where that is shorter."""
    return len(f"{run[0]} (\u00d7{len(run)})") + 1 < sum(len(line) + 1 for line in run)


def whole_text(msgs):
    """The span rendered whole: every line as it is, the first of each message labelled."""
    lines = []
    for message in msgs:
        tool = message["role"] == "tool"
        label = "[tool_result] " if tool else f"[{message['role']}] "
        body = [line.rstrip() for line in message["content"].split("\n")] if message["content"] else []
        if tool:
            body = [line[max(len(line) - len(line.lstrip(" \t")) - 1, 0):] for line in body]
        body += [" ".join(f"call {c['function']['name']} {c['function']['arguments']}".splitlines()).rstrip()
                 for c in message.get("tool_calls", [])]
        lines += [label + line if k == 0 else line for k, line in enumerate(body)]
    return "\n".join(lines)


plain_lines = st.text(st.sampled_from("ab c_/%\t\u4e2d\U0001f600"), max_size=40)
plain_spans = st.lists(st.fixed_dictionaries(
    {"role": st.sampled_from(["user", "assistant", "tool"]),
     "content": st.lists(plain_lines, min_size=1, max_size=6).map("\n".join)},
    optional={"tool_calls": st.lists(st.builds(call, st.sampled_from(["run", "read"]), plain_lines), max_size=2)},
), max_size=12)


@given(plain_spans, st.integers(0, 3000))
def test_text_is_the_kept_lines_in_order_with_every_gap_counted(msgs, budget):
    text = facts.transcript(msgs, budget)
    whole = whole_text(msgs)
    assert (text == whole) == (len(whole) <= budget)
    if text == whole or not text:
        return
    units = rendered_units(msgs)
    at, last = 0, None
    for out in text.split("\n"):
        gap = MARKER.fullmatch(out)
        if gap:
            # A marker counts the span's lines that the units it stands for hold.
            left = int(gap.group(1))
            assert left > 0
            while left > 0:
                left -= units[at][3]
                at += 1
            assert left == 0, (out, units)
            continue
        m, label, line, _, skipped = units[at]
        # The first kept unit of each message carries its label; a repeat is never kept.
        assert not skipped and out == (line if m == last else label + line), (out, units[at])
        at, last = at + 1, m
    assert at == len(units)


# --- what survives --------------------------------------------------------------

FACTS = {
    "paths": ("Edited src/inventory/pricing_rules.py, lines 10-12", "src/inventory/pricing_rules.py"),
    "urls": ("Docs: https://docs.example.org/api/v2/limits?lang=en.", "https://docs.example.org/api/v2/limits?lang=en"),
    "identifiers": ("the cache key comes from build_cache_key and commit 3f9a2c1d", "build_cache_key"),
    "numbers": ("peak memory 412.5 MB after 38 s", "412.5 MB"),
    "errors": ("KeyError: 'unit_price_cents'", "KeyError: 'unit_price_cents'"),
}
FILLER = "the quick brown fox jumps over the lazy dog again and again"


def word(i):
    """A name of letters for `i`: lines that differ in their numbers alone
    are one line with a count."""
    return "".join(chr(97 + d) for d in divmod(i, 26))


@pytest.mark.parametrize("category", [*FACTS, "constraints", "command"])
@pytest.mark.parametrize("budget", [1500, 8000])
def test_each_kind_of_fact_survives_when_it_fits(category, budget):
    msgs = [{"role": "tool", "content": "\n".join([FILLER] * 40)} for _ in range(60)]
    if category == "constraints":
        msgs[30] = {"role": "user", "content": "Fine. Don't touch the migrations folder, the DBA team owns it."}
        wanted = ["Don't touch the migrations folder, the DBA team owns it."]
    elif category == "command":
        # An error line comes with the line that names the failing command.
        msgs[30] = {"role": "tool", "content": "\n".join(["$ make -C native test", *[FILLER] * 20,
                                                          "make: *** [Makefile:21: test] Error 2"])}
        wanted = ["$ make -C native test", "make: *** [Makefile:21: test] Error 2"]
    else:
        line, fact = FACTS[category]
        msgs[30] = {"role": "tool", "content": "\n".join([FILLER] * 20 + [line] + [FILLER] * 20)}
        wanted = [fact]
    for text in (facts.transcript(msgs, budget), facts.extract(msgs, budget)):
        for fact in wanted:
            assert fact in text
    assert facts.seen(msgs, facts.transcript(msgs, budget)) == facts.seen(msgs, "\n".join(
        m["content"] for m in msgs))


def test_tool_calls_reach_the_text_and_errors_bring_their_call():
    msgs = [{"role": "user", "content": "run the tests"},
            {"role": "assistant", "content": "", "tool_calls": [call("bash", '{"command": "pytest -x tests/a.py"}')]},
            {"role": "tool", "tool_call_id": "c1", "content": "\n".join([FILLER] * 30 + ["E   AssertionError: 3 != 4"])},
            *[{"role": "assistant", "content": FILLER} for _ in range(40)]]
    text = facts.transcript(msgs, 700)
    assert 'call bash {"command": "pytest -x tests/a.py"}' in text and "E   AssertionError: 3 != 4" in text


@given(st.integers(2, 30), st.integers(100, 190), st.integers(0, 40))
def test_an_error_line_is_chosen_at_the_cost_of_its_command_too(paths, command, slack):
    # Keeping the error line brings its long command: worth less per
    # character than the paths, the pair must not push any of them out.
    def span(output):
        return [{"role": "assistant", "content": "", "tool_calls": [call("bash", f'{{"command": "echo {"x" * command}"}}')]},
                {"role": "tool", "tool_call_id": "c1", "content": output},
                *[{"role": "tool", "content": f"/srv/d_{i}/f.log"} for i in range(paths)],
                {"role": "assistant", "content": "ok"}]

    def paths_kept(text):
        return set(re.findall(r"/srv/d_\d+/f\.log", text))

    budget = 40 + 32 * (paths // 2) + slack
    assert paths_kept(facts.transcript(span("Error: boom"), budget)) >= paths_kept(
        facts.transcript(span("all good"), budget))


@given(st.integers(4, 40), st.integers(1, 3), st.integers(1, 3), st.integers(1, 5))
def test_lines_of_equal_worth_are_kept_with_the_fewest_gaps(lines, per_line, messages, sixths):
    # A kept line makes its neighbours cheaper (no marker of their own):
    # they must win over lines of equal worth elsewhere.
    body = "\n".join(" ".join(f"/d_{word(i)}/f_{word(k)}.log" for k in range(per_line)) for i in range(lines))
    msgs = [{"role": "user", "content": "go"}, *[{"role": "tool", "content": body.replace("/d", f"/m{m}/d")}
                                                 for m in range(messages)], {"role": "assistant", "content": "ok"}]
    text = facts.transcript(msgs, len(facts.transcript(msgs, 10**6)) * sixths // 6)
    assert len(MARKER.findall(text)) <= 1, text


@given(st.integers(4, 20), st.integers(3, 20), st.integers(0, 30))
def test_a_block_is_not_passed_over_for_its_first_lines_cost(block, singles, slack):
    # Alone, a line of the block costs more than a single line elsewhere
    # (both pay a marker and a label, the block's line is longer); together
    # they cost less per fact, and the budget holds the block and no more.
    lines = [f"/srv/block/file_{word(i)}.log" for i in range(block)]
    msgs = [{"role": "user", "content": "go"}, {"role": "assistant", "content": "ok"},
            {"role": "tool", "content": "\n".join([FILLER, *lines, FILLER])}]
    for i in range(singles):
        msgs += [{"role": "tool", "content": FILLER}, {"role": "tool", "content": f"/a/s_{i:02}.log"}]
    msgs += [{"role": "assistant", "content": "done"}]
    wanted = "\n".join(["[user] go", "[assistant] ok", "…(1 line)", "[tool_result] " + "\n".join(lines),
                        f"…({2 * singles + 1} lines)", "[assistant] done"])
    text = facts.transcript(msgs, len(wanted) + slack)
    assert all(line in text for line in lines), text


def test_previous_summary_is_kept_whole():
    summary = SUMMARY_PREFIX + "\n".join(f"step {i}: changed module_{i}.py" for i in range(40))
    msgs = [{"role": "user", "content": summary}, *[{"role": "tool", "content": f"/srv/x_{i}/y.log 5 ms"}
                                                     for i in range(3000)]]
    assert summary in facts.transcript(msgs)


def test_long_summary_keeps_its_fact_lines_within_its_share():
    lines = [FILLER] * 400
    lines[100:400:60] = [f"changed src/mod_{i}.py, ticket OPS-{i}" for i in range(5)]
    summary = SUMMARY_PREFIX + "\n".join(lines)
    msgs = [{"role": "user", "content": summary}, *[{"role": "tool", "content": f"/srv/x_{i}/y.log 5 ms"}
                                                     for i in range(3000)]]
    text = facts.transcript(msgs)
    assert all(f"changed src/mod_{i}.py, ticket OPS-{i}" in text for i in range(5))
    assert summary not in text and len(text) <= facts.TRANSCRIPT_BUDGET


def test_long_lines_are_taken_in_pieces_that_keep_an_error_start():
    error = "ValueError: " + " ".join(f"word{i}" for i in range(300))
    msgs = [{"role": "tool", "content": "\n".join([FILLER] * 50 + [error] + [FILLER] * 50)}]
    text = facts.transcript(msgs, 600)
    assert error[:120] in text and len(max(text.split("\n"), key=len)) <= facts.PIECE_BOUND + len("[tool_result] ")


@pytest.mark.parametrize("budget, error", [(-1, ValueError), (2.5, TypeError), (True, TypeError), ("9", TypeError)])
def test_budget_must_be_a_count(budget, error):
    with pytest.raises(error):
        facts.transcript([], budget)
    with pytest.raises(error):
        facts.install(budget)


# --- what the module accepts ------------------------------------------------------

@strategies.PROPERTY
@given(strategies.message_lists, st.integers(0, 9000))
def test_raises_only_where_the_module_raises(module, msgs, budget):
    got, want = outcome(facts.transcript, msgs, budget), outcome(module._msgs_to_text, msgs)
    assert got[0] == want[0] and (got[0] == "ok" or got[1] is want[1]), (got, want)


@pytest.mark.parametrize("msgs, error", [
    ([{"content": "x"}, "no get"], AttributeError),
    ([{"content": StrRaises()}], ValueError),
    (None, TypeError),
])
def test_raises_as_the_module_does(module, msgs, error):
    with pytest.raises(error):
        module._msgs_to_text(msgs)
    with pytest.raises(error):
        facts.transcript(msgs)


ALLOCATION_FAILS = """
import json, resource
from context_compress import _facts
body = "x" * 40_000_000  # 40 MB as a str, 160 MB as the code points the selection reads
with open("/proc/self/statm") as f:
    mapped = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (mapped + 64 * 2**20, resource.RLIM_INFINITY))
outcomes = []
for call in (lambda: _facts.select([("[t] ", body, 3, (), (), "")], 100, (0.35, 0.25, 0.02, 0.04)),
             lambda: _facts.find([(body, False)])):
    try:
        call()
        outcomes.append("returned")
    except MemoryError:
        outcomes.append("MemoryError")
print(json.dumps(outcomes))
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", "") or not os.path.exists("/proc/self/statm"),
                    reason="needs /proc and an address space that a limit can bound (not the sanitizer's)")
def test_a_failed_native_allocation_is_memory_error(run_python):
    # std::bad_alloc from the selection's own containers: a C++ exception
    # that reached the interpreter would abort it.
    assert run_python(ALLOCATION_FAILS) == ["MemoryError", "MemoryError"]


def test_read_as_the_module_reads():
    msgs = [GetOnly(role="tool", tool_result="out", content="in"), {"role": PlainStr("user"), "content": PlainStr("s")},
            {"role": None, "content": [{"type": "text", "text": "a"}, "b"]}, {"content": 42}]
    assert facts.transcript(msgs) == "[tool_result] out\n[user] s\n[None] a b\n[?] 42"
    assert facts.extract(None) == facts.extract([]) == ""


# --- the facts and their count ----------------------------------------------------

@pytest.mark.parametrize("text, user, category, found", [
    ("see /usr/lib/x86_64-linux-gnu/libc.so.6 and ./build/out.o", False, "paths",
     {"/usr/lib/x86_64-linux-gnu/libc.so.6", "./build/out.o"}),
    ("相关文件是src/api/search.py，改完", False, "paths", {"src/api/search.py"}),
    ("input and/or output, README.md.", False, "paths", {"README.md"}),
    ("(https://example.org/a?b=1#c), ftp://x.org/f.", False, "urls", {"https://example.org/a?b=1#c", "ftp://x.org/f"}),
    ("index 0000000..07d40dd FIN-2291 #482 ValueError getItem max_tokens os.path", False, "identifiers",
     {"07d40dd", "FIN-2291", "#482", "ValueError", "getItem", "max_tokens"}),
    ("5 ms, 12.5MB, 96%, 0m1.234s, 3 passed, 7 apples", False, "numbers", {"5 ms", "12.5MB", "96%", "0m1.234s",
                                                                            "3 passed"}),
    ("ok\n  Traceback (most recent call last):  \nerrors=0 are fine", False, "errors",
     {"Traceback (most recent call last):"}),
    ("Keep it small. Never force-push! 不要修改测试。", True, "constraints",
     {"Keep it small.", "Never force-push!", "不要修改测试。"}),
    ("Keep it small.", False, "constraints", set()),
])
def test_find_facts_rules(text, user, category, found):
    assert facts.find_facts(text, user=user)[category] == found


@given(st.text(strategies.characters, max_size=200) | st.text(st.sampled_from("a_b/.:=5 %sMB#-\n"), max_size=80))
def test_every_fact_is_verbatim_text(text):
    for category, found in facts.find_facts(text, user=True).items():
        for fact in found:
            assert fact and fact in text, (category, fact)


def test_seen_counts_verbatim_facts():
    msgs = [{"role": "user", "content": "Only touch src/a.py and src/b.py."},
            {"role": "assistant", "tool_calls": [call("read", '{"path": "src/c.py"}')]}]
    total = len(set().union(*facts.span_facts(msgs).values()))
    assert facts.seen(msgs, "") == (0, total)
    assert facts.seen(msgs, "looked at src/a.py and src/c.py") == (2, total)
    assert facts.seen_by_category(msgs, "src/b.py")["paths"] == (1, 3)


# --- installing -------------------------------------------------------------------

def nested(module):
    with facts.install():
        facts.install().uninstall()


def left_by_exception(module):
    with pytest.raises(KeyError):
        with facts.install():
            raise KeyError("boom")


def out_of_order(module):
    first, second = facts.install(), facts.install()
    first.uninstall()
    assert module._msgs_to_text is second.bound["_msgs_to_text"]  # the later one keeps working
    second.uninstall()
    second.uninstall()
    first.uninstall()


@pytest.mark.parametrize("scenario", [nested, left_by_exception, out_of_order])
@pytest.mark.parametrize("host_bound", [False, True])
def test_uninstall_puts_back_what_was_bound(namespace, module, scenario, host_bound):
    if host_bound:
        module._msgs_to_text = lambda msgs: "the host's own"
    before = {name: namespace.get(name) for name in ("_msgs_to_text", "simple_extract")}
    scenario(module)
    assert {name: namespace.get(name) for name in before} == before


def test_uninstall_leaves_what_the_host_bound_later(namespace, module):
    original = module._msgs_to_text
    handle = facts.install()
    module.simple_extract = host_extract = lambda msgs: "the host's own"
    handle.uninstall()
    assert module.simple_extract is host_extract and module._msgs_to_text is original


def test_installed_budgets_reach_the_request(chat, module):
    conv = {"messages": [{"role": "tool", "content": "x" * 3000 + f" {i}.py", "timestamp": f"2024-05-01T12:{i:02d}:00"
                          "+00:00"} for i in range(30)]}
    with facts.install(1000, 500):
        module.cut_and_sum_history(conv, {"max_context": 5000})
    assert len(chat.calls[0].messages[1]["content"]) <= 1000


# --- a second compaction keeps the first ---------------------------------------------

@pytest.mark.parametrize("answer", [FakeChat(), FakeChat(answer={"choices": []})])
def test_second_compaction_sees_what_the_first_summary_held(monkeypatch, module, answer):
    """The first summary (the LLM's, or the extract when it answers nothing)
    opens the span of the second compaction, and its facts reach the second
    summarizer input."""
    monkeypatch.setitem(sys.modules, CHAT_MODULE, answer.module)
    first_facts = "Decided: fix src/pricing/rules.py, keep FIN-2291 half-up rounding, 412 ms p95"
    if answer.answer.get("choices"):
        answer.answer = {"choices": [{"message": {"content": first_facts}}]}

    def turn(i, content):
        return {"role": "tool" if i % 2 else "user", "content": content, "timestamp": f"2024-05-01T{i // 60:02d}:"
                f"{i % 60:02d}:00+00:00"}

    conv = {"messages": [turn(i, (first_facts if i == 1 else "") + f" log line {i} " + "w" * 2000) for i in range(40)]}
    with facts.install():
        assert module.cut_and_sum_history(conv, {"max_context": 16000})[0]
        summary = next(m["content"] for m in conv["messages"] if m["content"].startswith(SUMMARY_PREFIX))
        kept_facts = set().union(*facts.find_facts(summary).values())
        assert "src/pricing/rules.py" in kept_facts
        conv["messages"] += [turn(40 + i, f"more output {i} " + "w" * 2000) for i in range(40)]
        assert module.cut_and_sum_history(conv, {"max_context": 16000})[0]
    sent = answer.calls[-1].messages[1]["content"]
    assert kept_facts and all(fact in sent for fact in kept_facts)

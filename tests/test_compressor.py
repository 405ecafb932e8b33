"""Compressor: what became of the summary request, its isolation from every
other caller of the module, stamps the module cannot order, a window still
over the threshold, the log, asyncio, and a host whose routes package would
hide the module."""

import asyncio
import copy
import logging
import sys
import threading
import time

import pytest
from hypothesis import given
from hypothesis import strategies as st

import context_compress.compressor as compressor_module
from context_compress import facts
import routes.context_compress as cc
from context_compress import Compressor
from context_compress.diagnosis import explain, stamp_findings
from context_compress.texts import SUMMARY_NOTE as NOTE, SUMMARY_PREFIX as PREFIX
from fake_chat import GOOD_ANSWER, GOOD_SUMMARY, FakeChat, placed
from shared import ROOT, load_example, msg
from strategies import PROPERTY
from test_properties import heavy_conversations

WINDOW = 2000  # threshold 1600 tokens, keep budget 1024


def conversation(cid="c1", text="x"):
    """20 messages of 103 tokens: over the threshold of WINDOW; the newest 10
    are kept, the older 10 compressed."""
    return {"id": cid, "messages": [
        {"role": "user" if i % 2 == 0 else "assistant", "content": f"message {i:02d} " + text * 389,
         "timestamp": f"2024-05-01T10:00:{i:02d}+00:00"} for i in range(20)]}


def summary_of(conv):
    [summary] = [m["content"] for m in conv["messages"] if m["content"].startswith(PREFIX)]
    return summary[len(PREFIX):-len(NOTE)]


def warnings_in(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]


# --- what became of the summary request ------------------------------------------------

# Answers of the host's routes.chat ("chat") or of an llm given to the
# compressor, returned or awaited; the source they give, and the words that
# name a failure. The first five are the broken chat layers a host met.
ANSWERS = [
    ("chat", RuntimeError("401 invalid API key"), "extract", "RuntimeError: 401 invalid API key"),
    ("chat", "written", "extract", "the answer is a str, not a chat completion"),
    ("chat", {"content": [{"type": "text", "text": "written"}]}, "extract", "the answer has no choices"),
    ("chat", {"choices": [{"message": {"content": ""}}]}, "extract", "first choice has no message content"),
    ("chat", None, "extract", "routes.chat halted; None in sys.modules"),
    ("chat", {"choices": [{"message": {"content": " written\n"}}]}, "llm", None),
    ("llm", "  written  ", "llm", None),
    ("await", {"choices": [{"message": {"content": " written\n"}}]}, "llm", None),
    ("await", " \n", "extract", "the answer is empty"),
    ("llm", {"choices": [{"message": {"content": ["a", "list"]}}]}, "extract", "content is a list, not text"),
    ("await", ValueError("quota"), "extract", "ValueError: quota"),
]


@pytest.mark.parametrize("via, answer, source, words", ANSWERS)
def test_what_became_of_the_summary_request_is_in_the_result_and_a_warning(via, answer, source, words, caplog):
    def llm(messages, cfg):
        if isinstance(answer, Exception):
            raise answer
        return answer

    async def later(messages, cfg):
        return llm(messages, cfg)

    conv = conversation()
    span = conv["messages"][:10]
    with placed(FakeChat(answer).module if via == "chat" and answer is not None else None):
        result = Compressor({"chat": None, "llm": llm, "await": later}[via], WINDOW, facts=False).compress(conv)
    assert result.compressed and result.summary_source == source
    if source == "llm":
        assert (summary_of(conv), result.llm_error, warnings_in(caplog)) == ("written", None, [])
    else:
        assert words in result.llm_error and summary_of(conv) == cc.simple_extract(span)
        assert [w for w in warnings_in(caplog) if result.llm_error in w]


@pytest.mark.parametrize("with_facts", [True, False])
@pytest.mark.parametrize("answer", ["written", ""])
def test_facts_choose_what_the_summary_is_written_from_and_it_is_counted(with_facts, answer):
    conv = conversation()
    for i, m in enumerate(conv["messages"]):  # a path, a URL and an error per message
        m["content"] = f"edited src/api/mod_{i}.py, see https://example.com/t/{i}\nValueError: bad {i}\n" + m["content"]
    before, asked, config = conv["messages"], [], {"temperature": 0.0, "read_timeout": 30, "max_tokens": 10}
    result = Compressor(lambda m, c: asked.append((m, c)) or answer, WINDOW, facts=with_facts, llm_config=config,
                        system_prompt="Summarise in French.").compress(conv)
    span = before[:result.stats["compressed"]]
    transcript, extract = ((facts.transcript, facts.extract) if with_facts else (cc._msgs_to_text, cc.simple_extract))
    # The module's request, with this compressor's prompt, transcript and configuration.
    assert asked == [([{"role": "system", "content": "Summarise in French."},
                       {"role": "user", "content": transcript(span)}],
                      {"temperature": 0.0, "read_timeout": 30, "max_tokens": 2048, "max_context": WINDOW})]
    written_from = transcript(span) if answer else extract(span)
    assert summary_of(conv) == (answer or written_from)
    assert result.summary_facts == dict(zip(("seen", "of"), facts.seen(span, written_from)))
    assert result.summary_facts["of"] >= 30


@pytest.mark.parametrize("given, window", [(128000, 128000), ("128000", 128000), (" 16000\n", 16000), (None, 200_000),
                                           (128000.0, None), ("12.5", None), (0, None), ("-5", None),
                                           (True, None), ("abc", None), ([16000], None)])
@pytest.mark.parametrize("where", ["argument", "llm_config"])
def test_max_context_is_read_one_way_from_the_argument_and_the_configuration(given, window, where):
    make = ((lambda: Compressor(max_context=given)) if where == "argument"
            else lambda: Compressor(llm_config={"max_context": given}))
    if window is None:
        with pytest.raises(ValueError, match=r"max_context must be a positive int \(a number of tokens\), not "):
            make()
    else:
        compressor = make()
        assert compressor.max_context == compressor.llm_config["max_context"] == window


# --- nobody else's request changes ----------------------------------------------------


@given(conv=heavy_conversations(), answer=st.sampled_from([GOOD_ANSWER, None, ValueError("down"), "text"]),
       window=st.sampled_from([1024, 1500, 2000, 3000]))
@PROPERTY
def test_without_llm_or_facts_a_compressor_compresses_as_the_module_does(conv, answer, window):
    """Conversations without system messages, which a compressor never compresses."""
    for m in conv["messages"]:
        if isinstance(m, dict) and m.get("role") in ("system", "developer"):
            m["role"] = "user"
    runs = []
    for call in (lambda c: cc.cut_and_sum_history(c, {"max_context": window}),
                 lambda c: (lambda r: (r.compressed, r.stats))(Compressor(max_context=window, facts=False).compress(c))):
        fake, work = FakeChat(answer), copy.deepcopy(conv)
        with placed(fake.module):
            try:
                outcome = call(work)
            except Exception as exc:  # noqa: BLE001 - the exception is the outcome
                outcome = (type(exc), str(exc))
        runs.append((outcome, work, [(c.messages, c.cfg, c.kwargs) for c in fake.calls]))
    assert runs[0] == runs[1]


def test_a_compressors_llm_reaches_no_other_caller_on_any_thread(chat):
    saved = dict(cc.__dict__)
    asked, release = threading.Event(), threading.Event()
    inner = conversation("inner")

    def slow(messages, cfg):
        asked.set()
        release.wait(10)
        # The module called directly from inside the llm is the module as ever.
        cc.cut_and_sum_history(inner, {"max_context": WINDOW})
        return "slow summary"

    first = conversation("first")
    worker = threading.Thread(target=Compressor(slow, WINDOW, facts=False).compress, args=(first,))
    worker.start()
    direct, fallback, other = conversation("direct"), conversation("fallback"), conversation("other")
    try:
        assert asked.wait(10)
        cc.cut_and_sum_history(direct, {"max_context": WINDOW})
        with placed(None):  # no chat layer: the module's own extract
            cc.cut_and_sum_history(fallback, {"max_context": WINDOW})
        Compressor(lambda m, c: "other summary", WINDOW, facts=False).compress(other)
    finally:
        release.set()
        worker.join(10)
    assert [summary_of(c) for c in (first, direct, fallback, other, inner)] == [
        "slow summary", GOOD_SUMMARY, cc.simple_extract(conversation()["messages"][:10]), "other summary",
        GOOD_SUMMARY]
    assert len(chat.calls) == 2 and sys.modules["routes.chat"] is chat.module
    # The module's own functions are back in its namespace, and nothing else changed.
    assert {type(cc.__dict__[n]) for n in ("_msgs_to_text", "simple_extract")} == {type(cc.estimate_tokens)}
    assert cc.__dict__ == saved and all(cc.__dict__[k] is v for k, v in saved.items())


# --- stamps the module cannot order ---------------------------------------------------

# One moment, 2025-03-01T09:00:SS UTC, in layouts that compare below the cut
# time's text, and the words the reason names each by.
LAYOUTS = {
    "space": ("2025-03-01T09:00:{s:02d}+00:00", "2025-03-01 09:00:{s:02d}+00:00", "a space for 'T'"),
    "naive": ("2025-03-01T09:00:{s:02d}+00:00", "2025-03-01T09:00:{s:02d}", "no offset"),
    "+00": ("2025-03-01T09:00:{s:02d}+00:00", "2025-03-01T09:00:{s:02d}+00", "'+00' where the cut time has '+00:00'"),
    "Z cut": ("2025-03-01T09:00:{s:02d}Z", "2025-03-01T09:00:{s:02d}+00:00", "'+00:00' where the cut time has 'Z'"),
    "number": ("2025-03-01T09:00:{s:02d}+00:00", "17408196{s:02d}", "a number"),
}


@given(layout=st.sampled_from(sorted(LAYOUTS)), second=st.integers(0, 59), n=st.integers(1, 12),
       key=st.sampled_from(["created_at", "cut_time"]))
@PROPERTY
def test_stamps_in_another_layout_than_the_cut_time_are_named_with_an_example(layout, second, n, key, caplog):
    cut, stamp, words = (text.format(s=second) for text in LAYOUTS[layout])
    conv = {"id": "db", key: cut, "messages": [msg(stamp, 6000 // n + 3) for _ in range(n)]}
    compressor = Compressor(max_context=WINDOW, facts=False)
    caplog.clear()
    results = [compressor.compress(conv) for _ in range(2)]
    # A stored cut time empties the host's window too; without one it is all of it.
    assert {(r.compressed, len(r.stats), r.still_over) for r in results} == {(False, 0, key == "created_at")}
    assert all(f"{stamp!r} ({words})" in r.reason and repr(cut) in r.reason for r in results)
    assert len([w for w in warnings_in(caplog) if "cannot be ordered" in w]) == 1
    # What --check is given: every such stamp, as a finding.
    findings = stamp_findings(conv)
    assert [(f["kind"], f["index"]) for f in findings] == [("timestamp_layout", i) for i in range(n)]
    assert all(f"({words})" in f["text"] and f["text"].endswith("counts as before the cut time, though it is not")
               for f in findings)


@given(layout=st.sampled_from(sorted(LAYOUTS)), old=st.integers(1, 8), new=st.integers(1, 40),
       reloaded=st.booleans())
@PROPERTY
def test_newer_messages_that_fall_out_of_the_window_are_named_below_the_threshold(layout, old, new, reloaded,
                                                                                   caplog):
    """Messages appended in another layout than the cut time drop out of the
    window; on every turn below the threshold the reason names them, with
    the rate they would make, and the host is warned once."""
    cut, stamp, words = (text.format(s=0) for text in LAYOUTS[layout])
    newer = [msg(stamp, 40) for _ in range(new)]  # the cut time's moment, in another layout
    conv = {"id": "late", "cut_time": cut, "messages": [msg(cut, 40) for _ in range(old)] + newer}
    compressor = Compressor(max_context=200_000, facts=False)
    caplog.clear()
    results = [compressor.compress(copy.deepcopy(conv) if reloaded else conv) for _ in range(3)]
    assert {(r.compressed, r.still_over) for r in results} == {(False, False)}
    rate = (old + new) * 40 / 200_000
    for r in results:
        assert r.reason.startswith(f"rate {old * 40 / 200_000:.3f} is at or below the 0.8 threshold, but "
                                   f"{new} of {old + new} messages are not in the window")
        assert f"with them the rate would be {rate:.3f}" in r.reason and f"({words})" in r.reason
    assert len([w for w in warnings_in(caplog) if "cannot be ordered" in w]) == 1


@pytest.mark.parametrize("last, words", [
    ({"role": "user", "content": "new"}, "the newest message, 3, has no timestamp"),
    (msg("2025-02-01T00:00:00+00:00", 10), "the newest message, 3, is stamped '2025-02-01T00:00:00+00:00', before"),
])
def test_a_newest_message_without_a_stamp_or_out_of_order_is_named(last, words):
    conv = {"cut_time": "2025-03-01T09:00:00+00:00", "messages": [msg("2025-03-01T09:00:00+00:00", 40)] * 2 + [last]}
    result = Compressor(max_context=200_000, facts=False).compress(conv)
    assert not result.compressed and words in result.reason


@pytest.mark.parametrize("stamps, words", [
    (["07+00:00", "08+00:00", "05+00:00", "06+00:00"],
     "stamps are not ascending: message 1 is stamped '2024-05-01T10:00:07+00:00', after"),
    (["05+00:00"] * 4, "the 2 active messages before the kept ones are stamped '2024-05-01T10:00:05+00:00'"),
    (["07Z", "08Z", "07+00:00", "09+00:00"],
     "message 1 is stamped '2024-05-01T10:00:07Z' ('Z' where the first kept message has '+00:00')"),
])
def test_over_the_threshold_stamps_that_leave_nothing_before_the_kept_ones_are_named(stamps, words):
    # The newest two messages of 900 tokens fill the keep budget (1024); the
    # older two would be compressed, were they stamped before the first kept one.
    conv = {"id": 1, "cut_time": "2024-05-01T00:00:00+00:00",
            "messages": [msg(f"2024-05-01T10:00:{s}", 900) for s in stamps]}
    result = Compressor(max_context=WINDOW, facts=False).compress(conv)
    assert (result.compressed, list(result.stats), result.still_over) == (False, ["rate"], True)
    assert words in result.reason and "'2024-05-01T00:00:00+00:00'" in result.reason


class EarliestCut(str):
    """A stored cut time that every stamp, "" included, compares at or after."""

    def __le__(self, other):
        return True


def test_a_first_kept_message_without_a_stamp_is_named():
    conv = {"cut_time": EarliestCut("2024-05-01T10:00:00+00:00"),
            "messages": [msg("2024-05-01T10:00:00+00:00", 900), msg("", 900), msg("", 900)]}
    result = Compressor(max_context=WINDOW, facts=False).compress(conv)
    assert "message 2, the first of the kept messages, has no timestamp" in result.reason


@pytest.mark.parametrize("conv, reason", [
    ({"messages": []}, "no messages"),
    ({"messages": [msg("", 900)]}, "no message has a timestamp, so none is in the window; a plain list of messages "
                                   "without stamps is compressed by Compressor.compress_messages"),
    ({"cut_time": "2024-05-02T00:00:00+00:00", "messages": [msg("2024-05-01T10:00:00+00:00", 900)]},
     "no messages at or after the cut time '2024-05-02T00:00:00+00:00': the newest stamp is "
     "'2024-05-01T10:00:00+00:00'"),
])
def test_why_nothing_was_in_the_window_is_said_as_the_command_says_it(conv, reason):
    assert explain(conv, *cc.cut_and_sum_history(conv), 200_000).reason == reason


def test_below_the_threshold_nothing_is_looked_into(monkeypatch):
    monkeypatch.setattr(compressor_module, "explain", None)  # would raise if called
    result = Compressor(max_context=200_000, facts=False).compress(conversation())
    assert (result.compressed, result.reason) == (False, "rate 0.010 is at or below the 0.8 threshold")


# --- still over, said once ---------------------------------------------------------------


@pytest.mark.parametrize("reloaded", [False, True])
def test_a_kept_message_larger_than_the_budget_is_said_every_turn_and_warned_once(reloaded, caplog):
    # 100,000-token window (budget 10,000): ten small messages, then a tool
    # output of 95,003 tokens, then a question.
    stored = {"created_at": "2024-05-01T10:00:00+00:00", "messages": [
        *(msg(f"2024-05-01T10:00:{s:02d}+00:00", 200) for s in range(10)),
        msg("2024-05-01T10:01:00+00:00", 95_003, role="tool"),
        msg("2024-05-01T10:02:00+00:00", 50)]}
    if not reloaded:
        stored["id"] = "big"
    asked = []
    compressor = Compressor(lambda m, c: asked.append(1) or "summary", 100_000, facts=False)
    results = []
    for turn in range(50):
        stored["messages"].append(msg(f"2024-05-01T11:{turn:02d}:00+00:00", 20))
        conv = copy.deepcopy(stored) if reloaded else stored
        results.append(compressor.compress(conv))
        stored = conv
    assert len(asked) == 1 and results[0].compressed and not any(r.compressed for r in results[1:])
    assert all(r.still_over and r.largest_kept_tokens == 95_003 for r in results)
    assert all("the kept message stamped '2024-05-01T10:01:00+00:00' is estimated at 95,003 tokens, "
               "more than the keep budget of 10,000" in r.reason for r in results)
    assert len([w for w in warnings_in(caplog) if "still over" in w]) == 1


# --- the log ---------------------------------------------------------------------------------

SECRET, TEXT = "sk-test-0123456789", "PRIVATE-MESSAGE-TEXT"


@pytest.mark.parametrize("llm", [
    lambda m, c: "summary",
    # An API that quotes the request and the key in its error.
    lambda m, c: (_ for _ in ()).throw(RuntimeError(f"401 bad key {SECRET} for {m[1]['content'][:200]}")),
    lambda m, c: {"error": m[1]["content"]},
])
def test_no_record_carries_message_text_or_a_secret(llm, caplog):
    caplog.set_level(logging.DEBUG, "context_compress")
    compressor = Compressor(llm, WINDOW, llm_config={"api_key": SECRET})
    conv = conversation(text=TEXT + " ")
    over = {"messages": [msg("2024-05-01T10:00:00+00:00", 20), msg("2024-05-01T10:00:01+00:00", 1900)]}
    stamped = {"created_at": "2025-03-01T09:00:00+00:00", "messages": [msg("2025-03-01 09:00:00", 9000)]}
    results = [compressor.compress(c) for c in (conv, over, stamped)]
    assert results[0].compressed and results[1].still_over and results[2].still_over
    assert len(caplog.records) >= 3
    for record in caplog.records:
        assert TEXT not in record.getMessage() and SECRET not in record.getMessage()
    assert SECRET not in (results[0].llm_error or "")


# --- asyncio ---------------------------------------------------------------------------------


def test_acompress_never_holds_the_event_loop_while_the_llm_answers():
    async def main():
        held, last = 0.0, time.monotonic()
        done = asyncio.Event()

        async def heartbeat():
            nonlocal held, last
            while not done.is_set():
                await asyncio.sleep(0.005)
                now = time.monotonic()
                held, last = max(held, now - last), now

        def slow(messages, cfg):
            time.sleep(0.3)
            return "summary"

        beat = asyncio.create_task(heartbeat())
        conv = conversation()
        result = await Compressor(slow, WINDOW, facts=False).acompress(conv)
        done.set()
        await beat
        return held, result, conv

    held, result, conv = asyncio.run(main())
    assert result.summary_source == "llm" and summary_of(conv) == "summary"
    assert held < 0.05
    # Below the threshold, acompress leaves the conversation as it is.
    small = conversation()
    assert not asyncio.run(Compressor(max_context=200_000, facts=False).acompress(small)).compressed
    assert small == conversation()


@pytest.mark.parametrize("awaited", [False, True])
def test_a_cancelled_acompress_leaves_the_conversation_as_it_was(awaited):
    conv = conversation()
    before, messages = copy.deepcopy(conv), conv["messages"]
    asked, release = threading.Event(), threading.Event()

    def blocking(m, c):
        asked.set()
        release.wait(10)
        return "late summary"

    async def waiting(m, c):
        asked.set()
        await asyncio.sleep(10)

    async def main():
        task = asyncio.create_task(Compressor(waiting if awaited else blocking, WINDOW, facts=False)
                                   .acompress(conv))
        await asyncio.to_thread(asked.wait, 10)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        release.set()

    asyncio.run(main())  # returns once the worker thread is done
    assert conv == before and conv["messages"] is messages


def test_the_asyncio_example_runs_its_async_llm_on_the_loop_and_runs_as_written(run_python):
    example = load_example("async_host")
    events = []

    async def main():
        asked, answer = asyncio.Event(), asyncio.Event()

        async def complete(messages, cfg):
            events.append("summary requested")
            asked.set()
            # Only another task of this loop can let the request go on; were
            # the loop blocked by the compression, it would never come.
            await answer.wait()
            return "async summary"

        async def other_task():
            await asked.wait()
            events.append("other task ran")
            answer.set()

        conv = conversation()
        result, _ = await asyncio.gather(example.before_each_request(Compressor(complete, WINDOW), conv),
                                         other_task())
        return result, conv

    result, conv = asyncio.run(main())
    assert events == ["summary requested", "other task ran"]
    assert result.summary_source == "llm" and summary_of(conv) == "async summary"
    # As a script, on the sample, with its own stand-in for the host's LLM.
    shown = run_python(f"import runpy, sys; sys.argv = ['async_host.py']; "
                       f"runpy.run_path({str(ROOT / 'examples' / 'async_host.py')!r}, run_name='__main__')")
    assert shown["compressed"] and shown["summary_source"] == "llm" and shown["reason"] is None
    assert shown["messages"] < 360 and 0 < shown["summary_facts"]["seen"] <= shown["summary_facts"]["of"]


# --- a host with a routes package of its own ---------------------------------------------------


def test_a_hosts_own_routes_package_neither_hides_the_module_nor_is_touched(tmp_path, run_python):
    (tmp_path / "routes").mkdir()
    (tmp_path / "routes" / "__init__.py").write_text("MINE = True\n")
    assert run_python(f"""
import json, sys
import routes
from context_compress import Compressor
conv = {conversation()!r}
result = Compressor(lambda m, c: "host summary", {WINDOW}, facts=False).compress(conv)
from routes.context_compress import estimate_tokens
print(json.dumps([result.summary_source, routes.MINE, "context_compress" in vars(routes),
                  "routes.chat" in sys.modules]))
""") == ["llm", True, False, False]


# --- system messages -------------------------------------------------------------------


@given(conv=heavy_conversations(), at=st.lists(st.integers(0, 14), min_size=1, max_size=3),
       stamped=st.booleans(), window=st.sampled_from([1024, 1500, 2000]))
@PROPERTY
def test_system_messages_are_never_compressed_and_count_toward_the_window(conv, at, stamped, window):
    """System messages stay where they are, the same objects, whatever their
    stamps; they count toward the window even when stamped before the cut."""
    messages = conv["messages"]
    for n, index in enumerate(sorted(set(at))):
        system = {"role": "system" if n % 2 == 0 else "developer", "content": f"rule {n}: " + "r" * 800}
        if stamped:
            system["timestamp"] = "2024-05-01T11:59:59+00:00"  # before every other stamp
        messages.insert(min(index, len(messages)), system)
    held = [m for m in messages if isinstance(m, dict) and m.get("role") in ("system", "developer")]
    cut = cc.get_conv_cut_time(conv)
    counted = [m for m in messages if not cut or (m.get("timestamp") or "") >= cut or any(m is h for h in held)]
    try:
        result = Compressor(lambda m, c: "summary", window).compress(conv)
    except Exception:  # noqa: BLE001 - the module raises on these records too
        return
    after = conv["messages"]
    assert [m for m in after if any(m is h for h in held)] == held
    if "total_tokens" in result.stats:
        assert result.stats["total_tokens"] == cc.estimate_tokens(counted)

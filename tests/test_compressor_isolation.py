"""A compressor's compression reaches the module's C++ routine through a door
of its own (context_compress._engine), with its collaborators passed in: no
name of routes.context_compress is ever another object while compressors run,
routes.chat is never looked up by a compressor with an llm, and nothing a
host does to the module (rebinding, facts.install, Ctrl-C inside a call)
changes what a compressor or a direct caller gets. Also the asyncio side:
threads of the compressor's own, one event loop per compressor for compress()
with an async client, and a private record for acompress."""

import asyncio
import collections.abc
import contextlib
import copy
import importlib.abc
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time
from unittest import mock

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import context_compress.threads as threads
import routes.context_compress as cc
from context_compress import Compressor, facts, from_openai
from context_compress.texts import SUMMARY_NOTE as NOTE, SUMMARY_PREFIX as PREFIX
from conftest import BUSY, TESTS
from fake_chat import GOOD_SUMMARY, FakeChat, placed
from fake_server import running_server
from strategies import PROPERTY

WINDOW = 2000  # threshold 1600 tokens, keep budget 1024


def conversation(cid="c1", n=20):
    """`n` messages of 103 tokens: 20 are over the threshold of WINDOW, and
    the newest 10 are kept."""
    return {"id": cid, "created_at": "2024-05-01T10:00:00+00:00", "messages": [
        {"role": "user" if i % 2 == 0 else "assistant", "content": f"message {i:02d} " + "x" * 389,
         "timestamp": f"2024-05-01T10:{i // 60:02d}:{i % 60:02d}+00:00"} for i in range(n)]}


def summary_of(conv):
    [summary] = [m["content"] for m in conv["messages"] if m["content"].startswith(PREFIX)]
    return summary[len(PREFIX):-len(NOTE)]


def native_names():
    """The module's namespace, as (name, object) pairs compared by identity."""
    return {name: id(value) for name, value in vars(cc).items()}


class ChatLookups(importlib.abc.MetaPathFinder):
    """Counts every attempt to import routes.chat (while it is not in sys.modules)."""

    def __init__(self):
        self.count = 0

    def find_spec(self, name, path=None, target=None):
        if name == "routes.chat":
            self.count += 1
        return None


@contextlib.contextmanager
def watching_chat_lookups():
    finder = ChatLookups()
    saved = sys.modules.pop("routes.chat", None)
    sys.meta_path.insert(0, finder)
    try:
        yield finder
    finally:
        sys.meta_path.remove(finder)
        sys.modules.pop("routes.chat", None)
        if saved is not None:
            sys.modules["routes.chat"] = saved


# --- the module stays the module ------------------------------------------------------


def test_no_module_name_changes_and_routes_chat_is_never_looked_up_while_compressors_run():
    before = native_names()
    stop = threading.Event()
    done = []

    def keep_compressing(with_facts):
        compressor = Compressor(lambda m, c: "mine", WINDOW, facts=with_facts)
        while not stop.is_set():
            conv = conversation()
            done.append(compressor.compress(conv).summary_source)

    with watching_chat_lookups() as lookups:
        workers = [threading.Thread(target=keep_compressing, args=(f,)) for f in (True, False)]
        for worker in workers:
            worker.start()
        try:
            changed = []
            deadline = time.monotonic() + 30
            while len(done) < 200 and time.monotonic() < deadline:
                now = native_names()
                if now != before:
                    changed.append(sorted(k for k in now.keys() | before.keys() if now.get(k) != before.get(k)))
        finally:
            stop.set()
            for worker in workers:
                worker.join(30)
    assert len(done) >= 200 and set(done) == {"llm"}
    assert changed == [] and lookups.count == 0


#: The tests of the module's own contract, every function and the call order
#: of the compression included.
CONTRACT = ["test_compression.py", "test_summary_request.py", "test_transcript.py", "test_cut_time.py",
            "test_timestamps.py", "test_estimator.py", "test_module_surface.py", "test_properties.py",
            "test_binding.py", "test_statement_lines.py"]


def test_the_modules_contract_holds_while_compressors_run_on_other_threads():
    """The module's tests, run while two threads compress with Compressors
    for the whole run (conftest.busy_compressors)."""
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-s", "-p", "no:cacheprovider", *CONTRACT],
                          capture_output=True, text=True, cwd=TESTS, env={**os.environ, BUSY: "1"}, timeout=900)
    assert proc.returncode == 0, proc.stdout[-3000:]
    made = re.search(r"busy compressors: (\d+) compressions, 0 without their own summary", proc.stdout)
    assert made and int(made[1]) > 100


# --- the eight ways rebinding went wrong --------------------------------------------------


def test_an_install_during_another_compression_does_not_take_a_compressors_request(chat):
    asked, release, mine = threading.Event(), threading.Event(), []

    def slow(messages, cfg):
        asked.set()
        release.wait(10)
        return "slow summary"

    worker = threading.Thread(target=Compressor(slow, WINDOW).compress, args=(conversation("first"),))
    worker.start()
    try:
        assert asked.wait(10)
        with facts.install():
            conv = conversation("second")
            result = Compressor(lambda m, c: mine.append(m) or "my summary", WINDOW).compress(conv)
    finally:
        release.set()
        worker.join(10)
    assert (result.summary_source, summary_of(conv), len(mine), chat.calls) == ("llm", "my summary", 1, [])


@given(at=st.integers(0, 400), where=st.sampled_from(["conv", "message", "llm", "facts"]))
@PROPERTY
def test_ctrl_c_anywhere_in_a_compressors_call_leaves_no_request_armed(at, where):
    """A KeyboardInterrupt at the at-th step of a compressor's call (a read of
    the conversation, of a message, the llm, the transcript) leaves the
    conversation as it was or wholly compressed (when it lands in what the
    compressor finds out afterwards), and the next direct call on this
    thread asks the host's routes.chat as ever."""
    counter = [0]

    def tick():
        counter[0] += 1
        if counter[0] == at:
            raise KeyboardInterrupt

    class Conv(dict):
        def get(self, *args):
            if where == "conv":
                tick()
            return super().get(*args)

    class Message(dict):
        def get(self, *args):
            if where == "message":
                tick()
            return super().get(*args)

    def llm(messages, cfg):
        if where == "llm":
            tick()
        return "compressor's summary"

    real_transcript = facts.transcript

    def transcript(msgs):
        if where == "facts":
            tick()
        return real_transcript(msgs)

    plain = conversation()
    conv = Conv(plain, messages=[Message(m) for m in plain["messages"]])
    kept, compressed = copy.deepcopy(conv), copy.deepcopy(plain)
    Compressor(lambda messages, cfg: "compressor's summary", WINDOW).compress(compressed)
    with mock.patch.object(facts, "transcript", transcript):
        compressor = Compressor(llm, WINDOW)
    try:
        compressor.compress(conv)
    except KeyboardInterrupt:
        assert conv in (kept, compressed) and type(conv["messages"]) is list
    fake = FakeChat()
    direct = conversation("direct")
    with placed(fake.module):
        assert cc.cut_and_sum_history(direct, {"max_context": WINDOW})[0]
    assert summary_of(direct) == GOOD_SUMMARY and len(fake.calls) == 1


class Stopped(BaseException):
    """What the test's SIGINT handler raises: a Ctrl-C as the module sees
    one (not an Exception), which pytest does not take for its own."""


def test_a_real_signal_during_compressions_leaves_the_module_as_it_was():
    """SIGINT at many moments of compressions in a loop on the main thread."""
    def stop(signum, frame):
        raise Stopped

    before = native_names()
    compressor = Compressor(lambda m, c: "summary", WINDOW)
    main = threading.get_ident()
    interrupted = 0
    previous = signal.signal(signal.SIGINT, stop)
    try:
        for delay in range(60):
            timer = threading.Timer(delay / 20000, signal.pthread_kill, (main, signal.SIGINT))
            try:
                timer.start()
                for _ in range(20):
                    compressor.compress(conversation())
                timer.join()
                time.sleep(0.001)  # a signal that came late lands here
            except Stopped:
                interrupted += 1
            timer.join()
    finally:
        signal.signal(signal.SIGINT, previous)
    assert interrupted and native_names() == before
    fake = FakeChat()
    direct = conversation("direct")
    with placed(fake.module):
        cc.cut_and_sum_history(direct, {"max_context": WINDOW})
    assert summary_of(direct) == GOOD_SUMMARY


def test_a_host_that_wraps_the_extract_during_a_compression_keeps_a_working_extract(namespace):
    wrapped = []
    original = namespace["simple_extract"]

    def llm(messages, cfg):
        inner = namespace["simple_extract"]
        namespace["simple_extract"] = lambda msgs: wrapped.append(len(msgs)) or inner(msgs)
        return "summary"

    Compressor(llm, WINDOW, facts=False).compress(conversation("first"))
    Compressor(lambda m, c: "again", WINDOW, facts=False).compress(conversation("second"))
    direct = conversation("direct")
    with placed(None):  # no chat layer: the extract, through the host's wrapper
        assert cc.cut_and_sum_history(direct, {"max_context": WINDOW})[0]
    assert wrapped == [10] and summary_of(direct) == original(conversation()["messages"][:10])


def test_an_uninstall_overlapped_by_a_compression_is_not_undone(namespace):
    original = {name: namespace[name] for name in ("_msgs_to_text", "simple_extract")}
    asked, release = threading.Event(), threading.Event()

    def slow(messages, cfg):
        asked.set()
        release.wait(10)
        return "summary"

    handle = facts.install()
    worker = threading.Thread(target=Compressor(slow, WINDOW).compress, args=(conversation(),))
    worker.start()
    try:
        assert asked.wait(10)
        handle.uninstall()
    finally:
        release.set()
        worker.join(10)
    assert all(namespace[name] is fn for name, fn in original.items())


def test_many_acompress_calls_whose_llm_needs_the_default_executor_all_finish(run_python):
    """In a child: threads stuck waiting for each other would hold it past its time-out."""
    assert run_python(textwrap.dedent("""
        import asyncio, json
        from context_compress import Compressor
        from test_compressor_isolation import WINDOW, conversation, summary_of

        async def llm(messages, cfg):
            return await asyncio.to_thread(lambda: "summary from a thread")

        async def main():
            compressor = Compressor(llm, WINDOW)
            convs = [conversation(f"c{i}") for i in range(64)]
            results = await asyncio.gather(*(compressor.acompress(c) for c in convs))
            return sorted({r.summary_source for r in results}), sorted({summary_of(c) for c in convs})

        print(json.dumps(asyncio.run(main())))
    """), timeout=60) == [["llm"], ["summary from a thread"]]


def test_compress_with_an_async_client_keeps_using_its_connections():
    """An official async client keeps its connections alive between requests;
    compress() awaits every answer on the compressor's one loop, where those
    connections live."""
    openai = pytest.importorskip("openai")
    with running_server() as server:
        client = openai.AsyncOpenAI(base_url=server.url("ok"), api_key="sk-test", max_retries=0)
        compressor = Compressor(from_openai(client, "test-model"), WINDOW)
        try:
            results = [compressor.compress(conversation(f"c{i}")) for i in range(6)]
        finally:
            compressor.close()
    assert [(r.summary_source, r.llm_error) for r in results] == [("llm", None)] * 6
    assert len(server.requests) == 6


class AttributeStore(collections.abc.MutableMapping):
    """A host's conversation that keeps its data in an attribute: a shallow
    copy shares it."""

    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def __setitem__(self, key, value):
        self.data[key] = value

    def __delitem__(self, key):
        del self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


@pytest.mark.parametrize("awaited", [False, True])
def test_a_cancelled_acompress_never_writes_into_the_hosts_object(monkeypatch, awaited, caplog):
    monkeypatch.setattr(threads, "IDLE_WORKER_SECONDS", 0.01)
    release = threading.Event()

    def blocking(messages, cfg):
        release.wait(10)
        return "late summary"

    async def waiting(messages, cfg):
        await asyncio.to_thread(release.wait, 10)
        return "late summary"

    store = AttributeStore(conversation(n=40))
    kept = copy.deepcopy(store.data)
    called = threading.Event()
    real_transcript = facts.transcript
    threads_before = set(threading.enumerate())

    async def main():
        with mock.patch.object(facts, "transcript", lambda msgs: called.set() or real_transcript(msgs)):
            compressor = Compressor(waiting if awaited else blocking, WINDOW)
        task = asyncio.create_task(compressor.acompress(store))
        await asyncio.to_thread(called.wait, 10)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        release.set()

    asyncio.run(main())
    for thread in set(threading.enumerate()) - threads_before:
        thread.join(10)
    assert store.data == kept and len(store.data["messages"]) == 40
    assert not [r for r in caplog.records if "extract" in r.getMessage()]


def test_acompress_appends_what_the_host_added_meanwhile_and_refuses_a_changed_list():
    release = threading.Event()

    def llm(messages, cfg):
        release.wait(10)
        return "summary"

    async def main(change):
        conv = conversation()
        compressor = Compressor(llm, WINDOW)
        task = asyncio.create_task(compressor.acompress(conv))
        await asyncio.sleep(0.05)
        change(conv)
        release.set()
        result = await task
        release.clear()
        return result, conv

    late = {"role": "user", "content": "late", "timestamp": "2024-05-01T10:01:00+00:00"}
    appended, conv = asyncio.run(main(lambda c: c["messages"].append(late)))
    assert appended.compressed and conv["messages"][-1] is late and len(conv["messages"]) == 12
    replaced, conv = asyncio.run(main(lambda c: c.__setitem__("messages", c["messages"][:5])))
    assert not replaced.compressed and "changed" in replaced.reason and len(conv["messages"]) == 5


# --- the rule, over generated interleavings ---------------------------------------------------

COMPRESSOR_STEPS = ["compress", "acompress", "nested", "interrupt"]
HOST_STEPS = ["install", "uninstall", "rebind", "direct"]


@settings(max_examples=30, deadline=None)
@given(host=st.lists(st.sampled_from(COMPRESSOR_STEPS + HOST_STEPS), min_size=1, max_size=8),
       others=st.lists(st.lists(st.sampled_from(COMPRESSOR_STEPS), min_size=1, max_size=6), max_size=2))
def test_compressors_get_their_own_summaries_and_the_module_its_own_whatever_happens(host, others):
    """The host's thread installs, rebinds and calls the module directly
    while other threads run compressors (nested ones, cancelled ones,
    interrupted ones); afterwards every compressor got its own llm's summary,
    every direct call the host chat layer's, and the module's names are
    what the host left them."""
    ns = vars(cc)
    saved = dict(ns)
    fake = FakeChat(record=False)
    failures = []
    installs = []
    bound = {}

    def ask(name):
        return lambda messages, cfg: f"summary of {name}"

    def check_compressor(name, result, conv):
        if not (result.summary_source == "llm" and summary_of(conv) == f"summary of {name}"):
            failures.append((name, result.summary_source, result.llm_error))

    def nested_llm(messages, cfg):
        inner = conversation("inner")
        check_compressor("inner", Compressor(ask("inner"), WINDOW).compress(inner), inner)
        return "summary of outer"

    def interrupting(messages, cfg):
        raise Stopped

    def run(index, steps):
        for step in steps:
            name = f"t{index}-{step}"
            conv = conversation(name)
            if step == "compress":
                check_compressor(name, Compressor(ask(name), WINDOW).compress(conv), conv)
            elif step == "acompress":
                check_compressor(name, asyncio.run(Compressor(ask(name), WINDOW).acompress(conv)), conv)
            elif step == "nested":
                check_compressor("outer", Compressor(nested_llm, WINDOW).compress(conv), conv)
            elif step == "interrupt":
                with contextlib.suppress(Stopped):
                    Compressor(interrupting, WINDOW).compress(conv)
                if len(conv["messages"]) != 20:
                    failures.append((name, "interrupted, yet changed"))
            elif step == "install":
                installs.append(facts.install())
            elif step == "uninstall" and installs:
                installs.pop().uninstall()
            elif step == "rebind":
                real = saved["estimate_tokens_text"]
                ns["estimate_tokens_text"] = bound["estimate_tokens_text"] = lambda text: real(text)
            elif step == "direct":
                cc.cut_and_sum_history(conv, {"max_context": WINDOW})
                if summary_of(conv) != GOOD_SUMMARY:
                    failures.append((name, summary_of(conv)[:40]))

    fake.answer = {"choices": [{"message": {"content": GOOD_SUMMARY}}]}
    try:
        with placed(fake.module):
            workers = [threading.Thread(target=run, args=(i + 1, steps)) for i, steps in enumerate(others)]
            for worker in workers:
                worker.start()
            run(0, host)
            for worker in workers:
                worker.join(60)
        while installs:
            installs.pop().uninstall()
        assert failures == []
        assert ns.keys() == saved.keys() and all(ns[name] is bound.get(name, saved[name]) for name in saved)
    finally:
        ns.clear()
        ns.update(saved)


def test_an_acompress_cancelled_before_its_request_never_asks_the_llm(monkeypatch, caplog):
    """Cancelled while its transcript is being written, the call makes no
    request at all: the llm is never called, its coroutine never made."""
    monkeypatch.setattr(threads, "IDLE_WORKER_SECONDS", 0.01)
    writing, release, asked = threading.Event(), threading.Event(), []
    real_transcript = facts.transcript
    threads_before = set(threading.enumerate())

    def slow_transcript(msgs, budget=facts.TRANSCRIPT_BUDGET, *, later=None):
        writing.set()
        release.wait(10)
        return real_transcript(msgs, budget, later=later)

    async def llm(messages, cfg):
        asked.append(messages)
        return "summary"

    async def main():
        with mock.patch.object(facts, "transcript", slow_transcript):
            task = asyncio.create_task(Compressor(llm, WINDOW).acompress(conversation()))
            await asyncio.to_thread(writing.wait, 10)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            release.set()

    asyncio.run(main())
    for thread in set(threading.enumerate()) - threads_before:
        thread.join(10)
    assert asked == [] and not [r for r in caplog.records if r.levelname == "WARNING"]

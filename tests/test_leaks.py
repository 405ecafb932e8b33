"""Repeated calls do not grow memory: every one of the nine functions, on
ordinary input, on input that raises and on the fallback paths, thousands of
times, and the same for the fact finder and selection (context_compress._facts),
allocation failures included. Four measures, each checked against a deliberately leaking canary so
that a margin too wide to catch one leaked object or block per call fails
here first:

- reference counts of every object the calls share (arguments, their
  contents, the module namespace) stay exactly as they were;
- tracemalloc: Python allocations still alive after the calls (fresh
  arguments per call, so a leaked reference keeps a whole argument alive);
- glibc's count of malloc'd bytes in use, for native blocks tracemalloc
  does not see;
- resident size of a fresh process running each function's scenarios.
"""

import copy
import ctypes
import gc
import json
import os
import subprocess
import sys
import tracemalloc

import pytest

import routes.context_compress as cc
from context_compress import _engine, _facts, facts
from context_compress.texts import SUMMARY_PREFIX
from fake_chat import UNSET, FakeChat, place, placed
from shared import PlainDict, PlainStr, StrRaises

STAMP = "2024-05-01T12:00:{:02d}+00:00"
CALLS = 1000            # per scenario, measure and window
WARMUP = 100
# The smallest block a leaked object can hold is 16 bytes (a bare object);
# one per call over CALLS calls is 16000 bytes, twice this margin.
TRACED_MARGIN = 8 * 1024
# The malloc heap (glibc's count of bytes in use) sees native blocks that
# tracemalloc does not: one 32-byte block per call is 48000 bytes or more.
HEAP_MARGIN = 16 * 1024
# Resident size moves by pages and arenas, so it is the coarse backstop:
# windows of RSS_ROUNDS rounds over all scenarios of a function, and a leak
# of one 256-byte block per call in any one of them passes this margin.
RSS_ROUNDS = 1000
RSS_MARGIN = 128 * 1024
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


def message(i, content=None, **extra):
    return {"role": "user" if i % 2 == 0 else "assistant",
            "content": content if content is not None else "一二三" * 100 + " word", "timestamp": STAMP.format(i),
            **extra}


MIXED = [
    message(0, "plain ascii text"),
    message(1, [{"type": "text", "text": "部分 text"}, {"type": "image_url", "image_url": {"url": "x"}}, "loose 😀",
                None, 7]),
    {"role": "tool", "content": "ignored", "tool_result": "结果 " * 40, "timestamp": STAMP.format(2)},
    {"role": "tool", "content": {"a": 1}, "timestamp": STAMP.format(3)},
    {"content": 42},
    {},
    message(6, "x" * 2500),
    message(7, "\ud800 lone surrogate \U0002a700"),
    # Texts made at run time, never interned: a reference kept to one always
    # shows in its count, whereas an interned literal such as "assistant" may
    # have been made immortal by whatever ran before.
    {"role": "".join(["assis", "tant"]), "content": "".join(["made at ", "run time"]), "timestamp": STAMP.format(8)},
]
LONG = [message(i, "長" * 2100) for i in range(6)]


def compressible(n=12):
    return {"id": "c", "created_at": STAMP.format(0), "cut_time": STAMP.format(0),
            "messages": [message(i) for i in range(n)]}


CONFIG = {"max_context": 3000, "model": "m"}


class FailingStore(dict):
    """A conversation that refuses to replace its cut_time; a copy of it,
    built key by key, can still be made."""

    def __setitem__(self, key, value):
        if key == "cut_time" and key in self:
            raise OSError("store")
        super().__setitem__(key, value)


def chat_answering(answer):
    """routes.chat answering `answer`; an exception is given as its class, so
    that each call raises a new instance (a shared one would collect
    tracebacks)."""
    return FakeChat(answer, record=False).module


GOOD_CHAT = chat_answering({"choices": [{"message": {"content": " summary "}}]})
NO_CHAT = None  # sys.modules entry None: the import raises ImportError

# name: (function name, args, kwargs, expected exception or None, routes.chat as fake_chat.place takes it)
SCENARIOS = {
    "parse-zulu": ("_parse_ts", ("2024-05-01T12:00:00.123456Z",), {}, None),
    "parse-offset": ("_parse_ts", ("2024-05-01 12:00:00+08:00",), {}, None),
    "parse-invalid-text": ("_parse_ts", ("not a time",), {}, None),
    "parse-not-text": ("_parse_ts", (12,), {}, None),
    "parse-binding": ("_parse_ts", (), {}, TypeError),
    "add-seconds": ("add_seconds_rfc3339", ("2024-05-01T12:00:00Z", 1), {}, None),
    "add-seconds-fraction": ("add_seconds_rfc3339", ("2024-05-01T12:00:00.5+08:00", -1.25), {}, None),
    "add-seconds-unparsable": ("add_seconds_rfc3339", ("garbage", "x"), {}, None),
    "add-seconds-bad-secs": ("add_seconds_rfc3339", ("2024-05-01T12:00:00Z", "1"), {}, TypeError),
    "add-seconds-overflow": ("add_seconds_rfc3339", ("9999-12-31T23:59:59Z", 1), {}, OverflowError),
    "add-seconds-keywords": ("add_seconds_rfc3339", (), {"secs": 2, "ts": "2024-05-01"}, None),
    "add-seconds-bad-keyword": ("add_seconds_rfc3339", ("t",), {"sec": 1}, TypeError),
    "cut-stored": ("get_conv_cut_time", ({"cut_time": STAMP.format(5), "messages": MIXED},), {}, None),
    "cut-created": ("get_conv_cut_time", ({"created_at": STAMP.format(1)},), {}, None),
    "cut-first-message": ("get_conv_cut_time", ({"messages": [{}, {"timestamp": ""}, message(3)]},), {}, None),
    "cut-clock": ("get_conv_cut_time", (PlainDict(),), {}, None),
    "cut-messages-none": ("get_conv_cut_time", ({"messages": None},), {}, TypeError),
    "window": ("msgs_from_cut_time", ({"cut_time": STAMP.format(3), "messages": MIXED},), {}, None),
    "window-all": ("msgs_from_cut_time", (PlainDict(messages=MIXED),), {}, None),
    "window-number-stamp": ("msgs_from_cut_time", ({"cut_time": "t", "messages": [{"timestamp": 5}]},), {},
                            TypeError),
    "text-ascii": ("estimate_tokens_text", ("ascii " * 300,), {}, None),
    "text-mixed": ("estimate_tokens_text", ("中文 text 😀 \ud800" * 50,), {}, None),
    "text-subclass": ("estimate_tokens_text", (PlainStr("一二三 abc"),), {}, None),
    "text-list": ("estimate_tokens_text", (["一", "b", "㐀x", "zz"],), {}, None),
    "text-int": ("estimate_tokens_text", (5,), {}, TypeError),
    "text-list-of-ints": ("estimate_tokens_text", ([1, 2],), {}, TypeError),
    "estimate": ("estimate_tokens", (MIXED,), {}, None),
    "estimate-subclass-records": ("estimate_tokens", ([PlainDict(content=[PlainDict(type="text", text="t")])],), {},
                                  None),
    "estimate-none-record": ("estimate_tokens", ([{}, None],), {}, AttributeError),
    "estimate-bad-part-text": ("estimate_tokens", ([{"content": [{"type": "text", "text": 5}]}],), {}, TypeError),
    "transcript": ("_msgs_to_text", (MIXED,), {}, None),
    "transcript-cut": ("_msgs_to_text", (LONG,), {}, None),
    "transcript-bad-str": ("_msgs_to_text", ([message(0), {"role": StrRaises(), "content": "x"}],), {}, ValueError),
    "transcript-bad-part": ("_msgs_to_text", ([{"content": [StrRaises()]}],), {}, ValueError),
    "extract": ("simple_extract", (MIXED + LONG,), {}, None),
    "extract-few": ("simple_extract", (MIXED[:5],), {}, None),
    "extract-none": ("simple_extract", (None,), {}, None),
    "extract-no-len": ("simple_extract", (iter(MIXED),), {}, TypeError),
    "compress": ("cut_and_sum_history", (compressible(), CONFIG), {}, None, GOOD_CHAT),
    "compress-chat-raises": ("cut_and_sum_history", (compressible(), CONFIG), {}, None,
                             chat_answering(RuntimeError)),
    "compress-no-chat": ("cut_and_sum_history", (compressible(),), {"llm_config": CONFIG}, None, NO_CHAT),
    "compress-empty-answer": ("cut_and_sum_history", (compressible(), CONFIG), {}, None, chat_answering(None)),
    "compress-interrupted": ("cut_and_sum_history", (compressible(), CONFIG), {}, KeyboardInterrupt,
                             chat_answering(KeyboardInterrupt)),
    "compress-store-fails": ("cut_and_sum_history", (FailingStore(compressible()), CONFIG), {}, OSError,
                             GOOD_CHAT),
    "compress-below-threshold": ("cut_and_sum_history", (compressible(),), {}, None),
    "compress-no-span": ("cut_and_sum_history", ({"messages": [message(1, "一" * 5000)]}, CONFIG), {}, None),
    "compress-number-stamp": ("cut_and_sum_history", ({"cut_time": "t", "messages": [{"timestamp": 1}]},), {},
                              TypeError),
    "compress-binding": ("cut_and_sum_history", (1, 2, 3), {}, TypeError),
    "compress-config-garbage": ("cut_and_sum_history", (compressible(), {"max_context": "abc"}), {}, None),
}


def expand(row):
    name, args, kwargs, exc, *chat = row
    return name, args, kwargs, exc, (chat[0] if chat else UNSET)


@pytest.fixture
def scenario_env():
    """fake_chat.place, for the chat module a scenario wants (not through
    monkeypatch, which would record every change); routes.chat is restored
    afterwards."""
    with placed(UNSET):
        yield place


@pytest.fixture(params=sorted(SCENARIOS))
def scenario(request, scenario_env):
    """One scenario, its chat module installed: (name, args, kwargs, exc, chat)."""
    row = expand(SCENARIOS[request.param])
    scenario_env(row[-1])
    return row


def caller(name, args, kwargs, exc, fresh):
    """One call per invocation; with `fresh`, every argument is a new deep
    copy, so that any reference the call keeps holds a new object alive."""
    function = getattr(cc, name)

    def call():
        a, k = (copy.deepcopy(args), copy.deepcopy(kwargs)) if fresh else (rebuild(args), kwargs)
        if exc is None:
            function(*a, **k)
            return
        try:
            function(*a, **k)
        except exc:
            pass
        else:
            raise AssertionError(f"{name} did not raise {exc.__name__}")

    return call


def rebuild(args):
    """Shared arguments, except that a conversation gets a new outer dict and
    list each time (a compression rewrites them); its messages are shared."""
    if args and isinstance(args[0], dict) and isinstance(args[0].get("messages"), list):
        conv = copy.copy(args[0])
        dict.__setitem__(conv, "messages", list(args[0]["messages"]))
        return (conv,) + tuple(args[1:])
    return args


def reachable(*roots):
    """Every container and value under `roots` (ids kept to skip repeats)."""
    seen, out, stack = set(), [], list(roots)
    while stack:
        obj = stack.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        out.append(obj)
        if isinstance(obj, dict):
            stack.extend(obj.keys())
            stack.extend(obj.values())
        elif isinstance(obj, (list, tuple)):
            stack.extend(obj)
    return out


def refcount_drift(call, tracked):
    for _ in range(WARMUP):
        call()
    gc.collect()
    before = [sys.getrefcount(o) for o in tracked]
    for _ in range(CALLS):
        call()
    gc.collect()
    after = [sys.getrefcount(o) for o in tracked]
    return [(repr(o)[:60], a - b) for o, b, a in zip(tracked, before, after) if a != b]


def windows(call, measure, calls=CALLS, count=2):
    """The smallest growth of `count` back-to-back windows of `calls` calls.
    A leak grows every window; what the interpreter fills once (a table that
    grows once, a new arena's bookkeeping, free lists refilled with blocks
    allocated since tracing began) settles within the first."""
    for _ in range(WARMUP):
        call()
    gc.collect()
    growths = []
    for _ in range(count):
        base = measure()
        for _ in range(calls):
            call()
        gc.collect()
        growths.append(measure() - base)
    return min(growths)


def traced_growth(call):
    tracemalloc.start()
    try:
        return windows(call, lambda: tracemalloc.get_traced_memory()[0], count=3)
    finally:
        tracemalloc.stop()


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


try:
    _libc = ctypes.CDLL(None)
    _mallinfo2 = _libc.mallinfo2
    _mallinfo2.restype = _Mallinfo2
except (OSError, AttributeError):
    _libc = _mallinfo2 = None
NATIVE_HEAP = _mallinfo2 is not None and not UNDER_ASAN and os.environ.get("PYTHONMALLOC") != "malloc"


def heap_in_use():
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def heap_growth(call):
    return windows(call, heap_in_use)


def resident_after_trim():
    gc.collect()
    _libc.malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def resident_growth(call):
    return windows(call, resident_after_trim, RSS_ROUNDS)


def test_shared_objects_keep_their_reference_counts(scenario):
    name, args, kwargs, exc, chat = scenario
    tracked = reachable(args, kwargs) + list(vars(cc).values())
    if chat not in (UNSET, None):
        tracked += [chat, chat._call_llm_api]
    assert refcount_drift(caller(name, args, kwargs, exc, fresh=False), tracked) == []


def test_no_python_memory_kept_by_calls(scenario):
    assert traced_growth(caller(*scenario[:4], fresh=True)) < TRACED_MARGIN


def test_rebound_collaborators_keep_reference_counts(namespace, scenario_env):
    # The calls go through Python-level replacements of the names the module
    # looks up: each lookup and call must give its reference back.
    scenario_env(GOOD_CHAT)
    calls = []
    namespace["estimate_tokens_text"] = lambda text: 1000
    namespace["_parse_ts"] = lambda ts: calls.append(None)
    conv = compressible()
    tracked = reachable(conv, CONFIG) + list(namespace.values())
    call = caller("cut_and_sum_history", (conv, CONFIG), {}, None, fresh=False)
    assert refcount_drift(call, tracked) == []
    assert len(calls) == WARMUP + CALLS


@pytest.mark.skipif(not NATIVE_HEAP, reason="needs glibc's malloc with pymalloc in front of it")
def test_no_native_heap_kept_by_calls(scenario):
    assert heap_growth(caller(*scenario[:4], fresh=True)) < HEAP_MARGIN


def round_robin(function):
    """One call of every scenario of `function`, chat modules set directly."""
    calls = []
    for row in SCENARIOS.values():
        name, args, kwargs, exc, chat = expand(row)
        if name == function:
            calls.append((chat, caller(name, args, kwargs, exc, fresh=True)))

    def run():
        for chat, call in calls:
            place(chat)
            call()

    return run


# Resident size is measured in a fresh interpreter: in a long test session
# the heap is full of free holes that a leak would fill without growing it.
RSS_CHILD = """
import json, sys
sys.path.insert(0, sys.argv[1])
import test_leaks as t
call = t.leaking_malloc(256) if sys.argv[2] == "canary" else t.round_robin(sys.argv[2])
print(json.dumps(t.resident_growth(call)))
"""


def resident_growth_in_child(which):
    proc = subprocess.run([sys.executable, "-c", RSS_CHILD, os.path.dirname(__file__), which],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    return json.loads(proc.stdout.splitlines()[-1])


RSS_MEASURABLE = pytest.mark.skipif(
    UNDER_ASAN or _libc is None or not os.path.exists("/proc/self/statm"),
    reason="needs glibc's malloc and /proc (the sanitizer's quarantine holds freed memory)")


@RSS_MEASURABLE
@pytest.mark.parametrize("function", sorted({row[0] for row in SCENARIOS.values()}))
def test_resident_size_does_not_grow(function):
    assert resident_growth_in_child(function) < RSS_MARGIN


# --- the measures can fail -----------------------------------------------------

_kept = []


def test_canary_refcount_drift_is_seen():
    shared = {"k": "v"}

    def leak_reference():
        _kept.append(shared)

    drift = refcount_drift(leak_reference, [shared])
    _kept.clear()
    assert drift == [(repr(shared), CALLS)]


def test_canary_one_small_object_per_call_exceeds_traced_margin():
    def leak_object():
        _kept.append(object())

    growth = traced_growth(leak_object)
    _kept.clear()
    assert growth >= TRACED_MARGIN


def leaking_malloc(size):
    # The blocks are really lost (well under 1 MiB in all): keeping their
    # addresses in Python objects would grow the process by itself.
    malloc = _libc.malloc
    malloc.restype = None
    malloc.argtypes = [ctypes.c_size_t]
    return lambda: malloc(size)


@pytest.mark.skipif(not NATIVE_HEAP, reason="needs glibc's malloc with pymalloc in front of it")
def test_canary_one_small_native_block_per_call_exceeds_heap_margin():
    assert heap_growth(leaking_malloc(32)) >= HEAP_MARGIN


@RSS_MEASURABLE
def test_canary_one_native_block_per_call_exceeds_resident_margin():
    assert resident_growth_in_child("canary") >= RSS_MARGIN


# --- context_compress._facts -----------------------------------------------------

SHARES = facts.TRANSCRIPT_SHARES


def fact_span():
    """A span as the selection reads it, every string made afresh: a leaked
    reference to any of them keeps new memory alive."""
    def text(*parts):
        return "".join(parts)

    return [
        (text("[user] "), text("Keep src/app/main.py as it is.", " Don't touch migrations."), 1, (), (), ""),
        (text("[assistant] "), "", 0, (text("call bash ", '{"command": "pytest -x"}'),), (text("c", "1"),), ""),
        (text("[tool_result] "), text("$ pytest -x\n", "E   KeyError: 'unit_price'\n", "  x" * 200, "\n12.5 MB ok"),
         3, (), (), text("c", "1")),
        (text("[user] "), text(SUMMARY_PREFIX, "earlier: fixed FIN-2291 in pricing_rules.py"), 2, (), (), ""),
        (text("[assistant] "), text("中文 😀 \ud800 ", "3f9a2c1d https://example.org/a"), 0, (), (), ""),
    ]


def nomemory(function, arguments):
    """`function(*arguments())` with its k-th allocation failing, k moving on
    at every call: the paths that give MemoryError back from every point of
    it. The arguments are made before the failures start (the interpreter's
    own code is not what is tested here, and 3.13.0 crashes making a
    function object when that allocation fails)."""
    _testcapi = pytest.importorskip("_testcapi")
    counter = iter(range(10**9))

    def failing():
        args = arguments()
        start = next(counter) % 60
        _testcapi.set_nomemory(start, start + 1)
        try:
            function(*args)
        except MemoryError:
            pass
        finally:
            _testcapi.remove_mem_hooks()

    return failing


FACT_SCENARIOS = {
    "select": lambda: _facts.select(fact_span(), 400, SHARES),
    "select-whole": lambda: _facts.select(fact_span(), 10**6, SHARES),
    "select-not-str-call": lambda: _facts.select([*fact_span(), ("[a] ", "b", 0, ("x", 5), ("", ""), "")], 9, SHARES),
    "select-short-record": lambda: _facts.select([*fact_span(), ("[a] ", "b")], 9, SHARES),
    "select-ids-differ": lambda: _facts.select([*fact_span(), ("[a] ", "b", 0, ("x",), (), "")], 9, SHARES),
    "select-no-memory": nomemory(_facts.select, lambda: (fact_span(), 400, SHARES)),
    "find": lambda: _facts.find([(body, True) for _, body, *_ in fact_span()]),
    "find-not-str": lambda: _facts.find([("".join(["a", "/b.py"]), True), (5, False)]),
    "find-no-memory": nomemory(_facts.find, lambda: ([(body, True) for _, body, *_ in fact_span()],)),
    "seen": lambda: facts.seen([{"role": "user", "content": body} for _, body, *_ in fact_span()], "src/app/main.py"),
}
FACT_ERRORS = {"select-not-str-call": TypeError, "select-short-record": TypeError, "select-ids-differ": ValueError,
               "find-not-str": TypeError}


@pytest.mark.parametrize("name", sorted(FACT_SCENARIOS))
def test_fact_calls_keep_memory_flat(name):
    def call():
        try:
            FACT_SCENARIOS[name]()
        except FACT_ERRORS.get(name, ()):
            pass

    shared = reachable(SHARES, _facts, vars(facts))
    assert refcount_drift(call, shared) == []
    assert traced_growth(call) < TRACED_MARGIN
    if NATIVE_HEAP:
        assert heap_growth(call) < HEAP_MARGIN


# --- the host library's door to the compression (context_compress._engine) ------------------


def _ask_summary(messages, cfg):
    return "".join([" summary ", "of the span "])


def _ask_raises(messages, cfg):
    raise RuntimeError("".join(["down ", "now"]))


def _transcript(span, later):
    return _engine.transcript(span)


def _extract(span, later):
    return _engine.extract(span)


def _collaborators(ask=_ask_summary, extract=_extract):
    return (_transcript, extract, ask, "".join(["prompt"]), "".join(["[s] "]), None)


def agent_list(n=16, anthropic=False):
    """A plain list with tool calls and results, every string made afresh."""
    out = [{"role": "system", "content": "".join(["rules ", "here"])}] if not anthropic else []
    for i in range(n):
        out.append({"role": "user", "content": "".join(["ask ", str(i), " ", "q" * 300])})
        if anthropic:
            out.append({"role": "assistant", "content": [{"type": "tool_use", "id": f"t{i}", "name": "run",
                                                          "input": {"cmd": "".join(["ls ", str(i)])}}]})
            out.append({"role": "user", "content": [{"type": "tool_result", "tool_use_id": f"t{i}",
                                                     "content": [{"type": "text", "text": "o" * 400}]}]})
        else:
            out.append({"role": "assistant", "content": None, "tool_calls": [
                {"id": f"c{i}", "type": "function", "function": {"name": "run", "arguments": '{"cmd": "ls"}'}}]})
            out.append({"role": "tool", "tool_call_id": f"c{i}", "content": "o" * 400})
        out.append({"role": "assistant", "content": [{"type": "text", "text": "".join(["done ", str(i)])}]})
    return out


ENGINE_SCENARIOS = {
    "compress": lambda: _engine.compress(compressible(), CONFIG, _collaborators()),
    "compress-ask-raises": lambda: _engine.compress(compressible(), CONFIG, _collaborators(_ask_raises)),
    "compress-keep": lambda: _engine.compress(compressible(), CONFIG, _collaborators(_ask_raises, None)),
    "compress-no-request": lambda: _engine.compress(compressible(), CONFIG, _collaborators(None)),
    "compress-below": lambda: _engine.compress(compressible(2), CONFIG, _collaborators()),
    "compress-bad-collaborators": lambda: _engine.compress(compressible(), CONFIG, (1, 2)),
    "compress-no-memory": nomemory(_engine.compress, lambda: (compressible(), CONFIG, _collaborators())),
    "list-openai": lambda: _engine.compress_list(agent_list(), {"max_context": 3000}, _collaborators(), False),
    "list-anthropic": lambda: _engine.compress_list(agent_list(anthropic=True), {"max_context": 3000},
                                                    _collaborators(), True),
    "list-keep": lambda: _engine.compress_list(agent_list(), {"max_context": 3000},
                                               _collaborators(_ask_raises, None), False),
    "list-below": lambda: _engine.compress_list(agent_list(2), {"max_context": 300000}, _collaborators(), False),
    "list-not-a-list": lambda: _engine.compress_list(5, CONFIG, _collaborators(), False),
    "list-no-memory": nomemory(_engine.compress_list, lambda: (agent_list(), {"max_context": 3000},
                                                               _collaborators(), True)),
    "estimate-values": lambda: _engine.estimate_messages([{"role": "assistant", "tool_calls": [
        {"function": {"name": "f", "arguments": {"a": [1, 2.5, None, True, {"b": "".join(["c", "d"])}]}}}]},
        {"content": [{"type": "thinking", "thinking": "".join(["hm", "m"])}, {"type": "image"}, 7]}]),
}
ENGINE_ERRORS = {"compress-bad-collaborators": TypeError, "list-not-a-list": TypeError}


@pytest.mark.parametrize("name", sorted(ENGINE_SCENARIOS))
def test_engine_calls_keep_memory_flat(name):
    def call():
        try:
            ENGINE_SCENARIOS[name]()
        except ENGINE_ERRORS.get(name, ()):
            pass

    shared = reachable(CONFIG, _engine, vars(_engine))
    assert refcount_drift(call, shared) == []
    assert traced_growth(call) < TRACED_MARGIN
    if NATIVE_HEAP:
        assert heap_growth(call) < HEAP_MARGIN

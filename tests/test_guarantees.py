"""What the interpreter must survive: running a function's code object, Ctrl-C
during a walk the caller made endless or huge, and runaway recursion through
the module on a small thread stack. Each scenario runs in a child
interpreter, since a defect here aborts, hangs or overflows the stack."""

import dis
import inspect
import textwrap

import pytest

import routes.context_compress as cc
from surface import FUNCTIONS, SOURCE_UNIT, entry


@pytest.fixture
def child_result(run_python):
    """run_python for an indented block of code. A hang shows as a failure
    within a minute, not as a stuck suite."""
    return lambda code: run_python(textwrap.dedent(code), timeout=60)


# --- code objects ---------------------------------------------------------------


@pytest.mark.parametrize("route", ["function-type", "code-assignment", "exec"])
def test_running_a_functions_code_object_raises_instead_of_aborting(child_result, route):
    outcomes = child_result(f"""
        import json, types, routes.context_compress as cc
        out = {{}}
        for name in {FUNCTIONS!r}:
            code = getattr(cc, name).__code__
            args = [None] * code.co_argcount
            try:
                if {route!r} == "function-type":
                    types.FunctionType(code, {{}})(*args)
                elif {route!r} == "code-assignment":
                    def stand_in(*a): return 0
                    stand_in.__code__ = code
                    stand_in(*args)
                else:
                    exec(code, {{}})
                out[name] = "returned"
            except TypeError as exc:
                out[name] = "TypeError" if name in str(exc) else str(exc)
        print(json.dumps(out))
    """)
    assert outcomes == {name: "TypeError" for name in FUNCTIONS}


def test_running_a_traceback_entrys_code_raises_instead_of_aborting():
    with pytest.raises(TypeError) as info:
        cc.estimate_tokens(5)
    tb = info.value.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    assert tb.tb_frame.f_code.co_name == entry("estimate_tokens")
    with pytest.raises(Exception):
        exec(tb.tb_frame.f_code, {})


def test_code_objects_still_describe_the_functions():
    for name in FUNCTIONS:
        fn = getattr(cc, name)
        code = fn.__code__
        params = tuple(inspect.signature(fn).parameters)
        assert (code.co_name, code.co_qualname, code.co_filename) == (name, name, SOURCE_UNIT)
        assert code.co_varnames[:code.co_argcount] == params
        assert code.co_posonlyargcount == code.co_kwonlyargcount == 0
        assert code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS | inspect.CO_GENERATOR) == 0
        # The def line, as tracebacks of argument errors name it.
        with pytest.raises(TypeError) as info:
            fn()
        assert info.traceback[-1].lineno + 1 == code.co_firstlineno
        assert min(line for _, _, line in code.co_lines() if line) == code.co_firstlineno
        assert list(dis.get_instructions(code))


# --- Ctrl-C ----------------------------------------------------------------------

# Each call runs over something the caller made endless; a timer's
# KeyboardInterrupt must end it, with the module's traceback entry.
ENDLESS = {
    "estimate_tokens_text": "cc.estimate_tokens_text(itertools.repeat('中'))",
    "estimate_tokens": "cc.estimate_tokens(itertools.repeat({'content': 'x'}))",
    "estimate_tokens-parts": "cc.estimate_tokens([{'content': Endless(['x'])}])",
    "_msgs_to_text": "cc._msgs_to_text(itertools.repeat({'content': ''}))",
    "_msgs_to_text-parts": "cc._msgs_to_text([{'content': Endless(['x'])}])",
    "msgs_from_cut_time": "cc.msgs_from_cut_time({'messages': itertools.repeat({})})",
    "msgs_from_cut_time-window": "cc.msgs_from_cut_time({'cut_time': 'a', 'messages': itertools.repeat({})})",
    "get_conv_cut_time": "cc.get_conv_cut_time({'messages': itertools.repeat({})})",
    "cut_and_sum_history": "cc.cut_and_sum_history({'cut_time': 'a', 'messages': itertools.repeat({})})",
}


@pytest.mark.parametrize("call", list(ENDLESS.values()), ids=list(ENDLESS))
def test_ctrl_c_ends_a_walk_over_an_endless_iterable(child_result, call):
    entries = child_result(f"""
        import itertools, json, signal, traceback, routes.context_compress as cc

        class Endless(list):
            def __iter__(self):
                return itertools.repeat(self[0])

        def interrupt(*args):
            raise KeyboardInterrupt
        signal.signal(signal.SIGALRM, interrupt)
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        try:
            {call}
            print(json.dumps("returned"))
        except KeyboardInterrupt as exc:
            print(json.dumps([f.name for f in traceback.extract_tb(exc.__traceback__)][1:]))
    """)
    # The module's entry leads, then (when the handler ran inside the walk)
    # whatever generator entry and the handler's own frame.
    assert entries[0].startswith("routes.context_compress.") and entries[-1] == "interrupt"


def test_ctrl_c_lands_inside_the_count_of_a_huge_text(child_result):
    # Counting 32M four-byte characters takes milliseconds; a timer firing
    # every 2 ms must interrupt that count itself, not only the loop around it.
    inside = child_result("""
        import json, signal, traceback, routes.context_compress as cc
        big = "中😀" * (1 << 24)
        def interrupt(*args):
            raise KeyboardInterrupt
        signal.signal(signal.SIGALRM, interrupt)
        hits = 0
        for _ in range(5):
            signal.setitimer(signal.ITIMER_REAL, 0.002)
            try:
                while True:
                    cc.estimate_tokens_text(big)
            except KeyboardInterrupt as exc:
                names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
                hits += "routes.context_compress.estimate_tokens_text" in names
        print(json.dumps(hits))
    """)
    assert inside >= 1


@pytest.mark.parametrize("call", [
    "cc.msgs_from_cut_time(conv)",
    "cc.cut_and_sum_history(conv)",
])
def test_ctrl_c_lands_between_two_slow_comparisons(child_result, call):
    """Every stamp equals the cut time as text but is another object, so each
    comparison reads 256 MiB; the interrupt must not wait for a block of
    such comparisons to end."""
    latency = child_result(f"""
        import json, signal, time, routes.context_compress as cc
        cut = "2" * (256 << 20)
        stamp = "2" * (256 << 20)
        conv = {{"cut_time": cut, "messages": [{{"timestamp": stamp}} for _ in range(1000)]}}
        def interrupt(*args):
            raise KeyboardInterrupt
        signal.signal(signal.SIGALRM, interrupt)
        start = time.monotonic()
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            {call}
            print(json.dumps("returned"))
        except KeyboardInterrupt:
            print(json.dumps(time.monotonic() - start - 0.2))
    """)
    # A block of 64 such comparisons takes seconds; one takes milliseconds.
    assert 0 <= latency < 1.0


# --- runaway recursion --------------------------------------------------------

RUNAWAY = {
    "extract-through-transcript": ("cc._msgs_to_text = cc.simple_extract", "cc.simple_extract([1, 2, 3])"),
    "compression-through-cut-time": ("cc.get_conv_cut_time = cc.cut_and_sum_history",
                                     "cc.cut_and_sum_history({'messages': [{'timestamp': 'x'}]})"),
    "estimate-through-python": ("cc.estimate_tokens_text = lambda text: cc.estimate_tokens([{'content': text}])",
                                "cc.estimate_tokens([{'content': 'x'}])"),
    # Binding compares a keyword that is a str subclass with ==, which here
    # calls the function again before any of its body has run.
    "keyword-equality-in-binding": (
        "class Name(str):\n"
        "            __hash__ = str.__hash__\n"
        "            def __eq__(self, other): return cc._parse_ts(**{Name('ts'): 1})",
        "cc._parse_ts(**{Name('ts'): 1})"),
}


@pytest.mark.parametrize("stack_kib", [420, 2048, 3072])
@pytest.mark.parametrize("rebinding, call", list(RUNAWAY.values()), ids=list(RUNAWAY))
def test_runaway_recursion_ends_in_recursion_error_on_a_small_thread_stack(child_result, stack_kib, rebinding, call):
    outcome = child_result(f"""
        import json, threading, routes.context_compress as cc
        {rebinding}
        threading.stack_size({stack_kib} << 10)
        outcome = []
        def run():
            try:
                {call}
                outcome.append("returned")
            except RecursionError as exc:
                outcome.append(type(exc).__name__)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        print(json.dumps(outcome))
    """)
    assert outcome == ["RecursionError"]

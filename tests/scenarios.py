"""What the child interpreters of the tests run: each function is one
scenario, called by the `scenario` fixture in a fresh interpreter with JSON
arguments, and returns a JSON value. A defect in these places aborts, hangs
or overflows the stack, so it must not take the test process with it. The
module is imported inside each scenario, since some must act first."""

import itertools
import json
import signal
import sys
import threading
import time
import traceback
import types


def _module():
    import routes.context_compress as cc
    return cc


# --- code objects ---------------------------------------------------------------


def _run_code(code, route, nargs):
    args = [None] * nargs
    try:
        if route == "function-type":
            types.FunctionType(code, {})(*args)
        elif route == "code-assignment":
            def stand_in(*a):
                return 0
            stand_in.__code__ = code
            stand_in(*args)
        else:
            exec(code, {})
    except Exception as exc:  # noqa: BLE001 - the outcome is the exception
        return [type(exc).__name__, str(exc)]
    return ["returned"]


def function_codes_run(route):
    """Each function's __code__ run as a plain function would be."""
    cc = _module()
    out = {}
    for name in _function_names(cc):
        code = getattr(cc, name).__code__
        out[name] = _run_code(code, route, code.co_argcount)
    return out


def traceback_codes_run(route):
    """The code object of each traceback entry the module adds (an argument
    error of each function, a statement's failure, a generator's), run."""
    cc = _module()
    failures = [lambda name=name: getattr(cc, name)() for name in _function_names(cc)]
    failures += [lambda: cc.estimate_tokens(5), lambda: cc.estimate_tokens_text(5),
                 lambda: cc._msgs_to_text([{"content": [_StrRaises()]}])]
    out = {}
    for fail in failures:
        try:
            fail()
        except Exception as exc:  # noqa: BLE001 - its traceback is what is run
            for frame in traceback.walk_tb(exc.__traceback__):
                code = frame[0].f_code
                if code.co_filename == "routes/context_compress":
                    out[f"{code.co_name}:{frame[1]}"] = _run_code(code, route, 0)
    return out


class _StrRaises:
    def __str__(self):
        raise ValueError("no text")


def _function_names(cc):
    return [name for name, value in vars(cc).items() if type(value).__name__ == "native_function"]


# --- Ctrl-C ------------------------------------------------------------------------


class _Endless(list):
    def __iter__(self):
        return itertools.repeat(self[0])


def _endless_calls(cc):
    return {
        "estimate_tokens_text": lambda: cc.estimate_tokens_text(itertools.repeat("中")),
        "estimate_tokens": lambda: cc.estimate_tokens(itertools.repeat({"content": "x"})),
        "estimate_tokens-parts": lambda: cc.estimate_tokens([{"content": _Endless(["x"])}]),
        "_msgs_to_text": lambda: cc._msgs_to_text(itertools.repeat({"content": ""})),
        "_msgs_to_text-parts": lambda: cc._msgs_to_text([{"content": _Endless(["x"])}]),
        "msgs_from_cut_time": lambda: cc.msgs_from_cut_time({"messages": itertools.repeat({})}),
        "msgs_from_cut_time-window": lambda: cc.msgs_from_cut_time(
            {"cut_time": "a", "messages": itertools.repeat({})}),
        "get_conv_cut_time": lambda: cc.get_conv_cut_time({"messages": itertools.repeat({})}),
        "cut_and_sum_history": lambda: cc.cut_and_sum_history(
            {"cut_time": "a", "messages": itertools.repeat({})}),
    }


ENDLESS = ["estimate_tokens_text", "estimate_tokens", "estimate_tokens-parts", "_msgs_to_text",
           "_msgs_to_text-parts", "msgs_from_cut_time", "msgs_from_cut_time-window", "get_conv_cut_time",
           "cut_and_sum_history"]


def _interrupt(*args):
    raise KeyboardInterrupt


def endless_walk_interrupted(call):
    """The names of the traceback entries of a timer's KeyboardInterrupt in
    a walk over something endless, below the scenario's own."""
    call = _endless_calls(_module())[call]
    signal.signal(signal.SIGALRM, _interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        call()
    except KeyboardInterrupt as exc:
        return [f.name for f in traceback.extract_tb(exc.__traceback__)][2:]
    return "returned"


def huge_count_interrupted():
    """How often, out of five, a timer firing within a count of 32M four-byte
    characters interrupts that count itself rather than the loop around it."""
    cc = _module()
    big = "中😀" * (1 << 24)
    signal.signal(signal.SIGALRM, _interrupt)
    hits = 0
    for _ in range(5):
        signal.setitimer(signal.ITIMER_REAL, 0.002)
        try:
            while True:
                cc.estimate_tokens_text(big)
        except KeyboardInterrupt as exc:
            names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
            hits += "routes.context_compress.estimate_tokens_text" in names
    return hits


def slow_comparisons_interrupted(function):
    """Seconds from a timer's expiry to its KeyboardInterrupt, in a walk where
    every stamp equals the cut time as text but is another object of 256 MiB."""
    cc = _module()
    cut, stamp = "2" * (256 << 20), "2" * (256 << 20)
    conv = {"cut_time": cut, "messages": [{"timestamp": stamp} for _ in range(1000)]}
    signal.signal(signal.SIGALRM, _interrupt)
    start = time.monotonic()
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        getattr(cc, function)(conv)
    except KeyboardInterrupt:
        return time.monotonic() - start - 0.2
    return "returned"


# --- runaway recursion -------------------------------------------------------------


class _Name(str):
    """A keyword whose equality, which binding calls, calls the function again."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        return _module()._parse_ts(**{_Name("ts"): 1})


def _runaways(cc):
    return {
        "extract-through-transcript": (
            lambda: setattr(cc, "_msgs_to_text", cc.simple_extract), lambda: cc.simple_extract([1, 2, 3])),
        "compression-through-cut-time": (
            lambda: setattr(cc, "get_conv_cut_time", cc.cut_and_sum_history),
            lambda: cc.cut_and_sum_history({"messages": [{"timestamp": "x"}]})),
        "estimate-through-python": (
            lambda: setattr(cc, "estimate_tokens_text", lambda text: cc.estimate_tokens([{"content": text}])),
            lambda: cc.estimate_tokens([{"content": "x"}])),
        "keyword-equality-in-binding": (lambda: None, lambda: cc._parse_ts(**{_Name("ts"): 1})),
    }


RUNAWAYS = ["extract-through-transcript", "compression-through-cut-time", "estimate-through-python",
            "keyword-equality-in-binding"]


def runaway_recursion(case, stack_kib):
    """What a runaway recursion through the module ends in, on a thread with
    a stack of `stack_kib` KiB."""
    rebind, call = _runaways(_module())[case]
    rebind()
    threading.stack_size(stack_kib << 10)
    outcome = []

    def run():
        try:
            call()
            outcome.append("returned")
        except RecursionError as exc:
            outcome.append(type(exc).__name__)

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return outcome


# --- interpreters ---------------------------------------------------------------------


def _in_subinterpreter(config):
    import _interpreters
    iid = _interpreters.create(_interpreters.new_config(config[0], **config[1]))
    try:
        failure = _interpreters.run_string(
            iid, f"import sys; sys.path[:] = {sys.path!r}; import routes.context_compress")
    finally:
        _interpreters.destroy(iid)
    return None if failure is None else [failure.type.__name__, failure.msg]


def _in_main():
    try:
        import routes.context_compress  # noqa: F401
    except ImportError as exc:
        return ["ImportError", str(exc)]
    return None


def second_interpreters(configs, main_first=True):
    """The outcome of importing the module in a sub-interpreter of each
    config ([base, overrides]), after (or, main_first false, before) the main
    interpreter does; then whether the main interpreter's module still works."""
    out = {}
    if main_first:
        cc = _module()
    out["sub"] = [_in_subinterpreter(config) for config in configs]
    out["main"] = [_in_main(), _in_main()]
    if main_first:
        del sys.modules["routes.context_compress"]
        import routes.context_compress as again
        out["same_module"] = again is cc
        out["add"] = cc.add_seconds_rfc3339("2024-05-01T12:00:00Z", 1)
        out["window"] = cc.msgs_from_cut_time({"cut_time": "b", "messages": [{"timestamp": "c"}]})
    return out


def import_under_other_name(placeholder):
    """The module loaded from its file as "context_compress" (with, or
    without, another module already registered as routes.context_compress)."""
    import importlib.util
    origin = importlib.util.find_spec("routes.context_compress").origin
    if placeholder:
        sys.modules["routes.context_compress"] = placeholder = types.ModuleType("placeholder")
    spec = importlib.util.spec_from_file_location("context_compress", origin)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    registered = sys.modules.get("routes.context_compress")
    imported = None if placeholder else _module()
    return {"name": mod.__name__, "registered_is_mod": registered is mod,
            "registered_is_placeholder": registered is placeholder, "imported_is_mod": imported is mod,
            "fn_modules": sorted({getattr(mod, n).__module__ for n in _function_names(mod)}),
            "parses": str(mod._parse_ts("2024-05-01"))}


# --- collaborators that change what the module handed them ------------------------


def rebound_estimator_clearing(mode):
    """cut_and_sum_history with an estimate_tokens that clears the active list
    it was handed: at the first call, or later (`mode`)."""
    cc = _module()
    stamp = "2024-05-01T12:00:{:02d}+00:00"
    conv = {"cut_time": stamp.format(0), "messages": [
        {"role": "user", "content": "a", "timestamp": stamp.format(i)} for i in range(1, 6)]}
    seen = []

    def estimate_tokens(msgs):
        seen.append(msgs)
        if mode == "clear-first":
            msgs.clear()
        elif mode == "clear-later" and len(seen) == 2:
            seen[0].clear()
        return 10 ** 9 if len(seen) == 1 else 1

    cc.estimate_tokens = estimate_tokens
    try:
        result = cc.cut_and_sum_history(conv)
        return ["returned", result[0], len(conv["messages"])]
    except Exception as exc:  # noqa: BLE001 - the outcome is the exception
        return ["raised", type(exc).__name__, str(exc)]


# --- threads the interpreter ends at exit -----------------------------------------


def _spin(entered):
    """Signals that the thread is where it should be, then runs Python code
    for ever: the thread gives the interpreter lock up and asks for it back
    every few milliseconds."""
    entered.set()
    while True:
        sum(range(64))


def _stamped(i, content="x" * 400):
    return {"role": "user", "content": content, "timestamp": f"2024-05-01T12:{i // 60:02d}:{i % 60:02d}+00:00"}


def _exiting_thread_call(place, entered):
    """A cut_and_sum_history call that ends up, for ever, at `place`: in the
    host's chat layer blocked with the lock released (sleeping, reading a
    socket), or in Python code of the host (a get, a __str__, a comparison)."""
    cc = _module()
    over = {"max_context": 1000}
    messages = [_stamped(i) for i in range(40)]

    if place in ("llm-sleep", "llm-socket"):
        import socket

        def call_llm_api(messages, cfg, stream=False):
            entered.set()
            if place == "llm-sleep":
                while True:
                    time.sleep(0.001)
            reader, _writer = socket.socketpair()
            reader.settimeout(0.001)
            while True:
                try:
                    reader.recv(1)
                except TimeoutError:
                    pass

        chat = types.ModuleType("routes.chat")
        chat._call_llm_api = call_llm_api
        sys.modules["routes.chat"] = chat
        return lambda: cc.cut_and_sum_history({"messages": messages}, over)

    class SpinningGet(dict):
        def get(self, *args):
            _spin(entered)

    class SpinningStr:
        def __str__(self):
            _spin(entered)

    class SpinningStamp(str):
        def __ge__(self, other):
            _spin(entered)

    if place == "conversation-get":
        return lambda: cc.cut_and_sum_history(SpinningGet(messages=messages), over)
    if place == "message-get":
        return lambda: cc.cut_and_sum_history({"messages": messages + [SpinningGet()]}, over)
    if place == "str":
        # The extract's transcript is built while the span's parts are held.
        sys.modules["routes.chat"] = None
        spinning = dict(_stamped(0), content=["part", SpinningStr()])
        return lambda: cc.cut_and_sum_history({"messages": [spinning] + messages[1:]}, over)
    if place == "comparison":
        cut = "2024-05-01T12:00:00+00:00"
        stamped = dict(_stamped(1), timestamp=SpinningStamp("2024-05-01T12:00:01+00:00"))
        return lambda: cc.cut_and_sum_history({"cut_time": cut, "messages": [stamped] + messages}, over)
    raise ValueError(place)


class _Linger:
    """Held by a module until the interpreter clears it at exit: its
    __del__ then gives the lock up for a while, during finalization, so that
    every waiting thread asks for it back while the interpreter ends them,
    and writes to `report` how many of `threads` (native ids) are still
    there afterwards."""

    def __init__(self, seconds, threads, report):
        import os
        self.seconds, self.threads, self.report = seconds, threads, report
        self.sleep, self.listdir, self.os = time.sleep, os.listdir, os

    def __del__(self):
        self.sleep(self.seconds)
        alive = sum(str(tid) in self.listdir("/proc/self/task") for tid in self.threads)
        fd = self.os.open(self.report, self.os.O_WRONLY | self.os.O_CREAT, 0o600)
        self.os.write(fd, str(alive).encode())
        self.os.close(fd)


def daemon_threads_at_exit(places, linger, report):
    """Daemon threads, one per place, each inside cut_and_sum_history and
    stuck at its place when the main thread returns and the interpreter
    finalizes. The places each thread reached; `report` gets how many of
    the threads were left after `linger` seconds of finalization."""
    reached, threads = [], []
    for place in places:
        entered = threading.Event()
        call = _exiting_thread_call(place, entered)
        thread = threading.Thread(target=call, daemon=True)
        thread.start()
        if entered.wait(30):
            reached.append(place)
        threads.append(thread.native_id)
    # A module the interpreter clears while it finalizes, unlike __main__.
    keeper = types.ModuleType("scenarios_linger")
    keeper.linger = _Linger(linger, threads, report)
    sys.modules[keeper.__name__] = keeper
    return reached


def main():
    name, args = sys.argv[1], json.loads(sys.argv[2])
    print(json.dumps(globals()[name](*args)))


if __name__ == "__main__":
    main()

"""Benchmarks: routes.context_compress against the pure-Python baseline,
tests/reference.py (the same nine functions in plain Python).

    python bench/run.py            # full run (15-20 minutes on 2 cores)
    python bench/run.py --quick    # reduced sizes and values, under two minutes

Timing uses pyperf: every benchmark runs in fresh worker processes (loop
calibration in one, values in the others) and the parent collects the values.
The native function and its baseline are timed in the same run, one after the
other, and a row with both times and their ratio is printed as soon as the
pair is done. Any pyperf option can be added (e.g. ``-p 20`` for more worker
processes, ``-v``).

Besides the timings the run
  * builds bench/hwref.cpp with g++ and times that loop over the same texts
    as the estimator (2-byte and 4-byte strings),
  * measures the peak memory of _msgs_to_text and cut_and_sum_history over a
    span of long messages, each in a fresh subprocess (tracemalloc peak, and
    the growth of the process's peak RSS, which also sees allocations made
    outside Python's allocator),
  * checks that native and baseline return the same results on every input,
  * writes bench/out/results.md, bench/out/scaling.png and
    bench/out/pyperf.json, and nothing else: `python bench/readme.py`
    (`make bench-readme`) copies the recorded headline into docs/benchmarks.md.
"""

import gc
import importlib.util
import json
import os
import resource
import subprocess
import sys
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")
TESTS = os.path.join(os.path.dirname(HERE), "tests")
for path in (HERE, TESTS):
    if path not in sys.path:
        sys.path.insert(0, path)

import reference as baseline  # noqa: E402
import workloads  # noqa: E402
from results import (MEM_CHARS, Results, fmt_bytes, print_hwref, print_pair, write_markdown,  # noqa: E402
                     write_plot)

try:
    from routes import context_compress as native
except ImportError as exc:  # pragma: no cover - depends on the install
    sys.exit(f"cannot import routes.context_compress ({exc}); run `make install` first")

QUICK = "--quick" in sys.argv

# The compression benchmarks measure the extract path. Should a host chat
# layer be importable here, it is blocked (an import of a None entry in
# sys.modules fails at once), so that no benchmark sends a request.
_chat_note = None
if importlib.util.find_spec("routes.chat") is not None:
    sys.modules["routes.chat"] = None
    _chat_note = "routes.chat is installed here and was blocked: the compression runs use the extract"
HWREF_SO = os.path.join(OUT, "hwref.so")

# --- what is measured ---------------------------------------------------------

if QUICK:
    TEXT_SIZES = (100, 10_000, 100_000)
    MSG_SIZES = (10, 1_000, 10_000)
    CUT_SIZES = (100, 10_000)
    MEM_SPANS = {"_msgs_to_text": 100_000, "cut_and_sum_history": 10_000}
else:
    TEXT_SIZES = (100, 1_000, 10_000, 100_000, 1_000_000)
    MSG_SIZES = (10, 100, 1_000, 10_000, 100_000)
    CUT_SIZES = (100, 1_000, 10_000, 100_000)
    MEM_SPANS = {"_msgs_to_text": 100_000, "cut_and_sum_history": 100_000}

def _probe(fn, *args):
    """True when the native function runs (the module raises NotImplementedError for missing bodies)."""
    try:
        fn(*args)
    except NotImplementedError:
        return False
    return True


AVAILABLE = {
    "estimate_tokens_text": _probe(native.estimate_tokens_text, "ab一"),
    "estimate_tokens": _probe(native.estimate_tokens, [{"content": "ab"}]),
    "_msgs_to_text": _probe(native._msgs_to_text, [{"role": "user", "content": "ab"}]),
    "simple_extract": _probe(native.simple_extract, [{"role": "user", "content": "ab"}]),
    "cut_and_sum_history": _probe(native.cut_and_sum_history, {"messages": [{"content": "a"}]}),
}

# --- inputs, built lazily and cached per process -----------------------------

_cache = {}


def text_input(kind, n):
    key = ("text", kind, n)
    if key not in _cache:
        _cache[key] = workloads.make_text(kind, n)
    return _cache[key]


def encoded_input(kind, n):
    key = ("enc", kind, n)
    if key not in _cache:
        codec = "utf-16-le" if kind == "mixed" else "utf-32-le"
        _cache[key] = text_input(kind, n).encode(codec)
    return _cache[key]


def messages_input(n):
    key = ("msgs", n)
    if key not in _cache:
        _cache[key] = workloads.make_messages(n)
    return _cache[key]


def conversation_input(n, mode):
    """A conversation of n messages and the llm_config that puts it under or over the threshold."""
    key = ("conv", n, mode)
    if key not in _cache:
        msgs = messages_input(n)
        total = workloads.messages_tokens(n)
        if mode == "under":
            cfg = {"max_context": total * 2}  # rate 0.5: measure and return
        else:
            cfg = {"max_context": int(total / 0.9)}  # rate ~0.9: compress, keep ~1/9
        _cache[key] = (workloads.make_conversation(msgs), cfg)
    return _cache[key]


def module(impl):
    return native if impl == "native" else baseline


# --- time functions (run inside pyperf workers) ------------------------------

def time_text(loops, impl, kind, n):
    fn = module(impl).estimate_tokens_text
    text = text_input(kind, n)
    t0 = time.perf_counter()
    for _ in range(loops):
        fn(text)
    return time.perf_counter() - t0


def time_messages(loops, impl, func, n):
    fn = getattr(module(impl), func)
    msgs = messages_input(n)
    t0 = time.perf_counter()
    for _ in range(loops):
        fn(msgs)
    return time.perf_counter() - t0


def time_cut_under(loops, impl, n):
    fn = module(impl).cut_and_sum_history
    conv, cfg = conversation_input(n, "under")
    t0 = time.perf_counter()
    for _ in range(loops):
        fn(conv, cfg)
    return time.perf_counter() - t0


def time_cut_compress(loops, impl, n):
    # Each call rewrites its conversation, so every call gets a fresh copy,
    # made (and the previous copy released) outside the timed region.
    fn = module(impl).cut_and_sum_history
    conv, cfg = conversation_input(n, "compress")
    total = 0.0
    for _ in range(loops):
        work = workloads.fresh_conversation(conv)
        t0 = time.perf_counter()
        fn(work, cfg)
        total += time.perf_counter() - t0
        del work
    return total


def _hwref_lib():
    if "hwref" not in _cache:
        import ctypes

        lib = ctypes.CDLL(HWREF_SO)
        for name in ("hwref_count_u16", "hwref_count_u32"):
            getattr(lib, name).restype = ctypes.c_size_t
            getattr(lib, name).argtypes = (ctypes.c_char_p, ctypes.c_size_t)
        for name in ("hwref_repeat_u16", "hwref_repeat_u32"):
            getattr(lib, name).restype = ctypes.c_size_t
            getattr(lib, name).argtypes = (ctypes.c_char_p, ctypes.c_size_t, ctypes.c_size_t)
        _cache["hwref"] = lib
    return _cache["hwref"]


def time_hwref(loops, kind, n):
    lib = _hwref_lib()
    buf = encoded_input(kind, n)
    if kind == "mixed":
        fn, units = lib.hwref_repeat_u16, len(buf) // 2
    else:
        fn, units = lib.hwref_repeat_u32, len(buf) // 4
    t0 = time.perf_counter()
    fn(buf, units, loops)
    return time.perf_counter() - t0


# --- the hardware reference ----------------------------------------------------

def build_hwref():
    """Compile bench/hwref.cpp; return an error text, or None when the library is ready."""
    src = os.path.join(HERE, "hwref.cpp")
    if os.path.exists(HWREF_SO) and os.path.getmtime(HWREF_SO) >= os.path.getmtime(src):
        return None
    cxx = os.environ.get("CXX", "g++")
    cmd = [cxx, "-O3", "-march=native", "-shared", "-fPIC", "-o", HWREF_SO + ".tmp", src]
    try:
        subprocess.run(cmd, check=True, capture_output=True, text=True)
    except (OSError, subprocess.CalledProcessError) as exc:
        return f"{' '.join(cmd)} failed: {getattr(exc, 'stderr', '') or exc}"
    os.replace(HWREF_SO + ".tmp", HWREF_SO)
    return None


# --- memory probe (runs in its own subprocess) --------------------------------

def memprobe(func, impl, n, chars):
    """Peak memory of one call over n messages of `chars` characters; printed as JSON."""
    mod = module(impl)
    msgs = workloads.make_long_messages(n, chars)
    if func == "_msgs_to_text":
        def make_call():
            return lambda: mod._msgs_to_text(msgs)
    else:
        conv = workloads.make_conversation(msgs)

        def make_call():
            work = workloads.fresh_conversation(conv)
            return lambda: mod.cut_and_sum_history(work)

    # Growth of the peak RSS first, without tracemalloc's own bookkeeping.
    # Only the native module can allocate outside Python's allocators, so
    # the baseline skips this pass (its tracemalloc peak is complete).
    rss_growth = None
    if impl == "native":
        call = make_call()
        gc.collect()
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        result = call()
        rss_growth = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_before) * 1024
        del call, result

    call = make_call()
    gc.collect()
    tracemalloc.start()
    base_traced = tracemalloc.get_traced_memory()[0]
    t0 = time.perf_counter()
    result = call()
    elapsed = time.perf_counter() - t0
    peak = tracemalloc.get_traced_memory()[1] - base_traced
    tracemalloc.stop()
    print(json.dumps({
        "func": func, "impl": impl, "n": n, "chars": chars,
        "tracemalloc_peak": peak,
        "rss_peak_growth": rss_growth,
        "seconds_traced": elapsed,
        "result_len": len(result) if isinstance(result, str) else None,
        "result_size": sys.getsizeof(result) if isinstance(result, str) else None,
    }))


def run_memprobe(func, impl, n, chars):
    cmd = [sys.executable, os.path.abspath(__file__), "--memprobe", func, impl, str(n), str(chars)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        return {"func": func, "impl": impl, "n": n, "chars": chars, "error": proc.stderr.strip()[-2000:]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --- agreement of native and baseline -----------------------------------------

def check_agreement():
    """Compare native and baseline results on the benchmark inputs; return mismatch notes."""
    problems = []

    def compare(label, a, b):
        if a != b:
            problems.append(f"{label}: native {_short(a)} != baseline {_short(b)}")

    if AVAILABLE["estimate_tokens_text"]:
        for kind in workloads.TEXT_KINDS:
            for n in TEXT_SIZES:
                t = text_input(kind, n)
                compare(f"estimate_tokens_text {kind} {n}", native.estimate_tokens_text(t), baseline.estimate_tokens_text(t))
    if os.path.exists(HWREF_SO):
        lib = _hwref_lib()
        for kind, count in (("mixed", lib.hwref_count_u16), ("astral", lib.hwref_count_u32)):
            for n in TEXT_SIZES:
                buf = encoded_input(kind, n)
                # One character on its own estimates at 1 token when it is an
                # ideograph and at 0 otherwise.
                expected = sum(map(baseline.estimate_tokens_text, text_input(kind, n)))
                got = count(buf, len(buf) // (2 if kind == "mixed" else 4))
                if got != expected:
                    problems.append(f"hwref {kind} {n}: counts {got} ideographs, the text has {expected}")
    for func in ("estimate_tokens", "_msgs_to_text", "simple_extract"):
        if AVAILABLE[func]:
            for n in MSG_SIZES:
                m = messages_input(n)
                compare(f"{func} {n}", getattr(native, func)(m), getattr(baseline, func)(m))
    if AVAILABLE["cut_and_sum_history"]:
        for n in CUT_SIZES:
            for mode in ("under", "compress"):
                conv, cfg = conversation_input(n, mode)
                a, b = workloads.fresh_conversation(conv), workloads.fresh_conversation(conv)
                ra, rb = native.cut_and_sum_history(a, cfg), baseline.cut_and_sum_history(b, cfg)
                compare(f"cut_and_sum_history {mode} {n} result", ra, rb)
                compare(f"cut_and_sum_history {mode} {n} conversation", a, b)
                if mode == "compress" and rb[0] is not True:
                    problems.append(f"cut_and_sum_history compress {n}: the workload did not compress ({rb})")
    return problems


def _short(v):
    r = repr(v)
    return r if len(r) <= 160 else r[:157] + "..."


# --- main -------------------------------------------------------------------------

def make_runner():
    import pyperf

    if QUICK:
        runner_kw = dict(processes=1, values=3, warmups=1, min_time=0.02)
    else:
        runner_kw = dict(processes=5, values=3, warmups=1, min_time=0.1)

    def add_cmdline_args(cmd, args):
        if args.quick:
            cmd.append("--quick")

    runner = pyperf.Runner(add_cmdline_args=add_cmdline_args, **runner_kw)
    runner.argparser.add_argument("--quick", action="store_true",
                                  help="fewer sizes and values; finishes in under two minutes")
    runner.argparser.add_argument("--no-memory", action="store_true", help="skip the peak-memory probes")
    args = runner.parse_args()
    if not args.verbose:
        # One result line per benchmark plus the pair rows below; pyperf's
        # stability warnings only with -v.
        args.quiet = True
    return runner, args


def prepare():
    """In the parent only: the C++ loop built, and native and baseline found
    to agree. Returns the notes and the mismatches for the report."""
    notes = [_chat_note] if _chat_note else []
    os.makedirs(OUT, exist_ok=True)
    err = build_hwref()
    if err:
        notes.append(f"hardware reference not built: {err}")
        print(f"WARNING: {err}", file=sys.stderr)
    missing = [f for f, ok in AVAILABLE.items() if not ok]
    if missing:
        notes.append("native functions not implemented yet, not measured: " + ", ".join(missing))
        print("NOTE: native functions not implemented yet, skipped: " + ", ".join(missing), flush=True)
    problems = check_agreement()
    for p in problems:
        print(f"MISMATCH {p}", file=sys.stderr, flush=True)
    return notes, problems


def time_everything(runner, results, worker):
    """Every native function beside its baseline, and the C++ loop."""
    hwref_ready = os.path.exists(HWREF_SO)

    def pair(func, case, size, time_func, *targs):
        if not AVAILABLE[func]:
            return
        for impl in ("native", "baseline"):
            results.add((func, case, size, impl),
                        runner.bench_time_func(f"{func}/{case}/{size}/{impl}", time_func, impl, *targs))
        if not worker:
            print_pair(results, func, case, size)

    for kind in workloads.TEXT_KINDS:
        for n in TEXT_SIZES:
            pair("estimate_tokens_text", kind, n, time_text, kind, n)
            if kind != "ascii" and hwref_ready and AVAILABLE["estimate_tokens_text"]:
                results.add(("hwref", kind, n, "c++"), runner.bench_time_func(f"hwref/{kind}/{n}/c++", time_hwref, kind, n))
                if not worker:
                    print_hwref(results, kind, n)
    for func in ("estimate_tokens", "_msgs_to_text", "simple_extract"):
        for n in MSG_SIZES:
            pair(func, "chat", n, time_messages, func, n)
    for n in CUT_SIZES:
        pair("cut_and_sum_history", "under", n, time_cut_under, n)
        pair("cut_and_sum_history", "compress", n, time_cut_compress, n)


def measure_memory():
    memory = []
    for func, n in MEM_SPANS.items():
        if not AVAILABLE[func]:
            continue
        for impl in ("native", "baseline"):
            x = run_memprobe(func, impl, n, MEM_CHARS)
            memory.append(x)
            if "error" in x:
                print(f">> memory {func} {impl}: probe failed: {x['error']}", file=sys.stderr)
            else:
                print(f">> memory {func:<21} {impl:<8} {n:>9,} x {MEM_CHARS:,} chars   tracemalloc peak "
                      f"{fmt_bytes(x['tracemalloc_peak']):>9}   peak RSS growth {fmt_bytes(x['rss_peak_growth']):>9}",
                      flush=True)
    return memory


def main():
    import pyperf

    runner, args = make_runner()
    worker = args.worker
    started = time.perf_counter()
    notes, problems = ([], []) if worker else prepare()
    results = Results(worker)
    time_everything(runner, results, worker)
    if worker:
        return
    timed = time.perf_counter() - started
    memory = [] if args.no_memory else measure_memory()
    settings = (f"{args.processes} worker process(es) x {args.values} values, {args.warmups} warmup(s), "
                f"min time {args.min_time:g} s per value")
    if results.benches:
        pyperf.BenchmarkSuite(results.benches).dump(os.path.join(OUT, "pyperf.json"), replace=True)
    write_plot(results, memory, os.path.join(OUT, "scaling.png"))
    write_markdown(results, memory, problems, notes, settings, os.path.join(OUT, "results.md"), QUICK)
    print(f"\nwrote {os.path.relpath(os.path.join(OUT, 'results.md'))}, scaling.png, pyperf.json "
          f"in {time.perf_counter() - started:.0f} s ({timed:.0f} s checks and timings)")
    with open(os.path.join(OUT, "results.md"), encoding="utf-8") as f:
        print()
        print(f.read().split("## Time per call")[0].rstrip())
    if problems:
        sys.exit(1)


if __name__ == "__main__":
    if len(sys.argv) >= 2 and sys.argv[1] == "--memprobe":
        memprobe(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
    else:
        main()

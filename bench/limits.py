"""How far the module is from its limits: the C API floor and the hardware.

    python bench/limits.py            # about a minute
    python bench/limits.py --quick    # fewer rounds

Two comparisons, each measured in this one run, side by side:

* per turn: cut_and_sum_history on a conversation under the threshold (200
  and 10,000 messages) against bench/floor.c, the least C that reads the same
  keys of the same exact dicts in the same two passes and builds the same
  result;
* estimator: estimate_tokens_text on 300, 100,000 and 1,000,000 characters
  of 2- and 4-byte text against bench/hwref.cpp, the plain counting loop over
  the same str's characters in place, built once per instruction set this CPU
  and compiler have (baseline x86-64, AVX2, AVX-512), of which the fastest is
  the reference;
* the window as a request: context_compress.window's three conversions of a
  stored conversation with tool calls (200 and 10,000 messages) beside the
  per-turn check of the same conversation and LangChain's
  count_tokens_approximately over the same messages, the cheapest thing a
  peer library does per turn; for_anthropic over 6,000 turns whose calls all
  reuse one id against the same turns with ids of their own (renaming must
  stay linear); and the memory the conversions keep (their caches of parsed
  arguments and of texts found free of lone surrogates) after 4,096
  one-call conversations were converted and dropped, measured in a fresh
  process.

Timing: every candidate of a case runs in turn within each round, and the
best round counts, so that drift of the machine hits all of them alike. The
results go to bench/out/limits.md and bench/out/limits.json.
"""

import ctypes
import gc
import importlib.machinery
import importlib.util
import json
import os
import platform
import subprocess
import sys
import sysconfig
import time

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")
BUILD = os.path.join(HERE, "..", "build", "bench")
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import workloads  # noqa: E402

from routes import context_compress as native  # noqa: E402

from context_compress import window  # noqa: E402

QUICK = "--quick" in sys.argv
# --before PATH: another build of the extension (an earlier commit's), timed
# beside the installed one in every case, to show what a change gained.
BEFORE_SO = sys.argv[sys.argv.index("--before") + 1] if "--before" in sys.argv else None
ROUNDS = 5 if QUICK else 15

# Instruction sets for the hardware reference: (name, compiler flags, CPU flags needed).
ISAS = [
    ("x86-64", ["-march=x86-64"], []),
    ("AVX2", ["-march=x86-64", "-mavx2"], ["avx2"]),
    ("AVX-512", ["-march=x86-64", "-mavx2", "-mavx512f", "-mavx512bw", "-mavx512vl"], ["avx512bw", "avx512vl"]),
]


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def build_floor():
    os.makedirs(BUILD, exist_ok=True)
    target = os.path.join(BUILD, "floor_per_turn" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run(["gcc", "-O3", "-march=native", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}",
                    os.path.join(HERE, "floor.c"), "-o", target], check=True)
    loader = importlib.machinery.ExtensionFileLoader("floor_per_turn", target)
    spec = importlib.util.spec_from_loader("floor_per_turn", loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def build_hwrefs(flags):
    """{isa name: ctypes library} for every instruction set this CPU has and g++ builds."""
    os.makedirs(BUILD, exist_ok=True)
    built = {}
    for name, cflags, needs in ISAS:
        if not set(needs) <= flags:
            continue
        target = os.path.join(BUILD, f"hwref-{name.lower()}.so")
        proc = subprocess.run(["g++", "-O3", *cflags, "-shared", "-fPIC", os.path.join(HERE, "hwref.cpp"),
                               "-o", target], capture_output=True)
        if proc.returncode == 0:
            lib = ctypes.CDLL(target)
            for fn in ("hwref_repeat_u16", "hwref_repeat_u32"):
                getattr(lib, fn).restype = ctypes.c_size_t
                getattr(lib, fn).argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t]
            built[name] = lib
    return built


def best_per_call(candidates, target_seconds=0.02):
    """{name: best seconds per call} for `candidates` = {name: fn(loops)}."""
    loops = {}
    for name, run in candidates.items():
        n = 1
        while True:
            start = time.perf_counter()
            run(n)
            if time.perf_counter() - start > target_seconds / 4 or n > 1 << 24:
                break
            n *= 2
        loops[name] = n * 4
    return workloads.best_of_rounds(candidates, loops, ROUNDS)


def load_before():
    """The extension at BEFORE_SO, loaded as a second module, or None."""
    if not BEFORE_SO:
        return None
    name = "before.context_compress"  # the last part names the init function
    loader = importlib.machinery.ExtensionFileLoader(name, BEFORE_SO)
    spec = importlib.util.spec_from_loader(name, loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


BEFORE = None


def per_turn_conversation(n):
    messages = workloads.make_messages(n)
    return {"id": "bench", "cut_time": messages[0]["timestamp"], "messages": messages}


def per_turn_rows(floor):
    rows = []
    for n in (200, 10_000):
        conv = per_turn_conversation(n)
        max_context = 100_000_000  # far under the threshold: the per-turn check only
        config = {"max_context": max_context}
        want = native.cut_and_sum_history(conv, config)
        got = floor.per_turn(conv, max_context)
        assert want == got, (want, got)
        candidates = {"module": workloads.repeated(native.cut_and_sum_history, conv, config),
                      "floor": workloads.repeated(floor.per_turn, conv, max_context)}
        if BEFORE:
            candidates["before"] = workloads.repeated(BEFORE.cut_and_sum_history, conv, config)
        best = best_per_call(candidates)
        rows.append({"messages": n, "module_us": best["module"] * 1e6, "floor_us": best["floor"] * 1e6,
                     "ratio": best["module"] / best["floor"],
                     **({"before_us": best["before"] * 1e6} if BEFORE else {})})
    return rows


CONVERSIONS = ("for_openai", "for_anthropic", "for_gemini")


def langchain_counter(messages):
    """count_tokens_approximately over `messages` made LangChain messages
    beforehand, as a peer holds its history; None without langchain-core."""
    try:
        from langchain_core.messages.utils import convert_to_messages, count_tokens_approximately
    except ImportError:
        return None
    return repeat(count_tokens_approximately, convert_to_messages(messages))


def repeat(fn, *args):
    """fn(*args) `loops` times; each result is dropped before the next call."""
    def run(loops):
        for _ in range(loops):
            fn(*args)
    return run


def window_rows():
    rows = []
    for n in (200, 10_000):
        conv = workloads.make_tool_conversation(n)
        config = {"max_context": 100_000_000}
        assert len(native.msgs_from_cut_time(conv)) == n
        candidates = {name: repeat(getattr(window, name), conv) for name in CONVERSIONS}
        candidates["per_turn"] = repeat(native.cut_and_sum_history, conv, config)
        counter = langchain_counter(conv["messages"])
        if counter:
            candidates["langchain"] = counter
        best = best_per_call(candidates)
        rows.append({"messages": n, **{f"{name}_us": t * 1e6 for name, t in best.items()}})
    return rows


ID_TURNS = 6_000


def call_id_row():
    """for_anthropic over ID_TURNS turns reusing one call id, and with ids of their own."""
    convs = {reused: workloads.make_call_id_conversation(ID_TURNS, reused) for reused in (False, True)}
    best = best_per_call({"reused" if reused else "distinct": repeat(window.for_anthropic, conv)
                          for reused, conv in convs.items()})
    return {"turns": ID_TURNS, "distinct_us": best["distinct"] * 1e6, "reused_us": best["reused"] * 1e6,
            "ratio": best["reused"] / best["distinct"]}


MEMORY_CONVERSATIONS = 4_096
MEMORY_ARGUMENTS = (20, 4_000, 26_000)


def window_memory_probe(chars):
    """In a fresh process: what the conversions keep after MEMORY_CONVERSATIONS
    one-call conversations with arguments and a Chinese request of `chars`
    characters each were converted (for Anthropic and Gemini, which parse the
    arguments) and dropped. Printed as JSON."""
    import tracemalloc

    window.for_anthropic(workloads.make_one_call_conversation(-1, chars))  # imports and first-call state
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for i in range(MEMORY_CONVERSATIONS):
        conv = workloads.make_one_call_conversation(i, chars)
        window.for_anthropic(conv)
        window.for_gemini(conv)
        del conv
    gc.collect()
    print(json.dumps({"chars": chars, "kept": tracemalloc.get_traced_memory()[0] - before}))


def window_memory_rows():
    rows = []
    for chars in MEMORY_ARGUMENTS:
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--window-memory", str(chars)],
                              capture_output=True, text=True, check=True)
        rows.append({"conversations": MEMORY_CONVERSATIONS, **json.loads(proc.stdout.splitlines()[-1])})
    return rows


def window_lines(rows):
    small, large = rows
    lines = ["", "## The window as a request: the conversions beside the per-turn check and LangChain", "",
             "A stored conversation with tool calls (examples of every repair the conversions make); "
             "count_tokens_approximately over the same messages as LangChain messages.", "",
             "| messages | " + " | ".join(f"{name} (µs)" for name in CONVERSIONS)
             + " | per-turn check (µs) | count_tokens_approximately (µs) |", "|---:|" + "---:|" * 5]
    for r in rows:
        cells = [f"{r[f'{name}_us']:,.1f}" for name in (*CONVERSIONS, "per_turn")]
        cells.append(f"{r['langchain_us']:,.1f}" if "langchain_us" in r else "-")
        lines.append(f"| {r['messages']:,} | " + " | ".join(cells) + " |")
    lines += ["", "10,000 / 200 messages: " + ", ".join(
        f"{name} {large[f'{name}_us'] / small[f'{name}_us']:.1f}×" for name in CONVERSIONS) + "."]
    return lines


def window_extra_lines(ids, memory):
    lines = ["", f"for_anthropic over {ids['turns']:,} turns of one call each: {ids['distinct_us'] / 1000:,.1f} ms "
             f"with ids of their own, {ids['reused_us'] / 1000:,.1f} ms when every call reuses one id "
             f"({ids['ratio']:.2f}×).", "",
             f"Kept after {memory[0]['conversations']:,} one-call conversations were converted for Anthropic and "
             "Gemini and dropped (tracemalloc, a fresh process each): " + ", ".join(
                 f"{r['kept'] / 2 ** 20:.1f} MiB with arguments and a Chinese request of {r['chars']:,} characters"
                 for r in memory) + "."]
    return lines


def estimator_rows(hwrefs):
    rows = []
    for kind, width in (("mixed", 2), ("astral", 4)):
        for n in (300, 100_000, 1_000_000):
            text = workloads.make_text(kind, n)
            assert (2 if max(text) <= "\uffff" else 4) == width
            # The loop reads the str's own characters, where the module reads
            # them: a copy would differ in alignment, in the pages behind it
            # and in the cache, and that moves the times of long texts by more
            # than the loops differ.
            address = id(text) + sys.getsizeof(text) - (n + 1) * width
            units = text.encode("utf-16-le" if width == 2 else "utf-32-le")
            assert ctypes.string_at(address, len(units)) == units
            buffer = ctypes.c_void_p(address)
            count = n
            estimate_tokens_text = native.estimate_tokens_text

            def run_native(loops, text=text):
                for _ in range(loops):
                    estimate_tokens_text(text)

            candidates = {"module": run_native}
            if BEFORE:
                before_fn = BEFORE.estimate_tokens_text
                candidates["before"] = lambda loops, text=text: [before_fn(text) for _ in range(loops)]
            for isa, lib in hwrefs.items():
                repeat = lib.hwref_repeat_u16 if width == 2 else lib.hwref_repeat_u32
                candidates[isa] = lambda loops, repeat=repeat: repeat(buffer, count, loops)
            best = best_per_call(candidates)
            fastest = min((isa for isa in hwrefs), key=lambda isa: best[isa])
            if BEFORE:
                rows_before = {"before_ns": best["before"] * 1e9}
            else:
                rows_before = {}
            rows.append({"kind": f"{width}-byte", "chars": n, "module_ns": best["module"] * 1e9, **rows_before,
                         **{f"{isa}_ns": best[isa] * 1e9 for isa in hwrefs},
                         "fastest": fastest, "ratio": best["module"] / best[fastest]})
    return rows


def write(per_turn, estimator, windows, ids, memory, flags, hwrefs):
    os.makedirs(OUT, exist_ok=True)
    isas = ", ".join(hwrefs)
    lines = [
        "# The module against its limits",
        "",
        f"CPU: {cpu_name()}; the hardware reference was built for: {isas}.",
        f"Python {platform.python_version()}; best of {ROUNDS} rounds per candidate, all candidates in each round.",
        "",
        "## Per turn: cut_and_sum_history under the threshold against the plain-C floor",
        "",
        "| messages | module (µs) | floor (µs) | module / floor |",
        "|---:|---:|---:|---:|",
    ]
    for r in per_turn:
        lines.append(f"| {r['messages']:,} | {r['module_us']:.2f} | {r['floor_us']:.2f} | {r['ratio']:.2f}× |")
    if BEFORE:
        lines += ["", "Before the change (" + os.path.basename(BEFORE_SO) + "): "
                  + ", ".join(f"{r['messages']:,} messages {r['before_us']:.2f} µs" for r in per_turn)]
    lines += [
        "",
        "## Estimator: estimate_tokens_text against the fastest plain counting loop",
        "",
        "| text | chars | module (ns) | " + " | ".join(f"{isa} (ns)" for isa in hwrefs)
        + " | module / fastest |",
        "|---|---:|---:|" + "---:|" * len(hwrefs) + "---:|",
    ]
    for r in estimator:
        cells = " | ".join(f"{r[f'{isa}_ns']:,.0f}" for isa in hwrefs)
        lines.append(f"| {r['kind']} | {r['chars']:,} | {r['module_ns']:,.0f} | {cells} | "
                     f"{r['ratio']:.2f}× ({r['fastest']}) |")
    if BEFORE:
        lines += ["", "Before the change: " + ", ".join(
            f"{r['kind']} {r['chars']:,} {r['before_ns']:,.0f} ns (now {r['module_ns'] / r['before_ns']:.2f}×)"
            for r in estimator)]
    lines += window_lines(windows) + window_extra_lines(ids, memory)
    lines.append("")
    with open(os.path.join(OUT, "limits.md"), "w") as f:
        f.write("\n".join(lines))
    with open(os.path.join(OUT, "limits.json"), "w") as f:
        json.dump({"cpu": cpu_name(), "isas": list(hwrefs), "per_turn": per_turn, "estimator": estimator,
                   "window": windows, "window_ids": ids, "window_memory": memory}, f, indent=1)
    print("\n".join(lines))


def plot(per_turn, estimator, windows, hwrefs):
    """bench/out/limits.png: the goals as ratios, module time over its limit."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    fig, (turn_ax, text_ax, window_ax) = plt.subplots(1, 3, figsize=(14, 4), gridspec_kw={"width_ratios": [1, 3, 1.4]})
    turn_ax.bar([f"{r['messages']:,}" for r in per_turn], [r["ratio"] for r in per_turn], color="#4c72b0")
    turn_ax.axhline(1.15, color="#c44e52", linestyle="--", label="goal 1.15×")
    turn_ax.set_title("per turn: module / plain-C floor")
    turn_ax.set_xlabel("messages")
    turn_ax.legend(loc="lower right")
    labels = [f"{r['kind']}\n{r['chars']:,}" for r in estimator]
    text_ax.bar(labels, [r["ratio"] for r in estimator], color="#55a868")
    text_ax.axhline(1.1, color="#c44e52", linestyle="--", label="goal 1.1× (100k and 1M)")
    text_ax.set_title(f"estimator: module / fastest plain loop ({', '.join(hwrefs)})")
    text_ax.legend(loc="upper right")
    small = windows[0]
    if "langchain_us" in small:
        window_ax.bar([name[4:] for name in CONVERSIONS],
                      [small[f"{name}_us"] / small["langchain_us"] for name in CONVERSIONS], color="#8172b2")
        window_ax.axhline(1, color="#c44e52", linestyle="--", label="goal < 1×")
        window_ax.legend(loc="lower right")
    window_ax.set_title("window / LangChain, 200 msgs")
    window_ax.set_ylabel("time ratio")
    for ax in (turn_ax, text_ax):
        ax.set_ylim(0, max(3.5, *(r["ratio"] for r in per_turn + estimator)) * 1.05)
        ax.set_ylabel("time ratio (1 = at the limit)")
    fig.suptitle(f"routes.context_compress against its limits — {cpu_name()}")
    fig.tight_layout()
    path = os.path.join(OUT, "limits.png")
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return path


def main():
    global BEFORE
    BEFORE = load_before()
    flags = cpu_flags()
    floor = build_floor()
    hwrefs = build_hwrefs(flags)
    per_turn, estimator, windows = per_turn_rows(floor), estimator_rows(hwrefs), window_rows()
    ids, memory = call_id_row(), window_memory_rows()
    write(per_turn, estimator, windows, ids, memory, flags, hwrefs)
    plot(per_turn, estimator, windows, hwrefs)


if __name__ == "__main__":
    if "--window-memory" in sys.argv:
        window_memory_probe(int(sys.argv[sys.argv.index("--window-memory") + 1]))
    else:
        main()

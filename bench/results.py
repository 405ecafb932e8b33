"""The report of bench/run.py: the goals table, the tables of times, the
estimator against the C++ loop and peak memory (results.md), and the
scaling plot (scaling.png)."""

import json
import os
import platform
import time

import workloads

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "out")
MEM_CHARS = 10_000

# Headline goals: (label, function, case, size, minimum baseline/native ratio)
SPEED_GOALS = [
    ("estimate_tokens_text, 100,000 mixed chars", "estimate_tokens_text", "mixed", 100_000, 250),
    ("estimate_tokens, 10,000 messages", "estimate_tokens", "chat", 10_000, 50),
    ("cut_and_sum_history, extract path, 10,000 messages", "cut_and_sum_history", "compress", 10_000, 50),
]
HWREF_GOAL = ("estimate_tokens_text within 2x of the C++ loop, 100,000 mixed chars", "mixed", 100_000, 2.0)
MEM_BOUND_FACTOR = 8  # _msgs_to_text peak allowed: this many times its result's size


def fmt_time(s):
    if s is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}"
    return f"{s / 1e-9:.3g} ns"


def fmt_bytes(b):
    if b is None:
        return "-"
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if abs(b) >= scale:
            return f"{b / scale:.3g} {unit}"
    return f"{b} B"


def fmt_ratio(r):
    return "-" if r is None else f"{r:,.1f}x" if r < 1000 else f"{r:,.0f}x"


class Results:
    def __init__(self, worker):
        self.worker = worker
        self.times = {}  # (func, case, size, impl) -> mean seconds
        self.benches = []

    def add(self, key, bench):
        # Workers get back their own partial runs (calibration only, or a
        # few values); only the parent's merged benchmark is recorded.
        if bench is None or self.worker:
            return
        self.benches.append(bench)
        self.times[key] = bench.mean()

    def get(self, func, case, size, impl):
        return self.times.get((func, case, size, impl))

    def ratio(self, func, case, size):
        n, b = self.get(func, case, size, "native"), self.get(func, case, size, "baseline")
        return b / n if n and b else None


def print_pair(results, func, case, size):
    n = results.get(func, case, size, "native")
    b = results.get(func, case, size, "baseline")
    print(f">> {func:<21} {case:<8} {size:>9,}   native {fmt_time(n):>9}   baseline {fmt_time(b):>9}   "
          f"baseline/native {fmt_ratio(results.ratio(func, case, size)):>9}", flush=True)


def print_hwref(results, kind, size):
    h = results.get("hwref", kind, size, "c++")
    n = results.get("estimate_tokens_text", kind, size, "native")
    ratio = n / h if n and h else None
    unit = "uint16" if kind == "mixed" else "uint32"
    print(f">> {'hwref (' + unit + ')':<21} {kind:<8} {size:>9,}   c++ loop {fmt_time(h):>7}   native {fmt_time(n):>9}   "
          f"native/c++ {fmt_ratio(ratio):>9}", flush=True)


def write_plot(results, memory, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [
        ("estimate_tokens_text", [(k, f"{k}") for k in workloads.TEXT_KINDS], "characters"),
        ("estimate_tokens", [("chat", "chat")], "messages"),
        ("_msgs_to_text", [("chat", "chat")], "messages"),
        ("simple_extract", [("chat", "chat")], "messages"),
        ("cut_and_sum_history", [("under", "under threshold"), ("compress", "compress (extract)")], "messages"),
    ]
    fig, axes = plt.subplots(2, 3, figsize=(15, 9))
    axes = axes.ravel()
    colors = ["tab:blue", "tab:orange", "tab:green"]
    for ax, (func, cases, xlabel) in zip(axes, panels):
        for color, (case, label) in zip(colors, cases):
            for impl, style in (("native", "-o"), ("baseline", "--s")):
                pts = sorted((size, t) for (f, c, size, i), t in results.times.items() if f == func and c == case and i == impl)
                if pts:
                    ax.plot(*zip(*pts), style, color=color, label=f"{impl} {label}", markersize=4)
            if func == "estimate_tokens_text" and case != "ascii":
                pts = sorted((size, t) for (f, c, size, i), t in results.times.items() if f == "hwref" and c == case)
                if pts:
                    ax.plot(*zip(*pts), ":^", color=color, label=f"C++ loop {label}", markersize=4)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(func)
        ax.set_xlabel(xlabel)
        ax.set_ylabel("time per call (s)")
        ax.grid(True, which="both", alpha=0.3)
        if ax.lines:
            ax.legend(fontsize=7)
        else:
            ax.text(0.5, 0.5, "native function not available", ha="center", va="center", transform=ax.transAxes)
    ax = axes[-1]
    probes = [x for x in memory if "error" not in x]
    if probes:
        labels = [f"{x['func']}\n{x['impl']}, {x['n']:,} msgs" for x in probes]
        peaks = [max(x["tracemalloc_peak"], x["rss_peak_growth"] or 0, 1) for x in probes]
        ax.barh(range(len(probes)), peaks, color=["tab:blue" if x["impl"] == "native" else "tab:gray" for x in probes])
        ax.set_yticks(range(len(probes)), labels, fontsize=7)
        ax.set_xscale("log")
        ax.set_xlabel("peak bytes (max of tracemalloc and RSS growth)")
        ax.set_title(f"peak memory, messages of {MEM_CHARS:,} chars")
        ax.grid(True, axis="x", which="both", alpha=0.3)
    else:
        ax.axis("off")
    fig.suptitle("routes.context_compress (native) vs pure-Python baseline, log-log")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write_markdown(results, memory, problems, notes, settings, path, quick):
    lines = ["# Benchmark results", "",
             f"Mode: {'quick' if quick else 'full'}; pyperf {settings}. "
             f"Python {platform.python_version()}, {platform.machine()}, {os.cpu_count()} cores, "
             f"{time.strftime('%Y-%m-%d %H:%M')}.", ""]
    lines += goal_lines(results, memory)
    lines += time_lines(results) + hwref_lines(results) + memory_lines(memory)
    if problems or notes:
        lines += ["## Notes", "", *[f"- {p}" for p in notes], *[f"- MISMATCH {p}" for p in problems], ""]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


def goal_lines(results, memory):
    lines = ["## Goals", "", "| Goal | Target | Measured | Met |", "|---|---|---|---|"]
    for label, func, case, size, target in SPEED_GOALS:
        r = results.ratio(func, case, size)
        met = "-" if r is None else ("yes" if r >= target else "no")
        lines.append(f"| {label} | >= {target}x baseline | {fmt_ratio(r)} | {met} |")
    label, kind, size, limit = HWREF_GOAL
    h = results.get("hwref", kind, size, "c++")
    n = results.get("estimate_tokens_text", kind, size, "native")
    r = n / h if n and h else None
    met = "-" if r is None else ("yes" if r <= limit else "no")
    lines.append(f"| {label} | native/C++ <= {limit:g} | {fmt_ratio(r)} ({fmt_time(n)} vs {fmt_time(h)}) | {met} |")
    m = next((x for x in memory if x["func"] == "_msgs_to_text" and x["impl"] == "native" and "error" not in x), None)
    if m:
        bound = MEM_BOUND_FACTOR * m["result_size"]
        worst = max(m["tracemalloc_peak"], m["rss_peak_growth"] or 0)
        met = "yes" if worst <= bound else "no"
        lines.append(f"| _msgs_to_text peak memory over {m['n']:,} messages of {m['chars']:,} chars | "
                     f"<= {MEM_BOUND_FACTOR} x result ({fmt_bytes(m['result_size'])}) = {fmt_bytes(bound)} | "
                     f"tracemalloc {fmt_bytes(m['tracemalloc_peak'])}, peak RSS growth {fmt_bytes(m['rss_peak_growth'])} | {met} |")
    else:
        lines.append("| _msgs_to_text peak memory bounded by its ~8,000-char result | - | not measured | - |")
    limits = read_limits()
    if not limits:
        return lines + [""]
    return lines + limit_goal_lines(limits) + [
        "", f"Limits measured by bench/limits.py in the same `make bench` on {limits['cpu']}; the counting "
        f"loop was built for {', '.join(limits['isas'])} (bench/out/limits.md, limits.png).", ""]


def limit_goal_lines(limits):
    """The goal rows of what bench/limits.py measured."""
    lines = []
    for row in limits["per_turn"]:
        if row["messages"] == 200:
            met = "yes" if row["ratio"] <= 1.15 else "no"
            lines.append(f"| cut_and_sum_history per turn, 200 messages under the threshold, against the "
                         f"plain-C floor | module/floor <= 1.15 | {row['ratio']:.2f}x ({row['module_us']:.1f} µs "
                         f"vs {row['floor_us']:.1f} µs) | {met} |")
    window_goals(limits.get("window"), lines)
    window_extra_goals(limits.get("window_ids"), limits.get("window_memory"), lines)
    for row in limits["estimator"]:
        if row["chars"] >= 100_000:
            met = "yes" if row["ratio"] <= 1.1 else "no"
            lines.append(f"| estimate_tokens_text, {row['chars']:,} {row['kind']} chars, against the fastest "
                         f"plain loop ({row['fastest']}) | module/loop <= 1.1 | {row['ratio']:.2f}x | {met} |")
    return lines


def time_lines(results):
    lines = ["## Time per call", "", "Mean of the pyperf values; ratio = baseline time / native time.", "",
             "| Function | Input | Size | Native | Baseline | Ratio |", "|---|---|---:|---:|---:|---:|"]
    keys = sorted({(f, c, s) for (f, c, s, i) in results.times if f != "hwref"},
                  key=lambda k: (FUNC_ORDER.index(k[0]), k[1], k[2]))
    for func, case, size in keys:
        lines.append(f"| {func} | {case} | {size:,} | {fmt_time(results.get(func, case, size, 'native'))} | "
                     f"{fmt_time(results.get(func, case, size, 'baseline'))} | {fmt_ratio(results.ratio(func, case, size))} |")
    return lines + [""]


def hwref_lines(results):
    hw = sorted({(c, s) for (f, c, s, i) in results.times if f == "hwref"})
    if not hw:
        return []
    lines = ["## Estimator against the C++ loop", "",
             "The loop of bench/hwref.cpp (g++ -O3 -march=native, auto-vectorised) over the text's code "
             "points as a uint16 (mixed) or uint32 (astral) array; ratio = native / loop.", "",
             "| Text | Size | C++ loop | Native | Native/loop |", "|---|---:|---:|---:|---:|"]
    for case, size in hw:
        h = results.get("hwref", case, size, "c++")
        n = results.get("estimate_tokens_text", case, size, "native")
        lines.append(f"| {case} | {size:,} | {fmt_time(h)} | {fmt_time(n)} | {fmt_ratio(n / h if n and h else None)} |")
    return lines + [""]


def memory_lines(memory):
    lines = ["## Peak memory", "",
             f"One call over a span of n messages of {MEM_CHARS:,} ASCII characters each (contents drawn from "
             "64 distinct strings), in a fresh process, default llm_config. tracemalloc sees Python's "
             "allocators only; the growth of the process's peak RSS also covers the C++ heap (page-granular "
             "and noisy at the KiB level; measured for native only, the baseline allocates through Python).", "",
             "| Function | Impl | Messages | tracemalloc peak | Peak RSS growth | Result | Time (traced) |",
             "|---|---|---:|---:|---:|---:|---:|"]
    for x in memory:
        if "error" in x:
            lines.append(f"| {x['func']} | {x['impl']} | {x['n']:,} | error | | | |")
            continue
        res = f"{x['result_len']:,} chars ({fmt_bytes(x['result_size'])})" if x["result_len"] is not None else "tuple"
        lines.append(f"| {x['func']} | {x['impl']} | {x['n']:,} | {fmt_bytes(x['tracemalloc_peak'])} | "
                     f"{fmt_bytes(x['rss_peak_growth'])} | {res} | {fmt_time(x['seconds_traced'])} |")
    return lines + [""]


WINDOW_SCALING = 60  # 10,000 / 200 messages: 50 is linear; the larger conversation misses the caches more


def window_goals(rows, lines):
    """The goal rows of the window conversions (bench/limits.py measured them)."""
    if not rows or "langchain_us" not in rows[0]:
        return
    small, large = rows
    for name in ("for_openai", "for_anthropic", "for_gemini"):
        ratio = small[f"{name}_us"] / small["langchain_us"]
        lines.append(f"| {name}, 200 stored messages with tool calls, against LangChain's count_tokens_approximately "
                     f"| conversion/LangChain < 1 | {ratio:.2f}x ({small[f'{name}_us']:.0f} µs vs "
                     f"{small['langchain_us']:.0f} µs) | {'yes' if ratio < 1 else 'no'} |")
        scaling = large[f"{name}_us"] / small[f"{name}_us"]
        lines.append(f"| {name}, 10,000 against 200 messages | ratio <= {WINDOW_SCALING} (linear: 50) | "
                     f"{scaling:.1f}x | {'yes' if scaling <= WINDOW_SCALING else 'no'} |")


CALL_ID_RATIO = 2  # a rename and its record per call, never a search through the earlier names (it was 86x)
WINDOW_KEPT = 16 << 20  # the caches' bounds: 4 MiB of parsed arguments, 8 MiB of scanned texts; room for the estimates


def window_extra_goals(ids, memory, lines):
    """The goal rows of repeated call ids and of the memory the conversions keep."""
    if ids:
        lines.append(f"| for_anthropic, {ids['turns']:,} turns reusing one call id, against ids of their own | "
                     f"ratio <= {CALL_ID_RATIO} (linear) | {ids['ratio']:.2f}x ({ids['reused_us'] / 1000:,.1f} ms vs "
                     f"{ids['distinct_us'] / 1000:,.1f} ms) | {'yes' if ids['ratio'] <= CALL_ID_RATIO else 'no'} |")
    if memory:
        worst = max(memory, key=lambda r: r["kept"])
        sizes = ", ".join(f"{r['chars']:,}" for r in memory)
        lines.append(f"| memory the window conversions keep after {worst['conversations']:,} one-call conversations "
                     f"are dropped (arguments and request of {sizes} chars) | "
                     f"<= {fmt_bytes(WINDOW_KEPT)} | {fmt_bytes(worst['kept'])} | "
                     f"{'yes' if worst['kept'] <= WINDOW_KEPT else 'no'} |")


def read_limits():
    """What bench/limits.py recorded (it runs first in `make bench`), or None."""
    try:
        with open(os.path.join(OUT, "limits.json"), encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


FUNC_ORDER = ["estimate_tokens_text", "estimate_tokens", "_msgs_to_text", "simple_extract", "cut_and_sum_history", "hwref"]



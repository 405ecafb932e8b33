"""Compressor.compress against the bare per-turn check it wraps,
compress_messages against compress, and how long acompress holds its event
loop.

    python bench/compressor.py            # about twenty seconds
    python bench/compressor.py --quick    # fewer rounds

A service calls its compressor on every turn, and on almost every turn the
conversation is below the threshold. Then the compressor costs the module's
check (through its own door, context_compress._engine) and building the
result; it looks into nothing else. Goal: at most 1.1 times the bare
cut_and_sum_history on 200 messages (rate 0.5). The two run in turn, in many
short rounds, and the best round of each counts: on a machine shared with
other work the fastest rounds are those nothing interrupted, for both alike.
A host that keeps a plain list calls compress_messages instead, on the same
messages without stamps: goal at most 1.5 times compress.

An asyncio host awaits acompress; while the compression runs on the
compressor's thread, the loop must go on serving. A task that wakes every
millisecond measures the longest stretch the loop could not run while
acompress compresses a conversation of about 5.6 MB into a summary from the
fact-keeping transcript. Goal: never more than 10 ms.
Writes bench/out/compressor.md.
"""

import asyncio
import json
import os
import platform
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import workloads  # noqa: E402

from context_compress import Compressor  # noqa: E402
from routes import context_compress as native  # noqa: E402

GOAL = 1.1
LIST_GOAL = 1.5
HOLD_GOAL_MS = 10.0
HOLD_MB = 5.6
SIZES = (200, 10_000)
ROUNDS = 100 if "--quick" in sys.argv else 600
ROUND_SECONDS = 0.001


def best_per_call(candidates):
    """{name: best seconds per call} of `candidates` = {name: fn(loops)},
    each round about ROUND_SECONDS long."""
    loops = {}
    for name, run in candidates.items():
        start = time.perf_counter()
        run(10)
        loops[name] = max(1, int(ROUND_SECONDS / ((time.perf_counter() - start) / 10)))
    return workloads.best_of_rounds(candidates, loops, ROUNDS)


def rows():
    found = []
    for n in SIZES:
        messages = workloads.make_messages(n)
        conv = workloads.make_conversation(messages)
        max_context = native.estimate_tokens(messages) * 2
        config = {"max_context": max_context}
        compressor = Compressor(lambda m, c: "summary", max_context)
        result = compressor.compress(conv)
        assert not result.compressed and (False, result.stats) == native.cut_and_sum_history(conv, config)
        # The same messages as a host's plain list: no stamps, no cut time.
        plain = [{k: v for k, v in m.items() if k != "timestamp"} for m in messages]
        assert not compressor.compress_messages(plain).compressed
        best = best_per_call({"bare": workloads.repeated(native.cut_and_sum_history, conv, config),
                              "compressor": workloads.repeated(compressor.compress, conv),
                              "list": workloads.repeated(compressor.compress_messages, plain)})
        found.append({"messages": n, "bare_us": best["bare"] * 1e6, "compressor_us": best["compressor"] * 1e6,
                      "ratio": best["compressor"] / best["bare"], "list_us": best["list"] * 1e6,
                      "list_ratio": best["list"] / best["compressor"]})
    return found


def big_conversation():
    """About HOLD_MB megabytes of messages, as JSON, every one stamped; a
    window that leaves most of it to compress."""
    sample = workloads.make_messages(100)  # to learn the size of a message
    per_message = len(json.dumps(sample, ensure_ascii=False).encode()) / len(sample)
    messages = workloads.make_messages(int(HOLD_MB * 1e6 / per_message))
    conv = workloads.make_conversation(messages)
    size = len(json.dumps(conv, ensure_ascii=False).encode()) / 1e6
    return conv, int(native.estimate_tokens(messages) / 0.9), size


def loop_hold():
    """The longest stretch (ms) acompress kept the event loop from running,
    and the conversation's size in MB."""
    conv, window, size = big_conversation()

    async def main():
        compressor = Compressor(lambda m, c: "summary", window)
        longest, done = 0.0, False

        async def heartbeat():
            nonlocal longest
            last = time.perf_counter()
            while not done:
                await asyncio.sleep(0.001)
                now = time.perf_counter()
                longest = max(longest, now - last - 0.001)
                last = now

        beat = asyncio.create_task(heartbeat())
        await asyncio.sleep(0.01)
        result = await compressor.acompress(conv)
        done = True
        await beat
        assert result.compressed and result.summary_source == "llm"
        return longest

    return asyncio.run(main()) * 1e3, size


def write(found, hold_ms, size):
    lines = ["# Compressor.compress per turn", "",
             f"Python {platform.python_version()}, {platform.machine()}, {os.cpu_count()} cores, "
             f"{time.strftime('%Y-%m-%d %H:%M')}. Conversation below the threshold (rate 0.5); best "
             "round of calls made in turn with the bare module check.", "",
             "| Messages | cut_and_sum_history | Compressor.compress | Ratio | Goal |", "|---|---|---|---|---|"]
    for r in found:
        goal = f"<= {GOAL} ({'met' if r['ratio'] <= GOAL else 'missed'})" if r["messages"] == 200 else "-"
        lines.append(f"| {r['messages']:,} | {r['bare_us']:,.2f} µs | {r['compressor_us']:,.2f} µs | "
                     f"{r['ratio']:.3f}x | {goal} |")
    lines += ["", "The same messages as a plain list, without stamps: compress_messages against compress.", "",
              "| Messages | Compressor.compress | Compressor.compress_messages | Ratio | Goal |", "|---|---|---|---|---|"]
    for r in found:
        goal = f"<= {LIST_GOAL} ({'met' if r['list_ratio'] <= LIST_GOAL else 'missed'})" if r["messages"] == 200 else "-"
        lines.append(f"| {r['messages']:,} | {r['compressor_us']:,.2f} µs | {r['list_us']:,.2f} µs | "
                     f"{r['list_ratio']:.3f}x | {goal} |")
    lines += ["", f"acompress on a conversation of {size:.1f} MB: the event loop was held for at most "
              f"{hold_ms:.1f} ms (goal <= {HOLD_GOAL_MS:g} ms, {'met' if hold_ms <= HOLD_GOAL_MS else 'missed'})."]
    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, "compressor.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    write(rows(), *loop_hold())

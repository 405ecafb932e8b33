"""Memcheck over a representative workload of the extension (`make valgrind`).

Runs itself under valgrind with the plain malloc (PYTHONMALLOC=malloc, so
that every Python object is its own block) and replays the leak suite's
scenarios: all nine functions on ordinary input, on input that raises and on
the fallback paths, plus hostile chat-layer answers. Valgrind's XML report is
then read back: invalid accesses, uses of uninitialised values, bad frees and
definite leaks with a frame in the extension fail the run; what the
interpreter itself reports is only counted.

    python tests/memcheck.py [--rounds N] [--xml PATH]
"""

import argparse
import collections
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
MODULE_OBJ = "context_compress"


def workload(rounds):
    sys.path.insert(0, HERE)
    import test_leaks as leaks  # noqa: E402  (the scenarios live there)
    from fake_chat import place  # noqa: E402

    calls = 0
    for key, row in sorted(leaks.SCENARIOS.items()):
        name, args, kwargs, exc, chat = leaks.expand(row)
        place(chat)
        call = leaks.caller(name, args, kwargs, exc, fresh=True)
        for _ in range(rounds):
            call()
            calls += 1
    # Chat-layer answers of every shape the summary request reads.
    answers = [None, {}, {"choices": []}, {"choices": "abc"}, {"choices": [{"message": None}]},
               {"choices": [{"message": {"content": " \n"}}]}, {"choices": [{"message": {"content": b"x"}}]},
               {"choices": [{"message": {"content": "摘要" * 3000}}]}]
    for answer in answers:
        place(leaks.chat_answering(answer))
        for _ in range(rounds):
            conv = leaks.compressible()
            try:
                leaks.cc.cut_and_sum_history(conv, leaks.CONFIG)
            except TypeError:
                pass
            calls += 1
    print(f"memcheck workload: {calls} calls in {len(leaks.SCENARIOS) + len(answers)} scenarios")


def in_module(error):
    return any(MODULE_OBJ in (frame.findtext("obj") or "") for frame in error.iter("frame"))


def describe(error):
    lines = [error.findtext("kind") + ": " + (error.findtext("what") or error.findtext("xwhat/text") or "")]
    for frame in error.iter("frame"):
        where = frame.findtext("fn") or "???"
        if frame.findtext("file"):
            where += f" ({frame.findtext('file')}:{frame.findtext('line')})"
        lines.append(f"    {where} [{os.path.basename(frame.findtext('obj') or '')}]")
    return "\n".join(lines[:16])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=20, help="calls per scenario (default 20)")
    parser.add_argument("--xml", default=os.path.join(REPO, "build", "valgrind", "memcheck.xml"))
    parser.add_argument("--workload", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.workload:
        workload(args.rounds)
        return 0

    os.makedirs(os.path.dirname(args.xml), exist_ok=True)
    env = dict(os.environ, PYTHONMALLOC="malloc")
    command = ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
               "--errors-for-leak-kinds=definite", "--num-callers=30", "--xml=yes", f"--xml-file={args.xml}",
               sys.executable, os.path.abspath(__file__), "--workload", "--rounds", str(args.rounds)]
    print(" ".join(command), flush=True)
    run = subprocess.run(command, env=env)
    if run.returncode != 0:
        print(f"memcheck: the workload failed under valgrind ({run.returncode})")
        return 1
    errors = ET.parse(args.xml).getroot().findall("error")
    kinds = collections.Counter(e.findtext("kind") for e in errors)
    ours = [e for e in errors if in_module(e)]
    print(f"memcheck: {len(errors)} error record(s) in the process {dict(kinds)}; {len(ours)} in the extension")
    for error in ours:
        print(describe(error))
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main())

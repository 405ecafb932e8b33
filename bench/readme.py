"""Copies the headline of the recorded benchmark run (bench/out/results.md,
up to its time tables) into docs/benchmarks.md, between the bench markers.

    python bench/readme.py        # or: make bench-readme

bench/run.py never touches docs/benchmarks.md; this is the one step that
does, so the figures there are always those of a run someone chose to
publish.
"""

import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RESULTS = os.path.join(ROOT, "bench", "out", "results.md")
PAGE = os.path.join(ROOT, "docs", "benchmarks.md")
START, END = "<!-- bench:start -->", "<!-- bench:end -->"


def headline(results):
    """The results up to the time tables, with headings one level down."""
    head = results.split("## Time per call")[0].rstrip()
    return head.replace("# Benchmark results", "Latest run:", 1).replace("\n## ", "\n### ")


def main():
    with open(RESULTS, encoding="utf-8") as f:
        body = headline(f.read())
    with open(PAGE, encoding="utf-8") as f:
        text = f.read()
    if text.count(START) != 1 or text.count(END) != 1:
        sys.exit(f"{PAGE}: expected one {START} and one {END}")
    before, rest = text.split(START)
    after = rest.split(END, 1)[1]
    with open(PAGE, "w", encoding="utf-8") as f:
        f.write(f"{before}{START}\n{body}\n{END}{after}")
    print(f"copied the headline of {os.path.relpath(RESULTS)} into {os.path.relpath(PAGE)}")


if __name__ == "__main__":
    main()

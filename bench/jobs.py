"""context-compress --jobs against an LLM that takes a second per answer.

    python bench/jobs.py            # 16 files, --jobs 1, 4 and 8

A server on 127.0.0.1 answers every chat completion after one second, as a
slow model would, and serves any number of requests at once, as a batching
LLM server does. The command compresses the same 16 files (a fresh copy for
each run) with each --jobs value; the goal is --jobs 8 at least 6 times as
fast as --jobs 1. Writes bench/out/jobs.md.
"""

import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")
COMMAND = os.path.join(os.path.dirname(sys.executable), "context-compress")
FILES, ANSWER_SECONDS, JOBS, GOAL = 16, 1.0, (1, 4, 8), 6.0


class SlowLLM(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        time.sleep(ANSWER_SECONDS)
        body = json.dumps({"choices": [{"message": {"role": "assistant", "content": "summary"}}]}).encode()
        # Status, headers and body in one write: in two, the second waits for
        # the client's delayed ACK of the first (Nagle), 40 ms an answer.
        self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                         b"Content-Length: %d\r\n\r\n%s" % (len(body), body))

    def log_message(self, *args):
        pass


def conversation(i):
    """Twenty messages over a 2,000-token window: compressed with one request."""
    return {"id": f"c{i}", "messages": [
        {"role": "user" if n % 2 == 0 else "assistant", "content": f"file {i} message {n} " + "x" * 380,
         "timestamp": f"2024-05-01T10:00:{n:02d}+00:00"} for n in range(20)]}


def timed_run(url, jobs, work):
    if os.path.isdir(work):
        shutil.rmtree(work)
    os.makedirs(work)
    for i in range(FILES):
        with open(os.path.join(work, f"c{i:02d}.json"), "w") as f:
            json.dump(conversation(i), f)
    start = time.perf_counter()
    proc = subprocess.run([COMMAND, work, "--max-context", "2000", "--in-place", "--llm-url", url,
                           "--model", "bench", "--jobs", str(jobs), "--json"],
                          capture_output=True, text=True, timeout=600)
    elapsed = time.perf_counter() - start
    records = [json.loads(line) for line in proc.stdout.splitlines()]
    if proc.returncode or [r["summary_source"] for r in records] != ["llm"] * FILES:
        raise SystemExit(f"--jobs {jobs} failed: {proc.returncode}\n{proc.stderr}")
    return elapsed


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), SlowLLM)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}/v1"
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        for jobs in JOBS:
            rows.append((jobs, timed_run(url, jobs, os.path.join(scratch, f"jobs{jobs}"))))
    server.shutdown()
    serial = rows[0][1]
    lines = [
        "# context-compress --jobs against a one-second LLM",
        "",
        f"{FILES} files, each compressed with one summary request answered after {ANSWER_SECONDS:g} s; "
        f"Python {platform.python_version()}, {os.cpu_count()} cores, {time.strftime('%Y-%m-%d %H:%M')}.",
        "",
        "| --jobs | wall time (s) | speed-up |",
        "|---:|---:|---:|",
        *[f"| {jobs} | {elapsed:.2f} | {serial / elapsed:.1f}x |" for jobs, elapsed in rows],
        "",
        f"Goal: --jobs 8 at least {GOAL:g}x as fast as --jobs 1: "
        f"{'met' if serial / rows[-1][1] >= GOAL else 'NOT met'} ({serial / rows[-1][1]:.1f}x).",
    ]
    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, "jobs.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()

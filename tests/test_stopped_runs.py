"""A run of the command stopped part-way, with --jobs or without: by bursts
of SIGINT, SIGTERM and SIGHUP at generated moments (summaries arriving, a
write under way, a line reported) and by a reader that goes away. Whatever
stops it, the process exits with the status of the first signal (or 1 for
the closed pipe), never dies of the interpreter's end meeting a job inside
the module, leaves no temporary file, and every file is either as it was or
completely written."""

import signal
import subprocess
import sys
import threading
import time

import pytest
from hypothesis import example, given, settings, strategies as st

from fake_server import running_server
from shared import COMMAND, HELD_WRITE
from test_command_llm import varied_files

FILES = 24
HELD = {3, 6}  # never answered while the test runs, so the run is never over
WAIT = 30      # seconds; the bound of every wait for something observable

_complete = {}


def complete_texts(server, tmp_path):
    """What a run that is not stopped writes for each file that is answered."""
    if not _complete:
        ref = tmp_path / "reference"
        ref.mkdir()
        paths = varied_files(ref, FILES, hold=HELD)
        for i in HELD:
            paths[i].unlink()
        proc = subprocess.run([COMMAND, str(ref), *llm_options(server, 8)], capture_output=True,
                              timeout=WAIT * 2)
        assert proc.returncode == 0, proc.stderr
        _complete.update({p.name: p.read_bytes() for p in ref.iterdir()})
    return _complete


def llm_options(server, jobs=1):
    return ["--max-context", "2000", "--llm-url", server.url("vary"), "--model", "m",
            "--in-place", "--read-timeout", "50", "--jobs", str(jobs)]


def wait_for(condition, proc):
    deadline = time.monotonic() + WAIT
    while not condition() and proc.poll() is None:
        assert time.monotonic() < deadline, "the moment never came"
        time.sleep(0.005)


def pending(proc, signum):
    """Whether `signum` was sent to the process and not yet delivered."""
    try:
        with open(f"/proc/{proc.pid}/status") as status:
            return any(int(line.split()[1], 16) >> (signum - 1) & 1 for line in status
                       if line.startswith(("SigPnd:", "ShdPnd:")))
    except OSError:
        return False


def check_ending(proc, out, err, status, directory, originals, complete):
    """The status; no crash; no temporary file; each file as it was or
    completely written, and written when the report says so."""
    assert proc.returncode == status, err
    assert "Fatal Python error" not in err and "Traceback" not in err, err
    assert out == "" or out.endswith("\n")
    assert [p.name for p in directory.iterdir() if p.name.endswith(".tmp")] == []
    for name, original in originals.items():
        now = (directory / name).read_bytes()
        assert now in (original, complete.get(name)), name
        if f"/{name}: compressed" in out:
            assert now == complete[name], f"{name} is reported written"


signals = st.sampled_from([signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
bursts = st.lists(st.tuples(signals, st.sampled_from([0, 0.001, 0.002, 0.005, 0.02])),
                  min_size=1, max_size=4)


@settings(max_examples=12, deadline=None)
# Summaries arriving for eight jobs; a second SIGTERM 2 ms after the first
# while a job's write is under way.
@example(jobs=8, moment="asking", after=0.1, burst=[(signal.SIGINT, 0)])
@example(jobs=2, moment="writing", after=0, burst=[(signal.SIGTERM, 0.002), (signal.SIGTERM, 0)])
@given(jobs=st.sampled_from([1, 2, 8]), moment=st.sampled_from(["asking", "writing", "reported"]),
       after=st.floats(0, 0.3), burst=bursts)
def test_signals_at_any_moment_leave_whole_files_and_the_first_ones_status(
        tmp_path_factory, jobs, moment, after, burst):
    tmp_path = tmp_path_factory.mktemp("run")
    with running_server() as server:
        complete = complete_texts(server, tmp_path_factory.getbasetemp())
        originals = {p.name: p.read_bytes() for p in varied_files(tmp_path, FILES, hold=HELD)}
        ready, go = tmp_path / "ready", tmp_path / "go"
        args = [str(tmp_path), *llm_options(server, jobs)]
        command = ([sys.executable, "-c", HELD_WRITE, str(ready), str(go), *args]
                   if moment == "writing" else [COMMAND, *args])
        asked = len(server.requests)
        proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        lines = []
        reader = threading.Thread(target=lambda: [lines.append(line) for line in proc.stdout],
                                  daemon=True)
        reader.start()
        try:
            if moment == "asking":
                wait_for(lambda: len(server.requests) >= asked + min(jobs, 3), proc)
                time.sleep(after)
            else:
                wait_for(ready.exists if moment == "writing" else lambda: lines, proc)
            assert proc.poll() is None, "the command ended before the moment came"
            for n, (signum, gap) in enumerate(burst):
                proc.send_signal(signum)
                if n == 0:
                    # Two signals pending together are delivered in the order
                    # of their numbers: the first is first once delivered.
                    wait_for(lambda: not pending(proc, signum), proc)
                time.sleep(gap)
            if moment == "writing":
                # The stop waits for the write under way; it goes on once
                # every signal has had its time to end the wait (it must not).
                time.sleep(0.3)
                go.touch()
            proc.wait(WAIT)
            err = proc.stderr.read().decode()
        finally:
            proc.kill()
            proc.wait()
        reader.join(WAIT)
        first = burst[0][0]
        check_ending(proc, b"".join(lines).decode(), err, 128 + first, tmp_path, originals,
                     complete)
        assert err.endswith(f"interrupted by {signal.Signals(first).name}; files not yet "
                            "written are unchanged\n")


@pytest.mark.parametrize("jobs", [1, 2, 8])
def test_closed_pipe_ends_the_run_quietly_and_whole(server, tmp_path, jobs):
    """The reader of the report is gone before its first line (as `| head
    -c 0`), while the other jobs wait on the LLM or are being answered."""
    complete = complete_texts(server, tmp_path)
    run = tmp_path / "run"
    run.mkdir()
    originals = {p.name: p.read_bytes() for p in varied_files(run, FILES, hold=HELD)}
    proc = subprocess.Popen([COMMAND, str(run), *llm_options(server, jobs)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()
    try:
        _, err = proc.communicate(timeout=WAIT)
    finally:
        proc.kill()
        proc.wait()
    check_ending(proc, "", err.decode(), 1, run, originals, complete)
    assert err == b""

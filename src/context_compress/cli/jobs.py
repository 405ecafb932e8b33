"""The run's jobs: the inputs are compressed and written by N threads (one
without --jobs), so that N summary requests wait on the LLM together, while
the main thread reports in input order and takes the signals. A signal's
exception is raised in the main thread only, so it never lands in the middle
of a compression, a request or a write, which a stop lets finish."""

from __future__ import annotations

import queue
import signal
import threading
from typing import Protocol

from .compression import Runner, Stopping
from .files import Input
from .inputs import standard_input
from .json_fields import Outcome
from .progress import Progress


#: The signals that stop a run (cli.Ending handles them).
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Job(threading.Thread):
    """A thread that compresses inputs. A daemon, so that one still waiting on
    the LLM does not hold the process; for the same reason the command never
    lets the interpreter finalize while one is alive (see `running`)."""


def running() -> bool:
    """Whether a job is still at work. After a stop, one can be inside the
    module, waiting on the LLM; an interpreter that finalizes then ends that
    thread in the middle of the module's C++ frames (CPython ends a daemon
    thread that wakes during finalization by unwinding it without a thread
    state), which kills the process. The command ends such a process without
    finalizing (cli.main)."""
    return any(isinstance(t, Job) and t.is_alive() for t in threading.enumerate())


class Reports(Protocol):
    """What the jobs need of the run's report."""

    def done(self, o: Outcome, counted: bool = ...) -> None: ...

    def skipped(self, label: str, why: str) -> None: ...


class Reporter:
    """Hands finished outcomes to the report in input order: an outcome waits
    until every input before it has been reported."""

    def __init__(self, inputs: list[Input], report: Reports, progress: Progress) -> None:
        self.inputs, self.report, self.progress = inputs, report, progress
        self.finished: dict[int, Outcome] = {}
        self.next = 0
        self.done = 0

    def finish(self, index: int, outcome: Outcome) -> None:
        self.finished[index] = outcome
        if not self.inputs[index].is_directory:
            self.done += 1
            self.progress.show(self.done, self.inputs[index].label)
        self.flush()

    def flush(self) -> None:
        """Reports every outcome whose turn has come; a skipped entry takes its
        turn at once."""
        while self.next < len(self.inputs):
            item = self.inputs[self.next]
            if item.skipped:
                self.report.skipped(item.label, item.problem or "")
            elif self.next in self.finished:
                self.progress.clear()
                # A directory without files to work on is reported, not counted.
                self.report.done(self.finished.pop(self.next), counted=not item.is_directory)
                self.progress.show(self.done, item.label)
            else:
                return
            self.next += 1


def run_jobs(runner: Runner, inputs: list[Input], several: bool, report: Reports,
             progress: Progress, jobs: int) -> None:
    """The inputs compressed by up to `jobs` threads. On Ctrl-C or another
    stop, no file starts and none is left half-written: the writes under way
    finish, then the exception goes on, with the jobs that wait on the LLM
    still running (see `running`). On a complete run every job has ended on
    return."""
    stdin = standard_input()
    work: queue.SimpleQueue[tuple[int, Input]] = queue.SimpleQueue()
    for index, item in enumerate(inputs):
        if not item.skipped:
            work.put((index, item))
    results: queue.SimpleQueue[tuple[int, Outcome | BaseException]] = queue.SimpleQueue()
    stopped = threading.Event()

    def job() -> None:
        while not stopped.is_set():
            try:
                index, item = work.get_nowait()
            except queue.Empty:
                return
            try:
                results.put((index, runner.process(item, several, stdin)))
            except Stopping:
                return
            except BaseException as exc:  # a fault of this command: raised in the main thread
                results.put((index, exc))
                return

    count = sum(1 for item in inputs if not item.skipped)
    threads = [Job(target=job, name=f"context-compress job {n + 1}", daemon=True)
               for n in range(min(jobs, count))]
    _start(threads)
    reporter = Reporter(inputs, report, progress)
    try:
        for _ in range(count):
            index, outcome = results.get()
            if isinstance(outcome, BaseException):
                raise outcome
            reporter.finish(index, outcome)
        reporter.flush()
    except BaseException:
        stopped.set()
        runner.stop()
        _report_finished(results, reporter)
        raise
    # Every input has its outcome: each job is past its last compression and
    # about to return.
    for thread in threads:
        thread.join()


def _start(threads: list[Job]) -> None:
    # The jobs are born with the stop signals blocked, so that every one goes
    # to the main thread: one taken by a job would wake a main thread blocked
    # in a wait only at its next check, and the kernel hands a signal to
    # another thread while the main one has one pending, which loses their
    # order.
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    try:
        for thread in threads:
            thread.start()
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)


def _report_finished(results: queue.SimpleQueue[tuple[int, Outcome | BaseException]],
                     reporter: Reporter) -> None:
    """What finished before a stop is reported, in order, as far as it goes."""
    while True:
        try:
            index, outcome = results.get_nowait()
        except queue.Empty:
            break
        if isinstance(outcome, Outcome):
            reporter.finished.setdefault(index, outcome)
    reporter.flush()

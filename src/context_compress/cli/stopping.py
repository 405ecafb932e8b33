"""How a run stops: by SIGINT, SIGTERM or SIGHUP, by a closed standard
output, or by a fault, with its writes under way finished and its exit status
decided once."""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import traceback
from collections.abc import Callable
from types import FrameType
from typing import Any

from .. import FAILED, PROG
from . import jobs
from .compression import Runner
from .output import Output


class Stopped(BaseException):
    """SIGTERM or SIGHUP: the run ends as it does on Ctrl-C. Not an Exception,
    so that nothing on the way absorbs it (the compression's summary request
    absorbs every Exception) and every write on the way cleans up."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class Ending:
    """How a run ends once it is stopped: by SIGINT, SIGTERM or SIGHUP, by a
    closed standard output, or by a fault.

    The first signal stops the run: its exception (KeyboardInterrupt for
    SIGINT, Stopped for the others) is raised in the main thread, and the exit
    status is 128 + its number, whatever comes after it. Every later signal is
    noted and nothing more, and so is every signal once the run stops for
    another reason (`held`): a clean-up under way (a write removing its
    temporary file, the wait for the writes of the jobs) has to run to its
    end, and an exception raised in the middle of it would cut it short."""

    CAUGHT = jobs.STOP_SIGNALS

    def __init__(self) -> None:
        self.first: int | None = None
        self.held = False
        self.runner: Runner | None = None
        self._previous: dict[int, Any] = {}
        self._wakeup: tuple[int, int, int] | None = None
        self._told = False

    def __call__(self, signum: int, frame: FrameType | None) -> None:
        if self.first is None:
            self.first = self._first_delivered() or signum
        if self.held:
            return
        self.held = True
        raise KeyboardInterrupt if self.first == signal.SIGINT else Stopped(self.first)

    def _first_delivered(self) -> int | None:
        """The first signal delivered, as the interpreter's own handler wrote
        it to the wake-up pipe on delivery. The handlers of this class run
        later, at the main thread's next check, and then in the order of the
        signals' numbers: two signals delivered before that check would
        otherwise count a SIGINT that came second as the first."""
        if self._wakeup is None:
            return None
        try:
            delivered = os.read(self._wakeup[0], 256)
        except OSError:
            return None
        return next((n for n in delivered if n in self.CAUGHT), None)

    def install(self) -> None:
        try:
            read, write = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
            try:
                self._wakeup = read, write, signal.set_wakeup_fd(write, warn_on_full_buffer=False)
            except ValueError:
                os.close(read)
                os.close(write)
                raise
            for signum in self.CAUGHT:
                self._previous[signum] = signal.signal(signum, self)
        except ValueError:  # not the main thread: the caller handles signals
            return

    def restore(self) -> None:
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)
        self._previous.clear()
        if self._wakeup is not None:
            read, write, previous = self._wakeup
            signal.set_wakeup_fd(previous)
            self._wakeup = None
            os.close(read)
            os.close(write)

    def end(self, status: int) -> int:
        """The exit status, after the message of a stop. A run that saw a
        signal, or whose jobs are still at work, ends here, without the
        interpreter's finalization: once the writes under way are done no
        temporary file is left, and a later signal can no longer change the
        status, nor can finalization meet a job inside the module (see
        jobs.running)."""
        self.held = True
        self._tell()
        if jobs.running() and self.runner is not None:
            self.runner.stop()
            self._tell()  # a signal that came during the wait
        elif self.first is None:
            self.restore()
            return status
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(OSError, ValueError, AttributeError):
                stream.flush()  # type: ignore[union-attr]
        os._exit(status if self.first is None else 128 + self.first)

    def _tell(self) -> None:
        if self.first is not None and not self._told:
            self._told = True
            # Every write on the way removed its temporary file or finished;
            # what was not written yet is as it was.
            Output().err(f"{PROG}: interrupted by {signal.Signals(self.first).name}; files "
                         "not yet written are unchanged")


def run_to_end(run: Callable[[Ending], int]) -> int:
    """The exit status of `run(ending)`, the run ended as `Ending` says: after
    a signal, a closed standard output or a fault as after its own return."""
    ending = Ending()
    try:
        ending.install()
        status = run(ending)
    except (KeyboardInterrupt, Stopped) as exc:
        ending.held = True
        if ending.first is None:  # raised without the handlers (not the main thread)
            ending.first = exc.signum if isinstance(exc, Stopped) else signal.SIGINT
        status = FAILED
    except BrokenPipeError:
        ending.held = True
        # The reader of the report went away (`| head`): stop quietly. Files
        # already written are complete; the rest are untouched.
        if sys.stdout is not None:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        status = FAILED
    except BaseException:
        ending.held = True
        if not jobs.running():
            ending.restore()
            raise
        traceback.print_exc()
        status = FAILED
    # Set before the call, at which a signal's handler can run: from here on
    # a signal only counts for the status.
    ending.held = True
    return ending.end(status)

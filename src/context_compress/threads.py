"""What a `Compressor` needs beside the compression for asyncio: the threads
acompress compresses on, the private record of the conversation they
compress and its store into the host's object, and the event loop compress
awaits an async llm's answers on."""

from __future__ import annotations

import asyncio
import concurrent.futures
import operator
import threading
from collections import deque
from collections.abc import Awaitable, Callable, Mapping
from typing import Any

#: Seconds an idle worker thread waits for the next compression.
IDLE_WORKER_SECONDS = 60.0

# The keys of a conversation the compression reads, for one that is no
# Mapping and only answers `get`.
_READ_KEYS = ("id", "created_at", "cut_time", "messages")
_MISSING: Any = object()


class Abandoned(BaseException):
    """The acompress call this request belongs to was cancelled: the
    compression ends here, leaving the private record as it was, and nobody
    waits for its outcome. Not an Exception, so that the compression does
    not take it for a failed LLM."""


class OnLoop(BaseException):
    """compress() got an awaitable on a thread that runs an event loop,
    which it could only wait for by blocking that loop."""


class Call:
    """One acompress call, as its summary request sees it: the caller's loop,
    and whether the caller gave up."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.cancelled = False
        self.future: concurrent.futures.Future[Any] | None = None

    def cancel(self) -> None:
        # Either side may come first; both look at both fields.
        self.cancelled = True
        future = self.future
        if future is not None:
            future.cancel()


class Workers:
    """The threads acompress compresses on: one per compression under way
    (never a thread of asyncio's default executor, which an llm's awaitable
    may itself need, and never a bounded pool, which compressions nested in
    an llm could fill), each kept IDLE_WORKER_SECONDS for the next one.
    Daemon threads: a compression under way never holds up the exit."""

    def __init__(self) -> None:
        self._state = threading.Condition(threading.Lock())
        self._jobs: deque[tuple[concurrent.futures.Future[Any], Callable[..., Any], tuple[Any, ...]]] = deque()
        self._idle = 0

    def submit(self, fn: Callable[..., Any], *args: Any) -> concurrent.futures.Future[Any]:
        future: concurrent.futures.Future[Any] = concurrent.futures.Future()
        with self._state:
            self._jobs.append((future, fn, args))
            # Idle threads not yet woken for a job count against the queue.
            if self._idle >= len(self._jobs):
                self._state.notify()
                return future
        threading.Thread(target=self._run, name="context_compress-worker", daemon=True).start()
        return future

    def _run(self) -> None:
        state = self._state
        with state:
            while True:
                while not self._jobs:
                    self._idle += 1
                    woken = state.wait(IDLE_WORKER_SECONDS)
                    self._idle -= 1
                    if not woken and not self._jobs:
                        return
                future, fn, args = self._jobs.popleft()
                state.release()
                try:
                    if future.set_running_or_notify_cancel():
                        try:
                            future.set_result(fn(*args))
                        except BaseException as exc:  # the future carries it to the caller
                            future.set_exception(exc)
                finally:
                    state.acquire()


class Loop:
    """An event loop running on a daemon thread of its own."""

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        ready = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(ready,), name="context_compress-loop", daemon=True)
        self._thread.start()
        ready.wait()

    def _run(self, ready: threading.Event) -> None:
        asyncio.set_event_loop(self.loop)
        self.loop.call_soon(ready.set)
        self.loop.run_forever()

    def close(self) -> None:
        self.loop.call_soon_threadsafe(self.loop.stop)
        self._thread.join()
        self.loop.close()


class OwnLoop:
    """The loop compress() awaits answers on, started at the first need: one
    for the compressor's life, so that an async client's kept-alive
    connections stay usable from one call to the next."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._loop: Loop | None = None

    def get(self) -> asyncio.AbstractEventLoop:
        with self._lock:
            if self._loop is None:
                self._loop = Loop()
            return self._loop.loop

    def close(self) -> None:
        with self._lock:
            loop, self._loop = self._loop, None
        if loop is not None:
            loop.close()


def wait_for(answer: Awaitable[Any], call: Call | None, own_loop: Callable[[], asyncio.AbstractEventLoop]) -> Any:
    """The result of an llm's awaitable answer, waited for on this (worker)
    thread: on the caller's loop for an acompress `call` (Abandoned when the
    caller gave up), else on the compressor's `own_loop`; OnLoop, with the
    awaitable disposed of, on a thread whose own loop runs."""
    if call is not None:
        future = asyncio.run_coroutine_threadsafe(awaited(answer), call.loop)
        call.future = future
        if call.cancelled:
            future.cancel()
        try:
            return future.result()
        except concurrent.futures.CancelledError:
            raise Abandoned from None
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        pass
    else:
        dispose(answer)
        raise OnLoop
    return asyncio.run_coroutine_threadsafe(awaited(answer), own_loop()).result()


async def awaited(answer: Awaitable[Any]) -> Any:
    return await answer


def dispose(answer: Awaitable[Any]) -> None:
    """An awaitable that will never be awaited, closed when it can be (a
    coroutine, an adapter's pending call), so that it leaves no warning behind."""
    close = getattr(answer, "close", None)
    if callable(close):
        close()


def private_record(conv: Any) -> tuple[dict[str, Any], tuple[Any, list[Any] | None]]:
    """What an acompress worker compresses in place of `conv`: a new dict of
    its items with a new message list, so that nothing the worker writes
    reaches the host's object (whatever that object shares with its copies),
    and the message list as it was, to tell at the store whether the host
    changed it meanwhile."""
    if isinstance(conv, Mapping):
        work = dict(conv.items())
    else:
        work = {}
        if conv:
            for key in _READ_KEYS:
                value = conv.get(key, _MISSING)
                if value is not _MISSING:
                    work[key] = value
    messages = work.get("messages")
    copied = list(messages) if isinstance(messages, list) else None
    if copied is not None:
        work["messages"] = copied
    return work, (messages, copied)


def store_record(conv: Any, work: dict[str, Any], snapshot: tuple[Any, list[Any] | None]) -> bool:
    """The compressed record's two new values into `conv`, messages then
    cut_time, both or neither; False, with nothing stored, when the host's
    message list is no longer the one compressed. Messages the host appended
    meanwhile follow the compressed list, as they followed the old one."""
    original, copied = snapshot
    messages = work["messages"]
    if copied is not None:
        current = conv.get("messages")
        n = len(copied)
        if current is not original or len(current) < n or not all(map(operator.is_, current, copied)):
            return False
        if len(current) > n:
            messages = [*messages, *current[n:]]
    old = conv["messages"]
    conv["messages"] = messages
    try:
        conv["cut_time"] = work["cut_time"]
    except BaseException:
        conv["messages"] = old
        raise
    return True

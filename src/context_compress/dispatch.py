"""The dispatchers a compressor binds in the module namespace.

How a compressor gets its own summary request, and nobody else does: the
module imports `routes.chat._call_llm_api` at each request, then calls
`_msgs_to_text` and, on an empty transcript or a failure, `simple_extract`,
both looked up in its namespace at the moment of the call. While any
compressor call runs, on any thread, those two names are bound to
dispatchers; the first call to start binds them, the last to end puts back
what was bound before (unless someone has rebound them meanwhile). A
dispatcher asks a context variable, which only a compressor call sets and
only on its own thread, whether it serves such a call: if not, it hands the
call to what was bound before, so that direct calls of the module and other
threads get what they always got, and the host's `routes.chat` is never
touched. If so, the transcript comes back empty, which makes the module skip
its own request, and the module's call of `simple_extract` makes this
compressor's request instead: the same two messages (with this compressor's
transcript and system prompt), the same configuration (`max_tokens` 2048),
the same reading of the answer, and this compressor's extract when the
answer is unusable.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from contextvars import ContextVar
from typing import TYPE_CHECKING, Any

from .native import load

if TYPE_CHECKING:
    import asyncio
    import concurrent.futures

    from .compressor import Compressor, SummarySource

_NAMESPACE: dict[str, Any] = load().__dict__

_MISSING: Any = object()
ARMED, SKIPPED, ASKING, DONE = range(4)


class Request:
    """The summary request of one compressor call, and what became of it.
    What a request has not changed is read from the class."""

    state = ARMED
    span: Any = None
    source: SummarySource | None = None
    error: str | None = None
    sent = ""
    future: concurrent.futures.Future[Any] | None = None
    cancelled = False

    def __init__(self, compressor: Compressor, loop: asyncio.AbstractEventLoop | None = None) -> None:
        self.compressor = compressor
        self.loop = loop

    def cancel(self) -> None:
        # Either side may come first; both look at both fields.
        self.cancelled = True
        future = self.future
        if future is not None:
            future.cancel()


current: ContextVar[Request | None] = ContextVar("context_compress.compressor", default=None)


class _Bindings:
    """The dispatchers' place in the module namespace, shared by all
    compressors: bound while at least one compressor call runs. Written out
    for the two names, since every call of a compressor binds and unbinds."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.users = 0
        self.saved_transcript: Any = _MISSING
        self.saved_extract: Any = _MISSING

    def enter(self) -> None:
        namespace = _NAMESPACE
        self.lock.acquire()
        try:
            if not self.users:
                # A dispatcher still bound (someone put it back after the last
                # call ended) delegates to the saved name already.
                bound = namespace.get("_msgs_to_text", _MISSING)
                if bound is not _msgs_to_text:
                    self.saved_transcript = bound
                    namespace["_msgs_to_text"] = _msgs_to_text
                bound = namespace.get("simple_extract", _MISSING)
                if bound is not simple_extract:
                    self.saved_extract = bound
                    namespace["simple_extract"] = simple_extract
            self.users += 1
        finally:
            self.lock.release()

    def leave(self) -> None:
        namespace = _NAMESPACE
        self.lock.acquire()
        try:
            self.users -= 1
            if not self.users:
                # Whoever rebound a name meanwhile keeps their binding.
                if namespace.get("_msgs_to_text") is _msgs_to_text:
                    _restore("_msgs_to_text", self.saved_transcript)
                if namespace.get("simple_extract") is simple_extract:
                    _restore("simple_extract", self.saved_extract)
        finally:
            self.lock.release()

    def transcript(self) -> Callable[[Any], str]:
        """What `_msgs_to_text` was before the dispatchers."""
        return _defined("_msgs_to_text", self.saved_transcript)

    def extract(self) -> Callable[[Any], str]:
        """What `simple_extract` was before the dispatchers."""
        return _defined("simple_extract", self.saved_extract)


def _restore(name: str, previous: Any) -> None:
    if previous is _MISSING:
        del _NAMESPACE[name]
    else:
        _NAMESPACE[name] = previous


def _defined(name: str, found: Any) -> Callable[[Any], str]:
    if found is _MISSING:
        raise NameError(f"name {name!r} is not defined")
    return found  # type: ignore[no-any-return]


def _msgs_to_text(msgs: Any) -> str:
    request = current.get()
    if request is not None and request.state == ARMED:
        # The module's own request is skipped: an empty transcript asks nothing.
        request.state = SKIPPED
        return ""
    return bindings.transcript()(msgs)


def simple_extract(msgs: Any) -> str:
    request = current.get()
    if request is not None and request.state <= SKIPPED:
        return request.compressor._summarise(request, msgs)
    return bindings.extract()(msgs)


bindings = _Bindings()

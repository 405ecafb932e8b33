"""How an asyncio host uses routes.context_compress without blocking its event loop.

The module calls `routes.chat._call_llm_api` synchronously and waits for the
answer. On the loop's own thread that wait would stall every other task, and an
async LLM client could never be driven to answer. So the host:

1. runs `cut_and_sum_history` in a worker thread (`asyncio.to_thread`), and
2. gives it a `_call_llm_api` that hands the host's coroutine to the running
   loop (`asyncio.run_coroutine_threadsafe`) and waits, in the worker thread,
   for its result.

`LoopChat` is that `_call_llm_api`; `compress` is step 1. The host installs
`LoopChat` once, for instance as `_call_llm_api` of its own `routes.chat`.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
from collections.abc import Callable, Coroutine
from typing import TYPE_CHECKING, Any

from routes.context_compress import cut_and_sum_history

if TYPE_CHECKING:
    from routes.context_compress import CompressionStats

#: The host's async LLM call: (messages, cfg) -> a chat-completion dict.
Complete = Callable[[list[dict[str, Any]], dict[str, Any]],
                    Coroutine[Any, Any, dict[str, Any]]]


class LoopChat:
    """`_call_llm_api` for a host whose LLM client is async: the request runs
    on `loop`, the caller's thread waits at most `timeout` seconds for it."""

    def __init__(self, loop: asyncio.AbstractEventLoop, complete: Complete,
                 timeout: float = 120.0) -> None:
        self.loop = loop
        self.complete = complete
        self.timeout = timeout

    def __call__(self, messages: list[dict[str, Any]], cfg: dict[str, Any],
                 stream: bool = False) -> dict[str, Any]:
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            running = None
        if running is self.loop:
            # Waiting here would block the very loop that must run the request:
            # a deadlock until the time-out. Fail at once; the compression
            # falls back to its extract.
            raise RuntimeError("cut_and_sum_history was called on the event loop's "
                               "thread; run it with asyncio.to_thread")
        future: concurrent.futures.Future[dict[str, Any]] = asyncio.run_coroutine_threadsafe(
            self.complete(messages, cfg), self.loop)
        try:
            return future.result(self.timeout)
        except concurrent.futures.TimeoutError:
            future.cancel()  # the request stops on the loop too
            raise


async def compress(conv: dict[str, Any],
                   llm_config: dict[str, Any] | None = None) -> tuple[bool, CompressionStats]:
    """`cut_and_sum_history` off the loop: other tasks run while it waits for
    its summary. The host must not touch `conv` until this returns."""
    return await asyncio.to_thread(cut_and_sum_history, conv, llm_config)

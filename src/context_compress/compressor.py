"""`Compressor`: the module's compression for a host in one call, with what
happened said in the result and in the log.

    compressor = Compressor(llm=ask_my_model, max_context=128_000)
    result = compressor.compress(conv)        # or: await compressor.acompress(conv)

The compression is the module's own C++ routine (the threshold, the cut, the
rewrite), reached through context_compress._engine with this compressor's
collaborators passed in as arguments: its transcript, its extract and its
summary request. Nothing is bound anywhere, so a compression here changes
nothing that any other caller of routes.context_compress sees, on any thread.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import inspect
import logging
import threading
from collections.abc import Awaitable, Callable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

from . import _engine
from . import facts as fact_keeping
from .answers import Failed, Unusable, described, one_line, problem, summary_of
from .diagnosis import Explanation, explain
from .masking import Redactor, url_secrets
from .telling import Teller, label
from .texts import DEFAULT_MAX_CONTEXT, SUMMARIZER_PROMPT, SUMMARY_NOTE, SUMMARY_PREFIX, THRESHOLD
from .threads import Loop, Workers, awaited, dispose, private_record, store_record

if TYPE_CHECKING:
    from routes.context_compress import CompressionStats

__all__ = ["Compressor", "CompressionResult", "LLM", "LLMAnswer", "SummarySource"]

log = logging.getLogger("context_compress")

#: What an LLM callable may answer: the summary itself, or a chat completion
#: of OpenAI's shape (``{"choices": [{"message": {"content": ...}}]}``).
LLMAnswer = str | Mapping[str, Any]

#: ``llm(messages, cfg)``: `messages` the summary request's two messages
#: (system, then user), `cfg` the host's `llm_config` with `max_context` and
#: ``max_tokens=2048``. It may return an awaitable of the answer.
LLM = Callable[[list[dict[str, str]], dict[str, Any]], LLMAnswer | Awaitable[LLMAnswer]]

SummarySource = Literal["llm", "extract"]

# The reason below the threshold, as diagnosis.explain words it, without
# formatting the threshold on every turn.
_BELOW = f" is at or below the {THRESHOLD} threshold"

@dataclass(slots=True)
class CompressionResult:
    """What one compression did.

    compressed: the conversation was rewritten (the module returned True).
    stats: the module's statistics dictionary.
    summary_source: "llm", "extract", or None when nothing was compressed.
    llm_error: why the LLM's answer was not used, one line with secrets
    masked, when the summary is the extract.
    summary_facts: ``{"seen": n, "of": m}``: of the m facts (paths, names,
    numbers, errors...) of the compressed span, n stood in what the summary
    was written from.
    reason: why nothing was compressed, or why the window is still over the
    threshold after a compression; None otherwise.
    still_over: the window the host feeds its LLM is still estimated above
    the threshold.
    largest_kept_tokens: when still over, the estimate of the largest message
    in that window.
    """

    compressed: bool
    stats: CompressionStats
    summary_source: SummarySource | None = None
    llm_error: str | None = None
    summary_facts: dict[str, int] | None = None
    reason: str | None = None
    still_over: bool = False
    largest_kept_tokens: int | None = None


class _Abandoned(BaseException):
    """The acompress call this request belongs to was cancelled: the
    compression ends here, leaving the private record as it was, and nobody
    waits for its outcome. Not an Exception, so that the compression does
    not take it for a failed LLM."""


class _OnLoop(BaseException):
    """compress() got an awaitable on a thread that runs an event loop,
    which it could only wait for by blocking that loop."""


class _Call:
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


# --- the compressor ------------------------------------------------------------------


class Compressor:
    """Compresses conversations with `routes.context_compress`'s compression,
    its summary asked of `llm`.

    llm: ``llm(messages, cfg) -> str | chat completion`` (or an awaitable of
    one); `from_openai` and `from_anthropic` make one of the official
    clients. None: the host's own ``routes.chat._call_llm_api``, imported at
    each request as the module imports it (with no `routes.chat`, every
    summary is the extract).
    max_context: the model's window in tokens; None takes `llm_config`'s
    `max_context`, else 200000.
    facts: the summary is written from `context_compress.facts`' transcript
    of the whole span (24,000 characters at most), and the extract is its
    fact-keeping extract; False: the module's own transcript and extract.
    llm_config: passed to `llm` as `cfg`, with `max_context` and `max_tokens`
    2048 set.
    system_prompt: the system message of this compressor's summary requests
    (default: the module's).

    One compressor serves any number of threads and conversations; calls on
    one conversation must not overlap. `acompress` runs its compressions on
    threads of the compressor's own, and `compress` awaits an async llm's
    answers on an event loop of its own; `close()` ends that loop.
    """

    def __init__(self, llm: LLM | None = None, max_context: int | None = None, *,
                 facts: bool = True, llm_config: Mapping[str, Any] | None = None,
                 system_prompt: str | None = None) -> None:
        if llm is not None and not callable(llm):
            raise TypeError(f"llm must be callable, not {type(llm).__name__}")
        if system_prompt is not None and (not isinstance(system_prompt, str) or not system_prompt.strip()):
            raise ValueError("system_prompt must be a non-empty text")
        config = dict(llm_config or {})
        if max_context is None:
            max_context = config.get("max_context")
        max_context = DEFAULT_MAX_CONTEXT if max_context is None else _window(max_context)
        config["max_context"] = max_context
        self.llm = llm
        self.max_context = max_context
        self.facts = facts
        self.llm_config: dict[str, Any] = config
        self.system_prompt = system_prompt or SUMMARIZER_PROMPT
        transcript, extract = ((fact_keeping.transcript, fact_keeping.extract) if facts
                               else (_engine.transcript, _engine.extract))
        # What every compression of this compressor is given; acompress
        # replaces the request with one that knows its call.
        self._collaborators: _engine.Collaborators = (
            transcript, extract, self._ask, self.system_prompt, SUMMARY_PREFIX, SUMMARY_NOTE)
        self._teller = Teller()
        self._workers = Workers()
        self._loop: Loop | None = None
        self._loop_lock = threading.Lock()

    # --- the calls ---------------------------------------------------------------

    def compress(self, conv: Any) -> CompressionResult:
        """Compresses `conv` in place when its active history is over the
        threshold, as `cut_and_sum_history` does; blocks while the LLM answers."""
        try:
            result, why = self._compress(conv, self._collaborators)
        except _OnLoop:
            raise RuntimeError("the LLM returned an awaitable, and compress() runs on an event loop's thread: "
                               "use acompress()") from None
        self._teller.tell(conv, result, why)
        return result

    async def acompress(self, conv: Any) -> CompressionResult:
        """`compress` on a thread of the compressor's own, so that the event
        loop runs on while the LLM answers (an `llm` that returns an awaitable
        is run on this loop). The thread compresses a private record of
        `conv` (a new dict of its items with a new message list); the new
        `messages`, then `cut_time`, are stored into `conv` here, on the
        loop's thread, once it is done. Cancelled, it leaves `conv` exactly
        as it was, whenever the LLM answers."""
        call = _Call(asyncio.get_running_loop())
        work, snapshot = private_record(conv)
        transcript, extract, _, *texts = self._collaborators
        collaborators = (transcript, extract, lambda prompt, cfg: self._ask(prompt, cfg, call), *texts)
        future = self._workers.submit(self._compress, work, collaborators)
        try:
            result, why = await asyncio.wrap_future(future)
        except asyncio.CancelledError:
            call.cancel()
            raise
        if result.compressed and not store_record(conv, work, snapshot):
            result = CompressionResult(False, result.stats, reason="the conversation's messages changed while it "
                                       "was being compressed; it is left as it is now")
            why = Explanation(result.reason)
            log.warning("conversation %s: not compressed: %s", label(conv), result.reason)
        self._teller.tell(conv, result, why)
        return result

    def close(self) -> None:
        """Ends the event loop that `compress` awaits an async llm's answers
        on, if one was started; a later call starts another."""
        with self._loop_lock:
            loop, self._loop = self._loop, None
        if loop is not None:
            loop.close()

    def _compress(self, conv: Any, collaborators: _engine.Collaborators) -> (
            tuple[CompressionResult, Explanation | None]):
        """The compression and what it did; no explanation below the threshold."""
        compressed, stats, account, newest_outside = _engine.compress(conv, self.llm_config, collaborators)
        if account is None and not compressed and "total_tokens" in stats and not newest_outside:
            # Below the threshold: the per-turn path, nothing more to find out.
            return CompressionResult(False, stats, None, None, None, f"rate {stats['rate']:.3f}{_BELOW}"), None
        return self._result(conv, compressed, stats, account, newest_outside)

    # --- the summary request -------------------------------------------------------

    def _ask(self, prompt: list[dict[str, str]], cfg: dict[str, Any], call: _Call | None = None) -> str:
        """The summary request's answer, as the compression asks for it: the
        summary text, or an exception that says why there is none."""
        if call is not None and call.cancelled:
            raise _Abandoned
        if self.llm is None:
            try:
                # Imported as the module imports it: at each request.
                from routes.chat import _call_llm_api  # type: ignore[import-not-found]
            except Exception as exc:
                raise Failed("the chat layer could not be imported") from exc
            try:
                answer = _call_llm_api(prompt, cfg, stream=False)
            except Exception as exc:
                raise Failed("the request failed") from exc
        else:
            try:
                answer = self.llm(prompt, cfg)
            except Exception as exc:
                raise Failed("the request failed") from exc
        if inspect.isawaitable(answer):
            try:
                answer = self._awaited(answer, call)
            except (_Abandoned, _OnLoop):
                raise
            except Exception as exc:
                raise Failed("the request failed") from exc
        try:
            return summary_of(answer, self.llm is not None)
        except Unusable:
            raise
        except Exception as exc:
            raise Failed("the answer could not be read") from exc

    def _awaited(self, answer: Awaitable[Any], call: _Call | None) -> Any:
        if call is not None:
            # acompress: the awaitable runs on the caller's loop, this worker waits.
            future = asyncio.run_coroutine_threadsafe(awaited(answer), call.loop)
            call.future = future
            if call.cancelled:
                future.cancel()
            try:
                return future.result()
            except concurrent.futures.CancelledError:
                raise _Abandoned from None
        try:
            asyncio.get_running_loop()
        except RuntimeError:
            pass
        else:
            dispose(answer)
            raise _OnLoop
        return asyncio.run_coroutine_threadsafe(awaited(answer), self._own_loop()).result()

    def _own_loop(self) -> asyncio.AbstractEventLoop:
        """The loop compress() awaits answers on: one for the compressor's
        life, so that an async client's kept-alive connections stay usable."""
        with self._loop_lock:
            if self._loop is None:
                self._loop = Loop()
            return self._loop.loop

    def _one_line(self, problem: str, sent: str) -> str:
        # The secrets are read now: an adapter's are those its client sends.
        redact = Redactor([self.llm_config.get("api_key"), *url_secrets(self.llm_config.get("base_url")),
                           *getattr(self.llm, "secrets", ())])
        return one_line(problem, sent, redact)

    # --- what happened -----------------------------------------------------------------

    def _result(self, conv: Any, compressed: bool, stats: Any, account: _engine.Account | None,
                newest_outside: bool = False) -> tuple[CompressionResult, Explanation]:
        try:
            why = explain(conv, compressed, stats, self.max_context, newest_outside)
        except Exception as exc:
            # The module's result stands (the conversation may be rewritten
            # already); only the account of it is missing.
            why = Explanation(f"the result could not be explained: {described(exc)}")
        result = CompressionResult(bool(compressed), stats, reason=why.reason, still_over=why.still_over,
                                   largest_kept_tokens=why.largest_kept if why.still_over else None)
        if compressed and account is not None:
            span, sent, summary, answered, error, in_transcript = account
            if answered:
                result.summary_source = "llm"
            else:
                result.summary_source = "extract"
                if sent or error is not None:
                    # (A span without any text asks the LLM nothing, and nothing failed.)
                    result.llm_error = self._one_line(problem(error, in_transcript), sent or "")
                sent = summary
            result.summary_facts = _seen(span, sent or "")
        return result, why


# --- helpers -----------------------------------------------------------------------


def _window(value: Any) -> int:
    """`max_context`, given as the argument or in `llm_config`: a positive
    int, or the text of one (as a configuration file holds it)."""
    if isinstance(value, str) and value.strip().isdecimal():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int) or value <= 0:
        raise ValueError(f"max_context must be a positive int (a number of tokens), not {value!r}")
    return value


def _seen(span: Any, sent: str) -> dict[str, int] | None:
    try:
        seen, of = fact_keeping.seen(span, sent)
    except Exception:
        return None
    return {"seen": seen, "of": of}

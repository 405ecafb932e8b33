"""`Compressor`: the module's compression for a host in one call, with what
happened said in the result and in the log.

    compressor = Compressor(llm=ask_my_model, max_context=128_000)
    result = compressor.compress(conv)        # or: await compressor.acompress(conv)

The module decides everything about a compression (the threshold, the cut,
the rewrite); a compressor only chooses how its summary is asked for, and
reads back what became of the request.

How a compressor's request reaches its own LLM and nobody else's is the
business of `dispatch`.
"""

from __future__ import annotations

import copy
import inspect
import logging
import threading
from collections import OrderedDict
from collections.abc import Awaitable, Callable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

from . import facts as fact_keeping
from .diagnosis import Explanation, explain, shown
from .dispatch import ASKING, DONE, Request, bindings, current
from .masking import Redactor, url_secrets
from .native import load
from .texts import DEFAULT_MAX_CONTEXT, SUMMARIZER_PROMPT, SUMMARY_MAX_TOKENS, THRESHOLD

if TYPE_CHECKING:
    import asyncio

    from routes.context_compress import CompressionStats

__all__ = ["Compressor", "CompressionResult", "LLM", "LLMAnswer", "SummarySource"]

log = logging.getLogger("context_compress")

_module = load()

#: What an LLM callable may answer: the summary itself, or a chat completion
#: of OpenAI's shape (``{"choices": [{"message": {"content": ...}}]}``).
LLMAnswer = str | Mapping[str, Any]

#: ``llm(messages, cfg)``: `messages` the summary request's two messages
#: (system, then user), `cfg` the host's `llm_config` with `max_context` and
#: ``max_tokens=2048``. It may return an awaitable of the answer.
LLM = Callable[[list[dict[str, str]], dict[str, Any]], LLMAnswer | Awaitable[LLMAnswer]]

SummarySource = Literal["llm", "extract"]

#: Characters of an `llm_error`. The masked line is first cut to LONG_ERROR,
#: which bounds the search for quoted message text.
ERROR_SHOWN = 300
LONG_ERROR = 2000
#: A run of this many characters of an error line that also stands in the
#: text sent to the LLM is taken for quoted message text and left out: some
#: APIs quote the request in their errors, and no message text may reach a log.
QUOTED_RUN = 16

#: Conversations whose warning a compressor remembers having given.
REMEMBERED = 4096

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


# --- the compressor ------------------------------------------------------------------


class Compressor:
    """Compresses conversations with `routes.context_compress`, its summary
    asked of `llm`.

    llm: ``llm(messages, cfg) -> str | chat completion`` (or an awaitable of
    one); `from_openai` and `from_anthropic` make one of the official
    clients. None: the host's own ``routes.chat._call_llm_api``, as the
    module calls it (with no `routes.chat`, every summary is the extract).
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
    one conversation must not overlap.
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
            max_context = _configured_window(config.get("max_context"))
        if isinstance(max_context, bool) or not isinstance(max_context, int) or max_context <= 0:
            raise ValueError(f"max_context must be a positive number of tokens, not {max_context!r}")
        config["max_context"] = max_context
        self.llm = llm
        self.max_context = max_context
        self.facts = facts
        self.llm_config: dict[str, Any] = config
        self.system_prompt = system_prompt or SUMMARIZER_PROMPT
        self._facts = fact_keeping if facts else None
        self._redact = Redactor([config.get("api_key"), *url_secrets(config.get("base_url")),
                                 *getattr(llm, "secrets", ())])
        # Warnings given once per conversation: (kind, key) in use order.
        self._warned: OrderedDict[tuple[Any, ...], None] = OrderedDict()
        self._warned_lock = threading.Lock()

    # --- the calls ---------------------------------------------------------------

    def compress(self, conv: Any) -> CompressionResult:
        """Compresses `conv` in place when its active history is over the
        threshold, as `cut_and_sum_history` does; blocks while the LLM answers."""
        return self._compress(conv, Request(self))

    async def acompress(self, conv: Any) -> CompressionResult:
        """`compress` in a worker thread, so that the event loop runs on while
        the LLM answers (an `llm` that returns an awaitable is run on this
        loop). The worker compresses a shallow copy of `conv`; its new
        `messages`, then `cut_time`, are stored into `conv` here, on the
        loop's thread, once the worker is done. Cancelled, it leaves `conv`
        exactly as it was, whenever the LLM answers."""
        import asyncio

        work = copy.copy(conv)
        request = Request(self, asyncio.get_running_loop())
        try:
            result = await asyncio.to_thread(self._compress, work, request)
        except asyncio.CancelledError:
            request.cancel()
            raise
        if result.compressed:
            _store(conv, work)
        return result

    def _compress(self, conv: Any, request: Request) -> CompressionResult:
        token = current.set(request)
        bindings.enter()
        try:
            compressed, stats = _module.cut_and_sum_history(conv, self.llm_config)
        finally:
            bindings.leave()
            current.reset(token)
        if not compressed and "total_tokens" in stats:
            # Below the threshold: the per-turn path, nothing more to find out.
            if self._warned:
                self._forget(conv)
            return CompressionResult(False, stats, None, None, None, f"rate {stats['rate']:.3f}{_BELOW}")
        return self._result(conv, compressed, stats, request)

    # --- the summary request -------------------------------------------------------

    def _summarise(self, request: Request, span: Any) -> str:
        """The summary of `span`: asked as the module asks, with this
        compressor's transcript, prompt and LLM; its extract when the answer
        is unusable. Exceptions of the extract reach the caller, as the
        module's do."""
        request.state, request.span = ASKING, span
        try:
            summary, problem, sent = self._ask(request, span)
            if summary:
                request.source, request.sent = "llm", sent
                return summary
            request.error = self._one_line(problem, sent)
            summary = (self._facts.extract(span) if self._facts is not None
                       else bindings.extract()(span))
            request.source, request.sent = "extract", summary
            return summary
        finally:
            request.state = DONE

    def _ask(self, request: Request, span: Any) -> tuple[str, str, str]:
        """(summary, why there is none, the transcript sent)."""
        text = ""
        step = "the chat layer could not be imported"
        try:
            if self.llm is None:
                # Imported as the module imports it: at each request, first.
                from routes.chat import _call_llm_api  # type: ignore[import-not-found]
            step = "the transcript failed"
            text = (self._facts.transcript(span) if self._facts is not None
                    else bindings.transcript()(span))
            if not text:
                return "", "not asked: the span has no text to summarise", ""
            step = "the request failed"
            prompt = [{"role": "system", "content": self.system_prompt}, {"role": "user", "content": text}]
            cfg = dict(self.llm_config)
            cfg["max_tokens"] = SUMMARY_MAX_TOKENS
            if self.llm is None:
                answer = _call_llm_api(prompt, cfg, stream=False)
            else:
                answer = self.llm(prompt, cfg)
            if inspect.isawaitable(answer):
                answer = self._awaited(answer, request)
            step = "the answer could not be read"
            summary, problem = _read(answer, self.llm is not None)
            return summary, problem, text
        except Exception as exc:
            return "", f"{step}: {_described(exc)}", text

    def _awaited(self, answer: Awaitable[Any], request: Request) -> Any:
        import asyncio

        async def wait() -> Any:
            return await answer

        if request.loop is not None:
            # acompress: the awaitable runs on the caller's loop, this worker waits.
            future = asyncio.run_coroutine_threadsafe(wait(), request.loop)
            request.future = future
            if request.cancelled:
                future.cancel()
            return future.result()
        try:
            asyncio.get_running_loop()
        except RuntimeError:
            return asyncio.run(wait())
        if inspect.iscoroutine(answer):
            answer.close()
        raise RuntimeError("the LLM returned an awaitable, and compress() runs on an event loop's "
                           "thread: use acompress()")

    def _one_line(self, problem: str, sent: str) -> str:
        # Masked before it is cut, so that no part of a secret survives the cut.
        line = " ".join(self._redact(problem).split())[:LONG_ERROR]
        line = _unquoted(line, sent)
        return line if len(line) <= ERROR_SHOWN else line[:ERROR_SHOWN - 1] + "…"

    # --- what happened -----------------------------------------------------------------

    def _result(self, conv: Any, compressed: bool, stats: Any, request: Request) -> CompressionResult:
        try:
            why = explain(conv, compressed, stats, self.max_context)
        except Exception as exc:
            # The module's result stands (the conversation may be rewritten
            # already); only the account of it is missing.
            why = Explanation(f"the result could not be explained: {_described(exc)}")
        result = CompressionResult(bool(compressed), stats, reason=why.reason, still_over=why.still_over,
                                   largest_kept_tokens=why.largest_kept if why.still_over else None)
        label = _label(conv)
        if compressed:
            result.summary_source, result.llm_error = request.source, request.error
            result.summary_facts = self._seen(request)
            self._log_compression(label, stats, result, why)
            if request.source == "extract":
                log.warning("conversation %s: the summary is the extract: %s", label, request.error)
        if why.stamps is not None:
            if self._first_time(("stamps", *self._key(conv, why))):
                log.warning("conversation %s: not compressed, its stamps cannot be ordered: %s",
                            label, why.reason)
        elif why.still_over:
            if self._first_time(("over", *self._key(conv, why))):
                log.warning("conversation %s is still over the threshold: %s", label, why.reason)
        elif compressed:
            self._forget(conv)
        return result

    @staticmethod
    def _seen(request: Request) -> dict[str, int] | None:
        if request.span is None:
            return None
        try:
            seen, of = fact_keeping.seen(request.span, request.sent)
        except Exception:
            return None
        return {"seen": seen, "of": of}

    def _log_compression(self, label: str, stats: Any, result: CompressionResult, why: Explanation) -> None:
        if not log.isEnabledFor(logging.INFO):
            return
        after = f"{why.tokens:,}" if why.tokens is not None else "?"
        facts = result.summary_facts
        log.info("conversation %s compressed: %d messages into a summary from the %s, %d kept; "
                 "%s -> %s estimated tokens of %s (rate %.3f); new cut time %s%s",
                 label, stats["compressed"], result.summary_source, stats["kept"],
                 f"{stats['total_tokens']:,}", after, f"{stats['max_context']:,}", stats["rate"],
                 shown(stats["new_cut_time"]),
                 f"; the summary saw {facts['seen']} of {facts['of']} facts" if facts else "")

    # --- once per conversation -----------------------------------------------------------

    @staticmethod
    def _key(conv: Any, why: Explanation) -> tuple[Any, ...]:
        """A conversation's `id`; without one, its `created_at` and the stamp
        of the message at fault (both stay the same while the host reloads
        the conversation turn after turn); without those, the object."""
        key = _conversation_id(conv)
        if key is not None:
            return ("id", key)
        culprit = why.stamps.stamp if why.stamps is not None else why.largest_stamp
        created = conv.get("created_at") if conv else None
        if created or culprit:
            return ("created_at", repr(created), repr(culprit))
        return ("object", id(conv))

    def _first_time(self, key: tuple[Any, ...]) -> bool:
        with self._warned_lock:
            if key in self._warned:
                self._warned.move_to_end(key)
                return False
            self._warned[key] = None
            if len(self._warned) > REMEMBERED:
                self._warned.popitem(last=False)
            return True

    def _forget(self, conv: Any) -> None:
        """A conversation with an id is warned about anew once it was below the
        threshold, or compressed into it, in between."""
        key = _conversation_id(conv)
        if key is not None:
            with self._warned_lock:
                self._warned.pop(("stamps", "id", key), None)
                self._warned.pop(("over", "id", key), None)


# --- helpers -----------------------------------------------------------------------


def _configured_window(value: Any) -> int:
    """`max_context` read as the module reads it."""
    try:
        window = int(value or DEFAULT_MAX_CONTEXT)
    except Exception:
        return DEFAULT_MAX_CONTEXT
    return window if window > 0 else DEFAULT_MAX_CONTEXT


def _read(answer: Any, text_allowed: bool) -> tuple[str, str]:
    """(summary, why there is none) from an answer, read as the module reads
    it: the first choice's message content, stripped. A host's own `llm` may
    also answer with the text itself."""
    if text_allowed and isinstance(answer, str):
        return answer.strip(), "the answer is empty"
    if not answer:
        return "", f"no answer ({type(answer).__name__})"
    if not callable(getattr(answer, "get", None)):
        return "", f"the answer is a {type(answer).__name__}, not a chat completion"
    choices = answer.get("choices") or []
    if not choices:
        return "", "the answer has no choices"
    if not choices[0].get("message", {}).get("content"):
        return "", "the answer's first choice has no message content"
    content = choices[0]["message"]["content"]
    if not callable(getattr(content, "strip", None)):
        return "", f"the answer's content is a {type(content).__name__}, not text"
    return content.strip(), "the answer's text is only white space"


def _unquoted(line: str, sent: str) -> str:
    """`line` without the runs of QUOTED_RUN or more characters that also stand
    in `sent`, each replaced by "…"."""
    if not sent or len(line) < QUOTED_RUN:
        return line
    quoted = [False] * len(line)
    for start in range(len(line) - QUOTED_RUN + 1):
        if line[start:start + QUOTED_RUN] in sent:
            quoted[start:start + QUOTED_RUN] = [True] * QUOTED_RUN
    if not any(quoted):
        return line
    out = []
    for i, ch in enumerate(line):
        if not quoted[i]:
            out.append(ch)
        elif i == 0 or not quoted[i - 1]:
            out.append("…")
    return "".join(out)


def _described(exc: BaseException) -> str:
    """An exception as "Type: text", whatever its __str__ does."""
    try:
        text = str(exc)
    except Exception:
        text = "(its text cannot be read)"
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _conversation_id(conv: Any) -> Any:
    cid = conv.get("id") if conv else None
    if cid is None or cid == "":
        return None
    try:
        hash(cid)
    except TypeError:
        return repr(cid)
    return cid


def _label(conv: Any) -> str:
    """How a log record names a conversation: its id, bounded."""
    cid = conv.get("id") if conv else None
    if isinstance(cid, (str, int)) and not isinstance(cid, bool):
        return shown(cid)
    return "(without an id)" if cid is None else f"(an id of type {type(cid).__name__})"


def _store(conv: Any, work: Any) -> None:
    """The compressed copy's two new values into `conv`: messages, then
    cut_time, both or neither."""
    old = conv["messages"]
    conv["messages"] = work["messages"]
    try:
        conv["cut_time"] = work["cut_time"]
    except BaseException:
        conv["messages"] = old
        raise

"""`Compressor`: the module's compression for a host in one call, with what
happened said in the result and in the log.

    compressor = Compressor(llm=ask_my_model, max_context=128_000)
    result = compressor.compress_messages(messages)  # a plain list: send result.messages
    result = compressor.compress(conv)               # a stored conversation, in place
    # or: await compressor.acompress_messages(messages), await compressor.acompress(conv)

The compression is the module's own C++ routine (the threshold, the cut, the
rewrite; for a plain list, the cut on the start of a turn), reached through context_compress._engine with this compressor's
collaborators passed in as arguments: its transcript, its extract and its
summary request. Nothing is bound anywhere, so a compression here changes
nothing that any other caller of routes.context_compress sees, on any thread.
"""

from __future__ import annotations

import asyncio
import inspect
import logging
from collections.abc import Awaitable, Callable, Mapping
from typing import Any, Literal

from . import _engine
from . import facts as fact_keeping
from .answers import Failed, Unusable, described, one_line, problem, summary_of
from .diagnosis import Explanation, explain
from .masking import Redactor, url_secrets
from .plain import APIS, explain_list, openai_view
from .results import CompressionResult, MessagesResult, SummarySource
from .telling import Teller, label
from .texts import (DEFAULT_MAX_CONTEXT, PLAIN_SUMMARIZER_PROMPT, PLAIN_SUMMARY_PREFIX, SUMMARIZER_PROMPT, SUMMARY_NOTE,
                    SUMMARY_PREFIX, THRESHOLD)
from .threads import Abandoned, Call, OnLoop, OwnLoop, Workers, private_record, store_record, wait_for

__all__ = ["Compressor", "CompressionResult", "MessagesResult", "LLM", "LLMAnswer", "SummarySource", "LLMFailure"]

log = logging.getLogger("context_compress")

#: What an LLM callable may answer: the summary itself, or a chat completion
#: of OpenAI's shape (``{"choices": [{"message": {"content": ...}}]}``).
LLMAnswer = str | Mapping[str, Any]

#: ``llm(messages, cfg)``: `messages` the summary request's two messages
#: (system, then user), `cfg` the host's `llm_config` with `max_context` and
#: ``max_tokens=2048``. It may return an awaitable of the answer.
LLM = Callable[[list[dict[str, str]], dict[str, Any]], LLMAnswer | Awaitable[LLMAnswer]]

# The reason below the threshold, as diagnosis.explain words it, without
# formatting the threshold on every turn.
_BELOW = f" is at or below the {THRESHOLD} threshold"

#: What compress does when the LLM gives no summary.
LLMFailure = Literal["extract", "keep"]

#: The default of summary_note: the module's note for compress, none for
#: compress_messages.
PATH_DEFAULT: Any = object()


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
    (default: the module's for `compress`, PLAIN_SUMMARIZER_PROMPT, in
    English without the module's cap in Chinese characters, for
    `compress_messages`).
    summary_prefix, summary_note: the texts around the summary in the summary
    message; a note of None means none (default: the module's prefix and note
    for `compress`, which stored conversations of the module's own host
    expect, PLAIN_SUMMARY_PREFIX and no note for `compress_messages`).
    on_llm_failure: "extract" (the default) compresses into the extract when
    the LLM gives no summary; "keep" leaves the conversation or list exactly
    as it was, and the result says why (`llm_error`, `reason`).
    use_llm: False asks no LLM at all: every summary is the extract, by
    choice (no `llm_error`, nothing logged about it).

    One compressor serves any number of threads and conversations; calls on
    one conversation must not overlap. `acompress` runs its compressions on
    threads of the compressor's own, and `compress` awaits an async llm's
    answers on an event loop of its own; `close()` ends that loop.
    """

    def __init__(self, llm: LLM | None = None, max_context: int | None = None, *,
                 facts: bool = True, llm_config: Mapping[str, Any] | None = None,
                 system_prompt: str | None = None, summary_prefix: str | None = None,
                 summary_note: str | None = PATH_DEFAULT, on_llm_failure: LLMFailure = "extract",
                 use_llm: bool = True) -> None:
        if llm is not None and not callable(llm):
            raise TypeError(f"llm must be callable, not {type(llm).__name__}")
        if system_prompt is not None and (not isinstance(system_prompt, str) or not system_prompt.strip()):
            raise ValueError("system_prompt must be a non-empty text")
        if summary_prefix is not None and not isinstance(summary_prefix, str):
            raise TypeError(f"summary_prefix must be a str, not {type(summary_prefix).__name__}")
        if summary_note is not None and summary_note is not PATH_DEFAULT and not isinstance(summary_note, str):
            raise TypeError(f"summary_note must be a str or None, not {type(summary_note).__name__}")
        if on_llm_failure not in ("extract", "keep"):
            raise ValueError(f"on_llm_failure must be 'extract' or 'keep', not {on_llm_failure!r}")
        if on_llm_failure == "keep" and not use_llm:
            raise ValueError("on_llm_failure='keep' needs an LLM to ask (use_llm=True)")
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
        self.on_llm_failure = on_llm_failure
        # The engine calls them with the span and the messages kept after it.
        transcript, extract = ((_facts_transcript, _facts_extract) if facts
                               else (_module_transcript, _module_extract))
        kept = None if on_llm_failure == "keep" else extract
        ask = self._ask if use_llm else None
        self.use_llm = use_llm
        # What every compression of this compressor is given; acompress
        # replaces the request with one that knows its call.
        self._collaborators: _engine.Collaborators = (
            transcript, kept, ask, self.system_prompt, summary_prefix or SUMMARY_PREFIX,
            SUMMARY_NOTE if summary_note is PATH_DEFAULT else summary_note)
        list_texts = (system_prompt or PLAIN_SUMMARIZER_PROMPT, summary_prefix or PLAIN_SUMMARY_PREFIX,
                      None if summary_note is PATH_DEFAULT else summary_note)
        # Anthropic's blocks reach the transcripts as OpenAI's shapes.
        viewed = (lambda span, later: transcript(openai_view(span), openai_view(later)),
                  None if kept is None else lambda span, later: extract(openai_view(span), openai_view(later)))
        self._list_collaborators: dict[str, _engine.Collaborators] = {
            "openai": (transcript, kept, ask, *list_texts),
            "anthropic": (viewed[0], viewed[1], ask, *list_texts)}
        self._teller = Teller()
        self._workers = Workers()
        self._loop = OwnLoop()

    # --- the calls ---------------------------------------------------------------

    def compress(self, conv: Any) -> CompressionResult:
        """Compresses `conv` in place when its active history is over the
        threshold, as `cut_and_sum_history` does; blocks while the LLM answers."""
        try:
            compressed, stats, account, newest_outside = _engine.compress(conv, self.llm_config, self._collaborators)
        except OnLoop:
            raise RuntimeError("the LLM returned an awaitable, and compress() runs on an event loop's thread: "
                               "use acompress()") from None
        if account is None and not compressed and "total_tokens" in stats and not newest_outside:
            # Below the threshold: the per-turn path, nothing more to find out.
            if self._teller.warned:
                self._teller.forget(conv)
            return CompressionResult(False, stats, None, None, None, f"rate {stats['rate']:.3f}{_BELOW}")
        result, why = self._result(conv, compressed, stats, account, newest_outside)
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
        call = Call(asyncio.get_running_loop())
        work, snapshot = private_record(conv)
        collaborators = self._for_call(self._collaborators, call)
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

    def compress_messages(self, messages: list[Any], api: str = "openai") -> MessagesResult:
        """Compresses a plain list of chat messages (no stamps, no cut time)
        when its estimate is over the threshold, as `compress` does a stored
        conversation; the host's list and messages are never changed.
        `result.messages` is the list to store and send next: the host's own
        list when nothing was compressed; else the system messages as they
        were, the summary, and the kept messages from the start of a turn
        (no tool result without its call, no call without its results).
        `api`: "openai" (system/developer, user, assistant with `tool_calls`,
        tool) or "anthropic" (user and assistant with text, image, tool_use
        and tool_result blocks)."""
        return self._compress_list(messages, api, self._list_collaborator(api))

    async def acompress_messages(self, messages: list[Any], api: str = "openai") -> MessagesResult:
        """`compress_messages` on a thread of the compressor's own, as
        `acompress` is; cancelled, it asks nothing more of the LLM."""
        call = Call(asyncio.get_running_loop())
        collaborators = self._for_call(self._list_collaborator(api), call)
        future = self._workers.submit(self._compress_list, messages, api, collaborators)
        try:
            return await asyncio.wrap_future(future)
        except asyncio.CancelledError:
            call.cancel()
            raise

    def _for_call(self, collaborators: _engine.Collaborators, call: Call) -> _engine.Collaborators:
        """`collaborators` with a summary request that knows its acompress call."""
        transcript, extract, ask, prompt, prefix, note = collaborators
        if ask is not None:
            ask = lambda messages, cfg: self._ask(messages, cfg, call)  # noqa: E731
        return transcript, extract, ask, prompt, prefix, note

    def _list_collaborator(self, api: str) -> _engine.Collaborators:
        try:
            return self._list_collaborators[api]
        except (KeyError, TypeError):
            raise ValueError(f"api must be one of {', '.join(map(repr, APIS))}, not {api!r}") from None

    def _compress_list(self, messages: list[Any], api: str, collaborators: _engine.Collaborators) -> MessagesResult:
        compressed, stats, account, new_messages = _engine.compress_list(messages, self.llm_config, collaborators,
                                                                          api == "anthropic")
        if account is None and not compressed and "total_tokens" in stats:
            return MessagesResult(False, stats, reason=f"rate {stats['rate']:.3f}{_BELOW}", messages=messages)
        why = explain_list(messages, compressed, stats, self.max_context, new_messages)
        result = MessagesResult(bool(compressed), stats, reason=why.reason, still_over=why.still_over,
                                largest_kept_tokens=why.largest_kept if why.still_over else None,
                                messages=new_messages if new_messages is not None else messages)
        self._account(result, account, api == "anthropic", "messages")
        self._teller.tell_list(result)
        return result

    def close(self) -> None:
        """Ends the event loop that `compress` awaits an async llm's answers
        on, if one was started; a later call starts another."""
        self._loop.close()

    def _compress(self, conv: Any, collaborators: _engine.Collaborators) -> (
            tuple[CompressionResult, Explanation | None]):
        """The compression and what it did; no explanation below the threshold."""
        compressed, stats, account, newest_outside = _engine.compress(conv, self.llm_config, collaborators)
        if account is None and not compressed and "total_tokens" in stats and not newest_outside:
            # Below the threshold: the per-turn path, nothing more to find out.
            return CompressionResult(False, stats, None, None, None, f"rate {stats['rate']:.3f}{_BELOW}"), None
        return self._result(conv, compressed, stats, account, newest_outside)

    # --- the summary request -------------------------------------------------------

    def _ask(self, prompt: list[dict[str, str]], cfg: dict[str, Any], call: Call | None = None) -> str:
        """The summary request's answer, as the compression asks for it: the
        summary text, or an exception that says why there is none."""
        if call is not None and call.cancelled:
            raise Abandoned
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
                answer = wait_for(answer, call, self._loop.get)
            except (Abandoned, OnLoop):
                raise
            except Exception as exc:
                raise Failed("the request failed") from exc
        try:
            return summary_of(answer, self.llm is not None)
        except Unusable:
            raise
        except Exception as exc:
            raise Failed("the answer could not be read") from exc

    def _one_line(self, error: BaseException | None, in_transcript: bool, sent: str) -> str:
        # The secrets are read now: an adapter's are those its client sends.
        redact = Redactor([self.llm_config.get("api_key"), *url_secrets(self.llm_config.get("base_url")),
                           *getattr(self.llm, "secrets", ())])
        return one_line(problem(error, in_transcript, sent, redact), redact)

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
        self._account(result, account, False, "conversation")
        return result, why

    def _account(self, result: CompressionResult, account: _engine.Account | None, viewed: bool,
                 what: str) -> None:
        """What became of the summary request, into `result`."""
        if account is None:
            return
        span, sent, summary, answered, error, in_transcript = account
        failure = None
        if not answered and (sent or error is not None):
            # (A span without any text asks the LLM nothing, and nothing failed.)
            failure = self._one_line(error, in_transcript, sent or "")
        if not result.compressed:
            # The LLM gave no summary, and the extract is not wanted.
            result.llm_error = failure or "the span has no text to summarise"
            result.reason = (f"the LLM gave no summary ({result.llm_error}), and on_llm_failure='keep' "
                             f"leaves the {what} as {'they were' if what == 'messages' else 'it was'}")
            return
        result.summary_source = "llm" if answered else "extract"
        result.llm_error = failure
        result.written_from = (sent if answered else summary) or ""
        result.summary_facts = _seen(openai_view(span) if viewed else span, result.written_from)


# --- helpers -----------------------------------------------------------------------


def _window(value: Any) -> int:
    """`max_context`, given as the argument or in `llm_config`: a positive
    int, or the text of one (as a configuration file holds it)."""
    if isinstance(value, str) and value.strip().isdecimal():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int) or value <= 0:
        raise ValueError(f"max_context must be a positive int (a number of tokens), not {value!r}")
    return value


def _facts_transcript(span: Any, later: Any) -> str:
    return fact_keeping.transcript(span, later=later)


def _facts_extract(span: Any, later: Any) -> str:
    return fact_keeping.extract(span, later=later)


def _module_transcript(span: Any, later: Any) -> str:
    return _engine.transcript(span)


def _module_extract(span: Any, later: Any) -> str:
    return _engine.extract(span)


def _seen(span: Any, sent: str) -> dict[str, int] | None:
    try:
        seen, of = fact_keeping.seen(span, sent)
    except Exception:
        return None
    return {"seen": seen, "of": of}

"""What a compressor's summary request makes of an llm's answer, and how it
says why there is no summary: the answer read as the module reads it, and
the failing step with the exception, built from its parts by `llm_errors`,
masked and on one line."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from .chat.errors import ChatError
from .llm_errors import SHOWN, describe
from .masking import shortened

#: Characters of an `llm_error`.
ERROR_SHOWN = SHOWN


class Unusable(Exception):
    """The LLM answered, but nothing in the answer is a summary; the text
    says why, in fixed words."""


class Failed(Exception):
    """A step of the summary request failed; the step's words are the
    text, the failure is the cause."""


def summary_of(answer: Any, text_allowed: bool) -> str:
    """The summary in an answer, read as the module reads it: the first
    choice's message content, stripped. A host's own `llm` may also answer
    with the text itself. Unusable says why there is none."""
    if text_allowed and isinstance(answer, str):
        summary = answer.strip()
        if not summary:
            raise Unusable("the answer is empty")
        return summary
    if not answer:
        raise Unusable(f"no answer ({type(answer).__name__})")
    if not callable(getattr(answer, "get", None)):
        raise Unusable(f"the answer is a {type(answer).__name__}, not a chat completion")
    choices = answer.get("choices") or []
    if not choices:
        raise Unusable("the answer has no choices")
    if not choices[0].get("message", {}).get("content"):
        raise Unusable("the answer's first choice has no message content")
    content = choices[0]["message"]["content"]
    if not callable(getattr(content, "strip", None)):
        raise Unusable(f"the answer's content is a {type(content).__name__}, not text")
    summary = content.strip()
    if not summary or not isinstance(summary, str):
        raise Unusable("the answer's text is only white space")
    return summary


def _as_is(text: str) -> str:
    return text


def problem(error: BaseException | None, in_transcript: bool, sent: str = "",
            redact: Callable[[str], str] = _as_is) -> str:
    """Why the summary is the extract, from what the compression kept of the
    request: an exception is described from its parts (`llm_errors.describe`),
    with what its message quotes of `sent`, the text sent, left out, and
    masked by `redact` before any cut."""
    if error is None:
        return "the answer is empty"
    if in_transcript:
        return describe("the transcript failed", error, sent, redact)
    if isinstance(error, Unusable):
        return str(error)
    if isinstance(error, Failed) and error.__cause__ is not None:
        if isinstance(error.__cause__, ChatError):
            # context_compress.chat words its failures for hosts already, by
            # the same rule: the request, the status, the server's message
            # without what it quotes of the request, credentials masked.
            return str(error.__cause__)
        return describe(str(error), error.__cause__, sent, redact)
    return describe("the request failed", error, sent, redact)


def one_line(problem: str, redact: Callable[[str], str]) -> str:
    """`problem` as an `llm_error`: on one line, masked before it is cut, so
    that no part of a secret survives the cut."""
    return shortened(" ".join(problem.split()), ERROR_SHOWN - 1, redact, "…")


def described(exc: BaseException) -> str:
    """An exception as "Type: text", built from its parts, whatever its
    __str__ does."""
    return describe("", exc, "", _as_is)

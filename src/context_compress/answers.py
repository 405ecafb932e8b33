"""What a compressor's summary request makes of an llm's answer, and how it
says why there is no summary: the answer read as the module reads it, and
the failing step with the exception, masked and on one line."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from .chat.errors import ChatError

#: Characters of an `llm_error`. The masked line is first cut to LONG_ERROR,
#: which bounds the search for quoted message text.
ERROR_SHOWN = 300
LONG_ERROR = 2000
#: A run of this many characters of an error line that also stands in the
#: text sent to the LLM is taken for quoted message text and left out: some
#: APIs quote the request in their errors, and no message text may reach a log.
QUOTED_RUN = 16


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


def problem(error: BaseException | None, in_transcript: bool) -> str:
    """Why the summary is the extract, from what the compression kept of the request."""
    if error is None:
        return "the answer is empty"
    if in_transcript:
        return f"the transcript failed: {described(error)}"
    if isinstance(error, Unusable):
        return str(error)
    if isinstance(error, Failed) and error.__cause__ is not None:
        if isinstance(error.__cause__, ChatError):
            # context_compress.chat words its failures for hosts already: the
            # request, then what went wrong, with its credentials masked.
            return str(error.__cause__)
        return f"{error}: {described(error.__cause__)}"
    return f"the request failed: {described(error)}"


def one_line(problem: str, sent: str, redact: Callable[[str], str]) -> str:
    """`problem` as an `llm_error`: masked before it is cut, so that no part of
    a secret survives the cut, on one line, without quoted message text."""
    line = " ".join(redact(problem).split())[:LONG_ERROR]
    line = unquoted(line, sent)
    return line if len(line) <= ERROR_SHOWN else line[:ERROR_SHOWN - 1] + "…"


def unquoted(line: str, sent: str) -> str:
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


def described(exc: BaseException) -> str:
    """An exception as "Type: text", whatever its __str__ does."""
    try:
        text = str(exc)
    except Exception:
        text = "(its text cannot be read)"
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__

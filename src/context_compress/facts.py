"""A summary written from the whole span: a fact-keeping transcript and
extract for routes.context_compress, and the count of the facts they keep.

By default the module sends the summarizer the oldest 8,000 characters of the
span (`_msgs_to_text`) and falls back to its first 3 and last 5 messages
(`simple_extract`). It looks both names up in its namespace at every call, so
a host that binds others changes what the summary is written from:

    from context_compress import facts
    with facts.install():                 # or handle = facts.install() ... handle.uninstall()
        changed, stats = cut_and_sum_history(conv, llm_config)

`transcript(msgs, budget)` renders the whole span within `budget` characters
for the summarizer, `extract(msgs, budget)` is the summary written when the
LLM gives none: the same selection at a smaller budget. Both take the
messages kept after the span as `later` (a Compressor gives them; the
module's own one-argument calls, and so `install()`, do not): the span's
facts that those mention again, what the conversation goes on about, weigh
most in the choice of lines after the story. In conversation order and
under the module's `[role] ` labels, they keep

- the previous summary (a message whose content starts with SUMMARY_PREFIX)
  whole when it fits in 35 % of the budget, so that what an earlier
  compaction kept is not lost; a longer one keeps its fact lines within that
  share;
- the story: every user message and every line of the assistants' prose
  (and of any other message that is not a tool's), whole and in order,
  when their text with its labels fits 40 % of the budget
  (30 % in the extract: TRANSCRIPT_SHARES, EXTRACT_SHARES). A longer story
  keeps the users'
  messages (the start of each, evenly, when they do not fit 80 % of that
  share), the opening sentence of every other message (the newest first,
  with the rest of its line when that is short), then its lines that carry
  facts and its newest lines, while the share lasts;
- the start of the span and its end;
- tool calls as ``call NAME ARGUMENTS`` lines of at most CALL_BOUND
  characters;
- with the rest of the budget, the lines that carry facts, chosen greedily
  by the facts they add per character they add to the text (markers and
  labels counted): file paths, URLs, identifiers (snake_case, camelCase,
  hashes, tickets), numbers with units, error lines and the users'
  constraints, a URL, a path, an error line or a constraint worth more than
  an identifier or a number, and a fact that `later` holds verbatim worth
  three times as much. A line made only of a comment, or stating a
  default (a configuration dump's ``#enable_seqscan = on``), weighs a
  quarter of one a command set or printed. An error line comes with the
  line that names the failing command and the nearest frame that names a
  file of the project (``File "src/app/db.py", line 12``, ``at
  Main.run(Main.java:5)``), and is chosen at the cost of all three;
- whatever else still fits, the story's lines first, newest first.

No repeats: in a tool's output a run of identical lines, or of five or more
lines of the same shape (differing only in numbers, ids or stamps, not in
a URL, with a word among them), is one line with its count, the parts that
differ written N, where that is shorter: ``INFO retrying (×607)``. A run of
one shape lists, after its count, the facts that vary in it, each line's
values together and the same values of two lines once
(``tests/test_x.py::test_case_0NN PASSED (×42: test_case_010,
test_case_011, …)``): ids, paths, numbers with units, and in error lines
every word that varies and holds a letter (a test's name, fact or not). A
percentage that never falls in the same place of every line is a run's
progress and is not listed, unless `later` mentions one of its values. The
selection keeps such a line with the values worth their place, ``…`` for
the others; an error line's values stay on it whenever the line with all of
them fits PIECE_BOUND. A line of six characters or more that an earlier line
of the story, or of the output, already holds is left out, the first
carries it. A span that fits the budget whole is rendered whole, every line
as it is.

Each run of left-out lines, within a message or across messages, is one
marker line counting the span's lines (``…(37 lines)``); the first
kept line of a message carries its label. Lines longer than PIECE_BOUND are
taken in pieces, at a sentence's end or a space, never inside a URL (an
opening sentence is a piece too); each piece is counted as a line, and
pieces kept one after the other stand on one line again. Lines lose their
trailing white space, and a tool output line all but one character of its
indentation (users' and assistants' lines keep theirs: code in them reads
by it). The text depends on the messages and the budget alone, is at most
`budget` code points long, and no cut parts the two halves of a surrogate
pair or a URL. The selection is C++ (the context_compress._facts
extension), which lets other threads run once it has copied the messages:
it reads a span of a megabyte in some 30 ms.

Messages are read as the module reads them (`get` of ``role``, ``content``,
``tool_result``), so whatever the module renders is rendered, and what makes
the module raise (a message without `get`, a `__str__` that raises) raises
the same way. The ``tool_calls`` and ``tool_call_id`` that the module never
reads are read defensively: a shape that cannot be read is left out.

`find_facts(text)` and `span_facts(msgs)` give the facts by category;
`seen(msgs, sent)` counts how many of a span's facts the text `sent` holds
verbatim, the most that a summary written from it can keep (in C++ too, in
some 20 ms for a megabyte).
"""

from __future__ import annotations

import json
import logging
import re
from collections.abc import Callable, Iterable, Mapping
from typing import Any

import routes.context_compress as _module

from . import _facts as _native
from .coverage import message_text
from .texts import SUMMARY_PREFIX

__all__ = ["transcript", "extract", "install", "Installed", "find_facts", "span_facts", "seen", "seen_by_category",
           "CATEGORIES", "TRANSCRIPT_BUDGET", "EXTRACT_BUDGET"]

log = logging.getLogger(__name__)

TRANSCRIPT_BUDGET = 24_000
EXTRACT_BUDGET = 8_000

#: Shares of the budget taken before the greedy choice of fact lines, in
#: this order: the previous summary, the story (users' messages and the
#: assistants' prose), the start and the end of the span. The story comes
#: first in the extract too, in a smaller share: at 8,000 characters a story
#: that fills 40 % leaves the facts too little (28 % of the span's facts,
#: against 35 % at 30 %, bench/out/facts.md), and the users' messages, which
#: take up to 80 % of the story's share, still fit whole.
TRANSCRIPT_SHARES = (0.35, 0.40, 0.02, 0.04)
EXTRACT_SHARES = (0.35, 0.30, 0.01, 0.02)

#: Longest line kept whole (kPieceBound of src/facts/select.hpp); longer ones
#: are cut into pieces, at the last space of each piece's second half.
PIECE_BOUND = 320
#: Longest ``call NAME ARGUMENTS`` line.
CALL_BOUND = 200

CATEGORIES = ("paths", "urls", "identifiers", "numbers", "errors", "constraints")

ELLIPSIS = "…"


# --- reading the span ------------------------------------------------------------

def _call_lines(message: Any) -> tuple[tuple[str, ...], tuple[str, ...]]:
    """The ``call NAME ARGUMENTS`` lines of a message's tool calls, and their
    ids ("" for none). Whatever cannot be read is left out: the module never
    reads these keys, so nothing in them may make the transcript fail."""
    lines: list[str] = []
    ids: list[str] = []
    try:
        calls = message.get("tool_calls")
        if calls and isinstance(calls, (list, tuple)):
            for call in calls:
                try:
                    line, cid = _call_line(call)
                except Exception:
                    log.debug("a tool call left out: unreadable", exc_info=True)
                    continue
                if line:
                    lines.append(line)
                    ids.append(cid)
    except Exception:
        log.debug("tool_calls left out: unreadable", exc_info=True)
    return tuple(lines), tuple(ids)


def _call_line(call: Any) -> tuple[str, str]:
    if not isinstance(call, Mapping):
        return "", ""
    function = call.get("function")
    if isinstance(function, Mapping):
        name, arguments = function.get("name"), function.get("arguments")
    else:
        name, arguments = call.get("name"), call.get("arguments", call.get("input"))
    if not name:
        return "", ""
    if arguments is None or isinstance(arguments, str):
        args = str(arguments or "")
    else:
        args = json.dumps(arguments, ensure_ascii=False, default=str)
    # One line, so that the model reads it as one call.
    line = " ".join(f"call {name} {args}".splitlines()).rstrip()
    if len(line) > CALL_BOUND:
        line = _cut(line, CALL_BOUND - 1) + ELLIPSIS
    cid = call.get("id")
    return line, str(cid) if isinstance(cid, str) else ""


#: A URL as the recognisers find one (src/facts/recognise.hpp), or longer:
#: a scheme, "://", then anything up to a delimiter. Its start is where a
#: cut may go instead of inside it.
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.\-]*://[^\s\"'`()\[\]{}<>,;|\x00-\x20\x7f-\xa0\u2000-\u206f\u2e80-\U0010ffff]*")


def _cut(text: str, end: int) -> str:
    """`text` up to `end`, shorter when the cut would part a surrogate pair
    or fall inside a URL: then it ends before the URL, or after it when the
    URL ends within CALL_BOUND more code points."""
    # Up to one past the farthest end allowed: a URL that runs on past it
    # matches to that point, and is cut before.
    for url in _URL.finditer(text, 0, end + CALL_BOUND + 1):
        if url.start() >= end:
            break
        if end < url.end():
            end = url.end() if url.end() <= end + CALL_BOUND else url.start()
            break
    if 0 < end < len(text) and "\ud800" <= text[end - 1] <= "\udbff" and "\udc00" <= text[end] <= "\udfff":
        end -= 1
    return text[:end]


#: What a message is to the selection, by its label (kind 0: any other
#: message that is not a tool's, which belongs to the story). A "function"
#: message is a tool's output in the older OpenAI shape.
_KINDS = {"user": 1, "tool_result": 3, "function": 3, "assistant": 4}


def _read(msgs: Iterable[Any]) -> list[tuple[str, str, int, tuple[str, ...], tuple[str, ...], str]]:
    """The messages that render, as the selection takes them: (header, body,
    kind, call lines, call ids, tool_call_id)."""
    read = []
    for message in msgs:
        label, body = message_text(message)
        calls, ids = _call_lines(message)
        if not body and not calls:
            continue
        # The label tells the roles apart: "tool_result" is how the module
        # labels a tool message, and reading the role again could differ.
        kind = _KINDS.get(label, 0)
        if kind == 1 and body.startswith(SUMMARY_PREFIX):
            kind = 2
        tool_call_id = ""
        if kind == 3:
            try:
                cid = message.get("tool_call_id")
                tool_call_id = cid if type(cid) is str else ""
            except Exception:
                log.debug("tool_call_id left out: unreadable", exc_info=True)
        # The body goes as it is: a str subclass is rendered by its
        # characters, as the module renders it, not by its __str__.
        read.append((f"[{label}] ", body, kind, calls, ids, tool_call_id))
    return read


def _select(msgs: Iterable[Any], budget: int, shares: tuple[float, float, float, float],
            later: Iterable[Any] | None) -> str:
    budget = _checked_budget(budget)
    read = _read(msgs)
    if later is None:
        return _native.select(read, budget, shares)
    return _native.select(read, budget, shares, _later_text(later))


def _later_text(later: Iterable[Any]) -> str:
    """The text of the messages kept after the span, read as the span is: each
    message's text and its tool calls, one after another."""
    return "\n".join(text for _, body, _, calls, _, _ in _read(later) for text in (body, *calls))


def _checked_budget(budget: int) -> int:
    if isinstance(budget, bool) or not isinstance(budget, int):
        raise TypeError(f"budget must be an int, not {type(budget).__name__}")
    if budget < 0:
        raise ValueError(f"budget must be 0 or more, not {budget}")
    return budget


def find_facts(text: str, *, user: bool = False) -> dict[str, set[str]]:
    """The facts of `text` by category (CATEGORIES): tokens for paths, URLs,
    identifiers and numbers with units; the start of each line for errors;
    the start of each sentence that sets one for constraints, in a user's
    text only (`user`). The rules are those of src/facts/recognise.hpp."""
    return dict(zip(CATEGORIES, _native.find([(text, user)])))


# --- the two texts -------------------------------------------------------------

def transcript(msgs: Iterable[Any], budget: int = TRANSCRIPT_BUDGET, *, later: Iterable[Any] | None = None) -> str:
    """The text of the whole span `msgs` for the summarizer, at most `budget`
    characters: the story, then the fact-bearing lines of every message (see
    the module's docstring), in conversation order under the module's
    `[role] ` labels. `later`, the messages kept after the span (read as the
    span is), makes the span's facts they mention again weigh most."""
    return _select(msgs, budget, TRANSCRIPT_SHARES, later)


def extract(msgs: Iterable[Any] | None, budget: int = EXTRACT_BUDGET, *,
            later: Iterable[Any] | None = None) -> str:
    """The summary written when the LLM gives none: the same selection as
    `transcript`, at most `budget` characters. None or an empty span gives ""."""
    if not msgs:
        return ""
    return _select(msgs, budget, EXTRACT_SHARES, later)


# --- measuring -----------------------------------------------------------------

def _span_texts(msgs: Iterable[Any]) -> list[tuple[str, bool]]:
    """The texts whose facts are the span's, as (text, user) pairs: every
    message's text and its tool calls; constraints from users' messages only
    (not from a previous summary's text, which is the summarizer's)."""
    texts = []
    for header, body, kind, calls, _, _ in _read(msgs):
        texts.append((body, kind == 1))
        texts.extend((call, False) for call in calls)
    return texts


def span_facts(msgs: Iterable[Any]) -> dict[str, set[str]]:
    """The facts of a span by category: those of every message's text and of
    its tool calls; constraints from users' messages only (not from a
    previous summary's text, which is the summarizer's)."""
    return dict(zip(CATEGORIES, _native.find(_span_texts(msgs))))


def _seen(msgs: Iterable[Any], sent: str) -> tuple[tuple[int, int], ...]:
    if not isinstance(sent, str):
        raise TypeError(f"sent must be a str, not {type(sent).__name__}")
    return _native.seen(_span_texts(msgs), sent)


def seen_by_category(msgs: Iterable[Any], sent: str) -> dict[str, tuple[int, int]]:
    """Per category, how many of the span's facts `sent` holds verbatim, of how many."""
    return dict(zip(CATEGORIES, _seen(msgs, sent)))


def seen(msgs: Iterable[Any], sent: str) -> tuple[int, int]:
    """How many of the span's facts (all categories; one found in two counts
    once) `sent` holds verbatim, of how many: the count behind "summary saw
    ... 2,301 of 2,388 facts"."""
    return _seen(msgs, sent)[-1]


# --- installing ----------------------------------------------------------------

_MISSING = object()

#: The installations not undone yet, oldest first.
_active: list[Installed] = []


class Installed:
    """The handle of one `install`: `uninstall()`, or leaving its `with`
    block, puts back what routes.context_compress held before it.

    The rules, for any order of use (all on the host's thread, as the
    module's own calls):

    - Nested installs undo in reverse order: after the inner one the outer
      one's functions are bound again, after the outer one what the host had
      before (the module's own functions, or the host's).
    - An install undone out of order (the outer one first) changes nothing
      that is bound now: the later install keeps working, and when it is
      undone in turn it puts back what the earlier one found.
    - A name the host rebound after the install (to anything but the
      install's function) keeps the host's binding: uninstall never
      overwrites what it did not bind.
    - uninstall() a second time does nothing; leaving a `with` block by an
      exception uninstalls and lets the exception go on.
    """

    def __init__(self, names: dict[str, Callable[..., Any]]) -> None:
        namespace = vars(_module)
        self.bound = names
        self.previous: dict[str, Any] = {name: namespace.get(name, _MISSING) for name in names}
        namespace.update(names)
        _active.append(self)

    @property
    def active(self) -> bool:
        return self in _active

    def uninstall(self) -> None:
        if self not in _active:
            return
        at = _active.index(self)
        del _active[at]
        if at < len(_active):
            # A later install replaced ours and stays: it inherits what ours
            # replaced, to put back when it is undone.
            later = _active[at]
            for name, ours in self.bound.items():
                if later.previous.get(name) is ours:
                    later.previous[name] = self.previous[name]
            return
        namespace = vars(_module)
        for name, ours in self.bound.items():
            if namespace.get(name, _MISSING) is not ours:
                log.warning("routes.context_compress.%s was rebound after facts.install(); left as it is", name)
            elif self.previous[name] is _MISSING:
                del namespace[name]
            else:
                namespace[name] = self.previous[name]

    def __enter__(self) -> Installed:
        return self

    def __exit__(self, *exc: object) -> None:
        self.uninstall()


def install(transcript_budget: int = TRANSCRIPT_BUDGET, extract_budget: int = EXTRACT_BUDGET) -> Installed:
    """Binds `transcript` and `extract`, at these budgets, in
    routes.context_compress as `_msgs_to_text` and `simple_extract`, and
    returns the handle that undoes it (see Installed)."""
    _checked_budget(transcript_budget)
    _checked_budget(extract_budget)

    def _msgs_to_text(msgs: Iterable[Any]) -> str:
        return transcript(msgs, transcript_budget)

    def simple_extract(msgs: Iterable[Any] | None) -> str:
        return extract(msgs, extract_budget)

    return Installed({"_msgs_to_text": _msgs_to_text, "simple_extract": simple_extract})

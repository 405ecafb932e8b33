"""The `context-compress` command: compress stored conversations from a terminal."""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
import urllib.parse
from collections import Counter
from contextlib import AbstractContextManager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, NoReturn, TextIO

import routes.context_compress as cc

from . import BAD_INPUT, FAILED, OK, PROG, __version__, calibrate, chat
from .coverage import summary_covered
from .files import BadInput, Input, Loaded, dump, expand, parse, read_bytes, write_atomic
from .texts import DEFAULT_MAX_CONTEXT, SUMMARY_NOTE, SUMMARY_PREFIX, THRESHOLD

SUMMARY_SHOWN = 160


DESCRIPTION = """\
Compress the older history of stored LLM conversations with
routes.context_compress.cut_and_sum_history. FILE is a JSON object with a
"messages" list, as the host application stores it; "-" reads standard input; a
directory stands for the *.json files in it. Without -o or --in-place nothing is
written: the command reports what compression would do.

By default the summary is the built-in extract, so no LLM is needed. With
--llm-url and --model the summary is written by an OpenAI-compatible chat
endpoint; when that fails, the extract is used and the report says why (with
--llm-required, the file fails instead). After a connection failure or a
time-out, the remaining files of the run do not ask that server again."""

EPILOG = """\
exit status: 0 when every file was processed, 1 when one failed for another
reason (such as an unwritable output, or no LLM summary with --llm-required),
2 on bad input or usage."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # A mistyped option can echo a URL with a password in it.
        super().error(chat.mask_urls(message))


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG, description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help='conversation file, directory of *.json files, or "-"')
    parser.add_argument("--max-context", type=_positive_int, default=DEFAULT_MAX_CONTEXT,
                        metavar="N", help="context window in tokens (default: %(default)s)")
    parser.add_argument("--json", action="store_true",
                        help="print the statistics as JSON, one object per file and line")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("-o", "--output", metavar="OUT",
                       help="write the rewritten conversation to OUT (a directory when "
                            'several files are given; "-" for standard output)')
    where.add_argument("--in-place", action="store_true",
                       help="rewrite each compressed file itself")
    parser.add_argument("--no-progress", action="store_true",
                        help="no progress bar, even on a terminal")
    llm = parser.add_argument_group("LLM summary (optional)")
    llm.add_argument("--llm-url", metavar="URL",
                     help="base URL of an OpenAI-compatible API, e.g. https://api.openai.com/v1")
    llm.add_argument("--model", metavar="NAME", help="model name for --llm-url")
    llm.add_argument("--api-key-env", metavar="VAR", default="OPENAI_API_KEY",
                     help="environment variable holding the API key (default: %(default)s)")
    llm.add_argument("--connect-timeout", type=_positive_float, default=10.0, metavar="S",
                     help="seconds allowed for making the connection: the TCP connect "
                          "(per address tried) and, for https, the TLS handshake; name "
                          "lookup is not included (default: %(default)s)")
    llm.add_argument("--read-timeout", type=_positive_float, default=120.0, metavar="S",
                     help="seconds allowed for everything after the connection is made: "
                          "from sending the request to the last byte of the answer, "
                          "however slowly it arrives (default: %(default)s)")
    llm.add_argument("--llm-required", action="store_true",
                     help="when the LLM gives no usable summary, fail the file and write "
                          "nothing for it (default: use the built-in extract and say why)")
    llm.add_argument("--token-limit-param", choices=chat.TOKEN_LIMIT_PARAMS,
                     help="name under which the token limit is sent (default: max_tokens, "
                          "switching to max_completion_tokens when the server refuses it)")
    llm.add_argument("--reasoning-effort", metavar="LEVEL",
                     help="reasoning_effort for reasoning models (e.g. minimal, low, "
                          "medium, high); not sent unless given")
    calibrate.add_arguments(parser, _positive_int)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


def _positive(convert: type[int] | type[float], kind: str, must: str) -> Any:
    """An argparse type: `convert` of the text, which must be finite and above 0."""

    def parse(text: str) -> Any:
        try:
            value = convert(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not {kind}: {text!r}") from None
        if not value > 0 or value == float("inf"):
            raise argparse.ArgumentTypeError(f"{must}: {text!r}")
        return value

    return parse


_positive_int = _positive(int, "a whole number", "must be greater than 0")
_positive_float = _positive(float, "a number", "must be a positive number of seconds")


# --- one file -----------------------------------------------------------------------


@dataclass
class Outcome:
    label: str
    status: int = OK
    error: str | None = None
    compressed: bool = False
    stats: dict[str, Any] = field(default_factory=dict)
    tokens_before: int | None = None
    tokens_after: int | None = None
    messages_before: int = 0
    messages_after: int = 0
    cut_time_before: str | None = None
    cut_time_after: str | None = None
    summary: str | None = None
    summary_source: str | None = None
    summary_covered: dict[str, int] | None = None
    llm_error: str | None = None
    over_threshold: bool = False
    any_timestamp: bool = True
    written: str | None = None


class Recorder:
    """Wraps the chat layer to learn what became of the summary request, since
    the compression absorbs every failure of it.

    Once the server could not be reached or did not answer in time, later
    requests of the run fail at once: a dead server costs its time-out once,
    not once per file."""

    def __init__(self, layer: chat.ChatLayer, redact: chat.Redactor) -> None:
        self.layer = layer
        self.redact = redact
        self.unreachable: str | None = None
        self.reset()

    def reset(self) -> None:
        self.calls = 0
        self.error: Exception | None = None
        self.content: str | None = None

    def __call__(self, messages: Any, cfg: Any, stream: bool = False) -> Any:
        self.calls += 1
        if self.unreachable is not None:
            self.error = chat.ChatError(
                f"not asked, since an earlier request of this run failed: {self.unreachable}")
            raise self.error
        try:
            response = self.layer(messages, cfg, stream=stream)
        except chat.ServerUnreachable as exc:
            self.error = exc
            self.unreachable = str(exc)
            raise
        except Exception as exc:
            self.error = exc
            raise
        try:
            message = response["choices"][0]["message"]
            content = message["content"]
        except (KeyError, IndexError, TypeError):
            content = None
        if isinstance(content, str):
            # A server that echoes the key into its answer must not get it
            # written into the conversation.
            masked = self.redact.secrets_only(content)
            if masked != content:
                message["content"] = content = masked
            self.content = content
        else:
            self.content = None
        return response


class Runner:
    def __init__(self, options: argparse.Namespace) -> None:
        self.options = options
        self.recorder: Recorder | None = None
        api_key = (os.environ.get(options.api_key_env) or None) if options.llm_url else None
        # Everything the command prints goes through this, whatever its source.
        self.redact = chat.Redactor([api_key, *chat.url_secrets(options.llm_url)])
        if options.llm_url:
            self.recorder = Recorder(chat.ChatLayer(chat.Settings(
                base_url=options.llm_url, model=options.model, api_key=api_key,
                connect_timeout=options.connect_timeout, read_timeout=options.read_timeout,
                token_limit_param=options.token_limit_param,
                reasoning_effort=options.reasoning_effort)),
                self.redact)

    def chat_context(self) -> AbstractContextManager[None]:
        """routes.chat for one compression: the recorded chat layer, or none at all."""
        return chat.installed(self.recorder) if self.recorder else chat.blocked()

    def target_of(self, item: Input, several: bool) -> Path | str | None:
        """Where the rewritten conversation goes: a path, "-" or None (nowhere)."""
        if self.options.in_place:
            return item.path
        output: str | None = self.options.output
        if output is None or output == "-":
            return output
        name = item.path.name if item.path is not None else "conversation.json"
        out = Path(output)
        if several or out.is_dir():
            return out / name
        return out

    def process(self, item: Input, several: bool, stdin: Any) -> Outcome:
        outcome = Outcome(item.label)
        try:
            if item.problem:
                raise BadInput(item.problem)
            loaded = parse(read_bytes(item.path, stdin))
        except BadInput as exc:
            outcome.status, outcome.error = BAD_INPUT, str(exc)
            return outcome
        try:
            self.compress(loaded, outcome)
        except Exception as exc:  # a fault of the module or of this command
            outcome.status = FAILED
            outcome.error = f"compression failed: {type(exc).__name__}: {exc}"
            return outcome
        if self.options.llm_required and outcome.compressed and outcome.summary_source != "llm":
            outcome.status = FAILED
            outcome.error = (f"no summary from the LLM ({outcome.llm_error}); with "
                             "--llm-required nothing is written for this file")
            return outcome
        target = self.target_of(item, several)
        try:
            outcome.written = self.write(loaded, outcome, item, target)
        except OSError as exc:
            outcome.status = FAILED
            outcome.error = f"cannot write {target}: {exc.strerror or exc}"
        return outcome

    def compress(self, loaded: Loaded, outcome: Outcome) -> None:
        conv = loaded.conv
        old_messages = conv["messages"]
        outcome.messages_before = len(old_messages)
        outcome.any_timestamp = any(m.get("timestamp") for m in old_messages)
        outcome.cut_time_before = conv.get("cut_time") or None
        max_context = self.options.max_context
        if self.recorder:
            self.recorder.reset()
        with self.chat_context():
            compressed, stats = cc.cut_and_sum_history(conv, {"max_context": max_context})
        outcome.compressed = bool(compressed)
        outcome.stats = dict(stats)
        if "total_tokens" in stats:
            outcome.tokens_before = stats["total_tokens"]
        elif "rate" in stats:
            outcome.tokens_before = round(stats["rate"] * max_context)
        else:
            outcome.tokens_before = 0
        outcome.messages_after = len(conv["messages"])
        outcome.cut_time_after = conv.get("cut_time") or None
        if not compressed:
            if not stats:
                # Nothing was measured (no message in the module's window); what
                # the host feeds its LLM is the stored window, which can be all
                # of the messages.
                outcome.tokens_before = cc.estimate_tokens(cc.msgs_from_cut_time(conv))
            outcome.tokens_after = outcome.tokens_before
            outcome.over_threshold = outcome.tokens_before / max_context > THRESHOLD
            return
        outcome.tokens_after = cc.estimate_tokens(cc.msgs_from_cut_time(conv))
        outcome.over_threshold = outcome.tokens_after / max_context > THRESHOLD
        # The summary message is the one new object in the rewritten list; the
        # span it replaced is what is missing from it.
        old_ids = {id(m) for m in old_messages}
        new_ids = {id(m) for m in conv["messages"]}
        span = [m for m in old_messages if id(m) not in new_ids]
        summary_msg = next((m for m in conv["messages"] if id(m) not in old_ids), None)
        content = summary_msg.get("content", "") if summary_msg else ""
        if content.startswith(SUMMARY_PREFIX) and content.endswith(SUMMARY_NOTE):
            content = content[len(SUMMARY_PREFIX):len(content) - len(SUMMARY_NOTE)]
        outcome.summary = content
        recorder = self.recorder
        if recorder and recorder.content is not None and recorder.content.strip() == content:
            outcome.summary_source = "llm"
        else:
            outcome.summary_source = "extract"
            if recorder and recorder.error is not None:
                outcome.llm_error = str(recorder.error)
            elif recorder and recorder.calls:
                outcome.llm_error = "the answer had no summary text"
        outcome.summary_covered = summary_covered(span, outcome.summary_source)

    def write(self, loaded: Loaded, outcome: Outcome, item: Input,
              target: Path | str | None) -> str | None:
        if target is None:
            return None
        data = dump(loaded.conv, loaded.style) if outcome.compressed else loaded.raw
        if target == "-":
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
            return "-"
        assert isinstance(target, Path)
        if not outcome.compressed and item.path is not None and _same_file(item.path, target):
            return None  # the original stays exactly as it is
        write_atomic(target, data)
        return str(target)


def _same_file(a: Path, b: Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


# --- reports -------------------------------------------------------------------------


def _n(value: int | None) -> str:
    return "?" if value is None else f"{value:,}"


def _excerpt(text: str) -> str:
    flat = " ".join(text.split())
    if len(flat) > SUMMARY_SHOWN:
        return flat[:SUMMARY_SHOWN] + "…"
    return flat


def _reason(o: Outcome) -> str:
    stats = o.stats
    if not stats:
        if not o.messages_before:
            return "no messages"
        if not o.any_timestamp:
            return "no message has a timestamp, so none is in the window"
        return "no messages at or after the cut time"
    if "total_tokens" in stats:
        return f"rate {stats['rate']:.3f} is at or below the {THRESHOLD} threshold"
    return (f"rate {stats['rate']:.3f} is over the {THRESHOLD} threshold, but nothing lies "
            "before the kept messages (or the first kept message has no timestamp)")


def _llm_failure(o: Outcome, short: bool) -> str:
    """The reason the LLM's summary is missing; in one-line reports without
    the "POST <url>: " every request's reason starts with."""
    reason = o.llm_error or ""
    return _REQUEST.sub("", reason) if short else reason


_REQUEST = re.compile(r"POST \S+: ")


def _covered(o: Outcome) -> str:
    c = o.summary_covered or {}
    return (f"{c.get('messages', 0):,} of {c.get('of_messages', 0):,} messages "
            f"({c.get('chars', 0):,} of {c.get('of_chars', 0):,} characters)")


def _over(o: Outcome, max_context: int) -> str:
    return (f"still over the threshold: {_n(o.tokens_after)} tokens, threshold "
            f"{round(THRESHOLD * max_context):,} of a {max_context:,} window")


def report_lines(o: Outcome, max_context: int) -> list[str]:
    """The few lines that tell what happened to one file."""
    if not o.compressed:
        lines = [f"{o.label}: not compressed: {_reason(o)}"]
        if o.messages_before:
            lines.append(f"  tokens        {_n(o.tokens_before)} of a {max_context:,}-token window")
        lines.append(f"  messages      {o.messages_before:,}")
        lines.append(f"  cut time      {o.cut_time_before or '(none stored)'} (unchanged)")
    else:
        s = o.stats
        lines = [
            f"{o.label}: compressed",
            f"  rate          {s['rate']:.3f} of a {s['max_context']:,}-token window",
            f"  tokens        {_n(o.tokens_before)} -> {_n(o.tokens_after)}",
            f"  messages      {o.messages_before:,} -> {o.messages_after:,} "
            f"(kept {s['kept']:,}, compressed {s['compressed']:,}, +1 summary)",
            f"  new cut time  {s['new_cut_time']}"
            f" (was {o.cut_time_before or 'not stored'})",
        ]
        source = "LLM" if o.summary_source == "llm" else "extract"
        lines.append(f"  summary       {source}: {_excerpt(o.summary or '')}")
        lines.append(f"  summary saw   {_covered(o)}")
        if o.llm_error:
            lines.append(f"  LLM           not used: {_llm_failure(o, short=False)}")
    if o.over_threshold:
        lines.append(f"  {_over(o, max_context)}")
    if o.written and o.written != "-":
        lines.append(f"  written to    {o.written}")
    return lines


def short_line(o: Outcome, max_context: int) -> str:
    """One line per file when several are processed."""
    if o.compressed:
        s = o.stats
        source = "LLM" if o.summary_source == "llm" else "extract"
        if o.llm_error:
            source += f" (LLM failed: {_llm_failure(o, short=True)})"
        line = (f"{o.label}: compressed, rate {s['rate']:.3f}, tokens {_n(o.tokens_before)} -> "
                f"{_n(o.tokens_after)}, kept {s['kept']:,}, compressed {s['compressed']:,}, "
                f"summary: {source}; summary saw {_covered(o)}")
    else:
        line = f"{o.label}: not compressed: {_reason(o)}"
    if o.over_threshold:
        line += f"; {_over(o, max_context)}"
    if o.written and o.written != "-":
        line += f" -> {o.written}"
    return line


def json_record(o: Outcome) -> dict[str, Any]:
    if o.error is not None:
        return {"file": o.label, "ok": False, "error": o.error}
    return {
        "file": o.label,
        "ok": True,
        "compressed": o.compressed,
        "stats": o.stats,
        "tokens_before": o.tokens_before,
        "tokens_after": o.tokens_after,
        "messages_before": o.messages_before,
        "messages_after": o.messages_after,
        "cut_time_before": o.cut_time_before,
        "cut_time_after": o.cut_time_after,
        "summary_source": o.summary_source,
        "summary_start": _excerpt(o.summary) if o.summary is not None else None,
        "summary_covered": o.summary_covered,
        "llm_error": o.llm_error,
        "over_threshold": o.over_threshold,
        "written": o.written,
    }


class Progress:
    """A one-line progress bar on a terminal, drawn by tqdm, which keeps it
    within the terminal's width as that changes and erases it cleanly;
    nothing at all when disabled."""

    def __init__(self, stream: TextIO, total: int, enabled: bool) -> None:
        self.bar: Any = None
        if enabled:
            from tqdm import tqdm  # type: ignore[import-untyped]

            self.bar = tqdm(total=total, file=stream, leave=False, dynamic_ncols=True,
                            mininterval=0, bar_format="{n_fmt}/{total_fmt} |{bar}| {desc}")

    def show(self, done: int, label: str) -> None:
        if self.bar is None:
            return
        # tqdm cuts a line that is too long at its end; a path is cut at its
        # start instead, so that its file name stays in view.
        room = max(self.bar.ncols // 3, 8) if self.bar.ncols else 40
        name = label if len(label) <= room else "…" + label[-(room - 1):]
        self.bar.n = done
        self.bar.set_description_str(name, refresh=False)
        self.bar.refresh()

    def clear(self) -> None:
        if self.bar is not None:
            self.bar.clear()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


# --- main ---------------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    try:
        return run(argv)
    except BrokenPipeError:
        # The reader of the report went away (`| head`): stop quietly. Files
        # already written are complete; the rest are untouched.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return FAILED


def run(argv: list[str] | None) -> int:
    parser = build_parser()
    options = parser.parse_args(argv)
    if options.calibrate is not None or options.window is not None:
        return calibrate.run(parser, options)
    if options.llm_url and not options.model:
        parser.error("--llm-url needs --model")
    for given, flag in ((options.model, "--model"), (options.token_limit_param,
                        "--token-limit-param"), (options.reasoning_effort, "--reasoning-effort"),
                        (options.llm_required, "--llm-required")):
        if given and not options.llm_url:
            parser.error(f"{flag} needs --llm-url")
    if options.llm_url:
        try:
            netloc = urllib.parse.urlsplit(options.llm_url).netloc
        except ValueError as exc:
            parser.error(f"--llm-url {options.llm_url}: {exc}")
    if options.llm_url and "@" in netloc:
        print(f"{PROG}: --llm-url {chat.mask_urls(options.llm_url)}: a user name or password "
              "in the URL is not supported; put the API key in an environment variable "
              "and name it with --api-key-env", file=sys.stderr)
        return BAD_INPUT
    inputs = expand(options.files)
    several = len(options.files) > 1 or any(
        Path(a).is_dir() for a in options.files if a != "-")
    stdin_count = sum(1 for item in inputs if item.path is None)
    if stdin_count and options.in_place:
        parser.error('--in-place cannot rewrite standard input ("-")')
    if stdin_count > 1:
        parser.error('standard input ("-") can be given only once')
    if options.output == "-" and several:
        parser.error('-o - (standard output) takes a single input file')
    if options.output and several:
        out = Path(options.output)
        if out.exists() and not out.is_dir():
            parser.error(f"-o {options.output}: several inputs need a directory")
        names = Counter(item.path.name for item in inputs if item.path is not None)
        dupes = sorted(n for n, count in names.items() if count > 1)
        if dupes:
            parser.error(f"-o {options.output}: two inputs are named {dupes[0]}")

    # The report goes to stderr when stdout carries the conversation.
    report = sys.stderr if options.output == "-" else sys.stdout
    err = sys.stderr
    try:
        if options.output and several:
            Path(options.output).mkdir(parents=True, exist_ok=True)
        runner = Runner(options)
    except OSError as exc:
        print(f"{PROG}: {options.output}: {exc.strerror or exc}", file=err)
        return FAILED
    redact = runner.redact

    progress = Progress(
        err, sum(1 for item in inputs if not item.is_directory),
        enabled=several and not options.no_progress and _is_terminal(err)
        and _is_terminal(sys.stdout) and os.environ.get("TERM") != "dumb")
    outcomes: list[Outcome] = []
    status = OK
    try:
        for item in inputs:
            if not item.is_directory:
                progress.show(len(outcomes), item.label)
            outcome = runner.process(item, several, sys.stdin.buffer)
            status = max(status, outcome.status)
            progress.clear()
            emit(outcome, options, several, report, err, redact)
            if not item.is_directory:  # a directory is reported, not counted
                outcomes.append(outcome)
        progress.show(len(outcomes), "")
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted; files not yet written are unchanged", file=err)
        return 130
    finally:
        progress.close()

    if several and outcomes:
        print(closing_line(outcomes), file=err if options.json else report)
    return status


def closing_line(outcomes: list[Outcome]) -> str:
    """The count of a run over several files: `4 files: 2 compressed, 1 not
    compressed, 1 failed`, naming the files whose LLM summary failed."""
    failed = sum(1 for o in outcomes if o.error is not None)
    compressed = [o for o in outcomes if o.compressed and o.error is None]
    fallback = sum(1 for o in compressed if o.llm_error)
    after_failure = (f", {fallback} of them with the extract after an LLM failure"
                     if fallback else "")
    return (f"{len(outcomes)} file{'s' if len(outcomes) != 1 else ''}: "
            f"{len(compressed)} compressed{after_failure}, "
            f"{len(outcomes) - failed - len(compressed)} not compressed, {failed} failed")


def emit(o: Outcome, options: argparse.Namespace, several: bool,
         report: TextIO, err: TextIO, redact: chat.Redactor) -> None:
    if o.error is not None:
        print(redact(f"{PROG}: {o.label}: {o.error}"), file=err)
    if options.json:
        print(json.dumps(redact.deep(json_record(o)), ensure_ascii=False), file=report)
    elif o.error is None:
        if several:
            print(redact(short_line(o, options.max_context)), file=report)
        else:
            print(redact("\n".join(report_lines(o, options.max_context))), file=report)
    report.flush()

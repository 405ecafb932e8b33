"""The `context-compress` command: compress stored conversations from a terminal."""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
import urllib.parse
from collections.abc import Iterator
from pathlib import Path
from types import FrameType

from . import BAD_INPUT, FAILED, PROG, calibrate, chat, checking
from .files import expand
from .options import build_parser, check_inputs, check_llm_options, several_inputs
from .output import Output
from .jobs import run_in_parallel
from .progress import Progress, wanted
from .report import Report
from .run import Runner, names_directory, run_inputs


class Stopped(BaseException):
    """SIGTERM or SIGHUP: the run ends as it does on Ctrl-C. Not an Exception,
    so that nothing on the way absorbs it (the compression's summary request
    absorbs every Exception) and every write on the way cleans up."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _stop(signum: int, frame: FrameType | None) -> None:
    raise Stopped(signum)


@contextlib.contextmanager
def _stopping_on_signals() -> Iterator[None]:
    caught = (signal.SIGTERM, signal.SIGHUP)
    try:
        previous = {signum: signal.signal(signum, _stop) for signum in caught}
    except ValueError:  # not the main thread: the caller handles signals
        yield
        return
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def main(argv: list[str] | None = None) -> int:
    try:
        with _stopping_on_signals():
            return run(argv)
    except (KeyboardInterrupt, Stopped) as exc:
        # Every write on the way removed its temporary file; what was not
        # written yet is as it was.
        signum = exc.signum if isinstance(exc, Stopped) else signal.SIGINT
        Output().err(f"{PROG}: interrupted by {signal.Signals(signum).name}; files not yet "
                     "written are unchanged")
        return 128 + signum
    except BrokenPipeError:
        # The reader of the report went away (`| head`): stop quietly. Files
        # already written are complete; the rest are untouched.
        if sys.stdout is not None:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return FAILED


def run(argv: list[str] | None) -> int:
    parser = build_parser()
    options = parser.parse_args(argv)
    if options.check:
        return checking.run(parser, options)
    if options.calibrate is not None or options.window is not None:
        return calibrate.run(parser, options)
    url_ok = check_llm_options(parser, options)
    raw_key = os.environ.get(options.api_key_env) if options.llm_url else None
    # Everything the command prints goes through the output, whatever its source.
    redact = chat.Redactor([raw_key, *chat.url_secrets(options.llm_url)])
    output = Output(redact, report_to_stderr=options.output == "-")
    if not url_ok:
        output.err(f"{PROG}: --llm-url {chat.mask_urls(options.llm_url)}: a user name or "
                   "password in the URL is not supported; put the API key in an environment "
                   "variable and name it with --api-key-env")
        return BAD_INPUT
    try:
        api_key = chat.checked_key(raw_key, options.api_key_env) if raw_key else None
    except chat.ChatError as exc:
        output.err(f"{PROG}: {exc}")
        return BAD_INPUT
    if options.output == "-" and sys.stdout is None:
        output.err(f"{PROG}: -o -: standard output is closed")
        return BAD_INPUT
    inputs = expand(options.files)
    several = several_inputs(options)
    check_inputs(parser, options, inputs, several)
    if api_key:
        _announce_proxy(output, options.llm_url)

    try:
        if options.output and (several or names_directory(options.output)):
            Path(options.output).mkdir(parents=True, exist_ok=True)
        runner = Runner(options, redact, api_key)
    except OSError as exc:
        output.err(f"{PROG}: {options.output}: {exc.strerror or exc}")
        return FAILED
    return _run_all(runner, inputs, several, options, output)


def _announce_proxy(output: Output, url: str) -> None:
    proxy = chat.key_travels_in_clear(url)
    if proxy:
        host = urllib.parse.urlsplit(url).hostname
        output.err(f"{PROG}: the API key travels in clear through the proxy "
                   f"{chat.mask_urls(proxy)} to {host}, since --llm-url is plain http; use "
                   f"https, or name {host} in NO_PROXY")


def _run_all(runner: Runner, inputs: list, several: bool, options: argparse.Namespace,
             output: Output) -> int:
    report = Report(output, as_json=options.json, several=several)
    progress = Progress(sum(1 for item in inputs if not (item.is_directory or item.skipped)),
                        enabled=wanted(several, options.no_progress), shown=output.shown)
    try:
        with runner.chat_context():
            if options.jobs > 1:
                run_in_parallel(runner, inputs, several, report, progress, options.jobs)
            else:
                run_inputs(runner, inputs, several, report, progress)
    finally:
        progress.close()
    report.close()
    return report.return_code

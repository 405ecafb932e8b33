"""The `context-compress` command: compress stored conversations from a terminal."""

from __future__ import annotations

import os
import sys
from pathlib import Path

from . import BAD_INPUT, FAILED, PROG, calibrate, chat
from .files import expand
from .options import build_parser, check_inputs, check_llm_options, several_inputs
from .output import Output
from .progress import Progress, wanted
from .report import Report
from .run import Runner, run_inputs


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
    url_ok = check_llm_options(parser, options)
    # Everything the command prints goes through the output, whatever its source.
    api_key = (os.environ.get(options.api_key_env) or None) if options.llm_url else None
    redact = chat.Redactor([api_key, *chat.url_secrets(options.llm_url)])
    output = Output(redact, report_to_stderr=options.output == "-")
    if not url_ok:
        output.err(f"{PROG}: --llm-url {chat.mask_urls(options.llm_url)}: a user name or "
                   "password in the URL is not supported; put the API key in an environment "
                   "variable and name it with --api-key-env")
        return BAD_INPUT
    inputs = expand(options.files)
    several = several_inputs(options)
    check_inputs(parser, options, inputs, several)

    try:
        if options.output and several:
            Path(options.output).mkdir(parents=True, exist_ok=True)
        runner = Runner(options, redact, api_key)
    except OSError as exc:
        output.err(f"{PROG}: {options.output}: {exc.strerror or exc}")
        return FAILED

    report = Report(output, as_json=options.json, several=several)
    progress = Progress(sum(1 for item in inputs if not item.is_directory),
                        enabled=wanted(several, options.no_progress))
    try:
        run_inputs(runner, inputs, several, report, progress)
    except KeyboardInterrupt:
        output.err(f"{PROG}: interrupted; files not yet written are unchanged")
        return 130
    finally:
        progress.close()
    report.close()
    return report.return_code

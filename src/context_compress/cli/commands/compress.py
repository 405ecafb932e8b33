"""`context-compress` without --check or --calibrate: compress each file, with
the built-in extract or an LLM's summary, and write it where the options say.
This module wires the pieces: the options, the inputs, the jobs, the report."""

from __future__ import annotations

import argparse
import os
import sys
import urllib.parse
from pathlib import Path

from ... import BAD_INPUT, FAILED, PROG, chat
from ..compression import Runner, names_directory
from ..files import expand, one_per_file
from ..jobs import run_jobs
from ..options import check_inputs, check_llm_options, several_inputs
from ..output import Output
from ..progress import Progress, wanted
from ..report import Report
from ..stopping import Ending


def run(parser: argparse.ArgumentParser, options: argparse.Namespace, ending: Ending | None = None) -> int:
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
    inputs = one_per_file(expand(options.files))
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
    if ending is not None:
        ending.runner = runner
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
            run_jobs(runner, inputs, several, report, progress, options.jobs)
    finally:
        progress.close()
    report.close()
    return report.return_code

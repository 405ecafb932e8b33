"""The command's options: the parser, its number types, and the checks of
options that only make sense together."""

from __future__ import annotations

import argparse
import sys
import urllib.parse
from typing import Any, NoReturn

from .. import PROG, __version__, chat
from .files import DEFAULT_MAX_INPUT
from .output import Output
from .tokenizers import INSTALL_HINT, known_names
from ..texts import DEFAULT_MAX_CONTEXT

DESCRIPTION = """\
Compress the older history of stored LLM conversations with
routes.context_compress.cut_and_sum_history. FILE is a JSON object with a
"messages" list, as the host application stores it; "-" reads standard input; a
directory stands for the *.json files in it. Without -o or --in-place nothing is
written: the command reports what compression would do.

By default the summary is the extract, so no LLM is needed. With --llm-url and
--model the summary is written by an OpenAI-compatible chat endpoint; when
that fails, the extract is used and the report says why (with --llm-required,
the file fails instead). Both are written from the fact-keeping texts of the
whole span (the users' words, the assistant's findings, the lines that carry
paths, URLs, names, numbers and errors); --module-transcript uses the
module's own instead. After a connection failure or a
time-out, the remaining files of the run do not ask that server again."""

CHECKING = ("Read each conversation as the command does and print one line per finding:\n"
            "whatever a request for OpenAI, Anthropic or Gemini built from the window would\n"
            "drop or repair (tool results whose call is not in the window, calls none of whose\n"
            "results came, a summary stored between a call and its results, parts or messages\n"
            "an API cannot take, arguments that are no JSON object, ids renamed, lone\n"
            "surrogates...; a line names the APIs when not all three are concerned), then stamps\n"
            "out of order, messages without a stamp, duplicate call ids, results without any\n"
            "call. Exit status 1 when something was found, 0 when each API would get the\n"
            "window unchanged and nothing else was found, 2 on bad input.")

CALIBRATING = ("Count the texts the estimate measures with a real tokenizer, and suggest the\n"
               "--max-context under which compression fires at 80 % of the model's real window.\n"
               f"The tokenizers come with {INSTALL_HINT}.")

EPILOG = """\
exit status: 0 when every file was processed, 1 when one failed for another
reason (such as an unwritable output, or no LLM summary with --llm-required),
2 on bad input or usage."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # The message can echo what was typed: a URL with a password in it,
        # a file name with control characters. It goes out as every line does.
        self.print_usage(sys.stderr)
        Output().err(f"{self.prog}: error: {message}")
        sys.exit(2)


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


positive_int = _positive(int, "a whole number", "must be greater than 0")
positive_float = _positive(float, "a number", "must be a positive number of seconds")

_SIZE_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


def byte_size(text: str) -> int:
    """An argparse type: a number of bytes, with an optional K, M or G (of 1024)."""
    unit = text[-1:].upper() if text[-1:].upper() in _SIZE_UNITS else ""
    number = text[:-1] if unit else text
    return positive_int(number) * _SIZE_UNITS[unit]


def build_parser() -> Parser:
    parser = Parser(
        prog=PROG, description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help='conversation file, directory of *.json files, or "-"')
    parser.add_argument("--max-context", type=positive_int, default=DEFAULT_MAX_CONTEXT,
                        metavar="N", help="context window in tokens (default: %(default)s)")
    parser.add_argument("--json", action="store_true",
                        help="print the statistics as JSON, one object per file and line")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("-o", "--output", metavar="OUT",
                       help="write the rewritten conversation to OUT (a directory when "
                            'several files are given; "-" for standard output)')
    where.add_argument("--in-place", action="store_true",
                       help="rewrite each compressed file itself")
    parser.add_argument("--archive", metavar="DIR",
                        help="append the messages each compression replaces to DIR/<file "
                             "name>.jsonl, durably, before the conversation is written")
    texts = parser.add_mutually_exclusive_group()
    texts.add_argument("--module-transcript", action="store_true",
                       help="write the summary from the module's own transcript (the span's oldest 8,000 "
                            "characters) and fall back to its extract (the first 3 and last 5 messages), as "
                            "routes.context_compress does, instead of the fact-keeping texts of the whole span")
    # The fact-keeping texts were once chosen with --facts; they are the default now.
    texts.add_argument("--facts", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--no-progress", action="store_true",
                        help="no progress bar, even on a terminal")
    parser.add_argument("--jobs", "-j", type=positive_int, default=1, metavar="N",
                        help="compress up to N files at once (default: 1); more helps when the "
                             "LLM server answers several requests in parallel, since each "
                             "file mostly waits on its summary")
    parser.add_argument("--max-input-size", type=byte_size, default=DEFAULT_MAX_INPUT,
                        metavar="SIZE",
                        help="refuse an input larger than SIZE bytes, K, M or G (default: "
                             f"{DEFAULT_MAX_INPUT >> 20}M, far above any real conversation)")
    _add_llm_arguments(parser)
    _add_report_only_arguments(parser)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


def _add_llm_arguments(parser: argparse.ArgumentParser) -> None:
    llm = parser.add_argument_group("LLM summary (optional)")
    llm.add_argument("--llm-url", metavar="URL",
                     help="base URL of an OpenAI-compatible API, e.g. https://api.openai.com/v1")
    llm.add_argument("--model", metavar="NAME", help="model name for --llm-url")
    llm.add_argument("--api-key-env", metavar="VAR", default="OPENAI_API_KEY",
                     help="environment variable holding the API key (default: %(default)s)")
    llm.add_argument("--connect-timeout", type=positive_float, default=10.0, metavar="S",
                     help="seconds allowed for making the connection: the TCP connect "
                          "(per address tried) and, for https, the TLS handshake; name "
                          "lookup is not included (default: %(default)s)")
    llm.add_argument("--read-timeout", type=positive_float, default=120.0, metavar="S",
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


def _add_report_only_arguments(parser: argparse.ArgumentParser) -> None:
    calibration = parser.add_argument_group("calibration (report only)", CALIBRATING)
    calibration.add_argument("--calibrate", metavar="TOKENIZER",
                             help=f"tokenizer to compare with: {known_names()}")
    calibration.add_argument("--window", type=positive_int, metavar="N",
                             help="the model's real context window in tokens "
                                  "(default: the --max-context value)")
    checking = parser.add_argument_group("checking (report only)", CHECKING)
    checking.add_argument("--check", action="store_true",
                          help="check the files instead of compressing them; nothing is written")


def check_llm_options(parser: argparse.ArgumentParser, options: argparse.Namespace) -> bool:
    """Refuses LLM options that lack --llm-url (or --model) through the parser.
    False when --llm-url carries a user name or password, which the caller
    refuses with its own line."""
    if options.llm_url and not options.model:
        parser.error("--llm-url needs --model")
    for given, flag in ((options.model, "--model"), (options.token_limit_param,
                        "--token-limit-param"), (options.reasoning_effort, "--reasoning-effort"),
                        (options.llm_required, "--llm-required")):
        if given and not options.llm_url:
            parser.error(f"{flag} needs --llm-url")
    if not options.llm_url:
        return True
    try:
        netloc = urllib.parse.urlsplit(options.llm_url).netloc
    except ValueError as exc:
        parser.error(f"--llm-url {options.llm_url}: {exc}")
    return "@" not in netloc

"""The `context-compress` command: compress stored conversations from a terminal.

`main` reads the options and hands the run to the command of its mode
(commands/: compress, check, calibrate); stopping.py ends it, whatever
stops it."""

from __future__ import annotations

from .commands import calibrate, check, compress
from .options import build_parser
from .stopping import Ending, run_to_end


def main(argv: list[str] | None = None) -> int:
    return run_to_end(lambda ending: run(argv, ending))


def run(argv: list[str] | None, ending: Ending | None = None) -> int:
    parser = build_parser()
    options = parser.parse_args(argv)
    if options.check:
        return check.run(parser, options)
    if options.calibrate is not None or options.window is not None:
        return calibrate.run(parser, options)
    return compress.run(parser, options, ending)

"""The module's function table as the tests check it, and the traceback
entries the module adds.

The module presents its functions as code of a source unit that does not
exist on disk, "routes/context_compress"; tests/reference.py is laid out on
its lines. Each function has a def line (the line of its argument errors),
and its statements lie after that line and before the next function's def
line; those of the last function end at LAST_LINE. The generators inside
estimate_tokens_text and _msgs_to_text have fixed lines of their own. Which
statement is on which line is the reference's to say (test_statement_lines).
"""

import traceback

MODULE_NAME = "routes.context_compress"
SOURCE_UNIT = "routes/context_compress"

# name: (parameters, def line), in the order the module creates them.
_TABLE = {
    "_parse_ts": (("ts",), 13),
    "add_seconds_rfc3339": (("ts", "secs"), 23),
    "get_conv_cut_time": (("conv",), 31),
    "msgs_from_cut_time": (("conv",), 47),
    "estimate_tokens_text": (("text",), 60),
    "estimate_tokens": (("msgs",), 68),
    "_msgs_to_text": (("msgs",), 90),
    "simple_extract": (("msgs",), 114),
    "cut_and_sum_history": (("conv", "llm_config"), 124),
}
LAST_LINE = 216

FUNCTIONS = list(_TABLE)
PARAMS = {name: params for name, (params, _) in _TABLE.items()}
DEF_LINE = {name: line for name, (_, line) in _TABLE.items()}
#: The lines a function's statements may carry.
BODY = {name: range(line + 1, nxt) for (name, line), nxt in
        zip(DEF_LINE.items(), [*list(DEF_LINE.values())[1:], LAST_LINE + 1])}

#: Lines of the generator inside each function that has one.
GENEXPR_LINE = {"estimate_tokens_text": 64, "_msgs_to_text": 100}


def entry(name):
    """The traceback entry name of a module function."""
    return f"{MODULE_NAME}.{name}"


def tb_entries(exc):
    """The (name, filename, lineno) traceback entries of an exception, outermost first."""
    return [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]


def module_entries(exc):
    """The (name, line) pairs of the entries the module added, outermost first."""
    return [(name, line) for name, filename, line in tb_entries(exc) if filename == SOURCE_UNIT]


def assert_raised_in(exc, name):
    """The first entry the module added is a statement of function `name`."""
    entries = module_entries(exc)
    assert entries, "no traceback entry from the module"
    first, line = entries[0]
    assert first == entry(name) and line in BODY[name], entries

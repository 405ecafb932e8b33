"""The Python side of `routes.context_compress`, for hosts and for the command:
`context_compress.chat` is an OpenAI-compatible chat layer for `routes.chat`,
and `context_compress.cli` is the `context-compress` command."""

__version__ = "0.1.0"

PROG = "context-compress"

# Exit statuses.
OK, FAILED, BAD_INPUT = 0, 1, 2

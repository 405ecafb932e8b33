"""The `context-compress` command and an OpenAI-compatible chat layer for
`routes.context_compress`."""

__version__ = "0.1.0"

PROG = "context-compress"

# Exit statuses.
OK, FAILED, BAD_INPUT = 0, 1, 2

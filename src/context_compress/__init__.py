"""The Python side of `routes.context_compress`.

For hosts: `Compressor` compresses a plain list of chat messages
(`compress_messages`) or a stored conversation (`compress`) in one call and
says what happened (`from_openai` and `from_anthropic` adapt the official clients as
its LLM); `context_compress.window` turns the window into each API's
request; `context_compress.chat` is an OpenAI-compatible chat layer for
`routes.chat`. For operators: `context_compress.cli` is the
`context-compress` command.
"""

__version__ = "0.1.0"

PROG = "context-compress"

# Exit statuses.
OK, FAILED, BAD_INPUT = 0, 1, 2

# Imported first so that the extension is found even behind a host's own
# `routes` package; every module of this package then imports it as usual.
from .native import load as _load  # noqa: E402

_load()

from .adapters import from_anthropic, from_openai  # noqa: E402
from .compressor import (LLM, CompressionResult, Compressor, LLMAnswer, LLMFailure, MessagesResult,  # noqa: E402
                         SummarySource)
from .texts import PLAIN_SUMMARIZER_PROMPT, PLAIN_SUMMARY_PREFIX  # noqa: E402

__all__ = ["Compressor", "CompressionResult", "MessagesResult", "LLM", "LLMAnswer", "LLMFailure", "SummarySource",
           "from_openai", "from_anthropic", "PLAIN_SUMMARIZER_PROMPT", "PLAIN_SUMMARY_PREFIX"]

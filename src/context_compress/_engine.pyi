"""The compression of routes.context_compress with the collaborators of its
summary request passed in (src/routes/engine.cpp)."""

from collections.abc import Callable
from typing import Any

from routes.context_compress import CompressionStats

#: (transcript, extract, ask, system_prompt, summary_prefix, summary_note)
Collaborators = tuple[Callable[[Any], str], Callable[[Any], str] | None, Callable[[list[dict[str, str]], dict[str, Any]], str],
                      str, str, str | None]
#: (span, sent, summary, answered, error, in_transcript)
Account = tuple[list[Any], str | None, str, bool, BaseException | None, bool]

def compress(conv: Any, llm_config: Any,
             collaborators: Collaborators) -> tuple[bool, CompressionStats, Account | None, bool]: ...
def transcript(msgs: Any) -> str: ...
def extract(msgs: Any) -> str: ...
def estimate_tokens(msgs: Any) -> int: ...
def msgs_from_cut_time(conv: Any) -> list[Any]: ...
def get_conv_cut_time(conv: Any) -> str: ...

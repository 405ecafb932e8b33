"""The window of a stored conversation as the request of OpenAI's, Anthropic's
and Gemini's Python clients, and a check of what such a request would drop.

    from context_compress.window import for_openai, for_anthropic, for_gemini
    client.chat.completions.create(model=m, **for_openai(conv))
    client.messages.create(model=m, max_tokens=n, **for_anthropic(conv))
    client.models.generate_content(model=m, **for_gemini(conv))

Each function reads ``msgs_from_cut_time(conv)`` once and builds new request
records, led by the system messages the window leaves out (system messages are
never compressed: one stamped before the cut time is still in force, and goes
first); the conversation and its messages are never changed (their texts are
shared with the request, not copied, but for a text whose lone surrogates are
replaced). Whatever a stored text holds, the official client can send the
request: every text in it is UTF-8 and every object JSON. Every tool
result in a request answers a call of the assistant turn right before it and
every call is answered before the next turn; summaries come first.

``report``, when given, is a list that gets one `Finding` per item dropped or
repaired; ``check(conv)`` gives the same kind of records for a stored
conversation, plus what makes its compression unreliable, and
``group_findings`` puts findings that differ only in their message together.
"""

from context_compress.window.arguments import MAX_ARGUMENTS_CHARS, MAX_ARGUMENTS_DEPTH, RAW_ARGUMENTS
from context_compress.window.anthropic import for_anthropic
from context_compress.window.check import FindingGroup, check, group_findings
from context_compress.window.gemini import for_gemini
from context_compress.window.openai import for_openai
from context_compress.window.turns import OPENING_TEXT, Finding

__all__ = ["for_openai", "for_anthropic", "for_gemini", "check", "group_findings", "Finding", "FindingGroup",
           "RAW_ARGUMENTS", "OPENING_TEXT", "MAX_ARGUMENTS_DEPTH", "MAX_ARGUMENTS_CHARS"]

"""The fixed texts and numbers of routes.context_compress, as a host sees them.

The extension carries its own copies; this is the one Python-side source for
everything that reads or checks them: the command-line tool, the tests, the
plain-Python oracle, the benchmarks and the fuzzer.
"""

#: Start of every summary message's content; the only mark of a summary.
SUMMARY_PREFIX = "[上下文压缩摘要] "

#: End of every summary message's content.
SUMMARY_NOTE = (
    "\n\n注意：因上下文过多，已启用压缩，以上历史记录为压缩内容，"
    "如需查找更多会话历史，请使用search_session工具查找"
)

#: The system prompt of the summary request.
SUMMARIZER_PROMPT = (
    "You are a conversation summarizer. Compress the following conversation history into a "
    "summary of no more than 2000 Chinese characters. Preserve key details: user requests/tasks, "
    "decisions, tool usage results, file paths, commands, and errors with their resolutions. "
    "Omit greetings and repetitive content. Output ONLY the summary."
)

#: What a compressor puts before the summary of a plain message list
#: (Compressor.compress_messages), whose hosts know nothing of the module's
#: own texts; no note follows it.
PLAIN_SUMMARY_PREFIX = "[Summary of the earlier conversation] "

#: The summarizer's instruction for hosts that work in English, without the
#: module's cap in Chinese characters: compress_messages' default, and a
#: Compressor's system_prompt for any host that wants it.
PLAIN_SUMMARIZER_PROMPT = (
    "You are a conversation summarizer. Summarize the following conversation history for the "
    "assistant that continues it. Preserve key details: the user's requests, constraints and "
    "decisions; what the assistant found, decided and changed; tool usage results, file paths, "
    "commands, and errors with their resolutions. Omit greetings and repetitive content. Output "
    "ONLY the summary."
)

#: Appended to a transcript cut at TRANSCRIPT_BOUND characters; the cut keeps
#: the oldest lines of the span.
TRANSCRIPT_MARKER = "\n...(later messages omitted)"

#: Appended to a message body cut at BODY_BOUND characters.
BODY_MARKER = "..."

BODY_BOUND = 2000
TRANSCRIPT_BOUND = 8000

#: The extract keeps the first EXTRACT_HEAD and the last EXTRACT_TAIL messages;
#: spans of up to EXTRACT_HEAD + EXTRACT_TAIL messages are rendered whole.
EXTRACT_HEAD = 3
EXTRACT_TAIL = 5

#: Compression runs when the active history's estimate exceeds this share of
#: the window.
THRESHOLD = 0.8
DEFAULT_MAX_CONTEXT = 200000
KEEP_BUDGET_FLOOR = 1024

#: The `max_tokens` the summary request puts into the chat configuration.
SUMMARY_MAX_TOKENS = 2048

#: Estimator charges: per message, per non-text content part (an image).
MESSAGE_OVERHEAD = 3
NON_TEXT_PART = 1500


def keep_budget(max_context: int) -> int:
    """Token budget of the kept tail for a window of `max_context` tokens."""
    return max(max_context // 10, KEEP_BUDGET_FLOOR)

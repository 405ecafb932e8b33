"""A host feeding a compressed conversation to an OpenAI-compatible chat API.

`msgs_from_cut_time(conv)` is the history the model should see, in the host's
stored form. After a compression it can hold two things such an endpoint
refuses with HTTP 400: a tool result at the start of the window whose call was
compressed away, and the summary, a user message, between a tool call and its
results (the summary is stamped one second after the new cut time and placed
by that stamp). `api_messages` puts the summary first, since it stands for
everything before the window, drops tool results whose call is not in the
window, and keeps only the keys the API knows.
"""

from routes.context_compress import msgs_from_cut_time

from context_compress.texts import SUMMARY_PREFIX


def is_summary(message):
    content = message.get("content")
    return isinstance(content, str) and content.startswith(SUMMARY_PREFIX)


def api_messages(conv):
    """The window of `conv` as messages an OpenAI-compatible endpoint accepts."""
    window = msgs_from_cut_time(conv)
    out = [{"role": "user", "content": m["content"]} for m in window if is_summary(m)]
    unanswered = set()  # calls of the last assistant message still owed a result
    for m in window:
        role = m.get("role")
        if is_summary(m):
            continue
        if role == "tool":
            if m.get("tool_call_id") not in unanswered:
                continue  # its call was compressed away
            unanswered.discard(m["tool_call_id"])
            out.append({"role": "tool", "tool_call_id": m["tool_call_id"],
                        "content": m.get("tool_result") or m.get("content") or ""})
        elif role == "assistant" and m.get("tool_calls"):
            unanswered = {call["id"] for call in m["tool_calls"]}
            out.append({"role": "assistant", "content": m.get("content") or None,
                        "tool_calls": m["tool_calls"]})
        else:
            unanswered = set()
            out.append({"role": role, "content": m.get("content") or ""})
    return out

"""The nine functions of routes.context_compress in plain Python, laid out on the module's own lines (its
imports on 8-10, so the constants come first): line N here is the statement its traceback entries call line N.
The oracle of the tests and the fuzzer and the benchmarks' baseline: idiomatic Python, every interpreter
operation in the extension's order, the module's call-time names looked up as globals here."""

from context_compress.texts import (BODY_BOUND, BODY_MARKER, DEFAULT_MAX_CONTEXT, EXTRACT_HEAD, EXTRACT_TAIL, KEEP_BUDGET_FLOOR,
                                    MESSAGE_OVERHEAD, NON_TEXT_PART, SUMMARIZER_PROMPT, SUMMARY_MAX_TOKENS, SUMMARY_NOTE, SUMMARY_PREFIX, THRESHOLD, TRANSCRIPT_BOUND, TRANSCRIPT_MARKER)
import json  # noqa: F401, E402
import time  # noqa: F401, E402
from datetime import datetime, timezone  # noqa: E402


def _parse_ts(ts):
    """Parse RFC3339-ish timestamp to datetime. Returns None on failure."""
    if not ts:
        return None
    try:
        return datetime.fromisoformat(ts.replace("Z", "+00:00"))
    except Exception:
        return None


def add_seconds_rfc3339(ts, secs):
    """Return ts + secs in RFC3339 (UTC). Falls back to original ts."""
    dt = _parse_ts(ts)
    if dt is None:
        return ts
    dt = dt + __import__("datetime").timedelta(seconds=secs)
    return dt.astimezone(timezone.utc).isoformat()

def get_conv_cut_time(conv):
    """Return effective cut_time for a conversation dict (back-fills if empty)."""
    cut = conv.get("cut_time") or ""
    if cut:
        return cut
    cut = conv.get("created_at") or ""
    if not cut:
        for m in conv.get("messages", []):
            if m.get("timestamp"):
                cut = m["timestamp"]
                break
    if not cut:
        cut = datetime.now(timezone.utc).isoformat()
    return cut


def msgs_from_cut_time(conv):
    """Return messages with timestamp >= cut_time (all if cut_time empty)."""
    cut = conv.get("cut_time") or ""
    if not cut:
        return list(conv.get("messages", []))
    out = []
    for m in conv.get("messages", []):
        ts = m.get("timestamp") or ""
        if ts and ts >= cut:
            out.append(m)
    return out


def estimate_tokens_text(text):
    """Chinese ~1.5 tok/char, Latin ~0.25 tok/char (mirrors chat _estimate_tokens)."""
    if not text:
        return 0
    cjk = sum(1 for ch in text if "\u4e00" <= ch <= "\u9fff" or "\u3400" <= ch <= "\u4dbf")
    return int(cjk * 1.5 + (len(text) - cjk) * 0.25)


def estimate_tokens(msgs):
    """Estimate tokens for a list of message dicts."""
    total = 0
    for m in msgs:
        content = m.get("content", "") or ""
        if m.get("role") == "tool":
            content = m.get("tool_result") or content or ""
        if isinstance(content, list):
            for part in content:
                if isinstance(part, dict):
                    if part.get("type") == "text":
                        total += estimate_tokens_text(part.get("text", ""))
                    else:
                        total += NON_TEXT_PART
                elif isinstance(part, str):
                    total += estimate_tokens_text(part)
        elif isinstance(content, str):
            total += estimate_tokens_text(content)
        total += MESSAGE_OVERHEAD
    return total


def _msgs_to_text(msgs):
    """Convert messages to a text block for summarization (truncate each 2000 chars, total 8000)."""
    lines = []
    for m in msgs:
        role = m.get("role", "?")
        content = m.get("content", "") or ""
        if role == "tool":
            role = "tool_result"
            content = m.get("tool_result") or content or ""
        if isinstance(content, list):
            content = " ".join(str(p.get("text", "")) if isinstance(p, dict) else str(p) for p in content)
        elif not isinstance(content, str):
            content = str(content)
        if not content:
            continue
        if len(content) > BODY_BOUND:
            content = content[:BODY_BOUND] + BODY_MARKER
        lines.append("[" + str(role) + "] " + content)
    text = "\n".join(lines)
    if len(text) > TRANSCRIPT_BOUND:
        text = text[:TRANSCRIPT_BOUND] + TRANSCRIPT_MARKER
    return text


def simple_extract(msgs):
    """Fallback extractor: first 3 + last 5 messages, truncated."""
    if not msgs:
        return ""
    if len(msgs) <= EXTRACT_HEAD + EXTRACT_TAIL:
        return _msgs_to_text(msgs)
    selection = msgs[:EXTRACT_HEAD] + msgs[-EXTRACT_TAIL:]
    return _msgs_to_text(selection)


def cut_and_sum_history(conv, llm_config=None):
    """Port of corvid cutAndSumHistory. Returns (compressed: bool, stats: dict).

    conv is a dict {id, created_at, cut_time, messages:[{role, content, timestamp, ...}]}.
    Modifies conv in place: sets cut_time, replaces compressed span with summary msg.
    """
    if not conv or not conv.get("messages"):
        return False, {}

    max_context = DEFAULT_MAX_CONTEXT
    if isinstance(llm_config, dict):
        try:
            max_context = int(llm_config.get("max_context", DEFAULT_MAX_CONTEXT) or DEFAULT_MAX_CONTEXT)
        except Exception:
            max_context = DEFAULT_MAX_CONTEXT
    if max_context <= 0:
        max_context = DEFAULT_MAX_CONTEXT

    cut = get_conv_cut_time(conv)
    active = [m for m in conv.get("messages") if not cut or (m.get("timestamp") or "") >= cut]
    if not active:
        return False, {}

    total_tokens = estimate_tokens(active)
    rate = total_tokens / max_context
    if rate <= THRESHOLD:
        return False, {"rate": rate, "total_tokens": total_tokens, "max_context": max_context}

    keep_budget = max(max_context // 10, KEEP_BUDGET_FLOOR)
    kept = []
    kept_tokens = 0
    for m in reversed(active):
        kept.append(m)
        kept_tokens += estimate_tokens([m])
        if kept_tokens >= keep_budget:
            break
    kept.reverse()

    new_cut_time = kept[0].get("timestamp") or ""
    if not new_cut_time:
        return False, {"rate": rate}

    to_compress = [m for m in conv.get("messages") if (ts := m.get("timestamp") or "") >= cut and ts < new_cut_time]
    if not to_compress:
        return False, {"rate": rate}

    summary = ""
    try:
        from routes.chat import _call_llm_api
        text = _msgs_to_text(to_compress)
        if text:
            prompt_msgs = [
                {"role": "system", "content": SUMMARIZER_PROMPT},
                {"role": "user", "content": text},
            ]
            cfg = dict(llm_config or {})
            cfg["max_tokens"] = SUMMARY_MAX_TOKENS
            resp = _call_llm_api(prompt_msgs, cfg, stream=False)
            choices = (resp or {}).get("choices") or []
            if choices and choices[0].get("message", {}).get("content"):
                summary = choices[0]["message"]["content"].strip()
    except Exception:
        summary = ""
    if not summary:
        summary = simple_extract(to_compress)

    summary_ts = add_seconds_rfc3339(new_cut_time, 1)
    if isinstance(summary_ts, str) and isinstance(new_cut_time, str) and summary_ts < new_cut_time: summary_ts = new_cut_time  # noqa: E501, E701
    summary_msg = {"role": "user", "content": SUMMARY_PREFIX + summary + SUMMARY_NOTE, "timestamp": summary_ts}

    # Line 191: a cut time east of UTC renders earlier as UTC text, and the
    # summary never sorts ahead of the cut it follows. The span leaves the
    # list; the summary goes before the first survivor stamped at or after it.
    new_msgs = []
    inserted = False
    for m in conv.get("messages"):
        ts = m.get("timestamp") or ""
        if ts >= cut and ts < new_cut_time:
            continue
        if not inserted and ts >= summary_ts:
            new_msgs.append(summary_msg)
            inserted = True
        new_msgs.append(m)
    if not inserted:
        new_msgs.append(summary_msg)

    conv["messages"] = new_msgs
    conv["cut_time"] = new_cut_time
    return True, {"rate": rate, "total_tokens": total_tokens, "max_context": max_context,
                  "kept": len(kept), "compressed": len(to_compress), "new_cut_time": new_cut_time}


# Everything below lies past the module's last line and serves the tests only.

__all__ = ["_parse_ts", "add_seconds_rfc3339", "get_conv_cut_time", "msgs_from_cut_time", "estimate_tokens_text",
           "estimate_tokens", "_msgs_to_text", "simple_extract", "cut_and_sum_history"]

"""Plain-Python statement of what the timestamp, estimator and transcript
functions compute, used as the oracle the native module is checked against.

Each function is written as the straightforward Python a reader would expect,
so that every interpreter operation (truth tests, get() calls, comparisons,
len(), slicing, str(), concatenation) happens in the same order as the native
code must perform it. Callables the native functions look up in their module
namespace at call time are parameters here.
"""

from datetime import datetime, timezone

TRANSCRIPT_MARKER = "\n...(later messages omitted)"


def parse_ts(ts, datetime_cls=datetime):
    if not ts:
        return None
    try:
        return datetime_cls.fromisoformat(ts.replace("Z", "+00:00"))
    except Exception:
        return None


def add_seconds_rfc3339(ts, secs, parse=parse_ts, timezone_cls=timezone):
    dt = parse(ts)
    if dt is None:
        return ts
    dt = dt + __import__("datetime").timedelta(seconds=secs)
    return dt.astimezone(timezone_cls.utc).isoformat()


def estimate_tokens_text(text):
    if not text:
        return 0
    cjk = sum(1 for c in text if "\u4e00" <= c <= "\u9fff" or "\u3400" <= c <= "\u4dbf")
    return int(cjk * 1.5 + (len(text) - cjk) * 0.25)


def estimate_tokens(msgs, text_fn=estimate_tokens_text):
    total = 0
    for m in msgs:
        content = m.get("content", "") or ""
        if m.get("role") == "tool":
            content = m.get("tool_result") or content or ""
        if isinstance(content, list):
            for part in content:
                if isinstance(part, dict):
                    if part.get("type") == "text":
                        total += text_fn(part.get("text", ""))
                    else:
                        total += 1500
                elif isinstance(part, str):
                    total += text_fn(part)
        elif isinstance(content, str):
            total += text_fn(content)
        total += 3
    return total


def msgs_to_text(msgs):
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
        if len(content) > 2000:
            content = content[:2000] + "..."
        lines.append("[" + str(role) + "] " + content)
    text = "\n".join(lines)
    if len(text) > 8000:
        text = text[:8000] + TRANSCRIPT_MARKER
    return text


def simple_extract(msgs, to_text=msgs_to_text):
    if not msgs:
        return ""
    if len(msgs) <= 8:
        return to_text(msgs)
    return to_text(msgs[:3] + msgs[-5:])


def outcome(fn, *args):
    """("ok", result) or ("raise", exception type, message): two runs agree
    when these are equal."""
    try:
        return ("ok", fn(*args))
    except Exception as exc:  # noqa: BLE001 - the exception is the result
        return ("raise", type(exc), str(exc))


# --- generated inputs -----------------------------------------------------------
# Shared by the property tests: texts of all three storage kinds with the
# ideograph range bounds, surrogates and astral code points well represented,
# and message lists with every content shape the readers distinguish.

from hypothesis import strategies as st  # noqa: E402

EDGE_CODE_POINTS = (
    0x00, 0x20, 0x41, 0x7F, 0x80, 0xE9, 0xFF, 0x100, 0x3002, 0x3041, 0x33FF, 0x3400, 0x3401,
    0x4DBE, 0x4DBF, 0x4DC0, 0x4DFF, 0x4E00, 0x4E01, 0x9FFE, 0x9FFF, 0xA000, 0xAC00,
    0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFF0C, 0xFFFF, 0x10000, 0x13400, 0x14E00, 0x19FFF,
    0x1F600, 0x20000, 0x24E00, 0x10FFFF,
)

characters = st.one_of(
    st.sampled_from([chr(c) for c in EDGE_CODE_POINTS]),
    st.characters(max_codepoint=0x7F),
    st.characters(min_codepoint=0x80, max_codepoint=0xFF),
    st.characters(min_codepoint=0x3000, max_codepoint=0xA0FF, exclude_categories=()),
    st.characters(exclude_categories=()),  # anything, lone surrogates included
)

short_texts = st.one_of(
    st.text(st.characters(max_codepoint=0x7F), max_size=20),
    st.text(st.characters(max_codepoint=0xFF), max_size=20),
    st.text(characters, max_size=20),
)

# Long texts come from repetition so that generating them stays cheap.
long_texts = st.builds(lambda unit, times: unit * times, short_texts, st.integers(0, 600))

# Texts of exactly the lengths around the bounds of a transcript body.
bulky_texts = st.builds(
    lambda unit, length: (unit * length)[:length],
    st.text(characters, min_size=1, max_size=8),
    st.sampled_from([2001, 2000, 1999, 2002, 2600, 5000, 1]),
)

texts = st.one_of(short_texts, long_texts)

odd_values = st.sampled_from([None, 0, 7, 2.5, True, False, b"bytes", ("tuple",), ["inner"], {}, {"k": "v"}])

parts = st.one_of(
    st.fixed_dictionaries({"type": st.just("text")}, optional={"text": st.one_of(texts, st.sampled_from([None, "", 0]))}),
    st.fixed_dictionaries(
        {"type": st.sampled_from(["image_url", "image", "file", "", None, "TEXT", "text "])},
        optional={"text": texts, "image_url": st.just({"url": "data:"})},
    ),
    st.fixed_dictionaries({}, optional={"text": texts}),
    texts,
    odd_values,
)

contents = st.one_of(texts, st.lists(parts, max_size=6), odd_values)

roles = st.sampled_from(["user", "assistant", "tool", "system", "", None, "?", 0, "Tool"])

messages = st.fixed_dictionaries(
    {},
    optional={
        "role": roles,
        "content": contents,
        "tool_result": st.one_of(texts, st.lists(parts, max_size=3), odd_values),
    },
)

bulky_messages = st.fixed_dictionaries(
    {"content": st.one_of(bulky_texts, st.lists(st.one_of(bulky_texts, parts), max_size=3))},
    optional={"role": roles, "tool_result": bulky_texts},
)

message_lists = st.one_of(
    # Many tool messages, so the tool_result rule is exercised often.
    st.lists(st.one_of(messages, st.builds(lambda m: {**m, "role": "tool"}, messages)), max_size=12),
    # Enough long bodies that the transcript bound is reached most of the time.
    st.lists(st.one_of(bulky_messages, messages, bulky_messages), min_size=4, max_size=10),
)

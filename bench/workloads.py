"""Deterministic inputs for the benchmarks: texts, message lists, conversations.

Everything here is seeded, so the benchmark's parent process and each pyperf
worker build the same data independently. Every message carries its own
content string (a unique prefix joined to a body from a pool), so no two
messages share a text object.
"""

import gc
import random
import time
from datetime import datetime, timedelta, timezone

TEXT_KINDS = ("ascii", "mixed", "astral")

_ASCII = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,;:!?()[]{}'\"-_/\n"


def _population(kind):
    """Weighted character population for one kind of text."""
    rng = random.Random(1)
    ascii_chars = list(_ASCII) + [" "] * 12
    if kind == "ascii":
        return ascii_chars
    ideographs = [chr(rng.randrange(0x4E00, 0xA000)) for _ in range(2000)]
    ext_a = [chr(rng.randrange(0x3400, 0x4DC0)) for _ in range(20)]
    punct = list("，。、：；！？“”（）《》") + [chr(c) for c in range(0x3041, 0x3097, 7)]
    # Roughly half ideographs, the rest ASCII and full-width punctuation:
    # the shape of a Chinese chat message that quotes code and paths.
    pop = ideographs + ext_a + punct * 10 + ascii_chars * 20
    if kind == "astral":
        emoji = [chr(c) for c in range(0x1F600, 0x1F650)]
        ext_b = [chr(rng.randrange(0x20000, 0x2A6E0)) for _ in range(80)]
        pop += (emoji + ext_b) * 1
    return pop


def make_text(kind, n, seed=0):
    """A text of `n` characters of the given kind (1-, 2- or 4-byte str)."""
    rng = random.Random(f"{kind}/{n}/{seed}")
    text = "".join(rng.choices(_population(kind), k=n))
    if kind == "astral" and n and max(text) <= "\uffff":
        text = text[:-1] + "\U0001F600"
    return text


# --- conversations ------------------------------------------------------------

_POOL_SIZE = 257
_BASE_TIME = datetime(2024, 5, 1, tzinfo=timezone.utc)
_STEP = timedelta(seconds=7)


def _id_prefix(i):
    return f"#{i:07d} "  # fixed width: estimates do not depend on i


def _make_pool():
    rng = random.Random("pool")
    pop_mixed = _population("mixed")
    pop_ascii = _population("ascii")
    pool = []
    for k in range(_POOL_SIZE):
        r = rng.random()
        length = rng.randrange(100, 600)
        if r < 0.35:
            shape = "user"
        elif r < 0.70:
            shape = "assistant"
        elif r < 0.90:
            shape = "tool"
        elif r < 0.98:
            shape = "parts"
        else:
            shape = "image"
        chars = pop_ascii if shape == "tool" else pop_mixed
        pool.append((shape, "".join(rng.choices(chars, k=length))))
    return pool


_POOL = None


def _pool():
    global _POOL
    if _POOL is None:
        _POOL = _make_pool()
    return _POOL


def _message(i, k, ts):
    shape, body = _pool()[k]
    text = _id_prefix(i) + body
    if shape == "user":
        return {"role": "user", "content": text, "timestamp": ts}
    if shape == "assistant":
        return {"role": "assistant", "content": text, "timestamp": ts}
    if shape == "tool":
        return {"role": "tool", "content": "", "tool_result": text, "tool_call_id": f"call_{i}", "timestamp": ts}
    parts = [{"type": "text", "text": text}]
    if shape == "image":
        parts.append({"type": "image_url", "image_url": {"url": f"https://example.invalid/{i}.png"}})
    return {"role": "assistant", "content": parts, "timestamp": ts}


def _template_indices(n, seed):
    rng = random.Random(f"msgs/{n}/{seed}")
    return [rng.randrange(_POOL_SIZE) for _ in range(n)]


def timestamps(n):
    """`n` rising timestamps in the module's UTC layout, 7 s apart."""
    return [(_BASE_TIME + i * _STEP).isoformat() for i in range(n)]


def make_messages(n, seed=0):
    """`n` chat messages of a few hundred characters each, stamped in order."""
    stamps = timestamps(n)
    return [_message(i, k, stamps[i]) for i, k in enumerate(_template_indices(n, seed))]


def messages_tokens(n, seed=0, estimate_tokens=None):
    """Token estimate of make_messages(n, seed), from per-template costs.

    Each message's estimate depends only on its template (the id prefix has a
    fixed width), so this avoids measuring the whole list with a slow
    estimator. `estimate_tokens` is the estimator used for the templates.
    """
    if estimate_tokens is None:
        from reference import estimate_tokens
    cost = [estimate_tokens([_message(0, k, "")]) for k in range(_POOL_SIZE)]
    return sum(cost[k] for k in _template_indices(n, seed))


def make_conversation(messages):
    """A conversation over `messages` with no cut time yet (it starts at created_at)."""
    return {
        "id": "bench",
        "created_at": messages[0]["timestamp"] if messages else "",
        "cut_time": "",
        "messages": messages,
    }


def fresh_conversation(conv):
    """A new conversation dict with a new list over the same message dicts."""
    out = dict(conv)
    out["messages"] = list(conv["messages"])
    return out


def make_long_messages(n, chars, distinct=64):
    """`n` messages of `chars` ASCII characters each.

    The contents come from a pool of `distinct` different strings: the memory
    probes measure what a call allocates, which does not depend on how many
    distinct content objects exist, and a pool keeps a span of 100,000
    messages of 10,000 characters from costing gigabytes before the call.
    """
    rng = random.Random(f"long/{chars}")
    pool = ["".join(rng.choices(_ASCII[:-1], k=chars)) for _ in range(distinct)]
    stamps = timestamps(n)
    return [
        {"role": "user" if i % 2 == 0 else "assistant", "content": pool[i % distinct], "timestamp": stamps[i]}
        for i in range(n)
    ]


# --- a window with tool calls, as a host stores it ------------------------------

TINY_PNG = "data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAQAAAC1HAwCAAAAC0lEQVR42mNkYAAAAAYAAjCB0C8AAAAASUVORK5CYII="


def _tool_turn(i, stamps, texts, rng):
    """user, assistant with one or two calls, their results, the answer."""
    calls = [{"id": f"call_{i}_{k}", "type": "function",
              "function": {"name": "read_file", "arguments": f'{{"path": "src/m{i}_{k}.py"}}'}}
             for k in range(1 if rng.random() < 0.8 else 2)]
    user = {"role": "user", "content": next(texts), "timestamp": next(stamps)}
    if rng.random() < 0.1:
        user["content"] = [{"type": "text", "text": user["content"]}, {"type": "image_url", "image_url": {"url": TINY_PNG}}]
    turn = [user, {"role": "assistant", "content": next(texts), "tool_calls": calls, "timestamp": next(stamps)}]
    turn += [{"role": "tool", "tool_call_id": c["id"], "name": "read_file", "content": "", "tool_result": next(texts),
              "timestamp": next(stamps)} for c in calls]
    return turn + [{"role": "assistant", "content": next(texts), "timestamp": next(stamps)}]


def make_tool_conversation(n, seed=0):
    """A compressed conversation of `n` messages the way a host stores it:
    it opens with a result whose call was compressed away, the summary sits
    between a call and its result, a tenth of the user turns carry an image,
    a fifth of the assistant turns make two calls, and one call was cancelled."""
    rng = random.Random(f"tools/{n}/{seed}")
    pool = _pool()
    stamps = iter(timestamps(n + 8))
    texts = (_id_prefix(i) + pool[rng.randrange(_POOL_SIZE)][1] for i in range(10 * n))
    from context_compress.texts import SUMMARY_NOTE, SUMMARY_PREFIX
    messages = [{"role": "tool", "tool_call_id": "call_gone", "content": "", "tool_result": next(texts),
                 "timestamp": next(stamps)}]
    turn = _tool_turn(0, stamps, texts, rng)
    summary = {"role": "user", "content": SUMMARY_PREFIX + next(texts) + SUMMARY_NOTE, "timestamp": turn[1]["timestamp"]}
    messages += turn[:2] + [summary] + turn[2:]
    messages += [{"role": "user", "content": next(texts), "timestamp": next(stamps)},
                 {"role": "assistant", "content": "", "timestamp": next(stamps), "tool_calls": [
                     {"id": "call_cancelled", "type": "function", "function": {"name": "run", "arguments": "{}"}}]}]
    i = 1
    while len(messages) < n:
        messages += _tool_turn(i, stamps, texts, rng)
        i += 1
    del messages[n:]
    return {"id": "bench", "cut_time": messages[0]["timestamp"], "messages": messages}


def make_call_id_conversation(turns, reused):
    """`turns` assistant turns of one call each and their results after a user
    message; every call has the id "call_0" when `reused`, as some hosts'
    models number their calls afresh each turn, else an id of its own."""
    stamps = iter(timestamps(2 * turns + 1))
    messages = [{"role": "user", "content": "go on", "timestamp": next(stamps)}]
    for i in range(turns):
        cid = "call_0" if reused else f"call_{i}"
        messages.append({"role": "assistant", "content": "", "timestamp": next(stamps), "tool_calls": [
            {"id": cid, "type": "function", "function": {"name": "read_file", "arguments": f'{{"path": "m{i}.py"}}'}}]})
        messages.append({"role": "tool", "tool_call_id": cid, "content": "", "tool_result": f"line {i}",
                         "timestamp": next(stamps)})
    return {"id": "bench", "cut_time": messages[0]["timestamp"], "messages": messages}


def make_one_call_conversation(i, chars):
    """A conversation of one call whose arguments, and the user's request
    before it (Chinese text), hold about `chars` characters each: the `i`-th
    of a series, each with texts of its own."""
    stamp = timestamps(1)[0]
    arguments = f'{{"path": "m{i}.py", "content": "{"x" * chars}"}}'
    return {"id": f"bench{i}", "cut_time": stamp, "messages": [
        {"role": "user", "content": f"写入 m{i}.py：" + "文" * chars, "timestamp": stamp},
        {"role": "assistant", "content": "", "timestamp": stamp, "tool_calls": [
            {"id": "call_0", "type": "function", "function": {"name": "write_file", "arguments": arguments}}]},
        {"role": "tool", "tool_call_id": "call_0", "content": "", "tool_result": "written", "timestamp": stamp}]}


def repeated(fn, *args):
    """`fn(*args)` as a timed candidate of best_of_rounds: a function of the
    number of calls to make."""
    def run(loops):
        for _ in range(loops):
            fn(*args)
    return run


def best_of_rounds(candidates, loops, rounds):
    """{name: best seconds per call} of `candidates` = {name: fn(loops)}: every
    candidate runs once in each round, with its number of `loops`, and the
    collector is off so that no candidate pays for another's garbage."""
    best = dict.fromkeys(candidates, float("inf"))
    gc.disable()
    try:
        for _ in range(rounds):
            for name, run in candidates.items():
                start = time.perf_counter()
                run(loops[name])
                best[name] = min(best[name], (time.perf_counter() - start) / loops[name])
    finally:
        gc.enable()
    return best

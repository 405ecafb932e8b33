"""What an API request must be: the official clients' types, the rules those
types cannot see (pairing, order, first role, empty texts), and the body each
official client writes, sent to a stand-in transport. Shared by the window
tests and the fuzzer; needs the test extra (openai, anthropic, google-genai)."""

import json
import re
from collections.abc import Iterable

import anthropic
import anthropic.types as anthropic_types
import httpx2
import openai
import openai.types.chat as openai_chat
import pydantic
from google import genai
from google.genai import types as genai_types

OPENAI = pydantic.TypeAdapter(list[openai_chat.ChatCompletionMessageParam])
ANTHROPIC = pydantic.TypeAdapter(list[anthropic_types.MessageParam])


def plain(value):
    """Validated TypedDicts as plain data. pydantic validates Iterable fields
    only as they are walked, and leaves out keys a TypedDict does not declare:
    equal to the request means valid, with no key the API does not know."""
    if isinstance(value, dict):
        return {key: plain(item) for key, item in value.items()}
    if isinstance(value, Iterable) and not isinstance(value, (str, bytes)):
        return [plain(item) for item in value]
    return value


def blocks(content):
    return [{"type": "text", "text": content}] if isinstance(content, str) else content or []


def part(api, p):
    """A part as (kind, key, text): kind text, image, call or result; the key
    pairs a result with its call (Gemini pairs them by name)."""
    if api == "gemini":
        kind = next(iter(p))
        return {"function_call": ("call", p.get("function_call", {}).get("name"), None),
                "function_response": ("result", p.get("function_response", {}).get("name"), None),
                "text": ("text", None, p.get("text"))}.get(kind, ("image", None, None))
    return {"text": ("text", None, p.get("text")), "tool_use": ("call", p.get("id"), None),
            "tool_result": ("result", p.get("tool_use_id"), None)}.get(p["type"], ("image", None, None))


def turns_of(api, request):
    """(role, parts) of each turn; OpenAI's calls become call parts and a run
    of its tool messages one tool turn."""
    if api == "gemini":
        return [(c["role"], [part(api, p) for p in c["parts"]]) for c in request["contents"]]
    turns = []
    for m in request["messages"]:
        if m["role"] == "tool" and turns and turns[-1][0] == "tool":
            turns[-1][1].append(("result", m["tool_call_id"], None))
            continue
        parts = [part(api, p) for p in blocks(m.get("content"))] if m["role"] != "tool" else [
            ("result", m["tool_call_id"], None)]
        turns.append((m["role"], parts + [("call", c["id"], None) for c in m.get("tool_calls", ())]))
    return turns


def texts_of(api, request):
    return [text for _, parts in turns_of(api, request) for kind, _, text in parts if kind == "text"]


def sdk_check(api, request):
    if api == "openai":
        assert list(request) == ["messages"] and plain(OPENAI.validate_python(request["messages"])) == request["messages"]
    elif api == "anthropic":
        assert set(request) <= {"messages", "system"} and request.get("system", "x").strip()
        assert plain(ANTHROPIC.validate_python(request["messages"])) == request["messages"]
    else:
        assert list(request) == ["contents", "config"]
        genai_types.GenerateContentConfig.model_validate(request["config"])
        for content in request["contents"]:
            genai_types.Content.model_validate(content)  # its models forbid unknown keys


def rule_problems(api, request):
    """What the API refuses and its types cannot see. Anthropic and Gemini
    also want turns to alternate, the user's first."""
    problems, owed, seen, strict = [], [], set(), api != "openai"
    turns = turns_of(api, request)
    if strict and turns and turns[0][0] != "user":
        problems.append("the first turn is not the user's")
    for i, (role, parts) in enumerate(turns):
        kinds = [kind for kind, _, _ in parts]
        answers = [key for kind, key, _ in parts if kind == "result"]
        if not parts or strict and i and role == turns[i - 1][0]:
            problems.append(f"{i}: an empty {role} turn, or a second one in a row")
        if sorted(answers) != sorted(owed) or kinds[:len(answers)] != ["result"] * len(answers):
            problems.append(f"{i}: results {answers} for the calls {owed}, or not first")
        owed = [key for kind, key, _ in parts if kind == "call"]
        if owed and role not in ("assistant", "model") or "image" in kinds and role == "assistant":
            problems.append(f"{i}: calls or images in a {role} turn")
        if api == "anthropic":
            problems += [f"{i}: id {c!r} seen or refused" for c in owed if c in seen or not re.fullmatch(r"[A-Za-z0-9_-]+", c)]
            seen.update(owed)
        if api == "gemini" and owed:  # Gemini 3 wants a signature on a turn's first call
            first_call = next(p for p in request["contents"][i]["parts"] if "function_call" in p)
            problems += [f"{i}: a first call without a thought signature"] * ("thought_signature" not in first_call)
        problems += [f"{i}: empty text" for kind, _, text in parts if kind == "text" and not text.strip()]
    last = texts_of(api, request)[-1:]
    if api == "anthropic" and turns and turns[-1][0] == "assistant" and last != [t.rstrip() for t in last]:
        problems.append("the prefill ends in white space")
    return problems + ([f"end: no results for {owed}"] if owed else [])


# --- the body each official client writes -------------------------------------------

_ANSWERS = {
    "anthropic": {"id": "m", "type": "message", "role": "assistant", "model": "m", "stop_reason": "end_turn",
                  "content": [{"type": "text", "text": "ok"}], "stop_sequence": None,
                  "usage": {"input_tokens": 1, "output_tokens": 1}},
    "openai": {"id": "c", "object": "chat.completion", "created": 0, "model": "m", "choices": [
        {"index": 0, "finish_reason": "stop", "message": {"role": "assistant", "content": "ok"}}]},
    "gemini": {"candidates": [{"content": {"role": "model", "parts": [{"text": "ok"}]}}]},
}


class _Wire:
    """The official clients over a transport that keeps each body and answers
    as the API would; nothing leaves the process."""

    def __init__(self):
        self.bodies = []
        self.clients = {}

    def client(self, api):
        if api not in self.clients:
            http = httpx2.Client(transport=httpx2.MockTransport(lambda request: self._answer(api, request)))
            self.clients[api] = {
                "openai": lambda: openai.OpenAI(api_key="k", http_client=http, max_retries=0),
                "anthropic": lambda: anthropic.Anthropic(api_key="k", http_client=http, max_retries=0),
                "gemini": lambda: genai.Client(api_key="k", http_options=genai_types.HttpOptions(httpx_client=http)),
            }[api]()
        return self.clients[api]

    def _answer(self, api, request):
        self.bodies.append(request.content)
        return httpx2.Response(200, json=_ANSWERS[api])


_WIRE = _Wire()


def _no_constant(name):
    raise ValueError(f"{name} in the body: no JSON")


def _strings(value):
    if isinstance(value, str):
        yield value
    elif isinstance(value, dict):
        for key, item in value.items():
            yield key
            yield from _strings(item)
    elif isinstance(value, list):
        for item in value:
            yield from _strings(item)


def sent_body(api, request):
    """Sends `request` with the official client of `api` and returns the body
    it wrote, read back; asserts that the body is JSON (no NaN or Infinity)
    whose every text is UTF-8 (no lone surrogate, escaped or not)."""
    client = _WIRE.client(api)
    if api == "openai":
        client.chat.completions.create(model="m", **request)
    elif api == "anthropic":
        client.messages.create(model="m", max_tokens=16, **request)
    else:
        client.models.generate_content(model="m", **request)
    body = json.loads(_WIRE.bodies.pop(), parse_constant=_no_constant)
    for text in _strings(body):
        text.encode("utf-8")
    return body

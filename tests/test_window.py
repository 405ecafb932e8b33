"""context_compress.window: every request it builds passes the official
clients' types and the rules those types cannot see (pairing, order, first
role, empty texts); what it drops is in the report; check() finds what makes
a stored conversation unreliable."""

import base64
import re
from collections import Counter
from collections.abc import Iterable

import pytest
from hypothesis import event, given
from hypothesis import strategies as st

import routes.context_compress as cc
from context_compress import chat, window
from context_compress.texts import SUMMARY_PREFIX
from snapshot import Snapshot

pydantic = pytest.importorskip("pydantic")
openai_chat = pytest.importorskip("openai.types.chat", reason="the test extra (openai) is not installed")
anthropic_types = pytest.importorskip("anthropic.types", reason="the test extra (anthropic) is not installed")
genai = pytest.importorskip("google.genai.types", reason="the test extra (google-genai) is not installed")

OPENAI = pydantic.TypeAdapter(list[openai_chat.ChatCompletionMessageParam])
ANTHROPIC = pydantic.TypeAdapter(list[anthropic_types.MessageParam])
BUILD = {"openai": window.for_openai, "anthropic": window.for_anthropic, "gemini": window.for_gemini}
PNG = "data:image/png;base64," + base64.b64encode(b"\x89PNG fake").decode()


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
        genai.GenerateContentConfig.model_validate(request["config"])
        for content in request["contents"]:
            genai.Content.model_validate(content)  # its models forbid unknown keys


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


def assert_request_passes(api, conv, kinds=None):
    """Builds the request of `api` and checks every promise; returns it and its report."""
    untouched, report = Snapshot(conv), []
    request = BUILD[api](conv, report)
    untouched.assert_unchanged()
    sdk_check(api, request)
    assert rule_problems(api, request) == []
    marks = [t.startswith(SUMMARY_PREFIX) for t in texts_of(api, request) if t != window.OPENING_TEXT]
    assert marks == sorted(marks, reverse=True), "a summary after another text"
    assert BUILD[api](conv) == request
    # Nothing silently lost: every text is sent, every result and call is sent or reported.
    win = cc.msgs_from_cut_time(conv)
    said = {t.strip() for m in win if m.get("role") in ("user", "assistant")
            for t in [p if isinstance(p, str) else p.get("text", "") for p in blocks(m.get("content"))]}
    assert said - {""} <= {t.strip() for t in texts_of(api, request)}
    found = Counter(r["kind"] for r in report)
    sent = Counter(kind for _, parts in turns_of(api, request) for kind, _, _ in parts)
    assert sent["result"] + found["orphan_result"] == sum(m.get("role") == "tool" for m in win)
    assert sent["call"] + found["unanswered_call"] + found["invalid_call"] == sum(
        len(m.get("tool_calls") or ()) for m in win if m.get("role") == "assistant")
    if kinds is not None:
        assert [r["kind"] for r in report] == kinds, report
    return request, report


# --- windows as stored ------------------------------------------------------------

def stamp(second):
    return f"2024-05-01T10:{second // 60:02d}:{second % 60:02d}+00:00"


def stored(*messages):
    """A conversation whose window is `messages`, stamped in order, with the
    keys a host keeps beside them."""
    msgs = [{**m, "timestamp": stamp(i), "host_id": i} for i, m in enumerate(messages)]
    return {"id": "c", "cut_time": stamp(0), "messages": msgs}


def user(content):
    return {"role": "user", "content": content}


def said(content, *ids, arguments='{"path": "a.py"}'):
    calls = [{"id": i, "type": "function", "function": {"name": "read_file", "arguments": arguments}} for i in ids]
    return {"role": "assistant", "content": content, **({"tool_calls": calls} if ids else {})}


def result(cid, output="out"):
    return {"role": "tool", "tool_call_id": cid, "name": "read_file", "content": "stale", "tool_result": output}


SUMMARY = user(SUMMARY_PREFIX + "what came before")
APIS = sorted(BUILD)

PAIRS = {
    "result_whose_call_was_compressed": ([result("a"), user("go on"), said("ok")], ["orphan_result"]),
    "cancelled_run": ([user("look"), said("I will look", "a"), user("stop")], ["unanswered_call"]),
    "some_results": ([user("look"), said("", "a", "b"), result("b")], ["unanswered_call"]),
    "results_in_any_order": ([user("look"), said("", "a", "b"), result("b"), result("a")], []),
    "result_twice": ([user("look"), said("", "a"), result("a"), result("a")], ["orphan_result"]),
    "result_after_the_next_turn": ([user("look"), said("", "a"), user("?"), result("a")],
                                   ["unanswered_call", "orphan_result"]),
    "call_without_id": ([user("look"), {**said("", "x"), "tool_calls": [{"function": {"name": "f"}}]}, result("x")],
                        ["invalid_call", "orphan_result"]),
    "id_twice_in_a_turn": ([user("look"), said("", "a", "a"), result("a")], ["invalid_call"]),
    "summary_between_call_and_result": ([user("look"), said("", "a"), SUMMARY, result("a")],
                                        ["summary_in_tool_block"]),
    "unknown_role_and_empty_turn": ([user("look"), {"role": "function", "content": "x"}, user(" \n")],
                                    ["unknown_role", "empty_turn"]),
    "window_opened_by_the_assistant": ([said("where were we"), user("here")],
                                       {"openai": [], "anthropic": ["opening_turn"], "gemini": ["opening_turn"]}),
    "prefill_ending_in_white_space": ([user("q"), said(" the answer is \n")], []),
}


@pytest.mark.parametrize("api", APIS)
@pytest.mark.parametrize("case", sorted(PAIRS))
def test_windows_compression_and_cancelled_runs_leave_become_valid_requests(api, case):
    messages, kinds = PAIRS[case]
    assert_request_passes(api, stored(*messages), kinds[api] if isinstance(kinds, dict) else kinds)


@pytest.mark.parametrize("api", APIS)
@pytest.mark.parametrize("window_, joined", [((user("first"), SUMMARY, said("reply")), True),
                                            ((said("hello"), SUMMARY, user("q")), False)])
def test_summary_goes_first_and_joins_a_user_turn_after_it(api, window_, joined):
    request, _ = assert_request_passes(api, stored(*window_))
    first_turn = [text for _, _, text in turns_of(api, request)[0][1]]
    rest = [m["content"] for m in window_ if m is not SUMMARY]
    assert first_turn == [SUMMARY["content"]] + rest[:1] * (joined and api != "openai")


@pytest.mark.parametrize("api", APIS)
def test_system_text_goes_where_each_api_takes_it(api):
    conv = stored(user("look"), said("", "a"), {"role": "system", "content": "be brief"}, result("a"), said("done"))
    request, report = assert_request_passes(api, conv)
    if api == "openai":
        assert [m["role"] for m in request["messages"]] == ["user", "assistant", "tool", "system", "assistant"]
        assert [r["kind"] for r in report] == ["moved_system"]
    else:
        assert (request.get("system") or request["config"]["system_instruction"]) == "be brief"
    plain_conv = stored(user("hi"))
    assert "system" not in window.for_anthropic(plain_conv) and window.for_gemini(plain_conv)["config"] == {}


@pytest.mark.parametrize("api", ["anthropic", "gemini"])
@pytest.mark.parametrize("arguments, sent", [('{"path": "a.py"}', {"path": "a.py"}), (" {} \n", {}), ("", {}),
                                             ({"path": "a.py"}, {"path": "a.py"}), ("[1, 2]", None),
                                             ('{"path": "a.py"} trailing', None), ("nope", None)])
def test_arguments_become_an_object_or_are_kept_as_raw_text(api, arguments, sent):
    def sent_arguments(request):
        if api == "anthropic":
            return request["messages"][1]["content"][0]["input"]
        return request["contents"][1]["parts"][0]["function_call"]["args"]

    conv = stored(user("look"), said("", "a", arguments=arguments), result("a"))
    request, report = assert_request_passes(api, conv, [] if sent is not None else ["raw_arguments"])
    assert sent_arguments(request) == (sent if sent is not None else {window.RAW_ARGUMENTS: arguments})
    sent_arguments(request)["changed"] = "by the host"  # texts are parsed once, but each request has its own object
    assert "changed" not in sent_arguments(BUILD[api](conv))


def test_anthropic_gets_each_call_id_once_and_in_its_alphabet():
    conv = stored(user("look"), said("", "functions.read:0"), result("functions.read:0"), said("", "a"), result("a"),
                  said("", "a"), result("a"))
    request, report = assert_request_passes("anthropic", conv, ["renamed_id", "renamed_id"])
    ids = [key for _, parts in turns_of("anthropic", request) for kind, key, _ in parts if kind == "call"]
    assert ids == ["functions_read_0", "a", "a_2"]


IMAGES = {  # url: (OpenAI, Anthropic and Gemini parts in a user turn; None: dropped)
    PNG: ({"type": "image_url", "image_url": {"url": PNG}},
          {"type": "image", "source": {"type": "base64", "media_type": "image/png", "data": PNG.split(",")[1]}},
          {"inline_data": {"mime_type": "image/png", "data": PNG.split(",")[1]}}),
    "https://example.com/a.webp?x=1": ({"type": "image_url", "image_url": {"url": "https://example.com/a.webp?x=1"}},
                                       {"type": "image", "source": {"type": "url", "url": "https://example.com/a.webp?x=1"}},
                                       {"file_data": {"file_uri": "https://example.com/a.webp?x=1", "mime_type": "image/webp"}}),
    "data:image/svg+xml;base64,PHN2Zz4=": ({"type": "image_url", "image_url": {"url": "data:image/svg+xml;base64,PHN2Zz4="}},
                                           None, {"inline_data": {"mime_type": "image/svg+xml", "data": "PHN2Zz4="}}),
    "ftp://example.com/a.png": ({"type": "image_url", "image_url": {"url": "ftp://example.com/a.png"}}, None, None),
}


@pytest.mark.parametrize("api", APIS)
@pytest.mark.parametrize("url", sorted(IMAGES))
@pytest.mark.parametrize("role", ["user", "assistant"])
def test_images_take_each_api_shape_or_are_reported(api, url, role):
    expected = dict(zip(["openai", "anthropic", "gemini"], IMAGES[url]))[api] if role == "user" or api == "gemini" else None
    shown = {"role": role, "content": [{"type": "text", "text": "look"}, {"type": "image_url", "image_url": {"url": url}}]}
    conv = stored(*[user("see")] * (role == "assistant"), shown)
    request, report = assert_request_passes(api, conv, [] if expected else ["dropped_part"])
    sent = request["contents"][-1]["parts"] if api == "gemini" else request["messages"][-1]["content"]
    assert sent[1:] == ([expected] if expected else [])
    if api == "gemini" and url == PNG:  # the client decodes the base64 text itself
        blob = genai.Content.model_validate(request["contents"][-1]).parts[1].inline_data
        assert blob.data == base64.b64decode(PNG.split(",")[1])


def test_check_finds_what_a_request_drops_and_what_misleads_compression():
    conv = stored(result("gone"), user("look"), said("", "a", "b"), SUMMARY, result("a"), user("next"),
                  said("", "a"), result("a"))
    conv["messages"][6]["timestamp"] = stamp(2)
    del conv["messages"][1]["timestamp"]
    conv["cut_time"] = ""  # a window of every message, stamped or not
    assert [(f["kind"], f["index"], f["tool_call_id"]) for f in window.check(conv)] == [
        ("orphan_result", 0, "gone"), ("result_without_call", 0, "gone"), ("missing_timestamp", 1, None),
        ("unanswered_call", 2, "b"), ("summary_in_tool_block", 3, "a"), ("timestamp_order", 6, None),
        ("duplicate_call_id", 6, "a")]
    assert all(isinstance(f["text"], str) and "\n" not in f["text"] for f in window.check(conv))
    assert window.check(stored(user("look"), said("", "a"), result("a"), said("done"))) == []


# --- any stored conversation, compressed ----------------------------------------

words = st.sampled_from(["alpha ", "日本語の文 ", "tool output ", "  ", ""])
bodies = st.builds(lambda word, times: word * times, words, st.integers(0, 300))
images = st.sampled_from([PNG, "https://example.com/shot.png", "data:image/svg+xml;base64,PHN2Zz4="])
contents = st.one_of(bodies, st.lists(st.one_of(bodies.map(lambda t: {"type": "text", "text": t}),
                                                images.map(lambda u: {"type": "image_url", "image_url": {"url": u}})),
                                      max_size=3))


@st.composite
def histories(draw, start=0):
    """Stored messages from second `start` on: user and system messages,
    assistant turns whose calls get all, some, repeated or no results (a
    cancelled run), in any order, and stamps that are often equal."""
    messages, second = [], start
    for turn in range(draw(st.integers(1, 14))):
        second += draw(st.sampled_from([0, 0, 1, 5]))
        kind = draw(st.sampled_from(["user", "user", "assistant", "calls", "calls", "system"]))
        if kind != "calls":
            messages.append({"role": kind, "content": draw(contents), "timestamp": stamp(second)})
            continue
        ids = [f"call_{start}_{turn}_{k}" for k in range(draw(st.integers(1, 3)))]
        arguments = draw(st.sampled_from(['{"path": "a.py"}', "", "not json"]))
        messages.append({**said(draw(bodies), *ids, arguments=arguments), "timestamp": stamp(second)})
        for cid in draw(st.lists(st.sampled_from(ids), max_size=4)):
            second += draw(st.sampled_from([0, 1]))
            messages.append({**result(cid, draw(bodies)), "timestamp": stamp(second)})
    return messages


@given(first=histories(), later=histories(start=2000), windows=st.lists(st.integers(1200, 8000), min_size=1, max_size=2))
def test_every_request_from_a_compressed_window_passes(first, later, windows):
    conv = {"id": "c", "messages": first}
    with chat.blocked():  # the extract is the summary
        compressed = [cc.cut_and_sum_history(conv, {"max_context": windows[0]})[0]]
        if len(windows) > 1:  # new turns fill the window again
            conv["messages"] = conv["messages"] + later
            compressed.append(cc.cut_and_sum_history(conv, {"max_context": windows[1]})[0])
    event(f"compressed {compressed}")
    for api in APIS:
        assert_request_passes(api, conv)

"""context_compress.window: every request it builds passes the official
clients' types and the rules those types cannot see (pairing, order, first
role, empty texts); what it drops is in the report; check() finds what makes
a stored conversation unreliable."""

import base64
import json
from collections import Counter

import pytest
from hypothesis import event, given
from hypothesis import strategies as st

import routes.context_compress as cc
from context_compress import chat, window
from context_compress.texts import SUMMARY_PREFIX
from snapshot import Snapshot

pytest.importorskip("openai.types.chat", reason="the test extra (openai) is not installed")
pytest.importorskip("anthropic.types", reason="the test extra (anthropic) is not installed")
genai = pytest.importorskip("google.genai.types", reason="the test extra (google-genai) is not installed")

from api_requests import blocks, rule_problems, sdk_check, sent_body, texts_of, turns_of  # noqa: E402

BUILD = {"openai": window.for_openai, "anthropic": window.for_anthropic, "gemini": window.for_gemini}
PNG = "data:image/png;base64," + base64.b64encode(b"\x89PNG fake").decode()


def as_utf8(text):
    """`text` as a request carries it: each surrogate U+FFFD."""
    return "".join("\ufffd" if "\ud800" <= c <= "\udfff" else c for c in text)


def assert_request_passes(api, conv, kinds=None):
    """Builds the request of `api` and checks every promise; returns it and its report."""
    untouched, report = Snapshot(conv), []
    request = BUILD[api](conv, report)
    untouched.assert_unchanged()
    sdk_check(api, request)
    assert rule_problems(api, request) == []
    marks = [t.startswith(SUMMARY_PREFIX) for role, parts in turns_of(api, request) if role not in SYSTEM_ROLES
             for kind, _, t in parts if kind == "text" and t != window.OPENING_TEXT]
    assert marks == sorted(marks, reverse=True), "a summary after another text"
    assert BUILD[api](conv) == request
    if request.get("messages") or request.get("contents"):  # the clients refuse an empty window
        sent_body(api, request)
    # Nothing silently lost: every text is sent, every result and call is sent or reported.
    win = cc.msgs_from_cut_time(conv)
    # System messages are never compressed: those the window leaves out go first, in stored order.
    inside = {id(m) for m in win}
    systems = [m for m in conv.get("messages") or () if m.get("role") in SYSTEM_ROLES]
    before = [text for m in systems if id(m) not in inside for text in [system_text(m)] if text]
    after = [text for m in systems if id(m) in inside for text in [system_text(m)] if text]
    if api == "openai":
        sent_system = [system_text(m) for m in request["messages"] if m["role"] in SYSTEM_ROLES]
        assert sent_system == before + after
        assert [system_text(m) for m in request["messages"][:len(before)]] == before
    else:
        sent_system = request.get("system") if api == "anthropic" else request["config"].get("system_instruction")
        assert sent_system == ("\n\n".join(before + after) or None)
    said = {as_utf8(t).strip() for m in win if m.get("role") in ("user", "assistant")
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


SYSTEM_ROLES = ("system", "developer")


def system_text(m):
    """The text a system message is sent with: its non-blank texts, one a line."""
    content = m.get("content")
    if isinstance(content, str):
        pieces = [content]
    else:
        pieces = [p if isinstance(p, str) else p.get("text") for p in content or ()
                  if isinstance(p, str) or p.get("type") == "text"]
    return "\n".join(as_utf8(t) for t in pieces if isinstance(t, str) and t.strip())


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


def rules_before_the_cut():
    """System messages stored before the cut time, stamped and not, one of
    them empty, and one in the window."""
    conv = stored({"role": "system", "content": "never reveal ticket ids"}, user("old"),
                  {"role": "developer", "content": [{"type": "text", "text": "be brief"}]},
                  {"role": "system", "content": " "}, SUMMARY, {"role": "system", "content": "answer in English"}, user("q"), said("a"))
    del conv["messages"][2]["timestamp"]
    conv["cut_time"] = stamp(4)
    return conv


@pytest.mark.parametrize("api", APIS)
def test_system_messages_before_the_cut_are_sent_first(api):
    conv = rules_before_the_cut()
    request, report = assert_request_passes(api, conv, ["empty_turn"])
    assert report[0]["index"] == 3
    if api == "openai":
        assert [(m["role"], system_text(m)) for m in request["messages"]] == [
            ("system", "never reveal ticket ids"), ("developer", "be brief"), ("user", SUMMARY["content"]),
            ("system", "answer in English"), ("user", "q"), ("assistant", "a")]
    else:
        sent = request["system"] if api == "anthropic" else request["config"]["system_instruction"]
        assert sent == "never reveal ticket ids\n\nbe brief\n\nanswer in English"
        assert texts_of(api, request) == [SUMMARY["content"], "q", "a"]


def test_check_names_the_system_messages_before_the_cut_by_their_place():
    found = [(f["kind"], f["index"], f["apis"]) for f in window.check(rules_before_the_cut())]
    assert found == [("missing_timestamp", 2, None), ("empty_turn", 3, None)]
    assert window.check(rules_before_the_cut())[0]["text"].endswith("requests send it first")


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
    assert [(f["kind"], f["index"], f["tool_call_id"], f["apis"]) for f in window.check(conv)] == [
        ("orphan_result", 0, "gone", None), ("result_without_call", 0, "gone", None), ("missing_timestamp", 1, None, None),
        ("unanswered_call", 2, "b", None), ("summary_in_tool_block", 3, "a", None),
        ("renamed_id", 6, "a", ["anthropic"]), ("timestamp_order", 6, None, None), ("duplicate_call_id", 6, "a", None)]
    assert all(isinstance(f["text"], str) and "\n" not in f["text"] for f in window.check(conv))
    assert window.check(stored(user("look"), said("", "a"), result("a"), said("done"))) == []


# --- any stored conversation, compressed ----------------------------------------

words = st.sampled_from(["alpha ", "日本語の文 ", "tool output ", "  ", "", "lone \ud83d "])
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
        if draw(st.integers(0, 3)) == 0:  # ids a host reuses, and one that looks renamed
            ids = draw(st.lists(st.sampled_from(["call_1", "call_1_2", "call 1"]), min_size=1, max_size=3, unique=True))
        arguments = draw(st.sampled_from(['{"path": "a.py"}', "", "not json", '{"n": NaN}', "[" * 40 + "]" * 40]))
        messages.append({**said(draw(bodies), *ids, arguments=arguments), "timestamp": stamp(second)})
        if draw(st.integers(0, 5)) == 0:
            messages.append({"role": "system", "content": "between", "timestamp": stamp(second)})
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


def compress_keeping_system(conv, max_context):
    """cut_and_sum_history as a host that never compresses system messages
    runs it: they are taken out for the call and put back at their places
    after it, stamps and all."""
    systems = [(i, m) for i, m in enumerate(conv["messages"]) if m.get("role") in SYSTEM_ROLES]
    conv["messages"] = [m for m in conv["messages"] if m.get("role") not in SYSTEM_ROLES]
    with chat.blocked():  # the extract is the summary
        compressed = cc.cut_and_sum_history(conv, {"max_context": max_context})[0]
    for i, m in systems:
        conv["messages"].insert(i, m)
    return compressed


@given(data=st.data(), first=histories(), windows=st.lists(st.integers(1200, 8000), min_size=1, max_size=3),
       developer=st.sets(st.integers(0, 60)), unstamped=st.sets(st.integers(0, 60)))
def test_system_messages_survive_compressions_and_are_sent_first(data, first, windows, developer, unstamped):
    conv = {"id": "c", "messages": first}
    for n, max_context in enumerate(windows):
        if n:  # new turns fill the window again
            conv["messages"] = conv["messages"] + data.draw(histories(start=2000 * n))
        event(f"compressed {compress_keeping_system(conv, max_context)}")
    for i, m in enumerate(conv["messages"]):
        if m.get("role") == "system":
            if i in developer:
                m["role"] = "developer"
            if i in unstamped:
                del m["timestamp"]
    inside = {id(m) for m in cc.msgs_from_cut_time(conv)}
    left_out = sum(m.get("role") in SYSTEM_ROLES and id(m) not in inside for m in conv["messages"])
    event(f"system messages before the cut: {min(2, left_out)}")
    for api in APIS:
        _, report = assert_request_passes(api, conv)
        assert None not in [r["index"] for r in report]
    assert_check_matches_the_reports(conv)


STORED_KINDS = {"timestamp_order", "missing_timestamp", "duplicate_call_id", "result_without_call"}
NAMES = {"openai": "OpenAI", "anthropic": "Anthropic", "gemini": "Gemini"}


@given(messages=histories(), opened_by_the_assistant=st.booleans())
def test_check_reports_exactly_what_each_conversion_drops_or_repairs(messages, opened_by_the_assistant):
    if opened_by_the_assistant:
        messages.insert(0, {**said("where were we"), "timestamp": stamp(0)})
    assert_check_matches_the_reports({"id": "c", "cut_time": "", "messages": messages})


def assert_check_matches_the_reports(conv):
    found = window.check(conv)
    for api in APIS:
        report = []
        BUILD[api](conv, report)
        concerning = [f for f in found if f["kind"] not in STORED_KINDS and (f["apis"] is None or api in f["apis"])]
        assert Counter((f["kind"], f["index"], f["tool_call_id"]) for f in concerning) == Counter(
            (r["kind"], r["index"], r["tool_call_id"]) for r in report), api
    for f in found:
        event(f"{f['kind']} for {f['apis'] or 'all'}")
        assert f["apis"] is None or set(f["apis"]) < set(APIS) and all(NAMES[a] in f["text"] for a in f["apis"])


# --- any text a host stored ---------------------------------------------------------

def nested(depth, opener):
    return opener * depth + "1" * (opener != "[") + ("}" if opener != "[" else "]") * depth


def out_of_range(value):
    """A number no API reads: NaN, an infinity, beyond a double's range."""
    if isinstance(value, float):
        return value != value or value in (float("inf"), float("-inf"))
    return isinstance(value, int) and not isinstance(value, bool) and len(str(abs(value))) > 308


def walk(value):
    """(depth, leaf) for every leaf and key of a JSON value, (depth, None)
    for every object and list; an object or list is one level deeper."""
    stack = [(value, 0)]
    while stack:
        value, depth = stack.pop()
        if isinstance(value, (dict, list)):
            yield depth + 1, None
            for key, item in value.items() if isinstance(value, dict) else enumerate(value):
                if isinstance(value, dict):
                    yield depth + 1, key
                stack.append((item, depth + 1))
        else:
            yield depth, value


def expected_object(text):
    """The object Anthropic and Gemini should get for the arguments `text`,
    worked out the long way; None when the text should go as it is."""
    if not text:
        return {}
    try:
        value = json.loads(text)
    except (ValueError, RecursionError):
        return None
    if not isinstance(value, dict) or len(text) > window.MAX_ARGUMENTS_CHARS:
        return None
    leaves = list(walk(value))
    if max(depth for depth, _ in leaves) > window.MAX_ARGUMENTS_DEPTH or any(out_of_range(leaf) for _, leaf in leaves):
        return None
    return json.loads(as_utf8(json.dumps(value, ensure_ascii=False)))


lone = st.sampled_from(["\ud800", "\udbff", "\udc00", "\udfff", "\ud83d"])
json_values = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False, allow_infinity=False),
              st.text(max_size=6), lone),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4) | lone, inner, max_size=3),
    max_leaves=8)
arguments_texts = st.one_of(
    st.text(st.characters(exclude_categories=()), max_size=30),  # anything, lone surrogates included
    st.builds(json.dumps, st.dictionaries(st.text(max_size=4), json_values, max_size=4), ensure_ascii=st.booleans()),
    st.builds(json.dumps, json_values),
    st.builds("{{{!r:}: {}}}".format, st.just('"n"'),  # numbers no API reads, and the last ones it does
              st.sampled_from(["NaN", "-Infinity", "Infinity", "1e400", "-1e400", "1e308", "-" + "9" * 309,
                               "9" * 308, "1" * 5000])).map(lambda t: t.replace("'", "")),
    st.builds(nested, st.sampled_from([1, 31, 32, 33, 100, 40_000]), st.sampled_from(["[", '{"a":'])),
    st.builds(lambda depth: '{"a": ' + nested(depth, "[") + "}", st.sampled_from([30, 31, 32, 5000])),
    st.just("[" * 40 + '"' + '\\"' * 200_000),  # a string left open, full of quotes
    st.builds(lambda n: '{"a": "' + "x" * n + '"}', st.sampled_from([(1 << 20) - 9, (1 << 20) - 8])),
)


@given(arguments=arguments_texts)
def test_any_arguments_text_is_sent_as_its_object_or_as_raw_text(arguments):
    conv = stored(user("look"), said("", "a", arguments=arguments), result("a"))
    wanted = expected_object(arguments)
    for api in APIS:
        request, report = assert_request_passes(api, conv)  # the official client sends it
        raw = [r for r in report if r["kind"] == "raw_arguments"]
        if api == "openai":
            sent = request["messages"][1]["tool_calls"][0]["function"]["arguments"]
            assert sent == as_utf8(arguments) and not raw
            continue
        if api == "anthropic":
            sent = request["messages"][1]["content"][0]["input"]
        else:
            sent = request["contents"][1]["parts"][0]["function_call"]["args"]
        event(f"{api}: {'object' if wanted is not None else 'raw text'}")
        if wanted is None:
            assert sent == {window.RAW_ARGUMENTS: as_utf8(arguments)} and len(raw) == 1
        else:
            assert sent == wanted and not raw


texts_with_lone_surrogates = st.builds(lambda a, mark, b: a + mark + b, st.text(max_size=4), lone, st.text(max_size=4))
some_texts = st.one_of(texts_with_lone_surrogates, st.sampled_from(["plain", "日本語"]))


@st.composite
def windows_with_lone_surrogates(draw):
    """A window whose every text may hold a lone surrogate: contents, parts,
    image URLs, system texts, call ids, names and arguments, results."""
    def text():
        return draw(some_texts)

    cid, url = text(), draw(st.sampled_from(["https://example.com/", "https://[", "data:image/png;base64,"])) + text()
    arguments = draw(st.builds(json.dumps, st.fixed_dictionaries({"path": some_texts}), ensure_ascii=st.booleans()))
    output = draw(st.one_of(some_texts, some_texts.map(lambda t: [{"type": "text", "text": t}])))
    return [{"role": "system", "content": text()},
            user([{"type": "text", "text": text()}, {"type": "image_url", "image_url": {"url": url}}]),
            {"role": "assistant", "content": text(),
             "tool_calls": [{"id": cid, "type": "function", "function": {"name": text(), "arguments": arguments}}]},
            {"role": "tool", "tool_call_id": cid, "tool_result": output}, said(text())]


@given(messages=windows_with_lone_surrogates())
def test_lone_surrogates_anywhere_are_sent_as_utf8_and_named_once_per_message(messages):
    conv = stored(*messages)
    dirty = {i for i, m in enumerate(messages)  # escaped in arguments too
             if any(isinstance(leaf, str) and (leaf != as_utf8(leaf) or "\\ud" in leaf) for _, leaf in walk(m))}
    for api in APIS:
        _, report = assert_request_passes(api, conv)  # the official client sends it
        named = Counter(r["index"] for r in report if r["kind"] == "lone_surrogate")
        assert set(named.values()) <= {1} and set(named) <= dirty, api
        # A message whose own text holds one is always named.
        assert {i for i, m in enumerate(messages) if isinstance(m.get("content"), str) and m["content"] != as_utf8(
            m["content"])} <= set(named)

"""Coverage-guided fuzzing of routes.context_compress with atheris.

    python fuzz/fuzz_compress.py --seconds 60            # fuzz for a minute
    python fuzz/fuzz_compress.py --replay FILE [FILE...]  # run saved inputs once
    python fuzz/fuzz_compress.py --seconds 600 -- -jobs=2 # options after -- go to libFuzzer

`make fuzz` builds the extension with clang for libFuzzer's coverage (and
ASan/UBSan) and runs this script; run directly, it fuzzes whatever build is
installed. The first byte of an input picks the mode, the rest feeds it:

0. a JSON-shaped conversation built from the input (messages, contents, parts,
   stamps in several layouts, configurations, chat-layer answers), through
   every function of the module;
1. the rest of the input read as JSON text and handed to every function;
2. raw text through the text functions;
3. (with --hostile) mode 0 in surroundings that fight back: the module's
   collaborators rebound to wrappers that change the lists they are given; a
   conversation whose __setitem__ stores and then raises; a timer signal
   whose KeyboardInterrupt lands anywhere in a compression; one of the
   functions' code objects run as a plain function; or the edges around the
   module: texts with control characters and lone surrogates through the
   command's writer, API keys with line breaks through the masking, and
   answers that are truncated, nested deep or too long through the chat
   layer's reading of a response; or a window as the host library converts
   it: call arguments nested deep, holding NaN, Infinity or numbers beyond a
   double, lone surrogates in every text, ids reused, images of any URL,
   through the three conversions and check().

Every call checks what must hold whatever the input: no exception but the
interpreter's own for the input (never SystemError), a conversation left
exactly as it was unless it was compressed, the shape of a compression, the
estimator against tests/reference.py and the transcript's bound; a window
request that the clients' types take, that keeps the APIs' rules, whose body
the clients can write (UTF-8 JSON, no NaN), and whose every repair check()
reports. A failed
check is a crash for libFuzzer, which saves the input under
build/fuzz/artifacts. The oracle, the snapshot and the routes.chat stand-in
are the tests' own (tests/).
"""

import argparse
import base64
import http.client
import io
import json
import os
import re
import signal
import sys
import types

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STAMP_LAYOUTS = [
    "2024-05-01T12:{m:02d}:{s:02d}+00:00",
    "2024-05-01T12:{m:02d}:{s:02d}.{f:06d}+00:00",
    "2024-05-01T12:{m:02d}:{s:02d}Z",
    "2024-05-01T12:{m:02d}:{s:02d}+08:00",
    "2024-05-01 12:{m:02d}:{s:02d}",
    "2024-05-{m:02d}",
    "9999-12-31T23:59:{s:02d}Z",
]
ROLES = ["user", "assistant", "system", "tool", None, "", "工具", 3]
# What the interpreter raises for input of the wrong shape: records that are
# not mappings, stamps that do not compare with text, contents that do not
# convert, timestamps at the end of the calendar.
INPUT_ERRORS = (TypeError, AttributeError, ValueError, OverflowError, KeyError, IndexError, RecursionError)

import atheris  # noqa: E402

import routes.context_compress as cc  # noqa: E402
from context_compress import _engine, chat, window  # noqa: E402
from context_compress.chat import transport  # noqa: E402
from context_compress.chat import Redactor  # noqa: E402
from context_compress.cli.output import Output, json_line  # noqa: E402
from context_compress.texts import SUMMARY_PREFIX, TRANSCRIPT_BOUND, TRANSCRIPT_MARKER  # noqa: E402

# The tests' oracle, snapshot and chat stand-in.
sys.path.insert(0, os.path.join(REPO, "tests"))
import reference  # noqa: E402
from fake_chat import FakeChat, place  # noqa: E402
from snapshot import Snapshot  # noqa: E402
from surface import FUNCTIONS  # noqa: E402
from api_requests import rule_problems, sdk_check  # noqa: E402

LONGEST_TRANSCRIPT = TRANSCRIPT_BOUND + len(TRANSCRIPT_MARKER)


class Unchanged(Snapshot):
    """A snapshot whose difference is a finding."""

    def check(self, what):
        difference = self.difference()
        if difference is not None:
            raise AssertionError(f"{what} changed its argument: {difference}")


def call(what, fn, *args):
    """fn(*args); input errors come back as None, anything else is a finding."""
    try:
        return fn(*args)
    except INPUT_ERRORS:
        return None


def check_text(text):
    if isinstance(text, str):
        got = cc.estimate_tokens_text(text)
        if got != reference.estimate_tokens_text(text):
            raise AssertionError(f"estimate_tokens_text: {got} for {text!r}")
    transcript = call("_msgs_to_text", cc._msgs_to_text, [{"role": "user", "content": text}, {"content": text}])
    if transcript is not None and len(transcript) > LONGEST_TRANSCRIPT:
        raise AssertionError("transcript over its bound")
    call("_parse_ts", cc._parse_ts, text)
    shifted = call("add_seconds_rfc3339", cc.add_seconds_rfc3339, text, 1)
    if shifted is not None and shifted is not text and not (isinstance(shifted, str) and shifted.endswith("+00:00")):
        raise AssertionError(f"add_seconds_rfc3339 gave {shifted!r}")


def check_messages(msgs):
    guard = Unchanged(msgs)
    total = call("estimate_tokens", cc.estimate_tokens, msgs)
    if total is not None and (not isinstance(total, int) or total < 0):
        raise AssertionError(f"estimate_tokens gave {total!r}")
    transcript = call("_msgs_to_text", cc._msgs_to_text, msgs)
    if transcript is not None and len(transcript) > LONGEST_TRANSCRIPT:
        raise AssertionError("transcript over its bound")
    extract = call("simple_extract", cc.simple_extract, msgs)
    if extract is not None and len(extract) > LONGEST_TRANSCRIPT:
        raise AssertionError("extract over its bound")
    guard.check("a message function")


def check_conversation(conv, config):
    guard = Unchanged(conv)
    config_guard = Unchanged(config)
    call("get_conv_cut_time", cc.get_conv_cut_time, conv)
    window = call("msgs_from_cut_time", cc.msgs_from_cut_time, conv)
    guard.check("a cut-time function")
    if isinstance(conv, dict) and isinstance(conv.get("messages"), list):
        check_messages(conv["messages"])
        if window is not None and window is conv["messages"]:
            raise AssertionError("msgs_from_cut_time returned the conversation's own list")
    before = list(conv["messages"]) if isinstance(conv, dict) and isinstance(conv.get("messages"), list) else None
    try:
        compressed, stats = cc.cut_and_sum_history(conv, config)
    except INPUT_ERRORS:
        guard.check("a failed cut_and_sum_history")
        return
    config_guard.check("cut_and_sum_history (configuration)")
    if not compressed:
        guard.check("cut_and_sum_history returning False")
        return
    after = conv["messages"]
    if conv["cut_time"] != stats["new_cut_time"]:
        raise AssertionError("cut_time is not the new cut time")
    if len(after) != len(before) - stats["compressed"] + 1:
        raise AssertionError("message count relation broken")
    new = [m for m in after if not any(m is b for b in before)]
    if len(new) != 1 or not new[0]["content"].startswith(SUMMARY_PREFIX):
        raise AssertionError("not exactly one summary message")
    survivors = [m for m in after if m is not new[0]]
    positions = [next(i for i, b in enumerate(before) if b is m) for m in survivors]
    if positions != sorted(positions):
        raise AssertionError("survivors out of order")


# routes.chat, with an answer chosen by the input.
CHAT = FakeChat(None, record=False)


def _list_transcript(span, later):
    return _engine.transcript(span)


def _list_extract(span, later):
    return _engine.extract(span)


def _list_ask(messages, cfg):
    return "".join(["list ", "summary"])


LIST_PREFIX = "[list summary] "
LIST_COLLABORATORS = (_list_transcript, _list_extract, _list_ask, "prompt", LIST_PREFIX, None)


def check_plain_list(messages, config):
    """The host library's compression of the same messages as a plain list:
    the list and its messages are never changed; a compression gives the
    system messages before the cut, the summary, then the rest of the list
    as it was, from a message that answers no call."""
    guard = Unchanged(messages)
    total = call("estimate_messages", _engine.estimate_messages, messages)
    if total is not None and (not isinstance(total, int) or total < 0):
        raise AssertionError(f"estimate_messages gave {total!r}")
    for alternate in (False, True):
        outcome = call("compress_list", _engine.compress_list, messages, config, LIST_COLLABORATORS, alternate)
        guard.check("compress_list")
        if outcome is None or not outcome[0]:
            continue
        new = outcome[3]
        [at] = [i for i, m in enumerate(new) if not any(m is h for h in messages)]
        if not new[at]["content"].startswith(LIST_PREFIX):
            raise AssertionError("the one new message is no summary")
        first = len(messages) - (len(new) - at - 1)
        if new[at + 1:] != messages[first:] or any(a is not b for a, b in zip(new[at + 1:], messages[first:])):
            raise AssertionError("the kept messages are not the end of the list, as they were")
        if any(m.get("role") not in ("system", "developer") for m in new[:at]):
            raise AssertionError("a message before the summary is no system message")
        if first < len(messages) and messages[first].get("role") in ("tool", "function"):
            raise AssertionError("the kept messages start with a tool result")


def build_text(fdp):
    text = fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 24))
    return text * fdp.PickValueInList([1, 1, 2, 50, 400])


def build_stamp(fdp):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        return fdp.PickValueInList([None, "", 0, 5, "Z", build_text(fdp)])
    layout = STAMP_LAYOUTS[0] if kind < 6 else fdp.PickValueInList(STAMP_LAYOUTS)
    return layout.format(m=fdp.ConsumeIntInRange(0, 3), s=fdp.ConsumeIntInRange(0, 59),
                         f=fdp.ConsumeIntInRange(0, 999999))


def build_part(fdp):
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind == 0:
        return {"type": "text", "text": build_text(fdp)}
    if kind == 1:
        return {"type": "image_url", "image_url": {"url": "data:"}}
    if kind == 2:
        return {"text": build_text(fdp)}
    if kind == 3:
        return {"type": "text", "text": fdp.PickValueInList([None, 5, ["x"], {"y": 1}])}
    if kind == 4:
        return build_text(fdp)
    return fdp.PickValueInList([None, 1, 2.5, True, [], ["nested"], {}])


def build_content(fdp):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind <= 1:
        return build_text(fdp)
    if kind == 2:
        return [build_part(fdp) for _ in range(fdp.ConsumeIntInRange(0, 5))]
    return fdp.PickValueInList([None, "", 0, [], {"k": "v"}, 42, 1.5, False])


def build_message(fdp):
    if fdp.ConsumeIntInRange(0, 40) == 0:
        return fdp.PickValueInList([None, "text", 7, ["list"]])
    message = {}
    for key, build in (("role", lambda: fdp.PickValueInList(ROLES)), ("content", lambda: build_content(fdp)),
                       ("tool_result", lambda: build_content(fdp)), ("timestamp", lambda: build_stamp(fdp))):
        if fdp.ConsumeIntInRange(0, 4) or key == "timestamp":
            message[key] = build()
    return message


def build_conversation(fdp):
    conv = {"id": fdp.ConsumeInt(2)}
    for key in ("created_at", "cut_time"):
        if fdp.ConsumeBool():
            conv[key] = build_stamp(fdp)
    conv["messages"] = [build_message(fdp) for _ in range(fdp.ConsumeIntInRange(0, 14))]
    return conv


def build_config(fdp):
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return None
    if kind == 3:
        return fdp.PickValueInList([[["max_context", 5]], "text", 0, {"max_tokens": 7}])
    return {"max_context": fdp.PickValueInList([1024, 1500, 2000, 3000, 0, -5, "2500", "abc", 2.5e3, None, 10 ** 30]),
            "model": "m"}


def build_answer(fdp):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 0:
        return ValueError("down")
    if kind == 1:
        return None
    if kind == 2:
        return {"choices": [{"message": {"content": build_text(fdp)}}]}
    if kind == 3:
        return {"choices": fdp.PickValueInList([[], [{}], [{"message": None}], "abc", [{"message": {"content": 5}}]])}
    return {"choices": [{"message": {"content": "  summary  "}}]}


class Hostile:
    """Collaborators rebound to wrappers that call the module's own and then
    shrink, grow or clear the list they were given."""

    NAMES = ("estimate_tokens", "_msgs_to_text", "simple_extract", "get_conv_cut_time")

    def __init__(self):
        self.originals = {name: getattr(cc, name) for name in self.NAMES}
        self.actions = []

    def install(self, fdp):
        self.actions = [fdp.ConsumeIntInRange(0, 4) for _ in range(8)]
        for name in self.NAMES:
            setattr(cc, name, self._wrap(name))

    def _wrap(self, name):
        original = self.originals[name]

        def wrapper(arg):
            result = original(arg)
            action = self.actions.pop() if self.actions else 0
            target = arg.get("messages") if isinstance(arg, dict) else arg
            if isinstance(target, list):
                if action == 1:
                    target.clear()
                elif action == 2 and target:
                    target.pop()
                elif action == 3:
                    target.append({"timestamp": "2024-05-01T12:59:59+00:00"})
            return result

        return wrapper

    def remove(self):
        for name, original in self.originals.items():
            setattr(cc, name, original)


HOSTILE = None


class StoreThenRaise(dict):
    """A conversation that stores and then raises for one key, as a save to
    disk that fails after the store would."""

    failing_key = None

    def __setitem__(self, key, value):
        super().__setitem__(key, value)
        if key == self.failing_key:
            raise OSError("stored, then failed")


class PassThrough(dict):
    """A conversation whose __setitem__ is Python code, so that a signal
    handler can run between its store and its return."""

    def __setitem__(self, key, value):
        super().__setitem__(key, value)


class Alarm:
    """A KeyboardInterrupt from a timer signal, armed for one call only. The
    timer counts CPU time (SIGVTALRM): libFuzzer keeps SIGALRM for its own
    time-outs."""

    def __init__(self):
        self.armed = False
        self.signal = signal
        signal.signal(signal.SIGVTALRM, self._fire)

    def _fire(self, *args):
        if self.armed:
            self.armed = False
            raise KeyboardInterrupt

    def run(self, delay_us, fn, *args):
        self.armed = True
        self.signal.setitimer(self.signal.ITIMER_VIRTUAL, delay_us / 1e6)
        try:
            return fn(*args)
        finally:
            self.armed = False
            self.signal.setitimer(self.signal.ITIMER_VIRTUAL, 0)


ALARM = None


def check_whole_or_untouched(conv, guard, before_messages, before_cut_time):
    """After an exception: the conversation is as it was, or (the exception
    came after a complete compression) fully rewritten, never in between."""
    try:
        guard.check("an interrupted cut_and_sum_history")
        return
    except AssertionError:
        pass
    messages = dict.get(conv, "messages")
    if messages is before_messages or dict.get(conv, "cut_time") == before_cut_time:
        raise AssertionError("conversation half-written: messages and cut_time disagree")
    if sum(1 for m in messages if isinstance(m, dict) and str(m.get("content", "")).startswith(SUMMARY_PREFIX)) < 1:
        raise AssertionError("conversation rewritten without a summary message")


# What a terminal acts on; the command's writer must show all of it escaped.
TERMINAL_CONTROLS = re.compile("[\x00-\x08\x0a-\x1f\x7f-\x9f\ud800-\udfff]")
NASTY = ["\x1b[2J", "\x1b]0;t\x07", "\x9b31m", "\ud83d", "\udc00x", "\r\n", "\x00", ""]


class Wire:
    """The bytes of an HTTP answer, as a connection hands them over."""

    def __init__(self, data):
        self.data = data

    def makefile(self, *args, **kwargs):
        return io.BytesIO(self.data)


def build_wire(fdp):
    """An answer as it arrives: (raw bytes, streamed, whether its body is whole)."""
    stream = fdp.ConsumeBool()
    kind = fdp.ConsumeIntInRange(0, 3)
    answer = {"choices": [{"message": {"content": build_text(fdp) + fdp.PickValueInList(NASTY)}}]}
    if stream:
        body = b"".join(b"data: " + json.dumps({"choices": [{"delta": {"content": build_text(fdp)}}]}).encode()
                        + b"\n\n" for _ in range(fdp.ConsumeIntInRange(0, 4)))
        body += fdp.PickValueInList([b"data: [DONE]\n\n", b"x" * 6000, b"data: " + b"[" * 5000, b""])
    else:
        body = json.dumps(answer).encode()
        if kind == 0:
            depth = fdp.PickValueInList([10, 2000, 100_000])
            body = b"[" * depth + b"]" * depth
    length = len(body)
    if kind == 1:
        body = body[:fdp.ConsumeIntInRange(0, length)]
    head = f"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: {length}\r\n\r\n"
    return head.encode() + body, stream, len(body) == length


def run_edges(fdp):
    """The command's writer, the masking of keys and the reading of answers."""
    text = build_text(fdp) + fdp.PickValueInList(NASTY) + build_text(fdp)
    if TERMINAL_CONTROLS.search(Output().shown(text)):
        raise AssertionError(f"a control character reached a line: {text!r}")
    # JSON has no way to tell a high and a low surrogate standing side by
    # side in a str from the astral character they encode: a reader joins
    # them, and that is all the line can promise.
    as_read = text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")
    if json.loads(json_line({"t": text}))["t"] != as_read or TERMINAL_CONTROLS.search(json_line({"t": text})):
        raise AssertionError(f"a JSON line changed or shows a control character: {text!r}")
    key = "sk-" + build_text(fdp).replace("*", "") + fdp.PickValueInList(["\r", "\n", "\r\n", " ", ""])
    redact = Redactor([key])
    try:
        chat.checked_key(key, "THE_KEY")
    except chat.ChatError as exc:
        if key.strip() in str(exc):
            raise AssertionError("a refused key shows in its error") from None
    if len(key.strip()) >= 4:
        header = f"Bearer {key}"
        quoted = [header, repr(header), repr(header.encode("utf-8", "backslashreplace"))]
        if header.isascii():
            quoted.append(repr(header.encode("latin-1")))
        shown = (key.strip(), repr(key.strip())[1:-1])
        for text in quoted:
            if any(form in redact(text) for form in shown):
                raise AssertionError(f"the key shows in {text!r}")
    raw, stream, whole = build_wire(fdp)
    response = http.client.HTTPResponse(Wire(raw), method="POST")
    response.begin()
    try:
        if stream:
            list(chat.events_of(response, "POST x", chat.Settings()))
        else:
            answer = chat.answer_of(response, "POST x", chat.Settings())
            if not whole or not isinstance(answer, dict):
                raise AssertionError(f"a broken answer was taken: {raw[:200]!r}")
    except chat.ChatError:
        pass


# Call arguments no host would guess, and the ordinary ones.
ARGUMENTS = ['{"n": NaN}', '{"n": -Infinity}', '{"n": 1e400}', '{"n": ' + "9" * 400 + "}", "[" * 40_000 + "]" * 40_000,
             '{"a":' * 40 + "1" + "}" * 40, '{"s": "\\ud800"}', "[" * 40 + '"' + '\\"' * 3000, "", "{}", "[1]",
             '{"path": "a.py"}']
IMAGE_URLS = ["data:image/png;base64,iVBORw0KGgo=", "data:image/png;base64,", "data:image/svg+xml;base64,PHN2Zz4=",
              "https://example.com/a.png", "https://[", "ftp://example.com/a.png", "data:image/png;base64,\ud800"]
LONE = ["", "", "\ud800", "\udfff", "\ud83d\ude00", "\udc80x"]
CALL_IDS = ["a", "b", "a_2", "call 1", "call\ud800", ""]
BUILDS = (("openai", window.for_openai), ("anthropic", window.for_anthropic), ("gemini", window.for_gemini))
WINDOW_STORED = {"timestamp_order", "missing_timestamp", "duplicate_call_id", "result_without_call"}


def build_window_text(fdp):
    return build_text(fdp) + fdp.PickValueInList(LONE)


def build_arguments(fdp):
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return fdp.PickValueInList(ARGUMENTS)
    if kind == 1:
        return json.dumps({"path": build_window_text(fdp)}, ensure_ascii=fdp.ConsumeBool())
    return build_window_text(fdp)


def build_window_message(fdp):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 0:
        return {"role": "user", "content": build_window_text(fdp)}
    if kind == 1:
        return {"role": fdp.PickValueInList(["user", "assistant"]), "content": [
            {"type": "text", "text": build_window_text(fdp)},
            {"type": "image_url", "image_url": {"url": fdp.PickValueInList(IMAGE_URLS) + fdp.PickValueInList(LONE)}}]}
    if kind == 2:
        return {"role": "assistant", "content": build_window_text(fdp)}
    if kind == 3:
        calls = [{"id": fdp.PickValueInList(CALL_IDS), "type": "function",
                  "function": {"name": fdp.PickValueInList(["read", "f\ud800", ""]), "arguments": build_arguments(fdp)}}
                 for _ in range(fdp.ConsumeIntInRange(1, 3))]
        return {"role": "assistant", "content": build_window_text(fdp), "tool_calls": calls}
    if kind == 4:
        output = build_window_text(fdp)
        return {"role": "tool", "tool_call_id": fdp.PickValueInList(CALL_IDS),
                "tool_result": [{"type": "text", "text": output}] if fdp.ConsumeBool() else output}
    return {"role": "system", "content": build_window_text(fdp)}


def written_body(value):
    """What the clients write of a request: JSON with no NaN, as UTF-8
    (Gemini's thought signature, bytes, goes as base64)."""
    return json.dumps(value, ensure_ascii=False, allow_nan=False,
                      default=lambda b: base64.b64encode(b).decode()).encode("utf-8")


def run_window(fdp):
    """A window through the three conversions and check()."""
    stamp = STAMP_LAYOUTS[0].format(m=0, s=0)
    conv = {"cut_time": stamp, "messages": [{**build_window_message(fdp), "timestamp": stamp}
                                            for _ in range(fdp.ConsumeIntInRange(1, 10))]}
    guard = Unchanged(conv)
    found = window.check(conv)
    for api, build in BUILDS:
        report = []
        request = build(conv, report)
        written_body(request)
        if request.get("messages") or request.get("contents"):
            sdk_check(api, request)
            problems = rule_problems(api, request)
            if problems:
                raise AssertionError(f"{api}: {problems}")
        concerning = sorted((f["kind"], f["index"], f["tool_call_id"]) for f in found
                            if f["kind"] not in WINDOW_STORED and (f["apis"] is None or api in f["apis"]))
        if concerning != sorted((r["kind"], r["index"], r["tool_call_id"]) for r in report):
            raise AssertionError(f"check() and {api}'s report differ: {found} {report}")
    guard.check("a window conversion")


def run_hostile(fdp, conv, config):
    """One compression in hostile surroundings chosen by the input."""
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 4:
        run_edges(fdp)
        return
    if kind == 5:
        run_window(fdp)
        return
    if kind == 0:
        HOSTILE.install(fdp)
        try:
            cc.cut_and_sum_history(conv, config)
        except INPUT_ERRORS:
            pass
        finally:
            HOSTILE.remove()
        return
    if kind == 3:
        name = fdp.PickValueInList(FUNCTIONS)
        code = getattr(cc, name).__code__
        try:
            types.FunctionType(code, {})(*[conv] * code.co_argcount)
        except TypeError:
            return
        raise AssertionError(f"the code object of {name} ran")
    hostile_conv = StoreThenRaise(conv) if kind == 1 else PassThrough(conv)
    before_messages, before_cut_time = dict.get(hostile_conv, "messages"), dict.get(hostile_conv, "cut_time")
    guard = Unchanged(hostile_conv)
    if kind == 1:
        hostile_conv.failing_key = fdp.PickValueInList(["messages", "cut_time"])
    try:
        if kind == 1:
            cc.cut_and_sum_history(hostile_conv, config)
        else:
            ALARM.run(fdp.ConsumeIntInRange(0, 3000), cc.cut_and_sum_history, hostile_conv, config)
    except (OSError, KeyboardInterrupt):
        if kind == 1:
            guard.check("a cut_and_sum_history whose store failed")
        else:
            check_whole_or_untouched(hostile_conv, guard, before_messages, before_cut_time)
    except INPUT_ERRORS:
        guard.check("a failed cut_and_sum_history")


def decode(raw):
    """UTF-8 with lone surrogates let through; Latin-1 when it is not UTF-8."""
    try:
        return raw.decode("utf-8", "surrogatepass")
    except UnicodeDecodeError:
        return raw.decode("latin-1")


def test_one_input(data):
    if not data:
        return
    mode, rest = data[0] % 4, data[1:]
    place(CHAT.module)
    if mode == 3 and HOSTILE is None:
        mode = 0
    if mode in (0, 3):
        fdp = atheris.FuzzedDataProvider(rest)
        conv = build_conversation(fdp)
        config = build_config(fdp)
        CHAT.answer = build_answer(fdp)
        if mode == 3:
            run_hostile(fdp, conv, config)
            return
        if all(isinstance(m, dict) for m in conv["messages"]):
            check_plain_list(conv["messages"], config)
        check_conversation(conv, config)
    elif mode == 1:
        try:
            value = json.loads(rest.decode("utf-8", "surrogatepass"))
        except (ValueError, RecursionError):
            return
        CHAT.answer = {"choices": [{"message": {"content": "summary"}}]}
        if isinstance(value, list):
            check_messages(value)
            value = {"messages": value}
        check_conversation(value, {"max_context": 1024})
        check_text(value if isinstance(value, str) else json.dumps(value, ensure_ascii=False))
    else:
        check_text(decode(rest) if data[0] & 4 else rest.decode("latin-1"))


def seed_corpus(directory):
    """A few starting inputs, written when the corpus is empty."""
    os.makedirs(directory, exist_ok=True)
    if os.listdir(directory):
        return
    stamp = STAMP_LAYOUTS[0]
    conv = {"cut_time": stamp.format(m=0, s=0), "messages": [
        {"role": "user" if i % 2 else "tool", "content": "一二三" * 200, "tool_result": "结果",
         "timestamp": stamp.format(m=0, s=i)} for i in range(10)]}
    seeds = {
        "json-conversation": b"\x01" + json.dumps(conv, ensure_ascii=False).encode(),
        "json-messages": b"\x01" + json.dumps([{"content": [{"type": "text", "text": "x"}, {"type": "image"}]}]).encode(),
        "text-timestamp": b"\x02" + b"2024-05-01T12:00:00.1234567Z",
        "text-mixed": b"\x06" + "中文 text 😀 㐀䶿一鿿".encode(),
        "structured": bytes([0]) + bytes(range(256)) * 4,
    }
    for name, content in seeds.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(content)


def main():
    global HOSTILE, ALARM
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=60, help="how long to fuzz (default 60)")
    parser.add_argument("--corpus", default=os.path.join(REPO, "build", "fuzz", "corpus"))
    parser.add_argument("--artifacts", default=os.path.join(REPO, "build", "fuzz", "artifacts"))
    parser.add_argument("--hostile", action="store_true", help="also rebind collaborators to list-changing wrappers")
    parser.add_argument("--replay", nargs="+", metavar="FILE", help="run these inputs once and stop")
    args, libfuzzer_args = parser.parse_known_args()
    libfuzzer_args = [a for a in libfuzzer_args if a != "--"]
    if args.hostile:
        HOSTILE = Hostile()
        ALARM = Alarm()
        # The answer bound, small enough that inputs reach it.
        transport.MAX_RESPONSE_BYTES = 4096
    if args.replay:
        for path in args.replay:
            with open(path, "rb") as f:
                test_one_input(f.read())
        print(f"replayed {len(args.replay)} input(s): no finding")
        return
    seed_corpus(args.corpus)
    os.makedirs(args.artifacts, exist_ok=True)
    argv = [sys.argv[0], args.corpus, f"-max_total_time={args.seconds}", "-timeout=20", "-rss_limit_mb=4096",
            "-print_final_stats=1", f"-artifact_prefix={args.artifacts}{os.sep}", *libfuzzer_args]
    atheris.Setup(argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

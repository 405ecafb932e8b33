"""What is shown of a failed LLM request (context_compress.llm_errors, the
Compressor's llm_error and log, the chat layer's ChatError): built from the
failure's parts, with no quote of the text sent in any escape form, and
the error's own words whole."""

import html
import json
import logging
import re

import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

openai = pytest.importorskip("openai", reason="the test extra (openai) is not installed")
anthropic = pytest.importorskip("anthropic", reason="the test extra (anthropic) is not installed")
genai_errors = pytest.importorskip("google.genai.errors", reason="the test extra (google-genai) is not installed")
import httpx2  # noqa: E402  (the clients' HTTP library)

from context_compress import Compressor, chat, from_openai  # noqa: E402
from context_compress.llm_errors import QUOTED_BYTES, SHOWN, describe, plain  # noqa: E402
from context_compress.masking import Redactor  # noqa: E402
from fake_server import FakeLLM, cfg_for, closed_port, conversation, running_server  # noqa: E402

# "My bank card PIN is 4711": what a user told the model, which no error may repeat.
PIN = "我的银行卡密码是4711"
URL = "http://127.0.0.1:9/v1/chat/completions"


def weight(text):
    return len(text.encode("utf-8", "surrogatepass"))


def heavy_runs(text):
    """Every shortest stretch of `text` that weighs QUOTED_BYTES: a quote."""
    runs, end = [], 0
    for start in range(len(text)):
        end = max(end, start)
        while end < len(text) and weight(text[start:end]) < QUOTED_BYTES:
            end += 1
        if weight(text[start:end]) < QUOTED_BYTES:
            break
        runs.append(text[start:end])
    return runs


def leaked(line, quote):
    """The stretches of `quote` (made plain) that `line` still holds."""
    return [run for run in heavy_runs(plain(quote)) if run in line]


# --- the escape forms a server or a client writes a quote in ------------------------------

ESCAPES = {
    "json": lambda t: json.dumps(t)[1:-1],                      # \u6211, surrogate pairs
    "json twice": lambda t: json.dumps(json.dumps(t)[1:-1])[1:-1],  # a JSON body quoted in a JSON text
    "repr": lambda t: repr(t)[1:-1],                            # \n, \x1b, \u2028
    "ascii": lambda t: ascii(t)[1:-1],                          # \u6211, \U0001f600, \xe9
    "bytes": lambda t: repr(t.encode("utf-8"))[2:-1],           # \xe6\x88\x91
    # HTML has no reference for a control character or a noncharacter (they
    # read as U+FFFD or nothing): an escaper leaves them as they are.
    "html decimal": lambda t: "".join(f"&#{ord(c)};" if c.isprintable() else c for c in t),
    "html hex": lambda t: "".join(f"&#x{ord(c):X};" if c.isprintable() else c for c in t),
    "html named": html.escape,
    "reflowed": lambda t: re.sub(" ", "\n\t \u3000", t),
    "as is": lambda t: t,
}

# The characters of a quote: words of several scripts, astral ones, marks
# and controls; no lone surrogate, which has no UTF-8 bytes to quote.
quote_chars = st.one_of(
    st.sampled_from(list("我的银行卡密码是4711 abcdefXYZ é\"'\\&<>;\n\t") + ["😀", "𠀀", "\u0301", "\x1b", "\u2028"]),
    st.characters(exclude_categories=("Cs",)),
)
quotes = st.text(quote_chars, min_size=6, max_size=120).filter(lambda q: weight(plain(q)) >= QUOTED_BYTES)
words = st.text(st.sampled_from("abcdefghij "), max_size=40)

# Line breaks, controls and invisible format characters.
ONE_LINE_BREAKERS = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u200b-\u200f\u202a-\u202e\u2066-\u2069\ufeff]")

REQUEST = httpx2.Request("POST", URL)
OPENAI = openai.OpenAI(api_key="k", base_url="http://127.0.0.1:9/v1")
ANTHROPIC = anthropic.Anthropic(api_key="k", base_url="http://127.0.0.1:9")


def raised(call):
    try:
        call()
    except Exception as exc:  # noqa: BLE001 - the exception is the result
        return exc
    raise AssertionError("nothing raised")


def response(status, body):
    content = body if isinstance(body, bytes) else json.dumps(body).encode()
    return httpx2.Response(status, request=REQUEST, content=content)


# Each builds the exception a client raises for a server's message (quoting
# the request), as the client itself builds it from the response.
FAILURES = {
    "openai": lambda status, message: OPENAI._make_status_error_from_response(response(status, {
        "error": {"message": message, "type": "invalid_request_error", "param": "messages", "code": None}})),
    "openai, not JSON": lambda status, message: OPENAI._make_status_error_from_response(
        response(status, f"<html><body>{message}</body></html>".encode())),
    "anthropic": lambda status, message: ANTHROPIC._make_status_error_from_response(response(status, {
        "type": "error", "error": {"type": "invalid_request_error", "message": message}})),
    "google-genai": lambda status, message: raised(lambda: genai_errors.APIError.raise_for_response(
        response(status, {"error": {"code": status, "message": message, "status": "INVALID_ARGUMENT"}}))),
    "httpx": lambda status, message: httpx2.HTTPStatusError(message, request=REQUEST,
                                                             response=response(status, b"")),
    "a host's own": lambda status, message: RuntimeError(message),
}


@given(quote=quotes, before=words, after=words, form=st.sampled_from(sorted(ESCAPES)),
       kind=st.sampled_from(sorted(FAILURES)), status=st.sampled_from([400, 401, 422, 500, 503]))
def test_no_escape_form_of_the_text_sent_reaches_the_line(quote, before, after, form, kind, status):
    assume(form != "ascii" or not bytes_in_disguise(ascii(quote)))
    sent = f"[user] {before} {quote} {after}\n[assistant] noted"
    exc = FAILURES[kind](status, f"Invalid value for 'messages[1].content': '{ESCAPES[form](quote)}'. See the docs")
    line = describe("the request failed", exc, sent, Redactor([]))
    assert leaked(line, quote) == []
    # The parts are all there, and the message's own words.
    assert line.startswith(f"the request failed: {type(exc).__name__}")
    assert (f"HTTP {status}" in line) == (kind != "a host's own")
    assert "Invalid value for 'messages[1].content'" in line
    assert len(line) <= SHOWN and not ONE_LINE_BREAKERS.search(line)


def bytes_in_disguise(written):
    """Runs of \\xNN escapes in `written` that read as UTF-8 bytes: what a
    repr of bytes writes, and what ascii() writes for the Latin-1 letters of
    mojibake ("Ã©"), which plain() takes for the bytes they spell."""
    return [run for run in re.findall(r"(?:\\x[0-9a-f]{2})+", written)
            if not bytes.fromhex(run.replace("\\x", "")).decode("utf-8", "replace").isascii()
            and "\ufffd" not in bytes.fromhex(run.replace("\\x", "")).decode("utf-8", "replace")]


@given(text=st.text(quote_chars, max_size=300), form=st.sampled_from(sorted(ESCAPES)))
def test_plain_reads_every_escape_form_as_the_text_itself(text, form):
    assume(form != "ascii" or not bytes_in_disguise(ascii(text)))
    assert plain(ESCAPES[form](text)) == plain(text)
    assert plain(plain(text)) == plain(text)


@pytest.mark.parametrize("quote", [
    "\\ud83d\\ude00 smile and then some more words",  # a surrogate pair, escaped
    "\\ud83d lone, from a stored conversation, with words",  # a lone surrogate: U+FFFD on both sides
])
def test_surrogates_escaped_in_a_quote_are_found(quote):
    sent = "[user] " + json.loads(f'"{quote}"')
    line = describe("the request failed", RuntimeError(f"bad content '{quote}'"), sent, Redactor([]))
    assert line == "the request failed: RuntimeError: bad content ' … '"


def test_a_long_message_is_masked_before_it_is_cut():
    key = "sk-proj-" + "Q7w" * 20
    exc = FAILURES["openai"](401, "x" * (SHOWN - 70) + f" Incorrect API key provided: {key}.")
    line = describe("the request failed", exc, "", Redactor([key]))
    assert len(line) == SHOWN and line.endswith("…")
    assert not any(key[i:i + 8] in line for i in range(len(key) - 7))


def test_parts_that_are_not_identifiers_are_not_shown():
    # A gateway that puts message text into the error's type and code.
    exc = OPENAI._make_status_error_from_response(response(400, {"error": {
        "message": "refused", "type": f"quoted {PIN}", "code": "x" * 80}}))
    line = describe("the request failed", exc, f"[user] {PIN}", Redactor([]))
    assert line == "the request failed: BadRequestError (HTTP 400): refused"


# --- the two cases of the issue, through the Compressor ---------------------------------------


def pin_conversation():
    conv = conversation()
    conv["messages"][0]["content"] = f"{PIN}. " + conv["messages"][0]["content"]
    return conv


class QuotesTheRequest(FakeLLM):
    """A 400 whose message quotes the request's first user message as a JSON
    text inside the message, escaped as JSON (\\uXXXX) once more."""

    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", 0))))
        self.record(body)
        content = body["messages"][-1]["content"]
        self.server.quoted = f"Invalid request body: {json.dumps({'content': content[:200]})}"
        self.reply(400, {"error": {"message": self.server.quoted, "type": "invalid_request_error",
                                   "param": None, "code": "invalid_body"}})


def warnings_in(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING]


def test_a_pin_quoted_escaped_reaches_neither_llm_error_nor_the_log(caplog):
    with running_server(QuotesTheRequest) as server:
        client = openai.OpenAI(base_url=server.url("quote"), api_key="sk-test-0123456789abcdef",
                               max_retries=0, http_client=openai.DefaultHttpxClient(trust_env=False))
        result = Compressor(from_openai(client, "test-model"), 2000, facts=False).compress(pin_conversation())
    assert json.dumps(PIN)[1:-1] in server.quoted  # quoted, escaped
    assert result.summary_source == "extract"
    shown = [result.llm_error, *warnings_in(caplog)]
    assert [line for line in shown if leaked(line, PIN) or "4711" in line] == []
    assert result.llm_error.startswith(
        "the request failed: BadRequestError (HTTP 400, invalid_request_error, invalid_body): "
        "Invalid request body:")
    assert [line for line in warnings_in(caplog) if result.llm_error in line]


def test_a_conversation_that_says_connection_error_leaves_the_errors_words_whole(caplog):
    conv = conversation()
    conv["messages"][0]["content"] = "It failed with ConnectionError: refused. " + conv["messages"][0]["content"]
    client = openai.OpenAI(base_url=f"http://127.0.0.1:{closed_port()}/v1", api_key="sk-test-0123456789abcdef",
                           max_retries=0, http_client=openai.DefaultHttpxClient(trust_env=False))
    result = Compressor(from_openai(client, "test-model"), 2000, facts=False).compress(conv)
    assert result.llm_error == "the request failed: APIConnectionError: Connection error."


# --- the chat layer's errors follow the same rule --------------------------------------------


class ChatQuotes(FakeLLM):
    """Quotes the request back: in its message, escaped (/json), as HTML
    (/html), or in the status line's reason phrase (/reason)."""

    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", 0))))
        self.record(body)
        content = body["messages"][-1]["content"]
        mode = self.path.split("/")[1]
        if mode == "reason":
            self.send_response(400, ascii(content)[1:-1])
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif mode == "html":
            self.reply(502, f"<p>upstream said: {html.escape(content)}</p>".encode(), "text/html")
        else:
            self.reply(400, {"error": {"message": f"Invalid: {json.dumps(content)}"}})


@pytest.mark.parametrize("mode, status", [("json", "HTTP 400 Bad Request: Invalid:"),
                                          ("html", "HTTP 502 Bad Gateway: <p>upstream said:"),
                                          ("reason", "HTTP 400 Bad Request")])
def test_the_chat_layer_shows_no_quote_of_the_request(mode, status):
    prompt = [{"role": "system", "content": "summarise"},
              {"role": "user", "content": f"[user] {PIN} and the card is 4929 1234 5678 9012"}]
    with running_server(ChatQuotes) as server, pytest.raises(chat.ChatError) as info:
        chat._call_llm_api(prompt, cfg_for(server, mode))
    text = str(info.value)
    assert f"{server.url(mode)}/chat/completions: {status}" in text
    assert leaked(text, prompt[1]["content"]) == [] and "4929 1234" not in text

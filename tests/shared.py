"""Record stand-ins, message builders, call outcomes and the places of the
project (its root, the sample, the command, the examples) that several test
files use."""

import importlib.util
import json
import runpy
import subprocess
import sys
import types
from pathlib import Path

import pytest

import reference as ref

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "examples" / "sample_conversation.json"
COMMAND = str(Path(sys.executable).with_name("context-compress"))

# `python -c HELD_WRITE ready go ARGS...`: the command, whose first write waits in fsync (the
# temporary file holds the whole new text by then) until the test creates `go` (30 s at most).
HELD_WRITE = """\
import os, stat, sys, time
ready, go = sys.argv[1:3]
real_fsync = os.fsync
def fsync(fd):
    if stat.S_ISREG(os.fstat(fd).st_mode) and not os.path.exists(ready):
        open(ready, "w").close()
        for _ in range(600):
            if os.path.exists(go):
                break
            time.sleep(0.05)
    real_fsync(fd)
os.fsync = fsync
from context_compress.cli import main
sys.exit(main(sys.argv[3:]))
"""


def write(path, conv, indent=2):
    """`path` holding `conv` as JSON text."""
    path.write_text(json.dumps(conv, ensure_ascii=False, indent=indent) + "\n", encoding="utf-8")
    return path


def load_example(name):
    """The namespace of examples/<name>.py, which is not an installed module."""
    return types.SimpleNamespace(**runpy.run_path(str(ROOT / "examples" / f"{name}.py")))


def load_script(relative):
    """The module of a script of the project (scripts/local_llm.py), which is
    not installed: imported under its file name, or None when it is not there."""
    path = ROOT / relative
    if not path.is_file():
        return None
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # a dataclass of it looks the module up there
    spec.loader.exec_module(module)
    return module


class Facade(dict):
    """A dict that stores one thing and answers get() with another: reading
    through get() is the only way to see `answers`."""

    def __init__(self, answers, **stored):
        super().__init__(**stored)
        self.answers = answers

    def get(self, key, default=None):
        return self.answers.get(key, default)


class GetOnly:
    """A record that is no dict at all, only a get()."""

    def __init__(self, **answers):
        self.answers = answers

    def get(self, key, default=None):
        return self.answers.get(key, default)


IMAGE = {"type": "image_url", "image_url": {"url": "data:image/png;base64,AAAA"}}


class PlainStr(str):
    """A str subclass with str's own behaviour."""


class PlainDict(dict):
    """A dict subclass with dict's own behaviour."""


class StrRaises:
    def __str__(self):
        raise ValueError("no text")


class NumberedStr(str):
    """A str that carries a number, `n`, for its subclass's methods to use."""

    def __new__(cls, text, n):
        self = super().__new__(cls, text)
        self.n = n
        return self


class StatedLen(NumberedStr):
    """A str whose len() is `n`, whatever it holds."""

    def __len__(self):
        return self.n


class BoolRaises:
    def __bool__(self):
        raise ValueError("no truth")


class LenRaises(str):
    def __bool__(self):
        return True

    def __len__(self):
        raise ValueError("no length")


class EqRaises:
    def __eq__(self, other):
        raise ValueError("no equality")

    __hash__ = None


class GetRaises(dict):
    def __init__(self, bad_key, **fields):
        super().__init__(**fields)
        self.bad_key = bad_key

    def get(self, key, *default):
        if key == self.bad_key:
            raise LookupError(f"cannot read {key}")
        return super().get(key, *default)


class PartsIterRaises(list):
    def __iter__(self):
        raise ValueError("parts cannot be walked")


class Logged(dict):
    """A record whose own get() must be called; it records every key asked."""

    def __init__(self, log, tag, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.log, self.tag = log, tag

    def get(self, key, *default):
        self.log.append((self.tag, key))
        return super().get(key, *default)


def logged_conversation(log):
    """Messages and parts of each kind the readers tell apart, every one
    logging the keys asked of its get()."""
    return [
        Logged(log, "m0", role="user", content="abcd"),
        Logged(log, "m1", role="tool", tool_result="\u4e00\u4e8c", content="x"),
        Logged(log, "m2", role="tool", tool_result="", content=[
            Logged(log, "p0", type="text", text="abcd"), Logged(log, "p1", type="image"),
            Logged(log, "p2", type="text"), "abcd"]),
        Logged(log, "m3", content=""),
        Logged(log, "m4"),
    ]


def read_logged(*functions):
    """(result, keys asked in order) of each function on a logged_conversation of its own."""
    results = []
    for fn in functions:
        log = []
        results.append((fn(logged_conversation(log)), log))
    return results


class Mutating(dict):
    """A record whose first get() runs `action`."""

    def __init__(self, action, **fields):
        super().__init__(**fields)
        self.action = action

    def get(self, key, *default):
        action, self.action = self.action, (lambda: None)
        action()
        return super().get(key, *default)


def list_actions(items, extra):
    """Changes to `items` made while it is walked; `extra()` makes a new element."""
    return {
        "append": lambda: items.append(extra()),
        "append_many": lambda: items.extend(extra() for _ in range(3)),
        "remove_next": lambda: items.pop(2),
        "remove_self": lambda: items.pop(1),
        "remove_earlier": lambda: items.pop(0),
        "clear": items.clear,
        "replace_all": lambda: items.__setitem__(slice(None), [extra(), extra()]),
        "insert_front": lambda: items.insert(0, extra()),
    }


MUTATIONS = list(list_actions([], None))

WINDOW_5000 = {"max_context": 5000}  # threshold 4000 tokens, keep budget 1024


def T(second):
    """A stamp in the module's own UTC layout."""
    return f"2024-05-01T12:00:{second:02d}+00:00"


def msg(ts, tokens, role="user", **extra):
    """A message whose estimate is exactly `tokens` (at least 3): ASCII content
    of 4 * (tokens - 3) characters, plus 3 per message."""
    return {"role": role, "content": "a" * (4 * (tokens - 3)), "timestamp": ts, **extra}


def outcome(fn, *args, **kwargs):
    """The whole observable result of a call: ("ok", value) or ("raise",
    exception type, message). Two calls agree when their outcomes are equal."""
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as exc:  # noqa: BLE001 - the exception is the result
        return ("raise", type(exc), str(exc))


def assert_same_objects(got, want):
    assert len(got) == len(want)
    for i, (g, w) in enumerate(zip(got, want)):
        assert g is w, f"element {i}"


#: The iterables of messages other than a list: a tuple, an iterator, a generator.
OTHER_ITERABLES = [tuple, iter, lambda msgs: (m for m in msgs)]


def as_reference(module, name, msgs):
    """`module.<name>(msgs)`, asserted to be what the reference gives, of its type."""
    result = getattr(module, name)(msgs)
    expected = getattr(ref, name)(msgs)
    assert type(result) is type(expected) and result == expected
    return result


def run_mypy(*args):
    """mypy's (stdout, stderr, status) for `args`, run in a process of its own:
    in the test process its parsed trees of the clients' packages would stay
    alive, and every later gc.collect() of the suite would walk them."""
    pytest.importorskip("mypy")
    proc = subprocess.run([sys.executable, "-m", "mypy", *args], capture_output=True, text=True,
                          timeout=600)
    return proc.stdout, proc.stderr, proc.returncode

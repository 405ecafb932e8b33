"""A stand-in for the host's chat layer, the module routes.chat, with fixtures
that place it in (or keep it out of) sys.modules for one test."""

import copy
import sys
import types
from typing import NamedTuple

import pytest

CHAT_MODULE = "routes.chat"

GOOD_ANSWER = {"choices": [{"message": {"content": "  summary text \n"}}]}
GOOD_SUMMARY = "summary text"


class Call(NamedTuple):
    """One request as the chat layer saw it: the objects received, and deep
    copies of the messages and configuration taken at the moment of the call."""

    args: tuple
    kwargs: dict
    messages: object
    cfg: object


class FakeChat:
    """routes.chat whose `_call_llm_api` records every call and answers with
    `answer`: a value (returned as a fresh deep copy) or an exception (raised).

    The function is handed out by the module's `__getattr__`, so each lookup of
    `_call_llm_api` shows in `events` ("lookup"), followed by "call" when it is
    called; tests append their own collaborators' events to the same list."""

    def __init__(self, answer=GOOD_ANSWER):
        self.answer = answer
        self.calls = []
        self.events = []
        self.module = types.ModuleType(CHAT_MODULE)
        self.module.__getattr__ = self._lookup

    def _lookup(self, name):
        if name != "_call_llm_api":
            raise AttributeError(name)
        self.events.append("lookup")
        return self._call_llm_api

    def _call_llm_api(self, *args, **kwargs):
        self.events.append("call")
        self.calls.append(Call(
            args=args,
            kwargs=dict(kwargs),
            messages=copy.deepcopy(args[0]) if args else None,
            cfg=copy.deepcopy(args[1]) if len(args) > 1 else None,
        ))
        answer = self.answer
        if isinstance(answer, BaseException) or (isinstance(answer, type) and issubclass(answer, BaseException)):
            raise answer
        return copy.deepcopy(answer)


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

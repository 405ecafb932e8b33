"""A stand-in for the host's chat layer, the module routes.chat, and the ways
to put it in sys.modules (or to keep routes.chat out of reach).

The tests' `chat` and `no_chat` fixtures (conftest.py) use it, and so do the
leak scenarios, the fuzzer and the code run in child interpreters; only the
tests of context_compress's own chat layer use that layer instead.
"""

import contextlib
import copy
import sys
import types
from typing import NamedTuple

CHAT_MODULE = "routes.chat"

GOOD_ANSWER = {"choices": [{"message": {"content": "  summary text \n"}}]}
GOOD_SUMMARY = "summary text"

#: place(UNSET) removes the sys.modules entry, as if routes.chat had never
#: been imported.
UNSET = object()


class Call(NamedTuple):
    """One request as the chat layer saw it: the objects received, and deep
    copies of the messages and configuration taken at the moment of the call."""

    args: tuple
    kwargs: dict
    messages: object
    cfg: object


class FakeChat:
    """routes.chat whose `_call_llm_api` answers with `answer`: an exception
    instance is raised as it is, an exception class raised as a new instance
    each time, and anything else returned as it is.

    `during(*args, **kwargs)`, when given, runs first inside each call: a chat
    layer that calls back into the module or changes the conversation.

    With `record` (the default) the function is handed out by the module's
    `__getattr__`, so each lookup of `_call_llm_api` shows in `events`
    ("lookup"), followed by "call" when it is called, and every call is kept
    in `calls`; tests append their own collaborators' events to the same
    list. Without it, `_call_llm_api` is a plain attribute and nothing is
    kept, which is what calls repeated thousands of times need."""

    def __init__(self, answer=GOOD_ANSWER, *, during=None, record=True):
        self.answer = answer
        self.during = during
        self.record = record
        self.calls = []
        self.events = []
        self.module = types.ModuleType(CHAT_MODULE)
        if record:
            self.module.__getattr__ = self._lookup
        else:
            self.module._call_llm_api = self._call_llm_api

    def _lookup(self, name):
        if name != "_call_llm_api":
            raise AttributeError(name)
        self.events.append("lookup")
        return self._call_llm_api

    def _call_llm_api(self, *args, **kwargs):
        if self.record:
            self.events.append("call")
            self.calls.append(Call(
                args=args,
                kwargs=dict(kwargs),
                messages=copy.deepcopy(args[0]) if args else None,
                cfg=copy.deepcopy(args[1]) if len(args) > 1 else None,
            ))
        if self.during is not None:
            self.during(*args, **kwargs)
        answer = self.answer
        if isinstance(answer, BaseException) or (isinstance(answer, type) and issubclass(answer, BaseException)):
            raise answer
        return answer


def place(module):
    """Makes `module` routes.chat: a module object, None (importing it raises
    ImportError) or UNSET (no entry at all)."""
    if module is UNSET:
        sys.modules.pop(CHAT_MODULE, None)
    else:
        sys.modules[CHAT_MODULE] = module


@contextlib.contextmanager
def placed(module):
    """place(module) for the block; whatever routes.chat was comes back after."""
    saved = sys.modules.get(CHAT_MODULE, UNSET)
    place(module)
    try:
        yield
    finally:
        place(saved)

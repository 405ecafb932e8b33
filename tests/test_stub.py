"""The installed type stub against the module. stubtest checks that the stub
names every function and that each is of the module's function type; the
parameters of the callable protocols are compared here, and mypy checks a
caller against the stub."""

import ast
import inspect
import textwrap
from pathlib import Path

import pytest

import routes.context_compress as cc
from shared import run_mypy
from surface import FUNCTIONS

STUB = Path(cc.__file__).with_name("context_compress.pyi")


def stub_signatures():
    """name -> [(parameter, has_default, default source)] of each protocol's __call__."""
    tree = ast.parse(STUB.read_text())
    calls = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and item.name == "__call__":
                    calls[node.name] = item.args
    result = {}
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.annotation, ast.Name):
            args = calls.get(node.annotation.id)
            if args is None:
                continue
            assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
            params = [a.arg for a in args.args[1:]]  # without self
            defaults = [None] * (len(params) - len(args.defaults)) + [
                ast.unparse(d) for d in args.defaults]
            result[node.target.id] = list(zip(params, defaults))
    return result


def test_stub_and_marker_are_installed_beside_the_module():
    assert STUB.is_file()
    assert STUB.with_name("py.typed").is_file()


def test_every_function_has_the_parameters_of_its_stub():
    declared = stub_signatures()
    assert sorted(declared) == sorted(FUNCTIONS)
    for name in FUNCTIONS:
        runtime = [
            (p.name, None if p.default is p.empty else repr(p.default))
            for p in inspect.signature(getattr(cc, name)).parameters.values()
            if p.kind is p.POSITIONAL_OR_KEYWORD
        ]
        assert declared[name] == runtime, name


def test_mypy_accepts_callers_and_rejects_wrong_calls(tmp_path):
    source = tmp_path / "caller.py"
    source.write_text(textwrap.dedent("""\
        from typing import TYPE_CHECKING
        import routes.context_compress as cc
        if TYPE_CHECKING:
            from routes.context_compress import Conversation, CompressionStats

        conv: "Conversation" = {"id": 1, "messages": [{"role": "user", "content": "hi"}]}
        ok, stats = cc.cut_and_sum_history(conv, {"max_context": 1000})
        flag: bool = ok
        checked: "CompressionStats" = stats
        cut: str = cc.get_conv_cut_time(conv)
        when = cc._parse_ts("2024-05-01T12:00:00Z")
        shifted: str = cc.add_seconds_rfc3339("2024-05-01T12:00:00Z", 1)
        n: int = cc.estimate_tokens(cc.msgs_from_cut_time(conv)) + cc.estimate_tokens_text("x")
        text: str = cc.simple_extract(conv["messages"]) + cc._msgs_to_text([])
        name: str = cc.cut_and_sum_history.__name__

        cc.cut_and_sum_history(conv, None, 3)  # E1
        cc.estimate_tokens(text=[])  # E2
        bad: int = cc.simple_extract([])  # E3
    """))
    stdout, stderr, _ = run_mypy(str(source), "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                                 "--show-error-codes", "--no-error-summary")
    errors = [line for line in stdout.splitlines() if ": error:" in line]
    lines = source.read_text().splitlines()
    flagged = {int(e.split(":")[1]) for e in errors}
    expected = {i for i, line in enumerate(lines, 1) if "# E" in line}
    assert flagged == expected, stdout + stderr

"""Shared fixtures for the routes.context_compress tests."""

import json
import os
import subprocess
import sys
import time
import traceback

import pytest

import routes.context_compress as _context_compress

SOURCE_UNIT = "routes/context_compress"


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
def tb_entries():
    """Returns a function giving the (name, filename, lineno) traceback entries
    of an exception, outermost first."""

    def entries(exc):
        return [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]

    return entries


@pytest.fixture
def module_entries(tb_entries):
    """Returns a function giving only the traceback entries that the module added."""

    def entries(exc):
        return [e for e in tb_entries(exc) if e[1] == SOURCE_UNIT]

    return entries


@pytest.fixture
def run_python(tmp_path):
    """Returns a function that runs `code` in a fresh interpreter of this venv
    (extra interpreter flags first) and returns the JSON value the code printed
    as its last line of output."""

    def run(code, *flags):
        proc = subprocess.run(
            [sys.executable, *flags, "-c", code],
            capture_output=True,
            text=True,
            cwd=tmp_path,
            timeout=60,
        )
        assert proc.returncode == 0, f"child failed ({proc.returncode}):\n{proc.stderr}"
        return json.loads(proc.stdout.strip().splitlines()[-1])

    return run

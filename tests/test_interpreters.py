"""The interpreter around the module: one per process (imports from a second
interpreter are refused), and its finalization, which ends the threads still
inside the module.

Every scenario runs in a child process (tests/scenarios.py), since the
interpreter that first imports the module stays recorded for the life of
the process, and a defect here takes the process down."""

import shutil
import subprocess
import sys

import pytest

import routes.context_compress as cc

CHANGE_DETECTED = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process.")
REFUSED = ["ImportError", CHANGE_DETECTED]


def test_second_interpreter_sharing_the_gil_is_refused_and_main_keeps_working(scenario):
    # Sharing the main interpreter's GIL, even an isolated interpreter
    # reaches the module's create step, where the module's own check refuses.
    result = scenario("second_interpreters", [["legacy", {}], ["legacy", {}], ["isolated", {"gil": "shared"}]])
    assert result["sub"] == [REFUSED] * 3
    assert result["main"] == [None, None]
    assert result["same_module"]
    assert result["add"] == "2024-05-01T12:00:01+00:00"
    assert result["window"] == [{"timestamp": "c"}]


def test_interpreter_with_its_own_gil_is_refused_before_the_module_runs(scenario):
    # The module declares no support for a GIL of an interpreter's own, so
    # the interpreter refuses before the create step.
    result = scenario("second_interpreters", [["isolated", {}], ["default", {}]])
    assert result["sub"] == [["ImportError", "module routes.context_compress does not support loading in "
                                             "subinterpreters"]] * 2
    assert result["add"] == "2024-05-01T12:00:01+00:00"


def test_first_importer_is_recorded_even_when_it_is_not_the_main_interpreter(scenario):
    result = scenario("second_interpreters", [["legacy", {}]], False)
    assert result["sub"] == [None]
    assert result["main"] == [REFUSED, REFUSED]


# Where a daemon thread inside cut_and_sum_history can wait for the lock when
# the interpreter finalizes: in the host's chat layer, blocked with the lock
# released (a sleep, a socket read), or running host Python code that the
# module called (a conversation's or a message's get, a __str__, a comparison).
EXIT_PLACES = ["llm-sleep", "llm-socket", "conversation-get", "message-get", "str", "comparison"]


@pytest.mark.parametrize("places", [[place] for place in EXIT_PLACES] + [EXIT_PLACES],
                         ids=EXIT_PLACES + ["all-at-once"])
def test_daemon_threads_inside_the_module_at_exit_end_without_a_crash(scenario, tmp_path, places):
    # CPython 3.13 ends such a thread with pthread_exit, a forced unwind
    # through the module's frames; later versions may park it instead.
    for run in range(3):
        report = f"left-{run}"
        assert scenario("daemon_threads_at_exit", places, 0.2, report) == places
        left = int((tmp_path / report).read_text())
        if sys.version_info < (3, 14):
            assert left == 0, "the interpreter did not end the threads: the scenario tests nothing"


@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs binutils' readelf")
def test_no_module_frame_has_unwind_cleanups_or_throwing_allocations():
    # Any of these would put code on the forced unwind above, or (the C++
    # runtime's throwing allocators) an exception that nothing can catch.
    so = cc.__file__
    sections = subprocess.run(["readelf", "-SW", so], capture_output=True, text=True, check=True).stdout
    listing = subprocess.run(["readelf", "--dyn-syms", "-W", so], capture_output=True, text=True, check=True).stdout
    rows = [line.split() for line in listing.splitlines()]
    symbols = {row[7].split("@")[0] for row in rows if len(row) > 7 and row[0].endswith(":")}
    assert ".gcc_except_table" not in sections
    assert not symbols & {"__gxx_personality_v0", "__cxa_throw", "__cxa_begin_catch", "_Znwm", "_Znam"}
    assert not [name for name in symbols if name.startswith("_ZSt") and "__throw_" in name]

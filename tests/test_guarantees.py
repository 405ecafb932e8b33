"""What the interpreter must survive: running the module's code objects,
Ctrl-C during a walk the caller made endless, huge or slow, and runaway
recursion through the module on a small thread stack. Each scenario runs in
a child interpreter (tests/scenarios.py), since a defect here aborts, hangs
or overflows the stack."""

import dis
import inspect

import pytest

import routes.context_compress as cc
import scenarios
from surface import FUNCTIONS, SOURCE_UNIT

ROUTES = ["function-type", "code-assignment", "exec"]


# --- code objects ---------------------------------------------------------------


@pytest.mark.parametrize("route", ROUTES)
def test_running_a_functions_code_object_raises_instead_of_aborting(scenario, route):
    outcomes = scenario("function_codes_run", route)
    assert {name: kind for name, (kind, *_) in outcomes.items()} == {name: "TypeError" for name in FUNCTIONS}
    assert all(name in message for name, (_, message) in outcomes.items())


@pytest.mark.parametrize("route", ROUTES)
def test_running_a_traceback_entrys_code_raises_instead_of_aborting(scenario, route):
    outcomes = scenario("traceback_codes_run", route)
    # Every function's argument error, a statement's failure and a generator's.
    assert len(outcomes) >= len(FUNCTIONS) + 3
    assert set(map(tuple, outcomes.values())) == {("AssertionError", "")}


def test_code_objects_still_describe_the_functions():
    for name in FUNCTIONS:
        fn = getattr(cc, name)
        code = fn.__code__
        params = tuple(inspect.signature(fn).parameters)
        assert (code.co_name, code.co_qualname, code.co_filename) == (name, name, SOURCE_UNIT)
        assert code.co_varnames[:code.co_argcount] == params
        assert code.co_posonlyargcount == code.co_kwonlyargcount == 0
        assert code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS | inspect.CO_GENERATOR) == 0
        # The def line, as tracebacks of argument errors name it.
        with pytest.raises(TypeError) as info:
            fn()
        assert info.traceback[-1].lineno + 1 == code.co_firstlineno
        assert min(line for _, _, line in code.co_lines() if line) == code.co_firstlineno
        assert list(dis.get_instructions(code))


# --- Ctrl-C ----------------------------------------------------------------------


@pytest.mark.parametrize("call", scenarios.ENDLESS)
def test_ctrl_c_ends_a_walk_over_an_endless_iterable(scenario, call):
    entries = scenario("endless_walk_interrupted", call)
    # The module's entry leads, then (when the handler ran inside the walk)
    # whatever generator entry and the handler's own frame.
    assert entries[0].startswith("routes.context_compress.") and entries[-1] == "_interrupt"


def test_ctrl_c_lands_inside_the_count_of_a_huge_text(scenario):
    # Counting 32M four-byte characters takes milliseconds; a timer firing
    # every 2 ms must interrupt that count itself, not only the loop around it.
    assert scenario("huge_count_interrupted") >= 1


@pytest.mark.parametrize("function", ["msgs_from_cut_time", "cut_and_sum_history"])
def test_ctrl_c_lands_between_two_slow_comparisons(scenario, function):
    # A block of 64 such comparisons takes seconds; one takes milliseconds.
    assert 0 <= scenario("slow_comparisons_interrupted", function) < 1.0


# --- runaway recursion --------------------------------------------------------


@pytest.mark.parametrize("stack_kib", [420, 2048, 3072])
@pytest.mark.parametrize("case", scenarios.RUNAWAYS)
def test_runaway_recursion_ends_in_recursion_error_on_a_small_thread_stack(scenario, stack_kib, case):
    assert scenario("runaway_recursion", case, stack_kib) == ["RecursionError"]

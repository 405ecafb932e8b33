"""One interpreter per process: imports from a second interpreter are refused.

Every scenario runs in a child process (tests/scenarios.py), since the
interpreter that first imports the module stays recorded for the life of
the process."""

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

"""One interpreter per process: imports from a second interpreter are refused.

Every scenario runs in a child process, since the interpreter that first
imports the module stays recorded for the life of the process."""

import textwrap

CHANGE_DETECTED = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process.")

# Runs `import routes.context_compress` in a new sub-interpreter and reports
# the outcome. run_string returns None on success and a snapshot of the
# uncaught exception (type name, message) otherwise.
PRELUDE = textwrap.dedent("""
    import _interpreters, json, sys

    def import_in_subinterpreter(config):
        iid = _interpreters.create(_interpreters.new_config(config))
        try:
            failure = _interpreters.run_string(
                iid, f"import sys; sys.path[:] = {sys.path!r}; import routes.context_compress")
        finally:
            _interpreters.destroy(iid)
        return None if failure is None else [failure.type.__name__, failure.msg]

    def import_in_main():
        try:
            import routes.context_compress
        except ImportError as exc:
            return ["ImportError", str(exc)]
        return None
""")


def test_shared_gil_subinterpreter_import_not_refused_or_breaks_main(run_python):
    result = run_python(PRELUDE + textwrap.dedent("""
        import routes.context_compress as m
        first = import_in_subinterpreter("legacy")
        second = import_in_subinterpreter("legacy")
        del sys.modules["routes.context_compress"]
        import routes.context_compress as again
        print(json.dumps({
            "first": first,
            "second": second,
            "same_module": again is m,
            "add": m.add_seconds_rfc3339("2024-05-01T12:00:00Z", 1),
            "window": m.msgs_from_cut_time({"cut_time": "b", "messages": [{"timestamp": "c"}]}),
        }))
    """))
    assert result["first"] == ["ImportError", CHANGE_DETECTED]
    assert result["second"] == ["ImportError", CHANGE_DETECTED]
    assert result["same_module"]
    assert result["add"] == "2024-05-01T12:00:01+00:00"
    assert result["window"] == [{"timestamp": "c"}]


def test_own_gil_subinterpreter_import_not_refused(run_python):
    result = run_python(PRELUDE + textwrap.dedent("""
        import routes.context_compress as m
        print(json.dumps({
            "isolated": import_in_subinterpreter("isolated"),
            "default": import_in_subinterpreter("default"),
            "parse": str(m._parse_ts("2024-05-01")),
        }))
    """))
    # The interpreter itself refuses a module without an interpreter slot
    # before the create step runs; either refusal is an ImportError.
    for config in ("isolated", "default"):
        kind, message = result[config]
        assert kind == "ImportError"
        assert message == CHANGE_DETECTED or "subinterpreters" in message
    assert result["parse"] == "2024-05-01 00:00:00"


def test_main_interpreter_preferred_over_first_importer(run_python):
    result = run_python(PRELUDE + textwrap.dedent("""
        print(json.dumps({
            "sub": import_in_subinterpreter("legacy"),
            "main": import_in_main(),
            "main_again": import_in_main(),
        }))
    """))
    assert result["sub"] is None
    assert result["main"] == ["ImportError", CHANGE_DETECTED]
    assert result["main_again"] == ["ImportError", CHANGE_DETECTED]

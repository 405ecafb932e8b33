"""The installed layout: routes is a namespace portion a host can share."""

import os
import subprocess
import sys
import textwrap

import pytest

import routes.context_compress as cc


def run(code, path_entry):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          cwd=path_entry, timeout=60, env={**os.environ, "PYTHONPATH": str(path_entry)})


def test_no_init_module_so_routes_stays_a_namespace_portion():
    import routes
    assert getattr(routes, "__file__", None) is None
    assert any(p.endswith("routes") for p in routes.__path__)


@pytest.mark.parametrize("host_init, expect_import", [
    # A namespace host package merges with the installed portion.
    (None, True),
    # A regular host package sees the extension once it extends its path.
    ("from pkgutil import extend_path\n__path__ = extend_path(__path__, __name__)\n", True),
    # Without that, a regular package hides the installed portion.
    ("", False),
])
def test_host_routes_package_lives_beside_the_extension(tmp_path, host_init, expect_import):
    host = tmp_path / "routes"
    host.mkdir()
    (host / "chat.py").write_text("def _call_llm_api(messages, cfg, stream=False):\n    return None\n")
    if host_init is not None:
        (host / "__init__.py").write_text(host_init)
    proc = run("""
        import routes.chat
        try:
            import routes.context_compress as m
        except ImportError:
            print("missing")
        else:
            print(m.estimate_tokens_text("abcd"), routes.chat.__name__)
    """, tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == (["1", "routes.chat"] if expect_import else ["missing"])


def test_extension_file_sits_in_routes_directory():
    assert cc.__file__.replace("\\", "/").split("/")[-2] == "routes"
    assert cc.__spec__.name == "routes.context_compress"

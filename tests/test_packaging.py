"""The installed layout: routes is a namespace portion a host can share; the
suite run against an installed manylinux wheel; make and other people's
virtualenvs."""

import importlib.metadata
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import context_compress
import routes.context_compress as cc

ROOT = Path(__file__).resolve().parent.parent


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


WHEEL = os.environ.get("CONTEXT_COMPRESS_WHEEL")


@pytest.mark.skipif(not WHEEL, reason="CI sets CONTEXT_COMPRESS_WHEEL when it runs the suite "
                                      "against the installed wheel")
def test_suite_runs_against_the_installed_manylinux_wheel():
    dist = importlib.metadata.distribution("routes-context-compress")
    tags = {line.partition(": ")[2] for line in dist.read_text("WHEEL").splitlines()
            if line.startswith("Tag: ")}
    # name-version-python-abi-platform(s).whl
    _, _, python, abi, platforms = Path(WHEEL).name[:-len(".whl")].split("-")
    assert tags == {f"{python}-{abi}-{p}" for p in platforms.split(".")}
    assert all("manylinux" in t for t in tags)
    # What the tests import is what the wheel installed, outside the source tree.
    installed = {dist.locate_file(f).resolve() for f in dist.files}
    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    for module in (cc, context_compress):
        path = Path(module.__file__).resolve()
        assert path in installed and path.is_relative_to(site)
        assert not path.is_relative_to(ROOT)


@pytest.mark.skipif(shutil.which("make") is None, reason="make is not installed")
def test_make_leaves_a_virtualenv_it_did_not_make(tmp_path):
    venv = tmp_path / ".venv"
    (venv / "bin").mkdir(parents=True)
    (venv / "bin" / "python").write_text("# the user's own\n")
    for goal in ("install", "clean"):
        proc = subprocess.run(["make", "-C", str(ROOT), goal, f"VENV={venv}"],
                              capture_output=True, text=True, timeout=60)
        assert proc.returncode != 0
        assert f"{venv} exists and was not made by this Makefile" in proc.stderr
        assert (venv / "bin" / "python").read_text() == "# the user's own\n"


def test_old_package_name_warns_and_gives_the_same_objects():
    proc = subprocess.run([sys.executable, "-W", "error::DeprecationWarning", "-c",
                           "import context_compress_cli"], capture_output=True, text=True, timeout=60)
    assert proc.returncode != 0 and "DeprecationWarning" in proc.stderr
    code = textwrap.dedent("""
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import context_compress_cli
            from context_compress_cli import chat
            import context_compress_cli.cli as old_cli
        import context_compress
        import context_compress.chat, context_compress.cli
        print([w.category.__name__ for w in caught],
              chat is context_compress.chat, old_cli is context_compress.cli,
              context_compress_cli.__version__ == context_compress.__version__)
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["['DeprecationWarning']", "True", "True", "True"]

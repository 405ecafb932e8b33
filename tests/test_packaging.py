"""The installed layout: routes is a namespace portion a host can share; the
suite run against an installed manylinux wheel; make and other people's
virtualenvs."""

import ast
import importlib.metadata
import importlib.util
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
from shared import ROOT


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


# What manylinux2014 promises of the C and C++ runtimes: a newer symbol
# version in either extension fails the wheel's repair, the last step of CI.
MANYLINUX2014 = {"GLIBC": (2, 17), "GLIBCXX": (3, 4, 19), "CXXABI": (1, 3, 7)}


@pytest.mark.skipif(shutil.which("objdump") is None, reason="objdump is not installed")
def test_extensions_need_no_runtime_newer_than_the_wheel_promises():
    from context_compress import _facts
    too_new = []
    for module in (cc, _facts):
        symbols = subprocess.run(["objdump", "-T", module.__file__], capture_output=True,
                                 text=True, check=True).stdout
        for line in symbols.splitlines():
            if "*UND*" not in line or "(" not in line:
                continue
            library, _, version = line.partition("(")[2].partition(")")[0].partition("_")
            numbers = tuple(int(n) for n in version.split(".") if n.isdigit())
            if library in MANYLINUX2014 and numbers > MANYLINUX2014[library]:
                too_new.append(f"{Path(module.__file__).name}: {line.split()[-1]} ({library}_{version})")
    assert too_new == []


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


PACKAGE = Path(context_compress.__file__).parent


def imported(path):
    """The modules a module of the package imports, anywhere in it, by absolute name."""
    package = ".".join(path.relative_to(PACKAGE.parent).parent.parts)
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = importlib.util.resolve_name("." * node.level + (node.module or ""), package)
            yield from (f"{base}.{alias.name}" for alias in node.names)


def test_no_host_module_imports_the_command():
    """The host library (every module but cli/) imports nothing of the command,
    whose modules may print and may change."""
    hosts = [path for path in PACKAGE.rglob("*.py") if "cli" not in path.relative_to(PACKAGE).parts[:-1]
             and path.name != "__main__.py"]
    assert len(hosts) > 10
    assert [(path.name, name) for path in hosts for name in imported(path)
            if f"{name}.".startswith(("context_compress.cli.", "context_compress.__main__."))] == []


def test_every_module_and_function_reads_in_one_sitting():
    too_long = []
    for path in PACKAGE.rglob("*.py"):
        text = path.read_text(encoding="utf-8")
        too_long += [path.name] * (sum(1 for line in text.splitlines() if line.strip()) > 400)
        too_long += [f"{path.name}: {node.name}" for node in ast.walk(ast.parse(text))
                     if isinstance(node, ast.FunctionDef) and node.end_lineno - node.lineno >= 60]
    assert too_long == []


def fake_python(directory, name, probe_line):
    """An executable that answers find-python.sh's probe as `probe_line`
    ("3.14 3.14.10"; "3.14t 3.14.0" for a free-threaded build)."""
    path = directory / name
    path.write_text(f"#!/bin/sh\necho '{probe_line}'\n")
    path.chmod(0o755)
    return path


def find_python(tmp_path, *args, python=None):
    # Only the fakes and the tools the script uses: no pyenv, no real pythonX.Y.
    tools = tmp_path / "tools"
    tools.mkdir(exist_ok=True)
    for tool in ("ls", "sort", "paste", "sed", "head", "cat"):
        (tools / tool).unlink(missing_ok=True)
        (tools / tool).symlink_to(shutil.which(tool))
    env = {"PATH": f"{tmp_path / 'bin'}:{tools}", "PYENV_ROOT": str(tmp_path / "pyenv"), "HOME": str(tmp_path)}
    if python is not None:
        env["PYTHON"] = str(python)
    return subprocess.run([shutil.which("bash"), str(ROOT / "scripts" / "find-python.sh"), *args],
                          capture_output=True, text=True, timeout=60, env=env)


# The script also looks at /usr/bin and /usr/local/bin by absolute path.
SYSTEM_PYTHONS = [p for d in ("/usr/bin", "/usr/local/bin") for v in ("3.13", "3.14", "3.15")
                  if (p := Path(d, f"python{v}")).exists()]


@pytest.mark.skipif(shutil.which("bash") is None, reason="bash is not installed")
def test_find_python_takes_the_newest_supported_and_names_what_it_refuses(tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    pyenv_313 = tmp_path / "pyenv" / "versions" / "3.13.0" / "bin"
    pyenv_313.mkdir(parents=True)
    fake_python(pyenv_313, "python3.13", "3.13 3.13.0")
    fake_python(bin_dir, "python3.14", "3.14 3.14.10")
    found = find_python(tmp_path)
    newest = max([bin_dir / "python3.14", *SYSTEM_PYTHONS], key=lambda p: int(p.name[len("python3."):]))
    assert found.returncode == 0 and found.stdout.strip() == str(newest)
    # Narrowed to one version, pyenv's copy comes before PATH.
    found = find_python(tmp_path, "3.13")
    assert found.returncode == 0 and found.stdout.strip() == str(pyenv_313 / "python3.13")

    supported = "CPython 3.13, 3.14, 3.15"
    for probe_line, shown in [("3.12 3.12.4", "is CPython 3.12.4"), ("3.16 3.16.0", "is CPython 3.16.0"),
                              ("3.14t 3.14.0", "is free-threaded CPython 3.14.0"),
                              ("pypy 3.10.14", "is pypy 3.10.14")]:
        refused = find_python(tmp_path, python=fake_python(bin_dir, "candidate", probe_line))
        assert refused.returncode == 1 and refused.stdout == ""
        assert len(refused.stderr.splitlines()) == 1
        assert shown in refused.stderr and supported in refused.stderr

    (bin_dir / "python3.14").unlink()
    (pyenv_313 / "python3.13").unlink()
    fake_python(bin_dir, "python3", "3.12 3.12.4")
    if SYSTEM_PYTHONS:
        return
    missing = find_python(tmp_path)
    assert missing.returncode == 1 and len(missing.stderr.splitlines()) == 1
    assert "no " + supported in missing.stderr and "python3 on PATH is 3.12.4" in missing.stderr


@pytest.mark.skipif(shutil.which("make") is None, reason="make is not installed")
def test_make_stops_at_once_on_an_unsupported_python(tmp_path):
    python = fake_python(tmp_path, "python3.12", "3.12 3.12.4")
    proc = subprocess.run(["make", "-C", str(ROOT), "install", f"PYTHON={python}", f"VENV={tmp_path / 'venv'}"],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode != 0 and not (tmp_path / "venv").exists()
    assert "is CPython 3.12.4; supported: CPython 3.13, 3.14, 3.15" in proc.stderr

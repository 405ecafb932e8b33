"""scripts/sid-pythons.sh mounts and writes as root only through directories
that only root can change: a planted symbolic link or a directory of another
user's refuses the run before anything is mounted, and the clean-up unmounts
exactly what was mounted. Trees are planted under build/; mount and umount
are stand-ins that log where a mount would have landed."""

import os
import shutil
import stat
import subprocess
import tempfile
from pathlib import Path

import pytest

from shared import ROOT

SCRIPT = ROOT / "scripts" / "sid-pythons.sh"
OTHER = 4321  # a uid and gid of nobody in particular

FAKE = """#!/bin/bash
# Logs the mount (or unmount) and the directory it would land on.
[ "$1" = --make-rslave ] && exit 0
target=${@: -1}
[ "$(basename "$0")" = mount ] && [ "$target" = "${SID_FAKE_FAIL:-}" ] && exit 32
echo "$(basename "$0") $(realpath -m -- "$target")" >>"$SID_FAKE_LOG"
"""


def root_only_problem(path):
    """Why a directory on the way to `path` can be changed by others, or None."""
    for part in [path, *path.parents]:
        st = part.lstat()
        if stat.S_ISLNK(st.st_mode) or st.st_uid != 0 or st.st_mode & 0o022:
            return f"{part} can be changed by others than root"
    return None


@pytest.fixture
def base():
    if os.geteuid() != 0:
        pytest.skip("the script runs as root only")
    if shutil.which("bash") is None or shutil.which("flock") is None:
        pytest.skip("bash and flock are not installed")
    build = ROOT / "build"
    build.mkdir(mode=0o755, exist_ok=True)
    problem = root_only_problem(build)
    if problem:
        pytest.skip(f"the planted trees need a directory only root can write: {problem}")
    path = Path(tempfile.mkdtemp(prefix="sid-test-", dir=build))
    path.chmod(0o755)
    yield path
    busy = [m for m in mount_points() if m.startswith(f"{path}/")]
    for m in sorted(busy, reverse=True):
        subprocess.run(["umount", "-l", m], check=False)
    shutil.rmtree(path)


def mount_points():
    with open("/proc/self/mounts") as mounts:
        return [line.split()[1] for line in mounts]


def chroot_tree(base):
    root = base / "sid"
    for name in ("proc", "dev/pts", "sys", "root", "etc/ssl"):
        (root / name).mkdir(parents=True)
    (base / "elsewhere").mkdir()
    return root


def run(root, only, fakes=("mount", "umount"), **env):
    bin_dir = root.parent / "bin"
    bin_dir.mkdir(exist_ok=True)
    for name in fakes:
        (bin_dir / name).write_text(FAKE)
        (bin_dir / name).chmod(0o755)
    log = root.parent / "mounts.log"
    log.write_text("")
    proc = subprocess.run(
        ["bash", str(SCRIPT), "3.14"], capture_output=True, text=True, timeout=60,
        env={"PATH": f"{bin_dir}:/usr/sbin:/usr/bin:/sbin:/bin", "SID_ROOT": str(root),
             "SID_ONLY": only, "SID_FAKE_LOG": str(log), **env})
    return proc, log.read_text().splitlines()


def link_out(root, name):
    target = root / name
    target.rmdir()
    target.symlink_to(root.parent / "elsewhere")


# What is planted, where no mount may land then, and the line that refuses it.
PLANTED = {
    "proc links out": (lambda r: link_out(r, "proc"), "proc", "{r}/proc is a symbolic link"),
    "dev/pts links out": (lambda r: link_out(r, "dev/pts"), "dev/pts",
                          "{r}/dev/pts is a symbolic link"),
    "sys is a file": (lambda r: ((r / "sys").rmdir(), (r / "sys").write_text("")), "sys",
                      "{r}/sys is a regular empty file, not a directory"),
    "dev is another user's": (lambda r: os.chown(r / "dev", OTHER, OTHER), "dev",
                              f"{{r}}/dev is owned by uid {OTHER}, not by root"),
    "proc is world-writable": (lambda r: (r / "proc").chmod(0o777), "proc",
                               "{r}/proc can be written by group or others (mode 777)"),
    "the chroot is another user's": (lambda r: os.chown(r, OTHER, OTHER), "",
                                     f"{{r}} is owned by uid {OTHER}, not by root"),
    "its parent is like /var/tmp": (lambda r: r.parent.chmod(0o1777), "",
                                    "{r.parent} can be written by group or others (mode 1777)"),
    "its parent is a group's": (lambda r: (os.chown(r.parent, 0, OTHER), r.parent.chmod(0o775)),
                                "", "{r.parent} can be written by group or others (mode 775)"),
}


def split(log):
    mounts = [line.split(" ", 1)[1] for line in log if line.startswith("mount ")]
    return mounts, [line.split(" ", 1)[1] for line in log if line.startswith("umount ")]


@pytest.mark.parametrize("plant", PLANTED)
def test_a_planted_link_or_foreign_directory_is_refused_before_its_mount(base, plant):
    root = chroot_tree(base)
    make, where, problem = PLANTED[plant]
    make(root)
    proc, log = run(root, "mounts")
    assert proc.returncode == 1
    assert problem.format(r=root) in proc.stderr
    mounts, unmounts = split(log)
    # Nothing lands outside the chroot or on what was planted; what was
    # mounted before the refusal is unmounted.
    forbidden = f"{root}/{where}".rstrip("/")
    assert all(m.startswith(f"{root}/") for m in mounts)
    assert not any(m == forbidden or m.startswith(f"{forbidden}/") for m in mounts)
    assert unmounts == mounts[::-1]


def test_the_chroot_itself_as_a_link_is_refused(base):
    real = chroot_tree(base)
    root = base / "linked"
    root.symlink_to(real)
    proc, log = run(root, "mounts")
    assert proc.returncode == 1 and f"{root} is a symbolic link" in proc.stderr
    assert log == []


def test_mounts_land_inside_and_are_unmounted_exactly_in_reverse(base):
    root = chroot_tree(base)
    proc, log = run(root, "mounts")
    assert proc.returncode == 0, proc.stderr
    targets = [f"{root}/{name}" for name in ("proc", "dev", "dev/pts", "sys")]
    assert log == [f"mount {t}" for t in targets] + [f"umount {t}" for t in reversed(targets)]
    assert not Path(f"{root}.mounts").exists()


def test_a_failed_mount_unmounts_only_what_was_mounted_before_it(base):
    root = chroot_tree(base)
    proc, log = run(root, "mounts", SID_FAKE_FAIL=f"{root}/dev/pts")
    assert proc.returncode != 0
    assert log == [f"mount {root}/proc", f"mount {root}/dev", f"umount {root}/dev",
                   f"umount {root}/proc"]


def test_a_killed_runs_record_is_unmounted_and_an_unrecorded_mount_refused(base):
    root = chroot_tree(base)
    for name in ("proc", "sys"):
        subprocess.run(["mount", "-t", "tmpfs", "stale", str(root / name)], check=True)
    # A run killed after mounting proc: its record names proc, not sys.
    Path(f"{root}.mounts").write_text(f"{root}/proc\n")
    proc, _ = run(root, "checks", fakes=("mount",))
    assert proc.returncode == 1
    assert f"mounts under {root} that no run of this script recorded: {root}/sys" in proc.stderr
    assert f"{root}/proc" not in mount_points() and f"{root}/sys" in mount_points()

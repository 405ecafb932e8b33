"""Several names of one file on one command line (the name twice, another
spelling, a directory and a file in it, a symbolic or a hard link): the file
is read, compressed and written once and reported once under all its names,
and the run does not depend on --jobs."""

import json
import os
import shutil
import subprocess

from hypothesis import example, given, settings, strategies as st

from context_compress.cli.commands.compress import DROPPED_NOTE

from shared import COMMAND
from test_command import WINDOW, big_conversation, expected_after, small_conversation

# What each name in the directory d is: every c1 name but c2.json leads to the
# one file c1.json, by the file name that really holds it.
REAL = {"d/c1.json": "d/c1.json", "./d/c1.json": "d/c1.json",
        "d/c1-latest.json": "d/c1.json",  # a symbolic link to c1.json
        "d/c1-hard.json": "d/c1-hard.json"}  # a hard link of c1.json
SPELLINGS = ["d", *REAL, "d/c2.json"]


def make_case(root, links):
    d = root / "d"
    d.mkdir(parents=True)
    (d / "c1.json").write_text(json.dumps(big_conversation(), indent=2))
    (d / "c2.json").write_text(json.dumps(small_conversation(), indent=2))
    if "d/c1-latest.json" in links:
        (d / "c1-latest.json").symlink_to("c1.json")
    if "d/c1-hard.json" in links:
        os.link(d / "c1.json", d / "c1-hard.json")


def state(root):
    """Every name under the case's root: its bytes, and the first name that
    is the same file."""
    seen, result = {}, {}
    for path in sorted(root.rglob("*")):
        if path.is_file():
            st_ = path.stat()
            name = str(path.relative_to(root))
            result[name] = (path.read_bytes(), seen.setdefault((st_.st_dev, st_.st_ino), name))
    return result


def run(root, args, mode, jobs):
    extra = {"report": [], "in-place": ["--in-place"], "out": ["-o", "out/"]}[mode]
    proc = subprocess.run([COMMAND, *args, "--max-context", WINDOW, "--json", "--jobs", str(jobs),
                           *extra], capture_output=True, cwd=root, timeout=60)
    return proc.returncode, proc.stdout, proc.stderr, state(root)


def files_named(args, present):
    """Each file the arguments name ("c1" or "c2"), with its names in order of
    appearance."""
    files = {}
    for arg in args:
        for name in sorted(present) if arg == "d" else [arg]:
            names = files.setdefault("c2" if name == "d/c2.json" else "c1", [])
            if name not in names:
                names.append(name)
    return files


@settings(max_examples=15, deadline=None)
@example(links={"d/c1-latest.json"}, args=["d"], mode="in-place")
@example(links={"d/c1-hard.json"}, args=["d/c1.json", "d/c1-hard.json"], mode="in-place")
@given(links=st.sets(st.sampled_from(["d/c1-latest.json", "d/c1-hard.json"])),
       args=st.lists(st.sampled_from(SPELLINGS), min_size=1, max_size=4),
       mode=st.sampled_from(["report", "in-place", "out"]))
def test_names_of_one_file_are_one_input_whatever_the_jobs(tmp_path_factory, links, args, mode):
    present = {"d/c1.json", "d/c2.json", *links}
    args = [a for a in args if a in present or a in ("d", "./d/c1.json")]
    if not args:
        return
    runs = []
    for jobs in (1, 4):
        root = tmp_path_factory.mktemp("case")
        make_case(root, links)
        runs.append(run(root, args, mode, jobs))
        shutil.rmtree(root)
    assert runs[0] == runs[1]
    status, out, err, after = runs[0]
    errors = err.replace(DROPPED_NOTE.encode() + b"\n", b"")  # the note of --in-place is no error
    assert status == 0 and b"context-compress:" not in errors, err
    files = files_named(args, present)
    records = [json.loads(line) for line in out.splitlines()]
    assert [[r["file"], *r.get("also", [])] for r in records] == list(files.values())
    original = json.dumps(big_conversation(), indent=2).encode()
    compressed = json.dumps(expected_after(big_conversation())[2], ensure_ascii=False,
                            indent=2).encode()
    given_c1 = files.get("c1", [])
    for r in records:
        if r["file"] in given_c1:
            assert (r["messages_before"], r["messages_after"]) == (20, 11)  # compressed once
    c1_names = sorted(present - {"d/c2.json"})
    if mode == "in-place" and given_c1:
        # Every name given gets the new text, and they stay one file; a name
        # not given (a hard link) keeps the old text.
        rewritten = {REAL[n] for n in given_c1}
        for name in c1_names:
            assert after[name][0] == (compressed if REAL[name] in rewritten else original), name
        assert len({after[REAL[n]][1] for n in given_c1}) == 1
    elif mode == "out" and given_c1:
        outputs = {f"out/{n.split('/')[-1]}" for n in given_c1}
        assert {n for n in after if n.startswith("out/c1")} == outputs
        assert all(after[n][0] == compressed for n in outputs)
    if mode != "in-place":
        assert all(after[n][0] == original for n in c1_names)

"""No run of eight or more characters of a key reaches a line, a --json
field or a written summary, wherever the text holding it was cut: by the
Redactor alone, through the chat layer's error texts, and through the
command (the extract that cuts a message at 2,000 characters included)."""

import contextlib
import io
import json
import os
import tempfile
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from context_compress import chat, cli
from context_compress.masking import FRAGMENT_LENGTH, PUBLIC_KEY_PREFIXES, Redactor, shortened
from context_compress.cli.output import Output, json_line
from context_compress.texts import SUMMARY_PREFIX as PREFIX
from fake_server import PROMPT, cfg_for, conversation, running_server

KEY_ENV = "CC_TEST_MASKED_KEY"

#: Anything printable: letters of every script, punctuation, spaces.
printable = st.characters(exclude_categories=("C",))
#: What can travel in an Authorization header and an environment variable.
header_safe = st.characters(min_codepoint=0x21, max_codepoint=0x7E)


def keys(alphabet):
    """Keys of realistic lengths, some with a published prefix."""
    return st.builds(lambda prefix, rest: prefix + rest,
                     st.sampled_from(["", "sk-", *PUBLIC_KEY_PREFIXES]),
                     st.text(alphabet, min_size=12, max_size=120))


def leaked(key, text):
    """The runs of FRAGMENT_LENGTH characters of `key` in `text`, but for those
    wholly inside a published prefix (which say nothing of the key)."""
    public = max((len(p) for p in PUBLIC_KEY_PREFIXES if key.startswith(p) and len(key) > len(p)),
                 default=0)
    runs = {key[i:i + FRAGMENT_LENGTH] for i in range(len(key) - FRAGMENT_LENGTH + 1)
            if i + FRAGMENT_LENGTH > public}
    return sorted(run for run in runs if run in text)


@given(key=keys(printable), before=st.text(printable, max_size=40), after=st.text(printable, max_size=40),
       cut=st.integers(0, 200), from_start=st.booleans(),
       marker=st.sampled_from(["", "...", "…", "\n...(earlier messages omitted)"]),
       tail=st.text(printable, max_size=20))
def test_no_run_of_a_key_survives_a_cut_anywhere(key, before, after, cut, from_start, marker, tail):
    text = before + key + after
    piece = marker + text[cut:] if from_start else text[:cut] + marker
    redact = Redactor([key])
    for shown in [redact(piece + tail), Output(redact).shown(piece + tail),
                  json.loads(json_line(redact.deep({"field": [piece + tail]})))["field"][0],
                  shortened(text, cut, redact)]:
        assert not leaked(key, shown), shown


KEY = "sk-proj-Xq7Lm2Pz9Rt4Vb8Nc1Kd6Wf3Hg5Js0Ya"


@pytest.mark.parametrize("text, shown", [
    # Ordinary text, and the runs too short to matter, stay as they are.
    ("a project key starts with sk-proj-, then 32 letters", None),
    (f"its first seven: {KEY[8:15]}, last seven: {KEY[-7:]}", None),
    # A key cut anywhere is masked, its published prefix with it.
    (f"invalid key Bearer {KEY[:30]}...", "invalid key Bearer ***..."),
    (f"[user] {KEY[:9]}", "[user] ***"),
    (f"…{KEY[-8:]} was pasted", "…*** was pasted"),
    (f"{KEY[3:20]}\n{KEY[25:]}", "***\n***"),
])
def test_runs_of_a_key_are_masked_and_ordinary_text_is_not(text, shown):
    assert Redactor([KEY])(text) == (text if shown is None else shown)


def test_a_server_text_cut_inside_the_key_shows_none_of_it():
    """The error message and the redirect target are cut at 200 characters;
    wherever the cut falls, the error shows no run of the key."""
    with running_server() as server:
        @given(key=keys(header_safe), pad=st.integers(0, 220),
               mode=st.sampled_from(["echo401", "redirect302"]))
        @settings(max_examples=40)
        def check(key, pad, mode):
            server.pad, server.location = "p" * pad, "/" + "p" * pad + key
            with pytest.raises(chat.ChatError) as info:
                chat._call_llm_api(PROMPT, cfg_for(server, mode, api_key=key))
            assert not leaked(key, str(info.value)), str(info.value)

        check()


def run_command(argv):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main(argv)
    return status, out.getvalue(), err.getvalue()


def test_the_command_shows_and_writes_no_run_of_the_key():
    """A key pasted into a conversation where the summary excerpt (160
    characters) or the extract (2,000 of each message) cuts it, and echoed
    where the server's error text is cut: the report, the --json fields and
    the summary written into the file hold no run of it."""
    with running_server() as server, tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "conv.json"

        @given(key=keys(header_safe), at_excerpt=st.integers(0, 170), at_cut=st.integers(1870, 1999),
               pad=st.integers(0, 220), mode=st.sampled_from(["echo401", "redirect302"]),
               as_json=st.booleans())
        @settings(max_examples=30)
        def check(key, at_excerpt, at_cut, pad, mode, as_json):
            conv = conversation()
            conv["messages"][0]["content"] = "x" * at_excerpt + key + " pasted"
            conv["messages"][1]["content"] = "y" * at_cut + key + "z" * 200
            path.write_text(json.dumps(conv))
            server.pad, server.location = "p" * pad, "/" + "p" * pad + key
            os.environ[KEY_ENV] = key
            try:
                status, out, err = run_command(
                    [str(path), "--max-context", "2000", "--llm-url", server.url(mode), "--model", "m",
                     "--api-key-env", KEY_ENV, "--in-place", *(["--json"] if as_json else [])])
            finally:
                del os.environ[KEY_ENV]
            assert status == 0, err
            written = json.loads(path.read_text())["messages"]
            [summary] = [m["content"] for m in written if m["content"].startswith(PREFIX)]
            fields = [json.loads(line) for line in out.splitlines()] if as_json else []
            assert all(r["summary_source"] == "extract" and r["llm_error"] for r in fields)
            # The --json values, two levels deep; field names ("max_context") are no key's.
            values = [x for r in fields for v in r.values() for x in (v.values() if isinstance(v, dict) else [v])]
            for shown in (err, summary, *([] if as_json else [out]), *map(str, values)):
                assert not leaked(key, shown), shown

        check()

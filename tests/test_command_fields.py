"""Every `--json` field of the command keeps its name and meaning now that
the command compresses through Compressor: a run of the command's compression
against the same run of the pipeline it had before (command_before.py: the
module called directly, a recording chat layer, texts compared), on the
sample and on generated conversations, without an LLM, with one that answers,
one that fails and one that cannot be reached."""

import copy
import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

import command_before
from context_compress import chat
from context_compress.cli.compression import Runner
from context_compress.cli.files import Loaded, Style
from context_compress.cli.json_fields import Outcome
from context_compress.cli.options import build_parser
from fake_server import closed_port, running_server
from shared import SAMPLE
from strategies import PROPERTY
from test_properties import heavy_conversations

KEY = "sk-fields-0123456789abcdef"
MODES = [None, "ok", "error", "dead"]


@pytest.fixture(scope="module")
def llm_server():
    with running_server() as srv:
        yield srv


def url_of(server, mode):
    return f"http://127.0.0.1:{closed_port()}/v1" if mode == "dead" else server.url(mode)


def both_runs(server, conv, mode, window, whole_span):
    """The record of the command's run and of the run before, on copies of `conv`."""
    argv = ["conv.json", "--max-context", str(window), *([] if whole_span else ["--module-transcript"])]
    if mode is not None:
        argv += ["--llm-url", url_of(server, mode), "--model", "test-model", "--read-timeout", "5"]
    options = build_parser().parse_args(argv)
    redact = chat.Redactor([KEY])
    runner = Runner(options, redact, KEY if mode else None)
    new = Outcome("conv.json")
    runner.compress(Loaded(copy.deepcopy(conv), b"", Style(None, False)), new)
    recorder = None
    if mode is not None:
        recorder = command_before.Recorder(chat.ChatLayer(chat.Settings(
            base_url=options.llm_url, model=options.model, api_key=KEY, read_timeout=5)), redact)
    old = command_before.compress(copy.deepcopy(conv), window, recorder, redact, whole_span)
    return new.json_record(), old.json_record()


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("whole_span", [False, True])
def test_the_samples_fields_are_those_of_the_run_before(llm_server, mode, whole_span):
    conv = json.loads(SAMPLE.read_text())
    new, old = both_runs(llm_server, conv, mode, 64_000, whole_span)
    assert new["compressed"] and new == old


@given(conv=heavy_conversations(), mode=st.sampled_from(MODES), whole_span=st.booleans(),
       window=st.sampled_from([1024, 1500, 2000, 3000]))
@PROPERTY
def test_generated_conversations_fields_are_those_of_the_run_before(llm_server, conv, mode, whole_span, window):
    conv = json.loads(json.dumps(conv, default=repr))  # as the command reads it from a file
    for m in conv["messages"]:  # the pipeline before compressed system messages too; the command never does
        if isinstance(m, dict) and m.get("role") in ("system", "developer"):
            m["role"] = "user"
    new, old = both_runs(llm_server, conv, mode, window, whole_span)
    assert new == old

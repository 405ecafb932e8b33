"""scripts/local_llm.py without a model: the command it runs gets {url} and
{model} filled in and every other brace as written, and its readiness probe
goes straight to the server on 127.0.0.1 whatever http_proxy says."""

import tempfile
import types
from pathlib import Path

from hypothesis import given, settings
from hypothesis import strategies as st

from shared import load_script
from fake_server import running_server

local_llm = load_script("scripts/local_llm.py")

FIELDS = {"{url}": "http://127.0.0.1:8080/{model}/v1", "{model}": "Small {url} model"}
SERVER = types.SimpleNamespace(url=FIELDS["{url}"], model=FIELDS["{model}"])

# Shell, awk and Python are full of braces; none of them holds a field.
plain = st.text(st.sampled_from("{}urlmode $'\"%:.0"), max_size=12).filter(
    lambda text: not any(field in text for field in FIELDS))


@given(first=plain, rest=st.lists(st.tuples(st.sampled_from(sorted(FIELDS)), plain), max_size=4),
       split=st.integers(0, 4))
@settings(max_examples=25)
def test_command_gets_url_and_model_filled_in_and_every_other_brace_as_written(first, rest, split):
    text = first + "".join(field + after for field, after in rest)
    expected = first + "".join(FIELDS[field] + after for field, after in rest)
    # Split over two arguments somewhere, as a command line would be.
    args = [text[:split], text[split:]] if split <= len(first) else [text]
    wanted = [expected[:split], expected[split:]] if split <= len(first) else [expected]
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "argv"
        status = local_llm.run_command(
            ["sh", "-c", 'printf "%s\\0" "$@" > "$0"', str(out), *args], SERVER)
        assert status == 0
        assert out.read_bytes().decode().split("\0")[:-1] == wanted


def test_readiness_probe_goes_straight_to_the_server_past_http_proxy(monkeypatch):
    with running_server() as server, running_server() as proxy:
        for name in ("no_proxy", "NO_PROXY", "HTTP_PROXY"):
            monkeypatch.delenv(name, raising=False)
        # A proxy that answers for the server, as one on this machine could.
        monkeypatch.setenv("http_proxy", f"http://127.0.0.1:{proxy.server_address[1]}")
        starting = types.SimpleNamespace(url=server.url("ok"), model="m",
                                         process=types.SimpleNamespace(poll=lambda: None))
        assert local_llm._wait_until_answering(starting, 10) is True
        assert len(server.requests) == 1 and proxy.requests == []

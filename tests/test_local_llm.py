"""scripts/local_llm.py without a model: the command it runs gets {url} and
{model} filled in and every other brace as written."""

import tempfile
import types
from pathlib import Path

from hypothesis import given, settings
from hypothesis import strategies as st

from shared import load_script

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


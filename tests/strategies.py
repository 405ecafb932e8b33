"""Generated inputs of the tests that compare the module with reference.py:
texts of all three storage kinds with the ideograph range bounds, surrogates
and astral code points well represented, and message lists with every
content shape the readers distinguish, str and dict subclasses included."""

import os

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

from context_compress.texts import BODY_BOUND
from shared import PlainDict, PlainStr

# HYPOTHESIS_PROFILE picks the profile of every property test: "ci" (the
# default, a quick run) or "dev" (thousands of examples).
for _name, _examples in (("ci", 60), ("dev", 3000)):
    settings.register_profile(_name, max_examples=_examples, deadline=None, print_blob=True,
                              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

#: The profile's settings, for the differential tests, which take fixtures
#: (Hypothesis would otherwise warn about them).
PROPERTY = settings(settings.default, suppress_health_check=[
    *settings.default.suppress_health_check, HealthCheck.function_scoped_fixture])

EDGE_CODE_POINTS = (
    0x00, 0x20, 0x41, 0x7F, 0x80, 0xE9, 0xFF, 0x100, 0x3002, 0x3041, 0x33FF, 0x3400, 0x3401,
    0x4DBE, 0x4DBF, 0x4DC0, 0x4DFF, 0x4E00, 0x4E01, 0x9FFE, 0x9FFF, 0xA000, 0xAC00,
    0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFF0C, 0xFFFF, 0x10000, 0x13400, 0x14E00, 0x19FFF,
    0x1F600, 0x20000, 0x24E00, 0x10FFFF,
)

characters = st.one_of(
    st.sampled_from([chr(c) for c in EDGE_CODE_POINTS]),
    st.characters(max_codepoint=0x7F),
    st.characters(min_codepoint=0x80, max_codepoint=0xFF),
    st.characters(min_codepoint=0x3000, max_codepoint=0xA0FF, exclude_categories=()),
    st.characters(exclude_categories=()),  # anything, lone surrogates included
)

short_texts = st.one_of(
    st.text(st.characters(max_codepoint=0x7F), max_size=20),
    st.text(st.characters(max_codepoint=0xFF), max_size=20),
    st.text(characters, max_size=20),
)

# Long texts come from repetition so that generating them stays cheap.
long_texts = st.builds(lambda unit, times: unit * times, short_texts, st.integers(0, 600))

# Texts of exactly the lengths around the bounds of a transcript body.
bulky_texts = st.builds(
    lambda unit, length: (unit * length)[:length],
    st.text(characters, min_size=1, max_size=8),
    st.sampled_from([BODY_BOUND + 1, BODY_BOUND, BODY_BOUND - 1, BODY_BOUND + 2, 2600, 5000, 1]),
)

texts = st.one_of(short_texts, long_texts)

odd_values = st.sampled_from([None, 0, 7, 2.5, True, False, b"bytes", ("tuple",), ["inner"], {}, {"k": "v"}])

parts = st.one_of(
    st.fixed_dictionaries({"type": st.just("text")}, optional={"text": st.one_of(texts, st.sampled_from([None, "", 0]))}),
    st.builds(lambda text: PlainDict(type="text", text=text), texts),
    st.fixed_dictionaries(
        {"type": st.sampled_from(["image_url", "image", "file", "", None, "TEXT", "text "])},
        optional={"text": texts, "image_url": st.just({"url": "data:"})},
    ),
    st.fixed_dictionaries({}, optional={"text": texts}),
    texts,
    odd_values,
)

contents = st.one_of(texts, st.builds(PlainStr, texts), st.lists(parts, max_size=6), odd_values)

roles = st.sampled_from(["user", "assistant", "tool", "system", "", None, "?", 0, "Tool"])

messages = st.fixed_dictionaries(
    {},
    optional={
        "role": roles,
        "content": contents,
        "tool_result": st.one_of(texts, st.lists(parts, max_size=3), odd_values),
    },
)

bulky_messages = st.fixed_dictionaries(
    {"content": st.one_of(bulky_texts, st.lists(st.one_of(bulky_texts, parts), max_size=3))},
    optional={"role": roles, "tool_result": bulky_texts},
)

message_lists = st.one_of(
    # Many tool messages, so the tool_result rule is exercised often.
    st.lists(st.one_of(messages, st.builds(lambda m: {**m, "role": "tool"}, messages)), max_size=12),
    # Enough long bodies that the transcript bound is reached most of the time.
    st.lists(st.one_of(bulky_messages, messages, bulky_messages), min_size=4, max_size=10),
)

"""A compressor's own words and its choice on a failed LLM, with the official
OpenAI client against a loopback server that answers as the API does: the
prefix and note around the summary, no note at all, and on_llm_failure="keep"
leaving the conversation or list exactly as it was."""

import copy

import pytest

from context_compress import PLAIN_SUMMARY_PREFIX, Compressor, from_openai
from context_compress.texts import SUMMARY_NOTE, SUMMARY_PREFIX
from fake_server import LLM_SUMMARY, running_server

openai = pytest.importorskip("openai")

WINDOW = 2000


def stored(n=20):
    return {"id": "c", "messages": [
        {"role": "user" if i % 2 == 0 else "assistant", "content": f"message {i:02d} " + "x" * 389,
         "timestamp": f"2024-05-01T10:00:{i:02d}+00:00"} for i in range(n)]}


def plain(n=20):
    return [{k: v for k, v in m.items() if k != "timestamp"} for m in stored(n)["messages"]]


@pytest.fixture(scope="module")
def server():
    with running_server() as srv:
        yield srv


def compressor(server, mode, **options):
    client = openai.OpenAI(base_url=server.url(mode), api_key="sk-test", max_retries=0)
    return Compressor(from_openai(client, "test-model"), WINDOW, **options)


def summary_message(messages):
    [summary] = [m for m in messages if m["content"].startswith(("[", "Zusammenfassung"))
                 and "message" not in m["content"][:12]]
    return summary["content"]


@pytest.mark.parametrize("path", ["compress", "compress_messages"])
@pytest.mark.parametrize("prefix, note", [(None, "default"), ("Zusammenfassung: ", "\n\n(gekürzt)"),
                                          ("Zusammenfassung: ", None), (None, None)])
def test_the_summary_message_is_in_the_hosts_words(server, path, prefix, note):
    options = {} if prefix is None else {"summary_prefix": prefix}
    if note != "default":
        options["summary_note"] = note
    c = compressor(server, "ok", **options)
    if path == "compress":
        conv = stored()
        assert c.compress(conv).summary_source == "llm"
        messages = conv["messages"]
        default_prefix, default_note = SUMMARY_PREFIX, SUMMARY_NOTE
    else:
        result = c.compress_messages(plain())
        assert result.summary_source == "llm"
        messages = result.messages
        default_prefix, default_note = PLAIN_SUMMARY_PREFIX, ""
    expected_note = default_note if note == "default" else (note or "")
    assert summary_message(messages) == (prefix or default_prefix) + LLM_SUMMARY.strip() + expected_note


@pytest.mark.parametrize("mode", ["error", "empty", "length"])
def test_keep_leaves_a_conversation_and_a_list_as_they_were_when_the_llm_fails(server, mode):
    c = compressor(server, mode, on_llm_failure="keep")
    conv = stored()
    kept = copy.deepcopy(conv)
    result = c.compress(conv)
    assert not result.compressed and conv == kept and result.summary_source is None
    assert result.llm_error and result.reason.startswith(f"the LLM gave no summary ({result.llm_error})")
    assert result.reason.endswith("on_llm_failure='keep' leaves the conversation as it was")
    messages = plain()
    listed = c.compress_messages(messages)
    assert not listed.compressed and listed.messages is messages and listed.llm_error
    assert listed.reason.endswith("leaves the messages as they were")
    # The same failure with the default compresses into the extract.
    assert compressor(server, mode).compress(stored()).summary_source == "extract"


def test_keep_needs_an_llm_and_anything_else_is_refused():
    with pytest.raises(ValueError, match="needs an LLM"):
        Compressor(on_llm_failure="keep", use_llm=False)
    with pytest.raises(ValueError, match="on_llm_failure must be 'extract' or 'keep'"):
        Compressor(on_llm_failure="drop")
    with pytest.raises(TypeError, match="summary_note must be a str or None"):
        Compressor(summary_note=3)


def test_without_an_llm_the_extract_is_the_summary_by_choice(caplog, monkeypatch):
    asked = []
    monkeypatch.setitem(__import__("sys").modules, "routes.chat", None)
    c = Compressor(lambda m, cfg: asked.append(m) or "never", WINDOW, use_llm=False)
    result = c.compress(stored())
    assert (result.summary_source, result.llm_error, asked) == ("extract", None, [])
    assert not [r for r in caplog.records if "extract" in r.getMessage()]


@pytest.mark.parametrize("api", ["openai", "anthropic"])
def test_compress_on_a_running_loop_with_an_async_client_says_to_use_acompress(api):
    """The request is never sent, the conversation stays as it was, and no
    coroutine is left behind to warn that it was never awaited."""
    import asyncio
    import gc
    import warnings

    import anthropic

    from context_compress import from_anthropic

    llm = (from_openai(openai.AsyncOpenAI(base_url="http://127.0.0.1:9/v1", api_key="sk-x"), "m") if api == "openai"
           else from_anthropic(anthropic.AsyncAnthropic(base_url="http://127.0.0.1:9", api_key="sk-x"), "m"))
    compressor = Compressor(llm, WINDOW)

    async def main():
        conv = stored()
        kept = copy.deepcopy(conv)
        with pytest.raises(RuntimeError, match=r"use acompress\(\)"):
            compressor.compress(conv)
        return conv == kept

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert asyncio.run(main())
        gc.collect()
    assert [str(w.message) for w in caught if "never awaited" in str(w.message)] == []

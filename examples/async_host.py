"""How an asyncio host compresses its conversations without blocking its event loop.

`Compressor.acompress` runs the compression in a worker thread, so the loop
runs on while the summary is written. The host's LLM call may be a coroutine
function, as an async client's is: the worker hands it to the caller's loop
and waits for its answer there. A cancelled `acompress` leaves the
conversation exactly as it was, even if the LLM answers later.

    python examples/async_host.py [CONVERSATION.json]

compresses a stored conversation (the sample by default) with a stand-in for
the host's LLM call, and prints what happened.
"""

from __future__ import annotations

import asyncio
import json
import sys
from pathlib import Path
from typing import Any

from context_compress import CompressionResult, Compressor


async def ask_my_model(messages: list[dict[str, str]], cfg: dict[str, Any]) -> str:
    """The host's own async LLM call: `messages` is the summary request (a
    system and a user message), `cfg["max_tokens"]` is 2048. With
    `openai.AsyncOpenAI` it would be
    ``(await client.chat.completions.create(model=..., messages=messages,
    max_completion_tokens=cfg["max_tokens"])).choices[0].message.content``,
    or simply ``llm=context_compress.from_openai(AsyncOpenAI(), model)``."""
    await asyncio.sleep(0.1)  # the model at work; other tasks run meanwhile
    return f"(a summary written from {len(messages[1]['content']):,} characters)"


async def before_each_request(compressor: Compressor, conv: dict[str, Any]) -> CompressionResult:
    """What the host runs before it sends a conversation's window to its
    model. The conversation belongs to `acompress` until it returns."""
    result = await compressor.acompress(conv)
    if result.summary_source == "extract":
        # The LLM failed (the reason is logged too): the summary is the extract.
        print(f"the LLM gave no summary: {result.llm_error}", file=sys.stderr)
    if result.still_over:
        print(f"still over the threshold: {result.reason}", file=sys.stderr)
    return result


async def main(path: Path) -> None:
    conv = json.loads(path.read_text(encoding="utf-8"))
    compressor = Compressor(llm=ask_my_model, max_context=64_000)
    result = await before_each_request(compressor, conv)
    print(json.dumps({"compressed": result.compressed, "summary_source": result.summary_source,
                      "summary_facts": result.summary_facts, "reason": result.reason,
                      "messages": len(conv["messages"]), "cut_time": conv.get("cut_time")}))


if __name__ == "__main__":
    default = Path(__file__).resolve().parent / "sample_conversation.json"
    asyncio.run(main(Path(sys.argv[1]) if len(sys.argv) > 1 else default))

"""A host sending the window of a stored conversation to OpenAI, Anthropic or
Gemini with their official clients. `context_compress.window` builds each
request from `msgs_from_cut_time(conv)`: tool results whose call was
compressed away and calls whose results never came stay out, the summary goes
first, and only what the API knows is sent. The report says what stayed out.

    python examples/api_window.py [CONVERSATION.json]

compresses the conversation (the sample by default) with the built-in
extract, as the command does, and prints the size of each request and its
report; nothing is sent.
"""

import json
import logging
import sys
from pathlib import Path

from context_compress.window import for_anthropic, for_gemini, for_openai

log = logging.getLogger("host")


def send(client, api, m, conv, n=4096):
    """The answer of model `m` to the window of `conv`; `client` is the
    official client of `api`."""
    report = []
    if api == "openai":
        answer = client.chat.completions.create(model=m, **for_openai(conv, report))
    elif api == "anthropic":
        answer = client.messages.create(model=m, max_tokens=n, **for_anthropic(conv, report))
    else:
        answer = client.models.generate_content(model=m, **for_gemini(conv, report))
    for finding in report:
        log.warning("message %s left out or repaired: %s", finding["index"], finding["text"])
    return answer


def main(argv):
    from routes.context_compress import cut_and_sum_history

    from context_compress import chat

    path = Path(argv[1]) if len(argv) > 1 else Path(__file__).with_name("sample_conversation.json")
    conv = json.loads(path.read_text(encoding="utf-8"))
    with chat.blocked():
        cut_and_sum_history(conv)
    for build in (for_openai, for_anthropic, for_gemini):
        report = []
        request = build(conv, report)
        turns = request.get("messages") or request["contents"]
        print(f"{build.__name__}: {len(turns)} turns, {len(report)} left out or repaired")
        for finding in report:
            print(f"  message {finding['index']}: {finding['text']}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))

"""The command's compression of one conversation as it was before the command
was built on Compressor: the module called directly, with a recording chat
layer in routes.chat (and for --facts the fact-keeping texts bound in the
module, given the messages kept after the span as a Compressor gives them),
and the summary's source worked out by comparing texts. The `--json` fields
of tests/test_command_fields.py are compared against what this computes."""

import contextlib
import threading

import routes.context_compress as cc

from context_compress import chat, facts
from context_compress.cli.json_fields import Outcome
from context_compress.coverage import message_text, summary_covered
from context_compress.diagnosis import explain
from context_compress.texts import SUMMARY_NOTE, SUMMARY_PREFIX, THRESHOLD

SUMMARY_SHOWN = 160


class SummaryRequest:
    def __init__(self):
        self.calls, self.content, self.sent, self.error = 0, None, None, None


class Recorder:
    """The chat layer, recording what became of the module's request; once a
    server could not be reached, later requests fail at once."""

    def __init__(self, layer, redact):
        self.layer, self.redact, self.unreachable = layer, redact, None
        self._current = threading.local()

    def reset(self):
        self._current.request = SummaryRequest()
        return self._current.request

    def __call__(self, messages, cfg, stream=False):
        request = getattr(self._current, "request", None) or self.reset()
        request.calls += 1
        with contextlib.suppress(LookupError, TypeError):
            request.sent = str(messages[1]["content"])
        if self.unreachable is not None:
            request.error = f"not asked, since an earlier request of this run failed: {self.unreachable}"
            raise chat.ChatError(request.error)
        try:
            response = self.layer(messages, cfg, stream=stream)
        except chat.ServerUnreachable as exc:
            request.error = self.unreachable = str(exc)
            raise
        except Exception as exc:
            request.error = str(exc)
            raise
        try:
            content = response["choices"][0]["message"]["content"]
        except (KeyError, IndexError, TypeError):
            content = None
        if isinstance(content, str):
            request.content = self.redact.secrets_only(content)
        return response


def excerpt(text):
    flat = " ".join(text.split())
    return flat[:SUMMARY_SHOWN] + "…" if len(flat) > SUMMARY_SHOWN else flat


def summary_message(before_messages, conv):
    old_ids = {id(m) for m in before_messages}
    new_ids = {id(m) for m in conv["messages"]}
    span = [m for m in before_messages if id(m) not in new_ids]
    return next((m for m in conv["messages"] if id(m) not in old_ids), None), span


def fact_keeping(conv):
    """facts.install(), with the transcript and extract given the messages
    kept after the span, those after its last message, as a Compressor
    gives them: the module calls them with the span alone."""
    messages = conv["messages"]

    def later(span):
        ids = {id(m) for m in span}
        return messages[max((k for k, m in enumerate(messages) if id(m) in ids), default=-1) + 1:]

    return facts.Installed({"_msgs_to_text": lambda msgs: facts.transcript(msgs, later=later(msgs)),
                            "simple_extract": lambda msgs: facts.extract(msgs, later=later(msgs) if msgs else None)})


def compress(conv, max_context, recorder, redact, whole_span):
    """The old Runner.compress and observe: the outcome of compressing `conv`."""
    outcome = Outcome("conv.json")
    before_messages, before_cut = conv["messages"], conv.get("cut_time") or None
    request = recorder.reset() if recorder else None
    with chat.installed(recorder) if recorder else chat.blocked(), \
            fact_keeping(conv) if whole_span else contextlib.nullcontext():
        compressed, stats = cc.cut_and_sum_history(conv, {"max_context": max_context})
    if compressed:
        summary_msg, _ = summary_message(before_messages, conv)
        if summary_msg is not None and isinstance(summary_msg.get("content"), str):
            summary_msg["content"] = redact.secrets_only(summary_msg["content"])
    outcome.compressed = bool(compressed)
    outcome.stats = dict(stats)
    outcome.max_context = max_context
    outcome.messages_before, outcome.messages_after = len(before_messages), len(conv["messages"])
    outcome.cut_time_before, outcome.cut_time_after = before_cut, conv.get("cut_time") or None
    outcome.tokens_before = (stats["total_tokens"] if "total_tokens" in stats
                             else round(stats["rate"] * max_context) if "rate" in stats
                             else cc.estimate_tokens(cc.msgs_from_cut_time(conv)))
    if compressed:
        outcome.tokens_after = cc.estimate_tokens(cc.msgs_from_cut_time(conv))
        summary_msg, span = summary_message(before_messages, conv)
        content = summary_msg.get("content", "") if summary_msg else ""
        if content.startswith(SUMMARY_PREFIX) and content.endswith(SUMMARY_NOTE):
            content = content[len(SUMMARY_PREFIX):len(content) - len(SUMMARY_NOTE)]
        outcome.summary = content
        outcome.summary_start = excerpt(content)
        if request and request.content is not None and request.content.strip() == outcome.summary:
            outcome.summary_source = "llm"
        else:
            outcome.summary_source = "extract"
            if request and request.error is not None:
                outcome.llm_error = request.error
            elif request and request.calls:
                outcome.llm_error = "the answer had no summary text"
        seen_text = (request.sent or "") if outcome.summary_source == "llm" and request else outcome.summary
        seen, of = facts.seen(span, seen_text)
        outcome.summary_facts = {"seen": seen, "of": of}
        outcome.summary_covered = summary_covered(span, outcome.summary_source)
        if whole_span:
            labels = tuple({f"[{message_text(m)[0]}] " for m in span})
            labelled = sum(1 for line in seen_text.split("\n") if line.startswith(labels))
            outcome.summary_covered.update({"messages": min(labelled, len(span)), "chars": len(seen_text)})
    else:
        outcome.tokens_after = outcome.tokens_before
        reason = explain(conv, False, stats, max_context).reason or ""
        if "rate" in stats and "total_tokens" not in stats:
            reason = f"rate {stats['rate']:.3f} is over the {THRESHOLD} threshold, but {reason}"
        outcome.reason = reason
    outcome.over_threshold = outcome.tokens_after / max_context > THRESHOLD
    return outcome

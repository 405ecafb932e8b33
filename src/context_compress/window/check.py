"""The check of a stored conversation: what a request built from its window
would drop or repair for any of the three APIs (found by running the
conversions themselves), and what makes its compression unreliable."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import Any, TypedDict

from context_compress.window.anthropic import for_anthropic
from context_compress.window.gemini import for_gemini
from context_compress.window.openai import for_openai
from context_compress.window.turns import Finding, quote_id

#: The APIs as `check` names them: (key, name, conversion).
_APIS = (("openai", "OpenAI", for_openai), ("anthropic", "Anthropic", for_anthropic),
         ("gemini", "Gemini", for_gemini))


def check(conv: Mapping[str, Any]) -> list[Finding]:
    """What a request built from the window of `conv` (after the system
    messages the window leaves out, which go first) would drop or repair, and
    what makes its compression unreliable: a list of `Finding`, ordered by
    message, empty when nothing was found.

    From the window's point of view: every record any of the three
    conversions would report (``orphan_result``, ``unanswered_call``,
    ``invalid_call``, ``summary_in_tool_block``, ``unknown_role``,
    ``empty_turn``, ``dropped_part``, ``raw_arguments``, ``renamed_id``,
    ``moved_system``, ``opening_turn``, ``lone_surrogate``); one that only
    some of them would make names them in `apis` and at the start of its
    text. Over every stored message: ``timestamp_order``,
    ``missing_timestamp``, ``duplicate_call_id``, ``result_without_call``.
    Each record is a plain dict, so the list is JSON as it stands; `index`
    (never None here) counts from 0 in ``conv["messages"]``, `text` is one
    line without the index. A command prints one line per record, say
    ``f"message {index + 1}: {text}"`` (or one per `group_findings` record,
    when many messages share a finding), and exits 1 when the list is not
    empty, 0 when it is: an empty list means that each API gets the window
    with nothing dropped or repaired.
    """
    # The check runs the conversions themselves, so that it reports what
    # they do, not a copy of their rules that could fall behind them.
    concerns: dict[tuple, list[str]] = {}  # (kind, index, id, text, n-th such record) -> the APIs
    for key, _, build in _APIS:
        report: list[Finding] = []
        build(conv, report)
        counted: dict[tuple, int] = {}
        for f in report:
            record = (f["kind"], f["index"], f["tool_call_id"], f["text"])
            n = counted[record] = counted.get(record, 0) + 1
            concerns.setdefault((*record, n), []).append(key)
    names = {key: name for key, name, _ in _APIS}
    findings: list[Finding] = []
    for (kind, index, cid, text, _), apis in concerns.items():
        if len(apis) == len(_APIS):
            findings.append({"kind": kind, "index": index, "tool_call_id": cid, "text": text, "apis": None})
        else:
            findings.append({"kind": kind, "index": index, "tool_call_id": cid, "apis": apis,
                             "text": f"{' and '.join(names[api] for api in apis)}: {text}"})
    for f in _stored_findings(conv.get("messages") or ()):
        findings.append({**f, "apis": None})
    findings.sort(key=lambda f: -1 if f["index"] is None else f["index"])
    return findings


def _stored_findings(messages: Sequence[Mapping[str, Any]]) -> list[Finding]:
    findings: list[Finding] = []
    calls: dict = {}
    results = []
    previous = None
    for index, m in enumerate(messages):
        stamp = m.get("timestamp")
        role = m.get("role")
        if not stamp or not isinstance(stamp, str):
            # A system message the window leaves out still goes to the model, first.
            sent = ", and requests send it first" if role == "system" or role == "developer" else ""
            findings.append({"kind": "missing_timestamp", "index": index, "tool_call_id": None,
                             "text": f"no timestamp: the window leaves it out once a cut time is set{sent}"})
        else:
            if previous is not None and stamp < previous:
                findings.append({"kind": "timestamp_order", "index": index, "tool_call_id": None,
                                 "text": f"stamped {stamp}, before the message before it ({previous})"})
            previous = stamp
        if role == "tool":
            results.append((index, m.get("tool_call_id")))
        elif role == "assistant" and isinstance(stored := m.get("tool_calls"), (list, tuple)):
            for call in stored:
                cid = call.get("id") if isinstance(call, Mapping) else None
                if not isinstance(cid, str):
                    continue
                if cid in calls:
                    # Messages are named counting from 1, as the command's lines do.
                    findings.append({"kind": "duplicate_call_id", "index": index, "tool_call_id": cid,
                                     "text": f"tool call id {cid!r} is used by message {calls[cid] + 1} too"})
                else:
                    calls[cid] = index
    for index, cid in results:
        if not isinstance(cid, str) or cid not in calls:
            findings.append({"kind": "result_without_call", "index": index,
                             "tool_call_id": cid if isinstance(cid, str) else None,
                             "text": f"tool result {quote_id(cid)} answers no call of the file"})
    return findings


class FindingGroup(TypedDict):
    """Findings of `check` equal in all but their index, as one record.

    kind, tool_call_id, text, apis: those of each finding.
    count: how many findings.
    indexes: their indexes, one per finding, in the order of the findings
    (a message can hold one finding twice, as two equal images).
    """

    kind: str
    tool_call_id: str | None
    text: str
    apis: list[str] | None
    count: int
    indexes: list[int | None]


def group_findings(findings: Iterable[Finding]) -> list[FindingGroup]:
    """`findings` with those equal in all but `index` as one record, in the
    order of each group's first finding; every finding is in exactly one
    group, so nothing is lost. A file whose 240 messages have no stamp gives
    one group of 240, not 240 lines."""
    groups: dict[tuple, FindingGroup] = {}
    for f in findings:
        apis = f.get("apis")
        key = (f["kind"], f["tool_call_id"], f["text"], None if apis is None else tuple(apis))
        group = groups.get(key)
        if group is None:
            group = groups[key] = {"kind": f["kind"], "tool_call_id": f["tool_call_id"], "text": f["text"],
                                   "apis": None if apis is None else list(apis), "count": 0, "indexes": []}
        group["count"] += 1
        group["indexes"].append(f["index"])
    return list(groups.values())

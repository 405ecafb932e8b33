// Summarization: the extract's selection and the summary request.
#pragma once

#include "function.hpp"

/// The extract keeps the first three and the last five messages of a span;
/// spans of up to eight are rendered whole.
inline constexpr long kExtractHead = 3;
inline constexpr long kExtractTail = 5;
inline constexpr Py_ssize_t kExtractWhole = kExtractHead + kExtractTail;

/// The `max_tokens` the request puts into the chat configuration.
inline constexpr long kSummaryMaxTokens = 2048;

/// The statement lines of the summary request, within the function that runs
/// it (cut_and_sum_history): its traceback entries name them.
struct SummaryRequestLines {
    int import_chat;   // from routes.chat import _call_llm_api
    int transcript;    // text = _msgs_to_text(to_compress)
    int prompt;        // prompt_msgs = [{"role": "system", ...}, {"role": "user", "content": text}]
    int config;        // cfg = dict(llm_config or {})
    int max_tokens;    // cfg["max_tokens"] = 2048
    int call_chat;     // resp = _call_llm_api(prompt_msgs, cfg, stream=False)
    int choices;       // choices = (resp or {}).get("choices") or []
    int first_choice;  // if choices and choices[0].get("message", {}).get("content"):
    int strip;         // summary = choices[0]["message"]["content"].strip()
    int fallback;      // if not summary: summary = simple_extract(to_compress)
};

/// The summary text of `to_compress`: the host chat layer's answer, or the
/// extract when the chat layer is missing, fails or answers nothing usable.
/// Moves `frame` through `lines`. New reference; nullptr with an exception
/// set for what it does not absorb (BaseExceptions outside Exception,
/// failures of the extract).
Ref request_summary(Frame &frame, const SummaryRequestLines &lines, PyObject *to_compress, PyObject *llm_config);

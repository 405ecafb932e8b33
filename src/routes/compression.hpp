// Compression: the one routine behind cut_and_sum_history and every other door to it.
#pragma once

#include "summarization.hpp"

#include <initializer_list>
#include <utility>

using StatsEntry = std::pair<PyObject *, PyObject *>;

/// (compressed, {key: value, ...}) with the keys in the order given. New reference.
PyObject *outcome(bool compressed, std::initializer_list<StatsEntry> stats) noexcept;

/// The context window: `int(llm_config.get("max_context", 200000) or 200000)`
/// for a dict config, where any Exception gives 200000; then 200000 again for
/// a window of zero or less. New reference.
Ref read_window(Frame &frame, PyObject *llm_config) noexcept;

/// `max(max_context // 10, 1024)`. New reference.
Ref keep_budget_for(PyObject *max_context) noexcept;

/// The summary of `span` (request_summary; `later` is the list of the messages
/// kept after it, for the collaborators given), noted in `account` when given;
/// `kept` tells that the request failed and `with` would rather keep the
/// messages than compress them into the extract. New reference; nullptr with
/// an exception set.
Ref summarise_span(Frame &frame, PyObject *span, PyObject *later, PyObject *llm_config, const Collaborators &with,
                   SummaryAccount *account, bool &kept) noexcept;

/// Compresses `conv` when its active history is over the threshold, asking
/// `with` for the summary: the whole of cut_and_sum_history, whose body calls
/// it with the module's own collaborators. Names (get_conv_cut_time,
/// estimate_tokens, add_seconds_rfc3339) are looked up in `frame.globals`.
/// `account`, when given, learns what became of the summary request. Returns
/// the (compressed, stats) tuple, a new reference; nullptr with an exception
/// set, `conv` untouched.
PyObject *compress_history(Frame &frame, PyObject *conv, PyObject *llm_config, const Collaborators &with,
                           SummaryAccount *account) noexcept;

// Compression: the one routine behind cut_and_sum_history and every other door to it.
#pragma once

#include "summarization.hpp"

/// Compresses `conv` when its active history is over the threshold, asking
/// `with` for the summary: the whole of cut_and_sum_history, whose body calls
/// it with the module's own collaborators. Names (get_conv_cut_time,
/// estimate_tokens, add_seconds_rfc3339) are looked up in `frame.globals`.
/// `account`, when given, learns what became of the summary request. Returns
/// the (compressed, stats) tuple, a new reference; nullptr with an exception
/// set, `conv` untouched.
PyObject *compress_history(Frame &frame, PyObject *conv, PyObject *llm_config, const Collaborators &with,
                           SummaryAccount *account) noexcept;

// Plain message lists: compression without stamps or a cut time, for the host library.
#pragma once

#include "summarization.hpp"

/// The estimate of a plain list of messages, in any of the shapes the host
/// library takes (OpenAI's, with tool calls; Anthropic's, with tool blocks):
/// the module's per-message charge and content rules, and the texts of tool
/// calls, tool results and thinking that the module's estimate does not
/// read. New reference; nullptr with an exception set.
PyObject *list_tokens(PyObject *messages) noexcept;

/// Compresses a plain list of messages when its estimate is over the
/// threshold: the newest messages up to the keep budget are kept, from the
/// start of a turn, system messages are never compressed, and the rest is
/// replaced by a summary asked of `with`. Where roles must `alternate`
/// (Anthropic's), the kept messages start with an assistant message. Returns (compressed, stats), a new
/// reference; when compressed, `new_messages` is the new list (the system
/// messages as they were, the summary message, the kept messages). The host's
/// list is never changed. nullptr with an exception set on failure.
PyObject *compress_list(Frame &frame, PyObject *messages, PyObject *llm_config, const Collaborators &with,
                        bool alternate, SummaryAccount *account, Ref &new_messages) noexcept;

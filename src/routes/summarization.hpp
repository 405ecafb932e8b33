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

/// The summary text of `to_compress`: the host chat layer's answer, or the
/// extract when the chat layer is missing, fails or answers nothing usable.
/// Moves `frame` through the request's statement lines. New reference; nullptr with an exception
/// set for what it does not absorb (BaseExceptions outside Exception,
/// failures of the extract).
Ref request_summary(Frame &frame, PyObject *to_compress, PyObject *llm_config);

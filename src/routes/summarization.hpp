// Summarization: the summary request, which the compression makes.
#pragma once

#include "function.hpp"

/// The summary text of `to_compress`: the host chat layer's answer, or the
/// extract when the chat layer is missing, fails or answers nothing usable.
/// Moves `frame` through the request's statement lines. New reference; nullptr with an exception
/// set for what it does not absorb (BaseExceptions outside Exception,
/// failures of the extract).
Ref request_summary(Frame &frame, PyObject *to_compress, PyObject *llm_config);

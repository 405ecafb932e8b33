// The transcript of a message span: its bounds.
#pragma once

#include <Python.h>

/// A message body longer than this is cut to it and marked with "...".
inline constexpr Py_ssize_t kBodyBound = 2000;

/// A transcript longer than this is cut to it and marked with the omission marker.
inline constexpr Py_ssize_t kTranscriptBound = 8000;

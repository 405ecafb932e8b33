// The module's fixed numbers: bounds, budgets, shares and charges. Every unit
// takes them from here; src/context_compress/texts.py holds the same values,
// in the same order, for the Python side.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

/// A message body longer than this is cut to it and marked with "...".
inline constexpr Py_ssize_t kBodyBound = 2000;

/// A transcript longer than this is cut to it and marked with the omission marker.
inline constexpr Py_ssize_t kTranscriptBound = 8000;

/// The extract keeps the first three and the last five messages of a span;
/// spans of up to eight are rendered whole.
inline constexpr long kExtractHead = 3;
inline constexpr long kExtractTail = 5;
inline constexpr Py_ssize_t kExtractWhole = kExtractHead + kExtractTail;

/// Compression runs when the active history's estimate exceeds this share of
/// the window.
inline constexpr double kCompressThreshold = 0.8;

/// Context window when llm_config gives none (or a useless one).
inline constexpr long kDefaultWindow = 200000;

/// The kept tail's budget: a tenth of the window, at least 1024 tokens.
inline constexpr long kKeepBudgetFloor = 1024;
inline constexpr long kKeepBudgetShare = 10;

/// The `max_tokens` the summary request puts into the chat configuration.
inline constexpr long kSummaryMaxTokens = 2048;

/// Estimator charges: per message, per non-text content part (an image).
inline constexpr long long kPerMessageOverhead = 3;
inline constexpr long long kNonTextPart = 1500;

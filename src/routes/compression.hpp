// History compression: the window, threshold and keep-budget rules.
#pragma once

/// Context window when llm_config gives none (or a useless one).
inline constexpr long kDefaultWindow = 200000;

/// Compression runs when the active history's estimate exceeds this share of
/// the window.
inline constexpr double kCompressThreshold = 0.8;

/// The kept tail's budget: a tenth of the window, at least 1024 tokens.
inline constexpr long kKeepBudgetShare = 10;
inline constexpr long kKeepBudgetFloor = 1024;

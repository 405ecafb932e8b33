// Token estimation shared beyond its unit.
#pragma once

#include "ref.hpp"

/// The estimate of a str (exact or subclass) by its stored characters:
/// 1.5 tokens per ideograph, 0.25 per other character, rounded down. -1 with
/// an exception set when a signal handler raised during a long count.
int str_tokens(PyObject *text, long long &estimate) noexcept;

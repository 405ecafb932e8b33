// Traceback entries for the module's functions, and the per-call frame that names them.
#pragma once

#include "ref.hpp"

/// The source unit every traceback entry of this module names.
inline constexpr const char kSourceFile[] = "routes/context_compress";

/// Where a call of a module function stands: the namespace it resolves names
/// in and the source line of the statement it is executing. The body moves
/// `line` forward before each statement that can fail; the caller turns it into
/// the traceback entry when the body fails.
struct Frame {
    PyObject *globals;  // borrowed: the function object being called keeps it alive
    int line;
};

/// Prepends the entry `name` at `line` (frame globals `globals`) to the
/// traceback of the pending exception. The pending exception is never
/// replaced: when the entry itself cannot be made, it is simply left out.
void add_traceback(const char *name, int line, PyObject *globals) noexcept;

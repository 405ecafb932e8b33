// The module namespace: its imports and the nine functions.
#pragma once

#include "function.hpp"

/// `import NAME` at module level, binding NAME in `ns`. -1 with an exception set.
int import_and_bind(PyObject *ns, PyObject *name);

/// `from datetime import datetime, timezone`, binding both names in `ns`.
/// -1 with an exception set.
int import_datetime_names(PyObject *ns);

/// Creates the nine functions in `ns`, in source order, each resolving names
/// in `ns`. `line` follows the def line of the function being made, for the
/// traceback entry of a failure. -1 with an exception set.
int add_functions(PyObject *ns, int &line) noexcept;

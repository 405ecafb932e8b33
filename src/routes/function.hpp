// The function-object type of the module's nine functions (attributes, argument binding,
// calls) and the lookup of names in the module namespace at call time.
#pragma once

#include "errors.hpp"
#include "constants.hpp"

#include <cstdint>

/// A function body: receives its bound parameters (borrowed, `nparams` of them,
/// a missing default already filled in) and returns a new reference, or
/// nullptr with an exception set and `frame.line` at the failing statement.
using Body = PyObject *(*)(PyObject *const *params, Frame &frame);

// Four for the host library's door to the compression (engine.cpp).
inline constexpr int kMaxParams = 4;

/// One row of the function table.
struct FunctionSpec {
    const char *name;
    const char *entry_name;  // "routes.context_compress." + name: its traceback entries
    const char *doc;
    int nparams;
    int nrequired;
    int def_line;
    PyObject *Constants::*params[kMaxParams];  // interned parameter names
    Body body;
};

/// Readies the function type; idempotent. -1 with an exception on failure.
int function_type_ready() noexcept;

/// A new function object for `spec`, running in the namespace `globals`, with
/// `defaults` (None or a tuple, borrowed) as its __defaults__. New reference.
PyObject *function_new(const FunctionSpec &spec, PyObject *globals, PyObject *defaults) noexcept;

/// True when `callable` is the module function whose body is `body`: callers
/// may then run the body's native core directly, since nothing was rebound.
bool is_native_function(PyObject *callable, Body body) noexcept;

/// Looks `name` up in the module namespace, then in the builtins; NameError
/// when neither has it. New reference.
/// `in_namespace`, when given, tells whether the namespace itself had it.
Ref lookup_global(const Frame &frame, PyObject *name, bool *in_namespace = nullptr) noexcept;

/// `name.attr`, `name` looked up as lookup_global does. New reference.
Ref global_attribute(const Frame &frame, PyObject *name, PyObject *attr) noexcept;

/// The binding of one name in the module namespace during a walk, as a
/// fresh lookup would give it at every get(), found the cheap way: through
/// the position of the name's entry in the namespace, learnt at the first
/// lookup and checked against the entry's key each time.
class CachedGlobal {
public:
    CachedGlobal(const Frame &frame, PyObject *name) noexcept : frame_(frame), name_(name) {}

    /// The current binding, borrowed until the next get(); nullptr with
    /// NameError when there is none.
    PyObject *get() noexcept;

private:
    const Frame &frame_;
    PyObject *name_;          // interned, as the namespace's own key is
    Ref value_;               // keeps the binding alive while a caller uses it
    Py_ssize_t position_ = -1;  // where the name's entry was; -1: unknown
    bool searched_ = false;
};

/// Calls the namespace's current binding of `name` with positional `args`.
Ref call_global(const Frame &frame, PyObject *name, PyObject *const *args, size_t nargs) noexcept;

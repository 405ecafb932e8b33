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

inline constexpr int kMaxParams = 2;

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

/// Starts watching `ns` (the module namespace) for changes, so that walks can
/// keep a lookup while it stands. Without a free watcher slot nothing is
/// watched and every lookup is made anew. Never fails.
void watch_namespace(PyObject *ns) noexcept;

/// The binding of one name in the module namespace during a walk: looked up
/// at the first get(), and again only once the namespace has changed (or at
/// every get() when it is not watched, or when the name came from the
/// builtins). Each get() therefore answers as a fresh lookup would.
class CachedGlobal {
public:
    CachedGlobal(const Frame &frame, PyObject *name) noexcept : frame_(frame), name_(name) {}

    /// The current binding, borrowed until the next get(); nullptr with
    /// NameError when there is none.
    PyObject *get() noexcept;

private:
    const Frame &frame_;
    PyObject *name_;
    Ref value_;
    uint64_t version_ = 0;  // namespace version of value_; 0: look up again
};

/// Calls the namespace's current binding of `name` with positional `args`.
Ref call_global(const Frame &frame, PyObject *name, PyObject *const *args, size_t nargs) noexcept;

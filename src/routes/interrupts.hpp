// Where and when the module honours Ctrl-C: the signal checks of its walks and
// of its long counts, and the rule that places them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>

// The rule: the module's own loops run no Python code between their items,
// so the interpreter would run no signal handler until they end; an endless
// iterator, or a text of a gigabyte, would then hold Ctrl-C for ever. Every
// such loop therefore looks for a pending signal itself, here and nowhere
// else, often enough that Ctrl-C lands within a fraction of a millisecond,
// and seldom enough that the look costs nothing measurable:
//  - a walk over items the caller controls (SignalCheckpoint) looks once per
//    kSignalCheckInterval items, and at its next item after a long step (a
//    comparison that may have read far into two texts, note_text_scan);
//  - a count over one long text (count_in_blocks) looks between blocks of
//    kCountBlock code units.
// A check runs the handlers (PyErr_CheckSignals); one that raises, as
// Ctrl-C's does with KeyboardInterrupt, makes the loop return -1 with that
// exception set, like any other error.

/// Set when a step of a walk may have read far into two texts (comparing
/// distinct strings that share a long prefix reads all of it), so that the
/// walk's next checkpoint looks for a signal at once rather than at the end
/// of its block of items: a Ctrl-C then waits for one such step, not for a
/// block of them. Module code only runs with the interpreter lock held, so
/// one flag serves every thread; a flag taken by another thread's walk only
/// costs that walk one early check.
inline bool g_long_step = false;

/// Bytes a comparison may read before it counts as a long step.
inline constexpr Py_ssize_t kLongStepBytes = Py_ssize_t{1} << 20;

/// Notes a comparison of two strs that may read up to the shorter one's end.
inline void note_text_scan(PyObject *a, PyObject *b) noexcept {
    const Py_ssize_t shorter = std::min(PyUnicode_GET_LENGTH(a), PyUnicode_GET_LENGTH(b));
    if (shorter > kLongStepBytes / 4 && shorter * std::max(PyUnicode_KIND(a), PyUnicode_KIND(b)) > kLongStepBytes) {
        g_long_step = true;
    }
}

/// Walks over sequences the caller controls (an endless iterator included)
/// look for a pending signal once per this many items, so that Ctrl-C lands
/// within a fraction of a millisecond without a check per item.
inline constexpr unsigned kSignalCheckInterval = 64;

/// Counts the items of one walk and runs the signal handlers at each full
/// block, and after any long step. -1 with the handler's exception set when
/// one raised.
class SignalCheckpoint {
public:
    int passed() noexcept {
        if (++since_check_ < kSignalCheckInterval && !g_long_step) {
            return 0;
        }
        since_check_ = 0;
        g_long_step = false;
        return PyErr_CheckSignals();
    }

private:
    unsigned since_check_ = 0;
};

/// Texts longer than this are counted a block at a time, with a signal check
/// between blocks: a block takes well under a millisecond.
inline constexpr size_t kCountBlock = size_t{1} << 20;

/// The sum of `count(chars, n)` over the `length` units at `chars`, a block
/// at a time with a signal check between blocks; -1 with the handler's
/// exception set when one raised.
template <class Unit, class Count>
Py_ssize_t count_in_blocks(const Unit *chars, size_t length, Count count) {
    size_t total = 0;
    while (length > kCountBlock) {
        total += count(chars, kCountBlock);
        chars += kCountBlock;
        length -= kCountBlock;
        if (PyErr_CheckSignals() < 0) {
            return -1;
        }
    }
    return static_cast<Py_ssize_t>(total + count(chars, length));
}

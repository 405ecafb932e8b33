// History compression: measure, keep the newest tail, summarise the span, rewrite the conversation.
#include "bodies.hpp"
#include "lines.hpp"
#include "compression.hpp"
#include "records.hpp"

#include <initializer_list>
#include <utility>

PyObject *outcome(bool compressed, std::initializer_list<StatsEntry> stats) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    for (const StatsEntry &entry : stats) {
        if (PyDict_SetItem(dict.get(), entry.first, entry.second) < 0) {
            return nullptr;
        }
    }
    return PyTuple_Pack(2, compressed ? Py_True : Py_False, dict.get());
}

namespace {

namespace line = compression_line;

/// `message.get("timestamp") or ""`.
Ref stamp_of(PyObject *message) { return record_get_or_empty(message, kc.timestamp); }

/// `bool(conv) and bool(conv.get("messages"))`: 1, 0 or -1.
int has_history(PyObject *conv) {
    const int has_conv = truthy(conv);
    if (has_conv <= 0) {
        return has_conv;
    }
    return truthy(record_get(conv, kc.messages));
}

/// `cut <= stamp < new_cut_time`, with Python's short-circuit: 1, 0 or -1.
int in_span(PyObject *stamp, PyObject *cut, PyObject *new_cut_time) {
    const int from_cut = compare(stamp, cut, Py_GE);
    if (from_cut <= 0) {
        return from_cut;
    }
    return compare(stamp, new_cut_time, Py_LT);
}

/// `int(llm_config.get("max_context", 200000) or 200000)`.
Ref configured_window(PyObject *llm_config) {
    Ref raw = record_get(llm_config, kc.max_context, kc.default_window);
    if (!raw) {
        return raw;
    }
    const int present = truthy(raw.get());
    if (present < 0) {
        return Ref();
    }
    return Ref::steal(PyNumber_Long(present ? raw.get() : kc.default_window));
}

}  // namespace

Ref read_window(Frame &frame, PyObject *llm_config) noexcept {
    frame.line = line::kWindowType;
    const int is_dict = is_instance(llm_config, &PyDict_Type);
    if (is_dict < 0) {
        return Ref();
    }
    Ref window = Ref::borrow(kc.default_window);
    if (is_dict) {
        frame.line = line::kWindowRead;
        Ref converted = configured_window(llm_config);
        if (converted) {
            window = std::move(converted);
        } else if (PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();
        } else {
            return Ref();
        }
    }
    frame.line = line::kWindowFloor;
    const int not_positive = compare(window.get(), kc.zero, Py_LE);
    if (not_positive < 0) {
        return Ref();
    }
    return not_positive ? Ref::borrow(kc.default_window) : std::move(window);
}

Ref keep_budget_for(PyObject *max_context) noexcept {
    Ref tenth = Ref::steal(PyNumber_FloorDivide(max_context, kc.keep_budget_share));
    if (!tenth) {
        return tenth;
    }
    const int floor_wins = compare(kc.keep_budget_floor, tenth.get(), Py_GT);
    if (floor_wins < 0) {
        return Ref();
    }
    return floor_wins ? Ref::borrow(kc.keep_budget_floor) : std::move(tenth);
}

namespace {

/// A new list filled by `visit(message, list)` for each message of `conv`,
/// in order; `visit` returns 1 to go on, -1 on error.
template <class Visit>
Ref collect(PyObject *conv, Visit &&visit) {
    Ref collected = Ref::steal(PyList_New(0));
    if (!collected) {
        return collected;
    }
    Ref messages = record_get(conv, kc.messages);
    if (!messages) {
        return messages;
    }
    const int walked = for_each(messages.get(), [&](PyObject *message) { return visit(message, collected.get()); });
    return walked < 0 ? Ref() : std::move(collected);
}

/// The messages of `conv` that `keep(message)` accepts (1, 0 or -1), in order.
template <class Keep>
Ref select_messages(PyObject *conv, Keep &&keep) {
    return collect(conv, [&](PyObject *message, PyObject *selected) {
        const int accepted = keep(message);
        if (accepted <= 0) {
            return accepted < 0 ? -1 : 1;
        }
        return PyList_Append(selected, message) < 0 ? -1 : 1;
    });
}

/// The active history: every message when `cut` is falsy, else those stamped
/// at or after it. `newest_active` learns whether the last message is among them.
Ref select_active(Frame &frame, PyObject *conv, PyObject *cut, bool &newest_active, const Collaborators &with) {
    frame.line = line::kActive;
    return select_messages(conv, [&](PyObject *message) {
        const int has_cut = truthy(cut);
        if (has_cut <= 0) {
            newest_active = has_cut == 0;
            return has_cut < 0 ? -1 : 1;
        }
        Ref stamp = stamp_of(message);
        int active = stamp ? compare(stamp.get(), cut, Py_GE) : -1;
        newest_active = active == 1;
        if (active == 0) {
            // A system message is in force wherever it is stamped.
            active = held_back(with, message);
        }
        return active;
    });
}

/// 1 when `message` is compressed: stamped from `cut` up to `new_cut_time`,
/// and not held back. 0 if not, -1 on error.
int compressed_away(const Collaborators &with, PyObject *message, PyObject *stamp, PyObject *cut,
                    PyObject *new_cut_time) {
    const int spanned = in_span(stamp, cut, new_cut_time);
    if (spanned <= 0) {
        return spanned;
    }
    const int held = held_back(with, message);
    return held < 0 ? -1 : !held;
}

/// The span to compress: the messages stamped from `cut` up to `new_cut_time`.
Ref select_span(Frame &frame, PyObject *conv, PyObject *cut, PyObject *new_cut_time, const Collaborators &with) {
    frame.line = line::kSpan;
    return select_messages(conv, [&](PyObject *message) {
        Ref stamp = stamp_of(message);
        return stamp ? compressed_away(with, message, stamp.get(), cut, new_cut_time) : -1;
    });
}

/// The newest messages of `active`, in list order, until their one-by-one
/// estimates reach `keep_budget`; all of `active` when they never do.
Ref kept_tail(Frame &frame, PyObject *active, PyObject *keep_budget, const Collaborators &with) {
    frame.line = line::kWalk;
    Ref kept = Ref::steal(PyList_New(0));
    if (!kept) {
        return kept;
    }
    Ref kept_tokens = Ref::borrow(kc.zero);
    // `active` went to estimate_tokens, which the host may have rebound to
    // code that keeps and changes it: walk it as reversed() does, checking
    // the index against the current length at every step.
    SignalCheckpoint checkpoint;
    for (Py_ssize_t i = PyList_GET_SIZE(active) - 1; i >= 0 && i < PyList_GET_SIZE(active); --i) {
        PyObject *message = PyList_GET_ITEM(active, i);
        const int held = held_back(with, message);
        if (held != 0) {
            // Neither kept nor compressed: it stays where it is.
            if (held < 0) {
                return Ref();
            }
            continue;
        }
        if (PyList_Append(kept.get(), message) < 0) {
            return Ref();
        }
        frame.line = line::kWalkEstimate;
        Ref single = Ref::steal(PyList_New(1));
        if (!single) {
            return Ref();
        }
        PyList_SET_ITEM(single.get(), 0, Py_NewRef(message));
        PyObject *argv[1] = {single.get()};
        Ref estimate = call_global(frame, kc.fn_estimate_tokens, argv, 1);
        if (!estimate) {
            return Ref();
        }
        kept_tokens = Ref::steal(PyNumber_InPlaceAdd(kept_tokens.get(), estimate.get()));
        if (!kept_tokens) {
            return Ref();
        }
        frame.line = line::kWalkCompare;
        const int reached = compare(kept_tokens.get(), keep_budget, Py_GE);
        if (reached < 0) {
            return Ref();
        }
        if (reached) {
            break;
        }
        if (checkpoint.passed() < 0) {
            return Ref();
        }
    }
    frame.line = line::kReverse;
    if (PyList_Reverse(kept.get()) < 0) {
        return Ref();
    }
    return kept;
}

/// `prefix + summary + note` in a new summary message stamped `summary_ts`.
Ref summary_message(const Collaborators &with, PyObject *summary, PyObject *summary_ts) {
    Ref message = summary_user_message(with, summary);
    if (!message || PyDict_SetItem(message.get(), kc.timestamp, summary_ts) < 0) {
        return Ref();
    }
    return message;
}

/// `add_seconds_rfc3339(new_cut_time, 1)`, but never sorting before the new
/// cut time.
Ref summary_stamp(Frame &frame, PyObject *new_cut_time) {
    frame.line = line::kSummaryTs;
    PyObject *shift_args[2] = {new_cut_time, kc.one};
    Ref summary_ts = call_global(frame, kc.fn_add_seconds_rfc3339, shift_args, 2);
    if (!summary_ts) {
        return summary_ts;
    }
    // Stamps order as text. A stamp with another offset than UTC (or none, on
    // a host outside UTC) can sort after its own UTC rendering one second
    // later; the summary would then land before the new cut, outside the
    // window. Stamping it with the new cut time keeps it in front of the kept
    // tail and inside the window.
    frame.line = line::kSummaryTsOrder;
    if (!PyUnicode_Check(summary_ts.get()) || !PyUnicode_Check(new_cut_time)) {
        return summary_ts;
    }
    const int earlier = compare(summary_ts.get(), new_cut_time, Py_LT);
    if (earlier < 0) {
        return Ref();
    }
    return earlier ? Ref::borrow(new_cut_time) : std::move(summary_ts);
}

/// The rewritten message list: the span left out, the summary message placed
/// before the first survivor stamped at or after it (or at the end).
Ref rewrite(Frame &frame, PyObject *conv, PyObject *cut, PyObject *new_cut_time, PyObject *summary_ts,
            PyObject *summary_msg, const Collaborators &with) {
    frame.line = line::kRewrite;
    bool inserted = false;
    Ref new_msgs = collect(conv, [&](PyObject *message, PyObject *kept) {
        frame.line = line::kRewriteStamp;
        Ref stamp = stamp_of(message);
        if (!stamp) {
            return -1;
        }
        frame.line = line::kRewriteSkip;
        const int compressed = compressed_away(with, message, stamp.get(), cut, new_cut_time);
        if (compressed != 0) {
            return compressed < 0 ? -1 : 1;
        }
        if (!inserted) {
            frame.line = line::kRewritePlace;
            const int place = compare(stamp.get(), summary_ts, Py_GE);
            if (place < 0) {
                return -1;
            }
            if (place) {
                if (PyList_Append(kept, summary_msg) < 0) {
                    return -1;
                }
                inserted = true;
            }
        }
        frame.line = line::kRewriteKeep;
        return PyList_Append(kept, message) < 0 ? -1 : 1;
    });
    if (!new_msgs) {
        return new_msgs;
    }
    if (!inserted) {
        frame.line = line::kRewriteTail;
        if (PyList_Append(new_msgs.get(), summary_msg) < 0) {
            return Ref();
        }
    }
    return new_msgs;
}

/// (True, stats) of a compression.
Ref compressed_outcome(PyObject *rate, PyObject *total_tokens, PyObject *max_context, PyObject *kept,
                       PyObject *to_compress, PyObject *new_cut_time) {
    Ref kept_count = Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(kept)));
    if (!kept_count) {
        return kept_count;
    }
    Ref compressed_count = Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(to_compress)));
    if (!compressed_count) {
        return compressed_count;
    }
    return Ref::steal(outcome(true, {{kc.s_rate, rate},
                                     {kc.s_total_tokens, total_tokens},
                                     {kc.max_context, max_context},
                                     {kc.s_kept, kept_count.get()},
                                     {kc.s_compressed, compressed_count.get()},
                                     {kc.s_new_cut_time, new_cut_time}}));
}

/// What a conversation held under one key before the final stores.
struct Stored {
    PyObject *key;  // an interned constant
    Ref value;      // empty when the key was absent
};

// The rollback of a failed store leaves every mapping in a state its own
// methods accept, holding what it held. A dict, exact or subclass, is read
// from and written to through the C type that its instances are laid out
// by: the nearest class in its line of bases that is not a Python class
// (dict, defaultdict, OrderedDict, ...). That type's own code keeps whatever
// structure it has beside the storage (OrderedDict's order list), while no
// Python override runs again: a __setitem__ that just failed, a __missing__
// that answers for an absent key. Any other mapping (UserDict, ChainMap, a
// host's MutableMapping) keeps its state where only its own methods reach,
// so they alone read and write it.

/// True for a class made by a class statement (or type()): all of them, and
/// nothing written in C, free their instances with the same function.
bool is_python_class(PyTypeObject *type) {
    return type->tp_dealloc == reinterpret_cast<PyTypeObject *>(kc.python_class)->tp_dealloc;
}

/// The item assignment (and deletion, with a null value) of the C type that
/// lays out `dict`, a dict or a subclass of it.
objobjargproc layout_assignment(PyObject *dict) {
    PyTypeObject *type = Py_TYPE(dict);
    while (is_python_class(type) && type->tp_base != nullptr) {
        type = type->tp_base;
    }
    return type->tp_as_mapping != nullptr ? type->tp_as_mapping->mp_ass_subscript : nullptr;
}

/// Reads what `conv` stores under `key`, to put it back if a store fails:
/// a dict's own storage (a subclass's __getitem__ may answer with a copy,
/// or with a value it makes up for a missing key), or `key in conv` and then
/// `conv[key]` for another mapping. -1 with an exception set.
int read_stored(PyObject *conv, Stored &stored) {
    PyObject *value = nullptr;
    if (PyDict_Check(conv)) {
        const int found = PyDict_GetItemRef(conv, stored.key, &value);
        stored.value = Ref::steal(value);
        return found < 0 ? -1 : 0;
    }
    const int present = PySequence_Contains(conv, stored.key);
    if (present <= 0) {
        return present;
    }
    stored.value = Ref::steal(PyObject_GetItem(conv, stored.key));
    return stored.value ? 0 : -1;
}

/// Puts one key back as `stored` says, deleting it if it was absent. A dict
/// is written by its layout's own C code (see above); another mapping only
/// has its own __setitem__ and __delitem__, which may fail or be interrupted
/// again, so each key gets a second try. What still fails is dropped, since
/// the caller's exception is the one to report.
void restore(PyObject *conv, const Stored &stored) {
    const objobjargproc assign = PyDict_Check(conv) ? layout_assignment(conv) : nullptr;
    for (int attempt = 0; attempt < 2; ++attempt) {
        int done;
        if (assign != nullptr) {
            done = assign(conv, stored.key, stored.value.get());
        } else if (stored.value) {
            done = PyObject_SetItem(conv, stored.key, stored.value.get());
        } else {
            done = PyObject_DelItem(conv, stored.key);
        }
        if (done == 0) {
            return;
        }
        // Deleting a key that the failed store never added raises KeyError:
        // the key is absent, as it should be.
        bool absent = !stored.value && PyErr_ExceptionMatches(PyExc_KeyError);
        PyErr_Clear();
        if (absent) {
            return;
        }
    }
}

/// `conv["messages"] = new_msgs; conv["cut_time"] = new_cut_time`, all or
/// nothing. A host mapping may store and then raise (a save that fails, a
/// Ctrl-C landing just after the store), so a raising store is not taken to
/// have stored nothing: on any failure both keys written so far get back
/// what they held, and the store's exception propagates.
int store_rewrite(Frame &frame, PyObject *conv, PyObject *new_msgs, PyObject *new_cut_time) {
    frame.line = line::kStoreMessages;
    Stored old_messages{kc.messages, Ref()};
    Stored old_cut_time{kc.cut_time, Ref()};
    if (read_stored(conv, old_messages) < 0 || read_stored(conv, old_cut_time) < 0) {
        return -1;
    }
    int stored_keys = 0;
    if (PyObject_SetItem(conv, kc.messages, new_msgs) == 0) {
        stored_keys = 1;
        frame.line = line::kStoreCut;
        if (PyObject_SetItem(conv, kc.cut_time, new_cut_time) == 0) {
            return 0;
        }
    }
    PyObject *pending = PyErr_GetRaisedException();
    restore(conv, old_messages);
    if (stored_keys == 1) {
        restore(conv, old_cut_time);
    }
    PyErr_SetRaisedException(pending);
    return -1;
}

/// What decides whether a conversation is compressed.
struct Measure {
    Ref max_context;
    Ref cut;
    Ref active;
    bool newest_active = false;  // the conversation's last message is in `active`
    Ref total_tokens;
    Ref rate;
};

/// Reads the window and the active history and measures it. 1 when the
/// history is over the threshold (`measure` filled), 0 when it is not
/// (`result` holds the outcome to return), -1 with an exception set.
int measure_history(Frame &frame, PyObject *conv, PyObject *llm_config, const Collaborators &with, Measure &measure,
                    Ref &result) {
    frame.line = line::kGuard;
    const int history = has_history(conv);
    if (history <= 0) {
        result = history < 0 ? Ref() : Ref::steal(outcome(false, {}));
        return result ? 0 : -1;
    }
    measure.max_context = read_window(frame, llm_config);
    if (!measure.max_context) {
        return -1;
    }
    frame.line = line::kCut;
    measure.cut = call_global(frame, kc.fn_get_conv_cut_time, &conv, 1);
    if (!measure.cut) {
        return -1;
    }
    measure.active = select_active(frame, conv, measure.cut.get(), measure.newest_active, with);
    if (!measure.active) {
        return -1;
    }
    frame.line = line::kNoActive;
    if (PyList_GET_SIZE(measure.active.get()) == 0) {
        result = Ref::steal(outcome(false, {}));
        return result ? 0 : -1;
    }
    frame.line = line::kTotal;
    PyObject *active_arg[1] = {measure.active.get()};
    measure.total_tokens = call_global(frame, kc.fn_estimate_tokens, active_arg, 1);
    if (!measure.total_tokens) {
        return -1;
    }
    frame.line = line::kRate;
    measure.rate = Ref::steal(PyNumber_TrueDivide(measure.total_tokens.get(), measure.max_context.get()));
    if (!measure.rate) {
        return -1;
    }
    frame.line = line::kThreshold;
    const int below = compare(measure.rate.get(), kc.threshold, Py_LE);
    if (below <= 0) {
        return below < 0 ? -1 : 1;
    }
    frame.line = line::kBelowThreshold;
    result = Ref::steal(outcome(false, {{kc.s_rate, measure.rate.get()},
                                        {kc.s_total_tokens, measure.total_tokens.get()},
                                        {kc.max_context, measure.max_context.get()}}));
    return result ? 0 : -1;
}

/// Compresses a conversation measured over the threshold: keeps the newest
/// tail, summarises the span before it and stores the rewritten history.
PyObject *compress(Frame &frame, PyObject *conv, PyObject *llm_config, const Measure &measure,
                   const Collaborators &with, SummaryAccount *account) {
    PyObject *cut = measure.cut.get();
    frame.line = line::kBudget;
    Ref keep_budget = keep_budget_for(measure.max_context.get());
    if (!keep_budget) {
        return nullptr;
    }
    Ref kept = kept_tail(frame, measure.active.get(), keep_budget.get(), with);
    if (!kept) {
        return nullptr;
    }
    frame.line = line::kNewCut;
    if (PyList_GET_SIZE(kept.get()) == 0 && with.keep_system) {
        // Nothing but system messages is active: none of them is compressed.
        frame.line = line::kNoSpan;
        return outcome(false, {{kc.s_rate, measure.rate.get()}});
    }
    if (PyList_GET_SIZE(kept.get()) == 0) {
        // kept[0] of an empty tail: only a rebound estimate_tokens that
        // emptied `active` gets here.
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    Ref new_cut_time = stamp_of(PyList_GET_ITEM(kept.get(), 0));
    if (!new_cut_time) {
        return nullptr;
    }
    const int has_new_cut = truthy(new_cut_time.get());
    if (has_new_cut < 0) {
        return nullptr;
    }
    if (!has_new_cut) {
        frame.line = line::kNoNewCut;
        return outcome(false, {{kc.s_rate, measure.rate.get()}});
    }
    Ref to_compress = select_span(frame, conv, cut, new_cut_time.get(), with);
    if (!to_compress) {
        return nullptr;
    }
    if (PyList_GET_SIZE(to_compress.get()) == 0) {
        frame.line = line::kNoSpan;
        return outcome(false, {{kc.s_rate, measure.rate.get()}});
    }

    bool unchanged = false;
    Ref summary = summarise_span(frame, to_compress.get(), kept.get(), llm_config, with, account, unchanged);
    if (!summary) {
        return nullptr;
    }
    if (unchanged) {
        frame.line = line::kBelowThreshold;
        return outcome(false, {{kc.s_rate, measure.rate.get()},
                               {kc.s_total_tokens, measure.total_tokens.get()},
                               {kc.max_context, measure.max_context.get()}});
    }
    Ref summary_ts = summary_stamp(frame, new_cut_time.get());
    if (!summary_ts) {
        return nullptr;
    }
    frame.line = line::kSummaryMessage;
    Ref summary_msg = summary_message(with, summary.get(), summary_ts.get());
    if (!summary_msg) {
        return nullptr;
    }
    Ref new_msgs = rewrite(frame, conv, cut, new_cut_time.get(), summary_ts.get(), summary_msg.get(), with);
    if (!new_msgs) {
        return nullptr;
    }

    // Everything the result needs exists before the conversation is touched,
    // so nothing can fail between the two stores but the stores themselves.
    frame.line = line::kResult;
    Ref result = compressed_outcome(measure.rate.get(), measure.total_tokens.get(), measure.max_context.get(),
                                    kept.get(), to_compress.get(), new_cut_time.get());
    if (!result || store_rewrite(frame, conv, new_msgs.get(), new_cut_time.get()) < 0) {
        return nullptr;
    }
    frame.line = line::kResult;
    return result.release();
}

}  // namespace

Ref summarise_span(Frame &frame, PyObject *span, PyObject *later, PyObject *llm_config, const Collaborators &with,
                   SummaryAccount *account, bool &kept) noexcept {
    // The module's collaborators are called with the span alone.
    Ref summary = request_summary(frame, span, with.transcript != nullptr ? later : nullptr, llm_config, with, account);
    if (!summary) {
        return summary;
    }
    if (account != nullptr) {
        account->span = Ref::borrow(span);
        account->summary = Ref::borrow(summary.get());
    }
    // No summary, and the host would rather keep the messages than have them
    // replaced by the extract: nothing is written.
    kept = with.keep_on_failure && !(account != nullptr && account->answered);
    return summary;
}

PyObject *compress_history(Frame &frame, PyObject *conv, PyObject *llm_config, const Collaborators &with,
                           SummaryAccount *account) noexcept {
    Measure measure;
    Ref result;
    const int over = measure_history(frame, conv, llm_config, with, measure, result);
    if (account != nullptr) {
        account->newest_outside = measure.cut && !measure.newest_active;
    }
    if (over <= 0) {
        return over < 0 ? nullptr : result.release();
    }
    return compress(frame, conv, llm_config, measure, with, account);
}

PyObject *cut_and_sum_history_body(PyObject *const *params, Frame &frame) {
    return compress_history(frame, params[0], params[1], module_collaborators(), nullptr);
}

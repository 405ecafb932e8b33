// History compression: measure, keep the newest tail, summarise the span, rewrite the conversation.
#include "bodies.hpp"
#include "records.hpp"
#include "summarization.hpp"

#include <initializer_list>
#include <utility>

namespace {

namespace line {
constexpr int kGuard = 130, kWindowType = 134, kWindowRead = 136, kWindowFloor = 139, kCut = 142, kActive = 143,
              kNoActive = 144, kTotal = 147, kRate = 148, kThreshold = 149, kBelowThreshold = 150, kBudget = 152,
              kWalk = 155, kWalkEstimate = 157, kWalkCompare = 158, kReverse = 160, kNewCut = 162, kNoNewCut = 164,
              kSpan = 166, kNoSpan = 168, kSummaryTs = 190, kSummaryTsOrder = 191, kSummaryMessage = 192,
              kRewrite = 199, kRewriteStamp = 200, kRewriteSkip = 201, kRewritePlace = 203, kRewriteKeep = 206,
              kRewriteTail = 208, kStoreMessages = 210, kStoreCut = 211, kResult = 212;
}  // namespace line

using Entry = std::pair<PyObject *, PyObject *>;

/// (compressed, {key: value, ...}) with the keys in the order given.
PyObject *outcome(bool compressed, std::initializer_list<Entry> stats) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    for (const Entry &entry : stats) {
        if (PyDict_SetItem(dict.get(), entry.first, entry.second) < 0) {
            return nullptr;
        }
    }
    return PyTuple_Pack(2, compressed ? Py_True : Py_False, dict.get());
}

/// `message.get("timestamp") or ""`.
Ref stamp_of(PyObject *message) { return record_get_or_empty(message, kc.timestamp); }

/// `cut <= stamp < new_cut_time`, with Python's short-circuit: 1, 0 or -1.
int in_span(PyObject *stamp, PyObject *cut, PyObject *new_cut_time) {
    int from_cut = compare(stamp, cut, Py_GE);
    if (from_cut <= 0) {
        return from_cut;
    }
    return compare(stamp, new_cut_time, Py_LT);
}

/// The context window: `int(llm_config.get("max_context", 200000) or 200000)`
/// for a dict config, where any Exception gives 200000; then 200000 again for
/// a window of zero or less.
Ref read_window(Frame &frame, PyObject *llm_config) {
    frame.line = line::kWindowType;
    int is_dict = is_instance(llm_config, &PyDict_Type);
    if (is_dict < 0) {
        return Ref();
    }
    Ref window = Ref::borrow(kc.default_window);
    if (is_dict) {
        frame.line = line::kWindowRead;
        Ref raw = record_get(llm_config, kc.max_context, kc.default_window);
        int present = raw ? truthy(raw.get()) : -1;
        Ref converted = present < 0 ? Ref() : Ref::steal(PyNumber_Long(present ? raw.get() : kc.default_window));
        if (converted) {
            window = std::move(converted);
        } else if (PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();
        } else {
            return Ref();
        }
    }
    frame.line = line::kWindowFloor;
    int not_positive = compare(window.get(), kc.zero, Py_LE);
    if (not_positive < 0) {
        return Ref();
    }
    return not_positive ? Ref::borrow(kc.default_window) : std::move(window);
}

/// `max(max_context // 10, 1024)`.
Ref keep_budget_for(PyObject *max_context) {
    Ref tenth = Ref::steal(PyNumber_FloorDivide(max_context, kc.ten));
    if (!tenth) {
        return tenth;
    }
    int floor_wins = compare(kc.min_keep_budget, tenth.get(), Py_GT);
    if (floor_wins < 0) {
        return Ref();
    }
    return floor_wins ? Ref::borrow(kc.min_keep_budget) : std::move(tenth);
}

/// The newest messages of `active`, in list order, until their one-by-one
/// estimates reach `keep_budget`; all of `active` when they never do.
Ref kept_tail(Frame &frame, PyObject *active, PyObject *keep_budget) {
    frame.line = line::kWalk;
    Ref kept = Ref::steal(PyList_New(0));
    Ref kept_tokens = Ref::borrow(kc.zero);
    if (!kept) {
        return kept;
    }
    // `active` went to estimate_tokens, which the host may have rebound to
    // code that keeps and changes it: walk it as reversed() does, checking
    // the index against the current length at every step.
    SignalCheckpoint checkpoint;
    for (Py_ssize_t i = PyList_GET_SIZE(active) - 1; i >= 0 && i < PyList_GET_SIZE(active); --i) {
        PyObject *message = PyList_GET_ITEM(active, i);
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
        int reached = compare(kept_tokens.get(), keep_budget, Py_GE);
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
Ref summary_message(PyObject *summary, PyObject *summary_ts) {
    Ref content = Ref::steal(PyNumber_Add(kc.summary_prefix, summary));
    if (content) {
        content = Ref::steal(PyNumber_Add(content.get(), kc.summary_note));
    }
    Ref message = content ? Ref::steal(PyDict_New()) : Ref();
    if (!message || PyDict_SetItem(message.get(), kc.role, kc.user) < 0 ||
        PyDict_SetItem(message.get(), kc.content, content.get()) < 0 ||
        PyDict_SetItem(message.get(), kc.timestamp, summary_ts) < 0) {
        return Ref();
    }
    return message;
}

/// What a conversation held under one key before the final stores.
struct Stored {
    PyObject *key;  // an interned constant
    Ref value;      // empty when the key was absent
};

/// Reads `conv[key]` as stored (not through get(): get() may answer
/// differently), to put it back if a store fails. -1 with an exception set.
int read_stored(PyObject *conv, Stored &stored) {
    PyObject *value = nullptr;
    int found = PyDict_CheckExact(conv) ? PyDict_GetItemRef(conv, stored.key, &value)
                                        : PyMapping_GetOptionalItem(conv, stored.key, &value);
    stored.value = Ref::steal(value);
    return found < 0 ? -1 : 0;
}

/// Puts one key back as `stored` says, deleting it if it was absent. A host
/// __setitem__ may fail or be interrupted, so each key gets a second try;
/// what still fails is dropped, since the caller's exception is the one to
/// report.
void restore(PyObject *conv, const Stored &stored) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int done = stored.value ? PyObject_SetItem(conv, stored.key, stored.value.get())
                                : PyObject_DelItem(conv, stored.key);
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

}  // namespace

PyObject *cut_and_sum_history_body(PyObject *const *params, Frame &frame) {
    PyObject *conv = params[0];
    PyObject *llm_config = params[1];

    frame.line = line::kGuard;
    int has_conv = truthy(conv);
    if (has_conv < 0) {
        return nullptr;
    }
    if (!has_conv) {
        return outcome(false, {});
    }
    Ref messages = record_get(conv, kc.messages);
    int has_messages = messages ? truthy(messages.get()) : -1;
    if (has_messages < 0) {
        return nullptr;
    }
    if (!has_messages) {
        return outcome(false, {});
    }

    Ref max_context = read_window(frame, llm_config);
    if (!max_context) {
        return nullptr;
    }

    frame.line = line::kCut;
    Ref cut = call_global(frame, kc.fn_get_conv_cut_time, &conv, 1);
    if (!cut) {
        return nullptr;
    }

    frame.line = line::kActive;
    Ref active = Ref::steal(PyList_New(0));
    messages = active ? record_get(conv, kc.messages) : Ref();
    if (!messages) {
        return nullptr;
    }
    int walked = for_each(messages.get(), [&](PyObject *message) {
        int has_cut = truthy(cut.get());
        if (has_cut < 0) {
            return -1;
        }
        int is_active = 1;
        if (has_cut) {
            Ref stamp = stamp_of(message);
            is_active = stamp ? compare(stamp.get(), cut.get(), Py_GE) : -1;
        }
        if (is_active <= 0) {
            return is_active < 0 ? -1 : 1;
        }
        return PyList_Append(active.get(), message) < 0 ? -1 : 1;
    });
    if (walked < 0) {
        return nullptr;
    }
    frame.line = line::kNoActive;
    if (PyList_GET_SIZE(active.get()) == 0) {
        return outcome(false, {});
    }

    frame.line = line::kTotal;
    PyObject *active_arg[1] = {active.get()};
    Ref total_tokens = call_global(frame, kc.fn_estimate_tokens, active_arg, 1);
    if (!total_tokens) {
        return nullptr;
    }
    frame.line = line::kRate;
    Ref rate = Ref::steal(PyNumber_TrueDivide(total_tokens.get(), max_context.get()));
    if (!rate) {
        return nullptr;
    }
    frame.line = line::kThreshold;
    int below = compare(rate.get(), kc.threshold, Py_LE);
    if (below < 0) {
        return nullptr;
    }
    if (below) {
        frame.line = line::kBelowThreshold;
        return outcome(false, {{kc.s_rate, rate.get()},
                               {kc.s_total_tokens, total_tokens.get()},
                               {kc.max_context, max_context.get()}});
    }

    frame.line = line::kBudget;
    Ref keep_budget = keep_budget_for(max_context.get());
    if (!keep_budget) {
        return nullptr;
    }
    Ref kept = kept_tail(frame, active.get(), keep_budget.get());
    if (!kept) {
        return nullptr;
    }

    frame.line = line::kNewCut;
    if (PyList_GET_SIZE(kept.get()) == 0) {
        // kept[0] of an empty tail: only a rebound estimate_tokens that
        // emptied `active` gets here.
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    Ref new_cut_time = stamp_of(PyList_GET_ITEM(kept.get(), 0));
    int has_new_cut = new_cut_time ? truthy(new_cut_time.get()) : -1;
    if (has_new_cut < 0) {
        return nullptr;
    }
    if (!has_new_cut) {
        frame.line = line::kNoNewCut;
        return outcome(false, {{kc.s_rate, rate.get()}});
    }

    frame.line = line::kSpan;
    Ref to_compress = Ref::steal(PyList_New(0));
    messages = to_compress ? record_get(conv, kc.messages) : Ref();
    if (!messages) {
        return nullptr;
    }
    walked = for_each(messages.get(), [&](PyObject *message) {
        Ref stamp = stamp_of(message);
        int compressed = stamp ? in_span(stamp.get(), cut.get(), new_cut_time.get()) : -1;
        if (compressed <= 0) {
            return compressed < 0 ? -1 : 1;
        }
        return PyList_Append(to_compress.get(), message) < 0 ? -1 : 1;
    });
    if (walked < 0) {
        return nullptr;
    }
    if (PyList_GET_SIZE(to_compress.get()) == 0) {
        frame.line = line::kNoSpan;
        return outcome(false, {{kc.s_rate, rate.get()}});
    }

    Ref summary = request_summary(frame, to_compress.get(), llm_config);
    if (!summary) {
        return nullptr;
    }

    frame.line = line::kSummaryTs;
    PyObject *shift_args[2] = {new_cut_time.get(), kc.one};
    Ref summary_ts = call_global(frame, kc.fn_add_seconds_rfc3339, shift_args, 2);
    if (!summary_ts) {
        return nullptr;
    }
    // Stamps order as text. A stamp with another offset than UTC (or none, on
    // a host outside UTC) can sort after its own UTC rendering one second
    // later; the summary would then land before the new cut, outside the
    // window. Stamping it with the new cut time keeps it in front of the kept
    // tail and inside the window.
    frame.line = line::kSummaryTsOrder;
    if (PyUnicode_Check(summary_ts.get()) && PyUnicode_Check(new_cut_time.get())) {
        int earlier = compare(summary_ts.get(), new_cut_time.get(), Py_LT);
        if (earlier < 0) {
            return nullptr;
        }
        if (earlier) {
            summary_ts = Ref::borrow(new_cut_time.get());
        }
    }

    frame.line = line::kSummaryMessage;
    Ref summary_msg = summary_message(summary.get(), summary_ts.get());
    if (!summary_msg) {
        return nullptr;
    }

    frame.line = line::kRewrite;
    Ref new_msgs = Ref::steal(PyList_New(0));
    messages = new_msgs ? record_get(conv, kc.messages) : Ref();
    if (!messages) {
        return nullptr;
    }
    bool inserted = false;
    walked = for_each(messages.get(), [&](PyObject *message) {
        frame.line = line::kRewriteStamp;
        Ref stamp = stamp_of(message);
        if (!stamp) {
            return -1;
        }
        frame.line = line::kRewriteSkip;
        int compressed = in_span(stamp.get(), cut.get(), new_cut_time.get());
        if (compressed != 0) {
            return compressed < 0 ? -1 : 1;
        }
        if (!inserted) {
            frame.line = line::kRewritePlace;
            int place = compare(stamp.get(), summary_ts.get(), Py_GE);
            if (place < 0) {
                return -1;
            }
            if (place) {
                if (PyList_Append(new_msgs.get(), summary_msg.get()) < 0) {
                    return -1;
                }
                inserted = true;
            }
        }
        frame.line = line::kRewriteKeep;
        return PyList_Append(new_msgs.get(), message) < 0 ? -1 : 1;
    });
    if (walked < 0) {
        return nullptr;
    }
    if (!inserted) {
        frame.line = line::kRewriteTail;
        if (PyList_Append(new_msgs.get(), summary_msg.get()) < 0) {
            return nullptr;
        }
    }

    // Everything the result needs exists before the conversation is touched,
    // so nothing can fail between the two stores but the stores themselves.
    frame.line = line::kResult;
    Ref kept_count = Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(kept.get())));
    Ref compressed_count = kept_count ? Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(to_compress.get()))) : Ref();
    Ref result = compressed_count ? Ref::steal(outcome(true, {{kc.s_rate, rate.get()},
                                                              {kc.s_total_tokens, total_tokens.get()},
                                                              {kc.max_context, max_context.get()},
                                                              {kc.s_kept, kept_count.get()},
                                                              {kc.s_compressed, compressed_count.get()},
                                                              {kc.s_new_cut_time, new_cut_time.get()}}))
                                  : Ref();
    if (!result) {
        return nullptr;
    }

    if (store_rewrite(frame, conv, new_msgs.get(), new_cut_time.get()) < 0) {
        return nullptr;
    }
    frame.line = line::kResult;
    return result.release();
}

// Conversation timeline: timestamp parsing and shifting, the effective cut time and the cut-time window.
#include "bodies.hpp"
#include "lines.hpp"
#include "records.hpp"

namespace {

namespace line = timeline_line;

/// `conv.get("messages", [])`. The fresh default list is only built when a
/// host get() could see it.
Ref messages_of(PyObject *conv) {
    if (PyDict_CheckExact(conv)) {
        PyObject *value = nullptr;
        int found = PyDict_GetItemRef(conv, kc.messages, &value);
        if (found != 0) {
            return Ref::steal(value);
        }
        return Ref::steal(PyList_New(0));
    }
    Ref fallback = Ref::steal(PyList_New(0));
    if (!fallback) {
        return fallback;
    }
    return record_get(conv, kc.messages, fallback.get());
}

/// `list(iterable)`. Lists and tuples are copied whole; anything else is
/// walked as list() walks it (iterator first, then the length hint), but
/// with the walk's signal checks, so that an endless iterator can be
/// interrupted. New reference.
PyObject *list_of(PyObject *iterable) {
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        return PySequence_List(iterable);
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator || PyObject_LengthHint(iterable, 0) < 0) {
        return nullptr;
    }
    Ref out = Ref::steal(PyList_New(0));
    if (!out) {
        return nullptr;
    }
    int walked = for_each_from(iterator.get(), [&](PyObject *item) {
        return PyList_Append(out.get(), item) < 0 ? -1 : 1;
    });
    return walked < 0 ? nullptr : out.release();
}

/// `ts.replace("Z", "+00:00")` passed to `datetime.fromisoformat`.
Ref parse_timestamp(const Frame &frame, PyObject *ts) {
    Ref fromisoformat = global_attribute(frame, kc.datetime, kc.fromisoformat);
    if (!fromisoformat) {
        return fromisoformat;
    }
    Ref normalised;
    if (PyUnicode_CheckExact(ts)) {
        normalised = Ref::steal(PyUnicode_Replace(ts, kc.zulu, kc.utc_offset, -1));
    } else {
        PyObject *argv[3] = {ts, kc.zulu, kc.utc_offset};
        normalised = Ref::steal(PyObject_VectorcallMethod(kc.replace, argv, 3, nullptr));
    }
    if (!normalised) {
        return normalised;
    }
    return Ref::steal(PyObject_CallOneArg(fromisoformat.get(), normalised.get()));
}

/// `value.method(timezone.utc).isoformat()`, `timezone` looked up after the
/// method. New reference.
PyObject *isoformat_in_utc(const Frame &frame, PyObject *value, PyObject *method) {
    Ref convert = Ref::steal(PyObject_GetAttr(value, method));
    if (!convert) {
        return nullptr;
    }
    Ref utc = global_attribute(frame, kc.timezone, kc.utc);
    if (!utc) {
        return nullptr;
    }
    Ref in_utc = Ref::steal(PyObject_CallOneArg(convert.get(), utc.get()));
    if (!in_utc) {
        return nullptr;
    }
    return PyObject_CallMethodNoArgs(in_utc.get(), kc.isoformat);
}

/// `when + __import__("datetime").timedelta(seconds=secs)`, the module
/// imported through the builtins found at initialisation.
Ref shifted_by(PyObject *when, PyObject *secs) {
    Ref datetime_module = Ref::steal(PyObject_CallOneArg(kc.builtin_import, kc.datetime));
    if (!datetime_module) {
        return datetime_module;
    }
    PyObject *timedelta_args[2] = {datetime_module.get(), secs};
    Ref delta = Ref::steal(PyObject_VectorcallMethod(kc.timedelta, timedelta_args, 1, kc.seconds_kwnames));
    if (!delta) {
        return delta;
    }
    return add_all({when, delta.get()});
}

/// `conv.get("cut_time") or ""` into `cut`: 1 when it is truthy, 0 when not,
/// -1 with an exception set.
int stored_cut_time(PyObject *conv, Ref &cut) {
    cut = record_get_or_empty(conv, kc.cut_time);
    return truthy(cut);
}

/// The stamp of the first message with a truthy one (`m["timestamp"]`), into
/// `cut`. 1 when it is truthy, 0 when there is none, -1 with an exception set.
int first_message_stamp(Frame &frame, PyObject *conv, Ref &cut) {
    frame.line = line::kCutTimeMessages;
    Ref messages = messages_of(conv);
    if (!messages) {
        return -1;
    }
    const int walked = for_each(messages.get(), [&](PyObject *message) {
        frame.line = line::kCutTimeStamp;
        Ref stamp = record_get(message, kc.timestamp);
        if (!stamp) {
            return -1;
        }
        const int stamped = truthy(stamp.get());
        if (stamped <= 0) {
            return stamped < 0 ? -1 : 1;
        }
        frame.line = line::kCutTimeTake;
        cut = record_item(message, kc.timestamp);
        return cut ? 0 : -1;
    });
    if (walked != 0) {
        return walked < 0 ? -1 : 0;
    }
    // m["timestamp"] may answer otherwise than m.get() did.
    return truthy(cut.get());
}

}  // namespace

PyObject *parse_ts_body(PyObject *const *params, Frame &frame) {
    PyObject *ts = params[0];
    frame.line = line::kParseTsTruth;
    int present = truthy(ts);
    if (present <= 0) {
        return present < 0 ? nullptr : Py_NewRef(Py_None);
    }
    frame.line = line::kParseTsParse;
    Ref parsed = parse_timestamp(frame, ts);
    if (!parsed) {
        // Every ordinary failure means "not a timestamp"; KeyboardInterrupt
        // and other BaseExceptions still go through.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return nullptr;
        }
        PyErr_Clear();
        return Py_NewRef(Py_None);
    }
    return parsed.release();
}

PyObject *add_seconds_rfc3339_body(PyObject *const *params, Frame &frame) {
    PyObject *ts = params[0];
    PyObject *secs = params[1];
    frame.line = line::kAddSecondsParse;
    Ref parsed = call_global(frame, kc.fn_parse_ts, &ts, 1);
    if (!parsed) {
        return nullptr;
    }
    if (parsed.get() == Py_None) {
        return Py_NewRef(ts);
    }
    frame.line = line::kAddSecondsShift;
    Ref shifted = shifted_by(parsed.get(), secs);
    if (!shifted) {
        return nullptr;
    }
    frame.line = line::kAddSecondsRender;
    return isoformat_in_utc(frame, shifted.get(), kc.astimezone);
}

PyObject *get_conv_cut_time_body(PyObject *const *params, Frame &frame) {
    PyObject *conv = params[0];
    frame.line = line::kCutTimeStored;
    Ref cut;
    int present = stored_cut_time(conv, cut);
    if (present != 0) {
        return present < 0 ? nullptr : cut.release();
    }
    frame.line = line::kCutTimeCreated;
    cut = record_get_or_empty(conv, kc.created_at);
    if (!cut) {
        return nullptr;
    }
    present = truthy(cut.get());
    if (present < 0) {
        return nullptr;
    }
    if (!present) {
        present = first_message_stamp(frame, conv, cut);
        if (present < 0) {
            return nullptr;
        }
    }
    if (present) {
        return cut.release();
    }
    frame.line = line::kCutTimeNow;
    Ref datetime_cls = lookup_global(frame, kc.datetime);
    if (!datetime_cls) {
        return nullptr;
    }
    return isoformat_in_utc(frame, datetime_cls.get(), kc.now);
}

PyObject *msgs_from_cut_time_body(PyObject *const *params, Frame &frame) {
    PyObject *conv = params[0];
    frame.line = line::kWindowCut;
    Ref cut;
    const int present = stored_cut_time(conv, cut);
    if (present < 0) {
        return nullptr;
    }
    if (!present) {
        frame.line = line::kWindowAll;
        Ref messages = messages_of(conv);
        if (!messages) {
            return nullptr;
        }
        return list_of(messages.get());
    }
    frame.line = line::kWindowMessages;
    Ref out = Ref::steal(PyList_New(0));
    if (!out) {
        return nullptr;
    }
    Ref messages = messages_of(conv);
    if (!messages) {
        return nullptr;
    }
    int walked = for_each(messages.get(), [&](PyObject *message) {
        frame.line = line::kWindowStamp;
        Ref stamp = record_get_or_empty(message, kc.timestamp);
        if (!stamp) {
            return -1;
        }
        frame.line = line::kWindowCompare;
        int stamped = truthy(stamp.get());
        if (stamped <= 0) {
            return stamped < 0 ? -1 : 1;
        }
        int in_window = compare(stamp.get(), cut.get(), Py_GE);
        if (in_window <= 0) {
            return in_window < 0 ? -1 : 1;
        }
        frame.line = line::kWindowAppend;
        return PyList_Append(out.get(), message) < 0 ? -1 : 1;
    });
    if (walked < 0) {
        return nullptr;
    }
    frame.line = line::kWindowMessages;
    return out.release();
}

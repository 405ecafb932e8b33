// The bodies of the nine module functions, each in its subsystem's unit.
#pragma once

#include "function.hpp"

// timeline.cpp
PyObject *parse_ts_body(PyObject *const *params, Frame &frame);
PyObject *add_seconds_rfc3339_body(PyObject *const *params, Frame &frame);
PyObject *get_conv_cut_time_body(PyObject *const *params, Frame &frame);
PyObject *msgs_from_cut_time_body(PyObject *const *params, Frame &frame);

// token_estimation.cpp
PyObject *estimate_tokens_text_body(PyObject *const *params, Frame &frame);
PyObject *estimate_tokens_body(PyObject *const *params, Frame &frame);

// transcript.cpp
PyObject *msgs_to_text_body(PyObject *const *params, Frame &frame);

// summarization.cpp
PyObject *simple_extract_body(PyObject *const *params, Frame &frame);

// compression.cpp
PyObject *cut_and_sum_history_body(PyObject *const *params, Frame &frame);

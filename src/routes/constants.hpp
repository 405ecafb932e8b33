// The module's constants: interned texts and numbers built once by the exec step.
#pragma once

#include "ref.hpp"

// Texts that serve as names, keys and fixed pieces of output. Built once and
// interned, so exact-dict lookups and keyword matching hit on pointer identity.
#define CC_TEXT_CONSTANTS(X)                                                   \
    /* record keys */                                                          \
    X(cut_time, "cut_time")                                                    \
    X(created_at, "created_at")                                                \
    X(messages, "messages")                                                    \
    X(timestamp, "timestamp")                                                  \
    X(role, "role")                                                            \
    X(content, "content")                                                      \
    X(tool_result, "tool_result")                                              \
    X(type, "type")                                                            \
    X(text, "text")                                                            \
    X(max_context, "max_context")                                              \
    X(choices, "choices")                                                      \
    X(message, "message")                                                      \
    X(max_tokens, "max_tokens")                                                \
    X(stream, "stream")                                                        \
    /* values */                                                               \
    X(tool, "tool")                                                            \
    X(user, "user")                                                            \
    X(system, "system")                                                        \
    X(question_mark, "?")                                                      \
    X(empty, "")                                                               \
    X(zulu, "Z")                                                               \
    X(utc_offset, "+00:00")                                                    \
    X(space, " ")                                                              \
    X(newline, "\n")                                                           \
    X(cjk_lo, "\u4e00")                                                        \
    X(cjk_hi, "\u9fff")                                                        \
    X(cjk_ext_a_lo, "\u3400")                                                  \
    X(cjk_ext_a_hi, "\u4dbf")                                                  \
    /* attribute and method names */                                           \
    X(get, "get")                                                              \
    X(replace, "replace")                                                      \
    X(fromisoformat, "fromisoformat")                                          \
    X(astimezone, "astimezone")                                                \
    X(isoformat, "isoformat")                                                  \
    X(utc, "utc")                                                              \
    X(now, "now")                                                              \
    X(timedelta, "timedelta")                                                  \
    X(seconds, "seconds")                                                      \
    X(strip, "strip")                                                          \
    X(call_llm_api, "_call_llm_api")                                           \
    X(routes_chat, "routes.chat")                                              \
    /* module-level names */                                                   \
    X(json, "json")                                                            \
    X(time, "time")                                                            \
    X(datetime, "datetime")                                                    \
    X(timezone, "timezone")                                                    \
    X(dunder_builtins, "__builtins__")                                         \
    X(dunder_test, "__test__")                                                 \
    X(module_name, "routes.context_compress")                                  \
    /* module functions */                                                     \
    X(fn_parse_ts, "_parse_ts")                                                \
    X(fn_add_seconds_rfc3339, "add_seconds_rfc3339")                           \
    X(fn_get_conv_cut_time, "get_conv_cut_time")                               \
    X(fn_msgs_from_cut_time, "msgs_from_cut_time")                             \
    X(fn_estimate_tokens_text, "estimate_tokens_text")                         \
    X(fn_estimate_tokens, "estimate_tokens")                                   \
    X(fn_msgs_to_text, "_msgs_to_text")                                        \
    X(fn_simple_extract, "simple_extract")                                     \
    X(fn_cut_and_sum_history, "cut_and_sum_history")                           \
    /* parameter names */                                                      \
    X(p_ts, "ts")                                                              \
    X(p_secs, "secs")                                                          \
    X(p_conv, "conv")                                                          \
    X(p_text, "text")                                                          \
    X(p_msgs, "msgs")                                                          \
    X(p_llm_config, "llm_config")

struct Constants {
#define CC_DECLARE_TEXT(field, text) PyObject *field = nullptr;
    CC_TEXT_CONSTANTS(CC_DECLARE_TEXT)
#undef CC_DECLARE_TEXT
    PyObject *empty_tuple = nullptr;
    PyObject *defaults_none = nullptr;  // (None,): defaults of cut_and_sum_history
    PyObject *builtins_dict = nullptr;  // the builtins namespace, as found at initialisation
    PyObject *builtin_import = nullptr; // builtins.__import__, as found at initialisation
};

/// The constants in force. Valid from a successful build_constants() on; the
/// functions only ever read them.
extern Constants kc;

/// Builds (or rebuilds, after a failed import) the constants. -1 with an
/// exception set on failure, leaving the previous set untouched.
int build_constants(PyObject *builtins_module) noexcept;

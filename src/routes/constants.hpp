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
    X(tool_calls, "tool_calls")                                                \
    X(function_call, "function_call")                                          \
    X(function, "function")                                                    \
    X(name, "name")                                                            \
    X(arguments, "arguments")                                                  \
    X(input, "input")                                                          \
    X(tool_use, "tool_use")                                                    \
    X(thinking, "thinking")                                                    \
    /* statistics keys */                                                      \
    X(s_rate, "rate")                                                          \
    X(s_total_tokens, "total_tokens")                                          \
    X(s_kept, "kept")                                                          \
    X(s_compressed, "compressed")                                              \
    X(s_new_cut_time, "new_cut_time")                                          \
    /* values */                                                               \
    X(tool, "tool")                                                            \
    X(user, "user")                                                            \
    X(system, "system")                                                        \
    X(developer, "developer")                                                  \
    X(question_mark, "?")                                                      \
    X(empty, "")                                                               \
    X(zulu, "Z")                                                               \
    X(utc_offset, "+00:00")                                                    \
    X(newline, "\n")                                                           \
    X(space, " ")                                                              \
    X(ellipsis, "...")                                                         \
    X(label_open, "[")                                                         \
    X(label_close, "] ")                                                       \
    X(transcript_marker, "\n...(later messages omitted)")                      \
    X(summary_prefix, "[\u4e0a\u4e0b\u6587\u538b\u7f29\u6458\u8981] ")       \
    X(summary_note, "\n\n\u6ce8\u610f\uff1a\u56e0\u4e0a\u4e0b\u6587\u8fc7\u591a\uff0c\u5df2\u542f\u7528\u538b\u7f29\uff0c\u4ee5\u4e0a\u5386\u53f2\u8bb0\u5f55\u4e3a\u538b\u7f29\u5185\u5bb9\uff0c\u5982\u9700\u67e5\u627e\u66f4\u591a\u4f1a\u8bdd\u5386\u53f2\uff0c\u8bf7\u4f7f\u7528search_session\u5de5\u5177\u67e5\u627e") \
    X(summarizer_prompt, "You are a conversation summarizer. Compress the following conversation history into a summary of no more than 2000 Chinese characters. Preserve key details: user requests/tasks, decisions, tool usage results, file paths, commands, and errors with their resolutions. Omit greetings and repetitive content. Output ONLY the summary.") \
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
    X(dunder_test, "__test__")                                                 \
    X(module_name, "routes.context_compress")                                  \
    /* module functions */                                                     \
    X(fn_parse_ts, "_parse_ts")                                                \
    X(fn_add_seconds_rfc3339, "add_seconds_rfc3339")                           \
    X(fn_get_conv_cut_time, "get_conv_cut_time")                               \
    X(fn_estimate_tokens_text, "estimate_tokens_text")                         \
    X(fn_estimate_tokens, "estimate_tokens")                                   \
    X(fn_msgs_to_text, "_msgs_to_text")                                        \
    X(fn_simple_extract, "simple_extract")                                     \
    /* parameter names */                                                      \
    X(p_ts, "ts")                                                              \
    X(p_secs, "secs")                                                          \
    X(p_conv, "conv")                                                          \
    X(p_text, "text")                                                          \
    X(p_msgs, "msgs")                                                          \
    X(p_llm_config, "llm_config")                                              \
    X(p_collaborators, "collaborators")                                        \
    X(p_alternate, "alternate")

// Everything else the bodies share, each with the expression that builds it.
// The expressions are only expanded in constants.cpp, where `texts` is the
// set under construction and the numbers come from numbers.hpp.
#define CC_OBJECT_CONSTANTS(X)                                                            \
    X(empty_tuple, PyTuple_New(0))                                                        \
    X(defaults_none, PyTuple_Pack(1, Py_None)) /* __defaults__ of cut_and_sum_history */  \
    X(zero, PyLong_FromLong(0))                                                           \
    X(one, PyLong_FromLong(1))                                                            \
    X(default_window, PyLong_FromLong(kDefaultWindow))                                    \
    X(threshold, PyFloat_FromDouble(kCompressThreshold))                                  \
    X(keep_budget_share, PyLong_FromLong(kKeepBudgetShare))                               \
    X(keep_budget_floor, PyLong_FromLong(kKeepBudgetFloor))                               \
    X(summary_max_tokens, PyLong_FromLong(kSummaryMaxTokens))                             \
    X(slice_head, slice_up_to(kExtractHead))                                              \
    X(slice_tail, slice_from(-kExtractTail))                                              \
    X(slice_body, slice_up_to(kBodyBound))                                                \
    X(stream_kwnames, PyTuple_Pack(1, texts.stream))                                      \
    X(seconds_kwnames, PyTuple_Pack(1, texts.seconds))                                    \
    X(import_names, PyTuple_Pack(1, texts.call_llm_api))                                  \
    X(builtins_dict, Py_XNewRef(PyModule_GetDict(builtins_module)))                       \
    X(builtin_import, PyObject_GetAttrString(builtins_module, "__import__"))                \
    X(python_class, python_class()) /* tells classes made in Python from types written in C */

/// The constants: strong references, all set once built.
struct Constants {
#define CC_DECLARE(field, value) PyObject *field = nullptr;
    CC_TEXT_CONSTANTS(CC_DECLARE)
    CC_OBJECT_CONSTANTS(CC_DECLARE)
#undef CC_DECLARE
};

/// The constants in force. Valid from a successful build_constants() on; the
/// functions only ever read them.
extern Constants kc;

/// Builds (or rebuilds, after a failed import) the constants. -1 with an
/// exception set on failure, leaving the previous set untouched.
int build_constants(PyObject *builtins_module) noexcept;

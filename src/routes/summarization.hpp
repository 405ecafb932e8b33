// Summarization: the summary request, which the compression makes, and who it asks.
#pragma once

#include "function.hpp"

/// Who a compression asks for its summary, and the texts around it. A null
/// callable stands for the module's own collaborator, found at the moment of
/// the call: the namespace's `_msgs_to_text` and `simple_extract`, and
/// `_call_llm_api` imported from `routes.chat` first thing in the request,
/// whose answer is read as a chat completion. A callable given for `ask` is
/// called as `ask(prompt_msgs, cfg)` and answers with the summary text itself.
/// Given ones are called with the messages kept after the span too (see
/// request_summary).
/// Everything is borrowed: the caller keeps it alive for the compression.
struct Collaborators {
    PyObject *transcript = nullptr;
    PyObject *extract = nullptr;
    PyObject *ask = nullptr;
    PyObject *system_prompt = nullptr;   // the summarizer's instruction
    PyObject *summary_prefix = nullptr;  // the summary message opens with it
    PyObject *summary_note = nullptr;    // and closes with it; Py_None: no note
    // A failed request leaves the conversation as it was, rather than
    // compress it into the extract.
    bool keep_on_failure = false;
    // System (and developer) messages are never compressed: they stay where
    // they are and count toward the window wherever they are stamped.
    bool keep_system = false;
    // No LLM is asked at all: the summary is the extract, by choice.
    bool no_request = false;
};

/// 1 when `message` is one `with` never compresses (a system or developer
/// message, with `with.keep_system`), 0 if not, -1 with an exception set.
/// Reads nothing without `keep_system`.
int held_back(const Collaborators &with, PyObject *message) noexcept;

/// A new `{"role": "user", "content": prefix + summary [+ note]}`, the texts
/// those of `with` (no note when it is None).
Ref summary_user_message(const Collaborators &with, PyObject *summary) noexcept;

/// The module's own collaborators and texts.
Collaborators module_collaborators() noexcept;

/// What became of one compression and its summary request, for a caller that
/// passed collaborators of its own and wants to tell its host: the request
/// absorbs every failure of the LLM, so the failure is kept here.
struct SummaryAccount {
    Ref span;                    // the messages summarised
    Ref sent;                    // the transcript sent; empty when none was made
    Ref summary;                 // the summary text, before prefix and note
    Ref error;                   // the exception the request absorbed, if any
    bool in_transcript = false;  // `error` came from the transcript
    bool answered = false;       // the summary is the answer, not the extract
    // The conversation's last message is not in the active history: its
    // stamp compares before the cut time (another layout, or out of order),
    // which the host would want named even below the threshold.
    bool newest_outside = false;
};

/// The summary text of `to_compress`: the answer of `with.ask` (or of the
/// host chat layer), or the extract when there is none or the request fails
/// ("" instead with `with.keep_on_failure`).
/// Moves `frame` through the request's statement lines and fills `account`
/// when given. New reference; nullptr with an exception set for what it does
/// not absorb (BaseExceptions outside Exception, failures of the extract).
/// `later`, when not null, is the list of the messages kept after the span:
/// the transcript and extract given in `with` are then called with it too,
/// `transcript(span, later)`, so that they can favour what the conversation
/// goes on about; the module's own are called with the span alone.
Ref request_summary(Frame &frame, PyObject *to_compress, PyObject *later, PyObject *llm_config,
                    const Collaborators &with, SummaryAccount *account);

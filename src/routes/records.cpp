// Reading the host's records: subscripts and the body of a message.
#include "records.hpp"

Ref record_item(PyObject *record, PyObject *key) noexcept {
    if (PyDict_CheckExact(record)) {
        PyObject *value = nullptr;
        int found = PyDict_GetItemRef(record, key, &value);
        if (found != 0) {
            return Ref::steal(value);
        }
        // Missing: let the mapping protocol raise its own KeyError.
    }
    return Ref::steal(PyObject_GetItem(record, key));
}

namespace {

/// For a message whose role equals "tool":
/// `content = message.get("tool_result") or content or ""`.
/// 1 for a tool message, 0 for any other, -1 on error.
int take_tool_result(PyObject *message, PyObject *role, Ref &content, Frame &frame, int tool_result_line) noexcept {
    const int is_tool = equals_text(role, kc.tool);
    if (is_tool <= 0) {
        return is_tool;
    }
    frame.line = tool_result_line;
    Ref tool_result = record_get(message, kc.tool_result);
    if (!tool_result) {
        return -1;
    }
    const int has_result = truthy(tool_result.get());
    if (has_result < 0) {
        return -1;
    }
    if (has_result) {
        content = std::move(tool_result);
        return 1;
    }
    const int has_content = truthy(content.get());
    if (has_content < 0) {
        return -1;
    }
    if (!has_content) {
        content = Ref::borrow(kc.empty);
    }
    return 1;
}

}  // namespace

int read_message(PyObject *message, const MessageReading &reading, Frame &frame, MessageBody &body) noexcept {
    auto read_role = [&] {
        frame.line = reading.role_line;
        body.role = reading.role_default ? record_get(message, kc.role, kc.*reading.role_default)
                                         : record_get(message, kc.role);
        return body.role ? 0 : -1;
    };
    auto read_content = [&] {
        frame.line = reading.content_line;
        body.content = record_get_text_or_empty(message, kc.content);
        return body.content ? 0 : -1;
    };
    if (reading.role_first ? (read_role() < 0 || read_content() < 0) : (read_content() < 0 || read_role() < 0)) {
        return -1;
    }
    frame.line = reading.is_tool_line;
    const int is_tool = take_tool_result(message, body.role.get(), body.content, frame, reading.tool_result_line);
    if (is_tool < 0) {
        return -1;
    }
    body.is_tool = is_tool == 1;
    return 0;
}

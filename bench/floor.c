/* The floor of the per-turn check: the least C that does what
 * cut_and_sum_history does on a conversation under the threshold, on exact
 * types only (borrowed references, no fallbacks, no rebinding, no traceback
 * entries). It reads the same keys in the same two passes: the active filter
 * (cut_time, then each message's timestamp), then the estimate of the active
 * messages (content, role, a tool result, list parts), and builds the same
 * result. The benchmark builds it as an extension module beside the module
 * and times both on the same conversation.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

static PyObject *k_messages, *k_cut_time, *k_timestamp, *k_content, *k_role, *k_tool_result, *k_type, *k_text,
    *k_tool, *k_rate, *k_total_tokens, *k_max_context;

/* The count itself is the plain loop the vectoriser handles best (narrow
 * counters per block, as in hwref.cpp), built for this CPU: the floor
 * measures what the C API costs around the count, not a slower count. */
static long long count_u16(const Py_UCS2 *p, Py_ssize_t n) {
    long long total = 0;
    while (n > 0) {
        const Py_ssize_t block = n < 0x7FFF ? n : 0x7FFF;
        uint16_t count = 0;
        for (Py_ssize_t i = 0; i < block; ++i) {
            const uint16_t c = p[i];
            count += (uint16_t)((uint16_t)(c - 0x4E00u) <= 0x9FFFu - 0x4E00u) |
                     (uint16_t)((uint16_t)(c - 0x3400u) <= 0x4DBFu - 0x3400u);
        }
        total += count;
        p += block;
        n -= block;
    }
    return total;
}

static long long count_u32(const Py_UCS4 *p, Py_ssize_t n) {
    uint32_t count = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const uint32_t c = p[i];
        count += (uint32_t)((c - 0x4E00u) <= 0x9FFFu - 0x4E00u) | (uint32_t)((c - 0x3400u) <= 0x4DBFu - 0x3400u);
    }
    return count;
}

static long long text_estimate(PyObject *text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    long long cjk = 0;
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        break;
    case PyUnicode_2BYTE_KIND:
        cjk = count_u16(PyUnicode_2BYTE_DATA(text), n);
        break;
    default:
        cjk = count_u32(PyUnicode_4BYTE_DATA(text), n);
        break;
    }
    return (6 * cjk + (n - cjk)) / 4;
}

static long long message_estimate(PyObject *m) {
    PyObject *content = PyDict_GetItem(m, k_content);
    PyObject *role = PyDict_GetItem(m, k_role);
    if (role != NULL && PyUnicode_Compare(role, k_tool) == 0) {
        PyObject *result = PyDict_GetItem(m, k_tool_result);
        if (result != NULL && PyUnicode_GET_LENGTH(result) > 0) {
            content = result;
        }
    }
    long long total = 3;
    if (content == NULL) {
        return total;
    }
    if (PyUnicode_CheckExact(content)) {
        return total + text_estimate(content);
    }
    if (PyList_CheckExact(content)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(content); ++i) {
            PyObject *part = PyList_GET_ITEM(content, i);
            if (PyDict_CheckExact(part)) {
                PyObject *type = PyDict_GetItem(part, k_type);
                if (type != NULL && PyUnicode_Compare(type, k_text) == 0) {
                    PyObject *text = PyDict_GetItem(part, k_text);
                    total += text != NULL ? text_estimate(text) : 0;
                } else {
                    total += 1500;
                }
            } else if (PyUnicode_CheckExact(part)) {
                total += text_estimate(part);
            }
        }
    }
    return total;
}

static PyObject *per_turn(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    (void)self;
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "per_turn(conv, max_context)");
        return NULL;
    }
    PyObject *conv = args[0];
    PyObject *max_context = args[1];
    PyObject *messages = PyDict_GetItem(conv, k_messages);
    PyObject *cut = PyDict_GetItem(conv, k_cut_time);
    PyObject *active = PyList_New(0);
    if (active == NULL) {
        return NULL;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(messages); ++i) {
        PyObject *m = PyList_GET_ITEM(messages, i);
        PyObject *ts = PyDict_GetItem(m, k_timestamp);
        if (ts != NULL && PyUnicode_Compare(ts, cut) >= 0 && PyList_Append(active, m) < 0) {
            Py_DECREF(active);
            return NULL;
        }
    }
    long long total = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(active); ++i) {
        total += message_estimate(PyList_GET_ITEM(active, i));
    }
    Py_DECREF(active);
    PyObject *total_tokens = PyLong_FromLongLong(total);
    PyObject *rate = PyFloat_FromDouble((double)total / (double)PyLong_AsLongLong(max_context));
    PyObject *stats = PyDict_New();
    PyObject *result = NULL;
    if (total_tokens && rate && stats && PyDict_SetItem(stats, k_rate, rate) == 0 &&
        PyDict_SetItem(stats, k_total_tokens, total_tokens) == 0 &&
        PyDict_SetItem(stats, k_max_context, max_context) == 0) {
        result = PyTuple_Pack(2, PyFloat_AS_DOUBLE(rate) > 0.8 ? Py_True : Py_False, stats);
    }
    Py_XDECREF(total_tokens);
    Py_XDECREF(rate);
    Py_XDECREF(stats);
    return result;
}

static PyMethodDef methods[] = {
    {"per_turn", (PyCFunction)(void (*)(void))per_turn, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "floor_per_turn", NULL, -1, methods,
                                          NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_floor_per_turn(void) {
    PyObject **keys[] = {&k_messages, &k_cut_time, &k_timestamp, &k_content, &k_role, &k_tool_result,
                         &k_type, &k_text, &k_tool, &k_rate, &k_total_tokens, &k_max_context};
    const char *names[] = {"messages", "cut_time", "timestamp", "content", "role", "tool_result",
                           "type", "text", "tool", "rate", "total_tokens", "max_context"};
    for (size_t i = 0; i < sizeof keys / sizeof keys[0]; ++i) {
        *keys[i] = PyUnicode_InternFromString(names[i]);
        if (*keys[i] == NULL) {
            return NULL;
        }
    }
    return PyModule_Create(&floor_module);
}

// Token estimation: character-class estimates of texts and message lists.
#include "bodies.hpp"
#include "estimation.hpp"
#include "interrupts.hpp"
#include "lines.hpp"
#include "numbers.hpp"
#include "records.hpp"

#include <algorithm>
#include <cstdint>

namespace {

namespace line = estimator_line;

constexpr MessageReading kReading{
    .role_first = false,
    .role_default = nullptr,
    .role_line = line::kMsgsRole,
    .content_line = line::kMsgsContent,
    .is_tool_line = line::kMsgsRole,
    .tool_result_line = line::kMsgsToolResult,
};

constexpr const char kGenexprCreateEntry[] = "routes.context_compress.estimate_tokens_text.genexpr";
constexpr const char kGenexprEntry[] = "genexpr";

// Ideographs: CJK Unified Ideographs U+4E00..U+9FFF and Extension A
// U+3400..U+4DBF. Written as unsigned range checks so that each test is one
// subtract and one compare per lane.
constexpr uint32_t kUnifiedFirst = 0x4E00, kUnifiedSpan = 0x9FFF - 0x4E00;
constexpr uint32_t kExtAFirst = 0x3400, kExtASpan = 0x4DBF - 0x3400;

inline bool is_ideograph(Py_UCS4 c) {
    return (c - kUnifiedFirst) <= kUnifiedSpan || (c - kExtAFirst) <= kExtASpan;
}

/// Ideographs among `length` units of one kind. The per-block counter is as
/// narrow as the unit, so the compiler keeps a full vector of lanes; a block
/// is short enough that no lane overflows. Inlined into each instruction-set
/// variant below.
template <class Unit>
[[gnu::always_inline]] inline size_t count_units(const Unit *chars, size_t length) {
    constexpr size_t kBlock = Unit(~Unit{0});
    size_t total = 0;
    while (length > 0) {
        const size_t block = length < kBlock ? length : kBlock;
        Unit count = 0;
        for (size_t i = 0; i < block; ++i) {
            const Unit c = chars[i];
            count = static_cast<Unit>(count + ((static_cast<Unit>(c - kUnifiedFirst) <= kUnifiedSpan) |
                                               (static_cast<Unit>(c - kExtAFirst) <= kExtASpan)));
        }
        total += count;
        chars += block;
        length -= block;
    }
    return total;
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define CC_MULTIVERSION __attribute__((target_clones("avx2", "default")))
// AVX-512 pays only on longer texts: on a few hundred characters its set-up
// costs more than its wider lanes save (slower on some CPUs), so it is chosen
// at run time above kWideFrom, when the CPU has it.
#define CC_WIDE_VECTORS __attribute__((target("avx512f,avx512bw,avx512vl")))
#else
#define CC_MULTIVERSION
#endif

CC_MULTIVERSION
size_t count_ideographs_ucs2(const Py_UCS2 *chars, size_t length) { return count_units(chars, length); }

CC_MULTIVERSION
size_t count_ideographs_ucs4(const Py_UCS4 *chars, size_t length) { return count_units(chars, length); }

#ifdef CC_WIDE_VECTORS
constexpr size_t kWideFrom = 2048;

/// count_units with the vector loop on whole cache lines: a 64-byte load
/// that straddles two lines costs nearly two, and a str's characters start
/// wherever its header ends. The units before the first line boundary are
/// counted on their own.
template <class Unit>
[[gnu::always_inline]] inline size_t count_units_aligned(const Unit *chars, size_t length) {
    constexpr uintptr_t kLine = 64;
    const uintptr_t misalignment = reinterpret_cast<uintptr_t>(chars) & (kLine - 1);
    const size_t head = std::min(length, static_cast<size_t>((kLine - misalignment) & (kLine - 1)) / sizeof(Unit));
    const size_t total = count_units(chars, head);
    chars += head;
    return total + count_units(static_cast<const Unit *>(__builtin_assume_aligned(chars, kLine)), length - head);
}

CC_WIDE_VECTORS
size_t count_ideographs_ucs2_wide(const Py_UCS2 *chars, size_t length) { return count_units_aligned(chars, length); }

CC_WIDE_VECTORS
size_t count_ideographs_ucs4_wide(const Py_UCS4 *chars, size_t length) { return count_units_aligned(chars, length); }

bool has_wide_vectors() {
    static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vl");
    return has;
}

/// The count for a text of `length` units: the AVX-512 variant for long
/// texts on a CPU that has it, the AVX2 or baseline clone otherwise.
template <class Unit>
auto counter_for(size_t length, size_t (*narrow)(const Unit *, size_t), size_t (*wide)(const Unit *, size_t)) {
    return length >= kWideFrom && has_wide_vectors() ? wide : narrow;
}
#define CC_COUNTER(kind, length) counter_for(length, count_ideographs_##kind, count_ideographs_##kind##_wide)
#else
#define CC_COUNTER(kind, length) count_ideographs_##kind
#endif

/// Ideographs in the native storage of a str (exact or subclass); -1 with
/// an exception set when a signal handler raised. The caller holds `text`.
Py_ssize_t count_ideographs(PyObject *text) {
    const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return 0;  // every code point is below U+0100
    case PyUnicode_2BYTE_KIND:
        return count_in_blocks(PyUnicode_2BYTE_DATA(text), length, CC_COUNTER(ucs2, length));
    default:
        return count_in_blocks(PyUnicode_4BYTE_DATA(text), length, CC_COUNTER(ucs4, length));
    }
}

/// int(1.5 * ideographs + 0.25 * others): both terms are multiples of a
/// quarter, so the float expression is exactly this floor.
long long token_estimate(long long ideographs, long long others) {
    return (6 * ideographs + others) / 4;
}

/// The estimate of an exact str, counted on its native storage, into
/// `estimate`. -1 with an exception set when a signal handler raised.
int exact_text_estimate(PyObject *text, long long &estimate) {
    const Py_ssize_t ideographs = count_ideographs(text);
    if (ideographs < 0) {
        return -1;
    }
    estimate = token_estimate(ideographs, PyUnicode_GET_LENGTH(text) - ideographs);
    return 0;
}

/// 1 when `c` lies between `low` and `high` as Python's chained comparison
/// `low <= c <= high` decides it; 0, or -1 on error.
int between(PyObject *low, PyObject *c, PyObject *high) {
    int above = compare(low, c, Py_LE);
    if (above <= 0) {
        return above;
    }
    return compare(c, high, Py_LE);
}

/// Counts the ideographs of an arbitrary iterable element by element, with
/// Python's string ordering. -1 with the generator's traceback entries on error.
long long count_ideographs_generic(PyObject *text, Frame &frame) {
    Ref iterator = Ref::steal(PyObject_GetIter(text));
    if (!iterator) {
        add_traceback(kGenexprCreateEntry, line::kTextCount, frame.globals);
        return -1;
    }
    long long count = 0;
    int walked = for_each_from(iterator.get(), [&](PyObject *c) {
        if (PyUnicode_CheckExact(c) && PyUnicode_GET_LENGTH(c) == 1) {
            count += is_ideograph(PyUnicode_READ_CHAR(c, 0));
            return 1;
        }
        int hit = between(kc.cjk_lo, c, kc.cjk_hi);
        if (hit == 0) {
            hit = between(kc.cjk_ext_a_lo, c, kc.cjk_ext_a_hi);
        }
        if (hit < 0) {
            return -1;
        }
        count += hit;
        return 1;
    });
    if (walked < 0) {
        add_traceback(kGenexprEntry, line::kTextCount, frame.globals);
        return -1;
    }
    return count;
}

/// The estimate of `text` as estimate_tokens_text computes it, into
/// `estimate`. -1 with an exception set on error.
int estimate_text(PyObject *text, Frame &frame, long long &estimate) {
    frame.line = line::kTextTruth;
    if (PyUnicode_CheckExact(text)) {
        return exact_text_estimate(text, estimate);
    }
    estimate = 0;
    int present = truthy(text);
    if (present <= 0) {
        return present;
    }
    frame.line = line::kTextCount;
    long long ideographs;
    // A str subclass that keeps str's own iteration yields exactly its stored
    // characters; anything else is iterated the Python way.
    if (PyUnicode_Check(text) && Py_TYPE(text)->tp_iter == PyUnicode_Type.tp_iter) {
        ideographs = count_ideographs(text);
        if (ideographs < 0) {
            return -1;
        }
    } else {
        ideographs = count_ideographs_generic(text, frame);
        if (ideographs < 0) {
            return -1;
        }
    }
    frame.line = line::kTextLength;
    const Py_ssize_t length = PyObject_Size(text);
    if (length < 0) {
        return -1;
    }
    // Python computes this in floating point, and len() may disagree with the
    // iteration of an arbitrary object, so keep the float form here.
    const double weighted = static_cast<double>(ideographs) * 1.5 + static_cast<double>(length - ideographs) * 0.25;
    estimate = static_cast<long long>(weighted);
    return 0;
}

/// The running `total` of estimate_tokens: a C integer while every addend is
/// a plain int, Python arithmetic from the first addend that is not.
class Total {
public:
    int add(long long amount) {
        long long sum;
        // On overflow the builtin still stores the wrapped sum: keep it apart.
        if (!object_ && !__builtin_add_overflow(small_, amount, &sum)) {
            small_ = sum;
            return 0;
        }
        Ref boxed = Ref::steal(PyLong_FromLongLong(amount));
        return boxed ? add(boxed.get()) : -1;
    }

    int add(PyObject *amount) {
        if (!object_) {
            if (PyLong_CheckExact(amount)) {
                int overflow = 0;
                long long value = PyLong_AsLongLongAndOverflow(amount, &overflow);
                if (!overflow && !__builtin_add_overflow(small_, value, &value)) {
                    small_ = value;
                    return 0;
                }
            }
            object_ = Ref::steal(PyLong_FromLongLong(small_));
            if (!object_) {
                return -1;
            }
        }
        object_ = Ref::steal(PyNumber_InPlaceAdd(object_.get(), amount));
        return object_ ? 0 : -1;
    }

    PyObject *result() { return object_ ? object_.release() : PyLong_FromLongLong(small_); }

private:
    long long small_ = 0;
    Ref object_;
};

/// `total += estimate_tokens_text(text)`, the function looked up now. When it
/// is still this module's own, the estimate is computed in place.
int add_text_estimate(Total &total, PyObject *text_fn, PyObject *text) {
    if (PyUnicode_CheckExact(text) && is_native_function(text_fn, estimate_tokens_text_body)) {
        long long estimate = 0;
        return exact_text_estimate(text, estimate) < 0 ? -1 : total.add(estimate);
    }
    Ref estimate = Ref::steal(PyObject_CallOneArg(text_fn, text));
    return estimate ? total.add(estimate.get()) : -1;
}

/// The part of estimate_tokens for one list content.
int add_parts(Total &total, Frame &frame, CachedGlobal &text_fn, PyObject *parts) {
    frame.line = line::kMsgsParts;
    return for_each(parts, [&](PyObject *part) {
        frame.line = line::kMsgsIsDict;
        int is_dict = is_instance(part, &PyDict_Type);
        if (is_dict < 0) {
            return -1;
        }
        if (is_dict) {
            frame.line = line::kMsgsPartType;
            Ref type = record_get(part, kc.type);
            if (!type) {
                return -1;
            }
            int is_text = equals_text(type.get(), kc.text);
            if (is_text < 0) {
                return -1;
            }
            if (!is_text) {
                frame.line = line::kMsgsOtherPart;
                return total.add(kNonTextPart) < 0 ? -1 : 1;
            }
            frame.line = line::kMsgsTextPart;
            PyObject *text_estimator = text_fn.get();
            if (!text_estimator) {
                return -1;
            }
            Ref text = record_get(part, kc.text, kc.empty);
            if (!text) {
                return -1;
            }
            return add_text_estimate(total, text_estimator, text.get()) < 0 ? -1 : 1;
        }
        frame.line = line::kMsgsIsStr;
        int is_str = is_instance(part, &PyUnicode_Type);
        if (is_str <= 0) {
            return is_str < 0 ? -1 : 1;
        }
        frame.line = line::kMsgsStrPart;
        PyObject *text_estimator = text_fn.get();
        if (!text_estimator) {
            return -1;
        }
        return add_text_estimate(total, text_estimator, part) < 0 ? -1 : 1;
    });
}

}  // namespace

int str_tokens(PyObject *text, long long &estimate) noexcept {
    const Py_ssize_t ideographs = count_ideographs(text);
    if (ideographs < 0) {
        return -1;
    }
    estimate = token_estimate(ideographs, PyUnicode_GET_LENGTH(text) - ideographs);
    return 0;
}

PyObject *estimate_tokens_text_body(PyObject *const *params, Frame &frame) {
    long long estimate = 0;
    return estimate_text(params[0], frame, estimate) < 0 ? nullptr : PyLong_FromLongLong(estimate);
}

PyObject *estimate_tokens_body(PyObject *const *params, Frame &frame) {
    PyObject *msgs = params[0];
    Total total;
    // estimate_tokens_text is looked up for every text, as Python would; the
    // lookup is kept while the namespace stands.
    CachedGlobal text_fn(frame, kc.fn_estimate_tokens_text);
    frame.line = line::kMsgsLoop;
    int walked = for_each(msgs, [&](PyObject *message) {
        MessageBody body;
        if (read_message(message, kReading, frame, body) < 0) {
            return -1;
        }
        Ref content = std::move(body.content);
        frame.line = line::kMsgsIsList;
        int is_list = is_instance(content.get(), &PyList_Type);
        if (is_list < 0) {
            return -1;
        }
        if (is_list) {
            if (add_parts(total, frame, text_fn, content.get()) < 0) {
                return -1;
            }
        } else {
            frame.line = line::kMsgsIsText;
            int is_str = is_instance(content.get(), &PyUnicode_Type);
            if (is_str < 0) {
                return -1;
            }
            if (is_str) {
                frame.line = line::kMsgsText;
                PyObject *text_estimator = text_fn.get();
                if (!text_estimator || add_text_estimate(total, text_estimator, content.get()) < 0) {
                    return -1;
                }
            }
        }
        frame.line = line::kMsgsOverhead;
        return total.add(kPerMessageOverhead) < 0 ? -1 : 1;
    });
    if (walked < 0) {
        return nullptr;
    }
    return total.result();
}

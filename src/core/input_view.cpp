// The input view: the caller's buffer, read in place.
#include "input_view.hpp"

#include <bit>
#include <cstddef>

namespace velka {

namespace {

// How the dtype-mismatch message names an item kind.
const char* describe_item_kind(char kind) {
    switch (kind) {
        case '?':
            return "'bool'";
        case 'B':
            return "'unsigned char'";
        case 'H':
            return "'unsigned short'";
        case 'I':
            return "'unsigned int'";
        case 'L':
            return "'unsigned long'";
        case 'Q':
            return "'unsigned long long'";
        case 'b':
            return "'signed char'";
        case 'c':
            return "'char'";
        case 'h':
            return "'short'";
        case 'i':
            return "'int'";
        case 'l':
            return "'long'";
        case 'q':
            return "'long long'";
        case 'f':
            return "'float'";
        case 'd':
            return "'double'";
        case 'g':
            return "'long double'";
        case 'O':
            return "Python object";
        case 'P':
            return "a pointer";
        case 'T':
            return "a struct";
        case 's':
        case 'p':
            return "a string";
        case '\0':
            return "end";
        default:
            return nullptr;
    }
}

const char* describe_complex_kind(char kind) {
    switch (kind) {
        case 'f':
            return "'complex float'";
        case 'd':
            return "'complex double'";
        case 'g':
            return "'complex long double'";
        default:
            return nullptr;
    }
}

int raise_dtype_mismatch(bool item_seen, const char* got) {
    if (item_seen) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "",
                     "end", "", got);
    } else {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                     "const unsigned char", "'", got);
    }
    return -1;
}

// Accepts a struct-module format that describes exactly one item of an
// unsigned byte, a char or a bool, with optional native or host-order
// prefixes, spaces and a repeat count of 1. Returns 0, or -1 with ValueError.
int check_item_format(const char* format) {
    constexpr bool big_endian_host = std::endian::native == std::endian::big;
    bool item_seen = false;
    const char* f = format;
    for (;;) {
        const char c = *f;
        switch (c) {
            case '\0':
                return item_seen ? 0 : raise_dtype_mismatch(false, "end");
            case '@':
            case '=':
            case '^':
            case ' ':
                ++f;
                continue;
            case '<':
                if (big_endian_host) {
                    PyErr_SetString(PyExc_ValueError,
                                    "Little-endian buffer not supported on big-endian compiler");
                    return -1;
                }
                ++f;
                continue;
            case '>':
            case '!':
                if (!big_endian_host) {
                    PyErr_SetString(PyExc_ValueError,
                                    "Big-endian buffer not supported on little-endian compiler");
                    return -1;
                }
                ++f;
                continue;
            case 'T':
            case '{':
                return raise_dtype_mismatch(item_seen, "a struct");
            case '(':
                return raise_dtype_mismatch(item_seen, "a sub-array");
            case 'x':
                return raise_dtype_mismatch(item_seen, "pad bytes");
            case 'Z': {
                const char* described = describe_complex_kind(f[1]);
                if (described == nullptr) {
                    PyErr_SetString(PyExc_ValueError,
                                    "Buffer dtype mismatch: complex marker 'Z' must precede "
                                    "'f', 'd' or 'g'");
                    return -1;
                }
                return raise_dtype_mismatch(item_seen, described);
            }
            default:
                break;
        }
        std::size_t repeat = 1;
        if (c >= '0' && c <= '9') {
            repeat = 0;
            while (*f >= '0' && *f <= '9' && repeat <= 1000000) {
                repeat = repeat * 10 + static_cast<std::size_t>(*f - '0');
                ++f;
            }
            if (repeat == 0 || repeat > 1000000) {
                PyErr_SetString(PyExc_ValueError,
                                "Buffer dtype mismatch, expected 'const unsigned char' but got "
                                "an item count other than 1");
                return -1;
            }
        }
        const char kind = *f;
        const char* described = describe_item_kind(kind);
        if (described == nullptr) {
            PyErr_Format(PyExc_ValueError,
                         "Does not understand character buffer dtype format string ('%c')", kind);
            return -1;
        }
        const bool is_byte_kind = kind == 'B' || kind == 'c' || kind == '?';
        if (!is_byte_kind || item_seen || repeat != 1) {
            return raise_dtype_mismatch(item_seen || (is_byte_kind && repeat > 1), described);
        }
        item_seen = true;
        ++f;
    }
}

// A new reference to `memoryview.cast('B')` of `view`, or nullptr with an
// exception set. The method name and format are made once and kept.
PyObject* cast_to_bytes(PyObject* view) {
    static PyObject* cast_name = nullptr;
    static PyObject* byte_format = nullptr;
    if (cast_name == nullptr) {
        cast_name = PyUnicode_InternFromString("cast");
        if (cast_name == nullptr) {
            return nullptr;
        }
    }
    if (byte_format == nullptr) {
        byte_format = PyUnicode_InternFromString("B");
        if (byte_format == nullptr) {
            return nullptr;
        }
    }
    return PyObject_CallMethodOneArg(view, cast_name, byte_format);
}

}  // namespace

int data_truth(PyObject* data) {
    if (PyBytes_CheckExact(data)) {
        return PyBytes_GET_SIZE(data) != 0 ? 1 : 0;
    }
    if (data == Py_True) {
        return 1;
    }
    if (data == Py_False || data == Py_None) {
        return 0;
    }
    return PyObject_IsTrue(data);
}

int to_buffer(PyObject* data, OwnedInput& out) {
    if (PyBytes_CheckExact(data)) {
        // Immutable, and alive for the whole call: no export needed.
        out.view_ = InputView{reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data)),
                              PyBytes_GET_SIZE(data), 1};
        return 0;
    }
    if (data == Py_None) {
        return 0;
    }
    PyObject* source = data;
    if (Py_IS_TYPE(data, &PyMemoryView_Type)) {
        out.cast_view_ = cast_to_bytes(data);
        if (out.cast_view_ == nullptr) {
            return -1;
        }
        source = out.cast_view_;
    }
    Py_buffer& buffer = out.buffer_;
    if (PyObject_GetBuffer(source, &buffer, PyBUF_RECORDS_RO) < 0) {
        Py_CLEAR(out.cast_view_);
        return -1;
    }
    out.has_buffer_ = true;

    auto refuse = [&out]() {
        PyBuffer_Release(&out.buffer_);
        out.has_buffer_ = false;
        Py_CLEAR(out.cast_view_);
        return -1;
    };
    if (buffer.ndim != 1) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", 1, buffer.ndim);
        return refuse();
    }
    if (check_item_format(buffer.format != nullptr ? buffer.format : "B") < 0) {
        return refuse();
    }
    if (buffer.itemsize != 1) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     buffer.itemsize, buffer.itemsize > 1 ? "s" : "", "const unsigned char",
                     Py_ssize_t{1}, "");
        return refuse();
    }
    const Py_ssize_t length = buffer.shape != nullptr ? buffer.shape[0] : buffer.len;
    if (buffer.len > 0) {
        if (length >= 2 && buffer.suboffsets != nullptr && buffer.strides == nullptr) {
            PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
            return refuse();
        }
        if (buffer.suboffsets != nullptr && buffer.suboffsets[0] >= 0) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer not compatible with direct access in dimension %d.", 0);
            return refuse();
        }
    }
    out.view_ = InputView{static_cast<const unsigned char*>(buffer.buf), length,
                          buffer.strides != nullptr ? buffer.strides[0] : 1};
    return 0;
}

}  // namespace velka

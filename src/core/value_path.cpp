// Paths of values, for error messages; made only once a fault is found.
#include "value_path.hpp"

#include <cstring>

#include "pyref.hpp"

namespace velka {

namespace {

// Whether `text` can follow a dot: printable, and none of the characters
// that would make the path ambiguous to read back.
bool is_plain_name(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length == 0) {
        return false;
    }
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch == ' ' || ch == '.' || ch == '\'' || ch == '"' || ch == '[' || ch == ']' ||
            !Py_UNICODE_ISPRINTABLE(ch)) {
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject* key_step_text(PyObject* key) {
    PyRef text =
        PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key), "strict"));
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            return nullptr;
        }
        PyErr_Clear();
        return PyUnicode_FromFormat("[%R]", key);
    }
    if (is_plain_name(text.get())) {
        return PyUnicode_FromFormat(".%U", text.get());
    }
    return PyUnicode_FromFormat("[%R]", text.get());
}

PathTrail::~PathTrail() {
    for (Py_ssize_t i = 0; i < size_; ++i) {
        Py_XDECREF(steps_[i].key);
    }
    if (steps_ != inline_) {
        PyMem_Free(steps_);
    }
}

void PathTrail::add(PyObject* key, Py_ssize_t index) noexcept {
    if (lost_) {
        return;
    }
    if (size_ == capacity_) {
        // PyMem_Realloc sets no exception, so the fault's own stays raised.
        const Py_ssize_t capacity = capacity_ * 2;
        auto* steps = static_cast<Step*>(
            steps_ == inline_
                ? PyMem_Malloc(static_cast<std::size_t>(capacity) * sizeof(Step))
                : PyMem_Realloc(steps_, static_cast<std::size_t>(capacity) * sizeof(Step)));
        if (steps == nullptr) {
            lost_ = true;
            return;
        }
        if (steps_ == inline_) {
            std::memcpy(steps, inline_, sizeof(inline_));
        }
        steps_ = steps;
        capacity_ = capacity;
    }
    steps_[size_++] = Step{Py_XNewRef(key), index};
}

PyObject* PathTrail::text() const {
    return path_text(size_, [this](Py_ssize_t i) {
        const Step& step = steps_[i];
        return step.key != nullptr ? key_step_text(step.key)
                                   : PyUnicode_FromFormat("[%zd]", step.index);
    });
}

void PathTrail::attach_to_raised_error() const {
    if (!active_ || lost_) {
        return;
    }
    PyObject* error = PyErr_GetRaisedException();
    if (error == nullptr) {
        return;
    }
    PyRef arguments = PyRef::steal(PyException_GetArgs(error));
    if (arguments && PyTuple_GET_SIZE(arguments.get()) == 1 &&
        PyUnicode_Check(PyTuple_GET_ITEM(arguments.get(), 0))) {
        PyRef path = PyRef::steal(text());
        PyRef message =
            PyRef::steal(path ? PyUnicode_FromFormat(
                                    "%U at %U", PyTuple_GET_ITEM(arguments.get(), 0), path.get())
                              : nullptr);
        PyRef new_arguments = PyRef::steal(message ? PyTuple_Pack(1, message.get()) : nullptr);
        if (new_arguments) {
            PyException_SetArgs(error, new_arguments.get());
        } else {
            // The fault's own error matters more than the path.
            PyErr_Clear();
        }
    }
    PyErr_SetRaisedException(error);
}

}  // namespace velka

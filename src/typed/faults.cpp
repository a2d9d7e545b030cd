// Faults of fit, and the path text of the one raised.
#include "faults.hpp"

#include <cstring>

#include "decoder.hpp"
#include "reading.hpp"
#include "value_path.hpp"

namespace velka::typed {

Fault::~Fault() {
    if (steps_ != inline_) {
        PyMem_Free(steps_);
    }
}

PyObject* Fault::record(PyObject* message, Py_ssize_t position, PyObject* cause) {
    PyRef owned_cause = PyRef::steal(cause);
    if (message == nullptr) {
        return nullptr;  // the error of making the message stands
    }
    recorded_ = true;
    message_ = PyRef::steal(message);
    cause_ = std::move(owned_cause);
    position_ = position;
    return nullptr;
}

void Fault::add(Py_ssize_t value, bool is_index) noexcept {
    if (!recorded_ || path_lost_) {
        return;
    }
    if (count_ == capacity_) {
        const Py_ssize_t grown = capacity_ * 2;
        auto* steps =
            static_cast<Step*>(PyMem_Malloc(static_cast<std::size_t>(grown) * sizeof(Step)));
        if (steps == nullptr) {
            path_lost_ = true;
            return;
        }
        std::memcpy(steps, steps_, static_cast<std::size_t>(count_) * sizeof(Step));
        if (steps_ != inline_) {
            PyMem_Free(steps_);
        }
        steps_ = steps;
        capacity_ = grown;
    }
    steps_[count_++] = Step{value, is_index};
}

PyObject* describe_key(PyObject* key) {
    PyRef text =
        PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key), "strict"));
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            return nullptr;
        }
        PyErr_Clear();
        return PyObject_Repr(key);
    }
    return PyObject_Repr(text.get());
}

namespace {

// The text of the step of the key at `key_position`: a new str, or nullptr
// with an exception set.
PyObject* key_text(const InputView& view, Py_ssize_t key_position) {
    ValueChecker checker(view);
    Py_ssize_t pos = key_position;
    Py_ssize_t start = 0;
    const Py_ssize_t length = checker.byte_string(pos, start);
    if (length < 0) {
        return nullptr;
    }
    PyRef key = PyRef::steal(
        view.contiguous() ? reading::ContiguousBytes{view.data}.copy(start, length)
                          : reading::StridedBytes{view.data, view.stride}.copy(start, length));
    return key ? key_step_text(key.get()) : nullptr;
}

}  // namespace

PyObject* Fault::raise(PyObject* error_class, const InputView& view) {
    if (path_lost_) {
        // A step could not be kept: no path rather than a wrong one.
        return PyErr_NoMemory();
    }
    PyRef path = PyRef::steal(path_text(count_, [this, &view](Py_ssize_t i) {
        const Step& step = steps_[i];
        return step.is_index ? PyUnicode_FromFormat("[%zd]", step.value)
                             : key_text(view, step.value);
    }));
    if (!path) {
        return nullptr;
    }
    PyRef message = PyRef::steal(
        PyUnicode_FromFormat("%U at %U (position %zd)", message_.get(), path.get(), position_));
    PyRef position = PyRef::steal(PyLong_FromSsize_t(position_));
    if (!message || !position) {
        return nullptr;
    }
    PyRef error = PyRef::steal(PyObject_CallOneArg(error_class, message.get()));
    if (!error) {
        return nullptr;
    }
    if (PyObject_SetAttrString(error.get(), "path", path.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "position", position.get()) < 0) {
        return nullptr;
    }
    if (cause_) {
        PyException_SetCause(error.get(), Py_NewRef(cause_.get()));
        PyException_SetContext(error.get(), Py_NewRef(cause_.get()));
    }
    PyErr_SetRaisedException(error.release());
    return nullptr;
}

}  // namespace velka::typed

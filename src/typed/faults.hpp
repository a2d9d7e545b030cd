// Faults of fit: well-formed input that does not fit the model. The walk
// records the first one (its message, position and cause), stops, and each
// container it unwinds through adds its step to the path; the path's text
// is made only when the ValidationError is raised.
#pragma once

#include "compat.hpp"
#include "input_view.hpp"
#include "pyref.hpp"

namespace velka::typed {

class Fault {
   public:
    Fault() noexcept = default;
    Fault(const Fault&) = delete;
    Fault& operator=(const Fault&) = delete;
    ~Fault();

    [[nodiscard]] bool recorded() const noexcept { return recorded_; }

    // Records the fault: `message` (a new reference, or nullptr when making
    // it failed, which then stands as the error), at `position`, with an
    // optional cause (stolen). Returns nullptr, for `return fault.record(...)`.
    PyObject* record(PyObject* message, Py_ssize_t position, PyObject* cause = nullptr);

    // Steps of the path, innermost first, as the walk unwinds.
    void add_index(Py_ssize_t index) noexcept { add(index, true); }
    // A dictionary key, by the position of its length prefix.
    void add_key(Py_ssize_t key_position) noexcept { add(key_position, false); }

    // Raises `error_class(message + " at " + path + " (position N)")` with
    // its `path` and `position` attributes (and its cause). Returns nullptr.
    PyObject* raise(PyObject* error_class, const InputView& view);

   private:
    struct Step {
        Py_ssize_t value;
        bool is_index;
    };
    void add(Py_ssize_t value, bool is_index) noexcept;

    bool recorded_ = false;
    PyRef message_;
    PyRef cause_;
    Py_ssize_t position_ = 0;
    static constexpr Py_ssize_t inline_capacity = 16;
    Step inline_[inline_capacity];
    Step* steps_ = inline_;
    Py_ssize_t count_ = 0;
    Py_ssize_t capacity_ = inline_capacity;
    bool path_lost_ = false;  // a step could not be stored
};

// How messages show a key: repr() of its text when it is UTF-8, else of its
// bytes. A new reference, or nullptr with an exception set.
PyObject* describe_key(PyObject* key);

}  // namespace velka::typed

// Owning reference to a Python object.
//
// A PyRef holds exactly one strong reference and drops it when it goes out of
// scope, so an early return on an error path cannot leak. Ownership moves in
// and out explicitly: PyRef::steal() adopts a new reference that a C API call
// returned, release() hands the reference back to the C API.
#pragma once

#include <utility>

#include "compat.hpp"

namespace velka {

class PyRef {
   public:
    PyRef() noexcept = default;

    // Adopts a new reference (nullptr allowed, as returned on failure).
    [[nodiscard]] static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
    // Takes a new reference to a borrowed object.
    [[nodiscard]] static PyRef borrow(PyObject* obj) noexcept { return PyRef(Py_XNewRef(obj)); }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    [[nodiscard]] PyObject* get() const noexcept { return obj_; }
    [[nodiscard]] explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Gives up ownership: the caller now owns the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

    void reset(PyObject* new_reference = nullptr) noexcept {
        PyObject* old = std::exchange(obj_, new_reference);
        Py_XDECREF(old);
    }

   private:
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace velka

// The decoder's view of the caller's input: bytes read in place, never copied
// as a whole.
#pragma once

#include "compat.hpp"

namespace velka {

// Item p of the input is the byte at data + p * stride. The stride is 1 for
// bytes, bytearray and contiguous buffers, and anything (negative included)
// for a strided one-dimensional buffer.
struct InputView {
    const unsigned char* data = nullptr;
    Py_ssize_t length = 0;
    Py_ssize_t stride = 1;

    [[nodiscard]] bool contiguous() const noexcept { return stride == 1; }
    [[nodiscard]] unsigned char at(Py_ssize_t pos) const noexcept { return data[pos * stride]; }
};

// An InputView together with whatever keeps its memory alive: the buffer
// export on the caller's object and, for a memoryview argument, the
// intermediate byte view. Both are released when the owner goes away, on
// every path out of an entry point.
class OwnedInput {
   public:
    OwnedInput() noexcept = default;
    OwnedInput(const OwnedInput&) = delete;
    OwnedInput& operator=(const OwnedInput&) = delete;
    ~OwnedInput() {
        if (has_buffer_) {
            PyBuffer_Release(&buffer_);
        }
        Py_XDECREF(cast_view_);
    }

    [[nodiscard]] const InputView& view() const noexcept { return view_; }

   private:
    friend int to_buffer(PyObject* data, OwnedInput& out);

    InputView view_;
    Py_buffer buffer_{};
    bool has_buffer_ = false;
    PyObject* cast_view_ = nullptr;
};

// The test `decode` makes of its argument before asking for a buffer: 1 when
// `data` is true, 0 when it is false (empty bytes, None, 0, ...), -1 with an
// exception set when its __bool__ failed.
int data_truth(PyObject* data);

// `_to_buffer`: makes the input view of `data`. Returns 0, or -1 with an
// exception set (and nothing held).
int to_buffer(PyObject* data, OwnedInput& out);

}  // namespace velka

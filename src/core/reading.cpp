// The reading rules' out-of-line pieces: number text judged by the module's
// own rules and then by int(), and the texts of reading faults.
#include "reading.hpp"

#include "errors.hpp"

namespace velka::reading {

// repr() of the one-character str whose code point is `byte`.
PyRef byte_repr(unsigned char byte) {
    PyRef character = PyRef::steal(PyUnicode_FromOrdinal(byte));
    if (!character) {
        return {};
    }
    return PyRef::steal(PyObject_Repr(character.get()));
}

void raise_unexpected_byte(const char* format, unsigned char byte, Py_ssize_t pos) {
    PyRef rendered = byte_repr(byte);
    if (rendered) {
        raise_error_format(ErrorClass::decode_error, format, rendered.get(), pos);
    }
}

// Converts numeric text with the host's int(); a ValueError becomes a
// DecodeError "<what>: <repr(text)>" raised from it.
PyObject* convert_text(PyObject* text, const char* what) {
    PyObject* value = PyNumber_Long(text);
    if (value != nullptr || !PyErr_ExceptionMatches(PyExc_ValueError)) {
        return value;
    }
    PyRef cause = PyRef::steal(PyErr_GetRaisedException());
    PyRef message = PyRef::steal(PyUnicode_FromFormat("%s: %R", what, text));
    if (!message) {
        return nullptr;
    }
    return raise_error_from(ErrorClass::decode_error, message.get(), cause.get());
}

IntegerTextFault integer_text_fault(const char* chars, Py_ssize_t size) noexcept {
    if (size == 0) {
        return IntegerTextFault::empty;
    }
    if (size == 2 && chars[0] == '-' && chars[1] == '0') {
        return IntegerTextFault::negative_zero;
    }
    if (size >= 2 && chars[0] == '0') {
        return IntegerTextFault::leading_zero;
    }
    if (size >= 2 && chars[0] == '-' && chars[1] == '0') {
        return IntegerTextFault::negative_leading_zero;
    }
    return IntegerTextFault::none;
}

// Raises the DecodeError for a fault of `text` (a bytes object).
void raise_integer_text_fault(IntegerTextFault fault, PyObject* text) {
    switch (fault) {
        case IntegerTextFault::empty:
            raise_error_format(ErrorClass::decode_error, "empty integer");
            return;
        case IntegerTextFault::negative_zero:
            raise_error_format(ErrorClass::decode_error, "negative zero is not allowed");
            return;
        case IntegerTextFault::leading_zero:
            raise_error_format(ErrorClass::decode_error, "leading zero in integer: %R", text);
            return;
        case IntegerTextFault::negative_leading_zero:
            raise_error_format(ErrorClass::decode_error, "leading zero in negative integer: %R",
                               text);
            return;
        case IntegerTextFault::none:
            return;
    }
}

bool length_text_has_leading_zero(const char* chars, Py_ssize_t size) noexcept {
    return size >= 2 && chars[0] == '0';
}

// Whether `text` (a bytes object) is number text that decoding accepts: 1 or
// 0, or -1 with an exception set when judging it failed for another reason.
// An accepted length is stored in `length`.
int acceptable_number_text(PyObject* text, NumberText kind, Py_ssize_t& length) {
    const char* chars = PyBytes_AS_STRING(text);
    const Py_ssize_t size = PyBytes_GET_SIZE(text);
    if (kind == NumberText::integer ? integer_text_fault(chars, size) != IntegerTextFault::none
                                    : length_text_has_leading_zero(chars, size)) {
        return 0;
    }
    PyRef number = PyRef::steal(PyNumber_Long(text));
    if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    if (kind == NumberText::length) {
        length = PyLong_AsSsize_t(number.get());
        if (length == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
                return -1;
            }
            PyErr_Clear();
            return 0;
        }
    }
    return 1;
}

}  // namespace velka::reading

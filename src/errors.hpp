// Raising the module's own exceptions.
//
// The class is looked up by name each time an error is raised (first in the
// module namespace, then among the builtins), so a caller who rebinds
// velka.bencode.DecodeError changes what later failures raise.
#pragma once

#include "compat.hpp"

namespace velka {

enum class ErrorClass { decode_error, encode_error };

// Each function sets the Python error indicator and returns nullptr, so that
// call sites can write `return raise_error(...)`.

// Raises the class called with `message` (a str; borrowed) as its only argument.
PyObject* raise_error(ErrorClass cls, PyObject* message);

// The same with a message made by PyUnicode_FromFormat.
PyObject* raise_error_format(ErrorClass cls, const char* format, ...);

// Raises as `raise cls(message) from cause`: `cause` (borrowed) becomes both
// __cause__ and __context__ of the new exception.
PyObject* raise_error_from(ErrorClass cls, PyObject* message, PyObject* cause);

}  // namespace velka

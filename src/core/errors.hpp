// Raising the codec's own exceptions.
//
// Each kind of error is bound, when a module is initialised, to a module and
// a class name. The class is looked up by that name each time an error is
// raised (first in the module's namespace, then among the builtins), so a
// caller who rebinds velka.bencode.DecodeError changes what later failures
// raise.
#pragma once

#include "compat.hpp"

namespace velka {

enum class ErrorClass {
    // Malformed input.
    decode_error,
    // Input that ends before its value does: more data could complete it.
    // velka.bencode raises these as DecodeError, velka.raw as IncompleteError.
    incomplete,
    // A value that bencode cannot represent.
    encode_error,
};

// Binds `cls` to the class named `name` in `module` (borrowed; kept alive
// from now on). Returns 0, or -1 with an exception set.
int bind_error_class(ErrorClass cls, PyObject* module, const char* name);

// What `cls` is bound to now: a new reference, or nullptr with an exception
// set.
PyObject* bound_error_class(ErrorClass cls);

// Each function below sets the Python error indicator and returns nullptr, so
// that call sites can write `return raise_error(...)`.

// Raises the class called with `message` (a str; borrowed) as its only argument.
PyObject* raise_error(ErrorClass cls, PyObject* message);

// The same with a message made by PyUnicode_FromFormat.
PyObject* raise_error_format(ErrorClass cls, const char* format, ...);

// Raises as `raise cls(message) from cause`: `cause` (borrowed) becomes both
// __cause__ and __context__ of the new exception.
PyObject* raise_error_from(ErrorClass cls, PyObject* message, PyObject* cause);

// The object bound to `name` in `module`'s namespace, else among the
// builtins: a new reference, or nullptr with NameError set.
PyObject* lookup_global(PyObject* module, PyObject* name);

}  // namespace velka

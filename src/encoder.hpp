// The value encoder: a Python value into canonical bencode.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velka {

// `encode` once its argument is bound: a new bytes object, or nullptr with an
// exception set.
PyObject* encode_value(PyObject* value);

}  // namespace velka

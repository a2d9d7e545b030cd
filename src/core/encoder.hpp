// The value encoder: a Python value into canonical bencode.
#pragma once

#include "compat.hpp"

namespace velka {

// `encode` once its argument is bound: a new bytes object, or nullptr with an
// exception set.
PyObject* encode_value(PyObject* value);

}  // namespace velka

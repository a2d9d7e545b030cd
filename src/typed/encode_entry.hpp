// velka._typed.encode: the function object of the typed encoder.
#pragma once

#include "compat.hpp"

namespace velka {

// Adds `encode` to the module and prepares the typed encoder; velka.bencode
// must be importable (its EncodeError and DecodeError are raised). Returns
// 0, or -1 with an exception set.
int add_encode_function(PyObject* module);

}  // namespace velka

// The typed encoder: values by their own types, dataclass instances
// included, into canonical bencode.
#pragma once

#include "compat.hpp"

namespace velka {

// Finds what the typed encoder needs from Python (the Raw marker, enum.Enum,
// the record layouts' maker) once, when the module is initialised. Returns
// 0, or -1 with an exception set.
int prepare_typed_encoder();

// A new bytes object, or nullptr with an exception set; the encoder's own
// errors name the path of the value at fault.
PyObject* typed_encode_value(PyObject* value);

}  // namespace velka

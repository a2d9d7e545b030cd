// velka.bencode's decode entry points, once their argument is bound: each
// returns a new reference, or nullptr with an exception set.
#pragma once

#include "compat.hpp"

namespace velka {

// `decode`: the one value that makes up the whole of `data`.
PyObject* decode(PyObject* data);

// `decode_all`: the list of the values that follow one another in `data`.
PyObject* decode_all(PyObject* data);

}  // namespace velka

// velka.raw's entry points, as METH_FASTCALL | METH_KEYWORDS functions: each
// binds its own arguments and returns a new reference, or nullptr with an
// exception set.
#pragma once

#include "compat.hpp"

namespace velka {

// `decode_prefix(data, start=0)`: the value that begins at `start`, and the
// position just past it.
PyObject* decode_prefix(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

// `span(data, *path)`: checks that `data` is one well-formed value, then
// gives (start, end) of the value that `path` leads to.
PyObject* span(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velka

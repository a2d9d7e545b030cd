// The arguments of the entry points that take a value's input and where it
// starts (velka.raw.decode_prefix, velka.typed's Decoder.decode_prefix), so
// that each refuses the same arguments with the same messages.
#pragma once

#include "compat.hpp"
#include "input_view.hpp"

namespace velka {

// Binds keyword arguments to the parameters named in `names`, filling
// `bound`, where the positional arguments were put already. Returns 0, or -1
// with TypeError set.
int bind_keywords(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  const char* const* names, Py_ssize_t count, PyObject** bound);

// The input of a raw entry point, as `decode` takes it: a false argument is
// empty data, refused as incomplete input when it is empty data indeed (None
// or an empty buffer) and as DecodeError otherwise, as `decode` does.
// `empty` tells the caller that the data was false. Returns 0, or -1 with an
// exception set.
int take_input(PyObject* data, OwnedInput& input, bool& empty);

// Raises IncompleteError("empty data"); returns nullptr.
PyObject* raise_empty_data();

// Binds `(data, start=0)` for `function` (its name, for messages) into the
// input and the start, checked against the data's length. Returns 0, or -1
// with an exception set (IncompleteError for empty data).
int prefix_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, OwnedInput& input, Py_ssize_t& start);

// A new tuple (first, position), taking over `first` (a new reference); or
// nullptr with an exception set, `first` then released.
PyObject* make_pair(PyObject* first, Py_ssize_t position);

}  // namespace velka

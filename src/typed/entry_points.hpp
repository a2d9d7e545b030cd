// velka.typed's entry points: the Decoder type (a compiled plan and the
// objects it needs), and the decoder of a cached plan, which holds the
// caller's objects only weakly.
#pragma once

#include "compat.hpp"

namespace velka::typed {

// Makes the Decoder type, with ValidationError (borrowed, kept) as the
// class of faults of fit. A new reference, or nullptr with an exception set.
PyObject* make_decoder_type(PyObject* module_name, PyObject* validation_error);

// `_weak_decoder(form, description, references)`: a Decoder of the plan
// `description`, which holds each of the description's caller's objects
// through `references` (a weak reference to it, or the object itself where
// it can have none).
PyObject* weak_decoder(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace velka::typed

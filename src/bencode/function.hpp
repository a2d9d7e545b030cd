// Function objects of velka.bencode: callables of one parameter that carry
// __annotations__ and a text signature, and pickle by name.
#pragma once

#include "compat.hpp"

namespace velka {

// What a function does once its one argument is bound (borrowed): a new
// reference, or nullptr with an exception set.
using Implementation = PyObject* (*)(PyObject* argument);

// A new function object `name(parameter)` of module `module_name` (a str;
// borrowed and kept), or nullptr with an exception set. `annotations`
// (borrowed) becomes the function's own dictionary.
PyObject* make_function(const char* name, const char* parameter, const char* doc,
                        PyObject* annotations, PyObject* module_name,
                        Implementation implementation);

}  // namespace velka

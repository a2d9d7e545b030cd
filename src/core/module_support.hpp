// What the initialisation of each of the package's extension modules needs:
// the one-interpreter rule, a module made from its spec, and the pieces of a
// module body (imports, bindings, exception classes).
#pragma once

#include <initializer_list>

#include "compat.hpp"

namespace velka {

// The create slot's guard: records the interpreter that imports the module
// first and refuses every other. Returns 0, or -1 with ImportError set.
int claim_interpreter();

// A new module named as `spec` says, with __loader__, __file__, __package__
// and __path__ taken from it; or nullptr with an exception set.
PyObject* module_from_spec(PyObject* spec);

// Warns when the running interpreter is not the version the module was
// compiled for. Returns 0, or -1 when the warning was turned into an error.
int warn_on_other_runtime(const char* qualified_name);

// Makes the module importable under its qualified name (sys.modules), unless
// something is there already. Returns 0, or -1 with an exception set.
int register_qualified_name(PyObject* module, PyObject* qualified_name);

// Binds `name` to a new reference (stolen; nullptr means the call that made
// it failed). Returns 0, or -1 with an exception set.
int bind_new(PyObject* namespace_dict, const char* name, PyObject* new_reference);

// `from <module_name> import <names...>` into the namespace.
int import_names(PyObject* namespace_dict, const char* module_name,
                 std::initializer_list<const char*> names);

// Binds `name` to an exception class made as a class statement of module
// `module_name` (a str) would make it: type(name, (base,), ns) with a
// namespace of __module__, __qualname__ and __doc__ only.
int bind_exception_class(PyObject* namespace_dict, const char* name, PyObject* base,
                         const char* doc, PyObject* module_name);

}  // namespace velka

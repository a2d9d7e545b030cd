// What the initialisation of each of the package's extension modules needs:
// the one-interpreter rule, a module made from its spec, and the pieces of a
// module body (imports, bindings, exception classes).
#pragma once

#include <initializer_list>

#include "compat.hpp"

namespace velka {

// The one module object of an extension module in the process. Its create
// slot makes it once, in the interpreter that imports it first (any other
// is refused), and hands it back to every later import; its exec slot runs
// the module's body once and refuses any other module object.
class ProcessModule {
   public:
    explicit constexpr ProcessModule(const char* name) noexcept : name_(name) {}
    ProcessModule(const ProcessModule&) = delete;
    ProcessModule& operator=(const ProcessModule&) = delete;

    // The create slot: a new reference, or nullptr with an exception set.
    PyObject* create(PyObject* spec);

    // The exec slot: runs `initialise` on the module. Returns 0, or -1 with
    // an exception set.
    int exec(PyObject* module, int (*initialise)(PyObject* module));

    // The module object (borrowed), from the start of its exec slot.
    [[nodiscard]] PyObject* get() const noexcept { return module_; }

   private:
    const char* name_;
    PyObject* module_ = nullptr;
};

// The definition of a module made in two phases by `slots` (its create and
// exec slots), with no state and no methods of the definition's own.
PyModuleDef module_definition(const char* name, const char* doc, PyModuleDef_Slot* slots) noexcept;

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

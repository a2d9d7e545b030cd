// Shared pieces of module initialisation.
#include "module_support.hpp"

#include <atomic>
#include <cstdint>

#include "pyref.hpp"

namespace velka {

namespace {

// The interpreter that imported the module first; -1 until then. Each
// extension module links its own copy.
std::atomic<std::int64_t> owner_interpreter{-1};

// Copies a module spec attribute into the new module; a missing one is skipped.
int copy_spec_attribute(PyObject* spec, PyObject* module, const char* spec_name,
                        const char* module_name, bool skip_none) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(spec, spec_name, &value) < 0) {
        return -1;
    }
    PyRef value_ref = PyRef::steal(value);
    if (value == nullptr || (skip_none && value == Py_None)) {
        return 0;
    }
    return PyObject_SetAttrString(module, module_name, value);
}

// Records the interpreter that imports the module first and refuses every
// other. Returns 0, or -1 with ImportError set.
int claim_interpreter() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1 && PyErr_Occurred()) {
        return -1;
    }
    std::int64_t recorded = -1;
    if (!owner_interpreter.compare_exchange_strong(recorded, current) && recorded != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

// A new module named as `spec` says, with __loader__, __file__, __package__
// and __path__ taken from it; or nullptr with an exception set.
PyObject* module_from_spec(PyObject* spec) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    PyRef module = PyRef::steal(PyModule_NewObject(name.get()));
    if (!module || copy_spec_attribute(spec, module.get(), "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", true) <
            0) {
        return nullptr;
    }
    return module.release();
}

}  // namespace

PyObject* ProcessModule::create(PyObject* spec) {
    if (claim_interpreter() < 0) {
        return nullptr;
    }
    if (module_ != nullptr) {
        return Py_NewRef(module_);
    }
    return module_from_spec(spec);
}

int ProcessModule::exec(PyObject* module, int (*initialise)(PyObject* module)) {
    if (module_ != nullptr) {
        if (module_ == module) {
            return 0;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     name_);
        return -1;
    }
    module_ = Py_NewRef(module);
    if (initialise(module) < 0) {
        Py_CLEAR(module_);
        return -1;
    }
    return 0;
}

PyModuleDef module_definition(const char* name, const char* doc, PyModuleDef_Slot* slots) noexcept {
    return PyModuleDef{
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = name,
        .m_doc = doc,
        .m_size = 0,
        .m_methods = nullptr,
        .m_slots = slots,
        .m_traverse = nullptr,
        .m_clear = nullptr,
        .m_free = nullptr,
    };
}

int warn_on_other_runtime(const char* qualified_name) {
    const unsigned long runtime_major = (Py_Version >> 24) & 0xFF;
    const unsigned long runtime_minor = (Py_Version >> 16) & 0xFF;
    if (runtime_major == PY_MAJOR_VERSION && runtime_minor == PY_MINOR_VERSION) {
        return 0;
    }
    return PyErr_WarnFormat(nullptr, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, qualified_name, "does not match",
                            static_cast<int>(runtime_major), static_cast<int>(runtime_minor));
}

int register_qualified_name(PyObject* module, PyObject* qualified_name) {
    PyObject* modules = PyImport_GetModuleDict();
    const int present = PyDict_Contains(modules, qualified_name);
    if (present != 0) {
        return present < 0 ? -1 : 0;
    }
    return PyDict_SetItem(modules, qualified_name, module);
}

int bind_new(PyObject* namespace_dict, const char* name, PyObject* new_reference) {
    PyRef value = PyRef::steal(new_reference);
    if (!value) {
        return -1;
    }
    return PyDict_SetItemString(namespace_dict, name, value.get());
}

// `from <module_name> import <names...>` into the namespace.
int import_names(PyObject* namespace_dict, const char* module_name,
                 std::initializer_list<const char*> names) {
    PyRef fromlist = PyRef::steal(PyList_New(0));
    if (!fromlist) {
        return -1;
    }
    for (const char* name : names) {
        PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
        if (!name_object || PyList_Append(fromlist.get(), name_object.get()) < 0) {
            return -1;
        }
    }
    PyRef module_name_object = PyRef::steal(PyUnicode_FromString(module_name));
    if (!module_name_object) {
        return -1;
    }
    PyRef module = PyRef::steal(PyImport_ImportModuleLevelObject(
        module_name_object.get(), namespace_dict, nullptr, fromlist.get(), 0));
    if (!module) {
        return -1;
    }
    for (const char* name : names) {
        PyObject* value = nullptr;
        if (PyObject_GetOptionalAttrString(module.get(), name, &value) < 0) {
            return -1;
        }
        if (value == nullptr) {
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module_name);
            return -1;
        }
        if (bind_new(namespace_dict, name, value) < 0) {
            return -1;
        }
    }
    return 0;
}

int bind_exception_class(PyObject* namespace_dict, const char* name, PyObject* base,
                         const char* doc, PyObject* module_name) {
    PyRef class_namespace = PyRef::steal(PyDict_New());
    if (!class_namespace ||
        PyDict_SetItemString(class_namespace.get(), "__module__", module_name) < 0 ||
        bind_new(class_namespace.get(), "__qualname__", PyUnicode_FromString(name)) < 0 ||
        bind_new(class_namespace.get(), "__doc__", PyUnicode_FromString(doc)) < 0) {
        return -1;
    }
    return bind_new(namespace_dict, name,
                    PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", name,
                                          base, class_namespace.get()));
}

}  // namespace velka

// Raising the codec's own exceptions: the class is found by name at the
// moment of raising and called with the message.
#include "errors.hpp"

#include <cstdarg>

#include "pyref.hpp"

namespace velka {

namespace {

// Where each kind of error finds its class. Written while a module is
// initialised (which the import system serialises) and read-only afterwards;
// the references are held for the life of the process.
struct ErrorBinding {
    PyObject* module = nullptr;
    PyObject* name = nullptr;
};
ErrorBinding bindings[3];
PyObject* builtins_module = nullptr;

// The builtins module (borrowed; kept from the first call on), or nullptr
// with an exception set.
PyObject* builtins() {
    if (builtins_module == nullptr) {
        builtins_module = PyImport_ImportModule("builtins");
    }
    return builtins_module;
}

ErrorBinding& binding_of(ErrorClass cls) { return bindings[static_cast<int>(cls)]; }

// The exception instance made by calling the class bound to `cls` with the
// message, or nullptr with an exception set.
PyRef make_error(ErrorClass cls, PyObject* message) {
    PyRef error_class = PyRef::steal(bound_error_class(cls));
    if (!error_class) {
        return {};
    }
    PyRef error = PyRef::steal(PyObject_CallOneArg(error_class.get(), message));
    if (error && !PyExceptionInstance_Check(error.get())) {
        // What `raise` itself says of an object that is no exception.
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return {};
    }
    return error;
}

}  // namespace

PyObject* bound_error_class(ErrorClass cls) {
    const ErrorBinding& binding = binding_of(cls);
    if (binding.module == nullptr) {
        PyErr_SetString(PyExc_SystemError, "velka: error class used before it was bound");
        return nullptr;
    }
    return lookup_global(binding.module, binding.name);
}

int bind_error_class(ErrorClass cls, PyObject* module, const char* name) {
    ErrorBinding& binding = binding_of(cls);
    PyObject* name_object = PyUnicode_InternFromString(name);
    if (name_object == nullptr) {
        return -1;
    }
    Py_XSETREF(binding.name, name_object);
    Py_XSETREF(binding.module, Py_NewRef(module));
    return 0;
}

PyObject* lookup_global(PyObject* module, PyObject* name) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(module), name, &found) != 0) {
        return found;  // found, or an error from the lookup
    }
    PyObject* builtins_namespace = builtins();
    if (builtins_namespace == nullptr) {
        return nullptr;
    }
    if (PyDict_GetItemRef(PyModule_GetDict(builtins_namespace), name, &found) != 0) {
        return found;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

PyObject* raise_error(ErrorClass cls, PyObject* message) {
    PyRef error = make_error(cls, message);
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    }
    return nullptr;
}

PyObject* raise_error_format(ErrorClass cls, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyRef message = PyRef::steal(PyUnicode_FromFormatV(format, arguments));
    va_end(arguments);
    if (!message) {
        return nullptr;
    }
    return raise_error(cls, message.get());
}

PyObject* raise_error_from(ErrorClass cls, PyObject* message, PyObject* cause) {
    PyRef error = make_error(cls, message);
    if (!error) {
        return nullptr;
    }
    PyException_SetCause(error.get(), Py_NewRef(cause));
    PyException_SetContext(error.get(), Py_NewRef(cause));
    PyErr_SetRaisedException(error.release());
    return nullptr;
}

}  // namespace velka

// Function objects of velka.bencode.
//
// A builtin function object cannot carry __annotations__, so the public
// functions are instances of a small callable type of their own. Its
// __get__ returns the function itself, as for builtins, which also lets
// inspect read __text_signature__.
#include "function.hpp"

#include <cstddef>

#include "pyref.hpp"

namespace velka {

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Implementation implementation;
    const char* name_utf8;
    PyObject* name;
    PyObject* parameter;
    PyObject* doc;
    PyObject* annotations;
    PyObject* text_signature;
    PyObject* module_name;
};

PyTypeObject* function_type = nullptr;

PyObject* raise_wrong_positional_count(const Function* function, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function->name_utf8, "exactly", Py_ssize_t{1}, "", given);
    return nullptr;
}

// Binds the one parameter, by position or by keyword, and runs the function.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) {
    const auto* function = reinterpret_cast<const Function*>(self);
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (positional > 1) {
        return raise_wrong_positional_count(function, positional);
    }
    PyObject* argument = positional == 1 ? args[0] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < keyword_count; ++i) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
            if (!PyUnicode_Check(keyword)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                             function->name_utf8);
                return nullptr;
            }
            if (PyUnicode_Equal(keyword, function->parameter) != 1) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             function->name_utf8, keyword);
                return nullptr;
            }
            if (argument != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             function->name_utf8, keyword);
                return nullptr;
            }
            argument = args[positional + i];
        }
    }
    if (argument == nullptr) {
        return raise_wrong_positional_count(function, positional);
    }
    return function->implementation(argument);
}

PyObject* function_get_name(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->name);
}

PyObject* function_get_doc(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->doc);
}

PyObject* function_get_module(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->module_name);
}

PyObject* function_get_annotations(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->annotations);
}

PyObject* function_get_text_signature(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->text_signature);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<built-in function %U>", reinterpret_cast<Function*>(self)->name);
}

// Functions pickle by reference, by their qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->name);
}

PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Function*>(self)->annotations);
    return 0;
}

int function_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Function*>(self)->annotations);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* function = reinterpret_cast<Function*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_XDECREF(function->name);
    Py_XDECREF(function->parameter);
    Py_XDECREF(function->doc);
    Py_XDECREF(function->text_signature);
    Py_XDECREF(function->module_name);
    type->tp_free(self);
    Py_DECREF(type);
}

PyGetSetDef function_getset[] = {
    {"__name__", function_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", function_get_name, nullptr, nullptr, nullptr},
    {"__module__", function_get_module, nullptr, nullptr, nullptr},
    {"__doc__", function_get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", function_get_annotations, nullptr, nullptr, nullptr},
    {"__text_signature__", function_get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "velka.bencode.bencode_function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

PyObject* make_function(const char* name, const char* parameter, const char* doc,
                        PyObject* annotations, PyObject* module_name,
                        Implementation implementation) {
    if (function_type == nullptr) {
        function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
        if (function_type == nullptr) {
            return nullptr;
        }
    }
    PyRef name_object = PyRef::steal(PyUnicode_InternFromString(name));
    PyRef parameter_object = PyRef::steal(PyUnicode_InternFromString(parameter));
    PyRef doc_object = PyRef::steal(PyUnicode_FromString(doc));
    PyRef signature = PyRef::steal(PyUnicode_FromFormat("(%s)", parameter));
    if (!name_object || !parameter_object || !doc_object || !signature) {
        return nullptr;
    }
    auto* function = PyObject_GC_New(Function, function_type);
    if (function == nullptr) {
        return nullptr;
    }
    function->vectorcall = function_vectorcall;
    function->implementation = implementation;
    function->name_utf8 = name;
    function->name = name_object.release();
    function->parameter = parameter_object.release();
    function->doc = doc_object.release();
    function->annotations = Py_NewRef(annotations);
    function->text_signature = signature.release();
    function->module_name = Py_NewRef(module_name);
    PyObject_GC_Track(function);
    return reinterpret_cast<PyObject*>(function);
}

}  // namespace velka

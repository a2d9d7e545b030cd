// velka._typed: module initialisation and namespace.
//
// Only the encoding half is here so far: the module's decoding half adds its
// own functions beside it.
#include "encode_entry.hpp"
#include "errors.hpp"
#include "module_support.hpp"
#include "pyref.hpp"

namespace velka {

namespace {

constexpr const char module_doc[] =
    "The compiled half of velka.typed: bencode to and from the caller's own\n"
    "classes.";

constexpr const char qualified_name[] = "velka._typed";

// Process-wide state, written only while the module is imported.
ProcessModule the_module("_typed");

int initialise(PyObject* module) {
    if (warn_on_other_runtime(qualified_name) < 0) {
        return -1;
    }
    // The errors stay velka.bencode's, looked up there whenever raised.
    PyRef bencode = PyRef::steal(PyImport_ImportModule("velka.bencode"));
    if (!bencode || bind_error_class(ErrorClass::decode_error, bencode.get(), "DecodeError") < 0 ||
        bind_error_class(ErrorClass::encode_error, bencode.get(), "EncodeError") < 0 ||
        add_encode_function(module) < 0) {
        return -1;
    }
    return 0;
}

int exec_module(PyObject* module) { return the_module.exec(module, initialise); }

PyObject* create_module(PyObject* spec, PyModuleDef*) { return the_module.create(spec); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = module_definition("_typed", module_doc, module_slots);

}  // namespace

}  // namespace velka

PyMODINIT_FUNC PyInit__typed(void) { return PyModuleDef_Init(&velka::module_def); }

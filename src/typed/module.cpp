// velka._typed: the compiled half of velka.typed (the Decoder type and the
// decoder of cached plans); velka/typed.py is the public module.
#include "build.hpp"
#include "encode_entry.hpp"
#include "entry_points.hpp"
#include "errors.hpp"
#include "module_support.hpp"
#include "pyref.hpp"

namespace velka {

namespace {

constexpr const char module_doc[] =
    "The compiled half of velka.typed: bencode decoded into the caller's\n"
    "types by a plan that velka._model.plan makes from their annotations, and\n"
    "values, dataclass instances included, encoded into canonical bencode.";

constexpr const char validation_error_doc[] =
    "Raised when well-formed bencode does not fit the type it is decoded into.\n"
    "\n"
    "``path`` names the value (``$`` for the root, ``.name`` or ``['key']``\n"
    "for a dictionary key, ``[3]`` for a list index) and ``position`` is where\n"
    "the offending value starts in the input.";

constexpr const char qualified_name[] = "velka._typed";

ProcessModule the_module("_typed");

PyMethodDef module_functions[] = {
    {"_weak_decoder",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(typed::weak_decoder)),
     METH_FASTCALL, "The decoder of a cached plan, which holds the caller's objects weakly."},
    {nullptr, nullptr, 0, nullptr},
};

int initialise(PyObject* module) {
    PyObject* namespace_dict = PyModule_GetDict(module);
    if (namespace_dict == nullptr || warn_on_other_runtime(qualified_name) < 0) {
        return -1;
    }
    // Malformed input raises velka.bencode's DecodeError, and input cut short
    // by decode_prefix velka.raw's IncompleteError, as those modules do.
    PyRef bencode = PyRef::steal(PyImport_ImportModule("velka.bencode"));
    PyRef raw = PyRef::steal(PyImport_ImportModule("velka.raw"));
    PyRef markers = PyRef::steal(PyImport_ImportModule("velka._model.markers"));
    PyRef public_name = PyRef::steal(PyUnicode_InternFromString("velka.typed"));
    PyRef decode_error_name = PyRef::steal(PyUnicode_InternFromString("DecodeError"));
    if (!bencode || !raw || !markers || !public_name || !decode_error_name) {
        return -1;
    }
    PyRef decode_error = PyRef::steal(lookup_global(bencode.get(), decode_error_name.get()));
    if (!decode_error ||
        bind_exception_class(namespace_dict, "ValidationError", decode_error.get(),
                             validation_error_doc, public_name.get()) < 0 ||
        bind_error_class(ErrorClass::decode_error, bencode.get(), "DecodeError") < 0 ||
        bind_error_class(ErrorClass::incomplete, raw.get(), "IncompleteError") < 0 ||
        bind_error_class(ErrorClass::encode_error, bencode.get(), "EncodeError") < 0) {
        return -1;
    }
    // Each made on its own, so that an import that failed half way and is
    // tried again makes what is missing.
    if (typed::shared.raw_class == nullptr) {
        typed::shared.raw_class = PyObject_GetAttrString(markers.get(), "Raw");
    }
    if (typed::shared.empty_tuple == nullptr) {
        typed::shared.empty_tuple = PyTuple_New(0);
    }
    if (typed::shared.post_init_name == nullptr) {
        typed::shared.post_init_name = PyUnicode_InternFromString("__post_init__");
    }
    if (typed::shared.raw_class == nullptr || typed::shared.empty_tuple == nullptr ||
        typed::shared.post_init_name == nullptr) {
        return -1;
    }
    PyObject* validation_error = PyDict_GetItemString(namespace_dict, "ValidationError");
    if (validation_error == nullptr) {
        PyErr_SetString(PyExc_SystemError, "velka._typed: ValidationError was not made");
        return -1;
    }
    if (bind_new(namespace_dict, "Decoder",
                 typed::make_decoder_type(public_name.get(), validation_error)) < 0 ||
        PyModule_AddFunctions(module, module_functions) < 0 || add_encode_function(module) < 0) {
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

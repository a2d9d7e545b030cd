// velka.bencode: module initialisation and namespace.
#include "decoder.hpp"
#include "encoder.hpp"
#include "entry_points.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "module_support.hpp"
#include "pyref.hpp"

namespace velka {

namespace {

constexpr const char module_doc[] =
    "Bencode encoding and decoding, compiled variant optimised for speed.\n"
    "\n"
    "This module has the same public interface as the pure-Python module of the\n"
    "same name; when both are present, the import system prefers this compiled\n"
    "module over the pure-Python fallback.\n"
    "\n"
    "Notes for maintainers: the source is C++ against the CPython C API. It\n"
    "reads the caller's buffer in place, keeps positions as machine integers,\n"
    "converts canonical numbers without temporary objects and writes encoded\n"
    "output straight into one growing bytes object.";

constexpr const char decode_doc[] =
    "Decode a single bencoded value from *data*.\n"
    "\n"
    "    Raises :class:`DecodeError` on malformed input.\n"
    "    ";

constexpr const char decode_all_doc[] = "Decode *all* concatenated bencoded values from *data*.";

constexpr const char encode_doc[] =
    "Encode a Python value into bencode format.\n"
    "\n"
    "    Accepted types: ``int``, ``bytes``, ``list`` (or any ``Sequence``\n"
    "    of bencodable values), ``dict`` (or any ``Mapping`` with ``bytes``\n"
    "    keys and bencodable values).\n"
    "\n"
    "    Raises :class:`EncodeError` on unsupported types.\n"
    "    ";

constexpr const char qualified_name[] = "velka.bencode";

// Process-wide state. Written only while the module is imported (which the
// import system serialises) and read-only afterwards.

ProcessModule the_module("bencode");
// Its qualified name, interned.
PyObject* module_name = nullptr;

int run_module_body(PyObject* namespace_dict) {
    PyRef base_name = PyRef::steal(PyUnicode_InternFromString("BencodeError"));
    if (!base_name) {
        return -1;
    }

    if (import_names(namespace_dict, "collections.abc", {"Mapping", "Sequence"}) < 0 ||
        import_names(namespace_dict, "typing", {"Union"}) < 0) {
        return -1;
    }

    PyObject* union_form = nullptr;
    if (PyDict_GetItemStringRef(namespace_dict, "Union", &union_form) <= 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_NameError, "name 'Union' is not defined");
        }
        return -1;
    }
    PyRef union_ref = PyRef::steal(union_form);
    PyRef members = PyRef::steal(Py_BuildValue("(OOss)", &PyLong_Type, &PyBytes_Type,
                                               "list[BencodeValue]", "dict[bytes, BencodeValue]"));
    if (!members || bind_new(namespace_dict, "BencodeValue",
                             PyObject_GetItem(union_ref.get(), members.get())) < 0) {
        return -1;
    }

    if (bind_exception_class(namespace_dict, "BencodeError", PyExc_Exception,
                             "Base exception for bencode operations.", module_name) < 0) {
        return -1;
    }
    PyRef base = PyRef::steal(lookup_global(the_module.get(), base_name.get()));
    if (!base ||
        bind_exception_class(namespace_dict, "DecodeError", base.get(),
                             "Raised when bencoded data cannot be decoded.", module_name) < 0) {
        return -1;
    }
    base = PyRef::steal(lookup_global(the_module.get(), base_name.get()));
    if (!base || bind_exception_class(namespace_dict, "EncodeError", base.get(),
                                      "Raised when a value cannot be bencoded.", module_name) < 0) {
        return -1;
    }

    PyRef no_annotations = PyRef::steal(PyDict_New());
    if (!no_annotations || bind_new(namespace_dict, "decode",
                                    make_function("decode", "data", decode_doc,
                                                  no_annotations.get(), module_name, decode)) < 0) {
        return -1;
    }
    no_annotations = PyRef::steal(PyDict_New());
    if (!no_annotations ||
        bind_new(namespace_dict, "decode_all",
                 make_function("decode_all", "data", decode_all_doc, no_annotations.get(),
                               module_name, decode_all)) < 0) {
        return -1;
    }
    PyRef encode_annotations = PyRef::steal(Py_BuildValue("{ss}", "return", "bytes"));
    if (!encode_annotations ||
        bind_new(namespace_dict, "encode",
                 make_function("encode", "value", encode_doc, encode_annotations.get(), module_name,
                               encode_value)) < 0) {
        return -1;
    }
    return 0;
}

int bind_errors(PyObject* module) {
    // velka.bencode raises every decode fault as DecodeError: its walks never
    // tell incomplete input apart.
    if (bind_error_class(ErrorClass::decode_error, module, "DecodeError") < 0 ||
        bind_error_class(ErrorClass::encode_error, module, "EncodeError") < 0) {
        return -1;
    }
    return 0;
}

int initialise(PyObject* module) {
    PyObject* namespace_dict = PyModule_GetDict(module);
    if (namespace_dict == nullptr) {
        return -1;
    }
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(namespace_dict, "__builtins__", builtins.get()) < 0 ||
        warn_on_other_runtime(qualified_name) < 0) {
        return -1;
    }
    if (module_name == nullptr) {
        module_name = PyUnicode_InternFromString(qualified_name);
        if (module_name == nullptr) {
            return -1;
        }
    }
    if (bind_errors(module) < 0 || register_qualified_name(module, module_name) < 0 ||
        run_module_body(namespace_dict) < 0) {
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

PyModuleDef module_def = module_definition("bencode", module_doc, module_slots);

}  // namespace

}  // namespace velka

PyMODINIT_FUNC PyInit_bencode(void) { return PyModuleDef_Init(&velka::module_def); }

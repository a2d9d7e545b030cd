// velka.raw: module initialisation and namespace.
#include "entry_points.hpp"
#include "errors.hpp"
#include "module_support.hpp"
#include "pyref.hpp"

namespace velka {

namespace {

constexpr const char module_doc[] =
    "Bencode decoding for protocol code: a value that other data follows,\n"
    "the exact bytes of a value, and input that has not all arrived yet.\n"
    "\n"
    "Both functions read their input by the rules of velka.bencode.decode,\n"
    "with its messages and positions, and raise IncompleteError, a\n"
    "DecodeError, exactly when the data ends before the value does.";

constexpr const char decode_prefix_doc[] =
    "decode_prefix($module, /, data, start=0)\n"
    "--\n"
    "\n"
    "Decode the value that begins at position *start* of *data*.\n"
    "\n"
    "Returns ``(value, end)``, where *end* is the position just past the\n"
    "value; whatever follows it is not looked at. Raises\n"
    ":class:`IncompleteError` when the data ends before the value does and\n"
    ":class:`velka.bencode.DecodeError` on malformed input.";

constexpr const char span_doc[] =
    "span($module, data, /, *path)\n"
    "--\n"
    "\n"
    "Check that *data* is exactly one well-formed value, building no objects,\n"
    "and return ``(start, end)`` of the value that *path* leads to.\n"
    "\n"
    "Each step of *path* is a ``bytes`` key of a dict or an ``int`` index of\n"
    "a list (negative counts from the end). ``data[start:end]`` is the value's\n"
    "exact encoding as it stands in *data*. Raises :class:`IncompleteError`\n"
    "when the data ends before the value does, DecodeError on malformed\n"
    "input, and KeyError, IndexError or TypeError for a path that leads\n"
    "nowhere.";

constexpr const char incomplete_error_doc[] =
    "Raised when the data ends before the value does: more data may complete it.";

constexpr const char qualified_name[] = "velka.raw";

// Process-wide state, written only while the module is imported.
ProcessModule the_module("raw");

PyMethodDef module_functions[] = {
    {"decode_prefix", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_prefix)),
     METH_FASTCALL | METH_KEYWORDS, decode_prefix_doc},
    {"span", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(span)),
     METH_FASTCALL | METH_KEYWORDS, span_doc},
    {nullptr, nullptr, 0, nullptr},
};

int initialise(PyObject* module) {
    PyObject* namespace_dict = PyModule_GetDict(module);
    if (namespace_dict == nullptr || warn_on_other_runtime(qualified_name) < 0) {
        return -1;
    }
    // DecodeError stays velka.bencode's: it is looked up there whenever it is
    // raised, so that both modules raise the same class.
    PyRef bencode = PyRef::steal(PyImport_ImportModule("velka.bencode"));
    PyRef module_name = PyRef::steal(PyUnicode_InternFromString(qualified_name));
    PyRef decode_error_name = PyRef::steal(PyUnicode_InternFromString("DecodeError"));
    if (!bencode || !module_name || !decode_error_name) {
        return -1;
    }
    PyRef decode_error = PyRef::steal(lookup_global(bencode.get(), decode_error_name.get()));
    if (!decode_error ||
        bind_exception_class(namespace_dict, "IncompleteError", decode_error.get(),
                             incomplete_error_doc, module_name.get()) < 0 ||
        bind_error_class(ErrorClass::decode_error, bencode.get(), "DecodeError") < 0 ||
        bind_error_class(ErrorClass::incomplete, module, "IncompleteError") < 0 ||
        PyModule_AddFunctions(module, module_functions) < 0) {
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

PyModuleDef module_def = module_definition("raw", module_doc, module_slots);

}  // namespace

}  // namespace velka

PyMODINIT_FUNC PyInit_raw(void) { return PyModuleDef_Init(&velka::module_def); }

// velka._typed.encode: a builtin function of one positional argument.
#include "encode_entry.hpp"

#include "typed_encoder.hpp"

namespace velka {

namespace {

constexpr const char encode_doc[] =
    "encode($module, value, /)\n"
    "--\n"
    "\n"
    "Encode a value, dataclass instances included, into canonical bencode.\n"
    "\n"
    "Takes what velka.bencode.encode takes, and also str (as its UTF-8\n"
    "bytes, in values and dict keys), tuples (as lists), enum members (as\n"
    "their values), dataclass instances (as dicts of their fields by key,\n"
    "a field holding None left out, the keys of an Extra field merged in)\n"
    "and Raw values (written as they are, once checked to be exactly one\n"
    "valid value). Dict keys are written in the order of their bytes.\n"
    "\n"
    "Raises velka.bencode.EncodeError, naming the path of the value at\n"
    "fault, for what it cannot write.";

PyObject* encode(PyObject*, PyObject* value) { return typed_encode_value(value); }

PyMethodDef encode_functions[] = {
    {"encode", encode, METH_O, encode_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_encode_function(PyObject* module) {
    if (prepare_typed_encoder() < 0) {
        return -1;
    }
    return PyModule_AddFunctions(module, encode_functions);
}

}  // namespace velka

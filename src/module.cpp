// The importable face of the codec: module initialisation, error classes,
// function objects, argument binding and the decode entry points.
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "decoder.hpp"
#include "encoder.hpp"
#include "errors.hpp"
#include "input_view.hpp"
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

// The interpreter that imported the module first; -1 until then.
std::atomic<std::int64_t> owner_interpreter{-1};

// The one module object of the process, from the start of its exec slot.
PyObject* the_module = nullptr;
PyObject* builtins_module = nullptr;

// Interned names and other constants made once.
struct Constants {
    PyObject* decode_error_name;
    PyObject* encode_error_name;
    PyObject* cast_name;
    PyObject* byte_format;
    PyObject* module_name;
};
Constants constants{};

int make_constants() {
    if (constants.module_name != nullptr) {
        return 0;
    }
    PyObject* decode_error_name = PyUnicode_InternFromString("DecodeError");
    PyObject* encode_error_name = PyUnicode_InternFromString("EncodeError");
    PyObject* cast_name = PyUnicode_InternFromString("cast");
    PyObject* byte_format = PyUnicode_InternFromString("B");
    PyObject* module_name = PyUnicode_InternFromString(qualified_name);
    if (decode_error_name == nullptr || encode_error_name == nullptr || cast_name == nullptr ||
        byte_format == nullptr || module_name == nullptr) {
        Py_XDECREF(decode_error_name);
        Py_XDECREF(encode_error_name);
        Py_XDECREF(cast_name);
        Py_XDECREF(byte_format);
        Py_XDECREF(module_name);
        return -1;
    }
    constants =
        Constants{decode_error_name, encode_error_name, cast_name, byte_format, module_name};
    return 0;
}

// ---------------------------------------------------------------------------
// Raising the module's exceptions

// The object bound to `name` in the module namespace, else among the
// builtins: a new reference, or nullptr with NameError set.
PyObject* lookup_global(PyObject* name) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(the_module), name, &found) != 0) {
        return found;  // found, or an error from the lookup
    }
    if (PyDict_GetItemRef(PyModule_GetDict(builtins_module), name, &found) != 0) {
        return found;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

// The exception instance made by calling the class bound to the error's name
// with the message, or nullptr with an exception set.
PyRef make_error(ErrorClass cls, PyObject* message) {
    PyObject* name =
        cls == ErrorClass::decode_error ? constants.decode_error_name : constants.encode_error_name;
    PyRef error_class = PyRef::steal(lookup_global(name));
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

// ---------------------------------------------------------------------------
// The input view

namespace {

// How the dtype-mismatch message names an item kind.
const char* describe_item_kind(char kind) {
    switch (kind) {
        case '?':
            return "'bool'";
        case 'B':
            return "'unsigned char'";
        case 'H':
            return "'unsigned short'";
        case 'I':
            return "'unsigned int'";
        case 'L':
            return "'unsigned long'";
        case 'Q':
            return "'unsigned long long'";
        case 'b':
            return "'signed char'";
        case 'c':
            return "'char'";
        case 'h':
            return "'short'";
        case 'i':
            return "'int'";
        case 'l':
            return "'long'";
        case 'q':
            return "'long long'";
        case 'f':
            return "'float'";
        case 'd':
            return "'double'";
        case 'g':
            return "'long double'";
        case 'O':
            return "Python object";
        case 'P':
            return "a pointer";
        case 'T':
            return "a struct";
        case 's':
        case 'p':
            return "a string";
        case '\0':
            return "end";
        default:
            return nullptr;
    }
}

const char* describe_complex_kind(char kind) {
    switch (kind) {
        case 'f':
            return "'complex float'";
        case 'd':
            return "'complex double'";
        case 'g':
            return "'complex long double'";
        default:
            return nullptr;
    }
}

int raise_dtype_mismatch(bool item_seen, const char* got) {
    if (item_seen) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "",
                     "end", "", got);
    } else {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                     "const unsigned char", "'", got);
    }
    return -1;
}

// Accepts a struct-module format that describes exactly one item of an
// unsigned byte, a char or a bool, with optional native or little-endian
// prefixes, spaces and a repeat count of 1. Returns 0, or -1 with ValueError.
int check_item_format(const char* format) {
    bool item_seen = false;
    const char* f = format;
    for (;;) {
        const char c = *f;
        switch (c) {
            case '\0':
                return item_seen ? 0 : raise_dtype_mismatch(false, "end");
            case '@':
            case '=':
            case '<':
            case '^':
            case ' ':
                ++f;
                continue;
            case '>':
            case '!':
                PyErr_SetString(PyExc_ValueError,
                                "Big-endian buffer not supported on little-endian compiler");
                return -1;
            case 'T':
            case '{':
                return raise_dtype_mismatch(item_seen, "a struct");
            case '(':
                return raise_dtype_mismatch(item_seen, "a sub-array");
            case 'x':
                return raise_dtype_mismatch(item_seen, "pad bytes");
            case 'Z': {
                const char* described = describe_complex_kind(f[1]);
                if (described == nullptr) {
                    PyErr_SetString(PyExc_ValueError,
                                    "Buffer dtype mismatch: complex marker 'Z' must precede "
                                    "'f', 'd' or 'g'");
                    return -1;
                }
                return raise_dtype_mismatch(item_seen, described);
            }
            default:
                break;
        }
        std::size_t repeat = 1;
        if (c >= '0' && c <= '9') {
            repeat = 0;
            while (*f >= '0' && *f <= '9' && repeat <= 1000000) {
                repeat = repeat * 10 + static_cast<std::size_t>(*f - '0');
                ++f;
            }
            if (repeat == 0 || repeat > 1000000) {
                PyErr_SetString(PyExc_ValueError,
                                "Buffer dtype mismatch, expected 'const unsigned char' but got "
                                "an item count other than 1");
                return -1;
            }
        }
        const char kind = *f;
        const char* described = describe_item_kind(kind);
        if (described == nullptr) {
            PyErr_Format(PyExc_ValueError,
                         "Does not understand character buffer dtype format string ('%c')", kind);
            return -1;
        }
        const bool is_byte_kind = kind == 'B' || kind == 'c' || kind == '?';
        if (!is_byte_kind || item_seen || repeat != 1) {
            return raise_dtype_mismatch(item_seen || (is_byte_kind && repeat > 1), described);
        }
        item_seen = true;
        ++f;
    }
}

}  // namespace

int to_buffer(PyObject* data, OwnedInput& out) {
    if (PyBytes_CheckExact(data)) {
        // Immutable, and alive for the whole call: no export needed.
        out.view_ = InputView{reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data)),
                              PyBytes_GET_SIZE(data), 1};
        return 0;
    }
    if (data == Py_None) {
        return 0;
    }
    PyObject* source = data;
    if (Py_IS_TYPE(data, &PyMemoryView_Type)) {
        out.cast_view_ =
            PyObject_CallMethodOneArg(data, constants.cast_name, constants.byte_format);
        if (out.cast_view_ == nullptr) {
            return -1;
        }
        source = out.cast_view_;
    }
    Py_buffer& buffer = out.buffer_;
    if (PyObject_GetBuffer(source, &buffer, PyBUF_RECORDS_RO) < 0) {
        Py_CLEAR(out.cast_view_);
        return -1;
    }
    out.has_buffer_ = true;

    auto refuse = [&out]() {
        PyBuffer_Release(&out.buffer_);
        out.has_buffer_ = false;
        Py_CLEAR(out.cast_view_);
        return -1;
    };
    if (buffer.ndim != 1) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", 1, buffer.ndim);
        return refuse();
    }
    if (check_item_format(buffer.format != nullptr ? buffer.format : "B") < 0) {
        return refuse();
    }
    if (buffer.itemsize != 1) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     buffer.itemsize, buffer.itemsize > 1 ? "s" : "", "const unsigned char",
                     Py_ssize_t{1}, "");
        return refuse();
    }
    const Py_ssize_t length = buffer.shape != nullptr ? buffer.shape[0] : buffer.len;
    if (buffer.len > 0) {
        if (length >= 2 && buffer.suboffsets != nullptr && buffer.strides == nullptr) {
            PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
            return refuse();
        }
        if (buffer.suboffsets != nullptr && buffer.suboffsets[0] >= 0) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer not compatible with direct access in dimension %d.", 0);
            return refuse();
        }
    }
    out.view_ = InputView{static_cast<const unsigned char*>(buffer.buf), length,
                          buffer.strides != nullptr ? buffer.strides[0] : 1};
    return 0;
}

namespace {

// ---------------------------------------------------------------------------
// The entry points, once their argument is bound

PyObject* decode(PyObject* data) {
    int truth;
    if (PyBytes_CheckExact(data)) {
        truth = PyBytes_GET_SIZE(data) != 0;
    } else if (data == Py_True) {
        truth = 1;
    } else if (data == Py_False || data == Py_None) {
        truth = 0;
    } else {
        truth = PyObject_IsTrue(data);
        if (truth < 0) {
            return nullptr;
        }
    }
    if (!truth) {
        return raise_error_format(ErrorClass::decode_error, "empty data");
    }
    OwnedInput input;
    if (to_buffer(data, input) < 0) {
        return nullptr;
    }
    ValueDecoder decoder(input.view());
    Py_ssize_t pos = 0;
    PyRef value = PyRef::steal(decoder.decode_any(pos));
    if (!value) {
        return nullptr;
    }
    if (pos != input.view().length) {
        return raise_error_format(ErrorClass::decode_error, "trailing data at position %zd", pos);
    }
    return value.release();
}

PyObject* decode_all(PyObject* data) {
    OwnedInput input;
    if (to_buffer(data, input) < 0) {
        return nullptr;
    }
    PyRef values = PyRef::steal(PyList_New(0));
    if (!values) {
        return nullptr;
    }
    ValueDecoder decoder(input.view());
    const Py_ssize_t length = input.view().length;
    Py_ssize_t pos = 0;
    while (pos < length) {
        PyRef value = PyRef::steal(decoder.decode_any(pos));
        if (!value || PyList_Append(values.get(), value.get()) < 0) {
            return nullptr;
        }
    }
    return values.release();
}

// ---------------------------------------------------------------------------
// Function objects
//
// A builtin function object cannot carry __annotations__, so the public
// functions are instances of a small callable type of their own. Its
// __get__ returns the function itself, as for builtins, which also lets
// inspect read __text_signature__.

using Implementation = PyObject* (*)(PyObject* argument);

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

PyObject* function_get_module(PyObject*, void*) { return Py_NewRef(constants.module_name); }

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

// A new function object, or nullptr with an exception set. `annotations`
// (borrowed) is the function's own dictionary.
PyObject* make_function(const char* name, const char* parameter, const char* doc,
                        PyObject* annotations, Implementation implementation) {
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
    PyObject_GC_Track(function);
    return reinterpret_cast<PyObject*>(function);
}

// ---------------------------------------------------------------------------
// Initialisation

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

// A class made as a class statement would make it: type(name, bases, ns)
// with a namespace of __module__, __qualname__ and __doc__ only.
PyObject* make_exception_class(const char* name, PyObject* base, const char* doc) {
    PyRef namespace_dict = PyRef::steal(PyDict_New());
    if (!namespace_dict ||
        PyDict_SetItemString(namespace_dict.get(), "__module__", constants.module_name) < 0 ||
        bind_new(namespace_dict.get(), "__qualname__", PyUnicode_FromString(name)) < 0 ||
        bind_new(namespace_dict.get(), "__doc__", PyUnicode_FromString(doc)) < 0) {
        return nullptr;
    }
    return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", name, base,
                                 namespace_dict.get());
}

int bind_exception_class(PyObject* namespace_dict, const char* name, const char* base_name,
                         const char* doc) {
    PyObject* base = PyExc_Exception;
    PyRef base_ref;
    if (base_name != nullptr) {
        PyRef base_name_object = PyRef::steal(PyUnicode_FromString(base_name));
        if (!base_name_object) {
            return -1;
        }
        base_ref = PyRef::steal(lookup_global(base_name_object.get()));
        if (!base_ref) {
            return -1;
        }
        base = base_ref.get();
    }
    return bind_new(namespace_dict, name, make_exception_class(name, base, doc));
}

int run_module_body(PyObject* namespace_dict) {
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

    if (bind_exception_class(namespace_dict, "BencodeError", nullptr,
                             "Base exception for bencode operations.") < 0 ||
        bind_exception_class(namespace_dict, "DecodeError", "BencodeError",
                             "Raised when bencoded data cannot be decoded.") < 0 ||
        bind_exception_class(namespace_dict, "EncodeError", "BencodeError",
                             "Raised when a value cannot be bencoded.") < 0) {
        return -1;
    }

    PyRef no_annotations = PyRef::steal(PyDict_New());
    if (!no_annotations ||
        bind_new(namespace_dict, "decode",
                 make_function("decode", "data", decode_doc, no_annotations.get(), decode)) < 0) {
        return -1;
    }
    no_annotations = PyRef::steal(PyDict_New());
    if (!no_annotations || bind_new(namespace_dict, "decode_all",
                                    make_function("decode_all", "data", decode_all_doc,
                                                  no_annotations.get(), decode_all)) < 0) {
        return -1;
    }
    PyRef encode_annotations = PyRef::steal(Py_BuildValue("{ss}", "return", "bytes"));
    if (!encode_annotations ||
        bind_new(namespace_dict, "encode",
                 make_function("encode", "value", encode_doc, encode_annotations.get(),
                               encode_value)) < 0) {
        return -1;
    }
    return 0;
}

int warn_on_other_runtime() {
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

int register_qualified_name(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    const int present = PyDict_Contains(modules, constants.module_name);
    if (present != 0) {
        return present < 0 ? -1 : 0;
    }
    return PyDict_SetItem(modules, constants.module_name, module);
}

int initialise(PyObject* module) {
    PyObject* namespace_dict = PyModule_GetDict(module);
    if (namespace_dict == nullptr) {
        return -1;
    }
    if (builtins_module == nullptr) {
        builtins_module = PyImport_ImportModule("builtins");
        if (builtins_module == nullptr) {
            return -1;
        }
    }
    if (PyDict_SetItemString(namespace_dict, "__builtins__", builtins_module) < 0 ||
        warn_on_other_runtime() < 0 || make_constants() < 0 ||
        register_qualified_name(module) < 0 || run_module_body(namespace_dict) < 0) {
        return -1;
    }
    return 0;
}

int exec_module(PyObject* module) {
    if (the_module != nullptr) {
        if (the_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'bencode' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    the_module = Py_NewRef(module);
    if (initialise(module) < 0) {
        Py_CLEAR(the_module);
        return -1;
    }
    return 0;
}

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

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    std::int64_t recorded = -1;
    if (!owner_interpreter.compare_exchange_strong(recorded, current) && recorded != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (the_module != nullptr) {
        return Py_NewRef(the_module);
    }
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

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "bencode",
    .m_doc = module_doc,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace velka

PyMODINIT_FUNC PyInit_bencode(void) { return PyModuleDef_Init(&velka::module_def); }

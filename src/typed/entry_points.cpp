// The Decoder type: a plan compiled once and used by any number of calls
// and threads (a call changes nothing in it), and its two entry points.
#include "entry_points.hpp"

#include <cstddef>
#include <new>

#include "arguments.hpp"
#include "build.hpp"
#include "decoder.hpp"
#include "errors.hpp"
#include "faults.hpp"
#include "input_view.hpp"
#include "plan.hpp"
#include "pyref.hpp"
#include "walk.hpp"

namespace velka::typed {

namespace {

struct DecoderObject {
    PyObject_HEAD
    Plan* plan;
    // Short text shared from call to call, so that what every message
    // repeats (a method name, a tracker's keys) is decoded once.
    TextCache* texts;
    PyObject* form;     // what the plan decodes into, for repr() and `type`
    PyObject* objects;  // the plan's own objects
    // The caller's objects the plan names (classes, enum members, defaults,
    // factories): themselves, or for a cached plan weak references to them.
    PyObject* held;
    bool weak;
};

PyTypeObject* decoder_type = nullptr;
PyObject* validation_error_class = nullptr;

// The planner, velka._model.plan.describe, imported at first use.
PyObject* describe_function() {
    static PyObject* describe = nullptr;
    if (describe == nullptr) {
        PyRef planner = PyRef::steal(PyImport_ImportModule("velka._model.plan"));
        if (!planner) {
            return nullptr;
        }
        describe = PyObject_GetAttrString(planner.get(), "describe");
    }
    return describe;
}

// A new Decoder of `description` (root, nodes, objects, held); `held_by` is
// what the decoder keeps of the held objects (`held` itself, or their weak
// references). Returns a new reference, or nullptr with an exception set.
PyObject* new_decoder(PyTypeObject* type, PyObject* form, PyObject* description, PyObject* held_by,
                      bool weak) {
    if (!PyTuple_Check(description) || PyTuple_GET_SIZE(description) != 4) {
        PyErr_SetString(PyExc_TypeError, "velka._typed: a plan description is a 4-tuple");
        return nullptr;
    }
    const Py_ssize_t root = PyLong_AsSsize_t(PyTuple_GET_ITEM(description, 0));
    if (root == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    PyObject* nodes = PyTuple_GET_ITEM(description, 1);
    PyObject* objects = PyTuple_GET_ITEM(description, 2);
    PyObject* held = PyTuple_GET_ITEM(description, 3);
    if (!PyTuple_Check(held_by) || !PyTuple_Check(held) ||
        PyTuple_GET_SIZE(held_by) != PyTuple_GET_SIZE(held)) {
        PyErr_SetString(PyExc_TypeError, "velka._typed: references do not match the plan");
        return nullptr;
    }
    auto* plan = static_cast<Plan*>(PyMem_Malloc(sizeof(Plan)));
    if (plan == nullptr) {
        return PyErr_NoMemory();
    }
    new (plan) Plan();
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) {
        plan->~Plan();
        PyMem_Free(plan);
        return nullptr;
    }
    auto* decoder = reinterpret_cast<DecoderObject*>(self.get());
    decoder->plan = plan;
    decoder->texts = static_cast<TextCache*>(PyMem_Malloc(sizeof(TextCache)));
    if (decoder->texts == nullptr) {
        return PyErr_NoMemory();
    }
    new (decoder->texts) TextCache();
    decoder->form = Py_NewRef(form);
    decoder->objects = Py_NewRef(objects);
    decoder->held = Py_NewRef(held_by);
    decoder->weak = weak;
    if (plan->compile(nodes, root, objects, held) < 0) {
        return nullptr;
    }
    return self.release();
}

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"type", "forbid_unknown", nullptr};
    PyObject* form = nullptr;
    int forbid_unknown = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:Decoder", const_cast<char**>(keywords),
                                     &form, &forbid_unknown)) {
        return nullptr;
    }
    PyObject* describe = describe_function();
    if (describe == nullptr) {
        return nullptr;
    }
    PyRef description = PyRef::steal(
        PyObject_CallFunction(describe, "OO", form, forbid_unknown ? Py_True : Py_False));
    if (!description) {
        return nullptr;
    }
    if (!PyTuple_Check(description.get()) || PyTuple_GET_SIZE(description.get()) != 4) {
        PyErr_SetString(PyExc_TypeError, "velka._typed: a plan description is a 4-tuple");
        return nullptr;
    }
    return new_decoder(type, form, description.get(), PyTuple_GET_ITEM(description.get(), 3),
                       false);
}

int decoder_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* decoder = reinterpret_cast<DecoderObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(decoder->form);
    Py_VISIT(decoder->objects);
    Py_VISIT(decoder->held);
    return 0;
}

int decoder_clear(PyObject* self) {
    auto* decoder = reinterpret_cast<DecoderObject*>(self);
    // The plan borrows from what is cleared: it goes first.
    if (decoder->plan != nullptr) {
        decoder->plan->~Plan();
        PyMem_Free(decoder->plan);
        decoder->plan = nullptr;
    }
    if (decoder->texts != nullptr) {
        decoder->texts->~TextCache();
        PyMem_Free(decoder->texts);
        decoder->texts = nullptr;
    }
    Py_CLEAR(decoder->form);
    Py_CLEAR(decoder->objects);
    Py_CLEAR(decoder->held);
    return 0;
}

void decoder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    decoder_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Strong references to the caller's objects of a cached plan for the length
// of one call, so that none can go away while the walk uses it.
class HeldForCall {
   public:
    HeldForCall() noexcept = default;
    HeldForCall(const HeldForCall&) = delete;
    HeldForCall& operator=(const HeldForCall&) = delete;
    ~HeldForCall() { Py_XDECREF(objects_); }

    // Returns 0, or -1 with an exception set (ReferenceError when one of
    // them is gone: the cache then makes the plan again).
    int hold(const DecoderObject* decoder) {
        if (!decoder->weak) {
            return 0;
        }
        const Py_ssize_t count = PyTuple_GET_SIZE(decoder->held);
        objects_ = PyTuple_New(count);
        if (objects_ == nullptr) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* reference = PyTuple_GET_ITEM(decoder->held, i);
            PyObject* object = nullptr;
            if (PyWeakref_CheckRef(reference)) {
                if (PyWeakref_GetRef(reference, &object) < 0) {
                    return -1;
                }
                if (object == nullptr) {
                    PyErr_SetString(PyExc_ReferenceError,
                                    "a type that the cached plan reads into is gone");
                    return -1;
                }
            } else {
                object = Py_NewRef(reference);
            }
            PyTuple_SET_ITEM(objects_, i, object);
        }
        return 0;
    }

   private:
    PyObject* objects_ = nullptr;
};

// After the walk failed: a fault of fit is raised as ValidationError, unless
// the input is malformed (checked from `start` to the end of the value, and
// for trailing data when `whole`), which wins. Returns nullptr.
PyObject* fail(Fault& fault, const InputView& view, bool tell_incomplete, Py_ssize_t start,
               bool whole) {
    if (!fault.recorded() || PyErr_Occurred()) {
        return nullptr;
    }
    ValueChecker checker(view, tell_incomplete);
    Py_ssize_t pos = start;
    if (checker.check_any(pos) < 0) {
        return nullptr;
    }
    if (whole && pos != view.length) {
        return raise_error_format(ErrorClass::decode_error, "trailing data at position %zd", pos);
    }
    return fault.raise(validation_error_class, view);
}

const Plan* plan_of(PyObject* self) {
    const Plan* plan = reinterpret_cast<DecoderObject*>(self)->plan;
    if (plan == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the Decoder has been cleared");
    }
    return plan;
}

// The text cache of one call: the decoder's own, kept from call to call;
// on a free-threaded build, where threads may run one decoder at once, one
// of the call's own.
class CallTexts {
   public:
    explicit CallTexts(PyObject* self) noexcept
        : shared_(reinterpret_cast<DecoderObject*>(self)->texts) {}

    TextCache& get() noexcept {
#ifdef Py_GIL_DISABLED
        return own_;
#else
        return *shared_;
#endif
    }

   private:
    TextCache* shared_;
#ifdef Py_GIL_DISABLED
    TextCache own_;
#endif
};

PyObject* decoder_decode(PyObject* self, PyObject* data) {
    const Plan* plan = plan_of(self);
    if (plan == nullptr) {
        return nullptr;
    }
    HeldForCall held;
    if (held.hold(reinterpret_cast<DecoderObject*>(self)) < 0) {
        return nullptr;
    }
    const int truth = data_truth(data);
    if (truth < 0) {
        return nullptr;
    }
    if (truth == 0) {
        return raise_error_format(ErrorClass::decode_error, "empty data");
    }
    OwnedInput input;
    if (to_buffer(data, input) < 0) {
        return nullptr;
    }
    Fault fault;
    Py_ssize_t pos = 0;
    CallTexts texts(self);
    PyRef value = PyRef::steal(walk(plan->root(), input.view(), false, pos, fault, texts.get()));
    if (!value) {
        return fail(fault, input.view(), false, 0, true);
    }
    if (pos != input.view().length) {
        return raise_error_format(ErrorClass::decode_error, "trailing data at position %zd", pos);
    }
    return value.release();
}

PyObject* decoder_decode_prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    const Plan* plan = plan_of(self);
    if (plan == nullptr) {
        return nullptr;
    }
    HeldForCall held;
    if (held.hold(reinterpret_cast<DecoderObject*>(self)) < 0) {
        return nullptr;
    }
    OwnedInput input;
    Py_ssize_t start = 0;
    if (prefix_arguments("decode_prefix", args, nargs, kwnames, input, start) < 0) {
        return nullptr;
    }
    Fault fault;
    Py_ssize_t pos = start;
    CallTexts texts(self);
    PyObject* value = walk(plan->root(), input.view(), true, pos, fault, texts.get());
    if (value == nullptr) {
        return fail(fault, input.view(), true, start, false);
    }
    return make_pair(value, pos);
}

PyObject* decoder_repr(PyObject* self) {
    PyObject* form = reinterpret_cast<DecoderObject*>(self)->form;
    if (form == nullptr) {
        return PyUnicode_FromString("Decoder(<cleared>)");
    }
    return PyUnicode_FromFormat("Decoder(%R)", form);
}

PyObject* decoder_get_type(PyObject* self, void*) {
    PyObject* form = reinterpret_cast<DecoderObject*>(self)->form;
    return Py_NewRef(form != nullptr ? form : Py_None);
}

constexpr const char decoder_doc[] =
    "Decoder(type, *, forbid_unknown=False)\n"
    "--\n"
    "\n"
    "Decodes bencode into *type* by a plan made once from its annotations.\n"
    "\n"
    "A Decoder can be shared by threads. With *forbid_unknown*, a key that no\n"
    "field names is refused in every record without an Extra field.";

constexpr const char decode_doc[] =
    "decode($self, data, /)\n"
    "--\n"
    "\n"
    "Decode one value from *data* into the decoder's type.\n"
    "\n"
    "Raises velka.bencode.DecodeError on malformed input (or data after the\n"
    "value) and ValidationError on input that does not fit the type.";

constexpr const char decode_prefix_doc[] =
    "decode_prefix($self, /, data, start=0)\n"
    "--\n"
    "\n"
    "Decode the value that begins at position *start* of *data*.\n"
    "\n"
    "Returns ``(value, end)``, where *end* is the position just past the\n"
    "value; whatever follows it is not looked at. Raises\n"
    "velka.raw.IncompleteError when the data ends before the value does.";

PyMethodDef decoder_methods[] = {
    {"decode", decoder_decode, METH_O, decode_doc},
    {"decode_prefix",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decoder_decode_prefix)),
     METH_FASTCALL | METH_KEYWORDS, decode_prefix_doc},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, "See PEP 585."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef decoder_getset[] = {
    {"type", decoder_get_type, nullptr, "The type that the decoder decodes into.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot decoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_repr, reinterpret_cast<void*>(decoder_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(decoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(decoder_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_getset, decoder_getset},
    {Py_tp_doc, const_cast<char*>(decoder_doc)},
    {0, nullptr},
};

PyType_Spec decoder_spec = {
    "velka.typed.Decoder",
    sizeof(DecoderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    decoder_slots,
};

}  // namespace

PyObject* make_decoder_type(PyObject* module_name, PyObject* validation_error) {
    static_cast<void>(module_name);
    validation_error_class = Py_NewRef(validation_error);
    PyObject* type = PyType_FromSpec(&decoder_spec);
    if (type == nullptr) {
        return nullptr;
    }
    decoder_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
    return type;
}

PyObject* weak_decoder(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "_weak_decoder() takes 3 arguments");
        return nullptr;
    }
    return new_decoder(decoder_type, args[0], args[1], args[2], true);
}

}  // namespace velka::typed

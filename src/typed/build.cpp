// Building records. A dataclass whose __init__ is the generated one is made
// as that __init__ makes it, without calling it: object.__new__, then each
// attribute set in field order with object.__setattr__ (so a frozen class's
// own __setattr__ is passed by, as its __init__ does), into the instance's
// shared-key dict or its slots (a slot stored into directly where that is
// all the generic set would do); then __post_init__. Any other class is
// called with the fields as keywords.
#include "build.hpp"

namespace velka::typed {

Shared shared;

FieldValues::FieldValues(Py_ssize_t count) noexcept : count_(count) {
    if (count <= inline_capacity) {
        values_ = inline_;
    } else {
        values_ = static_cast<PyObject**>(
            PyMem_Malloc(static_cast<std::size_t>(count) * sizeof(PyObject*)));
        if (values_ == nullptr) {
            PyErr_NoMemory();
            return;
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        values_[i] = nullptr;
    }
}

FieldValues::~FieldValues() {
    if (values_ == nullptr) {
        return;
    }
    for (Py_ssize_t i = 0; i < count_; ++i) {
        Py_XDECREF(values_[i]);
    }
    if (values_ != inline_) {
        PyMem_Free(values_);
    }
}

Py_ssize_t first_missing(const Record& record, const FieldValues& values) noexcept {
    for (Py_ssize_t k = 0; k < record.key_count; ++k) {
        const RecordKey& key = record.keys[k];
        for (const Py_ssize_t field : {key.typed, key.raw}) {
            if (field >= 0 && values.get(field) == nullptr &&
                record.fields[field].absent == Absent::missing) {
                return field;
            }
        }
    }
    return -1;
}

namespace {

// What the class's __init__ would give a field whose key was absent: a new
// reference; nullptr with nothing set when the field is left out; nullptr
// with an exception set when a default factory failed.
PyObject* stand_in(const RecordField& field) {
    switch (field.absent) {
        case Absent::value:
            return Py_NewRef(field.fallback);
        case Absent::factory:
            return PyObject_CallNoArgs(field.fallback);
        case Absent::none:
            return Py_NewRef(Py_None);
        default:
            return nullptr;
    }
}

// Gives each field without a value its stand-in, in field order. Returns 0,
// or -1 with an exception set.
int fill_absent(const Record& record, FieldValues& values) {
    for (Py_ssize_t i = 0; i < record.field_count; ++i) {
        if (values.get(i) != nullptr) {
            continue;
        }
        PyObject* value = stand_in(record.fields[i]);
        if (value == nullptr && PyErr_Occurred()) {
            return -1;
        }
        values.set(i, value);
    }
    return 0;
}

// A ValueError or TypeError from the class's own code becomes a fault of
// fit at the record, with that error as its cause; anything else passes.
PyObject* refused(const Node& node, Py_ssize_t position, Fault& fault) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) {
        return nullptr;
    }
    PyObject* cause = PyErr_GetRaisedException();
    return fault.record(PyUnicode_FromFormat("invalid %U: %S", node.expected, cause), position,
                        cause);
}

PyObject* build_fields(const Node& node, FieldValues& values, Py_ssize_t position, Fault& fault) {
    Record& record = *node.record;
    auto* cls = reinterpret_cast<PyTypeObject*>(record.cls);
#ifndef Py_GIL_DISABLED
    // A class changed since its slots were found (a library caching its own
    // data on it, say) is looked at again: its slots are most likely where
    // they were, and then its builds stay direct.
    if (cls->tp_version_tag != record.slots_version) {
        find_slots(record);
    }
#endif
    PyRef instance = PyRef::steal(PyBaseObject_Type.tp_new(cls, shared.empty_tuple, nullptr));
    if (!instance) {
        return nullptr;
    }
    for (Py_ssize_t s = 0; s < record.step_count; ++s) {
        const InitStep& step = record.steps[s];
        PyRef value;
        switch (step.assign) {
            case Assign::field:
                if (values.get(step.field) == nullptr) {
                    values.set(step.field, stand_in(record.fields[step.field]));
                    if (values.get(step.field) == nullptr) {
                        if (!PyErr_Occurred()) {
                            PyErr_SetString(PyExc_SystemError, "velka._typed: a field left empty");
                        }
                        return nullptr;
                    }
                }
                value = PyRef::borrow(values.get(step.field));
                break;
            case Assign::factory:
                value = PyRef::steal(PyObject_CallNoArgs(step.object));
                if (!value) {
                    return nullptr;
                }
                break;
            case Assign::value:
                value = PyRef::borrow(step.object);
                break;
        }
        // A factory or a stand-in may have changed the class since the last
        // step, so its tag is looked at before every direct store.
        if (step.offset != 0 && record.slots_version != 0 &&
            cls->tp_version_tag == record.slots_version) {
            // The instance is new and its slots are still empty: there is
            // nothing there to release.
            auto** slot =
                reinterpret_cast<PyObject**>(reinterpret_cast<char*>(instance.get()) + step.offset);
            *slot = Py_NewRef(value.get());
        } else if (PyObject_GenericSetAttr(instance.get(), step.name, value.get()) < 0) {
            return nullptr;
        }
    }
    if (record.post_init) {
        PyRef result =
            PyRef::steal(PyObject_CallMethodNoArgs(instance.get(), shared.post_init_name));
        if (!result) {
            return refused(node, position, fault);
        }
    }
    return instance.release();
}

PyObject* build_call(const Node& node, FieldValues& values, Py_ssize_t position, Fault& fault) {
    const Record& record = *node.record;
    if (fill_absent(record, values) < 0) {
        return nullptr;
    }
    PyRef keywords = PyRef::steal(PyDict_New());
    if (!keywords) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < record.field_count; ++i) {
        PyObject* value = values.get(i);
        if (value != nullptr && PyDict_SetItem(keywords.get(), record.fields[i].name, value) < 0) {
            return nullptr;
        }
    }
    PyObject* instance = PyObject_Call(record.cls, shared.empty_tuple, keywords.get());
    if (instance == nullptr) {
        return refused(node, position, fault);
    }
    return instance;
}

PyObject* build_dict(const Record& record, FieldValues& values) {
    if (fill_absent(record, values) < 0) {
        return nullptr;
    }
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < record.field_count; ++i) {
        PyObject* value = values.get(i);
        if (value != nullptr && PyDict_SetItem(result.get(), record.fields[i].name, value) < 0) {
            return nullptr;
        }
    }
    return result.release();
}

}  // namespace

PyObject* build_record(const Node& node, FieldValues& values, Py_ssize_t position, Fault& fault) {
    switch (node.record->build) {
        case Build::fields:
            return build_fields(node, values, position, fault);
        case Build::call:
            return build_call(node, values, position, fault);
        case Build::dict:
            return build_dict(*node.record, values);
    }
    return nullptr;
}

}  // namespace velka::typed

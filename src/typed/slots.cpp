#include "slots.hpp"

#include "pyref.hpp"

namespace velka::typed {

Py_ssize_t slot_offset(PyTypeObject* type, PyObject* name, SlotUse use) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) {
        return 0;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) {
            return 0;
        }
        PyRef dict = PyRef::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict) {
            PyErr_Clear();
            return 0;
        }
        PyObject* found = nullptr;
        const int status = PyDict_GetItemRef(dict.get(), name, &found);
        if (status < 0) {
            // The generic access meets the same failure and reports it.
            PyErr_Clear();
            return 0;
        }
        if (status == 0) {
            continue;
        }
        PyRef descriptor = PyRef::steal(found);
        if (!Py_IS_TYPE(found, &PyMemberDescr_Type)) {
            return 0;
        }
        auto* member = reinterpret_cast<PyMemberDescrObject*>(found);
        const PyMemberDef* definition = member->d_member;
        // An audited read or a refused write is more than a load or a store,
        // a relative member lies elsewhere, and an instance of another class
        // than the member's is refused by it.
        const int refused = use == SlotUse::read ? Py_AUDIT_READ : Py_READONLY;
        if (definition->type != Py_T_OBJECT_EX ||
            (definition->flags & (refused | Py_RELATIVE_OFFSET)) != 0 || definition->offset <= 0 ||
            !PyType_IsSubtype(type, member->d_common.d_type)) {
            return 0;
        }
        return definition->offset;
    }
    return 0;
}

}  // namespace velka::typed

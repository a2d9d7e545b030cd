// C API calls that newer interpreters have and older supported ones lack.
//
// On an interpreter that has a call, the call itself is used; on an older
// one, the equivalent below, written from the call's documented behaviour.
// Include this instead of <Python.h>.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000  // before 3.13

// 1 and a new reference in *result when `obj` has the attribute; 0 and
// nullptr when it has not (the AttributeError is cleared); -1 and nullptr
// with the exception set on any other failure.
inline int PyObject_GetOptionalAttrString(PyObject* obj, const char* name, PyObject** result) {
    *result = PyObject_GetAttrString(obj, name);
    if (*result != nullptr) {
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

// PyObject_GetOptionalAttrString with the name given as a str.
inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
    *result = PyObject_GetAttr(obj, name);
    if (*result != nullptr) {
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

// 1 and a new reference in *result when the dict has the key; 0 and
// nullptr when it has not; -1 and nullptr with the exception set when the
// lookup failed (hashing or comparing the key).
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    if (!PyDict_Check(dict)) {
        *result = nullptr;
        PyErr_BadInternalCall();
        return -1;
    }
    PyObject* found = PyDict_GetItemWithError(dict, key);  // borrowed
    if (found != nullptr) {
        *result = Py_NewRef(found);
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() != nullptr ? -1 : 0;
}

// PyDict_GetItemRef with the key given as UTF-8 text.
inline int PyDict_GetItemStringRef(PyObject* dict, const char* key, PyObject** result) {
    PyObject* key_object = PyUnicode_FromString(key);
    if (key_object == nullptr) {
        *result = nullptr;
        return -1;
    }
    const int found = PyDict_GetItemRef(dict, key_object, result);
    Py_DECREF(key_object);
    return found;
}

#endif

#if PY_VERSION_HEX < 0x030E0000  // before 3.14

// 1 and a new reference in *item for the next item; 0 and nullptr when the
// iterator is exhausted; -1 and nullptr with the exception set on failure,
// TypeError when `iter` is no iterator.
inline int PyIter_NextItem(PyObject* iter, PyObject** item) {
    if (Py_TYPE(iter)->tp_iternext == nullptr) {
        *item = nullptr;
        PyErr_Format(PyExc_TypeError, "expected an iterator, got '%s'", Py_TYPE(iter)->tp_name);
        return -1;
    }
    *item = PyIter_Next(iter);
    if (*item != nullptr) {
        return 1;
    }
    return PyErr_Occurred() != nullptr ? -1 : 0;
}

// 1 when two str objects are equal, 0 when not; -1 with TypeError when
// either is not a str.
inline int PyUnicode_Equal(PyObject* a, PyObject* b) {
    if (!PyUnicode_Check(a)) {
        PyErr_Format(PyExc_TypeError, "first argument must be str, not %s", Py_TYPE(a)->tp_name);
        return -1;
    }
    if (!PyUnicode_Check(b)) {
        PyErr_Format(PyExc_TypeError, "second argument must be str, not %s", Py_TYPE(b)->tp_name);
        return -1;
    }
    return PyUnicode_Compare(a, b) == 0 ? 1 : 0;
}

#endif

#if PY_VERSION_HEX < 0x030D0000  // before 3.13

// 1 and a new reference in *result while the referent lives; 0 and nullptr
// when it is gone; -1 with TypeError when `ref` is no weak reference.
inline int PyWeakref_GetRef(PyObject* ref, PyObject** result) {
    if (!PyWeakref_Check(ref)) {
        *result = nullptr;
        PyErr_SetString(PyExc_TypeError, "expected a weakref");
        return -1;
    }
    PyObject* referent = PyWeakref_GetObject(ref);  // borrowed
    if (referent == Py_None) {
        *result = nullptr;
        return 0;
    }
    *result = Py_NewRef(referent);
    return 1;
}

#endif

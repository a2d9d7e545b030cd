// C API calls that newer interpreters have and older supported ones lack.
//
// On an interpreter that has a call, the call itself is used; on an older
// one, the equivalent below, written from the call's documented behaviour.
// Include this instead of <Python.h>.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

#if PY_VERSION_HEX < 0x030C0000  // before 3.12

// The exception being raised, as one new reference, and the indicator
// cleared; nullptr when none is set. The older calls hand out its type,
// value and traceback apart, the value perhaps not yet an instance.
inline PyObject* PyErr_GetRaisedException() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
        // The traceback stays with the exception, as the newer call keeps it.
        PyException_SetTraceback(value, traceback);
        Py_DECREF(traceback);
    }
    Py_DECREF(type);
    return value;
}

// Raises `exception` (stolen; nullptr clears the indicator), with the
// traceback it carries.
inline void PyErr_SetRaisedException(PyObject* exception) {
    if (exception == nullptr) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
}

// The arguments an exception was made with (a new reference to its args
// tuple), and their replacement; the fields themselves, as the newer calls
// read and write them.
inline PyObject* PyException_GetArgs(PyObject* exception) {
    return Py_NewRef(reinterpret_cast<PyBaseExceptionObject*>(exception)->args);
}

inline void PyException_SetArgs(PyObject* exception, PyObject* args) {
    Py_XSETREF(reinterpret_cast<PyBaseExceptionObject*>(exception)->args, Py_NewRef(args));
}

// The member table's entries: before 3.12 their struct and names come
// from a header of their own, under older names.
inline constexpr int Py_T_PYSSIZET = T_PYSSIZET;
inline constexpr int Py_T_OBJECT_EX = T_OBJECT_EX;
inline constexpr int Py_READONLY = READONLY;
inline constexpr int Py_AUDIT_READ = PY_AUDIT_READ;
// Members at an offset relative to a base's layout came with 3.12.
inline constexpr int Py_RELATIVE_OFFSET = 0;

// The class's own namespace, as a new reference.
inline PyObject* PyType_GetDict(PyTypeObject* type) { return Py_XNewRef(type->tp_dict); }

// 1 when the class has a valid version tag. The newer call also assigns
// one where it can; here the answer is only what the interpreter's own
// attribute lookups have assigned, so a class without one is treated as
// one whose layout cannot be trusted, which is always safe.
inline int PyUnstable_Type_AssignVersionTag(PyTypeObject* type) {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 ? 1 : 0;
}

// Whether an int is held in one machine digit, and that digit's signed
// value: the layout of int objects is public before 3.12, and the newer
// calls read the same two fields. Zero has no digit stored.
inline int PyUnstable_Long_IsCompact(const PyLongObject* number) {
    const Py_ssize_t size = Py_SIZE(number);
    return size >= -1 && size <= 1;
}

inline Py_ssize_t PyUnstable_Long_CompactValue(const PyLongObject* number) {
    const Py_ssize_t size = Py_SIZE(number);
    return size == 0 ? 0 : size * static_cast<Py_ssize_t>(number->ob_digit[0]);
}

#endif

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

namespace velka {

#if PY_VERSION_HEX < 0x030C0000  // before 3.12

// Before 3.12 the interpreter's recursion guard counts C levels and Python
// frames together against sys.getrecursionlimit(), so how deep a value could
// be would hang on the caller's own depth and on that setting. From 3.12 on
// C levels are counted apart, against a fixed limit per thread; the count
// here is that one, with 3.12's limit.
inline constexpr int c_recursion_limit = 1500;
[[gnu::tls_model("initial-exec")]] inline thread_local int c_recursion_depth = 0;

#endif

// Py_EnterRecursiveCall as 3.12 and later have it: 0, or -1 with
// RecursionError set when the thread is as deep as it may go.
inline int enter_recursive_call(const char* where) {
#if PY_VERSION_HEX < 0x030C0000
    if (c_recursion_depth >= c_recursion_limit) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return -1;
    }
    ++c_recursion_depth;
    return 0;
#else
    return Py_EnterRecursiveCall(where);
#endif
}

inline void leave_recursive_call() {
#if PY_VERSION_HEX < 0x030C0000
    --c_recursion_depth;
#else
    Py_LeaveRecursiveCall();
#endif
}

}  // namespace velka

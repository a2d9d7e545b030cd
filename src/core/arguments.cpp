// The arguments of the entry points that take a value's input and where it
// starts.
#include "arguments.hpp"

#include "errors.hpp"
#include "pyref.hpp"

namespace velka {

// Binds keyword arguments to the parameters named in `names`, filling
// `bound`, where the positional arguments were put already. Returns 0, or -1
// with TypeError set.
int bind_keywords(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  const char* const* names, Py_ssize_t count, PyObject** bound) {
    if (kwnames == nullptr) {
        return 0;
    }
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function);
            return -1;
        }
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (PyUnicode_CompareWithASCIIString(keyword, names[i]) == 0) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                         keyword);
            return -1;
        }
        if (bound[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                         names[slot]);
            return -1;
        }
        bound[slot] = args[nargs + k];
    }
    return 0;
}

// The input of a raw entry point, as `decode` takes it: a false argument is
// empty data, refused as incomplete input when it is empty data indeed (None
// or an empty buffer) and as DecodeError otherwise, as `decode` does.
// `empty` tells the caller that the data was false. Returns 0, or -1 with an
// exception set.
int take_input(PyObject* data, OwnedInput& input, bool& empty) {
    const int truth = data_truth(data);
    if (truth < 0) {
        return -1;
    }
    empty = truth == 0;
    if (empty && data != Py_None && !PyObject_CheckBuffer(data)) {
        raise_error_format(ErrorClass::decode_error, "empty data");
        return -1;
    }
    return to_buffer(data, input);
}

PyObject* raise_empty_data() { return raise_error_format(ErrorClass::incomplete, "empty data"); }

int prefix_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, OwnedInput& input, Py_ssize_t& start) {
    static const char* const names[] = {"data", "start"};
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from 1 to 2 positional arguments but %zd were given", function,
                     nargs);
        return -1;
    }
    PyObject* bound[2] = {nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : nullptr};
    if (bind_keywords(function, args, nargs, kwnames, names, 2, bound) < 0) {
        return -1;
    }
    if (bound[0] == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument 'data' (pos 1)", function);
        return -1;
    }
    start = 0;
    if (bound[1] != nullptr) {
        if (!PyIndex_Check(bound[1])) {
            PyErr_Format(PyExc_TypeError, "%s() argument 'start' must be int, not %.200s", function,
                         Py_TYPE(bound[1])->tp_name);
            return -1;
        }
        // Out-of-range values saturate, and are then refused as out of range.
        start = PyNumber_AsSsize_t(bound[1], nullptr);
        if (start == -1 && PyErr_Occurred()) {
            return -1;
        }
    }
    bool empty = false;
    if (take_input(bound[0], input, empty) < 0) {
        return -1;
    }
    const Py_ssize_t length = input.view().length;
    if (start < 0) {
        PyErr_Format(PyExc_ValueError, "start must not be negative, got %zd", start);
        return -1;
    }
    if (start > length) {
        PyErr_Format(PyExc_ValueError, "start %zd is past the end of the data (length %zd)", start,
                     length);
        return -1;
    }
    if (empty) {
        raise_empty_data();
        return -1;
    }
    return 0;
}

// A new tuple (first, position), taking over `first` (a new reference); or
// nullptr with an exception set, `first` then released.
PyObject* make_pair(PyObject* first, Py_ssize_t position) {
    PyRef owned_first = PyRef::steal(first);
    PyRef second = PyRef::steal(PyLong_FromSsize_t(position));
    if (!second) {
        return nullptr;
    }
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) {
        return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, owned_first.release());
    PyTuple_SET_ITEM(pair, 1, second.release());
    return pair;
}

}  // namespace velka

// velka.bencode's decode entry points: the caller's input into the decoder.
#include "entry_points.hpp"

#include "decoder.hpp"
#include "errors.hpp"
#include "input_view.hpp"
#include "pyref.hpp"

namespace velka {

PyObject* decode(PyObject* data) {
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

}  // namespace velka

// velka.bencode's encoder: the plain instance of the encoding walk.
#include "encoder.hpp"

#include "encoder_walk.hpp"

namespace velka {

PyObject* encode_value(PyObject* value) {
    Encoder<false> encoder;
    if (encoder.any(value) < 0) {
        return nullptr;
    }
    return encoder.finish();
}

}  // namespace velka

#include "text_cache.hpp"

#include <bit>

namespace velka::typed {

TextCache::~TextCache() {
    for (std::uint64_t used = used_; used != 0; used &= used - 1) {
        Py_DECREF(slots_[std::countr_zero(used)]);
    }
}

PyObject* TextCache::miss(const unsigned char* data, Py_ssize_t length, unsigned slot) {
    PyObject* text = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data), length, nullptr);
    if (text == nullptr || !PyUnicode_IS_ASCII(text)) {
        return text;
    }
    const std::uint64_t bit = std::uint64_t{1} << slot;
    if (used_ & bit) {
        Py_DECREF(slots_[slot]);
    }
    slots_[slot] = Py_NewRef(text);
    used_ |= bit;
    return text;
}

}  // namespace velka::typed

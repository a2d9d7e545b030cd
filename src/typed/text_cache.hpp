// Short text made during one typed decode, so that text repeated across the
// input (a directory name in every path, the keys of a dict[str, T]) becomes
// one shared str, decoded and hashed once, as plain decoding shares short
// byte strings.
#pragma once

#include <cstdint>

#include "compat.hpp"
#include "decoder.hpp"

namespace velka::typed {

// Direct-mapped by BytesCache's slots. A slot holds a strong reference to an
// ASCII str, whose characters are then exactly the UTF-8 bytes it was
// decoded from: a hit compares them with the input, so a str is only ever
// handed out for the very bytes it was made from. Text that is not ASCII is
// decoded each time and never cached.
class TextCache {
   public:
    static constexpr Py_ssize_t max_length = BytesCache::max_length;

    TextCache() noexcept = default;
    TextCache(const TextCache&) = delete;
    TextCache& operator=(const TextCache&) = delete;
    ~TextCache();

    // A new reference to the str that data[0:length] (length is 2 ..
    // max_length) decodes to as strict UTF-8, or nullptr with an exception
    // set (UnicodeDecodeError for invalid UTF-8).
    PyObject* get(const unsigned char* data, Py_ssize_t length) {
        const unsigned slot = BytesCache::slot_of(data, length);
        if ((used_ >> slot) & 1u) {
            PyObject* cached = slots_[slot];
            if (PyUnicode_GET_LENGTH(cached) == length &&
                reading::equal_short(PyUnicode_1BYTE_DATA(cached), data,
                                     static_cast<std::size_t>(length))) {
                return Py_NewRef(cached);
            }
        }
        return miss(data, length, slot);
    }

   private:
    // The str for text not in its slot, which it then takes when ASCII.
    PyObject* miss(const unsigned char* data, Py_ssize_t length, unsigned slot);

    PyObject* slots_[BytesCache::slot_count];
    std::uint64_t used_ = 0;  // bit i set: slots_[i] holds a str
};

}  // namespace velka::typed

// The value decoder's entry points: each picks the walk for the input's
// layout (contiguous or strided) and runs it.
#include "decoder.hpp"

#include <bit>
#include <cstring>

#include "walker.hpp"

namespace velka {

using reading::ContiguousBytes;
using reading::KeySpan;
using reading::StridedBytes;

PyObject* ValueDecoder::decode_any(Py_ssize_t& pos) {
    if (view_.contiguous()) {
        return Walker<ContiguousBytes, true>(*this, ContiguousBytes{view_.data}).outer_any(pos);
    }
    return Walker<StridedBytes, true>(*this, StridedBytes{view_.data, view_.stride}).outer_any(pos);
}

int ValueChecker::check_finding(Py_ssize_t& pos, std::span<const PathStep> path) {
    const Py_ssize_t start = pos;
    path_ = path;
    found_start_ = -1;
    found_end_ = -1;
    path_depth_ = path.empty() ? -1 : 0;
    const int checked = check_any(pos);
    path_ = {};
    path_depth_ = -1;
    if (path.empty() && checked == 0) {
        found_start_ = start;
        found_end_ = pos;
    }
    return checked;
}

int ValueChecker::check_any(Py_ssize_t& pos) {
    Checked checked{};
    if (view_.contiguous()) {
        checked = Walker<ContiguousBytes, false>(*this, ContiguousBytes{view_.data}).any(pos);
    } else {
        checked =
            Walker<StridedBytes, false>(*this, StridedBytes{view_.data, view_.stride}).any(pos);
    }
    return checked ? 0 : -1;
}

Py_ssize_t ValueChecker::byte_string(Py_ssize_t& pos, Py_ssize_t& start) {
    KeySpan key{};
    if (view_.contiguous()) {
        key = Walker<ContiguousBytes, false>(*this, ContiguousBytes{view_.data}).key(pos);
    } else {
        key = Walker<StridedBytes, false>(*this, StridedBytes{view_.data, view_.stride}).key(pos);
    }
    start = key.start;
    return key.length;
}

bool ValueChecker::equals(Py_ssize_t start, Py_ssize_t length, const char* other,
                          Py_ssize_t other_length) const noexcept {
    if (length != other_length) {
        return false;
    }
    const auto* wanted = reinterpret_cast<const unsigned char*>(other);
    if (view_.contiguous()) {
        return ContiguousBytes{view_.data}.equals(start, wanted, length);
    }
    return StridedBytes{view_.data, view_.stride}.equals(start, wanted, length);
}

void ItemStack::release_all() noexcept {
    release_from(0);
    if (items_ != inline_) {
        PyMem_RawFree(items_);
    }
}

void ItemStack::release_from(Py_ssize_t base) noexcept {
    while (size_ > base) {
        Py_DECREF(items_[--size_]);
    }
}

int ItemStack::grow() {
    const Py_ssize_t new_capacity = capacity_ * 2;
    const auto bytes = static_cast<std::size_t>(new_capacity) * sizeof(PyObject*);
    PyObject** grown;
    if (items_ == inline_) {
        grown = static_cast<PyObject**>(PyMem_RawMalloc(bytes));
        if (grown != nullptr) {
            std::memcpy(grown, inline_, sizeof(inline_));
        }
    } else {
        grown = static_cast<PyObject**>(PyMem_RawRealloc(items_, bytes));
    }
    if (grown == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    items_ = grown;
    capacity_ = new_capacity;
    return 0;
}

void BytesCache::release_all() noexcept {
    for (std::uint64_t used = used_; used != 0; used &= used - 1) {
        Py_DECREF(slots_[std::countr_zero(used)]);
    }
}

PyObject* BytesCache::keep(const unsigned char* data, Py_ssize_t length, unsigned slot) {
    const std::uint64_t bit = std::uint64_t{1} << slot;
    PyObject* key = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), length);
    if (key == nullptr) {
        return nullptr;
    }
    if (used_ & bit) {
        Py_DECREF(slots_[slot]);
    }
    slots_[slot] = Py_NewRef(key);
    used_ |= bit;
    return key;
}

}  // namespace velka

// The value decoder: bencode bytes at a position of an input view into
// Python objects.
#pragma once

#include "compat.hpp"

#include <cstddef>
#include <cstdint>

#include "input_view.hpp"

namespace velka {

// Items of the lists being decoded, kept on one stack shared by all nesting
// levels until each list is complete, so that every list is allocated once at
// its final size. Holds a strong reference to each item.
class ItemStack {
   public:
    ItemStack() noexcept = default;
    ItemStack(const ItemStack&) = delete;
    ItemStack& operator=(const ItemStack&) = delete;
    ~ItemStack();

    [[nodiscard]] Py_ssize_t size() const noexcept { return size_; }
    [[nodiscard]] PyObject* const* from(Py_ssize_t base) const noexcept { return items_ + base; }

    // Takes over `item`. Returns -1 with MemoryError set (and `item`
    // released) when the stack cannot grow.
    int push(PyObject* item) {
        if (size_ == capacity_ && grow() < 0) {
            Py_DECREF(item);
            return -1;
        }
        items_[size_++] = item;
        return 0;
    }
    // Forgets the items above `base` without releasing them: their references
    // have been moved elsewhere.
    void drop_moved(Py_ssize_t base) noexcept { size_ = base; }
    // Releases the items above `base`.
    void release_from(Py_ssize_t base) noexcept;

   private:
    int grow();

    static constexpr Py_ssize_t inline_capacity = 32;
    PyObject* inline_[inline_capacity];
    PyObject** items_ = inline_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = inline_capacity;
};

// Short byte strings made during one call, so that a string repeated across
// the input (a key such as b'length' in every file of a torrent, a directory
// name in every path) becomes one shared bytes object, whose hash is then
// computed once. Direct-mapped; a slot holds a strong reference.
class BytesCache {
   public:
    static constexpr Py_ssize_t max_length = 32;

    BytesCache() noexcept = default;
    BytesCache(const BytesCache&) = delete;
    BytesCache& operator=(const BytesCache&) = delete;
    ~BytesCache();

    // A new reference to a bytes object equal to data[0:length] (length is
    // 2 .. max_length), or nullptr with MemoryError set.
    PyObject* get(const unsigned char* data, Py_ssize_t length);

   private:
    static constexpr unsigned slot_count = 64;
    PyObject* slots_[slot_count];
    std::uint64_t used_ = 0;  // bit i set: slots_[i] holds a key
};

// `_decode_any` for one input: decodes the value starting at `pos` and moves
// `pos` just past it. Returns a new reference, or nullptr with an exception
// set (`pos` is then unspecified). Successive calls on one decoder share their
// scratch space and keys, so decode_all keeps one decoder for its input.
class ValueDecoder {
   public:
    explicit ValueDecoder(const InputView& view) noexcept : view_(view) {}
    ValueDecoder(const ValueDecoder&) = delete;
    ValueDecoder& operator=(const ValueDecoder&) = delete;

    [[nodiscard]] PyObject* decode_any(Py_ssize_t& pos);

   private:
    template <typename Bytes>
    friend class Walker;

    const InputView view_;
    ItemStack items_;
    BytesCache keys_;
    BytesCache values_;
};

}  // namespace velka

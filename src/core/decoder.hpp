// The value decoder: bencode bytes at a position of an input view into
// Python objects.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "compat.hpp"
#include "input_view.hpp"
#include "reading.hpp"
#include "recursion_guard.hpp"
#include "words.hpp"

namespace velka {

// Items of the lists being decoded, kept on one stack shared by all nesting
// levels until each list is complete, so that every list is allocated once at
// its final size. Holds a strong reference to each item.
class ItemStack {
   public:
    ItemStack() noexcept = default;
    ItemStack(const ItemStack&) = delete;
    ItemStack& operator=(const ItemStack&) = delete;
    // In line: most calls leave nothing on the stack and never grow it.
    ~ItemStack() {
        if (size_ > 0 || items_ != inline_) {
            release_all();
        }
    }

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
    void release_all() noexcept;

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
//
// Keeping a string costs a reference taken and released, which only pays
// when the string comes again; most strings of a small message come once,
// and a large dictionary of distinct keys has nothing to share. So a slot
// remembers where the last string asked of it lies in the input and keeps
// a string only when it is asked for a second time, so that strings met
// once (peer addresses, file names) neither cost a reference nor push out
// the strings that repeat; and a call whose strings have mostly not come
// again stops looking them up.
class BytesCache {
   public:
    static constexpr Py_ssize_t max_length = reading::max_short_run;

    BytesCache() noexcept = default;
    BytesCache(const BytesCache&) = delete;
    BytesCache& operator=(const BytesCache&) = delete;
    // In line: most calls keep no string.
    ~BytesCache() {
        if (used_ != 0) {
            release_all();
        }
    }

    // A new reference to a bytes object equal to data[0:length] (length is
    // 2 .. max_length), or nullptr with MemoryError set. `lasting`: the
    // bytes stay where they are for as long as the cache (they are the
    // input's own), so that the slot may remember them; else a string is
    // kept whenever its slot was asked for before.
    [[gnu::always_inline]] PyObject* get(const unsigned char* data, Py_ssize_t length,
                                         bool lasting) {
        if (bypassed_) {
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), length);
        }
        const auto size = static_cast<std::size_t>(length);
        const unsigned slot = slot_of(data, length);
        const std::uint64_t bit = std::uint64_t{1} << slot;
        if (used_ & bit) {
            PyObject* cached = slots_[slot];
            if (PyBytes_GET_SIZE(cached) == length &&
                reading::equal_short(
                    reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(cached)), data,
                    size)) {
                ++hits_;
                return Py_NewRef(cached);
            }
        }
        if ((asked_ & bit) == 0) {
            asked_ |= bit;
            asked_for_[slot] = data;
            asked_sizes_[slot] = length;
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), length);
        }
        // Past this many misses of slots asked for before, at least one
        // lookup in sixteen must have hit for lookups to go on.
        constexpr Py_ssize_t trial_misses = 256;
        ++misses_;
        if (misses_ > trial_misses && misses_ > 16 * hits_) {
            bypassed_ = true;
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), length);
        }
        if (lasting &&
            (asked_sizes_[slot] != length || !reading::equal_short(asked_for_[slot], data, size))) {
            asked_for_[slot] = data;
            asked_sizes_[slot] = length;
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), length);
        }
        return keep(data, length, slot);
    }

    static constexpr unsigned slot_count = 64;

    // The slot of a run of 2 to max_length bytes; a cache of other objects
    // made from short runs (the typed walk's text) shares it.
    static unsigned slot_of(const unsigned char* data, Py_ssize_t length) noexcept {
        const auto size = static_cast<std::size_t>(length);
        return (static_cast<unsigned>(length) * 7u + data[0] * 3u + data[size / 2] * 5u +
                data[size - 1]) %
               slot_count;
    }

   private:
    void release_all() noexcept;

    // A new bytes object for a string not in its slot, which it then takes.
    PyObject* keep(const unsigned char* data, Py_ssize_t length, unsigned slot);

    PyObject* slots_[slot_count];
    // Where the last string that missed slot i lies, and its length; valid
    // while bit i of asked_ is set.
    const unsigned char* asked_for_[slot_count];
    Py_ssize_t asked_sizes_[slot_count];
    std::uint64_t used_ = 0;   // bit i set: slots_[i] holds a key
    std::uint64_t asked_ = 0;  // bit i set: a string has missed slot i
    Py_ssize_t hits_ = 0;
    Py_ssize_t misses_ = 0;
    bool bypassed_ = false;  // strings are made without a lookup
};

// The keys of the last dictionary decoded that had few of them, held so
// that the next one of the same shape (every file of a torrent, every peer
// of a tracker response) finds its keys by comparing bytes, in an order
// already checked. Beside each key, the list that was its value in the last
// dictionary of the shape, if any, so that the next list there reads the
// items it starts with alike by comparing bytes: consecutive paths of a
// torrent's files mostly begin with the same directories. Holds a strong
// reference to each key; the lists are borrowed from the value being
// decoded, which holds them until it is complete.
class KeyShape {
   public:
    static constexpr Py_ssize_t max_keys = 8;

    KeyShape() noexcept = default;
    KeyShape(const KeyShape&) = delete;
    KeyShape& operator=(const KeyShape&) = delete;
    ~KeyShape() { release(); }

    [[nodiscard]] Py_ssize_t size() const noexcept { return count_; }
    [[nodiscard]] PyObject* key(Py_ssize_t index) const noexcept { return keys_[index]; }
    // Changes whenever the keys are replaced.
    [[nodiscard]] std::uint64_t generation() const noexcept { return generation_; }

    // The list that was the value of key(index), or nullptr.
    [[nodiscard]] PyObject* list(Py_ssize_t index) const noexcept { return lists_[index]; }
    // `list` (a list object of the value being decoded) is the value of
    // key(index) now.
    void set_list(Py_ssize_t index, PyObject* list) noexcept { lists_[index] = list; }
    // The value being decoded is complete (or abandoned): its lists may go.
    void forget_lists() noexcept { std::fill_n(lists_, count_, nullptr); }

    // Holds `count` (at most max_keys) keys, ascending, and no lists
    // instead.
    void replace(PyObject* const* keys, Py_ssize_t count) noexcept {
        for (Py_ssize_t i = 0; i < count; ++i) {
            Py_INCREF(keys[i]);
        }
        release();
        std::copy_n(keys, count, keys_);
        std::fill_n(lists_, count, nullptr);
        count_ = count;
        ++generation_;
    }

   private:
    void release() noexcept {
        for (Py_ssize_t i = 0; i < count_; ++i) {
            Py_DECREF(keys_[i]);
        }
        count_ = 0;
    }

    PyObject* keys_[max_keys];
    PyObject* lists_[max_keys];  // valid below count_
    Py_ssize_t count_ = 0;
    std::uint64_t generation_ = 0;
};

// What a walk over the input gives back for one value, when it only checks
// the value without building it.
struct Checked {
    bool ok;
    [[nodiscard]] explicit operator bool() const noexcept { return ok; }
};

// `_decode_any` for one input: decodes the value starting at `pos` and moves
// `pos` just past it. Returns a new reference, or nullptr with an exception
// set (`pos` is then unspecified). Successive calls on one decoder share their
// scratch space and keys, so decode_all keeps one decoder for its input.
//
// Input that ends before its value does raises ErrorClass::incomplete when
// `tell_incomplete` is set, ErrorClass::decode_error otherwise.
class ValueDecoder {
   public:
    explicit ValueDecoder(const InputView& view, bool tell_incomplete = false) noexcept
        : view_(view), tell_incomplete_(tell_incomplete) {}
    ValueDecoder(const ValueDecoder&) = delete;
    ValueDecoder& operator=(const ValueDecoder&) = delete;

    [[nodiscard]] PyObject* decode_any(Py_ssize_t& pos);

   private:
    template <typename Bytes, bool Build>
    friend class Walker;

    const InputView view_;
    const bool tell_incomplete_;
    NestingLevels levels_;
    ItemStack items_;
    KeyShape shape_;
    BytesCache keys_;
    BytesCache values_;
};

// One step of a path into a value, as a checking walk follows it in passing:
// a dictionary key, or a list index counted from the front. Any other step
// (a negative index, one of no known kind) is never followed in passing.
struct PathStep {
    enum class Kind { key, index, other };
    Kind kind;
    const char* key;  // borrowed from the caller's bytes object
    Py_ssize_t key_length;
    Py_ssize_t index;
};

// The same walk as ValueDecoder's, by the same rules and with the same
// errors, that builds no objects: it only finds where well-formed values
// end. Holds nothing that grows with the input.
class ValueChecker {
   public:
    explicit ValueChecker(const InputView& view, bool tell_incomplete = false) noexcept
        : view_(view), tell_incomplete_(tell_incomplete) {}
    ValueChecker(const ValueChecker&) = delete;
    ValueChecker& operator=(const ValueChecker&) = delete;

    // Checks the value at `pos` and moves `pos` just past it. Returns 0, or
    // -1 with an exception set.
    [[nodiscard]] int check_any(Py_ssize_t& pos);

    // check_any(), which also looks for the value that `path` leads to from
    // the value checked, so that one pass both checks the input and finds
    // it. Returns 0, or -1 with an exception set; then found() tells where
    // the value is, unless a step could not be followed in passing.
    [[nodiscard]] int check_finding(Py_ssize_t& pos, std::span<const PathStep> path);

    // Where check_finding() found the value: true with its [start, end), or
    // false when it did not.
    [[nodiscard]] bool found(Py_ssize_t& start, Py_ssize_t& end) const noexcept {
        start = found_start_;
        end = found_end_;
        return found_start_ >= 0;
    }

    // The byte string (a dictionary key) at `pos`: its data start at
    // `start` and run for the returned length; `pos` moves past it. Returns
    // -1 with an exception set when there is no well-formed byte string.
    [[nodiscard]] Py_ssize_t byte_string(Py_ssize_t& pos, Py_ssize_t& start);

    // Whether the `length` bytes at `start` equal `other`'s `other_length`.
    [[nodiscard]] bool equals(Py_ssize_t start, Py_ssize_t length, const char* other,
                              Py_ssize_t other_length) const noexcept;

    [[nodiscard]] const InputView& view() const noexcept { return view_; }

   private:
    template <typename Bytes, bool Build>
    friend class Walker;

    const InputView view_;
    const bool tell_incomplete_;
    NestingLevels levels_;
    std::span<const PathStep> path_;
    // How many steps of the path lead to the value about to be checked, or
    // -1 when it lies off the path.
    Py_ssize_t path_depth_ = -1;
    Py_ssize_t found_start_ = -1;
    Py_ssize_t found_end_ = -1;
};

}  // namespace velka

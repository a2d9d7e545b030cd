// The value encoder: one recursive pass over the value, writing straight
// into a single output buffer.
//
// Small outputs are assembled in a buffer on the stack and copied once into
// an exactly sized bytes object. A larger output moves into a bytes object
// that grows by a sixteenth at a time and is shrunk once at the end, so an
// encode holds little more than its output at any time. (Measuring the value
// first to allocate once would read every object twice, which costs more
// than the resizes: the allocator extends a large block mostly in place.)
//
// Exact built-in types take fast paths that call no Python code: ints are
// formatted in place, and an exact dict whose keys are all exact bytes is
// sorted by their raw bytes instead of through the interpreter's list sort.
// Subclasses go through their own methods, in the same order as the general
// algorithm.
//
// One walk serves two encoders: velka.bencode's (Encoder<false>, made in
// encoder.cpp) and the typed layer's (Encoder<true>), which also writes
// text, tuples, enum members, dataclass instances and raw values. The typed
// kinds are reached only where the plain walk would refuse a value, and are
// compiled out of the plain encoder, whose code is the same as if they did
// not exist. Everything here is in an unnamed namespace, so that each of the
// two is compiled and inlined as one unit of its own module.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "pyref.hpp"
#include "recursion_guard.hpp"
#include "swar.hpp"
#include "value_path.hpp"
#include "words.hpp"

namespace velka {

namespace {

// Digits of a signed 64-bit value plus the sign.
constexpr Py_ssize_t max_int64_text = 20;

constexpr std::uint64_t powers_of_ten[] = {
    1ULL,
    10ULL,
    100ULL,
    1000ULL,
    10000ULL,
    100000ULL,
    1000000ULL,
    10000000ULL,
    100000000ULL,
    1000000000ULL,
    10000000000ULL,
    100000000000ULL,
    1000000000000ULL,
    10000000000000ULL,
    100000000000000ULL,
    1000000000000000ULL,
    10000000000000000ULL,
    100000000000000000ULL,
    1000000000000000000ULL,
    10000000000000000000ULL,
};

// The number of decimal digits of `value`.
inline unsigned decimal_width(std::uint64_t value) noexcept {
    // 1233 / 4096 approximates log10(2); the table corrects the estimate.
    // Setting the lowest bit changes no width and gives zero its one digit.
    value |= 1;
    const unsigned estimate = (64 - static_cast<unsigned>(std::countl_zero(value))) * 1233 >> 12;
    return estimate + (value >= powers_of_ten[estimate] ? 1 : 0);
}

inline void store_word(char* at, std::uint64_t word) noexcept { store_le(at, word); }

// Copies `count` bytes (one to two words' worth) as two words that overlap;
// the words only move, so their byte order does not matter.
template <typename Word>
inline void copy_two_words(char* to, const char* from, std::size_t count) noexcept {
    Word head;
    Word tail;
    std::memcpy(&head, from, sizeof(Word));
    std::memcpy(&tail, from + count - sizeof(Word), sizeof(Word));
    std::memcpy(to, &head, sizeof(Word));
    std::memcpy(to + count - sizeof(Word), &tail, sizeof(Word));
}

// memcpy, with the short strings that keys and names mostly are copied
// without a call: two loads and stores that overlap cover 4 to 16 bytes.
inline void copy_bytes(char* to, const char* from, std::size_t count) noexcept {
    if (count > 16) {
        std::memcpy(to, from, count);
    } else if (count >= 8) {
        copy_two_words<std::uint64_t>(to, from, count);
    } else if (count >= 4) {
        copy_two_words<std::uint32_t>(to, from, count);
    } else if (count > 0) {
        to[0] = from[0];
        to[count / 2] = from[count / 2];
        to[count - 1] = from[count - 1];
    }
}

// A hint to fetch the memory at `address` into the cache ahead of its use,
// where the compiler offers one; nothing elsewhere. (Without it, encoding a
// dict of 10,000 keys takes about a tenth longer, one of 100,000 keys about
// three quarters.)
#ifdef __has_builtin
#if __has_builtin(__builtin_prefetch)
#define VELKA_PREFETCH_HINT 1
#endif
#endif

inline void prefetch([[maybe_unused]] const void* address) noexcept {
#ifdef VELKA_PREFETCH_HINT
    __builtin_prefetch(address);
#endif
}

// Bytes that a write may store past the end of what it reserved: the digit
// writes below store whole words and leave garbage after the last digit,
// for the next write to cover.
constexpr Py_ssize_t write_slack = 8;

// Stores the last `width` (1 to 8) of the eight digits of `value` at `at`;
// the word's other bytes land past them.
inline void store_digits(char* at, std::uint64_t value, unsigned width) noexcept {
    store_word(at, eight_digits(value) >> (64 - 8 * width));
}

// write_decimal for values of 9 to 20 digits: the last eight digits, the
// eight or fewer before them and, past 16 digits, the rest, each group
// stored whole.
[[gnu::noinline]] char* write_long_decimal(char* at, std::uint64_t value, unsigned width) noexcept {
    constexpr std::uint64_t ten_to_8 = 100000000ULL;
    const std::uint64_t upper = value / ten_to_8;
    const std::uint64_t lower = value - upper * ten_to_8;
    std::uint64_t middle = upper;
    unsigned middle_width = width - 8;
    if (middle_width > 8) {
        const std::uint64_t top = upper / ten_to_8;
        const unsigned top_width = middle_width - 8;
        store_digits(at, top, top_width);
        at += top_width;
        middle = upper - top * ten_to_8;
        middle_width = 8;
    }
    store_digits(at, middle, middle_width);
    at += middle_width;
    store_word(at, eight_digits(lower));
    return at + 8;
}

// Writes `value` in decimal at `at` and returns the end; may store up to
// write_slack bytes beyond it.
inline char* write_decimal(char* at, std::uint64_t value) noexcept {
    const unsigned width = decimal_width(value);
    if (width <= 8) {
        store_digits(at, value, width);
        return at + width;
    }
    return write_long_decimal(at, value, width);
}

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// write_decimal for the length of a byte string, which is mostly below 100:
// two bytes from the table of pairs (for a single digit, the second half of
// its pair and a byte past it), so one digit or two cost no branch.
inline char* write_length(char* at, std::uint64_t length) noexcept {
    if (length >= 100) {
        return write_decimal(at, length);
    }
    const unsigned width = length >= 10 ? 2 : 1;
    std::memcpy(at, digit_pairs + 2 * length + 2 - width, 2);
    return at + width;
}

class Output {
   public:
    Output() noexcept = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { Py_XDECREF(heap_); }

    // Room for `count` more bytes: a pointer to write them at, or nullptr
    // with MemoryError set. commit() then counts what was written. Past the
    // room lie write_slack more bytes that may be overwritten freely; only
    // what is committed counts.
    char* reserve(Py_ssize_t count) {
        if (count > capacity_ - size_ && grow(count) < 0) {
            return nullptr;
        }
        return data_ + size_;
    }
    void commit(const char* written_end) noexcept { size_ = written_end - data_; }

    int put(char byte) {
        char* at = reserve(1);
        if (at == nullptr) {
            return -1;
        }
        *at = byte;
        ++size_;
        return 0;
    }

    // The output as a new bytes object of exactly its size.
    PyObject* finish() {
        if (heap_ == nullptr) {
            return PyBytes_FromStringAndSize(inline_, size_);
        }
        // Always a shrink, by the slack at least.
        if (_PyBytes_Resize(&heap_, size_) < 0) {
            return nullptr;
        }
        return std::exchange(heap_, nullptr);
    }

   private:
    int grow(Py_ssize_t count) {
        // No size near this could be allocated; below it, the capacity with
        // its sixteenth and the slack cannot overflow.
        const Py_ssize_t limit = PY_SSIZE_T_MAX / 2 - size_;
        if (count > limit) {
            PyErr_NoMemory();
            return -1;
        }
        const Py_ssize_t needed = size_ + count;
        // A sixteenth more than needed keeps the number of resizes
        // logarithmic while holding little beyond the output itself.
        const Py_ssize_t capacity = needed + std::max(needed / 16, min_growth);
        if (heap_ == nullptr) {
            heap_ = PyBytes_FromStringAndSize(nullptr, capacity + write_slack);
            if (heap_ == nullptr) {
                return -1;
            }
            std::memcpy(PyBytes_AS_STRING(heap_), inline_, static_cast<std::size_t>(size_));
        } else if (_PyBytes_Resize(&heap_, capacity + write_slack) < 0) {
            return -1;  // heap_ is gone and the error is set
        }
        data_ = PyBytes_AS_STRING(heap_);
        capacity_ = capacity;
        return 0;
    }

    static constexpr Py_ssize_t inline_capacity = 2048;
    static constexpr Py_ssize_t min_growth = 64;
    char inline_[inline_capacity + write_slack];
    char* data_ = inline_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = inline_capacity;
    PyObject* heap_ = nullptr;
};

// A key of an exact dict being written, with its value when it was collected.
// `prefix` holds the key's first eight bytes in big-endian order (zero-padded),
// so that most comparisons while sorting are one integer comparison.
struct KeyEntry {
    std::uint64_t prefix;
    PyObject* key;    // strong reference
    PyObject* value;  // strong reference
};

// Python's order of bytes: unsigned, and a proper prefix first. Equal
// prefixes leave it to the remaining bytes and the sizes (zero padding makes
// b'a' and b'a\x00' share a prefix).
bool key_less(const KeyEntry& a, const KeyEntry& b) noexcept {
    if (a.prefix != b.prefix) {
        return a.prefix < b.prefix;
    }
    const Py_ssize_t a_size = PyBytes_GET_SIZE(a.key);
    const Py_ssize_t b_size = PyBytes_GET_SIZE(b.key);
    const Py_ssize_t common = std::min(a_size, b_size);
    if (common > 8) {
        const int order = std::memcmp(PyBytes_AS_STRING(a.key) + 8, PyBytes_AS_STRING(b.key) + 8,
                                      static_cast<std::size_t>(common - 8));
        if (order != 0) {
            return order < 0;
        }
    }
    return a_size < b_size;
}

// Two exact bytes objects with the same contents.
bool same_bytes(PyObject* a, PyObject* b) noexcept {
    const Py_ssize_t size = PyBytes_GET_SIZE(a);
    return size == PyBytes_GET_SIZE(b) && std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b),
                                                      static_cast<std::size_t>(size)) == 0;
}

// The keys and values of one exact dict, held until the dict is written.
class KeyEntries {
   public:
    KeyEntries() noexcept = default;
    KeyEntries(const KeyEntries&) = delete;
    KeyEntries& operator=(const KeyEntries&) = delete;
    ~KeyEntries() {
        for (Py_ssize_t i = 0; i < size_; ++i) {
            Py_DECREF(entries_[i].key);
            Py_DECREF(entries_[i].value);
        }
        if (entries_ != inline_) {
            PyMem_Free(entries_);
        }
    }

    int reserve(Py_ssize_t count) {
        if (count <= inline_capacity) {
            return 0;
        }
        if (static_cast<std::size_t>(count) > PY_SSIZE_T_MAX / sizeof(KeyEntry)) {
            PyErr_NoMemory();
            return -1;
        }
        entries_ = static_cast<KeyEntry*>(
            PyMem_Malloc(static_cast<std::size_t>(count) * sizeof(KeyEntry)));
        if (entries_ == nullptr) {
            entries_ = inline_;
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }
    void add(PyObject* key, PyObject* value) noexcept {
        const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(key));
        const Py_ssize_t size = PyBytes_GET_SIZE(key);
        entries_[size_++] =
            KeyEntry{big_endian_prefix(data, size), Py_NewRef(key), Py_NewRef(value)};
    }
    KeyEntry* begin() noexcept { return entries_; }
    KeyEntry* end() noexcept { return entries_ + size_; }

    // Puts the entries in ascending key order. Many keys are sorted by radix
    // on their prefixes, which costs no mispredicted comparisons; keys that
    // share a prefix are then ordered among themselves.
    void sort() {
        if (std::is_sorted(begin(), end(), key_less)) {
            return;
        }
        if (size_ < min_radix_size || radix_sort() < 0) {
            std::sort(begin(), end(), key_less);
        }
    }

   private:
    // Not inlined, and its counters are not on the stack, so that the frame
    // of every nesting level stays small: the walk recurses once per level.
    [[gnu::noinline]] int radix_sort() {
        const auto count = static_cast<std::size_t>(size_);
        auto* spare = static_cast<KeyEntry*>(PyMem_Malloc(count * sizeof(KeyEntry)));
        auto* histograms = static_cast<std::size_t (*)[256]>(
            PyMem_Calloc(std::size_t{8} * 256, sizeof(std::size_t)));
        if (spare == nullptr || histograms == nullptr) {
            PyMem_Free(spare);
            PyMem_Free(histograms);
            return -1;
        }
        KeyEntry* from = entries_;
        KeyEntry* to = spare;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t prefix = from[i].prefix;
            for (unsigned byte = 0; byte < 8; ++byte) {
                ++histograms[byte][(prefix >> (8 * byte)) & 0xFF];
            }
        }
        // Least significant byte first; each pass is stable.
        for (unsigned byte = 0; byte < 8; ++byte) {
            std::size_t* histogram = histograms[byte];
            if (histogram[(from[0].prefix >> (8 * byte)) & 0xFF] == count) {
                continue;  // every key has the same byte here
            }
            std::size_t offset = 0;
            for (unsigned bucket = 0; bucket < 256; ++bucket) {
                offset += std::exchange(histogram[bucket], offset);
            }
            for (std::size_t i = 0; i < count; ++i) {
                to[histogram[(from[i].prefix >> (8 * byte)) & 0xFF]++] = from[i];
            }
            std::swap(from, to);
        }
        for (std::size_t start = 0; start < count;) {
            std::size_t stop = start + 1;
            while (stop < count && from[stop].prefix == from[start].prefix) {
                ++stop;
            }
            if (stop - start > 1) {
                std::sort(from + start, from + stop, key_less);
            }
            start = stop;
        }
        PyMem_Free(histograms);
        // `from` holds the sorted entries; keep that array, free the other.
        KeyEntry* unused = from == entries_ ? spare : entries_;
        if (unused != inline_) {
            PyMem_Free(unused);
        }
        entries_ = from;
        return 0;
    }

    static constexpr Py_ssize_t min_radix_size = 256;
    static constexpr Py_ssize_t inline_capacity = 16;
    KeyEntry inline_[inline_capacity];
    KeyEntry* entries_ = inline_;
    Py_ssize_t size_ = 0;
};

// `value.keys()`, looked up on the value itself so that a subclass's own
// method is used. The method name is made once and kept.
PyObject* call_keys(PyObject* value) {
    static PyObject* keys_name = nullptr;
    if (keys_name == nullptr) {
        keys_name = PyUnicode_InternFromString("keys");
        if (keys_name == nullptr) {
            return nullptr;
        }
    }
    PyObject* arguments[] = {value};
    return PyObject_VectorcallMethod(keys_name, arguments, 1, nullptr);
}

// Where the typed encoder keeps the path of a fault; the plain one keeps
// nothing.
struct NoPathTrail {};

// What the typed encoder knows of one dataclass: its fields in the order of
// their keys (made in the typed module).
struct RecordLayout;

template <bool Typed>
class Encoder {
   public:
    Encoder() noexcept = default;

    // `_encode_any`
    int any(PyObject* value) {
        PyTypeObject* type = Py_TYPE(value);
        if (type == &PyBytes_Type) {
            return bytes(value);
        }
        if (PyLong_Check(value)) {
            return integer(value);
        }
        if (PyBytes_Check(value)) {
            if constexpr (Typed) {
                return bytes_subclass(value);
            } else {
                return not_exact_bytes(value);
            }
        }
        if (PyList_Check(value)) {
            return list(value);
        }
        if (PyDict_Check(value)) {
            return dict(value);
        }
        if constexpr (Typed) {
            return other(value);
        } else {
            return unsupported(type);
        }
    }

    PyObject* finish() { return out_.finish(); }

    // Names the path of the value at fault in the message of the error
    // being raised, when the error is the encoder's own.
    void attach_path() const {
        if constexpr (Typed) {
            trail_.attach_to_raised_error();
        }
    }

   private:
    // Every error that the encoder raises itself ends here, so that the
    // typed encoder can name where it happened.
    int fault() {
        if constexpr (Typed) {
            trail_.start();
        }
        return -1;
    }

    // The levels around a fault add their steps to its path while the walk
    // unwinds, and only then.
    void note_index([[maybe_unused]] Py_ssize_t index) {
        if constexpr (Typed) {
            if (trail_.active()) {
                trail_.add_index(index);
            }
        }
    }
    void note_key([[maybe_unused]] PyObject* key) {
        if constexpr (Typed) {
            if (trail_.active()) {
                trail_.add_key(key);
            }
        }
    }

    int not_exact_bytes(PyObject* value) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(value)->tp_name);
        return fault();
    }

    int unsupported(PyTypeObject* type) {
        PyRef name = PyRef::steal(PyType_GetName(type));
        if (!name) {
            return -1;
        }
        raise_error_format(ErrorClass::encode_error, "unsupported type: %U", name.get());
        return fault();
    }

    // `_encode_int`: by the integer value, whatever the class says of itself.
    int integer(PyObject* value) {
        long long small;
        auto* number = reinterpret_cast<PyLongObject*>(value);
        if (PyUnstable_Long_IsCompact(number)) {
            small = static_cast<long long>(PyUnstable_Long_CompactValue(number));
        } else {
            int overflow = 0;
            small = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (small == -1 && PyErr_Occurred()) {
                return -1;
            }
            if (overflow != 0) {
                return large_integer(value);
            }
        }
        const bool negative = small < 0;
        const std::uint64_t magnitude =
            negative ? 0 - static_cast<std::uint64_t>(small) : static_cast<std::uint64_t>(small);
        // Room for the longest: the digits' own width is found while writing.
        char* at = out_.reserve(max_int64_text + 2);
        if (at == nullptr) {
            return -1;
        }
        *at++ = 'i';
        if (negative) {
            *at++ = '-';
        }
        at = write_decimal(at, magnitude);
        *at++ = 'e';
        out_.commit(at);
        return 0;
    }

    int large_integer(PyObject* value) {
        // int's own repr, not the class's: bounded by the host's digit limit.
        PyRef text = PyRef::steal(PyLong_Type.tp_repr(value));
        if (!text) {
            return -1;
        }
        Py_ssize_t length = 0;
        const char* ascii = PyUnicode_AsUTF8AndSize(text.get(), &length);
        if (ascii == nullptr) {
            return -1;
        }
        char* at = out_.reserve(length + 2);
        if (at == nullptr) {
            return -1;
        }
        *at++ = 'i';
        std::memcpy(at, ascii, static_cast<std::size_t>(length));
        at += length;
        *at++ = 'e';
        out_.commit(at);
        return 0;
    }

    // `_encode_bytes` of an exact bytes object.
    int bytes(PyObject* value) { return string(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)); }

    // A byte string of `length` bytes at `data`.
    int string(const char* data, Py_ssize_t length) {
        if (length > PY_SSIZE_T_MAX - max_int64_text - 1) {
            PyErr_NoMemory();
            return -1;
        }
        char* at = out_.reserve(max_int64_text + 1 + length);
        if (at == nullptr) {
            return -1;
        }
        at = write_length(at, static_cast<std::uint64_t>(length));
        *at++ = ':';
        copy_bytes(at, data, static_cast<std::size_t>(length));
        out_.commit(at + length);
        return 0;
    }

    // A member of a container. Integers and exact bytes run no Python code,
    // so they need no reference of their own; anything else may reach the
    // caller's code, which could drop the container's reference to it.
    int member(PyObject* value) {
        PyTypeObject* type = Py_TYPE(value);
        if (type == &PyBytes_Type) {
            return bytes(value);
        }
        if (type == &PyLong_Type) {
            return integer(value);
        }
        if constexpr (Typed) {
            if (type == &PyUnicode_Type) {
                return text(value);  // runs no Python code either
            }
        }
        Py_INCREF(value);
        int result;
        if (type == &PyDict_Type) {
            result = dict(value);
        } else if (type == &PyList_Type) {
            result = list(value);
        } else {
            result = any(value);
        }
        Py_DECREF(value);
        return result;
    }

    // `_encode_list`; the typed encoder's tuples too.
    int list(PyObject* value) {
        RecursionGuard guard(" while encoding a list");
        if (!guard.entered() || out_.put('l') < 0) {
            return -1;
        }
        if (PyList_CheckExact(value)) {
            // The length is read again before every item: the caller's code,
            // reached through a nested value, may change the list.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
                if (member(PyList_GET_ITEM(value, i)) < 0) {
                    note_index(i);
                    return -1;
                }
            }
        } else if (Typed && PyTuple_CheckExact(value)) {
            // A tuple cannot change, and holds its items.
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i) {
                if (member(PyTuple_GET_ITEM(value, i)) < 0) {
                    note_index(i);
                    return -1;
                }
            }
        } else {
            ++foreign_calls_;
            PyRef iterator = PyRef::steal(PyObject_GetIter(value));
            if (!iterator) {
                return -1;
            }
            for (Py_ssize_t i = 0;; ++i) {
                PyObject* item = nullptr;
                const int status = PyIter_NextItem(iterator.get(), &item);
                if (status <= 0) {
                    if (status < 0) {
                        return -1;
                    }
                    break;
                }
                PyRef item_ref = PyRef::steal(item);
                if (any(item) < 0) {
                    note_index(i);
                    return -1;
                }
            }
        }
        return out_.put('e');
    }

    // `_encode_dict`
    int dict(PyObject* value) {
        RecursionGuard guard(" while encoding a dict");
        if (!guard.entered() || out_.put('d') < 0) {
            return -1;
        }
        int written = 0;
        if (PyDict_CheckExact(value)) {
            written = exact_dict(value);
            if (written < 0) {
                return -1;
            }
        }
        if (written == 0) {
            if constexpr (Typed) {
                if (text_keyed_dict(value) < 0) {
                    return -1;
                }
            } else if (general_dict(value) < 0) {
                return -1;
            }
        }
        return out_.put('e');
    }

    // An exact dict whose keys are all exact bytes: its items are collected,
    // sorted by memcmp and written. Returns 1 when written, 0 when some key is
    // of another type (nothing written then), -1 on error.
    int exact_dict(PyObject* value) {
        KeyEntries entries;
        if (entries.reserve(PyDict_GET_SIZE(value)) < 0) {
            return -1;
        }
        Py_ssize_t next = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        while (PyDict_Next(value, &next, &key, &item)) {
            if (!PyBytes_CheckExact(key)) {
                return 0;
            }
            entries.add(key, item);
        }
        entries.sort();
        const std::uint64_t foreign_calls_before = foreign_calls_;
        // Sorted order visits the keys and values of a large dict far from
        // their allocation order, so fetch those of an entry a few ahead.
        constexpr std::ptrdiff_t prefetch_distance = 8;
        KeyEntry* const last = entries.end();
        for (KeyEntry& entry : entries) {
            if (last - &entry > prefetch_distance) {
                prefetch(PyBytes_AS_STRING((&entry + prefetch_distance)->key));
                prefetch((&entry + prefetch_distance)->value);
            }
            if (bytes(entry.key) < 0) {
                return -1;
            }
            if (foreign_calls_ == foreign_calls_before) {
                // Nothing but this encoder has run: the collected value is
                // what a lookup would return.
                if (member(entry.value) < 0) {
                    note_key(entry.key);
                    return -1;
                }
                continue;
            }
            PyObject* current = nullptr;
            const int found = PyDict_GetItemRef(value, entry.key, &current);
            if (found <= 0) {
                if (found == 0) {
                    PyErr_SetObject(PyExc_KeyError, entry.key);
                }
                return -1;
            }
            PyRef current_ref = PyRef::steal(current);
            if (any(current) < 0) {
                note_key(entry.key);
                return -1;
            }
        }
        return 1;
    }

    // Any dict: its own keys(), sorted by the interpreter, each key tested
    // just before it is written and its value fetched by subscription.
    int general_dict(PyObject* value) {
        ++foreign_calls_;
        PyRef keys_view = PyRef::steal(call_keys(value));
        if (!keys_view) {
            return -1;
        }
        PyRef keys = PyRef::steal(PySequence_List(keys_view.get()));
        if (!keys || PyList_Sort(keys.get()) < 0) {
            return -1;
        }
        // The sorted list is this call's own: nobody else can change it.
        const Py_ssize_t count = PyList_GET_SIZE(keys.get());
        PyObject* previous = nullptr;
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* key = PyList_GET_ITEM(keys.get(), i);
            if (!PyBytes_Check(key)) {
                PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(key)));
                if (name) {
                    raise_error_format(ErrorClass::encode_error, "dict key must be bytes, got %U",
                                       name.get());
                }
                return -1;
            }
            if (!PyBytes_CheckExact(key)) {
                return not_exact_bytes(key);
            }
            // A keys() of the caller's own may name a key twice; writing it
            // twice would give output that no strict decoder accepts.
            if (previous != nullptr && same_bytes(previous, key)) {
                raise_error_format(ErrorClass::encode_error, "duplicate dict key: %R", key);
                return -1;
            }
            previous = key;
            if (bytes(key) < 0) {
                return -1;
            }
            PyRef item = PyRef::steal(PyObject_GetItem(value, key));
            if (!item || any(item.get()) < 0) {
                return -1;
            }
        }
        return 0;
    }

    // The typed encoder's kinds, in the typed module (typed_encoder.cpp).
    int other(PyObject* value);
    int bytes_subclass(PyObject* value);
    int text(PyObject* value);
    int enum_member(PyObject* value);
    int raw(PyObject* value);
    int record(PyObject* value, RecordLayout& layout);
    int text_keyed_dict(PyObject* value);
    int collect_keys(PyObject* value, KeyEntries& entries);
    int raw_key(PyObject* key, PyObject*& raw);
    int keyed_value(PyObject* dict, const KeyEntry& entry);

    Output out_;
    // Counts the calls into the caller's code (subclass methods, iterators)
    // so that the exact-dict path knows when collected values may be stale.
    std::uint64_t foreign_calls_ = 0;
    [[no_unique_address]] std::conditional_t<Typed, PathTrail, NoPathTrail> trail_;
};

}  // namespace

}  // namespace velka

// The value decoder: one forward pass over the input view, recursing once
// per level of list or dictionary nesting.
//
// Speed comes from doing as little as possible per value: positions stay
// machine integers, bytes are compared with constants straight from the
// caller's memory, canonical integers and lengths of up to 19 digits are
// converted in place (eight digits at a time), lists are allocated once at
// their final size and short strings that repeat (keys, path components) are
// shared. Anything that is not plainly canonical
// leaves the fast path for the general one, which copies the text and lets
// int() judge it, so that both paths accept and refuse exactly the same input
// with the same messages.
#include "decoder.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "errors.hpp"
#include "pyref.hpp"
#include "recursion_guard.hpp"

namespace velka {

namespace {

// Token bytes of the format.
constexpr unsigned char token_integer = 'i';
constexpr unsigned char token_list = 'l';
constexpr unsigned char token_dict = 'd';
constexpr unsigned char token_end = 'e';
constexpr unsigned char token_colon = ':';
constexpr unsigned char digit_zero = '0';
constexpr unsigned char digit_nine = '9';

// A list with more items than this stops waiting on the item stack.
constexpr Py_ssize_t max_waiting_items = 1024;

// Values this short are shared when they repeat: names in paths, flags.
constexpr Py_ssize_t max_shared_value_length = 16;

// A run of at most this many decimal digits always fits in 64 unsigned bits.
constexpr Py_ssize_t max_fast_digits = 19;

constexpr bool is_digit(unsigned char byte) noexcept {
    return byte >= digit_zero && byte <= digit_nine;
}

// The leading decimal digits of eight bytes (the first byte lowest): how many
// there are, and their value. Branch-free, so numbers of varying width cost
// no mispredictions.
inline unsigned leading_digits(std::uint64_t chunk, std::uint64_t& value) noexcept {
    constexpr std::uint64_t high_bits = 0x8080808080808080ULL;
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    // A byte's high bit in `at_least_zero` is set iff its low seven bits are
    // >= '0', in `above_nine` iff they are > '9'; bytes >= 0x80 are no digits.
    const std::uint64_t at_least_zero = (chunk | high_bits) - ones * digit_zero;
    const std::uint64_t above_nine = (chunk | high_bits) - ones * (digit_nine + 1);
    const std::uint64_t digits = at_least_zero & ~above_nine & ~chunk & high_bits;
    const std::uint64_t others = ~digits & high_bits;
    const unsigned count = others == 0 ? 8 : static_cast<unsigned>(__builtin_ctzll(others)) / 8;
    if (count == 0) {
        value = 0;
        return 0;
    }
    // Keep the digits, moved to the top so that missing ones read as leading
    // zeros, then combine neighbours: pairs, fours, eights.
    std::uint64_t v = (chunk & 0x0F0F0F0F0F0F0F0FULL) << (8 * (8 - count));
    v = v * 10 + (v >> 8);
    v = (((v & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
         (((v >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
        32;
    value = v;
    return count;
}

constexpr std::uint64_t powers_of_ten[] = {
    1ULL, 10ULL, 100ULL, 1000ULL, 10000ULL, 100000ULL, 1000000ULL, 10000000ULL, 100000000ULL,
};

// Input whose items are consecutive bytes.
struct ContiguousBytes {
    const unsigned char* data;

    unsigned char operator[](Py_ssize_t pos) const noexcept { return data[pos]; }

    // First position in [from, end) holding `target`, or -1.
    Py_ssize_t find(unsigned char target, Py_ssize_t from, Py_ssize_t end) const noexcept {
        const void* hit = std::memchr(data + from, target, static_cast<std::size_t>(end - from));
        return hit == nullptr ? -1 : static_cast<const unsigned char*>(hit) - data;
    }

    PyObject* copy(Py_ssize_t start, Py_ssize_t count) const noexcept {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data + start), count);
    }

    // The run of decimal digits at `pos` (before `end`): its length, and its
    // value when the length is at most max_fast_digits.
    Py_ssize_t digits(Py_ssize_t pos, Py_ssize_t end, std::uint64_t& value) const noexcept {
        Py_ssize_t count = 0;
        std::uint64_t total = 0;
        while (count < 16 && end - (pos + count) >= 8) {
            std::uint64_t chunk;
            std::memcpy(&chunk, data + pos + count, 8);
            std::uint64_t part;
            const unsigned found = leading_digits(chunk, part);
            total = total * powers_of_ten[found] + part;
            count += found;
            if (found < 8) {
                value = total;
                return count;
            }
        }
        while (pos + count < end && is_digit(data[pos + count]) && count <= max_fast_digits) {
            total = total * 10 + (data[pos + count] - digit_zero);
            ++count;
        }
        value = total;
        return count;
    }

    void copy_to(unsigned char* out, Py_ssize_t start, Py_ssize_t count) const noexcept {
        std::memcpy(out, data + start, static_cast<std::size_t>(count));
    }
};

// Input whose items lie `stride` bytes apart (the stride may be negative).
struct StridedBytes {
    const unsigned char* data;
    Py_ssize_t stride;

    unsigned char operator[](Py_ssize_t pos) const noexcept { return data[pos * stride]; }

    Py_ssize_t find(unsigned char target, Py_ssize_t from, Py_ssize_t end) const noexcept {
        for (Py_ssize_t pos = from; pos < end; ++pos) {
            if ((*this)[pos] == target) {
                return pos;
            }
        }
        return -1;
    }

    void copy_to(unsigned char* out, Py_ssize_t start, Py_ssize_t count) const noexcept {
        for (Py_ssize_t i = 0; i < count; ++i) {
            out[i] = (*this)[start + i];
        }
    }

    Py_ssize_t digits(Py_ssize_t pos, Py_ssize_t end, std::uint64_t& value) const noexcept {
        Py_ssize_t count = 0;
        std::uint64_t total = 0;
        while (pos + count < end && is_digit((*this)[pos + count]) && count <= max_fast_digits) {
            total = total * 10 + ((*this)[pos + count] - digit_zero);
            ++count;
        }
        value = total;
        return count;
    }

    PyObject* copy(Py_ssize_t start, Py_ssize_t count) const noexcept {
        PyObject* result = PyBytes_FromStringAndSize(nullptr, count);
        if (result != nullptr) {
            copy_to(reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(result)), start, count);
        }
        return result;
    }
};

// Bytes comparison as Python does it: unsigned, and a proper prefix first.
int compare_bytes(PyObject* a, PyObject* b) noexcept {
    const Py_ssize_t a_len = PyBytes_GET_SIZE(a);
    const Py_ssize_t b_len = PyBytes_GET_SIZE(b);
    // Neighbouring keys mostly differ in their first byte.
    if (a_len > 0 && b_len > 0) {
        const auto a_first = static_cast<unsigned char>(PyBytes_AS_STRING(a)[0]);
        const auto b_first = static_cast<unsigned char>(PyBytes_AS_STRING(b)[0]);
        if (a_first != b_first) {
            return a_first < b_first ? -1 : 1;
        }
    }
    const int order = std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b),
                                  static_cast<std::size_t>(std::min(a_len, b_len)));
    if (order != 0) {
        return order;
    }
    return static_cast<int>(a_len > b_len) - static_cast<int>(a_len < b_len);
}

// repr() of the one-character str whose code point is `byte`.
PyRef byte_repr(unsigned char byte) {
    PyRef character = PyRef::steal(PyUnicode_FromOrdinal(byte));
    if (!character) {
        return {};
    }
    return PyRef::steal(PyObject_Repr(character.get()));
}

PyObject* raise_unexpected_byte(const char* format, unsigned char byte, Py_ssize_t pos) {
    PyRef rendered = byte_repr(byte);
    if (!rendered) {
        return nullptr;
    }
    return raise_error_format(ErrorClass::decode_error, format, rendered.get(), pos);
}

// Converts numeric text with the host's int(); a ValueError becomes a
// DecodeError "<what>: <repr(text)>" raised from it.
PyObject* convert_text(PyObject* text, const char* what) {
    PyObject* value = PyNumber_Long(text);
    if (value != nullptr || !PyErr_ExceptionMatches(PyExc_ValueError)) {
        return value;
    }
    PyRef cause = PyRef::steal(PyErr_GetRaisedException());
    PyRef message = PyRef::steal(PyUnicode_FromFormat("%s: %R", what, text));
    if (!message) {
        return nullptr;
    }
    return raise_error_from(ErrorClass::decode_error, message.get(), cause.get());
}

}  // namespace

// The recursive walk over one kind of input. Every function that returns an
// object returns a new reference or nullptr with an exception set; `pos`
// comes in at the first byte of the value and leaves just past it.
template <typename Bytes>
class Walker {
   public:
    Walker(ValueDecoder& decoder, Bytes input) noexcept
        : decoder_(decoder), in_(input), length_(decoder.view_.length) {}

    // `_decode_any`
    PyObject* any(Py_ssize_t& pos) {
        if (pos >= length_) {
            return raise_error_format(ErrorClass::decode_error,
                                      "unexpected end of data at position %zd", pos);
        }
        const unsigned char byte = in_[pos];
        if (byte == token_integer) {
            return integer(pos);
        }
        if (byte == token_list) {
            return list(pos);
        }
        if (byte == token_dict) {
            return dict(pos);
        }
        if (is_digit(byte)) {
            return string(pos);
        }
        return raise_unexpected_byte("unexpected byte %U at position %zd", byte, pos);
    }

   private:
    // `_find_byte`: the first position at or after `pos` holding `target`,
    // or -1 with DecodeError set.
    Py_ssize_t find_byte(unsigned char target, Py_ssize_t pos) {
        const Py_ssize_t found = pos < length_ ? in_.find(target, pos, length_) : -1;
        if (found < 0) {
            // Both delimiters are printable ASCII, so their repr() is the
            // character between single quotes.
            raise_error_format(ErrorClass::decode_error,
                               "expected '%c' not found after position %zd", target, pos);
        }
        return found;
    }

    // `_decode_int`
    PyObject* integer(Py_ssize_t& pos) {
        Py_ssize_t p = pos + 1;
        const bool negative = p < length_ && in_[p] == '-';
        if (negative) {
            ++p;
        }
        if (p < length_ && in_[p] > digit_zero && in_[p] <= digit_nine) {
            std::uint64_t magnitude = 0;
            const Py_ssize_t count = in_.digits(p, length_, magnitude);
            const Py_ssize_t end = p + count;
            if (count <= max_fast_digits && end < length_ && in_[end] == token_end) {
                constexpr auto most_negative = std::uint64_t{1} << 63;
                if (!negative) {
                    pos = end + 1;
                    if (magnitude < most_negative) {
                        return PyLong_FromLongLong(static_cast<long long>(magnitude));
                    }
                    return PyLong_FromUnsignedLongLong(magnitude);
                }
                if (magnitude <= most_negative) {
                    pos = end + 1;
                    return PyLong_FromLongLong(static_cast<long long>(0 - magnitude));
                }
            }
        } else if (!negative && p + 1 < length_ && in_[p] == digit_zero &&
                   in_[p + 1] == token_end) {
            pos = p + 2;
            return PyLong_FromLong(0);
        }
        return integer_general(pos);
    }

    PyObject* integer_general(Py_ssize_t& pos) {
        const Py_ssize_t end = find_byte(token_end, pos + 1);
        if (end < 0) {
            return nullptr;
        }
        PyRef text = PyRef::steal(in_.copy(pos + 1, end - pos - 1));
        if (!text) {
            return nullptr;
        }
        const Py_ssize_t size = PyBytes_GET_SIZE(text.get());
        const char* chars = PyBytes_AS_STRING(text.get());
        if (size == 0) {
            return raise_error_format(ErrorClass::decode_error, "empty integer");
        }
        if (size == 2 && chars[0] == '-' && chars[1] == '0') {
            return raise_error_format(ErrorClass::decode_error, "negative zero is not allowed");
        }
        if (size >= 2 && chars[0] == '0') {
            return raise_error_format(ErrorClass::decode_error, "leading zero in integer: %R",
                                      text.get());
        }
        if (size >= 2 && chars[0] == '-' && chars[1] == '0') {
            return raise_error_format(ErrorClass::decode_error,
                                      "leading zero in negative integer: %R", text.get());
        }
        PyObject* value = convert_text(text.get(), "invalid integer");
        if (value != nullptr) {
            pos = end + 1;
        }
        return value;
    }

    // The length prefix of a byte string at `pos` (a digit). Returns the
    // length with `pos` moved to the first data byte, after checking that the
    // data fits in the input; or -1 with an exception set.
    Py_ssize_t string_length(Py_ssize_t& pos) {
        // Most lengths have one or two digits: read those straight off.
        Py_ssize_t p = pos;
        Py_ssize_t length = -1;
        const unsigned first = in_[pos] - digit_zero;
        if (pos + 2 < length_) {
            const unsigned char second = in_[pos + 1];
            if (second == token_colon) {
                length = first;
                p = pos + 1;
            } else if (first != 0 && is_digit(second) && in_[pos + 2] == token_colon) {
                length = first * 10 + (second - digit_zero);
                p = pos + 2;
            }
        }
        if (length < 0 && first != 0) {
            std::uint64_t value = 0;
            const Py_ssize_t count = in_.digits(pos, length_, value);
            p = pos + count;
            if (count <= max_fast_digits && value <= static_cast<std::uint64_t>(PY_SSIZE_T_MAX) &&
                p < length_ && in_[p] == token_colon) {
                length = static_cast<Py_ssize_t>(value);
            }
        } else if (length < 0 && pos + 1 < length_ && in_[pos + 1] == token_colon) {
            length = 0;
            p = pos + 1;
        }
        if (length < 0) {
            p = find_byte(token_colon, pos);
            if (p < 0) {
                return -1;
            }
            length = string_length_general(pos, p);
            if (length < 0) {
                return -1;
            }
        }
        // p is the colon; nothing here can overflow, since start <= length_.
        const Py_ssize_t start = p + 1;
        if (length > length_ - start) {
            raise_error_format(ErrorClass::decode_error,
                               "string of length %zd extends past end of data (position %zd, "
                               "buffer length %zd)",
                               length, start, length_);
            return -1;
        }
        pos = start;
        return length;
    }

    Py_ssize_t string_length_general(Py_ssize_t pos, Py_ssize_t colon) {
        PyRef text = PyRef::steal(in_.copy(pos, colon - pos));
        if (!text) {
            return -1;
        }
        if (PyBytes_GET_SIZE(text.get()) >= 2 && PyBytes_AS_STRING(text.get())[0] == '0') {
            raise_error_format(ErrorClass::decode_error, "leading zero in string length: %R",
                               text.get());
            return -1;
        }
        PyRef number = PyRef::steal(convert_text(text.get(), "invalid string length"));
        if (!number) {
            return -1;
        }
        // 2**63 and more: the OverflowError passes through as it is.
        return PyLong_AsSsize_t(number.get());
    }

    // `_decode_bytes` for a value.
    PyObject* string(Py_ssize_t& pos) {
        return string(pos, decoder_.values_, max_shared_value_length);
    }

    // `_decode_bytes` for a dictionary key.
    PyObject* key(Py_ssize_t& pos) { return string(pos, decoder_.keys_, BytesCache::max_length); }

    // A byte string; those of 2 to `max_shared` bytes come from `cache`.
    PyObject* string(Py_ssize_t& pos, BytesCache& cache, Py_ssize_t max_shared) {
        const Py_ssize_t length = string_length(pos);
        if (length < 0) {
            return nullptr;
        }
        PyObject* result;
        if (length < 2 || length > max_shared) {
            result = in_.copy(pos, length);
        } else if constexpr (std::is_same_v<Bytes, ContiguousBytes>) {
            result = cache.get(in_.data + pos, length);
        } else {
            unsigned char gathered[BytesCache::max_length];
            in_.copy_to(gathered, pos, length);
            result = cache.get(gathered, length);
        }
        pos += length;
        return result;
    }

    // `_decode_list`. Items wait on the shared stack so that the list is
    // made once at its final size; a long list moves to a list object of its
    // own and grows by appending, so that waiting items never hold much
    // memory beside the result.
    PyObject* list(Py_ssize_t& pos) {
        RecursionGuard guard(" while decoding a bencoded list");
        if (!guard.entered()) {
            return nullptr;
        }
        ItemStack& items = decoder_.items_;
        const Py_ssize_t base = items.size();
        PyRef long_list;
        ++pos;
        for (;;) {
            if (pos >= length_) {
                items.release_from(base);
                return raise_error_format(ErrorClass::decode_error, "unterminated list");
            }
            if (in_[pos] == token_end) {
                break;
            }
            PyObject* item = any(pos);
            if (item == nullptr) {
                items.release_from(base);
                return nullptr;
            }
            if (long_list) {
                const int appended = PyList_Append(long_list.get(), item);
                Py_DECREF(item);
                if (appended < 0) {
                    return nullptr;
                }
            } else if (items.push(item) < 0) {
                items.release_from(base);
                return nullptr;
            } else if (items.size() - base == max_waiting_items) {
                long_list = PyRef::steal(take_items(items, base));
                if (!long_list) {
                    return nullptr;
                }
            }
        }
        ++pos;
        if (long_list) {
            return long_list.release();
        }
        return take_items(items, base);
    }

    // A new list of the items above `base`, which leave the stack; or
    // nullptr with an exception set, the items then released.
    static PyObject* take_items(ItemStack& items, Py_ssize_t base) {
        const Py_ssize_t count = items.size() - base;
        PyObject* result = PyList_New(count);
        if (result == nullptr) {
            items.release_from(base);
            return nullptr;
        }
        PyObject* const* moved = items.from(base);
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyList_SET_ITEM(result, i, moved[i]);
        }
        items.drop_moved(base);
        return result;
    }

    // `_decode_dict`
    PyObject* dict(Py_ssize_t& pos) {
        RecursionGuard guard(" while decoding a bencoded dict");
        if (!guard.entered()) {
            return nullptr;
        }
        PyRef result = PyRef::steal(PyDict_New());
        if (!result) {
            return nullptr;
        }
        // Borrowed: the dictionary holds it once stored.
        PyObject* previous_key = nullptr;
        ++pos;
        for (;;) {
            if (pos >= length_) {
                return raise_error_format(ErrorClass::decode_error, "unterminated dict");
            }
            const unsigned char byte = in_[pos];
            if (byte == token_end) {
                ++pos;
                return result.release();
            }
            if (!is_digit(byte)) {
                return raise_unexpected_byte(
                    "dict key must be a byte string, got %U at position %zd", byte, pos);
            }
            PyRef key = PyRef::steal(this->key(pos));
            if (!key) {
                return nullptr;
            }
            if (previous_key != nullptr && compare_bytes(previous_key, key.get()) >= 0) {
                return raise_error_format(ErrorClass::decode_error,
                                          "dict keys out of order: %R >= %R", previous_key,
                                          key.get());
            }
            PyRef value = PyRef::steal(any(pos));
            if (!value || PyDict_SetItem(result.get(), key.get(), value.get()) < 0) {
                return nullptr;
            }
            previous_key = key.get();
        }
    }

    ValueDecoder& decoder_;
    const Bytes in_;
    const Py_ssize_t length_;
};

PyObject* ValueDecoder::decode_any(Py_ssize_t& pos) {
    if (view_.contiguous()) {
        return Walker<ContiguousBytes>(*this, ContiguousBytes{view_.data}).any(pos);
    }
    return Walker<StridedBytes>(*this, StridedBytes{view_.data, view_.stride}).any(pos);
}

ItemStack::~ItemStack() {
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

namespace {

// Equality of two runs of 2 to BytesCache::max_length bytes, without a call.
inline bool equal_short(const unsigned char* a, const unsigned char* b, std::size_t size) noexcept {
    auto load8 = [](const unsigned char* p) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    };
    auto load4 = [](const unsigned char* p) {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    };
    if (size >= 8) {
        for (std::size_t i = 0; i + 8 < size; i += 8) {
            if (load8(a + i) != load8(b + i)) {
                return false;
            }
        }
        return load8(a + size - 8) == load8(b + size - 8);
    }
    if (size >= 4) {
        return load4(a) == load4(b) && load4(a + size - 4) == load4(b + size - 4);
    }
    return a[0] == b[0] && a[size / 2] == b[size / 2] && a[size - 1] == b[size - 1];
}

}  // namespace

BytesCache::~BytesCache() {
    for (std::uint64_t used = used_; used != 0; used &= used - 1) {
        Py_DECREF(slots_[__builtin_ctzll(used)]);
    }
}

PyObject* BytesCache::get(const unsigned char* data, Py_ssize_t length) {
    const auto size = static_cast<std::size_t>(length);
    const unsigned slot =
        (static_cast<unsigned>(length) * 7u + data[0] * 3u + data[size / 2] * 5u + data[size - 1]) %
        slot_count;
    const std::uint64_t bit = std::uint64_t{1} << slot;
    if (used_ & bit) {
        PyObject* cached = slots_[slot];
        if (PyBytes_GET_SIZE(cached) == length &&
            equal_short(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(cached)), data,
                        size)) {
            return Py_NewRef(cached);
        }
    }
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

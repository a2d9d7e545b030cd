// The reading rules' building blocks, shared by every walk over bencode
// input (the building and checking walks of walker.hpp, and the typed walk):
// access to the input's bytes, the judging of number text, and the faults
// that reading can find.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "compat.hpp"
#include "format.hpp"
#include "pyref.hpp"
#include "swar.hpp"
#include "words.hpp"

namespace velka::reading {
// A list with more items than this moves them from the item stack to itself
// in batches of this many: a bound on the stack's memory, which is memory
// beyond the result while a long list is read.
constexpr Py_ssize_t max_waiting_items = 256;

// Values this short are shared when they repeat: names in paths, flags.
constexpr Py_ssize_t max_shared_value_length = 16;

// A run of at most this many decimal digits always fits in 64 unsigned bits.
constexpr Py_ssize_t max_fast_digits = 19;

constexpr bool is_digit(unsigned char byte) noexcept {
    return byte >= token::digit_zero && byte <= token::digit_nine;
}

constexpr std::uint64_t powers_of_ten[] = {
    1ULL, 10ULL, 100ULL, 1000ULL, 10000ULL, 100000ULL, 1000000ULL, 10000000ULL, 100000000ULL,
};

// The order of two runs whose common part compared as `common_order`: a
// proper prefix comes first.
constexpr int compare_runs(int common_order, Py_ssize_t a_count, Py_ssize_t b_count) noexcept {
    if (common_order != 0) {
        return common_order;
    }
    return static_cast<int>(a_count > b_count) - static_cast<int>(a_count < b_count);
}

// The largest magnitude of a negative integer that fits in 64 signed bits.
constexpr std::uint64_t most_negative = std::uint64_t{1} << 63;

// Integer text read in one pass by canonical_integer(): whether it has a
// sign, and its magnitude (set only when the reader asked for the value).
struct IntegerValue {
    bool negative = false;
    std::uint64_t magnitude = 0;
};

// The integer text that starts at `pos` (just past the 'i'), read a byte at
// a time: the position just past its 'e' when the text is a canonical
// integer of at most max_fast_digits digits that fits in 64 bits (signed
// when negative), with its sign and, when `Value`, its magnitude in
// `value`; -1 for anything else, which only the general reading judges.
template <bool Value, typename Bytes>
Py_ssize_t canonical_integer_bytewise(const Bytes& in, Py_ssize_t pos, Py_ssize_t end,
                                      IntegerValue& value) noexcept {
    value.negative = pos < end && in[pos] == '-';
    const Py_ssize_t start = pos + (value.negative ? 1 : 0);
    if (start >= end) {
        return -1;
    }
    if (in[start] == token::digit_zero) {
        if (!value.negative && start + 1 < end && in[start + 1] == token::end) {
            value.magnitude = 0;
            return start + 2;
        }
        return -1;
    }
    Py_ssize_t p = start;
    while (p < end && is_digit(in[p])) {
        if (p - start == max_fast_digits) {
            return -1;
        }
        ++p;
    }
    if (p == start || p >= end || in[p] != token::end) {
        return -1;
    }
    // A checking walk needs the value only to tell whether a negative
    // number of the most digits fits.
    if (Value || (value.negative && p - start == max_fast_digits)) {
        std::uint64_t total = 0;
        for (Py_ssize_t i = start; i < p; ++i) {
            total = total * 10 + (in[i] - token::digit_zero);
        }
        if (value.negative && total > most_negative) {
            return -1;
        }
        value.magnitude = total;
    }
    return p + 1;
}

// The longest runs that equal_short() compares.
constexpr Py_ssize_t max_short_run = 32;

// Equality of two runs of 2 to max_short_run bytes, a word at a time,
// without a call.
[[gnu::always_inline]] inline bool equal_short(const unsigned char* a, const unsigned char* b,
                                               std::size_t size) noexcept {
    // Word equality is byte equality in either byte order.
    const auto load8 = [](const unsigned char* p) { return load_host<std::uint64_t>(p); };
    const auto load4 = [](const unsigned char* p) { return load_host<std::uint32_t>(p); };
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

// memcmp() of `count` bytes: the first eight (or fewer, zero-padded alike)
// as one word, which orders most neighbouring keys, short ones entirely,
// without a call.
inline int compare_common(const unsigned char* a, const unsigned char* b,
                          Py_ssize_t count) noexcept {
    const std::uint64_t a_word = big_endian_prefix(a, count);
    const std::uint64_t b_word = big_endian_prefix(b, count);
    if (a_word != b_word) {
        return a_word < b_word ? -1 : 1;
    }
    if (count <= 8) {
        return 0;
    }
    return std::memcmp(a + 8, b + 8, static_cast<std::size_t>(count - 8));
}

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
            const auto chunk = load_le<std::uint64_t>(data + pos + count);
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
            total = total * 10 + (data[pos + count] - token::digit_zero);
            ++count;
        }
        value = total;
        return count;
    }

    // canonical_integer_bytewise() in one pass over words of eight bytes:
    // the digits are counted and converted together, and the byte after
    // them must be the 'e'. Text too close to `end` for whole words is read
    // a byte at a time.
    template <bool Value>
    [[gnu::always_inline]] Py_ssize_t canonical_integer(Py_ssize_t pos, Py_ssize_t end,
                                                        IntegerValue& value) const noexcept {
        value.negative = pos < end && data[pos] == '-';
        const Py_ssize_t start = pos + (value.negative ? 1 : 0);
        if (end - start < 8) {
            return canonical_integer_bytewise<Value>(*this, pos, end, value);
        }
        const auto first = load_le<std::uint64_t>(data + start);
        const unsigned first_count = leading_digit_count(first);
        const bool leading_zero = byte_of(first, 0) == token::digit_zero;
        if (first_count < 8) {
            // 1 to 7 digits and the 'e'; a zero only alone and unsigned.
            if (first_count == 0 || byte_of(first, first_count) != token::end ||
                (leading_zero && (first_count != 1 || value.negative))) {
                return -1;
            }
            if constexpr (Value) {
                value.magnitude = digits_value(first, first_count);
            }
            return start + first_count + 1;
        }
        if (leading_zero) {
            return -1;
        }
        if (end - start < 16) {
            return canonical_integer_bytewise<Value>(*this, pos, end, value);
        }
        const auto second = load_le<std::uint64_t>(data + start + 8);
        const unsigned second_count = leading_digit_count(second);
        if (second_count < 8) {
            if (byte_of(second, second_count) != token::end) {
                return -1;
            }
            if constexpr (Value) {
                value.magnitude = digits_value(first, 8) * powers_of_ten[second_count] +
                                  digits_value(second, second_count);
            }
            return start + 8 + second_count + 1;
        }
        if (end - start < 24) {
            return canonical_integer_bytewise<Value>(*this, pos, end, value);
        }
        // 17 to 19 digits: at most three more, so that the value fits in 64
        // unsigned bits.
        const auto third = load_le<std::uint64_t>(data + start + 16);
        const unsigned third_count = leading_digit_count(third);
        if (third_count > max_fast_digits - 16 || byte_of(third, third_count) != token::end) {
            return -1;
        }
        if (Value || (value.negative && third_count == max_fast_digits - 16)) {
            const std::uint64_t total =
                (digits_value(first, 8) * powers_of_ten[8] + digits_value(second, 8)) *
                    powers_of_ten[third_count] +
                digits_value(third, third_count);
            if (value.negative && total > most_negative) {
                return -1;
            }
            value.magnitude = total;
        }
        return start + 16 + third_count + 1;
    }

    void copy_to(unsigned char* out, Py_ssize_t start, Py_ssize_t count) const noexcept {
        std::memcpy(out, data + start, static_cast<std::size_t>(count));
    }

    // memcmp() of the `count` items at `start` with `other`; short runs (most
    // keys) without a call.
    int compare(Py_ssize_t start, const unsigned char* other, Py_ssize_t count) const noexcept {
        if (count >= 8) {
            return compare_common(data + start, other, count);
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (data[start + i] != other[i]) {
                return data[start + i] < other[i] ? -1 : 1;
            }
        }
        return 0;
    }

    // Whether the `count` items at `start` equal `other`; short runs (most
    // keys) a word at a time.
    bool equals(Py_ssize_t start, const unsigned char* other, Py_ssize_t count) const noexcept {
        if (count >= 2 && count <= max_short_run) {
            return equal_short(data + start, other, static_cast<std::size_t>(count));
        }
        return compare(start, other, count) == 0;
    }

    // The order of two runs of items, as Python orders bytes.
    int compare_spans(Py_ssize_t a, Py_ssize_t a_count, Py_ssize_t b,
                      Py_ssize_t b_count) const noexcept {
        // Neighbouring keys mostly differ in their first byte.
        if (a_count > 0 && b_count > 0 && data[a] != data[b]) {
            return data[a] < data[b] ? -1 : 1;
        }
        return compare_runs(compare(a, data + b, std::min(a_count, b_count)), a_count, b_count);
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
            total = total * 10 + ((*this)[pos + count] - token::digit_zero);
            ++count;
        }
        value = total;
        return count;
    }

    template <bool Value>
    Py_ssize_t canonical_integer(Py_ssize_t pos, Py_ssize_t end,
                                 IntegerValue& value) const noexcept {
        return canonical_integer_bytewise<Value>(*this, pos, end, value);
    }

    int compare(Py_ssize_t start, const unsigned char* other, Py_ssize_t count) const noexcept {
        for (Py_ssize_t i = 0; i < count; ++i) {
            const unsigned char item = (*this)[start + i];
            if (item != other[i]) {
                return item < other[i] ? -1 : 1;
            }
        }
        return 0;
    }

    bool equals(Py_ssize_t start, const unsigned char* other, Py_ssize_t count) const noexcept {
        return compare(start, other, count) == 0;
    }

    int compare_spans(Py_ssize_t a, Py_ssize_t a_count, Py_ssize_t b,
                      Py_ssize_t b_count) const noexcept {
        const Py_ssize_t common = std::min(a_count, b_count);
        for (Py_ssize_t i = 0; i < common; ++i) {
            const unsigned char a_item = (*this)[a + i];
            const unsigned char b_item = (*this)[b + i];
            if (a_item != b_item) {
                return a_item < b_item ? -1 : 1;
            }
        }
        return compare_runs(0, a_count, b_count);
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
inline int compare_bytes(PyObject* a, PyObject* b) noexcept {
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
    return compare_runs(compare_common(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(a)),
                                       reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(b)),
                                       std::min(a_len, b_len)),
                        a_len, b_len);
}

// repr() of the one-character str whose code point is `byte`.
PyRef byte_repr(unsigned char byte);

void raise_unexpected_byte(const char* format, unsigned char byte, Py_ssize_t pos);

// Converts numeric text with the host's int(); a ValueError becomes a
// DecodeError "<what>: <repr(text)>" raised from it.
PyObject* convert_text(PyObject* text, const char* what);

// The module's own rules for integer text, applied before int() judges it.
enum class IntegerTextFault { none, empty, negative_zero, leading_zero, negative_leading_zero };

IntegerTextFault integer_text_fault(const char* chars, Py_ssize_t size) noexcept;

// Raises the DecodeError for a fault of `text` (a bytes object).
void raise_integer_text_fault(IntegerTextFault fault, PyObject* text);

bool length_text_has_leading_zero(const char* chars, Py_ssize_t size) noexcept;

// The two kinds of number text, each ended by its own delimiter.
enum class NumberText { integer, length };

// Whether `text` (a bytes object) is number text that decoding accepts: 1 or
// 0, or -1 with an exception set when judging it failed for another reason.
// An accepted length is stored in `length`.
int acceptable_number_text(PyObject* text, NumberText kind, Py_ssize_t& length);

// What number text cut off by the end of the data may still become.
struct CutText {
    bool as_is = false;     // acceptable as it stands
    bool one_more = false;  // acceptable with one more digit, so with any number of them
    Py_ssize_t length = 0;  // the length that the text as it stands gives
};

// A dictionary key met by a checking walk: where its bytes are in the input.
struct KeySpan {
    Py_ssize_t start;
    Py_ssize_t length;  // -1: no key (an error is set)

    [[nodiscard]] explicit operator bool() const noexcept { return length >= 0; }
};

}  // namespace velka::reading

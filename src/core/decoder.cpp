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
#include <bit>
#include <cstring>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "format.hpp"
#include "pyref.hpp"
#include "recursion_guard.hpp"
#include "swar.hpp"
#include "words.hpp"

namespace velka {

namespace {

// A list with more items than this stops waiting on the item stack.
constexpr Py_ssize_t max_waiting_items = 1024;

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

    // How many decimal digits run from `pos` (before `end`); more than
    // max_fast_digits means too many to count further.
    Py_ssize_t digit_count(Py_ssize_t pos, Py_ssize_t end) const noexcept {
        Py_ssize_t count = 0;
        while (count < 16 && end - (pos + count) >= 8) {
            const auto chunk = load_le<std::uint64_t>(data + pos + count);
            const unsigned found = leading_digit_count(chunk);
            count += found;
            if (found < 8) {
                return count;
            }
        }
        while (pos + count < end && is_digit(data[pos + count]) && count <= max_fast_digits) {
            ++count;
        }
        return count;
    }

    void copy_to(unsigned char* out, Py_ssize_t start, Py_ssize_t count) const noexcept {
        std::memcpy(out, data + start, static_cast<std::size_t>(count));
    }

    // memcmp() of the `count` items at `start` with `other`; short runs (most
    // keys) without a call.
    int compare(Py_ssize_t start, const unsigned char* other, Py_ssize_t count) const noexcept {
        if (count >= 8) {
            return std::memcmp(data + start, other, static_cast<std::size_t>(count));
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (data[start + i] != other[i]) {
                return data[start + i] < other[i] ? -1 : 1;
            }
        }
        return 0;
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

    Py_ssize_t digit_count(Py_ssize_t pos, Py_ssize_t end) const noexcept {
        Py_ssize_t count = 0;
        while (pos + count < end && is_digit((*this)[pos + count]) && count <= max_fast_digits) {
            ++count;
        }
        return count;
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
    return compare_runs(order, a_len, b_len);
}

// repr() of the one-character str whose code point is `byte`.
PyRef byte_repr(unsigned char byte) {
    PyRef character = PyRef::steal(PyUnicode_FromOrdinal(byte));
    if (!character) {
        return {};
    }
    return PyRef::steal(PyObject_Repr(character.get()));
}

void raise_unexpected_byte(const char* format, unsigned char byte, Py_ssize_t pos) {
    PyRef rendered = byte_repr(byte);
    if (rendered) {
        raise_error_format(ErrorClass::decode_error, format, rendered.get(), pos);
    }
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

// The module's own rules for integer text, applied before int() judges it.
enum class IntegerTextFault { none, empty, negative_zero, leading_zero, negative_leading_zero };

IntegerTextFault integer_text_fault(const char* chars, Py_ssize_t size) noexcept {
    if (size == 0) {
        return IntegerTextFault::empty;
    }
    if (size == 2 && chars[0] == '-' && chars[1] == '0') {
        return IntegerTextFault::negative_zero;
    }
    if (size >= 2 && chars[0] == '0') {
        return IntegerTextFault::leading_zero;
    }
    if (size >= 2 && chars[0] == '-' && chars[1] == '0') {
        return IntegerTextFault::negative_leading_zero;
    }
    return IntegerTextFault::none;
}

// Raises the DecodeError for a fault of `text` (a bytes object).
void raise_integer_text_fault(IntegerTextFault fault, PyObject* text) {
    switch (fault) {
        case IntegerTextFault::empty:
            raise_error_format(ErrorClass::decode_error, "empty integer");
            return;
        case IntegerTextFault::negative_zero:
            raise_error_format(ErrorClass::decode_error, "negative zero is not allowed");
            return;
        case IntegerTextFault::leading_zero:
            raise_error_format(ErrorClass::decode_error, "leading zero in integer: %R", text);
            return;
        case IntegerTextFault::negative_leading_zero:
            raise_error_format(ErrorClass::decode_error, "leading zero in negative integer: %R",
                               text);
            return;
        case IntegerTextFault::none:
            return;
    }
}

bool length_text_has_leading_zero(const char* chars, Py_ssize_t size) noexcept {
    return size >= 2 && chars[0] == '0';
}

// The two kinds of number text, each ended by its own delimiter.
enum class NumberText { integer, length };

// Whether `text` (a bytes object) is number text that decoding accepts: 1 or
// 0, or -1 with an exception set when judging it failed for another reason.
// An accepted length is stored in `length`.
int acceptable_number_text(PyObject* text, NumberText kind, Py_ssize_t& length) {
    const char* chars = PyBytes_AS_STRING(text);
    const Py_ssize_t size = PyBytes_GET_SIZE(text);
    if (kind == NumberText::integer ? integer_text_fault(chars, size) != IntegerTextFault::none
                                    : length_text_has_leading_zero(chars, size)) {
        return 0;
    }
    PyRef number = PyRef::steal(PyNumber_Long(text));
    if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    if (kind == NumberText::length) {
        length = PyLong_AsSsize_t(number.get());
        if (length == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
                return -1;
            }
            PyErr_Clear();
            return 0;
        }
    }
    return 1;
}

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

}  // namespace

// The recursive walk over one kind of input, by the rules of the format.
// A building walk (Build) makes the Python objects: every function that
// returns an object returns a new reference or nullptr with an exception
// set. A checking walk accepts and refuses exactly the same input with the
// same errors, and makes no objects but for number text that only int() can
// judge and the texts of its error messages. `pos` comes in at the first byte
// of the value and leaves just past it.
template <typename Bytes, bool Build>
class Walker {
    using Scratch = std::conditional_t<Build, ValueDecoder, ValueChecker>;
    // A decoded value, or whether a checked one is well-formed.
    using Result = std::conditional_t<Build, PyObject*, Checked>;
    // A dictionary key: an owned bytes object, or where the key lies.
    using Key = std::conditional_t<Build, PyRef, KeySpan>;

   public:
    Walker(Scratch& scratch, Bytes input) noexcept
        : scratch_(scratch),
          in_(input),
          length_(scratch.view_.length),
          tell_incomplete_(scratch.tell_incomplete_) {}

    // `_decode_any`
    Result any(Py_ssize_t& pos) {
        if (pos >= length_) {
            raise_error_format(end_of_data(), "unexpected end of data at position %zd", pos);
            return failed();
        }
        const unsigned char byte = in_[pos];
        if (byte == token::integer) {
            return integer(pos);
        }
        if (byte == token::list) {
            return list(pos);
        }
        if (byte == token::dict) {
            return dict(pos);
        }
        if (is_digit(byte)) {
            return string(pos);
        }
        raise_unexpected_byte("unexpected byte %U at position %zd", byte, pos);
        return failed();
    }

    // `_decode_bytes` for a dictionary key.
    Key key(Py_ssize_t& pos) {
        if constexpr (Build) {
            return PyRef::steal(string(pos, scratch_.keys_, BytesCache::max_length));
        } else {
            const Py_ssize_t length = string_length(pos);
            if (length < 0) {
                return KeySpan{0, -1};
            }
            const KeySpan key{pos, length};
            pos += length;
            return key;
        }
    }

   private:
    // `_decode_any` for a member of a container: the leaves, which most
    // members are, in line, and only containers by a call.
    [[gnu::always_inline]] Result member(Py_ssize_t& pos) {
        if (pos < length_) {
            const unsigned char byte = in_[pos];
            if (byte == token::integer) {
                return integer(pos);
            }
            if (is_digit(byte)) {
                return string(pos);
            }
        }
        return any(pos);
    }

    static Result failed() noexcept {
        if constexpr (Build) {
            return nullptr;
        } else {
            return Checked{false};
        }
    }

    // What a fault that more data would mend is raised as.
    [[nodiscard]] ErrorClass end_of_data() const noexcept {
        return tell_incomplete_ ? ErrorClass::incomplete : ErrorClass::decode_error;
    }

    // `_find_byte`: the first position at or after `pos` holding `target`,
    // or -1 with DecodeError set. The number text that the delimiter ends
    // starts at `pos`.
    Py_ssize_t find_byte(unsigned char target, Py_ssize_t pos, NumberText text) {
        const Py_ssize_t found = pos < length_ ? in_.find(target, pos, length_) : -1;
        if (found >= 0) {
            return found;
        }
        ErrorClass cls = ErrorClass::decode_error;
        if (tell_incomplete_) {
            const int completable = can_complete(pos, text);
            if (completable < 0) {
                return -1;
            }
            if (completable != 0) {
                cls = ErrorClass::incomplete;
            }
        }
        // Both delimiters are printable ASCII, so their repr() is the
        // character between single quotes.
        raise_error_format(cls, "expected '%c' not found after position %zd", target, pos);
        return -1;
    }

    // Whether number text cut off by the end of the data, from `start` on,
    // could still be completed into text that decoding accepts (and, for
    // the length of a key, into a key that may follow the one before it).
    // Whatever int() accepts begins as a run that is either acceptable as
    // it stands or becomes so with one more digit (after a sign, an
    // underscore or leading white space), so those two candidates decide.
    // Returns 1, 0, or -1 with an exception set.
    int can_complete(Py_ssize_t start, NumberText text) {
        const Py_ssize_t size = length_ - start;
        PyRef as_is = PyRef::steal(in_.copy(start, size));
        if (!as_is) {
            return -1;
        }
        CutText cut;
        int acceptable = acceptable_number_text(as_is.get(), text, cut.length);
        if (acceptable < 0) {
            return -1;
        }
        cut.as_is = acceptable != 0;
        PyRef one_more = PyRef::steal(PyBytes_FromStringAndSize(nullptr, size + 1));
        if (!one_more) {
            return -1;
        }
        char* chars = PyBytes_AS_STRING(one_more.get());
        std::memcpy(chars, PyBytes_AS_STRING(as_is.get()), static_cast<std::size_t>(size));
        chars[size] = '1';
        Py_ssize_t unused = 0;
        acceptable = acceptable_number_text(one_more.get(), text, unused);
        if (acceptable < 0) {
            return -1;
        }
        cut.one_more = acceptable != 0;
        if (!cut.as_is && !cut.one_more) {
            return 0;
        }
        if (text == NumberText::length && key_bounded_) {
            return key_can_follow(start, 0, cut.one_more ? -1 : cut.length);
        }
        return 1;
    }

    // Whether a key cut off by the end of the data can still come after the
    // key before it: its first `available` bytes stand at `start`, and the
    // rest, up to `length` bytes in all (-1: as many as wanted), can be
    // anything, 0xff at the most. Returns 1, 0, or -1 with an exception set.
    int key_can_follow(Py_ssize_t start, Py_ssize_t available, Py_ssize_t length) {
        PyRef bound;
        if constexpr (Build) {
            bound = PyRef::borrow(key_bound_);
        } else {
            bound = PyRef::steal(in_.copy(key_bound_.start, key_bound_.length));
            if (!bound) {
                return -1;
            }
        }
        const auto* before = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bound.get()));
        const Py_ssize_t before_length = PyBytes_GET_SIZE(bound.get());
        const bool open = length < 0;
        for (Py_ssize_t i = 0; i < std::min(available, before_length); ++i) {
            if (in_[start + i] != before[i]) {
                return in_[start + i] > before[i] ? 1 : 0;
            }
        }
        if (available < before_length) {
            const Py_ssize_t end = open ? before_length : std::min(length, before_length);
            for (Py_ssize_t i = available; i < end; ++i) {
                if (before[i] != 0xFF) {
                    return 1;
                }
            }
        }
        return open || length > before_length ? 1 : 0;
    }

    // `_decode_int`
    Result integer(Py_ssize_t& pos) {
        Py_ssize_t p = pos + 1;
        const bool negative = p < length_ && in_[p] == '-';
        if (negative) {
            ++p;
        }
        if (p < length_ && in_[p] > token::digit_zero && in_[p] <= token::digit_nine) {
            std::uint64_t magnitude = 0;
            Py_ssize_t count;
            if constexpr (Build) {
                count = in_.digits(p, length_, magnitude);
            } else {
                // Only a negative number of 19 digits needs its value, to
                // tell whether it fits.
                count = in_.digit_count(p, length_);
                if (negative && count == max_fast_digits) {
                    in_.digits(p, length_, magnitude);
                }
            }
            const Py_ssize_t end = p + count;
            if (count <= max_fast_digits && end < length_ && in_[end] == token::end) {
                constexpr auto most_negative = std::uint64_t{1} << 63;
                if (!negative) {
                    pos = end + 1;
                    if constexpr (Build) {
                        if (magnitude < most_negative) {
                            return PyLong_FromLongLong(static_cast<long long>(magnitude));
                        }
                        return PyLong_FromUnsignedLongLong(magnitude);
                    } else {
                        return Checked{true};
                    }
                }
                if (magnitude <= most_negative) {
                    pos = end + 1;
                    if constexpr (Build) {
                        return PyLong_FromLongLong(static_cast<long long>(0 - magnitude));
                    } else {
                        return Checked{true};
                    }
                }
            }
        } else if (!negative && p + 1 < length_ && in_[p] == token::digit_zero &&
                   in_[p + 1] == token::end) {
            pos = p + 2;
            if constexpr (Build) {
                return PyLong_FromLong(0);
            } else {
                return Checked{true};
            }
        }
        return integer_general(pos);
    }

    Result integer_general(Py_ssize_t& pos) {
        const Py_ssize_t end = find_byte(token::end, pos + 1, NumberText::integer);
        if (end < 0) {
            return failed();
        }
        PyRef text = PyRef::steal(in_.copy(pos + 1, end - pos - 1));
        if (!text) {
            return failed();
        }
        const IntegerTextFault fault =
            integer_text_fault(PyBytes_AS_STRING(text.get()), PyBytes_GET_SIZE(text.get()));
        if (fault != IntegerTextFault::none) {
            raise_integer_text_fault(fault, text.get());
            return failed();
        }
        PyRef value = PyRef::steal(convert_text(text.get(), "invalid integer"));
        if (!value) {
            return failed();
        }
        pos = end + 1;
        if constexpr (Build) {
            return value.release();
        } else {
            return Checked{true};
        }
    }

    // The length prefix of a byte string at `pos` (a digit). Returns the
    // length with `pos` moved to the first data byte, after checking that the
    // data fits in the input; or -1 with an exception set.
    Py_ssize_t string_length(Py_ssize_t& pos) {
        // Most lengths have one or two digits and fit: read those here, in
        // line, and leave everything else to the full reading.
        if (pos + 2 < length_) {
            const unsigned first = in_[pos] - token::digit_zero;
            const unsigned char second = in_[pos + 1];
            Py_ssize_t length = -1;
            Py_ssize_t start = 0;
            if (second == token::colon) {
                length = first;
                start = pos + 2;
            } else if (first != 0 && is_digit(second) && in_[pos + 2] == token::colon) {
                length = first * 10 + (second - token::digit_zero);
                start = pos + 3;
            }
            if (length >= 0 && length <= length_ - start) {
                pos = start;
                return length;
            }
        }
        return string_length_in_full(pos);
    }

    // Everything string_length() does not read in line: longer lengths,
    // lengths near the end of the data, int() spellings and the faults.
    [[gnu::noinline]] Py_ssize_t string_length_in_full(Py_ssize_t& pos) {
        Py_ssize_t p = pos;
        Py_ssize_t length = -1;
        if (in_[pos] != token::digit_zero) {
            std::uint64_t value = 0;
            const Py_ssize_t count = in_.digits(pos, length_, value);
            p = pos + count;
            if (count <= max_fast_digits && value <= static_cast<std::uint64_t>(PY_SSIZE_T_MAX) &&
                p < length_ && in_[p] == token::colon) {
                length = static_cast<Py_ssize_t>(value);
            }
        } else if (pos + 1 < length_ && in_[pos + 1] == token::colon) {
            length = 0;
            p = pos + 1;
        }
        if (length < 0) {
            p = find_byte(token::colon, pos, NumberText::length);
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
            ErrorClass cls = end_of_data();
            if (key_bounded_) {
                const int can_follow = key_can_follow(start, length_ - start, length);
                if (can_follow < 0) {
                    return -1;
                }
                if (can_follow == 0) {
                    cls = ErrorClass::decode_error;
                }
            }
            raise_error_format(cls,
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
        if (length_text_has_leading_zero(PyBytes_AS_STRING(text.get()),
                                         PyBytes_GET_SIZE(text.get()))) {
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
    Result string(Py_ssize_t& pos) {
        if constexpr (Build) {
            return string(pos, scratch_.values_, max_shared_value_length);
        } else {
            const Py_ssize_t length = string_length(pos);
            if (length < 0) {
                return Checked{false};
            }
            pos += length;
            return Checked{true};
        }
    }

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

    // `_decode_list`. A building walk keeps the items waiting on the shared
    // stack so that the list is made once at its final size; a long list
    // moves to a list object of its own and grows by appending, so that
    // waiting items never hold much memory beside the result.
    Result list(Py_ssize_t& pos) {
        RecursionGuard guard(" while decoding a bencoded list");
        if (!guard.entered()) {
            return failed();
        }
        ListItems items(scratch_);
        const PathStep* step = next_step();
        Py_ssize_t index = 0;
        ++pos;
        for (;;) {
            if (pos >= length_) {
                raise_error_format(end_of_data(), "unterminated list");
                return failed();
            }
            if (in_[pos] == token::end) {
                break;
            }
            if constexpr (Build) {
                Result item = member(pos);
                if (!item || items.add(item) < 0) {
                    return failed();
                }
            } else {
                const bool selected =
                    step != nullptr && step->kind == PathStep::Kind::index && step->index == index;
                if (!check_member(pos, selected ? step : nullptr)) {
                    return failed();
                }
                ++index;
            }
        }
        ++pos;
        return items.finish();
    }

    // The items of one list being decoded; nothing for a checking walk.
    // Items not yet handed over are released when it goes away.
    class ListItems {
       public:
        explicit ListItems(Scratch& scratch) noexcept {
            if constexpr (Build) {
                items_ = &scratch.items_;
                base_ = items_->size();
            }
        }
        ListItems(const ListItems&) = delete;
        ListItems& operator=(const ListItems&) = delete;
        ~ListItems() {
            if constexpr (Build) {
                items_->release_from(base_);
            }
        }

        // Takes over `item`. Returns 0, or -1 with an exception set.
        int add(Result item) {
            if constexpr (Build) {
                if (long_list_) {
                    const int appended = PyList_Append(long_list_.get(), item);
                    Py_DECREF(item);
                    return appended;
                }
                if (items_->push(item) < 0) {
                    return -1;
                }
                if (items_->size() - base_ == max_waiting_items) {
                    long_list_ = PyRef::steal(take_items());
                    if (!long_list_) {
                        return -1;
                    }
                }
            }
            return 0;
        }

        Result finish() {
            if constexpr (Build) {
                if (long_list_) {
                    return long_list_.release();
                }
                return take_items();
            } else {
                return Checked{true};
            }
        }

       private:
        // A new list of the waiting items, which leave the stack; or nullptr
        // with an exception set.
        PyObject* take_items() {
            const Py_ssize_t count = items_->size() - base_;
            PyObject* result = PyList_New(count);
            if (result == nullptr) {
                return nullptr;
            }
            PyObject* const* moved = items_->from(base_);
            for (Py_ssize_t i = 0; i < count; ++i) {
                PyList_SET_ITEM(result, i, moved[i]);
            }
            items_->drop_moved(base_);
            return result;
        }

        ItemStack* items_ = nullptr;
        Py_ssize_t base_ = 0;
        PyRef long_list_;
    };

    // `_decode_dict`
    Result dict(Py_ssize_t& pos) {
        RecursionGuard guard(" while decoding a bencoded dict");
        if (!guard.entered()) {
            return failed();
        }
        PyRef result;
        if constexpr (Build) {
            result = PyRef::steal(PyDict_New());
            if (!result) {
                return failed();
            }
        }
        const PathStep* step = next_step();
        // The last key stored: borrowed (the dictionary holds it), or where
        // it lies in the input.
        std::conditional_t<Build, PyObject*, KeySpan> previous_key{};
        bool first = true;
        ++pos;
        for (;;) {
            if (pos >= length_) {
                raise_error_format(end_of_data(), "unterminated dict");
                return failed();
            }
            const unsigned char byte = in_[pos];
            if (byte == token::end) {
                ++pos;
                if constexpr (Build) {
                    return result.release();
                } else {
                    return Checked{true};
                }
            }
            if (!is_digit(byte)) {
                raise_unexpected_byte("dict key must be a byte string, got %U at position %zd",
                                      byte, pos);
                return failed();
            }
            // A key cut off by the end of the data is incomplete input only
            // while some completion of it could follow the key before it.
            if (tell_incomplete_ && !first) {
                key_bound_ = previous_key;
                key_bounded_ = true;
            }
            Key key = this->key(pos);
            key_bounded_ = false;
            if (!key) {
                return failed();
            }
            if (!first && !in_order(previous_key, key)) {
                raise_keys_out_of_order(previous_key, key);
                return failed();
            }
            first = false;
            if constexpr (Build) {
                PyRef value = PyRef::steal(member(pos));
                if (!value || PyDict_SetItem(result.get(), key.get(), value.get()) < 0) {
                    return failed();
                }
                previous_key = key.get();
            } else {
                const bool selected =
                    step != nullptr && step->kind == PathStep::Kind::key &&
                    step->key_length == key.length &&
                    in_.compare(key.start, reinterpret_cast<const unsigned char*>(step->key),
                                key.length) == 0;
                if (!check_member(pos, selected ? step : nullptr)) {
                    return failed();
                }
                previous_key = key;
            }
        }
    }

    // A checking walk that looks for a value along a path: the step to take
    // in the container being entered, when the container lies on the path
    // and the path goes on from it; else nullptr. Always nullptr when
    // building.
    const PathStep* next_step() noexcept {
        if constexpr (Build) {
            return nullptr;
        } else {
            const Py_ssize_t depth = std::exchange(scratch_.path_depth_, -1);
            if (depth < 0) {
                return nullptr;
            }
            return &scratch_.path_[static_cast<std::size_t>(depth)];
        }
    }

    // Checks a member of a container. `taken` is the step of the path that
    // selects this member, if one does: the member then is either the value
    // looked for or lies on the way to it.
    bool check_member(Py_ssize_t& pos, const PathStep* taken) {
        if (taken == nullptr) {
            return static_cast<bool>(member(pos));
        }
        const Py_ssize_t depth = taken - scratch_.path_.data() + 1;
        if (depth == static_cast<Py_ssize_t>(scratch_.path_.size())) {
            const Py_ssize_t start = pos;
            if (!member(pos)) {
                return false;
            }
            scratch_.found_start_ = start;
            scratch_.found_end_ = pos;
            return true;
        }
        scratch_.path_depth_ = depth;
        const bool checked = static_cast<bool>(member(pos));
        scratch_.path_depth_ = -1;
        return checked;
    }

    // Keys must ascend strictly, by their raw bytes.
    bool in_order(PyObject* previous, const PyRef& key) const noexcept {
        return compare_bytes(previous, key.get()) < 0;
    }
    bool in_order(const KeySpan& previous, const KeySpan& key) const noexcept {
        return in_.compare_spans(previous.start, previous.length, key.start, key.length) < 0;
    }

    void raise_keys_out_of_order(PyObject* previous, const PyRef& key) {
        raise_error_format(ErrorClass::decode_error, "dict keys out of order: %R >= %R", previous,
                           key.get());
    }
    void raise_keys_out_of_order(const KeySpan& previous, const KeySpan& key) {
        PyRef previous_bytes = PyRef::steal(in_.copy(previous.start, previous.length));
        PyRef key_bytes = PyRef::steal(in_.copy(key.start, key.length));
        if (previous_bytes && key_bytes) {
            raise_keys_out_of_order(previous_bytes.get(), key_bytes);
        }
    }

    Scratch& scratch_;
    const Bytes in_;
    const Py_ssize_t length_;
    const bool tell_incomplete_;
    // While a key is read by a walk that tells incomplete input apart: the
    // key before it (borrowed, or where it lies in the input).
    std::conditional_t<Build, PyObject*, KeySpan> key_bound_{};
    bool key_bounded_ = false;
};

PyObject* ValueDecoder::decode_any(Py_ssize_t& pos) {
    if (view_.contiguous()) {
        return Walker<ContiguousBytes, true>(*this, ContiguousBytes{view_.data}).any(pos);
    }
    return Walker<StridedBytes, true>(*this, StridedBytes{view_.data, view_.stride}).any(pos);
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
        return ContiguousBytes{view_.data}.compare(start, wanted, length) == 0;
    }
    return StridedBytes{view_.data, view_.stride}.compare(start, wanted, length) == 0;
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

BytesCache::~BytesCache() {
    for (std::uint64_t used = used_; used != 0; used &= used - 1) {
        Py_DECREF(slots_[std::countr_zero(used)]);
    }
}

PyObject* BytesCache::miss(const unsigned char* data, Py_ssize_t length, unsigned slot) {
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

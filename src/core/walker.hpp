// The recursive walk over bencode input, by the rules of the format: one
// template for building Python objects (decode, decode_prefix) and for only
// checking well-formedness (span), and the primitives that the typed walk
// drives, so that every reader of the format follows exactly the same rules.
//
// Speed comes from doing as little as possible per value: positions stay
// machine integers, bytes are compared with constants straight from the
// caller's memory, canonical integers and lengths of up to 19 digits are
// converted in place (eight digits at a time), lists are allocated once at
// their final size and short strings that repeat (keys, path components) are
// shared. Anything that is not plainly canonical leaves the fast path for the
// general one, which copies the text and lets int() judge it, so that both
// paths accept and refuse exactly the same input with the same messages.
#pragma once

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include "decoder.hpp"
#include "errors.hpp"
#include "format.hpp"
#include "pyref.hpp"
#include "reading.hpp"
#include "recursion_guard.hpp"

namespace velka {

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
    using Key = std::conditional_t<Build, PyRef, reading::KeySpan>;

   public:
    // The texts that a guard against deep nesting adds to its RecursionError.
    static constexpr const char* list_recursion_context = " while decoding a bencoded list";
    static constexpr const char* dict_recursion_context = " while decoding a bencoded dict";

    Walker(Scratch& scratch, Bytes input) noexcept
        : scratch_(scratch),
          in_(input),
          length_(scratch.view_.length),
          tell_incomplete_(scratch.tell_incomplete_) {}

    // `_decode_any`: a plain dispatch, which passes containers on without
    // a frame of its own, since a container's members reach it for every
    // container among them.
    Result any(Py_ssize_t& pos) {
        if (pos < length_) {
            const unsigned char byte = in_[pos];
            if (byte == token::list) {
                return list(pos);
            }
            if (byte == token::dict) {
                return dict(pos);
            }
            if (byte == token::integer || reading::is_digit(byte)) {
                return leaf(pos);
            }
        }
        return no_value(pos);
    }

    // any() for a value that the caller takes whole, not as part of another
    // value being read: the caller may let it go, so the lists that the key
    // shape borrows from it are forgotten.
    Result outer_any(Py_ssize_t& pos) {
        Result result = any(pos);
        if constexpr (Build) {
            scratch_.shape_.forget_lists();
        }
        return result;
    }

    // `_decode_bytes` for a dictionary key.
    Key key(Py_ssize_t& pos) {
        if constexpr (Build) {
            return PyRef::steal(string(pos, scratch_.keys_, BytesCache::max_length));
        } else {
            const Py_ssize_t length = string_length(pos);
            if (length < 0) {
                return reading::KeySpan{0, -1};
            }
            const reading::KeySpan key{pos, length};
            pos += length;
            return key;
        }
    }

    // The keys of one dictionary as its entries are read: the one just read,
    // and the one stored before it, which the next must follow.
    struct DictKeys {
        Key key{};
        // The last key stored: borrowed (the dictionary holds it), or where
        // it lies in the input.
        std::conditional_t<Build, PyObject*, reading::KeySpan> previous{};
        bool first = true;

        // The key just read has been stored with its value.
        void stored() noexcept {
            if constexpr (Build) {
                previous = key.get();
            } else {
                previous = key;
            }
            first = false;
        }
    };

    // One step through a list whose 'l' lies behind `pos`: 1 when an item
    // starts at `pos`, 0 at the closing 'e' (`pos` then moves past it), -1
    // with an exception set when the data ends first.
    int next_item(Py_ssize_t& pos) {
        if (pos >= length_) {
            raise_error_format(end_of_data(), "unterminated list");
            return -1;
        }
        if (in_[pos] == token::end) {
            ++pos;
            return 0;
        }
        return 1;
    }

    // One step through a dictionary whose 'd' lies behind `pos`: 1 with the
    // next key read into `keys.key` (a byte string, in order after the key
    // stored before it) and `pos` at its value; 0 at the closing 'e' (`pos`
    // then moves past it); -1 with an exception set. The caller reads the
    // value and then calls keys.stored().
    int next_key(Py_ssize_t& pos, DictKeys& keys) {
        if (pos >= length_) {
            raise_error_format(end_of_data(), "unterminated dict");
            return -1;
        }
        const unsigned char byte = in_[pos];
        if (byte == token::end) {
            ++pos;
            return 0;
        }
        if (!reading::is_digit(byte)) {
            reading::raise_unexpected_byte("dict key must be a byte string, got %U at position %zd",
                                           byte, pos);
            return -1;
        }
        // A key cut off by the end of the data is incomplete input only
        // while some completion of it could follow the key before it.
        if (tell_incomplete_ && !keys.first) {
            key_bound_ = keys.previous;
            key_bounded_ = true;
        }
        keys.key = key(pos);
        key_bounded_ = false;
        if (!keys.key) {
            return -1;
        }
        if (!keys.first && !in_order(keys.previous, keys.key)) {
            raise_keys_out_of_order(keys.previous, keys.key);
            return -1;
        }
        return 1;
    }

    // The input's bytes, for a walk that reads values its own way.
    [[nodiscard]] const Bytes& input() const noexcept { return in_; }

   private:
    // `_decode_any` for a member of a container: the leaves, which most
    // members are, in line, and only containers by a call; a dictionary in
    // a list looking for the keys of the one before (`in_list`).
    template <bool in_list = false>
    [[gnu::always_inline]] Result member(Py_ssize_t& pos) {
        if (pos < length_) {
            const unsigned char byte = in_[pos];
            if (byte == token::integer) {
                return integer(pos);
            }
            if (reading::is_digit(byte)) {
                return string(pos);
            }
            if constexpr (in_list && Build) {
                if (byte == token::dict) {
                    return dict<true>(pos);
                }
            }
        }
        return any(pos);
    }

    // A value that any() found to be an integer or a byte string.
    [[gnu::noinline]] Result leaf(Py_ssize_t& pos) {
        if (in_[pos] == token::integer) {
            return integer(pos);
        }
        return string(pos);
    }

    // What any() raises where no value starts at `pos`.
    [[gnu::noinline, gnu::cold]] Result no_value(Py_ssize_t pos) {
        if (pos >= length_) {
            raise_error_format(end_of_data(), "unexpected end of data at position %zd", pos);
        } else {
            reading::raise_unexpected_byte("unexpected byte %U at position %zd", in_[pos], pos);
        }
        return failed();
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
    Py_ssize_t find_byte(unsigned char target, Py_ssize_t pos, reading::NumberText text) {
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
    int can_complete(Py_ssize_t start, reading::NumberText text) {
        const Py_ssize_t size = length_ - start;
        PyRef as_is = PyRef::steal(in_.copy(start, size));
        if (!as_is) {
            return -1;
        }
        reading::CutText cut;
        int acceptable = reading::acceptable_number_text(as_is.get(), text, cut.length);
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
        acceptable = reading::acceptable_number_text(one_more.get(), text, unused);
        if (acceptable < 0) {
            return -1;
        }
        cut.one_more = acceptable != 0;
        if (!cut.as_is && !cut.one_more) {
            return 0;
        }
        if (text == reading::NumberText::length && key_bounded_) {
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

   public:
    // `_decode_int`: canonical integers that fit in 64 bits in one pass,
    // everything else (with every fault) by the general reading.
    [[gnu::always_inline]] Result integer(Py_ssize_t& pos) {
        reading::IntegerValue value;
        const Py_ssize_t end = in_.template canonical_integer<Build>(pos + 1, length_, value);
        if (end < 0) [[unlikely]] {
            return integer_general(pos);
        }
        pos = end;
        if constexpr (Build) {
            if (value.negative) {
                return PyLong_FromLongLong(static_cast<long long>(0 - value.magnitude));
            }
            if (value.magnitude < reading::most_negative) {
                return PyLong_FromLongLong(static_cast<long long>(value.magnitude));
            }
            return PyLong_FromUnsignedLongLong(value.magnitude);
        } else {
            return Checked{true};
        }
    }

   private:
    [[gnu::noinline]] Result integer_general(Py_ssize_t& pos) {
        const Py_ssize_t end = find_byte(token::end, pos + 1, reading::NumberText::integer);
        if (end < 0) {
            return failed();
        }
        PyRef text = PyRef::steal(in_.copy(pos + 1, end - pos - 1));
        if (!text) {
            return failed();
        }
        const reading::IntegerTextFault fault = reading::integer_text_fault(
            PyBytes_AS_STRING(text.get()), PyBytes_GET_SIZE(text.get()));
        if (fault != reading::IntegerTextFault::none) {
            reading::raise_integer_text_fault(fault, text.get());
            return failed();
        }
        PyRef value = PyRef::steal(reading::convert_text(text.get(), "invalid integer"));
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

   public:
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
            } else if (first != 0 && reading::is_digit(second) && in_[pos + 2] == token::colon) {
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

   private:
    // Everything string_length() does not read in line: longer lengths,
    // lengths near the end of the data, int() spellings and the faults.
    [[gnu::noinline]] Py_ssize_t string_length_in_full(Py_ssize_t& pos) {
        Py_ssize_t p = pos;
        Py_ssize_t length = -1;
        if (in_[pos] != token::digit_zero) {
            std::uint64_t value = 0;
            const Py_ssize_t count = in_.digits(pos, length_, value);
            p = pos + count;
            if (count <= reading::max_fast_digits &&
                value <= static_cast<std::uint64_t>(PY_SSIZE_T_MAX) && p < length_ &&
                in_[p] == token::colon) {
                length = static_cast<Py_ssize_t>(value);
            }
        } else if (pos + 1 < length_ && in_[pos + 1] == token::colon) {
            length = 0;
            p = pos + 1;
        }
        if (length < 0) {
            p = find_byte(token::colon, pos, reading::NumberText::length);
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
        if (reading::length_text_has_leading_zero(PyBytes_AS_STRING(text.get()),
                                                  PyBytes_GET_SIZE(text.get()))) {
            raise_error_format(ErrorClass::decode_error, "leading zero in string length: %R",
                               text.get());
            return -1;
        }
        PyRef number = PyRef::steal(reading::convert_text(text.get(), "invalid string length"));
        if (!number) {
            return -1;
        }
        // 2**63 and more: the OverflowError passes through as it is.
        return PyLong_AsSsize_t(number.get());
    }

   public:
    // `_decode_bytes` for a value.
    [[gnu::always_inline]] Result string(Py_ssize_t& pos) {
        if constexpr (Build) {
            return string(pos, scratch_.values_, reading::max_shared_value_length);
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
    [[gnu::always_inline]] PyObject* string(Py_ssize_t& pos, BytesCache& cache,
                                            Py_ssize_t max_shared) {
        const Py_ssize_t length = string_length(pos);
        if (length < 0) {
            return nullptr;
        }
        PyObject* result;
        if (length < 2 || length > max_shared) {
            result = in_.copy(pos, length);
        } else if constexpr (std::is_same_v<Bytes, reading::ContiguousBytes>) {
            result = cache.get(in_.data + pos, length, true);
        } else {
            unsigned char gathered[BytesCache::max_length];
            in_.copy_to(gathered, pos, length);
            result = cache.get(gathered, length, false);
        }
        pos += length;
        return result;
    }

   private:
    // `_decode_list`. A building walk keeps the items waiting on the shared
    // stack so that the list is made once at its final size; a long list
    // moves to a list object of its own and grows by appending, so that
    // waiting items never hold much memory beside the result.
    //
    // `previous` (when `predicted`, and not nullptr): the list read at the
    // same place before, whose items this one is read as for as long as
    // their bytes match, in full and written as they must be; the first
    // that does not ends the guessing, and it and all after are read in full.
    template <bool predicted = false>
    Result list(Py_ssize_t& pos, PyObject* previous = nullptr) {
        RecursionGuard guard(scratch_.levels_, list_recursion_context);
        if (!guard.entered()) {
            return failed();
        }
        ListItems items(scratch_);
        const PathStep* step = next_step();
        Py_ssize_t index = 0;
        ++pos;
        for (;;) {
            const int more = next_item(pos);
            if (more < 0) {
                return failed();
            }
            if (more == 0) {
                break;
            }
            if constexpr (Build) {
                Result item = nullptr;
                if constexpr (predicted) {
                    item = guessed_item(pos, previous, index++);
                    if (item == nullptr) {
                        previous = nullptr;
                    }
                }
                if (item == nullptr) {
                    // Dictionaries in a list mostly share their keys (the
                    // files of a torrent, the peers of a tracker response).
                    item = member<true>(pos);
                }
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
        return items.finish();
    }

    // A new reference to item `index` of `previous` when that byte string
    // comes next (`pos` then moves past it), else nullptr, with no error
    // set and `pos` where it was.
    PyObject* guessed_item(Py_ssize_t& pos, PyObject* previous, Py_ssize_t index) const noexcept {
        if (previous == nullptr || index >= PyList_GET_SIZE(previous)) {
            return nullptr;
        }
        PyObject* guess = PyList_GET_ITEM(previous, index);
        if (!PyBytes_CheckExact(guess) || !next_is(pos, guess)) {
            return nullptr;
        }
        return Py_NewRef(guess);
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
                if (items_->push(item) < 0) {
                    return -1;
                }
                if (items_->size() - base_ == reading::max_waiting_items) {
                    if (!long_list_) {
                        long_list_ = PyRef::steal(take_items());
                        return long_list_ ? 0 : -1;
                    }
                    return move_to_long_list();
                }
            }
            return 0;
        }

        Result finish() {
            if constexpr (Build) {
                if (long_list_) {
                    if (move_to_long_list() < 0) {
                        return nullptr;
                    }
                    return long_list_.release();
                }
                return take_items();
            } else {
                return Checked{true};
            }
        }

        // finish() for a tuple: the waiting items moved into it, not into a
        // list copied after. Only a building walk makes tuples.
        PyObject* finish_tuple() {
            if (long_list_) {
                PyRef list = PyRef::steal(finish());
                return list ? PyList_AsTuple(list.get()) : nullptr;
            }
            return take_items<true>();
        }

       private:
        // Appends the waiting items to the long list, which they leave the
        // stack for. Returns 0, or -1 with an exception set. A list longer
        // than the stack holds thus grows a batch at a time instead of an
        // item at a time, and the last batch trims its storage to its size.
        int move_to_long_list() {
            const Py_ssize_t count = items_->size() - base_;
            PyObject* const* moved = items_->from(base_);
#ifdef Py_GIL_DISABLED
            // The list's storage is not ours to resize on a free-threaded
            // build.
            for (Py_ssize_t i = 0; i < count; ++i) {
                if (PyList_Append(long_list_.get(), moved[i]) < 0) {
                    return -1;
                }
            }
            items_->release_from(base_);
#else
            auto* list = reinterpret_cast<PyListObject*>(long_list_.get());
            const Py_ssize_t size = Py_SIZE(list);
            const Py_ssize_t needed = size + count;
            const bool last = count < reading::max_waiting_items;
            if (needed > list->allocated || (last && needed < list->allocated)) {
                // An eighth more room while items keep coming (as a list
                // grows by itself), just enough at the end.
                const Py_ssize_t room = last ? needed : needed + needed / 8;
                // Not PyMem_Resize: it would set ob_item to NULL on failure,
                // and the list would lose its items.
                auto* items = static_cast<PyObject**>(PyMem_Realloc(
                    list->ob_item, static_cast<std::size_t>(room) * sizeof(PyObject*)));
                if (items != nullptr) {
                    list->ob_item = items;
                    list->allocated = room;
                } else if (needed > list->allocated) {
                    PyErr_NoMemory();
                    return -1;
                }  // else the trim failed, and the room it would give back stays
            }
            std::copy_n(moved, count, list->ob_item + size);
            Py_SET_SIZE(list, needed);
            items_->drop_moved(base_);
#endif
            return 0;
        }

        // A new list (or tuple) of the waiting items, which leave the stack;
        // or nullptr with an exception set.
        template <bool tuple = false>
        PyObject* take_items() {
            const Py_ssize_t count = items_->size() - base_;
            PyObject* result = tuple ? PyTuple_New(count) : PyList_New(count);
            if (result == nullptr) {
                return nullptr;
            }
            PyObject* const* moved = items_->from(base_);
            for (Py_ssize_t i = 0; i < count; ++i) {
                if constexpr (tuple) {
                    PyTuple_SET_ITEM(result, i, moved[i]);
                } else {
                    PyList_SET_ITEM(result, i, moved[i]);
                }
            }
            items_->drop_moved(base_);
            return result;
        }

        ItemStack* items_ = nullptr;
        Py_ssize_t base_ = 0;
        PyRef long_list_;
    };

    // `_decode_dict`. A building walk reading the items of a list looks for
    // the keys of the dictionary before first (`shaped`).
    template <bool shaped = false>
    Result dict(Py_ssize_t& pos) {
        RecursionGuard guard(scratch_.levels_, dict_recursion_context);
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
        DictKeys keys;
        // Building: the keys stored, while they are few, and whether each
        // so far was the one at its index in the shape before. A dict in a
        // list within a value may put a shape of its own in place of that
        // one, which the keys after then owe nothing to.
        PyObject* stored[KeyShape::max_keys];
        Py_ssize_t count = 0;
        bool as_shaped = true;
        ++pos;
        for (;;) {
            int more;
            if constexpr (Build && shaped) {
                const KeyShape& shape = scratch_.shape_;
                if (as_shaped && count < shape.size() && next_is(pos, shape.key(count))) {
                    // The shape's keys ascend, so a key of it that follows
                    // the one before it in the shape is in order.
                    keys.key = PyRef::borrow(shape.key(count));
                    more = 1;
                } else {
                    more = next_key(pos, keys);
                    if (more > 0) {
                        as_shaped = false;
                    }
                }
            } else {
                more = next_key(pos, keys);
            }
            if (more < 0) {
                return failed();
            }
            if (more == 0) {
                if constexpr (Build) {
                    if constexpr (shaped) {
                        if ((!as_shaped || count != scratch_.shape_.size()) && count > 0 &&
                            count <= KeyShape::max_keys) {
                            scratch_.shape_.replace(stored, count);
                        }
                    }
                    return result.release();
                } else {
                    return Checked{true};
                }
            }
            if constexpr (Build) {
                PyRef value;
                if constexpr (shaped) {
                    value = PyRef::steal(shaped_value(pos, count, as_shaped));
                } else {
                    value = PyRef::steal(member(pos));
                }
                if (!value || PyDict_SetItem(result.get(), keys.key.get(), value.get()) < 0) {
                    return failed();
                }
                if constexpr (shaped) {
                    if (count < KeyShape::max_keys) {
                        stored[count] = keys.key.get();
                    }
                    ++count;
                }
                keys.stored();
            } else {
                const reading::KeySpan& key = keys.key;
                const bool selected =
                    step != nullptr && step->kind == PathStep::Kind::key &&
                    step->key_length == key.length &&
                    in_.compare(key.start, reinterpret_cast<const unsigned char*>(step->key),
                                key.length) == 0;
                if (!check_member(pos, selected ? step : nullptr)) {
                    return failed();
                }
                keys.stored();
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
    [[gnu::always_inline]] bool check_member(Py_ssize_t& pos, const PathStep* taken) {
        if (taken == nullptr) [[likely]] {
            return static_cast<bool>(member(pos));
        }
        return check_member_on_path(pos, taken);
    }

    // check_member() for a member that a step of the path selects: out of
    // line, so that the members off the path are checked in the loop.
    [[gnu::noinline]] bool check_member_on_path(Py_ssize_t& pos, const PathStep* taken) {
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

    // The value of a dict's key `index`. While the keys so far are those of
    // the shape (`as_shaped`), a list is read as the one that was the value
    // there in the dict before, and replaces it; and a container that puts
    // a shape of its own in place of that one ends `as_shaped`. The leaves
    // are read first, as member() reads them, so that they pay no test of
    // the shape: most values are leaves.
    [[gnu::always_inline]] PyObject* shaped_value(Py_ssize_t& pos, Py_ssize_t index,
                                                  bool& as_shaped) {
        if (pos >= length_) {
            return no_value(pos);
        }
        const unsigned char byte = in_[pos];
        if (byte == token::integer) {
            return integer(pos);
        }
        if (reading::is_digit(byte)) {
            return string(pos);
        }
        if (!as_shaped || (byte != token::list && byte != token::dict)) {
            return any(pos);
        }
        KeyShape& shape = scratch_.shape_;
        const std::uint64_t generation = shape.generation();
        PyObject* value = byte == token::list ? list<true>(pos, shape.list(index)) : dict(pos);
        if (shape.generation() != generation) {
            as_shaped = false;
        } else if (value != nullptr && byte == token::list) {
            shape.set_list(index, value);
        }
        return value;
    }

    // Whether the byte string at `pos` is `key`, in full and with its
    // length written as it must be; `pos` then moves past it. Anything else
    // leaves `pos` where it is, for the full reading to judge.
    bool next_is(Py_ssize_t& pos, PyObject* key) const noexcept {
        const Py_ssize_t size = PyBytes_GET_SIZE(key);
        if (pos + 3 >= length_ || size >= 100) {
            return false;
        }
        Py_ssize_t start;
        if (size < 10) {
            if (in_[pos] != token::digit_zero + size || in_[pos + 1] != token::colon) {
                return false;
            }
            start = pos + 2;
        } else {
            if (in_[pos] != token::digit_zero + size / 10 ||
                in_[pos + 1] != token::digit_zero + size % 10 || in_[pos + 2] != token::colon) {
                return false;
            }
            start = pos + 3;
        }
        if (size > length_ - start ||
            !in_.equals(start, reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(key)),
                        size)) {
            return false;
        }
        pos = start + size;
        return true;
    }

    // Keys must ascend strictly, by their raw bytes.
    bool in_order(PyObject* previous, const PyRef& key) const noexcept {
        return reading::compare_bytes(previous, key.get()) < 0;
    }
    bool in_order(const reading::KeySpan& previous, const reading::KeySpan& key) const noexcept {
        return in_.compare_spans(previous.start, previous.length, key.start, key.length) < 0;
    }

    void raise_keys_out_of_order(PyObject* previous, const PyRef& key) {
        raise_error_format(ErrorClass::decode_error, "dict keys out of order: %R >= %R", previous,
                           key.get());
    }
    void raise_keys_out_of_order(const reading::KeySpan& previous, const reading::KeySpan& key) {
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
    std::conditional_t<Build, PyObject*, reading::KeySpan> key_bound_{};
    bool key_bounded_ = false;

   public:
    // The items of one list being built, for a walk that reads the items
    // its own way: the list is then made at its final size as list() makes
    // it.
    using Items = ListItems;
};

}  // namespace velka

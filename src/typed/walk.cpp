// The typed walk over each layout of input.
#include "walk.hpp"

#include <algorithm>
#include <type_traits>

#include "build.hpp"
#include "decoder.hpp"
#include "text_cache.hpp"
#include "walker.hpp"

namespace velka::typed {

namespace {

// The first byte of a value, as unions and messages tell values apart.
enum class Token { integer = 0, string = 1, list = 2, dict = 3, other = 4 };

const char* token_name(Token token) {
    switch (token) {
        case Token::integer:
            return "integer";
        case Token::string:
            return "byte string";
        case Token::list:
            return "list";
        default:
            return "dict";
    }
}

template <typename Bytes>
class TypedWalk {
    using Builder = Walker<Bytes, true>;
    using Checker = Walker<Bytes, false>;

   public:
    TypedWalk(ValueDecoder& decoder, ValueChecker& checker, Bytes input, Py_ssize_t length,
              Fault& fault, TextCache& texts) noexcept
        : decoder_(decoder),
          build_(decoder, input),
          check_(checker, input),
          in_(input),
          length_(length),
          fault_(fault),
          texts_(texts) {}

    // value() for a member of a container: text, byte strings and integers,
    // which most members are, in line, and the rest by a call.
    [[gnu::always_inline]] PyObject* member(const Node& node, Py_ssize_t& pos) {
        if (pos < length_) {
            const unsigned char byte = in_[pos];
            if (reading::is_digit(byte)) {
                if (node.kind == Kind::text) {
                    return text(pos);
                }
                if (node.kind == Kind::bytes) {
                    return build_.string(pos);
                }
            } else if (byte == token::integer && node.kind == Kind::integer) {
                return build_.integer(pos);
            }
        }
        return value(node, pos);
    }

    PyObject* value(const Node& node, Py_ssize_t& pos) {
        const Token token = token_at(pos);
        switch (node.kind) {
            case Kind::any:
                return build_.outer_any(pos);
            case Kind::integer:
                if (token != Token::integer) {
                    return mismatch(node, token, pos);
                }
                return build_.integer(pos);
            case Kind::boolean:
                if (token != Token::integer) {
                    return mismatch(node, token, pos);
                }
                return boolean(pos);
            case Kind::bytes:
                if (token != Token::string) {
                    return mismatch(node, token, pos);
                }
                return build_.string(pos);
            case Kind::text:
                if (token != Token::string) {
                    return mismatch(node, token, pos);
                }
                return text(pos);
            case Kind::raw:
                return raw(pos);
            case Kind::list:
            case Kind::tuple:
                if (token != Token::list) {
                    return mismatch(node, token, pos);
                }
                return list(node, pos);
            case Kind::fixed_tuple:
                if (token != Token::list) {
                    return mismatch(node, token, pos);
                }
                return fixed_tuple(node, pos);
            case Kind::bytes_dict:
                if (token != Token::dict) {
                    return mismatch(node, token, pos);
                }
                return mapping<false>(node, pos);
            case Kind::text_dict:
                if (token != Token::dict) {
                    return mismatch(node, token, pos);
                }
                return mapping<true>(node, pos);
            case Kind::record:
                if (token != Token::dict) {
                    return mismatch(node, token, pos);
                }
                return record(node, pos);
            case Kind::choice:
                return choice(node, token, pos);
            case Kind::token_union: {
                const Node* part =
                    token == Token::other ? nullptr : node.parts[static_cast<int>(token)];
                if (part == nullptr) {
                    return mismatch(node, token, pos);
                }
                return value(*part, pos);
            }
            case Kind::tagged_union:
                if (token != Token::dict) {
                    return mismatch(node, token, pos);
                }
                return tagged(node, pos);
        }
        PyErr_SetString(PyExc_SystemError, "velka._typed: a node of no known kind");
        return nullptr;
    }

   private:
    Token token_at(Py_ssize_t pos) const noexcept {
        if (pos >= length_) {
            return Token::other;
        }
        const unsigned char byte = in_[pos];
        if (byte == token::integer) {
            return Token::integer;
        }
        if (reading::is_digit(byte)) {
            return Token::string;
        }
        if (byte == token::list) {
            return Token::list;
        }
        if (byte == token::dict) {
            return Token::dict;
        }
        return Token::other;
    }

    // A value of the wrong kind. What no value begins with (or the end of
    // the data) is malformed input, raised as the checking walk raises it.
    PyObject* mismatch(const Node& node, Token token, Py_ssize_t pos) {
        if (token == Token::other) {
            static_cast<void>(check_.any(pos));
            return nullptr;
        }
        return fault_.record(
            PyUnicode_FromFormat("expected %U, got %s", node.expected, token_name(token)), pos);
    }

    PyObject* boolean(Py_ssize_t& pos) {
        const Py_ssize_t start = pos;
        PyRef number = PyRef::steal(build_.integer(pos));
        if (!number) {
            return nullptr;
        }
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(number.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) {
            return nullptr;
        }
        if (overflow == 0 && (value == 0 || value == 1)) {
            return Py_NewRef(value != 0 ? Py_True : Py_False);
        }
        return fault_.record(PyUnicode_FromFormat("expected bool (0 or 1), got %S", number.get()),
                             start);
    }

    // str from `length` bytes at `pos`, strict UTF-8: a new reference, or
    // nullptr with an exception set (UnicodeDecodeError when invalid).
    PyObject* decode_text(Py_ssize_t pos, Py_ssize_t length) {
        if (length >= 2 && length <= TextCache::max_length) {
            if constexpr (std::is_same_v<Bytes, reading::ContiguousBytes>) {
                return texts_.get(in_.data + pos, length);
            } else {
                unsigned char gathered[TextCache::max_length];
                in_.copy_to(gathered, pos, length);
                return texts_.get(gathered, length);
            }
        }
        if constexpr (std::is_same_v<Bytes, reading::ContiguousBytes>) {
            return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(in_.data + pos), length,
                                        nullptr);
        } else {
            PyRef copied = PyRef::steal(in_.copy(pos, length));
            if (!copied) {
                return nullptr;
            }
            return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(copied.get()), length, nullptr);
        }
    }

    // A UnicodeDecodeError just raised becomes the fault "invalid UTF-8".
    PyObject* invalid_text(Py_ssize_t position) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            return nullptr;
        }
        PyObject* cause = PyErr_GetRaisedException();
        return fault_.record(PyUnicode_FromString("invalid UTF-8"), position, cause);
    }

    PyObject* text(Py_ssize_t& pos) {
        const Py_ssize_t start = pos;
        const Py_ssize_t length = build_.string_length(pos);
        if (length < 0) {
            return nullptr;
        }
        PyObject* result = decode_text(pos, length);
        if (result == nullptr) {
            return invalid_text(start);
        }
        pos += length;
        return result;
    }

    // The exact bytes of [start, end) as a Raw.
    PyObject* raw_span(Py_ssize_t start, Py_ssize_t end) {
        PyRef bytes = PyRef::steal(in_.copy(start, end - start));
        if (!bytes) {
            return nullptr;
        }
        return PyObject_CallOneArg(shared.raw_class, bytes.get());
    }

    PyObject* raw(Py_ssize_t& pos) {
        const Py_ssize_t start = pos;
        if (!check_.any(pos)) {
            return nullptr;
        }
        return raw_span(start, pos);
    }

    PyObject* list(const Node& node, Py_ssize_t& pos) {
        RecursionGuard guard(Builder::list_recursion_context);
        if (!guard.entered()) {
            return nullptr;
        }
        // The items wait on the decoder's shared stack, so that the list is
        // made once at its final size, as plain decoding makes it.
        typename Builder::Items items(decoder_);
        ++pos;
        for (Py_ssize_t index = 0;; ++index) {
            const int more = build_.next_item(pos);
            if (more < 0) {
                return nullptr;
            }
            if (more == 0) {
                break;
            }
            PyObject* item = member(*node.item, pos);
            if (item == nullptr) {
                fault_.add_index(index);
                return nullptr;
            }
            if (items.add(item) < 0) {
                return nullptr;
            }
        }
        return node.kind == Kind::tuple ? items.finish_tuple() : items.finish();
    }

    PyObject* fixed_tuple(const Node& node, Py_ssize_t& pos) {
        RecursionGuard guard(Builder::list_recursion_context);
        if (!guard.entered()) {
            return nullptr;
        }
        const Py_ssize_t start = pos;
        PyRef result = PyRef::steal(PyTuple_New(node.part_count));
        if (!result) {
            return nullptr;
        }
        ++pos;
        Py_ssize_t count = 0;
        for (;; ++count) {
            const int more = build_.next_item(pos);
            if (more < 0) {
                return nullptr;
            }
            if (more == 0) {
                break;
            }
            if (count >= node.part_count) {
                // Too many: count the rest, checking it, for the message.
                if (!check_.any(pos)) {
                    return nullptr;
                }
                continue;
            }
            PyObject* item = value(*node.parts[count], pos);
            if (item == nullptr) {
                fault_.add_index(count);
                return nullptr;
            }
            PyTuple_SET_ITEM(result.get(), count, item);
        }
        if (count != node.part_count) {
            return fault_.record(
                PyUnicode_FromFormat("expected %U, got %zd items", node.expected, count), start);
        }
        return result.release();
    }

    // dict[bytes, T] (its keys as decode makes them) or dict[str, T] (its
    // keys read as spans and decoded as text).
    template <bool TextKeys>
    PyObject* mapping(const Node& node, Py_ssize_t& pos) {
        RecursionGuard guard(Builder::dict_recursion_context);
        if (!guard.entered()) {
            return nullptr;
        }
        PyRef result = PyRef::steal(PyDict_New());
        if (!result) {
            return nullptr;
        }
        using Reader = std::conditional_t<TextKeys, Checker, Builder>;
        Reader& reader = [this]() -> Reader& {
            if constexpr (TextKeys) {
                return check_;
            } else {
                return build_;
            }
        }();
        typename Reader::DictKeys keys;
        ++pos;
        for (;;) {
            const Py_ssize_t key_position = pos;
            const int more = reader.next_key(pos, keys);
            if (more < 0) {
                return nullptr;
            }
            if (more == 0) {
                return result.release();
            }
            PyRef key;
            if constexpr (TextKeys) {
                key = PyRef::steal(decode_text(keys.key.start, keys.key.length));
                if (!key) {
                    return invalid_text(key_position);
                }
            } else {
                key = PyRef::borrow(keys.key.get());
            }
            PyRef item = PyRef::steal(value(*node.item, pos));
            if (!item) {
                fault_.add_key(key_position);
                return nullptr;
            }
            if (PyDict_SetItem(result.get(), key.get(), item.get()) < 0) {
                return nullptr;
            }
            keys.stored();
        }
    }

    // The order of the input's key at `key` and a record's key.
    int compare_key(const reading::KeySpan& key, PyObject* record_key) const noexcept {
        const Py_ssize_t record_length = PyBytes_GET_SIZE(record_key);
        const int common = in_.compare(
            key.start, reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(record_key)),
            std::min(key.length, record_length));
        return reading::compare_runs(common, key.length, record_length);
    }

    // Whether the input's key at `key` is a record's key.
    bool same_key(const reading::KeySpan& key, PyObject* record_key) const noexcept {
        const Py_ssize_t length = PyBytes_GET_SIZE(record_key);
        return key.length == length &&
               in_.equals(key.start,
                          reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(record_key)),
                          length);
    }

    // The key just read as a new bytes object.
    PyObject* key_bytes(const reading::KeySpan& key) { return in_.copy(key.start, key.length); }

    PyObject* record(const Node& node, Py_ssize_t& pos) {
        RecursionGuard guard(Builder::dict_recursion_context);
        if (!guard.entered()) {
            return nullptr;
        }
        const Record& record = *node.record;
        const Py_ssize_t start = pos;
        FieldValues values(record.field_count);
        if (!values.ready()) {
            return nullptr;
        }
        PyObject* extra = nullptr;  // borrowed from values
        if (record.extra >= 0) {
            extra = PyDict_New();
            if (extra == nullptr) {
                return nullptr;
            }
            values.set(record.extra, extra);
        }
        typename Checker::DictKeys keys;
        Py_ssize_t next = 0;      // the first of the record's keys not yet passed
        Py_ssize_t required = 0;  // the fields found that have no stand-in
        ++pos;
        for (;;) {
            const Py_ssize_t key_position = pos;
            const int more = check_.next_key(pos, keys);
            if (more < 0) {
                return nullptr;
            }
            if (more == 0) {
                break;
            }
            const reading::KeySpan& key = keys.key;
            int order = 1;
            // Most inputs hold the very key that comes next in the record:
            // tell that apart without ordering the two.
            if (next < record.key_count && same_key(key, record.keys[next].key)) {
                order = 0;
            } else {
                while (next < record.key_count &&
                       (order = compare_key(key, record.keys[next].key)) > 0) {
                    ++next;
                }
            }
            if (next < record.key_count && order == 0) {
                const RecordKey& field_key = record.keys[next++];
                const Py_ssize_t value_start = pos;
                if (field_key.typed >= 0) {
                    PyObject* item = member(*record.fields[field_key.typed].node, pos);
                    if (item == nullptr) {
                        fault_.add_key(key_position);
                        return nullptr;
                    }
                    values.set(field_key.typed, item);
                    if (record.fields[field_key.typed].absent == Absent::missing) {
                        ++required;
                    }
                }
                if (field_key.raw >= 0) {
                    PyObject* item = field_key.typed >= 0 ? raw_span(value_start, pos) : raw(pos);
                    if (item == nullptr) {
                        return nullptr;
                    }
                    values.set(field_key.raw, item);
                    if (record.fields[field_key.raw].absent == Absent::missing) {
                        ++required;
                    }
                }
            } else if (extra != nullptr) {
                PyRef name = PyRef::steal(key_bytes(key));
                if (!name) {
                    return nullptr;
                }
                PyRef item = PyRef::steal(build_.outer_any(pos));
                if (!item || PyDict_SetItem(extra, name.get(), item.get()) < 0) {
                    return nullptr;
                }
            } else if (record.forbid_unknown) {
                PyRef name = PyRef::steal(key_bytes(key));
                PyRef shown = name ? PyRef::steal(describe_key(name.get())) : PyRef();
                if (!shown) {
                    return nullptr;
                }
                return fault_.record(PyUnicode_FromFormat("unknown key %U", shown.get()),
                                     key_position);
            } else if (!check_.any(pos)) {
                return nullptr;
            }
            keys.stored();
        }
        if (required != record.required_count) {
            const Py_ssize_t missing = first_missing(record, values);
            if (missing >= 0) {
                return missing_key(record, missing, start);
            }
        }
        return build_record(node, values, start, fault_);
    }

    PyObject* missing_key(const Record& record, Py_ssize_t field, Py_ssize_t position) {
        for (Py_ssize_t k = 0; k < record.key_count; ++k) {
            if (record.keys[k].typed == field || record.keys[k].raw == field) {
                PyRef shown = PyRef::steal(describe_key(record.keys[k].key));
                if (!shown) {
                    return nullptr;
                }
                return fault_.record(PyUnicode_FromFormat("missing key %U", shown.get()), position);
            }
        }
        PyErr_SetString(PyExc_SystemError, "velka._typed: a field without a key");
        return nullptr;
    }

    // How a value that a choice or tag did not hold is shown: its text when
    // it is a UTF-8 byte string.
    static PyObject* describe_value(PyObject* value) {
        if (PyBytes_Check(value)) {
            return describe_key(value);
        }
        return PyObject_Repr(value);
    }

    // The integer or byte string at `pos`, to look up in a table; nullptr
    // with an exception set, or with a fault for a value of another kind.
    PyObject* table_key(PyObject* expected, bool integers, bool strings, Token token,
                        Py_ssize_t& pos) {
        if (token == Token::integer && integers) {
            return build_.integer(pos);
        }
        if (token == Token::string && strings) {
            return build_.string(pos);
        }
        if (token == Token::other) {
            static_cast<void>(check_.any(pos));
            return nullptr;
        }
        return fault_.record(
            PyUnicode_FromFormat("expected %U, got %s", expected, token_name(token)), pos);
    }

    // The index that `table` gives the value at `pos`: >= 0, or -1 with an
    // exception set or a fault recorded.
    Py_ssize_t look_up(const Table& table, PyObject* expected, bool integers, bool strings,
                       Token token, Py_ssize_t& pos) {
        if (token == Token::string && strings && table.string_count > 0) {
            Py_ssize_t at = pos;
            const Py_ssize_t length = check_.string_length(at);
            if (length < 0) {
                return -1;
            }
            for (Py_ssize_t i = 0; i < table.string_count; ++i) {
                PyObject* key = table.strings[i];
                if (PyBytes_GET_SIZE(key) == length &&
                    in_.compare(at, reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(key)),
                                length) == 0) {
                    pos = at + length;
                    return table.indexes[i];
                }
            }
            // Not one of them: the table's own lookup tells the fault.
        }
        const Py_ssize_t start = pos;
        PyRef key = PyRef::steal(table_key(expected, integers, strings, token, pos));
        if (!key) {
            return -1;
        }
        PyObject* found = PyDict_GetItemWithError(table.dict, key.get());
        if (found == nullptr) {
            if (!PyErr_Occurred()) {
                PyRef shown = PyRef::steal(describe_value(key.get()));
                if (shown) {
                    fault_.record(
                        PyUnicode_FromFormat("expected %U, got %U", expected, shown.get()), start);
                }
            }
            return -1;
        }
        return PyLong_AsSsize_t(found);
    }

    PyObject* choice(const Node& node, Token token, Py_ssize_t& pos) {
        const Choice& choice = *node.choice;
        const Py_ssize_t index = look_up(choice.table, node.expected, choice.accepts_integer,
                                         choice.accepts_string, token, pos);
        if (index < 0) {
            return nullptr;
        }
        return Py_NewRef(choice.results[index]);
    }

    // A union of records told apart by a tag: the tag found first by the
    // checking walk, wherever it stands, then the chosen record built.
    PyObject* tagged(const Node& node, Py_ssize_t& pos) {
        const Tagged& tagged = *node.tagged;
        const auto* tag = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(tagged.tag));
        const Py_ssize_t tag_length = PyBytes_GET_SIZE(tagged.tag);
        typename Checker::DictKeys keys;
        Py_ssize_t ahead = pos + 1;
        for (;;) {
            const Py_ssize_t key_position = ahead;
            const int more = check_.next_key(ahead, keys);
            if (more < 0) {
                return nullptr;
            }
            if (more == 0) {
                PyRef shown = PyRef::steal(describe_key(tagged.tag));
                if (!shown) {
                    return nullptr;
                }
                return fault_.record(PyUnicode_FromFormat("missing key %U", shown.get()), pos);
            }
            if (keys.key.length == tag_length &&
                in_.compare(keys.key.start, tag, tag_length) == 0) {
                const Py_ssize_t member =
                    look_up(tagged.table, tagged.expected_tag, true, true, token_at(ahead), ahead);
                if (member < 0) {
                    fault_.add_key(key_position);
                    return nullptr;
                }
                return record(*tagged.members[member], pos);
            }
            if (!check_.any(ahead)) {
                return nullptr;
            }
            keys.stored();
        }
    }

    ValueDecoder& decoder_;
    Builder build_;
    Checker check_;
    const Bytes in_;
    const Py_ssize_t length_;
    Fault& fault_;
    TextCache& texts_;
};

}  // namespace

PyObject* walk(const Node& root, const InputView& view, bool tell_incomplete, Py_ssize_t& pos,
               Fault& fault, TextCache& texts) {
    ValueDecoder decoder(view, tell_incomplete);
    ValueChecker checker(view, tell_incomplete);
    if (view.contiguous()) {
        return TypedWalk<reading::ContiguousBytes>(
                   decoder, checker, reading::ContiguousBytes{view.data}, view.length, fault, texts)
            .value(root, pos);
    }
    return TypedWalk<reading::StridedBytes>(decoder, checker,
                                            reading::StridedBytes{view.data, view.stride},
                                            view.length, fault, texts)
        .value(root, pos);
}

}  // namespace velka::typed

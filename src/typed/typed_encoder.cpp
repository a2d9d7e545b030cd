// The typed encoder: the encoding walk of velka.bencode with the kinds that
// the plain one refuses (text, tuples, enum members, dataclass instances,
// raw values, text keys), and the per-class layouts of dataclasses.
//
// A dataclass's layout (its keys in canonical order, each with the attribute
// that holds its value, and the attribute of unknown keys) is made by
// velka._model.records.encode_layout, once per class, and kept in a table
// keyed by the class. The table holds no class alive: each entry keeps a
// weak reference to its class, whose callback drops the entry when the
// class goes away, before its address can be reused. Classes that are not
// dataclasses are kept as such too, so that no class is asked twice.
//
// Reading a field through PyObject_GetAttr costs more than writing it, so a
// layout also says where each field's value lies when the class leaves
// attribute access to object's generic lookup and the field is a slot of
// plain object member: there the value is read straight from the instance,
// as the lookup itself would read it. What was found holds for as long as
// the class keeps the version tag it had then (any change to the class or a
// base gives it a new one); on another tag the class is looked at again
// before its slots are read, and meanwhile every field takes the generic
// lookup. A small cache by class address in front of the table finds the
// layout of the classes in use with one comparison.
#include "typed_encoder.hpp"

#include <cstdint>
#include <cstring>

#include "decoder.hpp"
#include "encoder_walk.hpp"
#include "errors.hpp"
#include "input_view.hpp"
#include "pyref.hpp"
#include "reading.hpp"
#include "slots.hpp"

namespace velka {

namespace {

// Process-wide, set once by prepare_typed_encoder() and kept.
PyObject* raw_class = nullptr;      // velka._model.markers.Raw
PyObject* enum_class = nullptr;     // enum.Enum
PyObject* layout_maker = nullptr;   // velka._model.records.encode_layout
PyObject* value_name = nullptr;     // "value"
PyObject* fields_name = nullptr;    // "__dataclass_fields__"
PyObject* drop_callback = nullptr;  // called with the weak reference of a class that died

struct LayoutField {
    PyObject* key;      // bytes: the key as written
    PyObject* attr;     // str: the attribute holding its value (interned)
    Py_ssize_t offset;  // where the instance holds it, or 0: generic lookup
};

struct RecordLayout {
    bool is_record;       // false: the class is no dataclass
    PyObject* class_ref;  // weak reference to the class, with drop_callback
    PyObject* extra;      // str: the attribute of unknown keys, or nullptr
    Py_ssize_t count;
    LayoutField* fields;
    // What was found of the class while it had version tag `version`
    // (never 0 when `direct` is true): that the offsets may be read, and
    // that its instances are no str, tuple or enum member, so that the walk
    // may come straight to the record.
    unsigned int version;
    bool direct;
    Py_ssize_t extra_offset;
};

void free_layout(RecordLayout* layout) {
    for (Py_ssize_t i = 0; i < layout->count; ++i) {
        Py_XDECREF(layout->fields[i].key);
        Py_XDECREF(layout->fields[i].attr);
    }
    PyMem_Free(layout->fields);
    Py_XDECREF(layout->extra);
    Py_XDECREF(layout->class_ref);
    PyMem_Free(layout);
}

// Layouts by class: open addressing with linear probing on the class's
// address. Written only with the interpreter lock held.
class LayoutTable {
   public:
    [[nodiscard]] RecordLayout* find(PyTypeObject* type) const noexcept {
        if (slots_ == nullptr) {
            return nullptr;
        }
        for (std::size_t i = home(type);; i = (i + 1) & mask_) {
            if (slots_[i].type == type) {
                return slots_[i].layout;
            }
            if (slots_[i].type == nullptr) {
                return nullptr;
            }
        }
    }

    // Returns 0, or -1 with MemoryError set (the layout is then not kept).
    int insert(PyTypeObject* type, RecordLayout* layout) {
        if ((size_ + 1) * 2 > capacity() && grow() < 0) {
            return -1;
        }
        place(type, layout);
        ++size_;
        return 0;
    }

    // Takes out the entry whose weak reference is `class_ref` and returns
    // its layout, or nullptr when there is none.
    RecordLayout* remove(PyObject* class_ref) noexcept {
        for (std::size_t i = 0; i < capacity(); ++i) {
            if (slots_[i].type != nullptr && slots_[i].layout->class_ref == class_ref) {
                RecordLayout* layout = slots_[i].layout;
                close_gap(i);
                --size_;
                return layout;
            }
        }
        return nullptr;
    }

   private:
    struct Slot {
        PyTypeObject* type;
        RecordLayout* layout;
    };

    [[nodiscard]] std::size_t capacity() const noexcept {
        return slots_ == nullptr ? 0 : mask_ + 1;
    }

    [[nodiscard]] std::size_t home(PyTypeObject* type) const noexcept {
        // Objects are aligned, so the low bits say nothing; the multiplier
        // spreads the rest over the table.
        std::size_t hash = static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(type) >> 4);
        hash *= static_cast<std::size_t>(0x9E3779B97F4A7C15ULL);
        return (hash ^ (hash >> 16)) & mask_;
    }

    void place(PyTypeObject* type, RecordLayout* layout) noexcept {
        std::size_t i = home(type);
        while (slots_[i].type != nullptr) {
            i = (i + 1) & mask_;
        }
        slots_[i] = Slot{type, layout};
    }

    // Empties slot `gap` and moves back the entries after it that would
    // otherwise no longer be found from their home slots.
    void close_gap(std::size_t gap) noexcept {
        for (std::size_t i = (gap + 1) & mask_; slots_[i].type != nullptr; i = (i + 1) & mask_) {
            const std::size_t wanted = home(slots_[i].type);
            if (((i - wanted) & mask_) >= ((i - gap) & mask_)) {
                slots_[gap] = slots_[i];
                gap = i;
            }
        }
        slots_[gap] = Slot{nullptr, nullptr};
    }

    int grow() {
        const std::size_t old_capacity = capacity();
        Slot* old = slots_;
        const std::size_t new_capacity = old_capacity == 0 ? 16 : old_capacity * 2;
        auto* slots = static_cast<Slot*>(PyMem_Calloc(new_capacity, sizeof(Slot)));
        if (slots == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        slots_ = slots;
        mask_ = new_capacity - 1;
        for (std::size_t i = 0; i < old_capacity; ++i) {
            if (old[i].type != nullptr) {
                place(old[i].type, old[i].layout);
            }
        }
        PyMem_Free(old);
        return 0;
    }

    Slot* slots_ = nullptr;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

LayoutTable layouts;

// The layouts of the record classes met last, each in the entry that its
// class's address picks; an entry whose class died is emptied with it.
class RecentLayouts {
   public:
    [[nodiscard]] RecordLayout* find(PyTypeObject* type) const noexcept {
        const Entry& entry = entries_[index(type)];
        return entry.type == type ? entry.layout : nullptr;
    }
    void keep(PyTypeObject* type, RecordLayout* layout) noexcept {
        entries_[index(type)] = Entry{type, layout};
    }
    void forget(const RecordLayout* layout) noexcept {
        for (Entry& entry : entries_) {
            if (entry.layout == layout) {
                entry = Entry{nullptr, nullptr};
            }
        }
    }

   private:
    struct Entry {
        PyTypeObject* type;
        RecordLayout* layout;
    };
    static constexpr std::size_t size = 16;

    static std::size_t index(PyTypeObject* type) noexcept {
        std::uint32_t hash =
            static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(type) >> 4);
        hash *= 0x9E3779B1U;
        return hash >> 28;
    }

    Entry entries_[size] = {};
};

RecentLayouts recent;

// The weak reference callback of a class in the table.
PyObject* drop_layout(PyObject*, PyObject* class_ref) {
    RecordLayout* layout = layouts.remove(class_ref);
    if (layout != nullptr) {
        recent.forget(layout);
        free_layout(layout);
    }
    Py_RETURN_NONE;
}

// Looks at `type` as it is now and says so in `layout`: its version tag,
// the slots of its fields and whether the walk may come straight to it.
void inspect_class(PyTypeObject* type, RecordLayout* layout) {
    layout->version = 0;
    layout->direct = false;
    layout->extra_offset = 0;
    for (Py_ssize_t i = 0; i < layout->count; ++i) {
        layout->fields[i].offset = 0;
    }
#ifndef Py_GIL_DISABLED
    // Without a version tag, a change to the class could not be told.
    if (!layout->is_record || PyUnstable_Type_AssignVersionTag(type) == 0) {
        return;
    }
    const unsigned int version = type->tp_version_tag;
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        for (Py_ssize_t i = 0; i < layout->count; ++i) {
            layout->fields[i].offset =
                typed::slot_offset(type, layout->fields[i].attr, typed::SlotUse::read);
        }
        if (layout->extra != nullptr) {
            layout->extra_offset = typed::slot_offset(type, layout->extra, typed::SlotUse::read);
        }
    }
    layout->direct = PyType_IsSubtype(type, &PyUnicode_Type) == 0 &&
                     PyType_IsSubtype(type, &PyTuple_Type) == 0 &&
                     PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(enum_class)) == 0;
    if (type->tp_version_tag != version) {
        // Searching the classes changed one: trust nothing found, and look
        // again at the next record.
        layout->direct = false;
        layout->extra_offset = 0;
        for (Py_ssize_t i = 0; i < layout->count; ++i) {
            layout->fields[i].offset = 0;
        }
        return;
    }
    layout->version = version;
#endif
}

// The value of attribute `name` of `value`: read from the slot at `offset`
// (borrowed) when there is one and it is set, else a new reference from the
// generic lookup kept in `held`. nullptr with an exception set on failure.
PyObject* read_attribute(PyObject* value, PyObject* name, Py_ssize_t offset, PyRef& held) {
    if (offset != 0) {
        PyObject* slot = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(value) + offset);
        if (slot != nullptr) {
            return slot;
        }
        // An unset slot: the lookup raises its own AttributeError.
    }
    held = PyRef::steal(PyObject_GetAttr(value, name));
    return held.get();
}

PyMethodDef drop_layout_def = {"drop_layout", drop_layout, METH_O, nullptr};

// Fills `layout` from what encode_layout(cls) returned: ((key, attribute),
// ...) and the attribute of unknown keys or None. Returns 0, or -1 with an
// exception set.
int read_layout(PyObject* made, RecordLayout* layout) {
    if (!PyTuple_Check(made) || PyTuple_GET_SIZE(made) != 2) {
        PyErr_SetString(PyExc_TypeError, "encode_layout() gave no layout");
        return -1;
    }
    PyObject* pairs = PyTuple_GET_ITEM(made, 0);
    PyObject* extra = PyTuple_GET_ITEM(made, 1);
    if (!PyTuple_Check(pairs) || (extra != Py_None && !PyUnicode_CheckExact(extra))) {
        PyErr_SetString(PyExc_TypeError, "encode_layout() gave no layout");
        return -1;
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(pairs);
    layout->fields = PyMem_New(LayoutField, static_cast<std::size_t>(count));
    if (layout->fields == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* pair = PyTuple_GET_ITEM(pairs, i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 ||
            !PyBytes_CheckExact(PyTuple_GET_ITEM(pair, 0)) ||
            !PyUnicode_CheckExact(PyTuple_GET_ITEM(pair, 1))) {
            PyErr_SetString(PyExc_TypeError, "encode_layout() gave no layout");
            return -1;
        }
        PyObject* attr = Py_NewRef(PyTuple_GET_ITEM(pair, 1));
        PyUnicode_InternInPlace(&attr);
        layout->fields[i] = LayoutField{Py_NewRef(PyTuple_GET_ITEM(pair, 0)), attr, 0};
        layout->count = i + 1;
    }
    if (extra != Py_None) {
        layout->extra = Py_NewRef(extra);
        PyUnicode_InternInPlace(&layout->extra);
    }
    return 0;
}

// The layout of `type`, made now: a new layout, or nullptr with an
// exception set.
RecordLayout* make_layout(PyTypeObject* type) {
    auto* layout = PyMem_New(RecordLayout, 1);
    if (layout == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    *layout = RecordLayout{false, nullptr, nullptr, 0, nullptr, 0, false, 0};
    auto* cls = reinterpret_cast<PyObject*>(type);
    PyObject* fields = nullptr;
    const int found = PyObject_GetOptionalAttr(cls, fields_name, &fields);
    Py_XDECREF(fields);
    if (found < 0) {
        free_layout(layout);
        return nullptr;
    }
    layout->is_record = found == 1;
    if (layout->is_record) {
        PyRef made = PyRef::steal(PyObject_CallOneArg(layout_maker, cls));
        if (!made || read_layout(made.get(), layout) < 0) {
            free_layout(layout);
            return nullptr;
        }
    }
    layout->class_ref = PyWeakref_NewRef(cls, drop_callback);
    if (layout->class_ref == nullptr) {
        free_layout(layout);
        return nullptr;
    }
    inspect_class(type, layout);
    return layout;
}

// The layout of `type` (kept in the table), or nullptr with an exception set.
RecordLayout* layout_of(PyTypeObject* type) {
    if (RecordLayout* known = layouts.find(type)) {
        if (known->is_record) {
            recent.keep(type, known);
        }
        return known;
    }
    RecordLayout* made = make_layout(type);
    if (made == nullptr) {
        return nullptr;
    }
    // encode_layout ran Python code, during which another thread may have
    // made the same layout.
    if (RecordLayout* known = layouts.find(type)) {
        free_layout(made);
        return known;
    }
    if (layouts.insert(type, made) < 0) {
        free_layout(made);
        return nullptr;
    }
    if (made->is_record) {
        recent.keep(type, made);
    }
    return made;
}

// After a failed conversion of a str to UTF-8: turns the UnicodeEncodeError
// into an EncodeError that has it as its cause and returns true; leaves any
// other error as it is and returns false.
bool refuse_text() {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        return false;
    }
    PyRef cause = PyRef::steal(PyErr_GetRaisedException());
    PyRef message =
        PyRef::steal(PyUnicode_FromFormat("cannot encode str as UTF-8: %S", cause.get()));
    if (!message) {
        return false;
    }
    raise_error_from(ErrorClass::encode_error, message.get(), cause.get());
    return true;
}

// The UTF-8 form of a str as a new bytes object, or nullptr with an
// exception set.
PyObject* utf8_bytes(PyObject* text) {
    if (PyUnicode_IS_ASCII(text)) {
        return PyBytes_FromStringAndSize(static_cast<const char*>(PyUnicode_DATA(text)),
                                         PyUnicode_GET_LENGTH(text));
    }
    return PyUnicode_AsUTF8String(text);
}

// Turns the DecodeError of a raw value's check into an EncodeError that has
// it as its cause and returns true; leaves any other error (RecursionError
// for a deep value) as it is and returns false.
bool refuse_raw() {
    PyRef cause = PyRef::steal(PyErr_GetRaisedException());
    PyRef decode_error = PyRef::steal(bound_error_class(ErrorClass::decode_error));
    if (!decode_error) {
        return false;
    }
    if (!PyErr_GivenExceptionMatches(cause.get(), decode_error.get())) {
        PyErr_SetRaisedException(cause.release());
        return false;
    }
    PyRef message = PyRef::steal(PyUnicode_FromFormat("invalid Raw value: %S", cause.get()));
    if (!message) {
        return false;
    }
    raise_error_from(ErrorClass::encode_error, message.get(), cause.get());
    return true;
}

// A value of the plain walk's kinds is never here: only what it would refuse.
template <bool Typed>
int Encoder<Typed>::other(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    // A record class met lately, unchanged since it was looked at: none of
    // the kinds below.
    if (RecordLayout* known = recent.find(type)) {
        if (known->direct && known->version == type->tp_version_tag) {
            return record(value, *known);
        }
    }
    if (PyUnicode_Check(value)) {
        return text(value);
    }
    if (PyTuple_Check(value)) {
        return list(value);
    }
    if (PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(enum_class))) {
        return enum_member(value);
    }
    RecordLayout* layout = layout_of(type);
    if (layout == nullptr) {
        return -1;
    }
    if (layout->is_record) {
        return record(value, *layout);
    }
    return unsupported(type);
}

template <bool Typed>
int Encoder<Typed>::bytes_subclass(PyObject* value) {
    if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(raw_class))) {
        return raw(value);
    }
    if (PyType_IsSubtype(Py_TYPE(value), reinterpret_cast<PyTypeObject*>(enum_class))) {
        return enum_member(value);
    }
    return not_exact_bytes(value);
}

// A str, as its UTF-8 bytes; read from the str's own memory when it is
// ASCII, so that most text costs no copy.
template <bool Typed>
int Encoder<Typed>::text(PyObject* value) {
    if (PyUnicode_IS_ASCII(value)) {
        return string(static_cast<const char*>(PyUnicode_DATA(value)), PyUnicode_GET_LENGTH(value));
    }
    PyRef encoded = PyRef::steal(PyUnicode_AsUTF8String(value));
    if (!encoded) {
        return refuse_text() ? fault() : -1;
    }
    return bytes(encoded.get());
}

// An enum member (of a plain Enum; IntEnum and StrEnum members are ints and
// strs already): its value, whatever that is.
template <bool Typed>
int Encoder<Typed>::enum_member(PyObject* value) {
    RecursionGuard guard(" while encoding an enum member");
    if (!guard.entered()) {
        return -1;
    }
    ++foreign_calls_;  // `value` may be the caller's own property
    PyRef member_value = PyRef::steal(PyObject_GetAttr(value, value_name));
    if (!member_value) {
        return -1;
    }
    return any(member_value.get());
}

// A Raw value: written as it is, once the checking walk of decode has found
// it to be exactly one well-formed value.
template <bool Typed>
int Encoder<Typed>::raw(PyObject* value) {
    const Py_ssize_t length = PyBytes_GET_SIZE(value);
    if (length == 0) {
        raise_error_format(ErrorClass::encode_error, "invalid Raw value: empty data");
        return fault();
    }
    InputView view;
    view.data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(value));
    view.length = length;
    ValueChecker checker(view);
    Py_ssize_t end = 0;
    if (checker.check_any(end) < 0) {
        return refuse_raw() ? fault() : -1;
    }
    if (end != length) {
        raise_error_format(ErrorClass::encode_error,
                           "invalid Raw value: trailing data at position %zd", end);
        return fault();
    }
    char* at = out_.reserve(length);
    if (at == nullptr) {
        return -1;
    }
    std::memcpy(at, PyBytes_AS_STRING(value), static_cast<std::size_t>(length));
    out_.commit(at + length);
    return 0;
}

// A dataclass instance as a dictionary: each field's key and value in the
// layout's order, a field holding None left out, and the keys of the field
// of unknown keys merged in among them.
template <bool Typed>
int Encoder<Typed>::record(PyObject* value, RecordLayout& layout) {
    RecursionGuard guard(" while encoding a dataclass");
    if (!guard.entered() || out_.put('d') < 0) {
        return -1;
    }
    PyTypeObject* type = Py_TYPE(value);
    // The layout lives as long as its class, which the caller's code could
    // otherwise let go (a property giving the instance another __class__).
    PyRef held_class = PyRef::borrow(reinterpret_cast<PyObject*>(type));
    if (layout.version != type->tp_version_tag) {
        inspect_class(type, &layout);
    }
    // Reading an attribute other than from its slot may run the caller's
    // code (a property, a __getattr__), which the exact-dict path must know
    // of.
    PyRef extra;
    KeyEntries entries;
    if (layout.extra != nullptr) {
        if (layout.extra_offset == 0) {
            ++foreign_calls_;
        }
        PyRef held;
        PyObject* found = read_attribute(value, layout.extra, layout.extra_offset, held);
        if (found == nullptr) {
            return -1;
        }
        // Kept for the whole record: the caller's code, reached through a
        // field, may replace the attribute.
        extra = PyRef::borrow(found);
        if (found != Py_None) {
            if (!PyDict_Check(found)) {
                PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(found)));
                if (name) {
                    raise_error_format(ErrorClass::encode_error,
                                       "extra keys must be a dict, got %U", name.get());
                    return fault();
                }
                return -1;
            }
            if (collect_keys(found, entries) < 0) {
                return -1;
            }
        }
    }
    const LayoutField* field = layout.fields;
    const LayoutField* const fields_end = layout.fields + layout.count;
    const KeyEntry* entry = entries.begin();
    const KeyEntry* const entries_end = entries.end();
    while (field != fields_end) {
        if (entry != entries_end) {
            const int order = reading::compare_bytes(field->key, entry->key);
            if (order > 0) {
                if (bytes(entry->key) < 0) {
                    return -1;
                }
                if (keyed_value(extra.get(), *entry) < 0) {
                    note_key(entry->key);
                    return -1;
                }
                ++entry;
                continue;
            }
            if (order == 0) {
                raise_error_format(ErrorClass::encode_error,
                                   "extra key %R is also the key of field %U", entry->key,
                                   field->attr);
                return fault();
            }
        }
        if (field->offset == 0) {
            ++foreign_calls_;
        }
        PyRef held;
        PyObject* item = read_attribute(value, field->attr, field->offset, held);
        if (item == nullptr) {
            return -1;
        }
        if (item != Py_None) {
            if (bytes(field->key) < 0) {
                return -1;
            }
            if (member(item) < 0) {
                note_key(field->key);
                return -1;
            }
        }
        ++field;
    }
    for (; entry != entries_end; ++entry) {
        if (bytes(entry->key) < 0) {
            return -1;
        }
        if (keyed_value(extra.get(), *entry) < 0) {
            note_key(entry->key);
            return -1;
        }
    }
    return out_.put('e');
}

// A dict that the plain walk would not write: one with text keys, or any
// dict subclass. Its keys are written as bytes in canonical order, each
// value fetched just before it is written.
template <bool Typed>
int Encoder<Typed>::text_keyed_dict(PyObject* value) {
    KeyEntries entries;
    if (collect_keys(value, entries) < 0) {
        return -1;
    }
    for (const KeyEntry& entry : entries) {
        if (bytes(entry.key) < 0) {
            return -1;
        }
        if (keyed_value(value, entry) < 0) {
            note_key(entry.key);
            return -1;
        }
    }
    return 0;
}

// The keys of a dict (its own keys() for a subclass), each as its bytes
// with the dict's own key beside it, in canonical order. Two keys that
// encode alike are refused. Returns 0, or -1 with an exception set.
template <bool Typed>
int Encoder<Typed>::collect_keys(PyObject* value, KeyEntries& entries) {
    PyObject* raw = nullptr;
    if (PyDict_CheckExact(value)) {
        // Nothing below runs the caller's code, so the dict cannot change.
        if (entries.reserve(PyDict_GET_SIZE(value)) < 0) {
            return -1;
        }
        Py_ssize_t next = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        while (PyDict_Next(value, &next, &key, &item)) {
            if (raw_key(key, raw) < 0) {
                return -1;
            }
            entries.add(raw, key);
            Py_DECREF(raw);
        }
    } else {
        ++foreign_calls_;
        PyRef keys_view = PyRef::steal(call_keys(value));
        if (!keys_view) {
            return -1;
        }
        PyRef keys = PyRef::steal(PySequence_List(keys_view.get()));
        if (!keys || entries.reserve(PyList_GET_SIZE(keys.get())) < 0) {
            return -1;
        }
        // The list is this call's own: nobody else can change it.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
            PyObject* key = PyList_GET_ITEM(keys.get(), i);
            if (raw_key(key, raw) < 0) {
                return -1;
            }
            entries.add(raw, key);
            Py_DECREF(raw);
        }
    }
    entries.sort();
    const KeyEntry* previous = nullptr;
    for (const KeyEntry& entry : entries) {
        if (previous != nullptr && same_bytes(previous->key, entry.key)) {
            raise_error_format(ErrorClass::encode_error, "duplicate dict key: %R", entry.key);
            return fault();
        }
        previous = &entry;
    }
    return 0;
}

// The bytes of a dict key (a new reference in `raw`): an exact bytes object
// as it is, a str as its UTF-8. Returns 0, or -1 with an exception set.
template <bool Typed>
int Encoder<Typed>::raw_key(PyObject* key, PyObject*& raw) {
    if (PyBytes_CheckExact(key)) {
        raw = Py_NewRef(key);
        return 0;
    }
    if (PyUnicode_Check(key)) {
        raw = utf8_bytes(key);
        if (raw == nullptr) {
            return refuse_text() ? fault() : -1;
        }
        return 0;
    }
    if (PyBytes_Check(key)) {
        return not_exact_bytes(key);
    }
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(key)));
    if (!name) {
        return -1;
    }
    raise_error_format(ErrorClass::encode_error, "dict key must be bytes or str, got %U",
                       name.get());
    return fault();
}

// The value of `entry` (whose `value` is the dict's own key) in `dict`,
// looked up now: the caller's code may have changed the dict meanwhile.
template <bool Typed>
int Encoder<Typed>::keyed_value(PyObject* dict, const KeyEntry& entry) {
    PyObject* item = nullptr;
    if (PyDict_CheckExact(dict)) {
        const int found = PyDict_GetItemRef(dict, entry.value, &item);
        if (found <= 0) {
            if (found == 0) {
                PyErr_SetObject(PyExc_KeyError, entry.value);
            }
            return -1;
        }
    } else {
        item = PyObject_GetItem(dict, entry.value);
        if (item == nullptr) {
            return -1;
        }
    }
    PyRef item_ref = PyRef::steal(item);
    return member(item);
}

// A new reference to `name` of module `module`, or nullptr with an
// exception set.
PyObject* import_attribute(const char* module, const char* name) {
    PyRef imported = PyRef::steal(PyImport_ImportModule(module));
    if (!imported) {
        return nullptr;
    }
    return PyObject_GetAttrString(imported.get(), name);
}

}  // namespace

int prepare_typed_encoder() {
    if (raw_class != nullptr) {
        return 0;
    }
    PyRef callback = PyRef::steal(PyCFunction_New(&drop_layout_def, nullptr));
    PyRef raw = PyRef::steal(import_attribute("velka._model.markers", "Raw"));
    PyRef enum_base = PyRef::steal(import_attribute("enum", "Enum"));
    PyRef maker = PyRef::steal(import_attribute("velka._model.records", "encode_layout"));
    PyRef value = PyRef::steal(PyUnicode_InternFromString("value"));
    PyRef fields = PyRef::steal(PyUnicode_InternFromString("__dataclass_fields__"));
    if (!callback || !raw || !enum_base || !maker || !value || !fields) {
        return -1;
    }
    if (!PyType_Check(raw.get()) || !PyType_Check(enum_base.get())) {
        PyErr_SetString(PyExc_TypeError, "velka._typed: Raw and Enum must be classes");
        return -1;
    }
    drop_callback = callback.release();
    raw_class = raw.release();
    enum_class = enum_base.release();
    layout_maker = maker.release();
    value_name = value.release();
    fields_name = fields.release();
    return 0;
}

PyObject* typed_encode_value(PyObject* value) {
    Encoder<true> encoder;
    if (encoder.any(value) < 0) {
        encoder.attach_path();
        return nullptr;
    }
    return encoder.finish();
}

}  // namespace velka

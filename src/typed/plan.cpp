// Compiling a plan's description into nodes.
#include "plan.hpp"

#include "slots.hpp"

namespace velka::typed {

namespace {

PyObject* raise_shape(const char* what) {
    PyErr_Format(PyExc_TypeError, "velka._typed: malformed plan description (%s)", what);
    return nullptr;
}

// Item `i` of a tuple, borrowed, or nullptr with TypeError set.
PyObject* item(PyObject* tuple, Py_ssize_t i) {
    if (!PyTuple_Check(tuple) || i >= PyTuple_GET_SIZE(tuple)) {
        return raise_shape("a node is too short");
    }
    return PyTuple_GET_ITEM(tuple, i);
}

// An integer of a description (-1 is the planner's "none"), or
// `no_number` with an exception set.
constexpr Py_ssize_t no_number = PY_SSIZE_T_MIN;

Py_ssize_t number(PyObject* tuple, Py_ssize_t i) {
    PyObject* value = item(tuple, i);
    if (value == nullptr) {
        return no_number;
    }
    const Py_ssize_t result = PyLong_AsSsize_t(value);
    if (result == -1 && PyErr_Occurred()) {
        return no_number;
    }
    return result;
}

template <typename T>
T* allocate(Py_ssize_t count) {
    auto* memory =
        static_cast<T*>(PyMem_Calloc(count > 0 ? static_cast<std::size_t>(count) : 1, sizeof(T)));
    if (memory == nullptr) {
        PyErr_NoMemory();
    }
    return memory;
}

}  // namespace

Plan::~Plan() {
    for (Py_ssize_t i = 0; i < count_; ++i) {
        Node& node = nodes_[i];
        PyMem_Free(static_cast<void*>(node.parts));
        if (node.record != nullptr) {
            PyMem_Free(node.record->keys);
            PyMem_Free(node.record->fields);
            PyMem_Free(node.record->steps);
            PyMem_Free(node.record);
        }
        if (node.choice != nullptr) {
            free_table(node.choice->table);
            PyMem_Free(static_cast<void*>(node.choice->results));
            PyMem_Free(node.choice);
        }
        if (node.tagged != nullptr) {
            free_table(node.tagged->table);
            PyMem_Free(static_cast<void*>(node.tagged->members));
            PyMem_Free(node.tagged);
        }
    }
    PyMem_Free(nodes_);
}

PyObject* Plan::object(PyObject* ref) {
    const Py_ssize_t index = PyLong_AsSsize_t(ref);
    if (index == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    PyObject* pool = index >= 0 ? objects_ : held_;
    const Py_ssize_t at = index >= 0 ? index : -1 - index;
    if (at >= PyTuple_GET_SIZE(pool)) {
        return raise_shape("a reference out of range");
    }
    return PyTuple_GET_ITEM(pool, at);
}

const Node* Plan::node_at(PyObject* index_object, bool optional) {
    const Py_ssize_t index = PyLong_AsSsize_t(index_object);
    if (index == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (index == -1 && optional) {
        return nullptr;
    }
    if (index < 0 || index >= count_) {
        raise_shape("a node index out of range");
        return nullptr;
    }
    return &nodes_[index];
}

int Plan::compile(PyObject* nodes, Py_ssize_t root, PyObject* objects, PyObject* held) {
    if (!PyTuple_Check(nodes) || !PyTuple_Check(objects) || !PyTuple_Check(held)) {
        raise_shape("not tuples");
        return -1;
    }
    count_ = PyTuple_GET_SIZE(nodes);
    if (root < 0 || root >= count_) {
        raise_shape("the root out of range");
        return -1;
    }
    root_ = root;
    nodes_ = allocate<Node>(count_);
    if (nodes_ == nullptr) {
        count_ = 0;
        return -1;
    }
    objects_ = objects;
    held_ = held;
    int result = 0;
    for (Py_ssize_t i = 0; i < count_ && result == 0; ++i) {
        result = compile_node(i, PyTuple_GET_ITEM(nodes, i));
    }
    objects_ = nullptr;
    held_ = nullptr;
    // A tagged union's members are built as records without a look at
    // their kind; once every node is known, hold the description to that.
    for (Py_ssize_t i = 0; i < count_ && result == 0; ++i) {
        const Tagged* tagged = nodes_[i].tagged;
        for (Py_ssize_t m = 0; tagged != nullptr && m < tagged->member_count; ++m) {
            if (tagged->members[m]->kind != Kind::record) {
                raise_shape("a tagged union's member is not a record");
                result = -1;
                break;
            }
        }
    }
    return result;
}

int Plan::compile_node(Py_ssize_t index, PyObject* description) {
    Node& node = nodes_[index];
    const Py_ssize_t kind = number(description, 0);
    if (kind < 0 || kind > static_cast<Py_ssize_t>(Kind::tagged_union)) {
        if (!PyErr_Occurred()) {
            raise_shape("an unknown kind");
        }
        return -1;
    }
    node.kind = static_cast<Kind>(kind);
    PyObject* expected_ref = item(description, 1);
    node.expected = expected_ref != nullptr ? object(expected_ref) : nullptr;
    if (node.expected == nullptr) {
        return -1;
    }
    switch (node.kind) {
        case Kind::list:
        case Kind::tuple:
        case Kind::bytes_dict:
        case Kind::text_dict: {
            PyObject* child = item(description, 2);
            node.item = child != nullptr ? node_at(child, false) : nullptr;
            return node.item != nullptr ? 0 : -1;
        }
        case Kind::fixed_tuple:
        case Kind::token_union: {
            PyObject* parts = description;
            Py_ssize_t first = 2;
            if (node.kind == Kind::fixed_tuple) {
                parts = item(description, 2);
                first = 0;
                if (parts == nullptr || !PyTuple_Check(parts)) {
                    raise_shape("fixed tuple items");
                    return -1;
                }
            }
            node.part_count = PyTuple_GET_SIZE(parts) - first;
            node.parts = allocate<const Node*>(node.part_count);
            if (node.parts == nullptr) {
                return -1;
            }
            for (Py_ssize_t i = 0; i < node.part_count; ++i) {
                node.parts[i] =
                    node_at(PyTuple_GET_ITEM(parts, first + i), node.kind == Kind::token_union);
                if (node.parts[i] == nullptr && PyErr_Occurred()) {
                    return -1;
                }
            }
            if (node.kind == Kind::token_union && node.part_count != 4) {
                raise_shape("a union has four slots");
                return -1;
            }
            return 0;
        }
        case Kind::record:
            return compile_record(node, description);
        case Kind::choice:
            return compile_choice(node, description);
        case Kind::tagged_union:
            return compile_tagged(node, description);
        default:
            return 0;
    }
}

void find_slots(Record& record) {
    record.slots_version = 0;
#ifndef Py_GIL_DISABLED
    auto* type = reinterpret_cast<PyTypeObject*>(record.cls);
    if (!PyType_Check(record.cls) || PyUnstable_Type_AssignVersionTag(type) == 0) {
        return;
    }
    const unsigned int version = type->tp_version_tag;
    for (Py_ssize_t i = 0; i < record.step_count; ++i) {
        InitStep& step = record.steps[i];
        step.offset = slot_offset(type, step.name, SlotUse::write);
    }
    if (type->tp_version_tag != version) {
        // Searching the classes changed one: trust nothing found.
        for (Py_ssize_t i = 0; i < record.step_count; ++i) {
            record.steps[i].offset = 0;
        }
        return;
    }
    record.slots_version = version;
#endif
}

int Plan::compile_record(Node& node, PyObject* description) {
    auto* record = allocate<Record>(1);
    if (record == nullptr) {
        return -1;
    }
    node.record = record;
    PyObject* cls_ref = item(description, 2);
    record->cls = cls_ref != nullptr ? object(cls_ref) : nullptr;
    const Py_ssize_t build = number(description, 3);
    const Py_ssize_t post_init = number(description, 4);
    const Py_ssize_t forbid = number(description, 5);
    PyObject* keys = item(description, 6);
    PyObject* fields = item(description, 7);
    const Py_ssize_t extra = number(description, 8);
    PyObject* steps = item(description, 9);
    if (record->cls == nullptr || build < 0 || post_init < 0 || forbid < 0 || keys == nullptr ||
        fields == nullptr || extra < -1 || steps == nullptr) {
        if (!PyErr_Occurred()) {
            raise_shape("a record");
        }
        return -1;
    }
    if (build > 2 || !PyTuple_Check(keys) || !PyTuple_Check(fields) || !PyTuple_Check(steps)) {
        raise_shape("a record's parts");
        return -1;
    }
    record->build = static_cast<Build>(build);
    record->post_init = post_init != 0;
    record->forbid_unknown = forbid != 0;
    record->extra = extra;
    record->field_count = PyTuple_GET_SIZE(fields);
    record->fields = allocate<RecordField>(record->field_count);
    record->key_count = PyTuple_GET_SIZE(keys);
    record->keys = allocate<RecordKey>(record->key_count);
    record->step_count = PyTuple_GET_SIZE(steps);
    record->steps = allocate<InitStep>(record->step_count);
    if (record->fields == nullptr || record->keys == nullptr || record->steps == nullptr) {
        return -1;
    }
    if (extra >= record->field_count) {
        raise_shape("the extra field out of range");
        return -1;
    }
    for (Py_ssize_t i = 0; i < record->field_count; ++i) {
        PyObject* field = PyTuple_GET_ITEM(fields, i);
        RecordField& out = record->fields[i];
        PyObject* name_ref = item(field, 0);
        const Py_ssize_t absent = number(field, 1);
        PyObject* fallback_ref = item(field, 2);
        PyObject* node_index = item(field, 3);
        if (name_ref == nullptr || absent < 0 || absent > 5 || fallback_ref == nullptr ||
            node_index == nullptr) {
            if (!PyErr_Occurred()) {
                raise_shape("a field");
            }
            return -1;
        }
        out.name = object(name_ref);
        out.absent = static_cast<Absent>(absent);
        if (out.absent == Absent::missing) {
            ++record->required_count;
        }
        out.node = node_at(node_index, true);
        if (out.name == nullptr || (out.node == nullptr && PyErr_Occurred())) {
            return -1;
        }
        if (out.absent == Absent::value || out.absent == Absent::factory) {
            out.fallback = object(fallback_ref);
            if (out.fallback == nullptr) {
                return -1;
            }
        }
        if (out.node == nullptr && i != extra) {
            raise_shape("a field without a node");
            return -1;
        }
    }
    for (Py_ssize_t i = 0; i < record->key_count; ++i) {
        PyObject* key = PyTuple_GET_ITEM(keys, i);
        RecordKey& out = record->keys[i];
        PyObject* key_ref = item(key, 0);
        out.key = key_ref != nullptr ? object(key_ref) : nullptr;
        out.typed = number(key, 1);
        out.raw = number(key, 2);
        if (out.key == nullptr || out.typed < -1 || out.raw < -1) {
            if (!PyErr_Occurred()) {
                raise_shape("a key");
            }
            return -1;
        }
        if (!PyBytes_Check(out.key) || out.typed >= record->field_count ||
            out.raw >= record->field_count || (out.typed < 0 && out.raw < 0)) {
            raise_shape("a key's fields");
            return -1;
        }
    }
    for (Py_ssize_t i = 0; i < record->step_count; ++i) {
        PyObject* step = PyTuple_GET_ITEM(steps, i);
        InitStep& out = record->steps[i];
        PyObject* name_ref = item(step, 0);
        const Py_ssize_t assign = number(step, 1);
        PyObject* argument = item(step, 2);
        if (name_ref == nullptr || assign < 0 || assign > 2 || argument == nullptr) {
            if (!PyErr_Occurred()) {
                raise_shape("an assignment");
            }
            return -1;
        }
        out.name = object(name_ref);
        out.assign = static_cast<Assign>(assign);
        if (out.name == nullptr) {
            return -1;
        }
        if (out.assign == Assign::field) {
            out.field = PyLong_AsSsize_t(argument);
            if (out.field < 0 || out.field >= record->field_count) {
                if (!PyErr_Occurred()) {
                    raise_shape("an assignment's field");
                }
                return -1;
            }
        } else {
            out.object = object(argument);
            if (out.object == nullptr) {
                return -1;
            }
        }
    }
    if (record->build == Build::fields) {
        find_slots(*record);
    }
    return 0;
}

int Plan::compile_choice(Node& node, PyObject* description) {
    auto* choice = allocate<Choice>(1);
    if (choice == nullptr) {
        return -1;
    }
    node.choice = choice;
    PyObject* table_ref = item(description, 2);
    PyObject* results = item(description, 3);
    const Py_ssize_t accepts_integer = number(description, 4);
    const Py_ssize_t accepts_string = number(description, 5);
    if (table_ref == nullptr || results == nullptr || accepts_integer < 0 || accepts_string < 0) {
        if (!PyErr_Occurred()) {
            raise_shape("a choice");
        }
        return -1;
    }
    if (!PyTuple_Check(results)) {
        raise_shape("a choice's results");
        return -1;
    }
    choice->accepts_integer = accepts_integer != 0;
    choice->accepts_string = accepts_string != 0;
    choice->result_count = PyTuple_GET_SIZE(results);
    if (compile_table(table_ref, choice->result_count, choice->table) < 0) {
        return -1;
    }
    choice->results = allocate<PyObject*>(choice->result_count);
    if (choice->results == nullptr) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < choice->result_count; ++i) {
        choice->results[i] = object(PyTuple_GET_ITEM(results, i));
        if (choice->results[i] == nullptr) {
            return -1;
        }
    }
    return 0;
}

int Plan::compile_tagged(Node& node, PyObject* description) {
    auto* tagged = allocate<Tagged>(1);
    if (tagged == nullptr) {
        return -1;
    }
    node.tagged = tagged;
    PyObject* tag_ref = item(description, 2);
    PyObject* table_ref = item(description, 3);
    PyObject* members = item(description, 4);
    PyObject* expected_ref = item(description, 5);
    if (tag_ref == nullptr || table_ref == nullptr || members == nullptr ||
        expected_ref == nullptr) {
        return -1;
    }
    tagged->tag = object(tag_ref);
    tagged->expected_tag = object(expected_ref);
    if (tagged->tag == nullptr || tagged->expected_tag == nullptr) {
        return -1;
    }
    if (!PyBytes_Check(tagged->tag) || !PyTuple_Check(members)) {
        raise_shape("a tagged union");
        return -1;
    }
    tagged->member_count = PyTuple_GET_SIZE(members);
    if (compile_table(table_ref, tagged->member_count, tagged->table) < 0) {
        return -1;
    }
    tagged->members = allocate<const Node*>(tagged->member_count);
    if (tagged->members == nullptr) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < tagged->member_count; ++i) {
        tagged->members[i] = node_at(PyTuple_GET_ITEM(members, i), false);
        if (tagged->members[i] == nullptr) {
            return -1;
        }
    }
    return 0;
}

int Plan::compile_table(PyObject* ref, Py_ssize_t choices, Table& table) {
    table.dict = object(ref);
    if (table.dict == nullptr) {
        return -1;
    }
    if (!PyDict_Check(table.dict)) {
        raise_shape("a table");
        return -1;
    }
    // Every index is checked here, so that the walk can trust what a
    // lookup gives.
    Py_ssize_t count = 0;
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(table.dict, &at, &key, &value)) {
        const Py_ssize_t index = PyLong_Check(value) ? PyLong_AsSsize_t(value) : -1;
        if (index < 0 || index >= choices) {
            PyErr_Clear();
            raise_shape("a table's index out of range");
            return -1;
        }
        count += PyBytes_CheckExact(key) ? 1 : 0;
    }
    if (count == 0 || count > Table::most_strings) {
        return 0;
    }
    table.strings = allocate<PyObject*>(count);
    table.indexes = allocate<Py_ssize_t>(count);
    if (table.strings == nullptr || table.indexes == nullptr) {
        return -1;
    }
    at = 0;
    while (PyDict_Next(table.dict, &at, &key, &value)) {
        if (!PyBytes_CheckExact(key)) {
            continue;
        }
        table.strings[table.string_count] = key;
        table.indexes[table.string_count] = PyLong_AsSsize_t(value);
        ++table.string_count;
    }
    return 0;
}

void Plan::free_table(Table& table) noexcept {
    PyMem_Free(static_cast<void*>(table.strings));
    PyMem_Free(table.indexes);
}

}  // namespace velka::typed

// The decoding plan as the typed walk follows it: the description that
// velka/_model/plan.py makes, compiled once into nodes that point at each
// other and at the Python objects they need, so that a walk looks nothing up
// by name.
#pragma once

#include <cstdint>

#include "compat.hpp"

namespace velka::typed {

// The node kinds, numbered as the planner numbers them.
enum class Kind : std::uint8_t {
    any = 0,
    integer = 1,
    boolean = 2,
    bytes = 3,
    text = 4,
    raw = 5,
    list = 6,
    tuple = 7,
    fixed_tuple = 8,
    bytes_dict = 9,
    text_dict = 10,
    record = 11,
    choice = 12,
    token_union = 13,
    tagged_union = 14,
};

enum class Build : std::uint8_t { fields = 0, call = 1, dict = 2 };

enum class Absent : std::uint8_t {
    missing = 0,
    value = 1,
    factory = 2,
    none = 3,
    omit = 4,
    extra = 5
};

enum class Assign : std::uint8_t { field = 0, factory = 1, value = 2 };

struct Node;

// One key of a record, in the order of the keys' raw bytes.
struct RecordKey {
    PyObject* key;     // bytes
    Py_ssize_t typed;  // the field that decodes the value, or -1
    Py_ssize_t raw;    // the field that takes the value's bytes, or -1
};

struct RecordField {
    PyObject* name;  // str: the attribute, keyword or TypedDict key
    Absent absent;
    PyObject* fallback;  // the default or the factory, for Absent::value/factory
    const Node* node;    // nullptr for the field of unknown keys
};

// One assignment of the generated __init__, in field order.
struct InitStep {
    PyObject* name;
    Assign assign;
    Py_ssize_t field;  // Assign::field
    PyObject* object;  // the factory or the default
    // The slot that object.__setattr__ would store the value into, while
    // the class keeps Record::slots_version; 0 when it would do more.
    Py_ssize_t offset;
};

struct Record {
    PyObject* cls;
    Build build;
    bool post_init;
    bool forbid_unknown;
    Py_ssize_t extra;  // the field of unknown keys, or -1
    Py_ssize_t key_count;
    RecordKey* keys;
    Py_ssize_t field_count;
    RecordField* fields;
    // How many fields have nothing to stand in for an absent key: when the
    // walk has found that many, no key is missing.
    Py_ssize_t required_count;
    Py_ssize_t step_count;
    InitStep* steps;
    // The class's version tag when the steps' slots were found; 0 when none
    // were (no tag, or a free-threaded build).
    unsigned int slots_version;
};

// What a value read from the input stands for: a literal's values, a union's
// tags. The dict holds every key; its byte-string keys are also listed with
// the indexes they give when there are few enough to try one by one, so
// that the walk matches them against the input's bytes without making an
// object (string_count is 0 when the dict is left alone to do it).
struct Table {
    static constexpr Py_ssize_t most_strings = 8;

    PyObject* dict;  // int or bytes -> int (an index)
    Py_ssize_t string_count;
    PyObject** strings;  // bytes, borrowed from the dict
    Py_ssize_t* indexes;
};

struct Choice {
    Table table;  // -> an index of results
    Py_ssize_t result_count;
    PyObject** results;
    bool accepts_integer;
    bool accepts_string;
};

struct Tagged {
    PyObject* tag;  // bytes: the key
    Table table;    // -> an index of members
    Py_ssize_t member_count;
    const Node** members;
    PyObject* expected_tag;  // str: the values, for messages
};

struct Node {
    Kind kind;
    PyObject* expected;  // str: what messages say is expected
    const Node* item;    // list, tuple, dicts: the items' node
    // fixed_tuple: the items' nodes; token_union: by token (integer, string,
    // list, dict), each possibly nullptr.
    Py_ssize_t part_count;
    const Node** parts;
    Record* record;
    Choice* choice;
    Tagged* tagged;
};

// Finds which of a record's init steps store into a slot that can be
// written directly, under the class's version tag as it is now
// (Record::slots_version; 0 when nothing can be trusted, and always on a
// free-threaded build, where a class can change during a build). Runs none
// of the caller's code. Called when the plan is compiled, and again by a
// build that finds the class's tag changed since.
void find_slots(Record& record);

// The compiled nodes of one description. Python objects are borrowed: the
// owner of the plan keeps them alive.
class Plan {
   public:
    Plan() noexcept = default;
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
    ~Plan();

    // Compiles `nodes` (the description's tuple of node tuples), whose
    // references name `objects` and `held`. Returns 0, or -1 with an
    // exception set (TypeError for a description of the wrong shape).
    int compile(PyObject* nodes, Py_ssize_t root, PyObject* objects, PyObject* held);

    [[nodiscard]] const Node& root() const noexcept { return nodes_[root_]; }

   private:
    int compile_node(Py_ssize_t index, PyObject* description);
    int compile_record(Node& node, PyObject* description);
    int compile_choice(Node& node, PyObject* description);
    int compile_tagged(Node& node, PyObject* description);
    // The table that `ref` names, whose indexes must be below `choices`.
    int compile_table(PyObject* ref, Py_ssize_t choices, Table& table);
    static void free_table(Table& table) noexcept;
    PyObject* object(PyObject* ref);
    const Node* node_at(PyObject* index, bool optional);

    Node* nodes_ = nullptr;
    Py_ssize_t count_ = 0;
    Py_ssize_t root_ = 0;
    PyObject* objects_ = nullptr;  // borrowed while compiling
    PyObject* held_ = nullptr;
};

}  // namespace velka::typed

// Building a record from the values that the walk gathered for its fields:
// the dataclass instance as its own __init__ would make it, or a TypedDict.
#pragma once

#include "compat.hpp"
#include "faults.hpp"
#include "plan.hpp"

namespace velka::typed {

// Objects the walk and the builders need, made when the module is
// initialised and kept for the life of the process.
struct Shared {
    PyObject* raw_class = nullptr;  // velka._model.markers.Raw
    PyObject* empty_tuple = nullptr;
    PyObject* post_init_name = nullptr;  // "__post_init__"
};
extern Shared shared;

// The values of one record's fields, in field order: strong references,
// nullptr where a field has none yet. Released when it goes away.
class FieldValues {
   public:
    explicit FieldValues(Py_ssize_t count) noexcept;
    FieldValues(const FieldValues&) = delete;
    FieldValues& operator=(const FieldValues&) = delete;
    ~FieldValues();

    // False (with MemoryError set) when the values had no room.
    [[nodiscard]] bool ready() const noexcept { return values_ != nullptr; }
    [[nodiscard]] PyObject* get(Py_ssize_t i) const noexcept { return values_[i]; }
    // Takes over `value`.
    void set(Py_ssize_t i, PyObject* value) noexcept { values_[i] = value; }

   private:
    static constexpr Py_ssize_t inline_capacity = 16;
    PyObject* inline_[inline_capacity];
    PyObject** values_ = nullptr;
    Py_ssize_t count_;
};

// The first field of `record`, in key order, whose key is absent and that
// has nothing to stand in for it; or -1 when there is none.
Py_ssize_t first_missing(const Record& record, const FieldValues& values) noexcept;

// The record made of `values` (the field of unknown keys filled in): a new
// reference, or nullptr with an exception set or a fault recorded (a
// ValueError or TypeError from the class's own code, at `position`).
PyObject* build_record(const Node& node, FieldValues& values, Py_ssize_t position, Fault& fault);

}  // namespace velka::typed

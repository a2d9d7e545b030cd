// velka.raw's entry points: decoding a value that other data may follow, and
// the exact byte span of a value, without building it.
#include "entry_points.hpp"

#include <span>

#include "arguments.hpp"
#include "decoder.hpp"
#include "errors.hpp"
#include "format.hpp"
#include "input_view.hpp"
#include "pyref.hpp"

namespace velka {

namespace {

// How a path error names the kind of value at `pos`.
const char* describe_value(const InputView& view, Py_ssize_t pos) {
    switch (view.at(pos)) {
        case token::list:
            return "a list";
        case token::dict:
            return "a dict";
        case token::integer:
            return "an int";
        default:
            return "a byte string";
    }
}

// Moves `pos` from the dict at `pos` to the value of key `step`. The dict has
// been checked whole. Returns 0, or -1 with KeyError set.
int follow_key(ValueChecker& checker, Py_ssize_t& pos, PyObject* step) {
    const char* wanted = PyBytes_AS_STRING(step);
    const Py_ssize_t wanted_length = PyBytes_GET_SIZE(step);
    ++pos;
    while (checker.view().at(pos) != token::end) {
        Py_ssize_t start = 0;
        const Py_ssize_t length = checker.byte_string(pos, start);
        if (length < 0) {
            return -1;
        }
        if (checker.equals(start, length, wanted, wanted_length)) {
            return 0;
        }
        if (checker.check_any(pos) < 0) {
            return -1;
        }
    }
    PyErr_SetObject(PyExc_KeyError, step);
    return -1;
}

// The number of items of the list at `pos` (checked whole), or -1 with an
// exception set.
Py_ssize_t count_items(ValueChecker& checker, Py_ssize_t pos) {
    Py_ssize_t count = 0;
    ++pos;
    while (checker.view().at(pos) != token::end) {
        if (checker.check_any(pos) < 0) {
            return -1;
        }
        ++count;
    }
    return count;
}

// Moves `pos` from the list at `pos` to its item `step` (an int; negative
// counts from the end). Returns 0, or -1 with IndexError set.
int follow_index(ValueChecker& checker, Py_ssize_t& pos, PyObject* step, Py_ssize_t step_number) {
    Py_ssize_t index = PyLong_AsSsize_t(step);
    bool in_range = true;
    if (index == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return -1;
        }
        PyErr_Clear();
        in_range = false;
    }
    const Py_ssize_t count = count_items(checker, pos);
    if (count < 0) {
        return -1;
    }
    if (in_range && index < 0) {
        index += count;
    }
    if (!in_range || index < 0 || index >= count) {
        PyErr_Format(PyExc_IndexError, "path step %zd: list index %R out of range (%zd items)",
                     step_number, step, count);
        return -1;
    }
    ++pos;
    for (Py_ssize_t i = 0; i < index; ++i) {
        if (checker.check_any(pos) < 0) {
            return -1;
        }
    }
    return 0;
}

// Moves `pos` from the value at `pos` to the one that `step` selects in it.
int follow_step(ValueChecker& checker, Py_ssize_t& pos, PyObject* step, Py_ssize_t step_number) {
    const unsigned char kind = checker.view().at(pos);
    if (kind == token::dict) {
        if (!PyBytes_Check(step)) {
            PyErr_Format(PyExc_TypeError, "path step %zd: a dict is indexed by bytes, not %.200s",
                         step_number, Py_TYPE(step)->tp_name);
            return -1;
        }
        return follow_key(checker, pos, step);
    }
    if (kind == token::list) {
        if (!PyLong_Check(step)) {
            PyErr_Format(PyExc_TypeError, "path step %zd: a list is indexed by int, not %.200s",
                         step_number, Py_TYPE(step)->tp_name);
            return -1;
        }
        return follow_index(checker, pos, step, step_number);
    }
    PyErr_Format(PyExc_TypeError, "path step %zd: %s has no items", step_number,
                 describe_value(checker.view(), pos));
    return -1;
}

// (start, end) as a new tuple, or nullptr with an exception set.
PyObject* make_span(Py_ssize_t start, Py_ssize_t end) {
    PyObject* first = PyLong_FromSsize_t(start);
    if (first == nullptr) {
        return nullptr;
    }
    return make_pair(first, end);
}

// The steps of a path as a checking walk follows them in passing: made from
// the caller's step objects, whose bytes they borrow.
class PathSteps {
   public:
    PathSteps() noexcept = default;
    PathSteps(const PathSteps&) = delete;
    PathSteps& operator=(const PathSteps&) = delete;
    ~PathSteps() {
        if (steps_ != inline_) {
            PyMem_Free(steps_);
        }
    }

    // Returns 0, or -1 with MemoryError set.
    int assign(PyObject* const* objects, Py_ssize_t count) {
        if (count > inline_capacity) {
            steps_ = PyMem_New(PathStep, static_cast<std::size_t>(count));
            if (steps_ == nullptr) {
                steps_ = inline_;
                PyErr_NoMemory();
                return -1;
            }
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            steps_[i] = step_of(objects[i]);
        }
        count_ = count;
        return 0;
    }

    [[nodiscard]] std::span<const PathStep> steps() const noexcept {
        return {steps_, static_cast<std::size_t>(count_)};
    }

   private:
    static PathStep step_of(PyObject* object) noexcept {
        PathStep step{PathStep::Kind::other, nullptr, 0, 0};
        if (PyBytes_Check(object)) {
            step.kind = PathStep::Kind::key;
            step.key = PyBytes_AS_STRING(object);
            step.key_length = PyBytes_GET_SIZE(object);
        } else if (PyLong_Check(object)) {
            // Only indexes counted from the front are followed in passing.
            int overflow = 0;
            const long long index = PyLong_AsLongLongAndOverflow(object, &overflow);
            if (overflow == 0 && index >= 0 && index <= PY_SSIZE_T_MAX) {
                step.kind = PathStep::Kind::index;
                step.index = static_cast<Py_ssize_t>(index);
            }
        }
        return step;
    }

    static constexpr Py_ssize_t inline_capacity = 8;
    PathStep inline_[inline_capacity];  // filled by assign()
    PathStep* steps_ = inline_;
    Py_ssize_t count_ = 0;
};

}  // namespace

PyObject* decode_prefix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    OwnedInput input;
    Py_ssize_t start = 0;
    if (prefix_arguments("decode_prefix", args, nargs, kwnames, input, start) < 0) {
        return nullptr;
    }
    ValueDecoder decoder(input.view(), true);
    Py_ssize_t pos = start;
    PyRef value = PyRef::steal(decoder.decode_any(pos));
    if (!value) {
        return nullptr;
    }
    return make_pair(value.release(), pos);
}

PyObject* span(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_SetString(PyExc_TypeError, "span() takes no keyword arguments");
        return nullptr;
    }
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "span() missing required argument 'data' (pos 1)");
        return nullptr;
    }
    PyObject* data = args[0];
    OwnedInput input;
    bool empty = false;
    if (take_input(data, input, empty) < 0) {
        return nullptr;
    }
    if (empty) {
        return raise_empty_data();
    }
    PathSteps path;
    if (path.assign(args + 1, nargs - 1) < 0) {
        return nullptr;
    }
    ValueChecker checker(input.view(), true);
    Py_ssize_t pos = 0;
    if (checker.check_finding(pos, path.steps()) < 0) {
        return nullptr;
    }
    if (pos != input.view().length) {
        return raise_error_format(ErrorClass::decode_error, "trailing data at position %zd", pos);
    }
    Py_ssize_t start = 0;
    Py_ssize_t end = 0;
    if (checker.found(start, end)) {
        return make_span(start, end);
    }
    // A step the check could not follow in passing: a negative index, or a
    // path that leads nowhere, which this walk names.
    start = 0;
    for (Py_ssize_t i = 1; i < nargs; ++i) {
        if (follow_step(checker, start, args[i], i) < 0) {
            return nullptr;
        }
    }
    end = start;
    if (checker.check_any(end) < 0) {
        return nullptr;
    }
    return make_span(start, end);
}

}  // namespace velka

// velka.raw's entry points: decoding a value that other data may follow, and
// the exact byte span of a value, without building it.
#include "entry_points.hpp"

#include <span>

#include "decoder.hpp"
#include "errors.hpp"
#include "format.hpp"
#include "input_view.hpp"
#include "pyref.hpp"

namespace velka {

namespace {

// Binds keyword arguments to the parameters named in `names`, filling
// `bound`, where the positional arguments were put already. Returns 0, or -1
// with TypeError set.
int bind_keywords(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  const char* const* names, Py_ssize_t count, PyObject** bound) {
    if (kwnames == nullptr) {
        return 0;
    }
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function);
            return -1;
        }
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (PyUnicode_CompareWithASCIIString(keyword, names[i]) == 0) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                         keyword);
            return -1;
        }
        if (bound[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                         names[slot]);
            return -1;
        }
        bound[slot] = args[nargs + k];
    }
    return 0;
}

// The input of a raw entry point, as `decode` takes it: a false argument is
// empty data, refused as incomplete input when it is empty data indeed (None
// or an empty buffer) and as DecodeError otherwise, as `decode` does.
// `empty` tells the caller that the data was false. Returns 0, or -1 with an
// exception set.
int take_input(PyObject* data, OwnedInput& input, bool& empty) {
    const int truth = data_truth(data);
    if (truth < 0) {
        return -1;
    }
    empty = truth == 0;
    if (empty && data != Py_None && !PyObject_CheckBuffer(data)) {
        raise_error_format(ErrorClass::decode_error, "empty data");
        return -1;
    }
    return to_buffer(data, input);
}

PyObject* raise_empty_data() { return raise_error_format(ErrorClass::incomplete, "empty data"); }

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

// A new tuple (first, position), taking over `first` (a new reference); or
// nullptr with an exception set, `first` then released.
PyObject* make_pair(PyObject* first, Py_ssize_t position) {
    PyRef owned_first = PyRef::steal(first);
    PyRef second = PyRef::steal(PyLong_FromSsize_t(position));
    if (!second) {
        return nullptr;
    }
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) {
        return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, owned_first.release());
    PyTuple_SET_ITEM(pair, 1, second.release());
    return pair;
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
    static const char* const names[] = {"data", "start"};
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError,
                     "decode_prefix() takes from 1 to 2 positional arguments but %zd were given",
                     nargs);
        return nullptr;
    }
    PyObject* bound[2] = {nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : nullptr};
    if (bind_keywords("decode_prefix", args, nargs, kwnames, names, 2, bound) < 0) {
        return nullptr;
    }
    if (bound[0] == nullptr) {
        PyErr_SetString(PyExc_TypeError,
                        "decode_prefix() missing required argument 'data' (pos 1)");
        return nullptr;
    }
    Py_ssize_t start = 0;
    if (bound[1] != nullptr) {
        if (!PyIndex_Check(bound[1])) {
            PyErr_Format(PyExc_TypeError,
                         "decode_prefix() argument 'start' must be int, not %.200s",
                         Py_TYPE(bound[1])->tp_name);
            return nullptr;
        }
        // Out-of-range values saturate, and are then refused as out of range.
        start = PyNumber_AsSsize_t(bound[1], nullptr);
        if (start == -1 && PyErr_Occurred()) {
            return nullptr;
        }
    }
    OwnedInput input;
    bool empty = false;
    if (take_input(bound[0], input, empty) < 0) {
        return nullptr;
    }
    const Py_ssize_t length = input.view().length;
    if (start < 0) {
        PyErr_Format(PyExc_ValueError, "start must not be negative, got %zd", start);
        return nullptr;
    }
    if (start > length) {
        PyErr_Format(PyExc_ValueError, "start %zd is past the end of the data (length %zd)", start,
                     length);
        return nullptr;
    }
    if (empty) {
        return raise_empty_data();
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

// The path of a value inside a larger one, as error messages name it: `$`
// for the whole, `.name` for a key of printable UTF-8 without spaces, dots,
// quotes or brackets, `['piece length']` for another UTF-8 key,
// `[b'\x14\xff']` for one that is not UTF-8 and `[3]` for a list index.
#pragma once

#include "compat.hpp"
#include "pyref.hpp"

namespace velka {

// The steps of a path gathered from the inside out, as a recursive walk
// unwinds from a fault: each level adds its own step after those of the
// levels within it. Holds a strong reference to each key.
class PathTrail {
   public:
    PathTrail() noexcept = default;
    PathTrail(const PathTrail&) = delete;
    PathTrail& operator=(const PathTrail&) = delete;
    ~PathTrail();

    // Whether a fault asked for its path: the levels add their steps only
    // then, so that no path is gathered for errors raised by the caller's
    // own code.
    [[nodiscard]] bool active() const noexcept { return active_; }
    void start() noexcept { active_ = true; }

    // A step into a list (`index`) or a dictionary (`key`, a bytes object).
    // A step that cannot be kept (no memory) gives the path up: the fault's
    // own message is then raised without it.
    void add_index(Py_ssize_t index) noexcept { add(nullptr, index); }
    void add_key(PyObject* key) noexcept { add(key, 0); }

    // Appends " at <path>" to the message of the exception being raised,
    // when it has a message of one str and a path was gathered. The
    // exception is kept as it is when the text cannot be made.
    void attach_to_raised_error() const;

   private:
    struct Step {
        PyObject* key;  // strong reference, or nullptr for a list index
        Py_ssize_t index;
    };

    void add(PyObject* key, Py_ssize_t index) noexcept;
    // The path's text as a new str, or nullptr with an exception set.
    [[nodiscard]] PyObject* text() const;

    static constexpr Py_ssize_t inline_capacity = 8;
    Step inline_[inline_capacity];
    Step* steps_ = inline_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = inline_capacity;
    bool active_ = false;
    bool lost_ = false;
};

// The path step of dictionary key `key` (a bytes object) as a new str, or
// nullptr with an exception set.
PyObject* key_step_text(PyObject* key);

// The text of a path of `count` steps gathered from the inside out: `$`, then
// piece(i) for i from count - 1 down to 0, each a new str or nullptr with an
// exception set. A new str, or nullptr with an exception set.
template <typename Piece>
PyObject* path_text(Py_ssize_t count, Piece piece) {
    PyRef pieces = PyRef::steal(PyList_New(0));
    PyRef root = PyRef::steal(PyUnicode_FromString("$"));
    if (!pieces || !root || PyList_Append(pieces.get(), root.get()) < 0) {
        return nullptr;
    }
    for (Py_ssize_t i = count - 1; i >= 0; --i) {
        PyRef step = PyRef::steal(piece(i));
        if (!step || PyList_Append(pieces.get(), step.get()) < 0) {
            return nullptr;
        }
    }
    PyRef empty = PyRef::steal(PyUnicode_FromString(""));
    if (!empty) {
        return nullptr;
    }
    return PyUnicode_Join(empty.get(), pieces.get());
}

}  // namespace velka

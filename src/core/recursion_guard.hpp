// One level of the interpreter's guard against running out of C stack.
#pragma once

#include "compat.hpp"

namespace velka {

#if PY_VERSION_HEX < 0x030E0000
// Before 3.14 the interpreter's guard counts levels (1,500 or 10,000 of
// them), whatever their size and however small the thread's stack, so a
// deep value could overflow a thread started with a small stack. There the
// walkers also measure the stack: true when the calling thread has used all
// of its stack but a safety margin.
bool stack_nearly_exhausted() noexcept;
#endif

// Entered once per container by the recursive walkers, so that a value
// nested deeper than the stack allows fails with RecursionError instead of
// crashing. Check entered() right after construction.
class RecursionGuard {
   public:
    explicit RecursionGuard(const char* where) noexcept : entered_(enter(where)) {}
    ~RecursionGuard() {
        if (entered_) {
            leave_recursive_call();
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    [[nodiscard]] bool entered() const noexcept { return entered_; }

   private:
    static bool enter(const char* where) noexcept {
#if PY_VERSION_HEX < 0x030E0000
        if (stack_nearly_exhausted()) {
            // The interpreter's own words for a guard that gives out.
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return false;
        }
#endif
        return enter_recursive_call(where) == 0;
    }

    bool entered_;
};

}  // namespace velka
